// The import thunks of the image loader: one Microsoft x64 (ms_abi) entry
// point for every routine the real image imports, which calls the simulated
// kernel's routine of that name. The compiler converts between the two
// calling conventions (an ms_abi function saves rsi, rdi and xmm6-xmm15,
// which the image's code expects a callee to keep, before it calls System V
// code that may change them). Around the call the thunk measures the image's
// stack, reports what the fault handler saw, and on the way back sets the
// image's protections for the context that the image continues on.
//
// The image's import table holds an entry point for each (kvrsim_import_N,
// written by thunks.cmake, each calling its body from a call site of its
// own, which the processor predicts): it notes where the
// image's frames end, moves to the stack below the area the crossing filled
// with the stack pattern (kvrsim_image_call_stack), with the call's home
// space and stack arguments copied there, and calls the thunk.
// So the kernel's frames never land in that area, and the pattern left in it
// shows the image's own deepest use when the crossing returns.

#ifndef KVR_SIM_IMAGE_THUNKS_H
#define KVR_SIM_IMAGE_THUNKS_H

#include <cstddef>
#include <type_traits>

#include "record.h"

namespace sim::detail
{

struct ImportThunk {
    const char *Dll;
    const char *Routine;
    const void *Entry;
};
extern const ImportThunk ImportThunks[];
extern const size_t ImportThunkCount;

// At a thunk's entry: the image's frames end above the return address of its
// call, at kvrsim_image_caller + 8.
void KernelCalledFromImage(size_t thunk);
// Before the thunk returns into the image.
void ReturningToImage();

} // namespace sim::detail

extern "C" {
// Each thunk's body, by its index (thunks.cmake).
extern const void *const kvrsim_import_bodies[];
// Where a kernel call of the image code running now puts its frames (0: just
// below the image's), set at each crossing and each return into the image.
extern uintptr_t kvrsim_image_call_stack;
// The image's stack pointer at the kernel call in progress.
extern uintptr_t kvrsim_image_caller;
}

namespace sim::detail
{

template <size_t Index, auto Routine> struct Thunk;

template <size_t Index, typename R, typename... P, R (*Routine)(P...)>
struct Thunk<Index, Routine> {
    [[gnu::ms_abi]] static R Call(P... args)
    {
        KernelCalledFromImage(Index);
        if constexpr (std::is_void_v<R>) {
            Routine(args...);
            ReturningToImage();
        } else {
            R result = Routine(args...);
            ReturningToImage();
            return result;
        }
    }
};

} // namespace sim::detail

#endif // KVR_SIM_IMAGE_THUNKS_H
