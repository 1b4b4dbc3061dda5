// A programmed receiver on a bus of its own, and a test "driver" that talks
// to its PDO the way the capture driver does: URBs built by hand, sent with
// IOCTL_INTERNAL_USB_SUBMIT_URB, synchronously (IoBuildDeviceIoControlRequest
// and an event) or asynchronously (an IRP of its own with a completion
// routine that keeps it).
#pragma once

#include "sim_receiver.h"
#include "sim_usb.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace rxtest {

using namespace sim::receiver;

// Sends urb to pdo and waits for it, at most `seconds` (nominal): a request
// that does not come back in time fails the test and is cancelled.
NTSTATUS SubmitSync(PDEVICE_OBJECT pdo, PURB urb, double seconds = 5);

// One bulk or isochronous transfer in an IRP of the test's own. The
// destructor waits for a sent transfer to complete and frees the IRP.
class AsyncTransfer {
public:
    // Bulk: length bytes, IN with USBD_SHORT_TRANSFER_OK, or OUT.
    AsyncTransfer(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, ULONG length, bool in);
    // Isochronous IN: packets slots of packetSize bytes, ASAP.
    AsyncTransfer(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, ULONG packets, ULONG packetSize, ULONG bufferLength);
    ~AsyncTransfer();
    AsyncTransfer(const AsyncTransfer &) = delete;
    AsyncTransfer &operator=(const AsyncTransfer &) = delete;

    NTSTATUS Send();  // what IofCallDriver returned
    // true when the completion routine ran within `seconds` (nominal).
    bool Wait(double seconds = 5);
    bool Completed();
    void Cancel();

    NTSTATUS Status() const { return irp_->IoStatus.Status; }
    USBD_STATUS UsbdStatus() const { return urb()->UrbHeader.Status; }
    ULONG Moved() const;
    PURB urb() const { return reinterpret_cast<PURB>(const_cast<uint64_t *>(storage_.data())); }

    std::vector<uint8_t> buffer;

private:
    static NTSTATUS NTAPI Completion(PDEVICE_OBJECT device, PIRP irp, PVOID context);
    PDEVICE_OBJECT pdo_;
    PIRP irp_ = nullptr;
    bool sent_ = false;
    KEVENT done_;
    std::vector<uint64_t> storage_;  // the URB, aligned
};

struct Result {
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    std::vector<uint8_t> data;  // what moved
};

// Pipe indices of the interface, in the order the firmware presents them.
constexpr ULONG kCommandPipe = 0;
constexpr ULONG kReplyPipe = 1;
constexpr ULONG kStreamPipe = 2;
// The capture driver's transfer size of the XP build.
constexpr ULONG kTsFrameSize = 24064;

// Members are declared so that the bus (and with it the port) ends before
// the receiver.
class Harness {
public:
    explicit Harness(Options options = Options{}, sim::usb::BusOptions bus = sim::usb::BusOptions{});

    // One GET_DESCRIPTOR_FROM_DEVICE of `length` bytes.
    Result Descriptor(UCHAR type, ULONG length);
    // The capture driver's read: 521 bytes first, again with wTotalLength
    // while that is larger; *requests gets each request's size.
    std::vector<uint8_t> ReadConfiguration(std::vector<ULONG> *requests = nullptr);
    // Reads the configuration and selects it with
    // USBD_CreateConfigurationRequest, every MaximumTransferSize set to
    // maxTransfer.
    NTSTATUS Configure(ULONG maxTransfer = kTsFrameSize);
    const USBD_INTERFACE_INFORMATION &Interface() const;
    const USBD_PIPE_INFORMATION &Pipe(ULONG index) const;

    Result Write(const std::vector<uint8_t> &bytes, ULONG pipe = kCommandPipe);
    // Only where an answer (or an error) is due: a read nothing answers
    // fails the test after `seconds`.
    Result Read(ULONG length, ULONG pipe = kReplyPipe, double seconds = 5);
    Result Exchange(const std::vector<uint8_t> &command, ULONG answerLength);
    NTSTATUS ResetPipe(ULONG index);

    ProgrammedReceiver rx;
    sim::usb::Bus bus;
    sim::usb::Port *port = nullptr;
    PDEVICE_OBJECT pdo = nullptr;

private:
    std::vector<uint8_t> configuration_;
    std::vector<uint8_t> interface_;
};

// Byte i of the stream pattern: the offset's bytes folded, so that no
// power-of-two stretch of the stream looks like another.
inline uint8_t CountingByte(std::size_t i)
{
    return uint8_t(i ^ (i >> 8) ^ (i >> 16) ^ (i >> 24));
}

// A stream source of the pattern CountingByte. At most `limit` bytes in
// all.
class CountingSource : public StreamSource {
public:
    explicit CountingSource(std::size_t limit = SIZE_MAX) : limit_(limit) {}
    std::size_t Read(uint8_t *buffer, std::size_t length) override;
    std::size_t Given() const { return given_; }

private:
    std::size_t limit_;
    std::atomic<std::size_t> given_{0};
};

// True when data continues the counting pattern from `start`.
bool IsCounting(const uint8_t *data, std::size_t length, std::size_t start);

}  // namespace rxtest
