// Frame detection: the USB interface-notification handler and the frame
// identifier tables with the three predicates built on them.

#ifndef KVR_DETECT_H
#define KVR_DETECT_H

#include "../state/state.h"

enum FRAME_CLASS { MonitorFrame, AltModeFrame, OtherDevice };

constexpr unsigned MonitorModeIdCount = 22;
constexpr unsigned AltModeIdCount = 22;
constexpr unsigned WideModelIdCount = 3;

// The identifier tables (ids.cpp). FrameVendorId holds the one vendor ID in
// upper case, then in lower case.
extern const char FrameVendorId[2][IdTextSize];
extern const char MonitorModeIds[MonitorModeIdCount][IdTextSize];
extern const char AltModeIds[AltModeIdCount][IdTextSize];
extern const char GuardedAltModeId[IdTextSize];
extern const char WideModelIds[WideModelIdCount][IdTextSize];

// Counted views over the table texts, built once by the monitor at its start
// (length 4, capacity 5) and kept on its stack.
struct FRAME_ID_VIEWS {
    ANSI_STRING Vendor;
    ANSI_STRING Monitor[MonitorModeIdCount];
    ANSI_STRING Alt[AltModeIdCount];
    ANSI_STRING Guarded;
};

void BuildFrameIdViews(FRAME_ID_VIEWS *Views);

// Exact 5-byte comparisons against the stored forms.
bool MatchesFrameVendor(const UCHAR *VendorText);
bool IsWideModel(const UCHAR *ProductText);

// The monitor's decision for a posted arrival (1) or removal (2).
FRAME_CLASS ClassifyFrame(const FRAME_ID_VIEWS *Views, ULONG Event, const ANSI_STRING *Vid,
                          const ANSI_STRING *Pid, UCHAR DeviceMode);

// Device-interface change callback registered by the adapter start.
NTSTATUS UsbInterfaceNotify(PVOID NotificationStructure, PVOID Context);

#endif // KVR_DETECT_H
