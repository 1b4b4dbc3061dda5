// Stream request blocks: allocation, sending to HwReceivePacket, the
// completion notifications, cancellation and the once-a-second time-out
// countdown.
//
// Every SRB the class sends is recorded in one table until its memory is
// freed, so a completion can be judged (unknown SRB, completed twice, wrong
// notification, wrong device extension) before the SRB's memory is read.
// Completion poisons the SRB and its extension and frees them at once, with
// the IRP; a late write by the minidriver then lands in freed memory, where
// AddressSanitizer sees it.
//
// The class itself calls into the minidriver with a pending SRB in two
// places, HwCancelPacket and HwRequestTimeoutHandler. While such a call is
// in progress the SRB stays allocated and stays pending for everyone else:
// a completion from another thread waits until the call has returned (on
// the platform it would spin on the class's lock), and a completion from
// inside the call itself is accepted at once and only its freeing waits.

#include "streamclass_internal.h"

#include <algorithm>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

using sim::VerifierFault;

namespace sim::streamclass {

enum class SrbKind { Adapter, Stream };
enum class SrbState { Allocated, Pending, Completed };

struct SrbRecord {
    Adapter *adapter = nullptr;
    SrbKind kind = SrbKind::Adapter;
    SrbState state = SrbState::Allocated;
    PHW_STREAM_REQUEST_BLOCK srb = nullptr;
    PVOID extension = nullptr;
    ULONG extensionSize = 0;
    PIRP irp = nullptr;
    std::uint64_t sequence = 0;            // order of sending
    std::vector<std::thread::id> callers;  // threads inside a class call with this SRB
    Completion result{};
    KEVENT completed;                      // signalled once result is set
};

namespace {

struct RequestTable {
    std::mutex lock;
    std::condition_variable callEnded;
    // Sent SRBs whose memory is not yet freed.
    std::unordered_map<const HW_STREAM_REQUEST_BLOCK *, SrbPtr> live;
    // Addresses of SRBs completed and freed, until a new SRB is sent there:
    // what tells a second completion from a pointer that was never an SRB.
    std::unordered_set<const void *> completed;
    std::uint64_t nextSequence = 1;
};

RequestTable &Table()
{
    static RequestTable *t = new RequestTable;
    return *t;
}

const char *KindName(SrbKind kind)
{
    return kind == SrbKind::Adapter ? "an adapter request" : "a stream request";
}

void FreeSrbMemory(SrbRecord &r)
{
    if (r.irp != NULL)
        IoFreeIrp(r.irp);
    if (r.extension != NULL)
        ExFreePoolWithTag(r.extension, kSrbExtensionTag);
    if (r.srb != NULL)
        ExFreePoolWithTag(r.srb, kSrbTag);
    r.irp = NULL;
    r.extension = NULL;
    r.srb = NULL;
}

// With the table locked: the SRB's memory is no longer needed by anyone.
// Takes it out of the table; the caller frees it after unlocking.
void RetireLocked(RequestTable &t, SrbRecord &r)
{
    t.live.erase(r.srb);
    t.completed.insert(r.srb);
}

bool CalledElsewhere(const SrbRecord &r)
{
    const std::thread::id self = std::this_thread::get_id();
    return std::any_of(r.callers.begin(), r.callers.end(), [self](std::thread::id id) { return id != self; });
}

// With the table locked: srb is being completed. Faults unless it is a
// live SRB; never reads its memory.
SrbPtr FindForCompletionLocked(RequestTable &t, PHW_STREAM_REQUEST_BLOCK srb, const char *who)
{
    auto it = t.live.find(srb);
    if (it == t.live.end()) {
        if (t.completed.count(srb) != 0)
            VerifierFault("SRB_COMPLETED_TWICE", "%s(%p): the SRB was completed before and is freed", who,
                          static_cast<void *>(srb));
        VerifierFault("SRB_UNKNOWN", "%s(%p): not an SRB the stream class sent", who, static_cast<void *>(srb));
    }
    return it->second;
}

// The one completion point of every SRB, for both notifications.
// hwDeviceExtension is what DeviceRequestComplete was given (unused for
// stream requests).
void CompleteSrb(const char *who, SrbKind via, PVOID hwDeviceExtension, PHW_STREAM_REQUEST_BLOCK srb)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        VerifierFault("IRQL_TOO_HIGH", "%s called at IRQL %u; DISPATCH_LEVEL at most", who, KeGetCurrentIrql());
    RequestTable &t = Table();
    SrbPtr rec;
    bool freeNow;
    {
        std::unique_lock<std::mutex> g(t.lock);
        rec = FindForCompletionLocked(t, srb, who);
        t.callEnded.wait(g, [&rec] { return !CalledElsewhere(*rec); });
        if (rec->state == SrbState::Completed)
            VerifierFault("SRB_COMPLETED_TWICE", "%s(%p): the SRB was completed before", who,
                          static_cast<void *>(srb));
        if (rec->kind != via)
            VerifierFault("SRB_COMPLETED_THROUGH_WRONG_CALL",
                          "%s(%p): the SRB is %s (command 0x%x); it is completed through %s", who,
                          static_cast<void *>(srb), KindName(rec->kind), unsigned(srb->Command),
                          rec->kind == SrbKind::Adapter ? "StreamClassDeviceNotification(DeviceRequestComplete)"
                                                        : "StreamClassStreamNotification(StreamRequestComplete)");
        if (via == SrbKind::Adapter && hwDeviceExtension != rec->adapter->hwDeviceExtension)
            VerifierFault("SRB_WRONG_DEVICE_EXTENSION",
                          "%s(%p): given device extension %p; the SRB belongs to the adapter whose extension "
                          "is %p",
                          who, static_cast<void *>(srb), hwDeviceExtension, rec->adapter->hwDeviceExtension);
        if (srb->Status == STATUS_PENDING)
            VerifierFault("SRB_COMPLETED_WITH_PENDING_STATUS",
                          "%s(%p): command 0x%x completed with Status STATUS_PENDING", who,
                          static_cast<void *>(srb), unsigned(srb->Command));

        rec->result = Completion{srb->Status, srb->ActualBytesTransferred};
        rec->state = SrbState::Completed;
        rec->adapter->pendingRequests--;
        // Whatever the minidriver reads from here on is poison, even while
        // the memory has to stay for a class call still on the stack.
        std::memset(srb, sim::pool::kFreeFill, sizeof *srb);
        if (rec->extension != NULL)
            std::memset(rec->extension, sim::pool::kFreeFill, rec->extensionSize);
        freeNow = rec->callers.empty();
        if (freeNow)
            RetireLocked(t, *rec);
    }
    // The minidriver must not touch the SRB after this point.
    if (freeNow)
        FreeSrbMemory(*rec);
    KeSetEvent(&rec->completed, IO_NO_INCREMENT, FALSE);
}

// A class call into the minidriver with rec's SRB: returns false, and
// registers nothing, when the SRB is no longer pending.
bool BeginClassCall(const SrbPtr &rec)
{
    std::lock_guard<std::mutex> g(Table().lock);
    if (rec->state != SrbState::Pending)
        return false;
    rec->callers.push_back(std::this_thread::get_id());
    return true;
}

void EndClassCall(const SrbPtr &rec)
{
    RequestTable &t = Table();
    bool freeNow;
    {
        std::lock_guard<std::mutex> g(t.lock);
        auto me = std::find(rec->callers.begin(), rec->callers.end(), std::this_thread::get_id());
        rec->callers.erase(me);
        freeNow = rec->callers.empty() && rec->state == SrbState::Completed && rec->srb != NULL;
        if (freeNow)
            RetireLocked(t, *rec);
    }
    t.callEnded.notify_all();
    if (freeNow)
        FreeSrbMemory(*rec);
}

}  // namespace

SrbPtr AllocateAdapterSrb(Adapter *adapter)
{
    auto rec = std::make_shared<SrbRecord>();
    rec->adapter = adapter;
    rec->kind = SrbKind::Adapter;
    rec->extensionSize = adapter->init.PerRequestExtensionSize;
    rec->srb = static_cast<PHW_STREAM_REQUEST_BLOCK>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(HW_STREAM_REQUEST_BLOCK), kSrbTag));
    // Left as pool hands it out (poison): the minidriver initialises what
    // it uses.
    if (rec->extensionSize != 0)
        rec->extension = ExAllocatePoolWithTag(NonPagedPool, rec->extensionSize, kSrbExtensionTag);
    rec->irp = IoAllocateIrp(adapter->deviceObject->StackSize, FALSE);
    if (rec->srb == NULL || (rec->extensionSize != 0 && rec->extension == NULL) || rec->irp == NULL) {
        FreeSrbMemory(*rec);
        return nullptr;
    }
    KeInitializeEvent(&rec->completed, NotificationEvent, FALSE);
    return rec;
}

PIRP IrpOf(const SrbPtr &record)
{
    return record->irp;
}

void FreeUnsentSrb(const SrbPtr &record)
{
    FreeSrbMemory(*record);
}

Completion SendAllocatedSrb(const SrbPtr &rec, SRB_COMMAND command, CommandData data, ULONG timeoutSeconds)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        VerifierFault("IRQL_TOO_HIGH", "an adapter request is sent at PASSIVE_LEVEL; the caller is at IRQL %u",
                      KeGetCurrentIrql());
    Adapter *a = rec->adapter;
    PHW_STREAM_REQUEST_BLOCK srb = rec->srb;
    RtlZeroMemory(srb, sizeof *srb);
    srb->SizeOfThisPacket = sizeof *srb;
    srb->Command = command;
    // Until the minidriver answers; completing without setting a status
    // is then caught.
    srb->Status = STATUS_PENDING;
    srb->HwDeviceExtension = a->hwDeviceExtension;
    srb->SRBExtension = rec->extension;
    srb->CommandData = data;
    srb->TimeoutOriginal = timeoutSeconds;
    srb->TimeoutCounter = timeoutSeconds;
    srb->Irp = rec->irp;
    {
        RequestTable &t = Table();
        std::lock_guard<std::mutex> g(t.lock);
        t.completed.erase(srb);
        t.live[srb] = rec;
        rec->state = SrbState::Pending;
        rec->sequence = t.nextSequence++;
        a->pendingRequests++;
    }
    {
        MinidriverCall call(a, PASSIVE_LEVEL, "HwReceivePacket");
        // The SRB belongs to the minidriver from here until it completes it.
        a->init.HwReceivePacket(srb);
    }
    KeWaitForSingleObject(&rec->completed, Executive, KernelMode, FALSE, NULL);
    return rec->result;
}

Completion SendAdapterRequest(Adapter *adapter, SRB_COMMAND command, CommandData data, ULONG timeoutSeconds)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        VerifierFault("IRQL_TOO_HIGH", "SendAdapterRequest called at IRQL %u; PASSIVE_LEVEL only",
                      KeGetCurrentIrql());
    SrbPtr rec = AllocateAdapterSrb(adapter);
    if (rec == nullptr)
        return Completion{STATUS_INSUFFICIENT_RESOURCES, 0};
    return SendAllocatedSrb(rec, command, data, timeoutSeconds);
}

bool CancelRequest(PHW_STREAM_REQUEST_BLOCK srb)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        VerifierFault("IRQL_TOO_HIGH", "CancelRequest called at IRQL %u; DISPATCH_LEVEL at most",
                      KeGetCurrentIrql());
    SrbPtr rec;
    {
        std::lock_guard<std::mutex> g(Table().lock);
        auto it = Table().live.find(srb);
        if (it == Table().live.end() || it->second->state != SrbState::Pending)
            return false;
        rec = it->second;
    }
    Adapter *a = rec->adapter;
    bool called;
    {
        MinidriverCall call(a, DISPATCH_LEVEL, "HwCancelPacket");
        called = BeginClassCall(rec);  // false: completed in the meantime
        if (called) {
            if (a->init.HwCancelPacket == NULL)
                VerifierFault("UNSUPPORTED_BY_STAND_IN",
                              "CancelRequest(%p): the minidriver has no HwCancelPacket, and the class's own "
                              "cancel handling is not part of the stand-in",
                              static_cast<void *>(srb));
            srb->Irp->Cancel = TRUE;
            a->init.HwCancelPacket(srb);
        }
    }
    if (called)
        EndClassCall(rec);
    return called;
}

std::size_t PendingRequests(Adapter *adapter)
{
    std::lock_guard<std::mutex> g(Table().lock);
    return adapter->pendingRequests;
}

void CountDownTimeouts()
{
    std::vector<SrbPtr> expired;
    {
        std::lock_guard<std::mutex> g(Table().lock);
        for (auto &entry : Table().live) {
            const SrbPtr &rec = entry.second;
            PHW_STREAM_REQUEST_BLOCK srb = rec->srb;
            if (rec->state != SrbState::Pending || srb->TimeoutOriginal == 0 || srb->TimeoutCounter == 0)
                continue;  // no time-out, or one the minidriver did not re-arm
            if (--srb->TimeoutCounter == 0)
                expired.push_back(rec);
        }
    }
    std::sort(expired.begin(), expired.end(),
              [](const SrbPtr &x, const SrbPtr &y) { return x->sequence < y->sequence; });
    for (const SrbPtr &rec : expired) {
        Adapter *a = rec->adapter;
        bool called;
        {
            MinidriverCall call(a, DISPATCH_LEVEL, "HwRequestTimeoutHandler");
            called = BeginClassCall(rec);  // false: completed since the countdown
            if (called) {
                if (a->init.HwRequestTimeoutHandler == NULL)
                    VerifierFault("UNSUPPORTED_BY_STAND_IN",
                                  "SRB %p (command 0x%x) timed out: the minidriver has no "
                                  "HwRequestTimeoutHandler, and the class's own time-out handling is not part "
                                  "of the stand-in",
                                  static_cast<void *>(rec->srb), unsigned(rec->srb->Command));
                a->init.HwRequestTimeoutHandler(rec->srb);
            }
        }
        if (called)
            EndClassCall(rec);
    }
}

}  // namespace sim::streamclass

extern "C" {

VOID STREAMAPI StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType,
                                             PVOID HwDeviceExtension, ...)
{
    va_list args;
    va_start(args, HwDeviceExtension);
    switch (NotificationType) {
    case DeviceRequestComplete: {
        auto srb = va_arg(args, PHW_STREAM_REQUEST_BLOCK);
        va_end(args);
        sim::streamclass::CompleteSrb("StreamClassDeviceNotification(DeviceRequestComplete)",
                                      sim::streamclass::SrbKind::Adapter, HwDeviceExtension, srb);
        return;
    }
    default:
        va_end(args);
        VerifierFault("UNSUPPORTED_BY_STAND_IN",
                      "StreamClassDeviceNotification: notification type %d is not part of the stand-in yet",
                      int(NotificationType));
    }
}

VOID STREAMAPI StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE NotificationType,
                                             PHW_STREAM_OBJECT StreamObject, ...)
{
    UNREFERENCED_PARAMETER(StreamObject);
    va_list args;
    va_start(args, StreamObject);
    switch (NotificationType) {
    case StreamRequestComplete: {
        auto srb = va_arg(args, PHW_STREAM_REQUEST_BLOCK);
        va_end(args);
        sim::streamclass::CompleteSrb("StreamClassStreamNotification(StreamRequestComplete)",
                                      sim::streamclass::SrbKind::Stream, NULL, srb);
        return;
    }
    default:
        va_end(args);
        VerifierFault("UNSUPPORTED_BY_STAND_IN",
                      "StreamClassStreamNotification: notification type %d is not part of the stand-in yet",
                      int(NotificationType));
    }
}

}  // extern "C"
