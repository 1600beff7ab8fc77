// The crossing into the driver and the real image's mapping: every call the
// kernel makes into the driver (CallDriver), the image's address range, its
// mapping for a new kernel.

#ifndef KVR_SIM_IMAGE_IMAGE_H
#define KVR_SIM_IMAGE_IMAGE_H

#include <type_traits>
#include <utility>

#include "kernel/kernel.h"

namespace sim::detail
{

// Calls into the driver (image/crossing.cpp). Every call the kernel makes
// into the driver goes through CallDriver: DriverEntry, the video port's
// callbacks, thread start routines, notification callbacks, registry query
// routines. A routine of the real image is called with the Microsoft x64
// convention through the crossing, which checks that the callee kept the
// registers that convention preserves; a routine of the host build is called
// directly. Either way the stack below the caller is first filled with the
// stack pattern, so that a local read before it is written shows.
constexpr uint8_t StackFill = 0xC7;
constexpr uint64_t StackFillWord = 0xC7C7C7C7C7C7C7C7ull;
// Bytes below the stack pointer filled before each call into the driver.
constexpr size_t FrameFillBytes = 2048;
extern uintptr_t ImageBegin, ImageEnd;     // the mapped image (0, 0: none)
extern uintptr_t DisplayBegin, DisplayEnd; // the mapped display driver's DLL beside it
extern uintptr_t ForeignBegin, ForeignEnd; // other Microsoft-convention code (tests)
inline bool InImage(const void *address)
{
    uintptr_t at = (uintptr_t)address;
    return (at >= ImageBegin && at < ImageEnd) || (at >= DisplayBegin && at < DisplayEnd) ||
           (at >= ForeignBegin && at < ForeignEnd);
}
// The most arguments the crossing passes (a display driver's DrvEnablePDEV
// takes eleven).
constexpr unsigned CrossArguments = 12;
uint64_t CrossIntoImage(const void *routine, const uint64_t *arguments, unsigned count);
extern "C" void kvrsim_fill_stack(size_t bytes);

template <typename T> uint64_t RawArgument(T value)
{
    if constexpr (std::is_pointer_v<T>)
        return (uint64_t)(uintptr_t)value;
    else
        return (uint64_t)value;
}

template <typename R> R FromRaw(uint64_t raw)
{
    if constexpr (std::is_void_v<R>)
        return;
    else if constexpr (std::is_pointer_v<R>)
        return (R)(uintptr_t)raw;
    else if constexpr (std::is_same_v<R, bool>)
        return (uint8_t)raw != 0; // the callee set al only
    else
        return (R)raw; // the callee set only the return type's own bits
}

// When a call into the driver returns, the thread goes on in the kernel: a
// switch point, so that the kernel's work after the call is a step of its own
// (what the driver's last shared access began is not), named by what that
// work touches (After, called as the call returns; by default any of the
// kernel's state).
struct AnyKernelState {
    Access operator()() const { return Access{}; }
};

template <typename Name> struct BackInKernel {
    Name After;
    ~BackInKernel() { SwitchPoint(After()); }
};

template <typename Name, typename R, typename... P, typename... A>
R CallDriverThen(Name after, R (*routine)(P...), A &&...arguments)
{
    static_assert(sizeof...(P) <= CrossArguments, "the crossing passes 0 to 12 arguments");
    BackInKernel<Name> back{after};
    if (InImage((const void *)routine)) [[unlikely]] {
        // One more than the arguments, so that a routine without any has one.
        const uint64_t raw[sizeof...(P) + 1] = {RawArgument<P>(static_cast<P>(arguments))..., 0};
        return FromRaw<R>(CrossIntoImage((const void *)routine, raw, sizeof...(P)));
    }
    kvrsim_fill_stack(FrameFillBytes);
    return routine(static_cast<P>(arguments)...);
}

template <typename R, typename... P, typename... A>
R CallDriver(R (*routine)(P...), A &&...arguments)
{
    return CallDriverThen(AnyKernelState{}, routine, std::forward<A>(arguments)...);
}

// What the kernel's work after a call into the driver touches when it is the
// calling thread's own (its IRQL, its buffers) and the verifier's record.
struct CallerOwnState {
    Access operator()() const { return Access{nullptr, ThreadCallPoint}; }
};

// The real image (image/image.cpp): a fresh copy mapped for a new kernel, the
// start-up section discarded once DriverEntry has returned.
void MapImageForKernel();
void UnmapImage();
// The image's stack use of a thread the kernel stops while it is in the image
// (image/faults.cpp).
void ImageStackOfStoppedThread(const Thread &thread);
// Whether a value read from the driver is the stack pattern: a local read
// before it was written.
inline bool StackPattern(const void *value)
{
    return (uint64_t)(uintptr_t)value == StackFillWord;
}

} // namespace sim::detail

#endif // KVR_SIM_IMAGE_IMAGE_H
