#include "support/harness.h"

#include <algorithm>
#include <filesystem>

#include "driver/detect/detect.h"

namespace kvrtest
{

sim::Options DefaultOptions()
{
    sim::Options Options;
    Options.Keys = {std::string(ProductKey), std::string(PeerDeviceKey)};
    Options.PoolLog = true;
    return Options;
}

void ResetDriverImage()
{
    ResetLoadedState();
}

void DriverTest::SetUp()
{
#ifdef KVR_TEST_IMAGE
    if (!std::filesystem::exists(KVR_TEST_IMAGE))
        GTEST_SKIP() << "no image at " << KVR_TEST_IMAGE << ": build the windows-x64 preset first";
    if (!sim::ImageInUse()) {
        ASSERT_EQ(sim::UseImage(KVR_TEST_IMAGE), "");
    }
#endif
    ResetSystem();
}

void DriverTest::ResetSystem(const sim::Options &Options)
{
    if (KernelRunning)
        FinishKernel();
    // The kernel first: it ends the threads that still use the old image.
    sim::Reset(Options);
    KernelRunning = true;
    ResetDriverImage();
    ExpectedViolations.clear();
    // Kept for the life of the driver, which has no unload path.
    sim::ExpectSurvivingPool(sim::Tag("ffub"));
    sim::ExpectSurvivingReferences(PeerDeviceName);
}

void DriverTest::TearDown()
{
    if (KernelRunning)
        FinishKernel();
}

void DriverTest::FinishKernel()
{
    KernelRunning = false;
    std::vector<sim::Violation> Found = sim::Shutdown();
    for (const sim::Violation &Violation : Found) {
        auto Expected = std::find_if(ExpectedViolations.begin(), ExpectedViolations.end(),
                                     [&](const std::string &Text) {
                                         return Violation.Text.find(Text) != std::string::npos;
                                     });
        if (Expected != ExpectedViolations.end()) {
            ExpectedViolations.erase(Expected);
            continue;
        }
        ADD_FAILURE() << "verifier: " << Violation.Text << " (at " << Violation.Time << ")";
    }
    for (const std::string &Missing : ExpectedViolations)
        ADD_FAILURE() << "expected verifier finding did not occur: " << Missing;
    ExpectedViolations.clear();
}

void DriverTest::ExpectViolation(std::string Substring)
{
    ExpectedViolations.push_back(std::move(Substring));
}

NTSTATUS DriverTest::LoadDriver(bool WithMonitor)
{
    if (!WithMonitor)
        sim::FailNextThreadCreations(1);
    return sim::LoadDriver(LoadedDriverEntry());
}

void DriverTest::LoadAndStart(bool WithMonitor)
{
    ASSERT_EQ(LoadDriver(WithMonitor), STATUS_SUCCESS);
    sim::StartAdapterResult Started = sim::StartAdapter();
    ASSERT_EQ(Started.FindStatus, NO_ERROR);
    // The display driver opens the video device: HwInitialize.
    ASSERT_EQ(sim::OpenVideoDevice(), STATUS_SUCCESS);
}

static void RunBody(PVOID Context)
{
    (*static_cast<const std::function<void()> *>(Context))();
}

static std::optional<sim::ThreadInfo> ThreadRunning(const void *Context)
{
    for (const sim::ThreadInfo &Thread : sim::Threads()) {
        if (Thread.StartRoutine == RunBody && Thread.StartContext == Context)
            return Thread;
    }
    return std::nullopt;
}

void RunOnSystemThread(const std::function<void()> &Body, uint64_t LimitMs)
{
    HANDLE Handle = nullptr;
    auto *Context = const_cast<std::function<void()> *>(&Body);
    ASSERT_EQ(PsCreateSystemThread(&Handle, 0, nullptr, nullptr, nullptr, RunBody, Context),
              STATUS_SUCCESS);
    int64_t Limit = sim::Now() + int64_t(LimitMs) * sim::TicksPerMs;
    for (;;) {
        sim::RunUntilIdle();
        std::optional<sim::ThreadInfo> Thread = ThreadRunning(Context);
        ASSERT_TRUE(Thread.has_value()) << "the system thread is gone";
        if (Thread->Finished)
            return;
        std::optional<int64_t> Wake = sim::NextWakeTime();
        ASSERT_TRUE(Wake.has_value()) << "the system thread blocked for good";
        ASSERT_LE(*Wake, Limit) << "the system thread did not return in time";
        sim::AdvanceToTicks(*Wake);
    }
}

bool AttachFrame(std::string_view Instance, uint64_t LimitMs)
{
    sim::PlugUsb(FrameVendorId[0], MonitorModeIds[0], Instance);
    uint64_t Limit = sim::NowMs() + LimitMs;
    while (KVR_STATE(PeerDevice).Load() == nullptr) {
        if (sim::NowMs() >= Limit)
            return false;
        sim::Advance(10);
    }
    return true;
}

std::optional<sim::RegValue> ProductValue(std::string_view Name)
{
    return sim::GetValue(ProductKey, Name);
}

std::vector<sim::RegWrite> WritesOf(std::string_view Name)
{
    std::vector<sim::RegWrite> Found;
    for (const sim::RegWrite &Write : sim::RegistryWrites()) {
        if (Write.Name == Name)
            Found.push_back(Write);
    }
    return Found;
}

std::vector<sim::RegQuery> QueriesOf(std::string_view Name)
{
    std::vector<sim::RegQuery> Found;
    for (const sim::RegQuery &Query : sim::RegistryQueries()) {
        if (std::find(Query.Names.begin(), Query.Names.end(), Name) != Query.Names.end())
            Found.push_back(Query);
    }
    return Found;
}

sim::PoolStats Pool(const char (&Tag)[5])
{
    return sim::PoolStatsForTag(sim::Tag(Tag));
}

std::vector<sim::PoolEvent> PoolEventsOf(const char (&Tag)[5])
{
    std::vector<sim::PoolEvent> Found;
    for (const sim::PoolEvent &Event : sim::PoolLog()) {
        if (Event.Tag == sim::Tag(Tag))
            Found.push_back(Event);
    }
    return Found;
}

std::vector<uint8_t> Le32(uint32_t Value)
{
    return {uint8_t(Value), uint8_t(Value >> 8), uint8_t(Value >> 16), uint8_t(Value >> 24)};
}

std::vector<uint8_t> Le32Pair(uint32_t First, uint32_t Second)
{
    std::vector<uint8_t> Bytes = Le32(First);
    std::vector<uint8_t> More = Le32(Second);
    Bytes.insert(Bytes.end(), More.begin(), More.end());
    return Bytes;
}

uint32_t ReadLe32(const uint8_t *Bytes)
{
    return uint32_t(Bytes[0]) | uint32_t(Bytes[1]) << 8 | uint32_t(Bytes[2]) << 16 |
           uint32_t(Bytes[3]) << 24;
}

std::vector<uint8_t> Utf16(std::string_view Text, bool Terminated)
{
    std::vector<uint8_t> Bytes;
    for (char c : Text) {
        Bytes.push_back(uint8_t(c));
        Bytes.push_back(0);
    }
    if (Terminated) {
        Bytes.push_back(0);
        Bytes.push_back(0);
    }
    return Bytes;
}

std::vector<uint8_t> DriverStateBytes()
{
    return LoadedStateBytes();
}

} // namespace kvrtest
