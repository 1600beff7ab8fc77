// Objects, the I/O manager and plug and play: the kernel objects the
// platform header leaves incomplete, requests, the plug-and-play manager's
// work, and their parts of the record (IoState, PlugPlayState).

#ifndef KVR_SIM_IO_IO_H
#define KVR_SIM_IO_IO_H

#include <deque>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "kernel/address_table.h"
#include "kernel/kernel.h"

// The kernel objects that the platform header leaves incomplete.

enum class ObjectKind : uint32_t { Driver = 0x44525652, Device = 0x44455649, File = 0x46494c45 };

struct ObjectHeader {
    ObjectKind Kind;
    LONG References;
    bool Dead; // its last reference is gone
    // File objects: which object the storage holds, counted from 1; a freed
    // file object's storage is the next open's, with the next generation.
    uint32_t Generation;
};

struct _DRIVER_OBJECT {
    ObjectHeader Header;
    std::u16string RegistryPathText;
    UNICODE_STRING RegistryPath;
};

struct _DEVICE_OBJECT {
    ObjectHeader Header;
    PDRIVER_OBJECT Driver; // null: the sibling frame driver's device
    std::string Name;
    bool InNamespace; // can be opened by name
    // DO_DEVICE_INITIALIZING: set at creation; the I/O manager clears it for
    // devices created in DriverEntry when DriverEntry returns. While it is
    // set, an open by name fails.
    bool Initializing;
    ULONG ExtensionSize;
    std::unique_ptr<uint8_t[]> Extension;
    DEVICE_TYPE Type;
    ULONG Characteristics;
    bool Exclusive;
    bool Sibling;
    unsigned OpenFiles = 0; // file objects on it that still hold their reference
    // Its plug-and-play state (the sibling's device).
    enum class PnpState : uint8_t { Started, RemovePending, SurpriseRemoved, Removed };
    PnpState Pnp = PnpState::Started;
    // Signalled when its last file object closes (a removal waits for it).
    KEVENT Closed{};
    bool RemovalWaiting = false;
};

struct _FILE_OBJECT {
    ObjectHeader Header;
    PDEVICE_OBJECT Device;
};

namespace sim::detail
{
struct Thread;
}

struct _IRP {
    ULONG Code;
    sim::detail::Thread *Thread; // the thread that built it: its IRP queue
    PDEVICE_OBJECT Target;
    std::vector<uint8_t> SystemBuffer; // the input, copied
    PVOID OutputBuffer;                // the caller's own buffer (METHOD_IN_DIRECT)
    ULONG OutputLength;
    PKEVENT Event;
    PIO_STATUS_BLOCK IoStatus;
    bool Internal;
    bool Sent;
    // Its status record, event or reply lies in the building thread's stack
    // (counted in the thread's StackRequests while pending), and that frame
    // has since returned.
    bool InStack;
    uintptr_t ReturnedBelow; // 0, or: the frames below this address have returned
    size_t RecordIndex;      // into PeerRequests, or SIZE_MAX
    uint64_t Sequence;
    int64_t Time; // when it was sent
    int64_t Due;  // Completion::Later: when the sibling completes it; else -1
};

namespace sim::detail
{

struct Registration {
    PnpRegistration Record;
};

// Arrivals of present interfaces that a plug-and-play thread reports after
// the registration has returned.
struct LaterArrivals {
    PnpRegistration Record;
    std::vector<std::string> Names; // one entry per call, in order
    uint32_t DelayMs;               // before the first call
};

// A removal of the sibling's device that a plug-and-play thread runs.
struct RemovalWork {
    PDEVICE_OBJECT Device;
    sim::PeerRemoval How;
    size_t Record;    // into PeerRemovals
    uint32_t QueryMs; // the sibling's stack takes this long to answer a query-remove
};

struct IoState {
    std::vector<std::unique_ptr<_DRIVER_OBJECT>> Drivers;
    std::vector<std::unique_ptr<_DEVICE_OBJECT>> DeviceObjects;
    std::vector<std::unique_ptr<_FILE_OBJECT>> FileObjects;
    // Freed file objects' storage, the latest last: the next open takes it.
    std::vector<PFILE_OBJECT> FreeFileObjects;
    std::unordered_set<const void *> KnownObjects;
    std::map<std::u16string, PDEVICE_OBJECT> Namespace; // upper-cased name
    std::map<std::u16string, std::pair<std::string, std::string>>
        Links; // upper link -> (link, device)
    std::vector<CreateDeviceCall> CreateDeviceCalls;
    unsigned FailDeviceCreations = 0;
    NTSTATUS FailDeviceCreationsStatus = STATUS_INSUFFICIENT_RESOURCES;
    std::vector<SymbolicLinkCall> LinkCalls;
    std::vector<OpenCall> OpenCalls;
    unsigned FailOpens = 0;
    NTSTATUS FailOpensStatus = STATUS_UNSUCCESSFUL;
    unsigned FailRequestBuilds = 0;
    // Requests built, not yet completed. The kernel owns their records: a
    // record is here, in RetiredIrps or among the spare records (requests.cpp).
    AddressTable<bool> Irps;
    // Completed ones, oldest first, whose storage is reused after a while.
    std::deque<PIRP> RetiredIrps;
    uint64_t IrpSequence = 0;
};

struct PlugPlayState {
    std::vector<std::string> PresentInterfaces;
    sim::ExistingArrivals Existing;
    // Arrivals of present interfaces still to be reported from a
    // plug-and-play thread (their contexts).
    std::vector<std::unique_ptr<LaterArrivals>> LaterDeliveries;
    std::vector<PnpRegistration> Registrations; // every call
    std::vector<size_t> ActiveRegistrations;    // indexes of successful ones
    std::vector<sim::PeerRemovalRecord> PeerRemovals;
    std::vector<std::unique_ptr<RemovalWork>> Removals; // their contexts
    unsigned FailInterfaceRegistrations = 0;
    NTSTATUS FailInterfaceRegistrationsStatus = STATUS_UNSUCCESSFUL;
    unsigned FailTargetRegistrations = 0;
    NTSTATUS FailTargetRegistrationsStatus = STATUS_UNSUCCESSFUL;
    unsigned FailProfileRegistrations = 0;
    NTSTATUS FailProfileRegistrationsStatus = STATUS_UNSUCCESSFUL;
    std::vector<NTSTATUS> NotificationResults;
    // IRP_MN_QUERY_DEVICE_RELATIONS (TargetDeviceRelation) sent for
    // target-device registrations.
    uint64_t TargetRelationQueries = 0;
};

// I/O (requests.cpp): the requests a thread built are cancelled when it ends.
void CancelThreadIo(Thread *thread);
// What a thread's end touches (FiberMain): its requests, as CancelThreadIo
// handles them.
Access ThreadEndAccess(Thread *thread);
// Clears DO_DEVICE_INITIALIZING on the devices the driver created so far.
void FinishDriverEntryDevices(PDRIVER_OBJECT driver);
// A device the video port creates for the driver's adapter (named, ready to
// be opened), and its deletion at the adapter's removal.
PDEVICE_OBJECT CreatePortDevice(PDRIVER_OBJECT driver, std::string name, DEVICE_TYPE type,
                                bool exclusive);
void DeletePortDevice(PDEVICE_OBJECT device);
// Whether a call comes from above a frame that holds a pending request's
// buffers (a finding: the frame has returned); callerTop is the caller's
// stack pointer at its call of the kernel routine.
void CheckStackRequests(const void *callerTop);
void AddToNamespace(PDEVICE_OBJECT device);
void RemoveFromNamespace(PDEVICE_OBJECT device);
// Plug and play (pnp.cpp): target-device registrations left on file objects
// that are closed, at teardown.
void CheckRegistrationsAtTeardown();
// A target-device registration whose file object is still the one it was
// made on, and open.
bool StillOpen(const PnpRegistration &registration);
// Calls a notification callback of the driver on the calling context, with
// the verifier's checks of its return; records and returns its status.
// After names what the caller's work after the callback touches, for the
// interleaving explorer (by default any of the kernel's state).
NTSTATUS CallRegistration(const PnpRegistration &registration, PVOID notification,
                          const Access &after = Access{});
// Plug and play (pnp.cpp, pnp_removal.cpp): the active registrations of a
// category, copied before any is called (a callback may unregister): a few
// in place, more on the heap.
class Targets
{
  public:
    explicit Targets(IO_NOTIFICATION_EVENT_CATEGORY category, PDEVICE_OBJECT device = nullptr);
    size_t Size() const { return Count; }
    const PnpRegistration &operator[](size_t i) const
    {
        return i < InPlace ? Few[i] : More[i - InPlace];
    }

  private:
    static constexpr size_t InPlace = 4;
    PnpRegistration Few[InPlace];
    std::vector<PnpRegistration> More;
    size_t Count = 0;
};
// Traces a step of the sibling's device's removal (pnp_removal.cpp).
void TracePnp(const char *what, PDEVICE_OBJECT device, NTSTATUS status = STATUS_SUCCESS,
              std::string detail = {});
void CheckReferencesAtTeardown();
// Objects (objects.cpp): a new device object of a driver (null: the
// sibling's), and the IRQL findings the object and request routines share.
PDEVICE_OBJECT NewDevice(PDRIVER_OBJECT driver, std::string name, ULONG extensionSize,
                         DEVICE_TYPE type, ULONG characteristics, bool exclusive, bool sibling);
void ReportIrql(const char *routine, KIRQL irql, const char *limit);
void CheckPassive(const char *routine);
void CheckApcOrBelow(const char *routine);
// Requests (requests.cpp): what the interleaving explorer orders the I/O
// manager's requests by, the accesses of a step that may complete a request
// and of one that only touches them, and the completion of a request.
extern const char IoObject;
Access CompletingAccess(PIRP irp);
Access IoAccess();
void SetEventObject(PKEVENT event);
void NoteStackRequest(PIRP irp);
void CompleteIrp(PIRP irp, NTSTATUS status, std::span<const uint8_t> reply);

} // namespace sim::detail

#endif // KVR_SIM_IO_IO_H
