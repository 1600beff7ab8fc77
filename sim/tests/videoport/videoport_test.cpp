// The video port: loading a miniport, the kept callback table, the adapter
// start, power (the harness's calls and system transitions) and child
// enumeration.

#include "miniport.h"

namespace
{

using namespace videoport_test;

TEST_F(VideoPort, LoadKeepsTheTableAndReturnsTheChosenStatus)
{
    EXPECT_EQ(sim::LoadDriver(Entry), STATUS_SUCCESS);
    ASSERT_NE(sim::HwInitData(), nullptr);
    EXPECT_EQ(sim::HwInitData()->HwStartIO, StartIo);
    EXPECT_EQ(sim::HwInitData()->HwDeviceExtensionSize, 280u);
    ASSERT_EQ(sim::VideoPortInitializeCalls().size(), 1u);
    EXPECT_EQ(sim::VideoPortInitializeCalls()[0].Argument1, sim::DriverObject());

    sim::Reset();
    sim::SetVideoPortInitializeStatus(0xC0000001);
    EXPECT_EQ(sim::LoadDriver(Entry), (NTSTATUS)0xC0000001);
    EXPECT_EQ(sim::HwInitData(), nullptr);

    sim::Reset();
    sim::FailNextVideoPortInitialize(1);
    EXPECT_EQ(sim::LoadDriver(Entry), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(sim::LoadDriver(Entry), STATUS_SUCCESS);
}

// VideoPortInitialize checks the table beyond its size: a table larger than
// the port knows, or smaller than its oldest layout, is of another revision;
// the three callbacks every miniport has are required; and a table without
// the power and child callbacks (or too old to have them) does not qualify
// as Plug and Play: its adapter is detected inside VideoPortInitialize.
TEST_F(VideoPort, InitializeChecksTheTableAndDetectsLegacyAdaptersAtOnce)
{
    struct Case {
        const char *Name;
        ULONG Size;
        void (*Change)(VIDEO_HW_INITIALIZATION_DATA &);
        NTSTATUS Status;
        bool FoundInside; // HwFindAdapter ran inside VideoPortInitialize
        bool WithContext = false;
        VP_STATUS FindResult = NO_ERROR;
    };
    static int context;
    const Case Cases[] = {
        {"the whole record", sizeof(VIDEO_HW_INITIALIZATION_DATA), nullptr, STATUS_SUCCESS, false},
        {"larger", sizeof(VIDEO_HW_INITIALIZATION_DATA) + 8, nullptr, (NTSTATUS)0xC0000059, false},
        {"smaller than the oldest layout", 64, nullptr, (NTSTATUS)0xC0000059, false},
        {"the layout before early enumeration", 136, nullptr, STATUS_SUCCESS, false},
        {"the oldest layout: legacy", 72, nullptr, STATUS_SUCCESS, true},
        {"no HwFindAdapter", sizeof(VIDEO_HW_INITIALIZATION_DATA),
         [](VIDEO_HW_INITIALIZATION_DATA &d) { d.HwFindAdapter = nullptr; },
         STATUS_INVALID_PARAMETER, false},
        {"no HwInitialize", sizeof(VIDEO_HW_INITIALIZATION_DATA),
         [](VIDEO_HW_INITIALIZATION_DATA &d) { d.HwInitialize = nullptr; },
         STATUS_INVALID_PARAMETER, false},
        {"no HwStartIO", sizeof(VIDEO_HW_INITIALIZATION_DATA),
         [](VIDEO_HW_INITIALIZATION_DATA &d) { d.HwStartIO = nullptr; }, STATUS_INVALID_PARAMETER,
         false},
        {"no HwGetVideoChildDescriptor: legacy", sizeof(VIDEO_HW_INITIALIZATION_DATA),
         [](VIDEO_HW_INITIALIZATION_DATA &d) { d.HwGetVideoChildDescriptor = nullptr; },
         STATUS_SUCCESS, true},
        {"no HwSetPowerState: legacy", sizeof(VIDEO_HW_INITIALIZATION_DATA),
         [](VIDEO_HW_INITIALIZATION_DATA &d) { d.HwSetPowerState = nullptr; }, STATUS_SUCCESS,
         true},
        {"legacy, no adapter found", 72, nullptr, (NTSTATUS)0xC000000E, true, false,
         55 /* ERROR_DEV_NOT_EXIST */},
        {"a HwContext (a finding)", sizeof(VIDEO_HW_INITIALIZATION_DATA), nullptr, STATUS_SUCCESS,
         false, true},
    };
    for (const Case &c : Cases) {
        SCOPED_TRACE(c.Name);
        sim::Reset();
        Mini = {};
        Mini.InitDataSize = c.Size;
        Mini.Change = c.Change;
        Mini.Context = c.WithContext ? &context : nullptr;
        Mini.FindResult = c.FindResult;
        EXPECT_EQ(sim::LoadDriver(Entry), c.Status);
        EXPECT_EQ(Mini.FoundDuringEntry, c.FoundInside);
        EXPECT_EQ(sim::HwInitData() != nullptr, NT_SUCCESS(c.Status));
        EXPECT_EQ(sim::VideoPortInitializeCalls()[0].HwInitDataSize, c.Size);
        if (NT_SUCCESS(c.Status)) {
            // Either way the adapter is started once and can be opened.
            sim::StartAdapterResult start = sim::StartAdapter();
            EXPECT_EQ(start.FindStatus, NO_ERROR);
            EXPECT_EQ(Mini.FindCalls, 1u);
            EXPECT_EQ(sim::OpenVideoDevice(), STATUS_SUCCESS);
        }
        std::vector<sim::Violation> found = sim::Shutdown();
        ASSERT_EQ(found.size(), c.WithContext ? 1u : 0u);
        if (c.WithContext) {
            EXPECT_NE(found[0].Text.find("HwContext"), std::string::npos);
        }
    }
    sim::Reset();
}

TEST_F(VideoPort, AdapterStartChecksTheExtensionIsLeftAlone)
{
    ASSERT_EQ(sim::LoadDriver(Entry), STATUS_SUCCESS);
    sim::StartAdapterResult start = sim::StartAdapter();
    EXPECT_EQ(start.FindStatus, NO_ERROR);
    EXPECT_TRUE(start.ExtensionUntouched);
    Mini.TouchExtension = true;
    EXPECT_FALSE(sim::StartAdapter().ExtensionUntouched);
}

TEST_F(VideoPort, PowerAndChildCallsReachTheCallbacks)
{
    ASSERT_EQ(sim::LoadDriver(Entry), STATUS_SUCCESS);
    sim::StartAdapter();
    EXPECT_EQ(sim::SetPowerState(VideoPowerOff), NO_ERROR);
    EXPECT_EQ(Mini.LastPowerState, (ULONG)VideoPowerOff);
    EXPECT_EQ(Mini.LastHwId, DISPLAY_ADAPTER_HW_ID);
    EXPECT_EQ(sim::SetPowerState(VideoPowerOn, 3), NO_ERROR);
    EXPECT_EQ(Mini.LastHwId, 3u);
    VIDEO_POWER_MANAGEMENT reply{};
    EXPECT_EQ(sim::GetPowerState(VideoPowerStandBy, DISPLAY_ADAPTER_HW_ID, &reply), NO_ERROR);
    EXPECT_EQ(reply.PowerState, (ULONG)VideoPowerStandBy);
    sim::ChildResult child = sim::EnumerateChild();
    EXPECT_EQ(child.Status, ERROR_NO_MORE_DEVICES);
    EXPECT_EQ(child.Type, Monitor);
    EXPECT_EQ(child.UId, 77u);

    std::vector<ULONG> powers;
    for (const sim::TraceEvent &event : sim::Trace())
        if (event.Kind == sim::TraceKind::Power)
            powers.push_back(event.Code);
    EXPECT_EQ(powers, (std::vector<ULONG>{VideoPowerOff, VideoPowerOn}));
}

TEST_F(VideoPort, CallsWithoutALoadedMiniportAreViolations)
{
    ViolationsExpected = true;
    sim::Ioctl(0x234018, {}, 6);
    ASSERT_EQ(sim::Violations().size(), 1u);
    EXPECT_NE(sim::Violations()[0].Text.find("without a successful VideoPortInitialize"),
              std::string::npos);
}

TEST_F(VideoPort, InitializeAbovePassiveLevelIsAViolation)
{
    ViolationsExpected = true;
    VIDEO_HW_INITIALIZATION_DATA data;
    VideoPortZeroMemory(&data, sizeof data);
    data.HwInitDataSize = sizeof data;
    sim::SetIrql(APC_LEVEL);
    VideoPortInitialize(nullptr, nullptr, &data, nullptr);
    sim::SetIrql(PASSIVE_LEVEL);
    ASSERT_EQ(sim::Violations().size(), 1u);
    EXPECT_EQ(sim::Violations()[0].Text, "VideoPortInitialize at IRQL 1");
    sim::ClearViolations();
    EXPECT_EQ(sim::LoadDriver(Entry), STATUS_SUCCESS);
    EXPECT_TRUE(sim::Violations().empty());
    VideoPortInitialize(nullptr, nullptr, &data, nullptr);
    ASSERT_EQ(sim::Violations().size(), 1u);
    EXPECT_NE(sim::Violations()[0].Text.find("after DriverEntry returned"), std::string::npos);
}

// Power as the port delivers it to an adapter without children: for a
// system transition only, a query and then a set for the adapter; every
// other state entered from VideoPowerOn.
TEST(VideoPortPower, SystemTransitionsReachTheAdapterAsAQueryThenASet)
{
    sim::Reset();
    Mini = {};
    ASSERT_EQ(sim::LoadDriver(Entry), STATUS_SUCCESS);
    EXPECT_EQ(sim::SetSystemPower(sim::SystemPower::Sleep), 21u) << "not started";
    ASSERT_EQ(sim::StartAdapter().FindStatus, NO_ERROR);
    struct Step {
        sim::SystemPower Transition;
        std::vector<ULONG> Sets; // the states HwSetPowerState got
    };
    const Step Steps[] = {
        {sim::SystemPower::Resume, {}},
        {sim::SystemPower::Sleep, {VideoPowerOff}},
        {sim::SystemPower::Hibernate, {}}, // asleep already: not from VideoPowerOn
        {sim::SystemPower::Resume, {VideoPowerOn}},
        {sim::SystemPower::Hibernate, {VideoPowerHibernate}},
        {sim::SystemPower::Resume, {VideoPowerOn}},
    };
    for (const Step &step : Steps) {
        size_t before = sim::Trace().size();
        EXPECT_EQ(sim::SetSystemPower(step.Transition), NO_ERROR);
        std::vector<ULONG> sets;
        for (size_t i = before; i < sim::Trace().size(); ++i)
            if (sim::Trace()[i].Kind == sim::TraceKind::Power)
                sets.push_back(sim::Trace()[i].Code);
        EXPECT_EQ(sets, step.Sets);
        if (!step.Sets.empty()) {
            EXPECT_EQ(Mini.LastHwId, DISPLAY_ADAPTER_HW_ID);
            EXPECT_EQ(Mini.LastQueried, step.Sets.back()) << "queried first";
        }
    }
    EXPECT_TRUE(sim::Shutdown().empty());
    sim::Reset();
}

} // namespace
