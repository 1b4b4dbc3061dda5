// Shared by the programmed receiver's own files. The firmware without its
// USB endpoints (the command parser, the two targets on its I2C-like bus
// and the tuning model) is not thread-safe: ProgrammedReceiver calls it
// under its lock.
#pragma once

#include "sim_receiver.h"

#include <optional>

namespace sim::receiver {

// descriptors.cpp
std::vector<uint8_t> BuildDeviceDescriptor();
std::vector<uint8_t> BuildConfigurationDescriptor(const Options &options);

// One register file on the bus.
struct Target {
    uint8_t address = 0;  // 7-bit
    std::array<uint8_t, 256> registers{};
    std::array<bool, 256> readOnly{};
    uint8_t pointer = 0;
};

// What one command did, for the endpoint side to carry out.
struct CommandResult {
    std::optional<std::vector<uint8_t>> answer;
    enum class Stream { Unchanged, Started, Stopped, Flushed } stream = Stream::Unchanged;
};

struct ProgrammedReceiver::Firmware {
    Firmware();

    CommandResult Execute(const std::vector<uint8_t> &command);

    // A new configuration: the endpoints start over, the stream stops.
    void Reconfigure() { streamOn = false; }

    std::array<uint8_t, kStatusBlockSize> Status() const;
    std::array<uint8_t, kStatusBlockSize> SecondStatus() const;
    Target *Find(uint8_t address7);
    const Target *Find(uint8_t address7) const;

    Target demodulator;
    Target tuner;
    Tuning tuning;        // the last tuning given
    bool tuned = false;   // a tuning was given and accepted
    bool carrier = false;
    bool locked = false;
    bool streamOn = false;
    uint64_t naks = 0;
    uint64_t recovers = 0;

private:
    void TargetWrite(uint8_t targetByte, const uint8_t *data, std::size_t n);
    std::vector<uint8_t> TargetRead(uint8_t targetByte, std::size_t r);
    void RegisterWritten(Target &t, uint8_t index);
    void ResetDemodulator();
    void ApplyTunerRegisters();
    void WriteBlock(const uint8_t *bytes);
    // Tunes to t (accepted: it passed the block's own checks) or untunes.
    void Acquire();
    void RefreshStatusRegisters();
};

}  // namespace sim::receiver
