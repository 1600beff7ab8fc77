// The cost of simulated turns in deterministic mode.
//
//   kvrsim_kernel_turn_bench [HOURS]
//
// 1. Bare turns: a thread that does nothing but wait 250 ms, for HOURS of
//    virtual time (default 24): one wait, one wake-up, two context switches
//    per turn.
// 2. Polling turns: each turn is what a polling driver does: one 250 ms wait,
//    one request to the sibling frame driver (built, sent, completed at
//    once), and two registry writes, each with a fresh key-path copy from
//    pool, as a registry write of the driver makes. Records and the trace
//    are off, as for a long run.
// Prints the wall time of each run and the cost of one turn.

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "sim.h"

namespace
{

constexpr char16_t KeyPath[] = u"\\Registry\\Machine\\Software\\Korvane\\Brindlecourt";
constexpr char ProductKey[] = "\\Registry\\Machine\\Software\\Korvane\\Brindlecourt";
constexpr ULONG PathTag = sim::Tag("sger");

uint64_t Turns = 0;

void BareThread(PVOID)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -2500000;
    for (;;) {
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        ++Turns;
    }
}

NTSTATUS WriteValue(const char16_t *name, const void *data, ULONG length)
{
    SIZE_T bytes = sizeof KeyPath;
    WCHAR *copy = (WCHAR *)ExAllocatePoolWithTag(PagedPool, bytes, PathTag);
    if (!copy)
        return STATUS_INSUFFICIENT_RESOURCES;
    memcpy(copy, KeyPath, bytes);
    NTSTATUS status = RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, copy, (PCWSTR)name, REG_BINARY,
                                            (PVOID)data, length);
    ExFreePoolWithTag(copy, 0);
    return status;
}

void PollingThread(PVOID)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\KEVO-0");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    if (!NT_SUCCESS(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device)))
        return;
    LARGE_INTEGER interval;
    interval.QuadPart = -2500000;
    KEVENT event;
    IO_STATUS_BLOCK status;
    UCHAR block[8] = {1, 2, 0, 6, 0, 0, 0, 0};
    UCHAR reply[2] = {0, 0};
    UCHAR info[2] = {8, 0};
    UCHAR record[16] = {1, 3, 0, 0, 0, 0, 0, 0};
    for (;;) {
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(sim::PeerIoctlCode, device, block, sizeof block,
                                                 reply, sizeof reply, FALSE, &event, &status);
        if (irp)
            IofCallDriver(device, irp);
        record[4] = reply[0];
        WriteValue(u"DeviceInfo", info, sizeof info);
        WriteValue(u"DeviceStatus", record, sizeof record);
        ++Turns;
    }
}

double Run(PKSTART_ROUTINE routine, uint64_t hours, uint64_t &turns)
{
    sim::Options options;
    options.TraceEnabled = false;
    options.RecordWaits = false;
    options.RecordRegistry = false;
    options.RecordPeerRequests = false;
    options.Keys = {ProductKey};
    sim::Reset(options);
    Turns = 0;
    HANDLE handle;
    PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, routine, nullptr);
    auto start = std::chrono::steady_clock::now();
    sim::Advance(hours * 3600 * 1000);
    auto stop = std::chrono::steady_clock::now();
    turns = Turns;
    sim::Shutdown();
    return std::chrono::duration<double>(stop - start).count();
}

} // namespace

int main(int argc, char **argv)
{
    uint64_t hours = argc > 1 ? strtoull(argv[1], nullptr, 10) : 24;
    if (hours == 0)
        hours = 1;
    uint64_t turns = 0;
    double seconds = Run(BareThread, hours, turns);
    printf("bare turns:    %llu turns in %.3f s wall, %.1f ns per turn (wait, wake-up, switch)\n",
           (unsigned long long)turns, seconds, seconds * 1e9 / (double)(turns ? turns : 1));
    seconds = Run(PollingThread, hours, turns);
    printf("polling turns: %llu turns in %.3f s wall, %.1f ns per turn (wait, peer request, two "
           "registry writes with pool copies)\n",
           (unsigned long long)turns, seconds, seconds * 1e9 / (double)(turns ? turns : 1));
    printf("virtual time:  %llu h\n", (unsigned long long)hours);
    return 0;
}
