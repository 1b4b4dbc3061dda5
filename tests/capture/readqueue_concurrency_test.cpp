// The ReadQueue under load: threads start reads while the bus completes
// them from its own threads in random order with random statuses, other
// threads cancel random reads and cancel all of them, and a recording
// worker finishes the frames handed to it. At the end every read has been
// completed exactly once, with a result a client may see, and nothing is
// left. The seed is printed with every failure; NORVANE_TEST_SEED repeats
// a run.

#include "read_harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

using cptest::BusAction;
using cptest::BusMode;
using cptest::Read;
using cptest::ReadHarness;
using cptest::TransferKind;

namespace {

constexpr std::size_t kReads = 3000;
constexpr int kStarters = 3;
constexpr int kBusThreads = 2;
constexpr int kCancellers = 2;

const NTSTATUS kStatuses[] = {STATUS_SUCCESS,          STATUS_SUCCESS, STATUS_SUCCESS,           STATUS_CANCELLED,
                              STATUS_DEVICE_NOT_CONNECTED, STATUS_UNSUCCESSFUL, STATUS_TIMEOUT,
                              STATUS_INVALID_PARAMETER};

unsigned Seed()
{
    if (const char *s = std::getenv("NORVANE_TEST_SEED"))
        return unsigned(std::strtoul(s, nullptr, 0));
    return std::random_device{}();
}

class Random {
public:
    explicit Random(unsigned seed) : engine_(seed) {}
    unsigned Below(unsigned n)
    {
        std::lock_guard<std::mutex> g(lock_);
        return std::uniform_int_distribution<unsigned>(0, n - 1)(engine_);
    }
    NTSTATUS Status() { return kStatuses[Below(sizeof kStatuses / sizeof kStatuses[0])]; }

private:
    std::mutex lock_;
    std::mt19937 engine_;
};

TEST(ReadQueueConcurrency, StartCompleteCancelAndRecordAtOnce)
{
    const unsigned seed = Seed();
    SCOPED_TRACE(testing::Message() << "seed " << seed << " (NORVANE_TEST_SEED)");
    DebugLevel = 0;
    Random random(seed);
    ReadHarness h;
    h.bus.Decide = [&] {
        const unsigned pick = random.Below(10);
        if (pick < 4)
            return BusAction{BusMode::CompleteAtOnce, random.Status(), cptest::kFrameBytes};
        return BusAction{pick < 8 ? BusMode::HoldCancelable : BusMode::HoldIgnoringCancel, STATUS_SUCCESS,
                         cptest::kFrameBytes};
    };

    std::vector<Read *> reads;
    for (std::size_t i = 0; i < kReads; i++)
        reads.push_back(&h.NewRead(random.Below(2) ? TransferKind::Bulk : TransferKind::Isochronous,
                                   random.Below(5) == 0));

    std::mutex startedLock;
    std::vector<PHW_STREAM_REQUEST_BLOCK> started;
    std::atomic<std::size_t> next{0};
    std::atomic<int> startersLeft{kStarters};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;

    for (int t = 0; t < kStarters; t++) {
        threads.emplace_back([&] {
            for (std::size_t i; (i = next++) < kReads;) {
                Read &r = *reads[i];
                const bool atDispatch = random.Below(2) == 0;
                const bool buildFails = random.Below(20) == 0;
                const KIRQL old = atDispatch ? KfRaiseIrql(DISPATCH_LEVEL) : KeGetCurrentIrql();
                h.Append(r);
                {
                    std::lock_guard<std::mutex> g(startedLock);
                    started.push_back(r.srb);
                }
                if (buildFails)
                    h.SendFailed(r);
                else
                    h.Send(r);
                if (atDispatch)
                    KfLowerIrql(old);
            }
            startersLeft--;
        });
    }
    for (int t = 0; t < kBusThreads; t++) {
        threads.emplace_back([&] {
            while (!stop) {
                if (!h.bus.CompleteOne(random.Below(64), random.Status()))
                    std::this_thread::yield();
            }
        });
    }
    for (int t = 0; t < kCancellers; t++) {
        threads.emplace_back([&] {
            while (!stop) {
                PHW_STREAM_REQUEST_BLOCK srb = nullptr;
                {
                    std::lock_guard<std::mutex> g(startedLock);
                    if (!started.empty())
                        srb = started[random.Below(unsigned(started.size()))];
                }
                if (srb == nullptr) {
                    std::this_thread::yield();
                    continue;
                }
                // Perhaps completed and freed already: the queue only
                // compares the address.
                nvtest::RaisedIrql dispatch(DISPATCH_LEVEL);
                VideoQueueCancelOneSRB(h.stream, srb);
            }
        });
    }
    threads.emplace_back([&] {
        while (!stop) {
            VideoQueueCancelAllSRBs(h.stream);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    threads.emplace_back([&] {
        while (!stop) {
            std::vector<Read *> handed = h.TakeHandedOn();
            for (Read *r : handed)
                h.WorkerFinish(*r);
            if (handed.empty())
                std::this_thread::yield();
        }
    });

    while (startersLeft.load() != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop = true;
    for (std::thread &t : threads)
        t.join();

    // What is left ends the way a stream's stop ends it: cancel all, the
    // bus gives back what it holds, the worker finishes its frames.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (cptest::StreamCompletions::Instance().Pending() != 0 && std::chrono::steady_clock::now() < deadline) {
        VideoQueueCancelAllSRBs(h.stream);
        h.bus.CompleteHeld(STATUS_CANCELLED);
        for (Read *r : h.TakeHandedOn())
            h.WorkerFinish(*r);
    }
    ASSERT_EQ(cptest::StreamCompletions::Instance().Pending(), 0u);

    std::size_t cancelled = 0, withData = 0;
    for (Read *r : reads) {
        const cptest::CompletionRecord c = h.Result(*r);
        ASSERT_EQ(c.completions, 1) << "read " << r->id;
        if (c.status == STATUS_CANCELLED) {
            cancelled++;
            EXPECT_EQ(c.dataUsed, 0u) << "read " << r->id;
        } else {
            ASSERT_EQ(c.status, STATUS_SUCCESS) << "read " << r->id;
            EXPECT_TRUE(c.dataUsed == 0 || c.dataUsed == cptest::kFrameBytes) << "read " << r->id;
            withData += c.dataUsed != 0;
        }
        EXPECT_LE(r->completionCalls.load(), 1) << "read " << r->id;
    }
    EXPECT_EQ(h.Count(), 0);
    EXPECT_EQ(h.bus.Held(), 0u);
    EXPECT_EQ(h.LiveTransfers(), 0u);
    RecordProperty("cancelled", int(cancelled));
    RecordProperty("with_data", int(withData));
}

}  // namespace
