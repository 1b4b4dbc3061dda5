// The usbd library image: descriptor walking and select-configuration
// requests.

#include "usb_test_support.h"

#include "test_support.h"

#include <gtest/gtest.h>

using namespace usbtest;

namespace {

// Interface 0 (settings 0 and 1) and interface 1, with a class-specific
// descriptor between them, in the order a device would give them.
std::vector<uint8_t> TwoInterfaces()
{
    std::vector<uint8_t> b = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 2, 1, 0, 0x80, 50};
    b.insert(b.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 2, 0xFF, 0x01, 0x02, 0});
    b.insert(b.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x01, USB_ENDPOINT_TYPE_BULK, 64, 0, 0});
    b.insert(b.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81, USB_ENDPOINT_TYPE_BULK, 64, 0, 0});
    b.insert(b.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 1, 1, 0xFF, 0x01, 0x03, 0});
    b.insert(b.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x82, USB_ENDPOINT_TYPE_ISOCHRONOUS, 0xAC, 0x03, 1});
    b.insert(b.end(), {5, 0x24, 1, 2, 3});
    b.insert(b.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, 1, 0, 3, 0x0A, 0x00, 0x00, 0});
    for (uint8_t ep : {0x02, 0x83, 0x84})
        b.insert(b.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, ep, USB_ENDPOINT_TYPE_INTERRUPT, 16, 0, 8});
    b[2] = uint8_t(b.size());
    b[3] = uint8_t(b.size() >> 8);
    return b;
}

PUSB_CONFIGURATION_DESCRIPTOR AsConfiguration(std::vector<uint8_t> &b)
{
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(b.data());
}

TEST(Usbd, ParseConfigurationDescriptorExMatchesEveryArgumentThatIsNotMinusOne)
{
    std::vector<uint8_t> bytes = TwoInterfaces();
    PUSB_CONFIGURATION_DESCRIPTOR cd = AsConfiguration(bytes);
    const std::size_t first = 9, alternate = 9 + 9 + 7 + 7, second = alternate + 9 + 7 + 5;
    struct Case {
        const char *name;
        LONG number, alternate, cls, subClass, protocol;
        std::ptrdiff_t expected;  // offset in the set, -1 for NULL
    };
    const Case cases[] = {
        {"anything", -1, -1, -1, -1, -1, std::ptrdiff_t(first)},
        {"interface 1", 1, -1, -1, -1, -1, std::ptrdiff_t(second)},
        {"alternate setting 1", -1, 1, -1, -1, -1, std::ptrdiff_t(alternate)},
        {"protocol 3", -1, -1, 0xFF, 0x01, 0x03, std::ptrdiff_t(alternate)},
        {"class 0x0A", -1, -1, 0x0A, -1, -1, std::ptrdiff_t(second)},
        {"interface 0, setting 0, protocol 3", 0, 0, -1, -1, 3, -1},
        {"interface 2", 2, -1, -1, -1, -1, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PUSB_INTERFACE_DESCRIPTOR id =
            USBD_ParseConfigurationDescriptorEx(cd, cd, c.number, c.alternate, c.cls, c.subClass, c.protocol);
        if (c.expected < 0)
            EXPECT_EQ(id, nullptr);
        else
            EXPECT_EQ(reinterpret_cast<uint8_t *>(id) - bytes.data(), c.expected);
    }
    // Starting after the first interface skips it.
    PUSB_INTERFACE_DESCRIPTOR after = USBD_ParseConfigurationDescriptorEx(cd, bytes.data() + first + 9, -1, -1, -1, -1, -1);
    EXPECT_EQ(reinterpret_cast<uint8_t *>(after) - bytes.data(), std::ptrdiff_t(alternate));
    EXPECT_EQ(USBD_ParseConfigurationDescriptor(cd, 1, 0), reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(bytes.data() + second));
    EXPECT_EQ(USBD_GetInterfaceLength(reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(bytes.data() + alternate),
                                      bytes.data() + bytes.size()),
              9u + 7u + 5u);
}

TEST(Usbd, ParseDescriptorsStopsAtADescriptorThatCannotBeWalked)
{
    std::vector<uint8_t> bytes = TwoInterfaces();
    PUSB_CONFIGURATION_DESCRIPTOR cd = AsConfiguration(bytes);
    EXPECT_EQ(USBD_ParseDescriptors(cd, cd->wTotalLength, cd, 0x24),
              reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(bytes.data() + 9 + 9 + 7 + 7 + 9 + 7));
    bytes[9 + 9 + 7] = 0;  // an endpoint descriptor of length 0
    EXPECT_EQ(USBD_ParseDescriptors(cd, cd->wTotalLength, cd, 0x24), nullptr);
    // Within the length given only.
    std::vector<uint8_t> clean = TwoInterfaces();
    EXPECT_EQ(USBD_ParseDescriptors(clean.data(), 9 + 9 + 7, clean.data(), 0x24), nullptr);
}

TEST(Usbd, CreateConfigurationRequestHasRoomForAlternateSettingZeroOfEachInterface)
{
    std::vector<uint8_t> bytes = TwoInterfaces();
    PUSB_CONFIGURATION_DESCRIPTOR cd = AsConfiguration(bytes);
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(cd, &size);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(size, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 2 + 3));
    EXPECT_EQ(urb->UrbHeader.Length, size);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, cd);
    EXPECT_GE(sim::pool::BlockSize(urb), size);

    auto *info = &urb->UrbSelectConfiguration.Interface;
    const struct {
        UCHAR number;
        ULONG pipes;
    } expected[] = {{0, 2}, {1, 3}};
    for (const auto &e : expected) {
        SCOPED_TRACE(int(e.number));
        EXPECT_EQ(info->InterfaceNumber, e.number);
        EXPECT_EQ(info->AlternateSetting, 0);
        EXPECT_EQ(info->NumberOfPipes, e.pipes);
        EXPECT_EQ(info->Length, GET_USBD_INTERFACE_SIZE(e.pipes));
        for (ULONG k = 0; k < e.pipes; k++)
            EXPECT_EQ(info->Pipes[k].MaximumTransferSize, ULONG(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE));
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t *>(info) + info->Length);
    }
    EXPECT_EQ(reinterpret_cast<uint8_t *>(info), reinterpret_cast<uint8_t *>(urb) + size);
    ExFreePool(urb);
}

TEST(Usbd, CreateConfigurationRequestExPointsEachEntryAtItsInformation)
{
    std::vector<uint8_t> bytes = TwoInterfaces();
    PUSB_CONFIGURATION_DESCRIPTOR cd = AsConfiguration(bytes);
    USBD_INTERFACE_LIST_ENTRY list[] = {
        {USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 1, -1, -1, -1), nullptr},
        {nullptr, nullptr},
    };
    PURB urb = USBD_CreateConfigurationRequestEx(cd, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(list[0].Interface->AlternateSetting, 1);
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 1u);
    EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 1));
    ExFreePool(urb);
}

TEST(Usbd, CreateConfigurationRequestIsNullWithoutMemory)
{
    std::vector<uint8_t> bytes = TwoInterfaces();
    nvtest::InjectionScope injection;
    // The list it builds first, then the URB: either failing gives NULL.
    for (std::uint64_t n : {1u, 2u}) {
        SCOPED_TRACE(n);
        sim::pool::FailNth(n);
        USHORT size = 0xBEEF;
        EXPECT_EQ(USBD_CreateConfigurationRequest(AsConfiguration(bytes), &size), nullptr);
        EXPECT_EQ(size, 0);
        sim::pool::ClearInjection();
    }
}

TEST(Usbd, VersionIsReported)
{
    USBD_VERSION_INFORMATION v{};
    USBD_GetUSBDIVersion(&v);
    EXPECT_NE(v.USBDI_Version, 0u);
    EXPECT_GE(v.Supported_USB_Version, 0x110u);
}

}  // namespace
