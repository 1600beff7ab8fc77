// The crossing: the one way the kernel calls a routine of the real image.
//
// The image follows the Microsoft x64 convention: the first four arguments in
// rcx, rdx, r8 and r9, the rest on the stack above 32 bytes of home space,
// and rbx, rbp, rdi, rsi, r12-r15, xmm6-xmm15 and the control bits of MXCSR
// kept by the callee, which returns with the direction flag clear. The
// kernel's own code follows the System V convention, for which rsi, rdi and
// every xmm register belong to the caller, so nothing in the kernel relies on
// the image keeping them; the crossing loads each of the callee's registers
// with a known value before every call and reports, after it, each one the
// image changed: on Windows its caller would have gone on with a corrupted
// register.
//
// Before the call the crossing also fills the stack below it with the stack
// pattern, as it does before every call into the host build's driver, so
// that a local the driver reads before writing it holds the pattern rather
// than what the kernel's frames left there.

#include <string>

#include "image/loader.h"
#include "kernel/callee_saved.h"
#include "record.h"

// kvrsim_cross(routine, arguments[CrossArguments], record): the call, as
// described above; arguments 4 and on go on the stack above the home space
// (a display driver's DrvEnablePDEV takes eleven).
// record: +0 Top (out), +8 Fill (in), +16 Clobbered (out; bits 0-7 rbx, rbp,
// rdi, rsi, r12, r13, r14, r15; 8 + n xmm(6 + n); 18 MXCSR's control bits;
// 19 the direction flag left set), +24 Used (out; bytes of the filled area
// the callee wrote, from its top down to the deepest word no longer the
// pattern). It also sets kvrsim_image_call_stack below the filled area.
// Its frame: home space at 0, arguments 4-11 at 32, the record at 96, MXCSR
// before and after the call at 104 and 108.
// kvrsim_fill_stack(bytes): fills that many bytes (a multiple of 8) below the
// caller's stack pointer (below this routine's return address) with the
// pattern, eight bytes a store.
// Both move the stack pointer down over the area before they fill it and put
// it back after: under valgrind the main thread's stack grows only for an
// access close below its pointer, so a fill below an unmoved pointer into a
// page not yet touched stopped the process there.
asm(R"(
    # Fills rcx bytes (a multiple of 8) below the stack pointer with the
    # stack pattern; uses rax, rcx, rdx and rdi.
    .macro kvrsim_fill_below_stack
    movq %rsp, %rdx
    subq %rcx, %rsp
    movq %rsp, %rdi
    shrq $3, %rcx
    movabsq $0xC7C7C7C7C7C7C7C7, %rax
    cld
    rep stosq
    movq %rdx, %rsp
    .endm

    # The general registers the callee keeps, each with its bit in the
    # record and its known value (kvrsim_cross_gpr_sentinels).
    .macro kvrsim_for_kept_gprs op
    \op rbx, 0
    \op rbp, 1
    \op rdi, 2
    \op rsi, 3
    \op r12, 4
    \op r13, 5
    \op r14, 6
    \op r15, 7
    .endm
    .macro kvrsim_load_sentinel reg, bit
    movq kvrsim_cross_gpr_sentinels+8*\bit(%rip), %\reg
    .endm
    # Sets the register's bit in ecx when it no longer holds its value.
    .macro kvrsim_check_sentinel reg, bit
    cmpq kvrsim_cross_gpr_sentinels+8*\bit(%rip), %\reg
    je 1f
    orl $(1 << \bit), %ecx
1:
    .endm

    .section .rodata
    .p2align 4
kvrsim_cross_gpr_sentinels:
    .quad 0x5a5a5a5a0000eb1e, 0x5a5a5a5a0000eb0e, 0x5a5a5a5a0000ed1e, 0x5a5a5a5a0000e51e
    .quad 0x5a5a5a5a0000f12e, 0x5a5a5a5a0000f13e, 0x5a5a5a5a0000f14e, 0x5a5a5a5a0000f15e
kvrsim_cross_sentinels:
    .quad 0x6e6e6e6e06060606, 0x16161616a6a6a6a6
    .quad 0x7e7e7e7e07070707, 0x17171717a7a7a7a7
    .quad 0x8e8e8e8e08080808, 0x18181818a8a8a8a8
    .quad 0x9e9e9e9e09090909, 0x19191919a9a9a9a9
    .quad 0xaeaeaeae0a0a0a0a, 0x1a1a1a1aaaaaaaaa
    .quad 0xbebebebe0b0b0b0b, 0x1b1b1b1babababab
    .quad 0xcececece0c0c0c0c, 0x1c1c1c1cacacacac
    .quad 0xdededede0d0d0d0d, 0x1d1d1d1dadadadad
    .quad 0xeeeeeeee0e0e0e0e, 0x1e1e1e1eaeaeaeae
    .quad 0xfefefefe0f0f0f0f, 0x1f1f1f1fafafafaf

    .text
    .globl kvrsim_cross
    .type kvrsim_cross,@function
kvrsim_cross:
    pushq %rbp
    movq %rsp, %rbp
)" KVRSIM_PUSH_CALLEE_SAVED R"(
    subq $120, %rsp
    movq %rdi, %r12
    movq %rsi, %r13
    movq %rdx, %r14
    movq 8(%r14), %rcx
    kvrsim_fill_below_stack
    .irp n,4,5,6,7,8,9,10,11
    movq (\n*8)(%r13), %rax
    movq %rax, (\n*8)(%rsp)
    .endr
    movq %r14, 96(%rsp)
    stmxcsr 104(%rsp)
    movq %rsp, (%r14)
    movq %rsp, %rax
    subq 8(%r14), %rax
    subq $64, %rax
    movq %rax, kvrsim_image_call_stack(%rip)
    leaq kvrsim_cross_sentinels(%rip), %rax
    .irp n,6,7,8,9,10,11,12,13,14,15
    movdqa (\n-6)*16(%rax), %xmm\n
    .endr
    movq %r12, %rax
    movq 0(%r13), %rcx
    movq 8(%r13), %rdx
    movq 16(%r13), %r8
    movq 24(%r13), %r9
    kvrsim_for_kept_gprs kvrsim_load_sentinel
    callq *%rax
    movq 96(%rsp), %r11
    xorl %ecx, %ecx
    kvrsim_for_kept_gprs kvrsim_check_sentinel
    leaq kvrsim_cross_sentinels(%rip), %rdx
    .irp n,6,7,8,9,10,11,12,13,14,15
    movdqa (\n-6)*16(%rdx), %xmm0
    pcmpeqb %xmm\n, %xmm0
    pmovmskb %xmm0, %r8d
    cmpl $0xFFFF, %r8d
    je 1f
    orl $(1 << (\n+2)), %ecx
1:
    .endr
    stmxcsr 108(%rsp)
    movl 104(%rsp), %edx
    xorl 108(%rsp), %edx
    testl $0xFFC0, %edx
    je 1f
    orl $(1 << 18), %ecx
    ldmxcsr 104(%rsp)
1:  pushfq
    popq %rdx
    testl $0x400, %edx
    je 1f
    orl $(1 << 19), %ecx
    cld
1:  movl %ecx, 16(%r11)
    # The deepest word of the filled area the image wrote: the first one,
    # from the bottom, that is no longer the pattern.
    movq %rax, %r9
    movq (%r11), %rdx
    movq 8(%r11), %rcx
    movq %rdx, %rdi
    subq %rcx, %rdi
    shrq $3, %rcx
    movabsq $0xC7C7C7C7C7C7C7C7, %rax
    repe scasq
    jne 1f
    movq %rdx, %rdi
    jmp 2f
1:  subq $8, %rdi
2:  subq %rdi, %rdx
    movq %rdx, 24(%r11)
    movq %r9, %rax
    addq $120, %rsp
)" KVRSIM_POP_CALLEE_SAVED R"(
    popq %rbp
    ret
    .size kvrsim_cross,.-kvrsim_cross

    .globl kvrsim_fill_stack
    .type kvrsim_fill_stack,@function
kvrsim_fill_stack:
    movq %rdi, %rcx
    kvrsim_fill_below_stack
    ret
    .size kvrsim_fill_stack,.-kvrsim_fill_stack
)");

uintptr_t kvrsim_image_call_stack = 0;
uintptr_t kvrsim_image_caller = 0;

extern "C" uint64_t kvrsim_cross(const void *routine, const uint64_t *arguments,
                                 sim::detail::CrossRecord *record);

namespace sim::detail
{

uintptr_t ForeignBegin = 0, ForeignEnd = 0;

// Image (faults.cpp): its protections for the calling context before the
// image runs, and, after it, the faults its handler saw, its stack use seen
// in the pattern (whole: all of the filled area) and the name of a routine
// for findings.
void ProtectImageForContext();
void ReportImageFaults();
void ImageStackAtReturn(const void *routine, size_t used, bool whole);
std::string ImageRoutineName(const void *address);

namespace
{

// The area below a call into the image filled with the stack pattern: more
// than the image's budget, so that frames above it show in the pattern.
constexpr size_t ImageFillBytes = ImageStackBudget + 1024;

const char *const RegisterNames[] = {"rbx",
                                     "rbp",
                                     "rdi",
                                     "rsi",
                                     "r12",
                                     "r13",
                                     "r14",
                                     "r15",
                                     "xmm6",
                                     "xmm7",
                                     "xmm8",
                                     "xmm9",
                                     "xmm10",
                                     "xmm11",
                                     "xmm12",
                                     "xmm13",
                                     "xmm14",
                                     "xmm15",
                                     "MXCSR's control bits",
                                     "the direction flag"};

__attribute__((noinline, cold)) void ReportClobbered(const void *routine, uint32_t clobbered)
{
    std::string names;
    for (unsigned i = 0; i < sizeof RegisterNames / sizeof RegisterNames[0]; ++i)
        if (clobbered & (1u << i))
            names += (names.empty() ? "" : ", ") + std::string(RegisterNames[i]);
    Guard guard;
    Violate(ImageRoutineName(routine) + " returned with " + names +
            " changed: the x64 calling convention has the callee preserve them, and its "
            "caller " +
            OnTarget() + " goes on with the corrupted value");
}

} // namespace

uint64_t CrossIntoImage(const void *routine, const uint64_t *arguments, unsigned count)
{
    uint64_t all[CrossArguments] = {};
    for (unsigned i = 0; i < count && i < CrossArguments; ++i)
        all[i] = arguments[i];
    Thread *thread = CurrentThread();
    CrossRecord outer = thread->Cross;
    size_t outerUsed = thread->ImageUsedOutside;
    // Inside a kernel call the image made: its frames there count too.
    thread->ImageUsedOutside = outer.Top ? thread->ImageUseAtCall : 0;
    thread->Cross.Fill = ImageFillBytes;
    thread->Cross.Clobbered = 0;
    ProtectImageForContext();
    uint64_t result = kvrsim_cross(routine, all, &thread->Cross);
    uint32_t clobbered = thread->Cross.Clobbered;
    size_t used = thread->ImageUsedOutside + thread->Cross.Used;
    bool whole = thread->Cross.Used >= thread->Cross.Fill;
    thread->Cross = outer;
    thread->ImageUsedOutside = outerUsed;
    SetImageCallStack(outer);
    ImageStackAtReturn(routine, used, whole);
    ReportImageFaults();
    if (clobbered) [[unlikely]]
        ReportClobbered(routine, clobbered);
    return result;
}

} // namespace sim::detail

namespace sim
{

void SetForeignCode(const void *begin, const void *end)
{
    detail::ForeignBegin = (uintptr_t)begin;
    detail::ForeignEnd = (uintptr_t)end;
}

} // namespace sim
