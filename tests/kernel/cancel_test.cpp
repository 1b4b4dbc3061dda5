// IoCancelIrp and cancel routines: the flag, the routine called once under
// the cancel spin lock and cleared before it runs, and the return value
// telling whether a routine ran.

#include "test_support.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

using nvtest::AllocateIrpFor;
using nvtest::CompletionProbe;
using nvtest::HoldingDispatch;
using nvtest::RaisedIrql;
using nvtest::TestDevice;

// What the cancel routine saw. The holder keeps a pointer to it in
// DriverContext[0], which is the holder's while the IRP is its own.
struct CancelRecord {
    bool completeInRoutine = true;

    int calls = 0;
    PDRIVER_CANCEL routineSeen = nullptr;
    BOOLEAN cancelSeen = FALSE;
    KIRQL irqlInside = 0;
    KIRQL cancelIrql = 0;
    PDEVICE_OBJECT device = nullptr;
};

VOID NTAPI RecordingCancel(PDEVICE_OBJECT device, PIRP irp)
{
    auto *record = static_cast<CancelRecord *>(irp->Tail.Overlay.DriverContext[0]);
    record->calls++;
    record->routineSeen = irp->CancelRoutine;
    record->cancelSeen = irp->Cancel;
    record->irqlInside = KeGetCurrentIrql();
    record->cancelIrql = irp->CancelIrql;
    record->device = device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    if (record->completeInRoutine) {
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

// Holds each IRP it is sent, cancellable through RecordingCancel.
struct CancellableHolder {
    CancelRecord record;
    HoldingDispatch holder;
    TestDevice device{[this](PDEVICE_OBJECT d, PIRP irp) {
        irp->Tail.Overlay.DriverContext[0] = &record;
        IoSetCancelRoutine(irp, &RecordingCancel);
        return holder.Routine()(d, irp);
    }};

    // Sends a new IRP, with `top` as the allocator's completion routine.
    PIRP Send(CompletionProbe &top)
    {
        PIRP irp = AllocateIrpFor(device.get());
        if (irp == nullptr)
            return nullptr;
        top.returns = STATUS_MORE_PROCESSING_REQUIRED;
        top.SetOn(irp);
        EXPECT_EQ(IofCallDriver(device.get(), irp), STATUS_PENDING);
        return irp;
    }
};

class CancelRoutine : public testing::TestWithParam<std::tuple<KIRQL, bool>> {};

TEST_P(CancelRoutine, RunsOnceUnderTheCancelLockAndIsClearedBeforeItRuns)
{
    const KIRQL callerIrql = std::get<0>(GetParam());
    CancellableHolder target;
    target.record.completeInRoutine = std::get<1>(GetParam());
    CompletionProbe top;
    PIRP irp = target.Send(top);
    ASSERT_NE(irp, nullptr);
    ASSERT_EQ(irp->CancelRoutine, &RecordingCancel);

    {
        RaisedIrql raised(callerIrql);
        EXPECT_TRUE(IoCancelIrp(irp));
        EXPECT_EQ(KeGetCurrentIrql(), callerIrql) << "releasing the cancel lock restores the caller's IRQL";
        // Cancelled again while the routine has not yet, or has already,
        // finished the IRP: there is no routine left to call.
        EXPECT_FALSE(IoCancelIrp(irp));
    }

    EXPECT_EQ(target.record.calls, 1);
    EXPECT_EQ(target.record.routineSeen, nullptr) << "IoCancelIrp clears the routine before calling it";
    EXPECT_TRUE(target.record.cancelSeen);
    EXPECT_EQ(target.record.irqlInside, DISPATCH_LEVEL) << "the routine runs holding the cancel spin lock";
    EXPECT_EQ(target.record.cancelIrql, callerIrql);
    EXPECT_EQ(target.record.device, target.device.get());
    EXPECT_TRUE(irp->Cancel);

    if (!target.record.completeInRoutine) {
        EXPECT_EQ(top.calls, 0);
        target.holder.Complete(STATUS_CANCELLED);
    }
    EXPECT_EQ(top.calls, 1);
    EXPECT_EQ(top.status, STATUS_CANCELLED);
    EXPECT_TRUE(top.cancel);
    IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(CallerIrqlAndWhoCompletes, CancelRoutine,
                         testing::Combine(testing::Values(KIRQL(PASSIVE_LEVEL), KIRQL(DISPATCH_LEVEL)),
                                          testing::Bool()),
                         [](const testing::TestParamInfo<CancelRoutine::ParamType> &info) {
                             return std::string(std::get<0>(info.param) == PASSIVE_LEVEL ? "Passive" : "Dispatch") +
                                    (std::get<1>(info.param) ? "_RoutineCompletes" : "_HolderCompletesLater");
                         });

TEST(IoCancelIrp, WithoutARoutineSetsCancelAndReturnsFalse)
{
    HoldingDispatch holder;
    TestDevice device(holder.Routine());
    PIRP irp = AllocateIrpFor(device.get());
    ASSERT_NE(irp, nullptr);
    CompletionProbe top;
    top.returns = STATUS_MORE_PROCESSING_REQUIRED;
    top.SetOn(irp);
    ASSERT_EQ(IofCallDriver(device.get(), irp), STATUS_PENDING);

    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    holder.Complete(STATUS_CANCELLED);
    EXPECT_EQ(top.calls, 1);
    EXPECT_TRUE(top.cancel);
    IoFreeIrp(irp);
}

// A holder that takes its IRP back clears the routine first; a later
// cancel then finds nothing to call.
TEST(IoCancelIrp, RoutineClearedByTheHolderIsNeverCalled)
{
    CancellableHolder target;
    CompletionProbe top;
    PIRP irp = target.Send(top);
    ASSERT_NE(irp, nullptr);

    EXPECT_EQ(IoSetCancelRoutine(irp, NULL), &RecordingCancel);
    target.holder.Complete(STATUS_SUCCESS, 4);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_EQ(target.record.calls, 0);
    EXPECT_EQ(top.status, STATUS_SUCCESS);
    IoFreeIrp(irp);
}

// Cancelled before it was ever sent: the flag is there for the driver that
// receives it to see.
TEST(IoCancelIrp, CancelBeforeSendingIsSeenByTheReceivingDriver)
{
    BOOLEAN seen = FALSE;
    TestDevice device([&](PDEVICE_OBJECT, PIRP irp) {
        seen = irp->Cancel;
        irp->IoStatus.Status = irp->Cancel ? STATUS_CANCELLED : STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        const NTSTATUS status = irp->IoStatus.Status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    });
    PIRP irp = AllocateIrpFor(device.get());
    ASSERT_NE(irp, nullptr);
    CompletionProbe top;
    top.returns = STATUS_MORE_PROCESSING_REQUIRED;
    top.SetOn(irp);

    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_EQ(IofCallDriver(device.get(), irp), STATUS_CANCELLED);
    EXPECT_TRUE(seen);
    EXPECT_EQ(top.calls, 1);
    IoFreeIrp(irp);
}

}  // namespace
