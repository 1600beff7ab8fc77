// Stand-in sibling frame driver (service KEVO) for running kvrminiport.sys
// under Wine.
//
// It creates \Device\KEVO-0 and answers the miniport's peer request 0x22205D
// (METHOD_IN_DIRECT: the 8-byte command block in the system buffer, the reply
// written into the caller's buffer through its MDL) for commands 1, 4, 6 and
// 7 with replies that the test sets: at once, left pending until the test
// completes them, failed, or late: pending, then completed from the sibling's
// own thread a few milliseconds later, as a USB driver answers. It counts what it receives and
// checks the form of every request.
//
// It publishes \Device\KEVO-0 to the stand-in video port, whose working
// IoGetDeviceObjectPointer hands the device object to the miniport. Through
// its test device \Device\KevoTest it also makes a frame's USB device
// interface appear and disappear: it builds the interface's symbolic-link name
// in the platform's usual upper-case form and hands the change to the stand-in
// video port, which tells the registered listeners.

// mingw-w64's intrin.h defines these two already; in C++ the DDK header's own
// inline copies would clash with them.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
#include <stdint.h>

#include "kvrwine.h"
#include "sleep_lock.h"

// Exported by the stand-in video port (videoprt.sys).
extern "C" ULONG NTAPI KvrTestDeviceInterfaceChange(const GUID *InterfaceClass,
                                                    PCUNICODE_STRING SymbolicLinkName,
                                                    BOOLEAN Arrival);
extern "C" NTSTATUS NTAPI KvrTestPublishDevice(PCUNICODE_STRING Name, PDEVICE_OBJECT Device);

namespace
{

const GUID UsbDeviceInterfaceClass = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

struct ANSWER {
    UCHAR Kind; // KEVO_ANSWER_*
    UCHAR Reply[2];
};

constexpr ULONG MaxPending = 32;

SLEEP_LOCK Lock;
ANSWER Answers[8];
PIRP PendingIrps[MaxPending];
PIRP LateIrps[MaxPending]; // completed by the sibling's own thread
// The command of each request held, taken when it arrived: the block it came
// in may be the sender's own memory, gone once its call has returned.
UCHAR PendingCommands[MaxPending];
UCHAR LateCommands[MaxPending];
// A USB control transfer to the frame and back: the late answers come this
// long after the request, or a little more.
constexpr LONGLONG LateInterval = -40000; // 4 ms
KEVO_STATS Stats;
PDEVICE_OBJECT PeerDevice;
PDEVICE_OBJECT TestDevice;

void Acquire()
{
    AcquireSleepLock(&Lock);
}

void Release()
{
    ReleaseSleepLock(&Lock);
}

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = NT_SUCCESS(Status) ? Information : 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// The reply length that each command's caller gives.
ULONG ReplyLength(UCHAR Command)
{
    switch (Command) {
    case 1:
    case 6:
    case 7:
        return 2;
    case 4:
        return 1;
    default:
        return 0;
    }
}

// The caller's reply buffer: METHOD_IN_DIRECT describes it with an MDL.
PUCHAR ReplyBuffer(PIRP Irp)
{
    if (Irp->MdlAddress)
        return static_cast<PUCHAR>(MmGetMdlVirtualAddress(Irp->MdlAddress));
    return static_cast<PUCHAR>(Irp->UserBuffer);
}

// Writes a reply into the caller's buffer and completes the IRP with the
// command's answer; returns the completion status (the IRP is gone
// afterwards). Called with the lock held.
NTSTATUS Answer(PIRP Irp, const UCHAR *Reply, UCHAR Kind)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG Length = Stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (Length > 2)
        Length = 2;
    if (Kind == KEVO_ANSWER_FAIL)
        return Complete(Irp, STATUS_UNSUCCESSFUL, 0);
    PUCHAR Out = ReplyBuffer(Irp);
    for (ULONG i = 0; Out && i < Length; ++i)
        Out[i] = Reply[i];
    return Complete(Irp, STATUS_SUCCESS, Length);
}

NTSTATUS PeerRequest(PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG Code = Stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG InputLength = Stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG OutputLength = Stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto *Block = static_cast<const UCHAR *>(Irp->AssociatedIrp.SystemBuffer);

    Acquire();
    if (Code != KEVO_PEER_IOCTL || InputLength != 8 || !Block) {
        ++Stats.Malformed;
        Release();
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    UCHAR Command = Block[3];
    RtlCopyMemory(Stats.LastBlock, Block, 8);
    Stats.LastOutputLength = OutputLength;
    if (Command > 7) {
        ++Stats.OtherCommands;
        Release();
        return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    ++Stats.Commands[Command];
    bool WellFormed = Block[0] == 1 && Block[1] == 2 && Block[2] == 0 && Block[4] == 0 &&
                      Block[5] == 0 && Block[6] == 0 && Block[7] == 0 &&
                      ReplyLength(Command) != 0 && OutputLength == ReplyLength(Command) &&
                      ReplyBuffer(Irp) != nullptr;
    if (!WellFormed)
        ++Stats.Malformed;

    if (Answers[Command].Kind == KEVO_ANSWER_PENDING ||
        Answers[Command].Kind == KEVO_ANSWER_LATER) {
        bool Late = Answers[Command].Kind == KEVO_ANSWER_LATER;
        PIRP *Slots = Late ? LateIrps : PendingIrps;
        UCHAR *Commands = Late ? LateCommands : PendingCommands;
        for (ULONG i = 0; i < MaxPending; ++i) {
            PIRP &Slot = Slots[i];
            if (!Slot) {
                Slot = Irp;
                Commands[i] = Command;
                ++Stats.Pending;
                IoMarkIrpPending(Irp);
                Release();
                return STATUS_PENDING;
            }
        }
    }
    NTSTATUS Status = Answer(Irp, Answers[Command].Reply, Answers[Command].Kind);
    Release();
    return Status;
}

// Moves a late request to the held ones; false when every slot is taken.
// Called with the lock held.
bool HoldPending(PIRP Irp, UCHAR Command)
{
    for (ULONG i = 0; i < MaxPending; ++i) {
        if (!PendingIrps[i]) {
            PendingIrps[i] = Irp;
            PendingCommands[i] = Command;
            return true;
        }
    }
    return false;
}

// The sibling's own thread: every few milliseconds it completes the late
// requests with the current answers to their commands, never in the caller's
// context. It runs as long as the driver is loaded (it has no unload routine).
void CompleteLate(PVOID)
{
    for (;;) {
        LARGE_INTEGER Interval;
        Interval.QuadPart = LateInterval;
        KeDelayExecutionThread(KernelMode, FALSE, &Interval);
        Acquire();
        for (ULONG i = 0; i < MaxPending; ++i) {
            if (LateIrps[i]) {
                PIRP Irp = LateIrps[i];
                LateIrps[i] = nullptr;
                // A frame that stopped answering after the request arrived
                // holds it like any other it does not answer, rather than
                // answering it with the bytes of no reply.
                if (Answers[LateCommands[i]].Kind == KEVO_ANSWER_PENDING &&
                    HoldPending(Irp, LateCommands[i]))
                    continue;
                --Stats.Pending;
                const ANSWER &Current = Answers[LateCommands[i]];
                Answer(Irp, Current.Reply,
                       Current.Kind == KEVO_ANSWER_FAIL ? KEVO_ANSWER_FAIL : KEVO_ANSWER_NOW);
            }
        }
        Release();
    }
}

// Completes every pending request: with the given reply bytes when there are
// any, else with the current answer to its command.
void CompletePending(const UCHAR *Reply)
{
    Acquire();
    for (ULONG i = 0; i < MaxPending; ++i) {
        if (PendingIrps[i]) {
            PIRP Irp = PendingIrps[i];
            PendingIrps[i] = nullptr;
            --Stats.Pending;
            const ANSWER &Current = Answers[PendingCommands[i]];
            if (Reply)
                Answer(Irp, Reply, KEVO_ANSWER_NOW);
            else
                Answer(Irp, Current.Reply,
                       Current.Kind == KEVO_ANSWER_FAIL ? KEVO_ANSWER_FAIL : KEVO_ANSWER_NOW);
        }
    }
    Release();
}

bool IsHexDigit(uint16_t c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// \??\USB#VID_vvvv&PID_pppp#instance#{a5dcbf10-6530-11d2-901f-00c04fb951ed}
NTSTATUS Plug(const KEVO_PLUG &Request)
{
    static const WCHAR Prefix[] = L"\\??\\USB#VID_";
    static const WCHAR ProductTag[] = L"&PID_";
    static const WCHAR ClassSuffix[] = L"#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    WCHAR Name[128];
    ULONG n = 0;
    auto Append = [&](const WCHAR *Text) {
        while (*Text && n < 127)
            Name[n++] = *Text++;
    };

    for (ULONG i = 0; i < 4; ++i) {
        if (!IsHexDigit(Request.VendorId[i]) || !IsHexDigit(Request.ProductId[i]))
            return STATUS_INVALID_PARAMETER;
    }
    Append(Prefix);
    for (ULONG i = 0; i < 4; ++i)
        Name[n++] = Request.VendorId[i];
    Append(ProductTag);
    for (ULONG i = 0; i < 4; ++i)
        Name[n++] = Request.ProductId[i];
    Name[n++] = L'#';
    ULONG InstanceLength = 0;
    for (; InstanceLength < 24 && Request.Instance[InstanceLength]; ++InstanceLength) {
        uint16_t c = Request.Instance[InstanceLength];
        if (c <= ' ' || c == '#' || c == '\\')
            return STATUS_INVALID_PARAMETER;
        Name[n++] = c;
    }
    if (!InstanceLength)
        return STATUS_INVALID_PARAMETER;
    Append(ClassSuffix);
    Name[n] = 0;

    UNICODE_STRING Link;
    Link.Buffer = Name;
    Link.Length = USHORT(n * sizeof(WCHAR));
    Link.MaximumLength = sizeof(Name);
    KvrTestDeviceInterfaceChange(&UsbDeviceInterfaceClass, &Link, Request.Arrival != 0);
    Acquire();
    ++Stats.InterfaceCalls;
    Release();
    return STATUS_SUCCESS;
}

NTSTATUS TestRequest(PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG Code = Stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG InputLength = Stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG OutputLength = Stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID Buffer = Irp->AssociatedIrp.SystemBuffer;

    switch (Code) {
    case IOCTL_KEVO_SET_REPLY: {
        if (InputLength < sizeof(KEVO_REPLY))
            return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        KEVO_REPLY Reply;
        RtlCopyMemory(&Reply, Buffer, sizeof(Reply));
        if (!ReplyLength(Reply.Command) || Reply.Answer > KEVO_ANSWER_LATER)
            return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
        Acquire();
        Answers[Reply.Command].Kind = Reply.Answer;
        Answers[Reply.Command].Reply[0] = Reply.Reply[0];
        Answers[Reply.Command].Reply[1] = Reply.Reply[1];
        Release();
        return Complete(Irp, STATUS_SUCCESS, 0);
    }
    case IOCTL_KEVO_PLUG: {
        if (InputLength < sizeof(KEVO_PLUG))
            return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        KEVO_PLUG Request;
        RtlCopyMemory(&Request, Buffer, sizeof(Request));
        return Complete(Irp, Plug(Request), 0);
    }
    case IOCTL_KEVO_STATS:
        if (OutputLength < sizeof(KEVO_STATS))
            return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        Acquire();
        RtlCopyMemory(Buffer, &Stats, sizeof(Stats));
        Release();
        return Complete(Irp, STATUS_SUCCESS, sizeof(KEVO_STATS));
    case IOCTL_KEVO_COMPLETE_PENDING:
        CompletePending(InputLength >= 2 ? static_cast<const UCHAR *>(Buffer) : nullptr);
        return Complete(Irp, STATUS_SUCCESS, 0);
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT Device, PIRP Irp)
{
    if (Device == PeerDevice) {
        Acquire();
        ++Stats.PeerCreates;
        Release();
    }
    return Complete(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT Device, PIRP Irp)
{
    if (Device == PeerDevice) {
        Acquire();
        ++Stats.PeerCloses;
        Release();
    }
    return Complete(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT Device, PIRP Irp)
{
    if (Device == PeerDevice)
        return PeerRequest(Irp);
    return TestRequest(Irp);
}

NTSTATUS CreateDevice(PDRIVER_OBJECT DriverObject, PCWSTR Name, PCWSTR Link, ULONG Flags,
                      PDEVICE_OBJECT *Device)
{
    UNICODE_STRING DeviceName;
    RtlInitUnicodeString(&DeviceName, Name);
    NTSTATUS Status =
        IoCreateDevice(DriverObject, 0, &DeviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, Device);
    if (!NT_SUCCESS(Status))
        return Status;
    if (Link) {
        UNICODE_STRING LinkName;
        RtlInitUnicodeString(&LinkName, Link);
        Status = IoCreateSymbolicLink(&LinkName, &DeviceName);
        if (!NT_SUCCESS(Status))
            return Status;
    }
    (*Device)->Flags |= Flags;
    (*Device)->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

} // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING)
{
    NTSTATUS Status =
        CreateDevice(DriverObject, L"\\Device\\KEVO-0", nullptr, DO_DIRECT_IO, &PeerDevice);
    if (NT_SUCCESS(Status))
        Status = CreateDevice(DriverObject, KEVO_TEST_DEVICE_NAME, KEVO_TEST_LINK_NAME,
                              DO_BUFFERED_IO, &TestDevice);
    if (NT_SUCCESS(Status)) {
        UNICODE_STRING PeerName;
        RtlInitUnicodeString(&PeerName, L"\\Device\\KEVO-0");
        Status = KvrTestPublishDevice(&PeerName, PeerDevice);
    }
    if (!NT_SUCCESS(Status)) {
        if (TestDevice)
            IoDeleteDevice(TestDevice);
        if (PeerDevice)
            IoDeleteDevice(PeerDevice);
        return Status;
    }
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    HANDLE Thread = nullptr;
    if (NT_SUCCESS(PsCreateSystemThread(&Thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                        CompleteLate, nullptr)))
        ZwClose(Thread);
    return STATUS_SUCCESS;
}
