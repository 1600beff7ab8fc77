// The simulated registry: direct queries with the platform's storage rules,
// type checks, optional keys, defaults, names without regard to case, query
// routines, writes, fault injection and the records.

#include "sim.h"

#include <gtest/gtest.h>

namespace
{

constexpr char Key[] = "\\Registry\\Machine\\Software\\Test";
constexpr char16_t KeyW[] = u"\\Registry\\Machine\\Software\\Test";

class Registry : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        sim::Options options;
        options.Keys = {Key};
        sim::Reset(options);
    }
    void TearDown() override
    {
        std::vector<sim::Violation> found = sim::Shutdown();
        if (!ViolationsExpected)
            for (const sim::Violation &violation : found)
                ADD_FAILURE() << violation.Text;
    }

    bool ViolationsExpected = false;

    // One direct entry for name into target, table terminated.
    static NTSTATUS QueryDirect(const char16_t *name, void *target, ULONG flags = 0,
                                ULONG defaultType = REG_NONE, void *defaultData = nullptr,
                                ULONG defaultLength = 0, ULONG relativeTo = RTL_REGISTRY_ABSOLUTE,
                                const char16_t *path = KeyW)
    {
        RTL_QUERY_REGISTRY_TABLE table[2] = {};
        table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | flags;
        table[0].Name = (PWSTR)name;
        table[0].EntryContext = target;
        table[0].DefaultType = defaultType;
        table[0].DefaultData = defaultData;
        table[0].DefaultLength = defaultLength;
        return RtlQueryRegistryValues(relativeTo, (PCWSTR)path, table, nullptr, nullptr);
    }

    static void SetBytes(const char *name, ULONG type, std::vector<uint8_t> bytes)
    {
        ASSERT_TRUE(sim::SetValue(Key, name, type, bytes));
    }
};

TEST_F(Registry, DirectStoresSmallNonStringValuesAtTheirOwnLength)
{
    sim::SetDword(Key, "Level", 0x11223344);
    ULONG level = 0;
    EXPECT_EQ(QueryDirect(u"Level", &level), STATUS_SUCCESS);
    EXPECT_EQ(level, 0x11223344u);

    // A 2-byte binary value touches only 2 bytes of a wider target.
    SetBytes("Info", REG_BINARY, {0x08, 0x01});
    uint8_t target[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(QueryDirect(u"Info", target), STATUS_SUCCESS);
    EXPECT_EQ(target[0], 0x08);
    EXPECT_EQ(target[1], 0x01);
    EXPECT_EQ(target[2], 0xEE);
    EXPECT_EQ(target[3], 0xEE);
    EXPECT_TRUE(sim::Violations().empty());
}

TEST_F(Registry, DirectLargerValuesFollowTheSignedSizeRule)
{
    std::vector<uint8_t> sixteen(16);
    for (int i = 0; i < 16; ++i)
        sixteen[i] = (uint8_t)(0x40 + i);
    SetBytes("Status", REG_BINARY, sixteen);

    // Negative: the magnitude is the buffer size, the data alone is stored.
    alignas(8) uint8_t buffer[32];
    memset(buffer, 0xEE, sizeof buffer);
    LONG size = -16;
    memcpy(buffer, &size, 4);
    EXPECT_EQ(QueryDirect(u"Status", buffer), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(buffer, sixteen.data(), 16), 0);
    EXPECT_EQ(buffer[16], 0xEE);

    // Positive: length, type, then the data.
    memset(buffer, 0xEE, sizeof buffer);
    size = 24;
    memcpy(buffer, &size, 4);
    EXPECT_EQ(QueryDirect(u"Status", buffer), STATUS_SUCCESS);
    ULONG header[2];
    memcpy(header, buffer, 8);
    EXPECT_EQ(header[0], 16u);
    EXPECT_EQ(header[1], REG_BINARY);
    EXPECT_EQ(memcmp(buffer + 8, sixteen.data(), 16), 0);

    // Too small either way: refused, the target left as it was.
    memset(buffer, 0xEE, sizeof buffer);
    size = -15;
    memcpy(buffer, &size, 4);
    EXPECT_EQ(QueryDirect(u"Status", buffer), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(buffer[4], 0xEE);
    size = 23;
    memcpy(buffer, &size, 4);
    EXPECT_EQ(QueryDirect(u"Status", buffer), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(buffer[4], 0xEE);
}

TEST_F(Registry, DirectOversizedValueIntoAZeroedWordIsRefused)
{
    // An 8-byte value aimed at a 32-bit word that holds 0: the word reads as
    // a buffer of size 0, so the query fails and the word stays 0.
    SetBytes("Level", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8});
    alignas(8) uint8_t area[16] = {};
    EXPECT_EQ(QueryDirect(u"Level", area), STATUS_BUFFER_TOO_SMALL);
    for (uint8_t byte : area)
        EXPECT_EQ(byte, 0);

    // The same word holding a negative number takes 8 bytes: it overruns a
    // 4-byte target into whatever follows.
    LONG size = -8;
    memcpy(area, &size, 4);
    memset(area + 4, 0xEE, 12);
    EXPECT_EQ(QueryDirect(u"Level", area), STATUS_SUCCESS);
    EXPECT_EQ(area[4], 5);
    EXPECT_EQ(area[7], 8);
    EXPECT_EQ(area[8], 0xEE);
}

TEST_F(Registry, DirectStringsGoIntoACountedString)
{
    sim::SetString(Key, "Folder", "C:\\Apps");
    WCHAR storage[16];
    memset(storage, 0xEE, sizeof storage);
    UNICODE_STRING text{0, sizeof storage, storage};
    EXPECT_EQ(QueryDirect(u"Folder", &text), STATUS_SUCCESS);
    EXPECT_EQ(text.Length, 14);
    EXPECT_EQ(std::u16string(storage, 7), u"C:\\Apps");
    EXPECT_EQ(storage[7], 0);

    // Exactly the text and its terminator fit; one byte less does not.
    UNICODE_STRING exact{0, 16, storage};
    EXPECT_EQ(QueryDirect(u"Folder", &exact), STATUS_SUCCESS);
    memset(storage, 0xEE, sizeof storage);
    UNICODE_STRING tight{0, 15, storage};
    EXPECT_EQ(QueryDirect(u"Folder", &tight), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(tight.Length, 0);
    EXPECT_EQ(storage[0], 0xEEEE);

    // REG_EXPAND_SZ unexpanded is stored the same way.
    sim::SetString(Key, "Path", "%Root%\\x", REG_EXPAND_SZ);
    EXPECT_EQ(QueryDirect(u"Path", &text, RTL_QUERY_REGISTRY_NOEXPAND), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(storage, text.Length / 2), u"%Root%\\x");
}

TEST_F(Registry, DirectStringWithoutBufferIsAllocatedFromPool)
{
    sim::SetString(Key, "Folder", "abc");
    UNICODE_STRING text{0, 0, nullptr};
    EXPECT_EQ(QueryDirect(u"Folder", &text), STATUS_SUCCESS);
    ASSERT_NE(text.Buffer, nullptr);
    EXPECT_EQ(text.Length, 6);
    EXPECT_EQ(text.MaximumLength, 8);
    EXPECT_EQ(std::u16string(text.Buffer), u"abc");
    EXPECT_EQ(sim::PoolStatsForTag(sim::Tag("Rtl ")).OutstandingCount, 1u);
    ExFreePoolWithTag(text.Buffer, 0);
    EXPECT_EQ(sim::PoolStatsForTag(sim::Tag("Rtl ")).OutstandingCount, 0u);
}

TEST_F(Registry, MistypedValueTakesTheStringPath)
{
    // A string stored where the caller expects a number: a direct query
    // treats the target as a counted string, whatever it really is. Here
    // the "Buffer" member reads as null, so the string is allocated and the
    // 16-byte target is overwritten with a counted string over it.
    sim::SetString(Key, "Orientation", "90");
    alignas(8) ULONG target[4] = {7, 0, 0, 0};
    EXPECT_EQ(QueryDirect(u"Orientation", target), STATUS_SUCCESS);
    UNICODE_STRING seen;
    memcpy(&seen, target, sizeof seen);
    EXPECT_EQ(seen.Length, 4);
    EXPECT_EQ(seen.MaximumLength, 6);
    ASSERT_NE(seen.Buffer, nullptr);
    EXPECT_EQ(std::u16string(seen.Buffer), u"90");
    ExFreePoolWithTag(seen.Buffer, sim::Tag("Rtl "));
}

// Vista and 7 know the type check only with the update that adds it; without
// it they ignore the flag, and the value is stored whatever its type.
TEST_F(Registry, TypeCheckIsIgnoredWithoutTheUpdate)
{
    SetBytes("Level", REG_BINARY, {1, 0, 0, 0});
    ULONG level = 5;
    ULONG expectDword = REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
    EXPECT_EQ(QueryDirect(u"Level", &level, RTL_QUERY_REGISTRY_TYPECHECK, expectDword),
              STATUS_SUCCESS);
    EXPECT_EQ(level, 1u);
}

TEST_F(Registry, TypeCheckWithTheUpdateRefusesAnotherType)
{
    sim::Options options;
    options.Keys = {Key};
    options.RegistryTypecheckUpdate = true;
    sim::Reset(options);
    SetBytes("Level", REG_BINARY, {1, 0, 0, 0});
    ULONG level = 5;
    ULONG expectDword = REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
    EXPECT_EQ(QueryDirect(u"Level", &level, RTL_QUERY_REGISTRY_TYPECHECK, expectDword),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(level, 5u);

    sim::SetDword(Key, "Level", 9);
    EXPECT_EQ(QueryDirect(u"Level", &level, RTL_QUERY_REGISTRY_TYPECHECK, expectDword),
              STATUS_SUCCESS);
    EXPECT_EQ(level, 9u);
}

TEST_F(Registry, OptionalKeyRequiredValueAndDefaults)
{
    ULONG level = 5;
    EXPECT_EQ(QueryDirect(u"Level", &level, 0, REG_NONE, nullptr, 0, RTL_REGISTRY_ABSOLUTE,
                          u"\\Registry\\Machine\\Software\\Missing"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(QueryDirect(u"Level", &level, 0, REG_NONE, nullptr, 0,
                          RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL,
                          u"\\Registry\\Machine\\Software\\Missing"),
              STATUS_SUCCESS);
    EXPECT_EQ(level, 5u);

    // Absent value: nothing without a default, the default with one, an
    // error when required.
    EXPECT_EQ(QueryDirect(u"Level", &level), STATUS_SUCCESS);
    EXPECT_EQ(level, 5u);
    ULONG fallback = 42;
    EXPECT_EQ(QueryDirect(u"Level", &level, 0, REG_DWORD, &fallback, sizeof fallback),
              STATUS_SUCCESS);
    EXPECT_EQ(level, 42u);
    EXPECT_EQ(QueryDirect(u"Level", &level, RTL_QUERY_REGISTRY_REQUIRED),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Registry, NamesCompareWithoutRegardToCase)
{
    ASSERT_TRUE(sim::SetDword(Key, "TrayPre", 1));
    ULONG value = 0;
    EXPECT_EQ(QueryDirect(u"TRAYPRE", &value, 0, REG_NONE, nullptr, 0, RTL_REGISTRY_ABSOLUTE,
                          u"\\REGISTRY\\machine\\SOFTWARE\\test"),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);

    // Latin-1 letters upcase too: one value, not two.
    ASSERT_TRUE(sim::SetDword(Key, "Caf\xe9", 1));
    ASSERT_TRUE(sim::SetDword(Key, "CAF\xc9", 2));
    EXPECT_EQ(sim::GetValue(Key, "caf\xe9")->Data[0], 2);
    EXPECT_EQ(sim::Values(Key).size(), 2u);

    // Writes find the key and value the same way.
    UCHAR data[2] = {3, 4};
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, u"\\registry\\MACHINE\\software\\TEST",
                                    u"traypre", REG_BINARY, data, 2),
              STATUS_SUCCESS);
    EXPECT_EQ(sim::GetValue(Key, "TrayPre")->Type, REG_BINARY);
}

struct Seen {
    std::vector<std::pair<ULONG, std::u16string>> Calls;
};

NTSTATUS Collect(PWSTR, ULONG type, PVOID data, ULONG length, PVOID context, PVOID)
{
    Seen *seen = (Seen *)context;
    seen->Calls.emplace_back(type, std::u16string((const char16_t *)data, length / 2));
    return STATUS_SUCCESS;
}

TEST_F(Registry, QueryRoutineSeesExpandedAndSplitStrings)
{
    // Expanding is a finding: kernel-mode callers must ask for the value
    // unexpanded. The system process has none of the user's variables, so a
    // reference stays as written unless an environment is given.
    ViolationsExpected = true;
    sim::SetString(Key, "Path", "%Root%", REG_EXPAND_SZ);
    std::vector<uint8_t> multi;
    for (char c : std::string("ab\0c\0\0", 6)) {
        multi.push_back((uint8_t)c);
        multi.push_back(0);
    }
    SetBytes("List", REG_MULTI_SZ, multi);

    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    table[0].QueryRoutine = Collect;
    table[0].Name = (PWSTR)u"Path";
    table[1].QueryRoutine = Collect;
    table[1].Name = (PWSTR)u"List";
    Seen seen;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, KeyW, table, &seen, nullptr),
              STATUS_SUCCESS);
    ASSERT_EQ(seen.Calls.size(), 3u);
    EXPECT_EQ(seen.Calls[0].first, REG_SZ);
    EXPECT_EQ(seen.Calls[0].second, std::u16string(u"%Root%\0", 7));
    EXPECT_EQ(seen.Calls[1].second, std::u16string(u"ab\0", 3));
    EXPECT_EQ(seen.Calls[2].second, std::u16string(u"c\0", 2));
    ASSERT_EQ(sim::Violations().size(), 1u);
    EXPECT_NE(sim::Violations()[0].Text.find("without RTL_QUERY_REGISTRY_NOEXPAND"),
              std::string::npos);

    // With an environment block the reference is replaced; an unknown one
    // and a lone mark stay.
    sim::SetString(Key, "Path", "%ROOT%\\%Other%\\5%", REG_EXPAND_SZ);
    const char16_t environment[] = u"Root=C:\\Apps\0Z=1\0";
    seen.Calls.clear();
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, KeyW, table, &seen, (PVOID)environment),
              STATUS_SUCCESS);
    ASSERT_EQ(seen.Calls.size(), 3u);
    EXPECT_EQ(seen.Calls[0].second, std::u16string(u"C:\\Apps\\%Other%\\5%\0", 19));
    sim::ClearViolations();

    table[0].Flags = RTL_QUERY_REGISTRY_NOEXPAND;
    table[1].Flags = RTL_QUERY_REGISTRY_NOEXPAND;
    seen.Calls.clear();
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, KeyW, table, &seen, nullptr),
              STATUS_SUCCESS);
    ASSERT_EQ(seen.Calls.size(), 2u);
    EXPECT_EQ(seen.Calls[0].first, REG_EXPAND_SZ);
    EXPECT_EQ(seen.Calls[1].first, REG_MULTI_SZ);
    EXPECT_EQ(seen.Calls[1].second.size(), 6u);
}

// A missing key is created when it is a direct subkey of an existing one;
// deeper paths fail.
TEST_F(Registry, WritesNeedTheKeyAndAreRecordedInOrder)
{
    UCHAR info[2] = {8, 0};
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE,
                                    u"\\Registry\\Machine\\Software\\Gone\\Deeper", u"DeviceInfo",
                                    REG_BINARY, info, 2),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(sim::KeyExists("\\Registry\\Machine\\Software\\Gone"));
    sim::Advance(250);
    EXPECT_EQ(
        RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, KeyW, u"DeviceInfo", REG_BINARY, info, 2),
        STATUS_SUCCESS);
    auto stored = sim::GetValue(Key, "DeviceInfo");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->Type, REG_BINARY);
    EXPECT_EQ(stored->Data, (std::vector<uint8_t>{8, 0}));

    const auto &writes = sim::RegistryWrites();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].Status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(writes[0].Time, 0);
    EXPECT_EQ(writes[1].Key, Key);
    EXPECT_EQ(writes[1].Name, "DeviceInfo");
    EXPECT_EQ(writes[1].Time, 250 * sim::TicksPerMs);
    EXPECT_EQ(writes[1].Data, (std::vector<uint8_t>{8, 0}));
}

TEST_F(Registry, InjectedFailuresLeaveValuesAsTheyWere)
{
    sim::SetDword(Key, "Orientation", 1);
    ULONG four = 4;
    sim::FailRegistryWrites(2, STATUS_INSUFFICIENT_RESOURCES);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(
            RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, KeyW, u"Orientation", REG_DWORD, &four, 4),
            STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sim::GetValue(Key, "Orientation")->Data[0], 1);
    EXPECT_EQ(
        RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, KeyW, u"Orientation", REG_DWORD, &four, 4),
        STATUS_SUCCESS);

    // By value name, until cleared; other names are unaffected.
    sim::FailRegistryValueWrites("deviceinfo");
    EXPECT_EQ(
        RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, KeyW, u"DeviceInfo", REG_DWORD, &four, 4),
        STATUS_UNSUCCESSFUL);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, KeyW, u"Other", REG_DWORD, &four, 4),
              STATUS_SUCCESS);

    ULONG target = 0;
    sim::FailRegistryReads(1);
    EXPECT_EQ(QueryDirect(u"Orientation", &target), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(target, 0u);
    EXPECT_EQ(QueryDirect(u"Orientation", &target), STATUS_SUCCESS);
    EXPECT_EQ(target, 4u);
    sim::FailRegistryValueReads("Orientation", STATUS_OBJECT_NAME_NOT_FOUND);
    target = 0;
    EXPECT_EQ(QueryDirect(u"Orientation", &target), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(target, 0u);
    sim::ClearRegistryFaults();
    EXPECT_EQ(QueryDirect(u"Orientation", &target), STATUS_SUCCESS);

    const auto &queries = sim::RegistryQueries();
    ASSERT_EQ(queries.size(), 4u);
    EXPECT_EQ(queries[0].Names, std::vector<std::string>{"Orientation"});
    EXPECT_EQ(queries[0].Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(queries[3].Status, STATUS_SUCCESS);
}

TEST_F(Registry, CallsAbovePassiveLevelAreViolations)
{
    ViolationsExpected = true;
    ULONG four = 4;
    sim::SetIrql(APC_LEVEL);
    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, KeyW, u"Orientation", REG_DWORD, &four, 4);
    ULONG target = 0;
    QueryDirect(u"Orientation", &target);
    sim::SetIrql(PASSIVE_LEVEL);
    ASSERT_EQ(sim::Violations().size(), 2u);
    EXPECT_NE(sim::Violations()[0].Text.find("RtlWriteRegistryValue"), std::string::npos);
    EXPECT_NE(sim::Violations()[1].Text.find("RtlQueryRegistryValues"), std::string::npos);
}

TEST_F(Registry, HarnessKeysAndValues)
{
    EXPECT_FALSE(sim::SetDword("\\Registry\\Machine\\Software\\Nope", "X", 1));
    ASSERT_TRUE(sim::CreateKey("\\Registry\\Machine\\System\\A\\B"));
    EXPECT_TRUE(sim::KeyExists("\\Registry\\Machine\\System\\A"));
    EXPECT_TRUE(sim::SetDword("\\Registry\\Machine\\System\\A\\B", "X", 1));
    EXPECT_TRUE(sim::DeleteKey("\\Registry\\Machine\\System\\A"));
    EXPECT_FALSE(sim::KeyExists("\\Registry\\Machine\\System\\A\\B"));
    sim::SetDword(Key, "One", 1);
    sim::SetDword(Key, "Two", 2);
    EXPECT_TRUE(sim::DeleteValue(Key, "ONE"));
    EXPECT_FALSE(sim::GetValue(Key, "One"));
    ASSERT_EQ(sim::Values(Key).size(), 1u);
    EXPECT_EQ(sim::Values(Key)[0].first, "Two");

    // A value read into a record the caller keeps: exactly the value, the
    // record untouched when there is none.
    uint8_t bytes[6] = {1, 2, 3, 4, 5, 6};
    sim::SetValue(Key, "Six", REG_BINARY, bytes);
    sim::RegValue kept;
    ASSERT_TRUE(sim::GetValueInto(Key, "six", kept));
    EXPECT_EQ(kept.Type, (ULONG)REG_BINARY);
    EXPECT_EQ(kept.Data, std::vector<uint8_t>(bytes, bytes + 6));
    EXPECT_FALSE(sim::GetValueInto(Key, "One", kept));
    EXPECT_FALSE(sim::GetValueInto("\\Registry\\Machine\\Software\\Nope", "Six", kept));
    EXPECT_EQ(kept.Data.size(), 6u);
    ASSERT_TRUE(sim::GetValueInto(Key, "Two", kept));
    EXPECT_EQ(kept.Type, (ULONG)REG_DWORD);
    EXPECT_EQ(kept.Data, (std::vector<uint8_t>{2, 0, 0, 0}));

    // A value made after one was deleted has its own name, type and data.
    ASSERT_TRUE(sim::DeleteValue(Key, "Six"));
    UCHAR info[2] = {8, 0};
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, KeyW, u"DeviceInfo", REG_NONE, info, 2),
              STATUS_SUCCESS);
    auto values = sim::Values(Key);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[1].first, "DeviceInfo");
    EXPECT_EQ(values[1].second.Type, (ULONG)REG_NONE);
    EXPECT_EQ(values[1].second.Data, (std::vector<uint8_t>{8, 0}));
    EXPECT_FALSE(sim::GetValue(Key, "Six"));
    ASSERT_TRUE(sim::DeleteValue(Key, "DeviceInfo"));
    ASSERT_TRUE(sim::SetValue(Key, "devICEinfo2", REG_BINARY, {}));
    EXPECT_TRUE(sim::GetValue(Key, "DEVICEINFO2")->Data.empty());
    EXPECT_EQ(sim::Values(Key)[1].first, "devICEinfo2");
}

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
