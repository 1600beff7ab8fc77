// Fuzz target: HwStartIO with any control code, any input and output lengths
// and contents, over any state the other contexts can leave behind (peer
// attached or not, panel type, power state and flag, session open or not),
// at PASSIVE_LEVEL or APC_LEVEL, with the data-file settings in any of their
// interesting forms.
//
// The input and output are separate heap blocks of exactly the stated
// lengths, so that any access beyond them is caught. After every request:
// TRUE returned, the result is NO_ERROR or ERROR_INSUFFICIENT_BUFFER (or,
// for an unknown code outside the private codes' access class,
// ERROR_INVALID_FUNCTION), a refusal returns nothing, a short buffer is
// refused, an unknown code changes nothing, a returned data-file path is complete and terminated,
// the IRQL is the caller's, no pool is left behind, the DeviceStatus lock is free.
#include "fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <vector>

#include "driver/control/control.h"
#include "driver/core/miniport.h"

namespace
{

const ULONG Codes[] = {IoctlStartExternalSession, IoctlQueryOrientation,   IoctlSetOrientation,
                       IoctlActivateClient,       IoctlQueryDisplayMode,   IoctlQueryPowerOff,
                       IoctlQueryDataFilePath,    IoctlEndExternalSession, IoctlQueryWideModel};

struct Need {
    ULONG Input;
    ULONG Output;
};

bool Known(ULONG Code, Need *Needed)
{
    switch (Code) {
    case IoctlStartExternalSession:
        *Needed = {8, 0};
        return true;
    case IoctlSetOrientation:
        *Needed = {4, 0};
        return true;
    case IoctlQueryOrientation:
        *Needed = {0, 4};
        return true;
    case IoctlQueryDisplayMode:
        *Needed = {0, 6};
        return true;
    case IoctlQueryPowerOff:
    case IoctlQueryWideModel:
        *Needed = {0, 1};
        return true;
    case IoctlQueryDataFilePath:
        *Needed = {0, 200};
        return true;
    case IoctlActivateClient:
    case IoctlEndExternalSession:
        *Needed = {0, 0};
        return true;
    default:
        return false;
    }
}

PVOID Extension = nullptr;

bool Ready()
{
    sim::Reset(kvrfuzz::QuietOptions());
    DriverState = DRIVER_STATE{};
    sim::ExpectSurvivingPool(sim::Tag("ffub"));
    sim::FailNextThreadCreations(1); // no monitor: the requests alone
    kvrfuzz::Check(sim::LoadDriver(DriverEntry) == STATUS_SUCCESS, "DriverEntry");
    // Without its monitor the driver keeps no data-file path buffer: the
    // path is handed out only while the monitor holds the sibling's device.
    // The requests alone, given a peer by each input, get one here.
    DriverState.DataFilePath.Store(static_cast<WCHAR *>(
        ExAllocatePoolWithTag(NonPagedPool, DataFilePathSize, sim::Tag("ffub"))));
    kvrfuzz::Check(DriverState.DataFilePath.Load() != nullptr, "data-file path buffer");
    kvrfuzz::Check(sim::StartAdapter().FindStatus == NO_ERROR, "HwFindAdapter");
    Extension = sim::DeviceExtension();
    // Until the pool's line of held-back blocks is full, each freed block
    // stays allocated: every input would end with more heap blocks than it
    // began with, and libFuzzer would run it again and scan the heap for
    // leaks (giving leak checks up after a thousand). The line is filled
    // once here; from then on a freed block pushes the oldest out.
    for (size_t i = 0; i < sim::PoolHeldBackBlocks; ++i)
        ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 1, sim::Tag("lliF")),
                          sim::Tag("lliF"));
    return true;
}

void ArrangeSettings(FuzzedDataProvider &In)
{
    switch (In.ConsumeIntegralInRange<int>(0, 5)) {
    case 0:
        sim::DeleteValue(kvrfuzz::ProductKey, "InstallLocation");
        break;
    case 1:
        sim::SetString(kvrfuzz::ProductKey, "InstallLocation", std::string(83, 'x'));
        break;
    case 2:
        sim::SetString(kvrfuzz::ProductKey, "InstallLocation", std::string(84, 'y'));
        break;
    case 3:
        sim::SetDword(kvrfuzz::ProductKey, "InstallLocation", 7);
        break;
    default:
        sim::SetString(kvrfuzz::ProductKey, "InstallLocation", "C:\\Kvr\\",
                       In.ConsumeBool() ? REG_SZ : REG_EXPAND_SZ);
        break;
    }
    switch (In.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        sim::DeleteValue(kvrfuzz::PeerDeviceKey, "Acceleration.Level");
        break;
    case 1:
        sim::SetDword(kvrfuzz::PeerDeviceKey, "Acceleration.Level", 0);
        break;
    case 2:
        sim::SetDword(kvrfuzz::PeerDeviceKey, "Acceleration.Level", In.ConsumeIntegral<uint32_t>());
        break;
    default:
        sim::SetString(kvrfuzz::PeerDeviceKey, "Acceleration.Level", "1");
        break;
    }
}

void ArrangeState(FuzzedDataProvider &In)
{
    DRIVER_STATE &State = DriverState;
    State.PeerDevice.Store(In.ConsumeBool() ? kvrfuzz::PeerObject() : nullptr);
    State.DeviceInfoRecord.PanelType.Store(In.ConsumeIntegral<uint8_t>());
    State.DeviceInfoRecord.PanelAux.Store(In.ConsumeIntegral<uint8_t>());
    State.PowerState.Store(In.ConsumeIntegralInRange<ULONG>(0, 6));
    State.PoweredOff.Store(In.ConsumeBool());
    State.DeviceStatusRecord.ExternalSession.Store(In.ConsumeBool());
    State.WideModel.Store(In.ConsumeBool());
}

void CheckPath(const uint8_t *Path)
{
    // "\??\" + folder + "\kvrndis.dat", terminated, zeros after.
    const char16_t Prefix[] = u"\\??\\";
    const char16_t Suffix[] = u"\\kvrndis.dat";
    size_t Length = 0;
    auto At = [&](size_t i) { return char16_t(Path[2 * i] | Path[2 * i + 1] << 8); };
    while (Length < 100 && At(Length) != 0)
        ++Length;
    kvrfuzz::Check(Length < 100, "the data-file path has no terminator");
    kvrfuzz::Check(Length >= 16, "the data-file path is too short");
    for (size_t i = 0; i < 4; ++i)
        kvrfuzz::Check(At(i) == Prefix[i], "the data-file path's prefix");
    for (size_t i = 0; i < 12; ++i)
        kvrfuzz::Check(At(Length - 12 + i) == Suffix[i], "the data-file path's suffix");
    for (size_t i = Length; i < 100; ++i)
        kvrfuzz::Check(At(i) == 0, "bytes after the data-file path");
}

std::vector<uint8_t> SharedBytes()
{
    std::vector<uint8_t> Bytes(sizeof(DriverState));
    std::memcpy(Bytes.data(), static_cast<const void *>(&DriverState), sizeof(DriverState));
    return Bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    static bool Initialised = Ready();
    (void)Initialised;
    FuzzedDataProvider In(Data, Size);
    ULONG Code = In.ConsumeIntegralInRange<int>(0, 3) != 0
                     ? Codes[In.ConsumeIntegralInRange<size_t>(0, std::size(Codes) - 1)]
                     : In.ConsumeIntegral<uint32_t>();
    ULONG InputLength = In.ConsumeIntegralInRange<ULONG>(0, 300);
    ULONG OutputLength = In.ConsumeIntegralInRange<ULONG>(0, 300);
    bool NullWhenEmpty = In.ConsumeBool();
    KIRQL Irql = In.ConsumeBool() ? APC_LEVEL : PASSIVE_LEVEL;
    ULONG_PTR PresetInformation = In.ConsumeIntegral<uint16_t>();
    ArrangeSettings(In);
    ArrangeState(In);
    std::vector<uint8_t> InputBytes = In.ConsumeBytes<uint8_t>(InputLength);
    InputBytes.resize(InputLength);
    uint8_t Fill = In.ConsumeIntegral<uint8_t>();

    std::unique_ptr<uint8_t[]> Input(new uint8_t[InputLength]);
    if (InputLength)
        std::memcpy(Input.get(), InputBytes.data(), InputLength);
    std::unique_ptr<uint8_t[]> Output(new uint8_t[OutputLength]);
    std::memset(Output.get(), Fill, OutputLength);
    STATUS_BLOCK Status{};
    Status.Status = 0x7777;
    Status.Information = PresetInformation;
    VIDEO_REQUEST_PACKET Packet{};
    Packet.IoControlCode = Code;
    Packet.StatusBlock = &Status;
    Packet.InputBuffer = InputLength == 0 && NullWhenEmpty ? nullptr : Input.get();
    Packet.InputBufferLength = InputLength;
    Packet.OutputBuffer = OutputLength == 0 && NullWhenEmpty ? nullptr : Output.get();
    Packet.OutputBufferLength = OutputLength;

    sim::PoolStats PoolBefore = sim::PoolTotals();
    std::vector<uint8_t> StateBefore = SharedBytes();
    sim::SetIrql(Irql);
    BOOLEAN Returned = HwStartIO(Extension, &Packet);
    kvrfuzz::Check(sim::Irql() == Irql, "HwStartIO returned at another IRQL");
    sim::SetIrql(PASSIVE_LEVEL);

    kvrfuzz::Check(Returned == TRUE, "HwStartIO returned FALSE");
    kvrfuzz::Check(Status.Status == NO_ERROR || Status.Status == ERROR_INSUFFICIENT_BUFFER ||
                       Status.Status == ERROR_INVALID_FUNCTION,
                   "a result other than 0, 1 and 122");
    if (Status.Status != NO_ERROR)
        kvrfuzz::Check(Status.Information == 0, "a refusal with Information set");
    Need Needed{};
    if (Known(Code, &Needed)) {
        bool Short = InputLength < Needed.Input || OutputLength < Needed.Output;
        if (Short)
            kvrfuzz::Check(Status.Status == ERROR_INSUFFICIENT_BUFFER, "a short buffer served");
        else if (Code == IoctlSetOrientation && Irql != PASSIVE_LEVEL)
            // Above PASSIVE_LEVEL the registry is out of reach: the value
            // cannot be kept, and the caller is told so.
            kvrfuzz::Check(Status.Status == ERROR_INSUFFICIENT_BUFFER,
                           "an orientation that could not be written reported as set");
        else if (Code != IoctlQueryDataFilePath)
            kvrfuzz::Check(Status.Status == NO_ERROR, "a good request refused");
        if (Code == IoctlQueryDataFilePath && Status.Status == NO_ERROR) {
            kvrfuzz::Check(DriverState.PeerDevice.Load() != nullptr, "a path without a peer");
            kvrfuzz::Check(Status.Information == 200, "the path's Information");
            CheckPath(Output.get());
        }
        if (Status.Status == NO_ERROR && Needed.Output > 0)
            kvrfuzz::Check(Status.Information == Needed.Output, "Information of a query");
    } else {
        bool Private = ((Code >> 14) & 3) == FILE_READ_ACCESS;
        kvrfuzz::Check(Status.Status == (Private ? NO_ERROR : ERROR_INVALID_FUNCTION),
                       "an unknown code answered other than its access class says");
        kvrfuzz::Check(Status.Information == (Private ? PresetInformation : 0),
                       "an unknown code's Information");
        kvrfuzz::Check(SharedBytes() == StateBefore, "an unknown code changed the state");
        for (ULONG i = 0; i < OutputLength; ++i)
            kvrfuzz::Check(Output[i] == Fill, "an unknown code wrote output");
    }

    sim::PoolStats PoolAfter = sim::PoolTotals();
    kvrfuzz::Check(PoolAfter.OutstandingCount == PoolBefore.OutstandingCount,
                   "pool left behind by a request");
    kvrfuzz::Check(DriverState.DeviceStatusLock.Header.SignalState == 1,
                   "the DeviceStatus lock is still held");
    kvrfuzz::CheckVerifier();
    return 0;
}
