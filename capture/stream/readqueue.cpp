// The ReadQueue of each stream, and the rules that keep a read's cancel and
// its completion apart.
//
// Every read request carries a ReadState in its SrbExtension, changed only
// under its ReadQueue lock. A canceller acts only on a request it finds
// linked in the queue, and, by its state:
//   ReadQueued           marks it (DataUsed 0, STATUS_CANCELLED) and leaves
//                        it to the read routine, which sees the mark when it
//                        tries to start the transfer and completes it;
//   ReadInFlight         marks it (now ReadCancelling), takes a reference on
//                        its transfer IRP and cancels that IRP outside the
//                        lock; the transfer's completion routine completes
//                        the request;
//   ReadNoTransfer       marks it and completes it itself: nothing else will;
//   ReadHandedOn         marks it; the recording worker completes it.
// A request leaves the queue before it is completed, and only the party that
// takes it out of the queue as its completer touches it from then on.

#include "stream.h"

// Tail.Overlay.DriverContext[1] of a transfer IRP: its reference count.
static ULONG_PTR TransferReferences(PIRP Irp)
{
    return (ULONG_PTR)Irp->Tail.Overlay.DriverContext[1];
}

static VOID SetTransferReferences(PIRP Irp, ULONG_PTR References)
{
    Irp->Tail.Overlay.DriverContext[1] = (PVOID)References;
}

static ULONG StreamNumberOf(PSTREAM_EXTENSION Stream)
{
    return Stream->StreamObject->StreamNumber;
}

static PHW_STREAM_REQUEST_BLOCK RequestOfLink(PLIST_ENTRY Link)
{
    PIRP irp = CONTAINING_RECORD(Link, IRP, Tail.Overlay.ListEntry);
    return (PHW_STREAM_REQUEST_BLOCK)irp->Tail.Overlay.DriverContext[0];
}

// Takes a request's link out of its queue and points it at itself, so that
// whoever looks later can tell, whoever unlinked it.
static VOID UnlinkRequest(PADAPTER_EXTENSION Adapter, ULONG N, PLIST_ENTRY Link)
{
    RemoveEntryList(Link);
    Link->Flink = Link->Blink = Link;
    Adapter->ReadQueueCounts[N]--;
}

static BOOLEAN IsLinked(PLIST_ENTRY Link)
{
    return Link->Flink != Link;
}

static VOID MarkCancelled(PHW_STREAM_REQUEST_BLOCK Srb)
{
    Srb->CommandData.DataBufferArray->DataUsed = 0;
    Srb->Status = STATUS_CANCELLED;
}

VOID VideoQueueAppendSRB(PHW_STREAM_REQUEST_BLOCK Srb)
{
    PADAPTER_EXTENSION adapter = (PADAPTER_EXTENSION)Srb->HwDeviceExtension;
    const ULONG n = Srb->StreamObject->StreamNumber;
    KIRQL irql;
    KeAcquireSpinLock(&adapter->ReadQueueLocks[n], &irql);
    SrbExtensionOf(Srb)->ReadState = ReadQueued;
    Srb->Irp->Tail.Overlay.DriverContext[0] = Srb;
    InsertTailList(&adapter->ReadQueueLists[n], &Srb->Irp->Tail.Overlay.ListEntry);
    adapter->ReadQueueCounts[n]++;
    KeReleaseSpinLock(&adapter->ReadQueueLocks[n], irql);
}

// With the queue lock held: unlinks the request if it is queued.
static BOOLEAN UnlinkLocked(PADAPTER_EXTENSION Adapter, ULONG N, PHW_STREAM_REQUEST_BLOCK Srb, BOOLEAN Trace)
{
    for (PLIST_ENTRY link = Adapter->ReadQueueLists[N].Flink; link != &Adapter->ReadQueueLists[N];
         link = link->Flink) {
        if (Trace)
            NvDebugPrint(3, ("VORLA:   + VideoQueueCancelOneSRB Entry=%p\n", link));
        if (RequestOfLink(link) == Srb) {
            UnlinkRequest(Adapter, N, link);
            return TRUE;
        }
    }
    return FALSE;
}

BOOLEAN VideoQueueRemoveOneSRB(PSTREAM_EXTENSION Stream, PHW_STREAM_REQUEST_BLOCK Srb)
{
    PADAPTER_EXTENSION adapter = Stream->Adapter;
    const ULONG n = StreamNumberOf(Stream);
    KIRQL irql;
    KeAcquireSpinLock(&adapter->ReadQueueLocks[n], &irql);
    // The emptiness test is made under the lock too: a list head read while
    // another processor links into it is a race, not a shortcut.
    if (IsListEmpty(&adapter->ReadQueueLists[n])) {
        KeReleaseSpinLock(&adapter->ReadQueueLocks[n], irql);
        NvDebugPrint(1, ("VORLA:   - VideoQueueRemoveOneSRB StreamSRBList Empty\n"));
        return FALSE;
    }
    const BOOLEAN found = UnlinkLocked(adapter, n, Srb, FALSE);
    KeReleaseSpinLock(&adapter->ReadQueueLocks[n], irql);
    NvDebugPrint(3, ("VORLA:   - VideoQueueRemoveOneSRB Completed Stream=%d, pSrb = %x\n", int(n), NV_PTR32(Srb)));
    return found;
}

// What a canceller does with a request it just unlinked, under the lock:
// marks it and decides, by its state, what happens outside the lock.
typedef struct _CANCEL_ACTION {
    PIRP CancelIrp;        // a live transfer to cancel, referenced for the canceller
    BOOLEAN Complete;      // nothing else will finish the request: complete it
} CANCEL_ACTION;

static CANCEL_ACTION CancelUnlinkedLocked(PHW_STREAM_REQUEST_BLOCK Srb)
{
    CANCEL_ACTION action = {NULL, FALSE};
    PSRB_EXTENSION ext = SrbExtensionOf(Srb);
    MarkCancelled(Srb);
    switch (ext->ReadState) {
    case ReadQueued:
        ext->ReadState = ReadCancelledUnsent;  // the read routine completes it
        break;
    case ReadInFlight:
        ext->ReadState = ReadCancelling;
        action.CancelIrp = ext->UsbIrp;
        SetTransferReferences(ext->UsbIrp, TransferReferences(ext->UsbIrp) + 1);
        break;
    case ReadNoTransfer:
        ext->ReadState = ReadFinished;
        action.Complete = TRUE;
        break;
    default:
        // ReadHandedOn: the recording worker completes it.
        break;
    }
    return action;
}

// Outside the lock: cancels the transfer, then drops the canceller's
// reference; or completes a request nothing else will finish.
static BOOLEAN CarryOutCancel(PSTREAM_EXTENSION Stream, PHW_STREAM_REQUEST_BLOCK Srb, const CANCEL_ACTION &Action)
{
    BOOLEAN cancelled = FALSE;
    if (Action.CancelIrp != NULL) {
        PADAPTER_EXTENSION adapter = Stream->Adapter;
        const ULONG n = StreamNumberOf(Stream);
        cancelled = IoCancelIrp(Action.CancelIrp);
        KIRQL irql;
        KeAcquireSpinLock(&adapter->ReadQueueLocks[n], &irql);
        const ULONG_PTR left = TransferReferences(Action.CancelIrp) - 1;
        SetTransferReferences(Action.CancelIrp, left);
        KeReleaseSpinLock(&adapter->ReadQueueLocks[n], irql);
        if (left == 0)
            VideoReadFreeTransfer(adapter, Action.CancelIrp);  // its completion has already run
    } else if (Action.Complete) {
        CompleteStreamRequest(Srb);  // do not touch the request after this
    }
    return cancelled;
}

BOOLEAN VideoQueueCancelOneSRB(PSTREAM_EXTENSION Stream, PHW_STREAM_REQUEST_BLOCK Srb)
{
    PADAPTER_EXTENSION adapter = Stream->Adapter;
    const ULONG n = StreamNumberOf(Stream);
    NvDebugPrint(3, ("VORLA:   + VideoQueueCancelOneSRB Stream=%d\n", int(n)));
    KIRQL irql;
    KeAcquireSpinLock(&adapter->ReadQueueLocks[n], &irql);
    if (IsListEmpty(&adapter->ReadQueueLists[n])) {
        KeReleaseSpinLock(&adapter->ReadQueueLocks[n], irql);
        NvDebugPrint(3, ("VORLA:   - VideoQueueCancelOneSRB StreamSRBList Empty\n"));
        return FALSE;
    }
    if (!UnlinkLocked(adapter, n, Srb, TRUE)) {
        KeReleaseSpinLock(&adapter->ReadQueueLocks[n], irql);
        return FALSE;
    }
    const CANCEL_ACTION action = CancelUnlinkedLocked(Srb);
    KeReleaseSpinLock(&adapter->ReadQueueLocks[n], irql);

    NvDebugPrint(3, ("VORLA:      VideoQueueCancelOneSRB FOUND Srb=%p, Begin cancel Irp=%p\n", Srb, action.CancelIrp));
    const BOOLEAN cancelResult = CarryOutCancel(Stream, Srb, action);
    // The request may be completed by now: only its address is printed.
    NvDebugPrint(3, ("VORLA:      VideoQueueCancelOneSRB FOUND Srb=%p, bCancelResult=%x\n", Srb, unsigned(cancelResult)));
    return TRUE;
}

VOID VideoQueueCancelAllSRBs(PSTREAM_EXTENSION Stream)
{
    PADAPTER_EXTENSION adapter = Stream->Adapter;
    const ULONG n = StreamNumberOf(Stream);
    NvDebugPrint(1, ("\nVORLA: + VideoQueueCancelAllSRBs\n"));
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&adapter->ReadQueueLocks[n], &irql);
        if (IsListEmpty(&adapter->ReadQueueLists[n])) {
            KeReleaseSpinLock(&adapter->ReadQueueLocks[n], irql);
            break;
        }
        PLIST_ENTRY link = adapter->ReadQueueLists[n].Flink;
        UnlinkRequest(adapter, n, link);
        PHW_STREAM_REQUEST_BLOCK srb = RequestOfLink(link);
        const CANCEL_ACTION action = CancelUnlinkedLocked(srb);
        KeReleaseSpinLock(&adapter->ReadQueueLocks[n], irql);
        NvDebugPrint(1, ("VORLA:   - VideoQueueCancelAllSRBs StreamSRBList=%p\n", action.CancelIrp));
        CarryOutCancel(Stream, srb, action);
    }
    NvDebugPrint(1, ("VORLA: - VideoQueueCancelAllSRB Completed\n"));
}

BOOLEAN VideoQueueStartTransfer(PSTREAM_EXTENSION Stream, PHW_STREAM_REQUEST_BLOCK Srb, PIRP Irp)
{
    PADAPTER_EXTENSION adapter = Stream->Adapter;
    const ULONG n = StreamNumberOf(Stream);
    PSRB_EXTENSION ext = SrbExtensionOf(Srb);
    KIRQL irql;
    KeAcquireSpinLock(&adapter->ReadQueueLocks[n], &irql);
    BOOLEAN send = FALSE;
    if (ext->ReadState == ReadQueued) {
        SetTransferReferences(Irp, 1);
        ext->UsbIrp = Irp;
        ext->ReadState = ReadInFlight;
        send = TRUE;
    } else {
        ext->ReadState = ReadFinished;  // cancelled before its transfer existed
    }
    KeReleaseSpinLock(&adapter->ReadQueueLocks[n], irql);
    return send;
}

BOOLEAN VideoQueueTransferNotStarted(PSTREAM_EXTENSION Stream, PHW_STREAM_REQUEST_BLOCK Srb)
{
    PADAPTER_EXTENSION adapter = Stream->Adapter;
    const ULONG n = StreamNumberOf(Stream);
    PSRB_EXTENSION ext = SrbExtensionOf(Srb);
    KIRQL irql;
    KeAcquireSpinLock(&adapter->ReadQueueLocks[n], &irql);
    BOOLEAN complete = FALSE;
    if (ext->ReadState == ReadQueued) {
        ext->ReadState = ReadNoTransfer;
    } else {
        ext->ReadState = ReadFinished;
        complete = TRUE;
    }
    KeReleaseSpinLock(&adapter->ReadQueueLocks[n], irql);
    return complete;
}

READ_END VideoQueueTransferEnded(PSTREAM_EXTENSION Stream, PHW_STREAM_REQUEST_BLOCK Srb, PIRP Irp,
                                 READ_OUTCOME Outcome)
{
    PADAPTER_EXTENSION adapter = Stream->Adapter;
    const ULONG n = StreamNumberOf(Stream);
    PSRB_EXTENSION ext = SrbExtensionOf(Srb);
    READ_END end = {FALSE, FALSE, FALSE};
    KIRQL irql;
    KeAcquireSpinLock(&adapter->ReadQueueLocks[n], &irql);
    const ULONG_PTR left = TransferReferences(Irp) - 1;
    SetTransferReferences(Irp, left);
    end.FreeTransfer = left == 0;
    // Not queued any more: a canceller unlinked and marked it (ReadCancelling)
    // and may be inside IoCancelIrp on this transfer right now.
    PLIST_ENTRY link = &Srb->Irp->Tail.Overlay.ListEntry;
    const BOOLEAN queued = IsLinked(link);
    switch (Outcome) {
    case ReadCompleteNow:
        if (queued)
            UnlinkRequest(adapter, n, link);
        ext->ReadState = ReadFinished;
        end.Complete = TRUE;
        break;
    case ReadHandOn:
        if (queued) {
            ext->ReadState = ReadHandedOn;
        } else {
            // A canceller took it while its transfer finished: the frame is
            // not recorded, the request ends cancelled.
            ext->ReadState = ReadFinished;
            end.Complete = end.CompleteAsCancelled = TRUE;
        }
        break;
    case ReadLeaveQueued:
        if (queued) {
            ext->ReadState = ReadNoTransfer;
        } else {
            ext->ReadState = ReadFinished;
            end.Complete = end.CompleteAsCancelled = TRUE;
        }
        break;
    }
    KeReleaseSpinLock(&adapter->ReadQueueLocks[n], irql);
    return end;
}

VOID VideoReadFreeTransfer(PADAPTER_EXTENSION Adapter, PIRP Irp)
{
    PURB urb = (PURB)Irp->Tail.Overlay.DriverContext[0];
    if (urb != NULL) {
        if (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER)
            ExFreePool(urb);
        else
            ExFreeToNPagedLookasideList(&Adapter->BulkUrbLookaside, urb);
    }
    IoFreeIrp(Irp);
}
