// DriverEntry and the driver-wide values.

#include "adapter.h"
#include "../stream/stream.h"

ULONG DebugLevel;
ULONG TsFrameSize = 4096;
ULONG AdapterInstanceCounter;
KSPIN_MEDIUM FilterMedium;  // Set GUID_NULL, Id 0, Flags 0
#if !NORVANE_WIN2000
ULONG CsdVersion;
#endif
STREAM_STATISTICS StreamStatistics;

// Registers with the stream class, with the class's own synchronisation
// turned off: the driver serialises its requests itself. Nothing else is set
// up here; every adapter's state is built by its first adapter request.
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    DebugLevel = NORVANE_WIN2000 ? 2 : 1;

    HW_INITIALIZATION_DATA init;
    RtlZeroMemory(&init, sizeof init);
    init.HwInitializationDataSize = sizeof(HW_INITIALIZATION_DATA);
    init.HwInterrupt = NULL;
    init.HwReceivePacket = ReceiveAdapterRequest;
    init.HwCancelPacket = CancelRequest;
    init.HwRequestTimeoutHandler = RequestTimedOut;
    init.DeviceExtensionSize = sizeof(ADAPTER_EXTENSION);
    init.PerRequestExtensionSize = sizeof(SRB_EXTENSION);
    init.PerStreamExtensionSize = sizeof(STREAM_EXTENSION);
    init.FilterInstanceExtensionSize = 0;
    init.BusMasterDMA = FALSE;
    init.Dma24BitAddresses = FALSE;
    init.BufferAlignment = 3;  // buffers aligned to 4 bytes
    init.TurnOffSynchronization = TRUE;
    init.DmaBufferSize = 0;

    return StreamClassRegisterAdapter(DriverObject, RegistryPath, &init);
}
