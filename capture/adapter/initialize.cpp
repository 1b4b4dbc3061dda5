// Adapter initialisation and teardown: the device interface, the adapter's
// buffers, the USB configuration, the operating-system class, the per-stream
// queues, the adapter's number and its filter registration.

#include "adapter.h"
#include "../usb/usb.h"

// The receiver's private device interface class; applications find the
// receiver through it.
static const GUID ReceiverInterfaceClass = {0x0F7DF92B, 0x70AA, 0x4F83, {0x8D, 0x8D, 0x44, 0x0C, 0x9F, 0x33, 0x1D, 0xCB}};
static const GUID CaptureCategory = {STATIC_KSCATEGORY_CAPTURE};

#define NV_REPLY_BUFFER_SIZE 64

// Releases whatever initialisation acquired, in reverse order; the one
// cleanup path of a failed initialisation and of teardown.
static VOID ReleaseAdapterResources(PADAPTER_EXTENSION Adapter)
{
    FreeUsbDeviceContext(Adapter);
#if !NORVANE_WIN2000
    if (Adapter->SecondStatusBlock != NULL) {
        ExFreePool(Adapter->SecondStatusBlock);
        Adapter->SecondStatusBlock = NULL;
    }
#endif
    if (Adapter->FirstStatusBlock != NULL) {
        ExFreePool(Adapter->FirstStatusBlock);
        Adapter->FirstStatusBlock = NULL;
    }
    if (Adapter->ReplyBuffer != NULL) {
        ExFreePool(Adapter->ReplyBuffer);
        Adapter->ReplyBuffer = NULL;
    }
    if (Adapter->BulkUrbLookasideReady) {
        ExDeleteNPagedLookasideList(&Adapter->BulkUrbLookaside);
        Adapter->BulkUrbLookasideReady = 0;
    }
    if (Adapter->SymbolicLinkName.Buffer != NULL) {
        IoSetDeviceInterfaceState(&Adapter->SymbolicLinkName, FALSE);
        RtlFreeUnicodeString(&Adapter->SymbolicLinkName);
    }
}

#if !NORVANE_WIN2000
NTSTATUS QueryServicePack(PULONG CsdVersionOut)
{
    UNICODE_STRING keyName;
    RtlInitUnicodeString(&keyName, L"\\REGISTRY\\MACHINE\\SYSTEM\\CURRENTCONTROLSET\\Control\\Windows");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE key = NULL;
    NTSTATUS status = ZwOpenKey(&key, KEY_QUERY_VALUE, &attributes);
    if (status != STATUS_SUCCESS)
        return status;

    // 20 bytes: the answer's header and a 4-byte value, with room to spare.
    const ULONG answerSize = 20;
    PKEY_VALUE_PARTIAL_INFORMATION answer =
        (PKEY_VALUE_PARTIAL_INFORMATION)ExAllocatePoolWithTag(PagedPool, answerSize, NV_REGISTRY_TAG);
    if (answer == NULL) {
        ZwClose(key);
        return STATUS_UNSUCCESSFUL;
    }
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, L"CSDVersion");
    ULONG resultLength = 0;
    status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, answer, answerSize, &resultLength);
    if (status == STATUS_SUCCESS) {
        if (answer->Type == REG_DWORD && answer->DataLength == sizeof(ULONG)) {
            ULONG value;
            RtlCopyMemory(&value, answer->Data, sizeof value);
            *CsdVersionOut = value;
        }
    }
    ExFreePool(answer);
    ZwClose(key);
    return status;
}
#endif

// Which operating system the driver runs on, as the allocator framing needs
// it: 0 for Windows XP with service pack 2 (and whatever cannot be told
// apart), 1 for other XP service packs and Windows 2000, 2 and 3 for older
// systems.
static ULONG ClassifyOperatingSystem(VOID)
{
    ULONG code = 0;
    if (IoIsWdmVersionAvailable(1, 0x20)) {
#if NORVANE_WIN2000
        code = 0;
#else
        ULONG csd = CsdVersion;
        if (QueryServicePack(&csd) == STATUS_SUCCESS) {
            // Adapters initialising at once store the same value.
            InterlockedExchange((volatile LONG *)&CsdVersion, (LONG)csd);
            code = ((csd >> 8) & 0xFF) == 2 ? 0 : 1;
        }
#endif
    } else if (IoIsWdmVersionAvailable(1, 0x10)) {
        code = 1;
    } else if (IoIsWdmVersionAvailable(1, 0x05)) {
        code = 2;
    } else if (IoIsWdmVersionAvailable(1, 0x00)) {
        code = 3;
    }
    return code;
}

VOID InitializeAdapter(PHW_STREAM_REQUEST_BLOCK Srb)
{
    PADAPTER_EXTENSION adapter = (PADAPTER_EXTENSION)Srb->HwDeviceExtension;
    PPORT_CONFIGURATION_INFORMATION config = Srb->CommandData.ConfigInfo;

    if (config->NumberOfAccessRanges != 0) {
        Srb->Status = STATUS_NO_SUCH_DEVICE;
        return;
    }
    config->StreamDescriptorSize = sizeof(HW_STREAM_HEADER) + sizeof(HW_STREAM_INFORMATION);
    adapter->RealPhysicalDeviceObject = config->RealPhysicalDeviceObject;

    UNICODE_STRING reference;
    RtlInitUnicodeString(&reference, L"GLOBAL");
    if (!NT_SUCCESS(IoRegisterDeviceInterface(adapter->RealPhysicalDeviceObject, &ReceiverInterfaceClass,
                                              &reference, &adapter->SymbolicLinkName))) {
        adapter->SymbolicLinkName.Buffer = NULL;
        Srb->Status = STATUS_UNSUCCESSFUL;
        return;
    }
    IoSetDeviceInterfaceState(&adapter->SymbolicLinkName, TRUE);

    KeInitializeEvent(&adapter->SyncRequestEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&adapter->SyncRequestGate, SynchronizationEvent, TRUE);

    adapter->UsbDeviceContext =
        (PUSB_DEVICE_CONTEXT)ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_DEVICE_CONTEXT), NV_POOL_TAG);
    if (adapter->UsbDeviceContext == NULL)
        goto failed;
    RtlZeroMemory(adapter->UsbDeviceContext, sizeof(USB_DEVICE_CONTEXT));

    ExInitializeNPagedLookasideList(&adapter->BulkUrbLookaside, NULL, NULL, 0,
                                    sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), NV_BULK_URB_TAG, 0);
    adapter->BulkUrbLookasideReady = 1;

    // The answer and status blocks are reported as found until the device
    // first answers; they are not cleared here.
    adapter->ReplyBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, NV_REPLY_BUFFER_SIZE, NV_POOL_TAG);
    if (adapter->ReplyBuffer == NULL)
        goto failed;
    adapter->FirstStatusBlock =
        (PDEVICE_STATUS_BLOCK)ExAllocatePoolWithTag(NonPagedPool, sizeof(DEVICE_STATUS_BLOCK), NV_POOL_TAG);
    if (adapter->FirstStatusBlock == NULL)
        goto failed;
#if !NORVANE_WIN2000
    adapter->SecondStatusBlock =
        (PDEVICE_STATUS_BLOCK)ExAllocatePoolWithTag(NonPagedPool, sizeof(DEVICE_STATUS_BLOCK), NV_POOL_TAG);
    if (adapter->SecondStatusBlock == NULL)
        goto failed;
#endif

    InitializeListHead(&adapter->RecordWriteList);
    adapter->Recording = 0;
    adapter->RecordStopRequested = 0;
    adapter->RecordFileHandle = NULL;

    TsFrameSize = NORVANE_WIN2000 ? 0x1000 : 0x5E00;

    if (StartUsbDevice(adapter) != STATUS_SUCCESS)
        goto failed;

    adapter->OSVersionCode = ClassifyOperatingSystem();

    for (ULONG n = 0; n < NV_MAX_STREAMS; n++) {
        InitializeListHead(&adapter->ReadQueueLists[n]);
        KeInitializeSpinLock(&adapter->ReadQueueLocks[n]);
        adapter->ReadQueueCounts[n] = 0;
        InitializeListHead(&adapter->StreamSerializerPending[n]);
    }

    // Receivers initialising at once each draw their own number.
    adapter->InstanceNumber = (ULONG)InterlockedIncrement((volatile LONG *)&AdapterInstanceCounter) - 1;
    FilterMedium.Id = adapter->InstanceNumber;
    Srb->Status = STATUS_SUCCESS;
    return;

failed:
    ReleaseAdapterResources(adapter);
    Srb->Status = STATUS_UNSUCCESSFUL;
}

VOID CompleteInitialization(PHW_STREAM_REQUEST_BLOCK Srb)
{
    PADAPTER_EXTENSION adapter = (PADAPTER_EXTENSION)Srb->HwDeviceExtension;
    // The medium carries this adapter's own number, even when another
    // receiver has rewritten the shared FilterMedium since.
    KSPIN_MEDIUM medium = FilterMedium;
    medium.Id = adapter->InstanceNumber;
    BOOL direction = TRUE;  // one output pin
    StreamClassRegisterFilterWithNoKSPins(adapter->RealPhysicalDeviceObject, &CaptureCategory, 1, &direction,
                                          &medium, NULL);
}

VOID UninitializeAdapter(PHW_STREAM_REQUEST_BLOCK Srb)
{
    ReleaseAdapterResources((PADAPTER_EXTENSION)Srb->HwDeviceExtension);
    Srb->Status = STATUS_SUCCESS;
}
