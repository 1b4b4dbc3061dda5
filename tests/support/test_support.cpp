#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>

namespace nvtest {

std::string VerifierFault(const std::string &rule)
{
    return "NORVANE VERIFIER: " + rule + ":";
}

DispatchFn CompleteWith(NTSTATUS status, ULONG_PTR information)
{
    return [status, information](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = information;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    };
}

TestDevice::TestDevice(DispatchFn dispatch, ULONG extensionSize) : dispatch_(std::move(dispatch))
{
    std::memset(&driver_, 0, sizeof driver_);
    driver_.owner = this;
    driver_.object.Type = IO_TYPE_DRIVER;
    driver_.object.Size = sizeof(DRIVER_OBJECT);
    driver_.object.DriverExtension = &driver_.extension;
    driver_.extension.DriverObject = &driver_.object;
    for (auto &major : driver_.object.MajorFunction)
        major = &TestDevice::Dispatch;

    const NTSTATUS status = IoCreateDevice(&driver_.object, extensionSize, NULL, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                           &device_);
    if (!NT_SUCCESS(status) || device_ == nullptr) {
        ADD_FAILURE() << "IoCreateDevice failed with 0x" << std::hex << status;
        device_ = nullptr;
        return;
    }
    device_->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
}

TestDevice::~TestDevice()
{
    if (device_ == nullptr)
        return;
    if (attachedTo_ != nullptr)
        IoDetachDevice(attachedTo_);
    IoDeleteDevice(device_);
}

PDEVICE_OBJECT TestDevice::AttachTo(PDEVICE_OBJECT lower)
{
    attachedTo_ = IoAttachDeviceToDeviceStack(device_, lower);
    return attachedTo_;
}

NTSTATUS NTAPI TestDevice::Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    // DriverBlock is standard layout and DRIVER_OBJECT its first member.
    auto *block = reinterpret_cast<DriverBlock *>(device->DriverObject);
    return block->owner->dispatch_(device, irp);
}

DispatchFn HoldingDispatch::Routine()
{
    return [this](PDEVICE_OBJECT device, PIRP irp) {
        IoMarkIrpPending(irp);
        held_ = irp;
        device_ = device;
        return STATUS_PENDING;
    };
}

void HoldingDispatch::Complete(NTSTATUS status, ULONG_PTR information)
{
    PIRP irp = held_;
    ASSERT_NE(irp, nullptr) << "no IRP is held";
    held_ = nullptr;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

void CompletionProbe::SetOn(PIRP irp, bool onSuccess, bool onError, bool onCancel)
{
    IoSetCompletionRoutine(irp, &CompletionProbe::Routine, this, onSuccess, onError, onCancel);
}

void CompletionProbe::SetOnWithFlags(PIRP irp, UCHAR flags)
{
    SetOn(irp, (flags & SL_INVOKE_ON_SUCCESS) != 0, (flags & SL_INVOKE_ON_ERROR) != 0,
          (flags & SL_INVOKE_ON_CANCEL) != 0);
}

NTSTATUS NTAPI CompletionProbe::Routine(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto *self = static_cast<CompletionProbe *>(context);
    self->calls++;
    self->device = device;
    self->currentLocation = irp->CurrentLocation;
    self->status = irp->IoStatus.Status;
    self->cancel = irp->Cancel;
    self->pendingReturned = irp->PendingReturned;
    self->irql = KeGetCurrentIrql();
    if (self->propagatePending && irp->PendingReturned)
        IoMarkIrpPending(irp);
    return self->returns;
}

PIRP AllocateIrpFor(PDEVICE_OBJECT target, UCHAR majorFunction)
{
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    if (irp == nullptr)
        return nullptr;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = majorFunction;
    next->MinorFunction = 0;
    return irp;
}

}  // namespace nvtest
