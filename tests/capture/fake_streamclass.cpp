#include "fake_streamclass.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>

namespace cptest {

namespace {

DeviceNotificationHook g_deviceHook;
std::mutex g_deviceHookLock;

// With the queue lock: is link one of the entries of ReadQueue n, and does
// the count agree with the list?
bool LinkedInQueue(PADAPTER_EXTENSION adapter, ULONG n, PLIST_ENTRY wanted, LONG *length)
{
    bool found = false;
    LONG entries = 0;
    for (PLIST_ENTRY l = adapter->ReadQueueLists[n].Flink; l != &adapter->ReadQueueLists[n]; l = l->Flink) {
        entries++;
        if (l == wanted)
            found = true;
    }
    *length = entries;
    return found;
}

}  // namespace

StreamCompletions &StreamCompletions::Instance()
{
    static StreamCompletions *c = new StreamCompletions;
    return *c;
}

void StreamCompletions::Expect(PHW_STREAM_REQUEST_BLOCK srb, std::size_t id, PADAPTER_EXTENSION adapter,
                               ULONG streamNumber, Release release)
{
    std::lock_guard<std::mutex> g(lock_);
    pending_[srb] = Pend{id, adapter, streamNumber, std::move(release)};
    records_[id] = CompletionRecord{};
}

CompletionRecord StreamCompletions::Record(std::size_t id)
{
    std::lock_guard<std::mutex> g(lock_);
    return records_[id];
}

std::size_t StreamCompletions::Pending()
{
    std::lock_guard<std::mutex> g(lock_);
    return pending_.size();
}

std::vector<std::size_t> StreamCompletions::Order()
{
    std::lock_guard<std::mutex> g(lock_);
    return order_;
}

void StreamCompletions::Reset()
{
    std::lock_guard<std::mutex> g(lock_);
    EXPECT_TRUE(pending_.empty()) << pending_.size() << " stream request(s) never completed";
    pending_.clear();
    records_.clear();
    order_.clear();
}

void StreamCompletions::Complete(PHW_STREAM_OBJECT streamObject, PHW_STREAM_REQUEST_BLOCK srb)
{
    EXPECT_LE(KeGetCurrentIrql(), DISPATCH_LEVEL);
    Pend pend;
    {
        std::lock_guard<std::mutex> g(lock_);
        auto it = pending_.find(srb);
        if (it == pending_.end()) {
            // Completed before (its memory is freed) or never a request of
            // the test: nothing of it may be read.
            ADD_FAILURE() << "StreamRequestComplete for " << static_cast<void *>(srb)
                          << ", which is not pending: completed twice, or unknown";
            return;
        }
        pend = std::move(it->second);
        pending_.erase(it);
        CompletionRecord &r = records_[pend.id];
        r.completions++;
        r.status = srb->Status;
        r.dataUsed = srb->Command == SRB_READ_DATA ? srb->CommandData.DataBufferArray->DataUsed : 0;
        r.order = order_.size() + 1;
        r.thread = std::this_thread::get_id();
        order_.push_back(pend.id);
    }
    EXPECT_EQ(streamObject, srb->StreamObject) << "completed through another stream object";
    if (pend.adapter != nullptr) {
        KIRQL irql;
        KeAcquireSpinLock(&pend.adapter->ReadQueueLocks[pend.streamNumber], &irql);
        LONG length = 0;
        const bool linked =
            LinkedInQueue(pend.adapter, pend.streamNumber, &srb->Irp->Tail.Overlay.ListEntry, &length);
        const LONG count = pend.adapter->ReadQueueCounts[pend.streamNumber];
        KeReleaseSpinLock(&pend.adapter->ReadQueueLocks[pend.streamNumber], irql);
        EXPECT_FALSE(linked) << "request " << pend.id << " completed while still linked in its ReadQueue";
        EXPECT_EQ(count, length) << "ReadQueue count disagrees with its list";
    }
    pend.release();
}

RegistrationLog &Registrations()
{
    static RegistrationLog log;
    return log;
}

void SetDeviceNotificationHook(DeviceNotificationHook hook)
{
    std::lock_guard<std::mutex> g(g_deviceHookLock);
    g_deviceHook = std::move(hook);
}

}  // namespace cptest

extern "C" {

NTSTATUS STREAMAPI StreamClassRegisterMinidriver(PVOID Argument1, PVOID Argument2,
                                                 PHW_INITIALIZATION_DATA HwInitializationData)
{
    cptest::RegistrationLog &log = cptest::Registrations();
    log.calls++;
    log.argument1 = Argument1;
    log.argument2 = Argument2;
    std::memcpy(&log.data, HwInitializationData, sizeof log.data);
    return log.answer;
}

VOID STREAMAPI StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType,
                                             PVOID HwDeviceExtension, ...)
{
    va_list args;
    va_start(args, HwDeviceExtension);
    PHW_STREAM_REQUEST_BLOCK srb = va_arg(args, PHW_STREAM_REQUEST_BLOCK);
    va_end(args);
    cptest::DeviceNotificationHook hook;
    {
        std::lock_guard<std::mutex> g(cptest::g_deviceHookLock);
        hook = cptest::g_deviceHook;
    }
    if (!hook) {
        ADD_FAILURE() << "unexpected StreamClassDeviceNotification(" << int(NotificationType) << ")";
        return;
    }
    hook(NotificationType, HwDeviceExtension, srb);
}

VOID STREAMAPI StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE NotificationType,
                                             PHW_STREAM_OBJECT StreamObject, ...)
{
    if (NotificationType != StreamRequestComplete) {
        ADD_FAILURE() << "unexpected StreamClassStreamNotification(" << int(NotificationType) << ")";
        return;
    }
    va_list args;
    va_start(args, StreamObject);
    PHW_STREAM_REQUEST_BLOCK srb = va_arg(args, PHW_STREAM_REQUEST_BLOCK);
    va_end(args);
    cptest::StreamCompletions::Instance().Complete(StreamObject, srb);
}

// Only adapter initialisation calls it, and these tests never initialise an
// adapter.
NTSTATUS STREAMAPI StreamClassRegisterFilterWithNoKSPins(PDEVICE_OBJECT, const GUID *, ULONG, BOOL *,
                                                         KSPIN_MEDIUM *, GUID *)
{
    ADD_FAILURE() << "unexpected StreamClassRegisterFilterWithNoKSPins";
    return STATUS_NOT_IMPLEMENTED;
}

}  // extern "C"
