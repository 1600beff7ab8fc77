// The two reads behind QueryDataFilePath: the sibling driver's acceleration
// level, and the companion's data-file path composed from InstallLocation.

#include "registry_frame.h"
#include "settings.h"

constexpr WCHAR PeerDeviceKeyPath[] =
    u"\\Registry\\Machine\\system\\CurrentControlSet\\Services\\KEVO\\Device0";
static_assert(sizeof(PeerDeviceKeyPath) == 130, "peer key path: 64 characters and a terminator");
constexpr ULONG PeerDeviceKeyPathTag = 0x72656732; // "2ger" in memory order

constexpr WCHAR AccelerationLevelName[] = u"Acceleration.Level";
constexpr WCHAR InstallLocationName[] = u"InstallLocation";

constexpr unsigned CharacterSize = sizeof(WCHAR);

constexpr WCHAR PathPrefix[] = u"\\??\\";
constexpr WCHAR PathSuffix[] = u"\\kvrndis.dat";
constexpr unsigned PrefixCharacters = sizeof(PathPrefix) / CharacterSize - 1;
constexpr unsigned SuffixCharacters = sizeof(PathSuffix) / CharacterSize - 1;
constexpr unsigned PathCharacters = DataFilePathSize / CharacterSize; // terminator included
// The longest folder whose path still fits with its terminator: 83.
constexpr unsigned LongestFolder = PathCharacters - 1 - PrefixCharacters - SuffixCharacters;
static_assert(LongestFolder == 83, "a folder of 83 characters fills DataFilePath exactly");

constexpr SIZE_T ScratchSize = 200;
constexpr ULONG ScratchTag = 0x206B6444; // "Ddk " in memory order

KVR_PAGED_CODE bool QueryAccelerationLevel(ULONG *Level)
{
    REGISTRY_QUERY Query = {RTL_REGISTRY_ABSOLUTE, AccelerationLevelName, REG_NONE, StoreDwordValue,
                            Level};
    return NT_SUCCESS(QueryRegistryValue(PeerDeviceKeyPath, PeerDeviceKeyPathTag, &Query));
}

// InstallLocation as the query routine hands it over: the text in the scratch
// string, and whether a value was there at all.
struct INSTALL_LOCATION {
    UNICODE_STRING Text;
    bool Found;
};

// Accepts REG_SZ whose characters up to the first zero fit the scratch string
// with a terminator. The query asks for REG_EXPAND_SZ unexpanded (kernel-mode
// callers must not have the environment routines called for them), so such a
// value is taken only when it references no variable: its text is then the
// folder as it stands. One with a '%' has no expansion a driver can make, and
// is refused like any other unusable value.
KVR_PAGED_CODE static NTSTATUS StoreInstallLocation(PWSTR ValueName, ULONG ValueType,
                                                    PVOID ValueData, ULONG ValueLength,
                                                    PVOID Context, PVOID EntryContext)
{
    (void)ValueName;
    (void)Context;
    auto *Location = static_cast<INSTALL_LOCATION *>(EntryContext);
    if (ValueType != REG_SZ && ValueType != REG_EXPAND_SZ)
        return STATUS_OBJECT_TYPE_MISMATCH;
    if (ValueData == nullptr)
        return STATUS_OBJECT_TYPE_MISMATCH;
    const auto *Characters = static_cast<const WCHAR *>(ValueData);
    unsigned Stored = ValueLength / CharacterSize;
    unsigned Length = 0;
    while (Length < Stored && Characters[Length] != 0) {
        if (ValueType == REG_EXPAND_SZ && Characters[Length] == u'%')
            return STATUS_OBJECT_TYPE_MISMATCH;
        ++Length;
    }
    unsigned Capacity = Location->Text.MaximumLength / CharacterSize;
    if (Length + 1 > Capacity)
        return STATUS_OBJECT_TYPE_MISMATCH;
    for (unsigned i = 0; i < Length; ++i)
        Location->Text.Buffer[i] = Characters[i];
    Location->Text.Buffer[Length] = 0;
    Location->Text.Length = USHORT(Length * CharacterSize);
    Location->Found = true;
    return STATUS_SUCCESS;
}

KVR_PAGED_CODE static unsigned TextLength(const WCHAR *Text, unsigned Limit)
{
    unsigned Length = 0;
    while (Length < Limit && Text[Length] != 0)
        ++Length;
    return Length;
}

// Appends Count characters and a terminator at the path's terminator, found
// by scanning from its start. Nothing is written past the buffer.
KVR_PAGED_CODE static bool AppendText(WCHAR *Path, const WCHAR *Text, unsigned Count)
{
    unsigned End = TextLength(Path, PathCharacters);
    if (End + Count + 1 > PathCharacters)
        return false;
    for (unsigned i = 0; i < Count; ++i)
        Path[End + i] = Text[i];
    Path[End + Count] = 0;
    return true;
}

KVR_PAGED_CODE static void ResetPath(WCHAR *Path)
{
    for (unsigned i = 0; i < PathCharacters; ++i)
        Path[i] = 0;
    AppendText(Path, PathPrefix, PrefixCharacters);
}

KVR_PAGED_CODE static bool ReadInstallLocation(INSTALL_LOCATION *Location)
{
    // No default (REG_NONE): an absent value calls nothing and leaves Found
    // clear. REG_EXPAND_SZ comes unexpanded, as every value the frame reads.
    REGISTRY_QUERY Query = {RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, InstallLocationName,
                            REG_NONE, StoreInstallLocation, Location};
    NTSTATUS Status = QueryRegistryValue(ProductKeyPath, ProductKeyPathTag, &Query);
    return NT_SUCCESS(Status) && Location->Found;
}

// Clears the whole buffer first, so a shorter path leaves no trace of a
// longer one. Without a readable InstallLocation of at most 83 characters
// the buffer keeps "\??\" alone and the result is false.
KVR_PAGED_CODE bool BuildDataFilePath()
{
    WCHAR *Path = DriverState.DataFilePath.Load();
    if (Path == nullptr)
        return false;
    ResetPath(Path);

    auto *Scratch = static_cast<WCHAR *>(ExAllocatePoolWithTag(PagedPool, ScratchSize, ScratchTag));
    if (Scratch == nullptr)
        return false;
    INSTALL_LOCATION Location = {{0, USHORT(ScratchSize), Scratch}, false};
    bool Complete = false;
    if (ReadInstallLocation(&Location)) {
        unsigned Folder = Location.Text.Length / CharacterSize;
        Complete = Folder <= LongestFolder && AppendText(Path, Scratch, Folder) &&
                   AppendText(Path, PathSuffix, SuffixCharacters);
    }
    ExFreePoolWithTag(Scratch, ScratchTag);
    return Complete;
}
