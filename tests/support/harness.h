// The test harness: a fresh simulated kernel and a driver image in its load
// state for every test, the driver loaded through the simulated video port,
// and small readers of the registry, pool and verifier state.
//
// Every test that derives from DriverTest starts from sim::Reset with the
// product key and the sibling driver's device key present, and fails at
// teardown on any verifier finding (leaked pool, IRQL misuse, held
// references) that it did not declare.
//
// Include this header before any driver header: the C library's declarations
// must precede the platform header's own declaration of strncpy.

#ifndef KVR_TEST_HARNESS_H
#define KVR_TEST_HARNESS_H

#include "sim/sim.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/state/state.h"

namespace kvrtest
{

inline constexpr std::string_view ProductKey =
    "\\Registry\\Machine\\Software\\Korvane\\Brindlecourt";
inline constexpr std::string_view PeerDeviceKey =
    "\\Registry\\Machine\\system\\CurrentControlSet\\Services\\KEVO\\Device0";
inline constexpr std::string_view PeerDeviceName = "\\Device\\KEVO-0";

// Both keys exist, the sibling's device exists, the pool log is on.
sim::Options DefaultOptions();

// The driver image as it is when loaded: DriverState with its initial values.
void ResetDriverImage();

class DriverTest : public ::testing::Test
{
  protected:
    void SetUp() override;
    void TearDown() override;

    // Starts over: a new simulated kernel with these options and a freshly
    // loaded driver image. SetUp does this with DefaultOptions(); a test may
    // do it again, and the findings of the kernel it ends are checked first.
    void ResetSystem(const sim::Options &Options = DefaultOptions());

    // DriverEntry through the simulated video port; returns its status.
    // Without the monitor, the thread creation is made to fail, so that
    // nothing of the driver runs on its own while the test drives it.
    NTSTATUS LoadDriver(bool WithMonitor = true);

    // LoadDriver and the first adapter start; asserts that both succeeded.
    void LoadAndStart(bool WithMonitor = true);

    // A verifier finding whose text contains Substring is expected once and
    // does not fail the test (it fails if it never occurs).
    void ExpectViolation(std::string Substring);

  private:
    // Shuts the kernel down and fails the test on every finding not expected.
    void FinishKernel();

    std::vector<std::string> ExpectedViolations;
    bool KernelRunning = false;
};

// Runs Body on a simulated system thread at PASSIVE_LEVEL and moves the
// virtual clock on until it has returned, for driver routines that wait.
// Fails the test if the thread blocks for good or LimitMs pass.
void RunOnSystemThread(const std::function<void()> &Body, uint64_t LimitMs = 60000);

// Plugs a monitor-mode frame (the first monitor-mode ID of the tables) and runs
// the clock until the monitor has attached to the sibling's device. Returns
// false if it did not within LimitMs.
bool AttachFrame(std::string_view Instance = "SER001", uint64_t LimitMs = 2000);

// Registry readers.
std::optional<sim::RegValue> ProductValue(std::string_view Name);
std::vector<sim::RegWrite> WritesOf(std::string_view Name);
std::vector<sim::RegQuery> QueriesOf(std::string_view Name);

// Pool of one tag, e.g. Pool("sger").
sim::PoolStats Pool(const char (&Tag)[5]);
// Allocations and frees of one tag from the pool log (Options::PoolLog).
std::vector<sim::PoolEvent> PoolEventsOf(const char (&Tag)[5]);

// Buffers for requests.
std::vector<uint8_t> Le32(uint32_t Value);
std::vector<uint8_t> Le32Pair(uint32_t First, uint32_t Second);
uint32_t ReadLe32(const uint8_t *Bytes);
std::vector<uint8_t> Utf16(std::string_view Text, bool Terminated = true);

// The test name of a table's row: its Name, '-' made '_' (GoogleTest's
// names are identifiers).
struct RowName {
    template <typename Row> std::string operator()(const ::testing::TestParamInfo<Row> &Info) const
    {
        std::string Name = Info.param.Name;
        for (char &C : Name)
            if (C == '-')
                C = '_';
        return Name;
    }
};

// The bytes of the live DriverState, to show that a call changed nothing.
std::vector<uint8_t> DriverStateBytes();

} // namespace kvrtest

#endif // KVR_TEST_HARNESS_H
