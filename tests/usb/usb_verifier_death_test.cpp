// Faults of the stand-in USB bus: what a real stack may crash on, stopped
// at once with the rule named.

#include "usb_test_support.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace usbtest;
using nvtest::VerifierFault;
using sim::usb::Bus;

namespace {

TEST(UsbBusDeathTest, UrbShorterThanItsFunctionNeeds)
{
    EXPECT_DEATH(
        {
            Bus bus;
            FakeDevice device;
            Port *port = bus.Plug(device);
            std::vector<uint8_t> buffer(18);
            URB urb = MakeDescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, buffer.data(), 18);
            urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) - 4;
            SubmitSync(port->PhysicalDeviceObject(), &urb);
        },
        VerifierFault("URB_LENGTH_TOO_SHORT"));
}

TEST(UsbBusDeathTest, IsochronousUrbWithoutRoomForItsPackets)
{
    EXPECT_DEATH(
        {
            Bus bus;
            FakeDevice device;
            Port *port = bus.Plug(device);
            std::vector<uint8_t> info;
            SelectConfiguration(port->PhysicalDeviceObject(), device.configuration, 24064, &info);
            IsochUrb urb(PipesOf(info)[2].PipeHandle, 4, kIsoPacket);
            urb->Hdr.Length = USHORT(GET_ISO_URB_SIZE(3));
            SubmitSync(port->PhysicalDeviceObject(), urb.get());
        },
        VerifierFault("URB_LENGTH_TOO_SHORT"));
}

TEST(UsbBusDeathTest, SelectConfigurationAbovePassiveLevel)
{
    EXPECT_DEATH(
        {
            Bus bus;
            FakeDevice device;
            Port *port = bus.Plug(device);
            auto cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(device.configuration.data());
            USHORT size;
            PURB urb = USBD_CreateConfigurationRequest(cd, &size);
            AsyncRequest request(port->PhysicalDeviceObject());
            nvtest::RaisedIrql dispatch(DISPATCH_LEVEL);
            request.Send(urb);
        },
        VerifierFault("IRQL_TOO_HIGH"));
}

TEST(UsbBusDeathTest, MdlTransferBuffersAreNotImplemented)
{
    EXPECT_DEATH(
        {
            Bus bus;
            FakeDevice device;
            Port *port = bus.Plug(device);
            URB urb = MakeDescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, nullptr, 18);
            urb.UrbControlDescriptorRequest.TransferBufferMDL = reinterpret_cast<PMDL>(&urb);
            SubmitSync(port->PhysicalDeviceObject(), &urb);
        },
        VerifierFault("UNSUPPORTED_BY_STAND_IN"));
}

TEST(UsbBusDeathTest, BusTornDownUnderAnAttachedDevice)
{
    EXPECT_DEATH(
        {
            nvtest::TestDevice upper;
            Bus bus;
            FakeDevice device;
            upper.AttachTo(bus.Plug(device)->PhysicalDeviceObject());
            // ~Bus deletes the PDO while upper still sits on it.
        },
        VerifierFault("DEVICE_DELETED_WHILE_ATTACHED"));
}

}  // namespace
