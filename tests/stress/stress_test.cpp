// Stress on real threads: the simulated kernel in free-running mode, with
// threads posting device-interface notifications (frames of both modes,
// removals, other devices, malformed names), threads sending the nine control
// codes and unknown ones with good and bad lengths, a thread changing power
// states, and the sibling driver changing its answers and completing requests
// late from its own thread, while the monitor thread polls.
//
// Checked while it runs: every DeviceStatus written has bytes 5-7 zero and a
// session-parameter pair that one StartExternalSession carried; every control
// request answers as its code and lengths say; the identifier texts, read
// under the event lock as the monitor reads them, are never torn.
// Checked at the end: the registry's last DeviceStatus is the final record;
// a display left powered off is still reported so;
// no connection event was lost beyond what the single slot allows; no pool
// leaked, no reference held or dropped twice, no verifier finding.
//
// Bounded to a few seconds by default; longer with KVR_STRESS_SECONDS=N or
// --seconds=N.
//
// Host build only: the real image runs only in the kernel's deterministic
// mode (one thread at a time, its CR8 reads trapped on the calling context),
// and this test is about real threads running at once.

#include "sim/sim.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "driver/control/control.h"
#include "driver/core/miniport.h"
#include "driver/detect/detect.h"

namespace
{

unsigned StressSeconds = 3;

constexpr std::string_view ProductKey = "\\Registry\\Machine\\Software\\Korvane\\Brindlecourt";
constexpr std::string_view PeerDeviceKey =
    "\\Registry\\Machine\\system\\CurrentControlSet\\Services\\KEVO\\Device0";
// Real microseconds per virtual millisecond: a 250 ms turn is 2.5 ms.
constexpr uint32_t MicrosPerVirtualMs = 10;

// ---------------------------------------------------------------------------
// The notifications: a fixed catalogue, each with the texts the handler must
// take from it, so that a watcher can tell a torn text from a posted one.

constexpr size_t TripleSize = 5 + 5 + 7; // NotifiedVid, NotifiedPid, NotifiedSerialPrefix
using Triple = std::array<uint8_t, TripleSize>;
using IdPair = std::array<uint8_t, 10>; // CurrentVid text, CurrentPid text

struct Notice {
    GUID Event;
    GUID Class;
    std::vector<uint8_t> Name; // UTF-16 bytes, any length
    bool NullBuffer = false;
    bool Accepted = false;       // posts a connection event
    bool MonitorArrival = false; // an accepted arrival of a monitor-mode ID
    Triple Texts{};
    IdPair Ids{}; // for accepted notices
};

std::vector<uint8_t> Utf16Bytes(std::string_view Text)
{
    std::vector<uint8_t> Bytes;
    for (char c : Text) {
        Bytes.push_back(uint8_t(c));
        Bytes.push_back(0);
    }
    return Bytes;
}

// What the handler takes from a name: characters at fixed positions, cut to
// 8 bits, zero where the name has none.
uint8_t NameCharacter(const Notice &Item, size_t Index)
{
    if (Item.NullBuffer || Index >= Item.Name.size() / 2)
        return 0;
    return Item.Name[2 * Index];
}

void ComputeTexts(Notice &Item)
{
    for (size_t i = 0; i < 4; ++i) {
        Item.Texts[i] = NameCharacter(Item, 12 + i);
        Item.Texts[5 + i] = NameCharacter(Item, 21 + i);
    }
    for (size_t i = 0; i < 6; ++i)
        Item.Texts[10 + i] = NameCharacter(Item, 26 + i);
    bool Long = !Item.NullBuffer && Item.Name.size() / 2 >= 32;
    bool FrameVendor = std::memcmp(Item.Texts.data(), FrameVendorId[0], 5) == 0 ||
                       std::memcmp(Item.Texts.data(), FrameVendorId[1], 5) == 0;
    bool Posting = std::memcmp(&Item.Event, &GUID_DEVICE_INTERFACE_ARRIVAL, sizeof(GUID)) == 0 ||
                   std::memcmp(&Item.Event, &GUID_DEVICE_INTERFACE_REMOVAL, sizeof(GUID)) == 0;
    bool UsbClass = std::memcmp(&Item.Class, &GUID_DEVINTERFACE_USB_DEVICE, sizeof(GUID)) == 0;
    Item.Accepted = Long && FrameVendor && Posting && UsbClass;
    std::memcpy(Item.Ids.data(), Item.Texts.data(), 10);
}

Notice MakeNotice(const GUID &Event, std::string_view Vid, std::string_view Pid,
                  std::string_view Instance, const GUID &Class = GUID_DEVINTERFACE_USB_DEVICE)
{
    Notice Item;
    Item.Event = Event;
    Item.Class = Class;
    Item.Name = Utf16Bytes(sim::UsbInterfaceName(Vid, Pid, Instance));
    ComputeTexts(Item);
    return Item;
}

struct Catalogue {
    std::vector<Notice> FrameNotices; // accepted, one thread posts them
    std::vector<Notice> OtherNotices; // never accepted
    std::set<Triple> Texts;
    std::set<IdPair> Ids;
};

// Frames: the vendor's letter case follows the product ID's index, and the
// instance prefix repeats the product ID, so that a mix of two notices is no
// notice. Two monitor-mode IDs come with the prefix of external sessions.
Catalogue BuildCatalogue()
{
    Catalogue Result;
    auto AddFrame = [&](const char *Pid, unsigned Index, bool Monitor) {
        std::string Vendor = FrameVendorId[Index % 2];
        std::string Instance = Monitor && Index % 11 == 3 ? "TQXRA4-" + std::to_string(Index)
                                                          : "Q" + std::string(Pid) + "Z-9";
        for (const GUID &Event : {GUID_DEVICE_INTERFACE_ARRIVAL, GUID_DEVICE_INTERFACE_REMOVAL}) {
            Notice Item = MakeNotice(Event, Vendor, Pid, Instance);
            Item.MonitorArrival =
                Monitor && std::memcmp(&Event, &GUID_DEVICE_INTERFACE_ARRIVAL, sizeof(GUID)) == 0;
            Result.FrameNotices.push_back(Item);
        }
    };
    for (unsigned i = 0; i < MonitorModeIdCount; ++i)
        AddFrame(MonitorModeIds[i], i, true);
    for (unsigned i = 0; i < AltModeIdCount; ++i)
        AddFrame(AltModeIds[i], i, false);

    const GUID OtherEvent = {0x12345678, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
    const GUID OtherClass = {0x87654321, 0x3333, 0x4444, {8, 7, 6, 5, 4, 3, 2, 1}};
    std::vector<Notice> &Other = Result.OtherNotices;
    // Other vendors, with product IDs of the tables.
    Other.push_back(MakeNotice(GUID_DEVICE_INTERFACE_ARRIVAL, "FFFF", MonitorModeIds[0], "OTHER1"));
    Other.push_back(MakeNotice(GUID_DEVICE_INTERFACE_REMOVAL, "1234", AltModeIds[1], "OTHER2x"));
    Other.push_back(MakeNotice(GUID_DEVICE_INTERFACE_ARRIVAL, "abcD", MonitorModeIds[2], "OTHER3"));
    // The frame vendor with another event or another interface class.
    Other.push_back(MakeNotice(OtherEvent, FrameVendorId[0], MonitorModeIds[3], "QBADEV"));
    Other.push_back(MakeNotice(GUID_DEVICE_INTERFACE_ARRIVAL, FrameVendorId[1], MonitorModeIds[4],
                               "QBADCL", OtherClass));
    // Names too short to hold the IDs and the prefix, one of odd length, one
    // without a buffer, one empty.
    Notice Full =
        MakeNotice(GUID_DEVICE_INTERFACE_ARRIVAL, FrameVendorId[0], MonitorModeIds[5], "SHORT1");
    for (size_t Bytes : {size_t(0), size_t(29), size_t(40), size_t(50), size_t(63)}) {
        Notice Item = Full;
        Item.Name.resize(Bytes);
        ComputeTexts(Item);
        Other.push_back(Item);
    }
    Notice Null = Full;
    Null.NullBuffer = true;
    ComputeTexts(Null);
    Other.push_back(Null);

    for (const std::vector<Notice> *List : {&Result.FrameNotices, &Result.OtherNotices}) {
        for (const Notice &Item : *List) {
            EXPECT_EQ(Item.Accepted, List == &Result.FrameNotices);
            Result.Texts.insert(Item.Texts);
            if (Item.Accepted)
                Result.Ids.insert(Item.Ids);
        }
    }
    Result.Texts.insert(Triple{});
    IdPair Initial{};
    Initial[0] = '0';
    Initial[5] = '0';
    Result.Ids.insert(Initial);
    return Result;
}

void Post(const Notice &Item)
{
    sim::PostInterfaceChange(Item.Event, Item.Class, Item.Name, Item.NullBuffer);
}

// ---------------------------------------------------------------------------
// Shared accounting of the run.

struct Counters {
    std::atomic<bool> Stop{false};
    std::atomic<uint64_t> Failures{0};

    // Connection events.
    std::mutex FrameLock; // one frame notice at a time: peek, then post
    // Which frames are plugged in, by their arrival's index in FrameNotices:
    // as on the platform, a frame arrives only when absent and is removed
    // only when present (a second report of an arrival posts nothing).
    std::set<size_t> Present;
    uint64_t AcceptedPosts = 0;
    uint64_t MonitorArrivalPosts = 0;
    uint64_t PostsOverArrival = 0; // posts that found an arrival pending
    uint64_t PostsOverRemoval = 0;

    // Registry queries that control codes caused.
    std::atomic<uint64_t> IoctlQueries{0};

    // Session pairs sent with StartExternalSession.
    std::mutex PairLock;
    std::set<std::pair<uint32_t, uint32_t>> SentPairs{{0, 0}};

    std::atomic<uint64_t> DeviceStatusWrites{0};
    std::atomic<uint64_t> DeviceInfoWrites{0};
    std::atomic<uint64_t> Snapshots{0};

    std::mutex ReportLock;
    std::vector<std::string> Reports;
    std::map<std::string, uint64_t> Operations;
};

Counters *Load = nullptr;

void Fail(const std::string &Text)
{
    std::lock_guard<std::mutex> Lock(Load->ReportLock);
    if (++Load->Failures <= 20)
        Load->Reports.push_back(Text);
}

void CountOperations(const std::string &Thread, uint64_t Count)
{
    std::lock_guard<std::mutex> Lock(Load->ReportLock);
    Load->Operations[Thread] = Count;
}

uint32_t PartnerOf(uint32_t First)
{
    return (First * 2654435761u) ^ 0x5A5A5A5Au;
}

uint32_t Le32(const uint8_t *Bytes)
{
    return uint32_t(Bytes[0]) | uint32_t(Bytes[1]) << 8 | uint32_t(Bytes[2]) << 16 |
           uint32_t(Bytes[3]) << 24;
}

// Every DeviceStatus the registry receives, as it is written.
void CheckRegistryWrite(const sim::TraceEvent &Event)
{
    if (Event.Kind != sim::TraceKind::Reg || !Event.Ok)
        return;
    if (Event.Name == "DeviceInfo") {
        ++Load->DeviceInfoWrites;
        if (Event.Data.size() != 2)
            Fail("DeviceInfo of " + std::to_string(Event.Data.size()) + " bytes");
        return;
    }
    if (Event.Name != "DeviceStatus")
        return;
    ++Load->DeviceStatusWrites;
    const std::vector<uint8_t> &Data = Event.Data;
    if (Data.size() != 16) {
        Fail("DeviceStatus of " + std::to_string(Data.size()) + " bytes");
        return;
    }
    if (Data[5] != 0 || Data[6] != 0 || Data[7] != 0)
        Fail("DeviceStatus with a reserved byte set");
    std::pair<uint32_t, uint32_t> Pair{Le32(&Data[8]), Le32(&Data[12])};
    std::lock_guard<std::mutex> Lock(Load->PairLock);
    if (Load->SentPairs.count(Pair) == 0)
        Fail("DeviceStatus with session parameters no request carried: " +
             std::to_string(Pair.first) + ", " + std::to_string(Pair.second));
}

// ---------------------------------------------------------------------------
// The load.

// A random pause on the virtual clock, or none (a burst).
void Pause(std::mt19937 &Random, uint32_t MaxMs)
{
    uint32_t Ms = Random() % (MaxMs + 1);
    if (Ms > MaxMs / 3)
        sim::Advance(Ms);
}

void FrameNotifier(const Catalogue &Notices, unsigned Seed)
{
    std::mt19937 Random(Seed);
    const std::vector<Notice> &Frames = Notices.FrameNotices;
    uint64_t Count = 0;
    while (!Load->Stop) {
        size_t Frame = (Random() % (Frames.size() / 2)) * 2; // its arrival; removal follows
        {
            std::lock_guard<std::mutex> Lock(Load->FrameLock);
            bool Leaves = Load->Present.erase(Frame) != 0;
            if (!Leaves)
                Load->Present.insert(Frame);
            const Notice &Item = Frames[Frame + (Leaves ? 1 : 0)];
            ULONG Pending = DriverState.PendingEvent.LoadAcquire();
            Load->PostsOverArrival += Pending == EventArrival;
            Load->PostsOverRemoval += Pending == EventRemoval;
            ++Load->AcceptedPosts;
            Load->MonitorArrivalPosts += Item.MonitorArrival;
            Post(Item);
        }
        ++Count;
        Pause(Random, 1200);
    }
    CountOperations("frame notifications " + std::to_string(Seed), Count);
}

void OtherNotifier(const Catalogue &Notices, unsigned Seed)
{
    std::mt19937 Random(Seed);
    uint64_t Count = 0;
    while (!Load->Stop) {
        Post(Notices.OtherNotices[Random() % Notices.OtherNotices.size()]);
        ++Count;
        Pause(Random, 30);
    }
    CountOperations("other-device notifications", Count);
}

// Takes the identifier texts under the event lock, as the monitor takes its
// snapshot, and checks that they are texts some notification carried whole.
void SnapshotWatcher(const Catalogue &Notices)
{
    uint64_t Count = 0;
    while (!Load->Stop) {
        Triple Texts;
        IdPair Ids;
        AcquireEventLock();
        std::memcpy(&Texts[0], DriverState.NotifiedVid, 5);
        std::memcpy(&Texts[5], DriverState.NotifiedPid, 5);
        std::memcpy(&Texts[10], DriverState.NotifiedSerialPrefix, 7);
        std::memcpy(&Ids[0], DriverState.CurrentVidText, 5);
        std::memcpy(&Ids[5], DriverState.CurrentPidText, 5);
        ReleaseEventLock();
        if (Notices.Texts.count(Texts) == 0)
            Fail("torn notified texts");
        if (Notices.Ids.count(Ids) == 0)
            Fail("torn current identifiers");
        ++Count;
        if (Count % 64 == 0)
            sim::Advance(1);
    }
    Load->Snapshots = Count;
    CountOperations("identifier snapshots", Count);
}

struct CodeCase {
    ULONG Code;
    ULONG InputNeeded;
    ULONG OutputNeeded;
    ULONG_PTR Information;       // on success; ~0 when the handler leaves it alone
    VP_STATUS Status = NO_ERROR; // with buffers long enough
};

constexpr ULONG_PTR Untouched = ~ULONG_PTR(0);
constexpr ULONG_PTR PresetInformation = 0x5A5A;

const CodeCase Codes[] = {
    {IoctlStartExternalSession, 8, 0, 8},  {IoctlQueryOrientation, 0, 4, 4},
    {IoctlSetOrientation, 4, 0, 4},        {IoctlActivateClient, 0, 0, Untouched},
    {IoctlQueryDisplayMode, 0, 6, 6},      {IoctlQueryPowerOff, 0, 1, 1},
    {IoctlQueryDataFilePath, 0, 200, 200}, {IoctlEndExternalSession, 0, 0, Untouched},
    {IoctlQueryWideModel, 0, 1, 1},
};

// A code the driver does not serve: of the video device type and buffered,
// or anything at all. Outside the private codes' access class
// (FILE_READ_ACCESS) it answers ERROR_INVALID_FUNCTION.
CodeCase UnknownCode(std::mt19937 &Random)
{
    for (;;) {
        ULONG Code = Random() % 3 == 0 ? ULONG(0x234000 | (Random() & 0x3FFF)) : ULONG(Random());
        bool Served = false;
        for (const CodeCase &Case : Codes)
            Served = Served || Case.Code == Code;
        bool ReadAccess = ((Code >> 14) & 3) == FILE_READ_ACCESS;
        if (!Served)
            return CodeCase{Code, 0, 0, Untouched, ReadAccess ? NO_ERROR : ERROR_INVALID_FUNCTION};
    }
}

uint32_t LengthAround(std::mt19937 &Random, ULONG Needed, bool &Short)
{
    Short = false;
    switch (Random() % 4) {
    case 0:
        Short = Needed > 0;
        return 0;
    case 1:
        Short = Needed > 0;
        return Needed > 0 ? Needed - 1 : 0;
    case 2:
        return Needed;
    default:
        return Needed + Random() % 64;
    }
}

void SendCodes(unsigned Seed)
{
    std::mt19937 Random(Seed);
    uint64_t Count = 0;
    uint32_t SessionCounter = 0;
    while (!Load->Stop) {
        CodeCase Case =
            Random() % 8 != 0 ? Codes[Random() % std::size(Codes)] : UnknownCode(Random);
        bool ShortInput = false;
        bool ShortOutput = false;
        uint32_t InputLength = LengthAround(Random, Case.InputNeeded, ShortInput);
        uint32_t OutputLength = LengthAround(Random, Case.OutputNeeded, ShortOutput);
        std::vector<uint8_t> Input(InputLength + 1);
        for (uint8_t &Byte : Input)
            Byte = uint8_t(Random());
        if (Case.Code == IoctlStartExternalSession && InputLength >= 8) {
            uint32_t First = (Seed << 24) | (++SessionCounter & 0xFFFFFF);
            uint32_t Second = PartnerOf(First);
            for (unsigned i = 0; i < 4; ++i) {
                Input[i] = uint8_t(First >> (8 * i));
                Input[4 + i] = uint8_t(Second >> (8 * i));
            }
            std::lock_guard<std::mutex> Lock(Load->PairLock);
            Load->SentPairs.insert({First, Second});
        }
        sim::IoctlResult Result =
            sim::Ioctl(Case.Code, std::span<const uint8_t>(Input.data(), InputLength), OutputLength,
                       0xCC, PresetInformation, 0x7777);
        ++Count;
        bool Refused = ShortInput || ShortOutput;
        bool Invalid = Case.Status == ERROR_INVALID_FUNCTION;
        std::string What = "code " + std::to_string(Case.Code) + " in " +
                           std::to_string(InputLength) + " out " + std::to_string(OutputLength);
        if (!Result.Returned)
            Fail(What + ": HwStartIO returned FALSE");
        bool KnownStatus =
            Invalid ? Result.Status == ERROR_INVALID_FUNCTION
                    : Result.Status == NO_ERROR || Result.Status == ERROR_INSUFFICIENT_BUFFER;
        if (!KnownStatus)
            Fail(What + ": status " + std::to_string(Result.Status));
        if (Result.Status != NO_ERROR && Result.Information != 0)
            Fail(What + ": refused with Information set");
        if (Refused && !Invalid && Result.Status != ERROR_INSUFFICIENT_BUFFER)
            Fail(What + ": a short buffer was not refused");
        if (!Refused && !Invalid && Case.Code != IoctlQueryDataFilePath &&
            Result.Status != NO_ERROR)
            Fail(What + ": refused");
        if (Result.Status == NO_ERROR) {
            ULONG_PTR Expected =
                Case.Information == Untouched ? PresetInformation : Case.Information;
            // The codes without output report their input's count only to an
            // output buffer that can take it.
            if (Case.OutputNeeded == 0 && Case.Information != Untouched &&
                OutputLength < Case.Information)
                Expected = 0;
            if (Result.Information != Expected)
                Fail(What + ": Information " + std::to_string(Result.Information));
        }
        // Registry reads that the code made, for the event accounting.
        if (Result.Status == NO_ERROR && Case.Code == IoctlQueryOrientation)
            Load->IoctlQueries += 1;
        if (Result.Status == NO_ERROR && Case.Code == IoctlQueryDataFilePath)
            Load->IoctlQueries += 2;
    }
    CountOperations("control codes " + std::to_string(Seed), Count);
}

void ChangePower(unsigned Seed)
{
    std::mt19937 Random(Seed);
    uint64_t Count = 0;
    while (!Load->Stop) {
        ULONG State = VideoPowerOn + Random() % 4;
        if (sim::SetPowerState(State) != NO_ERROR)
            Fail("HwSetPowerState refused");
        ++Count;
        Pause(Random, 600);
    }
    CountOperations("power states", Count);
}

// The sibling driver: changes its answers and the way it completes requests.
void DriveSibling(unsigned Seed)
{
    std::mt19937 Random(Seed);
    uint64_t Count = 0;
    const UCHAR Modes[] = {3, 3, 3, 2, 0, 5};
    while (!Load->Stop) {
        sim::SetFrameMode(Modes[Random() % std::size(Modes)]);
        sim::SetFramePanel(UCHAR(Random()), UCHAR(Random()));
        sim::SetFrameInput(UCHAR(Random() % 3 == 0), UCHAR(Random()));
        unsigned Way = Random() % 10;
        sim::SetPeerCompletion(Way < 6   ? sim::Completion::Now
                               : Way < 9 ? sim::Completion::Pending
                                         : sim::Completion::Fail,
                               STATUS_UNSUCCESSFUL);
        ++Count;
        Pause(Random, 500);
    }
    CountOperations("sibling changes", Count);
}

// Waits on the virtual clock until Done holds or LimitMs pass.
bool AwaitVirtual(const std::function<bool()> &Done, uint64_t LimitMs)
{
    uint64_t Limit = sim::NowMs() + LimitMs;
    while (!Done()) {
        if (sim::NowMs() >= Limit)
            return false;
        sim::Advance(50);
    }
    return true;
}

std::vector<uint8_t> StatusRecordBytes()
{
    const DEVICE_STATUS_RECORD &Status = DriverState.DeviceStatusRecord;
    std::vector<uint8_t> Bytes = {
        Status.LinkState.Load(),    Status.DeviceMode.Load(),   Status.ExternalSession.Load(),
        Status.PowerOffSeen.Load(), Status.InputPending.Load(), Status.Reserved[0],
        Status.Reserved[1],         Status.Reserved[2]};
    for (uint32_t Word : {Status.SessionParam1.Load(), Status.SessionParam2.Load()}) {
        for (unsigned i = 0; i < 4; ++i)
            Bytes.push_back(uint8_t(Word >> (8 * i)));
    }
    return Bytes;
}

TEST(Stress, RealThreadsAgainstTheDriver)
{
    Counters Counts;
    Load = &Counts;
    Catalogue Notices = BuildCatalogue();

    sim::Options Options;
    Options.RunMode = sim::Mode::FreeRunning;
    Options.RealMicrosPerVirtualMs = MicrosPerVirtualMs;
    Options.Keys = {std::string(ProductKey), std::string(PeerDeviceKey)};
    Options.TraceEnabled = false;
    Options.RecordWaits = false;
    Options.RecordRegistry = false;
    Options.RecordPeerRequests = false;
    // Random orientations may hold the reply pattern's byte.
    Options.CheckReplyBytes = false;
    sim::Reset(Options);
    DriverState = DRIVER_STATE{};
    sim::ExpectSurvivingPool(sim::Tag("ffub"));
    sim::SetTraceObserver(CheckRegistryWrite);
    ASSERT_TRUE(sim::SetString(ProductKey, "InstallLocation", "C:\\Program Files\\Kvr"));
    ASSERT_TRUE(sim::SetDword(PeerDeviceKey, "Acceleration.Level", 0));
    sim::SetFrameMode(3);
    sim::SetPeerAutoCompleteMs(40);

    ASSERT_EQ(sim::LoadDriver(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(sim::StartAdapter().FindStatus, NO_ERROR);
    uint64_t QueriesBefore = sim::RegistryQueryCount();

    std::vector<std::thread> Threads;
    Threads.emplace_back(FrameNotifier, std::cref(Notices), 1u);
    Threads.emplace_back(FrameNotifier, std::cref(Notices), 2u);
    Threads.emplace_back(OtherNotifier, std::cref(Notices), 3u);
    Threads.emplace_back(SnapshotWatcher, std::cref(Notices));
    Threads.emplace_back(SendCodes, 4u);
    Threads.emplace_back(SendCodes, 5u);
    Threads.emplace_back(ChangePower, 6u);
    Threads.emplace_back(DriveSibling, 7u);

    uint64_t VirtualMs = uint64_t(StressSeconds) * 1000000 / MicrosPerVirtualMs;
    uint64_t Start = sim::NowMs();
    while (sim::NowMs() < Start + VirtualMs)
        sim::Advance(100);
    Counts.Stop = true;
    for (std::thread &Thread : Threads)
        Thread.join();
    uint64_t Turns = sim::WaitCount();
    uint64_t PeerRequests = sim::PeerRequestCount();

    // Quiet end: the sibling answers at once, an alternate-mode frame arrives
    // (the peer is released), and the monitor settles.
    sim::SetPeerCompletion(sim::Completion::Now);
    {
        std::lock_guard<std::mutex> Lock(Counts.FrameLock);
        ULONG Pending = DriverState.PendingEvent.LoadAcquire();
        Counts.PostsOverArrival += Pending == EventArrival;
        Counts.PostsOverRemoval += Pending == EventRemoval;
        ++Counts.AcceptedPosts;
        Post(MakeNotice(GUID_DEVICE_INTERFACE_ARRIVAL, FrameVendorId[0], AltModeIds[0], "QEND00"));
    }
    EXPECT_TRUE(AwaitVirtual(
        [] {
            return DriverState.PendingEvent.LoadAcquire() == EventNone &&
                   DriverState.PeerDevice.Load() == nullptr && sim::PendingPeerRequests() == 0;
        },
        2000000))
        << "the monitor did not settle";
    sim::Advance(1000);

    std::optional<sim::RegValue> Stored = sim::GetValue(ProductKey, "DeviceStatus");
    ASSERT_TRUE(Stored.has_value());
    EXPECT_EQ(Stored->Data, StatusRecordBytes()) << "the registry's last DeviceStatus";
    AcquireEventLock();
    ULONG Sequence = DriverState.EventSequence;
    ReleaseEventLock();
    EXPECT_EQ(Sequence, Counts.AcceptedPosts) << "accepted notifications counted by the handler";
    EXPECT_EQ(sim::OpenFileObjects(), 0u) << "a reference on the sibling's device is still held";
    // A power-off is acknowledged away only once the display is on again.
    if (DriverState.PowerState.Load() == VideoPowerOff) {
        EXPECT_EQ(DriverState.PoweredOff.Load(), 1) << "a power-off lost to QueryPowerOff";
    }

    sim::StopThreads();
    sim::SetTraceObserver({});

    // Every monitor-mode arrival handled reads TrayPre once; the other reads
    // come from the control codes. Only an arrival still pending when a later
    // notification replaced it may go unhandled.
    uint64_t Handled = sim::RegistryQueryCount() - QueriesBefore - Counts.IoctlQueries;
    EXPECT_LE(Handled, Counts.MonitorArrivalPosts);
    EXPECT_LE(Counts.MonitorArrivalPosts - Handled, Counts.PostsOverArrival)
        << "monitor-mode arrivals lost beyond the single-slot rule";
    EXPECT_GT(Handled, 0u);

    std::vector<sim::Violation> AtTeardown = sim::Shutdown();
    for (const sim::Violation &Violation : AtTeardown)
        ADD_FAILURE() << "verifier: " << Violation.Text << " (at " << Violation.Time << ")";
    for (const std::string &Report : Counts.Reports)
        ADD_FAILURE() << Report;
    EXPECT_EQ(Counts.Failures.load(), 0u);
    EXPECT_GT(Counts.DeviceStatusWrites.load(), 0u);
    EXPECT_GT(Counts.Snapshots.load(), 0u);

    std::printf("stress: %u s real, %llu virtual ms, %llu monitor waits, %llu peer requests\n",
                StressSeconds, (unsigned long long)VirtualMs, (unsigned long long)Turns,
                (unsigned long long)PeerRequests);
    for (const auto &[Thread, Count] : Counts.Operations)
        std::printf("stress: %-28s %llu\n", Thread.c_str(), (unsigned long long)Count);
    std::printf("stress: accepted notifications %llu (monitor-mode arrivals %llu, handled %llu, "
                "posted over a pending arrival %llu, over a pending removal %llu)\n",
                (unsigned long long)Counts.AcceptedPosts,
                (unsigned long long)Counts.MonitorArrivalPosts, (unsigned long long)Handled,
                (unsigned long long)Counts.PostsOverArrival,
                (unsigned long long)Counts.PostsOverRemoval);
    std::printf("stress: DeviceStatus writes %llu, DeviceInfo writes %llu\n",
                (unsigned long long)Counts.DeviceStatusWrites.load(),
                (unsigned long long)Counts.DeviceInfoWrites.load());
    Load = nullptr;
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (const char *Seconds = std::getenv("KVR_STRESS_SECONDS"))
        StressSeconds = unsigned(std::strtoul(Seconds, nullptr, 10));
    for (int i = 1; i < argc; ++i) {
        std::string_view Argument = argv[i];
        if (Argument.rfind("--seconds=", 0) == 0)
            StressSeconds = unsigned(std::strtoul(argv[i] + 10, nullptr, 10));
    }
    if (StressSeconds == 0)
        StressSeconds = 1;
    return RUN_ALL_TESTS();
}
