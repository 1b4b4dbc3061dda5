// Compile-time checks of the platform headers: every header included, the
// 32-bit x86 sizes and offsets drivers depend on, the wire packing of USB
// descriptors, and the codes whose values are fixed by the platform.
//
// Included by layout_test.cpp (host wchar_t) and by driver_rules_check.cpp
// (compiled under the driver rules, 16-bit wchar_t), so both ways of
// seeing WCHAR compile the same headers. No standard library here: the
// driver-rules build has none.
#pragma once

#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>
#include <strmini.h>
#include <usb100.h>
#include <usb.h>
#include <usbioctl.h>
#include <usbdi.h>
#include <usbdlib.h>

namespace nvlayout {

template <typename A, typename B> struct SameType { static constexpr bool value = false; };
template <typename A> struct SameType<A, A> { static constexpr bool value = true; };

constexpr bool SameText(const char *a, const char *b)
{
    return *a == *b && (*a == '\0' || SameText(a + 1, b + 1));
}

#define NV_LAYOUT_TEXT(x) #x
#define NV_LAYOUT_EXPANDED_TEXT(x) NV_LAYOUT_TEXT(x)

}  // namespace nvlayout

// ---------------------------------------------------------------------
// The sizes drivers write as literal byte counts (i386 build only).

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(HW_INITIALIZATION_DATA) == 60, "HW_INITIALIZATION_DATA");
static_assert(sizeof(HW_STREAM_HEADER) == 40, "HW_STREAM_HEADER");
static_assert(sizeof(HW_STREAM_INFORMATION) == 80, "HW_STREAM_INFORMATION");
static_assert(sizeof(HW_STREAM_DESCRIPTOR) == 120, "stream header and one stream");
static_assert(sizeof(KSDATARANGE) == 64, "KSDATARANGE");
static_assert(sizeof(KSPROPERTY) == 24, "KSPROPERTY");
static_assert(sizeof(KSALLOCATOR_FRAMING) == 24, "KSALLOCATOR_FRAMING");
static_assert(sizeof(KSEVENTDATA) == 16, "KSEVENTDATA");
static_assert(sizeof(KSSTREAM_HEADER) == 48, "KSSTREAM_HEADER");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72, "bulk transfer URB");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 80, "descriptor request URB");
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 80, "vendor request URB");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 24, "pipe request URB");
static_assert(sizeof(struct _URB_ISOCH_TRANSFER) == 96, "isochronous URB");
static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12, "iso packet");
static_assert(GET_ISO_URB_SIZE(1) == 96, "one packet");
static_assert(GET_ISO_URB_SIZE(2) == 108, "two packets");
static_assert(GET_ISO_URB_SIZE(25) == 96 + 12 * 24, "25 packets");
static_assert(sizeof(struct _URB_HEADER) == 16, "URB header");
static_assert(sizeof(USBD_PIPE_INFORMATION) == 20, "pipe information");
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 36, "interface information, one pipe");

// Offsets inside those structures a driver or the stand-in reads blind.
static_assert(offsetof(HW_INITIALIZATION_DATA, HwReceivePacket) == 8, "");
static_assert(offsetof(HW_INITIALIZATION_DATA, DeviceExtensionSize) == 20, "");
static_assert(offsetof(HW_INITIALIZATION_DATA, BufferAlignment) == 40, "");
static_assert(offsetof(HW_INITIALIZATION_DATA, TurnOffSynchronization) == 44, "");
static_assert(offsetof(HW_INITIALIZATION_DATA, NumNameExtensions) == 52, "");
static_assert(offsetof(HW_INITIALIZATION_DATA, Reserved) == 52, "Reserved[2] is the name extensions' storage");
static_assert(offsetof(HW_STREAM_INFORMATION, Category) == 52, "");
static_assert(offsetof(HW_STREAM_INFORMATION, Mediums) == 64, "");
static_assert(offsetof(HW_STREAM_INFORMATION, BridgeStream) == 68, "");
static_assert(offsetof(HW_STREAM_REQUEST_BLOCK, CommandData) == 24, "");
static_assert(offsetof(HW_STREAM_REQUEST_BLOCK, Irp) == 44, "");
static_assert(offsetof(HW_STREAM_REQUEST_BLOCK, ActualBytesTransferred) == 56, "");
static_assert(offsetof(PORT_CONFIGURATION_INFORMATION, NumberOfAccessRanges) == 40, "");
static_assert(offsetof(PORT_CONFIGURATION_INFORMATION, StreamDescriptorSize) == 48, "");
static_assert(offsetof(PORT_CONFIGURATION_INFORMATION, RealPhysicalDeviceObject) == 64, "");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, NumberOfPackets) == 76, "");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket) == 84, "");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Index) == 74, "");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType) == 75, "");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request) == 73, "");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value) == 74, "");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 16, "");
static_assert(offsetof(USBD_PIPE_INFORMATION, MaximumTransferSize) == 12, "");
#endif

// ---------------------------------------------------------------------
// Offsets that hold on every build.

static_assert(sizeof(GUID) == 16, "");
static_assert(offsetof(KSIDENTIFIER, Id) == 16 && offsetof(KSIDENTIFIER, Flags) == 20, "");
static_assert(sizeof(KSIDENTIFIER) == 24 && alignof(KSIDENTIFIER) == 8, "");
static_assert(offsetof(KSDATAFORMAT, SampleSize) == 8, "");
static_assert(offsetof(KSDATAFORMAT, MajorFormat) == 16, "");
static_assert(offsetof(KSDATAFORMAT, SubFormat) == 32, "");
static_assert(offsetof(KSDATAFORMAT, Specifier) == 48, "");
static_assert(offsetof(KSSTREAM_HEADER, PresentationTime) == 8, "");
static_assert(offsetof(KSSTREAM_HEADER, FrameExtent) == 32, "");
static_assert(offsetof(KSSTREAM_HEADER, DataUsed) == 36, "");
static_assert(offsetof(KSSTREAM_HEADER, Data) == 40, "");
static_assert(sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S) == 48, "");
static_assert(offsetof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S, PictureNumber) == 24, "");
static_assert(offsetof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S, AverageFrameSize) == 40, "");
static_assert(sizeof(KSALLOCATOR_FRAMING) == 24, "");
static_assert(offsetof(KSALLOCATOR_FRAMING, FrameSize) == 12, "");
static_assert(sizeof(KSPIN_MEDIUM) == 24, "");
static_assert(offsetof(struct _URB_HEADER, Function) == 2, "");
static_assert(offsetof(struct _URB_HEADER, Status) == 4, "");
static_assert(offsetof(URB, UrbBulkOrInterruptTransfer.PipeHandle) == sizeof(struct _URB_HEADER), "");
static_assert(sizeof(URB) == sizeof(struct _URB_ISOCH_TRANSFER), "the largest member");
static_assert(sizeof(HW_STREAM_DESCRIPTOR) == sizeof(HW_STREAM_HEADER) + sizeof(HW_STREAM_INFORMATION),
              "the first stream information follows the header directly");
static_assert(GET_ISO_URB_SIZE(3) - GET_ISO_URB_SIZE(2) == sizeof(USBD_ISO_PACKET_DESCRIPTOR), "");
static_assert(GET_USBD_INTERFACE_SIZE(1) == sizeof(USBD_INTERFACE_INFORMATION), "");

// USB descriptors are the bytes on the wire: no padding anywhere.
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "");
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9, "");
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7, "");
static_assert(sizeof(USB_COMMON_DESCRIPTOR) == 2, "");
static_assert(sizeof(USB_DEFAULT_PIPE_SETUP_PACKET) == 8, "");
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bcdUSB) == 2, "");
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, idVendor) == 8, "");
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bNumConfigurations) == 17, "");
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, wTotalLength) == 2, "");
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, MaxPower) == 8, "");
static_assert(offsetof(USB_ENDPOINT_DESCRIPTOR, wMaxPacketSize) == 4, "");
static_assert(offsetof(USB_ENDPOINT_DESCRIPTOR, bInterval) == 6, "");
static_assert(offsetof(USB_DEFAULT_PIPE_SETUP_PACKET, wValue) == 2, "");
static_assert(offsetof(USB_DEFAULT_PIPE_SETUP_PACKET, wLength) == 6, "");
static_assert(alignof(USB_CONFIGURATION_DESCRIPTOR) == 1, "readable at any byte of a buffer");
// The string descriptor's text is UTF-16 whichever way wchar_t is built.
static_assert(sizeof(WCHAR) == 2, "");
static_assert(offsetof(USB_STRING_DESCRIPTOR, bString) == 2, "");

// ---------------------------------------------------------------------
// Codes whose values the platform fixes.

static_assert(SRB_READ_DATA == 0 && SRB_WRITE_DATA == 1 && SRB_GET_STREAM_STATE == 2 &&
                  SRB_SET_STREAM_STATE == 3 && SRB_SET_STREAM_PROPERTY == 4 &&
                  SRB_GET_STREAM_PROPERTY == 5 && SRB_OPEN_MASTER_CLOCK == 6 &&
                  SRB_INDICATE_MASTER_CLOCK == 7 && SRB_UNKNOWN_STREAM_COMMAND == 8 &&
                  SRB_SET_STREAM_RATE == 9 && SRB_PROPOSE_DATA_FORMAT == 10 &&
                  SRB_CLOSE_MASTER_CLOCK == 11 && SRB_PROPOSE_STREAM_RATE == 12 &&
                  SRB_SET_DATA_FORMAT == 13 && SRB_GET_DATA_FORMAT == 14 && SRB_BEGIN_FLUSH == 15 &&
                  SRB_END_FLUSH == 16,
              "stream request codes");
static_assert(SRB_GET_STREAM_INFO == 0x100 && SRB_OPEN_STREAM == 0x101 && SRB_CLOSE_STREAM == 0x102 &&
                  SRB_OPEN_DEVICE_INSTANCE == 0x103 && SRB_CLOSE_DEVICE_INSTANCE == 0x104 &&
                  SRB_GET_DEVICE_PROPERTY == 0x105 && SRB_SET_DEVICE_PROPERTY == 0x106 &&
                  SRB_INITIALIZE_DEVICE == 0x107 && SRB_CHANGE_POWER_STATE == 0x108 &&
                  SRB_UNINITIALIZE_DEVICE == 0x109 && SRB_UNKNOWN_DEVICE_COMMAND == 0x10A &&
                  SRB_PAGING_OUT_DRIVER == 0x10B && SRB_GET_DATA_INTERSECTION == 0x10C &&
                  SRB_INITIALIZATION_COMPLETE == 0x10D && SRB_SURPRISE_REMOVAL == 0x10E,
              "adapter request codes");
static_assert(KSSTATE_STOP == 0 && KSSTATE_ACQUIRE == 1 && KSSTATE_PAUSE == 2 && KSSTATE_RUN == 3, "");
static_assert(KSPIN_DATAFLOW_IN == 1 && KSPIN_DATAFLOW_OUT == 2, "");
static_assert(KSPROPERTY_CONNECTION_ALLOCATORFRAMING == 3 && KSPROPERTY_DROPPEDFRAMES_CURRENT == 0, "");
static_assert((KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY | KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY |
               KSALLOCATOR_REQUIREMENTF_INPLACE_MODIFIER) == 0x80000003u,
              "");
static_assert(FILE_LONG_ALIGNMENT == 3, "");
static_assert(STATUS_NO_MATCH == (NTSTATUS)0xC0000272 && STATUS_NO_DATA_DETECTED == (NTSTATUS)0x80000022, "");

static_assert(URB_FUNCTION_SELECT_CONFIGURATION == 0x0000 && URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER == 0x0009 &&
                  URB_FUNCTION_ISOCH_TRANSFER == 0x000A && URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE == 0x000B &&
                  URB_FUNCTION_VENDOR_DEVICE == 0x0017 && URB_FUNCTION_RESET_PIPE == 0x001E,
              "URB functions");
static_assert(UsbdPipeTypeControl == 0 && UsbdPipeTypeIsochronous == 1 && UsbdPipeTypeBulk == 2 &&
                  UsbdPipeTypeInterrupt == 3,
              "");
static_assert((USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) == 3 &&
                  (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK | USBD_START_ISO_TRANSFER_ASAP) == 7,
              "transfer flags");
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003, "");
static_assert(IOCTL_INTERNAL_USB_RESET_PORT == 0x220007, "");
static_assert(IOCTL_INTERNAL_USB_GET_PORT_STATUS == 0x220013, "");
static_assert(IOCTL_INTERNAL_USB_CYCLE_PORT == 0x22001F, "");
static_assert(USB_DEVICE_DESCRIPTOR_TYPE == 1 && USB_CONFIGURATION_DESCRIPTOR_TYPE == 2 &&
                  USB_INTERFACE_DESCRIPTOR_TYPE == 4 && USB_ENDPOINT_DESCRIPTOR_TYPE == 5,
              "");

// ---------------------------------------------------------------------
// Routine shapes: the two notifications are variadic, and the documented
// registration name reaches the class's export.

static_assert(nvlayout::SameType<decltype(&StreamClassDeviceNotification),
                                 VOID (*)(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE, PVOID, ...)>::value,
              "");
static_assert(nvlayout::SameType<decltype(&StreamClassStreamNotification),
                                 VOID (*)(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE, PHW_STREAM_OBJECT, ...)>::value,
              "");
static_assert(nvlayout::SameText(NV_LAYOUT_EXPANDED_TEXT(StreamClassRegisterAdapter),
                                 "StreamClassRegisterMinidriver"),
              "");
static_assert(nvlayout::SameType<decltype(&StreamClassRegisterAdapter),
                                 NTSTATUS (*)(PVOID, PVOID, PHW_INITIALIZATION_DATA)>::value,
              "");
static_assert(DeviceRequestComplete == 1 && SignalDeviceEvent == 3 && StreamRequestComplete == 3 &&
                  ReadyForNextStreamDataRequest == 0,
              "");

// ---------------------------------------------------------------------
// STATIC_ GUIDs build constant tables: a data range and a medium as a
// driver writes them, evaluated at compile time.

// A GUID initialiser with every brace written out, from a STATIC_ list.
#define NV_LAYOUT_GUID(...) STATIC_GUID(__VA_ARGS__)

namespace nvlayout {

constexpr KSDATARANGE kTransportRange = {{
    sizeof(KSDATARANGE),
    0,
    4096,
    0,
    NV_LAYOUT_GUID(STATICGUIDOF(KSDATAFORMAT_TYPE_STREAM)),
    NV_LAYOUT_GUID(STATICGUIDOF(KSDATAFORMAT_SUBTYPE_MPEG2_TRANSPORT)),
    NV_LAYOUT_GUID(STATICGUIDOF(KSDATAFORMAT_SPECIFIER_NONE)),
}};
static_assert(kTransportRange.FormatSize == 64, "");
static_assert(kTransportRange.MajorFormat.Data1 == 0xE436EB83u, "");
static_assert(kTransportRange.SubFormat.Data4[7] == 0xEA, "");
static_assert(kTransportRange.Specifier.Data2 == 0xC318, "");

constexpr KSPIN_MEDIUM kStandardMedium = {{{NV_LAYOUT_GUID(STATICGUIDOF(KSMEDIUMSETID_Standard)), 0, 0}}};
static_assert(kStandardMedium.Set.Data1 == 0x4747B320u && kStandardMedium.Id == 0, "");

}  // namespace nvlayout
