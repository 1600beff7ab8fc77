// CR8 accesses placed at load: each `mov reg, cr8` and `mov cr8, reg` of the
// image routed to the simulated IRQL without a trap.
//
// What it buys: in user mode every CR8 access faults, and the fault handler
// emulating it costs a signal, a few microseconds; the image reads CR8
// before every registry call, about 400,000 times in a simulated day, which
// made a day on the image ten times slower than on the host build. Placed,
// an access costs a call of a few dozen instructions.
//
// How. At load the loader decodes every routine the symbol file names
// (decode.h) and plans, for each CR8 access, a route: the access and the
// instructions after it, until they cover the five bytes of a jmp, move to a
// trampoline in an area mapped just after the image; the access becomes a
// call of the emulation on a stack of its own (the image's stack is left as
// it was, so its measure counts only the image's frames), the neighbours are
// copied as they are, and a jmp goes back after them. An access is placed
// only where that is sure to be the same code: a neighbour that branches,
// calls or addresses memory relative to rip, a branch of the routine into
// the covered bytes, a routine that jumps through a register (its targets
// are unknown) or that the decoder cannot read leaves the access where it is,
// and it traps and is emulated by the fault handler as before (faults.cpp).
// The emulation is the handler's own (EmulateControlRegisterEight), so the
// verifier sees the same either way. Each mapping gets its routes written
// into its own copy; the file on disk is never changed.

#include <sys/mman.h>

#include <algorithm>
#include <set>

#include "image/decode.h"
#include "image/loader.h"
#include "record.h"

namespace sim::detail
{

namespace
{

// The emulation of one access in a trampoline: the image's rsp kept in the
// data area, the area's stack taken, the access's descriptor pushed, the
// helper called through the data area's slot, the image's rsp back.
constexpr size_t EmulationBytes = 7 + 7 + 5 + 6 + 7;
constexpr size_t JumpBytes = 5;
constexpr size_t DataBytes = 5 * 4096; // slots, then the helper's stack
constexpr size_t SavedRspSlot = 0, HelperSlot = 8;

size_t PageRound(size_t bytes)
{
    return (bytes + 4095) & ~size_t(4095);
}

size_t TrampolineBytes(const PlacedSite &site)
{
    size_t bytes = JumpBytes;
    for (const PlacedPiece &piece : site.Pieces)
        bytes += piece.Emulated ? EmulationBytes : piece.Length;
    return bytes;
}

size_t CodeBytes(const ImageFile &file)
{
    size_t bytes = 0;
    for (const PlacedSite &site : file.Placed)
        bytes += TrampolineBytes(site);
    return PageRound(bytes);
}

// One routine decoded: each instruction by its offset, and the offsets
// a direct branch of the routine goes to. False when it cannot be read
// whole, or jumps through a register or memory.
struct Routine {
    std::vector<Instruction> At; // Length 0 between instructions
    std::set<uint32_t> Targets;
};

bool Read(const uint8_t *code, uint32_t size, Routine &routine)
{
    routine.At.assign(size, Instruction{});
    for (uint32_t at = 0; at < size;) {
        Instruction in = Decode(code + at, size - at);
        if (!in.Length || in.Kind == Flow::IndirectJump)
            return false;
        routine.At[at] = in;
        at += in.Length;
        if (in.Kind == Flow::Jump || in.Kind == Flow::Branch || in.Kind == Flow::Call)
            routine.Targets.insert((uint32_t)(at + in.Displacement));
    }
    return true;
}

void Put32(uint8_t *at, int64_t value)
{
    int32_t narrow = (int32_t)value;
    memcpy(at, &narrow, 4);
}

// The rel32 of an instruction at `from` of `length` bytes that ends with it.
int64_t Relative(const uint8_t *from, size_t length, const uint8_t *to)
{
    return to - (from + length);
}

} // namespace

void PlanControlRegisterAccesses(ImageFile &file, const uint8_t *base)
{
    file.Placed.clear();
    file.Unplaced = 0;
    for (const Procedure &procedure : file.Procedures) {
        if (!procedure.Size || (uint64_t)procedure.Rva + procedure.Size > file.SizeOfImage)
            continue;
        const uint8_t *code = base + procedure.Rva;
        Routine routine;
        bool readable = Read(code, procedure.Size, routine);
        for (uint32_t at = 0; at < procedure.Size; ++at) {
            const Instruction &in = routine.At[at];
            if (!in.Length || !ControlRegisterEight(in))
                continue;
            // Absorbed by the route of the access before it.
            uint32_t rva = procedure.Rva + at;
            if (!file.Placed.empty() && rva < file.Placed.back().Rva + file.Placed.back().Cover)
                continue;
            PlacedSite site{rva, 0, {}};
            bool placed = readable;
            for (uint32_t next = at; placed && site.Cover < JumpBytes;) {
                if (next >= procedure.Size || !routine.At[next].Length ||
                    (next != at && routine.Targets.count(next))) {
                    placed = false;
                    break;
                }
                const Instruction &piece = routine.At[next];
                bool emulated = ControlRegisterEight(piece);
                if (emulated && piece.Rm == 4)
                    placed = false; // rsp: the emulation's own stack pointer
                else if (!emulated && ((piece.Kind != Flow::Plain && piece.Kind != Flow::Return) ||
                                       piece.RipRelative))
                    placed = false;
                if (!placed)
                    break;
                site.Pieces.push_back(PlacedPiece{procedure.Rva + next, piece.Length, emulated,
                                                  piece.Opcode == 0x22, piece.Rm});
                site.Cover += piece.Length;
                next += piece.Length;
                if (piece.Kind == Flow::Return)
                    break;
            }
            if (placed && site.Cover >= JumpBytes)
                file.Placed.push_back(site);
            else
                ++file.Unplaced;
        }
    }
}

size_t PlacementBytes(const ImageFile &file)
{
    return file.Placed.empty() ? 0 : CodeBytes(file) + DataBytes;
}

extern "C" void kvrsim_placed_control_register();

void PlaceControlRegisterAccesses(const ImageFile &file, uint8_t *base)
{
    if (file.Placed.empty())
        return;
    uint8_t *code = base + PageRound(file.SizeOfImage);
    size_t codeBytes = CodeBytes(file);
    uint8_t *data = code + codeBytes;
    uint8_t *stackTop = data + DataBytes;
    void *helper = (void *)&kvrsim_placed_control_register;
    memcpy(data + HelperSlot, &helper, sizeof helper);
    uint8_t *t = code;
    for (const PlacedSite &site : file.Placed) {
        for (const PlacedPiece &piece : site.Pieces) {
            if (!piece.Emulated) {
                memcpy(t, base + piece.Rva, piece.Length);
                t += piece.Length;
                continue;
            }
            // mov %rsp, SavedRsp(%rip)
            t[0] = 0x48, t[1] = 0x89, t[2] = 0x25;
            Put32(t + 3, Relative(t, 7, data + SavedRspSlot));
            t += 7;
            // lea StackTop(%rip), %rsp
            t[0] = 0x48, t[1] = 0x8D, t[2] = 0x25;
            Put32(t + 3, Relative(t, 7, stackTop));
            t += 7;
            // push $descriptor: bit 8 a write, bits 0-3 the register
            t[0] = 0x68;
            Put32(t + 1, (piece.Write ? 0x100 : 0) | piece.Register);
            t += 5;
            // call *Helper(%rip)
            t[0] = 0xFF, t[1] = 0x15;
            Put32(t + 2, Relative(t, 6, data + HelperSlot));
            t += 6;
            // mov SavedRsp(%rip), %rsp
            t[0] = 0x48, t[1] = 0x8B, t[2] = 0x25;
            Put32(t + 3, Relative(t, 7, data + SavedRspSlot));
            t += 7;
        }
        // jmp back after the covered bytes
        t[0] = 0xE9;
        Put32(t + 1, Relative(t, 5, base + site.Rva + site.Cover));
        t += 5;
    }
    // The accesses themselves: a jmp to their trampoline, the rest of the
    // covered bytes int3 (nothing branches there).
    t = code;
    for (const PlacedSite &site : file.Placed) {
        uint8_t *at = base + site.Rva;
        at[0] = 0xE9;
        Put32(at + 1, Relative(at, 5, t));
        memset(at + 5, 0xCC, site.Cover - 5);
        t += TrampolineBytes(site);
    }
    mprotect(code, codeBytes, PROT_READ | PROT_EXEC);
}

} // namespace sim::detail

// kvrsim_placed_control_register: called from a trampoline on the data
// area's stack with the access's descriptor above its return address. Keeps
// every register and the flags (the image may have any of them live) in an
// array by their encoding (the xmm registers only around a write, whose
// emulation may use them), lets the emulation read or write the access's
// one, and gives them all back.
asm(R"(
    .text
    .globl kvrsim_placed_control_register
    .type kvrsim_placed_control_register,@function
kvrsim_placed_control_register:
    pushfq
    subq $392, %rsp
    movq %rax, 0(%rsp)
    movq %rcx, 8(%rsp)
    movq %rdx, 16(%rsp)
    movq %rbx, 24(%rsp)
    movq $0, 32(%rsp)
    movq %rbp, 40(%rsp)
    movq %rsi, 48(%rsp)
    movq %rdi, 56(%rsp)
    movq %r8, 64(%rsp)
    movq %r9, 72(%rsp)
    movq %r10, 80(%rsp)
    movq %r11, 88(%rsp)
    movq %r12, 96(%rsp)
    movq %r13, 104(%rsp)
    movq %r14, 112(%rsp)
    movq %r15, 120(%rsp)
    cld
    movq 408(%rsp), %rdi
    testl $0x100, %edi
    jnz 1f
    call kvrsim_placed_control_register_read
    movq 408(%rsp), %rdi
    andl $15, %edi
    movq %rax, (%rsp,%rdi,8)
    jmp 2f
1:  .irp n,0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15
    movdqu %xmm\n, 128+\n*16(%rsp)
    .endr
    movq %rsp, %rsi
    call kvrsim_placed_control_register_write
    .irp n,0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15
    movdqu 128+\n*16(%rsp), %xmm\n
    .endr
2:  movq 0(%rsp), %rax
    movq 8(%rsp), %rcx
    movq 16(%rsp), %rdx
    movq 24(%rsp), %rbx
    movq 40(%rsp), %rbp
    movq 48(%rsp), %rsi
    movq 56(%rsp), %rdi
    movq 64(%rsp), %r8
    movq 72(%rsp), %r9
    movq 80(%rsp), %r10
    movq 88(%rsp), %r11
    movq 96(%rsp), %r12
    movq 104(%rsp), %r13
    movq 112(%rsp), %r14
    movq 120(%rsp), %r15
    addq $392, %rsp
    popfq
    ret
    .size kvrsim_placed_control_register,.-kvrsim_placed_control_register
)");

// A read: the calling context's IRQL. It touches no xmm register, so the
// helper keeps only the general ones around it.
extern "C" [[gnu::target("general-regs-only")]] uint64_t kvrsim_placed_control_register_read()
{
    return sim::detail::CurrentThread()->Irql; // as EmulateControlRegisterEight reads it
}

extern "C" void kvrsim_placed_control_register_write(uint64_t descriptor, uint64_t *registers)
{
    sim::detail::EmulateControlRegisterEight(true, registers[descriptor & 15]);
}
