// The crossing into Microsoft-convention code: the registers that convention
// has a callee preserve, checked after every call into such code and kept
// across a kernel call that switches threads; the image's stack measured at
// each kernel call against its budget. The routines here are written in
// assembly as the real image's compiler would write them.

#include "sim.h"

#include <gtest/gtest.h>

#include <string>

extern "C" {
void kvr_test_foreign_begin();
void kvr_test_clobber(PVOID which);
void kvr_test_keeper(PVOID record);
void kvr_test_deep(PVOID record);
void kvr_test_deep_leaf(PVOID);
void kvr_test_foreign_end();
}

// kvr_test_clobber(which): changes one register the callee must keep (1 rsi,
// 2 rdi, 3 rbx, 4 r15, 5 xmm6, 6 xmm15, 7 rbp, 8 r12, 9 r13, 10 r14, 11 the
// rounding control of MXCSR, 12 the direction flag, set; 0 none) and returns.
// kvr_test_keeper(record): record = {thunk of KeDelayExecutionThread, mask
// out}. Saves what it must keep, loads known values into rsi, rdi and
// xmm6-xmm15, waits 1 ms through the thunk, and writes into the mask a bit
// for each of them that came back changed; restores and returns.
// kvr_test_deep(record): the same thunk called under a frame of 9000 bytes.
// kvr_test_deep_leaf: calls a routine of its own with a frame of 9000 bytes,
// which calls no kernel routine.
asm(R"(
    .text
    .globl kvr_test_foreign_begin
kvr_test_foreign_begin:
    # Runs the instruction when rcx is n.
    .macro kvr_test_case n, instruction:vararg
    cmpq $\n, %rcx
    jne 1f
    \instruction
1:
    .endm
    .globl kvr_test_clobber
kvr_test_clobber:
    kvr_test_case 1, xorl %esi, %esi
    kvr_test_case 2, xorl %edi, %edi
    kvr_test_case 3, xorl %ebx, %ebx
    kvr_test_case 4, xorl %r15d, %r15d
    kvr_test_case 5, pxor %xmm6, %xmm6
    kvr_test_case 6, pxor %xmm15, %xmm15
    kvr_test_case 7, xorl %ebp, %ebp
    kvr_test_case 8, xorl %r12d, %r12d
    kvr_test_case 9, xorl %r13d, %r13d
    kvr_test_case 10, xorl %r14d, %r14d
    kvr_test_case 11, call kvr_test_round_down
    kvr_test_case 12, std
    ret
kvr_test_round_down:
    subq $8, %rsp
    stmxcsr (%rsp)
    xorl $0x6000, (%rsp)
    ldmxcsr (%rsp)
    addq $8, %rsp
    ret

    .globl kvr_test_deep_leaf
kvr_test_deep_leaf:
    subq $40, %rsp
    call 1f
    addq $40, %rsp
    ret
1:  subq $9000, %rsp
    movq $0, (%rsp)
    addq $9000, %rsp
    ret

    .globl kvr_test_keeper
kvr_test_keeper:
    pushq %rbx
    pushq %rsi
    pushq %rdi
    pushq %r12
    subq $216, %rsp
    movq %rcx, %r12
    .irp n,6,7,8,9,10,11,12,13,14,15
    movdqu %xmm\n, 48+(\n-6)*16(%rsp)
    .endr
    movq $-10000, 32(%rsp)
    movabsq $0x1111111111111111, %rsi
    movabsq $0x2222222222222222, %rdi
    .irp n,6,7,8,9,10,11,12,13,14,15
    movabsq $0x0101010101010101*\n, %rax
    movq %rax, %xmm\n
    .endr
    xorl %ecx, %ecx
    xorl %edx, %edx
    leaq 32(%rsp), %r8
    callq *(%r12)
    xorl %ebx, %ebx
    movabsq $0x1111111111111111, %rax
    cmpq %rax, %rsi
    je 1f
    orl $1, %ebx
1:  movabsq $0x2222222222222222, %rax
    cmpq %rax, %rdi
    je 1f
    orl $2, %ebx
1:
    .irp n,6,7,8,9,10,11,12,13,14,15
    movq %xmm\n, %rax
    movabsq $0x0101010101010101*\n, %rdx
    cmpq %rdx, %rax
    je 1f
    orl $(1 << (\n-2)), %ebx
1:
    .endr
    movq %rbx, 8(%r12)
    .irp n,6,7,8,9,10,11,12,13,14,15
    movdqu 48+(\n-6)*16(%rsp), %xmm\n
    .endr
    addq $216, %rsp
    popq %r12
    popq %rdi
    popq %rsi
    popq %rbx
    ret

    .globl kvr_test_deep
kvr_test_deep:
    pushq %r12
    subq $9008, %rsp
    movq %rcx, %r12
    movq $-10000, 32(%rsp)
    movq $0, 4096(%rsp)
    xorl %ecx, %ecx
    xorl %edx, %edx
    leaq 32(%rsp), %r8
    callq *(%r12)
    addq $9008, %rsp
    popq %r12
    ret
    .globl kvr_test_foreign_end
kvr_test_foreign_end:
    ret
)");

namespace
{

struct KeeperRecord {
    const void *Delay;
    uint64_t Clobbered;
};

HANDLE Start(PKSTART_ROUTINE routine, PVOID context)
{
    HANDLE handle = nullptr;
    EXPECT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, routine, context),
              STATUS_SUCCESS);
    return handle;
}

// A host thread between the keepers: System V code, free to change every one
// of those registers, waiting as they do.
void Scrambler(PVOID)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -5000;
    for (int i = 0; i < 4; ++i) {
        asm volatile("movq $-1, %%rsi\n\tmovq $-1, %%rdi\n\tpcmpeqb %%xmm6, %%xmm6\n\t"
                     "pcmpeqb %%xmm15, %%xmm15" ::
                         : "rsi", "rdi", "xmm6", "xmm15");
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
}

class Crossing : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        sim::Reset();
        sim::SetForeignCode((const void *)&kvr_test_foreign_begin,
                            (const void *)&kvr_test_foreign_end);
    }
    void TearDown() override
    {
        sim::SetForeignCode(nullptr, nullptr);
        sim::Shutdown();
    }
    std::string Findings()
    {
        std::string all;
        for (const sim::Violation &violation : sim::Violations())
            all += violation.Text + "\n";
        return all;
    }
};

TEST_F(Crossing, ARegisterTheCalleeMustKeepIsAFindingWhenChanged)
{
    const struct {
        uintptr_t Which;
        const char *Name; // null: nothing changed, no finding
    } cases[] = {{0, nullptr},
                 {1, "rsi"},
                 {2, "rdi"},
                 {3, "rbx"},
                 {4, "r15"},
                 {5, "xmm6"},
                 {6, "xmm15"},
                 {7, "rbp"},
                 {8, "r12"},
                 {9, "r13"},
                 {10, "r14"},
                 {11, "MXCSR's control bits"},
                 {12, "the direction flag"}};
    for (const auto &c : cases) {
        sim::ClearViolations();
        Start(&kvr_test_clobber, (PVOID)c.Which);
        sim::RunUntilIdle();
        std::string found = Findings();
        if (!c.Name) {
            EXPECT_EQ(found, "");
            continue;
        }
        EXPECT_NE(found.find(std::string("returned with ") + c.Name + " changed"),
                  std::string::npos)
            << c.Name << ": " << found;
    }
}

TEST_F(Crossing, RegistersAreKeptAcrossAKernelCallThatSwitchesThreads)
{
    const void *delay = sim::ImageThunk("KeDelayExecutionThread");
    ASSERT_NE(delay, nullptr);
    KeeperRecord first{delay, ~0ull}, second{delay, ~0ull};
    Start(&kvr_test_keeper, &first);
    Start(&Scrambler, nullptr);
    Start(&kvr_test_keeper, &second);
    sim::Advance(10);
    EXPECT_EQ(first.Clobbered, 0u);
    EXPECT_EQ(second.Clobbered, 0u);
    EXPECT_EQ(Findings(), "");
}

TEST_F(Crossing, StackUseIsMeasuredAtEachKernelCallAgainstTheBudget)
{
    const void *delay = sim::ImageThunk("KeDelayExecutionThread");
    KeeperRecord shallow{delay, 0};
    Start(&kvr_test_keeper, &shallow);
    sim::RunUntilIdle(); // the keeper waits in KeDelayExecutionThread
    sim::ImageStackUse use = sim::ImageStack();
    // The keeper's frame: four registers, 216 bytes, the return address.
    EXPECT_EQ(use.Deepest, 4 * 8 + 216u + 8u);
    EXPECT_EQ(use.Where, "at a call of KeDelayExecutionThread");
    sim::Advance(5);
    // As it returns, the pattern shows the return address of its call too.
    EXPECT_EQ(sim::ImageStack().Deepest, 4 * 8 + 216u + 8u + 8u);
    EXPECT_EQ(Findings(), "");

    KeeperRecord deep{delay, 0};
    Start(&kvr_test_deep, &deep);
    sim::RunUntilIdle();
    EXPECT_EQ(sim::ImageStack().Deepest, 8 + 9008u + 8u);
    EXPECT_NE(Findings().find("bytes of stack at a call of KeDelayExecutionThread, over the "
                              "budget of 8192 bytes"),
              std::string::npos)
        << Findings();
}

// A routine that calls no kernel routine: only the pattern shows how deep it
// went, as the call into it returns; and a thread stopped in a kernel call
// is measured as it is stopped.
TEST_F(Crossing, StackUseIsMeasuredInThePatternAtEachReturnToTheKernel)
{
    const struct {
        void (*Routine)(PVOID);
        PVOID Argument;
        size_t Deepest;
        const char *Where;
    } cases[] = {
        {&kvr_test_clobber, nullptr, 8, "seen as it returned"},
        // The return address, 40 bytes, the inner return address, 9000.
        {&kvr_test_deep_leaf, nullptr, 8 + 40 + 8 + 9000, "seen as it returned"},
    };
    for (const auto &c : cases) {
        sim::Shutdown();
        sim::Reset();
        Start(c.Routine, c.Argument);
        sim::RunUntilIdle();
        sim::ImageStackUse use = sim::ImageStack();
        EXPECT_EQ(use.Deepest, c.Deepest) << use.Where;
        EXPECT_NE(use.Where.find(c.Where), std::string::npos) << use.Where;
        bool over = c.Deepest > sim::ImageStackBudget;
        EXPECT_EQ(Findings().find("over the budget of 8192 bytes") != std::string::npos, over)
            << Findings();
    }
    sim::Shutdown();
    sim::Reset();
    KeeperRecord waiting{sim::ImageThunk("KeDelayExecutionThread"), 0};
    Start(&kvr_test_keeper, &waiting);
    sim::RunUntilIdle();
    sim::Shutdown();
    EXPECT_EQ(sim::ImageStack().Deepest, 4 * 8 + 216u + 8u + 8u);
    EXPECT_NE(sim::ImageStack().Where.find("seen as its thread was stopped"), std::string::npos);
}

} // namespace
