// The programmed receiver's firmware: command parser, the demodulator and
// the tuner on its I2C-like bus, and the tuning and signal model behind
// the status blocks. The signal model is clean and deterministic: every
// valid channel carries a strong signal whose strength falls slowly with
// frequency.

#include "firmware.h"

#include <algorithm>

namespace sim::receiver {

namespace {

// The tuner's synthesizer range; a DVB-T carrier is found only in the
// broadcast bands inside it.
constexpr uint32_t kTunerLowKHz = 45000;
constexpr uint32_t kTunerHighKHz = 870000;

bool ValidBandwidth(uint8_t mhz)
{
    return mhz >= 6 && mhz <= 8;
}

bool TunerLocks(const Tuning &t)
{
    return t.frequencyKHz >= kTunerLowKHz && t.frequencyKHz <= kTunerHighKHz && ValidBandwidth(t.bandwidthMHz);
}

uint32_t ReadBe32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

void WriteBe32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

}  // namespace

bool operator==(const Tuning &a, const Tuning &b)
{
    return a.frequencyKHz == b.frequencyKHz && a.bandwidthMHz == b.bandwidthMHz && a.mode == b.mode &&
           a.guard == b.guard && a.modulation == b.modulation && a.codeRateHp == b.codeRateHp &&
           a.codeRateLp == b.codeRateLp && a.hierarchy == b.hierarchy && a.inversion == b.inversion;
}

bool IsValidChannel(const Tuning &t)
{
    const bool bandIII = t.frequencyKHz >= 174000 && t.frequencyKHz <= 230000;
    const bool bandsIVV = t.frequencyKHz >= 470000 && t.frequencyKHz <= 862000;
    return (bandIII || bandsIVV) && ValidBandwidth(t.bandwidthMHz);
}

bool IsValidTuning(const Tuning &t)
{
    return IsValidChannel(t) && t.mode <= kMode8k && t.guard <= kGuard1_4 && t.modulation <= kQam64 &&
           t.codeRateHp <= kRate7_8 && t.codeRateLp <= kRate7_8 && t.hierarchy <= kHierarchyAlpha4 &&
           t.inversion <= kInversionAuto;
}

std::array<uint8_t, kWriteBlockSize> EncodeWriteBlock(const Tuning &t)
{
    std::array<uint8_t, kWriteBlockSize> b{};
    b[block::kKind] = kWriteBlockTune;
    WriteBe32(&b[block::kFrequency], t.frequencyKHz);
    b[block::kBandwidth] = t.bandwidthMHz;
    b[block::kMode] = t.mode;
    b[block::kGuard] = t.guard;
    b[block::kModulation] = t.modulation;
    b[block::kCodeRateHp] = t.codeRateHp;
    b[block::kCodeRateLp] = t.codeRateLp;
    b[block::kHierarchy] = t.hierarchy;
    b[block::kInversion] = t.inversion;
    uint8_t sum = 0;
    for (std::size_t i = 0; i < block::kChecksum; i++)
        sum = uint8_t(sum + b[i]);
    b[block::kChecksum] = uint8_t(-sum);
    return b;
}

ProgrammedReceiver::Firmware::Firmware()
{
    demodulator.address = kDemodulatorAddress;
    demodulator.readOnly[demod::kChipId] = true;
    for (uint8_t r = 0; r < kStatusBlockSize; r++)
        demodulator.readOnly[demod::kStatus + r] = true;
    tuner.address = kTunerAddress;
    tuner.readOnly[tuner::kStatus] = true;
    tuner.readOnly[tuner::kId] = true;
    tuner.registers[tuner::kId] = kTunerId;
    ResetDemodulator();
    recovers = 0;  // power-on is no recovery
}

Target *ProgrammedReceiver::Firmware::Find(uint8_t address7)
{
    if (address7 == demodulator.address)
        return &demodulator;
    if (address7 == tuner.address)
        return &tuner;
    return nullptr;
}

const Target *ProgrammedReceiver::Firmware::Find(uint8_t address7) const
{
    return const_cast<Firmware *>(this)->Find(address7);
}

CommandResult ProgrammedReceiver::Firmware::Execute(const std::vector<uint8_t> &c)
{
    CommandResult result;
    const std::size_t size = c.size();
    if (size == 0)
        return result;
    switch (c[0]) {
    case CMD_TARGET_WRITE_READ: {
        if (size < 4)
            break;  // no room for the target and R
        const std::size_t n = size - 4;
        const std::size_t r = std::size_t(c[size - 2]) << 8 | c[size - 1];
        if (n != 0)
            TargetWrite(uint8_t(c[1] & 0xFE), &c[2], n);
        result.answer = TargetRead(uint8_t(c[1] | 1), r);
        break;
    }
    case CMD_TARGET_WRITE:
        if (size < 2)
            break;
        TargetWrite(c[1], size > 2 ? &c[2] : nullptr, size - 2);
        break;
    case CMD_READ_STATUS: {
        const auto s = Status();
        result.answer.emplace(s.begin(), s.end());
        break;
    }
    case CMD_READ_SECOND_STATUS: {
        const auto s = SecondStatus();
        result.answer.emplace(s.begin(), s.end());
        break;
    }
    case CMD_STREAM_CONTROL:
        if (size < 2)
            break;
        if (c[1] == kStreamStart) {
            streamOn = true;
            result.stream = CommandResult::Stream::Started;
        } else if (c[1] == kStreamStop) {
            streamOn = false;
            result.stream = CommandResult::Stream::Stopped;
        } else if (c[1] == kStreamFlush) {
            result.stream = CommandResult::Stream::Flushed;
        }
        break;
    case CMD_RECOVER:
        ResetDemodulator();
        break;
    case CMD_WRITE_BLOCK:
        if (size < 1 + kWriteBlockSize)
            break;
        WriteBlock(&c[1]);
        break;
    default:
        break;  // not a command of this firmware
    }
    RefreshStatusRegisters();
    return result;
}

void ProgrammedReceiver::Firmware::TargetWrite(uint8_t targetByte, const uint8_t *data, std::size_t n)
{
    Target *t = Find(uint8_t(targetByte >> 1));
    if (t == nullptr) {
        naks++;
        return;
    }
    if ((targetByte & 1) != 0 || n == 0)
        return;  // a read with nowhere to go, or an address probe
    t->pointer = data[0];
    for (std::size_t i = 1; i < n; i++) {
        const uint8_t index = t->pointer++;
        if (!t->readOnly[index])
            t->registers[index] = data[i];
        RegisterWritten(*t, index);
    }
}

std::vector<uint8_t> ProgrammedReceiver::Firmware::TargetRead(uint8_t targetByte, std::size_t r)
{
    Target *t = Find(uint8_t(targetByte >> 1));
    if (t == nullptr) {
        naks++;
        return std::vector<uint8_t>(r, kNakFill);
    }
    RefreshStatusRegisters();
    std::vector<uint8_t> answer(r);
    for (std::size_t i = 0; i < r; i++)
        answer[i] = t->registers[t->pointer++];
    return answer;
}

void ProgrammedReceiver::Firmware::RegisterWritten(Target &t, uint8_t index)
{
    if (&t == &tuner && index == tuner::kControl && (t.registers[index] & 1) != 0) {
        t.registers[index] = 0;
        ApplyTunerRegisters();
    } else if (&t == &demodulator && index == demod::kControl && (t.registers[index] & 1) != 0) {
        ResetDemodulator();
    }
}

void ProgrammedReceiver::Firmware::ResetDemodulator()
{
    // The register pointer belongs to the bus interface and survives.
    demodulator.registers.fill(0);
    demodulator.registers[demod::kChipId] = kDemodulatorChipId;
    recovers++;
    if (tuned) {
        demodulator.registers[demod::kMode] = tuning.mode;
        demodulator.registers[demod::kGuard] = tuning.guard;
        demodulator.registers[demod::kModulation] = tuning.modulation;
        demodulator.registers[demod::kCodeRateHp] = tuning.codeRateHp;
        demodulator.registers[demod::kCodeRateLp] = tuning.codeRateLp;
        demodulator.registers[demod::kHierarchy] = tuning.hierarchy;
        demodulator.registers[demod::kInversion] = tuning.inversion;
    }
    Acquire();
}

void ProgrammedReceiver::Firmware::ApplyTunerRegisters()
{
    const auto &tr = tuner.registers;
    const auto &dr = demodulator.registers;
    tuning.frequencyKHz = ReadBe32(&tr[tuner::kFrequency]);
    tuning.bandwidthMHz = tr[tuner::kBandwidth];
    tuning.mode = dr[demod::kMode];
    tuning.guard = dr[demod::kGuard];
    tuning.modulation = dr[demod::kModulation];
    tuning.codeRateHp = dr[demod::kCodeRateHp];
    tuning.codeRateLp = dr[demod::kCodeRateLp];
    tuning.hierarchy = dr[demod::kHierarchy];
    tuning.inversion = dr[demod::kInversion];
    tuned = true;
    Acquire();
}

void ProgrammedReceiver::Firmware::WriteBlock(const uint8_t *b)
{
    uint8_t sum = 0;
    for (std::size_t i = 0; i < kWriteBlockSize; i++)
        sum = uint8_t(sum + b[i]);
    if (b[block::kKind] != kWriteBlockTune || sum != 0) {
        tuned = false;  // the firmware drops the old tuning before it checks
        Acquire();
        return;
    }
    // The firmware programs both chips with the block as given; whether
    // they find a signal is theirs to say.
    WriteBe32(&tuner.registers[tuner::kFrequency], ReadBe32(&b[block::kFrequency]));
    tuner.registers[tuner::kBandwidth] = b[block::kBandwidth];
    demodulator.registers[demod::kMode] = b[block::kMode];
    demodulator.registers[demod::kGuard] = b[block::kGuard];
    demodulator.registers[demod::kModulation] = b[block::kModulation];
    demodulator.registers[demod::kCodeRateHp] = b[block::kCodeRateHp];
    demodulator.registers[demod::kCodeRateLp] = b[block::kCodeRateLp];
    demodulator.registers[demod::kHierarchy] = b[block::kHierarchy];
    demodulator.registers[demod::kInversion] = b[block::kInversion];
    ApplyTunerRegisters();
}

void ProgrammedReceiver::Firmware::Acquire()
{
    const bool pll = tuned && TunerLocks(tuning);
    carrier = pll && IsValidChannel(tuning);
    locked = carrier && IsValidTuning(tuning);
    tuner.registers[tuner::kStatus] = pll ? 1 : 0;
    RefreshStatusRegisters();
}

std::array<uint8_t, kStatusBlockSize> ProgrammedReceiver::Firmware::Status() const
{
    std::array<uint8_t, kStatusBlockSize> s{};
    const bool pll = (tuner.registers[tuner::kStatus] & 1) != 0;
    s[0] = uint8_t((carrier ? kStatusCarrier : 0) | (locked ? kStatusLock : 0) | (pll ? kStatusTunerLock : 0) |
                   (streamOn ? kStatusStreaming : 0));
    if (carrier) {
        s[1] = uint8_t(230 - tuning.frequencyKHz / 1000 / 8);
        s[2] = locked ? 88 : 16;  // 22 dB locked; 4 dB of noise-like carrier otherwise
        const uint16_t ber = locked ? 18 : 0xFFFF;
        s[3] = uint8_t(ber >> 8);
        s[4] = uint8_t(ber);
    }
    return s;
}

std::array<uint8_t, kStatusBlockSize> ProgrammedReceiver::Firmware::SecondStatus() const
{
    std::array<uint8_t, kStatusBlockSize> s{};
    if (locked) {
        s[0] = uint8_t(0x80 | tuning.mode | tuning.guard << 2 | tuning.hierarchy << 4);
        s[1] = uint8_t(tuning.modulation | tuning.codeRateHp << 2 | tuning.codeRateLp << 5);
    }
    if (carrier)
        s[2] = tuning.bandwidthMHz;
    return s;  // bytes 3-4: no uncorrectable packets in the clean model
}

void ProgrammedReceiver::Firmware::RefreshStatusRegisters()
{
    const auto s = Status();
    std::copy(s.begin(), s.end(), demodulator.registers.begin() + demod::kStatus);
}

}  // namespace sim::receiver
