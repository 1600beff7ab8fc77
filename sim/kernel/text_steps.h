// The kernel's text and memory steps: routines that go eight characters (or
// sixteen, or thirty-two bytes) at a time with SSE2 where the plain loop goes
// one at a time. Each gives exactly what its plain loop gives, which follows
// it in the same routine and does the whole work without SSE2. They are
// speed alone: the rules that use them (which key paths are well formed,
// how names compare, how far a text reaches) are written where the rules
// are, in terms of what these return.
//
// The figures are instructions of bench/callgrind.sh, measured with the
// step taken out and the plain loop doing all the work: a panel-refresh turn
// of the hour of mode3-panel-refresh (section 1; 7,247 instructions with
// every step) and an input of the settings and monitor fuzz target (section
// 7; 189,220 with every step).

#ifndef KVR_SIM_TEXT_STEPS_H
#define KVR_SIM_TEXT_STEPS_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "record.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sim::detail
{

// Upcases a text in place with the platform's upcasing (UpcaseChar), eight
// characters a step where all eight are ASCII (a key path's usual case).
// With HasBackslashPair and WidenInto, the steps of key paths: 6,413
// instructions of a fuzz input (195,633 with the plain loops); none of a
// turn, whose paths are the remembered ones (4 fewer with the plain loops).
void UpcaseText(char16_t *text, size_t length);

// Whether two backslashes stand next to each other anywhere in the text,
// eight characters a step.
bool HasBackslashPair(const char16_t *text, size_t length);

// The text with each byte widened to one character, sixteen a step.
void WidenInto(std::u16string &wide, std::string_view text);

// The text with each character below 0x100 narrowed to its byte and every
// other one to '?', eight a step while all eight are below 0x100: 982
// instructions of a fuzz input (190,202 with the plain loop); none of a
// quiet turn.
void NarrowInto(std::string &narrow, std::u16string_view text);

// The characters before the terminator of a zero-terminated wide text at an
// even address, at most maxChars, found thirty-two bytes a step from the
// aligned block that holds the first character. Reads bytes around the text
// (within the aligned blocks that hold it), so only for memory that may be
// read with plain loads; built only with SSE2 and without the sanitizers, to
// which the bytes around the text may be a redzone or a freed block.
// 302 instructions of a panel-refresh turn (7,549 against 7,247 in the
// hour's turn with the four-character loop of WideLength) and 5,167 of a
// fuzz input.
#if defined(__SSE2__) && !defined(KVR_SIM_ASAN) && !defined(KVR_SIM_TSAN)
inline size_t WideLengthInBlocks(const char16_t *text, size_t maxChars)
{
    // An aligned block never crosses a page, so the block that holds the
    // terminator is readable whole.
    const char *start = (const char *)text;
    const char *block = (const char *)((uintptr_t)text & ~(uintptr_t)31);
    size_t maxBytes =
        maxChars <= SIZE_MAX / sizeof(char16_t) ? maxChars * sizeof(char16_t) : SIZE_MAX;
    const __m128i zero = _mm_setzero_si128();
    auto zeros = [zero](const char *at) {
        unsigned low =
            (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_load_si128((const __m128i *)at), zero));
        unsigned high = (unsigned)_mm_movemask_epi8(
            _mm_cmpeq_epi16(_mm_load_si128((const __m128i *)(at + 16)), zero));
        return low | high << 16;
    };
    unsigned mask = zeros(block) & (0xFFFFFFFFu << (start - block));
    while (!mask) {
        block += 32;
        if ((size_t)(block - start) >= maxBytes)
            return maxChars;
        mask = zeros(block);
    }
    size_t bytes = (size_t)(block + __builtin_ctz(mask) - start);
    return bytes < maxBytes ? bytes / sizeof(char16_t) : maxChars;
}
#endif

// How many leading bytes of the two blocks are equal, counted eight at a
// time up to the first word that differs (a multiple of eight; the caller
// goes on a byte at a time from there). Plain loads. RtlCompareMemory's
// step; not measured apart (the driver compares a few short records).
inline size_t EqualLeadingWords(const void *a, const void *b, size_t length)
{
    const auto *left = static_cast<const unsigned char *>(a);
    const auto *right = static_cast<const unsigned char *>(b);
    size_t i = 0;
    while (length - i >= 8 && memcmp(left + i, right + i, 8) == 0)
        i += 8;
    return i;
}

// How many leading bytes of the block hold the byte fill, counted the same
// way (a multiple of eight): the check of a freed pool block's poison. 804
// instructions of a panel-refresh turn (8,051 against 7,247 in the hour's
// turn comparing a byte at a time) and 12,856 of a fuzz input. With SSE2
// the filled leading bytes are passed over thirty-two at a time first, then
// eight: some 120 instructions fewer of a panel-refresh turn (two key-path
// copies checked) than eight at a time throughout.
inline size_t FilledLeadingWords(const void *block, size_t length, unsigned char fill)
{
    const auto *bytes = static_cast<const unsigned char *>(block);
    const uint64_t filled = 0x0101010101010101ull * fill;
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i wide = _mm_set1_epi8((char)fill);
    for (; i + 32 <= length; i += 32) {
        __m128i low = _mm_loadu_si128((const __m128i *)(bytes + i));
        __m128i high = _mm_loadu_si128((const __m128i *)(bytes + i + 16));
        __m128i same = _mm_and_si128(_mm_cmpeq_epi8(low, wide), _mm_cmpeq_epi8(high, wide));
        if (_mm_movemask_epi8(same) != 0xFFFF) [[unlikely]]
            break;
    }
#endif
    for (uint64_t word; i + sizeof word <= length; i += sizeof word) {
        memcpy(&word, bytes + i, sizeof word);
        if (word != filled) [[unlikely]]
            break;
    }
    return i;
}

} // namespace sim::detail

#endif // KVR_SIM_TEXT_STEPS_H
