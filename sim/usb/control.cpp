// The requests the bus answers at once, on the default pipe or on its own:
// descriptor reads, select configuration, reset pipe, vendor requests.
// Each is answered inside the dispatch routine (Immediate) or handed to a
// worker (Worker); none waits for the device.

#include "usb_internal.h"

#include <algorithm>
#include <cstring>

using sim::VerifierFault;

namespace sim::usb {

namespace {

bool IsGone(Port::State &port)
{
    std::lock_guard<std::mutex> g(port.bus->lock);
    return port.gone;
}

// A control transfer on the default pipe ended: counted under endpoint 0.
NTSTATUS FinishControl(Port::State &port, PIRP irp, PURB urb, USBD_STATUS status, ULONG bytes)
{
    const NTSTATUS nt = NtStatusOf(status);
    {
        std::lock_guard<std::mutex> g(port.bus->lock);
        EndpointCounters &c = port.counters.endpoints[0];
        c.transfers++;
        c.bytes += bytes;
        c.errors += !NT_SUCCESS(nt);
    }
    urb->UrbHeader.Status = status;
    irp->IoStatus.Status = nt;
    irp->IoStatus.Information = 0;
    return CompleteFromDispatch(*port.bus, irp);
}

// One interface of a configuration descriptor with its endpoint
// descriptors, in their order.
struct ParsedInterface {
    const USB_INTERFACE_DESCRIPTOR *descriptor = nullptr;
    std::vector<const USB_ENDPOINT_DESCRIPTOR *> endpoints;
};

// The interfaces of a configuration descriptor set; false when the set does
// not walk cleanly (a descriptor shorter than its header or running past
// wTotalLength, an interface with fewer endpoint descriptors than it says,
// a data endpoint with no packet size).
bool ParseConfiguration(const USB_CONFIGURATION_DESCRIPTOR *cd, std::vector<ParsedInterface> *interfaces)
{
    if (cd->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        cd->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE || cd->wTotalLength < cd->bLength)
        return false;
    const UCHAR *p = reinterpret_cast<const UCHAR *>(cd) + cd->bLength;
    const UCHAR *end = reinterpret_cast<const UCHAR *>(cd) + cd->wTotalLength;
    while (p < end) {
        auto c = reinterpret_cast<const USB_COMMON_DESCRIPTOR *>(p);
        if (end - p < 2 || c->bLength < 2 || c->bLength > end - p)
            return false;
        if (c->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (c->bLength < sizeof(USB_INTERFACE_DESCRIPTOR))
                return false;
            interfaces->push_back({reinterpret_cast<const USB_INTERFACE_DESCRIPTOR *>(p), {}});
        } else if (c->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE && !interfaces->empty()) {
            auto e = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR *>(p);
            if (c->bLength < sizeof(USB_ENDPOINT_DESCRIPTOR))
                return false;
            const UCHAR type = e->bmAttributes & USB_ENDPOINT_TYPE_MASK;
            if (type != USB_ENDPOINT_TYPE_ISOCHRONOUS && (e->wMaxPacketSize & 0x7FF) == 0)
                return false;
            interfaces->back().endpoints.push_back(e);
        }
        p += c->bLength;
    }
    for (const ParsedInterface &i : *interfaces)
        if (i.endpoints.size() != i.descriptor->bNumEndpoints)
            return false;
    return true;
}

const ParsedInterface *FindInterface(const std::vector<ParsedInterface> &interfaces, UCHAR number, UCHAR alternate)
{
    for (const ParsedInterface &i : interfaces)
        if (i.descriptor->bInterfaceNumber == number && i.descriptor->bAlternateSetting == alternate)
            return &i;
    return nullptr;
}

// Lock held. Closes the pipes of the current configuration: their
// transfers end as an aborted pipe's do.
void ClosePipes(Port::State &port, Ready &ready)
{
    for (auto &entry : port.pipes) {
        EndAll(port, entry.second, USBD_STATUS_CANCELED, ready);
        entry.second->current = false;
    }
    port.pipes.clear();
    port.configurationValue = 0;
}

}  // namespace

NTSTATUS GetDescriptor(Port::State &port, PIRP irp, PURB urb)
{
    auto &d = urb->UrbControlDescriptorRequest;
    if (IsGone(port))
        return FailRequest(port, irp, urb, USBD_STATUS_DEVICE_GONE);
    if (d.UrbLink != NULL)
        VerifierFault("UNSUPPORTED_BY_STAND_IN", "GET_DESCRIPTOR_FROM_DEVICE: linked URBs are not implemented");
    if (!CheckBuffer(d.TransferBuffer, d.TransferBufferMDL, d.TransferBufferLength, "GET_DESCRIPTOR_FROM_DEVICE"))
        return FailRequest(port, irp, urb, USBD_STATUS_INVALID_PARAMETER);

    // The device has one configuration and no string descriptors: it
    // stalls GET_DESCRIPTOR for anything else.
    std::vector<uint8_t> bytes;
    if (d.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE && d.Index == 0)
        bytes = port.device->DeviceDescriptor();
    else if (d.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && d.Index == 0)
        bytes = port.device->ConfigurationDescriptor();
    else {
        d.TransferBufferLength = 0;
        return FinishControl(port, irp, urb, USBD_STATUS_STALL_PID, 0);
    }
    const ULONG n = ULONG(std::min<std::size_t>(d.TransferBufferLength, bytes.size()));
    if (n != 0)
        std::memcpy(d.TransferBuffer, bytes.data(), n);
    d.TransferBufferLength = n;
    return FinishControl(port, irp, urb, USBD_STATUS_SUCCESS, n);
}

NTSTATUS SelectConfiguration(Port::State &port, PIRP irp, PURB urb)
{
    sim::hal::RequireIrqlAtMost(PASSIVE_LEVEL, "URB_FUNCTION_SELECT_CONFIGURATION");
    auto &sc = urb->UrbSelectConfiguration;
    if (IsGone(port))
        return FailRequest(port, irp, urb, USBD_STATUS_DEVICE_GONE);
    Bus::State &bus = *port.bus;
    Ready ready;

    const PUSB_CONFIGURATION_DESCRIPTOR cd = sc.ConfigurationDescriptor;
    if (cd == NULL) {
        {
            std::lock_guard<std::mutex> g(bus.lock);
            ClosePipes(port, ready);
        }
        Deliver(bus, ready);
        port.device->ConfigurationSelected(*port.port, 0);
        return FinishControl(port, irp, urb, USBD_STATUS_SUCCESS, 0);
    }

    std::vector<ParsedInterface> interfaces;
    if (!ParseConfiguration(cd, &interfaces))
        return FailRequest(port, irp, urb, USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR);

    // Every interface information the caller sized, checked before
    // anything changes.
    std::vector<std::pair<PUSBD_INTERFACE_INFORMATION, const ParsedInterface *>> selected;
    UCHAR *next = reinterpret_cast<UCHAR *>(&sc.Interface);
    const UCHAR *end = reinterpret_cast<UCHAR *>(urb) + urb->UrbHeader.Length;
    for (UCHAR i = 0; i < cd->bNumInterfaces; i++) {
        if (next + GET_USBD_INTERFACE_SIZE(0) > end)
            VerifierFault("URB_LENGTH_TOO_SHORT",
                          "SELECT_CONFIGURATION URB %p: Hdr.Length %u ends before interface information %u",
                          static_cast<void *>(urb), urb->UrbHeader.Length, unsigned(i));
        auto info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(next);
        const ParsedInterface *parsed = FindInterface(interfaces, info->InterfaceNumber, info->AlternateSetting);
        if (parsed == nullptr)
            return FailRequest(port, irp, urb, USBD_STATUS_INTERFACE_NOT_FOUND);
        const std::size_t need = GET_USBD_INTERFACE_SIZE(parsed->endpoints.size());
        if (info->Length < need)
            return FailRequest(port, irp, urb, USBD_STATUS_BUFFER_TOO_SMALL);
        if (next + need > end)
            VerifierFault("URB_LENGTH_TOO_SHORT",
                          "SELECT_CONFIGURATION URB %p: Hdr.Length %u ends inside interface information %u",
                          static_cast<void *>(urb), urb->UrbHeader.Length, unsigned(i));
        selected.emplace_back(info, parsed);
        next += info->Length;
    }

    // SET_CONFIGURATION: the device knows only its own configuration value.
    const std::vector<uint8_t> own = port.device->ConfigurationDescriptor();
    if (own.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR) || own[5] != cd->bConfigurationValue)
        return FailRequest(port, irp, urb, USBD_STATUS_SET_CONFIG_FAILED);

    {
        std::lock_guard<std::mutex> g(bus.lock);
        if (port.gone) {
            // Left meanwhile: nothing changes.
        } else {
            ClosePipes(port, ready);
            for (auto &[info, parsed] : selected) {
                const USB_INTERFACE_DESCRIPTOR *id = parsed->descriptor;
                info->Class = id->bInterfaceClass;
                info->SubClass = id->bInterfaceSubClass;
                info->Protocol = id->bInterfaceProtocol;
                info->Reserved = 0;
                info->InterfaceHandle = NewHandle(bus);
                info->NumberOfPipes = ULONG(parsed->endpoints.size());
                for (std::size_t k = 0; k < parsed->endpoints.size(); k++) {
                    const USB_ENDPOINT_DESCRIPTOR *e = parsed->endpoints[k];
                    USBD_PIPE_INFORMATION &pipe = info->Pipes[k];
                    auto ep = std::make_unique<EndpointState>();
                    ep->address = e->bEndpointAddress;
                    ep->type = USBD_PIPE_TYPE(e->bmAttributes & USB_ENDPOINT_TYPE_MASK);
                    ep->maxPacket = USHORT(e->wMaxPacketSize & 0x7FF);
                    ep->interval = e->bInterval;
                    ep->maxTransfer = pipe.MaximumTransferSize;  // as the caller asked
                    ep->handle = NewHandle(bus);
                    ep->current = true;
                    pipe.MaximumPacketSize = ep->maxPacket;
                    pipe.EndpointAddress = ep->address;
                    pipe.Interval = ep->interval;
                    pipe.PipeType = ep->type;
                    pipe.PipeHandle = ep->handle;
                    port.pipes[ep->handle] = ep.get();
                    port.endpoints.push_back(std::move(ep));
                }
            }
            port.configurationValue = cd->bConfigurationValue;
            sc.ConfigurationHandle = NewHandle(bus);
        }
    }
    Deliver(bus, ready);
    if (IsGone(port))
        return FailRequest(port, irp, urb, USBD_STATUS_DEVICE_GONE);
    port.device->ConfigurationSelected(*port.port, cd->bConfigurationValue);
    return FinishControl(port, irp, urb, USBD_STATUS_SUCCESS, 0);
}

NTSTATUS ResetPipe(Port::State &port, PIRP irp, PURB urb)
{
    Bus::State &bus = *port.bus;
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    uint8_t address = 0;
    {
        std::lock_guard<std::mutex> g(bus.lock);
        auto it = port.pipes.find(urb->UrbPipeRequest.PipeHandle);
        if (port.gone)
            status = USBD_STATUS_DEVICE_GONE;
        else if (it == port.pipes.end())
            status = USBD_STATUS_INVALID_PIPE_HANDLE;
        else {
            it->second->halted = false;
            it->second->stalled = false;
            address = it->second->address;
            port.counters.resets++;
        }
    }
    if (status != USBD_STATUS_SUCCESS)
        return FailRequest(port, irp, urb, status);
    port.device->EndpointReset(*port.port, address);
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    return CompleteFromDispatch(bus, irp);
}

NTSTATUS VendorDevice(Port::State &port, PIRP irp, PURB urb)
{
    auto &v = urb->UrbControlVendorClassRequest;
    if (IsGone(port))
        return FailRequest(port, irp, urb, USBD_STATUS_DEVICE_GONE);
    if (v.UrbLink != NULL)
        VerifierFault("UNSUPPORTED_BY_STAND_IN", "VENDOR_DEVICE: linked URBs are not implemented");
    if (v.TransferBufferLength > 0xFFFF ||
        !CheckBuffer(v.TransferBuffer, v.TransferBufferMDL, v.TransferBufferLength, "VENDOR_DEVICE"))
        return FailRequest(port, irp, urb, USBD_STATUS_INVALID_PARAMETER);

    const bool in = (v.TransferFlags & USBD_TRANSFER_DIRECTION) == USBD_TRANSFER_DIRECTION_IN;
    const auto length = USHORT(v.TransferBufferLength);
    SetupPacket setup{};
    setup.bmRequestType = UCHAR((in ? BMREQUEST_DEVICE_TO_HOST : BMREQUEST_HOST_TO_DEVICE) << 7 |
                                BMREQUEST_VENDOR << 5 | (v.RequestTypeReservedBits & 0x1F) |
                                BMREQUEST_TO_DEVICE);
    setup.bRequest = v.Request;
    setup.wValue = v.Value;
    setup.wIndex = v.Index;
    setup.wLength = length;

    std::vector<uint8_t> data;
    if (!in && length != 0)
        data.assign(static_cast<UCHAR *>(v.TransferBuffer), static_cast<UCHAR *>(v.TransferBuffer) + length);
    if (port.device->Control(*port.port, setup, data) == ControlAnswer::Stall) {
        v.TransferBufferLength = 0;
        return FinishControl(port, irp, urb, USBD_STATUS_STALL_PID, 0);
    }
    if (!in)
        return FinishControl(port, irp, urb, USBD_STATUS_SUCCESS, length);
    const ULONG n = ULONG(std::min<std::size_t>(length, data.size()));
    if (n != 0)
        std::memcpy(v.TransferBuffer, data.data(), n);
    v.TransferBufferLength = n;
    const bool shortOk = (v.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
    return FinishControl(port, irp, urb, n < length && !shortOk ? USBD_STATUS_DATA_UNDERRUN : USBD_STATUS_SUCCESS,
                         n);
}

}  // namespace sim::usb
