// The settings store: the registry call frame, the reads and writes by kind,
// the retry rule of PublishStatus on the virtual clock, and the refusal of
// stored values whose type or size does not fit their target.

#include "support/harness.h"

#include <array>
#include <cstring>

#include "driver/control/control.h"
#include "driver/settings/registry_frame.h"
#include "driver/settings/settings.h"

using namespace kvrtest;

namespace
{

constexpr LONGLONG HundredMs = -1000000;

class SettingsTest : public DriverTest
{
  protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        // No monitor: the only registry traffic is the test's own.
        ASSERT_EQ(LoadDriver(false), STATUS_SUCCESS);
    }
};

// A 4-byte target inside guard bytes, to see any byte written around it.
struct GuardedWord {
    std::array<uint8_t, 32> Bytes;
    static constexpr size_t Offset = 8;
    explicit GuardedWord(uint8_t Fill) { Bytes.fill(Fill); }
    PVOID Target() { return Bytes.data() + Offset; }
    uint32_t Value() const { return ReadLe32(Bytes.data() + Offset); }
    bool Untouched(uint8_t Fill) const
    {
        for (uint8_t b : Bytes) {
            if (b != Fill)
                return false;
        }
        return true;
    }
};

TEST_F(SettingsTest, QueryReadsDwordSettingsAndLeavesAbsentOnesUntouched)
{
    const std::pair<LONG, const char *> Kinds[] = {{SettingOrientation, "Orientation"},
                                                   {SettingBrightness, "Brightness"},
                                                   {SettingTrayPre, "TrayPre"}};
    for (auto [Kind, Name] : Kinds) {
        SCOPED_TRACE(Name);
        ULONG Target = 77;
        EXPECT_TRUE(KVR_CALL(QuerySetting, Kind, &Target)) << "absent value: no error";
        EXPECT_EQ(Target, 77u);

        ASSERT_TRUE(sim::SetDword(ProductKey, Name, 0x01020304));
        EXPECT_TRUE(KVR_CALL(QuerySetting, Kind, &Target));
        EXPECT_EQ(Target, 0x01020304u);
        ASSERT_EQ(QueriesOf(Name).size(), 2u);
        EXPECT_EQ(QueriesOf(Name)[1].RelativeTo, RTL_REGISTRY_ABSOLUTE);
        EXPECT_EQ(QueriesOf(Name)[1].Key, ProductKey);
    }

    DEVICE_INFO_RECORD Info{};
    const uint8_t Stored[] = {0x1A, 0x2B};
    ASSERT_TRUE(sim::SetValue(ProductKey, "DeviceInfo", REG_BINARY, Stored));
    EXPECT_TRUE(KVR_CALL(QuerySetting, SettingDeviceInfo, &Info));
    EXPECT_EQ(Info.PanelType.Load(), 0x1A);
    EXPECT_EQ(Info.PanelAux.Load(), 0x2B);
}

TEST_F(SettingsTest, QueryOfAMissingKeyOrAFailedReadLeavesTheTargetUntouched)
{
    ASSERT_TRUE(sim::SetDword(ProductKey, "Orientation", 5));
    ULONG Target = 77;
    sim::FailRegistryReads(1);
    EXPECT_FALSE(KVR_CALL(QuerySetting, SettingOrientation, &Target));
    EXPECT_EQ(Target, 77u);

    ASSERT_TRUE(sim::DeleteKey(ProductKey));
    EXPECT_FALSE(KVR_CALL(QuerySetting, SettingOrientation, &Target));
    EXPECT_EQ(Target, 77u);
}

TEST_F(SettingsTest, WritesCarryEachKindsTypeAndLength)
{
    KVR_STATE(DeviceInfoRecord).PanelType.Store(8);
    KVR_STATE(DeviceInfoRecord).PanelAux.Store(3);
    DEVICE_STATUS_RECORD &Status = KVR_STATE(DeviceStatusRecord);
    Status.LinkState.Store(1);
    Status.DeviceMode.Store(3);
    Status.ExternalSession.Store(1);
    Status.InputPending.Store(1);
    Status.SessionParam1.Store(0x11223344);
    Status.SessionParam2.Store(0xA0B0C0D0);
    ULONG Orientation = 0x00010002, Brightness = 90;

    EXPECT_TRUE(KVR_CALL(WriteSetting, SettingDeviceStatus, &KVR_STATE(DeviceStatusRecord)));
    EXPECT_TRUE(KVR_CALL(WriteSetting, SettingDeviceInfo, &KVR_STATE(DeviceInfoRecord)));
    EXPECT_TRUE(KVR_CALL(WriteSetting, SettingOrientation, &Orientation));
    EXPECT_TRUE(KVR_CALL(WriteSetting, SettingBrightness, &Brightness));

    const std::vector<uint8_t> StatusBytes = {1,    3,    1,    0,    1,    0,    0,    0,
                                              0x44, 0x33, 0x22, 0x11, 0xD0, 0xC0, 0xB0, 0xA0};
    EXPECT_EQ(ProductValue("DeviceStatus")->Type, REG_BINARY);
    EXPECT_EQ(ProductValue("DeviceStatus")->Data, StatusBytes);
    EXPECT_EQ(ProductValue("DeviceInfo")->Type, REG_BINARY);
    EXPECT_EQ(ProductValue("DeviceInfo")->Data, (std::vector<uint8_t>{8, 3}));
    EXPECT_EQ(ProductValue("Orientation")->Type, REG_DWORD);
    EXPECT_EQ(ProductValue("Orientation")->Data, Le32(0x00010002));
    EXPECT_EQ(ProductValue("Brightness")->Type, REG_DWORD);
    EXPECT_EQ(ProductValue("Brightness")->Data, Le32(90));
    for (const sim::RegWrite &Write : sim::RegistryWrites())
        EXPECT_EQ(Write.Key, ProductKey);
}

TEST_F(SettingsTest, KindsOutsideTheTablesTouchNothing)
{
    ASSERT_TRUE(sim::SetDword(ProductKey, "DeviceStatus", 9));
    GuardedWord Target(0x5A);
    for (LONG Kind : {LONG(0), LONG(SettingDeviceStatus), LONG(6), LONG(-1), LONG(0x7FFFFFFF)})
        EXPECT_FALSE(KVR_CALL(QuerySetting, Kind, Target.Target())) << Kind;
    ULONG Data = 1;
    for (LONG Kind : {LONG(0), LONG(SettingTrayPre), LONG(6), LONG(-1)})
        EXPECT_FALSE(KVR_CALL(WriteSetting, Kind, &Data)) << Kind;

    EXPECT_TRUE(Target.Untouched(0x5A));
    EXPECT_EQ(sim::RegistryQueryCount(), 0u);
    EXPECT_EQ(sim::RegistryWriteCount(), 0u);
    EXPECT_EQ(Pool("sger").Allocations, 0u);
}

TEST_F(SettingsTest, EveryCallWorksOnAFreshTaggedPathCopyThatIsFreed)
{
    ULONG Target = 0;
    ASSERT_TRUE(sim::SetDword(ProductKey, "TrayPre", 1));
    KVR_CALL(QuerySetting, SettingTrayPre, &Target);
    KVR_CALL(WriteSetting, SettingOrientation, &Target);
    sim::FailRegistryReads(1);
    KVR_CALL(QuerySetting, SettingTrayPre, &Target);
    sim::FailRegistryWrites(1);
    KVR_CALL(WriteSetting, SettingDeviceStatus, &KVR_STATE(DeviceStatusRecord));
    KVR_CALL(QueryAccelerationLevel, &Target);

    std::vector<sim::PoolEvent> Events = PoolEventsOf("sger");
    ASSERT_EQ(Events.size(), 8u);
    for (size_t i = 0; i < Events.size(); i += 2) {
        EXPECT_FALSE(Events[i].Free);
        EXPECT_EQ(Events[i].Type, PagedPool);
        EXPECT_EQ(Events[i].Bytes, 96u);
        EXPECT_TRUE(Events[i + 1].Free) << "freed before the next call";
        EXPECT_EQ(Events[i + 1].Address, Events[i].Address);
    }
    std::vector<sim::PoolEvent> Peer = PoolEventsOf("2ger");
    ASSERT_EQ(Peer.size(), 2u);
    EXPECT_EQ(Peer[0].Type, PagedPool);
    EXPECT_EQ(Peer[0].Bytes, 130u);
    EXPECT_TRUE(Peer[1].Free);
    EXPECT_EQ(Pool("sger").OutstandingCount, 0u);
    EXPECT_EQ(Pool("2ger").OutstandingCount, 0u);
}

TEST_F(SettingsTest, FailedPathCopyMakesNoRegistryCall)
{
    ASSERT_TRUE(sim::SetDword(ProductKey, "Orientation", 5));
    sim::FailAllocationsOfTag(sim::Tag("sger"));
    ULONG Target = 77;
    EXPECT_FALSE(KVR_CALL(QuerySetting, SettingOrientation, &Target));
    EXPECT_EQ(Target, 77u);
    EXPECT_FALSE(KVR_CALL(WriteSetting, SettingOrientation, &Target));
    EXPECT_FALSE(KVR_CALL(WriteSetting, SettingDeviceStatus, &KVR_STATE(DeviceStatusRecord)));
    EXPECT_EQ(sim::RegistryQueryCount(), 0u);
    EXPECT_EQ(sim::RegistryWriteCount(), 0u);
    EXPECT_EQ(Pool("sger").FailedAllocations, 3u);
    EXPECT_EQ(ProductValue("Orientation")->Data, Le32(5));
}

// The registry routines run at PASSIVE_LEVEL only, and lowering the IRQL
// below the caller's is a fatal error: a caller above PASSIVE_LEVEL gets a
// failure, with nothing allocated, read or written and its IRQL untouched.
// At APC_LEVEL the operations themselves (pageable) may run; at
// DISPATCH_LEVEL only the resident frame may be entered.
TEST_F(SettingsTest, CallerAbovePassiveLevelGetsFailureWithNothingReadOrWritten)
{
    ASSERT_TRUE(sim::SetDword(ProductKey, "Orientation", 5));
    ASSERT_TRUE(sim::SetString(ProductKey, "InstallLocation", "C:\\x"));
    uint64_t Allocations = sim::PoolTotals().Allocations;
    auto Refused = [&](const char *What, bool Result) {
        EXPECT_FALSE(Result) << What;
        EXPECT_EQ(sim::Irql(), APC_LEVEL) << What;
    };
    ULONG Target = 77;
    sim::SetIrql(APC_LEVEL);
    Refused("query", KVR_CALL(QuerySetting, SettingOrientation, &Target));
    Refused("write", KVR_CALL(WriteSetting, SettingOrientation, &Target));
    Refused("status", KVR_CALL(WriteSetting, SettingDeviceStatus, &KVR_STATE(DeviceStatusRecord)));
    Refused("level", KVR_CALL(QueryAccelerationLevel, &Target));
    Refused("publish", KVR_CALL(WriteDeviceStatus, false));
    sim::SetIrql(PASSIVE_LEVEL);
    EXPECT_EQ(Target, 77u);

    REGISTRY_QUERY Query = {RTL_REGISTRY_ABSOLUTE, u"Orientation", REG_NONE,
                            KVR_ROUTINE(StoreDwordValue), &Target};
    sim::SetIrql(DISPATCH_LEVEL);
    EXPECT_EQ(KVR_CALL(QueryRegistryValue, ProductKeyPath, ProductKeyPathTag, &Query),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(sim::Irql(), DISPATCH_LEVEL);
    sim::SetIrql(PASSIVE_LEVEL);
    EXPECT_EQ(Target, 77u);

    EXPECT_EQ(sim::RegistryQueryCount(), 0u);
    EXPECT_EQ(sim::RegistryWriteCount(), 0u);
    EXPECT_EQ(sim::PoolTotals().Allocations, Allocations);
    EXPECT_EQ(ProductValue("Orientation")->Data, Le32(5));

    // At PASSIVE_LEVEL the same calls go through.
    EXPECT_EQ(KVR_CALL(QueryRegistryValue, ProductKeyPath, ProductKeyPathTag, &Query),
              STATUS_SUCCESS);
    EXPECT_EQ(Target, 5u);
    EXPECT_TRUE(KVR_CALL(WriteSetting, SettingOrientation, &Target));
    EXPECT_EQ(Pool("sger").OutstandingCount, 0u);
}

// PublishStatus waits, so it runs on a system thread of its own.

class PublishTest : public SettingsTest
{
  protected:
    bool Publish()
    {
        bool Result = false;
        Start = sim::Now();
        WaitsBefore = sim::WaitCount();
        RunOnSystemThread([&] { Result = KVR_CALL(PublishStatus); });
        return Result;
    }
    uint64_t WaitsMade() const { return sim::WaitCount() - WaitsBefore; }
    int64_t Elapsed() const { return sim::Now() - Start; }

    int64_t Start = 0;
    uint64_t WaitsBefore = 0;
};

TEST_F(PublishTest, FirstSuccessMakesNoWait)
{
    KVR_STATE(DeviceInfoRecord).PanelType.Store(8);
    KVR_STATE(DeviceStatusRecord).LinkState.Store(1);

    EXPECT_TRUE(Publish());

    EXPECT_EQ(WaitsMade(), 0u);
    EXPECT_EQ(Elapsed(), 0);
    const std::vector<sim::RegWrite> &Writes = sim::RegistryWrites();
    ASSERT_EQ(Writes.size(), 2u);
    EXPECT_EQ(Writes[0].Name, "DeviceInfo");
    EXPECT_EQ(Writes[0].Data, (std::vector<uint8_t>{8, 0}));
    EXPECT_EQ(Writes[1].Name, "DeviceStatus");
    EXPECT_EQ(Writes[1].Data.size(), 16u);
    EXPECT_EQ(Writes[1].Data[0], 1);
}

TEST_F(PublishTest, FiftyFailuresThenSuccessWaitFiftyTimesAHundredMilliseconds)
{
    sim::FailRegistryWrites(50);

    EXPECT_TRUE(Publish());

    std::vector<sim::RegWrite> Info = WritesOf("DeviceInfo");
    ASSERT_EQ(Info.size(), 51u);
    for (size_t i = 0; i < 50; ++i)
        EXPECT_LT(Info[i].Status, 0);
    EXPECT_GE(Info[50].Status, 0);
    EXPECT_EQ(WaitsMade(), 50u);
    for (const sim::WaitRecord &Wait : sim::Waits()) {
        EXPECT_TRUE(Wait.Delay);
        EXPECT_EQ(Wait.Interval, HundredMs);
    }
    EXPECT_EQ(Elapsed(), 50 * 100 * sim::TicksPerMs);
    std::vector<sim::RegWrite> Status = WritesOf("DeviceStatus");
    ASSERT_EQ(Status.size(), 1u);
    EXPECT_GE(Status[0].Time, Info[50].Time);
}

TEST_F(PublishTest, NeverSucceedingDeviceInfoGivesUpAfterFiftyOneAttempts)
{
    const uint8_t Earlier[16] = {9, 9, 9};
    ASSERT_TRUE(sim::SetValue(ProductKey, "DeviceStatus", REG_BINARY, Earlier));
    sim::FailRegistryValueWrites("DeviceInfo");

    EXPECT_FALSE(Publish());

    EXPECT_EQ(WritesOf("DeviceInfo").size(), 51u);
    EXPECT_EQ(WaitsMade(), 50u);
    EXPECT_EQ(Elapsed(), 50 * 100 * sim::TicksPerMs);
    EXPECT_TRUE(WritesOf("DeviceStatus").empty());
    EXPECT_EQ(ProductValue("DeviceStatus")->Data, std::vector<uint8_t>(Earlier, Earlier + 16));
}

TEST_F(PublishTest, FailedDeviceStatusWriteIsNotRetried)
{
    sim::FailRegistryValueWrites("DeviceStatus");

    EXPECT_FALSE(Publish());

    EXPECT_EQ(WritesOf("DeviceInfo").size(), 1u);
    EXPECT_EQ(WritesOf("DeviceStatus").size(), 1u);
    EXPECT_EQ(WaitsMade(), 0u);
}

TEST_F(PublishTest, FailedPathCopyCountsAsAFailedAttempt)
{
    sim::FailNextAllocations(3);

    EXPECT_TRUE(Publish());

    EXPECT_EQ(Pool("sger").FailedAllocations, 3u);
    EXPECT_EQ(WaitsMade(), 3u);
    EXPECT_EQ(WritesOf("DeviceInfo").size(), 1u);
    EXPECT_EQ(WritesOf("DeviceStatus").size(), 1u);
    EXPECT_EQ(Pool("sger").OutstandingCount, 0u);
}

// Stored values of another type or size: refused, the target untouched.
// Beside each, what a plain direct query (RTL_QUERY_REGISTRY_DIRECT, no type
// check) makes of the same value.

class MistypedValueTest : public SettingsTest
{
  protected:
    static NTSTATUS DirectQuery(std::string_view Key, const char16_t *Name, PVOID Target)
    {
        std::u16string Path(Key.begin(), Key.end());
        RTL_QUERY_REGISTRY_TABLE Table[2] = {};
        Table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
        Table[0].Name = const_cast<PWSTR>(Name);
        Table[0].EntryContext = Target;
        return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, Path.c_str(), Table, nullptr, nullptr);
    }

    static size_t BytesChanged(const GuardedWord &Word, uint8_t Fill, size_t From)
    {
        size_t Changed = 0;
        for (size_t i = From; i < Word.Bytes.size(); ++i)
            Changed += Word.Bytes[i] != Fill ? 1 : 0;
        return Changed;
    }
};

TEST_F(MistypedValueTest, SixteenByteDeviceInfoIsRefused)
{
    std::vector<uint8_t> Sixteen(16, 0x99);
    ASSERT_TRUE(sim::SetValue(ProductKey, "DeviceInfo", REG_BINARY, Sixteen));

    GuardedWord Target(0x40);
    EXPECT_FALSE(KVR_CALL(QuerySetting, SettingDeviceInfo, Target.Target()));
    EXPECT_TRUE(Target.Untouched(0x40));
    EXPECT_EQ(QueriesOf("DeviceInfo").back().Status, STATUS_OBJECT_TYPE_MISMATCH);

    // The direct query takes the target's first four bytes (0x40404040) for
    // the size of a buffer and writes a length, a type and 16 bytes of data:
    // 24 bytes where the record has 2.
    GuardedWord Direct(0x40);
    EXPECT_EQ(DirectQuery(ProductKey, u"DeviceInfo", Direct.Target()), STATUS_SUCCESS);
    EXPECT_GE(BytesChanged(Direct, 0x40, GuardedWord::Offset + 2), 16u);
}

// A REG_EXPAND_SZ where a number belongs is read unexpanded (no call of the
// environment routines, which the verifier reports) and refused.
TEST_F(MistypedValueTest, ExpandableStringsAreReadUnexpandedAndRefused)
{
    for (const char *Name : {"Orientation", "TrayPre", "Brightness", "DeviceInfo"})
        ASSERT_TRUE(sim::SetString(ProductKey, Name, "%SystemRoot%", REG_EXPAND_SZ));
    ASSERT_TRUE(sim::SetString(PeerDeviceKey, "Acceleration.Level", "%x%", REG_EXPAND_SZ));
    GuardedWord Target(0);
    for (LONG Kind : {SettingOrientation, SettingTrayPre, SettingBrightness})
        EXPECT_FALSE(KVR_CALL(QuerySetting, Kind, Target.Target())) << Kind;
    EXPECT_TRUE(Target.Untouched(0));
    ULONG Level = 9;
    EXPECT_FALSE(KVR_CALL(QueryAccelerationLevel, &Level));
    EXPECT_EQ(Level, 9u);
    UCHAR Info[2] = {7, 7};
    EXPECT_FALSE(KVR_CALL(QuerySetting, SettingDeviceInfo, Info));
    EXPECT_EQ(Info[0], 7);
}

TEST_F(MistypedValueTest, StringOrientationIsRefused)
{
    ASSERT_TRUE(sim::SetString(ProductKey, "Orientation", "portrait"));

    GuardedWord Target(0);
    EXPECT_FALSE(KVR_CALL(QuerySetting, SettingOrientation, Target.Target()));
    EXPECT_TRUE(Target.Untouched(0));
    sim::StartAdapter();
    sim::IoctlResult Reply = sim::Ioctl(IoctlQueryOrientation, {}, 4);
    EXPECT_EQ(Reply.Output, Le32(0)) << "the control code reports 0";

    // The direct query takes the 4-byte word for a counted string, allocates
    // a buffer for the text and stores its length and address over the bytes
    // behind the word.
    GuardedWord Direct(0);
    EXPECT_EQ(DirectQuery(ProductKey, u"Orientation", Direct.Target()), STATUS_SUCCESS);
    EXPECT_GT(BytesChanged(Direct, 0, GuardedWord::Offset + 4), 0u);
    PVOID Allocated = nullptr;
    std::memcpy(&Allocated, Direct.Bytes.data() + GuardedWord::Offset + 8, sizeof(Allocated));
    ASSERT_NE(Allocated, nullptr);
    ExFreePoolWithTag(Allocated, 0);
}

TEST_F(MistypedValueTest, QwordAccelerationLevelIsRefused)
{
    const uint8_t Qword[8] = {3, 0, 0, 0, 0, 0, 0, 0x10};
    ASSERT_TRUE(sim::SetValue(PeerDeviceKey, "Acceleration.Level", REG_QWORD, Qword));

    GuardedWord Level(0);
    EXPECT_FALSE(KVR_CALL(QueryAccelerationLevel, static_cast<ULONG *>(Level.Target())));
    EXPECT_TRUE(Level.Untouched(0));

    // The direct query reads the level word as a buffer size: 0 fails, but a
    // word that happens to read as -8 lets it write all 8 bytes.
    GuardedWord Zero(0);
    EXPECT_LT(DirectQuery(PeerDeviceKey, u"Acceleration.Level", Zero.Target()), 0);
    GuardedWord MinusEight(0);
    const uint8_t Size[4] = {0xF8, 0xFF, 0xFF, 0xFF};
    std::memcpy(MinusEight.Target(), Size, 4);
    EXPECT_EQ(DirectQuery(PeerDeviceKey, u"Acceleration.Level", MinusEight.Target()),
              STATUS_SUCCESS);
    EXPECT_EQ(BytesChanged(MinusEight, 0, GuardedWord::Offset + 4), 1u)
        << "the high half lands behind the word";
    EXPECT_EQ(MinusEight.Value(), 3u);
}

TEST_F(MistypedValueTest, DwordSettingsNeedExactlyFourBytesOfTypeDword)
{
    const uint8_t Three[3] = {1, 2, 3};
    const uint8_t Four[4] = {1, 0, 0, 0};
    const uint8_t Eight[8] = {1};
    const std::tuple<ULONG, std::span<const uint8_t>> Stored[] = {
        {REG_DWORD, Three}, {REG_DWORD, Eight}, {REG_BINARY, Four}, {REG_QWORD, Eight}};
    for (auto [Type, Bytes] : Stored) {
        SCOPED_TRACE(testing::Message() << "type " << Type << ", " << Bytes.size() << " bytes");
        ASSERT_TRUE(sim::SetValue(ProductKey, "TrayPre", Type, Bytes));
        GuardedWord Target(0x77);
        EXPECT_FALSE(KVR_CALL(QuerySetting, SettingTrayPre, Target.Target()));
        EXPECT_TRUE(Target.Untouched(0x77));
    }
    ASSERT_TRUE(sim::SetValue(ProductKey, "TrayPre", REG_DWORD, Four));
    GuardedWord Target(0x77);
    EXPECT_TRUE(KVR_CALL(QuerySetting, SettingTrayPre, Target.Target()));
    EXPECT_EQ(Target.Value(), 1u);
    EXPECT_EQ(BytesChanged(Target, 0x77, 0), 4u);
}

} // namespace
