// The capture stream's per-stream record and its ReadQueue.
#pragma once

#include "../adapter/adapter.h"

typedef struct _STREAM_EXTENSION {
    PADAPTER_EXTENSION Adapter;
    PHW_STREAM_OBJECT StreamObject;
    KSSTATE StreamState;
    HANDLE MasterClockHandle;
} STREAM_EXTENSION, *PSTREAM_EXTENSION;

// ---------------------------------------------------------------------------
// ReadQueue: the reads handed to the USB side and not yet finished, linked
// through each request's own IRP (Tail.Overlay.ListEntry, with the request
// in Tail.Overlay.DriverContext[0]). All four operations run at up to
// DISPATCH_LEVEL, allocate nothing and never wait; the queue lock is never
// held across IoCancelIrp or a completion.

// Queues a read (state ReadQueued) before its transfer is built.
VOID VideoQueueAppendSRB(PHW_STREAM_REQUEST_BLOCK Srb);
// Unlinks the request if it is queued; changes nothing else. TRUE if found.
BOOLEAN VideoQueueRemoveOneSRB(PSTREAM_EXTENSION Stream, PHW_STREAM_REQUEST_BLOCK Srb);
// Cancels one queued read; TRUE if it was queued. Never completes a request
// whose transfer or recording is still to finish it.
BOOLEAN VideoQueueCancelOneSRB(PSTREAM_EXTENSION Stream, PHW_STREAM_REQUEST_BLOCK Srb);
// Cancels every queued read, oldest first, including reads queued meanwhile.
VOID VideoQueueCancelAllSRBs(PSTREAM_EXTENSION Stream);

// ---------------------------------------------------------------------------
// The read routines' side of the queue's rules. Each call changes the
// request's ReadState under the ReadQueue lock and tells the caller what it
// may now do; whoever is told to complete a request is the only one that
// touches it from then on.
//
// A transfer IRP carries a reference count in Tail.Overlay.DriverContext[1]
// (its URB is in DriverContext[0]): one for the transfer, one for each
// canceller inside IoCancelIrp. Whoever drops the last one frees the IRP and
// its URB, so IoCancelIrp only ever sees a live IRP.

// The transfer IRP is built; may it be sent? TRUE: it is now the request's
// UsbIrp with one reference, send it. FALSE: a canceller took the request
// first (it is marked DataUsed 0, STATUS_CANCELLED); free the IRP and URB
// and complete the request.
BOOLEAN VideoQueueStartTransfer(PSTREAM_EXTENSION Stream, PHW_STREAM_REQUEST_BLOCK Srb, PIRP Irp);

// No transfer could be built. TRUE: a canceller took the request meanwhile;
// complete it (marked cancelled). FALSE: it waits in the queue with no
// transfer, and its cancel will complete it.
BOOLEAN VideoQueueTransferNotStarted(PSTREAM_EXTENSION Stream, PHW_STREAM_REQUEST_BLOCK Srb);

// How a completion routine wants its request to go on.
typedef enum _READ_OUTCOME {
    ReadCompleteNow,  // leave the queue; the routine completes it
    ReadHandOn,       // stay queued for the recording worker, which completes it
    ReadLeaveQueued   // stay queued with no transfer (a status the routine does not act on)
} READ_OUTCOME;

typedef struct _READ_END {
    BOOLEAN FreeTransfer;          // the caller dropped the last reference: free IRP and URB
    BOOLEAN Complete;              // the caller completes the request now
    BOOLEAN CompleteAsCancelled;   // ... with DataUsed 0 and STATUS_CANCELLED: it was cancelled and nothing else will finish it
} READ_END;

// Called by a transfer's completion routine before it touches the request.
READ_END VideoQueueTransferEnded(PSTREAM_EXTENSION Stream, PHW_STREAM_REQUEST_BLOCK Srb, PIRP Irp,
                                 READ_OUTCOME Outcome);

// Frees a read's transfer IRP and its URB (from pool for an isochronous
// transfer, from BulkUrbLookaside for a bulk one). IRQL <= DISPATCH_LEVEL.
VOID VideoReadFreeTransfer(PADAPTER_EXTENSION Adapter, PIRP Irp);
