// The request serializer with dispatch and completion routines of the test:
// who processes a request that finds the queue busy, in which order, and
// that the queue is idle again only when nothing waits. Interleavings are
// forced with events; every wait is bounded, so a fault fails the test
// instead of hanging it.

#include "adapter/serializer.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr ULONG kTag = sim::pool::Tag("Tser");
constexpr NTSTATUS kStaleStatus = NTSTATUS(0xA5A5A5A5);

// Waits at most ten seconds; false (and a failure) when the event never came.
bool WaitFor(KEVENT &event, const char *what)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10LL * 10000000LL;
    const NTSTATUS s = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    EXPECT_EQ(s, STATUS_SUCCESS) << "timed out waiting for " << what;
    return s == STATUS_SUCCESS;
}

struct Event {
    Event() { KeInitializeEvent(&event, NotificationEvent, FALSE); }
    void Set() { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); }
    bool Wait(const char *what) { return WaitFor(event, what); }
    KEVENT event;
};

struct Step {
    enum Kind { Dispatch, Complete } kind;
    std::size_t id;
    std::thread::id thread;
    NTSTATUS status;  // at the start of dispatch; at completion
};

class Serializer : public testing::Test {
protected:
    void SetUp() override
    {
        adapter = static_cast<PADAPTER_EXTENSION>(ExAllocatePoolWithTag(NonPagedPool, sizeof *adapter, kTag));
        ASSERT_NE(adapter, nullptr);
        RtlZeroMemory(adapter, sizeof *adapter);
        KeInitializeSpinLock(&adapter->SerializerLock);
        InitializeListHead(&adapter->AdapterSerializer.Pending);
        for (auto &pending : adapter->StreamSerializerPending)
            InitializeListHead(&pending);
    }

    void TearDown() override
    {
        for (PHW_STREAM_REQUEST_BLOCK srb : unfinished_)
            Free(srb);
        ExFreePoolWithTag(adapter, kTag);
    }

    PHW_STREAM_REQUEST_BLOCK NewRequest()
    {
        auto srb = static_cast<PHW_STREAM_REQUEST_BLOCK>(ExAllocatePoolWithTag(NonPagedPool, sizeof(HW_STREAM_REQUEST_BLOCK), kTag));
        RtlZeroMemory(srb, sizeof *srb);
        srb->SizeOfThisPacket = sizeof *srb;
        srb->Command = SRB_UNKNOWN_DEVICE_COMMAND;
        srb->Status = kStaleStatus;
        srb->HwDeviceExtension = adapter;
        // Uninitialised, as the class hands it over.
        srb->SRBExtension = ExAllocatePoolWithTag(NonPagedPool, sizeof(SRB_EXTENSION), kTag);
        srb->Reserved[0] = ULONG(unfinished_.size());
        unfinished_.push_back(srb);
        return srb;
    }

    void Free(PHW_STREAM_REQUEST_BLOCK srb)
    {
        ExFreePoolWithTag(srb->SRBExtension, kTag);
        ExFreePoolWithTag(srb, kTag);
    }

    void Record(Step::Kind kind, PHW_STREAM_REQUEST_BLOCK srb)
    {
        std::lock_guard<std::mutex> g(lock_);
        steps_.push_back(Step{kind, srb->Reserved[0], std::this_thread::get_id(), srb->Status});
    }

    // Runs the serializer for srb; onDispatch runs inside the dispatch, and
    // may change the request's Status. The completion frees the request, so
    // a serializer that touches it afterwards is caught.
    void Process(const REQUEST_SERIALIZER &serializer, PHW_STREAM_REQUEST_BLOCK srb,
                 std::function<void(PHW_STREAM_REQUEST_BLOCK)> onDispatch = nullptr,
                 std::function<void(PHW_STREAM_REQUEST_BLOCK)> onComplete = nullptr)
    {
        SerializerProcess(
            serializer, srb,
            [&](PHW_STREAM_REQUEST_BLOCK s) {
                Record(Step::Dispatch, s);
                if (onDispatch)
                    onDispatch(s);
            },
            [&](PHW_STREAM_REQUEST_BLOCK s) {
                Record(Step::Complete, s);
                if (onComplete)
                    onComplete(s);
                {
                    std::lock_guard<std::mutex> g(lock_);
                    for (auto it = unfinished_.begin(); it != unfinished_.end(); ++it)
                        if (*it == s) {
                            unfinished_.erase(it);
                            break;
                        }
                }
                Free(s);
            });
    }

    std::vector<Step> Steps()
    {
        std::lock_guard<std::mutex> g(lock_);
        return steps_;
    }

    void ExpectIdle(ULONG *busy, PLIST_ENTRY pending)
    {
        KIRQL irql;
        KeAcquireSpinLock(&adapter->SerializerLock, &irql);
        const ULONG b = *busy;
        const bool empty = IsListEmpty(pending);
        KeReleaseSpinLock(&adapter->SerializerLock, irql);
        EXPECT_EQ(b, 0u);
        EXPECT_TRUE(empty);
    }

    PADAPTER_EXTENSION adapter = nullptr;

private:
    std::mutex lock_;
    std::vector<Step> steps_;
    std::vector<PHW_STREAM_REQUEST_BLOCK> unfinished_;
};

TEST_F(Serializer, TheBusyThreadProcessesAQueuedRequestAfterItsOwn)
{
    PHW_STREAM_REQUEST_BLOCK first = NewRequest();
    PHW_STREAM_REQUEST_BLOCK second = NewRequest();
    const REQUEST_SERIALIZER s = AdapterRequestSerializer(adapter);
    Event inFirst, secondQueued;
    std::thread::id ownerId;
    std::thread owner([&] {
        ownerId = std::this_thread::get_id();
        Process(s, first, [&](PHW_STREAM_REQUEST_BLOCK srb) {
            if (srb == first) {
                inFirst.Set();
                secondQueued.Wait("the second request to be queued");
            }
        });
    });
    ASSERT_TRUE(inFirst.Wait("the first dispatch"));
    Process(s, second);
    // The second submitter returned at once, without dispatching anything.
    EXPECT_EQ(Steps().size(), 1u);
    secondQueued.Set();
    owner.join();

    const std::vector<Step> steps = Steps();
    ASSERT_EQ(steps.size(), 4u);
    const Step::Kind kinds[] = {Step::Dispatch, Step::Complete, Step::Dispatch, Step::Complete};
    const std::size_t ids[] = {0, 0, 1, 1};
    for (std::size_t i = 0; i < steps.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(steps[i].kind, kinds[i]);
        EXPECT_EQ(steps[i].id, ids[i]);
        EXPECT_EQ(steps[i].thread, ownerId);
    }
    ExpectIdle(&adapter->AdapterSerializer.Busy, &adapter->AdapterSerializer.Pending);
}

TEST_F(Serializer, QueuedRequestsAreProcessedOldestFirstEachWithAFreshStatus)
{
    constexpr std::size_t kQueued = 6;
    PHW_STREAM_REQUEST_BLOCK first = NewRequest();
    std::vector<PHW_STREAM_REQUEST_BLOCK> queued;
    for (std::size_t i = 0; i < kQueued; i++)
        queued.push_back(NewRequest());
    const REQUEST_SERIALIZER s = AdapterRequestSerializer(adapter);
    Event inFirst, allQueued;
    std::thread owner([&] {
        Process(s, first, [&](PHW_STREAM_REQUEST_BLOCK srb) {
            if (srb == first) {
                inFirst.Set();
                allQueued.Wait("the other requests to be queued");
            }
            // Odd requests fail; the status must not carry over to the next.
            if (srb->Reserved[0] % 2 == 1)
                srb->Status = STATUS_NOT_IMPLEMENTED;
        });
    });
    ASSERT_TRUE(inFirst.Wait("the first dispatch"));
    // Submitted from several threads in turn: order is submission order.
    for (PHW_STREAM_REQUEST_BLOCK srb : queued) {
        std::thread submitter([&] { Process(s, srb); });
        submitter.join();
    }
    allQueued.Set();
    owner.join();

    const std::vector<Step> steps = Steps();
    ASSERT_EQ(steps.size(), 2 * (kQueued + 1));
    for (std::size_t id = 0; id <= kQueued; id++) {
        SCOPED_TRACE(id);
        const Step &d = steps[2 * id];
        const Step &c = steps[2 * id + 1];
        EXPECT_EQ(d.kind, Step::Dispatch);
        EXPECT_EQ(d.id, id);
        EXPECT_EQ(d.status, STATUS_SUCCESS) << "status not reset before dispatch";
        EXPECT_EQ(c.kind, Step::Complete);
        EXPECT_EQ(c.id, id);
        EXPECT_EQ(c.status, id % 2 == 1 ? STATUS_NOT_IMPLEMENTED : STATUS_SUCCESS);
        EXPECT_EQ(c.thread, steps[0].thread);
    }
    ExpectIdle(&adapter->AdapterSerializer.Busy, &adapter->AdapterSerializer.Pending);
}

TEST_F(Serializer, ARequestQueuedDuringTheLastCompletionIsStillProcessed)
{
    PHW_STREAM_REQUEST_BLOCK first = NewRequest();
    PHW_STREAM_REQUEST_BLOCK late = NewRequest();
    const REQUEST_SERIALIZER s = AdapterRequestSerializer(adapter);
    Event submitted;
    std::thread::id lateSubmitter;
    std::thread submitter;
    Process(s, first, nullptr, [&](PHW_STREAM_REQUEST_BLOCK srb) {
        if (srb != first)
            return;
        // The FIFO is empty and this is the owner's last request: another
        // thread submits now, and must find the serializer still busy.
        submitter = std::thread([&] {
            lateSubmitter = std::this_thread::get_id();
            Process(s, late);
            submitted.Set();
        });
        submitted.Wait("the late submission to return");
    });
    submitter.join();

    const std::vector<Step> steps = Steps();
    ASSERT_EQ(steps.size(), 4u);
    EXPECT_EQ(steps[2].kind, Step::Dispatch);
    EXPECT_EQ(steps[2].id, 1u);
    EXPECT_EQ(steps[2].thread, std::this_thread::get_id()) << "the late request was not left to the owner";
    EXPECT_NE(steps[2].thread, lateSubmitter);
    EXPECT_EQ(steps[3].kind, Step::Complete);
    EXPECT_EQ(steps[3].id, 1u);
    ExpectIdle(&adapter->AdapterSerializer.Busy, &adapter->AdapterSerializer.Pending);
}

TEST_F(Serializer, TheAdapterQueueAndAStreamQueueDoNotWaitForEachOther)
{
    PHW_STREAM_REQUEST_BLOCK adapterRequest = NewRequest();
    PHW_STREAM_REQUEST_BLOCK streamRequest = NewRequest();
    Event inAdapter, streamDone;
    std::thread owner([&] {
        Process(AdapterRequestSerializer(adapter), adapterRequest, [&](PHW_STREAM_REQUEST_BLOCK) {
            inAdapter.Set();
            streamDone.Wait("the stream request");
        });
    });
    ASSERT_TRUE(inAdapter.Wait("the adapter dispatch"));
    Process(StreamRequestSerializer(adapter, 0), streamRequest);
    // Processed here and now, while the adapter queue is busy.
    const std::vector<Step> steps = Steps();
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(steps[1].id, 1u);
    EXPECT_EQ(steps[1].thread, std::this_thread::get_id());
    EXPECT_EQ(steps[2].kind, Step::Complete);
    streamDone.Set();
    owner.join();
    ExpectIdle(&adapter->AdapterSerializer.Busy, &adapter->AdapterSerializer.Pending);
    ExpectIdle(&adapter->StreamSerializerBusy[0], &adapter->StreamSerializerPending[0]);
}

TEST_F(Serializer, ManyThreadsOneDispatchAtATimeNoneRefused)
{
    constexpr int kThreads = 8;
    constexpr int kPerThread = 200;
    std::vector<std::vector<PHW_STREAM_REQUEST_BLOCK>> requests(kThreads);
    for (auto &list : requests)
        for (int i = 0; i < kPerThread; i++)
            list.push_back(NewRequest());
    const REQUEST_SERIALIZER s = AdapterRequestSerializer(adapter);
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            ready++;
            while (ready.load() < kThreads)
                std::this_thread::yield();
            for (PHW_STREAM_REQUEST_BLOCK srb : requests[std::size_t(t)])
                Process(s, srb, [&](PHW_STREAM_REQUEST_BLOCK) {
                    if (++inside != 1)
                        overlaps++;
                    std::this_thread::yield();
                    inside--;
                });
        });
    }
    for (std::thread &t : threads)
        t.join();

    EXPECT_EQ(overlaps.load(), 0) << "two requests of one queue dispatched at once";
    std::vector<int> dispatched(kThreads * kPerThread), completed(kThreads * kPerThread);
    for (const Step &step : Steps())
        (step.kind == Step::Dispatch ? dispatched : completed)[step.id]++;
    for (std::size_t id = 0; id < dispatched.size(); id++) {
        ASSERT_EQ(dispatched[id], 1) << "request " << id;
        ASSERT_EQ(completed[id], 1) << "request " << id;
    }
    ExpectIdle(&adapter->AdapterSerializer.Busy, &adapter->AdapterSerializer.Pending);
}

}  // namespace
