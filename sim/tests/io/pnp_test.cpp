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
