// What the fuzz targets share: a simulated kernel to run the driver on, and
// stopping the run (so that the fuzzer records the input) when the verifier
// or a target's own check finds a fault.
//
// Host build only: the targets are built with the sanitizers and libFuzzer's
// coverage of the driver's own code, and the real image runs in no sanitizer
// build (its fault handler and theirs do not mix) and has no coverage.
#ifndef KVR_FUZZ_SUPPORT_H
#define KVR_FUZZ_SUPPORT_H

#include "sim/sim.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "driver/state/state.h"

namespace kvrfuzz
{

inline constexpr std::string_view ProductKey =
    "\\Registry\\Machine\\Software\\Korvane\\Brindlecourt";
inline constexpr std::string_view PeerDeviceKey =
    "\\Registry\\Machine\\system\\CurrentControlSet\\Services\\KEVO\\Device0";
inline constexpr std::string_view PeerDeviceName = "\\Device\\KEVO-0";

// A kernel without records: the fuzzers run millions of inputs. Made once;
// a kernel keeps its own copy.
inline const sim::Options &QuietOptions()
{
    static const sim::Options Quiet = [] {
        sim::Options Options;
        Options.Keys = {std::string(ProductKey), std::string(PeerDeviceKey)};
        Options.TraceEnabled = false;
        Options.RecordWaits = false;
        Options.RecordRegistry = false;
        Options.RecordPeerRequests = false;
        Options.ThreadStackSize = 128 * 1024;
        // Fuzzed orientations and paths may hold the reply pattern's byte.
        Options.CheckReplyBytes = false;
        return Options;
    }();
    return Quiet;
}

// The kernel of an input that builds its own: made at the end of the input
// before (the first input makes one), so that every input frees what it
// allocated. libFuzzer runs its leak check again after every input that
// allocated more than it freed, and a kernel made at the start and freed by
// the next input's reset would leave it that way half the time.
inline bool NextKernelReady = false;

inline void TakeFreshKernel()
{
    if (!NextKernelReady)
        sim::Reset(QuietOptions());
    NextKernelReady = false;
}

inline void PrepareNextKernel()
{
    sim::Reset(QuietOptions());
    NextKernelReady = true;
}

[[noreturn]] inline void Fault(const std::string &Text)
{
    std::fprintf(stderr, "fault: %s\n", Text.c_str());
    std::abort();
}

inline void Check(bool Holds, const char *What)
{
    if (!Holds)
        Fault(What);
}

// Any verifier finding so far ends the run.
inline void CheckVerifier()
{
    for (const sim::Violation &Violation : sim::Violations())
        Fault("verifier: " + Violation.Text);
}

inline PDEVICE_OBJECT PeerObject()
{
    for (const sim::DeviceInfo &Device : sim::Devices()) {
        if (Device.Name == PeerDeviceName)
            return Device.Object;
    }
    return nullptr;
}

} // namespace kvrfuzz

#endif // KVR_FUZZ_SUPPORT_H
