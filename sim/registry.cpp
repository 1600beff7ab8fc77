// The registry: keys and typed values in memory under \Registry\Machine,
// RtlWriteRegistryValue and RtlQueryRegistryValues.
//
// Key paths and value names are compared without regard to case, with the
// platform's upcasing (ASCII and the Latin-1 letters). Direct queries
// (RTL_QUERY_REGISTRY_DIRECT) store into the caller's target exactly as the
// platform does, including its buffer-size rule for values longer than four
// bytes, which reads a signed LONG out of the target before it writes.

#include "internal.h"

namespace sim::detail
{

namespace
{

constexpr size_t MaxTableEntries = 1024;
constexpr ULONG RelativeToMask = 0x0000FFFF;

std::u16string KeyId(std::u16string_view path)
{
    std::u16string upper = Upcase(path);
    while (upper.size() > 1 && upper.back() == u'\\')
        upper.pop_back();
    return upper;
}

bool ValidKeyPath(std::u16string_view path)
{
    if (path.empty() || path[0] != u'\\')
        return false;
    for (size_t i = 1; i < path.size(); ++i)
        if (path[i] == u'\\' && path[i - 1] == u'\\')
            return false;
    return true;
}

bool SameName(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (UpcaseChar(a[i]) != UpcaseChar(b[i]))
            return false;
    return true;
}

RegistryValue *FindValue(RegistryKey *key, std::u16string_view name)
{
    for (RegistryValue &value : key->Values)
        if (SameName(value.Name, name))
            return &value;
    return nullptr;
}

bool IsString(ULONG type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

const ValueFault *MatchFault(const std::vector<ValueFault> &faults, std::u16string_view name)
{
    for (const ValueFault &fault : faults)
        if (SameName(fault.UpperName, name))
            return &fault;
    return nullptr;
}

// The platform reads a LONG out of the target to learn its size; the target
// may be narrower than that (this is exactly how an oversized value
// overruns a small target), so the read itself must not trip the checker.
__attribute__((no_sanitize("address"))) LONG ReadTargetSize(const void *target)
{
    LONG size;
    uint8_t bytes[4];
    for (int i = 0; i < 4; ++i)
        bytes[i] = __atomic_load_n((const uint8_t *)target + i, __ATOMIC_RELAXED);
    memcpy(&size, bytes, 4);
    return size;
}

NTSTATUS StoreDirectString(void *entryContext, ULONG type, const std::vector<uint8_t> &data)
{
    (void)type;
    UNICODE_STRING *target = (UNICODE_STRING *)entryContext;
    size_t bytes = data.size() & ~(size_t)1;
    if (bytes >= 2 && data[bytes - 1] == 0 && data[bytes - 2] == 0)
        bytes -= 2; // the stored terminator; one is appended below
    size_t needed = bytes + sizeof(WCHAR);
    if (needed > 0xFFFF)
        return STATUS_BUFFER_TOO_SMALL;
    PWSTR buffer = __atomic_load_n(&target->Buffer, __ATOMIC_RELAXED);
    if (!buffer) {
        buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, needed, sim::Tag("Rtl "));
        if (!buffer)
            return STATUS_INSUFFICIENT_RESOURCES;
        __atomic_store_n(&target->MaximumLength, (USHORT)needed, __ATOMIC_RELAXED);
        __atomic_store_n(&target->Buffer, buffer, __ATOMIC_RELAXED);
    } else if (needed > __atomic_load_n(&target->MaximumLength, __ATOMIC_RELAXED)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    WriteBytes(buffer, data.data(), bytes);
    uint16_t zero = 0;
    WriteBytes((uint8_t *)buffer + bytes, &zero, sizeof zero);
    __atomic_store_n(&target->Length, (USHORT)bytes, __ATOMIC_RELAXED);
    return STATUS_SUCCESS;
}

NTSTATUS StoreDirect(void *entryContext, ULONG type, const std::vector<uint8_t> &data)
{
    if (!entryContext)
        return STATUS_INVALID_PARAMETER;
    if (IsString(type))
        return StoreDirectString(entryContext, type, data);
    if (data.size() <= sizeof(ULONG)) {
        WriteBytes(entryContext, data.data(), data.size());
        return STATUS_SUCCESS;
    }
    LONG size = ReadTargetSize(entryContext);
    if (size < 0) {
        if (data.size() > (size_t)(-(int64_t)size))
            return STATUS_BUFFER_TOO_SMALL;
        WriteBytes(entryContext, data.data(), data.size());
        return STATUS_SUCCESS;
    }
    if (data.size() + 2 * sizeof(ULONG) > (size_t)size)
        return STATUS_BUFFER_TOO_SMALL;
    ULONG header[2] = {(ULONG)data.size(), type};
    WriteBytes(entryContext, header, sizeof header);
    WriteBytes((uint8_t *)entryContext + sizeof header, data.data(), data.size());
    return STATUS_SUCCESS;
}

NTSTATUS CallRoutine(const RTL_QUERY_REGISTRY_TABLE &entry, PWSTR name, ULONG type,
                     const std::vector<uint8_t> &data, PVOID context)
{
    // The routine gets its own copy of the data; a zero-length value still
    // gets a valid pointer.
    std::vector<uint8_t> copy(data);
    uint8_t empty[2] = {0, 0};
    void *pointer = copy.empty() ? (void *)empty : (void *)copy.data();
    CallOut call;
    return entry.QueryRoutine(name, type, pointer, (ULONG)copy.size(), context, entry.EntryContext);
}

// Hands one value (or default) to the entry: the query routine, or the
// direct target.
NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE &entry, PWSTR name, ULONG type,
                 const std::vector<uint8_t> &data, PVOID context)
{
    bool noExpand = entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND;
    if (entry.Flags & RTL_QUERY_REGISTRY_DIRECT)
        return StoreDirect(entry.EntryContext, type, data);
    if (type == REG_EXPAND_SZ && !noExpand)
        return CallRoutine(entry, name, REG_SZ, data, context); // expansion is identity
    if (type == REG_MULTI_SZ && !noExpand) {
        // One call for each string, as REG_SZ with its terminator.
        size_t chars = data.size() / 2;
        size_t start = 0;
        for (size_t i = 0; i < chars; ++i) {
            char16_t c = (char16_t)(data[2 * i] | data[2 * i + 1] << 8);
            if (c != 0)
                continue;
            if (i == start)
                break; // the empty string that ends the list
            std::vector<uint8_t> one(data.begin() + 2 * start, data.begin() + 2 * (i + 1));
            NTSTATUS status = CallRoutine(entry, name, REG_SZ, one, context);
            if (!NT_SUCCESS(status))
                return status;
            start = i + 1;
        }
        return STATUS_SUCCESS;
    }
    return CallRoutine(entry, name, type, data, context);
}

std::vector<uint8_t> DefaultData(ULONG type, const RTL_QUERY_REGISTRY_TABLE &entry)
{
    const uint8_t *data = (const uint8_t *)entry.DefaultData;
    size_t length = entry.DefaultLength;
    if (length == 0 && (type == REG_SZ || type == REG_EXPAND_SZ)) {
        length = (ReadWideText((const WCHAR *)data).size() + 1) * sizeof(WCHAR);
    } else if (length == 0 && type == REG_MULTI_SZ) {
        const WCHAR *text = (const WCHAR *)data;
        size_t chars = 0;
        while (text[chars] || text[chars + 1])
            ++chars;
        length = (chars + 2) * sizeof(WCHAR);
    }
    std::vector<uint8_t> bytes(length);
    ReadBytes(bytes.data(), data, length);
    return bytes;
}

struct TableEntryView {
    RTL_QUERY_REGISTRY_TABLE Entry;
    std::u16string Name;
};

NTSTATUS RunQuery(ULONG relativeTo, const std::u16string &path,
                  const std::vector<TableEntryView> &entries, PVOID context)
{
    Kernel *k = K;
    std::vector<std::pair<std::u16string, std::pair<ULONG, std::vector<uint8_t>>>> snapshot;
    {
        Guard guard;
        if ((relativeTo & RelativeToMask) != RTL_REGISTRY_ABSOLUTE || !ValidKeyPath(path))
            return STATUS_INVALID_PARAMETER;
        if (k->FailReads) {
            k->FailReads--;
            return k->FailReadsStatus;
        }
        for (const TableEntryView &view : entries)
            if (view.Entry.Name)
                if (const ValueFault *fault = MatchFault(k->FailValueReads, view.Name))
                    return fault->Status;
        RegistryKey *key = FindKey(path);
        if (!key)
            return (relativeTo & RTL_REGISTRY_OPTIONAL) ? STATUS_SUCCESS
                                                        : STATUS_OBJECT_NAME_NOT_FOUND;
        // The values as they stand when the query begins; the routines may
        // change the registry meanwhile.
        for (const RegistryValue &value : key->Values)
            snapshot.push_back({value.Name, {value.Value.Type, value.Value.Data}});
    }
    for (const TableEntryView &view : entries) {
        const RTL_QUERY_REGISTRY_TABLE &entry = view.Entry;
        bool direct = entry.Flags & RTL_QUERY_REGISTRY_DIRECT;
        if (!entry.Name) {
            if (direct)
                return STATUS_INVALID_PARAMETER;
            for (auto &[name, value] : snapshot) {
                std::u16string terminated = name;
                NTSTATUS status =
                    Deliver(entry, (PWSTR)terminated.c_str(), value.first, value.second, context);
                if (!NT_SUCCESS(status))
                    return status;
            }
            continue;
        }
        ULONG defaultType = entry.DefaultType;
        ULONG expected = REG_NONE;
        bool typeCheck = entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK;
        if (typeCheck) {
            expected = defaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
            defaultType &= 0x00FFFFFF;
        }
        const std::pair<ULONG, std::vector<uint8_t>> *found = nullptr;
        for (auto &[name, value] : snapshot)
            if (SameName(name, view.Name)) {
                found = &value;
                break;
            }
        NTSTATUS status = STATUS_SUCCESS;
        if (found) {
            if (typeCheck && found->first != expected)
                return STATUS_OBJECT_TYPE_MISMATCH;
            status = Deliver(entry, entry.Name, found->first, found->second, context);
        } else if (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        } else if (defaultType != REG_NONE && entry.DefaultData) {
            status =
                Deliver(entry, entry.Name, defaultType, DefaultData(defaultType, entry), context);
        }
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

} // namespace

RegistryKey *FindKey(std::u16string_view path)
{
    Kernel *k = K;
    if (k->LastKey && path == k->LastPath)
        return k->LastKey;
    auto found = k->Keys.find(KeyId(path));
    if (found == k->Keys.end())
        return nullptr;
    k->LastPath = path;
    k->LastKey = &found->second;
    return k->LastKey;
}

} // namespace sim::detail

using namespace sim;
using namespace sim::detail;

namespace sim
{

bool CreateKey(std::string_view path)
{
    HarnessEntry();
    Guard guard;
    std::u16string wide = Widen(path);
    while (wide.size() > 1 && wide.back() == u'\\')
        wide.pop_back();
    if (!ValidKeyPath(wide))
        return false;
    K->LastKey = nullptr;
    for (size_t i = 1; i <= wide.size(); ++i) {
        if (i != wide.size() && wide[i] != u'\\')
            continue;
        std::u16string prefix = wide.substr(0, i);
        std::u16string id = KeyId(prefix);
        if (!K->Keys.count(id))
            K->Keys.emplace(id, RegistryKey{prefix, {}});
    }
    return true;
}

bool DeleteKey(std::string_view path)
{
    HarnessEntry();
    Guard guard;
    std::u16string id = KeyId(Widen(path));
    K->LastKey = nullptr;
    if (!K->Keys.erase(id))
        return false;
    std::u16string prefix = id + u"\\";
    for (auto it = K->Keys.begin(); it != K->Keys.end();)
        it = it->first.compare(0, prefix.size(), prefix) == 0 ? K->Keys.erase(it) : std::next(it);
    return true;
}

bool KeyExists(std::string_view path)
{
    HarnessEntry();
    Guard guard;
    return FindKey(Widen(path)) != nullptr;
}

bool SetValue(std::string_view path, std::string_view name, ULONG type,
              std::span<const uint8_t> data)
{
    HarnessEntry();
    Guard guard;
    RegistryKey *key = FindKey(Widen(path));
    if (!key)
        return false;
    std::u16string wideName = Widen(name);
    RegistryValue *value = FindValue(key, wideName);
    if (!value) {
        key->Values.push_back(RegistryValue{wideName, {}});
        value = &key->Values.back();
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
    RegistryKey *key = FindKey(Widen(path));
    if (!key)
        return false;
    std::u16string wideName = Widen(name);
    for (auto it = key->Values.begin(); it != key->Values.end(); ++it)
        if (SameName(it->Name, wideName)) {
            key->Values.erase(it);
            return true;
        }
    return false;
}

std::optional<RegValue> GetValue(std::string_view path, std::string_view name)
{
    HarnessEntry();
    Guard guard;
    RegistryKey *key = FindKey(Widen(path));
    if (!key)
        return std::nullopt;
    RegistryValue *value = FindValue(key, Widen(name));
    if (!value)
        return std::nullopt;
    return value->Value;
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
    K->FailValueWrites.push_back(ValueFault{Upcase(Widen(name)), status});
}

void FailRegistryValueReads(std::string_view name, NTSTATUS status)
{
    HarnessEntry();
    Guard guard;
    K->FailValueReads.push_back(ValueFault{Upcase(Widen(name)), status});
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

uint64_t RegistryQueryCount()
{
    HarnessEntry();
    Guard guard;
    return K->RegQueryCount;
}

} // namespace sim

extern "C" {

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength)
{
    EnsureKernel();
    Kernel *k = K;
    Guard guard;
    KIRQL irql = CurrentThread()->Irql;
    if (irql != PASSIVE_LEVEL)
        Violate("RtlWriteRegistryValue at IRQL " + std::to_string(irql));
    std::u16string path = ReadWideText(Path);
    std::u16string name = ReadWideText(ValueName);
    std::vector<uint8_t> data(ValueData ? ValueLength : 0);
    ReadBytes(data.data(), ValueData, data.size());

    NTSTATUS status = STATUS_SUCCESS;
    if ((RelativeTo & RelativeToMask) != RTL_REGISTRY_ABSOLUTE || !Path || !ValidKeyPath(path) ||
        (!ValueData && ValueLength)) {
        status = STATUS_INVALID_PARAMETER;
    } else if (k->FailWrites) {
        k->FailWrites--;
        status = k->FailWritesStatus;
    } else if (const ValueFault *fault = MatchFault(k->FailValueWrites, name)) {
        status = fault->Status;
    } else if (RegistryKey *key = FindKey(path)) {
        RegistryValue *value = FindValue(key, name);
        if (!value) {
            key->Values.push_back(RegistryValue{name, {}});
            value = &key->Values.back();
        }
        value->Value.Type = ValueType;
        value->Value.Data = data;
    } else {
        status = STATUS_OBJECT_NAME_NOT_FOUND;
    }

    k->RegWriteCount++;
    bool record = k->Opt.RecordRegistry;
    bool trace = Tracing();
    if (record || trace) {
        if (path != k->LastNarrowedPath) {
            k->LastNarrowedPath = path;
            k->LastNarrowed = Narrow(path);
        }
        std::string keyText = k->LastNarrowed;
        std::string nameText = Narrow(name);
        int64_t now = CurrentTime();
        if (record)
            k->RegWrites.push_back(RegWrite{now, keyText, nameText, ValueType, data, status});
        if (trace) {
            TraceEvent event = NewEvent(now, TraceKind::Reg);
            event.Status = status;
            event.Ok = NT_SUCCESS(status);
            event.Code = ValueType;
            event.Text = std::move(keyText);
            event.Name = std::move(nameText);
            event.Data = std::move(data);
            Emit(std::move(event));
        }
    }
    return status;
}

NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                PVOID Context, PVOID Environment)
{
    (void)Environment;
    EnsureKernel();
    Kernel *k = K;
    std::u16string path;
    std::vector<TableEntryView> entries;
    {
        Guard guard;
        KIRQL irql = CurrentThread()->Irql;
        if (irql != PASSIVE_LEVEL)
            Violate("RtlQueryRegistryValues at IRQL " + std::to_string(irql));
        path = ReadWideText(Path);
        // The table as it stands at the call; it ends at the first entry
        // with neither a query routine nor the direct flag.
        for (size_t i = 0; QueryTable && i < MaxTableEntries; ++i) {
            RTL_QUERY_REGISTRY_TABLE entry;
            ReadBytes(&entry, &QueryTable[i], sizeof entry);
            if (!entry.QueryRoutine && !(entry.Flags & RTL_QUERY_REGISTRY_DIRECT))
                break;
            entries.push_back(TableEntryView{entry, ReadWideText(entry.Name)});
        }
    }
    NTSTATUS status = (!Path || !QueryTable) ? STATUS_INVALID_PARAMETER
                                             : RunQuery(RelativeTo, path, entries, Context);
    Guard guard;
    k->RegQueryCount++;
    if (k->Opt.RecordRegistry) {
        RegQuery query{CurrentTime(), RelativeTo, Narrow(path), {}, status};
        for (const TableEntryView &view : entries)
            query.Names.push_back(Narrow(view.Name));
        k->RegQueries.push_back(std::move(query));
    }
    return status;
}

} // extern "C"
