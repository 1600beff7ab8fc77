// A whole typical road through the monitor: a frame plugged in monitor mode,
// attached, through modes 2 and 3, a client activated, input polled, the
// frame unplugged; then once more. Nothing leaks, every reference taken on
// the sibling's device is given back, and the verifier finds nothing.

#include "monitor_fixture.h"

using namespace kvrtest;
using namespace montest;

namespace
{

using MonitorRoadTest = MonitorTest;

std::vector<uint8_t> Registry(std::string_view Name)
{
    std::optional<sim::RegValue> Value = ProductValue(Name);
    EXPECT_TRUE(Value.has_value()) << Name;
    if (!Value)
        return {};
    EXPECT_EQ(Value->Type, REG_BINARY) << Name;
    return Value->Data;
}

TEST_F(MonitorRoadTest, PlugAttachPollUnplugTwice)
{
    PDEVICE_OBJECT Peer = PeerObject();
    ASSERT_NE(Peer, nullptr);
    LONG References = sim::ReferenceCount(Peer);
    ASSERT_GE(References, 0);

    for (int Round = 0; Round < 2; ++Round) {
        SCOPED_TRACE(Round);
        uint64_t Start = sim::NowMs();
        sim::SetFrameMode(2);
        sim::SetFramePanel(8, 0);
        sim::SetFrameInput(0, 0);
        sim::PlugUsb(Vendor(), MonitorId(), "SER001");
        sim::Advance(600);
        ASSERT_EQ(KVR_STATE(PeerDevice).Load(), Peer);
        EXPECT_EQ(sim::OpenFileObjects(), 1u);

        // Mode 2: panel and mode requests; then mode 3 and panel refresh.
        sim::Advance(400);
        EXPECT_EQ(KVR_STATE(DeviceStatusRecord).DeviceMode.Load(), 2);
        sim::SetFrameMode(3);
        sim::Advance(600);
        EXPECT_EQ(Registry("DeviceInfo"), (std::vector<uint8_t>{8, 0}));
        EXPECT_EQ(Registry("DeviceStatus"), Status(1, 3, 0, 0, 0));
        sim::IoctlResult Mode = Query(IoctlQueryDisplayMode, DisplayModeReplySize);
        EXPECT_EQ(Mode.Status, NO_ERROR);
        EXPECT_EQ(Mode.Output, (std::vector<uint8_t>{0x20, 0x03, 0xE0, 0x01, 16, 0}));

        // The client: input polling, then input pending.
        ASSERT_EQ(ActivateClient(), NO_ERROR);
        sim::Advance(600);
        sim::SetFrameInput(1, 0);
        sim::Advance(1000);
        EXPECT_EQ(Registry("DeviceStatus"), Status(1, 3, 0, 0, 1));
        int Inputs = 0;
        for (const sim::PeerRequest &Request : sim::PeerRequests())
            Inputs += Request.Command == 6 && Request.Time >= int64_t(Start) * sim::TicksPerMs;
        EXPECT_GE(Inputs, 2);

        // Unplugged: released, reset and published within a turn.
        sim::UnplugUsb(Vendor(), MonitorId(), "SER001");
        sim::Advance(500);
        EXPECT_EQ(KVR_STATE(PeerDevice).Load(), nullptr);
        EXPECT_EQ(KVR_STATE(ClientActive).Load(), 0);
        EXPECT_EQ(sim::OpenFileObjects(), 0u);
        EXPECT_EQ(sim::ReferenceCount(Peer), References);
        EXPECT_EQ(Registry("DeviceInfo"), (std::vector<uint8_t>{0, 0}));
        EXPECT_EQ(Registry("DeviceStatus"), std::vector<uint8_t>(16, 0));
        EXPECT_EQ(sim::PendingPeerRequests(), 0u);
        sim::Advance(1000);
    }

    // Every registry call frame freed its path copy, and nothing ran at a
    // wrong IRQL.
    EXPECT_EQ(Pool("sger").OutstandingCount, 0u);
    EXPECT_GT(Pool("sger").Allocations, 0u);
    EXPECT_EQ(sim::Irql(), PASSIVE_LEVEL);
    EXPECT_TRUE(sim::Violations().empty());
}

} // namespace
