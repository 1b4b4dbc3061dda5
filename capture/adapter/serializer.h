// RequestSerializer: at most one thread processes the requests of a queue;
// a thread that finds the queue busy leaves its request in the FIFO for the
// busy thread. One mechanism serves the adapter requests and each stream's
// control requests.
#pragma once

#include "adapter.h"

typedef enum _SERIALIZER_ANSWER {
    SerializerProceed,  // the caller owns the serializer and processes the request
    SerializerQueued    // the request waits in the FIFO; the caller must not touch it again
} SERIALIZER_ANSWER;

// A serializer is a FIFO and a busy flag of the adapter, guarded by the
// adapter's SerializerLock.
typedef struct _REQUEST_SERIALIZER {
    PADAPTER_EXTENSION Adapter;
    PLIST_ENTRY Pending;
    PULONG Busy;
} REQUEST_SERIALIZER;

FORCEINLINE REQUEST_SERIALIZER AdapterRequestSerializer(PADAPTER_EXTENSION Adapter)
{
    REQUEST_SERIALIZER s = {Adapter, &Adapter->AdapterSerializer.Pending, &Adapter->AdapterSerializer.Busy};
    return s;
}

FORCEINLINE REQUEST_SERIALIZER StreamRequestSerializer(PADAPTER_EXTENSION Adapter, ULONG StreamNumber)
{
    REQUEST_SERIALIZER s = {Adapter, &Adapter->StreamSerializerPending[StreamNumber],
                            &Adapter->StreamSerializerBusy[StreamNumber]};
    return s;
}

// IRQL <= DISPATCH_LEVEL. Takes SerializerLock for the test and the link.
SERIALIZER_ANSWER SerializerEnterOrQueue(const REQUEST_SERIALIZER &Serializer, PHW_STREAM_REQUEST_BLOCK Srb);

// IRQL <= DISPATCH_LEVEL. The oldest waiting request, or NULL: then the
// serializer is idle again and the caller no longer owns it.
PHW_STREAM_REQUEST_BLOCK SerializerNextOrIdle(const REQUEST_SERIALIZER &Serializer);

// The processing loop both entry points run: enter or queue; then, for the
// request and every request found waiting after it, reset its status,
// dispatch it, complete it. Dispatch never completes; Complete hands the
// request back and nothing touches it afterwards.
template <typename Dispatch, typename Complete>
VOID SerializerProcess(const REQUEST_SERIALIZER &Serializer, PHW_STREAM_REQUEST_BLOCK Srb, Dispatch dispatch,
                       Complete complete)
{
    if (SerializerEnterOrQueue(Serializer, Srb) == SerializerQueued)
        return;  // the owning thread processes and completes it
    while (Srb != NULL) {
        Srb->Status = STATUS_SUCCESS;
        dispatch(Srb);
        complete(Srb);  // the request is gone after this
        Srb = SerializerNextOrIdle(Serializer);
    }
}
