// Control requests through the video port: the buffered system buffer and
// the I/O manager's completion of it, the route from the start and the
// display driver's open to HwStartIO, and one request at a time inside it
// whatever the threads.

#include "miniport.h"

#include <atomic>
#include <thread>

namespace
{

using namespace videoport_test;

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
TEST_F(VideoPort, BufferedRepliesAreCopiedAsTheIoManagerCompletesThem)
{
    struct Case {
        const char *Name;
        ULONG Code; // 0x2N: Information N, two bytes written
        std::vector<uint8_t> Input;
        ULONG Output;
        std::vector<uint8_t> Received;
        std::vector<std::string> Findings; // parts of each finding's text
        bool WholeText = false;            // or each one's whole text
    };
    const Case Cases[] = {
        {"fits", 0x22, {}, 4, {0x40, 0x41}, {}},
        {"fits, with an input", 0x22, {1, 2, 3}, 4, {0x40, 0x41}, {}},
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
        {"a write one byte past the end of the system buffer",
         0x30,
         {1, 2, 3},
         4,
         {},
         {"HwStartIO wrote past the end of the 4-byte system buffer of control code 0x30 "
          "(byte 4)"},
         true},
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
        for (size_t i = 0; i < c.Findings.size() && i < found.size(); ++i) {
            if (c.WholeText)
                EXPECT_EQ(found[i].Text, c.Findings[i]);
            else
                EXPECT_NE(found[i].Text.find(c.Findings[i]), std::string::npos) << found[i].Text;
        }
    }
}

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

// A miniport whose HwStartIO counts the requests inside it at once and
// those served, and waits Wait (in 100 ns units, negative: relative; zero
// only lets the other threads run) before it answers.
std::atomic<int> Inside{0};
std::atomic<int> Overlaps{0};
std::atomic<int> Served{0};
std::atomic<bool> AdapterRemoved{false};
std::atomic<int> RemovedInside{0};

// The counts at zero, and the test miniport's other callbacks as new.
void ResetCounts()
{
    Mini = {};
    Inside = 0;
    Overlaps = 0;
    Served = 0;
    AdapterRemoved = false;
    RemovedInside = 0;
}

template <LONGLONG Wait> BOOLEAN CountingStartIo(PVOID, PVIDEO_REQUEST_PACKET packet)
{
    if (Inside.fetch_add(1) != 0)
        Overlaps++;
    LARGE_INTEGER interval;
    interval.QuadPart = Wait;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    if (AdapterRemoved)
        RemovedInside++;
    Served++;
    packet->StatusBlock->Status = NO_ERROR;
    Inside--;
    return TRUE;
}

template <LONGLONG Wait> NTSTATUS CountingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    VIDEO_HW_INITIALIZATION_DATA data;
    VideoPortZeroMemory(&data, sizeof data);
    data.HwInitDataSize = sizeof data;
    data.HwFindAdapter = FindAdapter;
    data.HwInitialize = Initialize;
    data.HwStartIO = CountingStartIo<Wait>;
    data.HwDeviceExtensionSize = 16;
    return (NTSTATUS)VideoPortInitialize(driver, path, &data, nullptr);
}

TEST(VideoPortFreeRunning, ControlRequestsFromSeveralThreadsReachHwStartIoOneAtATime)
{
    sim::Options options;
    options.RunMode = sim::Mode::FreeRunning;
    sim::Reset(options);
    ResetCounts();
    ASSERT_EQ(sim::LoadDriver(CountingEntry<0>), STATUS_SUCCESS);
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
TEST(VideoPortDeterministic, RequestsAndARemovalWaitForTheRequestInsideHwStartIo)
{
    sim::Reset();
    ResetCounts();
    ASSERT_EQ(sim::LoadDriver(CountingEntry<-10000>), STATUS_SUCCESS); // 1 ms inside
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
