// A test driver whose DriverEntry fails after it has set its unload
// routine and used, and given back, a device object and a pool block. The
// I/O manager must not call DriverUnload for it. Built with
// NVTEST_ENTRY_LEAKS=1 it forgets to free the block on its way out, which
// the stand-in must still charge to it at unload.

#include "simple_driver.h"

#ifndef NVTEST_ENTRY_LEAKS
#define NVTEST_ENTRY_LEAKS 0
#endif

namespace {

const ULONG kScratchTag = NvTestTag('N', 'v', 'E', 'f');

VOID NTAPI NvTestUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    DbgPrint(NVTEST_UNLOAD_MESSAGE);
}

NTSTATUS NTAPI NvTestDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    PVOID scratch = ExAllocatePoolWithTag(PagedPool, 64, kScratchTag);
    if (scratch == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = NvTestSimpleEntry(DriverObject, 0, NvTestDeviceControl, NvTestUnload);
    if (NT_SUCCESS(status)) {
        // The device it needs is not there: give up.
        NvTestDeleteDevices(DriverObject);
        status = STATUS_NO_SUCH_DEVICE;
    }
#if !NVTEST_ENTRY_LEAKS
    ExFreePoolWithTag(scratch, kScratchTag);
#endif
    return status;
}
