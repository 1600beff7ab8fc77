// kvr_fuzz_replay: the settings and monitor fuzz target's inputs run without
// the fuzzer and the sanitizers, for counting what the simulated kernel
// spends on one input (bench/callgrind.sh) and for timing it natively.
//
//   kvr_fuzz_replay [--rounds N] FILE|DIRECTORY...
//
// Runs every input file (a directory: every file in it, by name) N times
// (default 1) through LLVMFuzzerTestOneInput, which stops the run on any
// finding. Prints the inputs run and the CPU microseconds of one; then, for
// the rounds after the first (the storage a run keeps for the next kernel is
// made by then), the heap blocks an input allocates and the inputs that end
// with more blocks allocated than they freed: after each of those the fuzzer
// runs the input again and, when that ends the same way, scans the whole
// heap for leaks.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size);

// The C library's allocator, counted: every allocation of the process goes
// through these (operator new included).
extern "C" void *__libc_malloc(size_t size);
extern "C" void *__libc_calloc(size_t count, size_t size);
extern "C" void *__libc_realloc(void *address, size_t size);
extern "C" void *__libc_memalign(size_t alignment, size_t size);
extern "C" void __libc_free(void *address);

namespace
{
unsigned long Allocations = 0;
unsigned long Frees = 0;
} // namespace

extern "C" void *malloc(size_t size)
{
    ++Allocations;
    return __libc_malloc(size);
}

extern "C" void *calloc(size_t count, size_t size)
{
    ++Allocations;
    return __libc_calloc(count, size);
}

extern "C" void *realloc(void *address, size_t size)
{
    // A new block for an old one: as the fuzzer's count has it, one of each.
    if (address)
        ++Frees;
    if (size)
        ++Allocations;
    return __libc_realloc(address, size);
}

extern "C" void *aligned_alloc(size_t alignment, size_t size)
{
    ++Allocations;
    return __libc_memalign(alignment, size);
}

extern "C" int posix_memalign(void **address, size_t alignment, size_t size)
{
    ++Allocations;
    *address = __libc_memalign(alignment, size);
    return *address ? 0 : 12; // ENOMEM
}

extern "C" void free(void *address)
{
    if (address)
        ++Frees;
    __libc_free(address);
}

int main(int argc, char **argv)
{
    long Rounds = 1;
    std::vector<std::string> Files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
            Rounds = std::strtol(argv[++i], nullptr, 10);
            continue;
        }
        std::filesystem::path Path(argv[i]);
        if (std::filesystem::is_directory(Path)) {
            std::vector<std::string> Names;
            for (const auto &Entry : std::filesystem::directory_iterator(Path))
                if (Entry.is_regular_file())
                    Names.push_back(Entry.path().string());
            std::sort(Names.begin(), Names.end());
            Files.insert(Files.end(), Names.begin(), Names.end());
        } else {
            Files.push_back(Path.string());
        }
    }
    if (Files.empty() || Rounds <= 0) {
        std::fprintf(stderr, "usage: kvr_fuzz_replay [--rounds N] FILE|DIRECTORY...\n");
        return 2;
    }
    std::vector<std::vector<uint8_t>> Inputs;
    for (const std::string &File : Files) {
        std::ifstream In(File, std::ios::binary);
        Inputs.emplace_back(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
    }
    timespec Start{}, End{};
    unsigned long Counted = 0, Growing = 0;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &Start);
    for (long Round = 0; Round < Rounds; ++Round) {
        for (const std::vector<uint8_t> &Input : Inputs) {
            unsigned long AllocationsBefore = Allocations, FreesBefore = Frees;
            LLVMFuzzerTestOneInput(Input.data(), Input.size());
            if (Round == 0)
                continue;
            unsigned long Made = Allocations - AllocationsBefore;
            Counted += Made;
            if (Made > Frees - FreesBefore)
                ++Growing;
        }
    }
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &End);
    double Seconds = double(End.tv_sec - Start.tv_sec) + double(End.tv_nsec - Start.tv_nsec) / 1e9;
    long Runs = Rounds * long(Inputs.size());
    std::printf("%ld inputs in %.3f s CPU: %.0f a second, %.1f us each\n", Runs, Seconds,
                double(Runs) / Seconds, Seconds * 1e6 / double(Runs));
    if (Rounds > 1) {
        long Later = (Rounds - 1) * long(Inputs.size());
        std::printf("after the first round: %.1f heap blocks allocated an input; %lu of %ld inputs "
                    "ended with more allocated than freed\n",
                    double(Counted) / double(Later), Growing, Later);
    }
    return 0;
}
