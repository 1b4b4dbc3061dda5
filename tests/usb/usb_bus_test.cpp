// Conformance tests of the stand-in USB bus: the URBs drivers send to a
// device's PDO and what comes back, in both completion modes.

#include "usb_test_support.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <numeric>

using namespace usbtest;
using sim::usb::Bus;
using sim::usb::BusOptions;
using sim::usb::CompletionMode;
using sim::usb::IsoPacket;

namespace {

std::string ModeName(const testing::TestParamInfo<CompletionMode> &info)
{
    return info.param == CompletionMode::Immediate ? "Immediate" : "Worker";
}

class UsbBus : public testing::TestWithParam<CompletionMode> {
protected:
    void SetUp() override
    {
        bus_ = std::make_unique<Bus>(BusOptions{GetParam(), 1});
        port_ = bus_->Plug(device_);
        ASSERT_NE(port_, nullptr);
        pdo_ = port_->PhysicalDeviceObject();
    }
    void TearDown() override { bus_.reset(); }

    // Selects the receiver's configuration; pipe i is pipes_[i].
    void Configure(ULONG maxTransfer = 24064)
    {
        ASSERT_EQ(SelectConfiguration(pdo_, device_.configuration, maxTransfer, &info_), STATUS_SUCCESS);
        pipes_ = PipesOf(info_);
        ASSERT_EQ(pipes_.size(), 3u);
    }
    USBD_PIPE_HANDLE Pipe(std::size_t i) const { return pipes_.at(i).PipeHandle; }

    FakeDevice device_;
    std::unique_ptr<Bus> bus_;
    Port *port_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    std::vector<uint8_t> info_;
    std::vector<USBD_PIPE_INFORMATION> pipes_;
};

INSTANTIATE_TEST_SUITE_P(Modes, UsbBus, testing::Values(CompletionMode::Immediate, CompletionMode::Worker),
                         ModeName);

// ---------------------------------------------------------------------------
// Descriptors

TEST_P(UsbBus, ConfigurationDescriptorLongerThanTheFirstReadTakesTwoReads)
{
    device_.configuration = ConfigurationBytes(ReceiverEndpoints(), 600);
    std::vector<uint8_t> buffer(600, 0xCC);

    URB first = MakeDescriptorRequest(USB_CONFIGURATION_DESCRIPTOR_TYPE, buffer.data(), 521);
    EXPECT_EQ(SubmitSync(pdo_, &first), STATUS_SUCCESS);
    EXPECT_EQ(first.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(first.UrbControlDescriptorRequest.TransferBufferLength, 521u);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 521, device_.configuration.begin()));
    EXPECT_EQ(buffer[521], 0xCC) << "the bus wrote past the bytes asked for";
    const USHORT total = USHORT(buffer[2] | buffer[3] << 8);
    EXPECT_EQ(total, 600);

    URB second = MakeDescriptorRequest(USB_CONFIGURATION_DESCRIPTOR_TYPE, buffer.data(), total);
    EXPECT_EQ(SubmitSync(pdo_, &second), STATUS_SUCCESS);
    EXPECT_EQ(second.UrbControlDescriptorRequest.TransferBufferLength, 600u);
    EXPECT_EQ(buffer, device_.configuration);
    EXPECT_EQ(port_->Counters().endpoints[0].transfers, 2u);
    EXPECT_EQ(port_->Counters().endpoints[0].bytes, 1121u);
}

TEST_P(UsbBus, DescriptorReadReturnsWhatTheDeviceHasWhenAskedForMore)
{
    struct Case {
        const char *name;
        UCHAR type;
        std::size_t available;
        ULONG asked;
        ULONG expected;
    };
    const Case cases[] = {
        {"device descriptor, exact", USB_DEVICE_DESCRIPTOR_TYPE, 18, 18, 18},
        {"device descriptor, first 8 bytes", USB_DEVICE_DESCRIPTOR_TYPE, 18, 8, 8},
        {"configuration, asked for more", USB_CONFIGURATION_DESCRIPTOR_TYPE, 39, 521, 39},
        {"configuration, zero-byte answer", USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 521, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.type == USB_CONFIGURATION_DESCRIPTOR_TYPE)
            device_.configuration = c.available == 0 ? std::vector<uint8_t>{} : ConfigurationBytes(ReceiverEndpoints());
        std::vector<uint8_t> buffer(c.asked, 0xCC);
        URB urb = MakeDescriptorRequest(c.type, buffer.data(), c.asked);
        EXPECT_EQ(SubmitSync(pdo_, &urb), STATUS_SUCCESS);
        EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, c.expected);
        const std::vector<uint8_t> &source = c.type == USB_DEVICE_DESCRIPTOR_TYPE ? device_.device : device_.configuration;
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + c.expected, source.begin()));
        if (c.expected < c.asked) {
            EXPECT_EQ(buffer[c.expected], 0xCC);
        }
    }
}

TEST_P(UsbBus, StringDescriptorIsStalledByADeviceThatHasNone)
{
    std::vector<uint8_t> buffer(64);
    URB urb = MakeDescriptorRequest(USB_STRING_DESCRIPTOR_TYPE, buffer.data(), 64);
    EXPECT_EQ(SubmitSync(pdo_, &urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 0u);
}

// ---------------------------------------------------------------------------
// Select configuration

TEST_P(UsbBus, SelectConfigurationFillsThePipesInEndpointOrderWithTheTransferSizeAsked)
{
    Configure(24064);
    auto info = reinterpret_cast<const USBD_INTERFACE_INFORMATION *>(info_.data());
    EXPECT_EQ(info->InterfaceNumber, 0);
    EXPECT_EQ(info->AlternateSetting, 0);
    EXPECT_EQ(info->Class, 0xFF);
    EXPECT_EQ(info->SubClass, 0x01);
    EXPECT_EQ(info->Protocol, 0x02);
    EXPECT_NE(info->InterfaceHandle, nullptr);
    EXPECT_EQ(info->NumberOfPipes, 3u);

    struct Expected {
        UCHAR address;
        USBD_PIPE_TYPE type;
        USHORT maxPacket;
        UCHAR interval;
    };
    const Expected expected[] = {{kCommandPipe, UsbdPipeTypeBulk, kBulkPacket, 0},
                                 {kReplyPipe, UsbdPipeTypeBulk, kBulkPacket, 0},
                                 {kStreamPipe, UsbdPipeTypeIsochronous, kIsoPacket, 1}};
    for (std::size_t i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(pipes_[i].EndpointAddress, expected[i].address);
        EXPECT_EQ(pipes_[i].PipeType, expected[i].type);
        EXPECT_EQ(pipes_[i].MaximumPacketSize, expected[i].maxPacket);
        EXPECT_EQ(pipes_[i].Interval, expected[i].interval);
        EXPECT_EQ(pipes_[i].MaximumTransferSize, 24064u);
        EXPECT_NE(pipes_[i].PipeHandle, nullptr);
    }
    EXPECT_NE(Pipe(0), Pipe(1));
    EXPECT_NE(Pipe(1), Pipe(2));
    EXPECT_EQ(device_.Configurations(), std::vector<uint8_t>{1});
    EXPECT_EQ(port_->ConfigurationValue(), 1);

    // The isochronous read the capture driver makes: as many whole 940-byte
    // packets as 24064 bytes hold is accepted; one packet more is not.
    IsochUrb fits(Pipe(2), 24064 / kIsoPacket, kIsoPacket);
    AsyncRequest a(pdo_);
    a.Send(fits.get());
    EXPECT_EQ(port_->PendingTransfers(kStreamPipe), 1u);
    IsochUrb tooLong(Pipe(2), 24064 / kIsoPacket + 1, kIsoPacket);
    EXPECT_EQ(SubmitSync(pdo_, tooLong.get()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(tooLong->Hdr.Status, USBD_STATUS_INVALID_PARAMETER);
    port_->Leave();
    ASSERT_TRUE(a.Wait());
}

TEST_P(UsbBus, SelectConfigurationRefusesWhatTheCallerGotWrong)
{
    auto cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(device_.configuration.data());
    struct Case {
        const char *name;
        std::function<void(PURB)> spoil;
        NTSTATUS status;
        USBD_STATUS usbd;
    };
    const Case cases[] = {
        {"interface information sized for fewer pipes",
         [](PURB urb) { urb->UrbSelectConfiguration.Interface.Length = USHORT(GET_USBD_INTERFACE_SIZE(2)); },
         STATUS_BUFFER_TOO_SMALL, USBD_STATUS_BUFFER_TOO_SMALL},
        {"an interface the configuration does not have",
         [](PURB urb) { urb->UrbSelectConfiguration.Interface.AlternateSetting = 1; }, STATUS_INVALID_PARAMETER,
         USBD_STATUS_INTERFACE_NOT_FOUND},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        USHORT size = 0;
        PURB urb = USBD_CreateConfigurationRequest(cd, &size);
        ASSERT_NE(urb, nullptr);
        c.spoil(urb);
        EXPECT_EQ(SubmitSync(pdo_, urb), c.status);
        EXPECT_EQ(urb->UrbHeader.Status, c.usbd);
        ExFreePool(urb);
    }
    EXPECT_EQ(port_->ConfigurationValue(), 0) << "a refused selection changed the configuration";
    EXPECT_TRUE(device_.Configurations().empty());
}

TEST_P(UsbBus, DeconfiguringClosesThePipes)
{
    Configure();
    std::vector<uint8_t> buffer(64);
    URB read = MakeBulk(Pipe(1), buffer.data(), 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    AsyncRequest pending(pdo_);
    pending.Send(&read);

    URB none;
    std::memset(&none, 0, sizeof none);
    UsbBuildSelectConfigurationRequest(&none, sizeof(struct _URB_SELECT_CONFIGURATION), NULL);
    EXPECT_EQ(SubmitSync(pdo_, &none), STATUS_SUCCESS);
    ASSERT_TRUE(pending.Wait());
    EXPECT_EQ(pending.status, STATUS_CANCELLED);
    EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(port_->ConfigurationValue(), 0);
    EXPECT_EQ(device_.Configurations(), (std::vector<uint8_t>{1, 0}));

    URB again = MakeBulk(Pipe(1), buffer.data(), 64, USBD_TRANSFER_DIRECTION_IN);
    EXPECT_EQ(SubmitSync(pdo_, &again), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(again.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

// ---------------------------------------------------------------------------
// Bulk transfers

TEST_P(UsbBus, BulkInEndsWhenTheBufferIsFullOrAShortPacketArrives)
{
    Configure();
    struct Case {
        const char *name;
        ULONG buffer;
        bool shortOk;
        std::vector<std::size_t> offers;  // what the device sends, in turn
        NTSTATUS status;                  // STATUS_PENDING: still waiting
        USBD_STATUS usbd;
        ULONG moved;
        bool halts;
    };
    const Case cases[] = {
        {"short packet, short OK", 256, true, {100}, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 100, false},
        {"short packet without short OK", 256, false, {100}, STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_UNDERRUN, 100, true},
        {"full packets leave it waiting", 256, true, {128}, STATUS_PENDING, 0, 0, false},
        {"a zero-length packet ends it", 256, true, {128, 0}, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 128, false},
        {"buffer filled exactly, no short OK needed", 256, false, {192, 64}, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 256,
         false},
        {"buffer filled with a last short packet", 100, false, {100}, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 100, false},
        {"a packet that does not fit the buffer", 100, true, {128}, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_BUFFER_OVERRUN,
         100, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> buffer(c.buffer, 0);
        URB urb = MakeBulk(Pipe(1), buffer.data(), c.buffer,
                           USBD_TRANSFER_DIRECTION_IN | (c.shortOk ? USBD_SHORT_TRANSFER_OK : 0));
        AsyncRequest a(pdo_);
        EXPECT_EQ(a.Send(&urb), STATUS_PENDING);
        std::vector<uint8_t> data(512);
        std::iota(data.begin(), data.end(), uint8_t(1));
        std::size_t sent = 0;  // the device's bytes follow on from one offer to the next
        for (std::size_t n : c.offers)
            sent += port_->OfferIn(kReplyPipe, data.data() + sent, n);
        if (c.status == STATUS_PENDING) {
            EXPECT_FALSE(a.Wait(0.05));
            EXPECT_EQ(port_->PendingTransfers(kReplyPipe), 1u);
            port_->FailTransfer(kReplyPipe, USBD_STATUS_CANCELED);  // let it go
            ASSERT_TRUE(a.Wait());
            continue;
        }
        ASSERT_TRUE(a.Wait());
        EXPECT_EQ(a.status, c.status);
        EXPECT_EQ(urb.UrbHeader.Status, c.usbd);
        EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, c.moved);
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + c.moved, data.begin()));

        URB next = MakeBulk(Pipe(1), buffer.data(), c.buffer, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
        if (c.halts) {
            EXPECT_EQ(SubmitSync(pdo_, &next), STATUS_UNSUCCESSFUL);
            EXPECT_EQ(next.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
            URB reset = MakeResetPipe(Pipe(1));
            EXPECT_EQ(SubmitSync(pdo_, &reset), STATUS_SUCCESS);
        } else {
            EXPECT_EQ(port_->PendingTransfers(kReplyPipe), 0u);
        }
    }
}

TEST_P(UsbBus, AnOfferLongerThanOneTransferFillsTheNextInOrder)
{
    Configure();
    std::vector<uint8_t> a(128), b(128);
    URB first = MakeBulk(Pipe(1), a.data(), 128, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    URB second = MakeBulk(Pipe(1), b.data(), 128, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    AsyncRequest ra(pdo_), rb(pdo_);
    ra.Send(&first);
    rb.Send(&second);
    std::vector<uint8_t> data(300);
    std::iota(data.begin(), data.end(), uint8_t(0));
    // 128 + 128 fill both; the last 44 bytes find no transfer.
    EXPECT_EQ(port_->OfferIn(kReplyPipe, data.data(), data.size()), 256u);
    ASSERT_TRUE(ra.Wait());
    ASSERT_TRUE(rb.Wait());
    EXPECT_TRUE(std::equal(a.begin(), a.end(), data.begin()));
    EXPECT_TRUE(std::equal(b.begin(), b.end(), data.begin() + 128));
    const auto counters = port_->Counters().endpoints[kReplyPipe];
    EXPECT_EQ(counters.transfers, 2u);
    EXPECT_EQ(counters.bytes, 256u);
}

TEST_P(UsbBus, BulkOutHandsTheDeviceTheBytes)
{
    Configure();
    uint8_t command[] = {0x02, 0xC1, 0x10, 0x20, 0x00, 0x04};
    URB urb = MakeBulk(Pipe(0), command, sizeof command, USBD_SHORT_TRANSFER_OK);
    AsyncRequest a(pdo_);
    EXPECT_EQ(a.Send(&urb), STATUS_PENDING);
    std::vector<uint8_t> got;
    EXPECT_FALSE(port_->TakeOut(kReplyPipe, &got)) << "an IN endpoint has no OUT transfer";
    ASSERT_TRUE(port_->TakeOut(kCommandPipe, &got));
    ASSERT_TRUE(a.Wait());
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(got, std::vector<uint8_t>(command, command + sizeof command));
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, sizeof command);
}

TEST_P(UsbBus, TransfersTheStackRefuses)
{
    Configure();
    std::vector<uint8_t> buffer(24064 + 64);
    USBD_PIPE_HANDLE stale = Pipe(1);
    struct Case {
        const char *name;
        std::function<URB()> make;
        NTSTATUS status;
        USBD_STATUS usbd;
    };
    const Case cases[] = {
        {"a handle that was never a pipe's",
         [&] { return MakeBulk(reinterpret_cast<USBD_PIPE_HANDLE>(0x12340), buffer.data(), 64, 3); },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE},
        {"IN on the OUT pipe", [&] { return MakeBulk(Pipe(0), buffer.data(), 64, 3); }, STATUS_INVALID_PARAMETER,
         USBD_STATUS_INVALID_PARAMETER},
        {"OUT on the IN pipe", [&] { return MakeBulk(Pipe(1), buffer.data(), 64, 2); }, STATUS_INVALID_PARAMETER,
         USBD_STATUS_INVALID_PARAMETER},
        {"bulk on the isochronous pipe", [&] { return MakeBulk(Pipe(2), buffer.data(), 64, 3); },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
        {"longer than MaximumTransferSize", [&] { return MakeBulk(Pipe(1), buffer.data(), 24064 + 1, 3); },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
        {"no buffer", [&] { return MakeBulk(Pipe(1), nullptr, 64, 3); }, STATUS_INVALID_PARAMETER,
         USBD_STATUS_INVALID_PARAMETER},
        {"a function the stack does not know",
         [&] {
             URB u = MakeBulk(Pipe(1), buffer.data(), 64, 3);
             u.UrbHeader.Function = 0x002B;
             return u;
         },
         STATUS_NOT_SUPPORTED, USBD_STATUS_INVALID_URB_FUNCTION},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        URB urb = c.make();
        EXPECT_EQ(SubmitSync(pdo_, &urb), c.status);
        EXPECT_EQ(urb.UrbHeader.Status, c.usbd);
    }
    EXPECT_EQ(port_->PendingTransfers(kReplyPipe), 0u);
    EXPECT_EQ(port_->PendingTransfers(kCommandPipe), 0u);

    // After a new selection the old configuration's handles are not pipes.
    Configure();
    URB old = MakeBulk(stale, buffer.data(), 64, 3);
    if (stale != Pipe(1)) {
        EXPECT_EQ(SubmitSync(pdo_, &old), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(old.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
    } else {
        ADD_FAILURE() << "a new configuration reused a pipe handle";
    }
}

TEST_P(UsbBus, ResetPipeClearsAStall)
{
    Configure();
    std::vector<uint8_t> buffer(64);
    auto read = [&] { return MakeBulk(Pipe(1), buffer.data(), 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK); };

    // A stall with a transfer pending fails it; with none, the next one.
    URB first = read();
    AsyncRequest a(pdo_);
    a.Send(&first);
    EXPECT_TRUE(port_->Stall(kReplyPipe));
    ASSERT_TRUE(a.Wait());
    EXPECT_EQ(a.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(first.UrbHeader.Status, USBD_STATUS_STALL_PID);

    URB halted = read();
    EXPECT_EQ(SubmitSync(pdo_, &halted), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(halted.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);

    URB reset = MakeResetPipe(Pipe(1));
    EXPECT_EQ(SubmitSync(pdo_, &reset), STATUS_SUCCESS);
    EXPECT_EQ(device_.Resets(), std::vector<uint8_t>{kReplyPipe});
    EXPECT_EQ(port_->Counters().resets, 1u);

    URB works = read();
    AsyncRequest b(pdo_);
    b.Send(&works);
    port_->OfferIn(kReplyPipe, "ok", 2);
    ASSERT_TRUE(b.Wait());
    EXPECT_EQ(b.status, STATUS_SUCCESS);
    EXPECT_EQ(works.UrbBulkOrInterruptTransfer.TransferBufferLength, 2u);

    EXPECT_TRUE(port_->Stall(kReplyPipe));  // none pending now
    URB next = read();
    EXPECT_EQ(SubmitSync(pdo_, &next), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(next.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_FALSE(port_->Stall(kStreamPipe)) << "isochronous endpoints have no handshake to stall with";

    URB badReset = MakeResetPipe(reinterpret_cast<USBD_PIPE_HANDLE>(0x777));
    EXPECT_EQ(SubmitSync(pdo_, &badReset), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(badReset.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

// ---------------------------------------------------------------------------
// Isochronous transfers

TEST_P(UsbBus, IsochronousPacketsCarryTheLengthAndStatusTheDeviceSent)
{
    Configure();
    struct Case {
        const char *name;
        std::vector<std::pair<std::size_t, USBD_STATUS>> packets;
        std::vector<ULONG> lengths;
        std::vector<USBD_STATUS> statuses;
        NTSTATUS status;
        ULONG errors;
    };
    const USBD_STATUS ok = USBD_STATUS_SUCCESS;
    const Case cases[] = {
        {"full, empty, full", {{940, ok}, {0, ok}, {940, ok}}, {940, 0, 940}, {ok, ok, ok}, STATUS_SUCCESS, 0},
        {"an error packet in the middle",
         {{940, ok}, {940, USBD_STATUS_CRC}, {940, ok}},
         {940, 940, 940},
         {ok, USBD_STATUS_CRC, ok},
         STATUS_SUCCESS,
         1},
        {"a short packet and a pending one",
         {{500, ok}, {940, USBD_STATUS_PENDING}, {10, ok}},
         {500, 940, 10},
         {ok, USBD_STATUS_PENDING, ok},
         STATUS_SUCCESS,
         0},
        {"a packet larger than its slot", {{1000, ok}, {940, ok}, {940, ok}}, {940, 940, 940},
         {USBD_STATUS_BUFFER_OVERRUN, ok, ok}, STATUS_SUCCESS, 1},
        {"every packet in error",
         {{0, USBD_STATUS_XACT_ERROR}, {0, USBD_STATUS_XACT_ERROR}, {0, USBD_STATUS_XACT_ERROR}},
         {0, 0, 0},
         {USBD_STATUS_XACT_ERROR, USBD_STATUS_XACT_ERROR, USBD_STATUS_XACT_ERROR},
         STATUS_DEVICE_DATA_ERROR,
         3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        IsochUrb urb(Pipe(2), 3, kIsoPacket);
        AsyncRequest a(pdo_);
        EXPECT_EQ(a.Send(urb.get()), STATUS_PENDING);
        std::vector<IsoPacket> packets;
        for (auto &[size, status] : c.packets) {
            IsoPacket p;
            p.data.assign(size, uint8_t(packets.size() + 1));
            p.status = status;
            packets.push_back(p);
        }
        // One frame at a time, as the device sends them.
        for (const IsoPacket &p : packets) {
            EXPECT_FALSE(a.Completed());
            EXPECT_EQ(port_->OfferIsochIn(kStreamPipe, &p, 1), 1u);
        }
        ASSERT_TRUE(a.Wait());
        EXPECT_EQ(a.status, c.status);
        ULONG total = 0;
        for (ULONG k = 0; k < 3; k++) {
            SCOPED_TRACE(k);
            EXPECT_EQ(urb->IsoPacket[k].Offset, k * kIsoPacket) << "the bus moved the caller's offsets";
            EXPECT_EQ(urb->IsoPacket[k].Length, c.lengths[k]);
            EXPECT_EQ(urb->IsoPacket[k].Status, c.statuses[k]);
            if (c.lengths[k] != 0) {
                EXPECT_EQ(urb.buffer[k * kIsoPacket + c.lengths[k] - 1], uint8_t(k + 1));
            }
            total += c.lengths[k];
        }
        EXPECT_EQ(urb->ErrorCount, c.errors);
        EXPECT_EQ(urb->TransferBufferLength, total);
    }
}

TEST_P(UsbBus, IsochronousTransferEndedEarlyMarksThePacketsNotReached)
{
    Configure();
    IsochUrb urb(Pipe(2), 4, kIsoPacket);
    AsyncRequest a(pdo_);
    a.Send(urb.get());
    IsoPacket p;
    p.data.assign(940, 7);
    port_->OfferIsochIn(kStreamPipe, &p, 1);
    ASSERT_TRUE(IoCancelIrp(a.irp()));
    ASSERT_TRUE(a.Wait());
    EXPECT_EQ(a.status, STATUS_CANCELLED);
    EXPECT_EQ(urb->IsoPacket[0].Length, 940u);
    EXPECT_EQ(urb->IsoPacket[0].Status, USBD_STATUS_SUCCESS);
    for (ULONG k = 1; k < 4; k++) {
        EXPECT_EQ(urb->IsoPacket[k].Length, 0u);
        EXPECT_EQ(urb->IsoPacket[k].Status, USBD_STATUS_ISO_NOT_ACCESSED_BY_HW);
    }
    EXPECT_EQ(urb->ErrorCount, 3u);
}

TEST_P(UsbBus, IsochronousRequestsTheStackRefuses)
{
    Configure();
    struct Case {
        const char *name;
        std::function<void(IsochUrb &)> spoil;
        USBD_STATUS usbd;
    };
    const Case cases[] = {
        {"no packets", [](IsochUrb &u) { u->NumberOfPackets = 0; }, USBD_STATUS_INVALID_PARAMETER},
        {"offsets out of order", [](IsochUrb &u) { u->IsoPacket[1].Offset = 0; }, USBD_STATUS_INVALID_PARAMETER},
        {"an offset past the buffer", [](IsochUrb &u) { u->IsoPacket[1].Offset = 5000; },
         USBD_STATUS_INVALID_PARAMETER},
        {"a start frame far from now",
         [](IsochUrb &u) {
             u->TransferFlags &= ~ULONG(USBD_START_ISO_TRANSFER_ASAP);
             u->StartFrame = ULONG(sim::time::Now() / 10000) + 5000;
         },
         USBD_STATUS_BAD_START_FRAME},
        {"on the bulk pipe", [this](IsochUrb &u) { u->PipeHandle = Pipe(1); }, USBD_STATUS_INVALID_PARAMETER},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        IsochUrb urb(Pipe(2), 2, kIsoPacket);
        c.spoil(urb);
        EXPECT_EQ(SubmitSync(pdo_, urb.get()), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(urb->Hdr.Status, c.usbd);
    }
    EXPECT_EQ(port_->PendingTransfers(kStreamPipe), 0u);
}

// ---------------------------------------------------------------------------
// Vendor requests

TEST_P(UsbBus, VendorRequestBecomesASetupPacketAndItsDataStage)
{
    device_.onControl = [](const SetupPacket &s, std::vector<uint8_t> &) {
        return s.bRequest == 0xA0 ? ControlAnswer::Ack : ControlAnswer::Stall;
    };
    uint8_t hold = 1;
    URB write = MakeVendor(0xA0, 0xE600, &hold, 1);
    EXPECT_EQ(SubmitSync(pdo_, &write), STATUS_SUCCESS);
    EXPECT_EQ(write.UrbHeader.Status, USBD_STATUS_SUCCESS);

    uint8_t record[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    URB stalled = MakeVendor(0xA3, 0x4000, record, 16);
    EXPECT_EQ(SubmitSync(pdo_, &stalled), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stalled.UrbHeader.Status, USBD_STATUS_STALL_PID);

    const auto setups = device_.Setups();
    ASSERT_EQ(setups.size(), 2u);
    EXPECT_EQ(setups[0].bmRequestType, 0x40);
    EXPECT_EQ(setups[0].bRequest, 0xA0);
    EXPECT_EQ(setups[0].wValue, 0xE600);
    EXPECT_EQ(setups[0].wIndex, 0);
    EXPECT_EQ(setups[0].wLength, 1);
    EXPECT_EQ(setups[1].bRequest, 0xA3);
    EXPECT_EQ(setups[1].wValue, 0x4000);
    EXPECT_EQ(setups[1].wLength, 16);
    const auto data = device_.SetupData();
    EXPECT_EQ(data[0], std::vector<uint8_t>{1});
    EXPECT_EQ(data[1], std::vector<uint8_t>(record, record + 16));
    EXPECT_EQ(port_->Counters().endpoints[0].errors, 1u);
}

TEST_P(UsbBus, VendorReadReturnsTheDeviceAnswer)
{
    device_.onControl = [](const SetupPacket &, std::vector<uint8_t> &data) {
        data = {9, 8, 7};
        return ControlAnswer::Ack;
    };
    uint8_t buffer[8] = {};
    URB shortOk = MakeVendor(0xB0, 0, buffer, 8, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    EXPECT_EQ(SubmitSync(pdo_, &shortOk), STATUS_SUCCESS);
    EXPECT_EQ(shortOk.UrbControlVendorClassRequest.TransferBufferLength, 3u);
    EXPECT_EQ(buffer[2], 7);
    EXPECT_EQ(device_.Setups()[0].bmRequestType, 0xC0);

    URB strict = MakeVendor(0xB0, 0, buffer, 8, USBD_TRANSFER_DIRECTION_IN);
    EXPECT_EQ(SubmitSync(pdo_, &strict), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(strict.UrbHeader.Status, USBD_STATUS_DATA_UNDERRUN);
}

// ---------------------------------------------------------------------------
// Cancel and unplug

TEST_P(UsbBus, CancelCompletesAPendingTransferAndLeavesDriverContextAlone)
{
    Configure();
    std::vector<uint8_t> buffer(64);
    URB urb = MakeBulk(Pipe(1), buffer.data(), 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    AsyncRequest a(pdo_);
    PVOID sentinels[4] = {&urb, reinterpret_cast<PVOID>(0x11), reinterpret_cast<PVOID>(0x22), &a};
    std::memcpy(a.irp()->Tail.Overlay.DriverContext, sentinels, sizeof sentinels);
    EXPECT_EQ(a.Send(&urb), STATUS_PENDING);
    EXPECT_FALSE(a.Wait(0.02));
    EXPECT_TRUE(IoCancelIrp(a.irp()));
    ASSERT_TRUE(a.Wait());
    EXPECT_EQ(a.calls, 1);
    EXPECT_EQ(a.status, STATUS_CANCELLED);
    EXPECT_TRUE(a.cancel);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    EXPECT_EQ(std::memcmp(a.irp()->Tail.Overlay.DriverContext, sentinels, sizeof sentinels), 0);
    EXPECT_EQ(port_->Counters().cancels, 1u);
    EXPECT_EQ(port_->PendingTransfers(kReplyPipe), 0u);
    EXPECT_EQ(port_->OfferIn(kReplyPipe, "late", 4), 0u) << "the cancelled transfer took data";
}

TEST_P(UsbBus, ATransferCancelledBeforeItArrivesIsCancelledOnArrival)
{
    Configure();
    std::vector<uint8_t> buffer(64);
    URB urb = MakeBulk(Pipe(1), buffer.data(), 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    AsyncRequest a(pdo_);
    EXPECT_FALSE(IoCancelIrp(a.irp()));  // nothing to call yet; Cancel is set
    a.Send(&urb);
    ASSERT_TRUE(a.Wait());
    EXPECT_EQ(a.status, STATUS_CANCELLED);
    EXPECT_EQ(port_->PendingTransfers(kReplyPipe), 0u);
}

TEST_P(UsbBus, UnplugCompletesPendingTransfersAndFailsLaterRequests)
{
    Configure();
    std::vector<uint8_t> buffer(64);
    URB read = MakeBulk(Pipe(1), buffer.data(), 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    IsochUrb stream(Pipe(2), 4, kIsoPacket);
    AsyncRequest a(pdo_), b(pdo_);
    a.Send(&read);
    b.Send(stream.get());
    port_->Leave();
    EXPECT_TRUE(port_->Gone());
    ASSERT_TRUE(a.Wait());
    ASSERT_TRUE(b.Wait());
    EXPECT_EQ(a.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(b.status, STATUS_DEVICE_NOT_CONNECTED);

    URB later = MakeBulk(Pipe(1), buffer.data(), 64, USBD_TRANSFER_DIRECTION_IN);
    EXPECT_EQ(SubmitSync(pdo_, &later), STATUS_DEVICE_NOT_CONNECTED);
    URB descriptor = MakeDescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, buffer.data(), 18);
    EXPECT_EQ(SubmitSync(pdo_, &descriptor), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(descriptor.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    uint8_t one = 0;
    URB vendor = MakeVendor(0xA0, 0x7F92, &one, 1);
    EXPECT_EQ(SubmitSync(pdo_, &vendor), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(device_.Setups().empty());
    EXPECT_EQ(port_->OfferIn(kReplyPipe, "x", 1), 0u);
}

// ---------------------------------------------------------------------------
// Where completions run

TEST_P(UsbBus, CompletionRunsWhereTheModeSays)
{
    Configure();
    const bool worker = GetParam() == CompletionMode::Worker;

    // Answered at once by the bus: a descriptor read.
    std::vector<uint8_t> buffer(64);
    URB descriptor = MakeDescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, buffer.data(), 18);
    NTSTATUS returned = 0;
    EXPECT_EQ(SubmitSync(pdo_, &descriptor, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, worker ? STATUS_PENDING : STATUS_SUCCESS);

    // Answered at once by the device, inside the dispatch routine.
    device_.onQueued = [](Port &port, uint8_t ep) {
        if (ep == kReplyPipe)
            port.OfferIn(ep, "now", 3);
    };
    URB atOnce = MakeBulk(Pipe(1), buffer.data(), 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    AsyncRequest a(pdo_);
    EXPECT_EQ(a.Send(&atOnce), worker ? STATUS_PENDING : STATUS_SUCCESS);
    ASSERT_TRUE(a.Wait());
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(a.thread != std::this_thread::get_id(), worker);
    EXPECT_EQ(a.irql, worker ? DISPATCH_LEVEL : PASSIVE_LEVEL);
    device_.onQueued = nullptr;

    // Answered later by the device from a thread of its own.
    URB later = MakeBulk(Pipe(1), buffer.data(), 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    AsyncRequest b(pdo_);
    EXPECT_EQ(b.Send(&later), STATUS_PENDING);
    std::thread::id deviceThread;
    std::thread t([&] {
        deviceThread = std::this_thread::get_id();
        port_->OfferIn(kReplyPipe, "later", 5);
    });
    t.join();
    ASSERT_TRUE(b.Wait());
    EXPECT_EQ(b.irql, DISPATCH_LEVEL);
    EXPECT_EQ(b.thread != deviceThread, worker);
}

TEST_P(UsbBus, DriversAttachAboveThePdo)
{
    nvtest::TestDevice upper;
    EXPECT_EQ(upper.AttachTo(pdo_), pdo_);
    EXPECT_EQ(pdo_->AttachedDevice, upper.get());
    EXPECT_EQ(pdo_->DriverObject, bus_->DriverObject());
    EXPECT_EQ(upper->StackSize, pdo_->StackSize + 1);
}

TEST(UsbBusLife, WorkerThreadsExistOnlyWhileABusDoes)
{
    EXPECT_EQ(Bus::LiveBuses(), 0u);
    EXPECT_EQ(Bus::WorkerThreads(), 0u);
    {
        Bus bus(BusOptions{CompletionMode::Worker, 2});
        EXPECT_EQ(Bus::LiveBuses(), 1u);
        EXPECT_EQ(Bus::WorkerThreads(), 2u);
    }
    EXPECT_EQ(Bus::WorkerThreads(), 0u);
}

TEST(UsbBusLife, RemoveDeletesThePdoAndTheNextDeviceGetsItsOwn)
{
    Bus bus;
    FakeDevice first, second;
    const std::size_t before = sim::io::LiveDeviceObjects();
    Port *a = bus.Plug(first);
    Port *b = bus.Plug(second);
    EXPECT_NE(a->PhysicalDeviceObject(), b->PhysicalDeviceObject());
    EXPECT_EQ(sim::io::LiveDeviceObjects(), before + 2);
    bus.Remove(a);
    EXPECT_EQ(sim::io::LiveDeviceObjects(), before + 1);
}

}  // namespace
