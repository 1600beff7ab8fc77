// Our kernel, I/O and registry constants, GUIDs and routine declarations
// against the DDK's ntddk.h.
//
// The whole platform header is read first and every value and routine type
// is kept under an Our_ name, because the DDK then defines most of these
// names as macros. The DDK's declarations of our routines are renamed to
// Ddk_ names while its headers are read, so that both can be compared.

namespace ours
{
#include "kvr_platform.h"
} // namespace ours

#include "abi_check.h"

#define KVR_NTDDK_CONSTANTS(X)                                                                     \
    X(TRUE)                                                                                        \
    X(FALSE)                                                                                       \
    X(STATUS_SUCCESS)                                                                              \
    X(STATUS_PENDING)                                                                              \
    X(STATUS_UNSUCCESSFUL)                                                                         \
    X(STATUS_INVALID_PARAMETER)                                                                    \
    X(STATUS_BUFFER_TOO_SMALL)                                                                     \
    X(STATUS_OBJECT_TYPE_MISMATCH)                                                                 \
    X(STATUS_OBJECT_NAME_NOT_FOUND)                                                                \
    X(STATUS_OBJECT_NAME_COLLISION)                                                                \
    X(STATUS_INSUFFICIENT_RESOURCES)                                                               \
    X(PASSIVE_LEVEL)                                                                               \
    X(APC_LEVEL)                                                                                   \
    X(DISPATCH_LEVEL)                                                                              \
    X(KernelMode)                                                                                  \
    X(FILE_ALL_ACCESS)                                                                             \
    X(OBJ_KERNEL_HANDLE)                                                                           \
    X(FILE_DEVICE_UNKNOWN)                                                                         \
    X(FILE_DEVICE_VIDEO)                                                                           \
    X(PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES)                                      \
    X(REG_NONE)                                                                                    \
    X(REG_SZ)                                                                                      \
    X(REG_EXPAND_SZ)                                                                               \
    X(REG_BINARY)                                                                                  \
    X(REG_DWORD)                                                                                   \
    X(REG_MULTI_SZ)                                                                                \
    X(REG_QWORD)                                                                                   \
    X(RTL_REGISTRY_ABSOLUTE)                                                                       \
    X(RTL_REGISTRY_OPTIONAL)                                                                       \
    X(RTL_QUERY_REGISTRY_REQUIRED)                                                                 \
    X(RTL_QUERY_REGISTRY_NOEXPAND)                                                                 \
    X(RTL_QUERY_REGISTRY_DIRECT)                                                                   \
    X(METHOD_BUFFERED)                                                                             \
    X(METHOD_IN_DIRECT)                                                                            \
    X(FILE_ANY_ACCESS)                                                                             \
    X(FILE_READ_ACCESS)

#define KVR_NTDDK_ROUTINES(X)                                                                      \
    X(RtlInitUnicodeString)                                                                        \
    X(RtlInitAnsiString)                                                                           \
    X(RtlCompareString)                                                                            \
    X(RtlCompareMemory)                                                                            \
    X(strncpy)                                                                                     \
    X(RtlQueryRegistryValues)                                                                      \
    X(RtlWriteRegistryValue)                                                                       \
    X(ExAllocatePoolWithTag)                                                                       \
    X(ExFreePoolWithTag)                                                                           \
    X(KeInitializeEvent)                                                                           \
    X(KeInitializeMutex)                                                                           \
    X(KeReleaseMutex)                                                                              \
    X(KeWaitForSingleObject)                                                                       \
    X(KeDelayExecutionThread)                                                                      \
    X(PsCreateSystemThread)                                                                        \
    X(IoCreateDevice)                                                                              \
    X(IoCreateSymbolicLink)                                                                        \
    X(IoRegisterPlugPlayNotification)                                                              \
    X(IoUnregisterPlugPlayNotification)                                                            \
    X(IoGetDeviceObjectPointer)                                                                    \
    X(IoBuildDeviceIoControlRequest)                                                               \
    X(IofCallDriver)

KVR_NTDDK_CONSTANTS(KVR_CAPTURE_CONSTANT)
KVR_NTDDK_ROUTINES(KVR_CAPTURE_ROUTINE)
// Declared without their results (the reference count), which the driver
// never uses.
KVR_CAPTURE_ROUTINE(ObfReferenceObject)
KVR_CAPTURE_ROUTINE(ObfDereferenceObject)

// Samples of the two constexpr helpers that the DDK has as macros.
constexpr bool Our_NtSuccess[3] = {ours::NT_SUCCESS(ours::STATUS_SUCCESS),
                                   ours::NT_SUCCESS(ours::STATUS_PENDING),
                                   ours::NT_SUCCESS(ours::STATUS_UNSUCCESSFUL)};
constexpr ours::ULONG Our_CtlCodes[3] = {
    ours::CTL_CODE(0x23, 5, ours::METHOD_BUFFERED, ours::FILE_READ_ACCESS),
    ours::CTL_CODE(0x22, 0x817, ours::METHOD_IN_DIRECT, ours::FILE_ANY_ACCESS),
    ours::CTL_CODE(0xFFFF, 0xFFF, 3, 3)};

#define RtlInitUnicodeString Ddk_RtlInitUnicodeString
#define RtlInitAnsiString Ddk_RtlInitAnsiString
#define RtlCompareString Ddk_RtlCompareString
#define RtlCompareMemory Ddk_RtlCompareMemory
#define strncpy Ddk_strncpy
#define RtlQueryRegistryValues Ddk_RtlQueryRegistryValues
#define RtlWriteRegistryValue Ddk_RtlWriteRegistryValue
#define ExAllocatePoolWithTag Ddk_ExAllocatePoolWithTag
#define ExFreePoolWithTag Ddk_ExFreePoolWithTag
#define KeInitializeEvent Ddk_KeInitializeEvent
#define KeInitializeMutex Ddk_KeInitializeMutex
#define KeReleaseMutex Ddk_KeReleaseMutex
#define KeWaitForSingleObject Ddk_KeWaitForSingleObject
#define KeDelayExecutionThread Ddk_KeDelayExecutionThread
#define PsCreateSystemThread Ddk_PsCreateSystemThread
#define IoCreateDevice Ddk_IoCreateDevice
#define IoCreateSymbolicLink Ddk_IoCreateSymbolicLink
#define IoRegisterPlugPlayNotification Ddk_IoRegisterPlugPlayNotification
#define IoUnregisterPlugPlayNotification Ddk_IoUnregisterPlugPlayNotification
#define IoGetDeviceObjectPointer Ddk_IoGetDeviceObjectPointer
#define IoBuildDeviceIoControlRequest Ddk_IoBuildDeviceIoControlRequest
#define IofCallDriver Ddk_IofCallDriver
#define ObfReferenceObject Ddk_ObfReferenceObject
#define ObfDereferenceObject Ddk_ObfDereferenceObject

// See ntddk_types.cpp for the two interlocked routines.
#include <intrin.h>
#define InterlockedBitTestAndSet KvrDdkInterlockedBitTestAndSet
#define InterlockedBitTestAndReset KvrDdkInterlockedBitTestAndReset
#include <ntddk.h>
#include <string.h>

KVR_NTDDK_CONSTANTS(KVR_COMPARE_CONSTANT)
KVR_NTDDK_ROUTINES(KVR_COMPARE_ROUTINE)
KVR_COMPARE_ROUTINE_RESULT_IGNORED(ObfReferenceObject)
KVR_COMPARE_ROUTINE_RESULT_IGNORED(ObfDereferenceObject)

static_assert(Our_NtSuccess[0] == NT_SUCCESS(STATUS_SUCCESS) &&
                  Our_NtSuccess[1] == NT_SUCCESS(STATUS_PENDING) &&
                  Our_NtSuccess[2] == NT_SUCCESS(STATUS_UNSUCCESSFUL),
              "NT_SUCCESS");
static_assert(Our_CtlCodes[0] == ULONG(CTL_CODE(0x23, 5, METHOD_BUFFERED, FILE_READ_ACCESS)) &&
                  Our_CtlCodes[1] ==
                      ULONG(CTL_CODE(0x22, 0x817, METHOD_IN_DIRECT, FILE_ANY_ACCESS)) &&
                  Our_CtlCodes[2] == ULONG(CTL_CODE(0xFFFF, 0xFFF, 3, 3)),
              "CTL_CODE");

// The GUIDs: read the DDK's definitions again as constant expressions.
#undef DEFINE_GUID
#define DEFINE_GUID(Name, L, W1, W2, B1, B2, B3, B4, B5, B6, B7, B8)                               \
    constexpr ::GUID Ddk_##Name = {L, W1, W2, {B1, B2, B3, B4, B5, B6, B7, B8}}
#include <wdmguid.h>
#include <usbiodef.h>

static_assert(abi::SameGuid(ours::GUID_DEVINTERFACE_USB_DEVICE, Ddk_GUID_DEVINTERFACE_USB_DEVICE),
              "GUID_DEVINTERFACE_USB_DEVICE");
static_assert(abi::SameGuid(ours::GUID_DEVICE_INTERFACE_ARRIVAL, Ddk_GUID_DEVICE_INTERFACE_ARRIVAL),
              "GUID_DEVICE_INTERFACE_ARRIVAL");
static_assert(abi::SameGuid(ours::GUID_DEVICE_INTERFACE_REMOVAL, Ddk_GUID_DEVICE_INTERFACE_REMOVAL),
              "GUID_DEVICE_INTERFACE_REMOVAL");
static_assert(abi::SameGuid(ours::GUID_TARGET_DEVICE_QUERY_REMOVE,
                            Ddk_GUID_TARGET_DEVICE_QUERY_REMOVE),
              "GUID_TARGET_DEVICE_QUERY_REMOVE");
static_assert(abi::SameGuid(ours::GUID_TARGET_DEVICE_REMOVE_CANCELLED,
                            Ddk_GUID_TARGET_DEVICE_REMOVE_CANCELLED),
              "GUID_TARGET_DEVICE_REMOVE_CANCELLED");
static_assert(abi::SameGuid(ours::GUID_TARGET_DEVICE_REMOVE_COMPLETE,
                            Ddk_GUID_TARGET_DEVICE_REMOVE_COMPLETE),
              "GUID_TARGET_DEVICE_REMOVE_COMPLETE");
