// The import thunks of the image loader: one Microsoft x64 (ms_abi) entry
// point for every routine the real image imports, which calls the simulated
// kernel's routine of that name. The compiler converts between the two
// calling conventions (an ms_abi function saves rsi, rdi and xmm6-xmm15,
// which the image's code expects a callee to keep, before it calls System V
// code that may change them). Around the call the thunk measures the image's
// stack, reports what the fault handler saw, and on the way back sets the
// image's protections for the context that the image continues on.

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

// At a thunk's entry: the image's frames end at frame + 16 (the thunk's frame
// pointer, its return address, then the image's own frames).
void KernelCalledFromImage(size_t thunk, const void *frame);
// Before the thunk returns into the image.
void ReturningToImage();

template <size_t Index, auto Routine> struct Thunk;

template <size_t Index, typename R, typename... P, R (*Routine)(P...)>
struct Thunk<Index, Routine> {
    [[gnu::ms_abi]] static R Call(P... args)
    {
        KernelCalledFromImage(Index, __builtin_frame_address(0));
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
