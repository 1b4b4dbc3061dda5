// The data transfers: bulk, interrupt and isochronous URBs queued per
// endpoint until the device serves them, fails them or leaves, or their
// sender cancels them; and the device's side of those queues (Port).
//
// Who completes a queued transfer is decided under the bus lock with the
// cancel routine: the party that ends it (a device call, Leave, a new
// configuration) first takes the cancel routine back; if it was already
// gone, IoCancelIrp is calling it, so the transfer stays queued, marked
// `cancelling`, and the cancel routine takes it and completes it. While the
// dispatch routine that queued a transfer is still running, the transfer
// has no cancel routine yet and the others only record its outcome; the
// dispatch routine completes it.

#include "usb_internal.h"

#include <algorithm>
#include <cstring>

using sim::VerifierFault;

namespace sim::usb {

namespace {

// Isochronous frames are 1 ms of stand-in time.
ULONG CurrentFrame()
{
    return ULONG(sim::time::Now() / 10000);
}

Transfer *Head(EndpointState *ep)
{
    for (Transfer *t : ep->queue)
        if (!t->cancelling)
            return t;
    return nullptr;
}

// Lock held: the endpoint of the current configuration at address.
EndpointState *CurrentEndpoint(Port::State &port, uint8_t address)
{
    if (port.gone)
        return nullptr;
    for (auto &entry : port.pipes)
        if (entry.second->address == address)
            return entry.second;
    return nullptr;
}

bool IsDataPipe(const EndpointState *ep)
{
    return ep->type == UsbdPipeTypeBulk || ep->type == UsbdPipeTypeInterrupt;
}

ULONG SlotSize(const Transfer *t, ULONG k)
{
    const auto &x = t->urb->UrbIsochronousTransfer;
    const ULONG end = k + 1 < x.NumberOfPackets ? x.IsoPacket[k + 1].Offset : t->length;
    return end - x.IsoPacket[k].Offset;
}

void Unlink(Port::State &port, Transfer *t)
{
    if (t->endpoint != nullptr) {
        auto &q = t->endpoint->queue;
        q.erase(std::remove(q.begin(), q.end(), t), q.end());
    }
    port.transfers.erase(t->irp);
    if (port.transfers.empty())
        port.bus->portQuiet.notify_all();
}

// Lock held. Writes the outcome into the URB and the IRP and counts it.
void WriteOutcome(Port::State &port, Transfer *t, USBD_STATUS status)
{
    if (t->isoch) {
        auto &x = t->urb->UrbIsochronousTransfer;
        for (ULONG k = t->nextPacket; k < x.NumberOfPackets; k++) {
            x.IsoPacket[k].Length = 0;
            x.IsoPacket[k].Status = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
        }
        ULONG errors = 0;
        for (ULONG k = 0; k < x.NumberOfPackets; k++)
            errors += USBD_ERROR(x.IsoPacket[k].Status);
        x.ErrorCount = errors;
        x.TransferBufferLength = t->moved;
        if (status == USBD_STATUS_SUCCESS && errors == x.NumberOfPackets)
            status = USBD_STATUS_ISOCH_REQUEST_FAILED;
    } else {
        t->urb->UrbBulkOrInterruptTransfer.TransferBufferLength = t->moved;
    }
    const NTSTATUS nt = NtStatusOf(status);
    t->urb->UrbHeader.Status = status;
    t->irp->IoStatus.Status = nt;
    t->irp->IoStatus.Information = 0;
    t->status = nt;
    if (t->endpoint != nullptr) {
        EndpointCounters &c = port.counters.endpoints[t->endpoint->address];
        c.transfers++;
        c.bytes += t->moved;
        c.errors += !NT_SUCCESS(nt);
    }
}

// The checks a transfer passes before it is queued, on its endpoint.
using Check = USBD_STATUS (*)(const EndpointState &ep, const Transfer &t);

USBD_STATUS CheckBulk(const EndpointState &ep, const Transfer &t)
{
    if (!IsDataPipe(&ep))
        return USBD_STATUS_INVALID_PARAMETER;
    if (t.in != (USB_ENDPOINT_DIRECTION_IN(ep.address) != 0))
        return USBD_STATUS_INVALID_PARAMETER;
    if (t.length > ep.maxTransfer)
        return USBD_STATUS_INVALID_PARAMETER;
    if (ep.halted)
        return USBD_STATUS_ENDPOINT_HALTED;
    if (ep.stalled)
        return USBD_STATUS_STALL_PID;
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS CheckIsoch(const EndpointState &ep, const Transfer &t)
{
    if (ep.type != UsbdPipeTypeIsochronous)
        return USBD_STATUS_INVALID_PARAMETER;
    if (t.in != (USB_ENDPOINT_DIRECTION_IN(ep.address) != 0))
        return USBD_STATUS_INVALID_PARAMETER;
    if (t.length > ep.maxTransfer)
        return USBD_STATUS_INVALID_PARAMETER;
    return USBD_STATUS_SUCCESS;
}

// The common part of both submissions. Contract: the IRP is the bus's from
// here; on return it is completed (the status returned) or pending
// (STATUS_PENDING, marked) and no longer touched by this thread.
NTSTATUS Submit(Port::State &port, PIRP irp, Transfer *t, USBD_PIPE_HANDLE handle, Check check)
{
    Bus::State &bus = *port.bus;
    uint8_t address = 0;
    bool queued = false;
    {
        std::lock_guard<std::mutex> g(bus.lock);
        USBD_STATUS refused = USBD_STATUS_SUCCESS;
        auto it = port.pipes.find(handle);
        if (port.gone)
            refused = USBD_STATUS_DEVICE_GONE;
        else if (it == port.pipes.end())
            refused = USBD_STATUS_INVALID_PIPE_HANDLE;
        else {
            EndpointState *ep = it->second;
            refused = check(*ep, *t);
            if (refused == USBD_STATUS_ENDPOINT_HALTED || refused == USBD_STATUS_STALL_PID) {
                t->endpoint = ep;  // counted on the endpoint
                ep->halted = true;
            } else if (refused == USBD_STATUS_SUCCESS) {
                t->endpoint = ep;
                ep->queue.push_back(t);
                port.transfers[irp] = t;
                address = ep->address;
                queued = true;
            }
        }
        if (!queued)
            WriteOutcome(port, t, refused);
    }
    if (!queued) {
        delete t;
        return CompleteFromDispatch(bus, irp);
    }

    port.device->TransferQueued(*port.port, address);

    Ready ready;
    bool finished;
    {
        std::lock_guard<std::mutex> g(bus.lock);
        t->inDispatch = false;
        finished = t->finished;
        if (!finished) {
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, CancelTransfer);
            // A cancel that came while the transfer had no cancel routine
            // found nothing to call; it is ours to honour now.
            if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, NULL) != NULL) {
                Unlink(port, t);
                WriteOutcome(port, t, USBD_STATUS_CANCELED);
                port.counters.cancels++;
                delete t;
                ready.push_back(irp);
            }
            // From here the IRP may be completed by anyone: not touched again.
        }
    }
    if (finished) {
        delete t;  // its outcome is written in the IRP
        return CompleteFromDispatch(bus, irp);
    }
    Deliver(bus, ready);
    return STATUS_PENDING;
}

}  // namespace

void EndTransfer(Port::State &port, Transfer *t, USBD_STATUS status, Ready &ready)
{
    if (t->cancelling)
        return;
    if (!t->inDispatch && IoSetCancelRoutine(t->irp, NULL) == NULL) {
        t->cancelling = true;  // IoCancelIrp is calling CancelTransfer
        return;
    }
    EndpointState *ep = t->endpoint;
    Unlink(port, t);
    WriteOutcome(port, t, status);
    if (t->inDispatch) {
        t->finished = true;  // the dispatch routine completes it
    } else {
        ready.push_back(t->irp);
        delete t;
    }
    if (ep != nullptr && IsDataPipe(ep) && IsTransactionError(status) && !ep->halted) {
        // A halted pipe fails what is queued behind the failed transfer
        // too, and everything after, until RESET_PIPE.
        ep->halted = true;
        EndAll(port, ep, USBD_STATUS_ENDPOINT_HALTED, ready);
    }
}

void EndAll(Port::State &port, EndpointState *endpoint, USBD_STATUS status, Ready &ready)
{
    std::vector<Transfer *> victims;
    for (auto &entry : port.transfers)
        if (endpoint == nullptr || entry.second->endpoint == endpoint)
            victims.push_back(entry.second);
    for (Transfer *t : victims)
        EndTransfer(port, t, status, ready);
}

VOID NTAPI CancelTransfer(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Port::State &port = PortOf(device);
    Activity activity(port);
    {
        std::lock_guard<std::mutex> g(port.bus->lock);
        auto it = port.transfers.find(irp);
        // Whoever takes a queued transfer out takes its cancel routine back
        // first, so a transfer whose routine runs is still queued.
        if (it == port.transfers.end())
            VerifierFault("USB_BUS_INTERNAL", "cancel routine for IRP %p, which the bus does not hold",
                          static_cast<void *>(irp));
        Transfer *t = it->second;
        Unlink(port, t);
        WriteOutcome(port, t, USBD_STATUS_CANCELED);
        port.counters.cancels++;
        delete t;
    }
    Deliver(*port.bus, Ready{irp});
}

NTSTATUS SubmitBulk(Port::State &port, PIRP irp, PURB urb)
{
    auto &b = urb->UrbBulkOrInterruptTransfer;
    if (b.UrbLink != NULL)
        VerifierFault("UNSUPPORTED_BY_STAND_IN", "BULK_OR_INTERRUPT_TRANSFER: linked URBs are not implemented");
    if (!CheckBuffer(b.TransferBuffer, b.TransferBufferMDL, b.TransferBufferLength, "BULK_OR_INTERRUPT_TRANSFER")) {
        b.TransferBufferLength = 0;
        return FailRequest(port, irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    auto *t = new Transfer;
    t->irp = irp;
    t->urb = urb;
    t->in = (b.TransferFlags & USBD_TRANSFER_DIRECTION) == USBD_TRANSFER_DIRECTION_IN;
    t->shortOk = (b.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
    t->buffer = static_cast<UCHAR *>(b.TransferBuffer);
    t->length = b.TransferBufferLength;
    return Submit(port, irp, t, b.PipeHandle, CheckBulk);
}

NTSTATUS SubmitIsoch(Port::State &port, PIRP irp, PURB urb)
{
    auto &x = urb->UrbIsochronousTransfer;
    if (x.UrbLink != NULL)
        VerifierFault("UNSUPPORTED_BY_STAND_IN", "ISOCH_TRANSFER: linked URBs are not implemented");
    if ((x.TransferFlags & USBD_TRANSFER_DIRECTION) != USBD_TRANSFER_DIRECTION_IN)
        VerifierFault("UNSUPPORTED_BY_STAND_IN", "ISOCH_TRANSFER: isochronous OUT transfers are not implemented");
    const ULONG n = x.NumberOfPackets;
    bool valid = CheckBuffer(x.TransferBuffer, x.TransferBufferMDL, x.TransferBufferLength, "ISOCH_TRANSFER") &&
                 n != 0 && n <= USBD_ISO_START_FRAME_RANGE;
    // Packets lie in the buffer in ascending order, none empty.
    for (ULONG k = 0; valid && k < n; k++)
        valid = x.IsoPacket[k].Offset < x.TransferBufferLength &&
                (k == 0 || x.IsoPacket[k].Offset > x.IsoPacket[k - 1].Offset);
    if (!valid)
        return FailRequest(port, irp, urb, USBD_STATUS_INVALID_PARAMETER);
    const ULONG now = CurrentFrame();
    if ((x.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) == 0) {
        const LONG distance = LONG(x.StartFrame - now);
        if (distance < -LONG(USBD_ISO_START_FRAME_RANGE) || distance > LONG(USBD_ISO_START_FRAME_RANGE))
            return FailRequest(port, irp, urb, USBD_STATUS_BAD_START_FRAME);
    } else {
        x.StartFrame = now;
    }
    for (ULONG k = 0; k < n; k++) {
        x.IsoPacket[k].Length = 0;
        x.IsoPacket[k].Status = USBD_STATUS_SUCCESS;
    }
    x.ErrorCount = 0;

    auto *t = new Transfer;
    t->irp = irp;
    t->urb = urb;
    t->in = true;
    t->isoch = true;
    t->shortOk = true;
    t->buffer = static_cast<UCHAR *>(x.TransferBuffer);
    t->length = x.TransferBufferLength;
    return Submit(port, irp, t, x.PipeHandle, CheckIsoch);
}

// ---------------------------------------------------------------------------
// The device's side

std::size_t Port::OfferIn(uint8_t endpointAddress, const void *data, std::size_t length)
{
    Activity activity(*state_);
    Port::State &port = *state_;
    const auto *bytes = static_cast<const UCHAR *>(data);
    std::size_t offset = 0;
    Ready ready;
    {
        std::lock_guard<std::mutex> g(port.bus->lock);
        EndpointState *ep = CurrentEndpoint(port, endpointAddress);
        if (ep == nullptr || !IsDataPipe(ep) || !USB_ENDPOINT_DIRECTION_IN(ep->address) || ep->halted)
            return 0;
        bool zeroLength = length == 0;
        while (offset < length || zeroLength) {
            Transfer *t = Head(ep);
            if (t == nullptr)
                break;
            const std::size_t packet = std::min<std::size_t>(ep->maxPacket, length - offset);
            const ULONG room = t->length - t->moved;
            zeroLength = false;
            if (packet > room) {
                std::memcpy(t->buffer + t->moved, bytes + offset, room);
                t->moved += room;
                offset += packet;  // the rest of the packet is lost
                EndTransfer(port, t, USBD_STATUS_BUFFER_OVERRUN, ready);
                break;  // the pipe halted
            }
            if (packet != 0)
                std::memcpy(t->buffer + t->moved, bytes + offset, packet);
            t->moved += ULONG(packet);
            offset += packet;
            const bool shortPacket = packet < ep->maxPacket;
            if (shortPacket) {
                const bool ok = t->shortOk || t->moved == t->length;
                EndTransfer(port, t, ok ? USBD_STATUS_SUCCESS : USBD_STATUS_DATA_UNDERRUN, ready);
                break;  // a short packet ends what the device sends
            }
            if (t->moved == t->length)
                EndTransfer(port, t, USBD_STATUS_SUCCESS, ready);
        }
    }
    Deliver(*port.bus, ready);
    return offset;
}

bool Port::TakeOut(uint8_t endpointAddress, std::vector<uint8_t> *data)
{
    Activity activity(*state_);
    Port::State &port = *state_;
    Ready ready;
    {
        std::lock_guard<std::mutex> g(port.bus->lock);
        EndpointState *ep = CurrentEndpoint(port, endpointAddress);
        if (ep == nullptr || !IsDataPipe(ep) || USB_ENDPOINT_DIRECTION_IN(ep->address) || ep->halted)
            return false;
        Transfer *t = Head(ep);
        if (t == nullptr)
            return false;
        data->assign(t->buffer, t->buffer + t->length);
        t->moved = t->length;
        EndTransfer(port, t, USBD_STATUS_SUCCESS, ready);
    }
    Deliver(*port.bus, ready);
    return true;
}

std::size_t Port::OfferIsochIn(uint8_t endpointAddress, const IsoPacket *packets, std::size_t count)
{
    Activity activity(*state_);
    Port::State &port = *state_;
    std::size_t taken = 0;
    Ready ready;
    {
        std::lock_guard<std::mutex> g(port.bus->lock);
        EndpointState *ep = CurrentEndpoint(port, endpointAddress);
        if (ep == nullptr || ep->type != UsbdPipeTypeIsochronous || !USB_ENDPOINT_DIRECTION_IN(ep->address))
            return 0;
        for (; taken < count; taken++) {
            Transfer *t = Head(ep);
            if (t == nullptr)
                break;
            auto &x = t->urb->UrbIsochronousTransfer;
            const ULONG k = t->nextPacket;
            const ULONG slot = SlotSize(t, k);
            const IsoPacket &p = packets[taken];
            const ULONG n = ULONG(std::min<std::size_t>(slot, p.data.size()));
            if (n != 0)
                std::memcpy(t->buffer + x.IsoPacket[k].Offset, p.data.data(), n);
            x.IsoPacket[k].Length = n;
            x.IsoPacket[k].Status =
                p.data.size() > slot && USBD_SUCCESS(p.status) ? USBD_STATUS_BUFFER_OVERRUN : p.status;
            t->moved += n;
            if (++t->nextPacket == x.NumberOfPackets)
                EndTransfer(port, t, USBD_STATUS_SUCCESS, ready);
        }
    }
    Deliver(*port.bus, ready);
    return taken;
}

bool Port::FailTransfer(uint8_t endpointAddress, USBD_STATUS status)
{
    Activity activity(*state_);
    Port::State &port = *state_;
    Ready ready;
    {
        std::lock_guard<std::mutex> g(port.bus->lock);
        EndpointState *ep = CurrentEndpoint(port, endpointAddress);
        Transfer *t = ep != nullptr ? Head(ep) : nullptr;
        if (t == nullptr)
            return false;
        EndTransfer(port, t, status, ready);
    }
    Deliver(*port.bus, ready);
    return true;
}

bool Port::Stall(uint8_t endpointAddress)
{
    Activity activity(*state_);
    Port::State &port = *state_;
    Ready ready;
    {
        std::lock_guard<std::mutex> g(port.bus->lock);
        EndpointState *ep = CurrentEndpoint(port, endpointAddress);
        if (ep == nullptr || !IsDataPipe(ep))
            return false;
        ep->stalled = true;
        if (Transfer *t = Head(ep))
            EndTransfer(port, t, USBD_STATUS_STALL_PID, ready);
    }
    Deliver(*port.bus, ready);
    return true;
}

std::size_t Port::PendingTransfers(uint8_t endpointAddress) const
{
    std::lock_guard<std::mutex> g(state_->bus->lock);
    EndpointState *ep = CurrentEndpoint(*state_, endpointAddress);
    if (ep == nullptr)
        return 0;
    std::size_t n = 0;
    for (Transfer *t : ep->queue)
        n += !t->cancelling;
    return n;
}

}  // namespace sim::usb
