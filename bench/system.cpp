// Building the steady states of a monitor turn on the simulated kernel, and
// accounting for the pool that a stretch of turns uses.

#include "system.h"

#include <cstdio>
#include <map>
#include <unistd.h>

#include "driver/control/control.h"
#include "driver/core/miniport.h"
#include "driver/state/state.h"

namespace kvrbench
{

namespace
{

constexpr ULONG PathCopyTag = sim::Tag("sger");

std::map<ULONG, sim::PoolStats> PoolByTag()
{
    std::map<ULONG, sim::PoolStats> Pool;
    for (const auto &[Tag, Stats] : sim::PoolStatsByTag())
        Pool[Tag] = Stats;
    return Pool;
}

void ActivateClient()
{
    // An empty input still points somewhere, as the video port's does.
    static const uint8_t NoInput = 0;
    sim::Ioctl(IoctlActivateClient, std::span<const uint8_t>(&NoInput, 0), 0);
}

bool InState(TurnMode Mode)
{
    const DEVICE_STATUS_RECORD &Status = DriverState.DeviceStatusRecord;
    bool Attached = DriverState.PeerDevice.Load() != nullptr;
    switch (Mode) {
    case TurnMode::Detached:
        return !Attached;
    case TurnMode::Setup:
        return Attached && Status.DeviceMode.Load() == 2;
    case TurnMode::PanelRefresh:
        return Attached && Status.DeviceMode.Load() == 3 && DriverState.ClientActive.Load() == 0;
    case TurnMode::InputPolling:
    case TurnMode::InputPending:
        return Attached && Status.DeviceMode.Load() == 3 && DriverState.ClientActive.Load() != 0 &&
               (Status.InputPending.Load() != 0) == (Mode == TurnMode::InputPending);
    }
    return false;
}

} // namespace

const char *TurnModeName(TurnMode Mode)
{
    switch (Mode) {
    case TurnMode::Detached:
        return "detached";
    case TurnMode::Setup:
        return "mode2";
    case TurnMode::PanelRefresh:
        return "mode3_panel_refresh";
    case TurnMode::InputPolling:
        return "mode3_input_polling";
    case TurnMode::InputPending:
        return "mode3_input_pending";
    }
    return "?";
}

uint64_t TurnPeriodMs(TurnMode Mode)
{
    return Mode == TurnMode::InputPolling || Mode == TurnMode::InputPending ? 500 : 250;
}

bool StartSystem(TurnMode Mode)
{
    sim::Options Options;
    Options.Keys = {ProductKey, PeerDeviceKey};
    Options.TraceEnabled = false;
    Options.RecordWaits = false;
    Options.RecordRegistry = false;
    Options.RecordPeerRequests = false;
    sim::Reset(Options);
    // A freshly loaded image: the driver's record as the loader leaves it.
    DriverState = DRIVER_STATE{};

    sim::SetFrameMode(Mode == TurnMode::Setup ? 2 : 3);
    sim::SetFramePanel(8, 0);
    sim::SetFrameInput(Mode == TurnMode::InputPending ? 1 : 0, 0);
    sim::SetPeerCompletion(sim::Completion::Now);
    if (!NT_SUCCESS(sim::LoadDriver(DriverEntry)))
        return false;
    if (sim::StartAdapter().FindStatus != NO_ERROR)
        return false;
    if (Mode != TurnMode::Detached)
        sim::PlugUsb("ABCD", "1000", "FR0001A7C2");
    sim::Advance(2000);
    if (Mode == TurnMode::InputPolling || Mode == TurnMode::InputPending) {
        ActivateClient();
        sim::Advance(2000);
    }
    return InState(Mode);
}

std::vector<sim::Violation> StopSystem()
{
    // Kept for the life of the driver, which has no unload path.
    sim::ExpectSurvivingPool(sim::Tag("ffub"));
    sim::ExpectSurvivingReferences("\\Device\\KEVO-0");
    return sim::Shutdown();
}

TurnAccount RunTurns(uint64_t Ms)
{
    sim::RunUntilIdle();
    uint64_t Waits = sim::WaitCount();
    uint64_t Registry = sim::RegistryWriteCount() + sim::RegistryQueryCount();
    uint64_t Requests = sim::PeerRequestCount();
    std::map<ULONG, sim::PoolStats> Before = PoolByTag();

    sim::Advance(Ms);

    TurnAccount Account;
    Account.Turns = sim::WaitCount() - Waits;
    Account.RegistryCalls = sim::RegistryWriteCount() + sim::RegistryQueryCount() - Registry;
    Account.PeerRequests = sim::PeerRequestCount() - Requests;
    for (const auto &[Tag, After] : PoolByTag()) {
        sim::PoolStats Start = Before.count(Tag) ? Before[Tag] : sim::PoolStats{};
        Account.Tags.push_back({Tag, After.Allocations - Start.Allocations, Start.OutstandingCount,
                                After.OutstandingCount, Start.OutstandingBytes,
                                After.OutstandingBytes});
    }
    return Account;
}

std::string CheckOnlyPathCopies(const TurnAccount &Account)
{
    std::string Findings;
    bool SawPathCopies = false;
    for (const TurnAccount::Tag &T : Account.Tags) {
        std::string Name = sim::TagText(T.Value);
        uint64_t Allowed = T.Value == PathCopyTag ? Account.RegistryCalls : 0;
        SawPathCopies |= T.Value == PathCopyTag;
        if (T.Allocations != Allowed)
            Findings += "tag '" + Name + "': " + std::to_string(T.Allocations) +
                        " allocations, expected " + std::to_string(Allowed) + "; ";
        if (T.OutstandingAfter != T.OutstandingBefore || T.BytesAfter != T.BytesBefore)
            Findings += "tag '" + Name + "': outstanding " + std::to_string(T.OutstandingBefore) +
                        " blocks (" + std::to_string(T.BytesBefore) + " bytes) before, " +
                        std::to_string(T.OutstandingAfter) + " (" + std::to_string(T.BytesAfter) +
                        " bytes) after; ";
    }
    if (!SawPathCopies && Account.RegistryCalls != 0)
        Findings += std::to_string(Account.RegistryCalls) + " registry calls without path copies; ";
    return Findings;
}

uint64_t ResidentKiB()
{
    FILE *Statm = std::fopen("/proc/self/statm", "r");
    if (Statm == nullptr)
        return 0;
    unsigned long long Size = 0, Resident = 0;
    int Read = std::fscanf(Statm, "%llu %llu", &Size, &Resident);
    std::fclose(Statm);
    if (Read != 2)
        return 0;
    return Resident * uint64_t(sysconf(_SC_PAGESIZE)) / 1024;
}

} // namespace kvrbench
