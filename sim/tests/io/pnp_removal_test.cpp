// Plug and play: the removal of the sibling's device, with the target-device
// notifications to a holder of a file object on it, the stack's answer to a
// query-remove, and what a removed device refuses.

#include "sim.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Removal of the sibling's device, as plug and play runs it, against a
// holder of a file object on it that behaves as each case says. The holder
// registers for target-device change; its callback records what it was
// called with and where, and closes, unregisters or vetoes as told.
namespace removal
{

bool Same(const GUID &a, const GUID &b)
{
    return memcmp(&a, &b, sizeof a) == 0;
}

struct Holder {
    PFILE_OBJECT File = nullptr;
    PDEVICE_OBJECT Device = nullptr;
    PVOID Entry = nullptr;
    bool Registered = false;
    bool Veto = false;           // fails the query-remove
    bool CloseOnQuery = true;    // closes its file object on a query-remove
    bool CloseOnComplete = true; // closes it on a completed removal
    bool Unregister = true;      // unregisters on a completed removal
    std::vector<std::string> Events;
    bool OnSystemThread = true;
    bool AtPassive = true;

    void Close()
    {
        if (File != nullptr) {
            ObfDereferenceObject(File);
            File = nullptr;
        }
    }
};
Holder *Current = nullptr;

NTSTATUS Callback(PVOID structure, PVOID context)
{
    auto *notification = (TARGET_DEVICE_REMOVAL_NOTIFICATION *)structure;
    Holder &h = *(Holder *)context;
    h.OnSystemThread = h.OnSystemThread && sim::CurrentThreadId() != 0;
    h.AtPassive = h.AtPassive && sim::Irql() == PASSIVE_LEVEL;
    if (Same(notification->Event, GUID_TARGET_DEVICE_QUERY_REMOVE)) {
        h.Events.push_back("query-remove");
        if (h.Veto)
            return STATUS_UNSUCCESSFUL;
        if (h.CloseOnQuery)
            h.Close();
    } else if (Same(notification->Event, GUID_TARGET_DEVICE_REMOVE_COMPLETE)) {
        h.Events.push_back("remove-complete");
        if (h.Unregister && h.Registered) {
            IoUnregisterPlugPlayNotification(h.Entry);
            h.Registered = false;
        }
        if (h.CloseOnComplete)
            h.Close();
    } else if (Same(notification->Event, GUID_TARGET_DEVICE_REMOVE_CANCELLED)) {
        h.Events.push_back("remove-cancelled");
    }
    return STATUS_SUCCESS;
}

void Open(Holder &h, bool registered)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\KEVO-0");
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &h.File, &h.Device), STATUS_SUCCESS);
    if (registered) {
        ASSERT_EQ(IoRegisterPlugPlayNotification(EventCategoryTargetDeviceChange, 0, h.File,
                                                 nullptr, Callback, &h, &h.Entry),
                  STATUS_SUCCESS);
        h.Registered = true;
    }
}

TEST(PeerRemoval, RemovalWaitsForTheFileObjectsAndTheNameLivesUntilRemove)
{
    struct Case {
        const char *Name;
        sim::PeerRemoval How;
        bool Registered, Veto, CloseOnQuery, Unregister;
        std::vector<std::string> Events;
        bool Cancelled;
        const char *Why;     // of a cancelled removal
        bool RemovedAtOnce;  // REMOVE at the instant of the removal
        const char *Finding; // expected finding, or null
    };
    const Case Cases[] = {
        {"surprise, holder closes on remove-complete",
         sim::PeerRemoval::Surprise,
         true,
         false,
         true,
         true,
         {"remove-complete"},
         false,
         "",
         true,
         nullptr},
        {"surprise, nobody told: REMOVE waits for the close",
         sim::PeerRemoval::Surprise,
         false,
         false,
         true,
         true,
         {},
         false,
         "",
         false,
         nullptr},
        {"orderly, holder closes on query-remove",
         sim::PeerRemoval::Orderly,
         true,
         false,
         true,
         true,
         {"query-remove", "remove-complete"},
         false,
         "",
         true,
         nullptr},
        {"orderly, holder vetoes",
         sim::PeerRemoval::Orderly,
         true,
         true,
         true,
         true,
         {"query-remove", "remove-cancelled"},
         true,
         "vetoed by a notification callback",
         false,
         nullptr},
        {"orderly, holder keeps its file open",
         sim::PeerRemoval::Orderly,
         true,
         false,
         false,
         true,
         {"query-remove", "remove-cancelled"},
         true,
         "file objects still open",
         false,
         nullptr},
        {"orderly, nobody told: the open file fails it",
         sim::PeerRemoval::Orderly,
         false,
         false,
         true,
         true,
         {},
         true,
         "file objects still open",
         false,
         nullptr},
        {"refused by the stack",
         sim::PeerRemoval::Refused,
         true,
         false,
         true,
         true,
         {"query-remove", "remove-cancelled"},
         true,
         "refused by the device's stack",
         false,
         nullptr},
        {"registration left at REMOVE",
         sim::PeerRemoval::Surprise,
         true,
         false,
         true,
         false,
         {"remove-complete"},
         false,
         "",
         true,
         "registration was left on \\Device\\KEVO-0"},
    };
    for (const Case &c : Cases) {
        SCOPED_TRACE(c.Name);
        sim::Reset();
        Holder h;
        h.Veto = c.Veto;
        h.CloseOnQuery = c.CloseOnQuery;
        h.Unregister = c.Unregister;
        Open(h, c.Registered);
        sim::RemovePeer(c.How);
        sim::RunUntilIdle();
        EXPECT_EQ(h.Events, c.Events);
        EXPECT_TRUE(h.OnSystemThread);
        EXPECT_TRUE(h.AtPassive);
        const sim::PeerRemovalRecord &record = sim::PeerRemovals().back();
        EXPECT_EQ(record.Cancelled, c.Cancelled);
        EXPECT_EQ(record.CancelReason, c.Why);
        EXPECT_EQ(record.RemoveTime == record.Start, c.RemovedAtOnce);
        if (!c.Cancelled && !c.RemovedAtOnce) {
            // The old device keeps its name while the file object holds it.
            EXPECT_EQ(record.RemoveTime, -1);
            EXPECT_EQ(sim::AddPeer(), STATUS_OBJECT_NAME_COLLISION);
            sim::Advance(100);
            h.Close();
            sim::RunUntilIdle();
            EXPECT_EQ(sim::PeerRemovals().back().RemoveTime, 100 * sim::TicksPerMs);
        }
        if (!c.Cancelled) {
            EXPECT_EQ(sim::AddPeer(), STATUS_SUCCESS);
        }
        if (h.Registered && c.Cancelled) {
            EXPECT_EQ(IoUnregisterPlugPlayNotification(h.Entry), STATUS_SUCCESS);
        }
        h.Close();
        std::vector<sim::Violation> found = sim::Shutdown();
        if (c.Finding) {
            // At the REMOVE, and again at teardown.
            ASSERT_EQ(found.size(), 2u);
            EXPECT_NE(found[0].Text.find(c.Finding), std::string::npos) << found[0].Text;
        } else {
            for (const sim::Violation &violation : found)
                ADD_FAILURE() << violation.Text;
        }
    }
}

// The sibling's stack may take its time to answer the query: the
// query-remove callbacks come at once, the outcome only after the delay, and
// a file object reopened meanwhile fails an orderly removal.
TEST(PeerRemoval, TheStackAnswersTheQueryAfterItsDelay)
{
    struct Case {
        const char *Name;
        sim::PeerRemoval How;
        bool ReopenMeanwhile;
        const char *Outcome;
        const char *Why;
    };
    const Case Cases[] = {
        {"refused", sim::PeerRemoval::Refused, false, "remove-cancelled",
         "refused by the device's stack"},
        {"orderly", sim::PeerRemoval::Orderly, false, "remove-complete", ""},
        {"orderly, reopened while the stack answers", sim::PeerRemoval::Orderly, true,
         "remove-cancelled", "file objects still open"},
    };
    for (const Case &c : Cases) {
        SCOPED_TRACE(c.Name);
        sim::Reset();
        Holder h;
        h.CloseOnQuery = true;
        h.Unregister = true;
        Open(h, true);
        sim::RemovePeer(c.How, 100);
        sim::Advance(99);
        EXPECT_EQ(h.Events, std::vector<std::string>{"query-remove"});
        Holder again;
        if (c.ReopenMeanwhile)
            Open(again, false);
        sim::Advance(1);
        EXPECT_EQ(h.Events, (std::vector<std::string>{"query-remove", c.Outcome}));
        const sim::PeerRemovalRecord &record = sim::PeerRemovals().back();
        EXPECT_EQ(record.CancelReason, c.Why);
        EXPECT_EQ(record.RemoveTime,
                  c.Outcome == std::string("remove-complete") ? 100 * sim::TicksPerMs : -1);
        if (h.Registered) {
            EXPECT_EQ(IoUnregisterPlugPlayNotification(h.Entry), STATUS_SUCCESS);
        }
        again.Close();
        h.Close();
        for (const sim::Violation &violation : sim::Shutdown())
            ADD_FAILURE() << violation.Text;
    }
}

// What the I/O manager and the sibling do with a device that is going or
// gone, and the misuse of registrations that the verifier reports.
TEST(PeerRemoval, RequestsAndRegistrationsOfARemovedDevice)
{
    sim::Reset();
    sim::SetPeerCompletion(sim::Completion::Pending);
    Holder h;
    Open(h, true);
    UCHAR block[8] = {1, 2, 0, 4, 0, 0, 0, 0};
    UCHAR reply[2] = {0xEE, 0xEE};
    IO_STATUS_BLOCK status{};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    auto send = [&] {
        PIRP irp = IoBuildDeviceIoControlRequest(sim::PeerIoctlCode, h.Device, block, 8, reply, 1,
                                                 FALSE, &event, &status);
        return IofCallDriver(h.Device, irp);
    };
    ASSERT_EQ(send(), STATUS_PENDING);
    // A holder that does not close: the surprise removal fails what is
    // pending, and new requests, with STATUS_NO_SUCH_DEVICE; no finding.
    h.CloseOnComplete = false;
    h.Unregister = true;
    sim::RemovePeer(sim::PeerRemoval::Surprise);
    sim::RunUntilIdle();
    EXPECT_EQ(status.Status, (NTSTATUS)0xC000000E);
    EXPECT_EQ(send(), (NTSTATUS)0xC000000E);
    EXPECT_TRUE(sim::Violations().empty());
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\KEVO-0");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device),
              (NTSTATUS)0xC000000E);

    PDEVICE_OBJECT gone = h.Device;
    h.Close();
    sim::RunUntilIdle();
    ASSERT_NE(sim::PeerRemovals().back().RemoveTime, -1);
    // After REMOVE: the request fails and is a finding.
    PIRP irp = IoBuildDeviceIoControlRequest(sim::PeerIoctlCode, gone, block, 8, reply, 1, FALSE,
                                             &event, &status);
    EXPECT_EQ(IofCallDriver(gone, irp), (NTSTATUS)0xC000000E);
    // A registration on something that is not an open file object, and one
    // removed twice.
    PVOID entry = nullptr;
    EXPECT_EQ(IoRegisterPlugPlayNotification(EventCategoryTargetDeviceChange, 0, h.Device, nullptr,
                                             Callback, &h, &entry),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IoUnregisterPlugPlayNotification(h.Entry), STATUS_INVALID_PARAMETER);
    // A registration left on a closed file object at teardown.
    EXPECT_EQ(sim::AddPeer(), STATUS_SUCCESS);
    Holder other;
    Open(other, true);
    other.Close();
    std::vector<std::string> texts;
    for (const sim::Violation &violation : sim::Shutdown())
        texts.push_back(violation.Text);
    const char *Expected[] = {"after its opener dropped its reference",
                              "after its IRP_MN_REMOVE_DEVICE", "not an open file object",
                              "not a registration", "left on a file object that is closed"};
    ASSERT_EQ(texts.size(), std::size(Expected)) << ::testing::PrintToString(texts);
    for (size_t i = 0; i < texts.size(); ++i)
        EXPECT_NE(texts[i].find(Expected[i]), std::string::npos) << texts[i];
}

} // namespace removal
