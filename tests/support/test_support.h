// What tests of the stand-in platform share: IRQL and injection guards, a
// device object with a dispatch routine written as a lambda, a completion
// routine that records how it was called, and the pattern a verifier fault
// prints.
#pragma once

#include <wdm.h>

#include "sim_kernel.h"

#include <cstring>
#include <functional>
#include <string>

namespace nvtest {

// The text a death test expects when the verifier stops on `rule`.
std::string VerifierFault(const std::string &rule);

// Raises the thread's IRQL for a scope and lowers it back.
class RaisedIrql {
public:
    explicit RaisedIrql(KIRQL level) : old_(KfRaiseIrql(level)) {}
    ~RaisedIrql() { KfLowerIrql(old_); }
    RaisedIrql(const RaisedIrql &) = delete;
    RaisedIrql &operator=(const RaisedIrql &) = delete;
    KIRQL Old() const { return old_; }

private:
    KIRQL old_;
};

// Clears pool fault injection when the scope ends, however it ends.
class InjectionScope {
public:
    InjectionScope() = default;
    ~InjectionScope() { sim::pool::ClearInjection(); }
    InjectionScope(const InjectionScope &) = delete;
    InjectionScope &operator=(const InjectionScope &) = delete;
};

// Sets the time scale for a scope.
class TimeScale {
public:
    explicit TimeScale(double scale) : old_(sim::time::Scale()) { sim::time::SetScale(scale); }
    ~TimeScale() { sim::time::SetScale(old_); }
    TimeScale(const TimeScale &) = delete;
    TimeScale &operator=(const TimeScale &) = delete;

private:
    double old_;
};

using DispatchFn = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// A dispatch routine that completes every request at once with status and
// Information, and returns status.
DispatchFn CompleteWith(NTSTATUS status, ULONG_PTR information = 0);

// A driver object as the I/O manager hands one to DriverEntry: zeroed, with
// its type, size and driver extension filled in.
struct DriverObjectBlock {
    DriverObjectBlock()
    {
        std::memset(this, 0, sizeof *this);
        object.Type = IO_TYPE_DRIVER;
        object.Size = sizeof(DRIVER_OBJECT);
        object.DriverExtension = &extension;
        extension.DriverObject = &object;
    }
    DRIVER_OBJECT object;
    DRIVER_EXTENSION extension;
};

// A device object of a driver object of its own, made with IoCreateDevice,
// whose every major function calls `dispatch`. The extension (zeroed by
// IoCreateDevice) is the test's. The destructor detaches the device if it
// was attached and deletes it.
class TestDevice {
public:
    explicit TestDevice(DispatchFn dispatch = CompleteWith(STATUS_SUCCESS), ULONG extensionSize = 0);
    ~TestDevice();
    TestDevice(const TestDevice &) = delete;
    TestDevice &operator=(const TestDevice &) = delete;

    PDEVICE_OBJECT get() const { return device_; }
    PDEVICE_OBJECT operator->() const { return device_; }
    PDRIVER_OBJECT Driver() { return &driver_.object; }
    void SetDispatch(DispatchFn dispatch) { dispatch_ = std::move(dispatch); }

    // Attaches this device to the top of lower's stack; returns the device
    // it was attached to.
    PDEVICE_OBJECT AttachTo(PDEVICE_OBJECT lower);

private:
    struct DriverBlock {
        DRIVER_OBJECT object;
        DRIVER_EXTENSION extension;
        TestDevice *owner;
    };
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp);

    DriverBlock driver_;
    PDEVICE_OBJECT device_ = nullptr;
    PDEVICE_OBJECT attachedTo_ = nullptr;
    DispatchFn dispatch_;
};

// A dispatch routine that keeps the IRP: marks it pending, remembers it and
// returns STATUS_PENDING; the test completes it later.
class HoldingDispatch {
public:
    DispatchFn Routine();
    PIRP Held() const { return held_; }
    PDEVICE_OBJECT Device() const { return device_; }
    // Completes the held IRP with status and Information.
    void Complete(NTSTATUS status, ULONG_PTR information = 0);

private:
    PIRP held_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
};

// A completion routine that records its calls and returns a chosen status.
// Set it with SetOn() where IoSetCompletionRoutine would go.
struct CompletionProbe {
    NTSTATUS returns = STATUS_SUCCESS;
    // Propagate the pending flag the way a driver's own completion routine
    // must when it does not stop the walk.
    bool propagatePending = false;

    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    CHAR currentLocation = 0;
    NTSTATUS status = 0;
    BOOLEAN cancel = FALSE;
    BOOLEAN pendingReturned = FALSE;
    KIRQL irql = 0;

    void SetOn(PIRP irp, bool onSuccess = true, bool onError = true, bool onCancel = true);
    // Control flags as SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL.
    void SetOnWithFlags(PIRP irp, UCHAR flags);
    static NTSTATUS NTAPI Routine(PDEVICE_OBJECT device, PIRP irp, PVOID context);
};

// An IRP from IoAllocateIrp for a call to `target`: its next location is
// filled with the major function, the way a driver prepares its own IRP.
PIRP AllocateIrpFor(PDEVICE_OBJECT target, UCHAR majorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL);

}  // namespace nvtest
