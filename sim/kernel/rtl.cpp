// Run-time library routines and the kernel's own text routines.
//
// Memory that belongs to the driver may be written by another context while
// the kernel reads it (the published records, reply buffers), so the kernel
// reads and writes it one byte at a time with relaxed atomic accesses, the
// way the driver's own shared fields are accessed.

#include "record.h"
#include "kernel/text_steps.h"

namespace sim::detail
{

std::u16string Upcase(std::u16string_view text)
{
    std::u16string upper(text);
    for (char16_t &c : upper)
        c = UpcaseChar(c);
    return upper;
}

std::u16string Widen(std::string_view text)
{
    std::u16string wide;
    wide.reserve(text.size());
    for (unsigned char c : text)
        wide.push_back((char16_t)c);
    return wide;
}

std::u16string UpcaseWide(std::string_view text)
{
    std::u16string upper(text.size(), u'\0');
    for (size_t i = 0; i < text.size(); ++i)
        upper[i] = UpcaseChar((char16_t)(unsigned char)text[i]);
    return upper;
}

std::string UpcaseNarrow(std::string_view text)
{
    std::string upper(text.size(), '\0');
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t c = UpcaseChar((char16_t)(unsigned char)text[i]);
        upper[i] = c < 0x100 ? (char)c : '?';
    }
    return upper;
}

std::string Narrow(std::u16string_view text)
{
    std::string narrow;
    NarrowInto(narrow, text);
    return narrow;
}

size_t WideLength(const WCHAR *text, size_t maxChars)
{
    if (!text)
        return 0;
#if defined(__SSE2__) && !defined(KVR_SIM_ASAN) && !defined(KVR_SIM_TSAN)
    // Where plain reads are allowed, a block at a time (text_steps.h).
    if (PlainReads() && ((uintptr_t)text & 1) == 0)
        return WideLengthInBlocks(text, maxChars);
#endif
    // Four characters a step, none read past the terminator.
    size_t length = 0;
    for (; length + 4 <= maxChars; length += 4) {
        if (!__atomic_load_n(&text[length], __ATOMIC_RELAXED))
            return length;
        if (!__atomic_load_n(&text[length + 1], __ATOMIC_RELAXED))
            return length + 1;
        if (!__atomic_load_n(&text[length + 2], __ATOMIC_RELAXED))
            return length + 2;
        if (!__atomic_load_n(&text[length + 3], __ATOMIC_RELAXED))
            return length + 3;
    }
    while (length < maxChars && __atomic_load_n(&text[length], __ATOMIC_RELAXED) != 0)
        ++length;
    return length;
}

std::u16string ReadWideText(const WCHAR *text, size_t maxChars)
{
    if (!text)
        return std::u16string();
    size_t length = WideLength(text, maxChars);
    std::u16string result(length, u'\0');
    for (size_t i = 0; i < length; ++i)
        result[i] = __atomic_load_n(&text[i], __ATOMIC_RELAXED);
    return result;
}

void ReadWideTextInto(std::u16string &out, const WCHAR *text, size_t maxChars)
{
    if (text && PlainReads()) {
        AssignText(out, std::u16string_view(text, WideLength(text, maxChars)));
        return;
    }
    // A short text (a value name) in one pass through a local buffer.
    char16_t local[64];
    size_t length = 0;
    if (text)
        for (; length < sizeof local / sizeof local[0] && length < maxChars; ++length) {
            local[length] = __atomic_load_n(&text[length], __ATOMIC_RELAXED);
            if (local[length] == 0) {
                out.assign(local, length);
                return;
            }
        }
    if (text)
        while (length < maxChars && __atomic_load_n(&text[length], __ATOMIC_RELAXED) != 0)
            ++length;
    out.resize(length);
    char16_t *to = out.data();
    for (size_t i = 0; i < length; ++i)
        to[i] = __atomic_load_n(&text[i], __ATOMIC_RELAXED);
}

std::u16string ReadCounted(const UNICODE_STRING *string)
{
    std::u16string result;
    if (!string || !string->Buffer)
        return result;
    size_t chars = string->Length / sizeof(WCHAR);
    result.resize(chars);
    for (size_t i = 0; i < chars; ++i)
        result[i] = __atomic_load_n(&string->Buffer[i], __ATOMIC_RELAXED);
    return result;
}

void ReadBytes(void *destination, const void *source, size_t length)
{
    if (PlainReads()) {
        if (length)
            memcpy(destination, source, length);
        return;
    }
    uint8_t *to = (uint8_t *)destination;
    const uint8_t *from = (const uint8_t *)source;
    for (size_t i = 0; i < length; ++i)
        to[i] = __atomic_load_n(&from[i], __ATOMIC_RELAXED);
}

void WriteBytes(void *destination, const void *source, size_t length)
{
    uint8_t *to = (uint8_t *)destination;
    const uint8_t *from = (const uint8_t *)source;
    for (size_t i = 0; i < length; ++i)
        __atomic_store_n(&to[i], from[i], __ATOMIC_RELAXED);
}

} // namespace sim::detail

using namespace sim;
using namespace sim::detail;

extern "C" {

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    EnsureKernelForThread();
    KVR_SIM_CHECK_CALLER("RtlInitUnicodeString");
    if (CurrentThread()->Irql > DISPATCH_LEVEL) {
        Guard guard;
        Violate("RtlInitUnicodeString above DISPATCH_LEVEL");
    }
    size_t length = WideLength(SourceString, SIZE_MAX);
    size_t bytes = length * sizeof(WCHAR);
    if (bytes > 0xFFFC)
        bytes = 0xFFFC;
    DestinationString->Length = (USHORT)bytes;
    DestinationString->MaximumLength = SourceString ? (USHORT)(bytes + sizeof(WCHAR)) : 0;
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

void RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString)
{
    EnsureKernelForThread();
    KVR_SIM_CHECK_CALLER("RtlInitAnsiString");
    if (CurrentThread()->Irql > DISPATCH_LEVEL) {
        Guard guard;
        Violate("RtlInitAnsiString above DISPATCH_LEVEL");
    }
    size_t length = SourceString ? strlen(SourceString) : 0;
    if (length > 0xFFFE)
        length = 0xFFFE;
    DestinationString->Length = (USHORT)length;
    DestinationString->MaximumLength = SourceString ? (USHORT)(length + 1) : 0;
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

LONG RtlCompareString(const STRING *String1, const STRING *String2, BOOLEAN CaseInSensitive)
{
    EnsureKernelForThread();
    KVR_SIM_CHECK_CALLER("RtlCompareString");
    if (CurrentThread()->Irql != PASSIVE_LEVEL) {
        Guard guard;
        Violate("RtlCompareString at IRQL " + std::to_string(CurrentThread()->Irql));
    }
    USHORT length1 = String1->Length;
    USHORT length2 = String2->Length;
    USHORT common = length1 < length2 ? length1 : length2;
    for (USHORT i = 0; i < common; ++i) {
        UCHAR c1 = (UCHAR)__atomic_load_n(&String1->Buffer[i], __ATOMIC_RELAXED);
        UCHAR c2 = (UCHAR)__atomic_load_n(&String2->Buffer[i], __ATOMIC_RELAXED);
        if (CaseInSensitive) {
            // The platform's RtlUpperChar, for the ASCII letters.
            if (c1 >= 'a' && c1 <= 'z')
                c1 = (UCHAR)(c1 - 32);
            if (c2 >= 'a' && c2 <= 'z')
                c2 = (UCHAR)(c2 - 32);
        }
        if (c1 != c2)
            return (LONG)c1 - (LONG)c2;
    }
    return (LONG)length1 - (LONG)length2;
}

SIZE_T RtlCompareMemory(const void *Source1, const void *Source2, SIZE_T Length)
{
    EnsureKernelForThread();
    KVR_SIM_CHECK_CALLER("RtlCompareMemory");
    const UCHAR *a = (const UCHAR *)Source1;
    const UCHAR *b = (const UCHAR *)Source2;
    SIZE_T i = 0;
    if (PlainReads())
        i = EqualLeadingWords(a, b, Length);
    while (i < Length &&
           __atomic_load_n(&a[i], __ATOMIC_RELAXED) == __atomic_load_n(&b[i], __ATOMIC_RELAXED))
        ++i;
    return i;
}

} // extern "C"
