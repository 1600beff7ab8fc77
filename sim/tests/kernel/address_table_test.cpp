// The address table under the pool's block records: entries that share a
// first slot (also across the table's end) stay found whatever is removed
// before them, and the table grows and empties without losing any.

#include "kernel/address_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace
{

using Table = sim::detail::AddressTable<int>;

// Addresses 16 bytes apart (as pool blocks are) whose first slot in a table
// of 16 slots is home.
std::vector<const void *> KeysAt(size_t home, size_t count, uintptr_t &next)
{
    std::vector<const void *> keys;
    for (; keys.size() < count; next += 16)
        if (Table::Home((const void *)next, 4) == home)
            keys.push_back((const void *)next);
    return keys;
}

TEST(AddressTable, CollidingEntriesStayFoundWhateverIsRemovedFirst)
{
    // Three entries whose first slot is the last one, so that their run
    // wraps to the table's start, two whose first slot is the first, one
    // the second's: every order of removal, every entry checked after each.
    uintptr_t next = 0x10000;
    std::vector<const void *> keys = KeysAt(15, 3, next);
    for (size_t home : {0, 1})
        for (const void *key : KeysAt(home, home == 0 ? 2 : 1, next))
            keys.push_back(key);
    const void *absent = KeysAt(15, 1, next)[0];
    std::vector<size_t> order = {0, 1, 2, 3, 4, 5};
    size_t orders = 0;
    do {
        Table table;
        for (size_t i = 0; i < keys.size(); ++i)
            table.Add(keys[i], (int)i);
        std::vector<bool> removed(keys.size(), false);
        for (size_t step : order) {
            ASSERT_TRUE(table.Remove(keys[step]));
            removed[step] = true;
            for (size_t i = 0; i < keys.size(); ++i) {
                int *found = table.Find(keys[i]);
                if (removed[i]) {
                    EXPECT_EQ(found, nullptr);
                } else {
                    ASSERT_NE(found, nullptr) << "entry " << i << " lost";
                    EXPECT_EQ(*found, (int)i);
                }
            }
            EXPECT_EQ(table.Find(absent), nullptr);
        }
        EXPECT_TRUE(table.Empty());
        ++orders;
    } while (std::next_permutation(order.begin(), order.end()));
    EXPECT_EQ(orders, 720u);
}

TEST(AddressTable, RemovingThroughTheFoundEntryAndRemovingAbsentOnes)
{
    uintptr_t next = 0x20000;
    std::vector<const void *> keys = KeysAt(7, 4, next);
    Table table;
    for (size_t i = 0; i < keys.size(); ++i)
        table.Add(keys[i], (int)(10 * i));
    EXPECT_FALSE(table.Remove(KeysAt(7, 1, next)[0]));
    int *second = table.Find(keys[1]);
    ASSERT_NE(second, nullptr);
    table.Remove(second);
    EXPECT_EQ(table.Find(keys[1]), nullptr);
    for (size_t i : {0, 2, 3}) {
        ASSERT_NE(table.Find(keys[i]), nullptr);
        EXPECT_EQ(*table.Find(keys[i]), (int)(10 * i));
    }
    EXPECT_EQ(table.Size(), 3u);
}

TEST(AddressTable, GrowsAndEmptiesWithoutLosingEntries)
{
    Table table;
    std::vector<const void *> keys;
    for (uintptr_t i = 1; i <= 5000; ++i)
        keys.push_back((const void *)(0x7f0000000000 + 48 * i));
    for (size_t i = 0; i < keys.size(); ++i)
        table.Add(keys[i], (int)i);
    EXPECT_EQ(table.Size(), keys.size());
    for (size_t i = 0; i < keys.size(); i += 2)
        ASSERT_TRUE(table.Remove(keys[i]));
    size_t visited = 0;
    table.ForEach([&](const void *key, int value) {
        EXPECT_EQ(key, keys[(size_t)value]);
        EXPECT_EQ(value % 2, 1);
        ++visited;
    });
    EXPECT_EQ(visited, keys.size() / 2);
    for (size_t i = 0; i < keys.size(); ++i)
        ASSERT_EQ(table.Find(keys[i]) != nullptr, i % 2 == 1) << i;
    table.Clear();
    EXPECT_TRUE(table.Empty());
    EXPECT_EQ(table.Find(keys[1]), nullptr);
    table.Add(keys[1], 7);
    EXPECT_EQ(*table.Find(keys[1]), 7);
}

} // namespace
