// What the verifier finds in every build, without AddressSanitizer: memory
// written around and after pool blocks, pending requests completed into
// frames that have returned, request inputs past their pool block, waits on
// objects never initialised, KeReleaseMutex(Wait TRUE) not followed by a
// wait, and locals read before they are written (the stack pattern).

#include "sim.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define KVR_VERIFIER_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KVR_VERIFIER_TEST_ASAN 1
#endif
#endif

namespace
{

constexpr ULONG TestTag = sim::Tag("tset");

class Verifier : public ::testing::Test
{
  protected:
    void SetUp() override { sim::Reset(); }
    void TearDown() override { sim::Shutdown(); }
    static std::string Findings(const std::vector<sim::Violation> &list)
    {
        std::string all;
        for (const sim::Violation &violation : list)
            all += violation.Text + "\n";
        return all;
    }
    static std::string Findings() { return Findings(sim::Violations()); }
};

PDEVICE_OBJECT Peer = nullptr;
PFILE_OBJECT PeerFile = nullptr;

void OpenPeer()
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\KEVO-0");
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &PeerFile, &Peer), STATUS_SUCCESS);
    sim::ExpectSurvivingReferences("\\Device\\KEVO-0");
}

#ifndef KVR_VERIFIER_TEST_ASAN
// AddressSanitizer reports these writes itself, at the write.
TEST_F(Verifier, WritesAroundAndAfterAPoolBlockAreFindings)
{
    auto *before = static_cast<uint8_t *>(ExAllocatePoolWithTag(PagedPool, 24, TestTag));
    auto *clean = static_cast<uint8_t *>(ExAllocatePoolWithTag(PagedPool, 24, TestTag));
    auto *after = static_cast<uint8_t *>(ExAllocatePoolWithTag(PagedPool, 24, TestTag));
    ASSERT_TRUE(before && clean && after);
    memset(clean, 0, 24);
    ExFreePoolWithTag(clean, TestTag);
    EXPECT_EQ(Findings(), "");

    before[-1] = 0;
    ExFreePoolWithTag(before, TestTag);
    EXPECT_EQ(Findings(),
              "pool block of tag 'tset', 24 bytes, written before its start (byte -1)\n");

    sim::ClearViolations();
    ExFreePoolWithTag(after, TestTag);
    after[3] = 0; // through a stale pointer
    EXPECT_EQ(Findings(sim::Shutdown()),
              "pool block of tag 'tset', 24 bytes, written after it was freed (byte 3)\n");
}

TEST_F(Verifier, AWriteIntoAFreedBlockIsFoundAtEveryByte)
{
    // Blocks of a whole number of words and not; the check compares a word
    // at a time and must still name the first byte written.
    for (SIZE_T bytes : {16u, 21u}) {
        for (SIZE_T at = 0; at < bytes; ++at) {
            sim::Reset();
            auto *block = static_cast<uint8_t *>(ExAllocatePoolWithTag(PagedPool, bytes, TestTag));
            ASSERT_TRUE(block);
            ExFreePoolWithTag(block, TestTag);
            block[at] = 0;
            if (at + 1 < bytes)
                block[bytes - 1] = 0; // a later byte too: the first is reported
            EXPECT_EQ(Findings(sim::Shutdown()),
                      "pool block of tag 'tset', " + std::to_string(bytes) +
                          " bytes, written after it was freed (byte " + std::to_string(at) + ")\n")
                << bytes << " bytes, byte " << at;
        }
    }
}

TEST_F(Verifier, ARequestInputRunningPastItsPoolBlockIsAFinding)
{
    OpenPeer();
    for (ULONG length : {4u, 8u}) {
        sim::ClearViolations();
        auto *block = static_cast<uint8_t *>(ExAllocatePoolWithTag(NonPagedPool, 4, TestTag));
        memset(block, 0, 4);
        UCHAR reply[2];
        IO_STATUS_BLOCK status;
        PIRP irp = IoBuildDeviceIoControlRequest(sim::PeerIoctlCode, Peer, block, length, reply,
                                                 sizeof reply, FALSE, nullptr, &status);
        IofCallDriver(Peer, irp);
        ExFreePoolWithTag(block, TestTag);
        EXPECT_EQ(Findings(), length == 4 ? ""
                                          : "the input of IoBuildDeviceIoControlRequest of 8 "
                                            "bytes runs past the end of its pool block of tag "
                                            "'tset', 4 bytes\n");
    }
    ObfDereferenceObject(PeerFile);
}
#endif

// A thread that sends a request whose buffers lie in the frame of Send, then
// (unless Wait) returns from Send and goes on waiting elsewhere.
enum Where { Reply = 1, Status = 2, Event = 4 };
struct Sender {
    unsigned InFrame; // the buffers in Send's frame; the others static
    bool Wait;        // Send waits for the completion before it returns
};
UCHAR StaticReply[2];
IO_STATUS_BLOCK StaticStatus;
KEVENT StaticEvent;

__attribute__((noinline)) void Send(const Sender &sender)
{
    UCHAR block[8] = {1, 2, 0, 4, 0, 0, 0, 0};
    UCHAR reply[2];
    IO_STATUS_BLOCK status;
    KEVENT event;
    PKEVENT used = sender.InFrame & Event ? &event : &StaticEvent;
    KeInitializeEvent(used, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(
        sim::PeerIoctlCode, Peer, block, sizeof block, sender.InFrame & Reply ? reply : StaticReply,
        2, FALSE, used, sender.InFrame & Status ? &status : &StaticStatus);
    if (IofCallDriver(Peer, irp) == STATUS_PENDING && sender.Wait)
        KeWaitForSingleObject(used, Executive, KernelMode, FALSE, nullptr);
}

void SenderThread(PVOID context)
{
    Send(*static_cast<const Sender *>(context));
    LARGE_INTEGER interval;
    interval.QuadPart = -10 * sim::TicksPerMs;
    for (;;)
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

TEST_F(Verifier, APendingRequestCompletedIntoAReturnedFrameOfARunningThreadIsAFinding)
{
    const struct {
        Sender Case;
        const char *Finding; // null: none
    } cases[] = {
        {{0, false}, nullptr},
        {{Reply | Status | Event, true}, nullptr},
        {{Reply, false}, "a reply buffer"},
        {{Status, false}, "a status record"},
        {{Event, false}, "an event"},
    };
    for (const auto &c : cases) {
        sim::Reset();
        OpenPeer();
        sim::SetPeerCompletion(sim::Completion::Pending);
        HANDLE handle;
        PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, SenderThread, (PVOID)&c.Case);
        sim::Advance(25);
        EXPECT_EQ(sim::CompletePeerRequests(), 1u);
        sim::Advance(25);
        std::string expected =
            c.Finding ? std::string("a pending request completed into ") + c.Finding +
                            " in a stack frame that has returned, on thread 1, which still runs\n"
                      : "";
        EXPECT_EQ(Findings(), expected) << c.Case.InFrame;
        ObfDereferenceObject(PeerFile);
    }
}

// A wait on an event no one initialised; a release with Wait TRUE followed by
// a wait, or by another call.
KEVENT NeverInitialised;
KMUTEX Mutex;
KEVENT Other;
int WaitCase;
KIRQL IrqlAfterWait;

void WaitingThread(PVOID)
{
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    if (WaitCase == 0) {
        KeWaitForSingleObject(&NeverInitialised, Executive, KernelMode, FALSE, &zero);
        return;
    }
    KeInitializeMutex(&Mutex, 0);
    KeInitializeEvent(&Other, NotificationEvent, TRUE);
    KeWaitForSingleObject(&Mutex, Executive, KernelMode, FALSE, nullptr);
    KeReleaseMutex(&Mutex, TRUE);
    if (WaitCase == 1)
        KeWaitForSingleObject(&Other, Executive, KernelMode, FALSE, nullptr);
    else
        KeInitializeEvent(&Other, NotificationEvent, TRUE);
    IrqlAfterWait = KeGetCurrentIrql();
    if (IrqlAfterWait != PASSIVE_LEVEL) {
        KfRaiseIrql(DISPATCH_LEVEL);
        KeLowerIrql(DISPATCH_LEVEL);
    }
}

TEST_F(Verifier, WaitsOnUninitialisedObjectsAndReleasesNotFollowedByAWaitAreFindings)
{
    const struct {
        int Case;
        const char *Finding;
    } cases[] = {
        {0, "KeWaitForSingleObject on an object that was never initialised with "
            "KeInitializeEvent or KeInitializeMutex\n"},
        {1, ""},
        {2, "KeReleaseMutex with Wait TRUE not followed at once by a wait: KeInitializeEvent "
            "was called at DISPATCH_LEVEL instead\n"},
    };
    for (const auto &c : cases) {
        sim::Reset();
        WaitCase = c.Case;
        IrqlAfterWait = 0xFF;
        HANDLE handle;
        PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, WaitingThread, nullptr);
        sim::RunUntilIdle();
        std::string found = Findings();
        EXPECT_EQ(found.substr(0, found.find('\n') + 1), c.Finding) << c.Case;
        if (c.Case == 1) {
            EXPECT_EQ(IrqlAfterWait, PASSIVE_LEVEL);
        }
    }
}

// The kernel remembers the objects it found initialised last in a small
// table by address (16 slots of 8-byte steps of the address): an object
// never initialised is a finding at every wait, whether it shares its slot
// with an initialised one (Events[16] with Events[0], 384 bytes on) or lies
// next to one (Events[1]); the initialised one stays known after it.
KEVENT Events[17];
std::vector<int> WaitOrder;

void WaitInOrderThread(PVOID)
{
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    KeInitializeEvent(&Events[0], NotificationEvent, TRUE);
    for (int i : WaitOrder)
        KeWaitForSingleObject(&Events[i], Executive, KernelMode, FALSE, &zero);
}

TEST_F(Verifier, AnObjectIsKnownInitialisedByItsOwnAddressOnly)
{
    static_assert(sizeof(KEVENT) * 16 % (16 * 8) == 0, "Events[16] shares Events[0]'s slot");
    const std::string never = "KeWaitForSingleObject on an object that was never initialised with "
                              "KeInitializeEvent or KeInitializeMutex\n";
    const struct {
        std::vector<int> Order;
        int Findings;
    } cases[] = {
        {{0, 0}, 0},      {{0, 16}, 1},   {{0, 16, 0, 16}, 2},
        {{16, 0, 16}, 2}, {{0, 1, 0}, 1}, {{1, 16, 0}, 2},
    };
    for (const auto &c : cases) {
        sim::Reset();
        WaitOrder = c.Order;
        HANDLE handle;
        PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, WaitInOrderThread, nullptr);
        sim::RunUntilIdle();
        std::string expected;
        for (int i = 0; i < c.Findings; ++i)
            expected += never;
        EXPECT_EQ(Findings(), expected) << ::testing::PrintToString(c.Order);
    }
}

// A local pointer read before it is written: on a new stack, and below the
// frame of a routine the kernel calls, it holds the stack pattern, which the
// kernel recognises.
int StaleCase;
__attribute__((noinline)) void UseStale()
{
    void *stale;
    asm volatile("movq -512(%%rsp), %0" : "=r"(stale));
    if (StaleCase == 0) {
        ExFreePoolWithTag(stale, TestTag);
    } else {
        LARGE_INTEGER zero;
        zero.QuadPart = 0;
        KeWaitForSingleObject(stale, Executive, KernelMode, FALSE, &zero);
    }
}

void StaleThread(PVOID)
{
    UseStale();
}

TEST_F(Verifier, ALocalReadBeforeItIsWrittenHoldsTheRecognisedStackPattern)
{
    const char *const findings[] = {
        "ExFreePoolWithTag of c7c7c7c7c7c7c7c7, the stack pattern: a local pointer read before "
        "it was written\n",
        "KeWaitForSingleObject on the stack pattern: a local pointer read before it was written\n",
    };
    for (int which = 0; which < 2; ++which) {
        sim::Reset();
        StaleCase = which;
        HANDLE handle;
        PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, StaleThread, nullptr);
        sim::RunUntilIdle();
        EXPECT_EQ(Findings(), findings[which]);
        // The harness context too: the kernel's call into the driver fills
        // below its caller.
        sim::ClearViolations();
    }
}

} // namespace
