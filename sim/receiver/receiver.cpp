// The programmed receiver's endpoints: commands taken from the command
// endpoint, answers armed on the reply endpoint, the stream endpoint fed
// from the StreamSource, and the fault knobs in front of them.
//
// One event at a time. Every callback and knob runs Pump, but only one
// thread pumps at once: a thread that finds the pump busy leaves a note
// (again_) and returns, and the pumping thread goes round once more. So
// commands are carried out in the order they arrived even when the bus
// completes a transfer inline and its completion routine sends the next
// one from inside a Port call, and no lock of ours is held across a Port
// call (the bus may call us back from inside it). The pumping thread alone
// touches backlog_; others ask for a flush through flushStream_.

#include "firmware.h"

#include "sim_kernel.h"

namespace sim::receiver {

using sim::usb::ControlAnswer;
using sim::usb::Port;
using sim::usb::SetupPacket;

namespace {

// What the bulk stream endpoint asks the source for at a time: one
// transfer's worth of 512-byte packets, 128 transport-stream packets.
constexpr std::size_t kBulkStreamChunk = 47 * kBulkStreamPacketSize;

// The EZ-USB core's firmware-load request; the core, not the firmware,
// answers it.
constexpr uint8_t kCoreFirmwareLoad = 0xA0;

}  // namespace

ProgrammedReceiver::ProgrammedReceiver(Options options)
    : options_(options), configuration_(BuildConfigurationDescriptor(options)), firmware_(std::make_unique<Firmware>())
{
}

ProgrammedReceiver::~ProgrammedReceiver() = default;

Port *ProgrammedReceiver::Plug(sim::usb::Bus &bus, NTSTATUS *status)
{
    Port *p = bus.Plug(*this, status);
    if (p != nullptr) {
        std::lock_guard<std::mutex> g(lock_);
        port_ = p;
        bus_ = &bus;
    }
    return p;
}

void ProgrammedReceiver::Unplug()
{
    sim::usb::Bus *bus;
    Port *p;
    {
        std::lock_guard<std::mutex> g(lock_);
        bus = bus_;
        p = port_;
        bus_ = nullptr;
        port_ = nullptr;
    }
    if (p != nullptr)
        bus->Remove(p);
}

Port *ProgrammedReceiver::port() const
{
    std::lock_guard<std::mutex> g(lock_);
    return port_;
}

std::vector<uint8_t> ProgrammedReceiver::DeviceDescriptor()
{
    return BuildDeviceDescriptor();
}

std::vector<uint8_t> ProgrammedReceiver::ConfigurationDescriptor()
{
    return configuration_;
}

ControlAnswer ProgrammedReceiver::Control(Port &port, const SetupPacket &setup, std::vector<uint8_t> &data)
{
    (void)port;
    (void)data;
    const bool vendor = ((setup.bmRequestType >> 5) & 3) == BMREQUEST_VENDOR;
    if (vendor && setup.bRequest == kCoreFirmwareLoad)
        sim::VerifierFault("UNSUPPORTED_BY_STAND_IN",
                           "vendor request 0xA0 to the programmed receiver: its core's memory access is not "
                           "implemented");
    return ControlAnswer::Stall;  // the firmware defines no control requests
}

void ProgrammedReceiver::TransferQueued(Port &port, uint8_t endpointAddress)
{
    (void)endpointAddress;
    Pump(port);
}

void ProgrammedReceiver::ConfigurationSelected(Port &port, uint8_t configurationValue)
{
    (void)configurationValue;
    {
        std::lock_guard<std::mutex> g(lock_);
        firmware_->Reconfigure();
        answer_.clear();
        answerArmed_ = false;
        answerGeneration_++;
        flushStream_ = true;
    }
    Pump(port);
}

void ProgrammedReceiver::EndpointReset(Port &port, uint8_t endpointAddress)
{
    if (endpointAddress == kStreamEndpoint) {
        std::lock_guard<std::mutex> g(lock_);
        flushStream_ = true;  // clearing the halt resets the stream FIFO
    }
    Pump(port);
}

void ProgrammedReceiver::Pump(Port &port)
{
    {
        std::lock_guard<std::mutex> g(lock_);
        if (pumping_) {
            again_ = true;
            return;
        }
        pumping_ = true;
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> g(lock_);
            again_ = false;
        }
        ServeCommands(port);
        ServeReply(port);
        ServeStream(port);
        std::lock_guard<std::mutex> g(lock_);
        if (!again_) {
            pumping_ = false;
            return;
        }
    }
}

bool ProgrammedReceiver::Armed(uint8_t endpointAddress) const
{
    std::lock_guard<std::mutex> g(lock_);
    auto it = failures_.find(endpointAddress);
    return it != failures_.end() && it->second.count != 0;
}

bool ProgrammedReceiver::FailOne(Port &port, uint8_t endpointAddress)
{
    USBD_STATUS status;
    {
        std::lock_guard<std::mutex> g(lock_);
        auto it = failures_.find(endpointAddress);
        if (it == failures_.end() || it->second.count == 0)
            return false;
        status = it->second.status;
    }
    if (!port.FailTransfer(endpointAddress, status))
        return false;
    std::lock_guard<std::mutex> g(lock_);
    Failure &f = failures_[endpointAddress];
    if (f.count != 0)
        f.count--;
    return true;
}

void ProgrammedReceiver::ServeCommands(Port &port)
{
    for (;;) {
        if (Armed(kCommandEndpoint)) {
            if (!FailOne(port, kCommandEndpoint))
                return;
            continue;
        }
        std::vector<uint8_t> command;
        if (!port.TakeOut(kCommandEndpoint, &command))
            return;
        std::lock_guard<std::mutex> g(lock_);
        commands_.push_back(command);
        CommandResult r = firmware_->Execute(command);
        if (r.answer && !neverAnswer_) {
            if (shortenNext_) {
                if (r.answer->size() > shortenTo_)
                    r.answer->resize(shortenTo_);
                shortenNext_ = false;
            }
            answer_ = std::move(*r.answer);
            answerArmed_ = true;
            answerGeneration_++;
            answersArmed_++;
        }
        if (r.stream != CommandResult::Stream::Unchanged)
            flushStream_ = true;  // a start begins, a stop or flush ends, with an empty FIFO
    }
}

void ProgrammedReceiver::ServeReply(Port &port)
{
    for (;;) {
        if (Armed(kReplyEndpoint)) {
            if (!FailOne(port, kReplyEndpoint))
                return;
            continue;
        }
        std::vector<uint8_t> answer;
        uint64_t generation;
        {
            std::lock_guard<std::mutex> g(lock_);
            if (!answerArmed_)
                return;
            answer = answer_;
            generation = answerGeneration_;
        }
        // OfferIn cannot say whether a zero-length packet was taken; a
        // pending read is what takes it.
        if (port.PendingTransfers(kReplyEndpoint) == 0)
            return;
        const std::size_t taken = port.OfferIn(kReplyEndpoint, answer.data(), answer.size());
        if (taken == 0 && !answer.empty())
            return;  // the pipe is halted, or the read went away
        std::lock_guard<std::mutex> g(lock_);
        if (generation != answerGeneration_)
            continue;  // replaced meanwhile: offer the new one
        if (taken >= answer_.size()) {
            answer_.clear();
            answerArmed_ = false;
        } else {
            // A read that ended with its buffer full at a packet boundary:
            // the rest goes to the next read.
            answer_.erase(answer_.begin(), answer_.begin() + std::ptrdiff_t(taken));
        }
        answerGeneration_++;
    }
}

void ProgrammedReceiver::ServeStream(Port &port)
{
    for (;;) {
        if (Armed(kStreamEndpoint)) {
            if (!FailOne(port, kStreamEndpoint))
                return;
            continue;
        }
        std::shared_ptr<StreamSource> source;
        {
            std::lock_guard<std::mutex> g(lock_);
            if (flushStream_) {
                backlog_.clear();
                flushStream_ = false;
            }
            if (!firmware_->streamOn || source_ == nullptr)
                return;
            source = source_;
        }
        if (port.PendingTransfers(kStreamEndpoint) == 0)
            return;
        const bool isoch = options_.stream == StreamKind::Isochronous;
        if (backlog_.empty()) {
            backlog_.resize(isoch ? kIsochPacketSize : kBulkStreamChunk);
            backlog_.resize(source->Read(backlog_.data(), backlog_.size()));
            if (backlog_.empty())
                return;  // the source has nothing now
        }
        std::size_t taken;
        if (isoch) {
            sim::usb::IsoPacket packet;
            packet.data = backlog_;
            taken = port.OfferIsochIn(kStreamEndpoint, &packet, 1) != 0 ? backlog_.size() : 0;
        } else {
            taken = port.OfferIn(kStreamEndpoint, backlog_.data(), backlog_.size());
        }
        if (taken == 0)
            return;
        backlog_.erase(backlog_.begin(), backlog_.begin() + std::ptrdiff_t(taken));
        std::lock_guard<std::mutex> g(lock_);
        streamBytes_ += taken;
    }
}

void ProgrammedReceiver::SetStreamSource(std::shared_ptr<StreamSource> source)
{
    Port *p;
    {
        std::lock_guard<std::mutex> g(lock_);
        source_ = std::move(source);
        flushStream_ = true;
        p = port_;
    }
    if (p != nullptr)
        Pump(*p);
}

bool ProgrammedReceiver::StallEndpoint(uint8_t endpointAddress)
{
    Port *p = port();
    return p != nullptr && p->Stall(endpointAddress);
}

void ProgrammedReceiver::SetNeverAnswer(bool on)
{
    std::lock_guard<std::mutex> g(lock_);
    neverAnswer_ = on;
}

void ProgrammedReceiver::ShortenNextAnswer(std::size_t k)
{
    std::lock_guard<std::mutex> g(lock_);
    shortenNext_ = true;
    shortenTo_ = k;
}

void ProgrammedReceiver::FailTransfers(uint8_t endpointAddress, USBD_STATUS status, unsigned count)
{
    Port *p;
    {
        std::lock_guard<std::mutex> g(lock_);
        failures_[endpointAddress] = Failure{status, count};
        p = port_;
    }
    if (p != nullptr)
        Pump(*p);  // the transfers pending now come first
}

void ProgrammedReceiver::LeaveBus()
{
    if (Port *p = port())
        p->Leave();
}

std::vector<std::vector<uint8_t>> ProgrammedReceiver::Commands() const
{
    std::lock_guard<std::mutex> g(lock_);
    return commands_;
}

std::array<uint8_t, 256> ProgrammedReceiver::Registers(uint8_t address7) const
{
    std::lock_guard<std::mutex> g(lock_);
    const Target *t = firmware_->Find(address7);
    return t != nullptr ? t->registers : std::array<uint8_t, 256>{};
}

Tuning ProgrammedReceiver::CurrentTuning() const
{
    std::lock_guard<std::mutex> g(lock_);
    return firmware_->tuning;
}

bool ProgrammedReceiver::Tuned() const
{
    std::lock_guard<std::mutex> g(lock_);
    return firmware_->tuned;
}

bool ProgrammedReceiver::Locked() const
{
    std::lock_guard<std::mutex> g(lock_);
    return firmware_->locked;
}

bool ProgrammedReceiver::StreamOn() const
{
    std::lock_guard<std::mutex> g(lock_);
    return firmware_->streamOn;
}

std::array<uint8_t, kStatusBlockSize> ProgrammedReceiver::StatusBlock() const
{
    std::lock_guard<std::mutex> g(lock_);
    return firmware_->Status();
}

std::array<uint8_t, kStatusBlockSize> ProgrammedReceiver::SecondStatusBlock() const
{
    std::lock_guard<std::mutex> g(lock_);
    return firmware_->SecondStatus();
}

uint64_t ProgrammedReceiver::Naks() const
{
    std::lock_guard<std::mutex> g(lock_);
    return firmware_->naks;
}

uint64_t ProgrammedReceiver::Recovers() const
{
    std::lock_guard<std::mutex> g(lock_);
    return firmware_->recovers;
}

uint64_t ProgrammedReceiver::AnswersArmed() const
{
    std::lock_guard<std::mutex> g(lock_);
    return answersArmed_;
}

uint64_t ProgrammedReceiver::StreamBytesDelivered() const
{
    std::lock_guard<std::mutex> g(lock_);
    return streamBytes_;
}

}  // namespace sim::receiver
