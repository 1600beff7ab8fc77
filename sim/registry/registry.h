// The registry's internals: keys and values, the storage of query calls, the
// injected failures, and the registry's part of the record.

#ifndef KVR_SIM_REGISTRY_REGISTRY_H
#define KVR_SIM_REGISTRY_REGISTRY_H

#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "sim.h"

namespace sim::detail
{

struct RegistryValue {
    std::u16string Name;  // as first written
    std::u16string Upper; // upcased, for look-ups
    sim::RegValue Value;
};

// Look-up forms of key paths compared as bytes, in one go (the library's
// comparison goes character by character).
struct SameKeyId {
    bool operator()(const std::u16string &a, const std::u16string &b) const
    {
        return a.size() == b.size() && memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0;
    }
};

struct RegistryKey {
    std::u16string Path; // as first created
    std::vector<RegistryValue> Values;
};

// A key's look-up form hashed from its length and three of its 8-byte words
// (its start, middle and end, where keys under one parent differ): a few
// instructions whatever the length. Being cheap, it is computed for every
// look-up rather than the map scanning a small map's keys one by one. Not
// declared noexcept, so that the map keeps each key's hash in its node and
// walks a bucket comparing those instead of hashing every key it passes.
struct KeyIdHash {
    size_t operator()(const std::u16string &id) const
    {
        size_t bytes = id.size() * sizeof(char16_t);
        const char *text = (const char *)id.data();
        uint64_t h = bytes * 0x9E3779B97F4A7C15ull;
        if (bytes >= 8) {
            uint64_t first, middle, last;
            memcpy(&first, text, 8);
            memcpy(&middle, text + (bytes - 8) / 2, 8);
            memcpy(&last, text + bytes - 8, 8);
            h = (h ^ first) * 0xFF51AFD7ED558CCDull;
            h = (h ^ middle) * 0xC4CEB9FE1A85EC53ull;
            h = (h ^ last) * 0xFF51AFD7ED558CCDull;
        } else {
            for (size_t i = 0; i < bytes; ++i)
                h = (h ^ (uint8_t)text[i]) * 0xC4CEB9FE1A85EC53ull;
        }
        return (size_t)(h ^ (h >> 29));
    }
};

// One entry of a query table: as read at the call, and the value it names as
// it stood when the query began.
struct QueryEntry {
    RTL_QUERY_REGISTRY_TABLE Entry;
    std::u16string Name;
    bool Found = false;
    ULONG Type = 0;
    std::vector<uint8_t> Data;
};

// The storage of one RtlQueryRegistryValues call: the path and the first
// Count entries.
struct QueryFrame {
    std::u16string Path;
    std::vector<QueryEntry> Entries;
    size_t Count = 0;
};

struct ValueFault {
    std::u16string UpperName;
    NTSTATUS Status;
};

struct RegistryState {
    // Keys by upper-cased path.
    std::unordered_map<std::u16string, RegistryKey, KeyIdHash, SameKeyId> Keys;
    // The last path looked up and its key, for the common run of calls on
    // one key; dropped whenever a key is created or deleted. A call whose
    // path text equals it (and it is a well-formed path) skips reading,
    // checking and hashing the path.
    std::u16string LastPath;
    RegistryKey *LastKey = nullptr;
    bool LastPathValid = false;
    // The path looked up before it and its key (calls alternate between a
    // few keys); dropped with it.
    std::u16string OtherPath;
    RegistryKey *OtherKey = nullptr;
    bool OtherPathValid = false;
    // Reused buffers of the registry routines (they hold the guard while
    // they use them and call nothing that could re-enter): the path, the
    // value name, its upcased form, the data, and a key path's look-up form.
    std::u16string PathText;
    // A harness call's path, widened, and the text it was widened from.
    std::u16string HarnessPathText;
    std::string HarnessPathNarrow;
    std::u16string NameText;
    std::u16string UpperText;
    std::vector<uint8_t> DataBytes;
    std::u16string KeyIdText;
    std::u16string LastNarrowedPath; // and the recorded text of the last path written
    std::string LastNarrowed;
    unsigned FailWrites = 0;
    NTSTATUS FailWritesStatus = STATUS_UNSUCCESSFUL;
    unsigned FailReads = 0;
    NTSTATUS FailReadsStatus = STATUS_UNSUCCESSFUL;
    std::vector<ValueFault> FailValueWrites;
    std::vector<ValueFault> FailValueReads;
    std::vector<RegWrite> RegWrites;
    std::vector<RegQuery> RegQueries;
    uint64_t RegWriteCount = 0;
    uint64_t RegQueryCount = 0;
    RegistryWriteOutcomes RegOutcomes;
};

RegistryKey *FindKey(std::u16string_view path);
// Hands the storage of the kernel's keys over to the next kernel
// (kernel/carried_storage.h calls it).
void KeepRegistryStorage();
RegistryKey *FindOrCreateLeaf(std::u16string_view path);

} // namespace sim::detail

#endif // KVR_SIM_REGISTRY_REGISTRY_H
