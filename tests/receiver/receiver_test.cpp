// The programmed receiver as a driver meets it through its PDO: its
// descriptors and pipe table, the command protocol's answers, the tuning
// and status model, stream control, and each fault knob.

#include "receiver_harness.h"

#include "test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <usbdlib.h>

#include <memory>
#include <stdexcept>

namespace rxtest {
namespace {

using Bytes = std::vector<uint8_t>;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// The same cases run twice: with the bus completing what it can inside
// IofCallDriver, and (NVTEST_RECEIVER_WORKERS) with every completion on
// two worker threads.
sim::usb::BusOptions TestBus()
{
    sim::usb::BusOptions bus;
#ifdef NVTEST_RECEIVER_WORKERS
    bus.completion = sim::usb::CompletionMode::Worker;
    bus.workerThreads = 2;
#endif
    return bus;
}

Bytes Cat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes BlockCommand(const std::array<uint8_t, kWriteBlockSize> &block)
{
    Bytes c = {CMD_WRITE_BLOCK};
    c.insert(c.end(), block.begin(), block.end());
    return c;
}

Tuning GoodTuning()
{
    Tuning t;
    t.frequencyKHz = 506000;
    t.bandwidthMHz = 8;
    t.mode = kMode8k;
    t.guard = kGuard1_4;
    t.modulation = kQam64;
    t.codeRateHp = kRate2_3;
    t.codeRateLp = kRate1_2;
    t.hierarchy = kHierarchyNone;
    t.inversion = kInversionAuto;
    return t;
}

// ---------------------------------------------------------------------------
// Descriptors and the pipe table

struct VariantCase {
    const char *name;
    StreamKind stream;
    UCHAR streamType;
    USHORT streamPacket;
};

class ReceiverVariant : public ::testing::TestWithParam<VariantCase> {};

TEST_P(ReceiverVariant, PresentsThePipeTableInOrderAndKeepsTheAskedTransferSize)
{
    const VariantCase &c = GetParam();
    Harness h(Options{c.stream, 0}, TestBus());

    Result dd = h.Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18);
    ASSERT_EQ(dd.status, STATUS_SUCCESS);
    ASSERT_EQ(dd.data.size(), 18u);
    EXPECT_EQ(dd.data[8] | dd.data[9] << 8, kVendorId);
    EXPECT_EQ(dd.data[10] | dd.data[11] << 8, kProgrammedProductId);
    EXPECT_EQ(dd.data[17], 1);  // one configuration

    std::vector<ULONG> requests;
    const Bytes cd = h.ReadConfiguration(&requests);
    EXPECT_THAT(requests, ElementsAre(521u));  // fits the first read
    ASSERT_EQ(cd.size(), kNaturalConfigurationLength);

    ASSERT_EQ(h.Configure(kTsFrameSize), STATUS_SUCCESS);
    const USBD_INTERFACE_INFORMATION &info = h.Interface();
    EXPECT_EQ(info.Class, 0xFF);
    ASSERT_EQ(info.NumberOfPipes, 3u);
    struct Expected {
        UCHAR address;
        USBD_PIPE_TYPE type;
        USHORT packet;
    } expected[] = {
        {kCommandEndpoint, UsbdPipeTypeBulk, kCommandPacketSize},
        {kReplyEndpoint, UsbdPipeTypeBulk, kReplyPacketSize},
        {kStreamEndpoint, USBD_PIPE_TYPE(c.streamType), c.streamPacket},
    };
    for (ULONG i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(h.Pipe(i).EndpointAddress, expected[i].address);
        EXPECT_EQ(h.Pipe(i).PipeType, expected[i].type);
        EXPECT_EQ(h.Pipe(i).MaximumPacketSize, expected[i].packet);
        EXPECT_EQ(h.Pipe(i).MaximumTransferSize, kTsFrameSize);
        EXPECT_NE(h.Pipe(i).PipeHandle, nullptr);
    }
    EXPECT_EQ(h.port->ConfigurationValue(), kConfigurationValue);
}

INSTANTIATE_TEST_SUITE_P(Streams, ReceiverVariant,
                         ::testing::Values(VariantCase{"Isochronous", StreamKind::Isochronous,
                                                       USB_ENDPOINT_TYPE_ISOCHRONOUS, kIsochPacketSize},
                                           VariantCase{"Bulk", StreamKind::Bulk, USB_ENDPOINT_TYPE_BULK,
                                                       kBulkStreamPacketSize}),
                         [](const ::testing::TestParamInfo<VariantCase> &i) { return std::string(i.param.name); });

TEST(ReceiverDescriptors, APaddedSetOf600BytesTakesTwoReadsAndStillConfigures)
{
    Harness h(Options{StreamKind::Isochronous, 600}, TestBus());

    Result first = h.Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 521);
    ASSERT_EQ(first.status, STATUS_SUCCESS);
    ASSERT_EQ(first.data.size(), 521u);
    EXPECT_EQ(first.data[2] | first.data[3] << 8, 600);

    std::vector<ULONG> requests;
    Bytes cd = h.ReadConfiguration(&requests);
    EXPECT_THAT(requests, ElementsAre(521u, 600u));
    ASSERT_EQ(cd.size(), 600u);
    // The padding walks as descriptors: the library finds the one
    // interface and nothing after it.
    auto *config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(cd.data());
    PUSB_INTERFACE_DESCRIPTOR id = USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
    ASSERT_NE(id, nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, reinterpret_cast<UCHAR *>(id) + id->bLength, -1, -1, -1,
                                                  -1, -1),
              nullptr);

    ASSERT_EQ(h.Configure(), STATUS_SUCCESS);
    ASSERT_EQ(h.Interface().NumberOfPipes, 3u);
    EXPECT_EQ(h.Pipe(0).EndpointAddress, kCommandEndpoint);
    EXPECT_EQ(h.Pipe(1).EndpointAddress, kReplyEndpoint);
    EXPECT_EQ(h.Pipe(2).EndpointAddress, kStreamEndpoint);
}

TEST(ReceiverDescriptors, RefusesAPaddingItCannotBuild)
{
    EXPECT_THROW(ProgrammedReceiver(Options{StreamKind::Bulk, kNaturalConfigurationLength + 1}),
                 std::invalid_argument);
    EXPECT_NO_THROW(ProgrammedReceiver(Options{StreamKind::Bulk, kNaturalConfigurationLength + 3}));
}

// ---------------------------------------------------------------------------
// The command protocol

class Receiver : public ::testing::Test {
protected:
    explicit Receiver(Options options = Options{}) : h(options, TestBus()) {}
    void SetUp() override { ASSERT_EQ(h.Configure(), STATUS_SUCCESS); }

    Bytes Answer(const Bytes &command, ULONG length)
    {
        Result r = h.Exchange(command, length);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        return r.data;
    }
    void Send(const Bytes &command) { EXPECT_EQ(h.Write(command).status, STATUS_SUCCESS); }

    Harness h;
};

TEST_F(Receiver, TargetWriteReadGoesOnTheWireAsTheProtocolSaysAndAnswersFromTheRegisterPointer)
{
    // Registers 8-12 of the tuner, then the write-read example: target
    // 0xC0, two data bytes (register 8, value 0x77), R = 4.
    Send({CMD_TARGET_WRITE, 0xC0, 0x08, 0x11, 0x22, 0x33, 0x44, 0x55});
    EXPECT_THAT(Answer({CMD_TARGET_WRITE_READ, 0xC1, 0x08, 0x77, 0x00, 0x04}, 4), ElementsAre(0x22, 0x33, 0x44, 0x55));
    EXPECT_THAT(h.rx.Commands().back(), ElementsAre(0x02, 0xC1, 0x08, 0x77, 0x00, 0x04));

    const auto regs = h.rx.Registers(kTunerAddress);
    EXPECT_THAT(Bytes(regs.begin() + 8, regs.begin() + 13), ElementsAre(0x77, 0x22, 0x33, 0x44, 0x55));

    // One data byte: index, then read. None: read on from the pointer.
    EXPECT_THAT(Answer({CMD_TARGET_WRITE_READ, 0xC1, 0x08, 0x00, 0x04}, 4), ElementsAre(0x77, 0x22, 0x33, 0x44));
    EXPECT_THAT(Answer({CMD_TARGET_WRITE_READ, 0xC1, 0x00, 0x02}, 2), ElementsAre(0x55, 0x00));
}

struct RegisterCase {
    const char *what;
    Bytes setup;  // a CMD_TARGET_WRITE sent first, or empty
    Bytes command;
    Bytes answer;
    uint64_t naks;
};

class ReceiverRegisters : public Receiver, public ::testing::WithParamInterface<RegisterCase> {};

TEST_P(ReceiverRegisters, Answers)
{
    const RegisterCase &c = GetParam();
    if (!c.setup.empty())
        Send(c.setup);
    EXPECT_THAT(Answer(c.command, ULONG(c.answer.size())), ElementsAreArray(c.answer));
    EXPECT_EQ(h.rx.Naks(), c.naks);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, ReceiverRegisters,
    ::testing::Values(
        RegisterCase{"DemodulatorChipId", {}, {CMD_TARGET_WRITE_READ, 0x31, demod::kChipId, 0x00, 0x01},
                     {kDemodulatorChipId}, 0},
        RegisterCase{"TunerId", {}, {CMD_TARGET_WRITE_READ, 0xC1, tuner::kId, 0x00, 0x01}, {kTunerId}, 0},
        RegisterCase{"ReadOnlyKeepsItsValue",
                     {CMD_TARGET_WRITE, 0x30, demod::kChipId, 0x99},
                     {CMD_TARGET_WRITE_READ, 0x31, demod::kChipId, 0x00, 0x01},
                     {kDemodulatorChipId},
                     0},
        RegisterCase{"WriteWithTheReadFlagWritesNothing",
                     {CMD_TARGET_WRITE, 0xC1, 0x08, 0x99},
                     {CMD_TARGET_WRITE_READ, 0xC1, 0x08, 0x00, 0x01},
                     {0x00},
                     0},
        RegisterCase{"PointerWrapsAtTheEndOfTheFile",
                     {CMD_TARGET_WRITE, 0xC0, 0xFF, 0xAB, 0xCD},
                     {CMD_TARGET_WRITE_READ, 0xC1, 0xFF, 0x00, 0x02},
                     {0xAB, 0xCD},
                     0},
        RegisterCase{"UnknownTargetReadsTheNakFill", {}, {CMD_TARGET_WRITE_READ, 0xA1, 0x00, 0x03},
                     {kNakFill, kNakFill, kNakFill}, 1},
        // The index write and the read are two transactions, both NAKed.
        RegisterCase{"UnknownTargetWithAnIndex", {}, {CMD_TARGET_WRITE_READ, 0xA1, 0x00, 0x00, 0x01}, {kNakFill}, 2},
        RegisterCase{"UnknownTargetWrite", {CMD_TARGET_WRITE, 0xA0, 0x00, 0x01},
                     {CMD_TARGET_WRITE_READ, 0x31, 0x00, 0x00, 0x01}, {kDemodulatorChipId}, 1}),
    [](const ::testing::TestParamInfo<RegisterCase> &i) { return std::string(i.param.what); });

TEST_F(Receiver, AnswersAsManyBytesAsAsked)
{
    // Four full 64-byte packets fill a 256-byte read exactly; the register
    // pointer wraps round the file.
    Send({CMD_TARGET_WRITE, 0xC0, 0x10, 0x5E});
    const Bytes a = Answer({CMD_TARGET_WRITE_READ, 0xC1, 0x00, 0x01, 0x00}, 256);
    ASSERT_EQ(a.size(), 256u);
    EXPECT_EQ(a[0x10], 0x5E);
    EXPECT_EQ(a[tuner::kId], kTunerId);
}

TEST_F(Receiver, IgnoresWhatIsNoCommandAndAnswersNothingForIt)
{
    const Bytes ignored[] = {
        {},                                    // an empty transfer
        {0x42, 0x01},                          // an unknown code
        {CMD_TARGET_WRITE_READ, 0xC1, 0x00},   // no room for R
        {CMD_STREAM_CONTROL},                  // no argument
        Cat({CMD_WRITE_BLOCK}, Bytes(10, 0)),  // a block too short
    };
    for (const Bytes &c : ignored)
        Send(c);
    EXPECT_EQ(h.rx.Commands().size(), std::size(ignored));
    EXPECT_EQ(h.rx.AnswersArmed(), 0u);
    EXPECT_FALSE(h.rx.StreamOn());
    // Nothing was armed, so the next reply read gets the next answer.
    EXPECT_THAT(Answer({CMD_READ_STATUS}, 5), ElementsAre(0, 0, 0, 0, 0));
}

TEST_F(Receiver, AnUnreadAnswerIsReplacedByTheNextOne)
{
    Send({CMD_READ_STATUS});
    EXPECT_THAT(Answer({CMD_TARGET_WRITE_READ, 0x31, demod::kChipId, 0x00, 0x01}, 5), ElementsAre(kDemodulatorChipId));
}

// ---------------------------------------------------------------------------
// Tuning and status

TEST_F(Receiver, StatusBlocksFollowAValidWriteBlock)
{
    EXPECT_THAT(Answer({CMD_READ_STATUS}, 5), ElementsAre(0, 0, 0, 0, 0));
    EXPECT_THAT(Answer({CMD_READ_SECOND_STATUS}, 5), ElementsAre(0, 0, 0, 0, 0));

    const Tuning t = GoodTuning();
    Send(BlockCommand(EncodeWriteBlock(t)));
    EXPECT_TRUE(h.rx.Locked());
    EXPECT_EQ(h.rx.CurrentTuning(), t);

    const uint8_t strength = uint8_t(230 - 506 / 8);
    EXPECT_THAT(Answer({CMD_READ_STATUS}, 5),
                ElementsAre(kStatusCarrier | kStatusLock | kStatusTunerLock, strength, 88, 0x00, 18));
    EXPECT_THAT(Answer({CMD_READ_SECOND_STATUS}, 5),
                ElementsAre(0x80 | kMode8k | kGuard1_4 << 2 | kHierarchyNone << 4,
                            kQam64 | kRate2_3 << 2 | kRate1_2 << 5, 8, 0, 0));
    // The firmware programmed the tuner: frequency MSB first, bandwidth,
    // PLL locked; the demodulator's status registers mirror the block.
    EXPECT_THAT(Answer({CMD_TARGET_WRITE_READ, 0xC1, tuner::kFrequency, 0x00, 0x07}, 7),
                ElementsAre(0x00, 0x07, 0xB8, 0x90, 8, 0, 1));
    EXPECT_THAT(Answer({CMD_TARGET_WRITE_READ, 0x31, demod::kStatus, 0x00, 0x05}, 5),
                ElementsAreArray(h.rx.StatusBlock()));

    // Streaming shows in the flags.
    Send({CMD_STREAM_CONTROL, kStreamStart});
    EXPECT_EQ(Answer({CMD_READ_STATUS}, 5)[0], kStatusCarrier | kStatusLock | kStatusTunerLock | kStatusStreaming);
}

struct BadBlockCase {
    const char *what;
    void (*spoil)(std::array<uint8_t, kWriteBlockSize> &b);
    uint8_t flags;  // byte 0 of the first status block
};

void Reseal(std::array<uint8_t, kWriteBlockSize> &b)
{
    uint8_t sum = 0;
    for (std::size_t i = 0; i < block::kChecksum; i++)
        sum = uint8_t(sum + b[i]);
    b[block::kChecksum] = uint8_t(-sum);
}

class ReceiverBadBlock : public Receiver, public ::testing::WithParamInterface<BadBlockCase> {};

TEST_P(ReceiverBadBlock, LosesTheLock)
{
    const BadBlockCase &c = GetParam();
    Send(BlockCommand(EncodeWriteBlock(GoodTuning())));
    ASSERT_TRUE(h.rx.Locked());

    auto b = EncodeWriteBlock(GoodTuning());
    c.spoil(b);
    Send(BlockCommand(b));
    EXPECT_FALSE(h.rx.Locked());
    const Bytes status = Answer({CMD_READ_STATUS}, 5);
    ASSERT_EQ(status.size(), 5u);
    EXPECT_EQ(status[0], c.flags);
    EXPECT_EQ(Answer({CMD_READ_SECOND_STATUS}, 5)[0] & 0x80, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, ReceiverBadBlock,
    ::testing::Values(
        BadBlockCase{"BadChecksum", [](auto &b) { b[block::kChecksum] ^= 1; }, 0},
        BadBlockCase{"UnknownKind", [](auto &b) { b[block::kKind] = 2, Reseal(b); }, 0},
        BadBlockCase{"BandwidthOutOfRange", [](auto &b) { b[block::kBandwidth] = 5, Reseal(b); }, 0},
        // The tuner locks on 300 MHz, but no DVB-T channel is there.
        BadBlockCase{"FrequencyOutsideTheBands",
                     [](auto &b) {
                         const uint32_t khz = 300000;
                         for (int i = 0; i < 4; i++)
                             b[block::kFrequency + i] = uint8_t(khz >> (24 - 8 * i));
                         Reseal(b);
                     },
                     kStatusTunerLock},
        // A carrier, but the demodulator cannot lock with these.
        BadBlockCase{"CodeRateOutOfRange", [](auto &b) { b[block::kCodeRateHp] = 5, Reseal(b); },
                     kStatusCarrier | kStatusTunerLock},
        BadBlockCase{"ModulationOutOfRange", [](auto &b) { b[block::kModulation] = 3, Reseal(b); },
                     kStatusCarrier | kStatusTunerLock}),
    [](const ::testing::TestParamInfo<BadBlockCase> &i) { return std::string(i.param.what); });

TEST_F(Receiver, TunesThroughTheTunersRegistersWithTheDemodulatorsParameters)
{
    // 8k, 1/8, 16-QAM, 3/4 into the demodulator; then frequency 177.5 MHz,
    // 7 MHz, apply.
    Send({CMD_TARGET_WRITE, 0x30, demod::kMode, kMode8k, kGuard1_8, kQam16, kRate3_4});
    EXPECT_FALSE(h.rx.Locked());
    Send({CMD_TARGET_WRITE, 0xC0, tuner::kFrequency, 0x00, 0x02, 0xB5, 0x5C, 7, 1});
    EXPECT_TRUE(h.rx.Locked());
    const Tuning t = h.rx.CurrentTuning();
    EXPECT_EQ(t.frequencyKHz, 177500u);
    EXPECT_EQ(t.bandwidthMHz, 7);
    EXPECT_EQ(t.guard, kGuard1_8);
    EXPECT_EQ(t.modulation, kQam16);
    EXPECT_EQ(h.rx.Registers(kTunerAddress)[tuner::kControl], 0);  // the apply bit reads 0

    // An out-of-range parameter in the demodulator, applied again: no lock.
    Send({CMD_TARGET_WRITE, 0x30, demod::kGuard, 9});
    Send({CMD_TARGET_WRITE, 0xC0, tuner::kControl, 1});
    EXPECT_FALSE(h.rx.Locked());
}

TEST_F(Receiver, RecoverResetsTheDemodulatorAndReacquiresTheTuning)
{
    Send(BlockCommand(EncodeWriteBlock(GoodTuning())));
    Send({CMD_TARGET_WRITE, 0x30, 0x30, 0xAB});  // a scratch register
    ASSERT_EQ(h.rx.Registers(kDemodulatorAddress)[0x30], 0xAB);

    Send({CMD_RECOVER});
    EXPECT_EQ(h.rx.Recovers(), 1u);
    const auto regs = h.rx.Registers(kDemodulatorAddress);
    EXPECT_EQ(regs[0x30], 0);
    EXPECT_EQ(regs[demod::kChipId], kDemodulatorChipId);
    EXPECT_EQ(regs[demod::kModulation], kQam64);  // the tuning, programmed again
    EXPECT_TRUE(h.rx.Locked());

    // The soft-reset bit does the same.
    Send({CMD_TARGET_WRITE, 0x30, demod::kControl, 0x01});
    EXPECT_EQ(h.rx.Recovers(), 2u);
    EXPECT_EQ(h.rx.Registers(kDemodulatorAddress)[demod::kControl], 0);
    EXPECT_TRUE(h.rx.Locked());
}

// ---------------------------------------------------------------------------
// Stream control

class ReceiverBulkStream : public Receiver {
protected:
    ReceiverBulkStream() : Receiver(Options{StreamKind::Bulk, 0}) {}
};

TEST_F(ReceiverBulkStream, DeliversOnlyWhileTheStreamIsOn)
{
    auto source = std::make_shared<CountingSource>();
    h.rx.SetStreamSource(source);

    AsyncTransfer early(h.pdo, h.Pipe(kStreamPipe).PipeHandle, kTsFrameSize, true);
    ASSERT_EQ(early.Send(), STATUS_PENDING);
    EXPECT_FALSE(early.Wait(0.05));  // the stream is off
    EXPECT_EQ(source->Given(), 0u);

    Send({CMD_STREAM_CONTROL, kStreamStart});
    EXPECT_TRUE(h.rx.StreamOn());
    ASSERT_TRUE(early.Wait());
    EXPECT_EQ(early.Status(), STATUS_SUCCESS);
    ASSERT_EQ(early.Moved(), kTsFrameSize);
    EXPECT_TRUE(IsCounting(early.buffer.data(), kTsFrameSize, 0));

    Result next = h.Read(kTsFrameSize, kStreamPipe);
    ASSERT_EQ(next.status, STATUS_SUCCESS);
    EXPECT_TRUE(IsCounting(next.data.data(), next.data.size(), kTsFrameSize));

    Send({CMD_STREAM_CONTROL, kStreamStop});
    EXPECT_FALSE(h.rx.StreamOn());
    AsyncTransfer late(h.pdo, h.Pipe(kStreamPipe).PipeHandle, kTsFrameSize, true);
    ASSERT_EQ(late.Send(), STATUS_PENDING);
    EXPECT_FALSE(late.Wait(0.05));
    late.Cancel();
    ASSERT_TRUE(late.Wait());
    EXPECT_EQ(late.Status(), STATUS_CANCELLED);
    EXPECT_EQ(h.rx.StreamBytesDelivered(), 2 * kTsFrameSize);
}

TEST_F(ReceiverBulkStream, WithNoSourceTheStreamDeliversNothing)
{
    Send({CMD_STREAM_CONTROL, kStreamStart});
    AsyncTransfer read(h.pdo, h.Pipe(kStreamPipe).PipeHandle, kTsFrameSize, true);
    ASSERT_EQ(read.Send(), STATUS_PENDING);
    EXPECT_FALSE(read.Wait(0.05));
    read.Cancel();
    ASSERT_TRUE(read.Wait());
    EXPECT_EQ(read.Status(), STATUS_CANCELLED);
}

TEST_F(ReceiverBulkStream, AStopDropsWhatTheFifoHeld)
{
    // A 4096-byte read takes 8 of the 47 packets the FIFO holds.
    auto source = std::make_shared<CountingSource>();
    h.rx.SetStreamSource(source);
    Send({CMD_STREAM_CONTROL, kStreamStart});
    ASSERT_EQ(h.Read(4096, kStreamPipe).data.size(), 4096u);
    Send({CMD_STREAM_CONTROL, kStreamStop});
    Send({CMD_STREAM_CONTROL, kStreamStart});
    Result r = h.Read(4096, kStreamPipe);
    ASSERT_EQ(r.data.size(), 4096u);
    EXPECT_TRUE(IsCounting(r.data.data(), r.data.size(), source->Given() - 47 * kBulkStreamPacketSize));
}

class ReceiverIsochStream : public Receiver {};

TEST_F(ReceiverIsochStream, FillsTheTwentyFivePacketsATransferOf24064BytesHolds)
{
    auto source = std::make_shared<CountingSource>();
    h.rx.SetStreamSource(source);
    Send({CMD_STREAM_CONTROL, kStreamStart});

    const ULONG packets = h.Pipe(kStreamPipe).MaximumTransferSize / h.Pipe(kStreamPipe).MaximumPacketSize;
    ASSERT_EQ(packets, 25u);
    AsyncTransfer read(h.pdo, h.Pipe(kStreamPipe).PipeHandle, packets, kIsochPacketSize, kTsFrameSize);
    read.Send();
    ASSERT_TRUE(read.Wait());
    EXPECT_EQ(read.Status(), STATUS_SUCCESS);
    EXPECT_EQ(read.Moved(), 25u * kIsochPacketSize);
    const auto &x = read.urb()->UrbIsochronousTransfer;
    EXPECT_EQ(x.ErrorCount, 0u);
    for (ULONG k = 0; k < packets; k++) {
        SCOPED_TRACE(k);
        EXPECT_EQ(x.IsoPacket[k].Status, USBD_STATUS_SUCCESS);
        EXPECT_EQ(x.IsoPacket[k].Length, kIsochPacketSize);
    }
    EXPECT_TRUE(IsCounting(read.buffer.data(), 25 * kIsochPacketSize, 0));

    // One packet more than 24064 bytes hold is more than the pipe's
    // maximum transfer size.
    AsyncTransfer tooLong(h.pdo, h.Pipe(kStreamPipe).PipeHandle, 26, kIsochPacketSize, 26 * kIsochPacketSize);
    tooLong.Send();
    ASSERT_TRUE(tooLong.Wait());
    EXPECT_EQ(tooLong.UsbdStatus(), USBD_STATUS_INVALID_PARAMETER);
}

// ---------------------------------------------------------------------------
// Fault knobs

struct StallCase {
    const char *what;
    ULONG pipe;
    uint8_t endpoint;
};

class ReceiverStall : public Receiver, public ::testing::WithParamInterface<StallCase> {};

TEST_P(ReceiverStall, FailsTransfersUntilThePipeIsReset)
{
    const StallCase &c = GetParam();
    if (c.pipe == kReplyPipe)
        Send({CMD_READ_STATUS});  // an answer waits behind the stall
    ASSERT_TRUE(h.rx.StallEndpoint(c.endpoint));

    auto transfer = [&] { return c.pipe == kReplyPipe ? h.Read(5) : h.Write({CMD_READ_STATUS}); };
    Result stalled = transfer();
    EXPECT_EQ(stalled.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stalled.usbd, USBD_STATUS_STALL_PID);
    Result halted = transfer();
    EXPECT_EQ(halted.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(halted.usbd, USBD_STATUS_ENDPOINT_HALTED);

    ASSERT_EQ(h.ResetPipe(c.pipe), STATUS_SUCCESS);
    Result after = transfer();
    EXPECT_EQ(after.status, STATUS_SUCCESS);
    if (c.pipe == kCommandPipe)
        after = h.Read(5);
    EXPECT_THAT(after.data, ElementsAre(0, 0, 0, 0, 0));
    EXPECT_EQ(h.rx.Commands().size(), 1u);  // the stalled writes never arrived
}

INSTANTIATE_TEST_SUITE_P(Endpoints, ReceiverStall,
                         ::testing::Values(StallCase{"Command", kCommandPipe, kCommandEndpoint},
                                           StallCase{"Reply", kReplyPipe, kReplyEndpoint}),
                         [](const ::testing::TestParamInfo<StallCase> &i) { return std::string(i.param.what); });

TEST_F(Receiver, TheIsochronousEndpointCannotStall)
{
    EXPECT_FALSE(h.rx.StallEndpoint(kStreamEndpoint));
}

TEST_F(Receiver, NeverAnswerTakesCommandsAndLeavesTheReplyReadPending)
{
    h.rx.SetNeverAnswer(true);
    Send({CMD_READ_STATUS});
    Send({CMD_STREAM_CONTROL, kStreamStart});
    EXPECT_EQ(h.rx.Commands().size(), 2u);
    EXPECT_TRUE(h.rx.StreamOn());  // carried out all the same

    AsyncTransfer read(h.pdo, h.Pipe(kReplyPipe).PipeHandle, 5, true);
    ASSERT_EQ(read.Send(), STATUS_PENDING);
    EXPECT_FALSE(read.Wait(0.05));
    read.Cancel();
    ASSERT_TRUE(read.Wait());
    EXPECT_EQ(read.Status(), STATUS_CANCELLED);
    EXPECT_EQ(read.Moved(), 0u);

    h.rx.SetNeverAnswer(false);
    EXPECT_EQ(Answer({CMD_READ_STATUS}, 5)[0], kStatusStreaming);
}

TEST_F(Receiver, ShortensOnlyTheNextAnswer)
{
    h.rx.ShortenNextAnswer(2);
    Result r = h.Exchange({CMD_TARGET_WRITE_READ, 0xC1, tuner::kId, 0x00, 0x04}, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_THAT(r.data, ElementsAre(kTunerId, 0x00));
    EXPECT_EQ(Answer({CMD_READ_STATUS}, 5).size(), 5u);

    h.rx.ShortenNextAnswer(0);  // a zero-length packet
    r = h.Exchange({CMD_READ_STATUS}, 5);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_TRUE(r.data.empty());
}

struct FailCase {
    const char *what;
    ULONG pipe;
    uint8_t endpoint;
    USBD_STATUS usbd;
    NTSTATUS nt;
    bool halts;
};

class ReceiverFail : public Receiver, public ::testing::WithParamInterface<FailCase> {};

TEST_P(ReceiverFail, FailsTheNextTransferAndLosesNothing)
{
    const FailCase &c = GetParam();
    if (c.pipe == kReplyPipe)
        Send({CMD_TARGET_WRITE_READ, 0x31, demod::kChipId, 0x00, 0x01});
    h.rx.FailTransfers(c.endpoint, c.usbd, 1);

    auto transfer = [&] {
        return c.pipe == kReplyPipe ? h.Read(1) : h.Write({CMD_TARGET_WRITE_READ, 0x31, demod::kChipId, 0x00, 0x01});
    };
    Result failed = transfer();
    EXPECT_EQ(failed.status, c.nt);
    EXPECT_EQ(failed.usbd, c.usbd);
    if (c.halts) {
        EXPECT_EQ(transfer().usbd, USBD_STATUS_ENDPOINT_HALTED);
        ASSERT_EQ(h.ResetPipe(c.pipe), STATUS_SUCCESS);
    }
    Result ok = transfer();
    ASSERT_EQ(ok.status, STATUS_SUCCESS);
    if (c.pipe == kCommandPipe)
        ok = h.Read(1);
    EXPECT_THAT(ok.data, ElementsAre(kDemodulatorChipId));
    EXPECT_EQ(h.rx.Commands().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, ReceiverFail,
    ::testing::Values(
        FailCase{"CommandCrc", kCommandPipe, kCommandEndpoint, USBD_STATUS_CRC, STATUS_DEVICE_DATA_ERROR, true},
        FailCase{"ReplyCrc", kReplyPipe, kReplyEndpoint, USBD_STATUS_CRC, STATUS_DEVICE_DATA_ERROR, true},
        FailCase{"ReplyNotResponding", kReplyPipe, kReplyEndpoint, USBD_STATUS_DEV_NOT_RESPONDING,
                 STATUS_DEVICE_DATA_ERROR, true},
        FailCase{"ReplyRequestFailed", kReplyPipe, kReplyEndpoint, USBD_STATUS_REQUEST_FAILED, STATUS_UNSUCCESSFUL,
                 false}),
    [](const ::testing::TestParamInfo<FailCase> &i) { return std::string(i.param.what); });

TEST_F(Receiver, FailsATransferAlreadyPendingFirst)
{
    AsyncTransfer read(h.pdo, h.Pipe(kReplyPipe).PipeHandle, 5, true);
    ASSERT_EQ(read.Send(), STATUS_PENDING);
    h.rx.FailTransfers(kReplyEndpoint, USBD_STATUS_REQUEST_FAILED, 1);
    ASSERT_TRUE(read.Wait());
    EXPECT_EQ(read.UsbdStatus(), USBD_STATUS_REQUEST_FAILED);
}

TEST_F(Receiver, LeavingTheBusEndsPendingTransfersAndRefusesNewOnes)
{
    h.rx.SetNeverAnswer(true);
    Send({CMD_READ_STATUS});
    AsyncTransfer read(h.pdo, h.Pipe(kReplyPipe).PipeHandle, 5, true);
    ASSERT_EQ(read.Send(), STATUS_PENDING);

    h.rx.LeaveBus();
    ASSERT_TRUE(read.Wait());
    EXPECT_EQ(read.Status(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(h.port->Gone());

    Result w = h.Write({CMD_READ_STATUS});
    EXPECT_EQ(w.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(w.usbd, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(h.Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18).status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(h.rx.Commands().size(), 1u);
}

TEST_F(Receiver, ANewConfigurationStopsTheStreamAndDropsAnUnreadAnswer)
{
    Send({CMD_STREAM_CONTROL, kStreamStart});
    Send({CMD_TARGET_WRITE_READ, 0x31, demod::kChipId, 0x00, 0x01});
    ASSERT_EQ(h.Configure(), STATUS_SUCCESS);
    EXPECT_FALSE(h.rx.StreamOn());
    EXPECT_THAT(Answer({CMD_READ_STATUS}, 5), ElementsAre(0, 0, 0, 0, 0));
}

TEST_F(Receiver, UnplugForgetsThePortAndAPlugEnumeratesAfresh)
{
    h.rx.Unplug();
    EXPECT_EQ(h.rx.port(), nullptr);
    EXPECT_FALSE(h.rx.StallEndpoint(kCommandEndpoint));
    h.rx.LeaveBus();  // nothing to leave

    sim::usb::Port *again = h.rx.Plug(h.bus);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(h.rx.port(), again);
    EXPECT_EQ(again->ConfigurationValue(), 0);
    h.port = again;
    h.pdo = again->PhysicalDeviceObject();
    ASSERT_EQ(h.Configure(), STATUS_SUCCESS);
    EXPECT_THAT(Answer({CMD_TARGET_WRITE_READ, 0x31, demod::kChipId, 0x00, 0x01}, 1), ElementsAre(kDemodulatorChipId));
}

// ---------------------------------------------------------------------------
// Control requests

TEST_F(Receiver, StallsVendorRequestsItsFirmwareDoesNotDefine)
{
    uint8_t data[4] = {};
    URB urb{};
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, 0xA3, 0, 0, data, NULL,
                          sizeof data, NULL);
    EXPECT_EQ(SubmitSync(h.pdo, &urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
}

TEST(ReceiverDeathTest, TheCoresFirmwareLoadRequestIsNotImplementedOnTheProgrammedReceiver)
{
    EXPECT_DEATH(
        {
            Harness h(Options{}, TestBus());
            uint8_t data[1] = {1};
            URB urb{};
            UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE,
                                  sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0, 0xA0, 0xE600, 0, data,
                                  NULL, sizeof data, NULL);
            SubmitSync(h.pdo, &urb);
        },
        nvtest::VerifierFault("UNSUPPORTED_BY_STAND_IN"));
}

}  // namespace
}  // namespace rxtest
