// Fuzz target: UsbInterfaceNotify with any event and class GUID and any
// symbolic-link name (any length, odd byte counts, no buffer at all).
//
// The name's buffer is a heap block of exactly its length, so that a read
// past the name is caught. After every call the handler's fields are
// compared with what the name holds: the three notified texts always, the
// current identifiers and the posted event only for an accepted frame
// notification, WideModel from the current product ID.
#include "fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "driver/detect/detect.h"

namespace
{

bool Ready()
{
    sim::Reset(kvrfuzz::QuietOptions());
    DriverState = DRIVER_STATE{};
    // What DriverEntry does before anything can post an event.
    KeInitializeMutex(&DriverState.EventLock, 0);
    return true;
}

GUID PickGuid(FuzzedDataProvider &In, const GUID &Usual, const GUID &Other)
{
    switch (In.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
        return Usual;
    case 1:
        return Other;
    default: {
        GUID Raw{};
        In.ConsumeData(&Raw, sizeof(GUID));
        return Raw;
    }
    }
}

uint8_t NameCharacter(std::span<const uint8_t> Name, bool Null, size_t Index)
{
    if (Null || Index >= Name.size() / 2)
        return 0;
    return Name[2 * Index];
}

bool SameGuid(const GUID &a, const GUID &b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

// strncpy with count 5 over a 5-byte text.
void CopyText(uint8_t *To, const uint8_t *From)
{
    size_t i = 0;
    for (; i < IdTextSize && From[i] != 0; ++i)
        To[i] = From[i];
    for (; i < IdTextSize; ++i)
        To[i] = 0;
}

bool IsWide(const uint8_t *Text)
{
    for (const char *Id : WideModelIds) {
        if (std::memcmp(Text, Id, IdTextSize) == 0)
            return true;
    }
    return false;
}

// The frame interfaces the handler has seen arrive and not leave, slot for
// slot: a second report of an arrival posts nothing.
struct ArrivedModel {
    std::vector<uint16_t> Slots[ArrivedFrameSlots];
    bool Taken[ArrivedFrameSlots] = {};
    unsigned Next = 0;

    int Find(const std::vector<uint16_t> &Name) const
    {
        for (unsigned i = 0; i < ArrivedFrameSlots; ++i)
            if (Taken[i] && Slots[i] == Name)
                return int(i);
        return -1;
    }
    // Whether an accepted event is posted.
    bool Posts(bool Arrival, const std::vector<uint16_t> &Name)
    {
        int Found = Find(Name);
        if (!Arrival) {
            if (Found >= 0)
                Taken[Found] = false;
            return true;
        }
        if (Found >= 0)
            return false;
        if (Name.size() > ArrivedFrameNameCharacters)
            return true;
        int Slot = -1;
        for (unsigned i = 0; i < ArrivedFrameSlots && Slot < 0; ++i)
            if (!Taken[i])
                Slot = int(i);
        if (Slot < 0) {
            Slot = int(Next);
            Next = (Next + 1) % ArrivedFrameSlots;
        }
        Slots[Slot] = Name;
        Taken[Slot] = true;
        return true;
    }
};

ArrivedModel Arrived;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    static bool Initialised = Ready();
    (void)Initialised;
    FuzzedDataProvider In(Data, Size);
    GUID Event = PickGuid(In, GUID_DEVICE_INTERFACE_ARRIVAL, GUID_DEVICE_INTERFACE_REMOVAL);
    GUID Class = PickGuid(In, GUID_DEVINTERFACE_USB_DEVICE, GUID_DEVICE_INTERFACE_ARRIVAL);
    bool Null = In.ConsumeIntegralInRange<int>(0, 15) == 0;
    // The rest of the input is the name, read into its buffer; the model
    // below reads it there before the handler runs.
    size_t Length = std::min<size_t>(In.remaining_bytes(), 0xFFFE);
    std::unique_ptr<uint8_t[]> Buffer(new uint8_t[Length]);
    In.ConsumeData(Buffer.get(), Length);
    std::span<const uint8_t> Name(Buffer.get(), Length);
    UNICODE_STRING Link;
    Link.Length = USHORT(Name.size());
    Link.MaximumLength = USHORT(Name.size());
    Link.Buffer = Null ? nullptr : reinterpret_cast<PWSTR>(Buffer.get());
    DEVICE_INTERFACE_CHANGE_NOTIFICATION Notification{};
    Notification.Version = 1;
    Notification.Size = sizeof Notification;
    Notification.Event = Event;
    Notification.InterfaceClassGuid = Class;
    Notification.SymbolicLinkName = &Link;

    // What the name holds, and what the handler should make of it.
    uint8_t Vid[IdTextSize] = {}, Pid[IdTextSize] = {}, Prefix[7] = {};
    for (size_t i = 0; i < 4; ++i) {
        Vid[i] = NameCharacter(Name, Null, 12 + i);
        Pid[i] = NameCharacter(Name, Null, 21 + i);
    }
    for (size_t i = 0; i < 6; ++i)
        Prefix[i] = NameCharacter(Name, Null, 26 + i);
    ULONG Candidate = SameGuid(Event, GUID_DEVICE_INTERFACE_ARRIVAL)   ? EventArrival
                      : SameGuid(Event, GUID_DEVICE_INTERFACE_REMOVAL) ? EventRemoval
                                                                       : EventNone;
    bool Vendor = std::memcmp(Vid, FrameVendorId[0], IdTextSize) == 0 ||
                  std::memcmp(Vid, FrameVendorId[1], IdTextSize) == 0;
    bool Accepted = Candidate != EventNone && !Null && Name.size() / 2 >= 32 &&
                    SameGuid(Class, GUID_DEVINTERFACE_USB_DEVICE) && Vendor;

    uint8_t CurrentVid[IdTextSize], CurrentPid[IdTextSize];
    std::memcpy(CurrentVid, DriverState.CurrentVidText, IdTextSize);
    std::memcpy(CurrentPid, DriverState.CurrentPidText, IdTextSize);
    ULONG Pending = DriverState.PendingEvent.Load();
    ULONG Sequence = DriverState.EventSequence;
    if (Accepted) {
        // Kept from input to input: the model's storage is not the driver's.
        static std::vector<uint16_t> Units;
        Units.resize(Name.size() / 2);
        for (size_t i = 0; i < Units.size(); ++i)
            Units[i] = uint16_t(Name[2 * i] | Name[2 * i + 1] << 8);
        Accepted = Arrived.Posts(Candidate == EventArrival, Units);
    }
    if (Accepted) {
        CopyText(CurrentVid, Vid);
        CopyText(CurrentPid, Pid);
        Pending = Candidate;
        ++Sequence;
    }

    kvrfuzz::Check(UsbInterfaceNotify(&Notification, nullptr) == STATUS_SUCCESS,
                   "the handler reported a failure");
    kvrfuzz::Check(std::memcmp(DriverState.NotifiedVid, Vid, IdTextSize) == 0, "NotifiedVid");
    kvrfuzz::Check(std::memcmp(DriverState.NotifiedPid, Pid, IdTextSize) == 0, "NotifiedPid");
    kvrfuzz::Check(std::memcmp(DriverState.NotifiedSerialPrefix, Prefix, 7) == 0,
                   "NotifiedSerialPrefix");
    kvrfuzz::Check(std::memcmp(DriverState.CurrentVidText, CurrentVid, IdTextSize) == 0,
                   "CurrentVid text");
    kvrfuzz::Check(std::memcmp(DriverState.CurrentPidText, CurrentPid, IdTextSize) == 0,
                   "CurrentPid text");
    kvrfuzz::Check(DriverState.PendingEvent.Load() == Pending, "PendingEvent");
    kvrfuzz::Check(DriverState.EventSequence == Sequence, "EventSequence");
    kvrfuzz::Check(DriverState.WideModel.Load() == (IsWide(CurrentPid) ? 1 : 0), "WideModel");
    kvrfuzz::Check(DriverState.EventLock.Header.SignalState == 1 &&
                       DriverState.EventLock.OwnerThread == nullptr,
                   "the event lock is still held");
    if (DriverState.EventSequence != 0) {
        kvrfuzz::Check(DriverState.CurrentVid.Length == 4 && DriverState.CurrentPid.Length == 4 &&
                           DriverState.CurrentVid.Buffer ==
                               reinterpret_cast<PCHAR>(DriverState.CurrentVidText) &&
                           DriverState.CurrentPid.Buffer ==
                               reinterpret_cast<PCHAR>(DriverState.CurrentPidText),
                       "identifier views");
    }
    kvrfuzz::CheckVerifier();
    return 0;
}
