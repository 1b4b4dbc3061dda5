// A faulty test driver: it waits for an event while it holds a spin lock,
// that is at DISPATCH_LEVEL, where a wait with a time-out is not allowed.

#include "simple_driver.h"

namespace {

KSPIN_LOCK g_lock;
KEVENT g_ready;

NTSTATUS NTAPI NvTestDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    KIRQL old;
    KeAcquireSpinLock(&g_lock, &old);
    // The fault: waiting with no time-out at DISPATCH_LEVEL.
    KeWaitForSingleObject(&g_ready, Executive, KernelMode, FALSE, NULL);
    KeReleaseSpinLock(&g_lock, old);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    KeInitializeSpinLock(&g_lock);
    // Signalled, so only the IRQL makes the wait wrong.
    KeInitializeEvent(&g_ready, NotificationEvent, TRUE);
    return NvTestSimpleEntry(DriverObject, 0, NvTestDeviceControl, NvTestDeleteDevices);
}
