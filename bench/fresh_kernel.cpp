// kvr_fresh_kernel: what a fresh simulated kernel with the driver loaded and
// the adapter started costs, the start of every fuzz input and of every
// schedule of the interleaving explorer.
//
//   kvr_fresh_kernel [--kernels N] [--short-run] [--image PATH]
//
// Each kernel: a reset with the records and trace off and the two keys the
// driver reads, DriverEntry, HwFindAdapter and HwInitialize, then the
// teardown checks. With --short-run each one also plugs a monitor-mode frame
// and runs two virtual seconds (the arrival, the first publication and seven
// panel-refresh turns), about what one schedule of the explorer runs. With
// --image each kernel runs the real kvrminiport.sys at PATH (a fresh copy of
// it mapped for each) in place of the host build.
// Prints the kernels per CPU second and the CPU microseconds of one; exits 1
// if a start fails or the verifier finds anything. It uses only the harness
// interface, so that the same file builds against an older tree for a
// before-and-after comparison (bench/compare.sh).

#include "sim/sim.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "driver/core/miniport.h"
#include "driver/state/state.h"

namespace
{

double CpuSeconds()
{
    timespec Now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &Now);
    return double(Now.tv_sec) + double(Now.tv_nsec) / 1e9;
}

bool OneKernel(bool ShortRun)
{
    sim::Options Options;
    Options.Keys = {"\\Registry\\Machine\\Software\\Korvane\\Brindlecourt",
                    "\\Registry\\Machine\\system\\CurrentControlSet\\Services\\KEVO\\Device0"};
    Options.TraceEnabled = false;
    Options.RecordWaits = false;
    Options.RecordRegistry = false;
    Options.RecordPeerRequests = false;
    Options.ThreadStackSize = 128 * 1024;
    sim::Reset(Options);
    DriverState = DRIVER_STATE{};
    sim::ExpectSurvivingPool(sim::Tag("ffub"));
    sim::ExpectSurvivingReferences("\\Device\\KEVO-0");
    if (sim::LoadDriver(sim::ImageInUse() ? sim::ImageEntry() : &DriverEntry) != STATUS_SUCCESS)
        return false;
    if (sim::StartAdapter().FindStatus != NO_ERROR)
        return false;
    if (ShortRun) {
        sim::PlugUsb("ABCD", "1000", "FR0001A7C2");
        sim::Advance(2000);
    }
    for (const sim::Violation &Found : sim::Shutdown()) {
        std::fprintf(stderr, "kvr_fresh_kernel: verifier: %s\n", Found.Text.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    long Kernels = 20000;
    bool ShortRun = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--kernels") == 0 && i + 1 < argc)
            Kernels = std::strtol(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--short-run") == 0)
            ShortRun = true;
        else if (std::strcmp(argv[i], "--image") == 0 && i + 1 < argc) {
            std::string Error = sim::UseImage(argv[++i]);
            if (!Error.empty()) {
                std::fprintf(stderr, "kvr_fresh_kernel: %s\n", Error.c_str());
                return 2;
            }
        } else {
            std::fprintf(stderr,
                         "usage: kvr_fresh_kernel [--kernels N] [--short-run] [--image PATH]\n");
            return 2;
        }
    }
    if (Kernels <= 0)
        return 2;
    double Start = CpuSeconds();
    for (long i = 0; i < Kernels; ++i) {
        if (!OneKernel(ShortRun)) {
            std::fprintf(stderr, "kvr_fresh_kernel: kernel %ld did not start cleanly\n", i);
            return 1;
        }
    }
    double Seconds = CpuSeconds() - Start;
    std::printf("%ld fresh kernels%s in %.3f s CPU: %.0f a second, %.1f us each\n", Kernels,
                ShortRun ? " with two virtual seconds each" : "", Seconds,
                double(Kernels) / Seconds, Seconds * 1e6 / double(Kernels));
    return 0;
}
