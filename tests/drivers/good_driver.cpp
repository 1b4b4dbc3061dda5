// The well-behaved test driver: what the stand-in must load, serve and
// unload without a single complaint. It takes one of each resource a
// driver owns (a device object, a lookaside list, a pool block) and gives
// each back in DriverUnload.

#include "simple_driver.h"

namespace {

const ULONG kCounterTag = NvTestTag('N', 'v', 'T', 'c');
const ULONG kPingTag = NvTestTag('N', 'v', 'T', 'p');

// Scratch state of one ping while it is being answered.
struct PingRecord {
    ULONG value;
    LONG serial;
};

struct DeviceExtension {
    NPAGED_LOOKASIDE_LIST pings;
    PLONG answered;  // pool block: pings answered since DriverEntry
};

DeviceExtension *ExtensionOf(PDEVICE_OBJECT device)
{
    return static_cast<DeviceExtension *>(device->DeviceExtension);
}

// IRP_MJ_DEVICE_CONTROL at PASSIVE_LEVEL. Completes every request before it
// returns; the caller owns the IRP again when this returns.
NTSTATUS NTAPI NvTestDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    DeviceExtension *ext = ExtensionOf(DeviceObject);
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    ULONG_PTR information = 0;

    if (sp->Parameters.DeviceIoControl.IoControlCode == IOCTL_NVTEST_PING) {
        if (sp->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG) ||
            sp->Parameters.DeviceIoControl.OutputBufferLength < NVTEST_PING_INFORMATION) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else {
            auto *record = static_cast<PingRecord *>(ExAllocateFromNPagedLookasideList(&ext->pings));
            if (record == NULL) {
                status = STATUS_INSUFFICIENT_RESOURCES;
            } else {
                auto *buffer = static_cast<PULONG>(Irp->AssociatedIrp.SystemBuffer);
                record->value = buffer[0];
                record->serial = InterlockedIncrement(ext->answered);
                buffer[0] = NVTEST_PING_REPLY;
                buffer[1] = record->value + 1;
                ExFreeToNPagedLookasideList(&ext->pings, record);
                status = STATUS_SUCCESS;
                information = NVTEST_PING_INFORMATION;
            }
        }
    }

    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);  // the IRP is not ours after this
    return status;
}

VOID NTAPI NvTestUnload(PDRIVER_OBJECT DriverObject)
{
    PDEVICE_OBJECT device = DriverObject->DeviceObject;
    if (device != NULL) {
        DeviceExtension *ext = ExtensionOf(device);
        DbgPrint("nvtest: answered %d ping(s)\n", int(*ext->answered));
        ExDeleteNPagedLookasideList(&ext->pings);
        ExFreePoolWithTag(ext->answered, kCounterTag);
        IoDeleteDevice(device);
    }
    DbgPrint(NVTEST_UNLOAD_MESSAGE);
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    DbgPrint(NVTEST_ENTRY_MESSAGE);
    DbgPrint("nvtest: registry path %wZ\n", RegistryPath);

    PLONG answered = static_cast<PLONG>(ExAllocatePoolWithTag(NonPagedPool, sizeof(LONG), kCounterTag));
    if (answered == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    *answered = 0;

    const NTSTATUS status = NvTestSimpleEntry(DriverObject, sizeof(DeviceExtension), NvTestDeviceControl, NvTestUnload);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(answered, kCounterTag);
        return status;
    }
    DeviceExtension *ext = ExtensionOf(DriverObject->DeviceObject);
    ExInitializeNPagedLookasideList(&ext->pings, NULL, NULL, 0, sizeof(PingRecord), kPingTag, 0);
    ext->answered = answered;
    return STATUS_SUCCESS;
}
