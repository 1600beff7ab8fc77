// DriverEntry, the adapter start with its registrations and their retry by
// flag, and the callbacks with fixed answers.

#include "support/harness.h"

#include "driver/core/miniport.h"
#include "driver/detect/detect.h"
#include "driver/monitor/monitor.h"

using namespace kvrtest;

namespace
{

constexpr std::string_view ControlDeviceName = "\\Device\\kvrminiportobj";
constexpr std::string_view ControlLinkName = "\\DosDevices\\kvrminiportobj";

TEST_F(DriverTest, DriverEntryHandsTheVideoPortItsCallbackTable)
{
    EXPECT_EQ(LoadDriver(), STATUS_SUCCESS);

    ASSERT_EQ(sim::VideoPortInitializeCalls().size(), 1u);
    const sim::VideoPortInitializeCall &Call = sim::VideoPortInitializeCalls()[0];
    EXPECT_EQ(Call.Argument1, sim::DriverObject());
    EXPECT_EQ(Call.HwContext, nullptr);
    EXPECT_EQ(Call.HwInitDataSize, 144u);
    const VIDEO_HW_INITIALIZATION_DATA &Table = Call.Table;
    EXPECT_EQ(Table.HwInitDataSize, 144u);
    EXPECT_EQ(Table.AdapterInterfaceType, 0);
    EXPECT_EQ(Table.HwFindAdapter, KVR_ROUTINE(HwFindAdapter));
    EXPECT_EQ(Table.HwInitialize, KVR_ROUTINE(HwInitialize));
    EXPECT_EQ(Table.HwInterrupt, KVR_ROUTINE(HwInterrupt));
    EXPECT_EQ(Table.HwStartIO, KVR_ROUTINE(HwStartIO));
    EXPECT_EQ(Table.HwDeviceExtensionSize, 280u);
    EXPECT_EQ(Table.StartingDeviceNumber, 0u);
    EXPECT_EQ(Table.HwResetHw, KVR_ROUTINE(HwResetHw));
    EXPECT_EQ(Table.HwTimer, nullptr);
    EXPECT_EQ(Table.HwStartDma, nullptr);
    EXPECT_EQ(Table.HwSetPowerState, KVR_ROUTINE(HwSetPowerState));
    EXPECT_EQ(Table.HwGetPowerState, KVR_ROUTINE(HwGetPowerState));
    EXPECT_EQ(Table.HwGetVideoChildDescriptor, KVR_ROUTINE(HwGetVideoChildDescriptor));
    EXPECT_EQ(Table.HwQueryInterface, nullptr);
    EXPECT_EQ(Table.HwChildDeviceExtensionSize, 0u);
    EXPECT_EQ(Table.HwLegacyResourceList, nullptr);
    EXPECT_EQ(Table.HwLegacyResourceCount, 0u);
    EXPECT_EQ(Table.HwGetLegacyResources, nullptr);
    EXPECT_EQ(Table.AllowEarlyEnumeration, FALSE);
    EXPECT_EQ(Table.Reserved, 0u);

    EXPECT_EQ(KVR_STATE(DriverObject).Load(), sim::DriverObject());
    EXPECT_EQ(KVR_STATE(InterfaceNotifyRegistered).Load(), 0);
    EXPECT_EQ(KVR_STATE(ProfileNotifyRegistered).Load(), 0);
    std::vector<sim::PoolEvent> Buffer = PoolEventsOf("ffub");
    ASSERT_EQ(Buffer.size(), 1u);
    EXPECT_EQ(Buffer[0].Type, NonPagedPool) << "Vista and 7 know no no-execute pool";
    EXPECT_EQ(Buffer[0].Bytes, 200u);
    EXPECT_EQ(static_cast<const void *>(KVR_STATE(DataFilePath).Load()), Buffer[0].Address);
    EXPECT_EQ(sim::PoolTotals().Allocations, 1u) << "nothing else is allocated at load";

    std::vector<sim::ThreadInfo> Threads = sim::Threads();
    ASSERT_EQ(Threads.size(), 1u);
    EXPECT_EQ(Threads[0].StartRoutine, KVR_ROUTINE(MonitorMain));
    EXPECT_EQ(Threads[0].StartContext, nullptr);
    EXPECT_NE(KVR_STATE(MonitorThread), nullptr);
    EXPECT_TRUE(sim::CreateDeviceCalls().empty()) << "the adapter start creates the devices";
}

TEST_F(DriverTest, DriverEntryReturnsTheVideoPortsStatusUnchanged)
{
    sim::SetVideoPortInitializeStatus(0x40000000);
    EXPECT_EQ(LoadDriver(), NTSTATUS(0x40000000));
    EXPECT_EQ(sim::LiveThreadCount(), 1u);
}

TEST_F(DriverTest, FailedVideoPortInitializeStartsNothing)
{
    sim::FailNextVideoPortInitialize(1, 0xC0000001);

    EXPECT_EQ(LoadDriver(), NTSTATUS(0xC0000001));

    EXPECT_TRUE(sim::Threads().empty());
    EXPECT_EQ(sim::PoolTotals().Allocations, 0u);
    EXPECT_EQ(KVR_STATE(DataFilePath).Load(), nullptr);
    EXPECT_EQ(KVR_STATE(MonitorThread), nullptr);
}

TEST_F(DriverTest, WithoutItsThreadOrBufferTheDriverStillLoads)
{
    sim::FailAllocationsOfTag(sim::Tag("ffub"));
    EXPECT_EQ(LoadDriver(false), STATUS_SUCCESS);
    EXPECT_EQ(KVR_STATE(DataFilePath).Load(), nullptr);
    EXPECT_TRUE(sim::Threads().empty());
    EXPECT_EQ(sim::StartAdapter().FindStatus, NO_ERROR);
}

// The three ways the adapter's device goes while the driver is loaded: a
// first start that fails, a removal before any start, and a disable after a
// start whose devices and registrations all failed.
enum class DeviceGoes { FailFirstStart, RemoveBeforeStart, DisableAfterFailedRegistrations };

const struct {
    const char *Name;
    DeviceGoes How;
} DeviceGoesCases[] = {
    {"a failed first start", DeviceGoes::FailFirstStart},
    {"a removal before the first start", DeviceGoes::RemoveBeforeStart},
    {"a disable after the registrations failed", DeviceGoes::DisableAfterFailedRegistrations},
};

void TakeTheAdaptersDevice(DeviceGoes How)
{
    switch (How) {
    case DeviceGoes::FailFirstStart:
        sim::FailNextAdapterStarts(1);
        EXPECT_EQ(sim::StartAdapter().FindStatus, ERROR_NO_MORE_DEVICES);
        break;
    case DeviceGoes::RemoveBeforeStart:
        ASSERT_EQ(sim::AddAdapter(), STATUS_SUCCESS);
        EXPECT_TRUE(sim::RemoveAdapter());
        break;
    case DeviceGoes::DisableAfterFailedRegistrations:
        sim::FailNextDeviceCreations(2);
        sim::FailNextPnpRegistrations(EventCategoryDeviceInterfaceChange, 1);
        sim::FailNextPnpRegistrations(EventCategoryHardwareProfileChange, 1);
        EXPECT_EQ(sim::StartAdapter().FindStatus, NO_ERROR);
        EXPECT_EQ(KVR_STATE(InterfaceNotifyRegistered).Load(), 0);
        EXPECT_TRUE(sim::RemoveAdapter());
        break;
    }
    EXPECT_EQ(sim::VideoDeviceName(), "");
}

// The image stays as long as the monitor thread can run: whatever happens
// to the adapter's device, the driver is never unloaded under its thread,
// which goes on with its turns; the kernel reports an unload with the
// thread alive, and the thread's next wake-up in the unloaded image.
TEST_F(DriverTest, TheImageOutlivesTheAdaptersDeviceWhileTheMonitorRuns)
{
    for (const auto &C : DeviceGoesCases) {
        SCOPED_TRACE(C.Name);
        ResetSystem();
        ASSERT_EQ(LoadDriver(true), STATUS_SUCCESS);
        TakeTheAdaptersDevice(C.How);
        EXPECT_FALSE(sim::DriverUnloaded());
        uint64_t Waits = sim::WaitCount();
        sim::Advance(1000);
        EXPECT_GT(sim::WaitCount(), Waits) << "the monitor goes on with its turns";
    }
}

// Without the monitor thread nothing holds the image: it goes with the
// adapter's device, and whatever DriverEntry allocated has gone before it;
// the kernel reports a pool block left by an unloaded driver.
TEST_F(DriverTest, WithoutTheMonitorTheImageGoesWithTheAdaptersDeviceLeavingNothing)
{
    for (const auto &C : DeviceGoesCases) {
        SCOPED_TRACE(C.Name);
        ResetSystem();
        ASSERT_EQ(LoadDriver(false), STATUS_SUCCESS);
        EXPECT_EQ(KVR_STATE(DataFilePath).Load(), nullptr);
        TakeTheAdaptersDevice(C.How);
        EXPECT_TRUE(sim::DriverUnloaded());
        EXPECT_EQ(sim::PoolTotals().OutstandingCount, 0u);
        for (const sim::Violation &Found : sim::Violations())
            ADD_FAILURE() << "verifier: " << Found.Text;
        sim::ClearViolations();
    }
}

class AdapterTest : public DriverTest
{
  protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        ASSERT_EQ(LoadDriver(false), STATUS_SUCCESS);
    }

    void StartAndExpectNoError()
    {
        sim::StartAdapterResult Result = sim::StartAdapter();
        EXPECT_EQ(Result.FindStatus, NO_ERROR);
        EXPECT_TRUE(Result.ExtensionUntouched);
        EXPECT_EQ(Result.Again, 0);
    }
};

TEST_F(AdapterTest, FirstStartCreatesTheControlDeviceAndBothRegistrations)
{
    StartAndExpectNoError();

    const std::vector<sim::CreateDeviceCall> &Creations = sim::CreateDeviceCalls();
    ASSERT_EQ(Creations.size(), 2u) << "each registration routine tries the creation";
    EXPECT_EQ(Creations[0].Name, ControlDeviceName);
    EXPECT_EQ(Creations[0].ExtensionSize, 280u);
    EXPECT_EQ(Creations[0].Type, FILE_DEVICE_UNKNOWN);
    EXPECT_EQ(Creations[0].Characteristics, 0u);
    EXPECT_FALSE(Creations[0].Exclusive);
    EXPECT_EQ(Creations[0].Status, STATUS_SUCCESS);
    EXPECT_LT(Creations[1].Status, 0) << "the name exists";

    ASSERT_EQ(sim::SymbolicLinkCalls().size(), 1u);
    EXPECT_EQ(sim::SymbolicLinkCalls()[0].Link, ControlLinkName);
    EXPECT_EQ(sim::SymbolicLinkCalls()[0].Device, ControlDeviceName);

    std::vector<sim::DeviceInfo> Devices;
    for (const sim::DeviceInfo &Device : sim::Devices()) {
        if (Device.Driver == sim::DriverObject() && Device.Name == ControlDeviceName)
            Devices.push_back(Device);
    }
    ASSERT_EQ(Devices.size(), 1u);

    const std::vector<sim::PnpRegistration> &Registrations = sim::PnpRegistrations();
    ASSERT_EQ(Registrations.size(), 2u);
    EXPECT_EQ(Registrations[0].Category, EventCategoryDeviceInterfaceChange);
    EXPECT_EQ(Registrations[0].Flags, PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES);
    EXPECT_EQ(std::memcmp(&Registrations[0].InterfaceClass, &GUID_DEVINTERFACE_USB_DEVICE, 16), 0);
    EXPECT_EQ(Registrations[0].Driver, sim::DriverObject());
    EXPECT_EQ(Registrations[0].Callback, KVR_ROUTINE(UsbInterfaceNotify));
    EXPECT_EQ(Registrations[0].Context, Devices[0].Object);
    EXPECT_EQ(Registrations[1].Category, EventCategoryHardwareProfileChange);
    EXPECT_EQ(Registrations[1].Flags, 0u);
    EXPECT_EQ(Registrations[1].Driver, sim::DriverObject());
    EXPECT_EQ(Registrations[1].Callback, KVR_ROUTINE(ProfileChangeNotify));
    EXPECT_EQ(Registrations[1].Context, KVR_STATE(ControlDevice).Load())
        << "whatever the failed second creation left";
    EXPECT_EQ(KVR_STATE(InterfaceNotifyRegistered).Load(), 1);
    EXPECT_EQ(KVR_STATE(ProfileNotifyRegistered).Load(), 1);
}

// The control device is created at the adapter start, after DriverEntry, and
// the driver never clears its DO_DEVICE_INITIALIZING: nobody can open it, by
// its name or through its link. It serves nothing, and a request through it
// would reach the video port's dispatch routines with an extension that is
// not the video port's.
TEST_F(AdapterTest, ControlDeviceCannotBeOpened)
{
    StartAndExpectNoError();
    for (const char16_t *Name : {u"\\Device\\kvrminiportobj", u"\\DosDevices\\kvrminiportobj"}) {
        UNICODE_STRING Text;
        RtlInitUnicodeString(&Text, Name);
        PFILE_OBJECT File = nullptr;
        PDEVICE_OBJECT Device = nullptr;
        EXPECT_LT(IoGetDeviceObjectPointer(&Text, FILE_ALL_ACCESS, &File, &Device), 0);
        EXPECT_EQ(File, nullptr);
    }
    EXPECT_EQ(sim::OpenFileObjects(), 0u);
}

TEST_F(AdapterTest, LaterStartAfterBothRegistrationsDoesNothing)
{
    StartAndExpectNoError();
    StartAndExpectNoError();
    EXPECT_EQ(sim::CreateDeviceCalls().size(), 2u);
    EXPECT_EQ(sim::SymbolicLinkCalls().size(), 1u);
    EXPECT_EQ(sim::PnpRegistrations().size(), 2u);
}

TEST_F(AdapterTest, FailedInterfaceRegistrationIsRetriedAtTheNextStart)
{
    sim::FailNextPnpRegistrations(EventCategoryDeviceInterfaceChange, 1);
    StartAndExpectNoError();
    EXPECT_EQ(KVR_STATE(InterfaceNotifyRegistered).Load(), 0);
    EXPECT_EQ(KVR_STATE(ProfileNotifyRegistered).Load(), 1);

    StartAndExpectNoError();
    ASSERT_EQ(sim::CreateDeviceCalls().size(), 3u);
    EXPECT_LT(sim::CreateDeviceCalls()[2].Status, 0);
    EXPECT_EQ(sim::SymbolicLinkCalls().size(), 1u) << "no second link";
    ASSERT_EQ(sim::PnpRegistrations().size(), 3u);
    EXPECT_EQ(sim::PnpRegistrations()[2].Category, EventCategoryDeviceInterfaceChange);
    EXPECT_EQ(KVR_STATE(InterfaceNotifyRegistered).Load(), 1);

    StartAndExpectNoError();
    EXPECT_EQ(sim::PnpRegistrations().size(), 3u);
}

TEST_F(AdapterTest, FailedProfileRegistrationIsRetriedAtTheNextStart)
{
    sim::FailNextPnpRegistrations(EventCategoryHardwareProfileChange, 1);
    StartAndExpectNoError();
    EXPECT_EQ(KVR_STATE(InterfaceNotifyRegistered).Load(), 1);
    EXPECT_EQ(KVR_STATE(ProfileNotifyRegistered).Load(), 0);

    StartAndExpectNoError();
    ASSERT_EQ(sim::PnpRegistrations().size(), 3u);
    EXPECT_EQ(sim::PnpRegistrations()[2].Category, EventCategoryHardwareProfileChange);
    EXPECT_EQ(sim::CreateDeviceCalls().size(), 3u);
    EXPECT_EQ(KVR_STATE(ProfileNotifyRegistered).Load(), 1);
}

TEST_F(AdapterTest, FailedFirstCreationLeavesTheLinkToTheSecondRoutine)
{
    sim::FailNextDeviceCreations(1);
    StartAndExpectNoError();

    ASSERT_EQ(sim::CreateDeviceCalls().size(), 2u);
    EXPECT_LT(sim::CreateDeviceCalls()[0].Status, 0);
    EXPECT_EQ(sim::CreateDeviceCalls()[1].Status, STATUS_SUCCESS);
    ASSERT_EQ(sim::SymbolicLinkCalls().size(), 1u);
    ASSERT_EQ(sim::PnpRegistrations().size(), 2u);
    EXPECT_EQ(sim::PnpRegistrations()[0].Status, STATUS_SUCCESS) << "registered all the same";
    EXPECT_NE(sim::PnpRegistrations()[1].Context, nullptr);
    EXPECT_EQ(sim::PnpRegistrations()[1].Context, KVR_STATE(ControlDevice).Load());
    EXPECT_EQ(KVR_STATE(InterfaceNotifyRegistered).Load(), 1);
    EXPECT_EQ(KVR_STATE(ProfileNotifyRegistered).Load(), 1);
}

TEST_F(AdapterTest, ProfileChangesAreAnsweredAndIgnored)
{
    StartAndExpectNoError();
    std::vector<uint8_t> Before = DriverStateBytes();
    const GUID QueryChange = {
        0xCB3A4001, 0x46F0, 0x11D0, {0xB0, 0x8F, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3F}};
    const GUID Complete = {
        0xCB3A4002, 0x46F0, 0x11D0, {0xB0, 0x8F, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3F}};
    sim::PostHardwareProfileChange(QueryChange);
    sim::PostHardwareProfileChange(Complete);
    ASSERT_EQ(sim::NotificationResults().size(), 2u);
    for (NTSTATUS Status : sim::NotificationResults())
        EXPECT_EQ(Status, STATUS_SUCCESS);
    EXPECT_EQ(DriverStateBytes(), Before);
}

TEST_F(AdapterTest, PowerStatesAreRecordedAndPowerOffIsKept)
{
    for (ULONG HwId : {DISPLAY_ADAPTER_HW_ID, 0u, 7u}) {
        for (ULONG State = VideoPowerUnspecified; State <= VideoPowerMaximum; ++State) {
            UCHAR Before = KVR_STATE(PoweredOff).Load();
            EXPECT_EQ(sim::SetPowerState(State, HwId), NO_ERROR);
            EXPECT_EQ(KVR_STATE(PowerState).Load(), State);
            EXPECT_EQ(KVR_STATE(PoweredOff).Load(), State == VideoPowerOff ? 1 : Before)
                << "state " << State;
            VIDEO_POWER_MANAGEMENT Reply{};
            EXPECT_EQ(sim::GetPowerState(State, HwId, &Reply), NO_ERROR);
        }
    }
    EXPECT_EQ(sim::SetPowerState(VideoPowerOff), NO_ERROR);
    EXPECT_EQ(sim::SetPowerState(VideoPowerOn), NO_ERROR);
    EXPECT_EQ(KVR_STATE(PowerState).Load(), ULONG(VideoPowerOn));
    EXPECT_EQ(KVR_STATE(PoweredOff).Load(), 1);
}

TEST_F(AdapterTest, GetPowerStateWritesNothingIntoTheRequest)
{
    for (ULONG State : {ULONG(VideoPowerOn), ULONG(VideoPowerOff), ULONG(VideoPowerHibernate)}) {
        VIDEO_POWER_MANAGEMENT Reply{};
        EXPECT_EQ(sim::GetPowerState(State, DISPLAY_ADAPTER_HW_ID, &Reply), NO_ERROR);
        EXPECT_EQ(Reply.PowerState, State) << "the request comes back as it went";
    }
    EXPECT_EQ(KVR_STATE(PowerState).Load(), 0u) << "a query is no change";
}

TEST_F(AdapterTest, NoChildDevicesFromTheFirstCallOn)
{
    for (ULONG Index : {1u, 0u, 2u}) {
        sim::ChildResult Child = sim::EnumerateChild(Index);
        EXPECT_EQ(Child.Status, ERROR_NO_MORE_DEVICES);
        EXPECT_EQ(Child.Type, 0);
        EXPECT_EQ(Child.UId, 0u);
        EXPECT_EQ(Child.Descriptor, (std::array<uint8_t, 256>{}));
    }
}

TEST_F(AdapterTest, FixedAnswersOfTheResidentCallbacks)
{
    EXPECT_EQ(KVR_CALL(HwInterrupt, sim::DeviceExtension()), FALSE);
    EXPECT_EQ(KVR_CALL(HwResetHw, sim::DeviceExtension(), 80, 25), TRUE);
    EXPECT_EQ(KVR_CALL(HwInitialize, sim::DeviceExtension()), TRUE);
}

} // namespace
