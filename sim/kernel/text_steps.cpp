// The kernel's text steps (text_steps.h). Each routine's SSE2 part does the
// bulk of the text and its plain loop, which does the whole text without
// SSE2, the rest.

#include "kernel/text_steps.h"

#include "record.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sim::detail
{

void UpcaseText(char16_t *text, size_t length)
{
    size_t i = 0;
#if defined(__SSE2__)
    // A lane from 'a' to 'z' loses 0x20; eight with a character from 0x80 up
    // go through the plain upcasing.
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

bool HasBackslashPair(const char16_t *text, size_t length)
{
    bool after = false; // the character before the next one is a backslash
    size_t i = 0;
#if defined(__SSE2__)
    // Two mask bits a character, set for a backslash; a character and the
    // next both set, or the first set after a backslash ended the eight
    // before, is a pair.
    const __m128i backslash = _mm_set1_epi16(u'\\');
    auto eight = [&](size_t at) {
        __m128i chars = _mm_loadu_si128((const __m128i *)(text + at));
        unsigned hits = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi16(chars, backslash));
        bool pair = (hits & (hits >> 2)) || (after && (hits & 1));
        after = (hits >> 15) & 1;
        return pair;
    };
    for (; i + 8 <= length; i += 8)
        if (eight(i))
            return true;
    // A text of eight or more ends with its last eight, overlapping those
    // before: the pair before them lies in those checked already.
    if (i < length && length >= 8) {
        after = false;
        return eight(length - 8);
    }
#endif
    for (; i < length; ++i) {
        bool backslash = text[i] == u'\\';
        if (backslash && after)
            return true;
        after = backslash;
    }
    return false;
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

void NarrowInto(std::string &narrow, std::u16string_view text)
{
    narrow.resize(text.size());
    char *out = narrow.data();
    const char16_t *in = text.data();
    size_t i = 0;
#if defined(__SSE2__)
    // Eight characters a step while all eight are below 0x100, which the
    // saturating pack leaves as they are.
    // The last eight, overlapping those before, end a text of eight or more.
    auto eight = [&](size_t at) {
        __m128i chars = _mm_loadu_si128((const __m128i *)(in + at));
        __m128i high = _mm_and_si128(chars, _mm_set1_epi16((short)0xFF00));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) != 0xFFFF)
            return false;
        _mm_storel_epi64((__m128i *)(out + at), _mm_packus_epi16(chars, chars));
        return true;
    };
    for (; i + 8 <= text.size(); i += 8)
        if (!eight(i))
            break;
    if (i < text.size() && i + 8 > text.size() && text.size() >= 8 && eight(text.size() - 8))
        i = text.size();
#endif
    for (; i < text.size(); ++i)
        out[i] = in[i] < 0x100 ? (char)in[i] : '?';
}

} // namespace sim::detail
