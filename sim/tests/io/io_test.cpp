// Objects and I/O: the name space, references and their imbalances, and the
// sibling frame driver's answers and completion modes.

#include "io_fixture.h"

namespace
{

using namespace io_test;

TEST_F(Io, DeviceNamesAreUniqueAndLinksAreRecorded)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\kvrminiportobj");
    PDEVICE_OBJECT first = nullptr;
    PDEVICE_OBJECT second = (PDEVICE_OBJECT)&name;
    EXPECT_EQ(IoCreateDevice(Driver, 280, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &first),
              STATUS_SUCCESS);
    ASSERT_NE(first, nullptr);
    RtlInitUnicodeString(&name, u"\\DEVICE\\KVRMINIPORTOBJ");
    EXPECT_EQ(IoCreateDevice(Driver, 280, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second, nullptr);

    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\DosDevices\\kvrminiportobj");
    RtlInitUnicodeString(&name, u"\\Device\\kvrminiportobj");
    EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(*sim::SymbolicLinkTarget("\\DosDevices\\KVRMINIPORTOBJ"), "\\Device\\kvrminiportobj");

    const auto &calls = sim::CreateDeviceCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].ExtensionSize, 280u);
    EXPECT_EQ(calls[0].Type, FILE_DEVICE_UNKNOWN);
    EXPECT_FALSE(calls[0].Exclusive);
    EXPECT_EQ(calls[1].Status, STATUS_OBJECT_NAME_COLLISION);
    ASSERT_EQ(sim::SymbolicLinkCalls().size(), 2u);

    sim::FailNextDeviceCreations(1);
    RtlInitUnicodeString(&name, u"\\Device\\other");
    EXPECT_EQ(IoCreateDevice(Driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(IoCreateDevice(Driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
              STATUS_SUCCESS);
}

TEST_F(Io, OpeningTheSiblingGivesAReferencedFileObject)
{
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(Open(&file, &device), STATUS_SUCCESS);
    EXPECT_EQ(sim::ReferenceCount(file), 1);
    EXPECT_EQ(sim::ReferenceCount(device), 2);
    EXPECT_EQ(sim::OpenFileObjects(), 1u);
    ObfDereferenceObject(file);
    EXPECT_EQ(sim::ReferenceCount(file), 0);
    EXPECT_EQ(sim::ReferenceCount(device), 1);
    EXPECT_EQ(sim::OpenFileObjects(), 0u);

    sim::SetPeerPresent(false);
    EXPECT_EQ(Open(&file, &device), STATUS_OBJECT_NAME_NOT_FOUND);
    sim::SetPeerPresent(true);
    sim::FailNextOpens(1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Open(&file, &device), STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(Open(&file, &device), STATUS_SUCCESS);
    ObfDereferenceObject(file);
    ASSERT_EQ(sim::OpenCalls().size(), 4u);
    EXPECT_EQ(sim::OpenCalls()[1].Status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(sim::OpenCalls()[0].Access, FILE_ALL_ACCESS);
}

TEST_F(Io, ReferenceDroppedTwiceIsAViolation)
{
    ViolationsExpected = true;
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(Open(&file, &device), STATUS_SUCCESS);
    ObfDereferenceObject(file);
    ObfDereferenceObject(file);
    ASSERT_EQ(sim::Violations().size(), 1u);
    EXPECT_NE(sim::Violations()[0].Text.find("dropped twice"), std::string::npos);
}

TEST_F(Io, ReferenceLeakAndWrongObjectAreFoundAtTeardown)
{
    ViolationsExpected = true;
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(Open(&file, &device), STATUS_SUCCESS);
    // Dropping the device instead of the file object: the file object's
    // reference leaks, and the device has lost one it never gave.
    ObfDereferenceObject(device);
    EXPECT_TRUE(sim::Violations().empty());
    std::vector<sim::Violation> found = sim::Shutdown();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_NE(found[0].Text.find("reference leaked"), std::string::npos);
    EXPECT_NE(found[1].Text.find("lost more references"), std::string::npos);
}

TEST_F(Io, ExpectedSurvivingReferencesAreNotReported)
{
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(Open(&file, &device), STATUS_SUCCESS);
    sim::ExpectSurvivingReferences("\\Device\\KEVO-0");
    EXPECT_TRUE(sim::Shutdown().empty());
}

TEST_F(Io, SiblingAnswersEachCommandFromTheFrameState)
{
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(Open(&file, &device), STATUS_SUCCESS);
    sim::SetFramePanel(21, 5);
    sim::SetFrameMode(2);
    sim::SetFrameInput(1, 9);
    Request request;
    EXPECT_EQ(request.Send(device, 1), STATUS_SUCCESS);
    EXPECT_EQ(request.Reply[0], 21);
    EXPECT_EQ(request.Reply[1], 5);
    EXPECT_EQ(request.Status.Status, STATUS_SUCCESS);
    EXPECT_EQ(request.Status.Information, 2u);
    EXPECT_EQ(request.Event.Header.SignalState, 1);

    request.Reply[1] = 0xEE;
    EXPECT_EQ(request.Send(device, 4, 1), STATUS_SUCCESS);
    EXPECT_EQ(request.Reply[0], 2);
    EXPECT_EQ(request.Reply[1], 0xEE);
    EXPECT_EQ(request.Send(device, 7), STATUS_SUCCESS);
    EXPECT_EQ(request.Reply[0], 1);
    EXPECT_EQ(request.Reply[1], 9);

    // Unknown command, short reply buffer, another code: refused, nothing written.
    request.Reply[0] = 0xEE;
    EXPECT_EQ(request.Send(device, 5), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(request.Send(device, 1, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(request.Send(device, 4, 1, 0x222059), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(request.Reply[0], 0xEE);

    const auto &requests = sim::PeerRequests();
    ASSERT_EQ(requests.size(), 6u);
    EXPECT_EQ(requests[0].Command, 1);
    EXPECT_EQ(requests[0].Block, (std::array<uint8_t, 8>{1, 2, 0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(requests[0].OutputLength, 2u);
    EXPECT_TRUE(requests[0].Completed);
    EXPECT_EQ(requests[5].Code, 0x222059u);
    EXPECT_EQ(requests[5].Status, STATUS_INVALID_PARAMETER);
    ObfDereferenceObject(file);
}

TEST_F(Io, PendingRequestsCompleteLaterWithTheAnswersThenCurrent)
{
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(Open(&file, &device), STATUS_SUCCESS);
    sim::SetPeerCompletion(sim::Completion::Pending);
    Request first, second;
    sim::SetFrameMode(2);
    EXPECT_EQ(first.Send(device, 4, 1), STATUS_PENDING);
    EXPECT_EQ(second.Send(device, 4, 1), STATUS_PENDING);
    EXPECT_EQ(first.Reply[0], 0xEE);
    EXPECT_EQ(first.Status.Status, 0x7777);
    EXPECT_EQ(first.Event.Header.SignalState, 0);
    EXPECT_EQ(sim::PendingPeerRequests(), 2u);

    sim::Advance(100);
    sim::SetFrameMode(3);
    EXPECT_TRUE(sim::CompleteOldestPeerRequest());
    EXPECT_EQ(first.Reply[0], 3);
    EXPECT_EQ(first.Status.Status, STATUS_SUCCESS);
    EXPECT_EQ(first.Status.Information, 1u);
    EXPECT_EQ(first.Event.Header.SignalState, 1);
    EXPECT_EQ(second.Reply[0], 0xEE);
    EXPECT_EQ(sim::CompletePeerRequests(STATUS_UNSUCCESSFUL), 1u);
    EXPECT_EQ(second.Reply[0], 3) << "the frame's bytes, also in a failed request";
    EXPECT_EQ(second.Status.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(second.Status.Information, 0u);
    EXPECT_EQ(sim::PendingPeerRequests(), 0u);

    const auto &requests = sim::PeerRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].Status, STATUS_PENDING);
    EXPECT_EQ(requests[0].CompletionTime, 100 * sim::TicksPerMs);
    EXPECT_EQ(requests[1].CompletionStatus, STATUS_UNSUCCESSFUL);

    sim::SetPeerCompletion(sim::Completion::Fail, (NTSTATUS)0xC0000185);
    EXPECT_EQ(first.Send(device, 1), (NTSTATUS)0xC0000185);
    ObfDereferenceObject(file);
}

// METHOD_IN_DIRECT: the reply buffer is the sender's own memory, described by
// the request's MDL, and nothing copies it back at completion. So the bytes
// the frame sent are there before the request completes, whatever its
// status; only a success counts them in Information. A request refused
// before it reached the frame has nothing written.
TEST_F(Io, TheFramesBytesReachTheReplyBufferAlsoInAFailedRequest)
{
    struct Case {
        const char *Name;
        sim::Completion Completion;
        NTSTATUS LateStatus; // for a pending request, how the harness completes it
        UCHAR Command;
        NTSTATUS Status; // the request's final status
        UCHAR Reply0;    // byte 0 of the reply buffer afterwards
        ULONG_PTR Information;
    };
    const Case Cases[] = {
        {"answered", sim::Completion::Now, 0, 1, STATUS_SUCCESS, 21, 2},
        {"failed at once", sim::Completion::Fail, 0, 1, STATUS_UNSUCCESSFUL, 21, 0},
        {"failed at once, input", sim::Completion::Fail, 0, 6, STATUS_UNSUCCESSFUL, 7, 0},
        {"failed later", sim::Completion::Pending, STATUS_UNSUCCESSFUL, 4, STATUS_UNSUCCESSFUL, 2,
         0},
        {"not taken", sim::Completion::Now, 0, 5, STATUS_INVALID_PARAMETER, 0xEE, 0},
    };
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(Open(&file, &device), STATUS_SUCCESS);
    for (const Case &C : Cases) {
        SCOPED_TRACE(C.Name);
        sim::SetFramePanel(21, 5);
        sim::SetFrameMode(2);
        sim::SetFrameInput(7, 9);
        sim::SetPeerCompletion(C.Completion, STATUS_UNSUCCESSFUL);
        Request request;
        NTSTATUS Sent = request.Send(device, C.Command, C.Command == 4 ? 1 : 2);
        if (Sent == STATUS_PENDING) {
            EXPECT_EQ(request.Reply[0], 0xEE) << "nothing before the frame answers";
            EXPECT_EQ(sim::CompletePeerRequests(C.LateStatus), 1u);
        } else {
            EXPECT_EQ(Sent, C.Status);
        }
        EXPECT_EQ(request.Status.Status, C.Status);
        EXPECT_EQ(request.Reply[0], C.Reply0);
        EXPECT_EQ(request.Status.Information, C.Information);
    }

    // The requests of a removed device fail with nothing written: its frame
    // is gone.
    sim::SetPeerCompletion(sim::Completion::Pending);
    Request request;
    ASSERT_EQ(request.Send(device, 1), STATUS_PENDING);
    sim::RemovePeer(sim::PeerRemoval::Surprise);
    EXPECT_NE(request.Status.Status, STATUS_SUCCESS);
    EXPECT_EQ(request.Reply[0], 0xEE);
    ObfDereferenceObject(file);
}

// Completion::Later: STATUS_PENDING at the call, then the sibling's own
// thread completes each request its delay after it was sent, in due order,
// with the answers current then; a zero delay still completes later, never
// within the call.
TEST_F(Io, LateRequestsCompleteFromTheSiblingsThreadAfterTheDelay)
{
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(Open(&file, &device), STATUS_SUCCESS);
    sim::SetPeerCompletion(sim::Completion::Later);
    sim::SetFrameMode(2);
    Request first, second, third;
    EXPECT_EQ(first.Send(device, 4, 1), STATUS_PENDING);
    sim::Advance(1);
    sim::SetPeerReplyDelayMs(10);
    EXPECT_EQ(second.Send(device, 4, 1), STATUS_PENDING);
    sim::SetFrameMode(3);
    EXPECT_EQ(first.Reply[0], 0xEE);
    sim::Advance(2); // 3 ms: nothing due yet
    EXPECT_EQ(sim::PendingPeerRequests(), 2u);
    sim::Advance(1); // 4 ms: the first is due
    EXPECT_EQ(first.Reply[0], 3);
    EXPECT_EQ(first.Event.Header.SignalState, 1);
    EXPECT_EQ(second.Reply[0], 0xEE);
    sim::Advance(7); // 11 ms: the second
    EXPECT_EQ(second.Reply[0], 3);
    EXPECT_EQ(second.Status.Information, 1u);
    const auto &requests = sim::PeerRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].CompletionTime, 4 * sim::TicksPerMs);
    EXPECT_EQ(requests[1].CompletionTime, 11 * sim::TicksPerMs);

    sim::SetPeerReplyDelayMs(0);
    EXPECT_EQ(third.Send(device, 1), STATUS_PENDING);
    EXPECT_EQ(third.Reply[0], 0xEE);
    sim::RunUntilIdle();
    EXPECT_EQ(third.Reply[0], 8);
    EXPECT_EQ(sim::PendingPeerRequests(), 0u);
    ObfDereferenceObject(file);
}

} // namespace
