// The video port tests' miniport, written for them, and their fixture: a
// fresh kernel whose findings fail the test unless it expects them.

#ifndef KVR_SIM_TESTS_VIDEOPORT_MINIPORT_H
#define KVR_SIM_TESTS_VIDEOPORT_MINIPORT_H

#include "../fixture.h"

#include <algorithm>
#include <cstring>

namespace videoport_test
{
// A small miniport, written for these tests.
struct Miniport {
    ULONG InitDataSize = sizeof(VIDEO_HW_INITIALIZATION_DATA);
    void (*Change)(VIDEO_HW_INITIALIZATION_DATA &) = nullptr;
    PVOID Context = nullptr;         // the HwContext given to VideoPortInitialize
    VP_STATUS FindResult = NO_ERROR; // what HwFindAdapter answers
    bool InEntry = false;
    bool FoundDuringEntry = false;
    unsigned FindCalls = 0;
    unsigned InitializeCalls = 0;
    BOOLEAN InitializeResult = TRUE;
    bool TouchExtension = false;
    ULONG LastPowerState = 0;
    ULONG LastQueried = 0;
    ULONG LastHwId = 0;
    KIRQL StartIoIrql = 0;
};
inline Miniport Mini;

inline VP_STATUS FindAdapter(PVOID extension, PVOID, PWSTR, PVIDEO_PORT_CONFIG_INFO, PUCHAR)
{
    Mini.FindCalls++;
    Mini.FoundDuringEntry = Mini.FoundDuringEntry || Mini.InEntry;
    if (Mini.TouchExtension)
        ((UCHAR *)extension)[279] = 1;
    return Mini.FindResult;
}

inline BOOLEAN Initialize(PVOID)
{
    Mini.InitializeCalls++;
    return Mini.InitializeResult;
}

// Echo: copies the input to the output reversed, reports the input length,
// and uses code 0x10 to report an error without touching Information.
inline BOOLEAN StartIo(PVOID, PVIDEO_REQUEST_PACKET packet)
{
    Mini.StartIoIrql = KeGetCurrentIrql();
    if (packet->IoControlCode == 0x10) {
        packet->StatusBlock->Status = ERROR_INSUFFICIENT_BUFFER;
        return TRUE;
    }
    if (packet->IoControlCode == 0x30) {
        // One byte past the end of the system buffer.
        UCHAR *out = (UCHAR *)packet->OutputBuffer;
        out[std::max(packet->InputBufferLength, packet->OutputBufferLength)] = 0;
        packet->StatusBlock->Status = NO_ERROR;
        packet->StatusBlock->Information = 0;
        return TRUE;
    }
    if (packet->IoControlCode >= 0x20 && packet->IoControlCode <= 0x2F) {
        // Faulty replies: Information as the low nibble asks, and the first
        // two output bytes written.
        UCHAR *out = (UCHAR *)packet->OutputBuffer;
        for (ULONG i = 0; i < 2 && i < packet->OutputBufferLength; ++i)
            out[i] = UCHAR(0x40 + i);
        packet->StatusBlock->Status = NO_ERROR;
        packet->StatusBlock->Information = packet->IoControlCode & 0xF;
        return TRUE;
    }
    UCHAR *in = (UCHAR *)packet->InputBuffer;
    UCHAR *out = (UCHAR *)packet->OutputBuffer;
    ULONG n = packet->InputBufferLength;
    UCHAR copy[64];
    if (n)
        memcpy(copy, in, n);
    for (ULONG i = 0; i < n && i < packet->OutputBufferLength; ++i)
        out[i] = copy[n - 1 - i];
    packet->StatusBlock->Status = NO_ERROR;
    packet->StatusBlock->Information = n;
    return TRUE;
}

inline VP_STATUS SetPower(PVOID, ULONG hwId, PVIDEO_POWER_MANAGEMENT request)
{
    Mini.LastPowerState = request->PowerState;
    Mini.LastHwId = hwId;
    return NO_ERROR;
}

inline VP_STATUS GetPower(PVOID, ULONG, PVIDEO_POWER_MANAGEMENT request)
{
    Mini.LastQueried = request->PowerState;
    return NO_ERROR;
}

inline VP_STATUS ChildDescriptor(PVOID, PVIDEO_CHILD_ENUM_INFO, PVIDEO_CHILD_TYPE type, PUCHAR,
                                 PULONG uid, PULONG)
{
    *type = Monitor;
    *uid = 77;
    return ERROR_NO_MORE_DEVICES;
}

inline NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    VIDEO_HW_INITIALIZATION_DATA data;
    VideoPortZeroMemory(&data, sizeof data);
    data.HwInitDataSize = Mini.InitDataSize;
    data.HwFindAdapter = FindAdapter;
    data.HwInitialize = Initialize;
    data.HwStartIO = StartIo;
    data.HwDeviceExtensionSize = 280;
    data.HwSetPowerState = SetPower;
    data.HwGetPowerState = GetPower;
    data.HwGetVideoChildDescriptor = ChildDescriptor;
    if (Mini.Change)
        Mini.Change(data);
    Mini.InEntry = true;
    NTSTATUS status = (NTSTATUS)VideoPortInitialize(driver, path, &data, Mini.Context);
    Mini.InEntry = false;
    return status;
}

class VideoPort : public sim_test::NoFindings
{
  protected:
    void SetUp() override
    {
        Mini = {};
        sim::Reset();
    }
};

} // namespace videoport_test

#endif // KVR_SIM_TESTS_VIDEOPORT_MINIPORT_H
