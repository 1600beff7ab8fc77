// The registry's store and its speed helpers (registry_store.h). Each
// helper's comment gives what it buys: instructions of bench/callgrind.sh
// with the helper's trick taken out against with it, a panel-refresh turn of
// the 24-hour scenario (section 2), an input of the settings and monitor
// fuzz target (section 7) and a fresh kernel (section 6).

#include "registry/registry_store.h"

#include "kernel/text_steps.h"

namespace sim::detail
{

// --- Keys by look-up form ---------------------------------------------------
//
// The kernel's map hashes a look-up form with KeyIdHash (registry/registry.h): its
// length and three 8-byte words, a few instructions whatever the length.
// Against the library's hash of every character: 23,967 instructions of a
// settings and monitor fuzz input (213,187 against 189,220); none of a
// panel-refresh turn, whose writes find their key among the remembered ones.

void KeyIdInto(std::u16string &id, std::u16string_view path)
{
    while (path.size() > 1 && path.back() == u'\\')
        path.remove_suffix(1);
    AssignText(id, path);
    UpcaseText(id.data(), id.size());
}

void UpcaseInto(std::u16string &upper, std::u16string_view text)
{
    AssignText(upper, text);
    UpcaseText(upper.data(), upper.size());
}

// --- The two remembered keys ------------------------------------------------

void ForgetLookUps()
{
    K->LastKey = nullptr;
    K->OtherKey = nullptr;
}

RegistryKey *LookUpKey(std::u16string_view path, bool wellFormed)
{
    Kernel *k = K;
    if (k->LastKey && SameText(path, k->LastPath))
        return k->LastKey;
    if (k->OtherKey && SameText(path, k->OtherPath)) {
        std::swap(k->LastPath, k->OtherPath);
        std::swap(k->LastKey, k->OtherKey);
        std::swap(k->LastPathValid, k->OtherPathValid);
        return k->LastKey;
    }
    KeyIdInto(k->KeyIdText, path);
    auto found = k->Keys.find(k->KeyIdText);
    if (found == k->Keys.end())
        return nullptr;
    std::swap(k->LastPath, k->OtherPath);
    k->OtherKey = k->LastKey;
    k->OtherPathValid = k->LastPathValid;
    AssignText(k->LastPath, path);
    k->LastPathValid = wellFormed || ValidKeyPath(path);
    k->LastKey = &found->second;
    return k->LastKey;
}

RegistryKey *FindKey(std::u16string_view path)
{
    return LookUpKey(path, false);
}

// --- Storage carried to the next kernel ---------------------------------------
//
// Keys and values dropped (deleted, or of a kernel that is gone) keep their
// storage for the next ones made, so that a steady run of kernels (a fuzz
// target's inputs) allocates nothing for its keys and ends each input with
// the heap blocks it began with. Never destroyed (the memory stays reachable
// for leak checkers). Against dropping them: 7,157 instructions of a fresh
// kernel (74,291 against 67,134), 5,445 of a settings and monitor fuzz input
// and 39.8 of its heap blocks (134.8 against 95.0).

namespace
{

constexpr size_t SpareValueLimit = 64;

std::vector<RegistryValue> &SpareValues()
{
    static auto *spares = new std::vector<RegistryValue>;
    return *spares;
}

// Key records by look-up form, for the next key of the same path: a key gets
// back the storage it had (its value list's capacity, its texts).
constexpr size_t SpareKeyLimit = 256;

decltype(Kernel::Keys) &SpareKeys()
{
    static auto *spares = [] {
        auto *made = new decltype(Kernel::Keys);
        made->reserve(SpareKeyLimit);
        return made;
    }();
    return *spares;
}

} // namespace

void DropValue(RegistryValue &value)
{
    std::vector<RegistryValue> &spares = SpareValues();
    if (spares.size() < SpareValueLimit)
        spares.push_back(std::move(value));
}

RegistryValue *AddValue(RegistryKey *key, std::u16string_view name, std::u16string_view upper)
{
    std::vector<RegistryValue> &spares = SpareValues();
    if (spares.empty()) {
        key->Values.push_back(RegistryValue{std::u16string(name), std::u16string(upper), {}});
        return &key->Values.back();
    }
    key->Values.push_back(std::move(spares.back()));
    spares.pop_back();
    RegistryValue &value = key->Values.back();
    value.Name.assign(name);
    value.Upper.assign(upper);
    value.Value.Type = REG_NONE;
    value.Value.Data.clear();
    return &value;
}

void DropKey(decltype(Kernel::Keys)::node_type record)
{
    for (RegistryValue &value : record.mapped().Values)
        DropValue(value);
    record.mapped().Values.clear();
    decltype(Kernel::Keys) &spares = SpareKeys();
    if (spares.size() < SpareKeyLimit)
        spares.insert(std::move(record));
}

RegistryKey &AddKey(const std::u16string &id, std::u16string_view path)
{
    Kernel *k = K;
    decltype(Kernel::Keys)::node_type record = SpareKeys().extract(id);
    if (record.empty())
        return k->Keys.emplace(id, RegistryKey{std::u16string(path), {}}).first->second;
    record.mapped().Path.assign(path);
    return k->Keys.insert(std::move(record)).position->second;
}

void KeepRegistryStorage()
{
    Kernel *k = K;
    ForgetLookUps();
    while (!k->Keys.empty())
        DropKey(k->Keys.extract(k->Keys.begin()));
}

// --- Values by name -----------------------------------------------------------

// Kept out of line: the usual look-up finds the name as first written.
__attribute__((noinline)) RegistryValue *FindNamedValueInAnyCase(RegistryKey *key,
                                                                 std::u16string_view name)
{
    for (RegistryValue &value : key->Values) {
        const std::u16string &upper = value.Upper;
        if (upper.size() != name.size())
            continue;
        size_t i = 0;
        while (i < name.size() && UpcaseChar(name[i]) == upper[i])
            ++i;
        if (i == name.size())
            return &value;
    }
    return nullptr;
}

// --- Texts of the harness and the record ---------------------------------------

std::u16string_view HarnessPath(std::string_view path)
{
    Kernel *k = K;
    if (path != k->HarnessPathNarrow) {
        k->HarnessPathNarrow.assign(path);
        WidenInto(k->HarnessPathText, path);
    }
    return k->HarnessPathText;
}

std::u16string_view HarnessName(std::string_view name)
{
    WidenInto(K->NameText, name);
    return K->NameText;
}

const std::string &RecordedPath(std::u16string_view path)
{
    Kernel *k = K;
    if (!SameText(path, k->LastNarrowedPath)) {
        k->LastNarrowedPath = path;
        k->LastNarrowed = Narrow(path);
    }
    return k->LastNarrowed;
}

} // namespace sim::detail
