// A miniport's whole life: unloaded once nothing holds it, with whatever it
// left found; and a run that, given the same inputs, leaves the same trace.

#include "miniport.h"

#include <string>
#include <vector>

namespace
{

using namespace videoport_test;

constexpr NTSTATUS NoSuchDevice = (NTSTATUS)0xC000000Eu;
// Code 38: a previous instance of the driver is still in memory.
constexpr NTSTATUS DriverFailedPriorUnload = (NTSTATUS)0xC000038Eu;

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

// The driver's unload runs once its last device is gone, whatever still
// references its driver object. With nothing referencing it the image goes:
// whatever of the driver is still alive then is a finding, its thread's next
// wake-up is bug check 0xCE, and a new device needs a fresh load. With a
// reference (a pin, a registration) the image stays mapped and its thread
// runs on, but AddDevice cannot load the driver again (Code 38).
TEST(VideoPortLifetime, TheUnloadRunsWithTheLastDeviceAndTheImageGoesWhenNothingHoldsIt)
{
    enum Step { FailStart, FailAdd, RemoveBeforeStart, StartAndDisable, StartAndSurpriseRemove };
    struct Case {
        const char *Name;
        Step Do;
        bool Pin, Register, Allocate;
        bool ImageGone;
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
            EXPECT_FALSE(sim::DriverUnloadRan()) << "a device is left";
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
        EXPECT_TRUE(sim::DriverUnloadRan());
        EXPECT_EQ(sim::DriverUnloaded(), c.ImageGone);
        // A new device: a driver whose image went needs a fresh load first;
        // one whose image a reference keeps cannot be loaded again.
        const size_t traced = sim::Trace().size();
        EXPECT_EQ(sim::AddAdapter(), c.ImageGone ? NoSuchDevice : DriverFailedPriorUnload);
        EXPECT_EQ(sim::StartAdapter().FindStatus, (VP_STATUS)ERROR_NO_MORE_DEVICES);
        EXPECT_EQ(sim::VideoDeviceName(), "");
        EXPECT_EQ(sim::Trace().size() - traced, c.ImageGone ? 0u : 2u)
            << "each refused AddDevice is traced";
        sim::Advance(1000);
        EXPECT_EQ(Life.Turns, c.ImageGone ? 0u : 4u);
        std::vector<sim::Violation> found = sim::Shutdown();
        ASSERT_EQ(found.size(), c.Findings.size());
        for (size_t i = 0; i < found.size(); ++i)
            EXPECT_NE(found[i].Text.find(c.Findings[i]), std::string::npos) << found[i].Text;
    }
    sim::Reset();
}

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
