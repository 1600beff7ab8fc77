// The system's sleep: no thread runs and no wait times out while it sleeps,
// the clock jumps, the sibling's pending requests complete or fail at the
// resume, and the frame may come back as a removal and an arrival.

#include "miniport.h"

#include <string>
#include <vector>

namespace
{

using namespace videoport_test;

constexpr NTSTATUS NoSuchDevice = (NTSTATUS)0xC000000Eu;
constexpr NTSTATUS Cancelled = (NTSTATUS)0xC0000120u;

// A thread that wakes every 250 ms and notes when.
std::vector<uint64_t> Wakes;

void Ticker(PVOID)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -2500000;
    for (;;) {
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        Wakes.push_back(sim::NowMs());
    }
}

// A holder of a file object on the sibling's device that lets go when told
// the device is gone, as a driver must.
struct {
    PFILE_OBJECT File = nullptr;
    PDEVICE_OBJECT Device = nullptr;
    PVOID Entry = nullptr;
} Holder;

NTSTATUS LetGo(PVOID structure, PVOID)
{
    auto *notification = (TARGET_DEVICE_REMOVAL_NOTIFICATION *)structure;
    if (memcmp(&notification->Event, &GUID_TARGET_DEVICE_REMOVE_COMPLETE, sizeof(GUID)) == 0 &&
        Holder.File) {
        IoUnregisterPlugPlayNotification(Holder.Entry);
        ObfDereferenceObject(Holder.File);
        Holder.File = nullptr;
    }
    return STATUS_SUCCESS;
}

std::vector<std::string> Steps(size_t from)
{
    std::vector<std::string> steps;
    const std::vector<sim::TraceEvent> &trace = sim::Trace();
    for (size_t i = from; i < trace.size(); ++i) {
        const sim::TraceEvent &event = trace[i];
        std::string kind = sim::TraceKindName(event.Kind);
        if (event.Kind == sim::TraceKind::Complete)
            steps.push_back(kind + " " + std::to_string((uint32_t)event.Status));
        else if (event.Kind == sim::TraceKind::Power)
            steps.push_back(kind + " " + std::to_string(event.Code));
        else if (event.Kind != sim::TraceKind::Request)
            steps.push_back(kind + " " + event.Text);
    }
    return steps;
}

// Asleep, the clock jumps an hour and nobody runs: the thread's turns and the
// sibling's late completion all wait for the resume. At the resume, before
// any thread runs, the pending request completes as the case says and the
// adapter is powered on; the thread's waits that fell due during the sleep
// end once, at the resume's instant.
TEST(SystemSleep, NoThreadRunsWhileAsleepAndPendingRequestsEndAtTheResume)
{
    struct Case {
        const char *Name;
        sim::SystemPower Transition;
        sim::Wake Wake;
        NTSTATUS Status; // of the request pending across the sleep
        UCHAR Reply;     // its first reply byte
        std::vector<std::string> AtResume;
    };
    const std::string Resume = "system resume";
    const Case Cases[] = {
        {"sleep, the same device, the request answered",
         sim::SystemPower::Sleep,
         {},
         STATUS_SUCCESS,
         2,
         {Resume, "complete 0", "power 1"}},
        {"sleep, the same device, the request cancelled",
         sim::SystemPower::Sleep,
         {Cancelled, false},
         Cancelled,
         0xEE,
         {Resume, "complete " + std::to_string((uint32_t)Cancelled), "power 1"}},
        {"hibernation, the frame comes back as a new device",
         sim::SystemPower::Hibernate,
         {STATUS_SUCCESS, true},
         NoSuchDevice,
         0xEE,
         {Resume, "complete " + std::to_string((uint32_t)NoSuchDevice), "power 1",
          "pnp surprise-removal", "pnp remove-complete", "pnp unregister", "release ", "pnp remove",
          "notify removal", "pnp add", "notify arrival"}},
    };
    for (const Case &c : Cases) {
        SCOPED_TRACE(c.Name);
        sim::Reset();
        Mini = {};
        Holder = {};
        Wakes.clear();
        ASSERT_EQ(sim::LoadDriver(Entry), STATUS_SUCCESS);
        ASSERT_EQ(sim::StartAdapter().FindStatus, NO_ERROR);
        HANDLE thread;
        PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr, Ticker, nullptr);
        sim::PlugUsb("ABCD", "1000", "FR0001");
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\Device\\KEVO-0");
        ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &Holder.File, &Holder.Device),
                  STATUS_SUCCESS);
        ASSERT_EQ(IoRegisterPlugPlayNotification(EventCategoryTargetDeviceChange, 0, Holder.File,
                                                 nullptr, LetGo, nullptr, &Holder.Entry),
                  STATUS_SUCCESS);
        sim::Advance(1000);
        ASSERT_EQ(Wakes.size(), 4u);

        // A request the sibling answers 4 ms later from its own thread.
        sim::SetPeerCompletion(sim::Completion::Later);
        UCHAR block[8] = {1, 2, 0, 4, 0, 0, 0, 0};
        UCHAR reply[1] = {0xEE};
        KEVENT event;
        IO_STATUS_BLOCK status{};
        status.Status = 0x7777;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(sim::PeerIoctlCode, Holder.Device, block, 8, reply,
                                                 1, FALSE, &event, &status);
        ASSERT_EQ(IofCallDriver(Holder.Device, irp), STATUS_PENDING);

        EXPECT_EQ(sim::SetSystemPower(c.Transition), NO_ERROR);
        EXPECT_EQ(Mini.LastPowerState, c.Transition == sim::SystemPower::Sleep
                                           ? (ULONG)VideoPowerOff
                                           : (ULONG)VideoPowerHibernate);
        EXPECT_TRUE(sim::SystemAsleep());
        sim::SetFrameMode(2); // the frame's answer when it wakes
        sim::Advance(3600000);
        EXPECT_EQ(sim::NowMs(), 3601000u) << "the clock jumps";
        EXPECT_EQ(Wakes.size(), 4u) << "no thread runs while the system sleeps";
        EXPECT_EQ(sim::PendingPeerRequests(), 1u) << "nor does the sibling's";
        EXPECT_EQ(sim::SetSystemPower(sim::SystemPower::Sleep), NO_ERROR) << "asleep already";

        size_t from = sim::Trace().size();
        EXPECT_EQ(sim::SetSystemPower(sim::SystemPower::Resume, c.Wake), NO_ERROR);
        EXPECT_FALSE(sim::SystemAsleep());
        EXPECT_EQ(Mini.LastPowerState, (ULONG)VideoPowerOn);
        sim::RunUntilIdle();
        EXPECT_EQ(Steps(from), c.AtResume);
        EXPECT_EQ(status.Status, c.Status);
        EXPECT_EQ(reply[0], c.Reply);
        EXPECT_EQ(sim::PendingPeerRequests(), 0u);
        ASSERT_EQ(Wakes.size(), 5u) << "the waits that fell due end once, at the resume";
        EXPECT_EQ(Wakes.back(), 3601000u);
        sim::Advance(250);
        EXPECT_EQ(Wakes.size(), 6u) << "and the turns go on from there";
        if (Holder.File) {
            IoUnregisterPlugPlayNotification(Holder.Entry);
            ObfDereferenceObject(Holder.File);
        }
        EXPECT_EQ(sim::PeerPresent(), true);
        for (const sim::Violation &found : sim::Shutdown())
            ADD_FAILURE() << found.Text;
    }
    sim::Reset();
}

} // namespace
