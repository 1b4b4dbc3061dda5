// What the USB bus tests share: descriptor builders, a small scriptable
// device, and a test "driver" that sends URBs to a PDO the two ways drivers
// do (IoBuildDeviceIoControlRequest with an event; IoAllocateIrp with a
// completion routine).
#pragma once

#include "sim_usb.h"

#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace usbtest {

using sim::usb::ControlAnswer;
using sim::usb::Port;
using sim::usb::SetupPacket;

struct EndpointSpec {
    uint8_t address;
    uint8_t type;  // USB_ENDPOINT_TYPE_*
    uint16_t maxPacket;
    uint8_t interval;
};

std::vector<uint8_t> DeviceDescriptorBytes(uint16_t vendor = 0x1D50, uint16_t product = 0x6201);

// A configuration (value 1) with one interface (number 0, alternate 0,
// class FF/01/02) holding the endpoints in the order given; padded with a
// vendor-specific descriptor to totalLength when that is larger.
std::vector<uint8_t> ConfigurationBytes(const std::vector<EndpointSpec> &endpoints, std::size_t totalLength = 0);

// The receiver's layout: command OUT bulk, reply IN bulk, stream IN
// isochronous of 940-byte packets.
constexpr uint8_t kCommandPipe = 0x01;
constexpr uint8_t kReplyPipe = 0x81;
constexpr uint8_t kStreamPipe = 0x82;
constexpr uint16_t kBulkPacket = 64;
constexpr uint16_t kIsoPacket = 940;
std::vector<EndpointSpec> ReceiverEndpoints();

class FakeDevice : public sim::usb::Device {
public:
    FakeDevice();

    std::vector<uint8_t> DeviceDescriptor() override;
    std::vector<uint8_t> ConfigurationDescriptor() override;
    ControlAnswer Control(Port &port, const SetupPacket &setup, std::vector<uint8_t> &data) override;
    void TransferQueued(Port &port, uint8_t endpointAddress) override;
    void ConfigurationSelected(Port &port, uint8_t value) override;
    void EndpointReset(Port &port, uint8_t endpointAddress) override;

    // Set before requests run.
    std::vector<uint8_t> device;
    std::vector<uint8_t> configuration;
    std::function<ControlAnswer(const SetupPacket &, std::vector<uint8_t> &)> onControl;
    std::function<void(Port &, uint8_t)> onQueued;

    // What the device heard.
    std::vector<SetupPacket> Setups();
    std::vector<std::vector<uint8_t>> SetupData();
    std::vector<uint8_t> Configurations();
    std::vector<uint8_t> Resets();

private:
    std::mutex lock_;
    std::vector<SetupPacket> setups_;
    std::vector<std::vector<uint8_t>> setupData_;
    std::vector<uint8_t> configurations_;
    std::vector<uint8_t> resets_;
};

// The synchronous pattern: IoBuildDeviceIoControlRequest, IofCallDriver,
// wait on the event when pending. *returned gets what IofCallDriver
// returned.
NTSTATUS SubmitSync(PDEVICE_OBJECT pdo, PURB urb, NTSTATUS *returned = nullptr);

// The asynchronous pattern: an IRP of its own with a completion routine
// that keeps it (STATUS_MORE_PROCESSING_REQUIRED). Free with the destructor
// after the completion ran.
class AsyncRequest {
public:
    explicit AsyncRequest(PDEVICE_OBJECT pdo);
    ~AsyncRequest();
    AsyncRequest(const AsyncRequest &) = delete;
    AsyncRequest &operator=(const AsyncRequest &) = delete;

    PIRP irp() const { return irp_; }
    // Sends urb; returns what IofCallDriver returned.
    NTSTATUS Send(PURB urb);
    // Waits for the completion routine; false if it did not run within
    // the time limit (nominal seconds).
    bool Wait(double seconds = 5);
    bool Completed() const;

    // As the completion routine saw them.
    NTSTATUS status = 0;
    KIRQL irql = 0;
    BOOLEAN cancel = FALSE;
    std::thread::id thread;
    int calls = 0;

private:
    static NTSTATUS NTAPI Completion(PDEVICE_OBJECT device, PIRP irp, PVOID context);
    PDEVICE_OBJECT pdo_;
    PIRP irp_ = nullptr;
    KEVENT done_;
};

// URB builders over the usbdlib.h macros: a whole zero-filled URB union
// with Hdr.Length the size of the request's own structure.
URB MakeDescriptorRequest(UCHAR type, PVOID buffer, ULONG length);
URB MakeBulk(USBD_PIPE_HANDLE pipe, PVOID buffer, ULONG length, ULONG flags);
URB MakeVendor(UCHAR request, USHORT value, PVOID buffer, ULONG length, ULONG flags = 0);
URB MakeResetPipe(USBD_PIPE_HANDLE pipe);

// An isochronous URB of n packets of packetSize bytes each, offsets k *
// packetSize, in a buffer of its own.
class IsochUrb {
public:
    IsochUrb(USBD_PIPE_HANDLE pipe, ULONG packets, ULONG packetSize);
    PURB get() { return reinterpret_cast<PURB>(storage_.data()); }
    _URB_ISOCH_TRANSFER &operator*() { return *reinterpret_cast<_URB_ISOCH_TRANSFER *>(storage_.data()); }
    _URB_ISOCH_TRANSFER *operator->() { return &**this; }
    std::vector<uint8_t> buffer;

private:
    std::vector<uint64_t> storage_;  // aligned for the URB
};

// Selects the configuration with USBD_CreateConfigurationRequest, every
// pipe's MaximumTransferSize set to maxTransfer; returns the status and
// fills the interface information as returned.
NTSTATUS SelectConfiguration(PDEVICE_OBJECT pdo, std::vector<uint8_t> &configuration, ULONG maxTransfer,
                             std::vector<uint8_t> *interfaceInfo);
// The pipes of interfaceInfo.
std::vector<USBD_PIPE_INFORMATION> PipesOf(const std::vector<uint8_t> &interfaceInfo);

}  // namespace usbtest
