// USB configuration, the synchronous request primitive, and the command
// channel to the receiver's firmware.
#pragma once

#include "../adapter/adapter.h"

// The descriptor copies and the pipe table of one receiver; allocated
// zero-filled by adapter initialisation, released by its teardown.
typedef struct _USB_DEVICE_CONTEXT {
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;  // first wTotalLength bytes valid
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
    PUSBD_INTERFACE_INFORMATION PipeTable;  // NULL until a configuration is selected
} USB_DEVICE_CONTEXT, *PUSB_DEVICE_CONTEXT;

// The pipe table, or NULL while the adapter has none.
FORCEINLINE PUSBD_INTERFACE_INFORMATION PipeTableOf(PADAPTER_EXTENSION Adapter)
{
    return Adapter->UsbDeviceContext == NULL ? NULL : Adapter->UsbDeviceContext->PipeTable;
}

// Pipe indices of the interface the firmware presents.
#define NV_COMMAND_PIPE 0
#define NV_REPLY_PIPE 1
#define NV_STREAM_PIPE 2

// Firmware commands: the first byte of every command block.
enum {
    CMD_TARGET_WRITE_READ = 2,
    CMD_TARGET_WRITE = 3,
    CMD_READ_STATUS = 4,
    CMD_STREAM_CONTROL = 5,
    CMD_RECOVER = 6,
    CMD_WRITE_BLOCK = 7,
    CMD_READ_SECOND_STATUS = 8
};

// All at PASSIVE_LEVEL; they wait for the device.
NTSTATUS SubmitUrbSynchronously(PADAPTER_EXTENSION Adapter, PURB Urb);
NTSTATUS StartUsbDevice(PADAPTER_EXTENSION Adapter);
NTSTATUS ConfigureDevice(PADAPTER_EXTENSION Adapter);
NTSTATUS SelectInterface(PADAPTER_EXTENSION Adapter, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor);
NTSTATUS ResetPipe(PADAPTER_EXTENSION Adapter, ULONG PipeIndex);

// One command-channel transfer, limited to one second. STATUS_SUCCESS when
// the transfer came back in time without failure (a short answer included),
// STATUS_TIMEOUT when it did not come back, else the failure.
NTSTATUS WriteCommand(PADAPTER_EXTENSION Adapter, ULONG PipeIndex, PVOID Buffer, ULONG Length);
NTSTATUS ReadReply(PADAPTER_EXTENSION Adapter, ULONG PipeIndex, PVOID Buffer, ULONG Length);

// Releases what the start sequence keeps in the UsbDeviceContext, and the
// context itself.
VOID FreeUsbDeviceContext(PADAPTER_EXTENSION Adapter);
