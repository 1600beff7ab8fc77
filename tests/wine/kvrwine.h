// Requests and records shared by the Wine test rig: the stand-in video port
// (videoprt.sys), the stand-in sibling frame driver (kevo.sys) and the
// user-mode client (kvrwine.exe) that drives them.
//
// The header uses only fixed-width integer types so that both the kernel side
// (DDK headers) and the user side (windows.h) can include it.

#ifndef KVRWINE_H
#define KVRWINE_H

#define KVRWINE_CTL(Type, Function) (((Type) << 16) | ((Function) << 2))

// The video port's test device: \Device\KvrVideoPort0, \\.\KvrVideoPort0 for
// the client. A request of device type 0x23 sent to it is a program's escape
// to the display driver stand-in, which forwards it to the video device as
// EngDeviceIoControl does (IRP_MJ_DEVICE_CONTROL, METHOD_BUFFERED), and the
// video port hands it to HwStartIO; the codes below drive the adapter.
#define KVRVP_DEVICE_NAME L"\\Device\\KvrVideoPort0"
#define KVRVP_LINK_NAME L"\\DosDevices\\KvrVideoPort0"
#define KVRVP_USER_NAME L"\\\\.\\KvrVideoPort0"

// The video device the video port creates at the adapter start, exclusive;
// \\.\DISPLAY1 is its link, which no user process can open.
#define KVRVP_VIDEO_DEVICE_NAME L"\\Device\\Video0"
#define KVRVP_VIDEO_LINK_NAME L"\\DosDevices\\DISPLAY1"
#define KVRVP_VIDEO_USER_NAME L"\\\\.\\DISPLAY1"

#define KVRVP_TEST_TYPE 0x8000u
// Start the adapter: HwFindAdapter; then the display driver stand-in opens
// the video device (HwInitialize at its first open). Output KVRVP_START.
#define IOCTL_KVRVP_START_ADAPTER KVRWINE_CTL(KVRVP_TEST_TYPE, 0x800u)
// Power transition: input KVRVP_POWER_IN, output KVRVP_POWER_OUT.
#define IOCTL_KVRVP_SET_POWER KVRWINE_CTL(KVRVP_TEST_TYPE, 0x801u)
// The callbacks with fixed answers. Output KVRVP_FIXED.
#define IOCTL_KVRVP_FIXED_CALLBACKS KVRWINE_CTL(KVRVP_TEST_TYPE, 0x802u)
// What the video port has seen so far. Output KVRVP_STATS.
#define IOCTL_KVRVP_STATS KVRWINE_CTL(KVRVP_TEST_TYPE, 0x803u)

struct KVRVP_START {
    int32_t FindAdapterStatus;
    uint8_t Initialized; // HwInitialize returned TRUE at the display driver's open
    uint8_t Again;       // the again flag as HwFindAdapter left it
    uint8_t Reserved[2];
};

struct KVRVP_POWER_IN {
    uint32_t HwId;
    uint32_t PowerState;
};

struct KVRVP_POWER_OUT {
    int32_t GetPowerStatus;
    int32_t SetPowerStatus;
};

struct KVRVP_FIXED {
    uint8_t Interrupt; // HwInterrupt
    uint8_t ResetHw;   // HwResetHw
    uint8_t Reserved[2];
    int32_t ChildDescriptorStatus;      // HwGetVideoChildDescriptor, first call
    int32_t ChildDescriptorStatusAgain; // second call
};

// Which platform routines of the miniport image were redirected to the video
// port's working versions.
#define KVRVP_REDIRECT_PNP_NOTIFICATION 0x1u
#define KVRVP_REDIRECT_DEVICE_POINTER 0x2u
#define KVRVP_REDIRECT_MUTEX_INIT 0x4u
#define KVRVP_REDIRECT_MUTEX_WAIT 0x8u
#define KVRVP_REDIRECT_MUTEX_RELEASE 0x10u
#define KVRVP_REDIRECT_PNP_UNREGISTER 0x20u

struct KVRVP_STATS {
    uint32_t InitializeCalls; // VideoPortInitialize
    uint32_t ZeroMemoryCalls; // VideoPortZeroMemory
    uint32_t HwInitDataSize;
    uint32_t HwDeviceExtensionSize;
    uint32_t AdapterInterfaceType;
    uint32_t Redirected; // KVRVP_REDIRECT_*
    uint32_t FindAdapterCalls;
    uint32_t InitializeAdapterCalls;
    // IoRegisterPlugPlayNotification, by event category (index 0 to 3).
    uint32_t Registrations[4];
    uint32_t InterfaceRegistrationFlags;
    uint32_t InterfaceRegistrationClassIsUsb;
    uint32_t ProfileRegistrationHasData;
    uint32_t RegistrationsWithoutDriver;
    uint32_t ArrivalsDelivered;
    uint32_t RemovalsDelivered;
    uint32_t PeerOpenCalls;
    uint32_t PeerOpenFailures;
    uint32_t PeerOpenAccess;
    uint32_t Unregistrations; // IoUnregisterPlugPlayNotification of a registration
    uint32_t StartIoCalls;
    // The last private request that reached HwStartIO, as the miniport left it.
    uint32_t LastIoControlCode;
    int32_t LastStatus;
    uint64_t LastInformation;
    uint8_t LastStartIoResult;
    uint8_t ExtensionUntouched; // the device extension is still all zero
    uint8_t Reserved[6];
    // The display driver stand-in's requests and what their completion
    // showed: a count above the output buffer (an overrun of the display
    // driver's buffer), reported bytes past the input that nobody wrote.
    uint32_t DisplayOpens;      // opens of the video device by the display driver
    uint32_t UserOpensRefused;  // opens of the video device from a user process
    uint32_t ForwardedRequests; // IRP_MJ_DEVICE_CONTROL sent to the video device
    uint32_t ReplyOverruns;
    uint32_t UndefinedReplyBytes;
    uint32_t Reserved1;
};

// The sibling frame driver's test device: \Device\KevoTest, \\.\KevoTest.
#define KEVO_TEST_DEVICE_NAME L"\\Device\\KevoTest"
#define KEVO_TEST_LINK_NAME L"\\DosDevices\\KevoTest"
#define KEVO_TEST_USER_NAME L"\\\\.\\KevoTest"

#define KEVO_TEST_TYPE 0x8001u
// Set the reply to one peer command. Input KEVO_REPLY.
#define IOCTL_KEVO_SET_REPLY KVRWINE_CTL(KEVO_TEST_TYPE, 0x810u)
// Make a USB device interface appear or disappear. Input KEVO_PLUG.
#define IOCTL_KEVO_PLUG KVRWINE_CTL(KEVO_TEST_TYPE, 0x811u)
// Counters of the peer requests. Output KEVO_STATS.
#define IOCTL_KEVO_STATS KVRWINE_CTL(KEVO_TEST_TYPE, 0x812u)
// Complete every request left pending: with the 2 reply bytes given as input,
// or without input with the current answers.
#define IOCTL_KEVO_COMPLETE_PENDING KVRWINE_CTL(KEVO_TEST_TYPE, 0x813u)

// The request that the miniport sends to \Device\KEVO-0.
#define KEVO_PEER_IOCTL 0x22205Du

// How the sibling answers a command.
#define KEVO_ANSWER_NOW 0u     // write the reply, complete with success
#define KEVO_ANSWER_PENDING 1u // leave the request pending until COMPLETE_PENDING
#define KEVO_ANSWER_FAIL 2u    // complete with STATUS_UNSUCCESSFUL, reply untouched
// Pending, then completed with the reply by the sibling's own thread within a
// few milliseconds, as a USB driver completes a transfer.
#define KEVO_ANSWER_LATER 3u

struct KEVO_REPLY {
    uint8_t Command; // 1, 4, 6 or 7
    uint8_t Answer;  // KEVO_ANSWER_*
    uint8_t Reply[2];
};

struct KEVO_PLUG {
    uint32_t Arrival; // 1 arrival, 0 removal
    uint16_t VendorId[4];
    uint16_t ProductId[4];
    uint16_t Instance[24]; // zero-terminated unless all 24 are used
};

struct KEVO_STATS {
    uint32_t Commands[8];    // requests received, by command byte (0 to 7)
    uint32_t Malformed;      // wrong code, block, or buffer lengths
    uint32_t OtherCommands;  // command byte above 7
    uint32_t Pending;        // requests left pending now
    uint32_t PeerCreates;    // opens of \Device\KEVO-0
    uint32_t PeerCloses;     // closes of \Device\KEVO-0
    uint32_t InterfaceCalls; // plug and unplug requests delivered
    uint8_t LastBlock[8];    // the latest command block
    uint32_t LastOutputLength;
    uint32_t Reserved;
};

#endif // KVRWINE_H
