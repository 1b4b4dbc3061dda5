// Shared by the stand-in bus's own files; nothing here is exported to
// drivers, devices or tests.
//
// One mutex per bus (Bus::State::lock) guards every port's state below:
// endpoints, queues, the transfer table, counters. Nobody calls a device,
// IoCompleteRequest or IoCancelIrp with it held.
#pragma once

#include "sim_usb.h"

#include "sim_kernel.h"

#include "../hal/hal_internal.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace sim::usb {

struct EndpointState;

// One data transfer (bulk, interrupt or isochronous) from its dispatch to
// its completion.
struct Transfer {
    PIRP irp = nullptr;
    PURB urb = nullptr;
    EndpointState *endpoint = nullptr;
    bool in = false;
    bool isoch = false;
    bool shortOk = false;
    UCHAR *buffer = nullptr;
    ULONG length = 0;
    ULONG moved = 0;
    ULONG nextPacket = 0;  // isochronous: the next slot the device fills

    // Still inside the dispatch routine: nobody but the dispatch routine
    // completes it, the others only record the outcome and set finished.
    bool inDispatch = true;
    bool finished = false;
    NTSTATUS status = STATUS_SUCCESS;
    // Its cancel routine is running (it could not be taken back): it stays
    // queued, untouched, until that routine takes it.
    bool cancelling = false;
};

struct EndpointState {
    uint8_t address = 0;
    USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
    USHORT maxPacket = 0;
    UCHAR interval = 0;
    ULONG maxTransfer = 0;
    USBD_PIPE_HANDLE handle = nullptr;
    bool current = false;  // of the selected configuration
    bool halted = false;   // host side: transfers fail until RESET_PIPE
    bool stalled = false;  // device side: the next token is answered STALL
    std::deque<Transfer *> queue;
};

// IRPs whose outcome is written, to be completed once the lock is dropped.
using Ready = std::vector<PIRP>;

struct Port::State {
    Bus::State *bus = nullptr;
    Device *device = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    std::unique_ptr<Port> port;

    bool gone = false;
    uint8_t configurationValue = 0;
    // Every endpoint a configuration ever had, so that a transfer whose
    // cancel routine still runs keeps its endpoint; `pipes` holds the
    // current configuration's by handle.
    std::vector<std::unique_ptr<EndpointState>> endpoints;
    std::unordered_map<USBD_PIPE_HANDLE, EndpointState *> pipes;
    std::unordered_map<PIRP, Transfer *> transfers;  // queued ones
    // Threads inside the bus's code for this port (a dispatch routine, a
    // cancel routine, a Port call) that may still complete something:
    // Remove waits for none to be left.
    unsigned active = 0;
    PortCounters counters;
};

struct Bus::State {
    mutable std::mutex lock;
    // With lock: a port's transfer table emptied or its last activity ended.
    std::condition_variable portQuiet;

    DRIVER_OBJECT driver{};
    DRIVER_EXTENSION extension{};
    std::atomic<CompletionMode> mode{CompletionMode::Immediate};
    std::vector<Port::State *> ports;
    unsigned plugged = 0;  // devices plugged so far: the instance ids' numbers
    uintptr_t nextHandle = 0x1000;
    std::function<void(Port &)> leaveListener;

    // The completion workers.
    std::mutex workLock;
    std::condition_variable workReady;
    std::condition_variable workIdle;
    std::deque<PIRP> work;
    unsigned busy = 0;
    bool stop = false;
    std::vector<std::thread> workers;
};

inline Port::State &PortOf(PDEVICE_OBJECT pdo)
{
    return **static_cast<Port::State **>(pdo->DeviceExtension);
}

// One thread's activity on a port, for its whole extent (see
// Port::State::active).
class Activity {
public:
    explicit Activity(Port::State &port);
    ~Activity();
    Activity(const Activity &) = delete;
    Activity &operator=(const Activity &) = delete;

private:
    Port::State &port_;
};

// bus.cpp
// Completes each IRP as the bus's mode says: queued to a worker, or at once
// on this thread raised to DISPATCH_LEVEL. No bus lock held.
void Deliver(Bus::State &bus, const Ready &ready);
// The dispatch routine's answer for a request whose outcome is written in
// its IRP: completed here and its status returned (Immediate), or marked
// pending and queued to a worker (Worker).
NTSTATUS CompleteFromDispatch(Bus::State &bus, PIRP irp);
// A fresh opaque handle, never reused on this bus. Lock held.
PVOID NewHandle(Bus::State &bus);
// Ends a request that never reached a queue: URB status, IRP status, and
// the dispatch routine's answer.
NTSTATUS FailRequest(Port::State &port, PIRP irp, PURB urb, USBD_STATUS status);
// Faults unless the caller's URB has at least `need` bytes.
void RequireUrbLength(PURB urb, std::size_t need, const char *function);
// Transfer buffers: MDLs are not implemented; NULL with a length is the
// caller's error (false).
bool CheckBuffer(PVOID buffer, PMDL mdl, ULONG length, const char *function);
// The host controller's transaction errors, which halt a bulk
// or interrupt pipe.
bool IsTransactionError(USBD_STATUS status);

// control.cpp: the requests answered at once.
NTSTATUS GetDescriptor(Port::State &port, PIRP irp, PURB urb);
NTSTATUS SelectConfiguration(Port::State &port, PIRP irp, PURB urb);
NTSTATUS ResetPipe(Port::State &port, PIRP irp, PURB urb);
NTSTATUS VendorDevice(Port::State &port, PIRP irp, PURB urb);

// transfer.cpp: the queued data transfers.
NTSTATUS SubmitBulk(Port::State &port, PIRP irp, PURB urb);
NTSTATUS SubmitIsoch(Port::State &port, PIRP irp, PURB urb);
// Lock held. Ends transfer t with status (nt from the table) as far as
// cancellation lets it; adds its IRP to ready when it is to be completed.
void EndTransfer(Port::State &port, Transfer *t, USBD_STATUS status, Ready &ready);
// Lock held. Ends every queued transfer of endpoint (all endpoints when
// NULL) with status.
void EndAll(Port::State &port, EndpointState *endpoint, USBD_STATUS status, Ready &ready);
VOID NTAPI CancelTransfer(PDEVICE_OBJECT device, PIRP irp);

}  // namespace sim::usb
