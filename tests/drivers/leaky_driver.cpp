// A faulty test driver that leaves one resource behind at unload. Built
// once per resource, chosen by NVTEST_LEAK:
//   NVTEST_LEAK_POOL       a pool block allocated in DriverEntry, never freed
//   NVTEST_LEAK_DEVICE     its device object, never deleted
//   NVTEST_LEAK_LOOKASIDE  a lookaside list, never deleted

#include "simple_driver.h"

#define NVTEST_LEAK_POOL 1
#define NVTEST_LEAK_DEVICE 2
#define NVTEST_LEAK_LOOKASIDE 3

#if !defined(NVTEST_LEAK) || NVTEST_LEAK < NVTEST_LEAK_POOL || NVTEST_LEAK > NVTEST_LEAK_LOOKASIDE
#error "NVTEST_LEAK must name the resource the driver leaks"
#endif

namespace {

const ULONG kLeakTag = NvTestTag('N', 'v', 'L', 'k');

#if NVTEST_LEAK == NVTEST_LEAK_LOOKASIDE
NPAGED_LOOKASIDE_LIST g_list;
#endif

NTSTATUS NTAPI NvTestDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

VOID NTAPI NvTestUnload(PDRIVER_OBJECT DriverObject)
{
#if NVTEST_LEAK == NVTEST_LEAK_DEVICE
    UNREFERENCED_PARAMETER(DriverObject);
#else
    NvTestDeleteDevices(DriverObject);
#endif
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    const NTSTATUS status = NvTestSimpleEntry(DriverObject, 0, NvTestDeviceControl, NvTestUnload);
    if (!NT_SUCCESS(status))
        return status;
#if NVTEST_LEAK == NVTEST_LEAK_POOL
    if (ExAllocatePoolWithTag(NonPagedPool, 40, kLeakTag) == NULL) {
        NvTestDeleteDevices(DriverObject);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
#elif NVTEST_LEAK == NVTEST_LEAK_LOOKASIDE
    ExInitializeNPagedLookasideList(&g_list, NULL, NULL, 0, 24, kLeakTag, 0);
#endif
    return STATUS_SUCCESS;
}
