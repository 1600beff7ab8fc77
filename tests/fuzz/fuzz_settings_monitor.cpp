// Fuzz target: the settings store and the monitor. Every value the driver
// reads (TrayPre, Orientation, DeviceInfo, Brightness, InstallLocation under
// the product key, Acceleration.Level under the sibling's device key) is
// stored with any type and any bytes, or is absent, or its key is missing.
// The store's reads are made directly into targets of exactly their width;
// then the driver runs with its monitor thread through a sequence of turns
// driven by the input: frames arriving and leaving, the sibling answering
// anything with any status, now, later or never, registry writes and reads
// failing, control codes, power states, the values changing on the way.
//
// Checked: no read stores beyond its target or stores a value of another
// type or size; a data-file path is always terminated within its buffer;
// every DeviceStatus written is 16 bytes with bytes 5-7 zero, every
// DeviceInfo 2 bytes; and the verifier finds nothing, teardown included
// (pool leaked by tag, references, IRQL, waits, late completions into dead
// buffers).
#include "fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "driver/control/control.h"
#include "driver/core/miniport.h"
#include "driver/detect/detect.h"
#include "driver/settings/settings.h"

namespace
{

const char *const ProductValues[] = {"TrayPre", "Orientation", "DeviceInfo", "Brightness",
                                     "InstallLocation"};

const ULONG Types[] = {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, 5, 7, 11};

// Stores a value with any type and bytes, or removes it.
void StoreAnything(FuzzedDataProvider &In, std::string_view Key, std::string_view Name)
{
    int Form = In.ConsumeIntegralInRange<int>(0, 4);
    if (Form == 0) {
        sim::DeleteValue(Key, Name);
        return;
    }
    ULONG Type = Form == 1 ? In.ConsumeIntegral<uint32_t>()
                           : Types[In.ConsumeIntegralInRange<size_t>(0, std::size(Types) - 1)];
    size_t Length = Form == 4 ? 4 : In.ConsumeIntegralInRange<size_t>(0, 260);
    uint8_t Bytes[260];
    size_t Taken = In.ConsumeData(Bytes, Length);
    sim::SetValue(Key, Name, Form == 4 ? REG_DWORD : Type, std::span<const uint8_t>(Bytes, Taken));
}

void StoreSettings(FuzzedDataProvider &In)
{
    for (const char *Name : ProductValues)
        StoreAnything(In, kvrfuzz::ProductKey, Name);
    StoreAnything(In, kvrfuzz::PeerDeviceKey, "Acceleration.Level");
    if (In.ConsumeIntegralInRange<int>(0, 15) == 0)
        sim::DeleteKey(kvrfuzz::ProductKey);
    if (In.ConsumeIntegralInRange<int>(0, 15) == 0)
        sim::DeleteKey(kvrfuzz::PeerDeviceKey);
}

// What a read of Name into a target of Width bytes (at most four) may do:
// store the value when it has the one accepted type and exactly that width.
struct Expected {
    bool Result;
    bool Stores;
    uint8_t Stored[4];
};

Expected ExpectedRead(std::string_view Key, std::string_view Name, ULONG Type, size_t Width)
{
    if (!sim::KeyExists(Key))
        return {false, false, {}};
    // Kept from read to read: the harness's copy, not the driver's target.
    static sim::RegValue Value;
    if (!sim::GetValueInto(Key, Name, Value))
        return {true, false, {}};
    // The driver reads every value unexpanded, as stored: a value of any
    // other type or width (a REG_MULTI_SZ too, handed over whole) is refused.
    if (Value.Type == Type && Value.Data.size() == Width) {
        Expected Expect{true, true, {}};
        std::memcpy(Expect.Stored, Value.Data.data(), Width);
        return Expect;
    }
    return {false, false, {}};
}

// A heap block of exactly Width bytes, made once and used for every read of
// that width: a read past it is caught all the same.
uint8_t *TargetOfWidth(size_t Width)
{
    static uint8_t *const Two = new uint8_t[2];
    static uint8_t *const Four = new uint8_t[4];
    return Width == 2 ? Two : Four;
}

// A read into a heap block of exactly the target's width.
void CheckRead(LONG Kind, std::string_view Name, ULONG Type, size_t Width, uint8_t Fill)
{
    Expected Expect = ExpectedRead(kvrfuzz::ProductKey, Name, Type, Width);
    uint8_t *Target = TargetOfWidth(Width);
    std::memset(Target, Fill, Width);
    bool Result = QuerySetting(Kind, Target);
    kvrfuzz::Check(Result == Expect.Result, "QuerySetting's result");
    for (size_t i = 0; i < Width; ++i) {
        uint8_t Want = Expect.Stores ? Expect.Stored[i] : Fill;
        kvrfuzz::Check(Target[i] == Want, "QuerySetting's target");
    }
}

void CheckDirectReads(uint8_t Fill)
{
    CheckRead(SettingTrayPre, "TrayPre", REG_DWORD, 4, Fill);
    CheckRead(SettingOrientation, "Orientation", REG_DWORD, 4, Fill);
    CheckRead(SettingBrightness, "Brightness", REG_DWORD, 4, Fill);
    CheckRead(SettingDeviceInfo, "DeviceInfo", REG_BINARY, 2, Fill);
    uint8_t Untouched[16];
    std::memset(Untouched, Fill, sizeof Untouched);
    for (LONG Kind : {LONG(SettingDeviceStatus), LONG(0), LONG(6), LONG(-1)}) {
        uint8_t Target[16];
        std::memset(Target, Fill, sizeof Target);
        kvrfuzz::Check(!QuerySetting(Kind, Target), "QuerySetting of a kind it does not read");
        kvrfuzz::Check(std::memcmp(Target, Untouched, sizeof Target) == 0,
                       "QuerySetting of a kind it does not read touched its target");
    }
    Expected Expect = ExpectedRead(kvrfuzz::PeerDeviceKey, "Acceleration.Level", REG_DWORD, 4);
    ULONG *Level = reinterpret_cast<ULONG *>(TargetOfWidth(4));
    *Level = 0xA5A5A5A5;
    bool Result = QueryAccelerationLevel(Level);
    if (Result != Expect.Result) {
        std::optional<sim::RegValue> Value =
            sim::GetValue(kvrfuzz::PeerDeviceKey, "Acceleration.Level");
        kvrfuzz::Fault("QueryAccelerationLevel's result " + std::to_string(Result) + " for " +
                       (sim::KeyExists(kvrfuzz::PeerDeviceKey) ? "a key" : "no key") +
                       (Value ? " with a value of type " + std::to_string(Value->Type) + ", " +
                                    std::to_string(Value->Data.size()) + " bytes"
                              : " without the value"));
    }
    ULONG Want = 0xA5A5A5A5;
    if (Expect.Stores)
        std::memcpy(&Want, Expect.Stored, 4);
    kvrfuzz::Check(*Level == Want, "QueryAccelerationLevel's target");
}

void CheckDataFilePath(bool Complete)
{
    const auto *Path = reinterpret_cast<const uint8_t *>(DriverState.DataFilePath.Load());
    if (Path == nullptr)
        return;
    auto At = [&](size_t i) { return char16_t(Path[2 * i] | Path[2 * i + 1] << 8); };
    size_t Length = 0;
    while (Length < 100 && At(Length) != 0)
        ++Length;
    kvrfuzz::Check(Length < 100, "the data-file path has no terminator");
    for (size_t i = Length; i < 100; ++i)
        kvrfuzz::Check(At(i) == 0, "bytes after the data-file path");
    if (!Complete)
        return;
    const char16_t Suffix[] = u"\\kvrndis.dat";
    kvrfuzz::Check(Length >= 16 && At(0) == '\\' && At(1) == '?' && At(2) == '?' && At(3) == '\\',
                   "the data-file path's prefix");
    for (size_t i = 0; i < 12; ++i)
        kvrfuzz::Check(At(Length - 12 + i) == Suffix[i], "the data-file path's suffix");
}

void CheckPublished(const sim::TraceEvent &Event)
{
    if (Event.Kind != sim::TraceKind::Reg)
        return;
    if (Event.Name == "DeviceStatus") {
        kvrfuzz::Check(Event.Data.size() == 16, "DeviceStatus of another size");
        kvrfuzz::Check(Event.Data[5] == 0 && Event.Data[6] == 0 && Event.Data[7] == 0,
                       "DeviceStatus with a reserved byte set");
    } else if (Event.Name == "DeviceInfo") {
        kvrfuzz::Check(Event.Data.size() == 2, "DeviceInfo of another size");
    }
}

std::string FramePid(FuzzedDataProvider &In, bool Monitor)
{
    unsigned Index = In.ConsumeIntegralInRange<unsigned>(0, MonitorModeIdCount - 1);
    return Monitor ? MonitorModeIds[Index] : AltModeIds[Index];
}

void Notify(FuzzedDataProvider &In, const GUID &Event)
{
    bool Monitor = In.ConsumeBool();
    std::string_view Instance = In.ConsumeIntegralInRange<int>(0, 3) == 0 ? "TQXRA4X" : "SER001X";
    std::string_view Vid = FrameVendorId[In.ConsumeBool()];
    std::string Pid = FramePid(In, Monitor);
    // Kept from input to input: the name is the harness's, not the driver's.
    static std::string Name;
    sim::UsbInterfaceNameInto(Name, Vid, Pid, Instance);
    sim::PostInterfaceChange(Event, GUID_DEVINTERFACE_USB_DEVICE, Name);
}

NTSTATUS AnyStatus(FuzzedDataProvider &In)
{
    const NTSTATUS Usual[] = {STATUS_SUCCESS, STATUS_UNSUCCESSFUL, STATUS_PENDING,
                              STATUS_INSUFFICIENT_RESOURCES, NTSTATUS(0x00000104)};
    if (In.ConsumeBool())
        return Usual[In.ConsumeIntegralInRange<size_t>(0, std::size(Usual) - 1)];
    return NTSTATUS(In.ConsumeIntegral<uint32_t>());
}

void Request(FuzzedDataProvider &In)
{
    struct Case {
        ULONG Code;
        ULONG Input;
        ULONG Output;
    };
    const Case Cases[] = {{IoctlStartExternalSession, 8, 0}, {IoctlQueryOrientation, 0, 4},
                          {IoctlSetOrientation, 4, 0},       {IoctlActivateClient, 0, 0},
                          {IoctlQueryDisplayMode, 0, 6},     {IoctlQueryPowerOff, 0, 1},
                          {IoctlQueryDataFilePath, 0, 200},  {IoctlEndExternalSession, 0, 0},
                          {IoctlQueryWideModel, 0, 1}};
    const Case &Chosen = Cases[In.ConsumeIntegralInRange<size_t>(0, std::size(Cases) - 1)];
    uint8_t Input[9] = {};
    In.ConsumeData(Input, Chosen.Input);
    sim::IoctlResult Result =
        sim::Ioctl(Chosen.Code, std::span<const uint8_t>(Input, Chosen.Input), Chosen.Output);
    kvrfuzz::Check(Result.Returned == TRUE, "HwStartIO returned FALSE");
    kvrfuzz::Check(Result.Status == NO_ERROR || Result.Status == ERROR_INSUFFICIENT_BUFFER,
                   "a result other than 0 and 122");
    if (Chosen.Code == IoctlQueryDataFilePath)
        CheckDataFilePath(Result.Status == NO_ERROR);
}

void Act(FuzzedDataProvider &In)
{
    switch (In.ConsumeIntegralInRange<int>(0, 13)) {
    case 0:
    case 1:
        Notify(In, GUID_DEVICE_INTERFACE_ARRIVAL);
        break;
    case 2:
        Notify(In, GUID_DEVICE_INTERFACE_REMOVAL);
        break;
    case 3:
        sim::SetFrameMode(In.ConsumeBool() ? UCHAR(In.ConsumeIntegralInRange<int>(2, 3))
                                           : In.ConsumeIntegral<uint8_t>());
        break;
    case 4:
        sim::SetFramePanel(In.ConsumeIntegral<uint8_t>(), In.ConsumeIntegral<uint8_t>());
        break;
    case 5:
        sim::SetFrameInput(In.ConsumeIntegral<uint8_t>(), In.ConsumeIntegral<uint8_t>());
        break;
    case 6: {
        int Way = In.ConsumeIntegralInRange<int>(0, 2);
        sim::SetPeerCompletion(Way == 0   ? sim::Completion::Now
                               : Way == 1 ? sim::Completion::Pending
                                          : sim::Completion::Fail,
                               AnyStatus(In));
        break;
    }
    case 7:
        sim::CompletePeerRequests(AnyStatus(In));
        break;
    case 8:
        Request(In);
        break;
    case 9:
        sim::SetPowerState(In.ConsumeIntegralInRange<ULONG>(0, 6));
        break;
    case 10:
        if (In.ConsumeBool())
            sim::FailRegistryWrites(In.ConsumeIntegralInRange<unsigned>(1, 60), AnyStatus(In));
        else
            sim::FailRegistryReads(In.ConsumeIntegralInRange<unsigned>(1, 4), AnyStatus(In));
        break;
    case 11:
        StoreAnything(In, kvrfuzz::ProductKey,
                      ProductValues[In.ConsumeIntegralInRange<size_t>(0, 4)]);
        break;
    case 12:
        sim::SetPeerPresent(In.ConsumeBool());
        break;
    default:
        break;
    }
    // Mostly a turn or two; now and then long enough for the slower rhythms.
    uint64_t Longest = In.ConsumeIntegralInRange<int>(0, 3) == 0 ? 1500 : 300;
    sim::Advance(In.ConsumeIntegralInRange<uint64_t>(0, Longest));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    FuzzedDataProvider In(Data, Size);
    kvrfuzz::TakeFreshKernel();
    DriverState = DRIVER_STATE{};
    sim::ExpectSurvivingPool(sim::Tag("ffub"));
    sim::ExpectSurvivingReferences(kvrfuzz::PeerDeviceName);
    sim::SetTraceObserver(CheckPublished);
    sim::SetFrameMode(In.ConsumeIntegralInRange<uint8_t>(0, 3));
    StoreSettings(In);

    kvrfuzz::Check(sim::LoadDriver(DriverEntry) == STATUS_SUCCESS, "DriverEntry");
    CheckDirectReads(In.ConsumeIntegral<uint8_t>());
    bool Built = BuildDataFilePath();
    CheckDataFilePath(Built);
    kvrfuzz::Check(sim::StartAdapter().FindStatus == NO_ERROR, "HwFindAdapter");

    for (int Turn = 0; Turn < 24 && In.remaining_bytes() > 0; ++Turn)
        Act(In);

    // The sibling completes what it still holds, while the monitor lives.
    sim::ClearRegistryFaults();
    sim::SetPeerCompletion(sim::Completion::Now);
    sim::CompletePeerRequests();
    sim::Advance(300);
    sim::CompletePeerRequests();
    kvrfuzz::CheckVerifier();
    sim::SetTraceObserver({});
    for (const sim::Violation &Violation : sim::Shutdown())
        kvrfuzz::Fault("verifier: " + Violation.Text);
    kvrfuzz::PrepareNextKernel();
    return 0;
}
