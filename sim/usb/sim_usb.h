// The stand-in USB bus: what simulated hardware implements (Device), what
// it calls back into (Port), and the bus that makes a physical device object
// for each plugged device and serves the URBs drivers send to it (Bus).
// Drivers never include this; they see only usb*.h and send URBs with
// IOCTL_INTERNAL_USB_SUBMIT_URB to the PDO.
//
// Ownership. The Bus owns its Ports and their PDOs; a Port lives from
// Bus::Plug until Bus::Remove or the Bus's destruction. The Device belongs
// to whoever plugged it and must outlive its Port. Transfers (the IRPs and
// URBs of pending requests) stay the sender's: the bus holds them only
// while they are queued, and a Device never sees an IRP or a URB, only
// bytes, through the Port.
//
// Threads. Device callbacks run on the thread that sent the request, at the
// sender's IRQL (PASSIVE_LEVEL up to DISPATCH_LEVEL), with no bus lock
// held, so a callback may call straight back into its Port. Port calls may
// come from any thread at up to DISPATCH_LEVEL, at any time, also after the
// device left the bus (they then find nothing to serve). Completions run
// where the bus's CompletionMode says.
#pragma once

#include <usbdlib.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace sim::usb {

class Port;

// The 8-byte setup stage of a control transfer, in host order.
struct SetupPacket {
    uint8_t bmRequestType;
    uint8_t bRequest;
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t wLength;
};

enum class ControlAnswer { Ack, Stall };

// Simulated hardware behind one port. The bus itself answers the standard
// requests from the two descriptors (GET_DESCRIPTOR, SET_CONFIGURATION,
// CLEAR_FEATURE(ENDPOINT_HALT)) and tells the device through the
// notifications below; every other control transfer goes to Control.
class Device {
public:
    virtual ~Device() = default;

    // Wire format: 18 bytes; and the configuration descriptor with all its
    // interface and endpoint descriptors (wTotalLength bytes). A read
    // returns min(asked, size) bytes of these, so an empty vector is a
    // device that answers with a zero-length data stage.
    virtual std::vector<uint8_t> DeviceDescriptor() = 0;
    virtual std::vector<uint8_t> ConfigurationDescriptor() = 0;

    // A control transfer the device's core or firmware answers (vendor and
    // class requests). Host-to-device: data holds the data stage, wLength
    // bytes. Device-to-host: data comes empty and the device appends its
    // answer (the bus keeps at most wLength bytes). Stall fails the URB.
    virtual ControlAnswer Control(Port &port, const SetupPacket &setup, std::vector<uint8_t> &data) = 0;

    // A transfer was queued on endpointAddress. The device may serve it
    // right here (Port::OfferIn and the rest) or later from any thread.
    virtual void TransferQueued(Port &port, uint8_t endpointAddress)
    {
        (void)port;
        (void)endpointAddress;
    }
    // SET_CONFIGURATION went to the device (0: deconfigured).
    virtual void ConfigurationSelected(Port &port, uint8_t configurationValue)
    {
        (void)port;
        (void)configurationValue;
    }
    // CLEAR_FEATURE(ENDPOINT_HALT): a reset pipe cleared the endpoint.
    virtual void EndpointReset(Port &port, uint8_t endpointAddress)
    {
        (void)port;
        (void)endpointAddress;
    }
};

// One isochronous packet as the device sends it in its frame.
struct IsoPacket {
    std::vector<uint8_t> data;
    USBD_STATUS status = USBD_STATUS_SUCCESS;
};

struct EndpointCounters {
    uint64_t transfers = 0;  // completed, whatever the outcome
    uint64_t errors = 0;     // of those, completed with an error NTSTATUS
    uint64_t bytes = 0;      // bytes moved
};

struct PortCounters {
    // By endpoint address; control transfers on the default pipe count
    // under 0.
    std::map<uint8_t, EndpointCounters> endpoints;
    uint64_t resets = 0;   // RESET_PIPE requests that succeeded
    uint64_t cancels = 0;  // transfers completed by their cancel routine
};

// The NTSTATUS the bus gives an IRP whose URB ends with a USBD status (the
// table in bus.cpp).
NTSTATUS NtStatusOf(USBD_STATUS status);

// The bus's side of one plugged device. Every call is thread-safe and may
// be made at up to DISPATCH_LEVEL. The endpoint calls act on the pipes of
// the current configuration; without one, or for an endpoint of another
// type or direction, they find nothing.
class Port {
public:
    struct State;

    PDEVICE_OBJECT PhysicalDeviceObject() const;
    Device &device() const;

    // Bulk or interrupt IN: the device sends length bytes as packets of the
    // endpoint's maximum packet size (a single zero-length packet when
    // length is 0). Pending transfers take them in order; a transfer ends
    // when its buffer is full or a short packet arrives. A packet that does
    // not fit the rest of the buffer ends the transfer with
    // USBD_STATUS_BUFFER_OVERRUN. Returns the bytes taken; what is left
    // (no transfer was pending) is the device's to offer again.
    std::size_t OfferIn(uint8_t endpointAddress, const void *data, std::size_t length);

    // Bulk or interrupt OUT: the oldest pending transfer's bytes, which then
    // completes with all of them moved. false when none is pending.
    bool TakeOut(uint8_t endpointAddress, std::vector<uint8_t> *data);

    // Isochronous IN: one packet per frame into the pending transfers'
    // packet slots, in order. A packet's Length is the bytes that fit its
    // slot (the distance to the next packet's Offset), its Status the one
    // given (USBD_STATUS_BUFFER_OVERRUN when it did not fit). A transfer
    // completes when its last packet is filled. Returns the packets taken.
    std::size_t OfferIsochIn(uint8_t endpointAddress, const IsoPacket *packets, std::size_t count);

    // Ends the oldest pending transfer with status (a transfer error); a
    // host controller transaction error halts a bulk or interrupt pipe.
    bool FailTransfer(uint8_t endpointAddress, USBD_STATUS status);

    // The device stalls a bulk or interrupt endpoint: the pending transfer,
    // or else the next one, fails with USBD_STATUS_STALL_PID and the pipe
    // halts until a RESET_PIPE. Isochronous endpoints have no handshake and
    // cannot stall (false).
    bool Stall(uint8_t endpointAddress);

    // The device leaves the bus (unplug, or re-enumeration): every pending
    // transfer, and every request from now on, completes with
    // STATUS_DEVICE_NOT_CONNECTED (USBD_STATUS_DEVICE_GONE). The PDO stays
    // until Bus::Remove.
    void Leave();
    bool Gone() const;

    // Transfers queued on the endpoint and not yet taken by a completion or
    // a cancel.
    std::size_t PendingTransfers(uint8_t endpointAddress) const;
    // bConfigurationValue of the selected configuration, 0 when none.
    uint8_t ConfigurationValue() const;
    PortCounters Counters() const;

private:
    friend class Bus;
    explicit Port(State *state) : state_(state) {}
    State *state_;
};

enum class CompletionMode {
    // A request the bus or the device can answer at once is completed inside
    // IofCallDriver and the dispatch routine returns its status; the rest
    // complete on the thread that answers them, raised to DISPATCH_LEVEL.
    Immediate,
    // Every request is marked pending and completed on one of the bus's
    // worker threads at DISPATCH_LEVEL, sometimes before IofCallDriver has
    // returned.
    Worker,
};

struct BusOptions {
    CompletionMode completion = CompletionMode::Immediate;
    // With more than one, completions of one pipe may overtake each other.
    unsigned workerThreads = 1;
};

// One USB bus with its own DRIVER_OBJECT. Its worker threads exist exactly
// as long as the Bus does. Plug, Remove and the destructor run at
// PASSIVE_LEVEL.
class Bus {
public:
    explicit Bus(BusOptions options = BusOptions{});
    // Removes every port still plugged (see Remove), then stops the workers.
    ~Bus();
    Bus(const Bus &) = delete;
    Bus &operator=(const Bus &) = delete;

    // Creates the PDO for device (IoCreateDevice on the bus's driver object;
    // drivers attach above it). NULL, with the status in *status, when the
    // kernel cannot create it.
    Port *Plug(Device &device, NTSTATUS *status = nullptr);

    // The device leaves (if it has not), the bus waits until none of its
    // transfers is left and every completion has run, then deletes the PDO.
    // Devices attached above it must have detached: the kernel faults
    // DEVICE_DELETED_WHILE_ATTACHED otherwise. port is gone afterwards.
    void Remove(Port *port);

    // Called on the thread of Port::Leave, with no bus lock held.
    void SetLeaveListener(std::function<void(Port &)> listener);

    void SetCompletionMode(CompletionMode mode);
    CompletionMode Mode() const;
    PDRIVER_OBJECT DriverObject() const;

    // Buses alive and bus worker threads running, process-wide.
    static std::size_t LiveBuses();
    static std::size_t WorkerThreads();

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace sim::usb
