// The simulated registry's keys and paths: keys created by a write, paths in
// pool blocks, keys that come back empty, defaults through a null pointer,
// query routines given too little, and key paths compared as the platform
// compares them.

#include "registry_fixture.h"

namespace
{

using namespace registry_test;

TEST_F(Registry, MissingLeafKeyIsCreatedByAWrite)
{
    UCHAR info[2] = {8, 0};
    ASSERT_TRUE(sim::DeleteKey(Key));
    EXPECT_EQ(
        RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, KeyW, u"DeviceInfo", REG_BINARY, info, 2),
        STATUS_SUCCESS);
    EXPECT_TRUE(sim::KeyExists(Key));
    EXPECT_EQ(sim::GetValue(Key, "DeviceInfo")->Data, (std::vector<uint8_t>{8, 0}));
}

// A key path in a pool block (as the driver passes its copy) after a write
// to one key: the same path goes to that key, a longer one that begins with
// it, a shorter one, or one in a larger block, to their own.
TEST_F(Registry, PathsInPoolBlocksAfterAWriteToOneKey)
{
    auto copy = [](std::u16string_view path, size_t extraChars) {
        size_t bytes = (path.size() + 1 + extraChars) * sizeof(char16_t);
        auto *block = (char16_t *)ExAllocatePoolWithTag(PagedPool, bytes, sim::Tag("sger"));
        std::fill(block, block + path.size() + 1 + extraChars, u'Q');
        std::copy(path.begin(), path.end(), block);
        block[path.size()] = 0;
        block[path.size() + extraChars] = 0;
        return block;
    };
    auto write = [](const char16_t *path, UCHAR byte) {
        return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, path, u"DeviceInfo", REG_BINARY, &byte,
                                     1);
    };
    auto stored = [](const std::string &path) {
        std::optional<sim::RegValue> value = sim::GetValue(path, "DeviceInfo");
        return value ? value->Data : std::vector<uint8_t>{};
    };
    std::u16string key(KeyW);
    char16_t *same = copy(key, 0);
    char16_t *longer = copy(key + u"\\Sub", 0);
    char16_t *deeper = copy(key + u"\\Sub", 0);
    char16_t *shorter = copy(u"\\Registry\\Machine\\Software", 0);
    char16_t *roomy = copy(key, 7);
    EXPECT_EQ(write(same, 1), STATUS_SUCCESS);
    EXPECT_EQ(write(same, 2), STATUS_SUCCESS);
    EXPECT_EQ(write(longer, 3), STATUS_SUCCESS);
    EXPECT_EQ(write(roomy, 4), STATUS_SUCCESS);
    EXPECT_EQ(write(shorter, 5), STATUS_SUCCESS);
    EXPECT_EQ(write(same, 6), STATUS_SUCCESS);
    // The terminator overwritten: the same characters and more, a subkey.
    roomy[key.size()] = u'\\';
    EXPECT_EQ(write(roomy, 7), STATUS_SUCCESS);
    EXPECT_EQ(write(deeper, 8), STATUS_SUCCESS);
    // Paths outside the pool, after the same key's.
    EXPECT_EQ(write(same, 9), STATUS_SUCCESS);
    std::u16string outside = key + u"\\Sub";
    EXPECT_EQ(write(outside.c_str(), 10), STATUS_SUCCESS);
    EXPECT_EQ(write(KeyW, 11), STATUS_SUCCESS);
    outside.resize(key.size() - 1);
    EXPECT_EQ(write(outside.c_str(), 12), STATUS_SUCCESS);
    EXPECT_EQ(stored(Key), std::vector<uint8_t>{11});
    EXPECT_EQ(stored(std::string(Key) + "\\QQQQQQ"), std::vector<uint8_t>{7});
    EXPECT_EQ(stored(std::string(Key) + "\\Sub"), std::vector<uint8_t>{10});
    EXPECT_EQ(stored("\\Registry\\Machine\\Software\\Tes"), std::vector<uint8_t>{12});
    EXPECT_EQ(stored("\\Registry\\Machine\\Software"), std::vector<uint8_t>{5});
    for (char16_t *block : {same, longer, deeper, shorter, roomy})
        ExFreePoolWithTag(block, sim::Tag("sger"));
}

// A key that is deleted, or whose kernel is gone, comes back without its
// values and its subkeys, however its storage is reused.
TEST_F(Registry, KeysComeBackEmpty)
{
    const std::string sub = std::string(Key) + "\\Sub";
    sim::SetDword(Key, "One", 1);
    ASSERT_TRUE(sim::CreateKey(sub));
    sim::SetDword(sub, "Deep", 3);
    ASSERT_TRUE(sim::DeleteKey(Key));
    EXPECT_FALSE(sim::KeyExists(sub));
    ASSERT_TRUE(sim::CreateKey(Key));
    EXPECT_TRUE(sim::Values(Key).empty());
    EXPECT_FALSE(sim::KeyExists(sub));

    UCHAR info[2] = {8, 0};
    sim::SetDword(Key, "Two", 2);
    ASSERT_TRUE(sim::DeleteKey(Key));
    ASSERT_EQ(
        RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, KeyW, u"DeviceInfo", REG_BINARY, info, 2),
        STATUS_SUCCESS);
    ASSERT_EQ(sim::Values(Key).size(), 1u);
    EXPECT_EQ(sim::Values(Key)[0].first, "DeviceInfo");

    // The next kernel: the configured key is there, empty; the others are not.
    ASSERT_TRUE(sim::CreateKey(sub));
    sim::SetDword(sub, "Deep", 3);
    EXPECT_TRUE(sim::Shutdown().empty());
    sim::Options options;
    options.Keys = {Key};
    sim::Reset(options);
    EXPECT_TRUE(sim::KeyExists(Key));
    EXPECT_TRUE(sim::Values(Key).empty());
    EXPECT_FALSE(sim::KeyExists(sub));
    ASSERT_TRUE(sim::CreateKey(sub));
    EXPECT_TRUE(sim::Values(sub).empty());
}

// DefaultData is ignored only with DefaultType REG_NONE. A string default of
// length 0 is measured from DefaultData, and with that null the platform reads
// address 0 and stops: a finding, and nothing is delivered.
TEST_F(Registry, StringDefaultThroughANullPointerIsAFinding)
{
    ViolationsExpected = true;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].QueryRoutine = Collect;
    table[0].Name = (PWSTR)u"InstallLocation";
    table[0].DefaultType = REG_SZ;
    Seen seen;
    EXPECT_NE(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, KeyW, table, &seen, nullptr),
              STATUS_SUCCESS);
    EXPECT_TRUE(seen.Calls.empty());
    ASSERT_EQ(sim::Violations().size(), 1u);
    EXPECT_NE(sim::Violations()[0].Text.find("null DefaultData"), std::string::npos);

    // A non-string default of a non-zero length through null: the same.
    sim::ClearViolations();
    table[0].DefaultType = REG_DWORD;
    table[0].DefaultLength = 4;
    EXPECT_NE(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, KeyW, table, &seen, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(sim::Violations().size(), 1u);

    // REG_NONE: no default, nothing read, no finding; a real default is
    // delivered, its length measured.
    sim::ClearViolations();
    table[0].DefaultType = REG_NONE;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, KeyW, table, &seen, nullptr),
              STATUS_SUCCESS);
    EXPECT_TRUE(seen.Calls.empty());
    table[0].DefaultType = REG_SZ;
    table[0].DefaultData = (PVOID)u"D:\\x";
    table[0].DefaultLength = 0;
    table[0].Flags = RTL_QUERY_REGISTRY_NOEXPAND;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, KeyW, table, &seen, nullptr),
              STATUS_SUCCESS);
    ASSERT_EQ(seen.Calls.size(), 1u);
    EXPECT_EQ(seen.Calls[0].second, std::u16string(u"D:\\x\0", 5));
    EXPECT_TRUE(sim::Violations().empty());
}

// A direct REG_MULTI_SZ needs RTL_QUERY_REGISTRY_NOEXPAND; with it the list
// is stored whole into the counted string, each string with its zero.
TEST_F(Registry, DirectMultiStringNeedsNoExpand)
{
    ViolationsExpected = true;
    SetBytes("List", REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0});
    char16_t storage[8];
    UNICODE_STRING text{0, sizeof storage, (PWSTR)storage};
    EXPECT_EQ(QueryDirect(u"List", &text, RTL_QUERY_REGISTRY_NOEXPAND), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(storage, text.Length / 2), std::u16string(u"a\0b\0", 4));
    EXPECT_TRUE(sim::Violations().empty());
    QueryDirect(u"List", &text);
    ASSERT_EQ(sim::Violations().size(), 1u);
    EXPECT_NE(sim::Violations()[0].Text.find("REG_MULTI_SZ value List directly without"),
              std::string::npos);
}

NTSTATUS TooSmall(PWSTR, ULONG type, PVOID data, ULONG length, PVOID context, PVOID entry)
{
    Collect(nullptr, type, data, length, context, entry);
    return STATUS_BUFFER_TOO_SMALL;
}

NTSTATUS Refuse(PWSTR, ULONG, PVOID, ULONG, PVOID, PVOID)
{
    return STATUS_OBJECT_TYPE_MISMATCH;
}

// A query routine's STATUS_BUFFER_TOO_SMALL is ignored and the table goes on;
// any other error ends it and is the result.
TEST_F(Registry, QueryRoutineBufferTooSmallIsIgnored)
{
    sim::SetDword(Key, "A", 1);
    sim::SetDword(Key, "B", 2);
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    table[0].QueryRoutine = TooSmall;
    table[0].Name = (PWSTR)u"A";
    table[1].QueryRoutine = Collect;
    table[1].Name = (PWSTR)u"B";
    Seen seen;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, KeyW, table, &seen, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(seen.Calls.size(), 2u);

    table[0].QueryRoutine = Refuse;
    seen.Calls.clear();
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, KeyW, table, &seen, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_TRUE(seen.Calls.empty());
}

// The platform's upcasing, one character at a time.
char UpcaseLatin1(char c)
{
    unsigned char u = (unsigned char)c;
    if ((u >= 'a' && u <= 'z') || (u >= 0xE0 && u <= 0xFE && u != 0xF7))
        return (char)(u - 32);
    return c;
}

// A key found by a path that differs in one character exactly when the two
// characters upcase alike: each character (printable ASCII, Latin-1) at each
// place of a word and in the tail, next to ASCII and to Latin-1 neighbours.
TEST_F(Registry, KeyPathsMatchWhereTheirCharactersUpcaseAlike)
{
    std::string set;
    for (int c = 0x20; c < 0x7F; ++c)
        if (c != '\\')
            set.push_back((char)c);
    for (int c = 0xC0; c < 0xFF; ++c)
        set.push_back((char)c);
    const std::string parent = "\\Registry\\Machine\\Software\\";
    for (const char *neighbour : {"xy", "\xe9y"}) {
        for (size_t pad = 0; pad < 5; ++pad) {
            for (char c : set) {
                std::string before = parent + std::string(pad, 'k') + neighbour;
                std::string key = before + c + neighbour;
                ASSERT_TRUE(sim::CreateKey(key));
                // The whole path in the other case, where it has one.
                std::string upper = key, lower = key;
                for (char &c : upper)
                    c = UpcaseLatin1(c);
                for (char &c : lower)
                    if (UpcaseLatin1((char)(c | 0x20)) == c)
                        c = (char)(c | 0x20);
                ASSERT_TRUE(sim::KeyExists(upper)) << upper;
                ASSERT_TRUE(sim::KeyExists(lower)) << lower;
                for (char other : set) {
                    bool alike = UpcaseLatin1(c) == UpcaseLatin1(other);
                    ASSERT_EQ(sim::KeyExists(before + other + neighbour), alike)
                        << "key " << key << ", looked up with " << other;
                }
                ASSERT_TRUE(sim::DeleteKey(key));
            }
        }
    }
}

// Two backslashes in a row anywhere make a path invalid, for a query, a write
// and the harness alike; one backslash there does not.
TEST_F(Registry, DoubledBackslashAnywhereMakesAPathInvalid)
{
    ULONG value = 0;
    UCHAR byte = 1;
    const std::u16string key = KeyW;
    for (size_t at = 1; at <= key.size() + 1; ++at) {
        std::u16string single = key + u"\\Sub\\Leaf";
        std::u16string doubled = single;
        doubled.insert(at, 1, u'\\');
        if (doubled.find(u"\\\\") == std::u16string::npos)
            continue; // the inserted backslash is not next to another
        std::string narrow(doubled.begin(), doubled.end());
        EXPECT_EQ(QueryDirect(u"X", &value, 0, REG_NONE, nullptr, 0,
                              RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, doubled.c_str()),
                  STATUS_INVALID_PARAMETER)
            << narrow;
        EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, doubled.c_str(), u"X", REG_BINARY,
                                        &byte, 1),
                  STATUS_INVALID_PARAMETER)
            << narrow;
        EXPECT_FALSE(sim::CreateKey(narrow)) << narrow;
    }
    // Doubled at the very end, after every length of the last word.
    for (size_t extra = 0; extra < 5; ++extra) {
        std::u16string path = key + u"\\" + std::u16string(extra + 1, u'k') + u"\\\\";
        EXPECT_EQ(QueryDirect(u"X", &value, 0, REG_NONE, nullptr, 0,
                              RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, path.c_str()),
                  STATUS_INVALID_PARAMETER);
        path.pop_back();
        EXPECT_EQ(QueryDirect(u"X", &value, 0, REG_NONE, nullptr, 0,
                              RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, path.c_str()),
                  STATUS_SUCCESS);
    }
    // Paths of every length to 25 with two backslashes at every place, and one.
    for (size_t length = 3; length <= 25; ++length) {
        for (size_t at = 1; at + 1 < length; ++at) {
            std::u16string path(length, u'k');
            path[0] = u'\\';
            path[at] = u'\\';
            EXPECT_EQ(QueryDirect(u"X", &value, 0, REG_NONE, nullptr, 0,
                                  RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, path.c_str()),
                      at == 1 ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS)
                << "length " << length << ", at " << at;
            path[at + 1] = u'\\';
            EXPECT_EQ(QueryDirect(u"X", &value, 0, REG_NONE, nullptr, 0,
                                  RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, path.c_str()),
                      STATUS_INVALID_PARAMETER)
                << "length " << length << ", at " << at;
        }
    }
    // The well-formed paths, for contrast: a missing optional key, a key made.
    std::u16string single = key + u"\\Sub\\Leaf";
    EXPECT_EQ(QueryDirect(u"X", &value, 0, REG_NONE, nullptr, 0,
                          RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, single.c_str()),
              STATUS_SUCCESS);
    EXPECT_TRUE(sim::CreateKey(std::string(single.begin(), single.end())));
    EXPECT_EQ(
        RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, single.c_str(), u"X", REG_BINARY, &byte, 1),
        STATUS_SUCCESS);
    // A doubled path after the same path well-formed was the last looked up.
    std::u16string doubled = single + u"\\";
    doubled.insert(key.size(), 1, u'\\');
    EXPECT_EQ(
        QueryDirect(u"X", &value, 0, REG_NONE, nullptr, 0, RTL_REGISTRY_ABSOLUTE, doubled.c_str()),
        STATUS_INVALID_PARAMETER);
}

// Keys of one length under one parent, differing in one character anywhere,
// each keep their own values.
TEST_F(Registry, KeysOfOneLengthStayApart)
{
    const std::string base = std::string(Key) + "\\Settings0123456789abcdef";
    std::vector<std::string> keys;
    for (size_t at = std::string(Key).size() + 1; at < base.size(); ++at) {
        std::string key = base;
        key[at] = '_';
        keys.push_back(key);
    }
    keys.push_back(base);
    for (size_t i = 0; i < keys.size(); ++i) {
        ASSERT_TRUE(sim::CreateKey(keys[i]));
        UCHAR byte = (UCHAR)i;
        std::u16string wide(keys[i].begin(), keys[i].end());
        ASSERT_EQ(
            RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, wide.c_str(), u"N", REG_BINARY, &byte, 1),
            STATUS_SUCCESS);
    }
    for (size_t i = 0; i < keys.size(); ++i) {
        std::u16string wide(keys[i].begin(), keys[i].end());
        ULONG value = 0xFF;
        EXPECT_EQ(
            QueryDirect(u"N", &value, 0, REG_NONE, nullptr, 0, RTL_REGISTRY_ABSOLUTE, wide.c_str()),
            STATUS_SUCCESS);
        EXPECT_EQ(value & 0xFF, i) << keys[i];
        EXPECT_EQ(sim::Values(keys[i]).size(), 1u) << keys[i];
    }
}

// Queries and writes that alternate between keys find each its own, also
// after one of them is deleted and made again, or another is created.
TEST_F(Registry, CallsAlternatingBetweenKeysFindEachTheirOwn)
{
    const std::string a = std::string(Key) + "\\A";
    const std::string b = std::string(Key) + "\\B";
    const std::u16string wideA(a.begin(), a.end()), wideB(b.begin(), b.end());
    // Each call gets its own copy of the path, as a driver's pool copy.
    auto query = [](const std::u16string &path, ULONG relativeTo, ULONG *value) {
        std::u16string copy = path;
        return QueryDirect(u"N", value, RTL_QUERY_REGISTRY_REQUIRED, REG_NONE, nullptr, 0,
                           relativeTo, copy.c_str());
    };
    auto write = [](const std::u16string &path, UCHAR byte) {
        std::u16string copy = path;
        return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, copy.c_str(), u"N", REG_BINARY, &byte,
                                     1);
    };
    ASSERT_TRUE(sim::CreateKey(a));
    ASSERT_TRUE(sim::CreateKey(b));
    ASSERT_EQ(write(wideA, 1), STATUS_SUCCESS);
    ASSERT_EQ(write(wideB, 2), STATUS_SUCCESS);
    for (int round = 0; round < 3; ++round) {
        ULONG value = 0;
        EXPECT_EQ(query(wideA, RTL_REGISTRY_ABSOLUTE, &value), STATUS_SUCCESS);
        EXPECT_EQ(value, 1u);
        EXPECT_EQ(query(wideB, RTL_REGISTRY_ABSOLUTE, &value), STATUS_SUCCESS);
        EXPECT_EQ(value, 2u);
        ASSERT_EQ(write(wideA, (UCHAR)(1 + 2 * round)), STATUS_SUCCESS);
        ASSERT_EQ(write(wideB, (UCHAR)(2 + 2 * round)), STATUS_SUCCESS);
        ASSERT_EQ(write(wideA, 1), STATUS_SUCCESS);
        ASSERT_EQ(write(wideB, 2), STATUS_SUCCESS);
    }
    EXPECT_EQ(sim::GetValue(a, "N")->Data, std::vector<uint8_t>{1});
    EXPECT_EQ(sim::GetValue(b, "N")->Data, std::vector<uint8_t>{2});

    // B looked up, then A: B deleted, it is gone for a query; a write makes it
    // again, empty but for the value written.
    ULONG value = 0;
    ASSERT_EQ(query(wideB, RTL_REGISTRY_ABSOLUTE, &value), STATUS_SUCCESS);
    ASSERT_EQ(query(wideA, RTL_REGISTRY_ABSOLUTE, &value), STATUS_SUCCESS);
    ASSERT_TRUE(sim::DeleteKey(b));
    EXPECT_EQ(query(wideB, RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, &value), STATUS_SUCCESS);
    EXPECT_EQ(query(wideA, RTL_REGISTRY_ABSOLUTE, &value), STATUS_SUCCESS);
    EXPECT_EQ(write(wideB, 7), STATUS_SUCCESS);
    EXPECT_TRUE(sim::KeyExists(b));
    EXPECT_EQ(sim::GetValue(b, "N")->Data, std::vector<uint8_t>{7});
    EXPECT_EQ(query(wideA, RTL_REGISTRY_ABSOLUTE, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(query(wideB, RTL_REGISTRY_ABSOLUTE, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 7u);
    // The same once the key looked up before the last is deleted by its
    // parent's deletion: both go.
    ASSERT_TRUE(sim::DeleteKey(Key));
    EXPECT_EQ(query(wideA, RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, &value), STATUS_SUCCESS);
    EXPECT_EQ(query(wideB, RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, &value), STATUS_SUCCESS);
    EXPECT_EQ(write(wideB, 8), STATUS_OBJECT_NAME_NOT_FOUND);
}

} // namespace
