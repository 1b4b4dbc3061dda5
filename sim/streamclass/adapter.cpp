// Adapters: what the class's AddDevice, the start of the device and its
// removal do for a registered minidriver.
//
// The functional device object's extension holds the class's own header
// and, after it, the minidriver's device extension (HwDeviceExtension), as
// on the platform where the minidriver's part is not the start of
// DeviceExtension.

#include "streamclass_internal.h"

#include <set>

using sim::VerifierFault;

namespace sim::streamclass {

namespace {

struct ClassDeviceHeader {
    Adapter *adapter;
};
constexpr ULONG kHeaderSize = ULONG(ALIGN_UP_BY(sizeof(ClassDeviceHeader), 16));

struct AdapterList {
    std::mutex lock;  // also orders the time-out thread's start and stop
    std::set<Adapter *> adapters;
};

AdapterList &Adapters()
{
    static AdapterList *l = new AdapterList;
    return *l;
}

void AddLiveAdapter(Adapter *a)
{
    std::lock_guard<std::mutex> g(Adapters().lock);
    if (Adapters().adapters.empty())
        StartTimeoutThread();
    Adapters().adapters.insert(a);
}

void RemoveLiveAdapter(Adapter *a)
{
    std::lock_guard<std::mutex> g(Adapters().lock);
    if (Adapters().adapters.erase(a) != 0 && Adapters().adapters.empty())
        StopTimeoutThread();
}

void RequirePassive(const char *who)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        VerifierFault("IRQL_TOO_HIGH", "%s called at IRQL %u; PASSIVE_LEVEL only", who, KeGetCurrentIrql());
}

// The one cleanup path of an adapter, for a failed start and for removal
// alike: releases whatever exists, in reverse order of creation.
void FreeAdapter(Adapter *a)
{
    RemoveLiveAdapter(a);
    if (a->uninitializeSrb != nullptr)
        FreeUnsentSrb(a->uninitializeSrb);
    if (a->surpriseRemovalSrb != nullptr)
        FreeUnsentSrb(a->surpriseRemovalSrb);
    if (a->streamDescriptor != NULL)
        ExFreePoolWithTag(a->streamDescriptor, kDescriptorTag);
    if (a->configInfo != NULL)
        ExFreePoolWithTag(a->configInfo, kConfigTag);
    if (a->lowerDevice != NULL)
        IoDetachDevice(a->lowerDevice);
    if (a->deviceObject != NULL)
        IoDeleteDevice(a->deviceObject);
    ReleaseRegistration(a->driver);
    delete a;
}

// Sends one of the removal requests through the SRB set aside for it.
NTSTATUS SendReserved(SrbPtr *reserved, SRB_COMMAND command)
{
    SrbPtr rec = std::move(*reserved);
    reserved->reset();
    return SendAllocatedSrb(rec, command, CommandData{}, 0).status;
}

}  // namespace

MinidriverCall::MinidriverCall(Adapter *adapter, KIRQL irql, const char *routine)
    : irql_(irql), old_(KeGetCurrentIrql()), routine_(routine)
{
    if (!adapter->init.TurnOffSynchronization)
        lock_ = std::unique_lock<std::mutex>(adapter->minidriverLock);
    if (irql_ > old_)
        KfRaiseIrql(irql_);
}

MinidriverCall::~MinidriverCall()
{
    const KIRQL expected = irql_ > old_ ? irql_ : old_;
    if (KeGetCurrentIrql() != expected)
        VerifierFault("IRQL_NOT_RESTORED", "the minidriver's %s returned at IRQL %u; it was called at IRQL %u",
                      routine_, KeGetCurrentIrql(), expected);
    if (irql_ > old_)
        KfLowerIrql(old_);
}

Adapter *AddAdapter(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDeviceObject, NTSTATUS *status)
{
    RequirePassive("AddAdapter");
    NTSTATUS ignored;
    if (status == nullptr)
        status = &ignored;

    auto *a = new Adapter;
    a->driver = driver;
    a->physicalDeviceObject = physicalDeviceObject;
    if (!AcquireRegistration(driver, &a->init)) {
        delete a;
        VerifierFault("MINIDRIVER_NOT_REGISTERED",
                      "CreateAdapter: driver object %p never registered with StreamClassRegisterAdapter",
                      static_cast<void *>(driver));
    }
    AddLiveAdapter(a);

    NTSTATUS s = IoCreateDevice(driver, kHeaderSize + a->init.DeviceExtensionSize, NULL, FILE_DEVICE_KS,
                                FILE_DEVICE_SECURE_OPEN, FALSE, &a->deviceObject);
    if (!NT_SUCCESS(s)) {
        a->deviceObject = NULL;
        *status = s;
        FreeAdapter(a);
        return nullptr;
    }
    auto *header = static_cast<ClassDeviceHeader *>(a->deviceObject->DeviceExtension);
    header->adapter = a;
    a->hwDeviceExtension = reinterpret_cast<char *>(header) + kHeaderSize;
    RtlZeroMemory(a->hwDeviceExtension, a->init.DeviceExtensionSize);

    a->lowerDevice = IoAttachDeviceToDeviceStack(a->deviceObject, physicalDeviceObject);
    if (a->lowerDevice == NULL) {
        *status = STATUS_NO_SUCH_DEVICE;
        FreeAdapter(a);
        return nullptr;
    }
    a->deviceObject->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);

    a->configInfo = static_cast<PPORT_CONFIGURATION_INFORMATION>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(PORT_CONFIGURATION_INFORMATION), kConfigTag));
    a->surpriseRemovalSrb = AllocateAdapterSrb(a);
    a->uninitializeSrb = AllocateAdapterSrb(a);
    if (a->configInfo == NULL || a->surpriseRemovalSrb == nullptr || a->uninitializeSrb == nullptr) {
        *status = STATUS_INSUFFICIENT_RESOURCES;
        FreeAdapter(a);
        return nullptr;
    }
    *status = STATUS_SUCCESS;
    return a;
}

NTSTATUS StartAdapter(Adapter *a)
{
    RequirePassive("StartAdapter");
    if (a->started)
        VerifierFault("ADAPTER_STARTED_TWICE", "StartAdapter(%p): the adapter is already started",
                      static_cast<void *>(a));
    SrbPtr initialize = AllocateAdapterSrb(a);
    if (initialize == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;

    PPORT_CONFIGURATION_INFORMATION config = a->configInfo;
    RtlZeroMemory(config, sizeof *config);
    config->SizeOfThisPacket = sizeof *config;
    config->HwDeviceExtension = a->hwDeviceExtension;
    config->ClassDeviceObject = a->deviceObject;
    config->PhysicalDeviceObject = a->lowerDevice;
    config->RealPhysicalDeviceObject = a->physicalDeviceObject;
    config->NumberOfAccessRanges = 0;
    config->Irp = IrpOf(initialize);
    CommandData data{};
    data.ConfigInfo = config;
    NTSTATUS s = SendAllocatedSrb(initialize, SRB_INITIALIZE_DEVICE, data, 0).status;
    if (!NT_SUCCESS(s))
        return s;  // a minidriver that failed to initialise gets no SRB_UNINITIALIZE_DEVICE

    const ULONG size = config->StreamDescriptorSize;
    if (size < sizeof(HW_STREAM_HEADER))
        VerifierFault("STREAM_DESCRIPTOR_TOO_SMALL",
                      "SRB_INITIALIZE_DEVICE succeeded with StreamDescriptorSize %u; the stream description "
                      "needs at least the %zu bytes of HW_STREAM_HEADER",
                      size, sizeof(HW_STREAM_HEADER));
    a->streamDescriptor = static_cast<PHW_STREAM_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPool, size, kDescriptorTag));
    s = STATUS_INSUFFICIENT_RESOURCES;
    Completion c{};
    if (a->streamDescriptor != NULL) {
        a->streamDescriptorSize = size;
        RtlZeroMemory(a->streamDescriptor, size);
        data = CommandData{};
        data.StreamBuffer = a->streamDescriptor;
        c = SendAdapterRequest(a, SRB_GET_STREAM_INFO, data, 0);
        s = c.status;
    }
    if (NT_SUCCESS(s)) {
        // A notification: its status is not judged, but the minidriver must
        // have had it.
        SrbPtr complete = AllocateAdapterSrb(a);
        if (complete != nullptr)
            SendAllocatedSrb(complete, SRB_INITIALIZATION_COMPLETE, CommandData{}, 0);
        else
            s = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!NT_SUCCESS(s)) {
        SendReserved(&a->uninitializeSrb, SRB_UNINITIALIZE_DEVICE);
        if (a->streamDescriptor != NULL)
            ExFreePoolWithTag(a->streamDescriptor, kDescriptorTag);
        a->streamDescriptor = NULL;
        a->streamDescriptorSize = 0;
        return s;
    }
    a->started = true;
    return STATUS_SUCCESS;
}

Adapter *CreateAdapter(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDeviceObject, NTSTATUS *status)
{
    NTSTATUS ignored;
    if (status == nullptr)
        status = &ignored;
    Adapter *a = AddAdapter(driver, physicalDeviceObject, status);
    if (a == nullptr)
        return nullptr;
    *status = StartAdapter(a);
    if (!NT_SUCCESS(*status)) {
        FreeAdapter(a);
        return nullptr;
    }
    return a;
}

NTSTATUS DestroyAdapter(Adapter *adapter, bool surpriseRemoval)
{
    RequirePassive("DestroyAdapter");
    const std::size_t pending = PendingRequests(adapter);
    if (pending != 0)
        VerifierFault("ADAPTER_REQUESTS_OUTSTANDING",
                      "DestroyAdapter(%p): %zu adapter request(s) are still pending in the minidriver",
                      static_cast<void *>(adapter), pending);
    NTSTATUS status = STATUS_SUCCESS;
    if (adapter->started) {
        if (surpriseRemoval)
            SendReserved(&adapter->surpriseRemovalSrb, SRB_SURPRISE_REMOVAL);
        status = SendReserved(&adapter->uninitializeSrb, SRB_UNINITIALIZE_DEVICE);
    }
    FreeAdapter(adapter);
    return status;
}

PDEVICE_OBJECT DeviceObjectOf(Adapter *adapter)
{
    return adapter->deviceObject;
}

PVOID HwDeviceExtensionOf(Adapter *adapter)
{
    return adapter->hwDeviceExtension;
}

const HW_STREAM_DESCRIPTOR *StreamDescriptorOf(Adapter *adapter)
{
    return adapter->streamDescriptor;
}

ULONG StreamDescriptorSizeOf(Adapter *adapter)
{
    return adapter->streamDescriptorSize;
}

std::size_t LiveAdapters()
{
    std::lock_guard<std::mutex> g(Adapters().lock);
    return Adapters().adapters.size();
}

}  // namespace sim::streamclass
