// Requests: the verifier's view of requests that complete into memory that
// is gone, of requests an ended thread built or sent, of devices the opener
// no longer holds, and of requests misused; the sibling's own completions in
// free-running mode.

#include "io_fixture.h"

#include <atomic>

namespace
{

using namespace io_test;

KEVENT Shared;
int Woken = 0;

void WaitForShared(PVOID)
{
    KeWaitForSingleObject(&Shared, Executive, KernelMode, FALSE, nullptr);
    Woken++;
}

TEST_F(Io, CompletionWakesWaitersByEventKind)
{
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(Open(&file, &device), STATUS_SUCCESS);
    sim::SetPeerCompletion(sim::Completion::Pending);
    HANDLE handle;
    for (EVENT_TYPE type : {SynchronizationEvent, NotificationEvent}) {
        Woken = 0;
        KeInitializeEvent(&Shared, type, FALSE);
        PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, WaitForShared, nullptr);
        PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, WaitForShared, nullptr);
        sim::RunUntilIdle();
        UCHAR block[8] = {1, 2, 0, 4, 0, 0, 0, 0};
        UCHAR reply = 0;
        IO_STATUS_BLOCK status;
        PIRP irp = IoBuildDeviceIoControlRequest(sim::PeerIoctlCode, device, block, 8, &reply, 1,
                                                 FALSE, &Shared, &status);
        ASSERT_EQ(IofCallDriver(device, irp), STATUS_PENDING);
        sim::CompletePeerRequests();
        sim::RunUntilIdle();
        EXPECT_EQ(Woken, type == SynchronizationEvent ? 1 : 2);
        if (type == SynchronizationEvent) {
            irp = IoBuildDeviceIoControlRequest(sim::PeerIoctlCode, device, block, 8, &reply, 1,
                                                FALSE, &Shared, &status);
            IofCallDriver(device, irp);
            sim::CompletePeerRequests();
            sim::RunUntilIdle();
            EXPECT_EQ(Woken, 2);
        }
    }
    ObfDereferenceObject(file);
}

PDEVICE_OBJECT Peer;

// Sends a request whose reply buffer and status record live on this
// thread's stack, and ends while it is still pending.
void SendFromStackAndEnd(PVOID)
{
    Request request;
    request.Send(Peer, 1);
}

// A sibling whose pending requests cannot be cancelled: the I/O manager stops
// waiting for them when the thread ends, and they complete later into a stack
// that is gone.
TEST_F(Io, PendingCompletionIntoAnEndedThreadsStackIsCaught)
{
    ViolationsExpected = true;
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(Open(&file, &Peer), STATUS_SUCCESS);
    sim::SetPeerCompletion(sim::Completion::Pending);
    sim::SetPeerCancelsRequests(false);
    HANDLE handle;
    PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, SendFromStackAndEnd, nullptr);
    sim::RunUntilIdle();
    EXPECT_EQ(sim::LiveThreadCount(), 0u);
    EXPECT_TRUE(sim::Violations().empty());
    EXPECT_EQ(sim::CompletePeerRequests(), 1u);
    ASSERT_EQ(sim::Violations().size(), 3u);
    EXPECT_NE(sim::Violations()[0].Text.find("reply buffer in the stack"), std::string::npos);

    // A buffer outside any simulated stack counts as alive.
    sim::ClearViolations();
    Request request;
    request.Send(Peer, 1);
    sim::CompletePeerRequests();
    EXPECT_TRUE(sim::Violations().empty());
    EXPECT_EQ(request.Reply[0], 8);
    ObfDereferenceObject(file);
}

// A request is queued to the thread that built it: when the thread ends, its
// pending requests are cancelled. The start routine has returned by then, so
// a request whose records lived in its frames completes into dead stack; one
// whose records are static completes cleanly with STATUS_CANCELLED.
Request StaticRequest;

void SendStaticAndEnd(PVOID)
{
    StaticRequest.Send(Peer, 1);
}

TEST_F(Io, RequestsOfAnEndedThreadAreCancelled)
{
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(Open(&file, &Peer), STATUS_SUCCESS);
    sim::SetPeerCompletion(sim::Completion::Pending);
    HANDLE handle;
    PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, SendStaticAndEnd, nullptr);
    sim::RunUntilIdle();
    EXPECT_EQ(sim::LiveThreadCount(), 0u);
    EXPECT_EQ(sim::PendingPeerRequests(), 0u);
    EXPECT_EQ(sim::CompletePeerRequests(), 0u);
    ASSERT_EQ(sim::PeerRequests().size(), 1u);
    EXPECT_TRUE(sim::PeerRequests()[0].Completed);
    EXPECT_EQ(sim::PeerRequests()[0].CompletionStatus, (NTSTATUS)0xC0000120u); // cancelled
    EXPECT_EQ(StaticRequest.Status.Status, (NTSTATUS)0xC0000120u);
    EXPECT_EQ(StaticRequest.Event.Header.SignalState, 1);
    EXPECT_TRUE(sim::Violations().empty());

    ViolationsExpected = true;
    PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, SendFromStackAndEnd, nullptr);
    sim::RunUntilIdle();
    EXPECT_EQ(sim::PendingPeerRequests(), 0u);
    ASSERT_EQ(sim::Violations().size(), 2u) << "status record and event, at the thread's end";
    EXPECT_NE(sim::Violations()[0].Text.find("status record in the stack"), std::string::npos);
    ObfDereferenceObject(file);
}

void BuildAndEnd(PVOID)
{
    Request request;
    KeInitializeEvent(&request.Event, NotificationEvent, FALSE);
    IoBuildDeviceIoControlRequest(sim::PeerIoctlCode, Peer, request.Block, 8, request.Reply, 2,
                                  FALSE, &request.Event, &request.Status);
}

TEST_F(Io, RequestBuiltAndNotSentByAnEndedThreadIsAFinding)
{
    ViolationsExpected = true;
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(Open(&file, &Peer), STATUS_SUCCESS);
    HANDLE handle;
    PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, BuildAndEnd, nullptr);
    sim::RunUntilIdle();
    ASSERT_EQ(sim::Violations().size(), 1u);
    EXPECT_NE(sim::Violations()[0].Text.find("built and never sent"), std::string::npos);
    ObfDereferenceObject(file);
    EXPECT_EQ(sim::Shutdown().size(), 1u) << "the request is gone with its thread";
}

// Once the opener has dropped the file object's reference, the sibling's device
// may be deleted at any moment: a request built or sent for it is a finding.
TEST_F(Io, RequestForADeviceItsOpenerNoLongerHoldsIsAFinding)
{
    ViolationsExpected = true;
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(Open(&file, &device), STATUS_SUCCESS);
    Request held;
    EXPECT_EQ(held.Send(device, 4, 1), STATUS_SUCCESS);
    EXPECT_TRUE(sim::Violations().empty());
    ObfDereferenceObject(file);
    Request dropped;
    dropped.Send(device, 4, 1);
    ASSERT_GE(sim::Violations().size(), 1u);
    EXPECT_NE(sim::Violations()[0].Text.find("IoBuildDeviceIoControlRequest for \\Device\\KEVO-0 "
                                             "after its opener dropped its reference"),
              std::string::npos)
        << sim::Violations()[0].Text;
}

// The I/O manager sets DO_DEVICE_INITIALIZING on every new device and clears
// it when DriverEntry returns only for the devices created in it; nobody can
// open the others by name (nor through a link) until their driver clears it.
PDEVICE_OBJECT EarlyDevice;

NTSTATUS CreateInEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\early");
    return IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &EarlyDevice);
}

TEST_F(Io, OnlyDevicesCreatedInDriverEntryCanBeOpened)
{
    sim::Reset();
    ASSERT_EQ(sim::LoadDriver(CreateInEntry), STATUS_SUCCESS);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\late");
    PDEVICE_OBJECT late = nullptr;
    ASSERT_EQ(IoCreateDevice(sim::DriverObject(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &late),
              STATUS_SUCCESS);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\DosDevices\\late");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);

    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(Open(&file, &device, u"\\Device\\late"), (NTSTATUS)0xC000000Eu); // no such device
    EXPECT_EQ(Open(&file, &device, u"\\DosDevices\\late"), (NTSTATUS)0xC000000Eu);
    ASSERT_EQ(Open(&file, &device, u"\\Device\\early"), STATUS_SUCCESS);
    EXPECT_EQ(device, EarlyDevice);
    ObfDereferenceObject(file);
}

TEST_F(Io, DeviceCreationAndRequestsUpToApcLevel)
{
    ViolationsExpected = true;
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(Open(&file, &device), STATUS_SUCCESS);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\apc");
    PDEVICE_OBJECT created = nullptr;
    sim::SetIrql(APC_LEVEL);
    EXPECT_EQ(IoCreateDevice(Driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &created),
              STATUS_SUCCESS);
    Request request;
    EXPECT_EQ(request.Send(device, 4, 1), STATUS_SUCCESS);
    EXPECT_TRUE(sim::Violations().empty());
    sim::SetIrql(DISPATCH_LEVEL);
    request.Send(device, 4, 1);
    sim::SetIrql(PASSIVE_LEVEL);
    ASSERT_EQ(sim::Violations().size(), 1u);
    EXPECT_NE(sim::Violations()[0].Text.find("IoBuildDeviceIoControlRequest at IRQL 2"),
              std::string::npos);
    ObfDereferenceObject(file);
}

TEST_F(Io, RequestsThatCannotBeBuilt)
{
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(Open(&file, &device), STATUS_SUCCESS);
    sim::FailNextRequestBuilds(2);
    Request request;
    EXPECT_EQ(request.Send(device, 4, 1), -1);
    EXPECT_EQ(request.Send(device, 6), -1);
    EXPECT_EQ(request.Send(device, 6), STATUS_SUCCESS);
    EXPECT_EQ(sim::PeerRequests().size(), 1u);
    int noBuild = 0;
    for (const sim::TraceEvent &event : sim::Trace())
        if (event.Kind == sim::TraceKind::Request && event.NoBuild)
            ++noBuild;
    EXPECT_EQ(noBuild, 2);
    ObfDereferenceObject(file);
}

// A request sent twice, sent after it completed (also once many more were
// built and completed since), or sent to a device other than its target.
TEST_F(Io, MisusedRequestsAreViolations)
{
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(Open(&file, &device), STATUS_SUCCESS);
    ViolationsExpected = true;
    UCHAR block[8] = {1, 2, 0, 4, 0, 0, 0, 0};
    UCHAR reply[2];
    IO_STATUS_BLOCK status;
    auto build = [&] {
        return IoBuildDeviceIoControlRequest(sim::PeerIoctlCode, device, block, sizeof block, reply,
                                             1, FALSE, nullptr, &status);
    };

    sim::SetPeerCompletion(sim::Completion::Pending);
    PIRP pending = build();
    ASSERT_EQ(IofCallDriver(device, pending), STATUS_PENDING);
    EXPECT_EQ(IofCallDriver(device, pending), STATUS_INVALID_PARAMETER);
    sim::CompletePeerRequests();
    sim::SetPeerCompletion(sim::Completion::Now);

    PIRP done = build();
    ASSERT_EQ(IofCallDriver(device, done), STATUS_SUCCESS);
    EXPECT_EQ(IofCallDriver(device, done), STATUS_INVALID_PARAMETER);
    // Its storage is not built into one of the next requests.
    for (int i = 0; i < 60; ++i)
        ASSERT_EQ(IofCallDriver(device, build()), STATUS_SUCCESS);
    PIRP held = build();
    EXPECT_NE(held, done);
    EXPECT_EQ(IofCallDriver(device, done), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IofCallDriver(device, held), STATUS_SUCCESS);

    PIRP elsewhere = build();
    IofCallDriver((PDEVICE_OBJECT)file, elsewhere);
    ObfDereferenceObject(file);

    const std::vector<sim::Violation> &found = sim::Violations();
    ASSERT_EQ(found.size(), 4u);
    EXPECT_EQ(found[0].Text, "IofCallDriver with a request that was already sent");
    EXPECT_EQ(found[1].Text,
              "IofCallDriver with a request that was not built or is already complete");
    EXPECT_EQ(found[2].Text, found[1].Text);
    EXPECT_EQ(found[3].Text, "IofCallDriver to a device other than the request's target");
}

} // namespace

namespace
{

PDEVICE_OBJECT FreePeer;
UCHAR FreeReply[2];
IO_STATUS_BLOCK FreeStatus;
KEVENT FreeEvent;
std::atomic<int> FreeDone{0};

// Sends one pending request and waits for the sibling's own thread to
// complete it.
void SendAndWait(PVOID)
{
    UCHAR block[8] = {1, 2, 0, 1, 0, 0, 0, 0};
    KeInitializeEvent(&FreeEvent, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(sim::PeerIoctlCode, FreePeer, block, 8, FreeReply, 2,
                                             FALSE, &FreeEvent, &FreeStatus);
    if (IofCallDriver(FreePeer, irp) == STATUS_PENDING &&
        KeWaitForSingleObject(&FreeEvent, Executive, KernelMode, FALSE, nullptr) == STATUS_SUCCESS)
        FreeDone = 1;
    for (;;) {
        LARGE_INTEGER interval;
        interval.QuadPart = -10 * sim::TicksPerMs;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
}

TEST(IoFreeRunning, SiblingCompletesPendingRequestsFromItsOwnThread)
{
    sim::Options options;
    options.RunMode = sim::Mode::FreeRunning;
    sim::Reset(options);
    PFILE_OBJECT file = nullptr;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\KEVO-0");
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &FreePeer), STATUS_SUCCESS);
    sim::SetPeerCompletion(sim::Completion::Pending);
    sim::SetFramePanel(30, 2);
    sim::SetPeerAutoCompleteMs(50);
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, SendAndWait, nullptr),
              STATUS_SUCCESS);
    while (!FreeDone && sim::NowMs() < 1000000)
        sim::Advance(10);
    sim::StopThreads();
    EXPECT_EQ(FreeDone, 1);
    EXPECT_EQ(FreeReply[0], 30);
    EXPECT_EQ(FreeReply[1], 2);
    EXPECT_EQ(FreeStatus.Information, 2u);
    ASSERT_EQ(sim::PeerRequests().size(), 1u);
    EXPECT_TRUE(sim::PeerRequests()[0].Completed);
    EXPECT_GE(sim::PeerRequests()[0].CompletionTime - sim::PeerRequests()[0].Time,
              50 * sim::TicksPerMs);
    ObfDereferenceObject(file);
    EXPECT_TRUE(sim::Shutdown().empty());
}

} // namespace
