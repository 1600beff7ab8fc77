// The harness's registry calls: keys and values made, read and deleted
// outside the driver, the injected failures and the registry's record.

#include "registry/registry_store.h"
#include "kernel/text_steps.h"

using namespace sim::detail;

namespace sim
{

bool CreateKey(std::string_view path)
{
    HarnessEntry();
    Guard guard;
    Kernel *k = K;
    std::u16string &wide = k->PathText;
    WidenInto(wide, path);
    while (wide.size() > 1 && wide.back() == u'\\')
        wide.pop_back();
    if (!ValidKeyPath(wide))
        return false;
    ForgetLookUps();
    // Each prefix ends before a backslash, so its look-up form is the same
    // prefix of the whole path's.
    std::u16string &upper = k->UpperText;
    UpcaseInto(upper, wide);
    for (size_t i = 1; i <= wide.size(); ++i) {
        if (i != wide.size() && wide[i] != u'\\')
            continue;
        k->KeyIdText.assign(upper.data(), i);
        if (!k->Keys.count(k->KeyIdText))
            AddKey(k->KeyIdText, std::u16string_view(wide.data(), i));
    }
    return true;
}

bool DeleteKey(std::string_view path)
{
    HarnessEntry();
    Guard guard;
    Kernel *k = K;
    std::u16string &id = k->KeyIdText;
    KeyIdInto(id, HarnessPath(path));
    ForgetLookUps();
    auto found = k->Keys.find(id);
    if (found == k->Keys.end())
        return false;
    DropKey(k->Keys.extract(found));
    // Its subkeys go with it.
    for (auto it = k->Keys.begin(); it != k->Keys.end();) {
        const std::u16string &other = it->first;
        if (other.size() > id.size() && other[id.size()] == u'\\' &&
            other.compare(0, id.size(), id) == 0)
            DropKey(k->Keys.extract(it++));
        else
            ++it;
    }
    return true;
}

bool KeyExists(std::string_view path)
{
    HarnessEntry();
    Guard guard;
    return FindKey(HarnessPath(path)) != nullptr;
}

bool SetValue(std::string_view path, std::string_view name, ULONG type,
              std::span<const uint8_t> data)
{
    HarnessEntry();
    Guard guard;
    RegistryKey *key = FindKey(HarnessPath(path));
    if (!key)
        return false;
    std::u16string_view wideName = HarnessName(name);
    RegistryValue *value = FindNamedValue(key, wideName);
    if (!value) {
        UpcaseInto(K->UpperText, wideName);
        value = AddValue(key, wideName, K->UpperText);
    }
    value->Value.Type = type;
    value->Value.Data.assign(data.begin(), data.end());
    return true;
}

bool SetDword(std::string_view path, std::string_view name, ULONG value)
{
    uint8_t bytes[4];
    memcpy(bytes, &value, 4);
    return SetValue(path, name, REG_DWORD, bytes);
}

bool SetString(std::string_view path, std::string_view name, std::string_view text, ULONG type)
{
    std::vector<uint8_t> bytes;
    for (unsigned char c : text) {
        bytes.push_back(c);
        bytes.push_back(0);
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return SetValue(path, name, type, bytes);
}

bool DeleteValue(std::string_view path, std::string_view name)
{
    HarnessEntry();
    Guard guard;
    RegistryKey *key = FindKey(HarnessPath(path));
    if (!key)
        return false;
    std::u16string_view wideName = HarnessName(name);
    for (auto it = key->Values.begin(); it != key->Values.end(); ++it)
        if (SameName(it->Name, wideName)) {
            DropValue(*it);
            key->Values.erase(it);
            return true;
        }
    return false;
}

bool GetValueInto(std::string_view path, std::string_view name, RegValue &into)
{
    HarnessEntry();
    Guard guard;
    RegistryKey *key = FindKey(HarnessPath(path));
    if (!key)
        return false;
    RegistryValue *value = FindNamedValue(key, HarnessName(name));
    if (!value)
        return false;
    into.Type = value->Value.Type;
    into.Data.assign(value->Value.Data.begin(), value->Value.Data.end());
    return true;
}

std::optional<RegValue> GetValue(std::string_view path, std::string_view name)
{
    RegValue value;
    if (!GetValueInto(path, name, value))
        return std::nullopt;
    return value;
}

std::vector<std::pair<std::string, RegValue>> Values(std::string_view path)
{
    HarnessEntry();
    Guard guard;
    std::vector<std::pair<std::string, RegValue>> list;
    if (RegistryKey *key = FindKey(Widen(path)))
        for (const RegistryValue &value : key->Values)
            list.emplace_back(Narrow(value.Name), value.Value);
    return list;
}

void FailRegistryWrites(unsigned n, NTSTATUS status)
{
    HarnessEntry();
    Guard guard;
    K->FailWrites = n;
    K->FailWritesStatus = status;
}

void FailRegistryReads(unsigned n, NTSTATUS status)
{
    HarnessEntry();
    Guard guard;
    K->FailReads = n;
    K->FailReadsStatus = status;
}

void FailRegistryValueWrites(std::string_view name, NTSTATUS status)
{
    HarnessEntry();
    Guard guard;
    K->FailValueWrites.push_back(ValueFault{UpcaseWide(name), status});
}

void FailRegistryValueReads(std::string_view name, NTSTATUS status)
{
    HarnessEntry();
    Guard guard;
    K->FailValueReads.push_back(ValueFault{UpcaseWide(name), status});
}

void ClearRegistryFaults()
{
    HarnessEntry();
    Guard guard;
    K->FailWrites = 0;
    K->FailReads = 0;
    K->FailValueWrites.clear();
    K->FailValueReads.clear();
}

const std::vector<RegWrite> &RegistryWrites()
{
    HarnessEntry();
    return K->RegWrites;
}

const std::vector<RegQuery> &RegistryQueries()
{
    HarnessEntry();
    return K->RegQueries;
}

uint64_t RegistryWriteCount()
{
    HarnessEntry();
    Guard guard;
    return K->RegWriteCount;
}

RegistryWriteOutcomes RegistryWriteOutcomeCounts()
{
    EnsureKernel();
    Guard guard;
    return K->RegOutcomes;
}

uint64_t RegistryQueryCount()
{
    HarnessEntry();
    Guard guard;
    return K->RegQueryCount;
}

} // namespace sim
