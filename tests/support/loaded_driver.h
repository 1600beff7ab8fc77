// The driver a test runs: the host build linked into the test program, or
// the real image (kvrminiport.sys) that the simulated kernel maps in its
// place. A test reaches the driver's state and its routines through these,
// so that one test source runs on either.
//
// On the image, DriverState is the image's own copy, found through the
// symbol file the windows-x64 build writes beside it: the record's address
// (sim::ImageData) and each member's offset in it (sim::ImageFieldOffset). A
// member's own layout is the host type's; the records inside DriverState
// hold theirs with static_asserts (driver/state/state.h).

#ifndef KVR_TEST_LOADED_DRIVER_H
#define KVR_TEST_LOADED_DRIVER_H

#include "sim/sim.h"
#include "sim/image/image.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/state/state.h"

namespace kvrtest
{

// Whether the real image is the driver loaded (sim::UseImage).
bool OnImage();

// The DriverEntry that sim::LoadDriver runs: the mapped image's, or the host
// build's.
sim::DriverEntryRoutine LoadedDriverEntry();

// Brings the host build's DriverState to its load state for a new kernel;
// the image gets a fresh copy with every kernel.
void ResetLoadedState();

// The address of a member of the loaded driver's DriverState (use KVR_STATE).
void *StateMember(const char *Member, size_t HostOffset);

// A routine of the loaded driver by name (use KVR_ROUTINE); call it only
// through sim::detail::CallDriver, which crosses into the image.
void *LoadedRoutine(const char *Name, void *Host);

// The bytes of the loaded driver's DriverState.
std::vector<uint8_t> LoadedStateBytes();

} // namespace kvrtest

// A member of the loaded driver's DriverState, as an lvalue of its type:
// KVR_STATE(PeerDevice).Load(), KVR_STATE(DeviceStatusRecord).DeviceMode.
#define KVR_STATE(Member)                                                                          \
    (*static_cast<decltype(DRIVER_STATE::Member) *>(                                               \
        kvrtest::StateMember(#Member, __builtin_offsetof(DRIVER_STATE, Member))))

// A routine of the loaded driver, of the host build's routine's type.
#define KVR_ROUTINE(Routine)                                                                       \
    (reinterpret_cast<decltype(&Routine)>(                                                         \
        kvrtest::LoadedRoutine(#Routine, reinterpret_cast<void *>(&Routine))))

// Calls a routine of the loaded driver as the kernel calls one: through the
// crossing into the image (the Microsoft x64 convention), or directly into
// the host build.
#define KVR_CALL(Routine, ...)                                                                     \
    sim::detail::CallDriver(KVR_ROUTINE(Routine) __VA_OPT__(, ) __VA_ARGS__)

#endif // KVR_TEST_LOADED_DRIVER_H
