// Stand-in video port (videoprt.sys) for running kvrminiport.sys under Wine,
// which ships no video port.
//
// It does what the video port does for a miniport without hardware, as far as
// the test needs it:
// - VideoPortInitialize keeps the miniport's callback table and allocates the
//   device extension; the adapter is started (HwFindAdapter) when the test
//   client asks for it, after DriverEntry has returned, and gets its video
//   device \Device\Video0, exclusive;
// - a stand-in display driver (kernel mode) opens the video device once the
//   adapter has started, which calls HwInitialize, and holds it: no user
//   process can open it;
// - a request of device type 0x23 to the test device \Device\KvrVideoPort0
//   is a program's escape to that display driver, which forwards it as
//   EngDeviceIoControl does: an IRP_MJ_DEVICE_CONTROL on the video device
//   with a METHOD_BUFFERED system buffer of the larger length (the input
//   copied in, the rest a pattern), which the video port hands to HwStartIO;
//   the completion copies exactly Information bytes back, as the I/O manager
//   does, and counts a count above the output buffer and reported bytes that
//   nobody wrote;
// - the test device serves power transitions (HwGetPowerState,
//   HwSetPowerState) and the callbacks with fixed answers;
// - it supplies working IoRegisterPlugPlayNotification,
//   IoUnregisterPlugPlayNotification (for its own registrations) and
//   IoGetDeviceObjectPointer to the miniport, whose Wine versions are stubs,
//   and working KeInitializeMutex, KeWaitForSingleObject and KeReleaseMutex,
//   whose Wine versions deadlock a contended mutex, by redirecting those
//   entries of the miniport image's import table in memory;
// - it delivers the USB device-interface changes that the stand-in sibling
//   driver (kevo.sys) reports through KvrTestDeviceInterfaceChange, and the
//   sibling publishes its device object with KvrTestPublishDevice.
//
// The module is both a driver (a service, which creates the test device) and
// the import that the miniport and the sibling link against.

// mingw-w64's intrin.h defines these two already; in C++ the DDK header's own
// inline copies would clash with them.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
#include <stdint.h>

#include "kvrwine.h"
#include "sleep_lock.h"

// The video port's side of the miniport contract, declared here from the
// platform's documented layouts (Windows x64).
typedef LONG VP_STATUS;

struct VP_STATUS_BLOCK {
    union {
        VP_STATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
};

struct VP_REQUEST_PACKET {
    ULONG IoControlCode;
    VP_STATUS_BLOCK *StatusBlock;
    PVOID InputBuffer;
    ULONG InputBufferLength;
    PVOID OutputBuffer;
    ULONG OutputBufferLength;
};

struct VP_POWER_MANAGEMENT {
    ULONG Length;
    ULONG DPMSVersion;
    ULONG PowerState;
};

struct VP_CHILD_ENUM_INFO {
    ULONG Size;
    ULONG ChildDescriptorSize;
    ULONG ChildIndex;
    ULONG ACPIHwId;
    PVOID ChildHwDeviceExtension;
};

typedef VP_STATUS (*VP_FIND_ADAPTER)(PVOID, PVOID, PWSTR, PVOID, PUCHAR);
typedef BOOLEAN (*VP_INITIALIZE)(PVOID);
typedef BOOLEAN (*VP_INTERRUPT)(PVOID);
typedef BOOLEAN (*VP_START_IO)(PVOID, VP_REQUEST_PACKET *);
typedef BOOLEAN (*VP_RESET_HW)(PVOID, ULONG, ULONG);
typedef VP_STATUS (*VP_POWER)(PVOID, ULONG, VP_POWER_MANAGEMENT *);
typedef VP_STATUS (*VP_CHILD_DESCRIPTOR)(PVOID, VP_CHILD_ENUM_INFO *, PULONG, PUCHAR, PULONG,
                                         PULONG);

struct VP_HW_INITIALIZATION_DATA {
    ULONG HwInitDataSize;
    ULONG AdapterInterfaceType;
    VP_FIND_ADAPTER HwFindAdapter;
    VP_INITIALIZE HwInitialize;
    VP_INTERRUPT HwInterrupt;
    VP_START_IO HwStartIO;
    ULONG HwDeviceExtensionSize;
    ULONG StartingDeviceNumber;
    VP_RESET_HW HwResetHw;
    PVOID HwTimer;
    PVOID HwStartDma;
    VP_POWER HwSetPowerState;
    VP_POWER HwGetPowerState;
    VP_CHILD_DESCRIPTOR HwGetVideoChildDescriptor;
    PVOID HwQueryInterface;
    ULONG HwChildDeviceExtensionSize;
    PVOID HwLegacyResourceList;
    ULONG HwLegacyResourceCount;
    PVOID HwGetLegacyResources;
    BOOLEAN AllowEarlyEnumeration;
    ULONG Reserved;
};
static_assert(sizeof(VP_HW_INITIALIZATION_DATA) == 144, "VIDEO_HW_INITIALIZATION_DATA");
static_assert(sizeof(VP_REQUEST_PACKET) == 48, "VIDEO_REQUEST_PACKET");

constexpr ULONG FileDeviceVideo = 0x23;
constexpr VP_STATUS VpNoError = 0;
constexpr VP_STATUS VpInsufficientBuffer = 122;
constexpr ULONG MaxExtensionSize = 64 * 1024;

// Import-table records of the PE format (PE32+).
struct PE_IMPORT_DESCRIPTOR {
    ULONG OriginalFirstThunk;
    ULONG TimeDateStamp;
    ULONG ForwarderChain;
    ULONG Name;
    ULONG FirstThunk;
};

extern "C" NTSYSAPI PVOID NTAPI RtlPcToFileHeader(PVOID PcValue, PVOID *BaseOfImage);

typedef NTSTATUS(NTAPI *PROTECT_VIRTUAL_MEMORY)(HANDLE, PVOID *, PSIZE_T, ULONG, PULONG);

namespace
{

struct NOTIFY_REGISTRATION {
    ULONG Category;
    GUID Class;
    PDRIVER_NOTIFICATION_CALLBACK_ROUTINE Callback;
    PVOID Context;
};

struct PRESENT_INTERFACE {
    bool Present;
    GUID Class;
    USHORT Length; // bytes
    WCHAR Name[160];
};

struct PUBLISHED_DEVICE {
    PDEVICE_OBJECT Device;
    USHORT Length; // bytes
    WCHAR Name[64];
};

constexpr ULONG MaxRegistrations = 8;
constexpr ULONG MaxInterfaces = 8;

VP_HW_INITIALIZATION_DATA Miniport;
bool MiniportKnown;
PVOID MiniportContext;
PUCHAR Extension;
ULONG ExtensionSize;

SLEEP_LOCK Lock; // registrations, present interfaces, published devices, counters
NOTIFY_REGISTRATION Registrations[MaxRegistrations];
ULONG RegistrationCount;
PRESENT_INTERFACE Interfaces[MaxInterfaces];
PUBLISHED_DEVICE PublishedDevices[4];
KVRVP_STATS Stats;

const GUID UsbDeviceInterfaceClass = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
const GUID InterfaceArrival = {
    0xCB3A4004, 0x46F0, 0x11D0, {0xB0, 0x8F, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3F}};
const GUID InterfaceRemoval = {
    0xCB3A4005, 0x46F0, 0x11D0, {0xB0, 0x8F, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3F}};

void Acquire()
{
    AcquireSleepLock(&Lock);
}

void Release()
{
    ReleaseSleepLock(&Lock);
}

bool SameGuid(const GUID &a, const GUID &b)
{
    return RtlCompareMemory(&a, &b, sizeof(GUID)) == sizeof(GUID);
}

bool SameAsciiNoCase(const char *a, const char *b)
{
    for (;; ++a, ++b) {
        char x = *a >= 'A' && *a <= 'Z' ? char(*a - 'A' + 'a') : *a;
        char y = *b >= 'A' && *b <= 'Z' ? char(*b - 'A' + 'a') : *b;
        if (x != y)
            return false;
        if (!x)
            return true;
    }
}

bool SameAscii(const char *a, const char *b)
{
    for (; *a == *b; ++a, ++b) {
        if (!*a)
            return true;
    }
    return false;
}

void Deliver(const NOTIFY_REGISTRATION &Registration, const GUID &Event,
             const PRESENT_INTERFACE &Interface)
{
    UNICODE_STRING Name;
    Name.Length = Interface.Length;
    Name.MaximumLength = sizeof(Interface.Name);
    Name.Buffer = const_cast<PWSTR>(Interface.Name);

    DEVICE_INTERFACE_CHANGE_NOTIFICATION Notification;
    RtlZeroMemory(&Notification, sizeof(Notification));
    Notification.Version = 1;
    Notification.Size = sizeof(Notification);
    Notification.Event = Event;
    Notification.InterfaceClassGuid = Interface.Class;
    Notification.SymbolicLinkName = &Name;
    Registration.Callback(&Notification, Registration.Context);
    if (SameGuid(Event, InterfaceArrival))
        ++Stats.ArrivalsDelivered;
    else
        ++Stats.RemovalsDelivered;
}

} // namespace

// The working IoRegisterPlugPlayNotification given to the miniport. Device
// interface registrations get an arrival for every present interface of their
// class before the call returns when they ask for existing interfaces, and
// every later arrival and removal from KvrTestDeviceInterfaceChange.
extern "C" NTSTATUS NTAPI KvrIoRegisterPlugPlayNotification(
    IO_NOTIFICATION_EVENT_CATEGORY Category, ULONG Flags, PVOID CategoryData,
    PDRIVER_OBJECT DriverObject, PDRIVER_NOTIFICATION_CALLBACK_ROUTINE Callback, PVOID Context,
    PVOID *NotificationEntry)
{
    if (!Callback || !NotificationEntry || ULONG(Category) > 3)
        return STATUS_INVALID_PARAMETER;
    if (Category == EventCategoryDeviceInterfaceChange && !CategoryData)
        return STATUS_INVALID_PARAMETER;

    Acquire();
    ++Stats.Registrations[Category];
    if (!DriverObject)
        ++Stats.RegistrationsWithoutDriver;
    if (Category == EventCategoryDeviceInterfaceChange) {
        Stats.InterfaceRegistrationFlags = Flags;
        Stats.InterfaceRegistrationClassIsUsb =
            SameGuid(*static_cast<const GUID *>(CategoryData), UsbDeviceInterfaceClass);
    } else if (Category == EventCategoryHardwareProfileChange) {
        Stats.ProfileRegistrationHasData = CategoryData != nullptr;
    }
    if (RegistrationCount == MaxRegistrations) {
        Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NOTIFY_REGISTRATION &Registration = Registrations[RegistrationCount++];
    Registration.Category = Category;
    Registration.Callback = Callback;
    Registration.Context = Context;
    if (Category == EventCategoryDeviceInterfaceChange)
        Registration.Class = *static_cast<const GUID *>(CategoryData);
    *NotificationEntry = &Registration;

    if (Category == EventCategoryDeviceInterfaceChange &&
        (Flags & PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES)) {
        for (const PRESENT_INTERFACE &Interface : Interfaces) {
            if (Interface.Present && SameGuid(Interface.Class, Registration.Class))
                Deliver(Registration, InterfaceArrival, Interface);
        }
    }
    Release();
    return STATUS_SUCCESS;
}

// The working IoUnregisterPlugPlayNotification: the entry is one of the
// stand-in's registrations, which Wine's own routine does not know. Like
// Vista's, it does not wait for a delivery under way.
extern "C" NTSTATUS NTAPI KvrIoUnregisterPlugPlayNotification(PVOID NotificationEntry)
{
    Acquire();
    for (ULONG i = 0; i < RegistrationCount; ++i) {
        if (&Registrations[i] == NotificationEntry && Registrations[i].Callback) {
            Registrations[i].Callback = nullptr;
            ++Stats.Unregistrations;
            Release();
            return STATUS_SUCCESS;
        }
    }
    Release();
    return STATUS_INVALID_PARAMETER;
}

// Devices that stand-in drivers publish by name, so that the working
// IoGetDeviceObjectPointer can hand out their device objects.
extern "C" NTSTATUS NTAPI KvrTestPublishDevice(PCUNICODE_STRING Name, PDEVICE_OBJECT Device)
{
    if (!Name || !Device || Name->Length > sizeof(PUBLISHED_DEVICE::Name))
        return STATUS_INVALID_PARAMETER;
    Acquire();
    for (PUBLISHED_DEVICE &Entry : PublishedDevices) {
        if (!Entry.Device) {
            Entry.Device = Device;
            Entry.Length = Name->Length;
            RtlCopyMemory(Entry.Name, Name->Buffer, Name->Length);
            Release();
            return STATUS_SUCCESS;
        }
    }
    Release();
    return STATUS_INSUFFICIENT_RESOURCES;
}

// The working IoGetDeviceObjectPointer given to the miniport. It opens the
// named device with the requested access, as Windows does, so that the name
// is resolved by the object manager and the device sees the open; Wine cannot
// turn the handle into a referenced file object, so the device object itself,
// referenced once more, is handed back in its place. The caller's
// ObfDereferenceObject on it drops exactly that reference.
extern "C" NTSTATUS NTAPI KvrIoGetDeviceObjectPointer(PUNICODE_STRING ObjectName,
                                                      ACCESS_MASK DesiredAccess,
                                                      PFILE_OBJECT *FileObject,
                                                      PDEVICE_OBJECT *DeviceObject)
{
    Acquire();
    ++Stats.PeerOpenCalls;
    Stats.PeerOpenAccess = DesiredAccess;
    Release();

    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, ObjectName, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE,
                               nullptr, nullptr);
    IO_STATUS_BLOCK Iosb;
    HANDLE Handle;
    NTSTATUS Status = ZwOpenFile(&Handle, DesiredAccess, &Attributes, &Iosb,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_NON_DIRECTORY_FILE);
    PDEVICE_OBJECT Device = nullptr;
    if (NT_SUCCESS(Status)) {
        ZwClose(Handle);
        Acquire();
        for (const PUBLISHED_DEVICE &Entry : PublishedDevices) {
            UNICODE_STRING Name = {Entry.Length, sizeof(Entry.Name), const_cast<PWSTR>(Entry.Name)};
            if (Entry.Device && RtlEqualUnicodeString(&Name, ObjectName, TRUE)) {
                Device = Entry.Device;
                break;
            }
        }
        Release();
        if (!Device)
            Status = STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (!NT_SUCCESS(Status)) {
        Acquire();
        ++Stats.PeerOpenFailures;
        Release();
        return Status;
    }
    ObReferenceObject(Device);
    *FileObject = reinterpret_cast<PFILE_OBJECT>(Device);
    *DeviceObject = Device;
    return STATUS_SUCCESS;
}

// Device-interface changes reported by the stand-in sibling driver: the
// interface is recorded as present or absent and every device-interface
// registration of its class is told. Returns the number of callbacks made.
extern "C" ULONG NTAPI KvrTestDeviceInterfaceChange(const GUID *InterfaceClass,
                                                    PCUNICODE_STRING SymbolicLinkName,
                                                    BOOLEAN Arrival)
{
    if (!InterfaceClass || !SymbolicLinkName ||
        SymbolicLinkName->Length > sizeof(PRESENT_INTERFACE::Name) - sizeof(WCHAR))
        return 0;

    Acquire();
    PRESENT_INTERFACE *Slot = nullptr;
    for (PRESENT_INTERFACE &Interface : Interfaces) {
        if (Interface.Present && Interface.Length == SymbolicLinkName->Length &&
            RtlCompareMemory(Interface.Name, SymbolicLinkName->Buffer, Interface.Length) ==
                Interface.Length) {
            Slot = &Interface;
            break;
        }
    }
    if (!Slot && Arrival) {
        for (PRESENT_INTERFACE &Interface : Interfaces) {
            if (!Interface.Present) {
                Slot = &Interface;
                break;
            }
        }
    }
    if (!Slot) {
        Release();
        return 0;
    }
    // Deliver from a copy: a removal frees the slot.
    PRESENT_INTERFACE Changed;
    RtlZeroMemory(&Changed, sizeof(Changed));
    Changed.Present = true;
    Changed.Class = *InterfaceClass;
    Changed.Length = SymbolicLinkName->Length;
    RtlCopyMemory(Changed.Name, SymbolicLinkName->Buffer, Changed.Length);
    if (Arrival)
        *Slot = Changed;
    else
        Slot->Present = false;

    ULONG Calls = 0;
    for (ULONG i = 0; i < RegistrationCount; ++i) {
        const NOTIFY_REGISTRATION &Registration = Registrations[i];
        if (Registration.Category != EventCategoryDeviceInterfaceChange || !Registration.Callback ||
            !SameGuid(Registration.Class, Changed.Class))
            continue;
        Deliver(Registration, Arrival ? InterfaceArrival : InterfaceRemoval, Changed);
        ++Calls;
    }
    Release();
    return Calls;
}

typedef NTSTATUS(NTAPI *WAIT_FOR_SINGLE_OBJECT)(PVOID, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                                PLARGE_INTEGER);

namespace
{

// Wine's KeWaitForSingleObject, for every object but a mutex.
WAIT_FOR_SINGLE_OBJECT PlatformWaitForSingleObject;

constexpr UCHAR MutexObjectType = 2;

// The owner of a mutex, as the thread ID of the thread that holds it.
PVOID volatile *MutexOwner(PRKMUTEX Mutex)
{
    return reinterpret_cast<PVOID volatile *>(&Mutex->OwnerThread);
}

PVOID CurrentThreadKey()
{
    return PsGetCurrentThreadId();
}

} // namespace

// Working kernel mutexes for the miniport. Wine's KeReleaseMutex never
// releases the server mutex that backs a KMUTEX once a second thread has
// waited on it, so that thread waits for ever. These keep the owner's thread
// ID in OwnerThread and the count in SignalState (1 free, 0 held once, below
// 0 held again by its owner), and wait by sleeping 1 ms between attempts.
extern "C" void NTAPI KvrKeInitializeMutex(PRKMUTEX Mutex, ULONG)
{
    RtlZeroMemory(Mutex, sizeof(*Mutex));
    Mutex->Header.Type = MutexObjectType;
    Mutex->Header.SignalState = 1;
}

extern "C" NTSTATUS NTAPI KvrKeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                   KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                   PLARGE_INTEGER Timeout)
{
    auto *Mutex = static_cast<PRKMUTEX>(Object);
    if (Mutex->Header.Type != MutexObjectType)
        return PlatformWaitForSingleObject(Object, WaitReason, WaitMode, Alertable, Timeout);

    PVOID Self = CurrentThreadKey();
    // Relative timeouts only (the miniport waits without one).
    LONGLONG Remaining = Timeout ? -Timeout->QuadPart : -1;
    for (;;) {
        PVOID Owner = InterlockedCompareExchangePointer(MutexOwner(Mutex), Self, nullptr);
        if (!Owner || Owner == Self) {
            --Mutex->Header.SignalState;
            return STATUS_SUCCESS;
        }
        if (Timeout && Remaining <= 0)
            return STATUS_TIMEOUT;
        SleepBriefly();
        Remaining -= 10000;
    }
}

extern "C" LONG NTAPI KvrKeReleaseMutex(PRKMUTEX Mutex, BOOLEAN)
{
    LONG Previous = Mutex->Header.SignalState;
    if (*MutexOwner(Mutex) != CurrentThreadKey())
        return Previous; // not held by this thread: nothing to release
    if (++Mutex->Header.SignalState == 1)
        InterlockedExchangePointer(MutexOwner(Mutex), nullptr);
    return Previous;
}

namespace
{

// Makes one pointer-sized slot of an image writable, writes it and restores
// the protection. Wine runs kernel drivers in a user process, so the import
// table is protected like any other image page.
bool WriteImportSlot(ULONGLONG *Slot, ULONGLONG Value)
{
    UNICODE_STRING Name;
    RtlInitUnicodeString(&Name, L"ZwProtectVirtualMemory");
    auto Protect = reinterpret_cast<PROTECT_VIRTUAL_MEMORY>(MmGetSystemRoutineAddress(&Name));
    PVOID Base = Slot;
    SIZE_T Size = sizeof(*Slot);
    ULONG Old = 0;
    bool Changed = false;
    if (Protect)
        Changed = NT_SUCCESS(Protect(NtCurrentProcess(), &Base, &Size, PAGE_READWRITE, &Old));
    *reinterpret_cast<volatile ULONGLONG *>(Slot) = Value;
    if (Changed) {
        ULONG Ignored;
        Base = Slot;
        Size = sizeof(*Slot);
        Protect(NtCurrentProcess(), &Base, &Size, Old, &Ignored);
    }
    return *Slot == Value;
}

// Redirects the miniport image's imports of the three stubbed routines and of
// the three mutex routines from ntoskrnl.exe to the working versions above.
ULONG RedirectImports(PVOID ImageBase)
{
    auto *Image = static_cast<PUCHAR>(ImageBase);
    if (Image[0] != 'M' || Image[1] != 'Z')
        return 0;
    PUCHAR Nt = Image + *reinterpret_cast<LONG *>(Image + 0x3C);
    if (Nt[0] != 'P' || Nt[1] != 'E' || Nt[2] || Nt[3])
        return 0;
    PUCHAR Optional = Nt + 24;
    if (*reinterpret_cast<USHORT *>(Optional) != 0x20B) // PE32+
        return 0;
    // Data directory 1 (imports) of a PE32+ optional header.
    ULONG ImportRva = *reinterpret_cast<ULONG *>(Optional + 112 + 8);
    if (!ImportRva)
        return 0;

    ULONG Redirected = 0;
    for (auto *Descriptor = reinterpret_cast<PE_IMPORT_DESCRIPTOR *>(Image + ImportRva);
         Descriptor->Name; ++Descriptor) {
        if (!SameAsciiNoCase(reinterpret_cast<const char *>(Image + Descriptor->Name),
                             "ntoskrnl.exe"))
            continue;
        ULONG NamesRva = Descriptor->OriginalFirstThunk ? Descriptor->OriginalFirstThunk
                                                        : Descriptor->FirstThunk;
        auto *Names = reinterpret_cast<ULONGLONG *>(Image + NamesRva);
        auto *Slots = reinterpret_cast<ULONGLONG *>(Image + Descriptor->FirstThunk);
        for (ULONG i = 0; Names[i]; ++i) {
            if (Names[i] >> 63) // imported by ordinal
                continue;
            auto *Routine = reinterpret_cast<const char *>(Image + (Names[i] & 0x7FFFFFFF) + 2);
            if (SameAscii(Routine, "IoRegisterPlugPlayNotification")) {
                if (WriteImportSlot(
                        &Slots[i], reinterpret_cast<ULONGLONG>(&KvrIoRegisterPlugPlayNotification)))
                    Redirected |= KVRVP_REDIRECT_PNP_NOTIFICATION;
            } else if (SameAscii(Routine, "IoUnregisterPlugPlayNotification")) {
                if (WriteImportSlot(&Slots[i], reinterpret_cast<ULONGLONG>(
                                                   &KvrIoUnregisterPlugPlayNotification)))
                    Redirected |= KVRVP_REDIRECT_PNP_UNREGISTER;
            } else if (SameAscii(Routine, "IoGetDeviceObjectPointer")) {
                if (WriteImportSlot(&Slots[i],
                                    reinterpret_cast<ULONGLONG>(&KvrIoGetDeviceObjectPointer)))
                    Redirected |= KVRVP_REDIRECT_DEVICE_POINTER;
            } else if (SameAscii(Routine, "KeInitializeMutex")) {
                if (WriteImportSlot(&Slots[i], reinterpret_cast<ULONGLONG>(&KvrKeInitializeMutex)))
                    Redirected |= KVRVP_REDIRECT_MUTEX_INIT;
            } else if (SameAscii(Routine, "KeWaitForSingleObject")) {
                PlatformWaitForSingleObject = reinterpret_cast<WAIT_FOR_SINGLE_OBJECT>(Slots[i]);
                if (WriteImportSlot(&Slots[i],
                                    reinterpret_cast<ULONGLONG>(&KvrKeWaitForSingleObject)))
                    Redirected |= KVRVP_REDIRECT_MUTEX_WAIT;
            } else if (SameAscii(Routine, "KeReleaseMutex")) {
                if (WriteImportSlot(&Slots[i], reinterpret_cast<ULONGLONG>(&KvrKeReleaseMutex)))
                    Redirected |= KVRVP_REDIRECT_MUTEX_RELEASE;
            }
        }
    }
    return Redirected;
}

} // namespace

extern "C" void NTAPI VideoPortZeroMemory(PVOID Destination, ULONG Length)
{
    RtlZeroMemory(Destination, Length);
    Acquire();
    ++Stats.ZeroMemoryCalls;
    Release();
}

extern "C" ULONG NTAPI VideoPortInitialize(PVOID Argument1, PVOID Argument2,
                                           VP_HW_INITIALIZATION_DATA *HwInitializationData,
                                           PVOID HwContext)
{
    // The caller is the miniport's DriverEntry: its image is the one whose
    // imports are redirected.
    PVOID CallerImage = nullptr;
    RtlPcToFileHeader(__builtin_return_address(0), &CallerImage);

    Acquire();
    ++Stats.InitializeCalls;
    Release();
    if (!Argument1 || !Argument2 || !HwInitializationData)
        return STATUS_INVALID_PARAMETER;
    ULONG Size = HwInitializationData->HwInitDataSize;
    Acquire();
    Stats.HwInitDataSize = Size;
    Release();
    if (Size < sizeof(VP_HW_INITIALIZATION_DATA) || MiniportKnown)
        return STATUS_REVISION_MISMATCH;
    if (!HwInitializationData->HwFindAdapter || !HwInitializationData->HwInitialize ||
        !HwInitializationData->HwStartIO ||
        HwInitializationData->HwDeviceExtensionSize > MaxExtensionSize)
        return STATUS_INVALID_PARAMETER;

    ExtensionSize = HwInitializationData->HwDeviceExtensionSize;
    Extension = static_cast<PUCHAR>(ExAllocatePoolWithTag(
        NonPagedPool, ExtensionSize ? ExtensionSize : 1, 0x78457056 /* "VpEx" */));
    if (!Extension)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(Extension, ExtensionSize ? ExtensionSize : 1);

    RtlCopyMemory(&Miniport, HwInitializationData, sizeof(Miniport));
    MiniportContext = HwContext;
    MiniportKnown = true;
    ULONG Redirected = CallerImage ? RedirectImports(CallerImage) : 0;

    Acquire();
    Stats.HwDeviceExtensionSize = Miniport.HwDeviceExtensionSize;
    Stats.AdapterInterfaceType = Miniport.AdapterInterfaceType;
    Stats.Redirected = Redirected;
    Release();
    return STATUS_SUCCESS;
}

namespace
{

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = NT_SUCCESS(Status) ? Information : 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

PDRIVER_OBJECT PortDriver;
PDEVICE_OBJECT TestDevice;
PDEVICE_OBJECT VideoDevice;
bool DisplayHoldsVideoDevice;
BOOLEAN LastInitialize;

// The video device of the started adapter, exclusive, with the link that
// Windows gives it; the display driver opens it, nothing else can.
NTSTATUS CreateVideoDevice()
{
    if (VideoDevice)
        return STATUS_SUCCESS;
    UNICODE_STRING DeviceName, LinkName;
    RtlInitUnicodeString(&DeviceName, KVRVP_VIDEO_DEVICE_NAME);
    RtlInitUnicodeString(&LinkName, KVRVP_VIDEO_LINK_NAME);
    NTSTATUS Status =
        IoCreateDevice(PortDriver, 0, &DeviceName, FILE_DEVICE_VIDEO, 0, TRUE, &VideoDevice);
    if (!NT_SUCCESS(Status))
        return Status;
    IoCreateSymbolicLink(&LinkName, &DeviceName);
    VideoDevice->Flags |= DO_BUFFERED_IO;
    VideoDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// The display driver's open of the video device, as win32k makes it once
// the adapter has started: the first open calls HwInitialize, whose FALSE
// fails it.
bool DisplayOpensVideoDevice()
{
    if (DisplayHoldsVideoDevice)
        return true;
    LastInitialize = Miniport.HwInitialize(Extension);
    Acquire();
    ++Stats.InitializeAdapterCalls;
    if (LastInitialize)
        ++Stats.DisplayOpens;
    Release();
    DisplayHoldsVideoDevice = LastInitialize != FALSE;
    return DisplayHoldsVideoDevice;
}

NTSTATUS StartAdapter(PVOID Buffer, ULONG OutputLength, ULONG_PTR *Information)
{
    if (OutputLength < sizeof(KVRVP_START))
        return STATUS_BUFFER_TOO_SMALL;
    if (!MiniportKnown)
        return STATUS_DEVICE_NOT_READY;
    // The configuration information the miniport may fill in; this adapter
    // has no bus, no ranges and no interrupt.
    ULONGLONG ConfigInfo[64];
    RtlZeroMemory(ConfigInfo, sizeof(ConfigInfo));
    UCHAR Again = 0;
    VP_STATUS Found =
        Miniport.HwFindAdapter(Extension, MiniportContext, nullptr, ConfigInfo, &Again);
    Acquire();
    ++Stats.FindAdapterCalls;
    Release();
    BOOLEAN Initialized = FALSE;
    if (Found == VpNoError && NT_SUCCESS(CreateVideoDevice()))
        Initialized = DisplayOpensVideoDevice();

    KVRVP_START Result;
    RtlZeroMemory(&Result, sizeof(Result));
    Result.FindAdapterStatus = Found;
    Result.Initialized = Initialized;
    Result.Again = Again;
    RtlCopyMemory(Buffer, &Result, sizeof(Result));
    *Information = sizeof(Result);
    return STATUS_SUCCESS;
}

NTSTATUS SetPower(PVOID Buffer, ULONG InputLength, ULONG OutputLength, ULONG_PTR *Information)
{
    if (InputLength < sizeof(KVRVP_POWER_IN) || OutputLength < sizeof(KVRVP_POWER_OUT))
        return STATUS_BUFFER_TOO_SMALL;
    if (!MiniportKnown || !Miniport.HwGetPowerState || !Miniport.HwSetPowerState)
        return STATUS_DEVICE_NOT_READY;
    KVRVP_POWER_IN Request;
    RtlCopyMemory(&Request, Buffer, sizeof(Request));

    // As the video port does: ask whether the state can be entered, then set it.
    VP_POWER_MANAGEMENT Power = {sizeof(VP_POWER_MANAGEMENT), 0, Request.PowerState};
    KVRVP_POWER_OUT Result;
    Result.GetPowerStatus = Miniport.HwGetPowerState(Extension, Request.HwId, &Power);
    Power = {sizeof(VP_POWER_MANAGEMENT), 0, Request.PowerState};
    Result.SetPowerStatus = Miniport.HwSetPowerState(Extension, Request.HwId, &Power);
    RtlCopyMemory(Buffer, &Result, sizeof(Result));
    *Information = sizeof(Result);
    return STATUS_SUCCESS;
}

NTSTATUS FixedCallbacks(PVOID Buffer, ULONG OutputLength, ULONG_PTR *Information)
{
    if (OutputLength < sizeof(KVRVP_FIXED))
        return STATUS_BUFFER_TOO_SMALL;
    if (!MiniportKnown || !Miniport.HwInterrupt || !Miniport.HwResetHw ||
        !Miniport.HwGetVideoChildDescriptor)
        return STATUS_DEVICE_NOT_READY;
    KVRVP_FIXED Result;
    RtlZeroMemory(&Result, sizeof(Result));
    Result.Interrupt = Miniport.HwInterrupt(Extension);
    Result.ResetHw = Miniport.HwResetHw(Extension, 80, 25);
    // Child enumeration as the video port runs it: indices from 1 until the
    // miniport reports that there are no more devices.
    for (ULONG Index = 1; Index <= 2; ++Index) {
        UCHAR Descriptor[256];
        VP_CHILD_ENUM_INFO Info = {sizeof(VP_CHILD_ENUM_INFO), sizeof(Descriptor), Index, 0,
                                   nullptr};
        ULONG Type = 0, Uid = 0, Unused = 0;
        VP_STATUS Status =
            Miniport.HwGetVideoChildDescriptor(Extension, &Info, &Type, Descriptor, &Uid, &Unused);
        if (Index == 1)
            Result.ChildDescriptorStatus = Status;
        else
            Result.ChildDescriptorStatusAgain = Status;
    }
    RtlCopyMemory(Buffer, &Result, sizeof(Result));
    *Information = sizeof(Result);
    return STATUS_SUCCESS;
}

NTSTATUS ReadStats(PVOID Buffer, ULONG OutputLength, ULONG_PTR *Information)
{
    if (OutputLength < sizeof(KVRVP_STATS))
        return STATUS_BUFFER_TOO_SMALL;
    Acquire();
    bool Untouched = Extension != nullptr;
    for (ULONG i = 0; Untouched && i < ExtensionSize; ++i)
        Untouched = Extension[i] == 0;
    Stats.ExtensionUntouched = Untouched;
    RtlCopyMemory(Buffer, &Stats, sizeof(Stats));
    Release();
    *Information = sizeof(KVRVP_STATS);
    return STATUS_SUCCESS;
}

// A private request of the miniport: one VIDEO_REQUEST_PACKET over the
// METHOD_BUFFERED system buffer, which is input and output at once.
NTSTATUS StartIo(ULONG Code, PVOID Buffer, ULONG InputLength, ULONG OutputLength,
                 ULONG_PTR *Information)
{
    if (!MiniportKnown)
        return STATUS_DEVICE_NOT_READY;
    VP_STATUS_BLOCK StatusBlock;
    StatusBlock.Pointer = nullptr;
    StatusBlock.Status = VpNoError;
    StatusBlock.Information = 0;
    VP_REQUEST_PACKET Packet = {Code, &StatusBlock, Buffer, InputLength, Buffer, OutputLength};
    BOOLEAN Done = Miniport.HwStartIO(Extension, &Packet);

    Acquire();
    ++Stats.StartIoCalls;
    Stats.LastIoControlCode = Code;
    Stats.LastStatus = StatusBlock.Status;
    Stats.LastInformation = StatusBlock.Information;
    Stats.LastStartIoResult = Done;
    Release();

    if (StatusBlock.Status == VpNoError) {
        // Exactly the count the miniport reported: the I/O manager copies
        // that many bytes back, whatever the caller's buffer holds.
        *Information = StatusBlock.Information;
        return STATUS_SUCCESS;
    }
    if (StatusBlock.Status == VpInsufficientBuffer)
        return STATUS_BUFFER_TOO_SMALL;
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS DispatchCreateClose(PDEVICE_OBJECT Device, PIRP Irp)
{
    // The video device is exclusive and the display driver holds it (its
    // open is a kernel call, not this request): every open from a process
    // is refused.
    if (Device == VideoDevice &&
        IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_CREATE) {
        Acquire();
        ++Stats.UserOpensRefused;
        Release();
        return Complete(Irp, STATUS_ACCESS_DENIED, 0);
    }
    return Complete(Irp, STATUS_SUCCESS, 0);
}

constexpr UCHAR ReplyPattern = 0xCC;

NTSTATUS KeepIrp(PDEVICE_OBJECT, PIRP, PVOID)
{
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The display driver stand-in's EngDeviceIoControl: one IRP_MJ_DEVICE_CONTROL
// on the video device with a METHOD_BUFFERED system buffer of the larger
// length, the input copied in and the rest the pattern; at completion, as the
// I/O manager, exactly Information bytes of it back to the caller, unless
// the status is an error. A count above the output buffer would overrun the
// caller's memory, and a reported byte past the input that still holds the
// pattern is left-over pool: both are counted, and the first fails the
// request.
NTSTATUS DisplayEscape(ULONG Code, PVOID Buffer, ULONG InputLength, ULONG OutputLength,
                       ULONG_PTR *Information)
{
    if (!DisplayHoldsVideoDevice)
        return STATUS_DEVICE_NOT_READY;
    ULONG Size = InputLength > OutputLength ? InputLength : OutputLength;
    auto *System = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPool, Size ? Size : 1, 0x79447056 /* "VpDy" */));
    PIRP Irp = IoAllocateIrp(VideoDevice->StackSize, FALSE);
    if (!System || !Irp) {
        if (System)
            ExFreePoolWithTag(System, 0x79447056);
        if (Irp)
            IoFreeIrp(Irp);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG i = 0; i < Size; ++i)
        System[i] = i < InputLength ? static_cast<PUCHAR>(Buffer)[i] : ReplyPattern;
    Irp->AssociatedIrp.SystemBuffer = System;
    Irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    Next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    Next->Parameters.DeviceIoControl.IoControlCode = Code;
    Next->Parameters.DeviceIoControl.InputBufferLength = InputLength;
    Next->Parameters.DeviceIoControl.OutputBufferLength = OutputLength;
    IoSetCompletionRoutine(Irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(VideoDevice, Irp);
    NTSTATUS Status = Irp->IoStatus.Status;
    ULONG_PTR Count = Irp->IoStatus.Information;
    IoFreeIrp(Irp);

    bool Overrun = false;
    ULONG Undefined = 0;
    if (!NT_ERROR(Status) && OutputLength) {
        Overrun = Count > OutputLength;
        ULONG_PTR Copied = Overrun ? OutputLength : Count;
        for (ULONG_PTR i = InputLength; i < Copied; ++i)
            Undefined += System[i] == ReplyPattern;
        RtlCopyMemory(Buffer, System, Copied);
        *Information = Count;
    }
    ExFreePoolWithTag(System, 0x79447056);
    Acquire();
    ++Stats.ForwardedRequests;
    Stats.ReplyOverruns += Overrun;
    Stats.UndefinedReplyBytes += Undefined;
    Release();
    if (Overrun) {
        *Information = 0;
        return STATUS_DATA_ERROR;
    }
    return Status;
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT Device, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    if (Device == VideoDevice) {
        // The video port's side: HwStartIO through the video device only,
        // for its holder, the display driver, whose requests come without a
        // file object. Wine 8 hands a process a handle even when its create
        // request was refused; every request on it is refused as well.
        if (Stack->FileObject) {
            Acquire();
            ++Stats.UserOpensRefused;
            Release();
            return Complete(Irp, STATUS_ACCESS_DENIED, 0);
        }
        ULONG_PTR Count = 0;
        NTSTATUS Status = StartIo(Stack->Parameters.DeviceIoControl.IoControlCode,
                                  Irp->AssociatedIrp.SystemBuffer,
                                  Stack->Parameters.DeviceIoControl.InputBufferLength,
                                  Stack->Parameters.DeviceIoControl.OutputBufferLength, &Count);
        Irp->IoStatus.Status = Status;
        Irp->IoStatus.Information = NT_SUCCESS(Status) ? Count : 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return Status;
    }
    if (Device != TestDevice)
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    ULONG Code = Stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG InputLength = Stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG OutputLength = Stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID Buffer = Irp->AssociatedIrp.SystemBuffer;
    ULONG_PTR Information = 0;
    NTSTATUS Status;

    if ((Code & 3) != METHOD_BUFFERED)
        Status = STATUS_INVALID_DEVICE_REQUEST;
    else if (Code == IOCTL_KVRVP_START_ADAPTER)
        Status = StartAdapter(Buffer, OutputLength, &Information);
    else if (Code == IOCTL_KVRVP_SET_POWER)
        Status = SetPower(Buffer, InputLength, OutputLength, &Information);
    else if (Code == IOCTL_KVRVP_FIXED_CALLBACKS)
        Status = FixedCallbacks(Buffer, OutputLength, &Information);
    else if (Code == IOCTL_KVRVP_STATS)
        Status = ReadStats(Buffer, OutputLength, &Information);
    else if ((Code >> 16) == FileDeviceVideo)
        Status = DisplayEscape(Code, Buffer, InputLength, OutputLength, &Information);
    else
        Status = STATUS_INVALID_DEVICE_REQUEST;
    return Complete(Irp, Status, Information);
}

NTSTATUS CreateTestDevice(PDRIVER_OBJECT DriverObject)
{
    PortDriver = DriverObject;
    UNICODE_STRING DeviceName, LinkName;
    RtlInitUnicodeString(&DeviceName, KVRVP_DEVICE_NAME);
    RtlInitUnicodeString(&LinkName, KVRVP_LINK_NAME);
    NTSTATUS Status =
        IoCreateDevice(DriverObject, 0, &DeviceName, FILE_DEVICE_VIDEO, 0, FALSE, &TestDevice);
    if (!NT_SUCCESS(Status))
        return Status;
    Status = IoCreateSymbolicLink(&LinkName, &DeviceName);
    if (!NT_SUCCESS(Status)) {
        IoDeleteDevice(TestDevice);
        TestDevice = nullptr;
        return Status;
    }
    TestDevice->Flags |= DO_BUFFERED_IO;
    TestDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    return STATUS_SUCCESS;
}

} // namespace

// The image's entry point. As the import of another driver the loader calls it
// like a DLL's entry (module, reason, reserved); as a service, like a driver's
// (driver object, registry path). A reason is a small number, a registry path
// a pointer, so the second argument tells the two apart.
extern "C" NTSTATUS NTAPI VideoPortEntry(PVOID Argument1, PVOID Argument2, PVOID)
{
    if (reinterpret_cast<ULONG_PTR>(Argument2) < 0x10000)
        return TRUE;
    return CreateTestDevice(static_cast<PDRIVER_OBJECT>(Argument1));
}
