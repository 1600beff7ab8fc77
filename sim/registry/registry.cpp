// The registry: keys and typed values in memory under \Registry\Machine,
// RtlWriteRegistryValue and RtlQueryRegistryValues.
//
// Key paths and value names are compared without regard to case, with the
// platform's upcasing (ASCII and the Latin-1 letters). Direct queries
// (RTL_QUERY_REGISTRY_DIRECT) store into the caller's target exactly as the
// platform does, including its buffer-size rule for values longer than four
// bytes, which reads a signed LONG out of the target before it writes.

#include "record.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sim::detail
{

namespace
{

// What the interleaving explorer orders registry calls by: the registry is
// one object.
const char RegistryObject = 0;

constexpr size_t MaxTableEntries = 1024;
constexpr ULONG RelativeToMask = 0x0000FFFF;

// Upcases a text in place, eight characters a step where all eight are
// ASCII (a key path's usual case): a lane from 'a' to 'z' loses 0x20.
void UpcaseText(char16_t *text, size_t length)
{
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i notAscii = _mm_set1_epi16((short)0xFF80);
    const __m128i beforeA = _mm_set1_epi16(u'a' - 1);
    const __m128i afterZ = _mm_set1_epi16(u'z' + 1);
    const __m128i caseBit = _mm_set1_epi16(0x20);
    // A text of eight or more ends with its last eight, overlapping those
    // before: upcasing twice changes nothing.
    auto eight = [&](size_t at) {
        __m128i chars = _mm_loadu_si128((const __m128i *)(text + at));
        __m128i ascii = _mm_cmpeq_epi16(_mm_and_si128(chars, notAscii), _mm_setzero_si128());
        if (_mm_movemask_epi8(ascii) != 0xFFFF) {
            for (size_t j = at; j < at + 8; ++j)
                text[j] = UpcaseChar(text[j]);
            return;
        }
        // Below 0x80 the signed comparisons are the unsigned ones.
        __m128i lower =
            _mm_and_si128(_mm_cmpgt_epi16(chars, beforeA), _mm_cmplt_epi16(chars, afterZ));
        _mm_storeu_si128((__m128i *)(text + at),
                         _mm_sub_epi16(chars, _mm_and_si128(lower, caseBit)));
    };
    for (; i + 8 <= length; i += 8)
        eight(i);
    if (i < length && length >= 8) {
        eight(length - 8);
        i = length;
    }
#endif
    for (; i < length; ++i)
        text[i] = UpcaseChar(text[i]);
}

// A key's look-up form: upcased, without trailing backslashes.
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

// A path starts with a backslash and has no two in a row.
bool ValidKeyPath(std::u16string_view path)
{
    if (path.empty() || path[0] != u'\\')
        return false;
    const char16_t *text = path.data();
    size_t length = path.size();
    bool after = false; // the character before the next one is a backslash
    size_t i = 0;
#if defined(__SSE2__)
    // Eight characters a step: two mask bits a character, set for a
    // backslash; a character and the next both set, or the first set after a
    // backslash ended the eight before, is two in a row.
    const __m128i backslash = _mm_set1_epi16(u'\\');
    auto eight = [&](size_t at) {
        __m128i chars = _mm_loadu_si128((const __m128i *)(text + at));
        unsigned hits = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi16(chars, backslash));
        bool twice = (hits & (hits >> 2)) || (after && (hits & 1));
        after = (hits >> 15) & 1;
        return !twice;
    };
    for (; i + 8 <= length; i += 8)
        if (!eight(i))
            return false;
    // A path of eight or more ends with its last eight, overlapping those
    // before: the pair before them lies in those checked already.
    if (i < length && length >= 8) {
        after = false;
        return eight(length - 8);
    }
#endif
    for (; i < length; ++i) {
        bool backslash = text[i] == u'\\';
        if (backslash && after)
            return false;
        after = backslash;
    }
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

// The value of that name in another case than first written (or none).
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

// The value of that name (in any case).
inline RegistryValue *FindNamedValue(RegistryKey *key, std::u16string_view name)
{
    // Names differ in more than case within a key: a name as first written
    // is the one match.
    for (RegistryValue &value : key->Values)
        if (value.Name.size() == name.size() && (name.empty() || value.Name[0] == name[0]) &&
            SameText(value.Name, name))
            return &value;
    return FindNamedValueInAnyCase(key, name);
}

// Values deleted, or of keys and kernels that are gone, kept with their
// storage (texts, data) for the next value made (never destroyed).
constexpr size_t SpareValueLimit = 64;

std::vector<RegistryValue> &SpareValues()
{
    static auto *spares = new std::vector<RegistryValue>;
    return *spares;
}

void KeepValue(RegistryValue &value)
{
    std::vector<RegistryValue> &spares = SpareValues();
    if (spares.size() < SpareValueLimit)
        spares.push_back(std::move(value));
}

// A new value of that name, typeless and empty until the caller stores it.
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

// Whether the zero-terminated text is the last path looked up (a well-formed
// one), read once with relaxed loads and never past its terminator.
bool IsLastPath(const WCHAR *text)
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

// Forgets the paths looked up, whenever a key is created or deleted.
void ForgetLookUps()
{
    K->LastKey = nullptr;
    K->OtherKey = nullptr;
}

// The key of the path (any case, trailing backslashes or not), remembered
// as the last one looked up; the one before it is remembered too. A caller
// that has found the path well-formed says so.
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

// Key records of kernels that are gone (and of keys deleted), by look-up
// form, for the next key of the same path: a key gets back the storage it
// had (its value list's capacity, its texts), so that a steady run of
// kernels allocates nothing for its keys. Never destroyed.
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

// Keeps a key's record (its values gone) for a later key of that path, or
// frees it.
void KeepKey(decltype(Kernel::Keys)::node_type record)
{
    for (RegistryValue &value : record.mapped().Values)
        KeepValue(value);
    record.mapped().Values.clear();
    decltype(Kernel::Keys) &spares = SpareKeys();
    if (spares.size() < SpareKeyLimit)
        spares.insert(std::move(record));
}

// A new key of that look-up form and path, in the storage it had before
// where there is some.
RegistryKey &AddKey(const std::u16string &id, std::u16string_view path)
{
    Kernel *k = K;
    decltype(Kernel::Keys)::node_type record = SpareKeys().extract(id);
    if (record.empty())
        return k->Keys.emplace(id, RegistryKey{std::u16string(path), {}}).first->second;
    record.mapped().Path.assign(path);
    return k->Keys.insert(std::move(record)).position->second;
}

void WidenInto(std::u16string &wide, std::string_view text)
{
    wide.resize(text.size());
    char16_t *out = wide.data();
    const char *in = text.data();
    size_t i = 0;
#if defined(__SSE2__)
    // Sixteen characters a step: each byte becomes the low byte of a lane.
    for (; i + 16 <= text.size(); i += 16) {
        __m128i bytes = _mm_loadu_si128((const __m128i *)(in + i));
        __m128i zero = _mm_setzero_si128();
        _mm_storeu_si128((__m128i *)(out + i), _mm_unpacklo_epi8(bytes, zero));
        _mm_storeu_si128((__m128i *)(out + i + 8), _mm_unpackhi_epi8(bytes, zero));
    }
    // Then eight, and the last eight (overlapping those before) of a text of
    // eight or more.
    if (i + 8 <= text.size()) {
        __m128i bytes = _mm_loadl_epi64((const __m128i *)(in + i));
        _mm_storeu_si128((__m128i *)(out + i), _mm_unpacklo_epi8(bytes, _mm_setzero_si128()));
        i += 8;
    }
    if (i < text.size() && text.size() >= 8) {
        size_t at = text.size() - 8;
        __m128i bytes = _mm_loadl_epi64((const __m128i *)(in + at));
        _mm_storeu_si128((__m128i *)(out + at), _mm_unpacklo_epi8(bytes, _mm_setzero_si128()));
        i = text.size();
    }
#endif
    for (; i < text.size(); ++i)
        out[i] = (char16_t)(unsigned char)in[i];
}

// A harness call's path and value name, widened into the kernel's buffers.
std::u16string_view HarnessPath(std::string_view path)
{
    // The harness mostly names the same few keys: the last path is widened
    // once.
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
    const std::u16string &path = frame.Path;
    std::span<QueryEntry> entries(frame.Entries.data(), frame.Count);
    // The values as they stand when the query begins (the routines may change
    // the registry meanwhile): those the named entries ask for, and every one
    // when an entry has no name.
    std::vector<std::pair<std::u16string, std::pair<ULONG, std::vector<uint8_t>>>> snapshot;
    {
        Guard guard;
        // The path of the usual run of calls on one key is the last one
        // looked up, already found well-formed.
        bool last = k->LastKey && k->LastPathValid && SameText(path, k->LastPath);
        if ((relativeTo & RelativeToMask) != RTL_REGISTRY_ABSOLUTE || !(last || ValidKeyPath(path)))
            return STATUS_INVALID_PARAMETER;
        if (k->FailReads) {
            k->FailReads--;
            return k->FailReadsStatus;
        }
        for (const QueryEntry &view : entries)
            if (view.Entry.Name)
                if (const ValueFault *fault = MatchFault(k->FailValueReads, view.Name))
                    return fault->Status;
        RegistryKey *key = last ? k->LastKey : LookUpKey(path, true);
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

void KeepRegistryStorage()
{
    Kernel *k = K;
    ForgetLookUps();
    while (!k->Keys.empty())
        KeepKey(k->Keys.extract(k->Keys.begin()));
}

RegistryKey *FindKey(std::u16string_view path)
{
    return LookUpKey(path, false);
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
    KeepKey(k->Keys.extract(found));
    // Its subkeys go with it.
    for (auto it = k->Keys.begin(); it != k->Keys.end();) {
        const std::u16string &other = it->first;
        if (other.size() > id.size() && other[id.size()] == u'\\' &&
            other.compare(0, id.size(), id) == 0)
            KeepKey(k->Keys.extract(it++));
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
            KeepValue(*it);
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
    // The path, the name and the data are read into the kernel's buffers; a
    // path equal to the last one looked up (the usual run of writes to one
    // key) is only compared with it.
    bool lastPath = IsLastPath(Path);
    if (!lastPath)
        ReadWideTextInto(k->PathText, Path);
    const std::u16string &path = lastPath ? k->LastPath : k->PathText;
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
    if ((RelativeTo & RelativeToMask) != RTL_REGISTRY_ABSOLUTE || !Path ||
        !(lastPath || ValidKeyPath(path)) || (!ValueData && ValueLength)) {
        status = STATUS_INVALID_PARAMETER;
    } else if (k->FailWrites) {
        k->FailWrites--;
        status = k->FailWritesStatus;
    } else if (const ValueFault *fault =
                   k->FailValueWrites.empty() ? nullptr : MatchFault(k->FailValueWrites, name)) {
        status = fault->Status;
    } else if (RegistryKey *key = lastPath ? k->LastKey : FindOrCreateLeaf(path)) {
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
        if (!SameText(path, k->LastNarrowedPath)) {
            k->LastNarrowedPath = path;
            k->LastNarrowed = Narrow(path);
        }
        int64_t now = CurrentTime();
        // The event is built in the kernel's reused record (the observer
        // sees it there; the log, when kept, gets a copy).
        TraceEvent &event = ReusedEvent(now, TraceKind::Reg);
        event.Status = status;
        event.Ok = NT_SUCCESS(status);
        event.Changed = changed;
        event.Code = ValueType;
        event.Text.assign(k->LastNarrowed);
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
