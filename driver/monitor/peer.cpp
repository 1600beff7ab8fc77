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
// manager has signalled its completion event; the test does not wait. The
// status block was written by the completion, in another context, before the
// event was signalled.
void NoteSiteCompletion(PEER_SITE *Site)
{
    if (!Site->Pending)
        return;
    LARGE_INTEGER Now;
    Now.QuadPart = 0;
    if (KeWaitForSingleObject(&Site->Completion, Executive, KernelMode, FALSE, &Now) !=
        STATUS_SUCCESS)
        return;
    Site->Pending = false;
    if (NT_SUCCESS(__atomic_load_n(&Site->Status.Status, __ATOMIC_RELAXED)))
        Site->Replied = true;
}

static bool SiteIsFree(PEER_SITE *Site)
{
    NoteSiteCompletion(Site);
    return !Site->Pending;
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
    // The request holds its own reference on the file object from the build
    // to the call's return: a removal that lets go of the peer meanwhile
    // drops only the link's.
    PFILE_OBJECT File;
    PDEVICE_OBJECT Peer = BeginPeerUse(&File);
    if (Peer == nullptr)
        return false;
    PEER_COMMAND_BLOCK Block;

    KeInitializeEvent(&Site->Completion, NotificationEvent, FALSE);
    FillCommandBlock(&Block, Command);
    PIRP Irp = IoBuildDeviceIoControlRequest(PeerIoctl, Peer, &Block, PeerCommandBlockSize, Reply,
                                             ReplyLength, FALSE, &Site->Completion, &Site->Status);
    if (Irp == nullptr) {
        EndPeerUse(File);
        return false;
    }
    *Status = IofCallDriver(Peer, Irp);
    EndPeerUse(File);
    Site->Pending = *Status == STATUS_PENDING;
    if (NT_SUCCESS(*Status) && !Site->Pending)
        Site->Replied = true;
    return true;
}
