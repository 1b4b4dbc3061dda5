// The verifier: each broken platform rule stops the process at once with a
// line naming the rule. One case per fault a driver can make; each builds
// what it needs, breaks the rule once, and expects that rule's name.

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>

namespace {

using nvtest::AllocateIrpFor;
using nvtest::CompleteWith;
using nvtest::CompletionProbe;
using nvtest::HoldingDispatch;
using nvtest::RaisedIrql;
using nvtest::TestDevice;
using sim::pool::Tag;

const ULONG kIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x820, METHOD_BUFFERED, FILE_ANY_ACCESS);

// A driver-allocated IRP sent to `device` with a top completion routine that
// takes it back (STATUS_MORE_PROCESSING_REQUIRED), as a correct allocator
// does. The probe is leaked on purpose: these cases end in a fault.
PIRP SendOwnIrp(TestDevice &device)
{
    PIRP irp = AllocateIrpFor(device.get());
    auto *top = new CompletionProbe;
    top->returns = STATUS_MORE_PROCESSING_REQUIRED;
    top->SetOn(irp);
    IofCallDriver(device.get(), irp);
    return irp;
}

PIRP BuildIoctl(TestDevice &device)
{
    static KEVENT event;
    static IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    return IoBuildDeviceIoControlRequest(kIoctl, device.get(), NULL, 0, NULL, 0, FALSE, &event, &iosb);
}

NTSTATUS CompleteTwice(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// Cancel routines with one fault each.
VOID NTAPI CancelKeepingTheLock(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_CANCELLED;
}

VOID NTAPI CancelReleasingToDispatchLevel(PDEVICE_OBJECT, PIRP)
{
    IoReleaseCancelSpinLock(DISPATCH_LEVEL);
}

// Completes the IRP, then stays inside IoCancelIrp until the process ends.
KEVENT g_cancelCompleted;
KEVENT g_never;
VOID NTAPI CancelThatLingers(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    KeSetEvent(&g_cancelCompleted, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&g_never, Executive, KernelMode, FALSE, NULL);
}

// A device that holds what it is sent, cancellable with `routine`.
nvtest::DispatchFn HoldCancellable(PDRIVER_CANCEL routine)
{
    return [routine](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, routine);
        return STATUS_PENDING;
    };
}

NTSTATUS NTAPI RaisingCompletion(PDEVICE_OBJECT, PIRP, PVOID)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void WaitAtDispatch(PLARGE_INTEGER timeout)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);  // would not even block
    RaisedIrql raised(DISPATCH_LEVEL);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, timeout);
}

struct FaultCase {
    const char *name;
    const char *rule;
    std::function<void()> fault;
};

const FaultCase kFaults[] = {
    // --- IRPs ---
    {"CompletedTwiceInDispatch", "IRP_COMPLETED_TWICE",
     [] {
         TestDevice device(CompleteTwice);
         SendOwnIrp(device);
     }},
    {"IoManagerIrpCompletedAgainAfterItWasFreed", "IRP_USED_AFTER_FREE",
     [] {
         TestDevice device(CompleteTwice);
         IofCallDriver(device.get(), BuildIoctl(device));
     }},
    {"CompletedAfterFree", "IRP_USED_AFTER_FREE",
     [] {
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoFreeIrp(irp);
         IofCompleteRequest(irp, IO_NO_INCREMENT);
     }},
    {"SentAfterFree", "IRP_USED_AFTER_FREE",
     [] {
         TestDevice device;
         PIRP irp = AllocateIrpFor(device.get());
         IoFreeIrp(irp);
         IofCallDriver(device.get(), irp);
     }},
    {"CancelledAfterFree", "IRP_USED_AFTER_FREE",
     [] {
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoFreeIrp(irp);
         IoCancelIrp(irp);
     }},
    {"FreedTwice", "IRP_USED_AFTER_FREE",
     [] {
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoFreeIrp(irp);
         IoFreeIrp(irp);
     }},
    {"NeverAllocated", "IRP_USED_AFTER_FREE",
     [] {
         TestDevice device;
         IRP fake[2];
         std::memset(fake, 0, sizeof fake);
         IofCallDriver(device.get(), fake);
     }},
    {"FreedInFlight", "IRP_FREED_IN_FLIGHT",
     [] {
         HoldingDispatch holder;
         TestDevice device(holder.Routine());
         IoFreeIrp(SendOwnIrp(device));
     }},
    {"FreedWhileAnotherThreadCancels", "IRP_FREED_WHILE_CANCELLING",
     [] {
         KeInitializeEvent(&g_cancelCompleted, NotificationEvent, FALSE);
         KeInitializeEvent(&g_never, NotificationEvent, FALSE);
         TestDevice device(HoldCancellable(CancelThatLingers));
         PIRP irp = SendOwnIrp(device);
         std::thread([irp] { IoCancelIrp(irp); }).detach();
         KeWaitForSingleObject(&g_cancelCompleted, Executive, KernelMode, FALSE, NULL);
         // Completed and back with its allocator, but IoCancelIrp is still
         // running on it in the other thread.
         IoFreeIrp(irp);
     }},
    {"AllocatedIrpWithoutCompletionRoutine", "ALLOCATED_IRP_REACHED_TOP",
     [] {
         TestDevice device(CompleteWith(STATUS_SUCCESS));
         IofCallDriver(device.get(), AllocateIrpFor(device.get()));
     }},
    {"AllocatedIrpWhoseRoutineLetsTheWalkGoOn", "ALLOCATED_IRP_REACHED_TOP",
     [] {
         TestDevice device(CompleteWith(STATUS_SUCCESS));
         PIRP irp = AllocateIrpFor(device.get());
         (new CompletionProbe)->SetOn(irp);  // returns STATUS_SUCCESS
         IofCallDriver(device.get(), irp);
     }},
    {"PendingReturnedAfterCompletingUnmarked", "PENDING_NOT_MARKED",
     [] {
         TestDevice device([](PDEVICE_OBJECT, PIRP irp) {
             irp->IoStatus.Status = STATUS_SUCCESS;
             IofCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_PENDING;
         });
         SendOwnIrp(device);
     }},
    {"PendingReturnedUnmarkedThenCompletedLater", "PENDING_NOT_MARKED",
     [] {
         PIRP held = nullptr;
         TestDevice device([&held](PDEVICE_OBJECT, PIRP irp) {
             held = irp;
             return STATUS_PENDING;
         });
         SendOwnIrp(device);
         held->IoStatus.Status = STATUS_SUCCESS;
         IofCompleteRequest(held, IO_NO_INCREMENT);
     }},
    {"MarkedPendingButReturnedSuccess", "MARKED_PENDING_NOT_RETURNED",
     [] {
         TestDevice device([](PDEVICE_OBJECT, PIRP irp) {
             IoMarkIrpPending(irp);
             irp->IoStatus.Status = STATUS_SUCCESS;
             IofCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_SUCCESS;
         });
         SendOwnIrp(device);
     }},
    {"CompletedWithStatusPending", "IRP_COMPLETED_WITH_PENDING_STATUS",
     [] {
         TestDevice device(CompleteWith(STATUS_PENDING));
         SendOwnIrp(device);
     }},
    {"CompletedWithCancelRoutineSet", "IRP_COMPLETED_WITH_CANCEL_ROUTINE",
     [] {
         TestDevice device([](PDEVICE_OBJECT, PIRP irp) {
             IoSetCancelRoutine(irp, CancelKeepingTheLock);
             irp->IoStatus.Status = STATUS_SUCCESS;
             IofCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_SUCCESS;
         });
         SendOwnIrp(device);
     }},
    {"IrpTooSmallForTheStack", "NO_MORE_IRP_STACK_LOCATIONS",
     [] {
         TestDevice lower(CompleteWith(STATUS_SUCCESS));
         PDEVICE_OBJECT below = nullptr;
         TestDevice filter([&below](PDEVICE_OBJECT, PIRP irp) {
             IoCopyCurrentIrpStackLocationToNext(irp);
             return IofCallDriver(below, irp);
         });
         below = filter.AttachTo(lower.get());
         // Sized for the lower device, sent to the filter above it.
         PIRP irp = AllocateIrpFor(lower.get());
         IofCallDriver(filter.get(), irp);
     }},
    {"FreeOfIoManagerIrp", "FREE_OF_IO_MANAGER_IRP",
     [] {
         TestDevice device;
         IoFreeIrp(BuildIoctl(device));
     }},
    {"CancelRoutineKeepsTheCancelLock", "CANCEL_LOCK_NOT_RELEASED",
     [] {
         TestDevice device(HoldCancellable(CancelKeepingTheLock));
         IoCancelIrp(SendOwnIrp(device));
     }},
    {"DispatchReturnsAtRaisedIrql", "IRQL_NOT_RESTORED",
     [] {
         TestDevice device([](PDEVICE_OBJECT, PIRP irp) {
             irp->IoStatus.Status = STATUS_SUCCESS;
             IofCompleteRequest(irp, IO_NO_INCREMENT);
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             return STATUS_SUCCESS;
         });
         SendOwnIrp(device);
     }},
    {"CompletionRoutineReturnsAtRaisedIrql", "IRQL_NOT_RESTORED",
     [] {
         TestDevice device(CompleteWith(STATUS_SUCCESS));
         PIRP irp = AllocateIrpFor(device.get());
         IoSetCompletionRoutine(irp, RaisingCompletion, NULL, TRUE, TRUE, TRUE);
         IofCallDriver(device.get(), irp);
     }},
    {"CancelRoutineReturnsAtRaisedIrql", "IRQL_NOT_RESTORED",
     [] {
         TestDevice device(HoldCancellable(CancelReleasingToDispatchLevel));
         IoCancelIrp(SendOwnIrp(device));
     }},

    // --- IRQL ---
    {"WaitForeverAtDispatchLevel", "WAIT_AT_DISPATCH_LEVEL", [] { WaitAtDispatch(NULL); }},
    {"WaitWithTimeoutAtDispatchLevel", "WAIT_AT_DISPATCH_LEVEL",
     [] {
         LARGE_INTEGER timeout;
         timeout.QuadPart = -1;
         WaitAtDispatch(&timeout);
     }},
    {"DelayAtDispatchLevel", "WAIT_AT_DISPATCH_LEVEL",
     [] {
         LARGE_INTEGER interval;
         interval.QuadPart = -1;
         RaisedIrql raised(DISPATCH_LEVEL);
         KeDelayExecutionThread(KernelMode, FALSE, &interval);
     }},
    {"PagedAllocationAtDispatchLevel", "PAGED_POOL_AT_DISPATCH_LEVEL",
     [] {
         RaisedIrql raised(DISPATCH_LEVEL);
         ExAllocatePoolWithTag(PagedPool, 16, Tag("TsVp"));
     }},
    {"PagedFreeAtDispatchLevel", "PAGED_POOL_AT_DISPATCH_LEVEL",
     [] {
         PVOID p = ExAllocatePoolWithTag(PagedPool, 16, Tag("TsVp"));
         RaisedIrql raised(DISPATCH_LEVEL);
         ExFreePoolWithTag(p, Tag("TsVp"));
     }},
    {"NonPagedAllocationAboveDispatchLevel", "IRQL_TOO_HIGH",
     [] {
         RaisedIrql raised(DISPATCH_LEVEL + 1);
         ExAllocatePoolWithTag(NonPagedPool, 16, Tag("TsVh"));
     }},
    {"BuildIoctlAtApcLevel", "IRQL_TOO_HIGH",
     [] {
         TestDevice device;
         RaisedIrql raised(APC_LEVEL);
         BuildIoctl(device);
     }},
    {"CreateDeviceAtDispatchLevel", "IRQL_TOO_HIGH",
     [] {
         RaisedIrql raised(DISPATCH_LEVEL);
         TestDevice device;
     }},
    {"CallDriverAboveDispatchLevel", "IRQL_TOO_HIGH",
     [] {
         TestDevice device;
         PIRP irp = AllocateIrpFor(device.get());
         RaisedIrql raised(DISPATCH_LEVEL + 1);
         IofCallDriver(device.get(), irp);
     }},
    {"RaiseBelowCurrent", "IRQL_RAISE_BELOW_CURRENT",
     [] {
         RaisedIrql raised(DISPATCH_LEVEL);
         KIRQL old;
         KeRaiseIrql(PASSIVE_LEVEL, &old);
     }},
    {"LowerAboveCurrent", "IRQL_LOWER_ABOVE_CURRENT", [] { KeLowerIrql(DISPATCH_LEVEL); }},
    {"SpinLockReleasedToAHigherIrql", "IRQL_LOWER_ABOVE_CURRENT",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
         KeReleaseSpinLock(&lock, DISPATCH_LEVEL + 1);
     }},

    // --- Spin locks ---
    {"ReleaseOfAFreeLock", "SPIN_LOCK_NOT_HELD",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
     }},
    {"ReleaseFromDpcLevelOfAFreeLock", "SPIN_LOCK_NOT_HELD",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         RaisedIrql raised(DISPATCH_LEVEL);
         KeReleaseSpinLockFromDpcLevel(&lock);
     }},
    {"ReleaseOfALockAnotherThreadHolds", "SPIN_LOCK_NOT_HELD",
     [] {
         static KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KEVENT held;
         KeInitializeEvent(&held, NotificationEvent, FALSE);
         std::thread([&held] {
             KIRQL old;
             KeAcquireSpinLock(&lock, &old);
             KeSetEvent(&held, IO_NO_INCREMENT, FALSE);
             for (;;)
                 std::this_thread::yield();
         }).detach();
         KeWaitForSingleObject(&held, Executive, KernelMode, FALSE, NULL);
         RaisedIrql raised(DISPATCH_LEVEL);
         KeReleaseSpinLockFromDpcLevel(&lock);
     }},
    {"RecursiveAcquire", "SPIN_LOCK_ALREADY_HELD",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL old, again;
         KeAcquireSpinLock(&lock, &old);
         KeAcquireSpinLock(&lock, &again);
     }},
    {"RecursiveAcquireAtDpcLevel", "SPIN_LOCK_ALREADY_HELD",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
         KeAcquireSpinLockAtDpcLevel(&lock);
     }},
    {"AcquireOfAPoisonFilledLock", "SPIN_LOCK_NOT_INITIALIZED",
     [] {
         // A lock inside a pool block nobody passed to KeInitializeSpinLock.
         auto *lock = static_cast<PKSPIN_LOCK>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KSPIN_LOCK), Tag("TsVk")));
         KIRQL old;
         KeAcquireSpinLock(lock, &old);
     }},
    {"AcquireAtDpcLevelFromPassive", "SPIN_LOCK_DPC_LEVEL_REQUIRED",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KeAcquireSpinLockAtDpcLevel(&lock);
     }},

    // --- Pool ---
    {"WritePastTheEnd", "POOL_GUARD_OVERWRITTEN",
     [] {
         auto *p = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 10, Tag("TsVg")));
         p[10] = 0;
         ExFreePoolWithTag(p, Tag("TsVg"));
     }},
    {"WriteBeforeTheStart", "POOL_GUARD_OVERWRITTEN",
     [] {
         auto *p = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 10, Tag("TsVg")));
         p[-1] = 0;
         ExFreePoolWithTag(p, Tag("TsVg"));
     }},
    {"OverrunFoundByAGuardCheck", "POOL_GUARD_OVERWRITTEN",
     [] {
         auto *p = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 10, Tag("TsVg")));
         std::memset(p, 0, 12);
         sim::pool::CheckAllGuards();
     }},
    {"DoubleFree", "POOL_FREE_OF_UNKNOWN_BLOCK",
     [] {
         PVOID p = ExAllocatePoolWithTag(NonPagedPool, 10, Tag("TsVd"));
         ExFreePool(p);
         ExFreePool(p);
     }},
    {"FreeOfAStackAddress", "POOL_FREE_OF_UNKNOWN_BLOCK",
     [] {
         ULONG local = 0;
         ExFreePool(&local);
     }},
    {"FreeOfAnInteriorPointer", "POOL_FREE_OF_UNKNOWN_BLOCK",
     [] {
         auto *p = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 32, Tag("TsVi")));
         ExFreePool(p + 8);
     }},
    {"FreeWithAnotherTag", "POOL_TAG_MISMATCH",
     [] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 8, Tag("TsV1")), Tag("TsV2")); }},
    {"FreeOfABlockHoldingALiveLookasideList", "POOL_FREE_OF_ACTIVE_LOOKASIDE",
     [] {
         struct Extension {
             ULONG flags;
             NPAGED_LOOKASIDE_LIST list;
         };
         auto *ext = static_cast<Extension *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Extension), Tag("TsVx")));
         ExInitializeNPagedLookasideList(&ext->list, NULL, NULL, 0, 16, Tag("TsVl"), 0);
         ExFreePoolWithTag(ext, Tag("TsVx"));
     }},

    // --- Lookaside lists ---
    {"AllocateFromPoisonFilledList", "LOOKASIDE_NOT_INITIALIZED",
     [] {
         auto *list = static_cast<PNPAGED_LOOKASIDE_LIST>(
             ExAllocatePoolWithTag(NonPagedPool, sizeof(NPAGED_LOOKASIDE_LIST), Tag("TsVn")));
         ExAllocateFromNPagedLookasideList(list);
     }},
    {"AllocateFromDeletedList", "LOOKASIDE_NOT_INITIALIZED",
     [] {
         NPAGED_LOOKASIDE_LIST list;
         ExInitializeNPagedLookasideList(&list, NULL, NULL, 0, 16, Tag("TsVn"), 0);
         ExDeleteNPagedLookasideList(&list);
         ExAllocateFromNPagedLookasideList(&list);
     }},
    {"FreeToListOfAnotherSize", "LOOKASIDE_WRONG_SIZE",
     [] {
         NPAGED_LOOKASIDE_LIST small, large;
         ExInitializeNPagedLookasideList(&small, NULL, NULL, 0, 32, Tag("TsVs"), 0);
         ExInitializeNPagedLookasideList(&large, NULL, NULL, 0, 64, Tag("TsVs"), 0);
         ExFreeToNPagedLookasideList(&large, ExAllocateFromNPagedLookasideList(&small));
     }},

    // --- Events ---
    {"WaitOnPoisonFilledEvent", "WAIT_ON_UNINITIALIZED_OBJECT",
     [] {
         auto *event = static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), Tag("TsVe")));
         LARGE_INTEGER zero;
         zero.QuadPart = 0;
         KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &zero);
     }},
    {"SetPoisonFilledEvent", "WAIT_ON_UNINITIALIZED_OBJECT",
     [] {
         auto *event = static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), Tag("TsVe")));
         KeSetEvent(event, IO_NO_INCREMENT, FALSE);
     }},
    {"WaitOnZeroFilledEvent", "WAIT_ON_UNINITIALIZED_OBJECT",
     [] {
         KEVENT event;
         std::memset(&event, 0, sizeof event);
         LARGE_INTEGER zero;
         zero.QuadPart = 0;
         KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero);
     }},

    // --- Device objects ---
    {"CallToAStructureThatIsNoDeviceObject", "UNKNOWN_DEVICE_OBJECT",
     [] {
         TestDevice device;
         DEVICE_OBJECT fake;
         std::memset(&fake, 0, sizeof fake);
         fake.StackSize = 1;
         fake.DriverObject = device->DriverObject;
         IofCallDriver(&fake, AllocateIrpFor(device.get()));
     }},
    {"DeleteOfADeviceWithAnotherAttached", "DEVICE_DELETED_WHILE_ATTACHED",
     [] {
         PDEVICE_OBJECT lower;
         static DRIVER_OBJECT driver;
         IoCreateDevice(&driver, 0, NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower);
         auto *upper = new TestDevice;
         upper->AttachTo(lower);
         IoDeleteDevice(lower);
     }},
    {"CallToADeletedDevice", "UNKNOWN_DEVICE_OBJECT",
     [] {
         PIRP irp;
         PDEVICE_OBJECT gone;
         {
             TestDevice device;
             gone = device.get();
             irp = AllocateIrpFor(gone);
         }
         IofCallDriver(gone, irp);
     }},
};

class VerifierDeathTest : public testing::TestWithParam<FaultCase> {};

TEST_P(VerifierDeathTest, StopsWithTheRuleBroken)
{
    const FaultCase &c = GetParam();
    EXPECT_DEATH(c.fault(), nvtest::VerifierFault(c.rule));
}

INSTANTIATE_TEST_SUITE_P(Rules, VerifierDeathTest, testing::ValuesIn(kFaults),
                         [](const testing::TestParamInfo<FaultCase> &info) { return info.param.name; });

}  // namespace
