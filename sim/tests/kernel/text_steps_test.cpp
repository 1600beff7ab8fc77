// The text and memory steps against their one-character definitions, for
// every length up to a few steps and a character of each kind at every place.

#include "record.h"
#include "kernel/text_steps.h"

#include <gtest/gtest.h>

using namespace sim::detail;

namespace
{

// Characters of each kind a step treats apart.
constexpr char16_t Kinds[] = {u'a', u'z', u'A', u'`', u'{',  u'\\', 0x7F,
                              0x80, 0xE0, 0xF7, 0xFF, 0x100, 0xFF61};

std::u16string Text(size_t length, size_t at, char16_t c)
{
    std::u16string text;
    for (size_t i = 0; i < length; ++i)
        text.push_back((char16_t)(u'a' + i % 26));
    if (at < length)
        text[at] = c;
    return text;
}

} // namespace

TEST(TextSteps, UpcaseWidenAndNarrowAsTheirCharacterLoops)
{
    for (size_t length = 0; length <= 40; ++length)
        for (size_t at = 0; at <= length; ++at)
            for (char16_t c : Kinds) {
                std::u16string text = Text(length, at, c);
                std::u16string upper = text;
                UpcaseText(upper.data(), upper.size());
                std::string narrow;
                NarrowInto(narrow, text);
                for (size_t i = 0; i < length; ++i) {
                    ASSERT_EQ(upper[i], UpcaseChar(text[i])) << length << " " << at << " " << i;
                    ASSERT_EQ(narrow[i], text[i] < 0x100 ? (char)text[i] : '?')
                        << length << " " << at << " " << i;
                }
                ASSERT_EQ(narrow.size(), length);
                std::string bytes(narrow);
                std::u16string wide;
                WidenInto(wide, bytes);
                ASSERT_EQ(wide.size(), length);
                for (size_t i = 0; i < length; ++i)
                    ASSERT_EQ(wide[i], (char16_t)(unsigned char)bytes[i]) << length << " " << i;
            }
}

TEST(TextSteps, BackslashPairAnywhereAndOnlyThere)
{
    for (size_t length = 0; length <= 34; ++length)
        for (size_t a = 0; a <= length; ++a)
            for (size_t b = a; b <= length; ++b) {
                std::u16string text = Text(length, a, u'\\');
                if (b < length)
                    text[b] = u'\\';
                bool pair = a < length && b == a + 1 && b < length;
                ASSERT_EQ(HasBackslashPair(text.data(), text.size()), pair)
                    << length << " " << a << " " << b;
            }
}

#if defined(__SSE2__) && !defined(KVR_SIM_ASAN) && !defined(KVR_SIM_TSAN)
TEST(TextSteps, WideLengthInBlocksAtEveryOffsetAndLimit)
{
    alignas(64) char16_t buffer[96];
    for (size_t start = 0; start < 32; ++start)
        for (size_t length = 0; start + length < 96; ++length) {
            // Terminators before the text, in its aligned block, are not its own.
            for (size_t i = 0; i < 96; ++i)
                buffer[i] = i < start ? 0 : u'x';
            buffer[start + length] = 0;
            for (size_t limit : {(size_t)0, (size_t)1, length, length + 1, (size_t)32767})
                ASSERT_EQ(WideLengthInBlocks(buffer + start, limit), std::min(length, limit))
                    << start << " " << length << " " << limit;
        }
}
#endif

TEST(TextSteps, LeadingWordsStopAtTheFirstWordThatDiffers)
{
    // Past 32 bytes FilledLeadingWords goes 32 a step first, then 8.
    for (size_t length = 0; length <= 104; ++length)
        for (size_t at = 0; at <= length; ++at) {
            std::vector<unsigned char> a(length, 0xDF), b(length, 0xDF);
            if (at < length)
                b[at] = 0xDE;
            size_t words = std::min(at, length) / 8 * 8;
            ASSERT_EQ(EqualLeadingWords(a.data(), b.data(), length), words) << length << " " << at;
            ASSERT_EQ(FilledLeadingWords(b.data(), length, 0xDF), words) << length << " " << at;
        }
}
