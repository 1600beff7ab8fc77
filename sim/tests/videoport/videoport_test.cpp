// The video port: loading a miniport, the kept callback table, the adapter
// start, buffered control requests, power and child enumeration, and the
// trace those calls leave.

#include "sim.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <atomic>
#include <thread>

namespace
{

// A small miniport, written for these tests.
struct {
    ULONG InitDataSize = sizeof(VIDEO_HW_INITIALIZATION_DATA);
    void (*Change)(VIDEO_HW_INITIALIZATION_DATA &) = nullptr;
    PVOID Context = nullptr;         // the HwContext given to VideoPortInitialize
    VP_STATUS FindResult = NO_ERROR; // what HwFindAdapter answers
    bool InEntry = false;
    bool FoundDuringEntry = false;
    unsigned FindCalls = 0;
    unsigned InitializeCalls = 0;
    BOOLEAN InitializeResult = TRUE;
    bool TouchExtension = false;
    ULONG LastPowerState = 0;
    ULONG LastQueried = 0;
    ULONG LastHwId = 0;
    KIRQL StartIoIrql = 0;
} Mini;

VP_STATUS FindAdapter(PVOID extension, PVOID, PWSTR, PVIDEO_PORT_CONFIG_INFO, PUCHAR)
{
    Mini.FindCalls++;
    Mini.FoundDuringEntry = Mini.FoundDuringEntry || Mini.InEntry;
    if (Mini.TouchExtension)
        ((UCHAR *)extension)[279] = 1;
    return Mini.FindResult;
}

BOOLEAN Initialize(PVOID)
{
    Mini.InitializeCalls++;
    return Mini.InitializeResult;
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
    if (packet->IoControlCode == 0x30) {
        // One byte past the end of the system buffer.
        UCHAR *out = (UCHAR *)packet->OutputBuffer;
        out[std::max(packet->InputBufferLength, packet->OutputBufferLength)] = 0;
        packet->StatusBlock->Status = NO_ERROR;
        packet->StatusBlock->Information = 0;
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

VP_STATUS GetPower(PVOID, ULONG, PVIDEO_POWER_MANAGEMENT request)
{
    Mini.LastQueried = request->PowerState;
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
    if (Mini.Change)
        Mini.Change(data);
    Mini.InEntry = true;
    NTSTATUS status = (NTSTATUS)VideoPortInitialize(driver, path, &data, Mini.Context);
    Mini.InEntry = false;
    return status;
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

    std::vector<sim::TraceEvent> ioctls;
    for (const sim::TraceEvent &event : sim::Trace())
        if (event.Kind == sim::TraceKind::Ioctl)
            ioctls.push_back(event);
    ASSERT_EQ(ioctls.size(), 3u);
    EXPECT_EQ(ioctls[0].Code, 0x234000u);
    EXPECT_EQ(ioctls[0].Information, 3u);
    EXPECT_EQ(ioctls[0].Data, (std::vector<uint8_t>{3, 2, 1}));
}

// The I/O manager's completion of a buffered request: exactly Information
// bytes go back, nothing on an error; a count above the caller's buffer or
// the system buffer, and a reported byte nobody wrote, are findings.
// The system buffer is followed by guard bytes: a callee writing past its end
// is a finding, in every build.
TEST_F(VideoPort, WritingPastTheEndOfTheSystemBufferIsAFinding)
{
    ASSERT_EQ(sim::LoadDriver(Entry), STATUS_SUCCESS);
    sim::StartAdapter();
    ViolationsExpected = true;
    const uint8_t input[3] = {1, 2, 3};
    sim::Ioctl(0x22, input, 4);
    EXPECT_TRUE(sim::Violations().empty());
    sim::Ioctl(0x30, input, 4);
    ASSERT_EQ(sim::Violations().size(), 1u);
    EXPECT_EQ(sim::Violations()[0].Text,
              "HwStartIO wrote past the end of the 4-byte system buffer of control code 0x30 "
              "(byte 4)");
}

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
    data.HwInitialize = Initialize;
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

// Deterministic mode: a request whose HwStartIO waits lets other threads
// run, but their control requests, and a removal of the adapter's device,
// wait until it returns (the port hands the miniport one request at a time
// and removes the device once the request in progress is done).
std::atomic<bool> AdapterRemoved{false};
std::atomic<int> RemovedInside{0};

BOOLEAN WaitingStartIo(PVOID, PVIDEO_REQUEST_PACKET packet)
{
    if (Inside.fetch_add(1) != 0)
        Overlaps++;
    LARGE_INTEGER interval;
    interval.QuadPart = -10000; // 1 ms
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    if (AdapterRemoved)
        RemovedInside++;
    Served++;
    packet->StatusBlock->Status = NO_ERROR;
    Inside--;
    return TRUE;
}

NTSTATUS WaitingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    VIDEO_HW_INITIALIZATION_DATA data;
    VideoPortZeroMemory(&data, sizeof data);
    data.HwInitDataSize = sizeof data;
    data.HwFindAdapter = FindAdapter;
    data.HwInitialize = Initialize;
    data.HwStartIO = WaitingStartIo;
    data.HwDeviceExtensionSize = 16;
    return (NTSTATUS)VideoPortInitialize(driver, path, &data, nullptr);
}

TEST(VideoPortDeterministic, RequestsAndARemovalWaitForTheRequestInsideHwStartIo)
{
    sim::Reset();
    Inside = 0;
    Overlaps = 0;
    Served = 0;
    AdapterRemoved = false;
    RemovedInside = 0;
    ASSERT_EQ(sim::LoadDriver(WaitingEntry), STATUS_SUCCESS);
    ASSERT_EQ(sim::StartAdapter().FindStatus, NO_ERROR);
    PKSTART_ROUTINE client = [](PVOID) { sim::Ioctl(0x234014, {}, 0); };
    PKSTART_ROUTINE remover = [](PVOID) {
        LARGE_INTEGER interval;
        interval.QuadPart = -5000; // while the first request waits inside
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        EXPECT_TRUE(sim::RemoveAdapter(true));
        AdapterRemoved = true;
    };
    HANDLE handle;
    for (PKSTART_ROUTINE routine : {client, client, remover})
        ASSERT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, routine, nullptr),
                  STATUS_SUCCESS);
    sim::Advance(10);
    EXPECT_EQ(Served, 2);
    EXPECT_EQ(Overlaps, 0);
    EXPECT_TRUE(AdapterRemoved);
    EXPECT_EQ(RemovedInside, 0) << "the device went while a request was inside HwStartIO";
    EXPECT_EQ(sim::VideoDeviceName(), "");
    sim::Reset();
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

namespace
{

// The route of a control request: the video device is opened by the display
// driver only once the adapter has started; HwInitialize runs at that open,
// the device is exclusive, and HwStartIO is reached only through it.
TEST(VideoPortRoute, ControlRequestsReachHwStartIoOnlyAfterTheStartAndTheOpen)
{
    sim::Reset();
    Mini = {};
    ASSERT_EQ(sim::LoadDriver(Entry), STATUS_SUCCESS);
    EXPECT_EQ(sim::OpenVideoDevice(), (NTSTATUS)0xC00000A3) << "not started";
    sim::IoctlResult early = sim::Ioctl(0x234014, {}, 0);
    EXPECT_FALSE(early.Delivered);
    EXPECT_EQ(early.Status, 21u) << "ERROR_NOT_READY";

    ASSERT_EQ(sim::StartAdapter().FindStatus, NO_ERROR);
    EXPECT_EQ(Mini.InitializeCalls, 0u) << "HwInitialize waits for the open";
    EXPECT_EQ(sim::VideoDeviceName(), "\\Device\\Video0");
    EXPECT_EQ(sim::OpenVideoDeviceFromUserMode(), (NTSTATUS)0xC0000022);
    EXPECT_EQ(sim::OpenVideoDevice(), STATUS_SUCCESS);
    EXPECT_EQ(Mini.InitializeCalls, 1u);
    EXPECT_EQ(sim::OpenVideoDevice(), (NTSTATUS)0xC0000022) << "exclusive";
    EXPECT_TRUE(sim::Ioctl(0x234014, {}, 0).Delivered);
    EXPECT_EQ(Mini.InitializeCalls, 1u);

    // A request before the display driver has opened the device opens it.
    sim::CloseVideoDevice();
    EXPECT_TRUE(sim::Ioctl(0x234014, {}, 0).Delivered);
    EXPECT_EQ(Mini.InitializeCalls, 2u);

    // HwInitialize's FALSE fails the open: nothing reaches HwStartIO.
    sim::CloseVideoDevice();
    Mini.InitializeResult = FALSE;
    EXPECT_FALSE(sim::Ioctl(0x234014, {}, 0).Delivered);

    // Removed: no device to open.
    EXPECT_TRUE(sim::RemoveAdapter(true));
    EXPECT_EQ(sim::VideoDeviceName(), "");
    EXPECT_FALSE(sim::Ioctl(0x234014, {}, 0).Delivered);
    EXPECT_TRUE(sim::Shutdown().empty());
}

// A miniport that keeps a thread, as the driver does, and holds its image
// in one of the ways a case asks.
struct {
    bool Pin = false;      // a reference on the driver object in DriverEntry
    bool Register = false; // a notification registration in HwFindAdapter
    bool Allocate = false; // a pool block kept for its life
    unsigned Turns = 0;
    PDRIVER_OBJECT Driver = nullptr;
} Life;

void LifeThread(PVOID)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -2500000;
    for (;;) {
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        Life.Turns++;
    }
}

NTSTATUS LifeNotify(PVOID, PVOID)
{
    return STATUS_SUCCESS;
}

VP_STATUS LifeFindAdapter(PVOID, PVOID, PWSTR, PVIDEO_PORT_CONFIG_INFO, PUCHAR)
{
    PVOID entry = nullptr;
    if (Life.Register)
        IoRegisterPlugPlayNotification(EventCategoryHardwareProfileChange, 0, nullptr, Life.Driver,
                                       LifeNotify, nullptr, &entry);
    return NO_ERROR;
}

NTSTATUS LifeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    VIDEO_HW_INITIALIZATION_DATA data;
    VideoPortZeroMemory(&data, sizeof data);
    data.HwInitDataSize = sizeof data;
    data.HwFindAdapter = LifeFindAdapter;
    data.HwInitialize = Initialize;
    data.HwStartIO = StartIo;
    data.HwSetPowerState = SetPower;
    data.HwGetPowerState = GetPower;
    data.HwGetVideoChildDescriptor = ChildDescriptor;
    NTSTATUS status = (NTSTATUS)VideoPortInitialize(driver, path, &data, nullptr);
    Life.Driver = driver;
    HANDLE thread;
    PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr, LifeThread, nullptr);
    if (Life.Pin)
        ObfReferenceObject(driver);
    if (Life.Allocate)
        ExAllocatePoolWithTag(NonPagedPool, 16, sim::Tag("life"));
    return status;
}

// The driver is unloaded once its last device is gone and nothing
// references its driver object; whatever of it is still alive then is a
// finding, and its thread's next wake-up is bug check 0xCE.
TEST(VideoPortLifetime, TheDriverIsUnloadedWhenNothingHoldsItAndWhatItLeftIsFound)
{
    enum Step { FailStart, FailAdd, RemoveBeforeStart, StartAndDisable, StartAndSurpriseRemove };
    struct Case {
        const char *Name;
        Step Do;
        bool Pin, Register, Allocate;
        bool Unloaded;
        std::vector<std::string> Findings;
    };
    const std::vector<std::string> Gone = {"thread 1 still running", "handle to thread 1",
                                           "(0xCE): thread 1"};
    const Case Cases[] = {
        {"failed start", FailStart, false, false, false, true, Gone},
        {"failed start, image pinned", FailStart, true, false, false, false, {}},
        {"failed AddDevice", FailAdd, false, false, false, true, Gone},
        {"removal before the first start", RemoveBeforeStart, false, false, false, true, Gone},
        {"removal before the first start, pool kept",
         RemoveBeforeStart,
         false,
         false,
         true,
         true,
         {"thread 1 still running", "handle to thread 1", "tag 'life'", "(0xCE): thread 1"}},
        {"disable after a registration", StartAndDisable, false, true, false, false, {}},
        {"disable without one", StartAndDisable, false, false, false, true, Gone},
        {"surprise removal, image pinned", StartAndSurpriseRemove, true, false, false, false, {}},
    };
    for (const Case &c : Cases) {
        SCOPED_TRACE(c.Name);
        sim::Reset();
        Mini = {};
        Life = {};
        Life.Pin = c.Pin;
        Life.Register = c.Register;
        Life.Allocate = c.Allocate;
        ASSERT_EQ(sim::LoadDriver(LifeEntry), STATUS_SUCCESS);
        sim::ExpectSurvivingPool(sim::Tag("life"));
        switch (c.Do) {
        case FailStart:
            sim::FailNextAdapterStarts(1);
            EXPECT_EQ(sim::StartAdapter().DeviceStatus, STATUS_UNSUCCESSFUL);
            break;
        case FailAdd:
            sim::FailNextAddDevices(1);
            EXPECT_EQ(sim::AddAdapter(), STATUS_INSUFFICIENT_RESOURCES);
            break;
        case RemoveBeforeStart:
            EXPECT_EQ(sim::AddAdapter(), STATUS_SUCCESS);
            EXPECT_TRUE(sim::RemoveAdapter());
            break;
        case StartAndDisable:
        case StartAndSurpriseRemove:
            EXPECT_EQ(sim::StartAdapter().FindStatus, NO_ERROR);
            EXPECT_TRUE(sim::Ioctl(0x234014, {}, 0).Delivered);
            if (c.Do == StartAndDisable) {
                EXPECT_FALSE(sim::RemoveAdapter())
                    << "a disable is refused while the display driver has the device open";
                sim::CloseVideoDevice();
            }
            EXPECT_TRUE(sim::RemoveAdapter(c.Do == StartAndSurpriseRemove));
            break;
        }
        EXPECT_EQ(sim::DriverUnloaded(), c.Unloaded);
        sim::Advance(1000);
        EXPECT_EQ(Life.Turns, c.Unloaded ? 0u : 4u);
        std::vector<sim::Violation> found = sim::Shutdown();
        ASSERT_EQ(found.size(), c.Findings.size());
        for (size_t i = 0; i < found.size(); ++i)
            EXPECT_NE(found[i].Text.find(c.Findings[i]), std::string::npos) << found[i].Text;
    }
    sim::Reset();
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
