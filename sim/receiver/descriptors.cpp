// The programmed receiver's descriptors: what the bus answers GET_DESCRIPTOR
// with, in wire format.

#include "firmware.h"

#include <algorithm>
#include <stdexcept>

namespace sim::receiver {

namespace {

void Put16(std::vector<uint8_t> &d, uint16_t v)
{
    d.push_back(uint8_t(v));
    d.push_back(uint8_t(v >> 8));
}

void Endpoint(std::vector<uint8_t> &d, uint8_t address, uint8_t attributes, uint16_t maxPacket, uint8_t interval)
{
    d.insert(d.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, attributes});
    Put16(d, maxPacket);
    d.push_back(interval);
}

// Vendor descriptors after the endpoints, of the interface's (vendor)
// class: bLength, CS_INTERFACE, subtype 0xFF (reserved, zero-filled). Host
// software skips them; they only make the set longer.
constexpr uint8_t kClassSpecificInterface = 0x24;
constexpr uint8_t kSubtypeReserved = 0xFF;
constexpr std::size_t kPadHeader = 3;
constexpr std::size_t kPadMax = 255;

void Pad(std::vector<uint8_t> &d, std::size_t bytes)
{
    while (bytes != 0) {
        std::size_t n = std::min(bytes, kPadMax);
        // Never leave a remainder too short for a descriptor header.
        if (bytes - n != 0 && bytes - n < kPadHeader)
            n -= kPadHeader;
        d.insert(d.end(), {uint8_t(n), kClassSpecificInterface, kSubtypeReserved});
        d.insert(d.end(), n - kPadHeader, 0);
        bytes -= n;
    }
}

}  // namespace

std::vector<uint8_t> BuildDeviceDescriptor()
{
    std::vector<uint8_t> d = {18, USB_DEVICE_DESCRIPTOR_TYPE};
    Put16(d, 0x0200);              // bcdUSB
    d.insert(d.end(), {0, 0, 0});  // class in the interface
    d.push_back(64);               // bMaxPacketSize0
    Put16(d, kVendorId);
    Put16(d, kProgrammedProductId);
    Put16(d, kFirmwareVersion);
    d.insert(d.end(), {0, 0, 0});  // no strings
    d.push_back(1);                // bNumConfigurations
    return d;
}

std::vector<uint8_t> BuildConfigurationDescriptor(const Options &options)
{
    std::size_t total = options.configurationLength == 0 ? kNaturalConfigurationLength : options.configurationLength;
    if (total != kNaturalConfigurationLength && total < kNaturalConfigurationLength + kPadHeader)
        throw std::invalid_argument("configurationLength must be 0 or at least the natural length plus 3");

    std::vector<uint8_t> d = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE};
    Put16(d, uint16_t(total));
    d.push_back(1);  // bNumInterfaces
    d.push_back(kConfigurationValue);
    d.push_back(0);     // iConfiguration
    d.push_back(0x80);  // bus-powered
    d.push_back(250);   // 500 mA

    d.insert(d.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 3, 0xFF, 0x00, 0x00, 0});
    Endpoint(d, kCommandEndpoint, USB_ENDPOINT_TYPE_BULK, kCommandPacketSize, 0);
    Endpoint(d, kReplyEndpoint, USB_ENDPOINT_TYPE_BULK, kReplyPacketSize, 0);
    if (options.stream == StreamKind::Isochronous)
        Endpoint(d, kStreamEndpoint, USB_ENDPOINT_TYPE_ISOCHRONOUS, kIsochPacketSize, 1);
    else
        Endpoint(d, kStreamEndpoint, USB_ENDPOINT_TYPE_BULK, kBulkStreamPacketSize, 0);
    Pad(d, total - d.size());
    return d;
}

}  // namespace sim::receiver
