// The registry tests' fixture: a kernel with the test key, direct queries,
// and a query routine that collects what it is given.

#ifndef KVR_SIM_TESTS_REGISTRY_FIXTURE_H
#define KVR_SIM_TESTS_REGISTRY_FIXTURE_H

#include "../fixture.h"

#include <string>
#include <utility>
#include <vector>

namespace registry_test
{

inline constexpr char Key[] = "\\Registry\\Machine\\Software\\Test";
inline constexpr char16_t KeyW[] = u"\\Registry\\Machine\\Software\\Test";

class Registry : public sim_test::NoFindings
{
  protected:
    void SetUp() override
    {
        sim::Options options;
        options.Keys = {Key};
        sim::Reset(options);
    }

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

struct Seen {
    std::vector<std::pair<ULONG, std::u16string>> Calls;
};

inline NTSTATUS Collect(PWSTR, ULONG type, PVOID data, ULONG length, PVOID context, PVOID)
{
    Seen *seen = (Seen *)context;
    seen->Calls.emplace_back(type, std::u16string((const char16_t *)data, length / 2));
    return STATUS_SUCCESS;
}

} // namespace registry_test

#endif // KVR_SIM_TESTS_REGISTRY_FIXTURE_H
