#include "read_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace cptest {

namespace {

constexpr ULONG kIsoPackets = 2;
constexpr auto kGateLimit = std::chrono::seconds(10);

PVOID AllocateZeroed(SIZE_T size)
{
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, size, kHarnessTag);
    if (p != NULL)
        RtlZeroMemory(p, size);
    return p;
}

}  // namespace

std::string StatusText(NTSTATUS s)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", unsigned(s));
    return buf;
}

// ---------------------------------------------------------------------------
// Bus

Bus::Bus()
    : device_([this](PDEVICE_OBJECT, PIRP irp) { return Dispatch(irp); }, sizeof(Bus *))
{
    if (device_.get() != nullptr)
        *static_cast<Bus **>(device_->DeviceExtension) = this;
}

Bus::~Bus()
{
    EXPECT_EQ(Held(), 0u) << "transfers still held by the bus";
}

void Bus::Set(BusAction action)
{
    std::lock_guard<std::mutex> g(lock_);
    action_ = action;
}

void Bus::Set(BusMode mode, NTSTATUS status, ULONG bytes)
{
    Set(BusAction{mode, status, bytes});
}

std::size_t Bus::Held()
{
    std::lock_guard<std::mutex> g(lock_);
    return held_.size();
}

void Bus::Finish(PIRP irp, NTSTATUS status, ULONG bytes)
{
    PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = NT_SUCCESS(status) ? bytes : 0;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    nvtest::RaisedIrql dispatch(DISPATCH_LEVEL);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS Bus::Dispatch(PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(sp->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(sp->Parameters.DeviceIoControl.IoControlCode, ULONG(IOCTL_INTERNAL_USB_SUBMIT_URB));
    transfers_++;
    BusAction action;
    {
        std::lock_guard<std::mutex> g(lock_);
        action = action_;
    }
    if (Decide)
        action = Decide();
    if (action.mode == BusMode::CompleteAtOnce) {
        Finish(irp, action.status, action.bytes);
        return action.status;
    }
    IoMarkIrpPending(irp);
    bool cancelledAlready = false;
    {
        std::lock_guard<std::mutex> g(lock_);
        const bool cancelable = action.mode == BusMode::HoldCancelable;
        held_.push_back(HeldIrp{irp, cancelable});
        if (cancelable) {
            IoSetCancelRoutine(irp, &Bus::CancelRoutine);
            // Cancelled before the routine was set: nobody will call it.
            // Cancel is set by another processor without a lock this side holds;
            // read it as the atomic it is.
            if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, NULL) != NULL) {
                held_.pop_back();
                cancelledAlready = true;
            }
        }
    }
    if (cancelledAlready)
        Finish(irp, STATUS_CANCELLED, 0);
    return STATUS_PENDING;
}

VOID NTAPI Bus::CancelRoutine(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Bus *bus = *static_cast<Bus **>(device->DeviceExtension);
    bus->cancelCalls_++;
    {
        std::lock_guard<std::mutex> g(bus->lock_);
        auto it = std::find_if(bus->held_.begin(), bus->held_.end(), [irp](const HeldIrp &h) { return h.irp == irp; });
        EXPECT_NE(it, bus->held_.end()) << "cancel routine for an IRP the bus does not hold";
        if (it != bus->held_.end())
            bus->held_.erase(it);
    }
    Finish(irp, STATUS_CANCELLED, 0);
}

void Bus::CompleteHeld(NTSTATUS status, ULONG bytes)
{
    while (CompleteOne(0, status, bytes)) {
    }
}

bool Bus::CompleteOne(std::size_t pick, NTSTATUS status, ULONG bytes)
{
    PIRP irp = nullptr;
    {
        std::lock_guard<std::mutex> g(lock_);
        // A held IRP whose cancel routine is already running is the cancel
        // routine's to complete.
        for (std::size_t tries = 0; tries < held_.size() && irp == nullptr; tries++) {
            const std::size_t i = (pick + tries) % held_.size();
            const HeldIrp candidate = held_[i];
            if (!candidate.cancelable || IoSetCancelRoutine(candidate.irp, NULL) != NULL) {
                irp = candidate.irp;
                held_.erase(held_.begin() + std::ptrdiff_t(i));
            }
        }
    }
    if (irp == nullptr)
        return false;
    Finish(irp, status, bytes);
    return true;
}

// ---------------------------------------------------------------------------
// Reads

bool Read::WaitEntered()
{
    const auto deadline = std::chrono::steady_clock::now() + kGateLimit;
    while (!entered.load()) {
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "read " << id << ": its completion routine never started";
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

ReadHarness::ReadHarness()
{
    StreamCompletions::Instance().Reset();
    irpsAtStart_ = sim::io::LiveIrps();
    adapter = static_cast<PADAPTER_EXTENSION>(AllocateZeroed(sizeof(ADAPTER_EXTENSION)));
    stream = static_cast<PSTREAM_EXTENSION>(AllocateZeroed(sizeof(STREAM_EXTENSION)));
    streamObject = static_cast<PHW_STREAM_OBJECT>(AllocateZeroed(sizeof(HW_STREAM_OBJECT)));
    // As adapter initialisation leaves the queues.
    for (ULONG n = 0; n < NV_MAX_STREAMS; n++) {
        InitializeListHead(&adapter->ReadQueueLists[n]);
        KeInitializeSpinLock(&adapter->ReadQueueLocks[n]);
    }
    ExInitializeNPagedLookasideList(&adapter->BulkUrbLookaside, NULL, NULL, 0,
                                    sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), kBulkUrbTag, 0);
    adapter->RealPhysicalDeviceObject = bus.get();
    // As opening stream 0 leaves it.
    streamObject->SizeOfThisPacket = sizeof(HW_STREAM_OBJECT);
    streamObject->StreamNumber = 0;
    streamObject->HwStreamExtension = stream;
    streamObject->HwDeviceExtension = adapter;
    streamObject->Pio = TRUE;
    stream->Adapter = adapter;
    stream->StreamObject = streamObject;
    stream->StreamState = KSSTATE_RUN;
    adapter->StreamExtensions[0] = stream;
}

ReadHarness::~ReadHarness()
{
    if (bus.Held() != 0) {
        ADD_FAILURE() << bus.Held() << " transfer(s) still held at the end";
        bus.CompleteHeld(STATUS_CANCELLED);
    }
    if (StreamCompletions::Instance().Pending() != 0) {
        ADD_FAILURE() << StreamCompletions::Instance().Pending() << " read(s) never completed";
        VideoQueueCancelAllSRBs(stream);
        for (Read *r : TakeHandedOn())
            WorkerFinish(*r);
    }
    StreamCompletions::Instance().Reset();
    EXPECT_EQ(Count(), 0);
    ExDeleteNPagedLookasideList(&adapter->BulkUrbLookaside);
    ExFreePoolWithTag(streamObject, kHarnessTag);
    ExFreePoolWithTag(stream, kHarnessTag);
    ExFreePoolWithTag(adapter, kHarnessTag);
}

Read &ReadHarness::NewRead(TransferKind kind, bool recording)
{
    auto read = std::make_unique<Read>();
    Read &r = *read;
    r.harness = this;
    r.kind = kind;
    r.recording = recording;
    {
        std::lock_guard<std::mutex> g(lock_);
        r.id = reads_.size();
        reads_.push_back(std::move(read));
    }

    auto srb = static_cast<PHW_STREAM_REQUEST_BLOCK>(AllocateZeroed(sizeof(HW_STREAM_REQUEST_BLOCK)));
    auto header = static_cast<PKSSTREAM_HEADER>(AllocateZeroed(sizeof(KSSTREAM_HEADER)));
    auto data = ExAllocatePoolWithTag(NonPagedPool, kFrameBytes, kHarnessTag);
    // The class gives the per-request extension as it comes from pool.
    auto extension = ExAllocatePoolWithTag(NonPagedPool, sizeof(SRB_EXTENSION), kHarnessTag);
    PIRP clientIrp = IoAllocateIrp(1, FALSE);
    EXPECT_TRUE(srb && header && data && extension && clientIrp);

    header->Size = sizeof(KSSTREAM_HEADER);
    header->FrameExtent = kFrameBytes;
    header->DataUsed = kClientDataUsed;
    header->Data = data;
    srb->SizeOfThisPacket = sizeof(HW_STREAM_REQUEST_BLOCK);
    srb->Command = SRB_READ_DATA;
    srb->Status = STATUS_PENDING;
    srb->StreamObject = streamObject;
    srb->HwDeviceExtension = adapter;
    srb->SRBExtension = extension;
    srb->CommandData.DataBufferArray = header;
    srb->NumberOfBuffers = 1;
    srb->Irp = clientIrp;
    srb->Flags = SRB_HW_FLAGS_DATA_TRANSFER | SRB_HW_FLAGS_STREAM_REQUEST;
    r.srb = srb;

    StreamCompletions::Instance().Expect(srb, r.id, adapter, 0, [srb, header, data, extension, clientIrp] {
        IoFreeIrp(clientIrp);
        ExFreePoolWithTag(extension, kHarnessTag);
        ExFreePoolWithTag(data, kHarnessTag);
        ExFreePoolWithTag(header, kHarnessTag);
        ExFreePoolWithTag(srb, kHarnessTag);
    });
    return r;
}

void ReadHarness::Append(Read &r)
{
    VideoQueueAppendSRB(r.srb);
}

PIRP ReadHarness::BuildTransfer(Read &r)
{
    PVOID buffer = r.srb->CommandData.DataBufferArray->Data;
    PURB urb = NULL;
    if (r.kind == TransferKind::Isochronous) {
        // One packet descriptor more than the packets need, as the read
        // routine allocates it.
        const SIZE_T size = GET_ISO_URB_SIZE(kIsoPackets) + sizeof(USBD_ISO_PACKET_DESCRIPTOR);
        urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUrbTag));
        if (urb == NULL)
            return NULL;
        RtlZeroMemory(urb, size);
        struct _URB_ISOCH_TRANSFER &iso = urb->UrbIsochronousTransfer;
        iso.Hdr.Length = USHORT(size);
        iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
        iso.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK | USBD_START_ISO_TRANSFER_ASAP;
        iso.TransferBuffer = buffer;
        iso.TransferBufferLength = kFrameBytes;
        iso.NumberOfPackets = kIsoPackets;
        for (ULONG k = 0; k < kIsoPackets; k++)
            iso.IsoPacket[k].Offset = k * (kFrameBytes / kIsoPackets);
    } else {
        urb = static_cast<PURB>(ExAllocateFromNPagedLookasideList(&adapter->BulkUrbLookaside));
        if (urb == NULL)
            return NULL;
        RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
        struct _URB_BULK_OR_INTERRUPT_TRANSFER &bulk = urb->UrbBulkOrInterruptTransfer;
        bulk.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
        bulk.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        bulk.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        bulk.TransferBuffer = buffer;
        bulk.TransferBufferLength = kFrameBytes;
    }
    PIRP irp = IoAllocateIrp(CCHAR(adapter->RealPhysicalDeviceObject->StackSize + 1), FALSE);
    if (irp == NULL) {
        if (r.kind == TransferKind::Isochronous)
            ExFreePool(urb);
        else
            ExFreeToNPagedLookasideList(&adapter->BulkUrbLookaside, urb);
        return NULL;
    }
    irp->Tail.Overlay.DriverContext[0] = urb;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, &ReadHarness::ReadComplete, &r, TRUE, TRUE, TRUE);
    return irp;
}

void ReadHarness::SendFailed(Read &r)
{
    if (VideoQueueTransferNotStarted(stream, r.srb))
        CompleteStreamRequest(r.srb);  // a canceller marked it meanwhile
}

void ReadHarness::Send(Read &r)
{
    PHW_STREAM_REQUEST_BLOCK srb = r.srb;
    PIRP irp = BuildTransfer(r);
    if (irp == NULL) {
        SendFailed(r);
        return;
    }
    if (!VideoQueueStartTransfer(stream, srb, irp)) {
        VideoReadFreeTransfer(adapter, irp);
        CompleteStreamRequest(srb);
        return;
    }
    r.sent = true;
    r.transfer = irp;
    // The transfer may be complete, and the request with it, once this returns.
    IofCallDriver(adapter->RealPhysicalDeviceObject, irp);
}

NTSTATUS NTAPI ReadHarness::ReadComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    Read &r = *static_cast<Read *>(context);
    ReadHarness &h = *r.harness;
    r.completionCalls++;
    if (r.gated) {
        r.entered = true;
        const auto deadline = std::chrono::steady_clock::now() + kGateLimit;
        while (!r.released.load()) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "read " << r.id << ": its completion routine was never released";
                break;
            }
            std::this_thread::yield();
        }
    }
    PHW_STREAM_REQUEST_BLOCK srb = r.srb;
    const NTSTATUS status = irp->IoStatus.Status;
    const PURB urb = static_cast<PURB>(irp->Tail.Overlay.DriverContext[0]);
    const ULONG bytes = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;

    READ_OUTCOME outcome = ReadLeaveQueued;
    ULONG dataUsed = 0;
    if (status == STATUS_SUCCESS) {
        outcome = r.recording ? ReadHandOn : ReadCompleteNow;
        dataUsed = bytes;
    } else if (status == STATUS_CANCELLED || status == STATUS_DEVICE_NOT_CONNECTED ||
               status == STATUS_UNSUCCESSFUL) {
        outcome = ReadCompleteNow;
    }
    const READ_END end = VideoQueueTransferEnded(h.stream, srb, irp, outcome);
    r.end = end;
    if (end.Complete) {
        PKSSTREAM_HEADER header = srb->CommandData.DataBufferArray;
        if (end.CompleteAsCancelled) {
            header->DataUsed = 0;
            srb->Status = STATUS_CANCELLED;
        } else {
            header->DataUsed = dataUsed;
            srb->Status = STATUS_SUCCESS;
        }
        CompleteStreamRequest(srb);
    } else if (outcome == ReadHandOn) {
        // The request is queued for the worker, and a canceller may find
        // it: only the worker writes it from now on.
        r.recordedBytes = bytes;
        std::lock_guard<std::mutex> g(h.lock_);
        h.handedOn_.push_back(&r);
    }
    if (end.FreeTransfer)
        VideoReadFreeTransfer(h.adapter, irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

BOOLEAN ReadHarness::WorkerFinish(Read &r)
{
    PHW_STREAM_REQUEST_BLOCK srb = r.srb;
    const BOOLEAN found = VideoQueueRemoveOneSRB(stream, srb);
    if (found) {
        srb->CommandData.DataBufferArray->DataUsed = r.recordedBytes;
        srb->Status = STATUS_SUCCESS;
    }
    // Otherwise a canceller took it and marked it.
    CompleteStreamRequest(srb);
    return found;
}

std::vector<Read *> ReadHarness::TakeHandedOn()
{
    std::lock_guard<std::mutex> g(lock_);
    std::vector<Read *> out;
    out.swap(handedOn_);
    return out;
}

CompletionRecord ReadHarness::Result(const Read &r)
{
    return StreamCompletions::Instance().Record(r.id);
}

std::size_t ReadHarness::LiveTransfers()
{
    return sim::io::LiveIrps() - irpsAtStart_ - StreamCompletions::Instance().Pending();
}

}  // namespace cptest
