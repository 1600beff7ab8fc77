// The simulated kernel: the harness interface.
//
// On the host the driver links against the simulated kernel, which provides
// every routine that driver/platform/kvr_platform.h declares: pool, IRQL,
// registry, dispatcher objects, system threads on a virtual clock, the I/O
// manager with a simulated sibling frame driver, plug and play and the video
// port. This header is what tests, the scenario tool, fuzzers and stress
// tests use to build a system, drive it and look into it.
//
// Conventions:
//  - Virtual time is counted in units of 100 ns (the platform's unit for
//    intervals) from 0 at Reset; NowMs() gives whole milliseconds.
//  - Registry paths, value names, device and link names are given and
//    returned as UTF-8 (in practice ASCII) text; the kernel keeps them as
//    UTF-16, as the platform does.
//  - Pool tags are the four bytes in memory order: Tag("ffub") == 0x62756666.
//  - Every harness call first runs all runnable simulated threads until they
//    block (deterministic mode), so the harness always acts at a quiet
//    instant.
//  - Nothing here is safe to call from inside a driver callback or a
//    simulated thread, except where said.

#ifndef KVR_SIM_H
#define KVR_SIM_H

// The C library's declarations must come before the platform header's own
// declaration of strncpy, which lacks the library's noexcept.
#include <cstring>
#include <cstdint>
#include <array>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../driver/platform/kvr_platform.h"

// One part a room, in this order.
#include "kernel/harness.h"
#include "registry/harness.h"
#include "io/harness.h"
#include "devices/harness.h"
#include "videoport/harness.h"
#include "image/harness.h"
#include "gdi/harness.h"

#endif // KVR_SIM_H
