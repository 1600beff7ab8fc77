// The settings store: reads and writes of the product key's values by
// SettingKind, the publication of DeviceInfo and DeviceStatus, and the
// DeviceStatus lock.

#include "registry_frame.h"
#include "settings.h"

constexpr WCHAR ProductKeyPath[] = u"\\Registry\\Machine\\Software\\Korvane\\Brindlecourt";
static_assert(sizeof(ProductKeyPath) == 96, "product key path: 47 characters and a terminator");

constexpr WCHAR DeviceStatusName[] = u"DeviceStatus";
constexpr WCHAR DeviceInfoName[] = u"DeviceInfo";
constexpr WCHAR OrientationName[] = u"Orientation";
constexpr WCHAR BrightnessName[] = u"Brightness";
constexpr WCHAR TrayPreName[] = u"TrayPre";

constexpr unsigned PublishRetries = 50;
constexpr LONGLONG PublishRetryInterval = -1000000; // 100 ms, relative

// The frame.

// Sixteen bytes from From to To, as fixed-size moves that compile to plain
// loads and stores, never to a call of a run-time routine.
static void MoveChunk(UCHAR *To, const UCHAR *From)
{
    ULONGLONG Low;
    ULONGLONG High;
    __builtin_memcpy(&Low, From, sizeof(Low));
    __builtin_memcpy(&High, From + sizeof(Low), sizeof(High));
    __builtin_memcpy(To, &Low, sizeof(Low));
    __builtin_memcpy(To + sizeof(Low), &High, sizeof(High));
}

// Copies the counted path and appends the terminator. Every registry call of
// every monitor turn makes this copy, so it moves whole chunks: as many as
// fit, then one that ends where the path ends (overlapping the one before).
static void CopyKeyPath(UCHAR *Copy, const UNICODE_STRING *Path)
{
    constexpr SIZE_T Chunk = 16;
    const auto *Source = reinterpret_cast<const UCHAR *>(Path->Buffer);
    SIZE_T Length = Path->Length;
    if (Length >= Chunk) {
        for (SIZE_T i = 0; i + Chunk <= Length; i += Chunk)
            MoveChunk(Copy + i, Source + i);
        MoveChunk(Copy + Length - Chunk, Source + Length - Chunk);
    } else {
        for (SIZE_T i = 0; i < Length; ++i)
            Copy[i] = Source[i];
    }
    Copy[Length] = 0;
    Copy[Length + 1] = 0;
}

// Resident, and it looks at the IRQL before anything else: above
// PASSIVE_LEVEL the registry routines may not be called, and lowering the
// IRQL below the caller's is a fatal error, so the call is refused whole.
// Below that point everything runs at PASSIVE_LEVEL, where the paged path
// copy may be allocated and freed.
NTSTATUS CallRegistry(PCWSTR KeyPath, ULONG PathTag, REGISTRY_CALL Call, PVOID Context)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        return STATUS_UNSUCCESSFUL;
    UNICODE_STRING Path;
    RtlInitUnicodeString(&Path, KeyPath);
    SIZE_T CopySize = Path.Length + sizeof(WCHAR);

    auto *Copy = static_cast<UCHAR *>(ExAllocatePoolWithTag(PagedPool, CopySize, PathTag));
    if (Copy == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    CopyKeyPath(Copy, &Path);
    NTSTATUS Status = Call(reinterpret_cast<PCWSTR>(Copy), Context);
    ExFreePoolWithTag(Copy, PathTag);
    return Status;
}

KVR_PAGED_CODE static NTSTATUS RunQuery(PCWSTR KeyPath, PVOID Context)
{
    const auto *Query = static_cast<const REGISTRY_QUERY *>(Context);
    RTL_QUERY_REGISTRY_TABLE Table[2] = {};
    Table[0].QueryRoutine = Query->Routine;
    Table[0].Name = const_cast<PWSTR>(Query->Name);
    // Every value comes as stored: kernel-mode callers must not have
    // REG_EXPAND_SZ expanded (the environment routines are unsafe for them),
    // whatever type a value has been given.
    Table[0].Flags = RTL_QUERY_REGISTRY_NOEXPAND;
    Table[0].EntryContext = Query->Target;
    Table[0].DefaultType = Query->DefaultType;
    return RtlQueryRegistryValues(Query->RelativeTo, KeyPath, Table, nullptr, nullptr);
}

// Resident, like the frame it enters.
NTSTATUS QueryRegistryValue(PCWSTR KeyPath, ULONG PathTag, const REGISTRY_QUERY *Query)
{
    return CallRegistry(KeyPath, PathTag, RunQuery, const_cast<REGISTRY_QUERY *>(Query));
}

// Query routines.

static ULONG ReadLittleEndian32(const UCHAR *Bytes)
{
    return ULONG(Bytes[0]) | ULONG(Bytes[1]) << 8 | ULONG(Bytes[2]) << 16 | ULONG(Bytes[3]) << 24;
}

KVR_PAGED_CODE NTSTATUS StoreDwordValue(PWSTR ValueName, ULONG ValueType, PVOID ValueData,
                                        ULONG ValueLength, PVOID Context, PVOID EntryContext)
{
    (void)ValueName;
    (void)Context;
    if (ValueType != REG_DWORD || ValueLength != sizeof(ULONG) || ValueData == nullptr)
        return STATUS_OBJECT_TYPE_MISMATCH;
    ULONG Value = ReadLittleEndian32(static_cast<const UCHAR *>(ValueData));
    // The target may be a shared field (OrientationValue, TrayPresent).
    __atomic_store_n(static_cast<ULONG *>(EntryContext), Value, __ATOMIC_RELAXED);
    return STATUS_SUCCESS;
}

// DeviceInfo: REG_BINARY of exactly 2 bytes.
KVR_PAGED_CODE static NTSTATUS StoreDeviceInfoValue(PWSTR ValueName, ULONG ValueType,
                                                    PVOID ValueData, ULONG ValueLength,
                                                    PVOID Context, PVOID EntryContext)
{
    (void)ValueName;
    (void)Context;
    if (ValueType != REG_BINARY || ValueLength != DeviceInfoSize || ValueData == nullptr)
        return STATUS_OBJECT_TYPE_MISMATCH;
    SharedCopyOut(static_cast<UCHAR *>(EntryContext), static_cast<const UCHAR *>(ValueData),
                  DeviceInfoSize);
    return STATUS_SUCCESS;
}

// The DeviceStatus lock.

KVR_PAGED_CODE void AcquireDeviceStatusLock()
{
    KeWaitForSingleObject(&DriverState.DeviceStatusLock, Executive, KernelMode, FALSE, nullptr);
}

KVR_PAGED_CODE void ReleaseDeviceStatusLock()
{
    KeReleaseMutex(&DriverState.DeviceStatusLock, FALSE);
}

// Writes.

struct VALUE_WRITE {
    PCWSTR Name;
    ULONG Type;
    const void *Source;
    ULONG Length;
    bool TakeDeviceStatusLock;
};

constexpr ULONG LargestValue = DeviceStatusSize;

// Copies the source byte by byte as it stands now (other contexts may be
// writing it) and writes the copy.
KVR_PAGED_CODE static NTSTATUS CopyAndWrite(PCWSTR KeyPath, const VALUE_WRITE *Write)
{
    UCHAR Data[LargestValue];
    SharedCopyIn(Data, static_cast<const UCHAR *>(Write->Source), Write->Length);
    return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, KeyPath, Write->Name, Write->Type, Data,
                                 Write->Length);
}

KVR_PAGED_CODE static NTSTATUS RunWrite(PCWSTR KeyPath, PVOID Context)
{
    const auto *Write = static_cast<const VALUE_WRITE *>(Context);
    if (!Write->TakeDeviceStatusLock)
        return CopyAndWrite(KeyPath, Write);
    AcquireDeviceStatusLock();
    NTSTATUS Status = CopyAndWrite(KeyPath, Write);
    ReleaseDeviceStatusLock();
    return Status;
}

KVR_PAGED_CODE static bool WriteValue(VALUE_WRITE *Write)
{
    return NT_SUCCESS(CallRegistry(ProductKeyPath, ProductKeyPathTag, RunWrite, Write));
}

KVR_PAGED_CODE bool WriteDeviceStatus(bool Locked)
{
    VALUE_WRITE Write = {DeviceStatusName, REG_BINARY, &DriverState.DeviceStatusRecord,
                         DeviceStatusSize, !Locked};
    return WriteValue(&Write);
}

KVR_PAGED_CODE static bool WriteDeviceInfo()
{
    VALUE_WRITE Write = {DeviceInfoName, REG_BINARY, &DriverState.DeviceInfoRecord, DeviceInfoSize,
                         false};
    return WriteValue(&Write);
}

// The operations.

KVR_PAGED_CODE bool QuerySetting(LONG Kind, PVOID Target)
{
    REGISTRY_QUERY Query = {RTL_REGISTRY_ABSOLUTE, nullptr, REG_NONE, StoreDwordValue, Target};
    switch (Kind) {
    case SettingTrayPre:
        Query.Name = TrayPreName;
        break;
    case SettingDeviceInfo:
        Query.Name = DeviceInfoName;
        Query.Routine = StoreDeviceInfoValue;
        break;
    case SettingOrientation:
        Query.Name = OrientationName;
        break;
    case SettingBrightness:
        Query.Name = BrightnessName;
        break;
    default:
        return false;
    }
    return NT_SUCCESS(QueryRegistryValue(ProductKeyPath, ProductKeyPathTag, &Query));
}

// Kind 1 always writes the live DeviceStatusRecord, copied under the lock.
KVR_PAGED_CODE bool WriteSetting(LONG Kind, const void *Data)
{
    VALUE_WRITE Write = {nullptr, REG_DWORD, Data, sizeof(ULONG), false};
    switch (Kind) {
    case SettingDeviceStatus:
        return WriteDeviceStatus(false);
    case SettingDeviceInfo:
        Write.Name = DeviceInfoName;
        Write.Type = REG_BINARY;
        Write.Length = DeviceInfoSize;
        break;
    case SettingOrientation:
        Write.Name = OrientationName;
        break;
    case SettingBrightness:
        Write.Name = BrightnessName;
        break;
    default:
        return false;
    }
    return WriteValue(&Write);
}

KVR_PAGED_CODE static void WaitBeforeRetry()
{
    LARGE_INTEGER Interval;
    Interval.QuadPart = PublishRetryInterval;
    KeDelayExecutionThread(KernelMode, FALSE, &Interval);
}

// DeviceInfo is tried up to 51 times, 100 ms apart (about five seconds), and
// only once it is stored is DeviceStatus written, once.
KVR_PAGED_CODE bool PublishStatus()
{
    if (!WriteDeviceInfo()) {
        unsigned Retries = 0;
        bool Written = false;
        while (!Written) {
            if (Retries == PublishRetries)
                return false;
            WaitBeforeRetry();
            Written = WriteDeviceInfo();
            ++Retries;
        }
    }
    return WriteDeviceStatus(false);
}
