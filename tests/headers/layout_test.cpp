// The platform headers as drivers and the stand-in use them at run time:
// GUID objects against their STATIC_ forms and their text, USB descriptors
// read straight out of wire bytes, USBD status classes, the URB builders
// and size macros, and the KS table macros. The compile-time half (sizes,
// offsets, fixed codes) is layout_checks.h.

#define INITGUID
#include "layout_checks.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// "{E436EB83-524F-11CE-9F53-0020AF0BA770}" -> GUID; fails the test on
// malformed text.
GUID ParseGuid(const std::string &text)
{
    GUID g{};
    auto hex = [&](size_t pos, size_t digits) {
        EXPECT_LE(pos + digits, text.size()) << text;
        return static_cast<uint32_t>(std::stoul(text.substr(pos, digits), nullptr, 16));
    };
    EXPECT_EQ(text.size(), 38u) << text;
    if (text.size() != 38)
        return g;
    g.Data1 = hex(1, 8);
    g.Data2 = static_cast<USHORT>(hex(10, 4));
    g.Data3 = static_cast<USHORT>(hex(15, 4));
    g.Data4[0] = static_cast<UCHAR>(hex(20, 2));
    g.Data4[1] = static_cast<UCHAR>(hex(22, 2));
    for (int i = 0; i < 6; i++)
        g.Data4[2 + i] = static_cast<UCHAR>(hex(25 + 2 * i, 2));
    return g;
}

std::string GuidText(const GUID &g)
{
    char buf[40];
    snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
             g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

struct GuidCase {
    const char *name;
    const GUID *object;
    GUID fromStatic;
    const char *text;
};

#define GUID_CASE(name, text) {#name, &name, NV_LAYOUT_GUID(STATICGUIDOF(name)), text}

TEST(PlatformGuids, ObjectAndStaticFormHoldThePublishedValue)
{
    const GuidCase cases[] = {
        GUID_CASE(KSDATAFORMAT_TYPE_STREAM, "{E436EB83-524F-11CE-9F53-0020AF0BA770}"),
        GUID_CASE(KSDATAFORMAT_SUBTYPE_MPEG2_TRANSPORT, "{E06D8023-DB46-11CF-B4D1-00805F6CBBEA}"),
        GUID_CASE(KSDATAFORMAT_SPECIFIER_NONE, "{0F6417D6-C318-11D0-A43F-00A0C9223196}"),
        GUID_CASE(KSCATEGORY_CAPTURE, "{65E8773D-8F56-11D0-A3B9-00A0C9223196}"),
        GUID_CASE(PINNAME_VIDEO_CAPTURE, "{FB6C4281-0353-11D1-905F-0000C0CC16BA}"),
        GUID_CASE(KSPROPSETID_Connection, "{1D58C920-AC9B-11CF-A5D6-28DB04C10000}"),
        GUID_CASE(PROPSETID_VIDCAP_DROPPEDFRAMES, "{C6E13344-30AC-11D0-A18C-00A0C9118956}"),
        GUID_CASE(KSMEDIUMSETID_Standard, "{4747B320-62CE-11CF-A5D6-28DB04C10000}"),
        GUID_CASE(KSPROPSETID_Pin, "{8C134960-51AD-11CF-878A-94F801C10000}"),
        GUID_CASE(KSINTERFACESETID_Standard, "{1A8766A0-62CE-11CF-A5D6-28DB04C10000}"),
        GUID_CASE(KSDATAFORMAT_TYPE_WILDCARD, "{00000000-0000-0000-0000-000000000000}"),
        GUID_CASE(KSDATAFORMAT_SUBTYPE_WILDCARD, "{00000000-0000-0000-0000-000000000000}"),
        GUID_CASE(KSDATAFORMAT_SPECIFIER_WILDCARD, "{00000000-0000-0000-0000-000000000000}"),
    };
    for (const GuidCase &c : cases) {
        SCOPED_TRACE(c.name);
        const GUID expected = ParseGuid(c.text);
        EXPECT_EQ(GuidText(*c.object), c.text);
        EXPECT_EQ(GuidText(c.fromStatic), c.text);
        EXPECT_TRUE(IsEqualGUID(*c.object, expected));
        EXPECT_EQ(0, memcmp(c.object, &c.fromStatic, sizeof(GUID)));
    }
    // Distinct sets must stay distinct: a copy-paste slip between two
    // STATIC_ lists would make two names one GUID.
    for (const GuidCase &a : cases) {
        for (const GuidCase &b : cases) {
            if (a.object != b.object && std::string(a.text) != b.text) {
                EXPECT_FALSE(IsEqualGUID(*a.object, *b.object)) << a.name << " vs " << b.name;
            }
        }
    }
}

// A packed member, copied out: EXPECT_EQ binds its arguments to references,
// which a member at an odd address cannot take.
template <typename T> T Wire(T value) { return value; }

// A device descriptor and a configuration with one interface and the
// receiver's three endpoints, as the device sends them.
const UCHAR kDeviceDescriptorBytes[18] = {
    18, USB_DEVICE_DESCRIPTOR_TYPE, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 64,
    0x34, 0x12, 0x78, 0x56, 0x01, 0x01, 1, 2, 0, 1,
};
const UCHAR kConfigurationBytes[] = {
    9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 39, 0, 1, 1, 0, 0x80, 250,
    9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 3, 0xFF, 0, 0, 0,
    7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x01, USB_ENDPOINT_TYPE_BULK, 0x40, 0x00, 0,
    7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81, USB_ENDPOINT_TYPE_BULK, 0x40, 0x00, 0,
    7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x82, USB_ENDPOINT_TYPE_ISOCHRONOUS, 0xAC, 0x03, 1,
};

TEST(UsbDescriptors, ReadStraightOutOfWireBytes)
{
    // Copy to odd addresses: the structures must not assume alignment.
    std::vector<UCHAR> buf(1 + sizeof kConfigurationBytes);
    memcpy(buf.data() + 1, kConfigurationBytes, sizeof kConfigurationBytes);
    const UCHAR *bytes = buf.data() + 1;

    auto *config = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR *>(bytes);
    EXPECT_EQ(Wire(config->wTotalLength), sizeof kConfigurationBytes);
    EXPECT_EQ(config->bNumInterfaces, 1);
    EXPECT_EQ(config->bmAttributes & USB_CONFIG_POWERED_MASK, USB_CONFIG_BUS_POWERED);
    EXPECT_EQ(config->MaxPower, 250);

    auto *iface = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR *>(bytes + config->bLength);
    EXPECT_EQ(iface->bDescriptorType, USB_INTERFACE_DESCRIPTOR_TYPE);
    EXPECT_EQ(iface->bNumEndpoints, 3);
    EXPECT_EQ(iface->bInterfaceClass, USB_DEVICE_CLASS_VENDOR_SPECIFIC);

    struct Expected {
        UCHAR address;
        bool in;
        UCHAR type;
        USHORT maxPacket;
    } const endpoints[] = {
        {0x01, false, USB_ENDPOINT_TYPE_BULK, 64},
        {0x81, true, USB_ENDPOINT_TYPE_BULK, 64},
        {0x82, true, USB_ENDPOINT_TYPE_ISOCHRONOUS, 940},
    };
    const UCHAR *p = bytes + config->bLength + iface->bLength;
    for (const Expected &e : endpoints) {
        SCOPED_TRACE(static_cast<int>(e.address));
        auto *common = reinterpret_cast<const USB_COMMON_DESCRIPTOR *>(p);
        ASSERT_EQ(common->bDescriptorType, USB_ENDPOINT_DESCRIPTOR_TYPE);
        auto *ep = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR *>(p);
        EXPECT_EQ(ep->bEndpointAddress, e.address);
        EXPECT_EQ(USB_ENDPOINT_DIRECTION_IN(ep->bEndpointAddress) != 0, e.in);
        EXPECT_EQ(USB_ENDPOINT_DIRECTION_OUT(ep->bEndpointAddress) != 0, !e.in);
        EXPECT_EQ(ep->bmAttributes & USB_ENDPOINT_TYPE_MASK, e.type);
        EXPECT_EQ(Wire(ep->wMaxPacketSize), e.maxPacket);
        p += common->bLength;
    }
    EXPECT_EQ(p, bytes + config->wTotalLength);

    auto *device = reinterpret_cast<const USB_DEVICE_DESCRIPTOR *>(kDeviceDescriptorBytes);
    EXPECT_EQ(Wire(device->bcdUSB), 0x0200);
    EXPECT_EQ(device->bMaxPacketSize0, 64);
    EXPECT_EQ(Wire(device->idVendor), 0x1234);
    EXPECT_EQ(Wire(device->idProduct), 0x5678);
    EXPECT_EQ(Wire(device->bcdDevice), 0x0101);
    EXPECT_EQ(device->bNumConfigurations, 1);

    EXPECT_EQ(USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(USB_CONFIGURATION_DESCRIPTOR_TYPE, 1), 0x0201);
}

TEST(UsbDescriptors, StringAndSetupPacketBytes)
{
    const UCHAR stringBytes[] = {6, USB_STRING_DESCRIPTOR_TYPE, 'O', 0, 0xAC, 0x20};
    auto *string = reinterpret_cast<const USB_STRING_DESCRIPTOR *>(stringBytes);
    EXPECT_EQ(Wire(string->bString[0]), u'O');
    EXPECT_EQ(Wire(string->bString[1]), u'\u20AC');

    // The setup stage of vendor request 0xA0 writing 16 bytes at 0x7F92.
    const UCHAR setupBytes[8] = {0x40, 0xA0, 0x92, 0x7F, 0x00, 0x00, 0x10, 0x00};
    auto *setup = reinterpret_cast<const USB_DEFAULT_PIPE_SETUP_PACKET *>(setupBytes);
    EXPECT_EQ(setup->bmRequestType.Dir, BMREQUEST_HOST_TO_DEVICE);
    EXPECT_EQ(setup->bmRequestType.Type, BMREQUEST_VENDOR);
    EXPECT_EQ(setup->bmRequestType.Recipient, BMREQUEST_TO_DEVICE);
    EXPECT_EQ(setup->bRequest, 0xA0);
    EXPECT_EQ(Wire(setup->wValue.W), 0x7F92);
    EXPECT_EQ(setup->wValue.HiByte, 0x7F);
    EXPECT_EQ(Wire(setup->wIndex.W), 0);
    EXPECT_EQ(Wire(setup->wLength), 16);

    BM_REQUEST_TYPE in{};
    in.Dir = BMREQUEST_DEVICE_TO_HOST;
    in.Type = BMREQUEST_STANDARD;
    in.Recipient = BMREQUEST_TO_ENDPOINT;
    EXPECT_EQ(in.B, 0x82);
}

TEST(UsbStatus, ClassifiedByTheTopTwoBits)
{
    struct Case {
        const char *name;
        USBD_STATUS status;
        bool success, pending, error, halted;
    } const cases[] = {
        {"SUCCESS", USBD_STATUS_SUCCESS, true, false, false, false},
        {"PENDING", USBD_STATUS_PENDING, true, true, false, false},
        {"STALL_PID", USBD_STATUS_STALL_PID, false, false, true, true},
        {"DEV_NOT_RESPONDING", USBD_STATUS_DEV_NOT_RESPONDING, false, false, true, true},
        {"BUFFER_OVERRUN", USBD_STATUS_BUFFER_OVERRUN, false, false, true, true},
        {"NOT_ACCESSED", USBD_STATUS_NOT_ACCESSED, false, false, true, true},
        {"CANCELED", USBD_STATUS_CANCELED, false, false, true, true},
        {"ISO_NOT_ACCESSED_BY_HW", USBD_STATUS_ISO_NOT_ACCESSED_BY_HW, false, false, true, true},
        {"ISO_TD_ERROR", USBD_STATUS_ISO_TD_ERROR, false, false, true, true},
        {"ERROR_SHORT_TRANSFER", USBD_STATUS_ERROR_SHORT_TRANSFER, false, false, true, false},
        {"INVALID_PARAMETER", USBD_STATUS_INVALID_PARAMETER, false, false, true, false},
        {"NO_MEMORY", USBD_STATUS_NO_MEMORY, false, false, true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(USBD_SUCCESS(c.status), c.success);
        EXPECT_EQ(USBD_PENDING(c.status), c.pending);
        EXPECT_EQ(USBD_ERROR(c.status), c.error);
        EXPECT_EQ(USBD_HALTED(c.status), c.halted);
        // An isochronous packet with this status carries valid bytes only
        // when the error bit is clear.
        EXPECT_EQ((static_cast<ULONG>(c.status) & static_cast<ULONG>(USBD_STATUS_ERROR)) != 0, c.error);
    }
}

// A zeroed URB with room to spare, to see that a builder writes only inside
// its own request.
struct UrbBuffer {
    alignas(URB) UCHAR bytes[sizeof(URB) + 64] = {};
    PURB urb() { return reinterpret_cast<PURB>(bytes); }
    bool ZeroFrom(size_t offset) const
    {
        for (size_t i = offset; i < sizeof bytes; i++)
            if (bytes[i] != 0)
                return false;
        return true;
    }
};

UCHAR gTransferBytes[32];
PVOID const kPipe = reinterpret_cast<PVOID>(static_cast<uintptr_t>(0x5A5A0));
PMDL const kMdl = reinterpret_cast<PMDL>(static_cast<uintptr_t>(0x6B6B0));
PURB const kLink = reinterpret_cast<PURB>(static_cast<uintptr_t>(0x7C7C0));

TEST(UrbBuilders, BulkOrInterruptTransfer)
{
    UrbBuffer b;
    UsbBuildInterruptOrBulkTransferRequest(b.urb(), sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), kPipe,
                                           gTransferBytes, kMdl, 24064,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, kLink);
    const auto &r = b.urb()->UrbBulkOrInterruptTransfer;
    EXPECT_EQ(r.Hdr.Function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_EQ(r.Hdr.Length, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    EXPECT_EQ(r.PipeHandle, kPipe);
    EXPECT_EQ(r.TransferBuffer, gTransferBytes);
    EXPECT_EQ(r.TransferBufferMDL, kMdl);
    EXPECT_EQ(r.TransferBufferLength, 24064u);
    EXPECT_EQ(r.TransferFlags, 3u);
    EXPECT_EQ(r.UrbLink, kLink);
    EXPECT_EQ(r.Hdr.Status, 0);
    EXPECT_TRUE(b.ZeroFrom(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)));
}

TEST(UrbBuilders, GetDescriptor)
{
    UrbBuffer b;
    UsbBuildGetDescriptorRequest(b.urb(), sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 2, 0x0409, gTransferBytes, kMdl, 521, kLink);
    const auto &r = b.urb()->UrbControlDescriptorRequest;
    EXPECT_EQ(r.Hdr.Function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    EXPECT_EQ(r.Hdr.Length, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    EXPECT_EQ(r.DescriptorType, USB_CONFIGURATION_DESCRIPTOR_TYPE);
    EXPECT_EQ(r.Index, 2);
    EXPECT_EQ(r.LanguageId, 0x0409);
    EXPECT_EQ(r.TransferBuffer, gTransferBytes);
    EXPECT_EQ(r.TransferBufferMDL, kMdl);
    EXPECT_EQ(r.TransferBufferLength, 521u);
    EXPECT_EQ(r.UrbLink, kLink);
    EXPECT_EQ(r.Reserved0, 0u);
    EXPECT_TRUE(b.ZeroFrom(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)));
}

TEST(UrbBuilders, VendorRequest)
{
    UrbBuffer b;
    UsbBuildVendorRequest(b.urb(), URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_OUT, 0, 0xA0, 0xE600, 0x0003, gTransferBytes, NULL, 16, NULL);
    const auto &r = b.urb()->UrbControlVendorClassRequest;
    EXPECT_EQ(r.Hdr.Function, URB_FUNCTION_VENDOR_DEVICE);
    EXPECT_EQ(r.Hdr.Length, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    EXPECT_EQ(r.TransferFlags, 0u);
    EXPECT_EQ(r.RequestTypeReservedBits, 0);
    EXPECT_EQ(r.Request, 0xA0);
    EXPECT_EQ(r.Value, 0xE600);
    EXPECT_EQ(r.Index, 0x0003);
    EXPECT_EQ(r.TransferBuffer, gTransferBytes);
    EXPECT_EQ(r.TransferBufferMDL, nullptr);
    EXPECT_EQ(r.TransferBufferLength, 16u);
    EXPECT_TRUE(b.ZeroFrom(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)));
}

TEST(UrbBuilders, SelectConfigurationAndInterface)
{
    auto *config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<UCHAR *>(kConfigurationBytes));
    const size_t selectSize = GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 3);
    std::vector<UCHAR> select(selectSize + 16, 0);
    auto *urb = reinterpret_cast<PURB>(select.data());
    UsbBuildSelectConfigurationRequest(urb, selectSize, config);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, selectSize);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, config);

    const size_t ifaceSize = GET_SELECT_INTERFACE_REQUEST_SIZE(3);
    std::vector<UCHAR> si(ifaceSize, 0);
    urb = reinterpret_cast<PURB>(si.data());
    UsbBuildSelectInterfaceRequest(urb, ifaceSize, kPipe, 1, 2);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_INTERFACE);
    EXPECT_EQ(urb->UrbHeader.Length, ifaceSize);
    EXPECT_EQ(urb->UrbSelectInterface.ConfigurationHandle, kPipe);
    EXPECT_EQ(urb->UrbSelectInterface.Interface.InterfaceNumber, 1);
    EXPECT_EQ(urb->UrbSelectInterface.Interface.AlternateSetting, 2);
    // The interface information fills the rest of the request.
    EXPECT_EQ(urb->UrbSelectInterface.Interface.Length, GET_USBD_INTERFACE_SIZE(3));
}

TEST(UrbBuilders, FeatureAndStatus)
{
    UrbBuffer b;
    UsbBuildFeatureRequest(b.urb(), URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, USB_FEATURE_ENDPOINT_STALL, 0x82, kLink);
    EXPECT_EQ(b.urb()->UrbHeader.Function, URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT);
    EXPECT_EQ(b.urb()->UrbHeader.Length, sizeof(struct _URB_CONTROL_FEATURE_REQUEST));
    EXPECT_EQ(b.urb()->UrbControlFeatureRequest.FeatureSelector, USB_FEATURE_ENDPOINT_STALL);
    EXPECT_EQ(b.urb()->UrbControlFeatureRequest.Index, 0x82);
    EXPECT_EQ(b.urb()->UrbControlFeatureRequest.UrbLink, kLink);

    UrbBuffer s;
    UsbBuildGetStatusRequest(s.urb(), URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0, gTransferBytes, NULL, NULL);
    EXPECT_EQ(s.urb()->UrbHeader.Function, URB_FUNCTION_GET_STATUS_FROM_DEVICE);
    EXPECT_EQ(s.urb()->UrbHeader.Length, sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST));
    EXPECT_EQ(s.urb()->UrbControlGetStatusRequest.TransferBufferLength, sizeof(USHORT));
    EXPECT_EQ(s.urb()->UrbControlGetStatusRequest.TransferBuffer, gTransferBytes);
    EXPECT_TRUE(s.ZeroFrom(sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST)));
}

TEST(UrbSizes, IsochronousTransferHasRoomForEveryPacket)
{
    for (ULONG n : {0u, 1u, 2u, 8u, 25u, 1024u}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(GET_ISO_URB_SIZE(n),
                  offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket) + n * sizeof(USBD_ISO_PACKET_DESCRIPTOR));
        // The header's Length field is 16 bits: the largest transfer still fits.
        EXPECT_LE(GET_ISO_URB_SIZE(n), 0xFFFFu);
    }
}

TEST(UrbSizes, SelectConfigurationIsTheSumOfItsInterfaces)
{
    // Pipes per interface; an interface without endpoints still takes its
    // fixed part.
    const std::vector<std::vector<ULONG>> configurations = {
        {3}, {0}, {2, 1}, {0, 3}, {1, 1, 1}, {4, 0, 2},
    };
    for (const auto &pipes : configurations) {
        size_t expected = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
        ULONG totalPipes = 0;
        for (ULONG p : pipes) {
            expected += GET_USBD_INTERFACE_SIZE(p);
            totalPipes += p;
        }
        const ULONG interfaces = static_cast<ULONG>(pipes.size());
        SCOPED_TRACE(::testing::Message() << interfaces << " interfaces, " << totalPipes << " pipes");
        EXPECT_EQ(GET_SELECT_CONFIGURATION_REQUEST_SIZE(interfaces, totalPipes), expected);
        EXPECT_EQ(GET_USBD_INTERFACE_SIZE(pipes[0]),
                  offsetof(USBD_INTERFACE_INFORMATION, Pipes) + pipes[0] * sizeof(USBD_PIPE_INFORMATION));
    }
}

// Tables written the way a stream class minidriver writes them: constant
// aggregates, TRUE/FALSE in the handler slots.
DEFINE_KSPROPERTY_TABLE(kConnectionItems){
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_CONNECTION_ALLOCATORFRAMING, TRUE, sizeof(KSPROPERTY),
                           sizeof(KSALLOCATOR_FRAMING), FALSE, NULL, 0, NULL, NULL, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_CONNECTION_STATE, FALSE, sizeof(KSPROPERTY) + 4, sizeof(KSSTATE), TRUE,
                           NULL, 0, NULL, NULL, 12),
};
DEFINE_KSPROPERTY_SET_TABLE(kPropertySets){
    DEFINE_KSPROPERTY_SET(&KSPROPSETID_Connection, SIZEOF_ARRAY(kConnectionItems), kConnectionItems, 0, NULL),
};
DEFINE_KSEVENT_TABLE(kEventItems){
    DEFINE_KSEVENT_ITEM(5, sizeof(KSEVENTDATA), 8, NULL, NULL, NULL),
};
DEFINE_KSEVENT_SET_TABLE(kEventSets){
    DEFINE_KSEVENT_SET(&KSPROPSETID_Pin, SIZEOF_ARRAY(kEventItems), kEventItems),
};

TEST(KsTables, DefineMacrosPutEachArgumentInItsMember)
{
    const KSPROPERTY_ITEM &getOnly = kConnectionItems[0];
    EXPECT_EQ(getOnly.PropertyId, static_cast<ULONG>(KSPROPERTY_CONNECTION_ALLOCATORFRAMING));
    EXPECT_NE(getOnly.GetPropertyHandler, nullptr);
    EXPECT_EQ(getOnly.SetPropertyHandler, nullptr);
    EXPECT_EQ(getOnly.MinProperty, sizeof(KSPROPERTY));
    EXPECT_EQ(getOnly.MinData, sizeof(KSALLOCATOR_FRAMING));
    EXPECT_EQ(getOnly.Values, nullptr);
    EXPECT_EQ(getOnly.SupportHandler, nullptr);

    const KSPROPERTY_ITEM &setOnly = kConnectionItems[1];
    EXPECT_EQ(setOnly.GetPropertyHandler, nullptr);
    EXPECT_NE(setOnly.SetPropertyHandler, nullptr);
    EXPECT_EQ(setOnly.MinProperty, sizeof(KSPROPERTY) + 4);
    EXPECT_EQ(setOnly.MinData, sizeof(KSSTATE));
    EXPECT_EQ(setOnly.SerializedSize, 12u);

    EXPECT_EQ(kPropertySets[0].Set, &KSPROPSETID_Connection);
    EXPECT_EQ(kPropertySets[0].PropertiesCount, 2u);
    EXPECT_EQ(kPropertySets[0].PropertyItem, kConnectionItems);
    EXPECT_EQ(kPropertySets[0].FastIoCount, 0u);

    EXPECT_EQ(kEventSets[0].Set, &KSPROPSETID_Pin);
    EXPECT_EQ(kEventSets[0].EventsCount, 1u);
    EXPECT_EQ(kEventSets[0].EventItem[0].EventId, 5u);
    EXPECT_EQ(kEventSets[0].EventItem[0].DataInput, sizeof(KSEVENTDATA));
    EXPECT_EQ(kEventSets[0].EventItem[0].ExtraEntryData, 8u);
}

TEST(StreamStructures, FieldsLandWhereRawReadersLook)
{
    // The stand-in's stream class completes a read with the DataUsed it
    // finds at this offset of the client's header.
    KSSTREAM_HEADER header{};
    header.DataUsed = 0x5E00;
    header.FrameExtent = 0x6000;
    ULONG raw;
    memcpy(&raw, reinterpret_cast<const UCHAR *>(&header) + 36, sizeof raw);
    EXPECT_EQ(raw, 0x5E00u);
    memcpy(&raw, reinterpret_cast<const UCHAR *>(&header) + 32, sizeof raw);
    EXPECT_EQ(raw, 0x6000u);

    // The old Reserved[2] and the name extensions share their storage.
    HW_INITIALIZATION_DATA init{};
    init.NumNameExtensions = 5;
    EXPECT_EQ(init.Reserved[0], 5u);
    init.HwInitializationDataSize = sizeof(HW_INITIALIZATION_DATA);
    EXPECT_EQ(init.SizeOfThisPacket, sizeof(HW_INITIALIZATION_DATA));
    EXPECT_EQ(init.StreamClassVersion, 0);

    // The adapter's answer to SRB_GET_STREAM_INFO: the first stream's
    // information starts right after the header.
    HW_STREAM_DESCRIPTOR descriptor{};
    EXPECT_EQ(reinterpret_cast<UCHAR *>(&descriptor.StreamInfo) - reinterpret_cast<UCHAR *>(&descriptor),
              static_cast<ptrdiff_t>(sizeof(HW_STREAM_HEADER)));
}

}  // namespace
