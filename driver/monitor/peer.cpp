// The one place that builds a request to the sibling frame driver.

#include "monitor.h"

static void FillCommandBlock(PEER_COMMAND_BLOCK *Block, UCHAR Command)
{
    Block->Header0 = 1;
    Block->Header1 = 2;
    Block->Header2 = 0;
    Block->Command = Command;
    Block->Word0 = 0;
    Block->Word1 = 0;
}

// The block travels in a system buffer that the I/O manager fills while the
// request is built, so it may live on this frame. The reply buffer, the
// status block and the event must outlive the call: a pending request
// completes into them later.
bool SendPeerCommand(MONITOR_STATE *State, UCHAR Command, PVOID Reply, ULONG ReplyLength,
                     PIO_STATUS_BLOCK StatusBlock, NTSTATUS *Status)
{
    PDEVICE_OBJECT Peer = DriverState.PeerDevice.Load();
    PEER_COMMAND_BLOCK Block;

    KeInitializeEvent(&State->CompletionEvent, NotificationEvent, FALSE);
    FillCommandBlock(&Block, Command);
    PIRP Irp =
        IoBuildDeviceIoControlRequest(PeerIoctl, Peer, &Block, PeerCommandBlockSize, Reply,
                                      ReplyLength, FALSE, &State->CompletionEvent, StatusBlock);
    if (Irp == nullptr)
        return false;
    *Status = IofCallDriver(Peer, Irp);
    return true;
}
