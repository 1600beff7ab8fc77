#include "support/loaded_driver.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/core/miniport.h"

namespace kvrtest
{

bool OnImage()
{
    return sim::ImageInUse();
}

sim::DriverEntryRoutine LoadedDriverEntry()
{
    return OnImage() ? sim::ImageEntry() : DriverEntry;
}

void ResetLoadedState()
{
    if (!OnImage())
        DriverState = DRIVER_STATE{};
}

// A member or routine the image's symbol file lacks means that the image is
// of other sources than the test: nothing the test reads there means
// anything.
[[noreturn]] static void NotInImage(const std::string &What)
{
    fprintf(stderr, "the image's symbol file names no %s: the image is of other sources\n",
            What.c_str());
    abort();
}

static uint8_t *ImageState()
{
    auto *State = static_cast<uint8_t *>(sim::ImageData("DriverState"));
    if (!State)
        NotInImage("global DriverState");
    return State;
}

void *StateMember(const char *Member, size_t HostOffset)
{
    if (!OnImage())
        return reinterpret_cast<uint8_t *>(&DriverState) + HostOffset;
    std::optional<size_t> Offset = sim::ImageFieldOffset("DRIVER_STATE", Member);
    if (!Offset)
        NotInImage(std::string("member DRIVER_STATE.") + Member);
    return ImageState() + *Offset;
}

void *LoadedRoutine(const char *Name, void *Host)
{
    if (!OnImage())
        return Host;
    const void *Routine = sim::ImageRoutine(Name);
    if (!Routine)
        NotInImage(std::string("routine ") + Name);
    return const_cast<void *>(Routine);
}

std::vector<uint8_t> LoadedStateBytes()
{
    const void *State = OnImage() ? static_cast<const void *>(ImageState())
                                  : static_cast<const void *>(&DriverState);
    std::vector<uint8_t> Bytes(sizeof(DRIVER_STATE));
    std::memcpy(Bytes.data(), State, Bytes.size());
    return Bytes;
}

} // namespace kvrtest
