// The companion application's control codes through HwStartIO: length
// checks, the external session, orientation, display modes, power-off
// acknowledgement and the data-file path.

#include "support/harness.h"

#include <optional>
#include <string>
#include <tuple>

#include "driver/control/control.h"
#include "driver/detect/detect.h"
#include "driver/settings/settings.h"

using namespace kvrtest;

namespace
{

constexpr ULONG_PTR Untouched = 0x5A5A;

class ControlTest : public DriverTest
{
  protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        LoadAndStart(false);
    }

    sim::IoctlResult Call(ULONG Code, std::span<const uint8_t> Input = {}, ULONG OutputLength = 0,
                          uint8_t Prefill = 0xCC)
    {
        sim::IoctlResult Result = sim::Ioctl(Code, Input, OutputLength, Prefill, Untouched, 0x77);
        EXPECT_EQ(Result.Returned, TRUE) << "HwStartIO always completes the request";
        return Result;
    }

    std::vector<uint8_t> StoredStatus() { return ProductValue("DeviceStatus")->Data; }
};

struct CodeLengths {
    const char *Name;
    ULONG Code;
    ULONG Input;              // least input length accepted
    ULONG Output;             // least output length accepted
    std::optional<ULONG> Set; // Information on success, if the code sets it
};

// A code without output reports the count of its input only to an output
// buffer that can take it: these requests give none.

const CodeLengths AllCodes[] = {
    {"StartExternalSession", IoctlStartExternalSession, 8, 0, 0},
    {"QueryOrientation", IoctlQueryOrientation, 0, 4, 4},
    {"SetOrientation", IoctlSetOrientation, 4, 0, 0},
    {"ActivateClient", IoctlActivateClient, 0, 0, std::nullopt},
    {"QueryDisplayMode", IoctlQueryDisplayMode, 0, 6, 6},
    {"QueryPowerOff", IoctlQueryPowerOff, 0, 1, 1},
    {"QueryDataFilePath", IoctlQueryDataFilePath, 0, 200, 200},
    {"EndExternalSession", IoctlEndExternalSession, 0, 0, std::nullopt},
    {"QueryWideModel", IoctlQueryWideModel, 0, 1, 1},
};

TEST_F(DriverTest, EveryCodeChecksItsBufferLengthsBeforeItActs)
{
    LoadAndStart(true);
    ASSERT_TRUE(AttachFrame());
    ASSERT_TRUE(sim::SetString(ProductKey, "InstallLocation", "C:\\Frame"));

    for (const CodeLengths &C : AllCodes) {
        SCOPED_TRACE(C.Name);
        if (C.Input > 0 || C.Output > 0) {
            std::vector<uint8_t> Input(C.Input > 0 ? C.Input - 1 : 0, 0x01);
            ULONG Output = C.Output > 0 ? C.Output - 1 : 0;
            sim::RunUntilIdle();
            std::vector<uint8_t> Before = DriverStateBytes();
            uint64_t Writes = sim::RegistryWriteCount(), Queries = sim::RegistryQueryCount();

            sim::IoctlResult Short = sim::Ioctl(C.Code, Input, Output, 0xCC, Untouched);

            EXPECT_EQ(Short.Returned, TRUE);
            EXPECT_EQ(Short.Status, ERROR_INSUFFICIENT_BUFFER);
            EXPECT_EQ(Short.Information, 0u);
            EXPECT_EQ(DriverStateBytes(), Before) << "a refused request changes nothing";
            EXPECT_EQ(sim::RegistryWriteCount(), Writes);
            EXPECT_EQ(sim::RegistryQueryCount(), Queries);
        }
        std::vector<uint8_t> Input(C.Input, 0x01);
        sim::IoctlResult Enough = sim::Ioctl(C.Code, Input, C.Output, 0xCC, Untouched);
        EXPECT_EQ(Enough.Returned, TRUE);
        EXPECT_EQ(Enough.Status, NO_ERROR);
        EXPECT_EQ(Enough.Information, C.Set.value_or(Untouched));
    }
}

TEST_F(ControlTest, StartExternalSessionIsTakenOnlyWhileNoSessionIsOpen)
{
    sim::IoctlResult First = Call(IoctlStartExternalSession, Le32Pair(0x11111111, 0x22222222), 8);
    EXPECT_EQ(First.Status, NO_ERROR);
    EXPECT_EQ(First.Information, 8u);
    std::vector<uint8_t> Status = StoredStatus();
    EXPECT_EQ(Status[2], 1);
    EXPECT_EQ(ReadLe32(&Status[8]), 0x11111111u);
    EXPECT_EQ(ReadLe32(&Status[12]), 0x22222222u);
    ASSERT_EQ(WritesOf("DeviceStatus").size(), 1u);

    sim::IoctlResult Second = Call(IoctlStartExternalSession, Le32Pair(0x33333333, 0x44444444), 8);
    EXPECT_EQ(Second.Status, NO_ERROR);
    EXPECT_EQ(Second.Information, 8u);
    EXPECT_EQ(WritesOf("DeviceStatus").size(), 1u) << "the second request changes nothing";
    EXPECT_EQ(KVR_STATE(DeviceStatusRecord).SessionParam1.Load(), 0x11111111u);
    EXPECT_EQ(KVR_STATE(DeviceStatusRecord).SessionParam2.Load(), 0x22222222u);

    // The parameters outlive the session; the next session brings new ones.
    EXPECT_EQ(Call(IoctlEndExternalSession).Status, NO_ERROR);
    Status = StoredStatus();
    EXPECT_EQ(Status[2], 0);
    EXPECT_EQ(ReadLe32(&Status[8]), 0x11111111u);
    Call(IoctlStartExternalSession, Le32Pair(5, 6));
    Status = StoredStatus();
    EXPECT_EQ(Status[2], 1);
    EXPECT_EQ(ReadLe32(&Status[8]), 5u);
    EXPECT_EQ(ReadLe32(&Status[12]), 6u);
    for (const sim::RegWrite &Write : WritesOf("DeviceStatus")) {
        EXPECT_EQ(Write.Type, REG_BINARY);
        EXPECT_EQ(Write.Data.size(), 16u);
    }
}

TEST_F(ControlTest, StartExternalSessionWithSevenBytesIsRefused)
{
    std::vector<uint8_t> Seven = {1, 2, 3, 4, 5, 6, 7};
    sim::IoctlResult Result = Call(IoctlStartExternalSession, Seven);
    EXPECT_EQ(Result.Status, ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(Result.Information, 0u);
    EXPECT_EQ(KVR_STATE(DeviceStatusRecord).ExternalSession.Load(), 0);
    EXPECT_EQ(KVR_STATE(DeviceStatusRecord).SessionParam1.Load(), 0u);
    EXPECT_TRUE(WritesOf("DeviceStatus").empty());
}

TEST_F(ControlTest, OrientationIsStoredAndReadBack)
{
    sim::IoctlResult Absent = Call(IoctlQueryOrientation, {}, 4);
    EXPECT_EQ(Absent.Status, NO_ERROR);
    EXPECT_EQ(Absent.Output, Le32(0)) << "an absent value reads as 0";

    EXPECT_EQ(Call(IoctlSetOrientation, Le32(0x0102), 4).Information, 4u);
    EXPECT_EQ(ProductValue("Orientation")->Type, REG_DWORD);
    EXPECT_EQ(ProductValue("Orientation")->Data, Le32(0x0102));

    ASSERT_TRUE(sim::SetDword(ProductKey, "Orientation", 270));
    EXPECT_EQ(Call(IoctlQueryOrientation, {}, 4).Output, Le32(270));

    // A failed read reports 0, not the value of the last request.
    sim::FailRegistryReads(1);
    EXPECT_EQ(Call(IoctlQueryOrientation, {}, 4).Output, Le32(0));

    // A write the registry refuses is reported as refused, with no bytes,
    // and the stored value stays.
    sim::FailRegistryWrites(1);
    sim::IoctlResult Refused = Call(IoctlSetOrientation, Le32(90), 4);
    EXPECT_EQ(Refused.Status, ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(Refused.Information, 0u);
    EXPECT_EQ(Call(IoctlQueryOrientation, {}, 4).Output, Le32(270));
}

TEST_F(ControlTest, ActivateClientNeedsNoBuffers)
{
    sim::IoctlResult Result = Call(IoctlActivateClient);
    EXPECT_EQ(Result.Status, NO_ERROR);
    EXPECT_EQ(Result.Information, Untouched);
    EXPECT_EQ(KVR_STATE(ClientActive).Load(), 1);
}

// A code the driver does not know changes nothing. In the private codes'
// access class (FILE_READ_ACCESS, whatever the device type, function or
// method) it succeeds and reports nothing; any other access class, the video
// port's own IOCTL_VIDEO_* codes among them, answers ERROR_INVALID_FUNCTION
// with no bytes.
TEST_F(ControlTest, UnknownCodesChangeNothingAndOnlyPrivateOnesSucceed)
{
    struct Case {
        ULONG Code;
        VP_STATUS Status;
    };
    const Case Cases[] = {
        {PrivateIoctl(1), NO_ERROR},
        {PrivateIoctl(4), NO_ERROR},
        {PrivateIoctl(7), NO_ERROR},
        {PrivateIoctl(8), NO_ERROR},
        {PrivateIoctl(10), NO_ERROR},
        {PrivateIoctl(14), NO_ERROR},
        {0x224000, NO_ERROR},               // another device type, read access
        {0x234001, NO_ERROR},               // METHOD_IN_DIRECT, read access
        {0x230400, ERROR_INVALID_FUNCTION}, // a video code: FILE_ANY_ACCESS
        {0x230000, ERROR_INVALID_FUNCTION},
        {0x23001C, ERROR_INVALID_FUNCTION},
        {0x238000, ERROR_INVALID_FUNCTION}, // FILE_WRITE_ACCESS
        {0x23C000, ERROR_INVALID_FUNCTION}, // read and write access
        {0x2303FC, ERROR_INVALID_FUNCTION},
        {0, ERROR_INVALID_FUNCTION},
        {0xFFFFFFFF, ERROR_INVALID_FUNCTION},
    };
    sim::RunUntilIdle();
    std::vector<uint8_t> Before = DriverStateBytes();
    for (const Case &C : Cases) {
        sim::IoctlResult Result = Call(C.Code, Le32Pair(1, 2), 16);
        EXPECT_EQ(Result.Status, C.Status) << std::hex << C.Code;
        EXPECT_EQ(Result.Information, C.Status == NO_ERROR ? Untouched : 0) << std::hex << C.Code;
        if (C.Status != NO_ERROR) {
            EXPECT_TRUE(Result.Output.empty()) << std::hex << C.Code;
        }
    }
    EXPECT_EQ(DriverStateBytes(), Before);
    EXPECT_EQ(sim::RegistryWriteCount() + sim::RegistryQueryCount(), 0u);
}

// The display modes, stated independently of the driver's table.
std::optional<std::tuple<uint16_t, uint16_t, uint8_t>> ExpectedMode(unsigned PanelType)
{
    if ((PanelType >= 2 && PanelType <= 7) || (PanelType >= 11 && PanelType <= 16))
        return std::nullopt;
    switch (PanelType) {
    case 8:
        return std::tuple{800, 480, 16};
    case 10:
        return std::tuple{800, 480, 32};
    case 17:
        return std::tuple{800, 600, 16};
    case 19:
        return std::tuple{800, 600, 32};
    case 21:
        return std::tuple{1024, 768, 24};
    case 26:
    case 27:
        return std::tuple{800, 480, 24};
    case 30:
        return std::tuple{1024, 600, 24};
    default:
        return std::tuple{800, 600, 24};
    }
}

TEST_F(ControlTest, DisplayModeForEveryPanelType)
{
    for (unsigned PanelType = 0; PanelType < 256; ++PanelType) {
        SCOPED_TRACE(PanelType);
        KVR_STATE(DeviceInfoRecord).PanelType.Store(UCHAR(PanelType));
        sim::IoctlResult Result = Call(IoctlQueryDisplayMode, {}, 8, 0xCC);
        EXPECT_EQ(Result.Status, NO_ERROR);
        EXPECT_EQ(Result.Information, 6u);
        ASSERT_EQ(Result.Output.size(), 6u);
        auto Mode = ExpectedMode(PanelType);
        if (!Mode) {
            EXPECT_EQ(Result.Output, std::vector<uint8_t>(6, 0)) << "no mode: six zero bytes";
            continue;
        }
        auto [Width, Height, Bits] = *Mode;
        EXPECT_EQ(Result.Output[0] | Result.Output[1] << 8, Width);
        EXPECT_EQ(Result.Output[2] | Result.Output[3] << 8, Height);
        EXPECT_EQ(Result.Output[4], Bits);
        EXPECT_EQ(Result.Output[5], 0) << "byte 5 without input is 0";
    }
}

// What a reply reports is never more than the caller's output buffer holds,
// and every byte of it is defined: the driver's own, or the caller's input
// where the driver writes nothing. A caller whose buffer holds the whole
// reply gets the reply it always got. The verifier checks the same on every
// request (the fixture fails on its findings); these are the values.
TEST_F(ControlTest, RepliesFitTheOutputBufferAndDefineEveryByte)
{
    const std::vector<uint8_t> Params = {1, 2, 3, 4, 5, 6, 7, 8};
    const std::vector<uint8_t> Six = {0x61, 0x62, 0x63, 0x64, 0x65, 0x66};
    struct Case {
        const char *Name;
        ULONG Code;
        UCHAR PanelType;
        std::vector<uint8_t> Input;
        ULONG Output;
        ULONG_PTR Information;
        std::vector<uint8_t> Reply;
    };
    const Case Cases[] = {
        {"session, no output", IoctlStartExternalSession, 8, Params, 0, 0, {}},
        {"session, 4-byte output", IoctlStartExternalSession, 8, Params, 4, 0, {}},
        {"session, 7-byte output", IoctlStartExternalSession, 8, Params, 7, 0, {}},
        {"session, 8-byte output", IoctlStartExternalSession, 8, Params, 8, 8, Params},
        {"session, 12-byte output", IoctlStartExternalSession, 8, Params, 12, 8, Params},
        {"orientation, 2-byte output", IoctlSetOrientation, 8, {9, 0, 0, 0}, 2, 0, {}},
        {"orientation, 4-byte output", IoctlSetOrientation, 8, {9, 0, 0, 0}, 4, 4, {9, 0, 0, 0}},
        {"mode 8, no input", IoctlQueryDisplayMode, 8, {}, 6, 6, {0x20, 3, 0xe0, 1, 16, 0}},
        {"mode 8, six input bytes",
         IoctlQueryDisplayMode,
         8,
         Six,
         6,
         6,
         {0x20, 3, 0xe0, 1, 16, 0x66}},
        {"no mode, no input", IoctlQueryDisplayMode, 5, {}, 6, 6, {0, 0, 0, 0, 0, 0}},
        {"no mode, three input bytes",
         IoctlQueryDisplayMode,
         12,
         {7, 8, 9},
         6,
         6,
         {7, 8, 9, 0, 0, 0}},
        {"no mode, six input bytes", IoctlQueryDisplayMode, 2, Six, 8, 6, Six},
    };
    for (const Case &C : Cases) {
        SCOPED_TRACE(C.Name);
        KVR_STATE(DeviceInfoRecord).PanelType.Store(C.PanelType);
        KVR_STATE(DeviceStatusRecord).ExternalSession.Store(0);
        sim::IoctlResult Result = sim::Ioctl(C.Code, C.Input, C.Output);
        EXPECT_EQ(Result.Status, NO_ERROR);
        EXPECT_EQ(Result.Information, C.Information);
        EXPECT_EQ(Result.Output, C.Reply);
    }
}

TEST_F(ControlTest, QueryPowerOffReportsAndAcknowledges)
{
    struct Step {
        int SetState;    // a power state to set, or -1
        int Reported;    // the byte QueryPowerOff reports, or -1 for no query
        UCHAR FlagAfter; // PoweredOff after the step
    };
    const std::vector<std::vector<Step>> Sequences = {
        // Reported while still off: stays set.
        {{-1, 0, 0},
         {VideoPowerOff, -1, 1},
         {-1, 1, 1},
         {-1, 1, 1},
         {VideoPowerOn, -1, 1},
         {-1, 1, 0},
         {-1, 0, 0}},
        // Other states never set the flag.
        {{VideoPowerStandBy, 0, 0},
         {VideoPowerSuspend, 0, 0},
         {VideoPowerHibernate, 0, 0},
         {VideoPowerShutdown, 0, 0},
         {VideoPowerOn, 0, 0}},
        // Off and back before anyone asked: reported once.
        {{VideoPowerOff, -1, 1},
         {VideoPowerStandBy, -1, 1},
         {-1, 1, 0},
         {-1, 0, 0},
         {VideoPowerOff, -1, 1},
         {VideoPowerOff, 1, 1},
         {VideoPowerHibernate, 1, 0}},
    };
    for (size_t s = 0; s < Sequences.size(); ++s) {
        SCOPED_TRACE(s);
        ResetSystem();
        LoadAndStart(false);
        for (size_t i = 0; i < Sequences[s].size(); ++i) {
            const Step &Step = Sequences[s][i];
            SCOPED_TRACE(i);
            if (Step.SetState >= 0) {
                EXPECT_EQ(sim::SetPowerState(ULONG(Step.SetState)), NO_ERROR);
            }
            if (Step.Reported >= 0) {
                size_t Writes = WritesOf("DeviceStatus").size();
                sim::IoctlResult Result = Call(IoctlQueryPowerOff, {}, 1);
                EXPECT_EQ(Result.Status, NO_ERROR);
                EXPECT_EQ(Result.Output, std::vector<uint8_t>{uint8_t(Step.Reported)});
                EXPECT_EQ(WritesOf("DeviceStatus").size(), Writes + 1);
                EXPECT_EQ(StoredStatus()[3], Step.FlagAfter) << "PowerOffSeen mirrors the flag";
            }
            EXPECT_EQ(KVR_STATE(PoweredOff).Load(), Step.FlagAfter);
        }
    }
}

TEST_F(ControlTest, WideModelReportsTheLatestFrame)
{
    EXPECT_EQ(Call(IoctlQueryWideModel, {}, 1).Output, std::vector<uint8_t>{0});
    sim::PlugUsb(FrameVendorId[0], WideModelIds[2], "WIDE01");
    EXPECT_EQ(Call(IoctlQueryWideModel, {}, 1).Output, std::vector<uint8_t>{1});
    sim::PlugUsb("1234", "5678", "OTHER1");
    EXPECT_EQ(Call(IoctlQueryWideModel, {}, 1).Output, std::vector<uint8_t>{1});
    sim::PlugUsb(FrameVendorId[0], MonitorModeIds[0], "NARROW");
    EXPECT_EQ(Call(IoctlQueryWideModel, {}, 1).Output, std::vector<uint8_t>{0});
}

// The data-file path, with the sibling driver attached by the monitor.

std::vector<uint8_t> PathBytes(std::string_view Folder)
{
    std::vector<uint8_t> Bytes = Utf16("\\??\\" + std::string(Folder) + "\\kvrndis.dat");
    Bytes.resize(200, 0);
    return Bytes;
}

class DataFilePathTest : public DriverTest
{
  protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        LoadAndStart(true);
        ASSERT_TRUE(AttachFrame());
    }

    sim::IoctlResult Query(ULONG OutputLength = 200)
    {
        return sim::Ioctl(IoctlQueryDataFilePath, {}, OutputLength, 0xCC, Untouched);
    }

    void ExpectPath(std::string_view Folder)
    {
        sim::IoctlResult Result = Query();
        EXPECT_EQ(Result.Status, NO_ERROR);
        EXPECT_EQ(Result.Information, 200u);
        EXPECT_EQ(Result.Output, PathBytes(Folder));
    }

    void ExpectRefusal(const char *Why)
    {
        sim::IoctlResult Result = Query();
        EXPECT_EQ(Result.Status, ERROR_INSUFFICIENT_BUFFER) << Why;
        EXPECT_EQ(Result.Information, 0u) << Why;
        EXPECT_TRUE(Result.Output.empty()) << Why;
    }

    std::vector<uint8_t> Buffer() const
    {
        const auto *Bytes = reinterpret_cast<const uint8_t *>(KVR_STATE(DataFilePath).Load());
        return std::vector<uint8_t>(Bytes, Bytes + 200);
    }
};

TEST_F(DataFilePathTest, FolderOfEightyThreeCharactersFillsTheBufferExactly)
{
    std::string Folder = "C:\\" + std::string(80, 'f');
    ASSERT_TRUE(sim::SetString(ProductKey, "InstallLocation", Folder));
    sim::IoctlResult Result = Query();
    EXPECT_EQ(Result.Status, NO_ERROR);
    EXPECT_EQ(Result.Output, Utf16("\\??\\" + Folder + "\\kvrndis.dat"))
        << "99 characters and a terminator";

    std::vector<sim::PoolEvent> Scratch = PoolEventsOf("Ddk ");
    ASSERT_EQ(Scratch.size(), 2u);
    EXPECT_EQ(Scratch[0].Type, PagedPool);
    EXPECT_EQ(Scratch[0].Bytes, 200u);
    EXPECT_TRUE(Scratch[1].Free);
}

TEST_F(DataFilePathTest, TrailingBackslashIsKept)
{
    ASSERT_TRUE(sim::SetString(ProductKey, "InstallLocation", "D:\\Programs\\Frame\\"));
    ExpectPath("D:\\Programs\\Frame\\");
}

TEST_F(DataFilePathTest, ShorterPathLeavesNoTraceOfALongerOne)
{
    ASSERT_TRUE(sim::SetString(ProductKey, "InstallLocation", "C:\\" + std::string(80, 'x')));
    ExpectPath("C:\\" + std::string(80, 'x'));
    ASSERT_TRUE(sim::SetString(ProductKey, "InstallLocation", "E:\\y", REG_EXPAND_SZ));
    ExpectPath("E:\\y");
}

// Kernel-mode callers must read REG_EXPAND_SZ unexpanded: one without a
// variable reference is the folder as it stands; one with a reference has no
// expansion the driver can make and gives no path. A '%' in REG_SZ is a
// character like any other.
TEST_F(DataFilePathTest, ExpandableFolderIsTakenOnlyWithoutReferences)
{
    ASSERT_TRUE(sim::SetString(ProductKey, "InstallLocation", "E:\\Frame", REG_EXPAND_SZ));
    ExpectPath("E:\\Frame");
    ASSERT_TRUE(
        sim::SetString(ProductKey, "InstallLocation", "%ProgramFiles%\\Frame", REG_EXPAND_SZ));
    ExpectRefusal("a variable reference");
    ASSERT_TRUE(sim::SetString(ProductKey, "InstallLocation", "E:\\100%", REG_EXPAND_SZ));
    ExpectRefusal("a lone mark");
    ASSERT_TRUE(sim::SetString(ProductKey, "InstallLocation", "E:\\100%"));
    ExpectPath("E:\\100%");
}

TEST_F(DataFilePathTest, RefusedWhenNoCompletePathCanBeHandedOut)
{
    ASSERT_TRUE(sim::SetString(ProductKey, "InstallLocation", "C:\\Good"));
    ExpectPath("C:\\Good");

    ASSERT_TRUE(sim::SetString(ProductKey, "InstallLocation", "C:\\" + std::string(81, 'z')));
    ExpectRefusal("84 characters");
    EXPECT_EQ(Buffer(), [] {
        std::vector<uint8_t> Prefix = Utf16("\\??\\");
        Prefix.resize(200, 0);
        return Prefix;
    }()) << "the buffer keeps the prefix alone";

    ASSERT_TRUE(sim::SetDword(ProductKey, "InstallLocation", 7));
    ExpectRefusal("REG_DWORD");
    const uint8_t Binary[] = {'C', 0, ':', 0, 0, 0};
    ASSERT_TRUE(sim::SetValue(ProductKey, "InstallLocation", REG_BINARY, Binary));
    ExpectRefusal("REG_BINARY");
    ASSERT_TRUE(sim::DeleteValue(ProductKey, "InstallLocation"));
    ExpectRefusal("absent");
    ASSERT_TRUE(sim::DeleteKey(ProductKey));
    ExpectRefusal("no product key");
    ASSERT_TRUE(sim::CreateKey(ProductKey));
    ASSERT_TRUE(sim::SetString(ProductKey, "InstallLocation", "C:\\Good"));
    sim::FailRegistryReads(2);
    ExpectRefusal("read failed");
    sim::FailAllocationsOfTag(sim::Tag("Ddk "));
    ExpectRefusal("no scratch buffer");
    sim::ClearPoolFaults();

    sim::IoctlResult Short = Query(199);
    EXPECT_EQ(Short.Status, ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(Short.Information, 0u);
    ExpectPath("C:\\Good");
    EXPECT_EQ(Pool("Ddk ").OutstandingCount, 0u);
    EXPECT_EQ(Pool("sger").OutstandingCount, 0u);
}

// Folders that fit the 200-byte scratch buffer with their terminator (99
// characters) or not (100 and more) but never DataFilePath: refused, the
// buffer keeps the prefix alone, and nothing is written past the scratch
// buffer (its guard bytes, or AddressSanitizer, would say so at once).
TEST_F(DataFilePathTest, FoldersLongerThanTheScratchBufferAreRefused)
{
    std::vector<uint8_t> PrefixAlone = Utf16("\\??\\");
    PrefixAlone.resize(200, 0);
    for (size_t Characters : {99u, 100u, 101u, 200u, 4000u}) {
        ASSERT_TRUE(sim::SetString(ProductKey, "InstallLocation", "C:\\Good"));
        ExpectPath("C:\\Good");
        ASSERT_TRUE(sim::SetString(ProductKey, "InstallLocation",
                                   "C:\\" + std::string(Characters - 3, 'w')));
        ExpectRefusal("long folder");
        EXPECT_EQ(Buffer(), PrefixAlone) << Characters << " characters";
        EXPECT_TRUE(sim::Violations().empty()) << Characters << " characters";
        EXPECT_EQ(Pool("Ddk ").OutstandingCount, 0u);
    }
}

TEST_F(DataFilePathTest, AccelerationLevelOtherThanZeroRefuses)
{
    ASSERT_TRUE(sim::SetString(ProductKey, "InstallLocation", "C:\\Good"));
    ExpectPath("C:\\Good");
    ASSERT_TRUE(sim::SetDword(PeerDeviceKey, "Acceleration.Level", 0));
    ExpectPath("C:\\Good");

    ASSERT_TRUE(sim::SetString(ProductKey, "InstallLocation", "C:\\Other"));
    ASSERT_TRUE(sim::SetDword(PeerDeviceKey, "Acceleration.Level", 2));
    ExpectRefusal("level 2");
    EXPECT_EQ(Buffer(), PathBytes("C:\\Good")) << "the earlier path is left as it was";

    // A level of another type or size counts as unreadable.
    const uint8_t Qword[8] = {2};
    ASSERT_TRUE(sim::SetValue(PeerDeviceKey, "Acceleration.Level", REG_QWORD, Qword));
    ExpectPath("C:\\Other");
    const uint8_t Binary[4] = {2};
    ASSERT_TRUE(sim::SetValue(PeerDeviceKey, "Acceleration.Level", REG_BINARY, Binary));
    ExpectPath("C:\\Other");

    ASSERT_TRUE(sim::DeleteKey(PeerDeviceKey));
    ExpectPath("C:\\Other");
    EXPECT_EQ(Pool("2ger").OutstandingCount, 0u);
}

TEST_F(DataFilePathTest, RefusedWhileThePeerIsDetached)
{
    ASSERT_TRUE(sim::SetString(ProductKey, "InstallLocation", "C:\\Good"));
    sim::UnplugUsb(FrameVendorId[0], MonitorModeIds[0], "SER001");
    sim::Advance(1000);
    ASSERT_EQ(KVR_STATE(PeerDevice).Load(), nullptr);
    ExpectRefusal("detached");
}

TEST_F(DriverTest, DataFilePathRefusedWithoutItsBuffer)
{
    sim::FailAllocationsOfTag(sim::Tag("ffub"));
    LoadAndStart(true);
    ASSERT_EQ(KVR_STATE(DataFilePath).Load(), nullptr);
    ASSERT_TRUE(AttachFrame());
    ASSERT_TRUE(sim::SetString(ProductKey, "InstallLocation", "C:\\Good"));
    sim::IoctlResult Result = sim::Ioctl(IoctlQueryDataFilePath, {}, 200, 0xCC, Untouched);
    EXPECT_EQ(Result.Status, ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(Result.Information, 0u);
}

} // namespace
