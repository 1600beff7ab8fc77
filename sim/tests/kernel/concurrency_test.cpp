// The kernel under real concurrency (free-running mode): simulated threads
// and harness threads using pool, registry, dispatcher objects, the sibling
// and plug and play at once. Run under ThreadSanitizer this proves the
// kernel's own locking; everywhere it checks that no work is lost or
// duplicated.

#include "sim.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace
{

constexpr char Key[] = "\\Registry\\Machine\\Software\\Test";
constexpr int Workers = 4;
constexpr int Turns = 200;

KMUTEX Counter;
ULONG Shared = 0; // guarded by Counter
std::atomic<int> Finished{0};
std::atomic<int> Notified{0};
PDEVICE_OBJECT Peer;

struct WorkerState {
    UCHAR Reply[2];
    IO_STATUS_BLOCK Status;
    KEVENT Event;
};
WorkerState States[Workers];

void Worker(PVOID context)
{
    WorkerState &state = States[(uintptr_t)context];
    UCHAR block[8] = {1, 2, 0, 6, 0, 0, 0, 0};
    LARGE_INTEGER tick;
    tick.QuadPart = -1 * sim::TicksPerMs;
    for (int turn = 0; turn < Turns; ++turn) {
        void *copy = ExAllocatePoolWithTag(PagedPool, 96, sim::Tag("sger"));
        ULONG value = (ULONG)turn;
        RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, u"\\Registry\\Machine\\Software\\Test",
                              u"Turn", REG_DWORD, &value, sizeof value);
        if (copy)
            ExFreePoolWithTag(copy, 0);
        KeWaitForSingleObject(&Counter, Executive, KernelMode, FALSE, nullptr);
        Shared++;
        KeReleaseMutex(&Counter, FALSE);
        KeInitializeEvent(&state.Event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(sim::PeerIoctlCode, Peer, block, 8, state.Reply, 2,
                                                 FALSE, &state.Event, &state.Status);
        if (irp && IofCallDriver(Peer, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&state.Event, Executive, KernelMode, FALSE, nullptr);
        KeDelayExecutionThread(KernelMode, FALSE, &tick);
    }
    Finished++;
    for (;;)
        KeDelayExecutionThread(KernelMode, FALSE, &tick);
}

NTSTATUS Count(PVOID, PVOID)
{
    Notified++;
    return STATUS_SUCCESS;
}

TEST(Concurrency, ThreadsAndHarnessThreadsShareTheKernel)
{
    Shared = 0;
    Finished = 0;
    Notified = 0;
    sim::Options options;
    options.RunMode = sim::Mode::FreeRunning;
    options.RealMicrosPerVirtualMs = 10;
    options.Keys = {Key};
    sim::Reset(options);
    PFILE_OBJECT file = nullptr;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\KEVO-0");
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &Peer), STATUS_SUCCESS);
    PVOID entry;
    GUID usb = GUID_DEVINTERFACE_USB_DEVICE;
    ASSERT_EQ(IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, 0, &usb, nullptr,
                                             Count, nullptr, &entry),
              STATUS_SUCCESS);
    KeInitializeMutex(&Counter, 0);
    sim::SetPeerCompletion(sim::Completion::Pending);
    sim::SetPeerAutoCompleteMs(2);

    HANDLE handle;
    for (uintptr_t i = 0; i < Workers; ++i)
        ASSERT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, Worker, (PVOID)i),
                  STATUS_SUCCESS);
    std::vector<std::thread> harness;
    for (int i = 0; i < 2; ++i)
        harness.emplace_back([i] {
            for (int n = 0; n < 100; ++n) {
                sim::PlugUsb("ABCD", i ? "1000" : "2000", "FR0001");
                sim::UnplugUsb("ABCD", i ? "1000" : "2000", "FR0001");
            }
        });
    for (std::thread &thread : harness)
        thread.join();
    while (Finished < Workers && sim::NowMs() < 10000000)
        sim::Advance(50);
    sim::StopThreads();

    EXPECT_EQ(Finished, Workers);
    EXPECT_EQ(Shared, (ULONG)(Workers * Turns));
    EXPECT_EQ(Notified, 400);
    EXPECT_EQ(sim::PeerRequestCount(), (uint64_t)(Workers * Turns));
    EXPECT_EQ(sim::PendingPeerRequests(), 0u);
    EXPECT_EQ(sim::RegistryWriteCount(), (uint64_t)(Workers * Turns));
    EXPECT_EQ(sim::PoolTotals().OutstandingCount, 0u);
    EXPECT_EQ(sim::PoolTotals().Allocations, (uint64_t)(Workers * Turns));
    EXPECT_TRUE(sim::PresentInterfaces().empty());
    ObfDereferenceObject(file);
    for (const sim::Violation &violation : sim::Shutdown())
        ADD_FAILURE() << violation.Text;
}

} // namespace
