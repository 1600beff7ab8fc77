// Fault sweep: every fallible platform call along the typical road and the
// control codes, made to fail once, and again from then on.
//
// The road: the adapter starts, a monitor-mode frame arrives and is
// attached, reports mode 2 and then 3, the companion application sends its
// control codes and activates, the monitor polls input, the display is
// powered off and on, the session ends, the frame leaves. A clean run is cut
// into segments (each harness action, each instant at which the monitor
// wakes) and records which fallible calls each segment makes: pool
// allocations, registry writes and reads by value name, the open of the
// sibling's device, request building, the status the sibling answers (a
// failure, or a completion left for later), device creation, notification
// registration. Each of these is a fault point.
//
// For every point the road runs again with the call failing once (in its
// segment only) and with it failing from then on. The faulty road must keep
// every control request to its two results and the publication's retry
// rhythm, and refuse the data-file path when it cannot be built. Then the
// faults are cleared and the road runs once more: the driver must end where
// a run without the fault ends, and the verifier must find no leak, no held
// or doubly dropped reference, no IRQL or wait misuse, no late completion
// into a dead buffer.

#include "support/harness.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "driver/control/control.h"
#include "driver/detect/detect.h"

namespace
{

using kvrtest::ProductKey;

enum class FaultKind {
    Allocation,     // a pool allocation (once: that call; from then on: its tag)
    RegistryWrite,  // a write of one value name
    RegistryRead,   // a read of one value name
    Open,           // IoGetDeviceObjectPointer
    RequestBuild,   // IoBuildDeviceIoControlRequest returns null
    RequestFailed,  // the sibling answers with a failure status
    RequestPending, // the sibling leaves the request pending, completes it later
    DeviceCreation, // IoCreateDevice
    Registration,   // IoRegisterPlugPlayNotification of one category
};

const char *KindName(FaultKind Kind)
{
    switch (Kind) {
    case FaultKind::Allocation:
        return "allocation";
    case FaultKind::RegistryWrite:
        return "registry write";
    case FaultKind::RegistryRead:
        return "registry read";
    case FaultKind::Open:
        return "open";
    case FaultKind::RequestBuild:
        return "request build";
    case FaultKind::RequestFailed:
        return "request status (failure)";
    case FaultKind::RequestPending:
        return "request status (pending)";
    case FaultKind::DeviceCreation:
        return "device creation";
    case FaultKind::Registration:
        return "notification registration";
    }
    return "?";
}

struct FaultPoint {
    size_t Segment;
    FaultKind Kind;
    std::string Name; // value name, pool tag
    unsigned Ordinal; // allocations: the call's place in its segment (1 = first)
    IO_NOTIFICATION_EVENT_CATEGORY Category = EventCategoryReserved;

    std::string Text() const
    {
        std::string Line = std::string(KindName(Kind)) + " in segment " + std::to_string(Segment);
        if (!Name.empty())
            Line += " (" + Name + ")";
        if (Kind == FaultKind::Allocation)
            Line += " #" + std::to_string(Ordinal);
        return Line;
    }
};

// The fallible calls of one segment of the clean road.
struct SegmentCalls {
    std::vector<ULONG> AllocationTags;
    std::set<std::string> Writes;
    std::set<std::string> Reads;
    size_t Opens = 0;
    size_t Requests = 0;
    size_t Creations = 0;
    std::vector<IO_NOTIFICATION_EVENT_CATEGORY> Registrations;
    bool DataFilePathRequest = false;
};

// Where the record logs stand at a quiet instant.
struct Marks {
    size_t Pool, Writes, Queries, Opens, Trace, Creations, Registrations;
};

Marks MarkNow()
{
    return {sim::PoolLog().size(),         sim::RegistryWrites().size(),
            sim::RegistryQueries().size(), sim::OpenCalls().size(),
            sim::Trace().size(),           sim::CreateDeviceCalls().size(),
            sim::PnpRegistrations().size()};
}

SegmentCalls CallsSince(const Marks &From)
{
    SegmentCalls Calls;
    const std::vector<sim::PoolEvent> &Pool = sim::PoolLog();
    for (size_t i = From.Pool; i < Pool.size(); ++i) {
        if (!Pool[i].Free)
            Calls.AllocationTags.push_back(Pool[i].Tag);
    }
    const std::vector<sim::RegWrite> &Writes = sim::RegistryWrites();
    for (size_t i = From.Writes; i < Writes.size(); ++i)
        Calls.Writes.insert(Writes[i].Name);
    const std::vector<sim::RegQuery> &Queries = sim::RegistryQueries();
    for (size_t i = From.Queries; i < Queries.size(); ++i)
        Calls.Reads.insert(Queries[i].Names.begin(), Queries[i].Names.end());
    Calls.Opens = sim::OpenCalls().size() - From.Opens;
    const std::vector<sim::TraceEvent> &Trace = sim::Trace();
    for (size_t i = From.Trace; i < Trace.size(); ++i)
        Calls.Requests += Trace[i].Kind == sim::TraceKind::Request;
    Calls.Creations = sim::CreateDeviceCalls().size() - From.Creations;
    const std::vector<sim::PnpRegistration> &Registrations = sim::PnpRegistrations();
    for (size_t i = From.Registrations; i < Registrations.size(); ++i)
        Calls.Registrations.push_back(Registrations[i].Category);
    return Calls;
}

// What a road leaves behind, compared between a faulty and a clean run.
struct Outcome {
    std::vector<std::string> Requests; // control requests of the last road
    std::vector<uint8_t> State;        // the driver's fields that outlive a road
    std::map<std::string, std::vector<uint8_t>> Values;
    size_t HeldReferences = 0;
    std::map<std::string, uint64_t> Pool; // outstanding blocks by tag

    bool operator==(const Outcome &) const = default;
};

std::string Describe(const sim::IoctlResult &Result, ULONG Code)
{
    std::string Line = std::to_string(Code) + ": " + std::to_string(Result.Status) + " " +
                       std::to_string(Result.Information) + " ";
    for (uint8_t Byte : Result.Output)
        Line += std::to_string(Byte) + ",";
    return Line;
}

constexpr uint64_t Forever = 1000000;
constexpr uint32_t SessionFirst = 0x11223344;
constexpr uint32_t SessionSecond = 0x55667788;

class FaultSweep : public kvrtest::DriverTest
{
  protected:
    // --- Segments, recording and injection ----------------------------------

    std::vector<SegmentCalls> *Recording = nullptr; // the clean road's segments
    const FaultPoint *Point = nullptr;              // the fault of this run
    bool FromThenOn = false;
    bool Armed = false;
    size_t Segment = 0;
    bool CompleteLater = false; // a request left pending in the last segment
    std::vector<std::string> *Requests = nullptr;
    bool InDataFilePathRequest = false;
    std::vector<VP_STATUS> DataFilePathResults;

    void Arm()
    {
        const FaultPoint &P = *Point;
        unsigned Count = FromThenOn ? Forever : 1;
        switch (P.Kind) {
        case FaultKind::Allocation:
            if (FromThenOn)
                sim::FailAllocationsOfTag(sim::Tag(TagOf(P.Name)));
            else
                sim::FailAllocationAt(P.Ordinal);
            break;
        case FaultKind::RegistryWrite:
            sim::FailRegistryValueWrites(P.Name);
            break;
        case FaultKind::RegistryRead:
            sim::FailRegistryValueReads(P.Name);
            break;
        case FaultKind::Open:
            sim::FailNextOpens(Count);
            break;
        case FaultKind::RequestBuild:
            sim::FailNextRequestBuilds(Count);
            break;
        case FaultKind::RequestFailed:
            sim::SetPeerCompletion(sim::Completion::Fail);
            break;
        case FaultKind::RequestPending:
            sim::SetPeerCompletion(sim::Completion::Pending);
            break;
        case FaultKind::DeviceCreation:
            sim::FailNextDeviceCreations(Count);
            break;
        case FaultKind::Registration:
            sim::FailNextPnpRegistrations(P.Category, Count);
            break;
        }
        Armed = true;
    }

    static const char (&TagOf(const std::string &Name))[5]
    {
        static const char Tags[][5] = {"sger", "2ger", "Ddk ", "ffub", "Rtl "};
        for (const auto &Tag : Tags) {
            if (Name == Tag)
                return Tag;
        }
        ADD_FAILURE() << "unknown tag " << Name;
        return Tags[0];
    }

    void Disarm()
    {
        sim::ClearPoolFaults();
        sim::ClearRegistryFaults();
        sim::FailNextOpens(0);
        sim::FailNextRequestBuilds(0);
        sim::FailNextDeviceCreations(0);
        sim::FailNextPnpRegistrations(EventCategoryDeviceInterfaceChange, 0);
        sim::FailNextPnpRegistrations(EventCategoryHardwareProfileChange, 0);
        sim::FailNextPnpRegistrations(EventCategoryTargetDeviceChange, 0);
        if (Point && Point->Kind == FaultKind::RequestPending && !FromThenOn)
            CompleteLater = true;
        sim::SetPeerCompletion(sim::Completion::Now);
        Armed = false;
    }

    // Runs one segment: arms the fault where it belongs, records the clean
    // road's calls.
    void RunSegment(const std::function<void()> &Body)
    {
        bool Later = CompleteLater;
        CompleteLater = false;
        if (Point && !Armed && Segment == Point->Segment)
            Arm();
        Marks Before = MarkNow();
        Body();
        if (Recording) {
            Recording->push_back(CallsSince(Before));
            Recording->back().DataFilePathRequest = InDataFilePathRequest;
        }
        if (Armed && !FromThenOn)
            Disarm();
        // A request left pending completes one segment later.
        if (Later)
            sim::CompletePeerRequests();
        ++Segment;
    }

    void Act(const std::function<void()> &Body) { RunSegment(Body); }

    // One wake-up of the simulated threads.
    void Tick()
    {
        std::optional<int64_t> Wake = sim::NextWakeTime();
        ASSERT_TRUE(Wake.has_value()) << "no simulated thread waits on the clock";
        RunSegment([&] { sim::AdvanceToTicks(*Wake); });
    }

    void Until(const std::function<bool()> &Done, uint64_t LimitMs)
    {
        int64_t Limit = sim::Now() + int64_t(LimitMs) * sim::TicksPerMs;
        while (!Done() && sim::Now() < Limit)
            Tick();
    }

    void For(uint64_t Ms)
    {
        int64_t Limit = sim::Now() + int64_t(Ms) * sim::TicksPerMs;
        for (;;) {
            std::optional<int64_t> Wake = sim::NextWakeTime();
            if (!Wake || *Wake > Limit)
                break;
            Tick();
        }
    }

    void Request(ULONG Code, std::vector<uint8_t> Input, ULONG OutputLength)
    {
        InDataFilePathRequest = Code == IoctlQueryDataFilePath;
        Act([&] {
            Input.push_back(0); // the empty input still points at a byte
            sim::IoctlResult Result = sim::Ioctl(
                Code, std::span<const uint8_t>(Input.data(), Input.size() - 1), OutputLength);
            EXPECT_TRUE(Result.Returned);
            EXPECT_TRUE(Result.Status == NO_ERROR || Result.Status == ERROR_INSUFFICIENT_BUFFER)
                << "control code " << Code << " answered " << Result.Status;
            if (Result.Status != NO_ERROR) {
                EXPECT_EQ(Result.Information, 0u);
            }
            if (Code == IoctlQueryDataFilePath)
                DataFilePathResults.push_back(Result.Status);
            if (Requests)
                Requests->push_back(Describe(Result, Code));
        });
        InDataFilePathRequest = false;
    }

    // --- The road -------------------------------------------------------------

    static void Notify(const GUID &Event)
    {
        sim::PostInterfaceChange(
            Event, GUID_DEVINTERFACE_USB_DEVICE,
            sim::UsbInterfaceName(FrameVendorId[0], MonitorModeIds[0], "SER001"));
    }

    void Road()
    {
        const DEVICE_STATUS_RECORD &Status = KVR_STATE(DeviceStatusRecord);
        Act([] { sim::StartAdapter(); });
        sim::SetFrameMode(2);
        sim::SetFramePanel(8, 0);
        sim::SetFrameInput(0, 0);
        Act([] { Notify(GUID_DEVICE_INTERFACE_ARRIVAL); });
        Until([] { return KVR_STATE(PeerDevice).Load() != nullptr; }, 3000);
        Until([&] { return Status.DeviceMode.Load() == 2; }, 3000);
        sim::SetFrameMode(3);
        Until([&] { return Status.DeviceMode.Load() == 3; }, 3000);
        For(600);

        Request(IoctlQueryDisplayMode, {}, 6);
        Request(IoctlStartExternalSession, kvrtest::Le32Pair(SessionFirst, SessionSecond), 0);
        Request(IoctlSetOrientation, kvrtest::Le32(2), 0);
        Request(IoctlQueryOrientation, {}, 4);
        Request(IoctlQueryWideModel, {}, 1);
        Request(IoctlQueryDataFilePath, {}, 200);
        Request(IoctlActivateClient, {}, 0);
        Request(0x234004, {}, 16); // a code the driver does not serve
        For(2000);

        Act([] { sim::SetPowerState(VideoPowerOff); });
        For(600);
        Request(IoctlQueryPowerOff, {}, 1);
        Act([] { sim::SetPowerState(VideoPowerOn); });
        Request(IoctlQueryPowerOff, {}, 1);
        Request(IoctlQueryPowerOff, {}, 1);
        For(600);
        Request(IoctlEndExternalSession, {}, 0);

        Act([] { Notify(GUID_DEVICE_INTERFACE_REMOVAL); });
        Until(
            [] {
                return KVR_STATE(PeerDevice).Load() == nullptr &&
                       KVR_STATE(PendingEvent).Load() == EventNone;
            },
            3000);
        For(600);
    }

    void StartSystem()
    {
        ResetSystem();
        ASSERT_TRUE(sim::SetString(ProductKey, "InstallLocation", "C:\\Program Files\\Kvr"));
        ASSERT_TRUE(sim::SetDword(kvrtest::PeerDeviceKey, "Acceleration.Level", 0));
        Segment = 0;
        Armed = false;
        CompleteLater = false;
        DataFilePathResults.clear();
        Act([&] { ASSERT_EQ(LoadDriver(true), STATUS_SUCCESS); });
    }

    // The faults cleared, what the sibling still holds completed.
    void Settle()
    {
        Disarm();
        CompleteLater = false;
        sim::CompletePeerRequests();
        For(300);
    }

    Outcome Observe(const std::vector<std::string> &LastRequests)
    {
        Outcome Result;
        Result.Requests = LastRequests;
        Result.State = {KVR_STATE(InterfaceNotifyRegistered).Load(),
                        KVR_STATE(ProfileNotifyRegistered).Load(),
                        uint8_t(KVR_STATE(PeerDevice).Load() != nullptr),
                        KVR_STATE(ClientActive).Load(),
                        uint8_t(KVR_STATE(PendingEvent).Load()),
                        KVR_STATE(WideModel).Load(),
                        uint8_t(KVR_STATE(PowerState).Load()),
                        KVR_STATE(PoweredOff).Load(),
                        uint8_t(KVR_STATE(OrientationValue).Load()),
                        uint8_t(KVR_STATE(TrayPresent).Load()),
                        KVR_STATE(InputReply)[0].Load(),
                        KVR_STATE(InputReply)[1].Load(),
                        KVR_STATE(DeviceInfoRecord).PanelType.Load(),
                        KVR_STATE(DeviceInfoRecord).PanelAux.Load(),
                        KVR_STATE(DeviceStatusRecord).LinkState.Load(),
                        KVR_STATE(DeviceStatusRecord).DeviceMode.Load(),
                        KVR_STATE(DeviceStatusRecord).ExternalSession.Load(),
                        KVR_STATE(DeviceStatusRecord).PowerOffSeen.Load(),
                        KVR_STATE(DeviceStatusRecord).InputPending.Load()};
        std::vector<uint8_t> Params =
            kvrtest::Le32Pair(KVR_STATE(DeviceStatusRecord).SessionParam1.Load(),
                              KVR_STATE(DeviceStatusRecord).SessionParam2.Load());
        Result.State.insert(Result.State.end(), Params.begin(), Params.end());
        for (const char *Name : {"DeviceInfo", "DeviceStatus", "Orientation"}) {
            std::optional<sim::RegValue> Value = kvrtest::ProductValue(Name);
            Result.Values[Name] = Value ? Value->Data : std::vector<uint8_t>{};
        }
        Result.HeldReferences = sim::OpenFileObjects();
        for (const auto &[Tag, Stats] : sim::PoolStatsByTag()) {
            if (Stats.OutstandingCount != 0)
                Result.Pool[sim::TagText(Tag)] = Stats.OutstandingCount;
        }
        return Result;
    }

    // PublishStatus retries a failed DeviceInfo write every 100 ms, 50 times.
    static void ExpectPublicationRetries(size_t From)
    {
        const std::vector<sim::RegWrite> &Writes = sim::RegistryWrites();
        unsigned Failures = 0;
        int64_t FailedAt = -1;
        for (size_t i = From; i < Writes.size(); ++i) {
            if (Writes[i].Name != "DeviceInfo")
                continue;
            if (FailedAt >= 0 && Failures < 51) {
                EXPECT_EQ(Writes[i].Time - FailedAt, 100 * sim::TicksPerMs)
                    << "DeviceInfo retried " << (Writes[i].Time - FailedAt) / sim::TicksPerMs
                    << " ms after a failed write";
            }
            if (NT_SUCCESS(Writes[i].Status)) {
                Failures = 0;
                FailedAt = -1;
            } else {
                Failures = Failures == 51 ? 1 : Failures + 1;
                FailedAt = Writes[i].Time;
            }
        }
    }

    // The clean run: the road, recorded; the faults cleared (none); the road
    // again.
    Outcome CleanRun(std::vector<SegmentCalls> &Segments)
    {
        Point = nullptr;
        Recording = &Segments;
        StartSystem();
        Road();
        Recording = nullptr;
        Settle();
        std::vector<std::string> Last;
        Requests = &Last;
        Road();
        Requests = nullptr;
        return Observe(Last);
    }

    // A faulty road, then the recovery road; returns what the latter left.
    Outcome FaultyRun(const FaultPoint &Fault, bool Persistent)
    {
        Point = &Fault;
        FromThenOn = Persistent;
        StartSystem();
        Road();
        ExpectInjected(Fault);
        ExpectPublicationRetries(0);
        ExpectDataFilePathRule(Fault);
        Point = nullptr;
        Settle();
        std::vector<std::string> Last;
        Requests = &Last;
        Road();
        Requests = nullptr;
        return Observe(Last);
    }

    // The fault did happen on the faulty road.
    static void ExpectInjected(const FaultPoint &Fault)
    {
        size_t Found = 0;
        switch (Fault.Kind) {
        case FaultKind::Allocation:
            Found = sim::PoolTotals().FailedAllocations;
            break;
        case FaultKind::RegistryWrite:
            for (const sim::RegWrite &Write : sim::RegistryWrites())
                Found += Write.Name == Fault.Name && !NT_SUCCESS(Write.Status);
            break;
        case FaultKind::RegistryRead:
            for (const sim::RegQuery &Query : sim::RegistryQueries())
                Found += !NT_SUCCESS(Query.Status) &&
                         std::find(Query.Names.begin(), Query.Names.end(), Fault.Name) !=
                             Query.Names.end();
            break;
        case FaultKind::Open:
            for (const sim::OpenCall &Open : sim::OpenCalls())
                Found += !NT_SUCCESS(Open.Status);
            break;
        case FaultKind::RequestBuild:
        case FaultKind::RequestFailed:
        case FaultKind::RequestPending:
            for (const sim::TraceEvent &Event : sim::Trace()) {
                if (Event.Kind != sim::TraceKind::Request)
                    continue;
                if (Fault.Kind == FaultKind::RequestBuild)
                    Found += Event.NoBuild;
                else if (Fault.Kind == FaultKind::RequestFailed)
                    Found += !Event.NoBuild && !NT_SUCCESS(Event.Status);
                else
                    Found += !Event.NoBuild && Event.Status == STATUS_PENDING;
            }
            break;
        case FaultKind::DeviceCreation:
            // The second creation of the same name fails on its own.
            for (const sim::CreateDeviceCall &Call : sim::CreateDeviceCalls())
                Found += Call.Status == STATUS_INSUFFICIENT_RESOURCES;
            break;
        case FaultKind::Registration:
            for (const sim::PnpRegistration &Registration : sim::PnpRegistrations())
                Found +=
                    Registration.Category == Fault.Category && !NT_SUCCESS(Registration.Status);
            break;
        }
        EXPECT_GT(Found, 0u) << "the fault was never injected";
    }

    // The data-file path is refused when it cannot be built (its text not
    // read, its scratch or key copy not allocated) and handed out when only
    // the acceleration level cannot be read.
    void ExpectDataFilePathRule(const FaultPoint &Fault)
    {
        if (DataFilePathResults.size() != 1 || FromThenOn)
            return;
        if (Fault.Segment >= Recorded.size() || !Recorded[Fault.Segment].DataFilePathRequest)
            return;
        VP_STATUS Result = DataFilePathResults[0];
        if (Fault.Kind == FaultKind::RegistryRead) {
            VP_STATUS Expected =
                Fault.Name == "InstallLocation" ? ERROR_INSUFFICIENT_BUFFER : NO_ERROR;
            EXPECT_EQ(Result, Expected)
                << "data-file path with the read of " << Fault.Name << " failing";
        }
        if (Fault.Kind == FaultKind::Allocation) {
            VP_STATUS Expected = Fault.Name == "2ger" ? NO_ERROR : ERROR_INSUFFICIENT_BUFFER;
            EXPECT_EQ(Result, Expected)
                << "data-file path with an allocation of '" << Fault.Name << "' failing";
        }
    }

    // Every fallible call of the clean road, as fault points.
    static std::vector<FaultPoint> PointsOf(const std::vector<SegmentCalls> &Segments)
    {
        std::vector<FaultPoint> Points;
        for (size_t s = 0; s < Segments.size(); ++s) {
            const SegmentCalls &Calls = Segments[s];
            for (unsigned j = 0; j < Calls.AllocationTags.size(); ++j)
                Points.push_back(
                    {s, FaultKind::Allocation, sim::TagText(Calls.AllocationTags[j]), j + 1});
            for (const std::string &Name : Calls.Writes)
                Points.push_back({s, FaultKind::RegistryWrite, Name, 0});
            for (const std::string &Name : Calls.Reads)
                Points.push_back({s, FaultKind::RegistryRead, Name, 0});
            if (Calls.Opens)
                Points.push_back({s, FaultKind::Open, "", 0});
            if (Calls.Requests) {
                Points.push_back({s, FaultKind::RequestBuild, "", 0});
                Points.push_back({s, FaultKind::RequestFailed, "", 0});
                Points.push_back({s, FaultKind::RequestPending, "", 0});
            }
            if (Calls.Creations)
                Points.push_back({s, FaultKind::DeviceCreation, "", 0});
            std::set<IO_NOTIFICATION_EVENT_CATEGORY> Categories(Calls.Registrations.begin(),
                                                                Calls.Registrations.end());
            for (IO_NOTIFICATION_EVENT_CATEGORY Category : Categories) {
                FaultPoint P{s, FaultKind::Registration, "", 0};
                P.Name = Category == EventCategoryDeviceInterfaceChange ? "interface"
                         : Category == EventCategoryTargetDeviceChange  ? "target"
                                                                        : "profile";
                P.Category = Category;
                Points.push_back(P);
            }
        }
        return Points;
    }

    // Sweeps the points whose kind is in Kinds.
    void Sweep(std::initializer_list<FaultKind> Kinds)
    {
        Outcome Clean = CleanRun(Recorded);
        ASSERT_EQ(Clean.Requests.size(), 12u);
        std::vector<FaultPoint> Points = PointsOf(Recorded);
        unsigned Runs = 0;
        unsigned Count = 0;
        std::map<std::string, unsigned> ByKind;
        for (const FaultPoint &P : Points) {
            if (std::find(Kinds.begin(), Kinds.end(), P.Kind) == Kinds.end())
                continue;
            ++Count;
            ++ByKind[KindName(P.Kind)];
            for (bool Persistent : {false, true}) {
                SCOPED_TRACE(P.Text() + (Persistent ? ", from then on" : ", once"));
                Outcome Recovered = FaultyRun(P, Persistent);
                ++Runs;
                if (P.Kind == FaultKind::Allocation && P.Name == "ffub") {
                    // The data-file buffer is allocated once, at load: without
                    // it the path is refused for good, and nothing else differs.
                    ExpectSameExceptDataFilePath(Recovered, Clean);
                } else {
                    EXPECT_TRUE(Recovered == Clean) << Difference(Recovered, Clean);
                }
                if (HasFailure())
                    return;
            }
        }
        std::printf("fault sweep: %u points, %u runs (road of %zu segments)\n", Count, Runs,
                    Recorded.size());
        for (const auto &[Kind, Points] : ByKind)
            std::printf("fault sweep:   %-28s %u points\n", Kind.c_str(), Points);
        EXPECT_GT(Count, 0u);
    }

    void ExpectSameExceptDataFilePath(Outcome Recovered, const Outcome &Clean)
    {
        bool Found = false;
        for (std::string &Line : Recovered.Requests) {
            if (Line.rfind(std::to_string(IoctlQueryDataFilePath) + ":", 0) != 0)
                continue;
            EXPECT_EQ(Line, std::to_string(IoctlQueryDataFilePath) + ": 122 0 ");
            Found = true;
            for (const std::string &Other : Clean.Requests) {
                if (Other.rfind(std::to_string(IoctlQueryDataFilePath) + ":", 0) == 0)
                    Line = Other;
            }
        }
        EXPECT_TRUE(Found);
        EXPECT_EQ(Recovered.Pool.count("ffub"), 0u);
        if (Clean.Pool.count("ffub"))
            Recovered.Pool["ffub"] = Clean.Pool.at("ffub");
        EXPECT_TRUE(Recovered == Clean) << Difference(Recovered, Clean);
    }

    static std::string Difference(const Outcome &A, const Outcome &B)
    {
        std::string Text;
        for (size_t i = 0; i < std::max(A.Requests.size(), B.Requests.size()); ++i) {
            std::string a = i < A.Requests.size() ? A.Requests[i] : "-";
            std::string b = i < B.Requests.size() ? B.Requests[i] : "-";
            if (a != b)
                Text += "request " + std::to_string(i) + ": " + a + " instead of " + b + "\n";
        }
        for (size_t i = 0; i < std::min(A.State.size(), B.State.size()); ++i) {
            if (A.State[i] != B.State[i])
                Text += "state byte " + std::to_string(i) + ": " + std::to_string(A.State[i]) +
                        " instead of " + std::to_string(B.State[i]) + "\n";
        }
        for (const auto &[Name, Data] : A.Values) {
            if (B.Values.count(Name) && B.Values.at(Name) != Data)
                Text += "registry value " + Name + " differs\n";
        }
        if (A.HeldReferences != B.HeldReferences)
            Text += "references held: " + std::to_string(A.HeldReferences) + " instead of " +
                    std::to_string(B.HeldReferences) + "\n";
        for (const auto &[Tag, Count] : A.Pool) {
            uint64_t Other = B.Pool.count(Tag) ? B.Pool.at(Tag) : 0;
            if (Other != Count)
                Text += "outstanding pool '" + Tag + "': " + std::to_string(Count) +
                        " instead of " + std::to_string(Other) + "\n";
        }
        for (const auto &[Tag, Count] : B.Pool) {
            if (!A.Pool.count(Tag))
                Text += "outstanding pool '" + Tag + "': none instead of " + std::to_string(Count) +
                        "\n";
        }
        return Text;
    }

    std::vector<SegmentCalls> Recorded;
};

TEST_F(FaultSweep, PoolAllocations)
{
    Sweep({FaultKind::Allocation});
}

TEST_F(FaultSweep, RegistryWritesAndReads)
{
    Sweep({FaultKind::RegistryWrite, FaultKind::RegistryRead});
}

TEST_F(FaultSweep, PeerOpenRequestsAndTheirStatus)
{
    Sweep({FaultKind::Open, FaultKind::RequestBuild, FaultKind::RequestFailed,
           FaultKind::RequestPending});
}

TEST_F(FaultSweep, DeviceCreationAndRegistrations)
{
    Sweep({FaultKind::DeviceCreation, FaultKind::Registration});
}

} // namespace
