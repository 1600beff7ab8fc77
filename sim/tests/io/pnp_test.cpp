// Plug and play: registrations, arrivals of interfaces already present,
// plugged and unplugged USB devices, raw notifications for fuzzing, and
// injected registration failures.

#include "sim.h"

#include <gtest/gtest.h>

namespace
{

struct Notification {
    bool Arrival;
    bool UsbClass;
    USHORT Length;
    bool NullBuffer;
    std::u16string Name;
    uint32_t Thread;
    int64_t Time;
};

std::vector<Notification> Seen;
bool InsideRegistration = false;

bool Same(const GUID &a, const GUID &b)
{
    return memcmp(&a, &b, sizeof a) == 0;
}

NTSTATUS Record(PVOID structure, PVOID)
{
    auto *change = (DEVICE_INTERFACE_CHANGE_NOTIFICATION *)structure;
    Notification seen;
    seen.Arrival = Same(change->Event, GUID_DEVICE_INTERFACE_ARRIVAL);
    seen.UsbClass = Same(change->InterfaceClassGuid, GUID_DEVINTERFACE_USB_DEVICE);
    seen.Length = change->SymbolicLinkName->Length;
    seen.NullBuffer = change->SymbolicLinkName->Buffer == nullptr;
    if (change->SymbolicLinkName->Buffer)
        seen.Name.assign(change->SymbolicLinkName->Buffer, change->SymbolicLinkName->Length / 2);
    seen.Thread = sim::CurrentThreadId();
    seen.Time = sim::Now();
    Seen.push_back(seen);
    return InsideRegistration ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS ProfileChanged(PVOID, PVOID)
{
    return STATUS_SUCCESS;
}

class Pnp : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        Seen.clear();
        sim::Reset();
    }
    void TearDown() override
    {
        for (const sim::Violation &violation : sim::Shutdown())
            ADD_FAILURE() << violation.Text;
    }

    static NTSTATUS Register(ULONG flags, PVOID context = (PVOID)0x1234)
    {
        PVOID entry = nullptr;
        GUID usb = GUID_DEVINTERFACE_USB_DEVICE;
        return IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, flags, &usb,
                                              nullptr, Record, context, &entry);
    }
};

TEST_F(Pnp, InterfaceNamesHaveThePlatformForm)
{
    EXPECT_EQ(sim::UsbInterfaceName("1D6B", "0102", "TQXRA41234"),
              "\\??\\USB#VID_1D6B&PID_0102#TQXRA41234#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
    std::string name(200, 'x');
    sim::UsbInterfaceNameInto(name, "1D6B", "0102", "T");
    EXPECT_EQ(name, "\\??\\USB#VID_1D6B&PID_0102#T#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
}

std::vector<uintptr_t> Called;

NTSTATUS RecordContext(PVOID, PVOID context)
{
    Called.push_back((uintptr_t)context);
    return STATUS_SUCCESS;
}

// Every registration is called, in the order of registration, however many
// there are.
TEST_F(Pnp, EveryRegistrationIsCalledInOrder)
{
    Called.clear();
    GUID usb = GUID_DEVINTERFACE_USB_DEVICE;
    for (uintptr_t context = 1; context <= 7; ++context) {
        PVOID entry = nullptr;
        ASSERT_EQ(IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, 0, &usb,
                                                 nullptr, RecordContext, (PVOID)context, &entry),
                  STATUS_SUCCESS);
        ASSERT_EQ(IoRegisterPlugPlayNotification(EventCategoryHardwareProfileChange, 0, nullptr,
                                                 nullptr, RecordContext, (PVOID)(context + 10),
                                                 &entry),
                  STATUS_SUCCESS);
    }
    sim::PlugUsb("AAAA", "0001", "ONE000");
    EXPECT_EQ(Called, (std::vector<uintptr_t>{1, 2, 3, 4, 5, 6, 7}));
    Called.clear();
    sim::PostHardwareProfileChange(GUID{});
    EXPECT_EQ(Called, (std::vector<uintptr_t>{11, 12, 13, 14, 15, 16, 17}));
}

TEST_F(Pnp, PresentInterfacesArriveDuringTheRegistrationOnTheRegisteringContext)
{
    sim::PlugUsb("AAAA", "0001", "ONE000");
    sim::PlugUsb("BBBB", "0002", "TWO000");
    sim::PlugUsb("CCCC", "0003", "THREE0");
    sim::UnplugUsb("BBBB", "0002", "TWO000");
    EXPECT_TRUE(Seen.empty()); // nobody registered yet
    InsideRegistration = true;
    EXPECT_EQ(Register(PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES), STATUS_SUCCESS);
    InsideRegistration = false;
    ASSERT_EQ(Seen.size(), 2u);
    EXPECT_TRUE(Seen[0].Arrival);
    EXPECT_TRUE(Seen[0].UsbClass);
    EXPECT_EQ(Seen[0].Name, u"\\??\\USB#VID_AAAA&PID_0001#ONE000#{a5dcbf10-6530-11d2-901f-"
                            u"00c04fb951ed}");
    EXPECT_EQ(Seen[1].Name.substr(0, 25), u"\\??\\USB#VID_CCCC&PID_0003");
    EXPECT_EQ(Seen[0].Thread, 0u);

    // Without the flag, nothing arrives at registration.
    Seen.clear();
    EXPECT_EQ(Register(0), STATUS_SUCCESS);
    EXPECT_TRUE(Seen.empty());
    const auto &registrations = sim::PnpRegistrations();
    ASSERT_EQ(registrations.size(), 2u);
    EXPECT_EQ(registrations[0].Category, EventCategoryDeviceInterfaceChange);
    EXPECT_EQ(registrations[0].Flags, PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES);
    EXPECT_TRUE(Same(registrations[0].InterfaceClass, GUID_DEVINTERFACE_USB_DEVICE));
    EXPECT_EQ(registrations[0].Context, (PVOID)0x1234);
}

TEST_F(Pnp, PlugAndUnplugReachEveryRegistration)
{
    ASSERT_EQ(Register(0), STATUS_SUCCESS);
    ASSERT_EQ(Register(0), STATUS_SUCCESS);
    sim::Advance(30);
    sim::PlugUsb("1d6b", "0102", "A1B2C3D4");
    sim::UnplugUsb("1d6b", "0102", "A1B2C3D4");
    ASSERT_EQ(Seen.size(), 4u);
    EXPECT_TRUE(Seen[0].Arrival && Seen[1].Arrival);
    EXPECT_FALSE(Seen[2].Arrival || Seen[3].Arrival);
    EXPECT_EQ(Seen[0].Time, 30 * sim::TicksPerMs);
    EXPECT_EQ(Seen[2].Name.substr(12, 4), u"1d6b");
    EXPECT_TRUE(sim::PresentInterfaces().empty());
    ASSERT_EQ(sim::NotificationResults().size(), 4u);
    EXPECT_EQ(sim::NotificationResults()[0], STATUS_UNSUCCESSFUL);

    int notifications = 0;
    for (const sim::TraceEvent &event : sim::Trace())
        if (event.Kind == sim::TraceKind::Notify)
            ++notifications;
    EXPECT_EQ(notifications, 2); // one per event, not per callback
}

TEST_F(Pnp, RawNotificationsCarryAnyBytes)
{
    ASSERT_EQ(Register(0), STATUS_SUCCESS);
    GUID other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    uint8_t odd[5] = {'\\', 0, '?', 0, '?'};
    sim::PostInterfaceChange(GUID_DEVICE_INTERFACE_REMOVAL, other, odd);
    sim::PostInterfaceChange(other, GUID_DEVINTERFACE_USB_DEVICE, {}, true);
    sim::PostInterfaceChange(GUID_DEVICE_INTERFACE_ARRIVAL, GUID_DEVINTERFACE_USB_DEVICE, "\\??");
    uint8_t wide[6] = {'A', 0, 0x34, 0x12, 0xE9, 0};
    sim::PostInterfaceChange(GUID_DEVICE_INTERFACE_ARRIVAL, other, wide);
    ASSERT_EQ(Seen.size(), 4u);
    EXPECT_EQ(Seen[0].Length, 5);
    EXPECT_FALSE(Seen[0].UsbClass);
    EXPECT_EQ(Seen[0].Name, u"\\?");
    EXPECT_TRUE(Seen[1].NullBuffer);
    EXPECT_EQ(Seen[1].Length, 0);
    EXPECT_EQ(Seen[2].Name, u"\\??");
    EXPECT_EQ(sim::Trace()[1].Text, "other");
    // The trace narrows the name: whole characters only, any beyond Latin-1
    // as '?', nothing for a missing buffer.
    ASSERT_EQ(sim::Trace().size(), 4u);
    EXPECT_EQ(sim::Trace()[0].Name, "\\?");
    EXPECT_EQ(sim::Trace()[1].Name, "");
    EXPECT_EQ(sim::Trace()[2].Name, "\\??");
    EXPECT_EQ(sim::Trace()[3].Name, "A?\xE9");
    EXPECT_EQ(sim::Trace()[3].Text, "arrival");
}

TEST_F(Pnp, RegistrationsFailOnDemandPerCategory)
{
    sim::PlugUsb("AAAA", "0001", "ONE000");
    sim::FailNextPnpRegistrations(EventCategoryDeviceInterfaceChange, 1);
    EXPECT_EQ(Register(PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES),
              STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Seen.empty());
    PVOID entry = nullptr;
    sim::FailNextPnpRegistrations(EventCategoryHardwareProfileChange, 1,
                                  STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(IoRegisterPlugPlayNotification(EventCategoryHardwareProfileChange, 0, nullptr,
                                             nullptr, ProfileChanged, nullptr, &entry),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(IoRegisterPlugPlayNotification(EventCategoryHardwareProfileChange, 0, nullptr,
                                             nullptr, ProfileChanged, nullptr, &entry),
              STATUS_SUCCESS);
    EXPECT_NE(entry, nullptr);
    EXPECT_EQ(Register(PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES), STATUS_SUCCESS);
    EXPECT_EQ(Seen.size(), 1u);
    sim::PostHardwareProfileChange(GUID{});
    EXPECT_EQ(sim::NotificationResults().back(), STATUS_SUCCESS);
    // The failed registrations stay unregistered.
    sim::PlugUsb("BBBB", "0001", "TWO000");
    EXPECT_EQ(Seen.size(), 2u);
    EXPECT_EQ(sim::PnpRegistrations().size(), 4u);
}

// Copies and threads of the arrivals of present interfaces, as the platform
// may make them: twice for one interface, and from a plug-and-play thread
// after the registration has returned.
TEST_F(Pnp, PresentInterfacesMayArriveTwiceAndAfterTheRegistrationFromAnotherThread)
{
    sim::PlugUsb("AAAA", "0001", "ONE000");
    sim::PlugUsb("CCCC", "0003", "THREE0");
    sim::SetExistingArrivals({2, 0});
    InsideRegistration = true;
    EXPECT_EQ(Register(PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES), STATUS_SUCCESS);
    InsideRegistration = false;
    ASSERT_EQ(Seen.size(), 4u);
    EXPECT_EQ(Seen[0].Name, Seen[1].Name);
    EXPECT_EQ(Seen[2].Name, Seen[3].Name);
    EXPECT_NE(Seen[0].Name, Seen[2].Name);

    // One call during the registration, the second from another thread once
    // it has returned.
    Seen.clear();
    sim::SetExistingArrivals({2, 1});
    InsideRegistration = true;
    EXPECT_EQ(Register(PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES), STATUS_SUCCESS);
    ASSERT_EQ(Seen.size(), 2u);
    EXPECT_EQ(Seen[0].Thread, 0u);
    InsideRegistration = false;
    sim::RunUntilIdle();
    ASSERT_EQ(Seen.size(), 4u);
    EXPECT_EQ(Seen[2].Name, Seen[0].Name);
    EXPECT_EQ(Seen[3].Name, Seen[1].Name);
    EXPECT_NE(Seen[2].Thread, 0u);
    EXPECT_EQ(Seen[3].Thread, Seen[2].Thread);

    // Never more than twice; every call is traced as a notification.
    Seen.clear();
    sim::SetExistingArrivals({5, 5});
    EXPECT_EQ(Register(PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES), STATUS_SUCCESS);
    EXPECT_TRUE(Seen.empty());
    sim::RunUntilIdle();
    EXPECT_EQ(Seen.size(), 4u);
    size_t notices = 0;
    for (const sim::TraceEvent &event : sim::Trace())
        notices += event.Kind == sim::TraceKind::Notify ? 1 : 0;
    EXPECT_EQ(notices, 2u + 4u + 4u + 4u);
}

KMUTEX Held;

NTSTATUS KeepMutex(PVOID, PVOID)
{
    KeWaitForSingleObject(&Held, Executive, KernelMode, FALSE, nullptr);
    return STATUS_SUCCESS;
}

TEST(PnpCallbacks, ACallbackMustNotReturnOwningAMutex)
{
    sim::Reset();
    KeInitializeMutex(&Held, 0);
    PVOID entry = nullptr;
    GUID usb = GUID_DEVINTERFACE_USB_DEVICE;
    ASSERT_EQ(IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, 0, &usb, nullptr,
                                             KeepMutex, nullptr, &entry),
              STATUS_SUCCESS);
    sim::PlugUsb("AAAA", "0001", "ONE000");
    std::vector<sim::Violation> found = sim::Shutdown();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_NE(found[0].Text.find("notification callback returned owning a mutex"),
              std::string::npos);
}

} // namespace

// Removal of the sibling's device, as plug and play runs it, against a
// holder of a file object on it that behaves as each case says. The holder
// registers for target-device change; its callback records what it was
// called with and where, and closes, unregisters or vetoes as told.
namespace removal
{

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
