// The explorer's harness: the contexts' actions, the boot and the checks.

#include "harness.h"
#include "tools/kvrsim/runner.h"

#include <cstdio>
#include <cstring>
#include <optional>

#include "driver/monitor/monitor.h"

namespace explore
{

Run R;
kvrsim::Timeline *Picture = nullptr;

void Fail(std::string text)
{
    R.Failures.push_back(std::move(text));
}

void HarnessStep(const void *record)
{
    if (__atomic_load_n(&KvrSwitchPointsOn, __ATOMIC_RELAXED))
        KvrSwitchPoint(record, SharedUpdate);
}

// --- The contexts' actions ------------------------------------------------------

void WaitUntilMs(uint64_t ms)
{
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)(ms * sim::TicksPerMs); // absolute, on the virtual clock
    KeDelayExecutionThread(KernelMode, FALSE, &at);
}

static uint32_t PairOf(uint32_t first)
{
    return first * 2654435761u ^ 0x5A5A5A5Au;
}

void StartSession(uint32_t first)
{
    HarnessStep(&R.Pairs);
    uint32_t second = PairOf(first);
    R.Pairs.insert({first, second});
    std::vector<uint8_t> input(8);
    for (int i = 0; i < 4; ++i) {
        input[i] = (uint8_t)(first >> (8 * i));
        input[4 + i] = (uint8_t)(second >> (8 * i));
    }
    sim::Ioctl(IoctlStartExternalSession, input, 0);
}

void EndSession()
{
    sim::Ioctl(IoctlEndExternalSession, {}, 0);
}

void QueryPowerOff()
{
    HarnessStep(&R.Stamp);
    uint64_t begin = R.Stamp++;
    sim::IoctlResult result = sim::Ioctl(IoctlQueryPowerOff, {}, 1);
    HarnessStep(&R.Stamp);
    uint8_t reported = result.Output.empty() ? 0xFF : result.Output[0];
    R.PowerQueries.push_back(PowerQuery{begin, R.Stamp++, reported});
}

void SetPower(ULONG state)
{
    HarnessStep(&R.Stamp);
    uint64_t begin = R.Stamp++;
    sim::SetPowerState(state);
    HarnessStep(&R.Stamp);
    R.PowerCalls.push_back(PowerCall{state, begin, R.Stamp++});
}

static bool IsMonitorModeId(const char *pid)
{
    bool monitorMode = false;
    for (const auto &id : MonitorModeIds)
        monitorMode = monitorMode || std::string_view(id) == pid;
    return monitorMode;
}

void Plug(const char *pid, const char *instance)
{
    HarnessStep(&R.Notifications);
    R.Notifications.push_back(Notification{pid, instance, IsMonitorModeId(pid), true});
    sim::PlugUsb(FrameVendorId[0], pid, instance);
}

void Unplug(const char *pid, const char *instance)
{
    HarnessStep(&R.Notifications);
    R.Notifications.push_back(Notification{pid, instance, IsMonitorModeId(pid), false});
    sim::UnplugUsb(FrameVendorId[0], pid, instance);
}

static std::vector<std::function<void()>> Bodies;

static void ThreadMain(PVOID context)
{
    Bodies[(size_t)(uintptr_t)context]();
}

void StartThreads(std::vector<std::function<void()>> bodies)
{
    Bodies = std::move(bodies);
    for (size_t i = 0; i < Bodies.size(); ++i) {
        HANDLE handle;
        if (PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, ThreadMain,
                                 (PVOID)(uintptr_t)i) != STATUS_SUCCESS)
            Fail("could not start a context's thread");
    }
}

// --- The system -----------------------------------------------------------------

void BootSystem(void (*beforeStart)())
{
    sim::Options options;
    options.Keys = {std::string(ProductKey), std::string(PeerDeviceKey)};
    options.TraceEnabled = false;
    options.RecordWaits = false;
    options.RecordPeerRequests = false;
    options.ThreadStackSize = 128 * 1024;
    sim::Reset(options);
    if (Picture)
        sim::SetTraceObserver([](const sim::TraceEvent &e) { kvrsim::AddToTimeline(*Picture, e); });
    kvrtest::ResetLoadedState();
    sim::ExpectSurvivingPool(sim::Tag("ffub"));
    sim::ExpectSurvivingReferences(PeerDeviceName);
    if (sim::LoadDriver(kvrtest::LoadedDriverEntry()) != STATUS_SUCCESS)
        Fail("DriverEntry failed");
    if (beforeStart)
        beforeStart();
    if (sim::StartAdapter().FindStatus != NO_ERROR)
        Fail("the adapter did not start");
}

void AttachFrame(sim::Completion completion)
{
    sim::SetFrameMode(3);
    sim::SetPeerCompletion(completion);
    sim::AdvanceTo(100);
    sim::PlugUsb(FrameVendorId[0], MonitorModeIds[2], AttachedInstance);
    sim::AdvanceTo(990);
    if (KVR_STATE(PeerDevice).Load() == nullptr)
        Fail("the frame was not attached");
}

// --- The properties -------------------------------------------------------------

static uint32_t Le32(const std::vector<uint8_t> &bytes, size_t at)
{
    return (uint32_t)bytes[at] | (uint32_t)bytes[at + 1] << 8 | (uint32_t)bytes[at + 2] << 16 |
           (uint32_t)bytes[at + 3] << 24;
}

static std::string HexOf(const std::vector<uint8_t> &bytes)
{
    std::string text;
    char digits[3];
    for (uint8_t byte : bytes) {
        snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

static std::vector<sim::RegWrite> DeviceStatusWrites()
{
    std::vector<sim::RegWrite> writes;
    for (const sim::RegWrite &write : sim::RegistryWrites())
        if (write.Name == "DeviceStatus" && NT_SUCCESS(write.Status))
            writes.push_back(write);
    return writes;
}

static std::vector<uint8_t> PublishedStatus()
{
    std::optional<sim::RegValue> stored = sim::GetValue(ProductKey, "DeviceStatus");
    return stored ? stored->Data : std::vector<uint8_t>{};
}

void CheckStatusSettled(const char *when)
{
    std::vector<uint8_t> record(sizeof(KVR_STATE(DeviceStatusRecord)));
    memcpy(record.data(), static_cast<const void *>(&KVR_STATE(DeviceStatusRecord)), record.size());
    if (DeviceStatusWrites().empty()) {
        Fail(std::string("status: no DeviceStatus was written ") + when);
        return;
    }
    std::vector<uint8_t> stored = PublishedStatus();
    if (stored != record)
        Fail(std::string("status: ") + when + " the registry holds DeviceStatus " +
             (stored.empty() ? std::string("(none)") : HexOf(stored)) + ", the record is " +
             HexOf(record));
}

void CheckPairs()
{
    for (const sim::RegWrite &write : DeviceStatusWrites()) {
        if (write.Data.size() != 16) {
            Fail("pair: a DeviceStatus of " + std::to_string(write.Data.size()) + " bytes");
            continue;
        }
        std::pair<uint32_t, uint32_t> pair{Le32(write.Data, 8), Le32(write.Data, 12)};
        if (pair != std::pair<uint32_t, uint32_t>{0, 0} && !R.Pairs.count(pair))
            Fail("pair: DeviceStatus " + HexOf(write.Data) +
                 " carries SessionParam1 and SessionParam2 of two different requests");
    }
}

void CheckPowerOff()
{
    QueryPowerOff();
    for (const PowerCall &call : R.PowerCalls) {
        if (call.State != VideoPowerOff)
            continue;
        bool reported = false;
        for (const PowerQuery &query : R.PowerQueries)
            reported = reported || (query.End > call.Begin && query.Reported == 1);
        if (!reported)
            Fail("power-off: the power-off given at stamp " + std::to_string(call.Begin) +
                 " was never reported by QueryPowerOff");
    }
    if (!R.PowerCalls.empty() && R.PowerCalls.back().State == VideoPowerOff &&
        R.PowerQueries.back().Reported != 1)
        Fail("power-off: the display is off, yet QueryPowerOff reports " +
             std::to_string(R.PowerQueries.back().Reported));
}

// The monitor attaches only for a monitor-mode frame whose instance does
// not begin with the external-session prefix. When no notification was of
// such a frame, an attach means that the monitor took the product ID of one
// notification with the instance of another.
void CheckEventsWhole()
{
    bool attachNotified = false;
    for (const Notification &notification : R.Notifications)
        attachNotified =
            attachNotified || (notification.Arrival && notification.MonitorMode &&
                               notification.Instance.compare(0, 6, ExternalInstance, 6) != 0);
    if (!attachNotified && !sim::OpenCalls().empty())
        Fail("event: the monitor opened the sibling's device, but every monitor-mode frame "
             "notified has the external-session prefix: it took identifiers of two "
             "notifications");
}

static std::string TextOf(const UCHAR *text)
{
    return std::string((const char *)text, strnlen((const char *)text, IdTextSize));
}

void CheckEventsHandled()
{
    if (KVR_STATE(PendingEvent).Load() != EventNone)
        Fail("event: an event is still in the slot once everything settled: the last "
             "connection event was not handled, or is handled again at every turn");
    if (KVR_STATE(EventSequence) != 0) {
        std::string pid = TextOf(KVR_STATE(CurrentPidText));
        bool belongs = false;
        for (const Notification &notification : R.Notifications)
            belongs = belongs || notification.Pid == pid;
        if (!belongs)
            Fail("event: the last event posted is of product " + pid +
                 ", which no notification named");
    }
    bool wide = IsWideModel(KVR_STATE(CurrentPidText));
    if (KVR_STATE(WideModel).Load() != (wide ? 1 : 0))
        Fail("event: WideModel is " + std::to_string(KVR_STATE(WideModel).Load()) +
             " for the event of product " + TextOf(KVR_STATE(CurrentPidText)));
    uint64_t trayPreQueries = 0;
    for (const sim::RegQuery &query : sim::RegistryQueries())
        for (const std::string &name : query.Names)
            trayPreQueries += query.Time >= R.ExploreStart && name == "TrayPre" ? 1 : 0;
    uint64_t monitorArrivals = 0;
    for (const Notification &notification : R.Notifications)
        monitorArrivals += notification.Arrival && notification.MonitorMode ? 1 : 0;
    if (trayPreQueries > monitorArrivals)
        Fail("event: " + std::to_string(trayPreQueries) + " monitor-mode arrivals handled for " +
             std::to_string(monitorArrivals) + " notified: one was handled twice");
}

void CheckLink(bool attached)
{
    size_t files = sim::OpenFileObjects();
    size_t registrations = sim::ActivePnpRegistrations(EventCategoryTargetDeviceChange);
    bool device = KVR_STATE(PeerDevice).Load() != nullptr;
    bool file = KVR_STATE(PeerFile) != nullptr;
    bool open = KVR_STATE(PeerLink) == PeerOpen;
    std::string state = "link state " + std::to_string(KVR_STATE(PeerLink)) + ", PeerDevice " +
                        std::string(device ? "set" : "clear") + ", PeerFile " +
                        (file ? "set" : "clear") + ", " + std::to_string(files) +
                        " file object(s) open, " + std::to_string(registrations) +
                        " target-device registration(s)";
    size_t expected = attached ? 1 : 0;
    if (open != attached || device != attached || file != attached || files != expected ||
        registrations != expected || (KVR_STATE(PeerNotifyEntry) != nullptr) != attached ||
        (!attached && KVR_STATE(PeerLink) != PeerClosed))
        Fail(std::string("link: expected ") + (attached ? "attached once" : "let go of") +
             ", found " + state);
    for (const sim::PeerRemovalRecord &removal : sim::PeerRemovals())
        if (!removal.Cancelled && removal.RemoveTime < 0)
            Fail("link: the sibling's device never got its IRP_MN_REMOVE_DEVICE: a file "
                 "object on it is still referenced");
}

void CheckPublished(uint8_t linkState, uint8_t deviceMode)
{
    std::vector<uint8_t> stored = PublishedStatus();
    if (stored.size() < 2 || stored[0] != linkState || stored[1] != deviceMode)
        Fail("published: DeviceStatus " + HexOf(stored) + ", expected link state " +
             std::to_string(linkState) + " and device mode " + std::to_string(deviceMode));
}

void CheckVerifier()
{
    for (const sim::Violation &violation : sim::Shutdown())
        Fail("verifier: " + violation.Text + " (at " + std::to_string(violation.Time) + ")");
}

} // namespace explore
