// Settings store: every read and write of the product key and of the sibling
// driver's device key.

#ifndef KVR_SETTINGS_H
#define KVR_SETTINGS_H

#include "../state/state.h"

enum SETTING_KIND : LONG {
    SettingDeviceStatus = 1,
    SettingDeviceInfo = 2,
    SettingOrientation = 3,
    SettingBrightness = 4,
    SettingTrayPre = 5,
};

// Reads the value that Kind selects into Target. A stored value whose type or
// size does not fit the target is refused (false, target untouched).
bool QuerySetting(LONG Kind, PVOID Target);

// Writes the value that Kind selects from Data with the kind's type and
// length. Kind 1 (DeviceStatus) copies the live record under DeviceStatusLock.
bool WriteSetting(LONG Kind, const void *Data);

// DeviceInfo (retried up to 50 times, 100 ms apart), then DeviceStatus once.
bool PublishStatus();

// Acceleration.Level of the sibling driver's device key into *Level.
bool QueryAccelerationLevel(ULONG *Level);

// Rebuilds DataFilePath from InstallLocation: "\??\" + folder + "\kvrndis.dat".
// True only when a complete path is in the buffer.
bool BuildDataFilePath();

// Copies DeviceStatusRecord and writes it as DeviceStatus, both under
// DeviceStatusLock. The caller may already hold the lock (Locked true).
bool WriteDeviceStatus(bool Locked);
void AcquireDeviceStatusLock();
void ReleaseDeviceStatusLock();

#endif // KVR_SETTINGS_H
