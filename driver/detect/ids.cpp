// The frame identifier tables: the one frame vendor ID and the product IDs
// under which a frame runs as a monitor, in its alternate mode, or as one of
// the wide models.
//
// A product's IDs are set here and nowhere else. The entries below are
// placeholders; replace the texts with the product's real IDs (four
// characters each, letters upper case in the mode tables) and the build checks
// every rule the classification relies on.

#include "detect.h"

constexpr char FrameVendorId[2][IdTextSize] = {"ABCD", "abcd"};

constexpr char MonitorModeIds[MonitorModeIdCount][IdTextSize] = {
    "1000", "1001", "1002", "1003", "1004", "1005", "1006", "1007", "1008", "1009", "100A",
    "100B", "100C", "100D", "100E", "100F", "1010", "1011", "1012", "1013", "1014", "1015",
};

constexpr char AltModeIds[AltModeIdCount][IdTextSize] = {
    "2000", "2001", "2002", "2003", "2004", "2005", "2006", "2007", "2008", "2009", "200A",
    "200B", "200C", "200D", "200E", "200F", "2010", "2011", "2012", "2013", "2014", "2015",
};

// The alternate-mode ID whose removal counts only while DeviceMode is 1.
constexpr char GuardedAltModeId[IdTextSize] = "2007";

// One digits-only ID (an alternate-mode entry), given once; one lettered ID (a
// monitor-mode entry), given in upper and in lower case.
constexpr char WideModelIds[WideModelIdCount][IdTextSize] = {"2010", "100B", "100b"};

// Build-time checks of the tables' form and invariants.
namespace
{

constexpr bool IsLowerLetter(char c)
{
    return c >= 'a' && c <= 'z';
}
constexpr bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}
constexpr char ToUpper(char c)
{
    return IsLowerLetter(c) ? char(c - 'a' + 'A') : c;
}

constexpr bool IsHexText(const char (&Text)[IdTextSize], bool LowerCase)
{
    for (unsigned i = 0; i < IdTextSize - 1; ++i) {
        char c = Text[i];
        bool Letter = LowerCase ? (c >= 'a' && c <= 'f') : (c >= 'A' && c <= 'F');
        if (!IsDigit(c) && !Letter)
            return false;
    }
    return Text[IdTextSize - 1] == 0;
}

constexpr bool HasLetter(const char (&Text)[IdTextSize])
{
    for (unsigned i = 0; i < IdTextSize - 1; ++i) {
        if (!IsDigit(Text[i]))
            return true;
    }
    return false;
}

constexpr bool SameText(const char (&a)[IdTextSize], const char (&b)[IdTextSize])
{
    for (unsigned i = 0; i < IdTextSize; ++i) {
        if (a[i] != b[i])
            return false;
    }
    return true;
}

constexpr bool SameTextIgnoringCase(const char (&a)[IdTextSize], const char (&b)[IdTextSize])
{
    for (unsigned i = 0; i < IdTextSize; ++i) {
        if (ToUpper(a[i]) != ToUpper(b[i]))
            return false;
    }
    return true;
}

template <unsigned N>
constexpr unsigned CountIgnoringCase(const char (&Table)[N][IdTextSize],
                                     const char (&Text)[IdTextSize])
{
    unsigned Count = 0;
    for (unsigned i = 0; i < N; ++i) {
        if (SameTextIgnoringCase(Table[i], Text))
            ++Count;
    }
    return Count;
}

template <unsigned N> constexpr bool AllUpperHex(const char (&Table)[N][IdTextSize])
{
    for (unsigned i = 0; i < N; ++i) {
        if (!IsHexText(Table[i], false))
            return false;
    }
    return true;
}

// Every entry occurs once in its own table and not at all in the other, so
// the order of entries never changes a classification.
template <unsigned N, unsigned M>
constexpr bool DistinctAndDisjoint(const char (&Table)[N][IdTextSize],
                                   const char (&Other)[M][IdTextSize])
{
    for (unsigned i = 0; i < N; ++i) {
        if (CountIgnoringCase(Table, Table[i]) != 1 || CountIgnoringCase(Other, Table[i]) != 0)
            return false;
    }
    return true;
}

constexpr bool VendorFormsMatch()
{
    const char(&Upper)[IdTextSize] = FrameVendorId[0];
    const char(&Lower)[IdTextSize] = FrameVendorId[1];
    if (!IsHexText(Upper, false) || !IsHexText(Lower, true) || !HasLetter(Upper))
        return false;
    return SameTextIgnoringCase(Upper, Lower) && !SameText(Upper, Lower);
}

constexpr bool IsLowerCaseOf(const char (&Lower)[IdTextSize], const char (&Upper)[IdTextSize])
{
    return IsHexText(Lower, true) && SameTextIgnoringCase(Lower, Upper) && !SameText(Lower, Upper);
}

} // namespace

static_assert(VendorFormsMatch(),
              "FrameVendorId: one hexadecimal vendor ID with a letter, upper case then lower case");
static_assert(AllUpperHex(MonitorModeIds) && AllUpperHex(AltModeIds),
              "mode-table entries: four hexadecimal characters, letters upper case");
static_assert(DistinctAndDisjoint(MonitorModeIds, AltModeIds) &&
                  DistinctAndDisjoint(AltModeIds, MonitorModeIds),
              "the 22 + 22 product IDs are distinct and the two tables disjoint");
static_assert(IsHexText(GuardedAltModeId, false) &&
                  CountIgnoringCase(AltModeIds, GuardedAltModeId) == 1 &&
                  CountIgnoringCase(MonitorModeIds, GuardedAltModeId) == 0,
              "GuardedAltModeId is an alternate-mode entry and no monitor-mode entry");
static_assert(IsHexText(WideModelIds[0], false) && !HasLetter(WideModelIds[0]) &&
                  CountIgnoringCase(AltModeIds, WideModelIds[0]) == 1,
              "the first wide-model ID is digits only and an alternate-mode entry");
static_assert(IsHexText(WideModelIds[1], false) && HasLetter(WideModelIds[1]) &&
                  CountIgnoringCase(MonitorModeIds, WideModelIds[1]) == 1,
              "the second wide-model ID has a letter, is upper case, and is a monitor-mode entry");
static_assert(IsLowerCaseOf(WideModelIds[2], WideModelIds[1]),
              "the third wide-model ID is the second one in lower case");
