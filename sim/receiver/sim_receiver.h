// The programmed receiver: the simulated DVB-T receiver as it enumerates
// once its main firmware runs. It is a sim::usb::Device: tests and the
// machine plug it into a sim::usb::Bus, and drivers reach it only through
// URBs sent to its PDO.
//
// USB face. Vendor kVendorId, product kProgrammedProductId (both invented;
// the un-programmed receiver has product kUnprogrammedProductId), no string
// descriptors, one configuration (value 1) with one vendor-class interface
// whose endpoints come in this order:
//
//   index 0  0x01  command  OUT bulk, 64-byte packets
//   index 1  0x81  reply    IN  bulk, 64-byte packets
//   index 2  0x82  stream   IN  isochronous, 940-byte packets (five
//                           transport-stream packets a frame), or bulk,
//                           512-byte packets (Options::stream)
//
// The configuration descriptor set is 39 bytes; Options::configurationLength
// pads it (with vendor descriptors after the endpoints) to a longer
// wTotalLength, such as 600, which a 521-byte first read cannot hold.
//
// The firmware. Every transfer on the command endpoint is one command; the
// first byte is its code:
//
//   2 CMD_TARGET_WRITE_READ  2, target, N data bytes, R (16 bits, MSB first)
//                            -> R bytes
//   3 CMD_TARGET_WRITE       3, target, N data bytes           -> no answer
//   4 CMD_READ_STATUS        4                                 -> 5 bytes
//   5 CMD_STREAM_CONTROL     5, argument                       -> no answer
//   6 CMD_RECOVER            6                                 -> no answer
//   7 CMD_WRITE_BLOCK        7, 33 tuning bytes (WriteBlock)   -> no answer
//   8 CMD_READ_SECOND_STATUS 8                                 -> 5 bytes
//
// Anything else (an unknown code, a command shorter than its code needs, an
// empty transfer) is ignored and answers nothing; bytes beyond what a
// fixed-size command needs are ignored. An answer is armed on the reply
// endpoint when its command has arrived and goes to the next reply read; an
// answer that was not read when the next answering command arrives is
// replaced (the firmware has one reply buffer). A reply read shorter than
// the answer takes what fits (the bus ends it with a buffer overrun); a
// longer one than the answer ends at the answer's short packet, and one
// whose length is a multiple of 64 bytes gets no zero-length packet after
// it: the host reads exactly the answer size the protocol gives.
//
// Targets sit on the firmware's I2C-like bus. The target byte carries the
// 7-bit address in bits 7-1 and the direction in bit 0 (1 = read):
//
//   kDemodulatorAddress 0x18 (target bytes 0x30 / 0x31)
//   kTunerAddress       0x60 (target bytes 0xC0 / 0xC1)
//
// Each is a 256-byte register file with a register pointer. A write
// transaction's first data byte sets the pointer, the others are written
// from there on, the pointer advancing (and wrapping) with each; read-only
// registers keep their value. A read transaction returns registers from the
// pointer on, advancing it. CMD_TARGET_WRITE_READ writes its N data bytes
// (when N > 0) with the direction bit clear, then reads R bytes: N = 1 is
// the usual "register index, then read". CMD_TARGET_WRITE with bit 0 set is
// a read transaction with nowhere to send the bytes: nothing is written.
// An address nobody acknowledges is a NAK: the write does nothing and a
// read answers R bytes of kNakFill (an idle bus reads all ones); Naks()
// counts them.
//
// Tuning. Lock needs a tuning whose every field is valid (IsValidTuning):
// frequency in band III (174-230 MHz) or bands IV/V (470-862 MHz),
// bandwidth 6, 7 or 8 MHz, and each transmission parameter in its range.
// A tuning comes either from CMD_WRITE_BLOCK (see WriteBlock) or from the
// tuner's registers: writing bit 0 of tuner::kControl applies the frequency
// and bandwidth registers with the demodulator's transmission-parameter
// registers (demod::kMode...). The tuner's PLL locks on a frequency in its
// range with a valid bandwidth, a carrier is seen on a valid channel, and
// the demodulator locks when every parameter is valid. CMD_RECOVER (and
// bit 0 of demod::kControl) resets the demodulator's register file to its
// power-on values and re-acquires the last tuning given, so a valid
// tuning locks again.
//
// Status blocks (both 5 bytes; the demodulator's registers demod::kStatus...
// mirror the first):
//
//   CMD_READ_STATUS         0 flags: kStatusCarrier, kStatusLock,
//                             kStatusTunerLock, kStatusStreaming; bits 4-7
//                             are always 0 (bit 7 is the host driver's own
//                             read-error mark)
//                           1 signal strength (0 with no carrier)
//                           2 signal-to-noise ratio, 0.25 dB units
//                           3-4 bit errors per million bits, MSB first
//                             (0xFFFF with a carrier but no lock)
//   CMD_READ_SECOND_STATUS  0 bit 7 transmission parameters valid (locked);
//                             bits 0-1 mode, 2-3 guard interval,
//                             4-5 hierarchy
//                           1 bits 0-1 modulation, 2-4 high-priority code
//                             rate, 5-7 low-priority code rate
//                           2 bandwidth in MHz (0 with no carrier)
//                           3-4 uncorrectable packets since the last lock,
//                             MSB first (0 while the signal model is clean)
//
// An untuned receiver answers 00 00 00 00 00 to both while the stream is
// off.
//
// Stream control: argument 1 starts the transport stream, 0 stops it, 2
// flushes what the stream FIFO holds undelivered; others are ignored.
// While on, the stream endpoint delivers what the StreamSource gives, as
// fast as the host asks; with no source it delivers nothing. Transfers the
// stream endpoint does not serve stay pending, isochronous ones too: there
// is no frame clock yet that would complete them with empty packets. A new
// configuration stops the stream and drops an unread answer; a reset of
// the stream pipe flushes the FIFO.
//
// Threads. Every public member is thread-safe and may be called at up to
// DISPATCH_LEVEL while the bus runs. Device callbacks may arrive on any
// thread; the firmware handles one event at a time and never holds its own
// lock while it calls into the Port.
#pragma once

#include "sim_usb.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace sim::receiver {

constexpr uint16_t kVendorId = 0x4E56;
constexpr uint16_t kUnprogrammedProductId = 0x5400;
constexpr uint16_t kProgrammedProductId = 0x5401;
// bcdDevice: the main firmware's version, 1.00.
constexpr uint16_t kFirmwareVersion = 0x0100;

constexpr uint8_t kConfigurationValue = 1;
constexpr uint8_t kCommandEndpoint = 0x01;
constexpr uint8_t kReplyEndpoint = 0x81;
constexpr uint8_t kStreamEndpoint = 0x82;
constexpr uint16_t kCommandPacketSize = 64;
constexpr uint16_t kReplyPacketSize = 64;
constexpr uint16_t kIsochPacketSize = 940;
constexpr uint16_t kBulkStreamPacketSize = 512;
// The descriptor set without padding: configuration, interface, three
// endpoints.
constexpr uint16_t kNaturalConfigurationLength = 9 + 9 + 3 * 7;

enum : uint8_t {
    CMD_TARGET_WRITE_READ = 2,
    CMD_TARGET_WRITE = 3,
    CMD_READ_STATUS = 4,
    CMD_STREAM_CONTROL = 5,
    CMD_RECOVER = 6,
    CMD_WRITE_BLOCK = 7,
    CMD_READ_SECOND_STATUS = 8,
};

constexpr uint8_t kStreamStop = 0;
constexpr uint8_t kStreamStart = 1;
constexpr uint8_t kStreamFlush = 2;

constexpr std::size_t kStatusBlockSize = 5;
constexpr std::size_t kWriteBlockSize = 33;

constexpr uint8_t kDemodulatorAddress = 0x18;
constexpr uint8_t kTunerAddress = 0x60;
constexpr uint8_t kNakFill = 0xFF;

// Demodulator registers. Power-on: kChipId 0x5A, every other register 0
// except kStatus... which follow the signal.
namespace demod {
constexpr uint8_t kChipId = 0x00;      // read-only, kDemodulatorChipId
constexpr uint8_t kControl = 0x01;     // bit 0: soft reset (as CMD_RECOVER); reads 0
constexpr uint8_t kMode = 0x10;        // transmission parameters used by a
constexpr uint8_t kGuard = 0x11;       // tuning applied through the tuner's
constexpr uint8_t kModulation = 0x12;  // registers; a write block sets them
constexpr uint8_t kCodeRateHp = 0x13;
constexpr uint8_t kCodeRateLp = 0x14;
constexpr uint8_t kHierarchy = 0x15;
constexpr uint8_t kInversion = 0x16;
constexpr uint8_t kStatus = 0x20;  // read-only, 0x20-0x24: the first status block
}  // namespace demod
constexpr uint8_t kDemodulatorChipId = 0x5A;

// Tuner registers. Power-on: all 0 except kId.
namespace tuner {
constexpr uint8_t kFrequency = 0x00;  // 0x00-0x03: frequency in kHz, MSB first
constexpr uint8_t kBandwidth = 0x04;  // MHz
constexpr uint8_t kControl = 0x05;    // bit 0: apply (tune); reads 0
constexpr uint8_t kStatus = 0x06;     // read-only, bit 0: PLL locked
constexpr uint8_t kId = 0x07;         // read-only, kTunerId
}  // namespace tuner
constexpr uint8_t kTunerId = 0x3C;

// First status block, byte 0.
constexpr uint8_t kStatusCarrier = 0x01;
constexpr uint8_t kStatusLock = 0x02;
constexpr uint8_t kStatusTunerLock = 0x04;
constexpr uint8_t kStatusStreaming = 0x08;

// Transmission parameters, as the write block and the demodulator's
// registers code them.
enum : uint8_t { kMode2k = 0, kMode8k = 1 };
enum : uint8_t { kGuard1_32 = 0, kGuard1_16 = 1, kGuard1_8 = 2, kGuard1_4 = 3 };
enum : uint8_t { kQpsk = 0, kQam16 = 1, kQam64 = 2 };
enum : uint8_t { kRate1_2 = 0, kRate2_3 = 1, kRate3_4 = 2, kRate5_6 = 3, kRate7_8 = 4 };
enum : uint8_t { kHierarchyNone = 0, kHierarchyAlpha1 = 1, kHierarchyAlpha2 = 2, kHierarchyAlpha4 = 3 };
enum : uint8_t { kInversionOff = 0, kInversionOn = 1, kInversionAuto = 2 };

struct Tuning {
    uint32_t frequencyKHz = 0;
    uint8_t bandwidthMHz = 0;
    uint8_t mode = kMode8k;
    uint8_t guard = kGuard1_4;
    uint8_t modulation = kQam64;
    uint8_t codeRateHp = kRate2_3;
    uint8_t codeRateLp = kRate2_3;
    uint8_t hierarchy = kHierarchyNone;
    uint8_t inversion = kInversionAuto;
};
bool operator==(const Tuning &a, const Tuning &b);
inline bool operator!=(const Tuning &a, const Tuning &b)
{
    return !(a == b);
}

// Frequency and bandwidth in range: what the tuner's PLL and a carrier need.
bool IsValidChannel(const Tuning &t);
// Every field in range: what lock needs.
bool IsValidTuning(const Tuning &t);

// CMD_WRITE_BLOCK's 33 argument bytes (offsets from the first argument
// byte, i.e. one less than in the command):
//
//   0      kind: kWriteBlockTune (any other kind is rejected)
//   1-4    frequency in kHz, MSB first
//   5      bandwidth, MHz
//   6      mode            7  guard interval     8  modulation
//   9      code rate HP   10  code rate LP      11  hierarchy
//   12     spectral inversion
//   13-31  reserved, 0
//   32     checksum: the 8-bit sum of bytes 0-32 is 0
//
// A rejected block (wrong kind or checksum) leaves the receiver untuned:
// no carrier, no lock. Any other block programs the tuner's and the
// demodulator's registers as given and tunes: the PLL locks for a
// frequency in the tuner's range (45-870 MHz) with a valid bandwidth, a
// carrier is seen on a valid channel, and lock needs every field valid.
namespace block {
constexpr std::size_t kKind = 0;
constexpr std::size_t kFrequency = 1;
constexpr std::size_t kBandwidth = 5;
constexpr std::size_t kMode = 6;
constexpr std::size_t kGuard = 7;
constexpr std::size_t kModulation = 8;
constexpr std::size_t kCodeRateHp = 9;
constexpr std::size_t kCodeRateLp = 10;
constexpr std::size_t kHierarchy = 11;
constexpr std::size_t kInversion = 12;
constexpr std::size_t kChecksum = 32;
}  // namespace block
constexpr uint8_t kWriteBlockTune = 0x01;

// The 33 bytes for t, checksum included.
std::array<uint8_t, kWriteBlockSize> EncodeWriteBlock(const Tuning &t);

// Where the stream endpoint's bytes come from while the stream is on. Read
// fills up to length bytes and returns how many it gave; 0 means nothing
// now. It is called only from the firmware's one running event, never with
// a receiver lock held, so it may take its own locks. The built-in
// transport-stream generator and file sources are not part of this header.
class StreamSource {
public:
    virtual ~StreamSource() = default;
    virtual std::size_t Read(uint8_t *buffer, std::size_t length) = 0;
};

enum class StreamKind { Isochronous, Bulk };

struct Options {
    StreamKind stream = StreamKind::Isochronous;
    // wTotalLength of the configuration descriptor set: 0 for the natural
    // kNaturalConfigurationLength; else at least that plus 3, padded with
    // vendor descriptors.
    uint16_t configurationLength = 0;
};

class ProgrammedReceiver : public sim::usb::Device {
public:
    // Throws std::invalid_argument for a configurationLength it cannot pad
    // to.
    explicit ProgrammedReceiver(Options options = Options{});
    ~ProgrammedReceiver() override;
    ProgrammedReceiver(const ProgrammedReceiver &) = delete;
    ProgrammedReceiver &operator=(const ProgrammedReceiver &) = delete;

    // Plugs into bus and remembers the port: the knobs that act on the bus
    // (StallEndpoint, LeaveBus, and the pass over pending transfers of
    // FailTransfers and SetStreamSource) go through it. The receiver must
    // outlive the port. Unplug removes it (Bus::Remove) and forgets it; a
    // port the bus removed otherwise (Bus::Remove, the bus's end) must not
    // meet those knobs again.
    sim::usb::Port *Plug(sim::usb::Bus &bus, NTSTATUS *status = nullptr);
    void Unplug();
    sim::usb::Port *port() const;

    // sim::usb::Device
    std::vector<uint8_t> DeviceDescriptor() override;
    std::vector<uint8_t> ConfigurationDescriptor() override;
    sim::usb::ControlAnswer Control(sim::usb::Port &port, const sim::usb::SetupPacket &setup,
                                    std::vector<uint8_t> &data) override;
    void TransferQueued(sim::usb::Port &port, uint8_t endpointAddress) override;
    void ConfigurationSelected(sim::usb::Port &port, uint8_t configurationValue) override;
    void EndpointReset(sim::usb::Port &port, uint8_t endpointAddress) override;

    // NULL: the stream endpoint delivers nothing.
    void SetStreamSource(std::shared_ptr<StreamSource> source);

    // Fault knobs; each may be used at any time.
    //
    // The device stalls the endpoint (bulk only): the pending or next
    // transfer fails with a stall and the pipe stays halted until a reset.
    // false when the endpoint is not there (no configuration, isochronous).
    bool StallEndpoint(uint8_t endpointAddress);
    // Commands are still taken and carried out, but no answer is armed.
    void SetNeverAnswer(bool on);
    // The next answer is cut to k bytes (0: a zero-length packet).
    void ShortenNextAnswer(std::size_t k);
    // The next `count` transfers of the endpoint (those pending now first)
    // end with status instead of being served; a command or answer they
    // would have carried is not lost: the command never arrived, the answer
    // stays armed. Host controller transaction errors halt the pipe.
    void FailTransfers(uint8_t endpointAddress, USBD_STATUS status, unsigned count = 1);
    // The device drops off the bus now (Port::Leave).
    void LeaveBus();

    // Inspection.
    std::vector<std::vector<uint8_t>> Commands() const;  // every transfer received, in order
    std::array<uint8_t, 256> Registers(uint8_t address7) const;  // zeros for an unknown address
    Tuning CurrentTuning() const;  // the last tuning given (zeros before any)
    bool Tuned() const;            // a tuning was given and not rejected
    bool Locked() const;
    bool StreamOn() const;
    std::array<uint8_t, kStatusBlockSize> StatusBlock() const;
    std::array<uint8_t, kStatusBlockSize> SecondStatusBlock() const;
    uint64_t Naks() const;
    uint64_t Recovers() const;
    uint64_t AnswersArmed() const;
    uint64_t StreamBytesDelivered() const;

    struct Firmware;

private:
    void Pump(sim::usb::Port &port);
    bool Armed(uint8_t endpointAddress) const;
    bool FailOne(sim::usb::Port &port, uint8_t endpointAddress);
    void ServeCommands(sim::usb::Port &port);
    void ServeReply(sim::usb::Port &port);
    void ServeStream(sim::usb::Port &port);

    const Options options_;
    const std::vector<uint8_t> configuration_;

    mutable std::mutex lock_;
    sim::usb::Bus *bus_ = nullptr;
    sim::usb::Port *port_ = nullptr;
    std::unique_ptr<Firmware> firmware_;
    std::vector<std::vector<uint8_t>> commands_;
    std::vector<uint8_t> answer_;  // armed, not yet read
    bool answerArmed_ = false;
    uint64_t answerGeneration_ = 0;  // changes whenever answer_ does
    uint64_t answersArmed_ = 0;
    bool neverAnswer_ = false;
    bool shortenNext_ = false;
    std::size_t shortenTo_ = 0;
    struct Failure {
        USBD_STATUS status = USBD_STATUS_SUCCESS;
        unsigned count = 0;
    };
    std::map<uint8_t, Failure> failures_;
    std::shared_ptr<StreamSource> source_;
    // Stream bytes taken from the source, not yet delivered: the pumping
    // thread's alone; others set flushStream_.
    std::vector<uint8_t> backlog_;
    bool flushStream_ = false;
    uint64_t streamBytes_ = 0;
    bool pumping_ = false;
    bool again_ = false;
};

}  // namespace sim::receiver
