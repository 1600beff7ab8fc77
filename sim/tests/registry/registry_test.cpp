// The simulated registry: direct queries with the platform's storage rules,
// type checks, optional keys, defaults, names without regard to case, query
// routines, writes, fault injection and the records.

#include "registry_fixture.h"

namespace
{

using namespace registry_test;

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

} // namespace
