/* The skeleton the faulty test drivers share: one device object, a
   device-control routine, and an unload routine that deletes the device.
   Each faulty driver adds only its fault. */
#ifndef NVTEST_SIMPLE_DRIVER_H
#define NVTEST_SIMPLE_DRIVER_H

#include "test_driver.h"

/* Deletes every device object the driver still has. */
static inline VOID NTAPI NvTestDeleteDevices(PDRIVER_OBJECT DriverObject)
{
    while (DriverObject->DeviceObject != NULL)
        IoDeleteDevice(DriverObject->DeviceObject);
}

/* The body of a simple driver's DriverEntry: creates its device object with
   an extension of ExtensionSize bytes and installs the routines. On failure
   nothing is left behind. */
static inline NTSTATUS NvTestSimpleEntry(PDRIVER_OBJECT DriverObject, ULONG ExtensionSize,
                                         PDRIVER_DISPATCH DeviceControl, PDRIVER_UNLOAD Unload)
{
    PDEVICE_OBJECT device = NULL;
    const NTSTATUS status =
        IoCreateDevice(DriverObject, ExtensionSize, NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControl;
    DriverObject->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

/* Builds a pool tag from its four characters, first character in the
   lowest byte as the platform stores it. */
static constexpr ULONG NvTestTag(char a, char b, char c, char d)
{
    return ULONG(UCHAR(a)) | ULONG(UCHAR(b)) << 8 | ULONG(UCHAR(c)) << 16 | ULONG(UCHAR(d)) << 24;
}

#endif
