// Objects and names: driver, device and file objects with reference counts,
// the object name space and its symbolic links, and opens by name.

#include <algorithm>

#include "record.h"

namespace sim::detail
{

namespace
{

// Follows symbolic links (a few levels) to a device in the name space.
PDEVICE_OBJECT LookUp(std::u16string name)
{
    for (int depth = 0; depth < 8; ++depth) {
        std::u16string upper = Upcase(name);
        auto device = K->Namespace.find(upper);
        if (device != K->Namespace.end())
            return device->second;
        auto link = K->Links.find(upper);
        if (link == K->Links.end())
            return nullptr;
        name = Widen(link->second.second);
    }
    return nullptr;
}

// A file object with one reference: in the storage of the file object freed
// last, if any, as the object manager's lookaside list hands it out again
// (so an address compared with a closed file object's may be a new one's),
// with the next generation; else new storage.
PFILE_OBJECT NewFileObject()
{
    Kernel *k = K;
    PFILE_OBJECT file;
    uint32_t generation = 1;
    if (!k->FreeFileObjects.empty()) {
        file = k->FreeFileObjects.back();
        k->FreeFileObjects.pop_back();
        generation = file->Header.Generation + 1;
    } else {
        k->FileObjects.push_back(std::make_unique<_FILE_OBJECT>());
        file = k->FileObjects.back().get();
        k->KnownObjects.insert(file);
    }
    file->Header = ObjectHeader{ObjectKind::File, 1, false, generation};
    return file;
}

} // namespace

__attribute__((noinline)) void ReportIrql(const char *routine, KIRQL irql, const char *limit)
{
    Violate(std::string(routine) + " at IRQL " + std::to_string(irql) + limit);
}

PDEVICE_OBJECT NewDevice(PDRIVER_OBJECT driver, std::string name, ULONG extensionSize,
                         DEVICE_TYPE type, ULONG characteristics, bool exclusive, bool sibling)
{
    auto device = std::make_unique<_DEVICE_OBJECT>();
    device->Header = ObjectHeader{ObjectKind::Device, 1, false, 0};
    device->Driver = driver;
    device->Name = std::move(name);
    device->InNamespace = false;
    device->Initializing = !sibling;
    device->ExtensionSize = extensionSize;
    device->Extension.reset(new uint8_t[extensionSize ? extensionSize : 1]());
    device->Type = type;
    device->Characteristics = characteristics;
    device->Exclusive = exclusive;
    device->Sibling = sibling;
    PDEVICE_OBJECT pointer = device.get();
    K->KnownObjects.insert(pointer);
    K->DeviceObjects.push_back(std::move(device));
    return pointer;
}

void AddToNamespace(PDEVICE_OBJECT device)
{
    K->Namespace[UpcaseWide(device->Name)] = device;
    device->InNamespace = true;
}

void RemoveFromNamespace(PDEVICE_OBJECT device)
{
    if (!device->InNamespace)
        return;
    K->Namespace.erase(UpcaseWide(device->Name));
    device->InNamespace = false;
}

void FinishDriverEntryDevices(PDRIVER_OBJECT driver)
{
    for (auto &device : K->DeviceObjects)
        if (device->Driver == driver)
            device->Initializing = false;
}

PDEVICE_OBJECT CreatePortDevice(PDRIVER_OBJECT driver, std::string name, DEVICE_TYPE type,
                                bool exclusive)
{
    PDEVICE_OBJECT device = NewDevice(driver, std::move(name), 0, type, 0, exclusive, false);
    device->Initializing = false;
    AddToNamespace(device);
    return device;
}

void DeletePortDevice(PDEVICE_OBJECT device)
{
    Kernel *k = K;
    RemoveFromNamespace(device);
    k->KnownObjects.erase(device);
    std::erase_if(k->DeviceObjects, [device](const auto &kept) { return kept.get() == device; });
}

void CheckReferencesAtTeardown()
{
    Kernel *k = K;
    std::map<PDEVICE_OBJECT, LONG> fileReferences;
    for (auto &file : k->FileObjects) {
        if (file->Header.Dead)
            continue;
        fileReferences[file->Device]++;
        std::string upper = UpcaseNarrow(file->Device->Name);
        if (k->SurvivingReferenceDevices.count(upper))
            continue;
        Violate("reference leaked: a file object of " + file->Device->Name + " still holds " +
                std::to_string(file->Header.References) + " reference(s) at teardown");
    }
    for (auto &device : k->DeviceObjects) {
        LONG expected = 1 + fileReferences[device.get()];
        if (device->Header.References < expected)
            Violate("device " + device->Name + " lost more references than were taken (" +
                    std::to_string(device->Header.References) + " left, " +
                    std::to_string(expected) + " expected)");
    }
    k->Irps.ForEach([](const void *irp, bool) {
        if (!((PIRP)irp)->Sent)
            Violate("a request was built and never sent");
    });
}

void CheckPassive(const char *routine)
{
    KIRQL irql = CurrentThread()->Irql;
    if (irql != PASSIVE_LEVEL)
        ReportIrql(routine, irql, "");
}

void CheckApcOrBelow(const char *routine)
{
    KIRQL irql = CurrentThread()->Irql;
    if (irql > APC_LEVEL)
        ReportIrql(routine, irql, " (documented for APC_LEVEL and below)");
}

} // namespace sim::detail

using namespace sim;
using namespace sim::detail;

namespace sim
{

std::vector<DeviceInfo> Devices()
{
    HarnessEntry();
    Guard guard;
    std::vector<DeviceInfo> list;
    for (auto &device : K->DeviceObjects) {
        if (device->Sibling && !device->InNamespace)
            continue;
        list.push_back(DeviceInfo{device->Name, device.get(), device->Driver, device->ExtensionSize,
                                  device->Type, device->Characteristics, device->Exclusive});
    }
    return list;
}

const std::vector<CreateDeviceCall> &CreateDeviceCalls()
{
    HarnessEntry();
    return K->CreateDeviceCalls;
}

void FailNextDeviceCreations(unsigned n, NTSTATUS status)
{
    HarnessEntry();
    Guard guard;
    K->FailDeviceCreations = n;
    K->FailDeviceCreationsStatus = status;
}

const std::vector<SymbolicLinkCall> &SymbolicLinkCalls()
{
    HarnessEntry();
    return K->LinkCalls;
}

std::optional<std::string> SymbolicLinkTarget(std::string_view link)
{
    HarnessEntry();
    Guard guard;
    auto found = K->Links.find(UpcaseWide(link));
    if (found == K->Links.end())
        return std::nullopt;
    return found->second.second;
}

const std::vector<OpenCall> &OpenCalls()
{
    HarnessEntry();
    return K->OpenCalls;
}

void FailNextOpens(unsigned n, NTSTATUS status)
{
    HarnessEntry();
    Guard guard;
    K->FailOpens = n;
    K->FailOpensStatus = status;
}

LONG ReferenceCount(const void *object)
{
    HarnessEntry();
    Guard guard;
    if (!K->KnownObjects.count(object))
        return -1;
    return ((const ObjectHeader *)object)->References;
}

size_t OpenFileObjects()
{
    HarnessEntry();
    Guard guard;
    size_t open = 0;
    for (auto &file : K->FileObjects)
        open += file->Header.Dead ? 0 : 1;
    return open;
}

} // namespace sim

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT *DeviceObject)
{
    EnsureKernel();
    KVR_SIM_CHECK_CALLER("IoCreateDevice");
    Kernel *k = K;
    Guard guard;
    CheckApcOrBelow("IoCreateDevice");
    std::string name = Narrow(ReadCounted(DeviceName));
    if (DeviceObject)
        __atomic_store_n(DeviceObject, (PDEVICE_OBJECT) nullptr, __ATOMIC_RELAXED);
    NTSTATUS status = STATUS_SUCCESS;
    if (!DeviceObject || !k->KnownObjects.count(DriverObject)) {
        status = STATUS_INVALID_PARAMETER;
    } else if (k->FailDeviceCreations) {
        k->FailDeviceCreations--;
        status = k->FailDeviceCreationsStatus;
    } else if (!name.empty() && k->Namespace.count(UpcaseWide(name))) {
        status = STATUS_OBJECT_NAME_COLLISION;
    } else {
        PDEVICE_OBJECT device = NewDevice(DriverObject, name, DeviceExtensionSize, DeviceType,
                                          DeviceCharacteristics, Exclusive != 0, false);
        if (!name.empty())
            AddToNamespace(device);
        __atomic_store_n(DeviceObject, device, __ATOMIC_RELAXED);
    }
    k->CreateDeviceCalls.push_back(CreateDeviceCall{CurrentTime(), name, DeviceExtensionSize,
                                                    DeviceType, DeviceCharacteristics,
                                                    Exclusive != 0, status});
    return status;
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    EnsureKernel();
    KVR_SIM_CHECK_CALLER("IoCreateSymbolicLink");
    Kernel *k = K;
    Guard guard;
    CheckPassive("IoCreateSymbolicLink");
    std::u16string link = ReadCounted(SymbolicLinkName);
    std::string device = Narrow(ReadCounted(DeviceName));
    NTSTATUS status = STATUS_SUCCESS;
    std::u16string upper = Upcase(link);
    if (link.empty() || !DeviceName)
        status = STATUS_INVALID_PARAMETER;
    else if (k->Links.count(upper) || k->Namespace.count(upper))
        status = STATUS_OBJECT_NAME_COLLISION;
    else
        k->Links[upper] = {Narrow(link), device};
    k->LinkCalls.push_back(SymbolicLinkCall{CurrentTime(), Narrow(link), device, status});
    return status;
}

NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                  PFILE_OBJECT *FileObject, PDEVICE_OBJECT *DeviceObject)
{
    EnsureKernel();
    KVR_SIM_CHECK_CALLER("IoGetDeviceObjectPointer");
    Kernel *k = K;
    Guard guard;
    CheckPassive("IoGetDeviceObjectPointer");
    std::u16string name = ReadCounted(ObjectName);
    NTSTATUS status = STATUS_SUCCESS;
    PDEVICE_OBJECT device = nullptr;
    if (!FileObject || !DeviceObject || name.empty()) {
        status = STATUS_INVALID_PARAMETER;
    } else if (k->FailOpens) {
        k->FailOpens--;
        status = k->FailOpensStatus;
    } else if (!(device = LookUp(name))) {
        status = STATUS_OBJECT_NAME_NOT_FOUND;
    } else if (device->Initializing) {
        // DO_DEVICE_INITIALIZING: the I/O manager refuses every open.
        status = StatusNoSuchDevice;
        device = nullptr;
    } else if (device->Pnp != _DEVICE_OBJECT::PnpState::Started) {
        // Being removed: a query-remove that succeeded, or gone by surprise.
        status = device->Pnp == _DEVICE_OBJECT::PnpState::RemovePending ? StatusDeletePending
                                                                        : StatusNoSuchDevice;
        device = nullptr;
    } else {
        PFILE_OBJECT pointer = NewFileObject();
        pointer->Device = device;
        device->Header.References++; // the file object's reference on its device
        device->OpenFiles++;
        __atomic_store_n(FileObject, pointer, __ATOMIC_RELAXED);
        __atomic_store_n(DeviceObject, device, __ATOMIC_RELAXED);
    }
    int64_t now = CurrentTime();
    k->OpenCalls.push_back(OpenCall{now, Narrow(name), DesiredAccess, status});
    if (Tracing()) {
        TraceEvent event = NewEvent(now, TraceKind::Open);
        event.Status = status;
        event.Ok = NT_SUCCESS(status);
        event.Name = Narrow(name);
        Emit(std::move(event));
    }
    return status;
}

void ObfReferenceObject(PVOID Object)
{
    // Only the object's count: ordered against the other steps on it.
    EnsureKernelFor(Object);
    KVR_SIM_CHECK_CALLER("ObfReferenceObject");
    Kernel *k = K;
    Guard guard;
    if (CurrentThread()->Irql > DISPATCH_LEVEL)
        Violate("ObfReferenceObject above DISPATCH_LEVEL");
    if (!k->KnownObjects.count(Object)) {
        Violate("ObfReferenceObject on an address that is not an object");
        return;
    }
    ObjectHeader *header = (ObjectHeader *)Object;
    if (header->Dead || header->References <= 0) {
        Violate("ObfReferenceObject on an object that has no reference left");
        return;
    }
    header->References++;
}

void ObfDereferenceObject(PVOID Object)
{
    // A reference that is not the last touches only the object's count; the
    // last frees it, and may wake a removal: ordered against everything.
    EnsureKernelNamed([Object] {
        bool last = !K->KnownObjects.count(Object) || ((ObjectHeader *)Object)->References <= 1;
        return last ? Access{} : Access{Object, KernelCallPoint};
    });
    KVR_SIM_CHECK_CALLER("ObfDereferenceObject");
    Kernel *k = K;
    Guard guard;
    if (CurrentThread()->Irql > DISPATCH_LEVEL)
        Violate("ObfDereferenceObject above DISPATCH_LEVEL");
    if (!k->KnownObjects.count(Object)) {
        Violate("ObfDereferenceObject on an address that is not an object");
        return;
    }
    ObjectHeader *header = (ObjectHeader *)Object;
    if (header->Dead || header->References <= 0) {
        Violate("reference dropped on an object that has none left (dropped twice)");
        return;
    }
    header->References--;
    if (header->Kind == ObjectKind::File) {
        PFILE_OBJECT file = (PFILE_OBJECT)Object;
        if (header->References != 0)
            return;
        header->Dead = true;
        k->FreeFileObjects.push_back(file);
        file->Device->Header.References--;
        file->Device->OpenFiles--;
        // A removal waiting for the device's file objects to close.
        if (file->Device->OpenFiles == 0 && file->Device->RemovalWaiting)
            SetEventObject(&file->Device->Closed);
        // The trace shows the file object's closing, not the references
        // that others took and dropped on it meanwhile.
        if (file->Device->Sibling && Tracing()) {
            TraceEvent event = NewEvent(CurrentTime(), TraceKind::Release);
            event.Ok = true;
            event.Name = file->Device->Name;
            Emit(std::move(event));
        }
    } else if (header->References == 0) {
        header->Dead = true;
        Violate("the last reference on a device object was dropped by a caller that never "
                "took one");
    }
}

} // extern "C"
