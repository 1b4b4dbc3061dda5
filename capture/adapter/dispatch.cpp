// The adapter entry points: adapter requests through the RequestSerializer
// and dispatched by command code, cancel, time-out, device events.

#include "adapter.h"
#include "serializer.h"
#include "../stream/stream.h"

VOID CompleteAdapterRequest(PHW_STREAM_REQUEST_BLOCK Srb)
{
    StreamClassDeviceNotification(DeviceRequestComplete, Srb->HwDeviceExtension, Srb);
}

// Runs the operation that owns the request's command. Operations set the
// request's Status and ActualBytesTransferred and return; none completes.
static VOID DispatchAdapterRequest(PHW_STREAM_REQUEST_BLOCK Srb)
{
    PADAPTER_EXTENSION adapter = (PADAPTER_EXTENSION)Srb->HwDeviceExtension;
    switch (Srb->Command) {
    case SRB_INITIALIZE_DEVICE:
        InitializeAdapter(Srb);
        break;
    case SRB_INITIALIZATION_COMPLETE:
        CompleteInitialization(Srb);
        break;
    case SRB_UNINITIALIZE_DEVICE:
        UninitializeAdapter(Srb);
        break;
    case SRB_CHANGE_POWER_STATE:
        // Remembered only; the receiver needs no action.
        adapter->DevicePowerState = Srb->CommandData.DeviceState;
        break;
    case SRB_PAGING_OUT_DRIVER:
    case SRB_SURPRISE_REMOVAL:
        // Nothing to do: open streams and outstanding reads stay as they are.
        break;
    default:
        // Device instances, unknown commands, stream-level codes that arrive
        // here by mistake, and every operation this driver does not have.
        Srb->Status = STATUS_NOT_IMPLEMENTED;
        break;
    }
}

// PASSIVE_LEVEL. Owns the request until it is queued or completed: a request
// that finds the adapter busy is processed and completed by the thread that
// holds the serializer.
VOID STREAMAPI ReceiveAdapterRequest(PHW_STREAM_REQUEST_BLOCK Srb)
{
    PADAPTER_EXTENSION adapter = (PADAPTER_EXTENSION)Srb->HwDeviceExtension;
    if (!adapter->SerializerReady) {
        // The first adapter request (SRB_INITIALIZE_DEVICE) arrives before
        // any other, so this needs no lock.
        InitializeListHead(&adapter->AdapterSerializer.Pending);
        KeInitializeSpinLock(&adapter->SerializerLock);
        adapter->AdapterSerializer.Busy = 0;
        adapter->SerializerReady = 1;
    }
    SerializerProcess(AdapterRequestSerializer(adapter), Srb, DispatchAdapterRequest, CompleteAdapterRequest);
}

// Up to DISPATCH_LEVEL. The stream class cancels a request: only a read in
// a ReadQueue can be cancelled; its transfer's completion, or the cancel
// itself when no transfer is live, finishes it.
VOID STREAMAPI CancelRequest(PHW_STREAM_REQUEST_BLOCK Srb)
{
    PADAPTER_EXTENSION adapter = (PADAPTER_EXTENSION)Srb->HwDeviceExtension;
    for (ULONG n = 0; n < NV_NUMBER_OF_STREAMS; n++) {
        PSTREAM_EXTENSION stream = adapter->StreamExtensions[n];
        if (stream != NULL && VideoQueueCancelOneSRB(stream, Srb))
            break;
    }
}

// A request never fails by time-out: its countdown starts again.
VOID STREAMAPI RequestTimedOut(PHW_STREAM_REQUEST_BLOCK Srb)
{
    Srb->TimeoutCounter = Srb->TimeoutOriginal;
}

// Enabling and disabling any device event always succeeds; the class keeps
// the list of enabled events.
NTSTATUS STREAMAPI DeviceEventHandler(PHW_EVENT_DESCRIPTOR EventDescriptor)
{
    UNREFERENCED_PARAMETER(EventDescriptor);
    return STATUS_SUCCESS;
}
