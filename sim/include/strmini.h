/*
 * strmini.h - the interface between the stream class driver and its
 * minidrivers: registration, stream request blocks (SRBs), stream and
 * device descriptions, and the notification routines through which a
 * minidriver hands requests back.
 *
 * Layouts follow the 32-bit x86 platform (see wdm.h): HW_INITIALIZATION_DATA
 * is 60 bytes there, HW_STREAM_HEADER 40 and HW_STREAM_INFORMATION 80.
 */
#ifndef NORVANE_SIM_STRMINI_H
#define NORVANE_SIM_STRMINI_H

#include <wdm.h>
#include <ks.h>

/* ------------------------------------------------------------------ */
/* Kernel types a minidriver sees only through this header.             */
/* The platform declares them with the bus and interrupt interfaces; a  */
/* wdm.h that provides them defines NV_WDM_HAS_BUS_TYPES.               */

#ifndef NV_WDM_HAS_BUS_TYPES
typedef enum _INTERFACE_TYPE {
    InterfaceTypeUndefined = -1,
    Internal,
    Isa,
    Eisa,
    MicroChannel,
    TurboChannel,
    PCIBus,
    VMEBus,
    NuBus,
    PCMCIABus,
    CBus,
    MPIBus,
    MPSABus,
    ProcessorInternal,
    InternalPowerBus,
    PNPISABus,
    PNPBus,
    MaximumInterfaceType
} INTERFACE_TYPE, *PINTERFACE_TYPE;

typedef enum _KINTERRUPT_MODE {
    LevelSensitive,
    Latched
} KINTERRUPT_MODE;
#endif

typedef struct _KINTERRUPT *PKINTERRUPT;
typedef struct _ADAPTER_OBJECT *PADAPTER_OBJECT;

/* Stream and property status values the class and its minidrivers use. */
#ifndef STATUS_NO_DATA_DETECTED
#define STATUS_NO_DATA_DETECTED ((NTSTATUS)0x80000022L)
#endif
#ifndef STATUS_NO_MATCH
#define STATUS_NO_MATCH ((NTSTATUS)0xC0000272L)
#endif

/* FileAlignment values of KSALLOCATOR_FRAMING: masks of low address bits. */
#ifndef FILE_BYTE_ALIGNMENT
#define FILE_BYTE_ALIGNMENT     0x00000000
#define FILE_WORD_ALIGNMENT     0x00000001
#define FILE_LONG_ALIGNMENT     0x00000003
#define FILE_QUAD_ALIGNMENT     0x00000007
#define FILE_OCTA_ALIGNMENT     0x0000000f
#define FILE_32_BYTE_ALIGNMENT  0x0000001f
#define FILE_64_BYTE_ALIGNMENT  0x0000003f
#define FILE_128_BYTE_ALIGNMENT 0x0000007f
#define FILE_256_BYTE_ALIGNMENT 0x000000ff
#define FILE_512_BYTE_ALIGNMENT 0x000001ff
#endif

/* ------------------------------------------------------------------ */
/* Basic types                                                          */

typedef PHYSICAL_ADDRESS STREAM_PHYSICAL_ADDRESS, *PSTREAM_PHYSICAL_ADDRESS;
typedef ULONGLONG STREAM_SYSTEM_TIME, *PSTREAM_SYSTEM_TIME;
typedef ULONGLONG STREAM_TIMESTAMP, *PSTREAM_TIMESTAMP;

struct _HW_STREAM_REQUEST_BLOCK;
struct _HW_STREAM_OBJECT;
struct _HW_TIME_CONTEXT;
struct _HW_EVENT_DESCRIPTOR;
struct _PORT_CONFIGURATION_INFORMATION;
struct _HW_DEVICE_EXTENSION;    /* the minidriver's own; never defined here */

typedef struct _ACCESS_RANGE {
    STREAM_PHYSICAL_ADDRESS RangeStart;
    ULONG RangeLength;
    BOOLEAN RangeInMemory;
    ULONG Reserved;
} ACCESS_RANGE, *PACCESS_RANGE;

typedef struct {
    STREAM_PHYSICAL_ADDRESS PhysicalAddress;
    ULONG Length;
} KSSCATTER_GATHER, *PKSSCATTER_GATHER;

/* ------------------------------------------------------------------ */
/* Routines the minidriver supplies                                     */

/* Adapter (device-level) requests; also the per-stream data and control
 * routines. The routine owns the SRB until it completes it. */
typedef VOID (STREAMAPI *PHW_RECEIVE_DEVICE_SRB)(struct _HW_STREAM_REQUEST_BLOCK *SRB);
typedef VOID (STREAMAPI *PHW_RECEIVE_STREAM_DATA_SRB)(struct _HW_STREAM_REQUEST_BLOCK *SRB);
typedef VOID (STREAMAPI *PHW_RECEIVE_STREAM_CONTROL_SRB)(struct _HW_STREAM_REQUEST_BLOCK *SRB);
/* The class gives up on an SRB (client cancel, pin close); the minidriver
 * completes it soon, through the usual notification. */
typedef VOID (STREAMAPI *PHW_CANCEL_SRB)(struct _HW_STREAM_REQUEST_BLOCK *SRB);
/* TimeoutCounter of a pending SRB reached zero. */
typedef VOID (STREAMAPI *PHW_REQUEST_TIMEOUT_HANDLER)(struct _HW_STREAM_REQUEST_BLOCK *SRB);
typedef BOOLEAN (STREAMAPI *PHW_INTERRUPT)(PVOID DeviceExtension);
/* Enable or disable of an event, device-level or per stream. */
typedef NTSTATUS (STREAMAPI *PHW_EVENT_ROUTINE)(struct _HW_EVENT_DESCRIPTOR *EventDescriptor);
typedef VOID (STREAMAPI *PHW_CLOCK_FUNCTION)(struct _HW_TIME_CONTEXT *HwTimeContext);
typedef VOID (STREAMAPI *PHW_QUERY_CLOCK_ROUTINE)(struct _HW_TIME_CONTEXT *TimeContext);
typedef VOID (STREAMAPI *PHW_PRIORITY_ROUTINE)(PVOID Context);
typedef VOID (STREAMAPI *PHW_TIMER_ROUTINE)(PVOID Context);

/* ------------------------------------------------------------------ */
/* Clocks                                                               */

typedef enum {
    TIME_GET_STREAM_TIME,
    TIME_READ_ONBOARD_CLOCK,
    TIME_SET_ONBOARD_CLOCK
} TIME_FUNCTION;

typedef struct _HW_TIME_CONTEXT {
    struct _HW_DEVICE_EXTENSION *HwDeviceExtension;
    struct _HW_STREAM_OBJECT *HwStreamObject;
    TIME_FUNCTION Function;
    ULONGLONG Time;
    ULONGLONG SystemTime;
} HW_TIME_CONTEXT, *PHW_TIME_CONTEXT;

#define CLOCK_SUPPORT_CAN_SET_ONBOARD_CLOCK  0x00000001
#define CLOCK_SUPPORT_CAN_READ_ONBOARD_CLOCK 0x00000002
#define CLOCK_SUPPORT_CAN_RETURN_STREAM_TIME 0x00000004

typedef struct _HW_CLOCK_OBJECT {
    PHW_CLOCK_FUNCTION HwClockFunction;
    ULONG ClockSupportFlags;        /* CLOCK_SUPPORT_* */
    ULONG_PTR Reserved[2];
} HW_CLOCK_OBJECT, *PHW_CLOCK_OBJECT;

typedef struct _STREAM_TIME_REFERENCE {
    STREAM_TIMESTAMP CurrentOnboardClockValue;
    LARGE_INTEGER OnboardClockFrequency;
    LARGE_INTEGER CurrentSystemTime;
    ULONG Reserved[2];
} STREAM_TIME_REFERENCE, *PSTREAM_TIME_REFERENCE;

/* ------------------------------------------------------------------ */
/* Stream and device descriptions (answer to SRB_GET_STREAM_INFO)       */

/* One stream (pin type) of the filter. 80 bytes on x86. */
typedef struct _HW_STREAM_INFORMATION {
    ULONG NumberOfPossibleInstances;
    KSPIN_DATAFLOW DataFlow;
    BOOLEAN DataAccessible;
    ULONG NumberOfFormatArrayEntries;
    PKSDATAFORMAT *StreamFormatsArray;
    PVOID ClassReserved[4];
    ULONG NumStreamPropArrayEntries;
    PKSPROPERTY_SET StreamPropertiesArray;
    ULONG NumStreamEventArrayEntries;
    PKSEVENT_SET StreamEventsArray;
    GUID *Category;
    GUID *Name;
    ULONG MediumsCount;
    const KSPIN_MEDIUM *Mediums;
    BOOLEAN BridgeStream;
    ULONG Reserved[2];
} HW_STREAM_INFORMATION, *PHW_STREAM_INFORMATION;

/* The filter as a whole. 40 bytes on x86; NumberOfStreams
 * HW_STREAM_INFORMATION of SizeOfHwStreamInformation bytes each follow it
 * in the descriptor. */
typedef struct _HW_STREAM_HEADER {
    ULONG NumberOfStreams;
    ULONG SizeOfHwStreamInformation;
    ULONG NumDevPropArrayEntries;
    PKSPROPERTY_SET DevicePropertiesArray;
    ULONG NumDevEventArrayEntries;
    PKSEVENT_SET DeviceEventsArray;
    PKSTOPOLOGY Topology;
    PHW_EVENT_ROUTINE DeviceEventRoutine;
    LONG NumDevMethodArrayEntries;
    PKSMETHOD_SET DeviceMethodsArray;
} HW_STREAM_HEADER, *PHW_STREAM_HEADER;

typedef struct _HW_STREAM_DESCRIPTOR {
    HW_STREAM_HEADER StreamHeader;
    HW_STREAM_INFORMATION StreamInfo;   /* first of NumberOfStreams */
} HW_STREAM_DESCRIPTOR, *PHW_STREAM_DESCRIPTOR;

/* ------------------------------------------------------------------ */
/* Stream objects                                                       */

/* One open stream. The class fills SizeOfThisPacket, StreamNumber,
 * HwStreamExtension and HwDeviceExtension before SRB_OPEN_STREAM; the
 * minidriver fills the routines and the access mode while it opens. */
typedef struct _HW_STREAM_OBJECT {
    ULONG SizeOfThisPacket;
    ULONG StreamNumber;
    PVOID HwStreamExtension;
    PHW_RECEIVE_STREAM_DATA_SRB ReceiveDataPacket;
    PHW_RECEIVE_STREAM_CONTROL_SRB ReceiveControlPacket;
    HW_CLOCK_OBJECT HwClockObject;
    BOOLEAN Dma;            /* data buffers are described for bus-master DMA */
    BOOLEAN Pio;            /* KSSTREAM_HEADER.Data is a system address */
    PVOID HwDeviceExtension;
    ULONG StreamHeaderMediaSpecific;    /* bytes after each KSSTREAM_HEADER */
    ULONG StreamHeaderWorkspace;
    BOOLEAN Allocator;
    PHW_EVENT_ROUTINE HwEventRoutine;
    ULONG Reserved[2];
} HW_STREAM_OBJECT, *PHW_STREAM_OBJECT;

/* ------------------------------------------------------------------ */
/* Request contents                                                     */

/* CommandData.PropertyInfo of the property SRBs. PropertySetID is the
 * index of the set in the table the minidriver registered. */
typedef struct _STREAM_PROPERTY_DESCRIPTOR {
    PKSPROPERTY Property;
    ULONG PropertySetID;
    PVOID PropertyInfo;         /* the data buffer */
    ULONG PropertyInputSize;    /* bytes of the KSPROPERTY request */
    ULONG PropertyOutputSize;   /* bytes of the data buffer */
} STREAM_PROPERTY_DESCRIPTOR, *PSTREAM_PROPERTY_DESCRIPTOR;

typedef struct _STREAM_METHOD_DESCRIPTOR {
    ULONG MethodSetID;
    PKSMETHOD Method;
    PVOID MethodInfo;
    LONG MethodInputSize;
    LONG MethodOutputSize;
} STREAM_METHOD_DESCRIPTOR, *PSTREAM_METHOD_DESCRIPTOR;

/* CommandData.IntersectInfo of SRB_GET_DATA_INTERSECTION. A buffer of
 * sizeof(ULONG) asks only for the size of the matching format. */
typedef struct _STREAM_DATA_INTERSECT_INFO {
    ULONG StreamNumber;
    PKSDATARANGE DataRange;
    PVOID DataFormatBuffer;
    ULONG SizeOfDataFormatBuffer;
} STREAM_DATA_INTERSECT_INFO, *PSTREAM_DATA_INTERSECT_INFO;

/* Argument of the event routines. */
typedef struct _HW_EVENT_DESCRIPTOR {
    BOOLEAN Enable;             /* TRUE to enable, FALSE to disable */
    PKSEVENT_ENTRY EventEntry;
    PKSEVENTDATA EventData;
    union {
        struct _HW_STREAM_OBJECT *StreamObject;         /* stream events */
        struct _HW_DEVICE_EXTENSION *DeviceExtension;   /* device events */
    };
    ULONG EnableEventSetIndex;
    PVOID HwInstanceExtension;
    ULONG Reserved;
} HW_EVENT_DESCRIPTOR, *PHW_EVENT_DESCRIPTOR;

/* ------------------------------------------------------------------ */
/* Stream request blocks                                                */

typedef enum _SRB_COMMAND {
    /* Stream requests, to ReceiveDataPacket or ReceiveControlPacket. */
    SRB_READ_DATA,
    SRB_WRITE_DATA,
    SRB_GET_STREAM_STATE,
    SRB_SET_STREAM_STATE,
    SRB_SET_STREAM_PROPERTY,
    SRB_GET_STREAM_PROPERTY,
    SRB_OPEN_MASTER_CLOCK,
    SRB_INDICATE_MASTER_CLOCK,
    SRB_UNKNOWN_STREAM_COMMAND,
    SRB_SET_STREAM_RATE,
    SRB_PROPOSE_DATA_FORMAT,
    SRB_CLOSE_MASTER_CLOCK,
    SRB_PROPOSE_STREAM_RATE,
    SRB_SET_DATA_FORMAT,
    SRB_GET_DATA_FORMAT,
    SRB_BEGIN_FLUSH,
    SRB_END_FLUSH,

    /* Adapter requests, to HwReceivePacket. */
    SRB_GET_STREAM_INFO = 0x100,
    SRB_OPEN_STREAM,
    SRB_CLOSE_STREAM,
    SRB_OPEN_DEVICE_INSTANCE,
    SRB_CLOSE_DEVICE_INSTANCE,
    SRB_GET_DEVICE_PROPERTY,
    SRB_SET_DEVICE_PROPERTY,
    SRB_INITIALIZE_DEVICE,
    SRB_CHANGE_POWER_STATE,
    SRB_UNINITIALIZE_DEVICE,
    SRB_UNKNOWN_DEVICE_COMMAND,
    SRB_PAGING_OUT_DRIVER,
    SRB_GET_DATA_INTERSECTION,
    SRB_INITIALIZATION_COMPLETE,
    SRB_SURPRISE_REMOVAL,
    SRB_DEVICE_METHOD,
    SRB_STREAM_METHOD
} SRB_COMMAND;

/* Flags of an SRB, set by the class. */
#define SRB_HW_FLAGS_DATA_TRANSFER  0x00000001
#define SRB_HW_FLAGS_STREAM_REQUEST 0x00000002

typedef struct _HW_STREAM_REQUEST_BLOCK {
    ULONG SizeOfThisPacket;
    SRB_COMMAND Command;
    NTSTATUS Status;            /* the minidriver's answer */
    PHW_STREAM_OBJECT StreamObject;     /* stream requests only */
    PVOID HwDeviceExtension;
    PVOID SRBExtension;         /* PerRequestExtensionSize bytes, the minidriver's */
    union _CommandData {
        PKSSTREAM_HEADER DataBufferArray;       /* SRB_READ_DATA, SRB_WRITE_DATA */
        PHW_STREAM_DESCRIPTOR StreamBuffer;     /* SRB_GET_STREAM_INFO */
        KSSTATE StreamState;                    /* SRB_GET/SET_STREAM_STATE */
        PSTREAM_TIME_REFERENCE TimeReference;
        PSTREAM_PROPERTY_DESCRIPTOR PropertyInfo;   /* property SRBs */
        PKSDATAFORMAT OpenFormat;       /* SRB_OPEN_STREAM, data format SRBs */
        struct _PORT_CONFIGURATION_INFORMATION *ConfigInfo;  /* SRB_INITIALIZE_DEVICE */
        HANDLE MasterClockHandle;       /* SRB_INDICATE_MASTER_CLOCK */
        DEVICE_POWER_STATE DeviceState; /* SRB_CHANGE_POWER_STATE */
        PSTREAM_DATA_INTERSECT_INFO IntersectInfo;  /* SRB_GET_DATA_INTERSECTION */
        PSTREAM_METHOD_DESCRIPTOR MethodInfo;
        LONG FilterTypeIndex;
        BOOLEAN Wakeup;
    } CommandData;
    ULONG NumberOfBuffers;      /* KSSTREAM_HEADERs at DataBufferArray */
    ULONG TimeoutCounter;       /* seconds left; counted down by the class */
    ULONG TimeoutOriginal;      /* 0: never times out */
    struct _HW_STREAM_REQUEST_BLOCK *NextSRB;
    PIRP Irp;                   /* the IRP the request came in */
    ULONG Flags;                /* SRB_HW_FLAGS_* */
    PVOID HwInstanceExtension;
    union {
        ULONG NumberOfBytesToTransfer;
        ULONG ActualBytesTransferred;   /* bytes answered, returned to the client */
    };
    PKSSCATTER_GATHER ScatterGatherBuffer;
    ULONG NumberOfPhysicalPages;
    ULONG NumberOfScatterGatherElements;
    ULONG Reserved[1];
} HW_STREAM_REQUEST_BLOCK, *PHW_STREAM_REQUEST_BLOCK;

/* CommandData.ConfigInfo of SRB_INITIALIZE_DEVICE. The minidriver sets
 * StreamDescriptorSize: the buffer size the class then passes with
 * SRB_GET_STREAM_INFO. RealPhysicalDeviceObject is the bus driver's PDO,
 * the target of the minidriver's own requests to its device. */
typedef struct _PORT_CONFIGURATION_INFORMATION {
    ULONG SizeOfThisPacket;
    PVOID HwDeviceExtension;
    PDEVICE_OBJECT ClassDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    ULONG SystemIoBusNumber;
    INTERFACE_TYPE AdapterInterfaceType;
    ULONG BusInterruptLevel;
    ULONG BusInterruptVector;
    KINTERRUPT_MODE InterruptMode;
    ULONG DmaChannel;
    ULONG NumberOfAccessRanges;
    PACCESS_RANGE AccessRanges;
    ULONG StreamDescriptorSize;
    PIRP Irp;
    PKINTERRUPT InterruptObject;
    PADAPTER_OBJECT DmaAdapterObject;
    PDEVICE_OBJECT RealPhysicalDeviceObject;
    ULONG Reserved[1];
} PORT_CONFIGURATION_INFORMATION, *PPORT_CONFIGURATION_INFORMATION;

/* ------------------------------------------------------------------ */
/* Registration                                                         */

/* What a minidriver tells the class in DriverEntry. HwInitializationDataSize
 * must be sizeof(HW_INITIALIZATION_DATA): 60 bytes on x86. */
typedef struct _HW_INITIALIZATION_DATA {
    union {
        ULONG HwInitializationDataSize;
        struct {
            USHORT SizeOfThisPacket;
            USHORT StreamClassVersion;
        };
    };
    PHW_INTERRUPT HwInterrupt;
    PHW_RECEIVE_DEVICE_SRB HwReceivePacket;
    PHW_CANCEL_SRB HwCancelPacket;
    PHW_REQUEST_TIMEOUT_HANDLER HwRequestTimeoutHandler;
    ULONG DeviceExtensionSize;          /* zero-filled by the class */
    ULONG PerRequestExtensionSize;      /* SRBExtension of every SRB */
    ULONG PerStreamExtensionSize;       /* HwStreamExtension of every stream */
    ULONG FilterInstanceExtensionSize;
    BOOLEAN BusMasterDMA;
    BOOLEAN Dma24BitAddresses;
    ULONG BufferAlignment;              /* mask: 3 aligns buffers to 4 bytes */
    BOOLEAN TurnOffSynchronization;     /* TRUE: the minidriver serialises itself */
    ULONG DmaBufferSize;
    /* Before the name extensions were added these eight bytes (on x86)
     * were Reserved[2]; both spellings name the same storage. */
    union {
        struct {
            ULONG NumNameExtensions;
            PWCHAR *NameExtensionArray;
        };
        ULONG Reserved[2];
    };
} HW_INITIALIZATION_DATA, *PHW_INITIALIZATION_DATA;

/* ------------------------------------------------------------------ */
/* Notifications from the minidriver                                    */

typedef enum _STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE {
    ReadyForNextStreamDataRequest,
    ReadyForNextStreamControlRequest,
    HardwareStarved,
    StreamRequestComplete,          /* (..., PHW_STREAM_REQUEST_BLOCK) */
    SignalMultipleStreamEvents,     /* (..., GUID *EventSet, ULONG EventId) */
    SignalStreamEvent,              /* (..., PKSEVENT_ENTRY) */
    DeleteStreamEvent,              /* (..., PKSEVENT_ENTRY) */
    StreamNotificationMaximum
} STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE, *PSTREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE;

typedef enum _STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE {
    ReadyForNextDeviceRequest,
    DeviceRequestComplete,          /* (..., PHW_STREAM_REQUEST_BLOCK) */
    SignalMultipleDeviceEvents,     /* (..., GUID *EventSet, ULONG EventId) */
    SignalDeviceEvent,              /* (..., PKSEVENT_ENTRY) */
    DeleteDeviceEvent,              /* (..., PKSEVENT_ENTRY) */
    SignalMultipleDeviceInstanceEvents,
    DeviceNotificationMaximum
} STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE, *PSTREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE;

typedef enum _STREAM_BUFFER_TYPE {
    PerRequestExtension,
    DmaBuffer,
    SRBDataBuffer
} STREAM_BUFFER_TYPE;

typedef enum _STREAM_PRIORITY {
    High,
    Dispatch,
    Low,
    LowToHigh
} STREAM_PRIORITY, *PSTREAM_PRIORITY;

/* ------------------------------------------------------------------ */
/* Stream class routines                                                */

/* The class exports the registration routine as
 * StreamClassRegisterMinidriver; minidrivers call it by its documented
 * name. */
#define StreamClassRegisterAdapter StreamClassRegisterMinidriver

NV_EXTERN_C_BEGIN

/* DriverEntry of a minidriver: Argument1 and Argument2 are its driver
 * object and registry path. PASSIVE_LEVEL. */
NTSTATUS STREAMAPI StreamClassRegisterMinidriver(PVOID Argument1, PVOID Argument2,
                                                 PHW_INITIALIZATION_DATA HwInitializationData);

/* Hands an adapter request back (DeviceRequestComplete) or signals a
 * device event (SignalDeviceEvent). The trailing arguments depend on the
 * notification type. Up to DISPATCH_LEVEL. */
VOID STREAMAPI StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType,
                                             PVOID HwDeviceExtension, ...);

/* The same for stream requests and stream events. Up to DISPATCH_LEVEL. */
VOID STREAMAPI StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE NotificationType,
                                             PHW_STREAM_OBJECT StreamObject, ...);

/* The enabled event entry after CurrentEvent (the first one when
 * CurrentEvent is NULL) of the given set and id, or NULL. HwStreamObject
 * NULL selects device events. */
PKSEVENT_ENTRY STREAMAPI StreamClassGetNextEvent(PVOID HwInstanceExtension_OR_HwDeviceExtension,
                                                 PHW_STREAM_OBJECT HwStreamObject, GUID *EventGuid,
                                                 ULONG EventItem, PKSEVENT_ENTRY CurrentEvent);

/* Records the filter's category, its pins' directions (TRUE: output) and
 * mediums for graph builders. PASSIVE_LEVEL. */
NTSTATUS STREAMAPI StreamClassRegisterFilterWithNoKSPins(PDEVICE_OBJECT DeviceObject,
                                                         const GUID *InterfaceClassGUID, ULONG PinCount,
                                                         BOOL *PinDirection, KSPIN_MEDIUM *MediumList,
                                                         GUID *CategoryList);

/* The common buffer of DmaBufferSize bytes allocated at registration. */
PVOID STREAMAPI StreamClassGetDmaBuffer(PVOID HwDeviceExtension);

/* Asks the class to complete every pending request of StreamObject (all
 * streams when NULL) with Status; the minidriver's cancel routine is
 * called for each. */
VOID STREAMAPI StreamClassAbortOutstandingRequests(PVOID HwDeviceExtension, PHW_STREAM_OBJECT HwStreamObject,
                                                   NTSTATUS Status);

/* Runs Routine once, after at least NumberOfMicroseconds; 0 cancels the
 * stream's (or the device's) pending timer. */
VOID STREAMAPI StreamClassScheduleTimer(PHW_STREAM_OBJECT StreamObject, PVOID HwDeviceExtension,
                                        ULONG NumberOfMicroseconds, PHW_TIMER_ROUTINE TimerRoutine,
                                        PVOID Context);

/* Runs Routine at the given priority (LowToHigh: back from Low). */
VOID STREAMAPI StreamClassCallAtNewPriority(PHW_STREAM_OBJECT StreamObject, PVOID HwDeviceExtension,
                                            STREAM_PRIORITY Priority, PHW_PRIORITY_ROUTINE PriorityRoutine,
                                            PVOID Context);

VOID STREAMAPI StreamClassQueryMasterClock(PHW_STREAM_OBJECT HwStreamObject, HANDLE MasterClockHandle,
                                           TIME_FUNCTION TimeFunction, PHW_QUERY_CLOCK_ROUTINE ClockCallbackRoutine);
VOID STREAMAPI StreamClassQueryMasterClockSync(HANDLE MasterClockHandle, PHW_TIME_CONTEXT TimeContext);

NV_EXTERN_C_END

#endif /* NORVANE_SIM_STRMINI_H */
