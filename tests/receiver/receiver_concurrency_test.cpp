// The receiver from several threads at once, with the bus completing every
// transfer on its workers: command exchanges, stream reads, and knobs and
// inspection in between.

#include "receiver_harness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace rxtest {
namespace {

TEST(ReceiverConcurrency, ExchangesStayInOrderWhileTheStreamRunsAndKnobsTurn)
{
    sim::usb::BusOptions bus;
    bus.completion = sim::usb::CompletionMode::Worker;
    bus.workerThreads = 2;
    Harness h(Options{StreamKind::Bulk, 0}, bus);
    ASSERT_EQ(h.Configure(4096), STATUS_SUCCESS);
    auto source = std::make_shared<CountingSource>();
    h.rx.SetStreamSource(source);
    ASSERT_EQ(h.Write({CMD_STREAM_CONTROL, kStreamStart}).status, STATUS_SUCCESS);

    constexpr int kExchanges = 150;
    std::atomic<bool> done{false};
    int wrong = 0;
    // The protocol's one exchange at a time: write a register, read it back.
    std::thread commands([&] {
        for (int i = 0; i < kExchanges; i++) {
            const uint8_t reg = uint8_t(0x40 + i % 16);
            h.Write({CMD_TARGET_WRITE, 0xC0, reg, uint8_t(i)});
            Result r = h.Exchange({CMD_TARGET_WRITE_READ, 0xC1, reg, 0x00, 0x01}, 1);
            wrong += r.status != STATUS_SUCCESS || r.data.size() != 1 || r.data[0] != uint8_t(i);
        }
        done = true;
    });
    std::size_t streamed = 0;
    bool counting = true;
    // At least a few reads, however the threads are scheduled.
    std::thread stream([&] {
        for (int reads = 0; reads < 8 || !done; reads++) {
            Result r = h.Read(4096, kStreamPipe);
            if (r.status != STATUS_SUCCESS)
                break;
            counting = counting && IsCounting(r.data.data(), r.data.size(), streamed);
            streamed += r.data.size();
        }
    });
    std::thread knobs([&] {
        while (!done) {
            (void)h.rx.StatusBlock();
            (void)h.rx.Registers(kTunerAddress);
            (void)h.rx.Commands().size();
            (void)h.rx.StreamBytesDelivered();
            h.rx.SetNeverAnswer(false);
            h.rx.FailTransfers(kStreamEndpoint, USBD_STATUS_REQUEST_FAILED, 0);  // armed for none
            std::this_thread::yield();
        }
    });
    commands.join();
    stream.join();
    knobs.join();

    EXPECT_EQ(wrong, 0);
    EXPECT_GE(streamed, 8u * 4096);
    EXPECT_TRUE(counting);  // no byte lost, doubled or reordered between reads
    EXPECT_EQ(h.rx.Commands().size(), std::size_t(1 + 2 * kExchanges));
}

}  // namespace
}  // namespace rxtest
