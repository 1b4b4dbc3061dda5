/*
 * ks.h - kernel-streaming structures, constants and GUIDs shared by
 * stream class minidrivers, the stream class and user-mode clients.
 *
 * Layouts follow the 32-bit x86 platform (see wdm.h). Every GUID comes in
 * two forms: NAME, an object defined in the translation unit that defines
 * INITGUID, and STATIC_NAME, the bare initialiser list, so that constant
 * tables holding GUIDs by value (data ranges, mediums) are constant
 * aggregates:
 *
 *     const KSDATARANGE Range = {
 *         sizeof(KSDATARANGE), 0, 4096, 0,
 *         {STATICGUIDOF(KSDATAFORMAT_TYPE_STREAM)}, ...
 *     };
 */
#ifndef NORVANE_SIM_KS_H
#define NORVANE_SIM_KS_H

#include <wdm.h>

/* ------------------------------------------------------------------ */
/* GUID helpers                                                         */

#ifndef STATICGUIDOF
#define STATICGUIDOF(guid) STATIC_##guid
#endif

/* DEFINE_GUID with the value taken from STATIC_<name>. The extra level
 * lets STATIC_<name> expand into its eleven values before DEFINE_GUID
 * counts its arguments. */
#ifndef DEFINE_GUIDEX
#define NV_DEFINE_GUID_FROM_LIST(name, ...) DEFINE_GUID(name, __VA_ARGS__)
#define DEFINE_GUIDEX(name) NV_DEFINE_GUID_FROM_LIST(name, STATIC_##name)
#endif

#ifndef SIZEOF_ARRAY
#define SIZEOF_ARRAY(ar) (sizeof(ar) / sizeof((ar)[0]))
#endif

/* ------------------------------------------------------------------ */
/* Identifiers: property, method and event requests, mediums, interfaces */

typedef struct {
    union {
        struct {
            GUID Set;
            ULONG Id;
            ULONG Flags;
        };
        LONGLONG Alignment;
    };
} KSIDENTIFIER, *PKSIDENTIFIER;

typedef KSIDENTIFIER KSPROPERTY, *PKSPROPERTY, **PPKSPROPERTY;
typedef KSIDENTIFIER KSMETHOD, *PKSMETHOD, **PPKSMETHOD;
typedef KSIDENTIFIER KSEVENT, *PKSEVENT, **PPKSEVENT;
typedef KSIDENTIFIER KSPIN_MEDIUM, *PKSPIN_MEDIUM;
typedef KSIDENTIFIER KSPIN_INTERFACE, *PKSPIN_INTERFACE;
typedef KSIDENTIFIER KSDEGRADE, *PKSDEGRADE;

#define KSPROPERTY_TYPE_GET             0x00000001
#define KSPROPERTY_TYPE_SET             0x00000002
#define KSPROPERTY_TYPE_SETSUPPORT      0x00000100
#define KSPROPERTY_TYPE_BASICSUPPORT    0x00000200
#define KSPROPERTY_TYPE_RELATIONS       0x00000400
#define KSPROPERTY_TYPE_SERIALIZESET    0x00000800
#define KSPROPERTY_TYPE_UNSERIALIZESET  0x00001000
#define KSPROPERTY_TYPE_SERIALIZERAW    0x00002000
#define KSPROPERTY_TYPE_UNSERIALIZERAW  0x00004000
#define KSPROPERTY_TYPE_SERIALIZESIZE   0x00008000
#define KSPROPERTY_TYPE_DEFAULTVALUES   0x00010000
#define KSPROPERTY_TYPE_TOPOLOGY        0x10000000

#define KSMETHOD_TYPE_NONE          0x00000000
#define KSMETHOD_TYPE_READ          0x00000001
#define KSMETHOD_TYPE_WRITE         0x00000002
#define KSMETHOD_TYPE_MODIFY        0x00000003
#define KSMETHOD_TYPE_SOURCE        0x00000004
#define KSMETHOD_TYPE_SEND          0x00000001
#define KSMETHOD_TYPE_SETSUPPORT    0x00000100
#define KSMETHOD_TYPE_BASICSUPPORT  0x00000200
#define KSMETHOD_TYPE_TOPOLOGY      0x10000000

#define KSEVENT_TYPE_ENABLE         0x00000001
#define KSEVENT_TYPE_ONESHOT        0x00000002
#define KSEVENT_TYPE_ENABLEBUFFERED 0x00000004
#define KSEVENT_TYPE_SETSUPPORT     0x00000100
#define KSEVENT_TYPE_BASICSUPPORT   0x00000200
#define KSEVENT_TYPE_QUERYBUFFER    0x00000400
#define KSEVENT_TYPE_TOPOLOGY       0x10000000

/* A property, method or event addressed to one node of a filter. */
typedef struct {
    KSPROPERTY Property;
    ULONG NodeId;
    ULONG Reserved;
} KSP_NODE, *PKSP_NODE;

typedef struct {
    KSMETHOD Method;
    ULONG NodeId;
    ULONG Reserved;
} KSM_NODE, *PKSM_NODE;

typedef struct {
    KSEVENT Event;
    ULONG NodeId;
    ULONG Reserved;
} KSE_NODE, *PKSE_NODE;

/* Header of a variable-length answer: Size bytes in all, Count items. */
typedef struct {
    ULONG Size;
    ULONG Count;
} KSMULTIPLE_ITEM, *PKSMULTIPLE_ITEM;

/* ------------------------------------------------------------------ */
/* Basic-support answers                                                */

typedef struct {
    ULONG AccessFlags;
    ULONG DescriptionSize;
    KSIDENTIFIER PropTypeSet;
    ULONG MembersListCount;
    ULONG Reserved;
} KSPROPERTY_DESCRIPTION, *PKSPROPERTY_DESCRIPTION;

#define KSPROPERTY_MEMBER_RANGES        0x00000001
#define KSPROPERTY_MEMBER_STEPPEDRANGES 0x00000002
#define KSPROPERTY_MEMBER_VALUES        0x00000003

#define KSPROPERTY_MEMBER_FLAG_DEFAULT  0x00000001

typedef struct {
    ULONG MembersFlags;
    ULONG MembersSize;
    ULONG MembersCount;
    ULONG Flags;
} KSPROPERTY_MEMBERSHEADER, *PKSPROPERTY_MEMBERSHEADER;

typedef struct {
    KSPROPERTY_MEMBERSHEADER MembersHeader;
    const VOID *Members;
} KSPROPERTY_MEMBERSLIST, *PKSPROPERTY_MEMBERSLIST;

typedef struct {
    KSIDENTIFIER PropTypeSet;
    ULONG MembersListCount;
    const KSPROPERTY_MEMBERSLIST *MembersList;
} KSPROPERTY_VALUES, *PKSPROPERTY_VALUES;

/* ------------------------------------------------------------------ */
/* Property, method and event tables                                    */

struct _KSEVENT_ENTRY;
struct _KSEVENTDATA;

typedef NTSTATUS (NTAPI *PFNKSHANDLER)(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
typedef BOOLEAN (NTAPI *PFNKSFASTHANDLER)(PFILE_OBJECT FileObject, PKSIDENTIFIER Request,
                                          ULONG RequestLength, PVOID Data, ULONG DataLength,
                                          PIO_STATUS_BLOCK IoStatus);
typedef NTSTATUS (NTAPI *PFNKSADDEVENT)(PIRP Irp, struct _KSEVENTDATA *EventData,
                                        struct _KSEVENT_ENTRY *EventEntry);
typedef VOID (NTAPI *PFNKSREMOVEEVENT)(PFILE_OBJECT FileObject, struct _KSEVENT_ENTRY *EventEntry);

/*
 * A handler slot holds either a routine or, for stream class minidrivers,
 * TRUE/FALSE: the class answers the request itself through the
 * minidriver's SRB routine, and only asks whether the direction is
 * supported (a non-NULL slot).
 */
typedef struct {
    ULONG PropertyId;
    union {
        PFNKSHANDLER GetPropertyHandler;
        BOOLEAN GetSupported;
    };
    ULONG MinProperty;
    ULONG MinData;
    union {
        PFNKSHANDLER SetPropertyHandler;
        BOOLEAN SetSupported;
    };
    const KSPROPERTY_VALUES *Values;
    ULONG RelationsCount;
    const KSPROPERTY *Relations;
    PFNKSHANDLER SupportHandler;
    ULONG SerializedSize;
} KSPROPERTY_ITEM, *PKSPROPERTY_ITEM;

typedef struct {
    ULONG PropertyId;
    union {
        PFNKSFASTHANDLER GetPropertyHandler;
        BOOLEAN GetSupported;
    };
    union {
        PFNKSFASTHANDLER SetPropertyHandler;
        BOOLEAN SetSupported;
    };
    ULONG Reserved;
} KSFASTPROPERTY_ITEM, *PKSFASTPROPERTY_ITEM;

typedef struct {
    const GUID *Set;
    ULONG PropertiesCount;
    const KSPROPERTY_ITEM *PropertyItem;
    ULONG FastIoCount;
    const KSFASTPROPERTY_ITEM *FastIoTable;
} KSPROPERTY_SET, *PKSPROPERTY_SET;

typedef struct {
    ULONG MethodId;
    union {
        PFNKSHANDLER MethodHandler;
        BOOLEAN MethodSupported;
    };
    ULONG MinMethod;
    ULONG MinData;
    PFNKSHANDLER SupportHandler;
    ULONG Flags;
} KSMETHOD_ITEM, *PKSMETHOD_ITEM;

typedef struct {
    ULONG MethodId;
    union {
        PFNKSFASTHANDLER MethodHandler;
        BOOLEAN MethodSupported;
    };
} KSFASTMETHOD_ITEM, *PKSFASTMETHOD_ITEM;

typedef struct {
    const GUID *Set;
    ULONG MethodsCount;
    const KSMETHOD_ITEM *MethodItem;
    ULONG FastIoCount;
    const KSFASTMETHOD_ITEM *FastIoTable;
} KSMETHOD_SET, *PKSMETHOD_SET;

typedef struct {
    ULONG EventId;
    ULONG DataInput;        /* minimum KSEVENTDATA size the client passes */
    ULONG ExtraEntryData;   /* bytes kept after each KSEVENT_ENTRY */
    PFNKSADDEVENT AddHandler;
    PFNKSREMOVEEVENT RemoveHandler;
    PFNKSHANDLER SupportHandler;
} KSEVENT_ITEM, *PKSEVENT_ITEM;

typedef struct {
    const GUID *Set;
    ULONG EventsCount;
    const KSEVENT_ITEM *EventItem;
} KSEVENT_SET, *PKSEVENT_SET;

#define DEFINE_KSPROPERTY_TABLE(tablename) const KSPROPERTY_ITEM tablename[] =
#define DEFINE_KSPROPERTY_SET_TABLE(tablename) const KSPROPERTY_SET tablename[] =
#define DEFINE_KSMETHOD_TABLE(tablename) const KSMETHOD_ITEM tablename[] =
#define DEFINE_KSMETHOD_SET_TABLE(tablename) const KSMETHOD_SET tablename[] =
#define DEFINE_KSEVENT_TABLE(tablename) const KSEVENT_ITEM tablename[] =
#define DEFINE_KSEVENT_SET_TABLE(tablename) const KSEVENT_SET tablename[] =

#define DEFINE_KSPROPERTY_ITEM(PropertyId, GetHandler, MinProperty, MinData, SetHandler, Values, \
                               RelationsCount, Relations, SupportHandler, SerializedSize)        \
    {                                                                                            \
        (PropertyId), {(PFNKSHANDLER)(GetHandler)}, (MinProperty), (MinData),                    \
            {(PFNKSHANDLER)(SetHandler)}, (const KSPROPERTY_VALUES *)(Values), (RelationsCount), \
            (const KSPROPERTY *)(Relations), (PFNKSHANDLER)(SupportHandler),                     \
            (ULONG)(SerializedSize)                                                              \
    }

#define DEFINE_KSFASTPROPERTY_ITEM(PropertyId, GetHandler, SetHandler) \
    {                                                                  \
        (PropertyId), {(PFNKSFASTHANDLER)(GetHandler)},                \
            {(PFNKSFASTHANDLER)(SetHandler)}, 0                        \
    }

#define DEFINE_KSPROPERTY_SET(Set, PropertiesCount, PropertyItem, FastIoCount, FastIoTable) \
    {(Set), (PropertiesCount), (PropertyItem), (FastIoCount), (FastIoTable)}

#define DEFINE_KSMETHOD_ITEM(MethodId, Flags, MethodHandler, MinMethod, MinData, SupportHandler) \
    {                                                                                           \
        (MethodId), {(PFNKSHANDLER)(MethodHandler)}, (MinMethod), (MinData),                    \
            (PFNKSHANDLER)(SupportHandler), (Flags)                                             \
    }

#define DEFINE_KSMETHOD_SET(Set, MethodsCount, MethodItem, FastIoCount, FastIoTable) \
    {(Set), (MethodsCount), (MethodItem), (FastIoCount), (FastIoTable)}

#define DEFINE_KSEVENT_ITEM(EventId, DataInput, ExtraEntryData, AddHandler, RemoveHandler, \
                            SupportHandler)                                               \
    {                                                                                     \
        (EventId), (DataInput), (ExtraEntryData), (PFNKSADDEVENT)(AddHandler),            \
            (PFNKSREMOVEEVENT)(RemoveHandler), (PFNKSHANDLER)(SupportHandler)             \
    }

#define DEFINE_KSEVENT_SET(Set, EventsCount, EventItem) {(Set), (EventsCount), (EventItem)}

/* ------------------------------------------------------------------ */
/* Events                                                               */

#define KSEVENTF_EVENT_HANDLE     0x00000001
#define KSEVENTF_SEMAPHORE_HANDLE 0x00000002
#define KSEVENTF_EVENT_OBJECT     0x00000004
#define KSEVENTF_SEMAPHORE_OBJECT 0x00000008
#define KSEVENTF_DPC              0x00000010
#define KSEVENTF_WORKITEM         0x00000020
#define KSEVENTF_KSWORKITEM       0x00000080

typedef struct _KSWORKER *PKSWORKER;

/* What the client asks to be signalled with; NotificationType is one of
 * KSEVENTF_*. Sixteen bytes on x86. */
typedef struct _KSEVENTDATA {
    ULONG NotificationType;
    union {
        struct {
            HANDLE Event;
            ULONG_PTR Reserved[2];
        } EventHandle;
        struct {
            HANDLE Semaphore;
            ULONG Reserved;
            LONG Adjustment;
        } SemaphoreHandle;
        struct {
            PRKEVENT Event;
            KPRIORITY Increment;
            ULONG_PTR Reserved;
        } EventObject;
        struct {
            PKSEMAPHORE Semaphore;
            KPRIORITY Increment;
            LONG Adjustment;
        } SemaphoreObject;
        struct {
            PKDPC Dpc;
            ULONG ReferenceCount;
            ULONG_PTR Reserved;
        } Dpc;
        struct {
            PWORK_QUEUE_ITEM WorkQueueItem;
            WORK_QUEUE_TYPE WorkQueueType;
            ULONG_PTR Reserved;
        } WorkItem;
        struct {
            PWORK_QUEUE_ITEM WorkQueueItem;
            PKSWORKER KsWorkerObject;
            ULONG_PTR Reserved;
        } KsWorkItem;
        struct {
            PVOID Unused;
            LONG_PTR Alignment[2];
        } Alignment;
    };
} KSEVENTDATA, *PKSEVENTDATA;

typedef struct {
    KDPC Dpc;
    ULONG ReferenceCount;
    KSPIN_LOCK AccessLock;
} KSDPC_ITEM, *PKSDPC_ITEM;

typedef struct {
    KSDPC_ITEM DpcItem;
    LIST_ENTRY BufferList;
} KSBUFFER_ITEM, *PKSBUFFER_ITEM;

#define KSEVENT_ENTRY_DELETED  1
#define KSEVENT_ENTRY_ONESHOT  2
#define KSEVENT_ENTRY_BUFFERED 4

/* One enabled event, owned by whoever keeps the list of enabled events
 * (for minidrivers, the stream class). The minidriver reads EventItem to
 * tell which event it is and hands the entry back to be signalled. */
typedef struct _KSEVENT_ENTRY {
    LIST_ENTRY ListEntry;
    PVOID Object;
    union {
        PKSDPC_ITEM DpcItem;
        PKSBUFFER_ITEM BufferItem;
    };
    PKSEVENTDATA EventData;
    ULONG NotificationType;
    const KSEVENT_SET *EventSet;
    const KSEVENT_ITEM *EventItem;
    PFILE_OBJECT FileObject;
    ULONG SemaphoreAdjustment;
    ULONG Reserved;
    ULONG Flags;
} KSEVENT_ENTRY, *PKSEVENT_ENTRY;

/* ------------------------------------------------------------------ */
/* States, time, stream headers                                         */

typedef enum {
    KSSTATE_STOP,
    KSSTATE_ACQUIRE,
    KSSTATE_PAUSE,
    KSSTATE_RUN
} KSSTATE, *PKSSTATE;

typedef enum {
    KSRESET_BEGIN,
    KSRESET_END
} KSRESET;

typedef struct {
    LONGLONG Time;
    ULONG Numerator;
    ULONG Denominator;
} KSTIME, *PKSTIME;

#define KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT       0x00000001
#define KSSTREAM_HEADER_OPTIONSF_PREROLL           0x00000002
#define KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY 0x00000004
#define KSSTREAM_HEADER_OPTIONSF_TYPECHANGED       0x00000008
#define KSSTREAM_HEADER_OPTIONSF_TIMEVALID         0x00000010
#define KSSTREAM_HEADER_OPTIONSF_TIMEDISCONTINUITY 0x00000040
#define KSSTREAM_HEADER_OPTIONSF_FLUSHONPAUSE      0x00000080
#define KSSTREAM_HEADER_OPTIONSF_DURATIONVALID     0x00000100
#define KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM       0x00000200
#define KSSTREAM_HEADER_OPTIONSF_LOOPEDDATA        0x80000000

/* One frame of a read or write: the client's buffer of FrameExtent bytes
 * at Data, of which DataUsed hold valid data. 48 bytes on x86. */
typedef struct {
    ULONG Size;
    ULONG TypeSpecificFlags;
    KSTIME PresentationTime;
    LONGLONG Duration;
    ULONG FrameExtent;
    ULONG DataUsed;
    PVOID Data;
    ULONG OptionsFlags;
#if UINTPTR_MAX != 0xFFFFFFFFu
    ULONG Reserved;
#endif
} KSSTREAM_HEADER, *PKSSTREAM_HEADER;

/* ------------------------------------------------------------------ */
/* Data formats and ranges                                              */

/* Flags of a data format. */
#define KSDATAFORMAT_BIT_TEMPORAL_COMPRESSION 0
#define KSDATAFORMAT_TEMPORAL_COMPRESSION (1 << KSDATAFORMAT_BIT_TEMPORAL_COMPRESSION)
#define KSDATAFORMAT_BIT_ATTRIBUTES 1
#define KSDATAFORMAT_ATTRIBUTES (1 << KSDATAFORMAT_BIT_ATTRIBUTES)

/* Flags of a data range. */
#define KSDATARANGE_BIT_ATTRIBUTES 1
#define KSDATARANGE_ATTRIBUTES (1 << KSDATARANGE_BIT_ATTRIBUTES)
#define KSDATARANGE_BIT_REQUIRED_ATTRIBUTES 2
#define KSDATARANGE_REQUIRED_ATTRIBUTES (1 << KSDATARANGE_BIT_REQUIRED_ATTRIBUTES)

/* A format (or a range of formats) is this 64-byte header, followed by
 * FormatSize - 64 bytes specific to MajorFormat/Specifier. */
typedef union {
    struct {
        ULONG FormatSize;
        ULONG Flags;
        ULONG SampleSize;
        ULONG Reserved;
        GUID MajorFormat;
        GUID SubFormat;
        GUID Specifier;
    };
    LONGLONG Alignment;
} KSDATAFORMAT, *PKSDATAFORMAT, KSDATARANGE, *PKSDATARANGE;

typedef struct {
    ULONG Size;
    ULONG Flags;
    GUID Attribute;
} KSATTRIBUTE, *PKSATTRIBUTE;

/* ------------------------------------------------------------------ */
/* Pins                                                                 */

typedef enum {
    KSPIN_DATAFLOW_IN = 1,
    KSPIN_DATAFLOW_OUT
} KSPIN_DATAFLOW, *PKSPIN_DATAFLOW;

typedef enum {
    KSPIN_COMMUNICATION_NONE,
    KSPIN_COMMUNICATION_SINK,
    KSPIN_COMMUNICATION_SOURCE,
    KSPIN_COMMUNICATION_BOTH,
    KSPIN_COMMUNICATION_BRIDGE
} KSPIN_COMMUNICATION, *PKSPIN_COMMUNICATION;

typedef struct {
    ULONG PossibleCount;
    ULONG CurrentCount;
} KSPIN_CINSTANCES, *PKSPIN_CINSTANCES;

/* A pin property: the KSPROPERTY followed by the pin's number. */
typedef struct {
    KSPROPERTY Property;
    ULONG PinId;
    ULONG Reserved;
} KSP_PIN, *PKSP_PIN;

#define KSPRIORITY_LOW       0x00000001
#define KSPRIORITY_NORMAL    0x40000000
#define KSPRIORITY_HIGH      0x80000000
#define KSPRIORITY_EXCLUSIVE 0xFFFFFFFF

typedef struct {
    ULONG PriorityClass;
    ULONG PrioritySubClass;
} KSPRIORITY, *PKSPRIORITY;

/* The create request of a pin; the KSDATAFORMAT of the connection follows
 * it directly. */
typedef struct {
    KSPIN_INTERFACE Interface;
    KSPIN_MEDIUM Medium;
    ULONG PinId;
    HANDLE PinToHandle;
    KSPRIORITY Priority;
} KSPIN_CONNECT, *PKSPIN_CONNECT;

#define KSINTERFACE_STANDARD_STREAMING        0
#define KSINTERFACE_STANDARD_LOOPED_STREAMING 1
#define KSINTERFACE_STANDARD_CONTROL          2

#define KSMEDIUM_TYPE_ANYINSTANCE 0
#define KSMEDIUM_STANDARD_DEVIO   KSMEDIUM_TYPE_ANYINSTANCE

typedef enum {
    KSPROPERTY_PIN_CINSTANCES,
    KSPROPERTY_PIN_CTYPES,
    KSPROPERTY_PIN_DATAFLOW,
    KSPROPERTY_PIN_DATARANGES,
    KSPROPERTY_PIN_DATAINTERSECTION,
    KSPROPERTY_PIN_INTERFACES,
    KSPROPERTY_PIN_MEDIUMS,
    KSPROPERTY_PIN_COMMUNICATION,
    KSPROPERTY_PIN_GLOBALCINSTANCES,
    KSPROPERTY_PIN_NECESSARYINSTANCES,
    KSPROPERTY_PIN_PHYSICALCONNECTION,
    KSPROPERTY_PIN_CATEGORY,
    KSPROPERTY_PIN_NAME,
    KSPROPERTY_PIN_CONSTRAINEDDATARANGES,
    KSPROPERTY_PIN_PROPOSEDATAFORMAT
} KSPROPERTY_PIN;

/* ------------------------------------------------------------------ */
/* Topology                                                             */

#define KSFILTER_NODE ((ULONG)-1)

typedef struct {
    ULONG FromNode;
    ULONG FromNodePin;
    ULONG ToNode;
    ULONG ToNodePin;
} KSTOPOLOGY_CONNECTION, *PKSTOPOLOGY_CONNECTION;

typedef struct {
    ULONG CategoriesCount;
    const GUID *Categories;
    ULONG TopologyNodesCount;
    const GUID *TopologyNodes;
    ULONG TopologyConnectionsCount;
    const KSTOPOLOGY_CONNECTION *TopologyConnections;
    const GUID *TopologyNodesNames;
    ULONG Reserved;
} KSTOPOLOGY, *PKSTOPOLOGY;

/* ------------------------------------------------------------------ */
/* Connection properties and allocator framing                          */

typedef enum {
    KSPROPERTY_CONNECTION_STATE,
    KSPROPERTY_CONNECTION_PRIORITY,
    KSPROPERTY_CONNECTION_DATAFORMAT,
    KSPROPERTY_CONNECTION_ALLOCATORFRAMING,
    KSPROPERTY_CONNECTION_PROPOSEDATAFORMAT,
    KSPROPERTY_CONNECTION_ACQUIREORDERING,
    KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX,
    KSPROPERTY_CONNECTION_STARTAT
} KSPROPERTY_CONNECTION;

/* RequirementsFlags, as a pin states them. */
#define KSALLOCATOR_REQUIREMENTF_INPLACE_MODIFIER  0x00000001
#define KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY     0x00000002
#define KSALLOCATOR_REQUIREMENTF_FRAME_INTEGRITY   0x00000004
#define KSALLOCATOR_REQUIREMENTF_MUST_ALLOCATE     0x00000008
#define KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY_CUSTOM_ALLOCATION 0x00000010
#define KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY  0x80000000

/* OptionsFlags, as an allocator is created with them. */
#define KSALLOCATOR_OPTIONF_COMPATIBLE    0x00000001
#define KSALLOCATOR_OPTIONF_SYSTEM_MEMORY 0x00000002
#define KSALLOCATOR_OPTIONF_VALID         0x00000003

/* How many frames of what size a pin wants in flight. 24 bytes. */
typedef struct {
    union {
        ULONG OptionsFlags;
        ULONG RequirementsFlags;
    };
    POOL_TYPE PoolType;
    ULONG Frames;
    ULONG FrameSize;
    ULONG FileAlignment;    /* FILE_*_ALIGNMENT: a mask of low address bits */
    ULONG Reserved;
} KSALLOCATOR_FRAMING, *PKSALLOCATOR_FRAMING;

/* ------------------------------------------------------------------ */
/* I/O controls of kernel-streaming objects                             */

#define IOCTL_KS_PROPERTY      CTL_CODE(FILE_DEVICE_KS, 0x000, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_ENABLE_EVENT  CTL_CODE(FILE_DEVICE_KS, 0x001, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_DISABLE_EVENT CTL_CODE(FILE_DEVICE_KS, 0x002, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_METHOD        CTL_CODE(FILE_DEVICE_KS, 0x003, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_WRITE_STREAM  CTL_CODE(FILE_DEVICE_KS, 0x004, METHOD_NEITHER, FILE_WRITE_ACCESS)
#define IOCTL_KS_READ_STREAM   CTL_CODE(FILE_DEVICE_KS, 0x005, METHOD_NEITHER, FILE_READ_ACCESS)
#define IOCTL_KS_RESET_STATE   CTL_CODE(FILE_DEVICE_KS, 0x006, METHOD_NEITHER, FILE_ANY_ACCESS)

/* ------------------------------------------------------------------ */
/* GUIDs                                                                */

#define STATIC_KSPROPSETID_Connection \
    0x1D58C920L, 0xAC9B, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00
DEFINE_GUIDEX(KSPROPSETID_Connection);

#define STATIC_KSPROPSETID_Pin \
    0x8C134960L, 0x51AD, 0x11CF, 0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00
DEFINE_GUIDEX(KSPROPSETID_Pin);

#define STATIC_KSINTERFACESETID_Standard \
    0x1A8766A0L, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00
DEFINE_GUIDEX(KSINTERFACESETID_Standard);

#define STATIC_KSMEDIUMSETID_Standard \
    0x4747B320L, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00
DEFINE_GUIDEX(KSMEDIUMSETID_Standard);

#define STATIC_KSDATAFORMAT_TYPE_STREAM \
    0xE436EB83L, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70
DEFINE_GUIDEX(KSDATAFORMAT_TYPE_STREAM);

#define STATIC_KSDATAFORMAT_SPECIFIER_NONE \
    0x0F6417D6L, 0xC318, 0x11D0, 0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96
DEFINE_GUIDEX(KSDATAFORMAT_SPECIFIER_NONE);

/* The all-zero GUID: in a range, "any major type / subtype / specifier". */
#define STATIC_KSDATAFORMAT_TYPE_WILDCARD \
    0x00000000L, 0x0000, 0x0000, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00
DEFINE_GUIDEX(KSDATAFORMAT_TYPE_WILDCARD);
#define STATIC_KSDATAFORMAT_SUBTYPE_WILDCARD STATIC_KSDATAFORMAT_TYPE_WILDCARD
DEFINE_GUIDEX(KSDATAFORMAT_SUBTYPE_WILDCARD);
#define STATIC_KSDATAFORMAT_SPECIFIER_WILDCARD STATIC_KSDATAFORMAT_TYPE_WILDCARD
DEFINE_GUIDEX(KSDATAFORMAT_SPECIFIER_WILDCARD);

#define STATIC_KSCATEGORY_CAPTURE \
    0x65E8773DL, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96
DEFINE_GUIDEX(KSCATEGORY_CAPTURE);

#endif /* NORVANE_SIM_KS_H */
