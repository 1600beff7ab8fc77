// The three predicates over the identifier tables: the notification handler's
// vendor test, the wide-model test, and the monitor's classification of a
// posted arrival or removal.

#include "detect.h"

static bool SameIdText(const UCHAR *Text, const char *Stored)
{
    return RtlCompareMemory(Text, Stored, IdTextSize) == IdTextSize;
}

// Only the two stored forms count: "ABCD" and "abcd" pass, "AbCd" does not.
bool MatchesFrameVendor(const UCHAR *VendorText)
{
    return SameIdText(VendorText, FrameVendorId[0]) || SameIdText(VendorText, FrameVendorId[1]);
}

bool IsWideModel(const UCHAR *ProductText)
{
    for (unsigned i = 0; i < WideModelIdCount; ++i) {
        if (SameIdText(ProductText, WideModelIds[i]))
            return true;
    }
    return false;
}

static void InitIdView(ANSI_STRING *View, const char *Text)
{
    View->Length = IdTextSize - 1;
    View->MaximumLength = IdTextSize;
    // The views are only ever read; nothing writes through them.
    View->Buffer = const_cast<char *>(Text);
}

void BuildFrameIdViews(FRAME_ID_VIEWS *Views)
{
    InitIdView(&Views->Vendor, FrameVendorId[0]);
    for (unsigned i = 0; i < MonitorModeIdCount; ++i)
        InitIdView(&Views->Monitor[i], MonitorModeIds[i]);
    for (unsigned i = 0; i < AltModeIdCount; ++i)
        InitIdView(&Views->Alt[i], AltModeIds[i]);
    InitIdView(&Views->Guarded, GuardedAltModeId);
}

static bool SameIgnoringCase(const ANSI_STRING *a, const ANSI_STRING *b)
{
    return RtlCompareString(a, b, TRUE) == 0;
}

// True when Pid equals an entry of the table other than Except (if given).
static bool MatchesAny(const ANSI_STRING *Pid, const ANSI_STRING *Entries, unsigned Count,
                       const ANSI_STRING *Except)
{
    for (unsigned i = 0; i < Count; ++i) {
        if (Except != nullptr && SameIgnoringCase(&Entries[i], Except))
            continue;
        if (SameIgnoringCase(Pid, &Entries[i]))
            return true;
    }
    return false;
}

// Removal of the guarded alternate-mode ID counts as an alternate-mode frame
// only while the monitor has recorded an alternate-mode arrival (DeviceMode 1);
// otherwise the ID is looked up like any other.
static FRAME_CLASS ClassifyRemoval(const FRAME_ID_VIEWS *Views, const ANSI_STRING *Pid,
                                   UCHAR DeviceMode)
{
    if (MatchesAny(Pid, Views->Alt, AltModeIdCount, &Views->Guarded))
        return AltModeFrame;
    if (DeviceMode == 1 && SameIgnoringCase(Pid, &Views->Guarded))
        return AltModeFrame;
    if (MatchesAny(Pid, Views->Monitor, MonitorModeIdCount, nullptr))
        return MonitorFrame;
    return OtherDevice;
}

static FRAME_CLASS ClassifyArrival(const FRAME_ID_VIEWS *Views, const ANSI_STRING *Pid)
{
    if (MatchesAny(Pid, Views->Monitor, MonitorModeIdCount, nullptr))
        return MonitorFrame;
    if (MatchesAny(Pid, Views->Alt, AltModeIdCount, nullptr))
        return AltModeFrame;
    return OtherDevice;
}

FRAME_CLASS ClassifyFrame(const FRAME_ID_VIEWS *Views, ULONG Event, const ANSI_STRING *Vid,
                          const ANSI_STRING *Pid, UCHAR DeviceMode)
{
    // Every table entry pairs its product ID with the one frame vendor ID.
    if (!SameIgnoringCase(Vid, &Views->Vendor))
        return OtherDevice;
    if (Event == EventArrival)
        return ClassifyArrival(Views, Pid);
    if (Event == EventRemoval)
        return ClassifyRemoval(Views, Pid, DeviceMode);
    return OtherDevice;
}
