// The x64 instruction decoder of the loader (decode.h): prefixes, REX and
// VEX, the one-byte, 0F, 0F38 and 0F3A opcode maps, ModRM, SIB,
// displacement and immediate. It knows the general-purpose, x87 and SSE
// encodings a compiler writes for kernel code; EVEX, 3DNow! and the encodings
// invalid in 64-bit mode decode to length 0.

#include "image/decode.h"

namespace sim::detail
{

namespace
{

constexpr uint8_t Unknown = 0xFF;

bool Prefix(uint8_t b)
{
    switch (b) {
    case 0x26:
    case 0x2E:
    case 0x36:
    case 0x3E:
    case 0x64:
    case 0x65:
    case 0x66:
    case 0x67:
    case 0xF0:
    case 0xF2:
    case 0xF3:
        return true;
    }
    return false;
}

// The one-byte map: whether a ModRM byte follows, and the immediate's size
// (4 for a 16/32-bit immediate, 2 with the operand-size prefix).
struct Shape {
    bool ModRM;
    uint8_t Immediate; // bytes, 'z' = 4 or 2, Unknown
};

constexpr uint8_t Z = 0xFE; // 4 bytes, 2 with 0x66

Shape OneByte(uint8_t op)
{
    if (op < 0x40) {
        switch (op & 7) {
        case 0:
        case 1:
        case 2:
        case 3:
            return {true, 0};
        case 4:
            return {false, 1};
        case 5:
            return {false, Z};
        default: // segment pushes, BCD, 0F (handled before), prefixes
            return {false, Unknown};
        }
    }
    if (op >= 0x50 && op <= 0x5F)
        return {false, 0};
    if (op >= 0x70 && op <= 0x7F)
        return {false, 1};
    if (op >= 0x84 && op <= 0x8F)
        return {true, 0};
    if (op >= 0x90 && op <= 0x99)
        return {false, 0};
    if (op >= 0xB0 && op <= 0xB7)
        return {false, 1};
    if (op >= 0xB8 && op <= 0xBF)
        return {false, Z}; // 8 with REX.W, below
    if (op >= 0xD8 && op <= 0xDF)
        return {true, 0};
    switch (op) {
    case 0x63:
        return {true, 0};
    case 0x68:
        return {false, Z};
    case 0x69:
        return {true, Z};
    case 0x6A:
        return {false, 1};
    case 0x6B:
        return {true, 1};
    case 0x6C:
    case 0x6D:
    case 0x6E:
    case 0x6F:
        return {false, 0};
    case 0x80:
        return {true, 1};
    case 0x81:
        return {true, Z};
    case 0x83:
        return {true, 1};
    case 0x9B:
    case 0x9C:
    case 0x9D:
    case 0x9E:
    case 0x9F:
        return {false, 0};
    case 0xA0:
    case 0xA1:
    case 0xA2:
    case 0xA3:
        return {false, 8}; // moffs
    case 0xA4:
    case 0xA5:
    case 0xA6:
    case 0xA7:
        return {false, 0};
    case 0xA8:
        return {false, 1};
    case 0xA9:
        return {false, Z};
    case 0xAA:
    case 0xAB:
    case 0xAC:
    case 0xAD:
    case 0xAE:
    case 0xAF:
        return {false, 0};
    case 0xC0:
    case 0xC1:
        return {true, 1};
    case 0xC2:
        return {false, 2};
    case 0xC3:
        return {false, 0};
    case 0xC6:
        return {true, 1};
    case 0xC7:
        return {true, Z};
    case 0xC8:
        return {false, 3};
    case 0xC9:
        return {false, 0};
    case 0xCA:
        return {false, 2};
    case 0xCB:
    case 0xCC:
        return {false, 0};
    case 0xCD:
        return {false, 1};
    case 0xCF:
        return {false, 0};
    case 0xD0:
    case 0xD1:
    case 0xD2:
    case 0xD3:
        return {true, 0};
    case 0xD7:
        return {false, 0};
    case 0xE0:
    case 0xE1:
    case 0xE2:
    case 0xE3:
        return {false, 1};
    case 0xE4:
    case 0xE5:
    case 0xE6:
    case 0xE7:
        return {false, 1};
    case 0xE8:
    case 0xE9:
        return {false, 4};
    case 0xEB:
        return {false, 1};
    case 0xEC:
    case 0xED:
    case 0xEE:
    case 0xEF:
        return {false, 0};
    case 0xF1:
    case 0xF4:
    case 0xF5:
        return {false, 0};
    case 0xF6:
    case 0xF7:
        return {true, 0}; // test's immediate, below
    case 0xF8:
    case 0xF9:
    case 0xFA:
    case 0xFB:
    case 0xFC:
    case 0xFD:
        return {false, 0};
    case 0xFE:
    case 0xFF:
        return {true, 0};
    }
    return {false, Unknown};
}

// The 0F map.
Shape TwoByte(uint8_t op)
{
    switch (op) {
    case 0x05:
    case 0x06:
    case 0x07:
    case 0x08:
    case 0x09:
    case 0x0B:
    case 0x0E:
    case 0x30:
    case 0x31:
    case 0x32:
    case 0x33:
    case 0x34:
    case 0x35:
    case 0x37:
    case 0x77:
    case 0xA0:
    case 0xA1:
    case 0xA2:
    case 0xA8:
    case 0xA9:
    case 0xAA:
        return {false, 0};
    case 0x04:
    case 0x0A:
    case 0x0C:
    case 0x0F:
    case 0x24:
    case 0x25:
    case 0x26:
    case 0x27:
    case 0x36:
    case 0x39:
    case 0x3B:
    case 0x3C:
    case 0x3D:
    case 0x3E:
    case 0x3F:
    case 0x7A:
    case 0x7B:
    case 0xA6:
    case 0xA7:
    case 0xB9:
    case 0xFF:
        return {false, Unknown};
    case 0x70:
    case 0x71:
    case 0x72:
    case 0x73:
    case 0xA4:
    case 0xAC:
    case 0xBA:
    case 0xC2:
    case 0xC4:
    case 0xC5:
    case 0xC6:
        return {true, 1};
    }
    if (op >= 0x80 && op <= 0x8F)
        return {false, 4};
    if (op >= 0xC8 && op <= 0xCF)
        return {false, 0};
    return {true, 0};
}

} // namespace

Instruction Decode(const uint8_t *code, size_t available)
{
    Instruction in;
    size_t at = 0;
    bool operandSize = false, addressSize = false;
    while (at < available && Prefix(code[at])) {
        operandSize |= code[at] == 0x66;
        addressSize |= code[at] == 0x67;
        if (++at > 14)
            return {};
    }
    if (at < available && (code[at] & 0xF0) == 0x40)
        in.Rex = code[at++];
    if (at >= available)
        return {};
    uint8_t op = code[at++];
    Shape shape{};
    bool rexW = in.Rex & 8;
    if (op == 0xC4 || op == 0xC5) {
        // VEX: the R, X, B and W bits inverted or given, the map, then the
        // opcode and always a ModRM (vzeroupper and vzeroall aside).
        if (in.Rex || at + 1 >= available)
            return {};
        in.Vex = true;
        uint8_t first = code[at++];
        uint8_t r = (first & 0x80) ? 0 : 4;
        uint8_t b = 0;
        in.Map = 1;
        if (op == 0xC4) {
            b = (first & 0x20) ? 0 : 1;
            in.Map = first & 0x1F;
            rexW = code[at] & 0x80;
            ++at;
            if (in.Map < 1 || in.Map > 3)
                return {};
        }
        in.Rex = (uint8_t)(0x40 | r | b | (rexW ? 8 : 0));
        if (at >= available)
            return {};
        in.Opcode = code[at++];
        bool imm8 = in.Map == 3 || (in.Map == 1 && ((in.Opcode >= 0x70 && in.Opcode <= 0x73) ||
                                                    in.Opcode == 0xC2 || in.Opcode == 0xC4 ||
                                                    in.Opcode == 0xC5 || in.Opcode == 0xC6));
        shape = {!(in.Map == 1 && in.Opcode == 0x77), (uint8_t)(imm8 ? 1 : 0)};
    } else if (op == 0x0F) {
        if (at >= available)
            return {};
        uint8_t second = code[at++];
        if (second == 0x38 || second == 0x3A) {
            if (at >= available)
                return {};
            in.Map = second == 0x38 ? 2 : 3;
            in.Opcode = code[at++];
            shape = {true, (uint8_t)(in.Map == 3 ? 1 : 0)};
        } else {
            in.Map = 1;
            in.Opcode = second;
            shape = TwoByte(second);
        }
    } else {
        in.Opcode = op;
        shape = OneByte(op);
        if (op >= 0xB8 && op <= 0xBF && rexW)
            shape.Immediate = 8;
        if (op >= 0xA0 && op <= 0xA3 && addressSize)
            shape.Immediate = 4;
    }
    if (shape.Immediate == Unknown)
        return {};
    if (shape.ModRM) {
        if (at >= available)
            return {};
        uint8_t modrm = code[at++];
        in.HasModRM = true;
        in.Mod = modrm >> 6;
        in.Reg = (uint8_t)(((modrm >> 3) & 7) | ((in.Rex & 4) ? 8 : 0));
        in.Rm = (uint8_t)((modrm & 7) | ((in.Rex & 1) ? 8 : 0));
        size_t displacement = 0;
        if (in.Mod != 3 && (modrm & 7) == 4) {
            if (at >= available)
                return {};
            in.HasSib = true;
            uint8_t sib = code[at++];
            if (in.Mod == 0 && (sib & 7) == 5)
                displacement = 4;
        }
        if (in.Mod == 0 && (modrm & 7) == 5) {
            displacement = 4;
            in.RipRelative = true;
        } else if (in.Mod == 1) {
            displacement = 1;
        } else if (in.Mod == 2) {
            displacement = 4;
        }
        at += displacement;
        if (in.Map == 0 && (op == 0xF6 || op == 0xF7) && ((modrm >> 3) & 7) < 2)
            shape.Immediate = op == 0xF6 ? 1 : Z;
    }
    size_t immediate = shape.Immediate == Z ? (operandSize && !rexW ? 2 : 4) : shape.Immediate;
    if (at + immediate > available || at + immediate > 15)
        return {};
    // Branches and calls: their kind and target.
    if (in.Map == 0) {
        if ((op >= 0x70 && op <= 0x7F) || (op >= 0xE0 && op <= 0xE3)) {
            in.Kind = Flow::Branch;
            in.Displacement = (int8_t)code[at];
        } else if (op == 0xEB) {
            in.Kind = Flow::Jump;
            in.Displacement = (int8_t)code[at];
        } else if (op == 0xE9 || op == 0xE8) {
            in.Kind = op == 0xE9 ? Flow::Jump : Flow::Call;
            int32_t rel;
            __builtin_memcpy(&rel, code + at, 4);
            in.Displacement = rel;
        } else if (op == 0xC2 || op == 0xC3 || op == 0xCA || op == 0xCB || op == 0xCF) {
            in.Kind = Flow::Return;
        } else if (op == 0xCC || op == 0xF4) {
            in.Kind = Flow::Stop;
        } else if (op == 0xFF) {
            unsigned reg = in.Reg & 7;
            if (reg == 2 || reg == 3)
                in.Kind = Flow::IndirectCall;
            else if (reg == 4 || reg == 5)
                in.Kind = Flow::IndirectJump;
        }
    } else if (in.Map == 1 && !in.Vex) {
        if (in.Opcode >= 0x80 && in.Opcode <= 0x8F) {
            in.Kind = Flow::Branch;
            int32_t rel;
            __builtin_memcpy(&rel, code + at, 4);
            in.Displacement = rel;
        } else if (in.Opcode == 0x0B) {
            in.Kind = Flow::Stop;
        }
    }
    in.Length = (uint8_t)(at + immediate);
    return in;
}

} // namespace sim::detail
