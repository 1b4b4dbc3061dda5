#include "serializer.h"

SERIALIZER_ANSWER SerializerEnterOrQueue(const REQUEST_SERIALIZER &Serializer, PHW_STREAM_REQUEST_BLOCK Srb)
{
    KIRQL irql;
    KeAcquireSpinLock(&Serializer.Adapter->SerializerLock, &irql);
    if (*Serializer.Busy) {
        PSRB_EXTENSION ext = SrbExtensionOf(Srb);
        ext->Srb = Srb;
        InsertTailList(Serializer.Pending, &ext->SerializerLink);
        KeReleaseSpinLock(&Serializer.Adapter->SerializerLock, irql);
        return SerializerQueued;
    }
    *Serializer.Busy = 1;
    KeReleaseSpinLock(&Serializer.Adapter->SerializerLock, irql);
    return SerializerProceed;
}

PHW_STREAM_REQUEST_BLOCK SerializerNextOrIdle(const REQUEST_SERIALIZER &Serializer)
{
    KIRQL irql;
    KeAcquireSpinLock(&Serializer.Adapter->SerializerLock, &irql);
    if (IsListEmpty(Serializer.Pending)) {
        *Serializer.Busy = 0;
        KeReleaseSpinLock(&Serializer.Adapter->SerializerLock, irql);
        return NULL;
    }
    PLIST_ENTRY link = RemoveHeadList(Serializer.Pending);
    KeReleaseSpinLock(&Serializer.Adapter->SerializerLock, irql);
    return CONTAINING_RECORD(link, SRB_EXTENSION, SerializerLink)->Srb;
}
