// The registry's store: keys by look-up form, values by name, and the speed
// helpers between the registry's rules (registry.cpp, registry_harness.cpp)
// and that store. The rules find, create and drop keys and values only
// through these; none of the helpers changes what a rule decides.

#ifndef KVR_SIM_REGISTRY_STORE_H
#define KVR_SIM_REGISTRY_STORE_H

#include <string>
#include <string_view>

#include "record.h"

namespace sim::detail
{

// The registry's rule for a key path: it starts with a backslash and has no
// two in a row (registry.cpp).
bool ValidKeyPath(std::u16string_view path);
// Names compare with the platform's upcasing (registry.cpp).
bool SameName(std::u16string_view a, std::u16string_view b);

// A key path as a registry routine read it: its text, and the key when the
// text is the path looked up last and was found well formed then (the
// remembered keys below).
struct KeyPath {
    std::u16string_view Text;
    RegistryKey *Remembered = nullptr;
};

// Whether the path is well formed (ValidKeyPath); a remembered path was
// checked when it was looked up.
inline bool WellFormed(const KeyPath &path)
{
    return path.Remembered || ValidKeyPath(path.Text);
}

// --- The two remembered keys ------------------------------------------------
//
// The last path looked up and the one before it, with their keys: a run of
// calls on one key (the driver's two writes a turn), or alternating between
// two, skips reading the path into the kernel's buffer, checking it and
// hashing its look-up form. Both are forgotten whenever a key is created or
// deleted.
//
// What they buy (bench/callgrind.sh, without them against with them): 1,366
// instructions of a panel-refresh turn (8,415 against 7,049), 20,611 of a
// settings and monitor fuzz input (209,831 against 189,220); HwStartIO's
// SetOrientation, one registry write, 1,923 against 1,250.

// Whether the zero-terminated text is the last path looked up (a well-formed
// one), read once with relaxed loads and never past its terminator.
__attribute__((always_inline)) inline bool IsLastPath(const WCHAR *text)
{
    Kernel *k = K;
    if (!k->LastKey || !k->LastPathValid || !text)
        return false;
    const char16_t *last = k->LastPath.data();
    size_t length = k->LastPath.size();
    if (PlainReads()) {
        // A path in a pool block long enough for the last path and its
        // terminator (the driver's copy of its key path) is compared whole,
        // the terminator with it; any other is measured first.
        const PoolBlock *block = k->Blocks.Find(text);
        if (block && block->Bytes >= (length + 1) * sizeof(char16_t))
            return memcmp(text, last, (length + 1) * sizeof(char16_t)) == 0;
        return WideLength(text, length + 1) == length &&
               memcmp(text, last, length * sizeof(char16_t)) == 0;
    }
    // Four characters a step: each is read only once the one before it
    // matched, so none is read past a shorter text's terminator.
    size_t i = 0;
    for (; i + 4 <= length; i += 4) {
        if (__atomic_load_n(&text[i], __ATOMIC_RELAXED) != last[i] ||
            __atomic_load_n(&text[i + 1], __ATOMIC_RELAXED) != last[i + 1] ||
            __atomic_load_n(&text[i + 2], __ATOMIC_RELAXED) != last[i + 2] ||
            __atomic_load_n(&text[i + 3], __ATOMIC_RELAXED) != last[i + 3])
            return false;
    }
    for (; i < length; ++i)
        if (__atomic_load_n(&text[i], __ATOMIC_RELAXED) != last[i])
            return false;
    return __atomic_load_n(&text[length], __ATOMIC_RELAXED) == 0;
}

// A caller's zero-terminated key path: compared where it lies with the last
// path looked up, and read into the kernel's buffer only when it differs.
__attribute__((always_inline)) inline KeyPath ReadKeyPath(const WCHAR *path)
{
    Kernel *k = K;
    if (IsLastPath(path))
        return KeyPath{k->LastPath, k->LastKey};
    ReadWideTextInto(k->PathText, path);
    return KeyPath{k->PathText, nullptr};
}

// A path read already: the last path's key when it is that path.
inline KeyPath RecallKeyPath(std::u16string_view text)
{
    Kernel *k = K;
    bool last = k->LastKey && k->LastPathValid && SameText(text, k->LastPath);
    return KeyPath{text, last ? k->LastKey : nullptr};
}

// The key of the path (any case, trailing backslashes or not), or null;
// remembered as the last one looked up. A caller that found the path well
// formed says so.
RegistryKey *LookUpKey(std::u16string_view path, bool wellFormed);

inline RegistryKey *FindKey(const KeyPath &path)
{
    return path.Remembered ? path.Remembered : LookUpKey(path.Text, true);
}

// The key of the path; a missing key is created when its parent exists.
inline RegistryKey *FindOrCreateLeaf(const KeyPath &path)
{
    return path.Remembered ? path.Remembered : FindOrCreateLeaf(path.Text);
}

// Forgets the remembered keys (a key is created or deleted).
void ForgetLookUps();

// --- Keys by look-up form ---------------------------------------------------

// A key's look-up form: upcased, without trailing backslashes.
void KeyIdInto(std::u16string &id, std::u16string_view path);
void UpcaseInto(std::u16string &upper, std::u16string_view text);
// A new key of that look-up form and path.
RegistryKey &AddKey(const std::u16string &id, std::u16string_view path);
// Drops the key (extracted from the kernel's map) and its values.
void DropKey(decltype(Kernel::Keys)::node_type record);

// --- Values by name ---------------------------------------------------------

RegistryValue *FindNamedValueInAnyCase(RegistryKey *key, std::u16string_view name);

// The value of that name (in any case).
inline RegistryValue *FindNamedValue(RegistryKey *key, std::u16string_view name)
{
    // Names differ in more than case within a key: a name as first written
    // is the one match, found comparing bytes, and the usual one.
    for (RegistryValue &value : key->Values)
        if (value.Name.size() == name.size() && (name.empty() || value.Name[0] == name[0]) &&
            SameText(value.Name, name))
            return &value;
    return FindNamedValueInAnyCase(key, name);
}

// A new value of that name, typeless and empty until the caller stores it.
RegistryValue *AddValue(RegistryKey *key, std::u16string_view name, std::u16string_view upper);
// Drops a value (the caller then erases it from its key).
void DropValue(RegistryValue &value);

// --- Texts of the harness and the record -------------------------------------

// A harness call's key path and value name, widened into the kernel's
// buffers; the last path is widened once while it stays the same.
std::u16string_view HarnessPath(std::string_view path);
std::u16string_view HarnessName(std::string_view name);
// The narrowed text of a key path for the record, narrowed once while the
// path stays the same.
const std::string &RecordedPath(std::u16string_view path);

} // namespace sim::detail

#endif // KVR_SIM_REGISTRY_STORE_H
