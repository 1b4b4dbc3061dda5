// The kernel under several threads, as drivers meet it: completion racing
// cancellation, requests completed on another processor at DISPATCH_LEVEL
// while IoCallDriver is still returning, spin locks under contention, and
// waits released by other threads. Built for the ThreadSanitizer run.

#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using nvtest::AllocateIrpFor;
using nvtest::RaisedIrql;
using nvtest::TestDevice;

// --- Completion against cancellation -------------------------------------------

// A driver's queue of pending IRPs in the documented cancel-safe pattern:
// whoever clears the cancel routine first owns the IRP. The queue lives in
// DriverContext[0], which is the holder's while it holds the IRP.
struct CancelSafeQueue {
    KSPIN_LOCK lock;
    LIST_ENTRY head;
    std::atomic<int> cancelRoutineCalls{0};

    CancelSafeQueue()
    {
        KeInitializeSpinLock(&lock);
        InitializeListHead(&head);
    }

    NTSTATUS Queue(PIRP irp)
    {
        irp->Tail.Overlay.DriverContext[0] = this;
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        IoSetCancelRoutine(irp, &CancelSafeQueue::Cancel);
        // Cancel is set by another processor without a lock this side holds;
        // read it as the atomic it is.
        if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, NULL) != NULL) {
            // Cancelled before it was queued, and the routine did not run.
            KeReleaseSpinLock(&lock, old);
            irp->IoStatus.Status = STATUS_CANCELLED;
            irp->IoStatus.Information = 0;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_CANCELLED;
        }
        IoMarkIrpPending(irp);
        InsertTailList(&head, &irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&lock, old);
        return STATUS_PENDING;
    }

    // Completes the oldest queued IRP whose cancel routine it can still
    // clear. False when the queue is empty.
    bool CompleteNext()
    {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        while (!IsListEmpty(&head)) {
            PLIST_ENTRY entry = RemoveHeadList(&head);
            PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
            if (IoSetCancelRoutine(irp, NULL) == NULL) {
                // Its cancel routine is running and will complete it; leave
                // the entry linked to itself for that routine to remove.
                InitializeListHead(entry);
                continue;
            }
            KeReleaseSpinLock(&lock, old);
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = 1;
            // Do not touch the IRP after this: it is its allocator's again.
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return true;
        }
        KeReleaseSpinLock(&lock, old);
        return false;
    }

    static VOID NTAPI Cancel(PDEVICE_OBJECT, PIRP irp)
    {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        auto *self = static_cast<CancelSafeQueue *>(irp->Tail.Overlay.DriverContext[0]);
        KIRQL old;
        KeAcquireSpinLock(&self->lock, &old);
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&self->lock, old);
        self->cancelRoutineCalls++;
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    }
};

// The allocator's record of one IRP: how often it came back and how.
struct Returned {
    std::atomic<int> completions{0};
    NTSTATUS status = STATUS_PENDING;

    static NTSTATUS NTAPI Routine(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto *self = static_cast<Returned *>(context);
        self->status = irp->IoStatus.Status;
        self->completions++;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
};

TEST(CompletionAgainstCancel, EveryIrpComesBackExactlyOnce)
{
    constexpr int kRounds = 8;
    constexpr int kIrps = 64;
    for (int round = 0; round < kRounds; round++) {
        SCOPED_TRACE(round);
        CancelSafeQueue queue;
        TestDevice device([&queue](PDEVICE_OBJECT, PIRP irp) { return queue.Queue(irp); });
        std::vector<PIRP> irps(kIrps);
        std::vector<Returned> returned(kIrps);
        for (int i = 0; i < kIrps; i++) {
            irps[i] = AllocateIrpFor(device.get());
            ASSERT_NE(irps[i], nullptr);
            IoSetCompletionRoutine(irps[i], &Returned::Routine, &returned[i], TRUE, TRUE, TRUE);
            ASSERT_EQ(IofCallDriver(device.get(), irps[i]), STATUS_PENDING);
        }

        std::atomic<int> cancelReturnedTrue{0};
        std::atomic<bool> go{false};
        std::thread completer([&] {
            while (!go)
                std::this_thread::yield();
            RaisedIrql dpc(DISPATCH_LEVEL);  // as a DPC would
            while (queue.CompleteNext()) {
            }
        });
        std::thread canceller([&] {
            while (!go)
                std::this_thread::yield();
            // From the newest, so the two threads meet in the middle.
            for (int i = kIrps - 1; i >= 0; i--)
                cancelReturnedTrue += IoCancelIrp(irps[i]) ? 1 : 0;
        });
        go = true;
        completer.join();
        canceller.join();

        int cancelled = 0, completed = 0;
        for (int i = 0; i < kIrps; i++) {
            EXPECT_EQ(returned[i].completions, 1) << "IRP " << i;
            cancelled += returned[i].status == STATUS_CANCELLED;
            completed += returned[i].status == STATUS_SUCCESS;
        }
        EXPECT_EQ(cancelled + completed, kIrps);
        EXPECT_EQ(cancelled, queue.cancelRoutineCalls.load());
        EXPECT_EQ(cancelReturnedTrue.load(), queue.cancelRoutineCalls.load())
            << "IoCancelIrp returns TRUE exactly when it ran the routine";
        EXPECT_TRUE(IsListEmpty(&queue.head));
        for (PIRP irp : irps)
            IoFreeIrp(irp);
    }
}

// --- Requests completed on another processor ---------------------------------

// Pends every request and hands it to a worker thread that completes it at
// DISPATCH_LEVEL, often before the sender's IoCallDriver has returned. The
// reply is twice the ULONG the request carries.
struct WorkerDevice {
    KSPIN_LOCK lock;
    LIST_ENTRY queue;
    KEVENT work;
    std::atomic<bool> stop{false};
    TestDevice device{[this](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        InsertTailList(&queue, &irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&lock, old);
        KeSetEvent(&work, IO_NO_INCREMENT, FALSE);
        return STATUS_PENDING;
    }};
    std::thread worker;

    WorkerDevice()
    {
        KeInitializeSpinLock(&lock);
        InitializeListHead(&queue);
        KeInitializeEvent(&work, SynchronizationEvent, FALSE);
        worker = std::thread([this] { Run(); });
    }

    ~WorkerDevice()
    {
        stop = true;
        KeSetEvent(&work, IO_NO_INCREMENT, FALSE);
        worker.join();
    }

    void Run()
    {
        for (;;) {
            KeWaitForSingleObject(&work, Executive, KernelMode, FALSE, NULL);
            RaisedIrql dpc(DISPATCH_LEVEL);
            for (;;) {
                KeAcquireSpinLockAtDpcLevel(&lock);
                PIRP irp = nullptr;
                if (!IsListEmpty(&queue))
                    irp = CONTAINING_RECORD(RemoveHeadList(&queue), IRP, Tail.Overlay.ListEntry);
                KeReleaseSpinLockFromDpcLevel(&lock);
                if (irp == nullptr)
                    break;
                auto *value = static_cast<ULONG *>(irp->AssociatedIrp.SystemBuffer);
                *value *= 2;
                irp->IoStatus.Status = STATUS_SUCCESS;
                irp->IoStatus.Information = sizeof(ULONG);
                IofCompleteRequest(irp, IO_NO_INCREMENT);
            }
            if (stop)
                return;
        }
    }
};

TEST(CompletionOnAnotherThread, SynchronousCallersGetTheirOwnResults)
{
    const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x830, METHOD_BUFFERED, FILE_ANY_ACCESS);
    constexpr int kSenders = 3;
    constexpr int kRequests = 100;
    const std::size_t irpsBefore = sim::io::LiveIrps();
    {
        WorkerDevice target;
        std::vector<std::thread> senders;
        std::atomic<int> wrong{0};
        for (int s = 0; s < kSenders; s++) {
            senders.emplace_back([&, s] {
                for (int r = 0; r < kRequests; r++) {
                    ULONG value = ULONG(s * 1000 + r), reply = 0;
                    KEVENT event;
                    KeInitializeEvent(&event, NotificationEvent, FALSE);
                    IO_STATUS_BLOCK iosb;
                    PIRP irp = IoBuildDeviceIoControlRequest(code, target.device.get(), &value, sizeof value, &reply,
                                                             sizeof reply, FALSE, &event, &iosb);
                    if (irp == nullptr) {
                        wrong++;
                        continue;
                    }
                    NTSTATUS status = IofCallDriver(target.device.get(), irp);
                    if (status == STATUS_PENDING) {
                        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
                        status = iosb.Status;
                    }
                    if (status != STATUS_SUCCESS || iosb.Information != sizeof reply || reply != 2 * value)
                        wrong++;
                }
            });
        }
        for (std::thread &t : senders)
            t.join();
        EXPECT_EQ(wrong.load(), 0);
    }
    EXPECT_EQ(sim::io::LiveIrps(), irpsBefore);
}

// --- Spin locks ------------------------------------------------------------------

TEST(SpinLockContention, GuardsACounterAcrossThreads)
{
    constexpr int kThreads = 2;
    constexpr int kIterations = 20000;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;  // plain memory: only the lock orders it
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> wrongIrql{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&] {
            for (int i = 0; i < kIterations; i++) {
                KIRQL old;
                KeAcquireSpinLock(&lock, &old);
                if (inside.fetch_add(1) != 0)
                    overlaps++;
                if (KeGetCurrentIrql() != DISPATCH_LEVEL || old != PASSIVE_LEVEL)
                    wrongIrql++;
                counter++;
                inside.fetch_sub(1);
                KeReleaseSpinLock(&lock, old);
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(counter, long(kThreads) * kIterations);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(wrongIrql.load(), 0);
}

// --- Waits released by other threads -----------------------------------------

TEST(EventWaiters, SynchronizationEventReleasesOneWaiterPerSignal)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; i++) {
        waiters.emplace_back([&] {
            if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL) == STATUS_SUCCESS)
                woken++;
        });
    }

    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    while (woken == 0)
        std::this_thread::yield();
    // If the signal wrongly released both, the second would show here; a
    // pause can only miss that fault, never invent it.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(woken.load(), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "the released waiter consumed the signal";

    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    for (std::thread &t : waiters)
        t.join();
    EXPECT_EQ(woken.load(), 2);
}

TEST(EventWaiters, NotificationEventReleasesEveryWaiter)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    constexpr int kWaiters = 4;
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; i++) {
        waiters.emplace_back([&] {
            if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL) == STATUS_SUCCESS)
                woken++;
        });
    }
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    for (std::thread &t : waiters)
        t.join();
    EXPECT_EQ(woken.load(), kWaiters);
    EXPECT_NE(KeReadStateEvent(&event), 0);
}

// A waiter with a time-out that another thread signals in time is released
// with success, not a time-out.
TEST(EventWaiters, SignalBeforeTheTimeoutWins)
{
    nvtest::TimeScale scale(0.01);
    KEVENT ready, event;
    KeInitializeEvent(&ready, NotificationEvent, FALSE);
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    NTSTATUS status = STATUS_PENDING;
    std::thread waiter([&] {
        KeSetEvent(&ready, IO_NO_INCREMENT, FALSE);
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10LL * 1000 * 1000 * 60;  // a nominal minute
        status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    });
    KeWaitForSingleObject(&ready, Executive, KernelMode, FALSE, NULL);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    waiter.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
}

}  // namespace
