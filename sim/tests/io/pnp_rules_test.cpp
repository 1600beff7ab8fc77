// Target-device registrations as the plug-and-play manager makes and calls
// them: a callback that waits by itself, the relations query the
// registration sends down the file object's stack, and file objects whose
// storage a later open takes again.

#include "io_fixture.h"

#include <algorithm>
#include <string>

namespace pnp_rules
{

using io_test::Io;
using io_test::Request;

enum class Action { Delay, EventWait, EventPoll, Mutex, SlowSend };

struct Holder {
    explicit Holder(Action what) : What(what) {}
    Action What;
    PDEVICE_OBJECT Device = nullptr;
    KMUTEX Mutex{};
    KEVENT Event{};
    Request Sent{};
};

NTSTATUS Callback(PVOID, PVOID context)
{
    Holder &h = *(Holder *)context;
    LARGE_INTEGER interval;
    interval.QuadPart = h.What == Action::EventPoll ? 0 : -10 * 10000;
    switch (h.What) {
    case Action::Delay:
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        break;
    case Action::EventWait:
    case Action::EventPoll:
        KeWaitForSingleObject(&h.Event, Executive, KernelMode, FALSE, &interval);
        break;
    case Action::Mutex:
        KeWaitForSingleObject(&h.Mutex, Executive, KernelMode, FALSE, nullptr);
        KeReleaseMutex(&h.Mutex, FALSE);
        break;
    case Action::SlowSend:
        h.Sent.Send(h.Device, 1);
        break;
    }
    return STATUS_SUCCESS;
}

std::vector<std::string> Findings()
{
    std::vector<std::string> texts;
    for (const sim::Violation &v : sim::Violations())
        texts.push_back(v.Text);
    return texts;
}

// A callback of a holder of a file object on the sibling's device, called
// for a refused removal (query-remove, then remove-cancelled), waits by
// itself or not. The sibling's dispatch routine takes 20 ms, a wait of the
// kernel's inside IofCallDriver.
TEST_F(Io, ANotificationCallbackThatWaitsByItselfIsAFinding)
{
    struct Case {
        const char *Name;
        Action What;
        bool Finding;
    };
    const Case Cases[] = {
        {"KeDelayExecutionThread", Action::Delay, true},
        {"an event, 10 ms", Action::EventWait, true},
        {"an event, no timeout left", Action::EventPoll, false},
        {"a mutex", Action::Mutex, false},
        {"a request to a slow stack", Action::SlowSend, false},
    };
    for (const Case &c : Cases) {
        SCOPED_TRACE(c.Name);
        SetUp();
        sim::SetPeerDispatchMs(20);
        Holder h(c.What);
        KeInitializeMutex(&h.Mutex, 0);
        KeInitializeEvent(&h.Event, NotificationEvent, FALSE);
        PFILE_OBJECT file;
        ASSERT_EQ(Open(&file, &h.Device), STATUS_SUCCESS);
        PVOID entry;
        ASSERT_EQ(IoRegisterPlugPlayNotification(EventCategoryTargetDeviceChange, 0, file, Driver,
                                                 Callback, &h, &entry),
                  STATUS_SUCCESS);
        sim::RemovePeer(sim::PeerRemoval::Refused);
        sim::Advance(200);
        ASSERT_TRUE(sim::PeerRemovals().back().Cancelled);
        std::vector<std::string> found = Findings();
        EXPECT_EQ(found.size(), c.Finding ? 2u : 0u); // query-remove and cancel
        for (const std::string &text : found)
            EXPECT_EQ(text.rfind("a notification callback waits: ", 0), 0u) << text;
        IoUnregisterPlugPlayNotification(entry);
        ObfDereferenceObject(file);
        sim::ClearViolations();
        TearDown();
    }
}

// A target-device registration asks the file object's stack for its device
// (IRP_MN_QUERY_DEVICE_RELATIONS, TargetDeviceRelation); the stack of a
// device removed by surprise fails it, and the registration with it.
TEST_F(Io, ATargetRegistrationQueriesTheStackAndFailsForARemovedDevice)
{
    struct Case {
        const char *Name;
        bool Surprise;
        NTSTATUS Status;
    };
    const Case Cases[] = {
        {"started", false, STATUS_SUCCESS},
        {"surprise-removed", true, (NTSTATUS)0xC000000E}, // STATUS_NO_SUCH_DEVICE
    };
    for (const Case &c : Cases) {
        SCOPED_TRACE(c.Name);
        SetUp();
        PFILE_OBJECT file;
        PDEVICE_OBJECT device;
        ASSERT_EQ(Open(&file, &device), STATUS_SUCCESS);
        if (c.Surprise) {
            sim::RemovePeer(sim::PeerRemoval::Surprise); // its REMOVE waits for the file
            sim::RunUntilIdle();
        }
        uint64_t queries = sim::TargetRelationQueries();
        PVOID entry = nullptr;
        Holder h(Action::Mutex);
        EXPECT_EQ(IoRegisterPlugPlayNotification(EventCategoryTargetDeviceChange, 0, file, Driver,
                                                 Callback, &h, &entry),
                  c.Status);
        EXPECT_EQ(sim::TargetRelationQueries(), queries + 1);
        EXPECT_EQ(sim::ActivePnpRegistrations(EventCategoryTargetDeviceChange),
                  NT_SUCCESS(c.Status) ? 1u : 0u);
        if (NT_SUCCESS(c.Status))
            IoUnregisterPlugPlayNotification(entry);
        ObfDereferenceObject(file);
        sim::RunUntilIdle();
        TearDown();
    }
}

// The next open takes the storage of the file object freed last, with the
// next generation: an address compared with a closed file object's may be a
// new one's. A registration is of the object it was made on: at teardown it
// is found left on a closed file object though its address is open again
// (and that open's reference leaked).
TEST_F(Io, AFreedFileObjectsAddressIsReusedAndItsGenerationTellsTheObjectsApart)
{
    ViolationsExpected = true;
    PFILE_OBJECT first, second;
    PDEVICE_OBJECT device;
    ASSERT_EQ(Open(&first, &device), STATUS_SUCCESS);
    PVOID entry;
    Holder h(Action::Mutex);
    ASSERT_EQ(IoRegisterPlugPlayNotification(EventCategoryTargetDeviceChange, 0, first, Driver,
                                             Callback, &h, &entry),
              STATUS_SUCCESS);
    ObfDereferenceObject(first); // closed, still registered on
    ASSERT_EQ(Open(&second, &device), STATUS_SUCCESS);
    EXPECT_EQ(second, first) << "the freed storage is the next open's";
    EXPECT_EQ(sim::OpenFileObjects(), 1u);
    EXPECT_TRUE(Findings().empty());
    std::vector<std::string> texts;
    for (const sim::Violation &v : sim::Shutdown())
        texts.push_back(v.Text);
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "a target-device registration on \\Device\\KEVO-0 was left on a file "
                         "object that is closed",
                         "reference leaked: a file object of \\Device\\KEVO-0 still holds 1 "
                         "reference(s) at teardown"}));
}

} // namespace pnp_rules
