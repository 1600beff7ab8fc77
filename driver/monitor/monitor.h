// Frame link monitor: the driver's system thread, its connection-event
// handling, and the peer command protocol with the sibling frame driver.

#ifndef KVR_MONITOR_H
#define KVR_MONITOR_H

#include "../detect/detect.h"

// What is fixed of the sibling frame driver.
constexpr ULONG PeerIoctl = 0x22205D; // type 0x22, function 0x817, METHOD_IN_DIRECT
static_assert(PeerIoctl == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x817, METHOD_IN_DIRECT, FILE_ANY_ACCESS),
              "peer request code");
constexpr UCHAR PeerCommandPanel = 1; // reply: DeviceInfoRecord, 2 bytes
constexpr UCHAR PeerCommandMode = 4;  // reply: one mode byte
constexpr UCHAR PeerCommandInput = 6; // reply: InputReply, 2 bytes
constexpr UCHAR PeerCommandInputRepeat = 7;
constexpr ULONG PeerCommandBlockSize = 8;
constexpr ULONG PeerPanelReplySize = 2;
constexpr ULONG PeerModeReplySize = 1;
constexpr ULONG PeerInputReplySize = 2;

// The monitor thread's start routine; never returns.
void MonitorMain(PVOID StartContext);

#endif // KVR_MONITOR_H
