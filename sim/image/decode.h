// The length and shape of one x64 instruction of the image, as far as the
// loader needs them: where the next instruction starts, whether the
// instruction changes the flow (and to where, for a direct branch), whether
// it addresses memory relative to rip, and its opcode and ModRM fields. The
// loader reads each routine of the image with it once, at load: to find the
// CR8 accesses and their neighbours (placement.cpp) and to tell a leaf
// routine from one that needs unwind data (unwind.cpp). An encoding it does
// not know decodes to length 0, and the routine is then left as it is.

#ifndef KVR_SIM_IMAGE_DECODE_H
#define KVR_SIM_IMAGE_DECODE_H

#include <cstddef>
#include <cstdint>

namespace sim::detail
{

enum class Flow : uint8_t {
    Plain,        // goes on with the next instruction
    Jump,         // jmp rel8/rel32
    Branch,       // jcc, loop, jrcxz: the target or the next instruction
    Call,         // call rel32
    IndirectJump, // jmp through a register or memory
    IndirectCall, // call through a register or memory
    Return,       // ret, iret
    Stop,         // int3, ud2, hlt: no next instruction of this routine
};

struct Instruction {
    uint8_t Length = 0; // 0: not an encoding the decoder knows
    uint8_t Rex = 0;    // the REX prefix, 0 when none
    uint8_t Map = 0;    // 0 one-byte opcodes, 1 0F, 2 0F38, 3 0F3A
    uint8_t Opcode = 0;
    bool HasModRM = false;
    uint8_t Mod = 0, Reg = 0, Rm = 0; // Reg and Rm with their REX extensions
    bool HasSib = false;
    bool RipRelative = false;
    bool Vex = false;
    Flow Kind = Flow::Plain;
    int32_t Displacement = 0; // of a direct branch or call, from the next instruction
};

Instruction Decode(const uint8_t *code, size_t available);

// A CR8 access (mov to or from control register 8) and its general register.
inline bool ControlRegisterEight(const Instruction &in)
{
    return in.Map == 1 && (in.Opcode == 0x20 || in.Opcode == 0x22) && in.Mod == 3 && in.Reg == 8;
}

} // namespace sim::detail

#endif // KVR_SIM_IMAGE_DECODE_H
