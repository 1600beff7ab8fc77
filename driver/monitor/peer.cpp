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

// A site whose last request was left pending is free again once the I/O
// manager has signalled its completion event; the test does not wait.
static bool SiteIsFree(PEER_SITE *Site)
{
    if (!Site->Pending)
        return true;
    LARGE_INTEGER Now;
    Now.QuadPart = 0;
    if (KeWaitForSingleObject(&Site->Completion, Executive, KernelMode, FALSE, &Now) !=
        STATUS_SUCCESS)
        return false;
    Site->Pending = false;
    return true;
}

// The block travels in a system buffer that the I/O manager fills while the
// request is built, so it may live on this frame. The reply buffer, the
// status block and the event must outlive the call: a pending request
// completes into them later. The event is initialised only when no request
// of the site is outstanding, so a completion never signals an event that
// was initialised again under it.
bool SendPeerCommand(UCHAR Command, PVOID Reply, ULONG ReplyLength, PEER_SITE *Site,
                     NTSTATUS *Status)
{
    if (!SiteIsFree(Site))
        return false;
    PDEVICE_OBJECT Peer = DriverState.PeerDevice.Load();
    PEER_COMMAND_BLOCK Block;

    KeInitializeEvent(&Site->Completion, NotificationEvent, FALSE);
    FillCommandBlock(&Block, Command);
    PIRP Irp = IoBuildDeviceIoControlRequest(PeerIoctl, Peer, &Block, PeerCommandBlockSize, Reply,
                                             ReplyLength, FALSE, &Site->Completion, &Site->Status);
    if (Irp == nullptr)
        return false;
    *Status = IofCallDriver(Peer, Irp);
    Site->Pending = *Status == STATUS_PENDING;
    return true;
}
