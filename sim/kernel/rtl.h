// Names and text (kernel/rtl.cpp): the platform's upcasing, widening and
// narrowing, and reads of the driver's texts and memory.

#ifndef KVR_SIM_KERNEL_RTL_H
#define KVR_SIM_KERNEL_RTL_H

#include <cstring>
#include <string>
#include <string_view>

#include "sim.h"

namespace sim::detail
{

// The platform's upcasing: ASCII and the Latin-1 letters.
inline char16_t UpcaseChar(char16_t c)
{
    if (c >= u'a' && c <= u'z')
        return (char16_t)(c - 32);
    if (c < 0xE0)
        return c;
    // Latin-1 small letters, as the platform's upcase table has them.
    if (c <= 0xFE && c != 0xF7)
        return (char16_t)(c - 32);
    if (c == 0xFF)
        return 0x178;
    return c;
}
std::u16string Upcase(std::u16string_view text);
std::u16string Widen(std::string_view text);
// Upcase(Widen(text)) and Narrow(Upcase(Widen(text))), made in one string.
std::u16string UpcaseWide(std::string_view text);
std::string UpcaseNarrow(std::string_view text);
std::string Narrow(std::u16string_view text); // NarrowInto: kernel/text_steps.h
// The characters of a zero-terminated wide text before its terminator, at
// most maxChars; a null pointer has none.
size_t WideLength(const WCHAR *text, size_t maxChars = 32767);
// Reads a zero-terminated wide text of at most maxChars characters, byte by
// byte with relaxed loads; a null pointer gives an empty text.
std::u16string ReadWideText(const WCHAR *text, size_t maxChars = 32767);
// The same into a buffer the caller keeps (its storage is reused).
void ReadWideTextInto(std::u16string &out, const WCHAR *text, size_t maxChars = 32767);
// Equal texts, compared as bytes.
inline bool SameText(std::u16string_view a, std::u16string_view b)
{
    return a.size() == b.size() &&
           (a.empty() || memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0);
}
// Copies a text (which must not lie in the buffer) into a buffer kept for
// reuse: a size and a copy, its storage growing only when too small.
inline void AssignText(std::u16string &to, std::u16string_view text)
{
    to.resize(text.size());
    if (!text.empty())
        memcpy(to.data(), text.data(), text.size() * sizeof(char16_t));
}
// Reads a counted string's characters (null buffer or zero length: empty).
std::u16string ReadCounted(const UNICODE_STRING *string);
void ReadBytes(void *destination, const void *source, size_t length);
void WriteBytes(void *destination, const void *source, size_t length);

} // namespace sim::detail

#endif // KVR_SIM_KERNEL_RTL_H
