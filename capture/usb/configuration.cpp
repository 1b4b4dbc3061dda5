// Bringing the receiver into its configured state, the pipe table, pipe
// resets, and the one synchronous request primitive they use.

#include "usb.h"

static PUSB_DEVICE_CONTEXT UsbContextOf(PADAPTER_EXTENSION Adapter)
{
    return Adapter->UsbDeviceContext;
}

// PASSIVE_LEVEL. Sends one URB to the bus driver and waits for it without a
// time limit. One request at a time per adapter: SyncRequestEvent serves
// them all, so a second caller waits at the gate until the first is done.
NTSTATUS SubmitUrbSynchronously(PADAPTER_EXTENSION Adapter, PURB Urb)
{
    KeWaitForSingleObject(&Adapter->SyncRequestGate, Executive, KernelMode, FALSE, NULL);
    KeClearEvent(&Adapter->SyncRequestEvent);
    IO_STATUS_BLOCK ioStatus;
    ioStatus.Status = STATUS_SUCCESS;
    ioStatus.Information = 0;
    NTSTATUS status;
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, Adapter->RealPhysicalDeviceObject, NULL,
                                             0, NULL, 0, TRUE, &Adapter->SyncRequestEvent, &ioStatus);
    if (irp == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;
        // The I/O manager completes and frees the request.
        status = IoCallDriver(Adapter->RealPhysicalDeviceObject, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&Adapter->SyncRequestEvent, Suspended, KernelMode, FALSE, NULL);
            status = ioStatus.Status;
        }
    }
    KeSetEvent(&Adapter->SyncRequestGate, IO_NO_INCREMENT, FALSE);
    return status;
}

static VOID BuildDescriptorRequest(PURB Urb, UCHAR DescriptorType, PVOID Buffer, ULONG Length)
{
    RtlZeroMemory(Urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    Urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    Urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    Urb->UrbControlDescriptorRequest.TransferBufferLength = Length;
    Urb->UrbControlDescriptorRequest.TransferBuffer = Buffer;
    Urb->UrbControlDescriptorRequest.TransferBufferMDL = NULL;
    Urb->UrbControlDescriptorRequest.DescriptorType = DescriptorType;
    Urb->UrbControlDescriptorRequest.Index = 0;
    Urb->UrbControlDescriptorRequest.LanguageId = 0;
    Urb->UrbControlDescriptorRequest.UrbLink = NULL;
}

NTSTATUS StartUsbDevice(PADAPTER_EXTENSION Adapter)
{
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), NV_POOL_TAG);
    if (urb != NULL) {
        PUSB_DEVICE_DESCRIPTOR descriptor =
            (PUSB_DEVICE_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR), NV_POOL_TAG);
        if (descriptor != NULL) {
            BuildDescriptorRequest(urb, USB_DEVICE_DESCRIPTOR_TYPE, descriptor, sizeof(USB_DEVICE_DESCRIPTOR));
            status = SubmitUrbSynchronously(Adapter, urb);
            if (NT_SUCCESS(status))
                UsbContextOf(Adapter)->DeviceDescriptor = descriptor;
            else
                ExFreePool(descriptor);
        }
        ExFreePool(urb);
        if (NT_SUCCESS(status))
            status = ConfigureDevice(Adapter);
    }
    // Every start, whatever its outcome, begins a fresh error history.
    StreamStatistics.readErrorFlags = 0;
#if !NORVANE_WIN2000
    StreamStatistics.readErrorCnt = 0;
#endif
    return status;
}

// TRUE when `received` bytes hold a configuration descriptor and everything
// its wTotalLength claims.
static BOOLEAN DescriptorSetComplete(PUSB_CONFIGURATION_DESCRIPTOR Descriptor, ULONG Received)
{
    if (Received < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return FALSE;
    const PUCHAR bytes = (PUCHAR)Descriptor;
    const ULONG total = (ULONG)bytes[2] | ((ULONG)bytes[3] << 8);
    return total >= sizeof(USB_CONFIGURATION_DESCRIPTOR) && total <= Received;
}

NTSTATUS ConfigureDevice(PADAPTER_EXTENSION Adapter)
{
    PUSB_DEVICE_CONTEXT context = UsbContextOf(Adapter);
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), NV_POOL_TAG);
    if (urb == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    // 521 bytes hold the whole descriptor set of most devices, this one's
    // included, so one request usually does.
    ULONG size = 521;
    ULONG received = 0;
    NTSTATUS status;
    for (;;) {
        context->ConfigurationDescriptor =
            (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, size, NV_POOL_TAG);
        if (context->ConfigurationDescriptor == NULL) {
            ExFreePool(urb);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        BuildDescriptorRequest(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, context->ConfigurationDescriptor, size);
        status = SubmitUrbSynchronously(Adapter, urb);
        received = urb->UrbControlDescriptorRequest.TransferBufferLength;
        NvDebugPrint(1, (" ConfigureDevice() Configuration Descriptor = %x, len %x\n",
                         NV_PTR32(context->ConfigurationDescriptor), received));
        if (received == 0)
            break;
        // wTotalLength is valid only when the first four bytes came back.
        const PUCHAR bytes = (PUCHAR)context->ConfigurationDescriptor;
        const ULONG total = received >= 4 ? (ULONG)bytes[2] | ((ULONG)bytes[3] << 8) : 0;
        if (total <= size)
            break;
        size = total;
        ExFreePool(context->ConfigurationDescriptor);
        context->ConfigurationDescriptor = NULL;
    }
    // The descriptor set is parsed next: it must have arrived whole. An
    // empty or cut-short answer would leave the parser walking bytes the
    // device never sent.
    if (NT_SUCCESS(status) && !DescriptorSetComplete(context->ConfigurationDescriptor, received))
        status = STATUS_DEVICE_DATA_ERROR;
    if (NT_SUCCESS(status))
        status = SelectInterface(Adapter, context->ConfigurationDescriptor);
    NvDebugPrint(1, (" -ConfigureDevice (%x)\n", (ULONG)status));
    ExFreePool(urb);
    return status;
}

NTSTATUS SelectInterface(PADAPTER_EXTENSION Adapter, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor)
{
    PUSB_DEVICE_CONTEXT context = UsbContextOf(Adapter);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(ConfigurationDescriptor, &size);
    if (urb != NULL) {
        PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor =
            USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, -1, -1, -1, -1, -1);
        if (interfaceDescriptor == NULL) {
            ExFreePool(urb);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectConfiguration.Interface;
        for (ULONG i = 0; i < info->NumberOfPipes; i++)
            info->Pipes[i].MaximumTransferSize = (USHORT)TsFrameSize;
        urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        urb->UrbHeader.Length = size;
        urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
        status = SubmitUrbSynchronously(Adapter, urb);
        if (NT_SUCCESS(status)) {
            if (context->PipeTable == NULL)
                context->PipeTable =
                    (PUSBD_INTERFACE_INFORMATION)ExAllocatePoolWithTag(NonPagedPool, info->Length, NV_POOL_TAG);
            // Without memory for the table the adapter runs with none; every
            // user of the pipes fails its request then.
            if (context->PipeTable != NULL) {
                RtlCopyMemory(context->PipeTable, info, info->Length);
                PUSBD_INTERFACE_INFORMATION table = context->PipeTable;
                NvDebugPrint(1, ("---------After Select Config \n"));
                NvDebugPrint(1, ("NumberOfPipes 0x%x\n", table->NumberOfPipes));
                NvDebugPrint(1, ("Length 0x%x\n", table->Length));
                NvDebugPrint(1, ("Alt Setting 0x%x\n", table->AlternateSetting));
                NvDebugPrint(1, ("Interface Number 0x%x\n", table->InterfaceNumber));
                NvDebugPrint(1, ("Class, subclass, protocol 0x%x 0x%x 0x%x\n", table->Class, table->SubClass,
                                 table->Protocol));
                for (ULONG i = 0; i < table->NumberOfPipes; i++) {
                    const USBD_PIPE_INFORMATION &pipe = table->Pipes[i];
                    NvDebugPrint(1, ("---------\n"));
                    NvDebugPrint(1, ("PipeType 0x%x\n", pipe.PipeType));
                    NvDebugPrint(1, ("EndpointAddress 0x%x\n", pipe.EndpointAddress));
                    NvDebugPrint(1, ("MaxPacketSize 0x%x\n", pipe.MaximumPacketSize));
                    NvDebugPrint(1, ("Interval 0x%x\n", pipe.Interval));
                    NvDebugPrint(1, ("Handle 0x%x\n", NV_PTR32(pipe.PipeHandle)));
                    NvDebugPrint(1, ("MaximumTransferSize 0x%x\n", pipe.MaximumTransferSize));
                }
                NvDebugPrint(1, ("---------\n"));
            }
        }
        ExFreePool(urb);
    }
    NvDebugPrint(1, (" -SelectInterface (%x)\n", (ULONG)status));
    return status;
}

NTSTATUS ResetPipe(PADAPTER_EXTENSION Adapter, ULONG PipeIndex)
{
#if !NORVANE_WIN2000
    NvDebugPrint(2, ("VORLA : Reset Pipe \n"));
#endif
    PUSBD_INTERFACE_INFORMATION table = PipeTableOf(Adapter);
    if (table == NULL)
        return STATUS_UNSUCCESSFUL;
    if (PipeIndex >= table->NumberOfPipes)
        return STATUS_INVALID_PARAMETER;
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_PIPE_REQUEST), NV_POOL_TAG);
    if (urb == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(urb, sizeof(struct _URB_PIPE_REQUEST));
    urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
    urb->UrbPipeRequest.PipeHandle = table->Pipes[PipeIndex].PipeHandle;
    const NTSTATUS status = SubmitUrbSynchronously(Adapter, urb);
    ExFreePool(urb);
    return status;
}

VOID FreeUsbDeviceContext(PADAPTER_EXTENSION Adapter)
{
    PUSB_DEVICE_CONTEXT context = Adapter->UsbDeviceContext;
    if (context == NULL)
        return;
    if (context->PipeTable != NULL)
        ExFreePool(context->PipeTable);
    if (context->ConfigurationDescriptor != NULL)
        ExFreePool(context->ConfigurationDescriptor);
    if (context->DeviceDescriptor != NULL)
        ExFreePool(context->DeviceDescriptor);
    ExFreePool(context);
    Adapter->UsbDeviceContext = NULL;
}
