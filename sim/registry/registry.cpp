// The registry: keys and typed values in memory under \Registry\Machine,
// RtlWriteRegistryValue and RtlQueryRegistryValues.
//
// Key paths and value names are compared without regard to case, with the
// platform's upcasing (ASCII and the Latin-1 letters). Direct queries
// (RTL_QUERY_REGISTRY_DIRECT) store into the caller's target exactly as the
// platform does, including its buffer-size rule for values longer than four
// bytes, which reads a signed LONG out of the target before it writes.

#include "record.h"
#include "registry/registry_store.h"
#include "kernel/text_steps.h"

namespace sim::detail
{

// A path starts with a backslash and has no two in a row.
bool ValidKeyPath(std::u16string_view path)
{
    return !path.empty() && path[0] == u'\\' && !HasBackslashPair(path.data(), path.size());
}

// Names compare with the platform's upcasing.
bool SameName(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (UpcaseChar(a[i]) != UpcaseChar(b[i]))
            return false;
    return true;
}

namespace
{

// What the interleaving explorer orders registry calls by: the registry is
// one object.
const char RegistryObject = 0;

constexpr size_t MaxTableEntries = 1024;
constexpr ULONG RelativeToMask = 0x0000FFFF;

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

// The environment that REG_EXPAND_SZ references are expanded from: the
// caller's block ("NAME=value" strings, an empty one last), or the system
// process's own when it passes none.
std::vector<std::pair<std::u16string, std::u16string>> EnvironmentOf(PVOID environment)
{
    std::vector<std::pair<std::u16string, std::u16string>> list;
    auto add = [&](std::u16string_view entry) {
        size_t equals = entry.find(u'=', 1);
        if (equals != std::u16string_view::npos)
            list.emplace_back(Upcase(entry.substr(0, equals)), entry.substr(equals + 1));
    };
    if (environment) {
        const WCHAR *text = (const WCHAR *)environment;
        for (size_t guard = 0; guard < 4096; ++guard) {
            std::u16string entry = ReadWideText(text);
            if (entry.empty())
                break;
            add(entry);
            text += entry.size() + 1;
        }
    } else {
        for (const std::string &entry : K->Opt.SystemEnvironment)
            add(Widen(entry));
    }
    return list;
}

// %NAME% references replaced by their values; a name the environment does not
// have stays as written, as the platform's expansion leaves it.
std::vector<uint8_t> Expand(const std::vector<uint8_t> &data, PVOID environment)
{
    std::u16string text;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        char16_t c = (char16_t)(data[i] | data[i + 1] << 8);
        if (c == 0)
            break;
        text.push_back(c);
    }
    auto variables = EnvironmentOf(environment);
    std::u16string result;
    size_t at = 0;
    while (at < text.size()) {
        size_t open = text.find(u'%', at);
        size_t close = open == std::u16string::npos ? open : text.find(u'%', open + 1);
        if (close == std::u16string::npos) {
            result.append(text, at, std::u16string::npos);
            break;
        }
        result.append(text, at, open - at);
        std::u16string name = Upcase(std::u16string_view(text).substr(open + 1, close - open - 1));
        auto found = std::find_if(variables.begin(), variables.end(),
                                  [&](const auto &variable) { return variable.first == name; });
        if (found != variables.end()) {
            result += found->second;
            at = close + 1;
        } else {
            result.append(text, open, close - open);
            at = close; // the closing mark may open the next reference
        }
    }
    std::vector<uint8_t> bytes;
    for (char16_t c : result) {
        bytes.push_back((uint8_t)c);
        bytes.push_back((uint8_t)(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
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
    // The query goes on with the registry's next value.
    return CallDriverThen(
        [] {
            return Access{&RegistryObject, KernelCallPoint};
        },
        entry.QueryRoutine, name, type, pointer, (ULONG)copy.size(), context, entry.EntryContext);
}

// Hands one value (or default) to the entry: the query routine, or the
// direct target. A query routine's STATUS_BUFFER_TOO_SMALL is ignored, as the
// platform ignores it.
NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE &entry, PWSTR name, ULONG type,
                 const std::vector<uint8_t> &data, PVOID context, PVOID environment)
{
    bool noExpand = entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND;
    bool direct = entry.Flags & RTL_QUERY_REGISTRY_DIRECT;
    if (type == REG_EXPAND_SZ && !noExpand) {
        Guard guard;
        Violate("RtlQueryRegistryValues expanded the REG_EXPAND_SZ value " +
                Narrow(ReadWideText(name)) +
                " without RTL_QUERY_REGISTRY_NOEXPAND: kernel-mode callers must set it, the "
                "environment routines being unsafe for them");
    }
    if (direct && type == REG_MULTI_SZ && !noExpand) {
        Guard guard;
        Violate("RtlQueryRegistryValues stored the REG_MULTI_SZ value " +
                Narrow(ReadWideText(name)) +
                " directly without RTL_QUERY_REGISTRY_NOEXPAND, which that type requires");
    }
    if (direct) {
        if (type == REG_EXPAND_SZ && !noExpand)
            return StoreDirect(entry.EntryContext, REG_SZ, Expand(data, environment));
        return StoreDirect(entry.EntryContext, type, data);
    }
    auto call = [&](ULONG delivered, const std::vector<uint8_t> &bytes) {
        NTSTATUS status = CallRoutine(entry, name, delivered, bytes, context);
        return status == STATUS_BUFFER_TOO_SMALL ? STATUS_SUCCESS : status;
    };
    if (type == REG_EXPAND_SZ && !noExpand)
        return call(REG_SZ, Expand(data, environment));
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
            NTSTATUS status = call(REG_SZ, one);
            if (!NT_SUCCESS(status))
                return status;
            start = i + 1;
        }
        return STATUS_SUCCESS;
    }
    return call(type, data);
}

// The default as the platform reads it. A string default with DefaultLength 0
// is measured from DefaultData; with DefaultData null that read (or any read
// of a non-zero length) goes to address 0, and the system stops.
bool ReadsNullDefault(ULONG type, const RTL_QUERY_REGISTRY_TABLE &entry)
{
    if (entry.DefaultData)
        return false;
    return entry.DefaultLength != 0 || IsString(type);
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

// Takes the calling thread's query storage for one call (calls nest when a
// query routine queries again).
class FrameUse
{
  public:
    FrameUse() : Context(CurrentThread())
    {
        std::vector<std::unique_ptr<QueryFrame>> &frames = Context->QueryFrames;
        if (frames.size() <= Context->QueryDepth)
            frames.push_back(std::make_unique<QueryFrame>());
        Frame = frames[Context->QueryDepth++].get();
        Frame->Count = 0;
    }
    ~FrameUse() { Context->QueryDepth--; }
    FrameUse(const FrameUse &) = delete;
    FrameUse &operator=(const FrameUse &) = delete;
    QueryFrame &operator*() const { return *Frame; }

  private:
    Thread *Context;
    QueryFrame *Frame;
};

NTSTATUS RunQuery(ULONG relativeTo, QueryFrame &frame, PVOID context, PVOID environment)
{
    Kernel *k = K;
    std::span<QueryEntry> entries(frame.Entries.data(), frame.Count);
    // The values as they stand when the query begins (the routines may change
    // the registry meanwhile): those the named entries ask for, and every one
    // when an entry has no name.
    std::vector<std::pair<std::u16string, std::pair<ULONG, std::vector<uint8_t>>>> snapshot;
    {
        Guard guard;
        KeyPath path = RecallKeyPath(frame.Path);
        if ((relativeTo & RelativeToMask) != RTL_REGISTRY_ABSOLUTE || !WellFormed(path))
            return STATUS_INVALID_PARAMETER;
        if (k->FailReads) {
            k->FailReads--;
            return k->FailReadsStatus;
        }
        for (const QueryEntry &view : entries)
            if (view.Entry.Name)
                if (const ValueFault *fault = MatchFault(k->FailValueReads, view.Name))
                    return fault->Status;
        RegistryKey *key = FindKey(path);
        if (!key)
            return (relativeTo & RTL_REGISTRY_OPTIONAL) ? STATUS_SUCCESS
                                                        : STATUS_OBJECT_NAME_NOT_FOUND;
        bool all = false;
        for (QueryEntry &view : entries) {
            if (!view.Entry.Name) {
                all = true;
                continue;
            }
            const RegistryValue *value = FindNamedValue(key, view.Name);
            view.Found = value != nullptr;
            if (value) {
                view.Type = value->Value.Type;
                view.Data.assign(value->Value.Data.begin(), value->Value.Data.end());
            }
        }
        if (all)
            for (const RegistryValue &value : key->Values)
                snapshot.push_back({value.Name, {value.Value.Type, value.Value.Data}});
    }
    for (const QueryEntry &view : entries) {
        const RTL_QUERY_REGISTRY_TABLE &entry = view.Entry;
        bool direct = entry.Flags & RTL_QUERY_REGISTRY_DIRECT;
        if (!entry.Name) {
            if (direct)
                return STATUS_INVALID_PARAMETER;
            for (auto &[name, value] : snapshot) {
                std::u16string terminated = name;
                NTSTATUS status = Deliver(entry, (PWSTR)terminated.c_str(), value.first,
                                          value.second, context, environment);
                if (!NT_SUCCESS(status))
                    return status;
            }
            continue;
        }
        // The default type is the member's low byte; with the type check the
        // high byte is the expected type. Vista and 7 know the check only
        // with the update that adds it, and ignore the flag without it.
        ULONG defaultType = entry.DefaultType & 0xFF;
        ULONG expected = entry.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
        bool typeCheck =
            (entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) && K->Opt.RegistryTypecheckUpdate;
        NTSTATUS status = STATUS_SUCCESS;
        if (view.Found) {
            if (typeCheck && view.Type != expected)
                return STATUS_OBJECT_TYPE_MISMATCH;
            status = Deliver(entry, entry.Name, view.Type, view.Data, context, environment);
        } else if (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        } else if (defaultType != REG_NONE && ReadsNullDefault(defaultType, entry)) {
            Guard guard;
            Violate("RtlQueryRegistryValues read the default of " + Narrow(view.Name) + " (type " +
                    std::to_string(defaultType) +
                    ") through a null DefaultData: DefaultData is ignored only with DefaultType "
                    "REG_NONE; the system stops " +
                    OnTarget());
            return StatusAccessViolation;
        } else if (defaultType != REG_NONE) {
            status = Deliver(entry, entry.Name, defaultType, DefaultData(defaultType, entry),
                             context, environment);
        }
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

} // namespace

// The key of the path; a missing key is created when its parent exists, as
// RtlWriteRegistryValue does (the new key must be a direct subkey of an
// existing one).
RegistryKey *FindOrCreateLeaf(std::u16string_view path)
{
    if (RegistryKey *key = FindKey(path))
        return key;
    std::u16string_view trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == u'\\')
        trimmed.remove_suffix(1);
    size_t slash = trimmed.rfind(u'\\');
    if (slash == 0 || slash == std::u16string::npos || !FindKey(trimmed.substr(0, slash)))
        return nullptr;
    ForgetLookUps();
    KeyIdInto(K->KeyIdText, trimmed);
    return &AddKey(K->KeyIdText, trimmed);
}

} // namespace sim::detail

using namespace sim;
using namespace sim::detail;

extern "C" {

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength)
{
    EnsureKernelFor(&RegistryObject);
    KVR_SIM_CHECK_CALLER("RtlWriteRegistryValue");
    Kernel *k = K;
    Guard guard;
    KIRQL irql = CurrentThread()->Irql;
    if (irql != PASSIVE_LEVEL)
        Violate("RtlWriteRegistryValue at IRQL " + std::to_string(irql));
    // The path, the name and the data are read into the kernel's buffers.
    KeyPath path = ReadKeyPath(Path);
    // Where plain reads are allowed the name is used where it lies.
    std::u16string_view name;
    if (PlainReads() && ValueName) {
        name = std::u16string_view(ValueName, WideLength(ValueName));
    } else {
        ReadWideTextInto(k->NameText, ValueName);
        name = k->NameText;
    }
    std::span<const uint8_t> data;
    if (PlainReads()) {
        data = std::span<const uint8_t>((const uint8_t *)ValueData, ValueData ? ValueLength : 0);
    } else {
        k->DataBytes.resize(ValueData ? ValueLength : 0);
        ReadBytes(k->DataBytes.data(), ValueData, k->DataBytes.size());
        data = k->DataBytes;
    }

    NTSTATUS status = STATUS_SUCCESS;
    bool changed = false;
    if ((RelativeTo & RelativeToMask) != RTL_REGISTRY_ABSOLUTE || !Path || !WellFormed(path) ||
        (!ValueData && ValueLength)) {
        status = STATUS_INVALID_PARAMETER;
    } else if (k->FailWrites) {
        k->FailWrites--;
        status = k->FailWritesStatus;
    } else if (const ValueFault *fault =
                   k->FailValueWrites.empty() ? nullptr : MatchFault(k->FailValueWrites, name)) {
        status = fault->Status;
    } else if (RegistryKey *key = FindOrCreateLeaf(path)) {
        RegistryValue *value = FindNamedValue(key, name);
        if (!value) {
            UpcaseInto(k->UpperText, name);
            value = AddValue(key, name, k->UpperText);
            changed = true;
        }
        std::vector<uint8_t> &stored = value->Value.Data;
        changed = changed || value->Value.Type != ValueType || stored.size() != data.size() ||
                  (!data.empty() && memcmp(stored.data(), data.data(), data.size()) != 0);
        value->Value.Type = ValueType;
        if (stored.size() != data.size()) // the usual write keeps the size
            stored.resize(data.size());
        if (!data.empty())
            memcpy(stored.data(), data.data(), data.size());
    } else {
        status = STATUS_OBJECT_NAME_NOT_FOUND;
    }

    k->RegWriteCount++;
    ++(!NT_SUCCESS(status) ? k->RegOutcomes.Refused
       : changed           ? k->RegOutcomes.Changes
                           : k->RegOutcomes.Rewrites);
    bool record = k->Opt.RecordRegistry;
    bool trace = Tracing();
    if (record || trace) {
        int64_t now = CurrentTime();
        // The event is built in the kernel's reused record (the observer
        // sees it there; the log, when kept, gets a copy).
        TraceEvent &event = ReusedEvent(now, TraceKind::Reg);
        event.Status = status;
        event.Ok = NT_SUCCESS(status);
        event.Changed = changed;
        event.Code = ValueType;
        event.Text.assign(RecordedPath(path.Text));
        NarrowInto(event.Name, name);
        event.Data.assign(data.begin(), data.end());
        if (record)
            k->RegWrites.push_back(
                RegWrite{now, event.Text, event.Name, ValueType, event.Data, status});
        if (trace)
            EmitReused(event);
    }
    return status;
}

NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                PVOID Context, PVOID Environment)
{
    EnsureKernelFor(&RegistryObject);
    KVR_SIM_CHECK_CALLER("RtlQueryRegistryValues");
    Kernel *k = K;
    FrameUse use;
    QueryFrame &frame = *use;
    {
        Guard guard;
        KIRQL irql = CurrentThread()->Irql;
        if (irql != PASSIVE_LEVEL)
            Violate("RtlQueryRegistryValues at IRQL " + std::to_string(irql));
        ReadWideTextInto(frame.Path, Path);
        // The table as it stands at the call; it ends at the first entry
        // with neither a query routine nor the direct flag.
        for (size_t i = 0; QueryTable && i < MaxTableEntries; ++i) {
            RTL_QUERY_REGISTRY_TABLE entry;
            ReadBytes(&entry, &QueryTable[i], sizeof entry);
            if (!entry.QueryRoutine && !(entry.Flags & RTL_QUERY_REGISTRY_DIRECT))
                break;
            if (frame.Entries.size() <= frame.Count)
                frame.Entries.emplace_back();
            QueryEntry &view = frame.Entries[frame.Count++];
            view.Entry = entry;
            ReadWideTextInto(view.Name, entry.Name);
            view.Found = false;
        }
    }
    NTSTATUS status = (!Path || !QueryTable) ? STATUS_INVALID_PARAMETER
                                             : RunQuery(RelativeTo, frame, Context, Environment);
    Guard guard;
    k->RegQueryCount++;
    if (k->Opt.RecordRegistry) {
        RegQuery query{CurrentTime(), RelativeTo, Narrow(frame.Path), {}, status};
        for (size_t i = 0; i < frame.Count; ++i)
            query.Names.push_back(Narrow(frame.Entries[i].Name));
        k->RegQueries.push_back(std::move(query));
    }
    return status;
}

} // extern "C"
