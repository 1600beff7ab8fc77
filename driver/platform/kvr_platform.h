// The one platform header of the driver.
//
// It declares exactly the kernel, video-port, I/O, plug-and-play and registry
// types, constants and routines that the driver uses, under the platform's own
// names and with the Windows x64 layouts. Driver code includes nothing else.
//
// On the Windows target the routines are satisfied by ntoskrnl.exe and
// videoprt.sys; on the host by the simulated kernel. The header includes no
// other header, so it can also be read inside a namespace by the layout check
// that compares it with the DDK headers (KVR_PLATFORM_TYPES_ONLY then leaves
// out everything but the types).
//
// Kernel objects the driver never looks into (driver, device and file
// objects, requests) are incomplete types here; the simulated kernel completes
// them on the host.

#ifndef KVR_PLATFORM_H
#define KVR_PLATFORM_H

typedef __UINT8_TYPE__ UCHAR;
typedef __UINT16_TYPE__ USHORT;
typedef __UINT32_TYPE__ ULONG;
typedef __INT32_TYPE__ LONG;
typedef __INT64_TYPE__ LONGLONG;
typedef __UINT64_TYPE__ ULONGLONG;
typedef __UINT64_TYPE__ ULONG_PTR;
typedef decltype(sizeof(0)) SIZE_T;
typedef char CHAR;
typedef char CCHAR;
typedef char16_t WCHAR;
typedef UCHAR BOOLEAN;
typedef LONG NTSTATUS;
typedef LONG VP_STATUS;
typedef UCHAR KIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef ULONG ACCESS_MASK;
typedef ULONG DEVICE_TYPE;
typedef void *PVOID;
typedef void *HANDLE;
typedef HANDLE *PHANDLE;
typedef UCHAR *PUCHAR;
typedef ULONG *PULONG;
typedef CHAR *PCHAR;
typedef WCHAR *PWSTR;
typedef const WCHAR *PCWSTR;
typedef const CHAR *PCSZ;

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY *Flink;
    struct _LIST_ENTRY *Blink;
} LIST_ENTRY;

typedef struct _UNICODE_STRING {
    USHORT Length;        // bytes, without a terminator
    USHORT MaximumLength; // bytes
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PANSI_STRING;

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

// The dispatcher header as far as its size and the members that the
// simulated kernel uses; the first word packs type, flags and size.
typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Signalling;
    UCHAR Size;
    UCHAR Reserved1;
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KMUTANT {
    DISPATCHER_HEADER Header;
    LIST_ENTRY MutantListEntry;
    struct _KTHREAD *OwnerThread;
    BOOLEAN Abandoned;
    UCHAR ApcDisable;
} KMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;

typedef enum _KWAIT_REASON { Executive = 0 } KWAIT_REASON;

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolNx = 512, // Windows 8 and later only: unknown to Vista and 7
} POOL_TYPE;

typedef enum _IO_NOTIFICATION_EVENT_CATEGORY {
    EventCategoryReserved = 0,
    EventCategoryHardwareProfileChange = 1,
    EventCategoryDeviceInterfaceChange = 2,
    EventCategoryTargetDeviceChange = 3,
} IO_NOTIFICATION_EVENT_CATEGORY;

typedef struct _DEVICE_INTERFACE_CHANGE_NOTIFICATION {
    USHORT Version;
    USHORT Size;
    GUID Event;
    GUID InterfaceClassGuid;
    PUNICODE_STRING SymbolicLinkName;
} DEVICE_INTERFACE_CHANGE_NOTIFICATION, *PDEVICE_INTERFACE_CHANGE_NOTIFICATION;

// What a target-device-change callback receives for a query-remove, a
// cancelled removal and a completed removal of the device it registered on.
typedef struct _TARGET_DEVICE_REMOVAL_NOTIFICATION {
    USHORT Version;
    USHORT Size;
    GUID Event;
    struct _FILE_OBJECT *FileObject;
} TARGET_DEVICE_REMOVAL_NOTIFICATION, *PTARGET_DEVICE_REMOVAL_NOTIFICATION;

typedef NTSTATUS (*PRTL_QUERY_REGISTRY_ROUTINE)(PWSTR ValueName, ULONG ValueType, PVOID ValueData,
                                                ULONG ValueLength, PVOID Context,
                                                PVOID EntryContext);

typedef struct _RTL_QUERY_REGISTRY_TABLE {
    PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;
    ULONG Flags;
    PWSTR Name;
    PVOID EntryContext;
    ULONG DefaultType;
    PVOID DefaultData;
    ULONG DefaultLength;
} RTL_QUERY_REGISTRY_TABLE, *PRTL_QUERY_REGISTRY_TABLE;

// Objects the driver only passes around.
typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;
typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT;
typedef struct _FILE_OBJECT FILE_OBJECT, *PFILE_OBJECT;
typedef struct _IRP IRP, *PIRP;

typedef void (*PKSTART_ROUTINE)(PVOID StartContext);
typedef NTSTATUS (*PDRIVER_NOTIFICATION_CALLBACK_ROUTINE)(PVOID NotificationStructure,
                                                          PVOID Context);

// Video port.

typedef struct _STATUS_BLOCK {
    union {
        VP_STATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} STATUS_BLOCK, *PSTATUS_BLOCK;

typedef struct _VIDEO_REQUEST_PACKET {
    ULONG IoControlCode;
    PSTATUS_BLOCK StatusBlock;
    PVOID InputBuffer;
    ULONG InputBufferLength;
    PVOID OutputBuffer;
    ULONG OutputBufferLength;
} VIDEO_REQUEST_PACKET, *PVIDEO_REQUEST_PACKET;

typedef enum _VIDEO_POWER_STATE {
    VideoPowerUnspecified = 0,
    VideoPowerOn = 1,
    VideoPowerStandBy,
    VideoPowerSuspend,
    VideoPowerOff,
    VideoPowerHibernate,
    VideoPowerShutdown,
    VideoPowerMaximum
} VIDEO_POWER_STATE;

typedef struct _VIDEO_POWER_MANAGEMENT {
    ULONG Length;
    ULONG DPMSVersion;
    ULONG PowerState;
} VIDEO_POWER_MANAGEMENT, *PVIDEO_POWER_MANAGEMENT;

typedef enum _VIDEO_CHILD_TYPE {
    Monitor = 1,
    NonPrimaryChip,
    VideoChip,
    Other
} VIDEO_CHILD_TYPE,
    *PVIDEO_CHILD_TYPE;

typedef struct _VIDEO_PORT_CONFIG_INFO VIDEO_PORT_CONFIG_INFO, *PVIDEO_PORT_CONFIG_INFO;
typedef struct _VIDEO_CHILD_ENUM_INFO VIDEO_CHILD_ENUM_INFO, *PVIDEO_CHILD_ENUM_INFO;
typedef struct _VIDEO_ACCESS_RANGE VIDEO_ACCESS_RANGE, *PVIDEO_ACCESS_RANGE;

typedef VP_STATUS (*PVIDEO_HW_FIND_ADAPTER)(PVOID HwDeviceExtension, PVOID HwContext,
                                            PWSTR ArgumentString,
                                            PVIDEO_PORT_CONFIG_INFO ConfigInfo, PUCHAR Again);
typedef BOOLEAN (*PVIDEO_HW_INITIALIZE)(PVOID HwDeviceExtension);
typedef BOOLEAN (*PVIDEO_HW_INTERRUPT)(PVOID HwDeviceExtension);
typedef BOOLEAN (*PVIDEO_HW_START_IO)(PVOID HwDeviceExtension, PVIDEO_REQUEST_PACKET RequestPacket);
typedef BOOLEAN (*PVIDEO_HW_RESET_HW)(PVOID HwDeviceExtension, ULONG Columns, ULONG Rows);
typedef void (*PVIDEO_HW_TIMER)(PVOID HwDeviceExtension);
typedef enum _HW_DMA_RETURN { DmaAsyncReturn, DmaSyncReturn } HW_DMA_RETURN;
typedef HW_DMA_RETURN (*PVIDEO_HW_START_DMA)(PVOID HwDeviceExtension, PVOID Dma);
typedef VP_STATUS (*PVIDEO_HW_POWER_SET)(PVOID HwDeviceExtension, ULONG HwId,
                                         PVIDEO_POWER_MANAGEMENT VideoPowerControl);
typedef VP_STATUS (*PVIDEO_HW_POWER_GET)(PVOID HwDeviceExtension, ULONG HwId,
                                         PVIDEO_POWER_MANAGEMENT VideoPowerControl);
typedef VP_STATUS (*PVIDEO_HW_GET_CHILD_DESCRIPTOR)(PVOID HwDeviceExtension,
                                                    PVIDEO_CHILD_ENUM_INFO ChildEnumInfo,
                                                    PVIDEO_CHILD_TYPE VideoChildType,
                                                    PUCHAR pChildDescriptor, PULONG UId,
                                                    PULONG pUnused);
typedef VP_STATUS (*PVIDEO_HW_QUERY_INTERFACE)(PVOID HwDeviceExtension, PVOID QueryInterface);
typedef void (*PVIDEO_HW_LEGACY_RESOURCES)(ULONG VendorId, ULONG DeviceId,
                                           PVIDEO_ACCESS_RANGE *LegacyResourceList,
                                           PULONG LegacyResourceCount);

typedef enum _INTERFACE_TYPE { InterfaceTypeUndefined = -1, Internal = 0 } INTERFACE_TYPE;

typedef struct _VIDEO_HW_INITIALIZATION_DATA {
    ULONG HwInitDataSize;
    INTERFACE_TYPE AdapterInterfaceType;
    PVIDEO_HW_FIND_ADAPTER HwFindAdapter;
    PVIDEO_HW_INITIALIZE HwInitialize;
    PVIDEO_HW_INTERRUPT HwInterrupt;
    PVIDEO_HW_START_IO HwStartIO;
    ULONG HwDeviceExtensionSize;
    ULONG StartingDeviceNumber;
    PVIDEO_HW_RESET_HW HwResetHw;
    PVIDEO_HW_TIMER HwTimer;
    PVIDEO_HW_START_DMA HwStartDma;
    PVIDEO_HW_POWER_SET HwSetPowerState;
    PVIDEO_HW_POWER_GET HwGetPowerState;
    PVIDEO_HW_GET_CHILD_DESCRIPTOR HwGetVideoChildDescriptor;
    PVIDEO_HW_QUERY_INTERFACE HwQueryInterface;
    ULONG HwChildDeviceExtensionSize;
    PVIDEO_ACCESS_RANGE HwLegacyResourceList;
    ULONG HwLegacyResourceCount;
    PVIDEO_HW_LEGACY_RESOURCES HwGetLegacyResources;
    BOOLEAN AllowEarlyEnumeration;
    ULONG Reserved;
} VIDEO_HW_INITIALIZATION_DATA, *PVIDEO_HW_INITIALIZATION_DATA;

#ifndef KVR_PLATFORM_TYPES_ONLY

static_assert(sizeof(UNICODE_STRING) == 16 && sizeof(ANSI_STRING) == 16, "counted strings");
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48, "OBJECT_ATTRIBUTES");
static_assert(sizeof(IO_STATUS_BLOCK) == 16 && sizeof(STATUS_BLOCK) == 16, "status blocks");
static_assert(sizeof(KEVENT) == 24 && sizeof(KMUTEX) == 56, "dispatcher objects");
static_assert(sizeof(RTL_QUERY_REGISTRY_TABLE) == 56, "RTL_QUERY_REGISTRY_TABLE");
static_assert(sizeof(DEVICE_INTERFACE_CHANGE_NOTIFICATION) == 48, "interface notification");
static_assert(sizeof(TARGET_DEVICE_REMOVAL_NOTIFICATION) == 32, "target-device notification");
static_assert(sizeof(VIDEO_HW_INITIALIZATION_DATA) == 144, "VIDEO_HW_INITIALIZATION_DATA");
static_assert(sizeof(VIDEO_REQUEST_PACKET) == 48, "VIDEO_REQUEST_PACKET");
static_assert(sizeof(VIDEO_POWER_MANAGEMENT) == 12, "VIDEO_POWER_MANAGEMENT");
static_assert(sizeof(GUID) == 16 && sizeof(LARGE_INTEGER) == 8, "GUID, LARGE_INTEGER");

constexpr BOOLEAN TRUE = 1;
constexpr BOOLEAN FALSE = 0;

// Status codes.
constexpr NTSTATUS STATUS_SUCCESS = 0;
constexpr NTSTATUS STATUS_PENDING = 0x103;
constexpr NTSTATUS STATUS_UNSUCCESSFUL = (NTSTATUS)0xC0000001u;
constexpr NTSTATUS STATUS_INVALID_PARAMETER = (NTSTATUS)0xC000000Du;
constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = (NTSTATUS)0xC0000023u;
constexpr NTSTATUS STATUS_OBJECT_TYPE_MISMATCH = (NTSTATUS)0xC0000024u;
constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = (NTSTATUS)0xC0000034u;
constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = (NTSTATUS)0xC0000035u;
constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = (NTSTATUS)0xC000009Au;
constexpr bool NT_SUCCESS(NTSTATUS Status)
{
    return Status >= 0;
}

// Win32 result codes that the video port carries back to the caller.
constexpr VP_STATUS NO_ERROR = 0;
constexpr VP_STATUS ERROR_INVALID_FUNCTION = 1;
constexpr VP_STATUS ERROR_INSUFFICIENT_BUFFER = 122;
constexpr VP_STATUS ERROR_NO_MORE_DEVICES = 1248;

// IRQL, processor modes, access masks, object attributes.
constexpr KIRQL PASSIVE_LEVEL = 0;
constexpr KIRQL APC_LEVEL = 1;
constexpr KIRQL DISPATCH_LEVEL = 2;
constexpr KPROCESSOR_MODE KernelMode = 0;
constexpr ACCESS_MASK FILE_ALL_ACCESS = 0x1F01FF;
constexpr ULONG OBJ_KERNEL_HANDLE = 0x200;
constexpr DEVICE_TYPE FILE_DEVICE_UNKNOWN = 0x22;
constexpr DEVICE_TYPE FILE_DEVICE_VIDEO = 0x23;
constexpr ULONG PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES = 1;
constexpr ULONG DISPLAY_ADAPTER_HW_ID = 0xFFFFFFFF;

// Registry.
constexpr ULONG REG_NONE = 0;
constexpr ULONG REG_SZ = 1;
constexpr ULONG REG_EXPAND_SZ = 2;
constexpr ULONG REG_BINARY = 3;
constexpr ULONG REG_DWORD = 4;
constexpr ULONG REG_MULTI_SZ = 7;
constexpr ULONG REG_QWORD = 11;
constexpr ULONG RTL_REGISTRY_ABSOLUTE = 0;
constexpr ULONG RTL_REGISTRY_OPTIONAL = 0x80000000;
constexpr ULONG RTL_QUERY_REGISTRY_REQUIRED = 0x00000004;
constexpr ULONG RTL_QUERY_REGISTRY_NOEXPAND = 0x00000010;
constexpr ULONG RTL_QUERY_REGISTRY_DIRECT = 0x00000020;
constexpr ULONG RTL_QUERY_REGISTRY_TYPECHECK = 0x00000100;
constexpr ULONG RTL_QUERY_REGISTRY_TYPECHECK_SHIFT = 24;

// Device-control codes: CTL_CODE(type, function, method, access).
constexpr ULONG METHOD_BUFFERED = 0;
constexpr ULONG METHOD_IN_DIRECT = 1;
constexpr ULONG FILE_ANY_ACCESS = 0;
constexpr ULONG FILE_READ_ACCESS = 1;
constexpr ULONG CTL_CODE(ULONG DeviceType, ULONG Function, ULONG Method, ULONG Access)
{
    return (DeviceType << 16) | (Access << 14) | (Function << 2) | Method;
}

// {A5DCBF10-6530-11D2-901F-00C04FB951ED}
constexpr GUID GUID_DEVINTERFACE_USB_DEVICE = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
// {CB3A4004-46F0-11D0-B08F-00609713053F}
constexpr GUID GUID_DEVICE_INTERFACE_ARRIVAL = {
    0xCB3A4004, 0x46F0, 0x11D0, {0xB0, 0x8F, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3F}};
// {CB3A4005-46F0-11D0-B08F-00609713053F}
constexpr GUID GUID_DEVICE_INTERFACE_REMOVAL = {
    0xCB3A4005, 0x46F0, 0x11D0, {0xB0, 0x8F, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3F}};
// {CB3A4006-46F0-11D0-B08F-00609713053F}
constexpr GUID GUID_TARGET_DEVICE_QUERY_REMOVE = {
    0xCB3A4006, 0x46F0, 0x11D0, {0xB0, 0x8F, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3F}};
// {CB3A4007-46F0-11D0-B08F-00609713053F}
constexpr GUID GUID_TARGET_DEVICE_REMOVE_CANCELLED = {
    0xCB3A4007, 0x46F0, 0x11D0, {0xB0, 0x8F, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3F}};
// {CB3A4008-46F0-11D0-B08F-00609713053F}
constexpr GUID GUID_TARGET_DEVICE_REMOVE_COMPLETE = {
    0xCB3A4008, 0x46F0, 0x11D0, {0xB0, 0x8F, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3F}};

extern "C" {

// Run-time library.
void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
void RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString);
LONG RtlCompareString(const STRING *String1, const STRING *String2, BOOLEAN CaseInSensitive);
SIZE_T RtlCompareMemory(const void *Source1, const void *Source2, SIZE_T Length);
char *strncpy(char *Destination, const char *Source, SIZE_T Count);
NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                PVOID Context, PVOID Environment);
NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength);

// Pool.
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
void ExFreePoolWithTag(PVOID P, ULONG Tag);

// Dispatcher, threads and time.
void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
void KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval);
NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext);

// I/O manager and plug and play.
NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT *DeviceObject);
NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName);
NTSTATUS IoRegisterPlugPlayNotification(IO_NOTIFICATION_EVENT_CATEGORY EventCategory,
                                        ULONG EventCategoryFlags, PVOID EventCategoryData,
                                        PDRIVER_OBJECT DriverObject,
                                        PDRIVER_NOTIFICATION_CALLBACK_ROUTINE CallbackRoutine,
                                        PVOID Context, PVOID *NotificationEntry);
// Vista's routine (Windows 7 keeps it): it does not wait for a callback of the
// registration that is running, which may still be called after it returns.
NTSTATUS IoUnregisterPlugPlayNotification(PVOID NotificationEntry);
NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                  PFILE_OBJECT *FileObject, PDEVICE_OBJECT *DeviceObject);
PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                   ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                   PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock);
NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void ObfReferenceObject(PVOID Object);
void ObfDereferenceObject(PVOID Object);

// Video port.
ULONG VideoPortInitialize(PVOID Argument1, PVOID Argument2,
                          PVIDEO_HW_INITIALIZATION_DATA HwInitializationData, PVOID HwContext);
void VideoPortZeroMemory(PVOID Destination, ULONG Length);

#if !KVR_KERNEL_TARGET
// The interrupt request level of the calling thread, kept by the simulated
// kernel on the host.
KIRQL KeGetCurrentIrql(void);
KIRQL KfRaiseIrql(KIRQL NewIrql);
void KeLowerIrql(KIRQL NewIrql);
#endif

} // extern "C"

#if KVR_KERNEL_TARGET
// On x64 the IRQL is the processor's task-priority register, CR8; the
// platform's own KeGetCurrentIrql, KfRaiseIrql and KeLowerIrql are these
// register accesses, inlined.
inline KIRQL KeGetCurrentIrql(void)
{
    ULONGLONG Irql;
    __asm__ __volatile__("movq %%cr8, %0" : "=r"(Irql));
    return (KIRQL)Irql;
}

inline void KeLowerIrql(KIRQL NewIrql)
{
    ULONGLONG Irql = NewIrql;
    __asm__ __volatile__("movq %0, %%cr8" : : "r"(Irql) : "memory");
}

inline KIRQL KfRaiseIrql(KIRQL NewIrql)
{
    KIRQL OldIrql = KeGetCurrentIrql();
    ULONGLONG Irql = NewIrql;
    __asm__ __volatile__("movq %0, %%cr8" : : "r"(Irql) : "memory");
    return OldIrql;
}
#endif

// Code placement. In the kernel image, pageable routines go to the PAGE
// section, start-up code that the platform may discard after DriverEntry to
// INIT; everything else stays resident. The host's test builds
// (KVR_CODE_SECTIONS) keep the same split in sections of their own, so that
// the simulated kernel can tell pageable code running at DISPATCH_LEVEL, and
// start-up code running after DriverEntry; its optimised build, the one that
// is profiled, leaves all code in one section, where profilers find its
// source lines.
#if KVR_KERNEL_TARGET
#define KVR_PAGED_CODE __attribute__((section("PAGE")))
#define KVR_INIT_CODE __attribute__((section("INIT")))
#elif KVR_CODE_SECTIONS
#define KVR_PAGED_CODE __attribute__((section("kvr_paged")))
#define KVR_INIT_CODE __attribute__((section("kvr_init")))
#else
#define KVR_PAGED_CODE
#define KVR_INIT_CODE
#endif

#endif // KVR_PLATFORM_TYPES_ONLY

#endif // KVR_PLATFORM_H
