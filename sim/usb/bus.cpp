// The bus: its driver object, the PDO of each plugged device, the dispatch
// of IOCTL_INTERNAL_USB_SUBMIT_URB, the completion workers, and the device's
// life on the bus (plug, leave, remove).

#include "usb_internal.h"

#include <cstdio>
#include <cstring>

using sim::VerifierFault;

namespace sim::usb {

namespace {

std::atomic<std::size_t> g_liveBuses{0};
std::atomic<std::size_t> g_workerThreads{0};

// The URB functions the platform documents. One of these that the stand-in
// does not serve is a path it does not implement; any other code is a
// function the stack does not know, which it fails.
bool IsDocumentedFunction(USHORT function)
{
    return function <= URB_FUNCTION_GET_MS_FEATURE_DESCRIPTOR ? function != URB_FUNCTION_RESERVED_0X0016 &&
                                                                    function != URB_FUNCTION_RESERVE_0X001D
                                                              : function == URB_FUNCTION_SYNC_RESET_PIPE ||
                                                                    function == URB_FUNCTION_SYNC_CLEAR_STALL;
}

NTSTATUS SubmitUrb(Port::State &port, PIRP irp, PURB urb)
{
    if (urb == NULL)
        VerifierFault("URB_INVALID", "IOCTL_INTERNAL_USB_SUBMIT_URB(%p) with no URB in Argument1",
                      static_cast<void *>(irp));
    if (urb->UrbHeader.Length < sizeof(struct _URB_HEADER))
        VerifierFault("URB_LENGTH_TOO_SHORT", "URB %p: Hdr.Length %u is shorter than the URB header",
                      static_cast<void *>(urb), urb->UrbHeader.Length);
    const USHORT function = urb->UrbHeader.Function;
    switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        RequireUrbLength(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), "GET_DESCRIPTOR_FROM_DEVICE");
        return GetDescriptor(port, irp, urb);
    case URB_FUNCTION_SELECT_CONFIGURATION:
        RequireUrbLength(urb, offsetof(struct _URB_SELECT_CONFIGURATION, Interface), "SELECT_CONFIGURATION");
        return SelectConfiguration(port, irp, urb);
    case URB_FUNCTION_RESET_PIPE:
        RequireUrbLength(urb, sizeof(struct _URB_PIPE_REQUEST), "RESET_PIPE");
        return ResetPipe(port, irp, urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        RequireUrbLength(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), "BULK_OR_INTERRUPT_TRANSFER");
        return SubmitBulk(port, irp, urb);
    case URB_FUNCTION_ISOCH_TRANSFER:
        RequireUrbLength(urb, offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket), "ISOCH_TRANSFER");
        RequireUrbLength(urb, GET_ISO_URB_SIZE(urb->UrbIsochronousTransfer.NumberOfPackets), "ISOCH_TRANSFER");
        return SubmitIsoch(port, irp, urb);
    case URB_FUNCTION_VENDOR_DEVICE:
        RequireUrbLength(urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), "VENDOR_DEVICE");
        return VendorDevice(port, irp, urb);
    default:
        break;
    }
    if (IsDocumentedFunction(function))
        VerifierFault("UNSUPPORTED_BY_STAND_IN", "the USB bus does not serve URB function 0x%04X", function);
    return FailRequest(port, irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
}

NTSTATUS NTAPI BusInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    if (code != IOCTL_INTERNAL_USB_SUBMIT_URB)
        VerifierFault("UNSUPPORTED_BY_STAND_IN", "the USB bus's PDO does not serve internal control code 0x%08X",
                      code);
    Port::State &port = PortOf(device);
    Activity activity(port);
    return SubmitUrb(port, irp, static_cast<PURB>(sp->Parameters.Others.Argument1));
}

// Plug and Play and power for the PDO belong to the machine that
// enumerates it, which is not here yet.
NTSTATUS NTAPI BusOtherMajor(PDEVICE_OBJECT device, PIRP irp)
{
    VerifierFault("UNSUPPORTED_BY_STAND_IN", "the USB bus's PDO %p does not serve major function 0x%02X",
                  static_cast<void *>(device), IoGetCurrentIrpStackLocation(irp)->MajorFunction);
}

void CompleteAtDispatchLevel(PIRP irp)
{
    KIRQL old = KeGetCurrentIrql();
    const bool raise = old < DISPATCH_LEVEL;
    if (raise)
        KeRaiseIrql(DISPATCH_LEVEL, &old);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    if (raise)
        KeLowerIrql(old);
}

void WorkerLoop(Bus::State *bus)
{
    std::unique_lock<std::mutex> g(bus->workLock);
    for (;;) {
        bus->workReady.wait(g, [bus] { return bus->stop || !bus->work.empty(); });
        if (bus->work.empty())
            return;  // stop, and nothing left
        PIRP irp = bus->work.front();
        bus->work.pop_front();
        bus->busy++;
        g.unlock();
        CompleteAtDispatchLevel(irp);
        g.lock();
        bus->busy--;
        if (bus->busy == 0 && bus->work.empty())
            bus->workIdle.notify_all();
    }
}

// Until the workers have nothing queued and nothing running. A completion
// routine that sends a new request may add work meanwhile; that is waited
// for too.
void DrainWorkers(Bus::State &bus)
{
    std::unique_lock<std::mutex> g(bus.workLock);
    bus.workIdle.wait(g, [&bus] { return bus.work.empty() && bus.busy == 0; });
}

}  // namespace

Activity::Activity(Port::State &port) : port_(port)
{
    std::lock_guard<std::mutex> g(port_.bus->lock);
    port_.active++;
}

Activity::~Activity()
{
    std::lock_guard<std::mutex> g(port_.bus->lock);
    if (--port_.active == 0)
        port_.bus->portQuiet.notify_all();
}

// The outcome a driver sees in IoStatus.Status for a URB's USBD status. The
// split follows what the capture driver's completion tells apart: the host
// controller's transaction errors on a data pipe (CRC, bit stuffing,
// toggle, no response, overrun, babble...) and an isochronous request that
// failed as a whole are STATUS_DEVICE_DATA_ERROR; a stall, a halted pipe and
// a short packet without USBD_SHORT_TRANSFER_OK (USBD_STATUS_DATA_UNDERRUN,
// which halts the pipe like a stall, so the driver must reset it) are
// STATUS_UNSUCCESSFUL, the platform's answer for a request the device
// refused.
NTSTATUS NtStatusOf(USBD_STATUS status)
{
    struct Row {
        USBD_STATUS usbd;
        NTSTATUS nt;
    };
    static const Row table[] = {
        {USBD_STATUS_SUCCESS, STATUS_SUCCESS},
        {USBD_STATUS_CANCELED, STATUS_CANCELLED},
        {USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED},
        {USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL},
        {USBD_STATUS_ENDPOINT_HALTED, STATUS_UNSUCCESSFUL},
        {USBD_STATUS_DATA_UNDERRUN, STATUS_UNSUCCESSFUL},
        {USBD_STATUS_ISOCH_REQUEST_FAILED, STATUS_DEVICE_DATA_ERROR},
        {USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER},
        {USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR, STATUS_INVALID_PARAMETER},
        {USBD_STATUS_INTERFACE_NOT_FOUND, STATUS_INVALID_PARAMETER},
        {USBD_STATUS_BAD_START_FRAME, STATUS_INVALID_PARAMETER},
        {USBD_STATUS_BUFFER_TOO_SMALL, STATUS_BUFFER_TOO_SMALL},
        {USBD_STATUS_INVALID_URB_FUNCTION, STATUS_NOT_SUPPORTED},
        {USBD_STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED},
        {USBD_STATUS_NO_MEMORY, STATUS_INSUFFICIENT_RESOURCES},
        {USBD_STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES},
    };
    for (const Row &r : table)
        if (r.usbd == status)
            return r.nt;
    if (USBD_SUCCESS(status))
        return STATUS_SUCCESS;
    if (IsTransactionError(status))
        return STATUS_DEVICE_DATA_ERROR;
    return STATUS_UNSUCCESSFUL;
}

// The range the host controller reports one transaction's failure in
// (0xC0000001 .. 0xC00000FF): the data pipe halts on these.
bool IsTransactionError(USBD_STATUS status)
{
    const ULONG s = ULONG(status);
    return (s & 0xFFFFFF00u) == 0xC0000000u && s != 0xC0000000u;
}

void RequireUrbLength(PURB urb, std::size_t need, const char *function)
{
    if (urb->UrbHeader.Length < need)
        VerifierFault("URB_LENGTH_TOO_SHORT", "URB %p (%s): Hdr.Length %u, the request needs %zu bytes",
                      static_cast<void *>(urb), function, urb->UrbHeader.Length, need);
}

bool CheckBuffer(PVOID buffer, PMDL mdl, ULONG length, const char *function)
{
    if (buffer == NULL && mdl != NULL)
        VerifierFault("UNSUPPORTED_BY_STAND_IN", "%s: transfer buffers described by an MDL are not implemented",
                      function);
    return buffer != NULL || length == 0;
}

void Deliver(Bus::State &bus, const Ready &ready)
{
    if (ready.empty())
        return;
    if (bus.mode.load() == CompletionMode::Worker) {
        {
            std::lock_guard<std::mutex> g(bus.workLock);
            bus.work.insert(bus.work.end(), ready.begin(), ready.end());
        }
        bus.workReady.notify_all();
        return;
    }
    for (PIRP irp : ready)
        CompleteAtDispatchLevel(irp);
}

NTSTATUS CompleteFromDispatch(Bus::State &bus, PIRP irp)
{
    if (bus.mode.load() == CompletionMode::Worker) {
        IoMarkIrpPending(irp);
        // Do not touch the IRP after this: a worker may complete it at once.
        Deliver(bus, Ready{irp});
        return STATUS_PENDING;
    }
    const NTSTATUS status = irp->IoStatus.Status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

PVOID NewHandle(Bus::State &bus)
{
    bus.nextHandle += 0x10;
    return reinterpret_cast<PVOID>(bus.nextHandle);
}

NTSTATUS FailRequest(Port::State &port, PIRP irp, PURB urb, USBD_STATUS status)
{
    urb->UrbHeader.Status = status;
    irp->IoStatus.Status = NtStatusOf(status);
    irp->IoStatus.Information = 0;
    return CompleteFromDispatch(*port.bus, irp);
}

// ---------------------------------------------------------------------------
// Port: the device's life on the bus

PDEVICE_OBJECT Port::PhysicalDeviceObject() const
{
    return state_->pdo;
}

Device &Port::device() const
{
    return *state_->device;
}

void Port::Leave()
{
    Bus::State &bus = *state_->bus;
    Activity activity(*state_);
    Ready ready;
    std::function<void(Port &)> listener;
    {
        std::lock_guard<std::mutex> g(bus.lock);
        if (state_->gone)
            return;
        state_->gone = true;
        EndAll(*state_, nullptr, USBD_STATUS_DEVICE_GONE, ready);
        listener = bus.leaveListener;
    }
    Deliver(bus, ready);
    if (listener)
        listener(*this);
}

bool Port::Gone() const
{
    std::lock_guard<std::mutex> g(state_->bus->lock);
    return state_->gone;
}

uint8_t Port::ConfigurationValue() const
{
    std::lock_guard<std::mutex> g(state_->bus->lock);
    return state_->configurationValue;
}

PortCounters Port::Counters() const
{
    std::lock_guard<std::mutex> g(state_->bus->lock);
    return state_->counters;
}

// ---------------------------------------------------------------------------
// Bus

Bus::Bus(BusOptions options) : state_(std::make_unique<State>())
{
    State &s = *state_;
    s.driver.Type = IO_TYPE_DRIVER;
    s.driver.Size = sizeof(DRIVER_OBJECT);
    s.driver.DriverExtension = &s.extension;
    s.extension.DriverObject = &s.driver;
    for (auto &major : s.driver.MajorFunction)
        major = BusOtherMajor;
    s.driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = BusInternalDeviceControl;
    s.mode = options.completion;
    const unsigned workers = options.workerThreads == 0 ? 1 : options.workerThreads;
    for (unsigned i = 0; i < workers; i++) {
        s.workers.emplace_back(WorkerLoop, &s);
        g_workerThreads++;
    }
    g_liveBuses++;
}

Bus::~Bus()
{
    for (;;) {
        Port *port;
        {
            std::lock_guard<std::mutex> g(state_->lock);
            if (state_->ports.empty())
                break;
            port = state_->ports.front()->port.get();
        }
        Remove(port);
    }
    {
        std::lock_guard<std::mutex> g(state_->workLock);
        state_->stop = true;
    }
    state_->workReady.notify_all();
    for (std::thread &t : state_->workers) {
        t.join();
        g_workerThreads--;
    }
    g_liveBuses--;
}

Port *Bus::Plug(Device &device, NTSTATUS *status)
{
    sim::hal::RequireIrqlAtMost(PASSIVE_LEVEL, "sim::usb::Bus::Plug");
    PDEVICE_OBJECT pdo = nullptr;
    const NTSTATUS created = IoCreateDevice(&state_->driver, sizeof(Port::State *), NULL, FILE_DEVICE_USB,
                                            FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    if (status != nullptr)
        *status = created;
    if (!NT_SUCCESS(created))
        return nullptr;
    auto *ps = new Port::State;
    ps->bus = state_.get();
    ps->device = &device;
    ps->pdo = pdo;
    ps->port.reset(new Port(ps));
    *static_cast<Port::State **>(pdo->DeviceExtension) = ps;
    pdo->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    unsigned number;
    {
        std::lock_guard<std::mutex> g(state_->lock);
        state_->ports.push_back(ps);
        number = ++state_->plugged;
    }
    // The instance id the bus reports for the device, from its own
    // descriptor: what device interface names are made of.
    const std::vector<uint8_t> d = device.DeviceDescriptor();
    if (d.size() >= 12) {
        char id[64];
        std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X\\%u", unsigned(d[8] | d[9] << 8),
                      unsigned(d[10] | d[11] << 8), number);
        sim::machine::SetDeviceInstanceId(pdo, id);
    }
    return ps->port.get();
}

void Bus::Remove(Port *port)
{
    sim::hal::RequireIrqlAtMost(PASSIVE_LEVEL, "sim::usb::Bus::Remove");
    Port::State *ps = port->state_;
    port->Leave();
    {
        // A transfer whose cancel routine is running is still in the table
        // until that routine takes it; a thread still in the bus's code may
        // still complete something.
        std::unique_lock<std::mutex> g(state_->lock);
        state_->portQuiet.wait(g, [ps] { return ps->transfers.empty() && ps->active == 0; });
        auto &ports = state_->ports;
        for (auto it = ports.begin(); it != ports.end(); ++it)
            if (*it == ps) {
                ports.erase(it);
                break;
            }
    }
    DrainWorkers(*state_);
    IoDeleteDevice(ps->pdo);
    delete ps;
}

void Bus::SetLeaveListener(std::function<void(Port &)> listener)
{
    std::lock_guard<std::mutex> g(state_->lock);
    state_->leaveListener = std::move(listener);
}

void Bus::SetCompletionMode(CompletionMode mode)
{
    state_->mode = mode;
}

CompletionMode Bus::Mode() const
{
    return state_->mode.load();
}

PDRIVER_OBJECT Bus::DriverObject() const
{
    return &state_->driver;
}

std::size_t Bus::LiveBuses()
{
    return g_liveBuses.load();
}

std::size_t Bus::WorkerThreads()
{
    return g_workerThreads.load();
}

}  // namespace sim::usb
