// The harness interface, the registry: a part of sim.h, which includes every
// part in order; include sim.h, not this.

#ifndef KVR_SIM_REGISTRY_HARNESS_H
#define KVR_SIM_REGISTRY_HARNESS_H

namespace sim
{

// ---------------------------------------------------------------------------
// Registry

struct RegValue {
    ULONG Type = REG_NONE;
    std::vector<uint8_t> Data;
};

bool CreateKey(std::string_view path); // creates missing intermediate keys
bool DeleteKey(std::string_view path); // with its values and subkeys
bool KeyExists(std::string_view path);
// Sets a value of any type and bytes; the key must exist (false if not).
bool SetValue(std::string_view path, std::string_view name, ULONG type,
              std::span<const uint8_t> data);
bool SetDword(std::string_view path, std::string_view name, ULONG value);
// REG_SZ (or REG_EXPAND_SZ) from ASCII text, stored as UTF-16 with a terminator.
bool SetString(std::string_view path, std::string_view name, std::string_view text,
               ULONG type = REG_SZ);
bool DeleteValue(std::string_view path, std::string_view name);
std::optional<RegValue> GetValue(std::string_view path, std::string_view name);
// The same into the caller's record (its storage reused); false, the record
// untouched, when the key or the value is missing.
bool GetValueInto(std::string_view path, std::string_view name, RegValue &value);
// The values of a key in the order they were first created.
std::vector<std::pair<std::string, RegValue>> Values(std::string_view path);

// Fault injection. A failed write leaves the stored value as it was; a
// failed read returns the status without touching any target.
void FailRegistryWrites(unsigned n, NTSTATUS status = STATUS_UNSUCCESSFUL);
void FailRegistryReads(unsigned n, NTSTATUS status = STATUS_UNSUCCESSFUL);
// Every write (read) of a value of this name fails until cleared.
void FailRegistryValueWrites(std::string_view name, NTSTATUS status = STATUS_UNSUCCESSFUL);
void FailRegistryValueReads(std::string_view name, NTSTATUS status = STATUS_UNSUCCESSFUL);
void ClearRegistryFaults();

struct RegWrite {
    int64_t Time;
    std::string Key; // the path as the caller gave it
    std::string Name;
    ULONG Type;
    std::vector<uint8_t> Data;
    NTSTATUS Status;
};
struct RegQuery {
    int64_t Time;
    ULONG RelativeTo;
    std::string Key;
    std::vector<std::string> Names; // the table's value names, in order
    NTSTATUS Status;
};
const std::vector<RegWrite> &RegistryWrites();
const std::vector<RegQuery> &RegistryQueries();
uint64_t RegistryWriteCount(); // counted even when RecordRegistry is off
uint64_t RegistryQueryCount();
// The write attempts by outcome, counted even when RecordRegistry is off: a
// change stores other bytes or another type than the value held (or makes
// the value), a rewrite the same ones; a refused write stores nothing.
struct RegistryWriteOutcomes {
    uint64_t Changes = 0, Rewrites = 0, Refused = 0;
};
RegistryWriteOutcomes RegistryWriteOutcomeCounts();

} // namespace sim

#endif // KVR_SIM_REGISTRY_HARNESS_H
