// Benchmarks of the driver on the simulated kernel: a monitor turn in each
// steady state, every private control code through HwStartIO,
// ClassifyFrame at its worst, and UsbInterfaceNotify.
//
//   kvr_bench [--benchmark_filter=REGEX] ...
//
// A turn is measured whole (driver and simulated kernel: one sim::Advance by
// the turn's period); the other benchmarks call the driver routine directly
// on the harness context. Each control code and each detection case has a
// function of its own (StartIO_<code>, Classify_<case>, Notify_<case>) that
// calls the driver routine itself, so that a callgrind profile of this
// program gives the instructions of one call per case (bench/callgrind.sh).

#include "system.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

#include "driver/control/control.h"
#include "driver/core/miniport.h"
#include "driver/state/state.h"
#include "driver/detect/detect.h"

using namespace kvrbench;

namespace
{

// --- Turns ------------------------------------------------------------------

void Turn(benchmark::State &State, TurnMode Mode)
{
    if (!StartSystem(Mode)) {
        StopSystem();
        State.SkipWithError("the steady state was not reached");
        return;
    }
    uint64_t Period = TurnPeriodMs(Mode);
    uint64_t Registry = sim::RegistryWriteCount() + sim::RegistryQueryCount();
    uint64_t Requests = sim::PeerRequestCount();
    for (auto _ : State)
        sim::Advance(Period);
    double Turns = double(State.iterations());
    State.counters["registry_calls"] =
        double(sim::RegistryWriteCount() + sim::RegistryQueryCount() - Registry) / Turns;
    State.counters["peer_requests"] = double(sim::PeerRequestCount() - Requests) / Turns;
    // Virtual seconds run per wall second.
    State.counters["sim_x_real"] =
        benchmark::Counter(double(Period) / 1000.0 * Turns, benchmark::Counter::kIsRate);
    StopSystem();
}

// --- HwStartIO --------------------------------------------------------------

// One buffered request as the video port builds it: one system buffer of
// max(input, output) bytes.
struct Request {
    ULONG Code;
    std::vector<uint8_t> Input;
    ULONG OutputLength;
    std::vector<uint8_t> Buffer;
    STATUS_BLOCK Status{};
    VIDEO_REQUEST_PACKET Packet{};

    Request(ULONG IoControlCode, std::vector<uint8_t> In, ULONG Out)
        : Code(IoControlCode), Input(std::move(In)), OutputLength(Out)
    {
        Buffer.resize(std::max<size_t>({Input.size(), OutputLength, 1}));
        Packet.IoControlCode = Code;
        Packet.StatusBlock = &Status;
        Packet.InputBuffer = Buffer.data();
        Packet.InputBufferLength = ULONG(Input.size());
        Packet.OutputBuffer = Buffer.data();
        Packet.OutputBufferLength = OutputLength;
    }

    // The video port fills the system buffer anew for every request.
    void Refill()
    {
        std::copy(Input.begin(), Input.end(), Buffer.begin());
        Status = STATUS_BLOCK{};
    }
};

// The system a control request meets: the frame attached in mode 3, a
// panel type with no entry of its own in the mode table (the longest search),
// and an install location for the data-file path. The clock does not move,
// so the monitor does not run while the requests are served.
bool StartControlSystem(benchmark::State &State)
{
    if (!StartSystem(TurnMode::PanelRefresh)) {
        StopSystem();
        State.SkipWithError("the frame could not be attached");
        return false;
    }
    sim::SetString(ProductKey, "InstallLocation", "C:\\Program Files\\Korvane\\Frame");
    DriverState.DeviceInfoRecord.PanelType.Store(1);
    return true;
}

// Inlined into each StartIO_<code>, so that every call of HwStartIO is made
// from a function named after its code.
template <typename Before>
[[gnu::always_inline]] inline void ServeRepeatedly(benchmark::State &State, Request &R,
                                                   Before &&Prepare)
{
    VP_STATUS Last = NO_ERROR;
    for (auto _ : State) {
        R.Refill();
        Prepare();
        HwStartIO(sim::DeviceExtension(), &R.Packet);
        Last = R.Status.Status;
    }
    if (Last != NO_ERROR)
        State.SkipWithError("the request was refused");
    StopSystem();
}

#define KVR_START_IO(Name, Code, Input, Output, Prepare)                                           \
    void StartIO_##Name(benchmark::State &State)                                                   \
    {                                                                                              \
        if (!StartControlSystem(State))                                                            \
            return;                                                                                \
        Request R(Code, Input, Output);                                                            \
        ServeRepeatedly(State, R, [] { Prepare; });                                                \
    }                                                                                              \
    BENCHMARK(StartIO_##Name)

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> List)
{
    return std::vector<uint8_t>(List);
}

// The codes that touch no registry value.
KVR_START_IO(ActivateClient, IoctlActivateClient, {}, 0, (void)0);
KVR_START_IO(QueryDisplayMode, IoctlQueryDisplayMode, {}, DisplayModeReplySize, (void)0);
KVR_START_IO(QueryWideModel, IoctlQueryWideModel, {}, 1, (void)0);
KVR_START_IO(UnknownCode, 0x234038, {}, 0, (void)0);
// The codes that read or write the product key (and, for the data-file path,
// the sibling driver's key).
KVR_START_IO(QueryOrientation, IoctlQueryOrientation, {}, 4, (void)0);
KVR_START_IO(SetOrientation, IoctlSetOrientation, Bytes({1, 0, 0, 0}), 0, (void)0);
// Each request starts the session anew, so that each one stores DeviceStatus.
KVR_START_IO(StartExternalSession, IoctlStartExternalSession, Bytes({1, 0, 0, 0, 2, 0, 0, 0}), 0,
             DriverState.DeviceStatusRecord.ExternalSession.Store(0));
KVR_START_IO(QueryPowerOff, IoctlQueryPowerOff, {}, 1, (void)0);
KVR_START_IO(EndExternalSession, IoctlEndExternalSession, {}, 0, (void)0);
KVR_START_IO(QueryDataFilePath, IoctlQueryDataFilePath, {}, ULONG(DataFilePathSize), (void)0);

// --- ClassifyFrame ------------------------------------------------------------

struct Ids {
    UCHAR VidText[IdTextSize];
    UCHAR PidText[IdTextSize];
    ANSI_STRING Vid, Pid;

    Ids(const char *VidChars, const char *PidChars)
    {
        std::copy(VidChars, VidChars + IdTextSize, VidText);
        std::copy(PidChars, PidChars + IdTextSize, PidText);
        Vid = {IdTextSize - 1, IdTextSize, reinterpret_cast<PCHAR>(VidText)};
        Pid = {IdTextSize - 1, IdTextSize, reinterpret_cast<PCHAR>(PidText)};
    }
};

template <typename Body> void WithViews(benchmark::State &State, Body &&Run)
{
    if (!StartSystem(TurnMode::Detached)) {
        StopSystem();
        State.SkipWithError("the driver did not start");
        return;
    }
    FRAME_ID_VIEWS Views;
    BuildFrameIdViews(&Views);
    Run(Views);
    StopSystem();
}

// The most comparisons: a removal of a frame-vendor device that is in no
// table, while an alternate-mode frame is recorded (DeviceMode 1), walks the
// alternate-mode table with its exception, the guarded ID and the
// monitor-mode table.
void Classify_RemovalUnknownWorst(benchmark::State &State)
{
    WithViews(State, [&](const FRAME_ID_VIEWS &Views) {
        Ids Id("ABCD", "FFFF");
        for (auto _ : State)
            benchmark::DoNotOptimize(ClassifyFrame(&Views, EventRemoval, &Id.Vid, &Id.Pid, 1));
    });
}
BENCHMARK(Classify_RemovalUnknownWorst);

// The worst arrival: both tables walked to their ends.
void Classify_ArrivalUnknown(benchmark::State &State)
{
    WithViews(State, [&](const FRAME_ID_VIEWS &Views) {
        Ids Id("abcd", "ffff");
        for (auto _ : State)
            benchmark::DoNotOptimize(ClassifyFrame(&Views, EventArrival, &Id.Vid, &Id.Pid, 0));
    });
}
BENCHMARK(Classify_ArrivalUnknown);

// The common case: the first monitor-mode ID.
void Classify_ArrivalMonitorFrame(benchmark::State &State)
{
    WithViews(State, [&](const FRAME_ID_VIEWS &Views) {
        Ids Id("ABCD", "1000");
        for (auto _ : State)
            benchmark::DoNotOptimize(ClassifyFrame(&Views, EventArrival, &Id.Vid, &Id.Pid, 0));
    });
}
BENCHMARK(Classify_ArrivalMonitorFrame);

// --- UsbInterfaceNotify -------------------------------------------------------

struct Notification {
    std::u16string Text;
    UNICODE_STRING Name{};
    DEVICE_INTERFACE_CHANGE_NOTIFICATION Change{};

    Notification(const GUID &Event, std::string_view Vid, std::string_view Pid)
    {
        std::string Ascii = sim::UsbInterfaceName(Vid, Pid, "FR0001A7C2");
        Text.assign(Ascii.begin(), Ascii.end());
        Name.Length = USHORT(Text.size() * sizeof(char16_t));
        Name.MaximumLength = USHORT(Name.Length + sizeof(char16_t));
        Name.Buffer = reinterpret_cast<PWSTR>(Text.data());
        Change.Version = 1;
        Change.Size = sizeof(Change);
        Change.Event = Event;
        Change.InterfaceClassGuid = GUID_DEVINTERFACE_USB_DEVICE;
        Change.SymbolicLinkName = &Name;
    }
};

template <typename Body> void WithDriver(benchmark::State &State, Body &&Run)
{
    if (!StartSystem(TurnMode::Detached)) {
        StopSystem();
        State.SkipWithError("the driver did not start");
        return;
    }
    Run();
    StopSystem();
}

// A frame arrives: the texts are taken, the vendor accepted, the event posted.
void Notify_FrameArrival(benchmark::State &State)
{
    WithDriver(State, [&] {
        Notification N(GUID_DEVICE_INTERFACE_ARRIVAL, "ABCD", "1000");
        for (auto _ : State)
            benchmark::DoNotOptimize(UsbInterfaceNotify(&N.Change, nullptr));
    });
}
BENCHMARK(Notify_FrameArrival);

void Notify_FrameRemoval(benchmark::State &State)
{
    WithDriver(State, [&] {
        Notification N(GUID_DEVICE_INTERFACE_REMOVAL, "ABCD", "1000");
        for (auto _ : State)
            benchmark::DoNotOptimize(UsbInterfaceNotify(&N.Change, nullptr));
    });
}
BENCHMARK(Notify_FrameRemoval);

// Any other USB device: read and turned away by its vendor ID.
void Notify_OtherDevice(benchmark::State &State)
{
    WithDriver(State, [&] {
        Notification N(GUID_DEVICE_INTERFACE_ARRIVAL, "1D6B", "0002");
        for (auto _ : State)
            benchmark::DoNotOptimize(UsbInterfaceNotify(&N.Change, nullptr));
    });
}
BENCHMARK(Notify_OtherDevice);

} // namespace

// The turns, one benchmark a steady state, named after it.
int main(int argc, char **argv)
{
    for (TurnMode Mode : AllTurnModes)
        benchmark::RegisterBenchmark((std::string("Turn/") + TurnModeName(Mode)).c_str(),
                                     [Mode](benchmark::State &State) { Turn(State, Mode); });
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
