// The capture minidriver's per-receiver record, its per-request scratch
// record, the driver-wide values, and the adapter entry points.
#pragma once

#include "../platform/platform.h"

// Pool tags, stored as the platform stores them: first character lowest.
#define NV_TAG(a, b, c, d) ((ULONG)(UCHAR)(a) | ((ULONG)(UCHAR)(b) << 8) | ((ULONG)(UCHAR)(c) << 16) | ((ULONG)(UCHAR)(d) << 24))
#define NV_POOL_TAG NV_TAG('W', 'd', 'm', ' ')          // every block
#define NV_BULK_URB_TAG NV_TAG('V', 'b', 'q', ' ')      // the bulk-read URB lookaside list
#define NV_REGISTRY_TAG NV_TAG('S', 'P', '_', 'V')      // the registry query buffer

// One stream is described; the records keep room for four stream numbers.
#define NV_MAX_STREAMS 4
#define NV_NUMBER_OF_STREAMS 1

struct _STREAM_EXTENSION;
struct _USB_DEVICE_CONTEXT;

// A 5-byte status answer of the firmware.
typedef struct _DEVICE_STATUS_BLOCK {
    UCHAR Bytes[5];
} DEVICE_STATUS_BLOCK, *PDEVICE_STATUS_BLOCK;

// Pending FIFO and busy flag of a RequestSerializer; the one SerializerLock
// of the adapter guards all of them.
typedef struct _SERIALIZER_QUEUE {
    LIST_ENTRY Pending;
    ULONG Busy;
} SERIALIZER_QUEUE, *PSERIALIZER_QUEUE;

typedef struct _ADAPTER_EXTENSION {
    struct _STREAM_EXTENSION *StreamExtensions[NV_MAX_STREAMS];
    ULONG StreamOpenCounts[NV_MAX_STREAMS];
    PDEVICE_OBJECT RealPhysicalDeviceObject;
    DEVICE_POWER_STATE DevicePowerState;
    ULONG SerializerReady;
    KSPIN_LOCK SerializerLock;
    SERIALIZER_QUEUE AdapterSerializer;
    // The ReadQueue of each stream number.
    LIST_ENTRY ReadQueueLists[NV_MAX_STREAMS];
    KSPIN_LOCK ReadQueueLocks[NV_MAX_STREAMS];
    LONG ReadQueueCounts[NV_MAX_STREAMS];
    // The stream control serializer of each stream number.
    LIST_ENTRY StreamSerializerPending[NV_MAX_STREAMS];
    ULONG StreamSerializerBusy[NV_MAX_STREAMS];
    ULONG InstanceNumber;
    struct _USB_DEVICE_CONTEXT *UsbDeviceContext;
    KEVENT SyncRequestEvent;
    // Held (not signalled) while a synchronous USB request is in flight:
    // SyncRequestEvent serves one request at a time.
    KEVENT SyncRequestGate;
    PUCHAR ReplyBuffer;  // 64 bytes
    ULONG ReplyLength;
    PDEVICE_STATUS_BLOCK FirstStatusBlock;
#if !NORVANE_WIN2000
    PDEVICE_STATUS_BLOCK SecondStatusBlock;
#endif
    NPAGED_LOOKASIDE_LIST BulkUrbLookaside;
    ULONG BulkUrbLookasideReady;  // BulkUrbLookaside is initialised and must be deleted
    UNICODE_STRING SymbolicLinkName;
    HANDLE RecordFileHandle;
    CHAR RecordFilePath[80];
    ULONG Recording;
    ULONG RecordStopRequested;
    LIST_ENTRY RecordWriteList;
    ULONG OSVersionCode;
} ADAPTER_EXTENSION, *PADAPTER_EXTENSION;

// Where a read request stands. Changed only under the request's ReadQueue
// lock; see capture/stream/readqueue.cpp for who may do what in each state.
typedef enum _READ_STATE {
    ReadQueued = 1,       // in the ReadQueue, its transfer being built
    ReadCancelledUnsent,  // cancelled before its transfer was sent
    ReadInFlight,         // its transfer (UsbIrp) is live
    ReadCancelling,       // in flight, taken off the queue by a canceller
    ReadNoTransfer,       // queued with no transfer; only its cancel ends it
    ReadHandedOn,         // its frame waits for the recording worker
    ReadFinished          // its completer holds it; nobody else touches it
} READ_STATE;

// The stream class allocates one with every request, uninitialised.
typedef struct _SRB_EXTENSION {
    LIST_ENTRY SerializerLink;  // linked only while the request waits in a FIFO
    PHW_STREAM_REQUEST_BLOCK Srb;
    PIRP UsbIrp;                // the transfer serving a read; live only in ReadInFlight
    LONG ReadState;             // READ_STATE of a read
} SRB_EXTENSION, *PSRB_EXTENSION;

FORCEINLINE PSRB_EXTENSION SrbExtensionOf(PHW_STREAM_REQUEST_BLOCK Srb)
{
    return (PSRB_EXTENSION)Srb->SRBExtension;
}

// Read counters and error indicators shared by every adapter; changed
// without a lock.
typedef struct _STREAM_STATISTICS {
    LONG isochReadCnt;
    LONG bulkReadCnt;
    ULONG isochTotalCnt;
    ULONG bulkTotalCnt;
    ULONG recordedByteCnt;
    UCHAR readErrorFlags;
#if !NORVANE_WIN2000
    UCHAR readErrorCnt;
#endif
} STREAM_STATISTICS;

extern ULONG TsFrameSize;
extern ULONG AdapterInstanceCounter;
extern KSPIN_MEDIUM FilterMedium;
#if !NORVANE_WIN2000
extern ULONG CsdVersion;
#endif
extern STREAM_STATISTICS StreamStatistics;

NV_EXTERN_C_BEGIN
DRIVER_INITIALIZE DriverEntry;
NV_EXTERN_C_END

// Adapter entry points, called by the stream class concurrently at up to
// DISPATCH_LEVEL (adapter requests at PASSIVE_LEVEL).
VOID STREAMAPI ReceiveAdapterRequest(PHW_STREAM_REQUEST_BLOCK Srb);
VOID STREAMAPI CancelRequest(PHW_STREAM_REQUEST_BLOCK Srb);
VOID STREAMAPI RequestTimedOut(PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS STREAMAPI DeviceEventHandler(PHW_EVENT_DESCRIPTOR EventDescriptor);

// Hands an adapter request back to the stream class. Do not touch the
// request after this.
VOID CompleteAdapterRequest(PHW_STREAM_REQUEST_BLOCK Srb);

// Adapter initialisation and teardown, run by the adapter dispatcher.
VOID InitializeAdapter(PHW_STREAM_REQUEST_BLOCK Srb);
VOID CompleteInitialization(PHW_STREAM_REQUEST_BLOCK Srb);
VOID UninitializeAdapter(PHW_STREAM_REQUEST_BLOCK Srb);
#if !NORVANE_WIN2000
NTSTATUS QueryServicePack(PULONG CsdVersionOut);
#endif
