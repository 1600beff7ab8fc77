// The connection-event hand-off of the interface-notification handler, and
// the classification of frames by the identifier tables.

#include "support/harness.h"

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "driver/detect/detect.h"

using namespace kvrtest;

namespace
{

std::string Text(const UCHAR *Bytes, size_t Size)
{
    return std::string(reinterpret_cast<const char *>(Bytes), Size);
}

std::string IdText(std::string_view Characters)
{
    std::string Id(Characters);
    Id.resize(IdTextSize, '\0');
    return Id;
}

std::string Lower(std::string_view Id)
{
    std::string Result(Id);
    for (char &c : Result)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return Result;
}

// The vendor ID with some letters in upper and some in lower case: the lower
// form with its last letter raised. Empty when the ID has a single letter.
std::string MixedCaseVendor()
{
    std::string Mixed = FrameVendorId[1];
    int Letters = 0;
    for (char c : Mixed)
        Letters += std::isalpha(static_cast<unsigned char>(c)) ? 1 : 0;
    if (Letters < 2)
        return {};
    for (size_t i = Mixed.size(); i-- > 0;) {
        if (std::isalpha(static_cast<unsigned char>(Mixed[i]))) {
            Mixed[i] = char(std::toupper(static_cast<unsigned char>(Mixed[i])));
            break;
        }
    }
    return Mixed;
}

class NotificationTest : public DriverTest
{
  protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        // No monitor: posted events stay pending for the test to read.
        LoadAndStart(false);
    }

    void Post(const GUID &Event, std::string_view Vid, std::string_view Pid,
              std::string_view Instance = "INST01XYZ")
    {
        sim::PostInterfaceChange(Event, GUID_DEVINTERFACE_USB_DEVICE,
                                 sim::UsbInterfaceName(Vid, Pid, Instance));
    }

    void PostName(std::span<const uint8_t> Bytes, bool NullBuffer = false)
    {
        sim::PostInterfaceChange(GUID_DEVICE_INTERFACE_ARRIVAL, GUID_DEVINTERFACE_USB_DEVICE, Bytes,
                                 NullBuffer);
    }
};

TEST_F(NotificationTest, FrameArrivalPostsTheEventAfterItsIdentifiers)
{
    Post(GUID_DEVICE_INTERFACE_ARRIVAL, FrameVendorId[0], MonitorModeIds[3], "Q7W8E9rest");

    EXPECT_EQ(Text(KVR_STATE(NotifiedVid), 5), IdText(FrameVendorId[0]));
    EXPECT_EQ(Text(KVR_STATE(NotifiedPid), 5), IdText(MonitorModeIds[3]));
    EXPECT_EQ(Text(KVR_STATE(NotifiedSerialPrefix), 7), std::string("Q7W8E9\0", 7));
    EXPECT_EQ(Text(KVR_STATE(CurrentSerialPrefix), 7), std::string("Q7W8E9\0", 7));
    EXPECT_EQ(Text(KVR_STATE(CurrentVidText), 5), IdText(FrameVendorId[0]));
    EXPECT_EQ(Text(KVR_STATE(CurrentPidText), 5), IdText(MonitorModeIds[3]));
    EXPECT_EQ(KVR_STATE(CurrentVid).Length, 4);
    EXPECT_EQ(KVR_STATE(CurrentVid).MaximumLength, 16);
    EXPECT_EQ(KVR_STATE(CurrentVid).Buffer, reinterpret_cast<PCHAR>(KVR_STATE(CurrentVidText)));
    EXPECT_EQ(KVR_STATE(CurrentPid).Length, 4);
    EXPECT_EQ(KVR_STATE(CurrentPid).MaximumLength, 16);
    EXPECT_EQ(KVR_STATE(CurrentPid).Buffer, reinterpret_cast<PCHAR>(KVR_STATE(CurrentPidText)));
    EXPECT_EQ(KVR_STATE(PendingEvent).Load(), EventArrival);
    EXPECT_EQ(KVR_STATE(EventSequence), 1u);
    EXPECT_EQ(KVR_STATE(EventLock).Header.SignalState, 1) << "the event lock is released";
    EXPECT_EQ(KVR_STATE(EventLock).OwnerThread, nullptr);
    for (NTSTATUS Status : sim::NotificationResults())
        EXPECT_EQ(Status, STATUS_SUCCESS);
}

TEST_F(NotificationTest, RemovalPostsTwoWithTheRemovedIdentifiersAndTheirWideModelFlag)
{
    Post(GUID_DEVICE_INTERFACE_ARRIVAL, FrameVendorId[0], MonitorModeIds[0]);
    ASSERT_EQ(KVR_STATE(WideModel).Load(), 0);
    Post(GUID_DEVICE_INTERFACE_REMOVAL, FrameVendorId[0], WideModelIds[0]);

    EXPECT_EQ(KVR_STATE(PendingEvent).Load(), EventRemoval);
    EXPECT_EQ(Text(KVR_STATE(CurrentPidText), 5), IdText(WideModelIds[0]));
    EXPECT_EQ(KVR_STATE(WideModel).Load(), 1);
    EXPECT_EQ(KVR_STATE(EventSequence), 2u);

    // Not watched by the monitor (it holds no frame of that product): not
    // kept beside the slot.
    for (const KEPT_REMOVAL &Kept : KVR_STATE(KeptRemovals))
        EXPECT_EQ(Kept.Sequence, 0u);
}

// A removal of a product the monitor watches is kept beside the slot with its
// own identifiers, in the record of each watch it matches, and stays there
// when later notifications replace it in the slot. Each case: the two watched
// product IDs, then the sequences of the removal kept in each record.
TEST_F(NotificationTest, RemovalsOfWatchedProductsAreKeptBesideTheSlot)
{
    struct Case {
        const char *Held;
        const char *Arriving;
        ULONG HeldSequence;
        ULONG ArrivingSequence;
    };
    const std::string Removed = MonitorModeIds[4];
    const std::string Other = AltModeIds[4];
    const Case Cases[] = {
        {Removed.c_str(), "", 2, 0},              // the held frame
        {Other.c_str(), Removed.c_str(), 0, 2},   // the arriving frame
        {Removed.c_str(), Removed.c_str(), 2, 2}, // both
        {Other.c_str(), "", 0, 0},                // another product
        {"", "", 0, 0},                           // nothing watched
    };
    for (const Case &C : Cases) {
        SCOPED_TRACE(std::string("held ") + C.Held + ", arriving " + C.Arriving);
        ResetSystem();
        LoadAndStart(false);
        std::memcpy(KVR_STATE(WatchedPidText)[HeldFrame], IdText(C.Held).data(), IdTextSize);
        std::memcpy(KVR_STATE(WatchedPidText)[ArrivingFrame], IdText(C.Arriving).data(),
                    IdTextSize);
        Post(GUID_DEVICE_INTERFACE_ARRIVAL, FrameVendorId[0], Removed);
        Post(GUID_DEVICE_INTERFACE_REMOVAL, FrameVendorId[1], Removed);
        // Later notifications replace it in the slot, a removal of another
        // product among them.
        Post(GUID_DEVICE_INTERFACE_REMOVAL, FrameVendorId[0], AltModeIds[5], "LATER1");
        Post(GUID_DEVICE_INTERFACE_ARRIVAL, FrameVendorId[0], MonitorModeIds[1], "LATER2");
        EXPECT_EQ(KVR_STATE(PendingEvent).Load(), EventArrival);
        const ULONG Expected[WatchedFrames] = {C.HeldSequence, C.ArrivingSequence};
        for (unsigned w = 0; w < WatchedFrames; ++w) {
            const KEPT_REMOVAL &Kept = KVR_STATE(KeptRemovals)[w];
            EXPECT_EQ(Kept.Sequence, Expected[w]) << "record " << w;
            if (Expected[w] == 0)
                continue;
            EXPECT_EQ(Text(Kept.VidText, 5), IdText(FrameVendorId[1]));
            EXPECT_EQ(Text(Kept.PidText, 5), IdText(Removed));
        }
    }
}

TEST_F(NotificationTest, LaterNotificationReplacesThePendingOne)
{
    Post(GUID_DEVICE_INTERFACE_ARRIVAL, FrameVendorId[0], MonitorModeIds[0], "FIRST1");
    Post(GUID_DEVICE_INTERFACE_REMOVAL, FrameVendorId[1], AltModeIds[2], "SECOND");

    EXPECT_EQ(KVR_STATE(PendingEvent).Load(), EventRemoval);
    EXPECT_EQ(Text(KVR_STATE(CurrentVidText), 5), IdText(FrameVendorId[1]));
    EXPECT_EQ(Text(KVR_STATE(CurrentPidText), 5), IdText(AltModeIds[2]));
    EXPECT_EQ(Text(KVR_STATE(NotifiedSerialPrefix), 6), "SECOND");
}

// A frame interface's arrival is remembered until its removal, so that a
// second report of it posts nothing. Each case: a run of notifications and,
// for each, whether it posted an event.
TEST_F(NotificationTest, ArrivalsAreRememberedUntilTheirRemoval)
{
    auto Frame = [](std::string_view Instance) {
        return sim::UsbInterfaceName(FrameVendorId[0], MonitorModeIds[0], Instance);
    };
    auto Padded = [&](size_t Characters) {
        return Frame(std::string(Characters - Frame("").size(), 'L'));
    };
    std::string F[6];
    for (int i = 0; i < 6; ++i)
        F[i] = Frame("SER00" + std::to_string(i));
    std::string O[ArrivedFrameSlots];
    for (unsigned i = 0; i < ArrivedFrameSlots; ++i)
        O[i] = sim::UsbInterfaceName("1234", "5678", "OTHER" + std::to_string(i));
    // Two names that differ in their last character only.
    std::string LastA = F[0], LastB = F[0];
    LastB.back() = ')';

    struct Step {
        bool Arrival;
        std::string Name;
        bool Posts;
    };
    struct Case {
        const char *Name;
        std::vector<Step> Steps;
    };
    const Case Cases[] = {
        {"second report", {{true, F[0], true}, {true, F[0], false}}},
        {"removal ends the presence",
         {{true, F[0], true}, {false, F[0], true}, {true, F[0], true}, {true, F[0], false}}},
        {"last character differs",
         {{true, LastA, true}, {true, LastB, true}, {true, LastA, false}}},
        {"longest name remembered",
         {{true, Padded(ArrivedFrameNameCharacters), true},
          {true, Padded(ArrivedFrameNameCharacters), false}}},
        {"longer name not remembered",
         {{true, Padded(ArrivedFrameNameCharacters + 1), true},
          {true, Padded(ArrivedFrameNameCharacters + 1), true}}},
        // Slots of F0..F3; F4 and F5 take the two oldest in turn.
        {"oldest slots reused in turn",
         {{true, F[0], true},
          {true, F[1], true},
          {true, F[2], true},
          {true, F[3], true},
          {true, F[4], true},
          {true, F[5], true},
          {true, F[4], false},
          {true, F[5], false},
          {true, F[3], false},
          {true, F[0], true}}},
        {"other devices take no slot",
         {{true, F[0], true},
          {true, O[0], false},
          {true, O[1], false},
          {true, O[2], false},
          {true, O[3], false},
          {false, O[0], false},
          {true, F[0], false}}},
    };
    for (const Case &C : Cases) {
        SCOPED_TRACE(C.Name);
        TearDown();
        SetUp();
        for (size_t i = 0; i < C.Steps.size(); ++i) {
            const Step &S = C.Steps[i];
            ULONG Before = KVR_STATE(EventSequence);
            sim::PostInterfaceChange(S.Arrival ? GUID_DEVICE_INTERFACE_ARRIVAL
                                               : GUID_DEVICE_INTERFACE_REMOVAL,
                                     GUID_DEVINTERFACE_USB_DEVICE, S.Name);
            EXPECT_EQ(KVR_STATE(EventSequence) != Before, S.Posts) << "step " << i;
        }
    }
}

TEST_F(NotificationTest, LowerCaseVendorAndProductAreAcceptedAsWritten)
{
    std::string Pid = Lower(MonitorModeIds[10]);
    Post(GUID_DEVICE_INTERFACE_ARRIVAL, FrameVendorId[1], Pid);

    EXPECT_EQ(KVR_STATE(PendingEvent).Load(), EventArrival);
    EXPECT_EQ(Text(KVR_STATE(CurrentVidText), 5), IdText(FrameVendorId[1]));
    EXPECT_EQ(Text(KVR_STATE(CurrentPidText), 5), IdText(Pid)) << "copied as written";
}

TEST_F(NotificationTest, MixedCaseVendorIsRefused)
{
    std::string Mixed = MixedCaseVendor();
    if (Mixed.empty())
        GTEST_SKIP() << "the vendor ID has a single letter: no mixed form exists";
    Post(GUID_DEVICE_INTERFACE_ARRIVAL, Mixed, MonitorModeIds[0]);

    EXPECT_EQ(Text(KVR_STATE(NotifiedVid), 5), IdText(Mixed));
    EXPECT_EQ(KVR_STATE(PendingEvent).Load(), EventNone);
    EXPECT_EQ(KVR_STATE(CurrentVid).Length, 0) << "the views stay as loaded";
    EXPECT_EQ(KVR_STATE(EventSequence), 0u);
}

TEST_F(NotificationTest, OtherDeviceChangesOnlyTheNotifiedTexts)
{
    Post(GUID_DEVICE_INTERFACE_ARRIVAL, FrameVendorId[0], WideModelIds[1], "FRAME1");
    ASSERT_EQ(KVR_STATE(WideModel).Load(), 1);

    Post(GUID_DEVICE_INTERFACE_ARRIVAL, "1234", "5678", "OTHER9");

    EXPECT_EQ(Text(KVR_STATE(NotifiedVid), 5), IdText("1234"));
    EXPECT_EQ(Text(KVR_STATE(NotifiedPid), 5), IdText("5678"));
    EXPECT_EQ(Text(KVR_STATE(NotifiedSerialPrefix), 6), "OTHER9");
    EXPECT_EQ(Text(KVR_STATE(CurrentPidText), 5), IdText(WideModelIds[1]));
    EXPECT_EQ(Text(KVR_STATE(CurrentSerialPrefix), 7), std::string("FRAME1\0", 7))
        << "the posted event's own prefix";
    EXPECT_EQ(KVR_STATE(PendingEvent).Load(), EventArrival);
    EXPECT_EQ(KVR_STATE(EventSequence), 1u);
    EXPECT_EQ(KVR_STATE(WideModel).Load(), 1) << "follows the latest frame event";
}

TEST_F(NotificationTest, OtherEventOrInterfaceClassPostsNothing)
{
    std::string Name = sim::UsbInterfaceName(FrameVendorId[0], MonitorModeIds[0], "INST01");
    const GUID QueryRemove = {
        0xCB3A4006, 0x46F0, 0x11D0, {0xB0, 0x8F, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3F}};
    const GUID OtherClass = {
        0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

    sim::PostInterfaceChange(QueryRemove, GUID_DEVINTERFACE_USB_DEVICE, Name);
    sim::PostInterfaceChange(GUID_DEVICE_INTERFACE_ARRIVAL, OtherClass, Name);

    EXPECT_EQ(Text(KVR_STATE(NotifiedPid), 5), IdText(MonitorModeIds[0]));
    EXPECT_EQ(KVR_STATE(PendingEvent).Load(), EventNone);
    EXPECT_EQ(KVR_STATE(CurrentPid).Length, 0);
    EXPECT_EQ(Text(KVR_STATE(CurrentPidText), 5), IdText("0"));
}

TEST_F(NotificationTest, ShortNamesAreReadOnlyAsFarAsTheyGoAndPostNothing)
{
    std::vector<uint8_t> Full =
        Utf16(sim::UsbInterfaceName(FrameVendorId[0], MonitorModeIds[0], "ABCDEFGH"), false);
    struct Case {
        size_t Characters;
        std::string Vid, Pid, Prefix;
    };
    const std::string V = FrameVendorId[0], P = MonitorModeIds[0];
    const Case Cases[] = {
        {31, V, P, "ABCDE"},          {26, V, P, ""},  {23, V, P.substr(0, 2), ""},
        {14, V.substr(0, 2), "", ""}, {0, "", "", ""},
    };
    for (const Case &C : Cases) {
        SCOPED_TRACE(C.Characters);
        PostName(std::span(Full.data(), C.Characters * 2));
        EXPECT_EQ(Text(KVR_STATE(NotifiedVid), 5), IdText(C.Vid));
        EXPECT_EQ(Text(KVR_STATE(NotifiedPid), 5), IdText(C.Pid));
        EXPECT_EQ(Text(KVR_STATE(NotifiedSerialPrefix), 7), IdText(C.Prefix).append(2, '\0'));
        EXPECT_EQ(KVR_STATE(PendingEvent).Load(), EventNone);
    }

    // An odd byte count: the half character at the end does not exist.
    PostName(std::span(Full.data(), 63));
    EXPECT_EQ(Text(KVR_STATE(NotifiedSerialPrefix), 7), std::string("ABCDE\0\0", 7));
    EXPECT_EQ(KVR_STATE(PendingEvent).Load(), EventNone);

    // 32 characters are enough.
    PostName(std::span(Full.data(), 64));
    EXPECT_EQ(Text(KVR_STATE(NotifiedSerialPrefix), 7), std::string("ABCDEF\0", 7));
    EXPECT_EQ(KVR_STATE(PendingEvent).Load(), EventArrival);
}

TEST_F(NotificationTest, BufferlessNameIsNotRead)
{
    Post(GUID_DEVICE_INTERFACE_ARRIVAL, "1234", "5678", "OTHER9");
    std::vector<uint8_t> Bytes(200, 'A');
    PostName(Bytes, true);

    EXPECT_EQ(Text(KVR_STATE(NotifiedVid), 5), std::string(5, '\0'));
    EXPECT_EQ(Text(KVR_STATE(NotifiedPid), 5), std::string(5, '\0'));
    EXPECT_EQ(Text(KVR_STATE(NotifiedSerialPrefix), 7), std::string(7, '\0'));
    EXPECT_EQ(KVR_STATE(PendingEvent).Load(), EventNone);
    for (NTSTATUS Status : sim::NotificationResults())
        EXPECT_EQ(Status, STATUS_SUCCESS);
}

TEST_F(NotificationTest, WideModelHoldsExactlyForTheListedTexts)
{
    for (const char *Id : WideModelIds) {
        Post(GUID_DEVICE_INTERFACE_ARRIVAL, FrameVendorId[0], Id);
        EXPECT_EQ(KVR_STATE(WideModel).Load(), 1) << Id;
    }
    for (const auto &Table :
         {std::span<const char[5]>(MonitorModeIds), std::span<const char[5]>(AltModeIds)}) {
        for (const char *Id : Table) {
            for (const std::string &Form : {std::string(Id), Lower(Id)}) {
                bool Listed = false;
                for (const char *Wide : WideModelIds)
                    Listed = Listed || Form == Wide;
                Post(GUID_DEVICE_INTERFACE_ARRIVAL, FrameVendorId[0], Form);
                EXPECT_EQ(KVR_STATE(WideModel).Load(), Listed ? 1 : 0) << Form;
            }
        }
    }
}

TEST_F(DriverTest, FramePresentAtRegistrationArrivesThroughTheRegistration)
{
    ASSERT_EQ(LoadDriver(false), STATUS_SUCCESS);
    sim::PlugUsb(FrameVendorId[0], AltModeIds[0], "PRESENT1");
    sim::PlugUsb(FrameVendorId[0], MonitorModeIds[0], "PRESENT2");
    ASSERT_EQ(KVR_STATE(PendingEvent).Load(), EventNone);

    sim::StartAdapter();

    EXPECT_EQ(KVR_STATE(PendingEvent).Load(), EventArrival);
    EXPECT_EQ(KVR_STATE(EventSequence), 2u);
    EXPECT_EQ(Text(KVR_STATE(CurrentPidText), 5), IdText(MonitorModeIds[0]))
        << "only the last one stays pending";
}

// Classification, over the driver's own tables.

struct IdView {
    std::string Text;
    ANSI_STRING View;
    explicit IdView(std::string_view Id) : Text(Id)
    {
        View.Length = USHORT(Text.size());
        View.MaximumLength = USHORT(Text.size() + 1);
        View.Buffer = Text.data();
    }
    IdView(const IdView &) = delete;
};

class ClassifyTest : public DriverTest
{
  protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        KVR_CALL(BuildFrameIdViews, &Views);
    }

    FRAME_CLASS Classify(ULONG Event, std::string_view Vid, std::string_view Pid, UCHAR Mode = 0)
    {
        IdView V(Vid), P(Pid);
        return KVR_CALL(ClassifyFrame, &Views, Event, &V.View, &P.View, Mode);
    }

    FRAME_ID_VIEWS Views{};
};

TEST_F(ClassifyTest, MonitorModeIdsInEitherCase)
{
    for (const char *Id : MonitorModeIds) {
        for (const std::string &Pid : {std::string(Id), Lower(Id)}) {
            for (const char *Vid : FrameVendorId) {
                EXPECT_EQ(Classify(EventArrival, Vid, Pid), MonitorFrame) << Vid << " " << Pid;
                for (UCHAR Mode : {0, 1, 2, 3, 255})
                    EXPECT_EQ(Classify(EventRemoval, Vid, Pid, Mode), MonitorFrame) << Pid;
            }
        }
    }
}

TEST_F(ClassifyTest, AltModeIdsInEitherCase)
{
    for (const char *Id : AltModeIds) {
        if (std::strcmp(Id, GuardedAltModeId) == 0)
            continue;
        for (const std::string &Pid : {std::string(Id), Lower(Id)}) {
            EXPECT_EQ(Classify(EventArrival, FrameVendorId[1], Pid), AltModeFrame) << Pid;
            for (UCHAR Mode : {0, 1, 2, 3, 255})
                EXPECT_EQ(Classify(EventRemoval, FrameVendorId[0], Pid, Mode), AltModeFrame) << Pid;
        }
    }
}

TEST_F(ClassifyTest, GuardedRemovalCountsOnlyInDeviceModeOne)
{
    for (unsigned Mode = 0; Mode < 256; ++Mode) {
        for (const std::string &Pid : {std::string(GuardedAltModeId), Lower(GuardedAltModeId)}) {
            EXPECT_EQ(Classify(EventArrival, FrameVendorId[0], Pid, UCHAR(Mode)), AltModeFrame);
            EXPECT_EQ(Classify(EventRemoval, FrameVendorId[0], Pid, UCHAR(Mode)),
                      Mode == 1 ? AltModeFrame : OtherDevice)
                << "DeviceMode " << Mode;
        }
    }
}

TEST_F(ClassifyTest, OtherVendorsUnknownProductsAndOtherEventsAreOtherDevices)
{
    EXPECT_EQ(Classify(EventArrival, "1234", MonitorModeIds[0]), OtherDevice);
    EXPECT_EQ(Classify(EventRemoval, "1234", AltModeIds[0], 1), OtherDevice);
    std::string Mixed = MixedCaseVendor();
    if (!Mixed.empty()) {
        EXPECT_EQ(Classify(EventArrival, Mixed, MonitorModeIds[0]), MonitorFrame)
            << "the monitor compares without regard to case";
    }

    // A product ID of the frame vendor found in neither table.
    std::string Unknown = "0000";
    for (char c = '0'; c <= '9'; ++c) {
        Unknown = std::string(4, c);
        bool Listed = false;
        for (const char *Id : MonitorModeIds)
            Listed = Listed || Unknown == Id;
        for (const char *Id : AltModeIds)
            Listed = Listed || Unknown == Id;
        if (!Listed)
            break;
    }
    EXPECT_EQ(Classify(EventArrival, FrameVendorId[0], Unknown), OtherDevice) << Unknown;
    EXPECT_EQ(Classify(EventRemoval, FrameVendorId[0], Unknown, 1), OtherDevice) << Unknown;
    EXPECT_EQ(Classify(EventNone, FrameVendorId[0], MonitorModeIds[0]), OtherDevice);
    EXPECT_EQ(Classify(3, FrameVendorId[0], AltModeIds[0]), OtherDevice);
}

TEST_F(ClassifyTest, VendorTestAcceptsOnlyTheTwoStoredForms)
{
    EXPECT_TRUE(KVR_CALL(MatchesFrameVendor, reinterpret_cast<const UCHAR *>(FrameVendorId[0])));
    EXPECT_TRUE(KVR_CALL(MatchesFrameVendor, reinterpret_cast<const UCHAR *>(FrameVendorId[1])));
    std::string Mixed = MixedCaseVendor();
    if (!Mixed.empty()) {
        EXPECT_FALSE(KVR_CALL(MatchesFrameVendor, reinterpret_cast<const UCHAR *>(Mixed.c_str())));
    }
    // The terminating zero takes part.
    std::string Longer = IdText(FrameVendorId[0]);
    Longer[4] = 'X';
    EXPECT_FALSE(KVR_CALL(MatchesFrameVendor, reinterpret_cast<const UCHAR *>(Longer.data())));
    EXPECT_FALSE(KVR_CALL(IsWideModel, reinterpret_cast<const UCHAR *>(IdText("0").data())));
}

} // namespace
