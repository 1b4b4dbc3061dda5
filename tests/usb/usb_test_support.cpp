#include "usb_test_support.h"

#include <gtest/gtest.h>

#include <cstring>

namespace usbtest {

std::vector<uint8_t> DeviceDescriptorBytes(uint16_t vendor, uint16_t product)
{
    return {18, USB_DEVICE_DESCRIPTOR_TYPE, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 64, uint8_t(vendor), uint8_t(vendor >> 8),
            uint8_t(product), uint8_t(product >> 8), 0x00, 0x01, 0, 0, 0, 1};
}

std::vector<uint8_t> ConfigurationBytes(const std::vector<EndpointSpec> &endpoints, std::size_t totalLength)
{
    std::vector<uint8_t> b = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, 1, 0, 0x80, 50};
    b.insert(b.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, uint8_t(endpoints.size()), 0xFF, 0x01, 0x02, 0});
    for (const EndpointSpec &e : endpoints)
        b.insert(b.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, e.address, e.type, uint8_t(e.maxPacket),
                           uint8_t(e.maxPacket >> 8), e.interval});
    // Vendor-specific descriptors (type 0x41) of up to 255 bytes fill the
    // rest; their content is a running count so a short read shows.
    while (b.size() < totalLength) {
        const std::size_t n = std::min<std::size_t>(255, totalLength - b.size());
        const std::size_t len = n == 1 ? 2 : n;  // a descriptor has two bytes at least
        b.push_back(uint8_t(len));
        b.push_back(0x41);
        for (std::size_t i = 2; i < len; i++)
            b.push_back(uint8_t(b.size()));
    }
    b[2] = uint8_t(b.size());
    b[3] = uint8_t(b.size() >> 8);
    return b;
}

std::vector<EndpointSpec> ReceiverEndpoints()
{
    return {{kCommandPipe, USB_ENDPOINT_TYPE_BULK, kBulkPacket, 0},
            {kReplyPipe, USB_ENDPOINT_TYPE_BULK, kBulkPacket, 0},
            {kStreamPipe, USB_ENDPOINT_TYPE_ISOCHRONOUS, kIsoPacket, 1}};
}

FakeDevice::FakeDevice() : device(DeviceDescriptorBytes()), configuration(ConfigurationBytes(ReceiverEndpoints())) {}

std::vector<uint8_t> FakeDevice::DeviceDescriptor()
{
    return device;
}

std::vector<uint8_t> FakeDevice::ConfigurationDescriptor()
{
    return configuration;
}

ControlAnswer FakeDevice::Control(Port &, const SetupPacket &setup, std::vector<uint8_t> &data)
{
    {
        std::lock_guard<std::mutex> g(lock_);
        setups_.push_back(setup);
        setupData_.push_back(data);
    }
    return onControl ? onControl(setup, data) : ControlAnswer::Ack;
}

void FakeDevice::TransferQueued(Port &port, uint8_t endpointAddress)
{
    if (onQueued)
        onQueued(port, endpointAddress);
}

void FakeDevice::ConfigurationSelected(Port &, uint8_t value)
{
    std::lock_guard<std::mutex> g(lock_);
    configurations_.push_back(value);
}

void FakeDevice::EndpointReset(Port &, uint8_t endpointAddress)
{
    std::lock_guard<std::mutex> g(lock_);
    resets_.push_back(endpointAddress);
}

std::vector<SetupPacket> FakeDevice::Setups()
{
    std::lock_guard<std::mutex> g(lock_);
    return setups_;
}

std::vector<std::vector<uint8_t>> FakeDevice::SetupData()
{
    std::lock_guard<std::mutex> g(lock_);
    return setupData_;
}

std::vector<uint8_t> FakeDevice::Configurations()
{
    std::lock_guard<std::mutex> g(lock_);
    return configurations_;
}

std::vector<uint8_t> FakeDevice::Resets()
{
    std::lock_guard<std::mutex> g(lock_);
    return resets_;
}

NTSTATUS SubmitSync(PDEVICE_OBJECT pdo, PURB urb, NTSTATUS *returned)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, NULL, 0, NULL, 0, TRUE, &event,
                                             &iosb);
    if (irp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IofCallDriver(pdo, irp);
    if (returned != nullptr)
        *returned = status;
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = iosb.Status;
    }
    return status;
}

AsyncRequest::AsyncRequest(PDEVICE_OBJECT pdo) : pdo_(pdo)
{
    KeInitializeEvent(&done_, NotificationEvent, FALSE);
    irp_ = IoAllocateIrp(CCHAR(pdo->StackSize + 1), FALSE);
}

AsyncRequest::~AsyncRequest()
{
    if (irp_ != nullptr)
        IoFreeIrp(irp_);
}

NTSTATUS AsyncRequest::Send(PURB urb)
{
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp_);
    sp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    sp->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp_, Completion, this, TRUE, TRUE, TRUE);
    return IofCallDriver(pdo_, irp_);
}

bool AsyncRequest::Wait(double seconds)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = -LONGLONG(seconds * 10000000.0);
    return KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

bool AsyncRequest::Completed() const
{
    return KeReadStateEvent(const_cast<PKEVENT>(&done_)) != 0;
}

NTSTATUS NTAPI AsyncRequest::Completion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto *self = static_cast<AsyncRequest *>(context);
    self->status = irp->IoStatus.Status;
    self->irql = KeGetCurrentIrql();
    self->cancel = __atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST);  // IoCancelIrp may set it meanwhile
    self->thread = std::this_thread::get_id();
    self->calls++;
    KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

URB MakeDescriptorRequest(UCHAR type, PVOID buffer, ULONG length)
{
    URB urb;
    std::memset(&urb, 0, sizeof urb);
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0, buffer, NULL,
                                 length, NULL);
    return urb;
}

URB MakeBulk(USBD_PIPE_HANDLE pipe, PVOID buffer, ULONG length, ULONG flags)
{
    URB urb;
    std::memset(&urb, 0, sizeof urb);
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer, NULL,
                                           length, flags, NULL);
    return urb;
}

URB MakeVendor(UCHAR request, USHORT value, PVOID buffer, ULONG length, ULONG flags)
{
    URB urb;
    std::memset(&urb, 0, sizeof urb);
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          flags, 0, request, value, 0, buffer, NULL, length, NULL);
    return urb;
}

URB MakeResetPipe(USBD_PIPE_HANDLE pipe)
{
    URB urb;
    std::memset(&urb, 0, sizeof urb);
    urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
    urb.UrbPipeRequest.PipeHandle = pipe;
    return urb;
}

IsochUrb::IsochUrb(USBD_PIPE_HANDLE pipe, ULONG packets, ULONG packetSize)
    : buffer(std::size_t(packets) * packetSize, 0xEE), storage_((GET_ISO_URB_SIZE(packets) + 7) / 8, 0)
{
    _URB_ISOCH_TRANSFER &x = **this;
    x.Hdr.Length = USHORT(GET_ISO_URB_SIZE(packets));
    x.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    x.PipeHandle = pipe;
    x.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK | USBD_START_ISO_TRANSFER_ASAP;
    x.TransferBuffer = buffer.data();
    x.TransferBufferLength = ULONG(buffer.size());
    x.NumberOfPackets = packets;
    for (ULONG k = 0; k < packets; k++)
        x.IsoPacket[k].Offset = k * packetSize;
}

NTSTATUS SelectConfiguration(PDEVICE_OBJECT pdo, std::vector<uint8_t> &configuration, ULONG maxTransfer,
                             std::vector<uint8_t> *interfaceInfo)
{
    auto cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(cd, &size);
    if (urb == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectConfiguration.Interface;
    for (ULONG k = 0; k < info->NumberOfPipes; k++)
        info->Pipes[k].MaximumTransferSize = maxTransfer;
    const NTSTATUS status = SubmitSync(pdo, urb);
    if (interfaceInfo != nullptr)
        interfaceInfo->assign(reinterpret_cast<uint8_t *>(info), reinterpret_cast<uint8_t *>(info) + info->Length);
    ExFreePool(urb);
    return status;
}

std::vector<USBD_PIPE_INFORMATION> PipesOf(const std::vector<uint8_t> &interfaceInfo)
{
    auto info = reinterpret_cast<const USBD_INTERFACE_INFORMATION *>(interfaceInfo.data());
    return std::vector<USBD_PIPE_INFORMATION>(info->Pipes, info->Pipes + info->NumberOfPipes);
}

}  // namespace usbtest
