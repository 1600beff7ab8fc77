// The registry call frame shared by the settings store's operations: a fresh
// tagged copy of the key path in paged pool, the one registry call, and the
// copy freed on every path. The registry routines run at PASSIVE_LEVEL only,
// and no context may lower the IRQL below the level it was entered at, so a
// caller above PASSIVE_LEVEL gets a failure with nothing read or written.
//
// Reads go through query routines that check the stored type and length
// against the target and refuse anything else (STATUS_OBJECT_TYPE_MISMATCH),
// so no stored value is ever written past its target.

#ifndef KVR_REGISTRY_FRAME_H
#define KVR_REGISTRY_FRAME_H

#include "../state/state.h"

// "\Registry\Machine\Software\Korvane\Brindlecourt": 47 characters.
extern const WCHAR ProductKeyPath[];
constexpr ULONG ProductKeyPathTag = 0x72656773; // "sger" in memory order

// One registry call, given the zero-terminated copy of the key path.
typedef NTSTATUS (*REGISTRY_CALL)(PCWSTR KeyPath, PVOID Context);

// Runs Call inside the frame. A path copy that cannot be allocated gives
// STATUS_INSUFFICIENT_RESOURCES and no call; a caller above PASSIVE_LEVEL gets
// STATUS_UNSUCCESSFUL and no call. Resident code: it may be reached above
// PASSIVE_LEVEL, where pageable code must not run.
NTSTATUS CallRegistry(PCWSTR KeyPath, ULONG PathTag, REGISTRY_CALL Call, PVOID Context);

// One value read through a query routine (no DIRECT flag), unexpanded
// (RTL_QUERY_REGISTRY_NOEXPAND). The value need not exist: an absent value
// leaves Target untouched and the query succeeds.
struct REGISTRY_QUERY {
    ULONG RelativeTo;
    PCWSTR Name;
    ULONG DefaultType; // REG_NONE: no default, DefaultData is then ignored
    PRTL_QUERY_REGISTRY_ROUTINE Routine;
    PVOID Target;
};

NTSTATUS QueryRegistryValue(PCWSTR KeyPath, ULONG PathTag, const REGISTRY_QUERY *Query);

// Query routine for a 32-bit setting: REG_DWORD of exactly 4 bytes into the
// ULONG at EntryContext.
NTSTATUS StoreDwordValue(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength,
                         PVOID Context, PVOID EntryContext);

#endif // KVR_REGISTRY_FRAME_H
