// The I/O tests' fixture: a kernel with a driver loaded, and a request to
// the sibling built and sent as the driver sends it.

#ifndef KVR_SIM_TESTS_IO_FIXTURE_H
#define KVR_SIM_TESTS_IO_FIXTURE_H

#include "../fixture.h"

namespace io_test
{

class Io : public sim_test::NoFindings
{
  protected:
    void SetUp() override
    {
        sim::Reset();
        Driver = sim::LoadDriver(NoEntry) == STATUS_SUCCESS ? sim::DriverObject() : nullptr;
    }

    static NTSTATUS NoEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

    static NTSTATUS Open(PFILE_OBJECT *file, PDEVICE_OBJECT *device,
                         const char16_t *name = u"\\Device\\KEVO-0")
    {
        UNICODE_STRING text;
        RtlInitUnicodeString(&text, name);
        return IoGetDeviceObjectPointer(&text, FILE_ALL_ACCESS, file, device);
    }

    PDRIVER_OBJECT Driver = nullptr;
};

struct Request {
    UCHAR Block[8] = {1, 2, 0, 0, 0, 0, 0, 0};
    UCHAR Reply[2] = {0xEE, 0xEE};
    KEVENT Event;
    IO_STATUS_BLOCK Status;

    NTSTATUS Send(PDEVICE_OBJECT device, UCHAR command, ULONG replyLength = 2,
                  ULONG code = sim::PeerIoctlCode)
    {
        Block[3] = command;
        Status.Status = 0x7777;
        Status.Information = 0x7777;
        KeInitializeEvent(&Event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(code, device, Block, sizeof Block, Reply,
                                                 replyLength, FALSE, &Event, &Status);
        if (!irp)
            return -1;
        return IofCallDriver(device, irp);
    }
};

} // namespace io_test

#endif // KVR_SIM_TESTS_IO_FIXTURE_H
