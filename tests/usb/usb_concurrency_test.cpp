// Several driver threads submitting and cancelling transfers while the
// device serves them from a thread of its own and the bus completes them
// (on its workers, or on the device's thread); then an unplug in the middle.

#include "usb_test_support.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace usbtest;
using sim::usb::Bus;
using sim::usb::BusOptions;
using sim::usb::CompletionMode;
using sim::usb::IsoPacket;

namespace {

constexpr int kSubmitters = 3;
constexpr int kRounds = 150;

class UsbBusConcurrency : public testing::TestWithParam<CompletionMode> {
protected:
    void SetUp() override
    {
        bus_ = std::make_unique<Bus>(BusOptions{GetParam(), 2});
        port_ = bus_->Plug(device_);
        ASSERT_EQ(SelectConfiguration(port_->PhysicalDeviceObject(), device_.configuration, 24064, &info_),
                  STATUS_SUCCESS);
        pipes_ = PipesOf(info_);
        device_thread_ = std::thread([this] {
            IsoPacket packet;
            packet.data.assign(kIsoPacket, 0x47);
            while (!stop_.load()) {
                port_->OfferIn(kReplyPipe, "0123456789", 10);
                port_->OfferIsochIn(kStreamPipe, &packet, 1);
                std::this_thread::yield();
            }
        });
    }
    void TearDown() override
    {
        stop_ = true;
        if (device_thread_.joinable())
            device_thread_.join();
        bus_.reset();
    }

    struct Tally {
        std::atomic<int> success{0}, cancelled{0}, gone{0}, other{0}, lost{0};
    };

    // One submitter: bulk reads and isochronous reads in turn, every third
    // one cancelled straight after it was sent.
    void Submit(int seed, Tally &tally)
    {
        PDEVICE_OBJECT pdo = port_->PhysicalDeviceObject();
        for (int round = 0; round < kRounds; round++) {
            AsyncRequest request(pdo);
            std::vector<uint8_t> buffer(64);
            URB bulk = MakeBulk(pipes_[1].PipeHandle, buffer.data(), 64,
                                USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
            IsochUrb isoch(pipes_[2].PipeHandle, 2, kIsoPacket);
            request.Send((round + seed) % 2 == 0 ? &bulk : isoch.get());
            if ((round + seed) % 3 == 0)
                IoCancelIrp(request.irp());
            if (!request.Wait(20)) {
                tally.lost++;
                // The IRP cannot be freed while the bus may still hold it.
                port_->Leave();
                request.Wait(20);
                continue;
            }
            EXPECT_EQ(request.calls, 1);
            switch (request.status) {
            case STATUS_SUCCESS: tally.success++; break;
            case STATUS_CANCELLED: tally.cancelled++; break;
            case STATUS_DEVICE_NOT_CONNECTED: tally.gone++; break;
            default: tally.other++; break;
            }
        }
    }

    void RunSubmitters(Tally &tally, std::function<void()> meanwhile = nullptr)
    {
        std::vector<std::thread> threads;
        for (int i = 0; i < kSubmitters; i++)
            threads.emplace_back([this, i, &tally] { Submit(i, tally); });
        if (meanwhile)
            meanwhile();
        for (std::thread &t : threads)
            t.join();
    }

    FakeDevice device_;
    std::unique_ptr<Bus> bus_;
    Port *port_ = nullptr;
    std::vector<uint8_t> info_;
    std::vector<USBD_PIPE_INFORMATION> pipes_;
    std::atomic<bool> stop_{false};
    std::thread device_thread_;
};

INSTANTIATE_TEST_SUITE_P(Modes, UsbBusConcurrency,
                         testing::Values(CompletionMode::Immediate, CompletionMode::Worker),
                         [](const testing::TestParamInfo<CompletionMode> &info) {
                             return info.param == CompletionMode::Immediate ? "Immediate" : "Worker";
                         });

TEST_P(UsbBusConcurrency, EveryTransferCompletesOnceWhetherServedOrCancelled)
{
    Tally tally;
    RunSubmitters(tally);
    EXPECT_EQ(tally.lost.load(), 0);
    EXPECT_EQ(tally.other.load(), 0);
    EXPECT_EQ(tally.gone.load(), 0);
    EXPECT_EQ(tally.success + tally.cancelled, kSubmitters * kRounds);
    const auto counters = port_->Counters();
    EXPECT_EQ(counters.endpoints.at(kReplyPipe).transfers + counters.endpoints.at(kStreamPipe).transfers,
              uint64_t(kSubmitters * kRounds));
    // Cancels that lost the race to the device completed as served.
    EXPECT_LE(counters.cancels, uint64_t(tally.cancelled.load()));
    EXPECT_EQ(port_->PendingTransfers(kReplyPipe) + port_->PendingTransfers(kStreamPipe), 0u);
}

TEST_P(UsbBusConcurrency, UnplugWhileTransfersAreInFlight)
{
    Tally tally;
    RunSubmitters(tally, [this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        port_->Leave();
    });
    EXPECT_EQ(tally.lost.load(), 0);
    EXPECT_EQ(tally.other.load(), 0);
    EXPECT_EQ(tally.success + tally.cancelled + tally.gone, kSubmitters * kRounds);
    EXPECT_TRUE(port_->Gone());
}

}  // namespace
