// A table from addresses to small records (pool blocks, requests): open
// addressing with linear probing in one array, so that adding, finding and
// removing an entry touch a slot or two and never the C library's allocator
// once the array has grown to the run's size.
//
// A removed entry's slot is refilled by moving later entries of the same
// probe run back (no tombstones): a look-up for an address that is not in the
// table stops at the first empty slot, however many entries came and went.
//
// What it buys, against the library's node-based hash map (bench/callgrind.sh):
// 603 instructions of a panel-refresh turn (7,652 with the map, 7,049 with
// this table), 9,096 of a settings and monitor fuzz input (198,316 against
// 189,220) and 43 of its 138 heap blocks (a node for every block and request).

#ifndef KVR_SIM_ADDRESS_TABLE_H
#define KVR_SIM_ADDRESS_TABLE_H

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace sim::detail
{

template <typename Value> class AddressTable
{
  public:
    struct Slot {
        const void *Key; // null: empty
        Value Data;
    };

    // The slot an address probes first in a table of 2^bits slots.
    static size_t Home(const void *key, unsigned bits)
    {
        // Fibonacci hashing: the multiplication mixes the address's middle
        // bits (blocks are 16-byte aligned) into the top ones, kept.
        return (size_t)(((uint64_t)(uintptr_t)key * 0x9E3779B97F4A7C15ull) >> (64 - bits));
    }

    Value *Find(const void *key)
    {
        if (Count == 0)
            return nullptr;
        size_t mask = Slots.size() - 1;
        for (size_t i = Home(key, Bits);; i = (i + 1) & mask) {
            Slot &slot = Slots[i];
            if (slot.Key == key)
                return &slot.Data;
            if (!slot.Key)
                return nullptr;
        }
    }

    // Adds the address (not null, not in the table yet).
    void Add(const void *key, const Value &value)
    {
        if (2 * (Count + 1) > Slots.size())
            Grow();
        size_t mask = Slots.size() - 1;
        size_t i = Home(key, Bits);
        while (Slots[i].Key)
            i = (i + 1) & mask;
        Slots[i].Key = key;
        Slots[i].Data = value;
        Count++;
    }

    // Removes the entry that Find returned.
    void Remove(Value *found)
    {
        size_t offset = (size_t)(reinterpret_cast<char *>(found) -
                                 reinterpret_cast<char *>(&Slots.data()->Data));
        RemoveAt(offset / sizeof(Slot));
    }

    bool Remove(const void *key)
    {
        Value *found = Find(key);
        if (!found)
            return false;
        Remove(found);
        return true;
    }

    size_t Size() const { return Count; }
    bool Empty() const { return Count == 0; }

    // Empties the table; its storage stays for the next entries.
    void Clear()
    {
        for (Slot &slot : Slots)
            slot.Key = nullptr;
        Count = 0;
    }

    // Calls visit(key, value) for every entry, in no particular order. The
    // table must not change meanwhile.
    template <typename Visit> void ForEach(Visit visit)
    {
        for (Slot &slot : Slots)
            if (slot.Key)
                visit(slot.Key, slot.Data);
    }

  private:
    void Grow()
    {
        std::vector<Slot> old(Slots.size() ? 2 * Slots.size() : 16, Slot{nullptr, Value{}});
        old.swap(Slots);
        Bits = 0;
        while (((size_t)1 << Bits) < Slots.size())
            ++Bits;
        size_t mask = Slots.size() - 1;
        for (Slot &slot : old) {
            if (!slot.Key)
                continue;
            size_t i = Home(slot.Key, Bits);
            while (Slots[i].Key)
                i = (i + 1) & mask;
            Slots[i] = slot;
        }
    }

    // Empties slot hole and moves back each later entry of the run that may
    // sit there: one whose home is not cyclically within (hole, at].
    void RemoveAt(size_t hole)
    {
        size_t mask = Slots.size() - 1;
        Slots[hole].Key = nullptr;
        Count--;
        for (size_t at = (hole + 1) & mask; Slots[at].Key; at = (at + 1) & mask) {
            size_t home = Home(Slots[at].Key, Bits);
            bool stays = hole <= at ? (hole < home && home <= at) : (hole < home || home <= at);
            if (stays)
                continue;
            Slots[hole] = Slots[at];
            Slots[at].Key = nullptr;
            hole = at;
        }
    }

    std::vector<Slot> Slots;
    size_t Count = 0;
    unsigned Bits = 0;
};

} // namespace sim::detail

#endif // KVR_SIM_ADDRESS_TABLE_H
