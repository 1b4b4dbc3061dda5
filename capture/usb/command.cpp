// The command channel: one bulk transfer per command on the command pipe,
// one per answer on the reply pipe, each limited to one second.

#include "usb.h"

// Holds the request back for its sender: the sender completes it a second
// time when it is done with it.
static NTSTATUS NTAPI CommandTransferCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// PASSIVE_LEVEL. The request, its event and its status block are this
// call's own, and all of them are gone when it returns.
static NTSTATUS TransferCommandBytes(PADAPTER_EXTENSION Adapter, ULONG PipeIndex, PVOID Buffer, ULONG Length,
                                     ULONG TransferFlags)
{
    PUSBD_INTERFACE_INFORMATION table = PipeTableOf(Adapter);
    if (table == NULL)
        return STATUS_UNSUCCESSFUL;
    if (PipeIndex >= table->NumberOfPipes)
        return STATUS_INVALID_PARAMETER;
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), NV_POOL_TAG);
    if (urb == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    urb->UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->UrbBulkOrInterruptTransfer.PipeHandle = table->Pipes[PipeIndex].PipeHandle;
    urb->UrbBulkOrInterruptTransfer.TransferFlags = TransferFlags;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = Length;
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = Buffer;
    urb->UrbBulkOrInterruptTransfer.TransferBufferMDL = NULL;
    urb->UrbBulkOrInterruptTransfer.UrbLink = NULL;

    IO_STATUS_BLOCK ioStatus;
    ioStatus.Status = STATUS_UNSUCCESSFUL;
    ioStatus.Information = 0;
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, Adapter->RealPhysicalDeviceObject, NULL,
                                             0, NULL, 0, TRUE, &event, &ioStatus);
    if (irp == NULL) {
        ExFreePool(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, CommandTransferCompletion, &event, TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(Adapter->RealPhysicalDeviceObject, irp);
    BOOLEAN timedOut = FALSE;
    if (status == STATUS_PENDING) {
        LARGE_INTEGER limit;
        limit.QuadPart = -10000000LL;  // one second
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &limit) == STATUS_TIMEOUT) {
            // The device did not answer. The request is still the bus's:
            // cancel it and wait until its completion routine has run.
            timedOut = TRUE;
            IoCancelIrp(irp);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        }
    }
    // The completion routine held the request back. Completing it again lets
    // the I/O manager fill the status block, signal the event and free it;
    // the wait makes sure all that is over before the locals go away.
    KeClearEvent(&event);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    ExFreePool(urb);

    // A transfer that came back with a failure (a stall, a device gone) is a
    // failure: its answer was not delivered. A short answer is accepted.
    if (timedOut)
        return STATUS_TIMEOUT;
    return NT_SUCCESS(ioStatus.Status) ? STATUS_SUCCESS : ioStatus.Status;
}

NTSTATUS WriteCommand(PADAPTER_EXTENSION Adapter, ULONG PipeIndex, PVOID Buffer, ULONG Length)
{
    return TransferCommandBytes(Adapter, PipeIndex, Buffer, Length, USBD_SHORT_TRANSFER_OK);
}

NTSTATUS ReadReply(PADAPTER_EXTENSION Adapter, ULONG PipeIndex, PVOID Buffer, ULONG Length)
{
    return TransferCommandBytes(Adapter, PipeIndex, Buffer, Length,
                                USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
}
