// Storage carried from one kernel to the next: a speed helper.
//
// Every run (a test, a fuzz input, one of the explorer's schedules) begins
// with Reset, which builds a fresh kernel record. What that kernel looks like
// to the driver is decided elsewhere, and without this helper: Reset ends the
// old kernel's threads, stops the sibling and releases every pool block, so
// nothing of the old run is left to the new one. This helper hands the new
// kernel the storage the old one had allocated, emptied, so that a fresh
// kernel allocates, maps and fills little of its own:
//
//  - the record's buffers (lists, texts, tables, the harness thread's query
//    frames), emptied: only their capacity goes over;
//  - the ended threads' registry query frames and raised-level lists, taken
//    by the next kernel's new threads;
//  - the threads' stacks, still mapped, the pages they touched filled with
//    the stack pattern again (a new stack holds the pattern either way),
//    kept as each thread is destroyed (UnmapStack);
//  - the request records.
// Kept for the next kernel as well, in their own rooms: the pool's freed
// memory and statistics records (kernel/pool.cpp), taken on the pool's
// allocation path, where a call out costs every allocation, and the
// registry's keys and values (registry/registry_store.cpp), which a run
// reuses too; CarryStorage has the registry hand its keys over.
//
// What it buys, in instructions of bash bench/callgrind.sh (sections 6 and
// 7) with this helper against a copy that carries nothing (the request
// records freed with their kernel): a fresh kernel with the driver loaded and
// the adapter started 67,167 against 128,348 (61,181, most of it the fill of
// new stacks with the pattern), with a frame plugged and two seconds run
// 121,863 against 189,809; an input of the settings and monitor fuzz target
// 192,256 against 267,339 (75,083) and 95.0 heap blocks against 159.6.
//
// Whatever is kept is never destroyed: it stays reachable for leak checkers.

#ifndef KVR_SIM_KERNEL_CARRIED_STORAGE_H
#define KVR_SIM_KERNEL_CARRIED_STORAGE_H

#include "kernel/kernel.h"

namespace sim::detail
{

struct Kernel;

// Hands what the kernel that goes (from, the current one) holds over to the
// next (to): called by Reset once from's threads are destroyed and its pool
// released, before from is deleted.
void CarryStorage(Kernel &from, Kernel &to);

// A new thread's query frames and raised-level list, from a thread of a
// kernel that is gone, when one is kept.
void TakeThreadStorage(Thread &thread);

// A mapped stack of size bytes kept from a thread of a kernel that is gone
// (filled with the stack pattern where it was used), or null.
uint8_t *TakeKeptStack(size_t size);
// Keeps a stack that is no longer used for a later thread: false when it is
// not kept (too many are, or its used pages cannot be told), and the caller
// unmaps it.
bool KeepStack(uint8_t *base, size_t size);

// A request record of a kernel that is gone, or null.
PIRP TakeSpareRequest();

} // namespace sim::detail

#endif // KVR_SIM_KERNEL_CARRIED_STORAGE_H
