// The video port: loading a miniport, the kept callback table, the adapter
// start, buffered control requests, power and child enumeration, and the
// trace those calls leave.

#include "sim.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace
{

// A small miniport, written for these tests.
struct {
    ULONG InitDataSize = sizeof(VIDEO_HW_INITIALIZATION_DATA);
    bool TouchExtension = false;
    ULONG LastPowerState = 0;
    ULONG LastHwId = 0;
    KIRQL StartIoIrql = 0;
} Mini;

VP_STATUS FindAdapter(PVOID extension, PVOID, PWSTR, PVIDEO_PORT_CONFIG_INFO, PUCHAR)
{
    if (Mini.TouchExtension)
        ((UCHAR *)extension)[279] = 1;
    return NO_ERROR;
}

BOOLEAN Initialize(PVOID)
{
    return TRUE;
}

// Echo: copies the input to the output reversed, reports the input length,
// and uses code 0x10 to report an error without touching Information.
BOOLEAN StartIo(PVOID, PVIDEO_REQUEST_PACKET packet)
{
    Mini.StartIoIrql = KeGetCurrentIrql();
    if (packet->IoControlCode == 0x10) {
        packet->StatusBlock->Status = ERROR_INSUFFICIENT_BUFFER;
        return TRUE;
    }
    if (packet->IoControlCode >= 0x20 && packet->IoControlCode <= 0x2F) {
        // Faulty replies: Information as the low nibble asks, and the first
        // two output bytes written.
        UCHAR *out = (UCHAR *)packet->OutputBuffer;
        for (ULONG i = 0; i < 2 && i < packet->OutputBufferLength; ++i)
            out[i] = UCHAR(0x40 + i);
        packet->StatusBlock->Status = NO_ERROR;
        packet->StatusBlock->Information = packet->IoControlCode & 0xF;
        return TRUE;
    }
    UCHAR *in = (UCHAR *)packet->InputBuffer;
    UCHAR *out = (UCHAR *)packet->OutputBuffer;
    ULONG n = packet->InputBufferLength;
    UCHAR copy[64];
    if (n)
        memcpy(copy, in, n);
    for (ULONG i = 0; i < n && i < packet->OutputBufferLength; ++i)
        out[i] = copy[n - 1 - i];
    packet->StatusBlock->Status = NO_ERROR;
    packet->StatusBlock->Information = n;
    return TRUE;
}

VP_STATUS SetPower(PVOID, ULONG hwId, PVIDEO_POWER_MANAGEMENT request)
{
    Mini.LastPowerState = request->PowerState;
    Mini.LastHwId = hwId;
    return NO_ERROR;
}

VP_STATUS GetPower(PVOID, ULONG, PVIDEO_POWER_MANAGEMENT)
{
    return NO_ERROR;
}

VP_STATUS ChildDescriptor(PVOID, PVIDEO_CHILD_ENUM_INFO, PVIDEO_CHILD_TYPE type, PUCHAR, PULONG uid,
                          PULONG)
{
    *type = Monitor;
    *uid = 77;
    return ERROR_NO_MORE_DEVICES;
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    VIDEO_HW_INITIALIZATION_DATA data;
    VideoPortZeroMemory(&data, sizeof data);
    data.HwInitDataSize = Mini.InitDataSize;
    data.HwFindAdapter = FindAdapter;
    data.HwInitialize = Initialize;
    data.HwStartIO = StartIo;
    data.HwDeviceExtensionSize = 280;
    data.HwSetPowerState = SetPower;
    data.HwGetPowerState = GetPower;
    data.HwGetVideoChildDescriptor = ChildDescriptor;
    return (NTSTATUS)VideoPortInitialize(driver, path, &data, nullptr);
}

class VideoPort : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        Mini = {};
        sim::Reset();
    }
    void TearDown() override
    {
        std::vector<sim::Violation> found = sim::Shutdown();
        if (!ViolationsExpected)
            for (const sim::Violation &violation : found)
                ADD_FAILURE() << violation.Text;
    }
    bool ViolationsExpected = false;
};

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

TEST_F(VideoPort, TableOfAnotherSizeIsRefused)
{
    Mini.InitDataSize = 136;
    EXPECT_LT(sim::LoadDriver(Entry), 0);
    EXPECT_EQ(sim::HwInitData(), nullptr);
    EXPECT_EQ(sim::VideoPortInitializeCalls()[0].HwInitDataSize, 136u);
}

TEST_F(VideoPort, AdapterStartChecksTheExtensionIsLeftAlone)
{
    ASSERT_EQ(sim::LoadDriver(Entry), STATUS_SUCCESS);
    sim::StartAdapterResult start = sim::StartAdapter();
    EXPECT_EQ(start.FindStatus, NO_ERROR);
    EXPECT_TRUE(start.Initialized);
    EXPECT_TRUE(start.ExtensionUntouched);
    Mini.TouchExtension = true;
    EXPECT_FALSE(sim::StartAdapter().ExtensionUntouched);
}

TEST_F(VideoPort, IoctlUsesOneBufferedSystemBuffer)
{
    ASSERT_EQ(sim::LoadDriver(Entry), STATUS_SUCCESS);
    sim::StartAdapter();
    std::vector<uint8_t> input = {1, 2, 3};
    sim::IoctlResult result = sim::Ioctl(0x234000, input, 6, 0xCC, 99);
    EXPECT_TRUE(result.Returned);
    EXPECT_EQ(result.Status, NO_ERROR);
    EXPECT_EQ(result.Information, 3u);
    // Information limits what is copied back; the rest was pre-filled.
    EXPECT_EQ(result.Output, (std::vector<uint8_t>{3, 2, 1}));

    // An error: the I/O manager copies nothing back.
    result = sim::Ioctl(0x10, {}, 4, 0xCC, 99);
    EXPECT_EQ(result.Status, ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(result.Information, 99u);
    EXPECT_TRUE(result.Output.empty());

    // The harness's IRQL is the one HwStartIO sees.
    sim::SetIrql(APC_LEVEL);
    sim::Ioctl(0x234018, {}, 6);
    sim::SetIrql(PASSIVE_LEVEL);
    EXPECT_EQ(Mini.StartIoIrql, APC_LEVEL);

    const auto &trace = sim::Trace();
    ASSERT_GE(trace.size(), 3u);
    EXPECT_EQ(trace[1].Kind, sim::TraceKind::Ioctl);
    EXPECT_EQ(trace[1].Code, 0x234000u);
    EXPECT_EQ(trace[1].Information, 3u);
    EXPECT_EQ(trace[1].Data, (std::vector<uint8_t>{3, 2, 1}));
}

// The I/O manager's completion of a buffered request: exactly Information
// bytes go back, nothing on an error; a count above the caller's buffer or
// the system buffer, and a reported byte nobody wrote, are findings.
TEST_F(VideoPort, BufferedRepliesAreCopiedAsTheIoManagerCompletesThem)
{
    struct Case {
        const char *Name;
        ULONG Code; // 0x2N: Information N, two bytes written
        std::vector<uint8_t> Input;
        ULONG Output;
        std::vector<uint8_t> Received;
        std::vector<std::string> Findings;
    };
    const Case Cases[] = {
        {"fits", 0x22, {}, 4, {0x40, 0x41}, {}},
        {"no output buffer: nothing copied, the count still too large",
         0x22,
         {},
         0,
         {},
         {"reported 2 bytes for 0x22 with an output buffer of 0"}},
        {"count above the output",
         0x23,
         {7, 8, 9, 10},
         2,
         {0x40, 0x41, 9},
         {"reported 3 bytes for 0x23 with an output buffer of 2"}},
        {"unwritten bytes past the input",
         0x24,
         {7, 8, 9},
         4,
         {0x40, 0x41, 9, 0xCC},
         {"(offsets 3)"}},
        {"input bytes are the caller's own", 0x24, {7, 8, 9, 10}, 4, {0x40, 0x41, 9, 10}, {}},
        {"count above the system buffer",
         0x26,
         {},
         4,
         {0x40, 0x41, 0xCC, 0xCC},
         {"reported 6 bytes for 0x26 with an output buffer of 4", "reads past the pool block",
          "(offsets 2,3)"}},
        {"an error: nothing copied, the count not checked", 0x10, {}, 0, {}, {}},
    };
    ASSERT_EQ(sim::LoadDriver(Entry), STATUS_SUCCESS);
    sim::StartAdapter();
    ViolationsExpected = true;
    for (const Case &c : Cases) {
        SCOPED_TRACE(c.Name);
        sim::ClearViolations();
        sim::IoctlResult result = sim::Ioctl(c.Code, c.Input, c.Output, 0xCC, 0x99);
        EXPECT_EQ(result.Output, c.Received);
        const auto &found = sim::Violations();
        EXPECT_EQ(found.size(), c.Findings.size());
        for (size_t i = 0; i < c.Findings.size() && i < found.size(); ++i)
            EXPECT_NE(found[i].Text.find(c.Findings[i]), std::string::npos) << found[i].Text;
    }
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

} // namespace

namespace
{

std::atomic<int> Inside{0};
std::atomic<int> Overlaps{0};
std::atomic<int> Served{0};

BOOLEAN CountingStartIo(PVOID, PVIDEO_REQUEST_PACKET packet)
{
    if (Inside.fetch_add(1) != 0)
        Overlaps++;
    LARGE_INTEGER zero{};
    KeDelayExecutionThread(KernelMode, FALSE, &zero); // give the others a chance to enter
    Served++;
    packet->StatusBlock->Status = NO_ERROR;
    Inside--;
    return TRUE;
}

NTSTATUS CountingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    VIDEO_HW_INITIALIZATION_DATA data;
    VideoPortZeroMemory(&data, sizeof data);
    data.HwInitDataSize = sizeof data;
    data.HwFindAdapter = FindAdapter;
    data.HwStartIO = CountingStartIo;
    data.HwDeviceExtensionSize = 16;
    return (NTSTATUS)VideoPortInitialize(driver, path, &data, nullptr);
}

TEST(VideoPortFreeRunning, ControlRequestsFromSeveralThreadsReachHwStartIoOneAtATime)
{
    sim::Options options;
    options.RunMode = sim::Mode::FreeRunning;
    sim::Reset(options);
    ASSERT_EQ(sim::LoadDriver(CountingEntry), STATUS_SUCCESS);
    sim::StartAdapter();
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i)
        clients.emplace_back([] {
            for (int n = 0; n < 200; ++n)
                sim::Ioctl(0x234014, {}, 0);
        });
    for (std::thread &client : clients)
        client.join();
    EXPECT_EQ(Served, 800);
    EXPECT_EQ(Overlaps, 0);
    EXPECT_TRUE(sim::Shutdown().empty());
}

} // namespace

namespace
{

constexpr char ProductKey[] = "\\Registry\\Machine\\Software\\Test";

// A polling miniport: its thread opens the sibling, then every 250 ms asks
// for the frame's mode and publishes it.
void Poller(PVOID)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\KEVO-0");
    PFILE_OBJECT file;
    PDEVICE_OBJECT device;
    if (!NT_SUCCESS(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device)))
        return;
    static UCHAR mode;
    static KEVENT event;
    static IO_STATUS_BLOCK status;
    UCHAR block[8] = {1, 2, 0, 4, 0, 0, 0, 0};
    LARGE_INTEGER interval;
    interval.QuadPart = -2500000;
    for (int turn = 0; turn < 8; ++turn) {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(sim::PeerIoctlCode, device, block, 8, &mode, 1,
                                                 FALSE, &event, &status);
        if (irp)
            IofCallDriver(device, irp);
        UCHAR published = __atomic_load_n(&mode, __ATOMIC_RELAXED);
        RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, u"\\Registry\\Machine\\Software\\Test",
                              u"Mode", REG_BINARY, &published, 1);
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    ObfDereferenceObject(file);
}

NTSTATUS PollerEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    NTSTATUS status = Entry(driver, path);
    HANDLE handle;
    PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, Poller, nullptr);
    return status;
}

std::string RunAndPrint()
{
    sim::Options options;
    options.Keys = {ProductKey};
    sim::Reset(options);
    std::string text;
    sim::SetTraceObserver([&text](const sim::TraceEvent &event) {
        text += std::to_string(event.Time) + " " + sim::TraceKindName(event.Kind) + " " +
                std::to_string(event.Status) + (event.NoBuild ? " nobuild " : " ") +
                std::to_string(event.Command) + " " + event.Text + " " + event.Name + " " +
                std::to_string(event.Data.size()) + "\n";
    });
    sim::LoadDriver(PollerEntry);
    sim::StartAdapter();
    sim::Advance(600);
    sim::SetFrameMode(2);
    sim::SetPeerCompletion(sim::Completion::Pending);
    sim::PlugUsb("ABCD", "1000", "FR0001");
    sim::Advance(300);
    sim::CompletePeerRequests();
    sim::FailNextRequestBuilds(1);
    sim::FailRegistryWrites(1);
    sim::Ioctl(0x234014, {}, 0);
    sim::Advance(2000);
    sim::SetPowerState(VideoPowerOff);
    EXPECT_TRUE(sim::Shutdown().empty());
    return text;
}

TEST(Trace, SameInputsGiveTheSameTraceByteForByte)
{
    std::string first = RunAndPrint();
    EXPECT_EQ(first, RunAndPrint());
    // boot, notify, ioctl, power, eight opens/requests/writes and the release.
    EXPECT_NE(first.find(" boot "), std::string::npos);
    EXPECT_NE(first.find(" notify "), std::string::npos);
    EXPECT_NE(first.find(" open "), std::string::npos);
    EXPECT_NE(first.find(" release "), std::string::npos);
    EXPECT_NE(first.find(" power "), std::string::npos);
    size_t requests = 0;
    for (size_t at = first.find(" request "); at != std::string::npos;
         at = first.find(" request ", at + 1))
        ++requests;
    EXPECT_EQ(requests, 8u);
    EXPECT_NE(first.find("10000000 request 0 nobuild 4"), std::string::npos);
    // The first events in order: the boot, then the thread's first turn.
    EXPECT_EQ(first.substr(0, first.find('\n')), "0 boot 0 0   0");
}

} // namespace
