#include "receiver_harness.h"

#include <gtest/gtest.h>

#include <usbdlib.h>

#include <cstring>

namespace rxtest {

namespace {

LARGE_INTEGER RelativeSeconds(double seconds)
{
    LARGE_INTEGER t;
    t.QuadPart = -LONGLONG(seconds * 10000000.0);
    return t;
}

// The URB union, zero-filled, aligned.
std::vector<uint64_t> UrbStorage(std::size_t bytes)
{
    return std::vector<uint64_t>((bytes + 7) / 8, 0);
}

}  // namespace

NTSTATUS SubmitSync(PDEVICE_OBJECT pdo, PURB urb, double seconds)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, NULL, 0, NULL, 0, TRUE, &event, &iosb);
    if (irp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IofCallDriver(pdo, irp);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER limit = RelativeSeconds(seconds);
        if (KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, &limit) == STATUS_TIMEOUT) {
            ADD_FAILURE() << "URB function 0x" << std::hex << urb->UrbHeader.Function << " did not come back";
            // Until the event is signalled the I/O manager has not freed
            // the IRP, so it may still be cancelled.
            IoCancelIrp(irp);
            KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, NULL);
        }
        status = iosb.Status;
    }
    return status;
}

AsyncTransfer::AsyncTransfer(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, ULONG length, bool in)
    : buffer(length), pdo_(pdo), storage_(UrbStorage(sizeof(URB)))
{
    KeInitializeEvent(&done_, NotificationEvent, FALSE);
    UsbBuildInterruptOrBulkTransferRequest(urb(), sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                                           length != 0 ? buffer.data() : NULL, NULL, length,
                                           in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK
                                              : USBD_SHORT_TRANSFER_OK,
                                           NULL);
    irp_ = IoAllocateIrp(pdo->StackSize, FALSE);
}

AsyncTransfer::AsyncTransfer(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, ULONG packets, ULONG packetSize,
                             ULONG bufferLength)
    : buffer(bufferLength), pdo_(pdo), storage_(UrbStorage(GET_ISO_URB_SIZE(packets)))
{
    KeInitializeEvent(&done_, NotificationEvent, FALSE);
    auto &x = urb()->UrbIsochronousTransfer;
    x.Hdr.Length = USHORT(GET_ISO_URB_SIZE(packets));
    x.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    x.PipeHandle = pipe;
    x.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK | USBD_START_ISO_TRANSFER_ASAP;
    x.TransferBuffer = buffer.data();
    x.TransferBufferLength = bufferLength;
    x.NumberOfPackets = packets;
    for (ULONG k = 0; k < packets; k++)
        x.IsoPacket[k].Offset = k * packetSize;
    irp_ = IoAllocateIrp(pdo->StackSize, FALSE);
}

AsyncTransfer::~AsyncTransfer()
{
    if (sent_ && !Wait(30))
        ADD_FAILURE() << "a transfer never completed; its IRP is leaked";
    else
        IoFreeIrp(irp_);
}

NTSTATUS AsyncTransfer::Send()
{
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb();
    IoSetCompletionRoutine(irp_, Completion, &done_, TRUE, TRUE, TRUE);
    sent_ = true;
    return IofCallDriver(pdo_, irp_);
}

NTSTATUS NTAPI AsyncTransfer::Completion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    (void)device;
    (void)irp;
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;  // the IRP stays ours to free
}

bool AsyncTransfer::Wait(double seconds)
{
    LARGE_INTEGER limit = RelativeSeconds(seconds);
    return KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, &limit) == STATUS_SUCCESS;
}

bool AsyncTransfer::Completed()
{
    return KeReadStateEvent(&done_) != 0;
}

void AsyncTransfer::Cancel()
{
    IoCancelIrp(irp_);
}

ULONG AsyncTransfer::Moved() const
{
    const PURB u = urb();
    return u->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER ? u->UrbIsochronousTransfer.TransferBufferLength
                                                                : u->UrbBulkOrInterruptTransfer.TransferBufferLength;
}

Harness::Harness(Options options, sim::usb::BusOptions busOptions) : rx(options), bus(busOptions)
{
    port = rx.Plug(bus);
    if (port == nullptr)
        throw std::runtime_error("the bus refused the receiver");
    pdo = port->PhysicalDeviceObject();
}

Result Harness::Descriptor(UCHAR type, ULONG length)
{
    Result r;
    r.data.assign(length, 0xCC);
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0,
                                 length != 0 ? r.data.data() : NULL, NULL, length, NULL);
    r.status = SubmitSync(pdo, &urb);
    r.usbd = urb.UrbHeader.Status;
    r.data.resize(urb.UrbControlDescriptorRequest.TransferBufferLength);
    return r;
}

std::vector<uint8_t> Harness::ReadConfiguration(std::vector<ULONG> *requests)
{
    ULONG size = 521;
    for (;;) {
        if (requests != nullptr)
            requests->push_back(size);
        Result r = Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, size);
        if (r.data.size() < 4)
            return r.data;
        const ULONG total = r.data[2] | ULONG(r.data[3]) << 8;
        if (total <= size)
            return r.data;
        size = total;
    }
}

NTSTATUS Harness::Configure(ULONG maxTransfer)
{
    configuration_ = ReadConfiguration();
    if (configuration_.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return STATUS_UNSUCCESSFUL;
    auto *cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration_.data());
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(cd, &size);
    if (urb == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectConfiguration.Interface;
    for (ULONG k = 0; k < info->NumberOfPipes; k++)
        info->Pipes[k].MaximumTransferSize = maxTransfer;
    const NTSTATUS status = SubmitSync(pdo, urb);
    if (NT_SUCCESS(status)) {
        const auto *bytes = reinterpret_cast<const uint8_t *>(info);
        interface_.assign(bytes, bytes + info->Length);
    }
    ExFreePool(urb);
    return status;
}

const USBD_INTERFACE_INFORMATION &Harness::Interface() const
{
    if (interface_.empty())
        throw std::logic_error("not configured");
    return *reinterpret_cast<const USBD_INTERFACE_INFORMATION *>(interface_.data());
}

const USBD_PIPE_INFORMATION &Harness::Pipe(ULONG index) const
{
    if (index >= Interface().NumberOfPipes)
        throw std::out_of_range("no such pipe");
    return Interface().Pipes[index];
}

Result Harness::Write(const std::vector<uint8_t> &bytes, ULONG pipe)
{
    Result r;
    std::vector<uint8_t> copy = bytes;
    URB urb{};
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           Pipe(pipe).PipeHandle, copy.empty() ? NULL : copy.data(), NULL,
                                           ULONG(copy.size()), USBD_SHORT_TRANSFER_OK, NULL);
    r.status = SubmitSync(pdo, &urb);
    r.usbd = urb.UrbHeader.Status;
    return r;
}

Result Harness::Read(ULONG length, ULONG pipe, double seconds)
{
    Result r;
    r.data.assign(length, 0xCC);
    URB urb{};
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           Pipe(pipe).PipeHandle, length != 0 ? r.data.data() : NULL, NULL, length,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, NULL);
    r.status = SubmitSync(pdo, &urb, seconds);
    r.usbd = urb.UrbHeader.Status;
    r.data.resize(urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    return r;
}

Result Harness::Exchange(const std::vector<uint8_t> &command, ULONG answerLength)
{
    Result w = Write(command);
    if (!NT_SUCCESS(w.status))
        return w;
    return Read(answerLength);
}

NTSTATUS Harness::ResetPipe(ULONG index)
{
    URB urb{};
    urb.UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbPipeRequest.Hdr.Function = URB_FUNCTION_RESET_PIPE;
    urb.UrbPipeRequest.PipeHandle = Pipe(index).PipeHandle;
    return SubmitSync(pdo, &urb);
}

std::size_t CountingSource::Read(uint8_t *buffer, std::size_t length)
{
    const std::size_t start = given_.load();
    const std::size_t n = std::min(length, limit_ - start);
    for (std::size_t i = 0; i < n; i++)
        buffer[i] = CountingByte(start + i);
    given_.store(start + n);
    return n;
}

bool IsCounting(const uint8_t *data, std::size_t length, std::size_t start)
{
    for (std::size_t i = 0; i < length; i++)
        if (data[i] != CountingByte(start + i))
            return false;
    return true;
}

}  // namespace rxtest
