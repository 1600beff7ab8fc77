// Storage carried from one kernel to the next (carried_storage.h says what
// is kept, why, and what it buys).

#include "kernel/carried_storage.h"

#include <sys/mman.h>

#include "record.h"

namespace sim::detail
{

namespace
{

// The record's buffers go to the next kernel, empty: nothing of the old
// kernel's run is carried over, only capacity.
template <typename Container> void Carry(Container &from, Container &to)
{
    std::swap(from, to);
    to.clear();
}

void CarryRecordStorage(Kernel &from, Kernel &to)
{
    // The options' lists too: the next kernel's options are copied into them.
    std::swap(from.Opt.Keys, to.Opt.Keys);
    std::swap(from.Opt.SystemEnvironment, to.Opt.SystemEnvironment);
    Carry(from.NotificationResults, to.NotificationResults);
    Carry(from.Stats, to.Stats); // emptied by ReleaseAllPool (its table kept)
    Carry(from.PathText, to.PathText);
    Carry(from.HarnessPathText, to.HarnessPathText);
    Carry(from.HarnessPathNarrow, to.HarnessPathNarrow);
    Carry(from.NameText, to.NameText);
    Carry(from.UpperText, to.UpperText);
    Carry(from.KeyIdText, to.KeyIdText);
    Carry(from.DataBytes, to.DataBytes);
    Carry(from.LastPath, to.LastPath);
    Carry(from.OtherPath, to.OtherPath);
    Carry(from.Quarantine, to.Quarantine);
    std::swap(from.Blocks, to.Blocks); // emptied by ReleaseAllPool
    std::swap(from.Irps, to.Irps);     // and by KeepRequestStorage
    Carry(from.Timers, to.Timers);
    Carry(from.ObjectWaiters, to.ObjectWaiters);
    Carry(from.Violations, to.Violations);
    // The frames themselves, not only the list's capacity: a query takes a
    // frame as it finds it.
    std::swap(from.HarnessThread.QueryFrames, to.HarnessThread.QueryFrames);
    Carry(from.HarnessThread.Raised, to.HarnessThread.Raised);
    to.EventScratch.Text.swap(from.EventScratch.Text);
    to.EventScratch.Name.swap(from.EventScratch.Name);
    to.EventScratch.Data.swap(from.EventScratch.Data);
}

// --- Threads ------------------------------------------------------------------

// The storage of the ended threads' registry queries and raised levels. Only
// capacity is carried; a query takes a frame as it finds it either way.
struct KeptThreadStorage {
    std::vector<std::unique_ptr<QueryFrame>> QueryFrames;
    std::vector<KIRQL> Raised;
};
constexpr size_t KeptThreadStorageLimit = 8;

std::vector<KeptThreadStorage> &KeptThreads()
{
    static auto *kept = new std::vector<KeptThreadStorage>;
    return *kept;
}

void KeepThreadStorage(Kernel &from)
{
    std::vector<KeptThreadStorage> &kept = KeptThreads();
    for (auto &thread : from.Threads) {
        if (kept.size() >= KeptThreadStorageLimit)
            break;
        if (thread->QueryFrames.empty() && thread->Raised.capacity() == 0)
            continue;
        thread->Raised.clear();
        kept.push_back(
            KeptThreadStorage{std::move(thread->QueryFrames), std::move(thread->Raised)});
    }
}

// --- Stacks ---------------------------------------------------------------------

// Stacks of the threads of kernels that are gone, kept mapped (and filled
// with the stack pattern) for the threads of the next.
struct KeptStack {
    uint8_t *Base;
    size_t Size;
};
constexpr size_t KeptStackLimit = 8;

std::vector<KeptStack> &KeptStacks()
{
    static auto *kept = new std::vector<KeptStack>;
    return *kept;
}

// Fills the pages of a stack that were touched with the pattern again (the
// others are still the system's zero pages); false if that cannot be told.
bool RefillUsedPages(uint8_t *base, size_t size)
{
    constexpr size_t Page = 4096;
    size_t pages = size / Page;
    // The usual stacks' page map fits in place; a larger one goes on the heap.
    unsigned char few[256];
    std::vector<unsigned char> many(pages > sizeof few ? pages : 0);
    unsigned char *resident = pages > sizeof few ? many.data() : few;
    if (size % Page != 0 || mincore(base, size, resident) != 0)
        return false;
    for (size_t i = 0; i < pages; ++i)
        if (resident[i] & 1)
            memset(base + i * Page, StackFill, Page);
    return true;
}

// --- Requests -------------------------------------------------------------------

std::vector<PIRP> &SpareRequests()
{
    static auto *spares = new std::vector<PIRP>;
    return *spares;
}

// Every request record of the kernel, built or completed and waiting in the
// retired line, becomes a spare.
void KeepRequestStorage(Kernel &from)
{
    std::vector<PIRP> &spares = SpareRequests();
    from.Irps.ForEach([&spares](const void *irp, bool) { spares.push_back((PIRP)irp); });
    from.Irps.Clear();
    for (PIRP irp : from.RetiredIrps)
        spares.push_back(irp);
    from.RetiredIrps.clear();
}

} // namespace

void CarryStorage(Kernel &from, Kernel &to)
{
    KeepThreadStorage(from);
    KeepRequestStorage(from);
    KeepRegistryStorage();
    CarryRecordStorage(from, to);
}

void TakeThreadStorage(Thread &thread)
{
    std::vector<KeptThreadStorage> &kept = KeptThreads();
    if (kept.empty())
        return;
    thread.QueryFrames = std::move(kept.back().QueryFrames);
    thread.Raised = std::move(kept.back().Raised);
    kept.pop_back();
}

uint8_t *TakeKeptStack(size_t size)
{
    std::vector<KeptStack> &kept = KeptStacks();
    for (size_t i = 0; i < kept.size(); ++i) {
        if (kept[i].Size != size)
            continue;
        uint8_t *base = kept[i].Base;
        kept.erase(kept.begin() + (ptrdiff_t)i);
        return base;
    }
    return nullptr;
}

bool KeepStack(uint8_t *base, size_t size)
{
    std::vector<KeptStack> &kept = KeptStacks();
    if (kept.size() >= KeptStackLimit || !RefillUsedPages(base, size))
        return false;
    kept.push_back(KeptStack{base, size});
    return true;
}

PIRP TakeSpareRequest()
{
    std::vector<PIRP> &spares = SpareRequests();
    if (spares.empty())
        return nullptr;
    PIRP irp = spares.back();
    spares.pop_back();
    return irp;
}

} // namespace sim::detail
