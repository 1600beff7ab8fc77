// The image's unwind data: every routine that is not a leaf has a
// RUNTIME_FUNCTION entry in .pdata whose range holds its start, pointing at
// unwind information of a version the x64 unwinder knows. Windows walks a
// kernel stack through that data for an exception, a bug check's stack trace
// and the stack walks of the verifier and the debugger; a frame without it
// is taken for a leaf, its return address read from the wrong slot, and the
// walk goes on through garbage. A leaf (no call, no push, no change of the
// stack pointer, no save of a register the callee keeps) needs none.
//
// Checked once at load from a mapped copy; each mapping reports what was
// found as findings (image.cpp). A routine the decoder cannot read is left
// unjudged.

#include <algorithm>

#include "image/decode.h"
#include "image/loader.h"
#include "record.h"

namespace sim::detail
{

namespace
{

bool KeptByCallee(unsigned reg)
{
    return reg == 3 || reg == 5 || reg == 6 || reg == 7 || reg >= 12; // rbx rbp rsi rdi r12-r15
}

// Why a routine is not a leaf, or null when it is one (or cannot be read).
const char *NotALeaf(const uint8_t *code, uint32_t size)
{
    for (uint32_t at = 0; at < size;) {
        Instruction in = Decode(code + at, size - at);
        if (!in.Length)
            return nullptr;
        at += in.Length;
        if (in.Kind == Flow::Call || in.Kind == Flow::IndirectCall)
            return "it calls";
        if (in.Vex)
            continue;
        uint8_t op = in.Opcode;
        if (in.Map == 0) {
            if ((op >= 0x50 && op <= 0x57) || op == 0x68 || op == 0x6A || op == 0x9C ||
                (op == 0xFF && (in.Reg & 7) == 6))
                return "it pushes";
            if (((op == 0x81 || op == 0x83) && in.Mod == 3 && in.Rm == 4) ||
                (op == 0x8D && in.Reg == 4) || (op == 0x89 && in.Mod == 3 && in.Rm == 4) ||
                (op == 0x8B && in.Reg == 4) || op == 0xC8)
                return "it moves the stack pointer";
            if (op == 0x89 && in.Mod != 3 && KeptByCallee(in.Reg))
                return "it saves a register the callee keeps";
        } else if (in.Map == 1 && (op == 0x29 || op == 0x11 || op == 0x7F) && in.Mod != 3 &&
                   in.Reg >= 6) {
            return "it saves a register the callee keeps";
        }
    }
    return nullptr;
}

struct RuntimeFunction {
    uint32_t Begin, End, Unwind;
};

} // namespace

void CheckUnwindData(ImageFile &file, const uint8_t *base)
{
    file.Unwind.clear();
    std::vector<RuntimeFunction> table;
    if (file.ExceptionRva && (uint64_t)file.ExceptionRva + file.ExceptionSize <= file.SizeOfImage)
        for (uint32_t at = 0; at + 12 <= file.ExceptionSize; at += 12) {
            RuntimeFunction entry;
            memcpy(&entry, base + file.ExceptionRva + at, 12);
            table.push_back(entry);
        }
    for (const Procedure &procedure : file.Procedures) {
        if (!procedure.Size || (uint64_t)procedure.Rva + procedure.Size > file.SizeOfImage)
            continue;
        auto entry = std::find_if(table.begin(), table.end(), [&](const RuntimeFunction &f) {
            return f.Begin <= procedure.Rva && procedure.Rva < f.End;
        });
        if (entry != table.end()) {
            uint8_t version = entry->Unwind < file.SizeOfImage ? base[entry->Unwind] & 7 : 0;
            if (version != 1 && version != 2)
                file.Unwind.push_back(procedure.Name +
                                      "'s unwind data in .pdata is not x64 unwind information "
                                      "(version " +
                                      std::to_string(version) +
                                      "): a stack walk through its frame stops the system");
            continue;
        }
        if (const char *why = NotALeaf(base + procedure.Rva, procedure.Size))
            file.Unwind.push_back(procedure.Name + " has no unwind data in .pdata, but " + why +
                                  ", so it is no leaf: a stack walk through its frame (an "
                                  "exception, a bug check's trace) reads its caller from the "
                                  "wrong slot");
    }
}

} // namespace sim::detail
