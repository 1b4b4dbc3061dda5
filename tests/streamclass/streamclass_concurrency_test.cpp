// The stand-in stream class across threads: completion from another
// thread, entry points that overlap or are serialised, the time-out
// countdown, cancel, and cancel against completion.
//
// Every wait in these tests is bounded, so a class that gets it wrong
// fails the test instead of hanging it.

#include "test_minidriver.h"
#include "test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <thread>

namespace sc = sim::streamclass;
using sctest::AdapterScope;
using sctest::Complete;
using sctest::PhysicalDevice;
using sctest::TestMinidriver;
using testing::ElementsAre;

namespace {

constexpr auto kPatience = std::chrono::seconds(10);

// A count that threads raise and wait on.
class Counter {
public:
    int Raise()
    {
        std::lock_guard<std::mutex> g(lock_);
        const int now = ++value_;
        changed_.notify_all();
        return now;
    }
    // True when the count reached n within the wait.
    template <class Duration>
    bool WaitFor(int n, Duration wait)
    {
        std::unique_lock<std::mutex> g(lock_);
        return changed_.wait_for(g, wait, [&] { return value_ >= n; });
    }
    int Value()
    {
        std::lock_guard<std::mutex> g(lock_);
        return value_;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    int value_ = 0;
};

// One SRB the minidriver kept, for the test to hand back later.
class HeldSrb {
public:
    void Hold(PHW_STREAM_REQUEST_BLOCK srb)
    {
        std::lock_guard<std::mutex> g(lock_);
        srb_ = srb;
        held_.notify_all();
    }
    PHW_STREAM_REQUEST_BLOCK Wait()
    {
        std::unique_lock<std::mutex> g(lock_);
        held_.wait_for(g, kPatience, [this] { return srb_ != nullptr; });
        return srb_;
    }

private:
    std::mutex lock_;
    std::condition_variable held_;
    PHW_STREAM_REQUEST_BLOCK srb_ = nullptr;
};

std::future<sc::Completion> SendAsync(sc::Adapter *adapter, SRB_COMMAND command, ULONG timeoutSeconds = 0)
{
    return std::async(std::launch::async, [=] {
        return sc::SendAdapterRequest(adapter, command, sc::CommandData{}, timeoutSeconds);
    });
}

class StreamClassThreads : public testing::Test {
protected:
    explicit StreamClassThreads(BOOLEAN turnOffSynchronization = TRUE) : minidriver(turnOffSynchronization) {}
    void SetUp() override
    {
        ASSERT_EQ(minidriver.Register(), STATUS_SUCCESS);
        adapter = sc::CreateAdapter(minidriver.Driver(), pdo.get());
        ASSERT_NE(adapter, nullptr);
    }
    void TearDown() override
    {
        if (adapter != nullptr)
            sc::DestroyAdapter(adapter);
    }

    TestMinidriver minidriver;
    PhysicalDevice pdo;
    sc::Adapter *adapter = nullptr;
};

class StreamClassSynchronised : public StreamClassThreads {
protected:
    StreamClassSynchronised() : StreamClassThreads(FALSE) {}
};

TEST_F(StreamClassThreads, CompletionFromAnotherThreadAtDispatchLevel)
{
    // HwReceivePacket keeps the request and returns; a thread of the
    // minidriver's (a USB completion, say) hands it back later.
    HeldSrb held;
    minidriver.On(SRB_GET_DEVICE_PROPERTY, [&](PHW_STREAM_REQUEST_BLOCK srb) { held.Hold(srb); });
    std::thread completer([&] {
        PHW_STREAM_REQUEST_BLOCK srb = held.Wait();
        ASSERT_NE(srb, nullptr);
        nvtest::RaisedIrql dispatch(DISPATCH_LEVEL);
        Complete(srb, STATUS_BUFFER_OVERFLOW, 12);
    });
    const sc::Completion c = sc::SendAdapterRequest(adapter, SRB_GET_DEVICE_PROPERTY);
    completer.join();
    EXPECT_EQ(c.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(c.actualBytesTransferred, 12u);
    EXPECT_EQ(sc::PendingRequests(adapter), 0u);
}

TEST_F(StreamClassThreads, WithoutClassSynchronisationRequestsOverlap)
{
    // Each request waits inside HwReceivePacket until the other one has
    // arrived: only a class that holds no lock across the call lets both in.
    Counter arrived;
    minidriver.On(SRB_SET_DEVICE_PROPERTY, [&](PHW_STREAM_REQUEST_BLOCK srb) {
        arrived.Raise();
        const bool both = arrived.WaitFor(2, kPatience);
        Complete(srb, both ? STATUS_SUCCESS : STATUS_IO_TIMEOUT);
    });
    auto first = SendAsync(adapter, SRB_SET_DEVICE_PROPERTY);
    auto second = SendAsync(adapter, SRB_SET_DEVICE_PROPERTY);
    EXPECT_EQ(first.get().status, STATUS_SUCCESS);
    EXPECT_EQ(second.get().status, STATUS_SUCCESS);
}

TEST_F(StreamClassSynchronised, WithClassSynchronisationCallsAreSerialised)
{
    Counter entered;
    std::atomic<int> inside{0};
    std::atomic<int> mostInside{0};
    std::atomic<bool> firstSawSecond{false};
    minidriver.On(SRB_SET_DEVICE_PROPERTY, [&](PHW_STREAM_REQUEST_BLOCK srb) {
        const int now = ++inside;
        mostInside = std::max(mostInside.load(), now);
        if (entered.Raise() == 1) {
            // The second request is on its way; it must not get in while
            // this one is still inside.
            firstSawSecond = entered.WaitFor(2, std::chrono::milliseconds(300));
        }
        --inside;
        Complete(srb, STATUS_SUCCESS);
    });
    auto first = SendAsync(adapter, SRB_SET_DEVICE_PROPERTY);
    ASSERT_TRUE(entered.WaitFor(1, kPatience));
    auto second = SendAsync(adapter, SRB_SET_DEVICE_PROPERTY);
    EXPECT_EQ(first.get().status, STATUS_SUCCESS);
    EXPECT_EQ(second.get().status, STATUS_SUCCESS);
    EXPECT_FALSE(firstSawSecond);
    EXPECT_EQ(mostInside, 1);
}

struct TimeoutCall {
    PHW_STREAM_REQUEST_BLOCK srb;
    KIRQL irql;
    ULONG counter;
};

TEST_F(StreamClassThreads, TimeoutHandlerRunsAtZeroAndAgainOnlyWhenReArmed)
{
    nvtest::TimeScale fast(0.01);
    HeldSrb timed;
    HeldSrb untimed;
    minidriver.On(SRB_GET_DEVICE_PROPERTY, [&](PHW_STREAM_REQUEST_BLOCK srb) { timed.Hold(srb); });
    minidriver.On(SRB_SET_DEVICE_PROPERTY, [&](PHW_STREAM_REQUEST_BLOCK srb) { untimed.Hold(srb); });
    std::mutex lock;
    std::vector<TimeoutCall> calls;
    Counter expiries;
    minidriver.onTimeout = [&](PHW_STREAM_REQUEST_BLOCK srb) {
        {
            std::lock_guard<std::mutex> g(lock);
            calls.push_back({srb, KeGetCurrentIrql(), srb->TimeoutCounter});
        }
        // Re-armed twice; the third expiry leaves the counter at zero.
        if (expiries.Raise() < 3)
            srb->TimeoutCounter = srb->TimeoutOriginal;
    };

    auto withoutTimeout = SendAsync(adapter, SRB_SET_DEVICE_PROPERTY, 0);
    auto withTimeout = SendAsync(adapter, SRB_GET_DEVICE_PROPERTY, 2);
    PHW_STREAM_REQUEST_BLOCK srb = timed.Wait();
    PHW_STREAM_REQUEST_BLOCK other = untimed.Wait();
    ASSERT_NE(srb, nullptr);
    ASSERT_NE(other, nullptr);
    ASSERT_TRUE(expiries.WaitFor(3, kPatience));

    // Five more seconds of countdown: nothing is re-armed, so nothing runs.
    LARGE_INTEGER fiveSeconds;
    fiveSeconds.QuadPart = -5 * 10 * 1000 * 1000;
    KeDelayExecutionThread(KernelMode, FALSE, &fiveSeconds);
    {
        std::lock_guard<std::mutex> g(lock);
        ASSERT_EQ(calls.size(), 3u);
        for (const TimeoutCall &call : calls) {
            EXPECT_EQ(call.srb, srb);
            EXPECT_EQ(call.irql, DISPATCH_LEVEL);
            EXPECT_EQ(call.counter, 0u);
        }
    }
    // A request that timed out is still pending and still the minidriver's.
    EXPECT_EQ(sc::PendingRequests(adapter), 2u);
    Complete(srb, STATUS_SUCCESS);
    Complete(other, STATUS_SUCCESS);
    EXPECT_EQ(withTimeout.get().status, STATUS_SUCCESS);
    EXPECT_EQ(withoutTimeout.get().status, STATUS_SUCCESS);
}

TEST_F(StreamClassThreads, TimeoutHandlerMayCompleteTheRequest)
{
    nvtest::TimeScale fast(0.01);
    minidriver.On(SRB_GET_DEVICE_PROPERTY, [](PHW_STREAM_REQUEST_BLOCK) {});
    Counter expiries;
    minidriver.onTimeout = [&](PHW_STREAM_REQUEST_BLOCK srb) {
        expiries.Raise();
        Complete(srb, STATUS_IO_TIMEOUT);
    };
    const sc::Completion c = sc::SendAdapterRequest(adapter, SRB_GET_DEVICE_PROPERTY, sc::CommandData{}, 1);
    EXPECT_EQ(c.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(expiries.Value(), 1);
}

TEST_F(StreamClassThreads, CancelReachesTheMinidriverWhichCompletes)
{
    HeldSrb held;
    minidriver.On(SRB_GET_DEVICE_PROPERTY, [&](PHW_STREAM_REQUEST_BLOCK srb) { held.Hold(srb); });
    Counter cancels;
    minidriver.onCancel = [&](PHW_STREAM_REQUEST_BLOCK srb) {
        cancels.Raise();
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        EXPECT_TRUE(srb->Irp->Cancel);
        Complete(srb, STATUS_CANCELLED);
    };
    auto request = SendAsync(adapter, SRB_GET_DEVICE_PROPERTY);
    PHW_STREAM_REQUEST_BLOCK srb = held.Wait();
    ASSERT_NE(srb, nullptr);
    EXPECT_TRUE(sc::CancelRequest(srb));
    EXPECT_EQ(request.get().status, STATUS_CANCELLED);
    // Too late: the minidriver completed it, and is not asked again.
    EXPECT_FALSE(sc::CancelRequest(srb));
    EXPECT_EQ(cancels.Value(), 1);
}

TEST_F(StreamClassThreads, CompletionWaitsForACancelInProgress)
{
    // The minidriver completes the request on another thread while
    // HwCancelPacket still runs with it: the SRB must stay whole until
    // the cancel routine has returned.
    HeldSrb held;
    minidriver.On(SRB_GET_DEVICE_PROPERTY, [&](PHW_STREAM_REQUEST_BLOCK srb) { held.Hold(srb); });
    Counter inCancel;
    Counter completing;
    std::atomic<SRB_COMMAND> seenAfterCompletion{SRB_COMMAND(0)};
    minidriver.onCancel = [&](PHW_STREAM_REQUEST_BLOCK srb) {
        inCancel.Raise();
        completing.WaitFor(1, kPatience);
        // Give the completion every chance to get ahead of the cancel.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        seenAfterCompletion = srb->Command;
    };
    auto request = SendAsync(adapter, SRB_GET_DEVICE_PROPERTY);
    PHW_STREAM_REQUEST_BLOCK srb = held.Wait();
    ASSERT_NE(srb, nullptr);
    std::thread completer([&] {
        inCancel.WaitFor(1, kPatience);
        completing.Raise();
        Complete(srb, STATUS_CANCELLED);
    });
    EXPECT_TRUE(sc::CancelRequest(srb));
    completer.join();
    EXPECT_EQ(seenAfterCompletion.load(), SRB_GET_DEVICE_PROPERTY);
    EXPECT_EQ(request.get().status, STATUS_CANCELLED);
}

TEST(StreamClassTimeoutThread, RunsExactlyWhileAnAdapterExists)
{
    TestMinidriver minidriver;
    ASSERT_EQ(minidriver.Register(), STATUS_SUCCESS);
    PhysicalDevice first;
    PhysicalDevice second;
    EXPECT_FALSE(sc::TimeoutThreadRunning());
    AdapterScope a(sc::CreateAdapter(minidriver.Driver(), first.get()));
    ASSERT_NE(a.get(), nullptr);
    EXPECT_TRUE(sc::TimeoutThreadRunning());
    AdapterScope b(sc::CreateAdapter(minidriver.Driver(), second.get()));
    ASSERT_NE(b.get(), nullptr);
    EXPECT_EQ(sc::LiveAdapters(), 2u);
    a.Destroy();
    EXPECT_TRUE(sc::TimeoutThreadRunning());
    b.Destroy();
    EXPECT_FALSE(sc::TimeoutThreadRunning());
    EXPECT_EQ(sc::LiveAdapters(), 0u);
}

}  // namespace
