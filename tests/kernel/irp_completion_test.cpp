// The completion walk of driver-allocated IRPs: which completion routines
// run, where a STATUS_MORE_PROCESSING_REQUIRED stops the walk and where a
// second completion resumes it, and the device object each routine sees.

#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

using nvtest::AllocateIrpFor;
using nvtest::CompletionProbe;
using nvtest::HoldingDispatch;
using nvtest::TestDevice;

constexpr UCHAR kAll = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;

// A filter attached over a device that keeps whatever it is sent. The filter
// passes each IRP down with IoCopyCurrentIrpStackLocationToNext, its probe
// as completion routine with filterFlags, and returns STATUS_PENDING.
//
// The test is the allocator, with no stack location of its own: location 2
// is the filter's, location 1 the lower device's.
struct FilterOverHolder {
    HoldingDispatch holder;
    TestDevice lower{holder.Routine()};
    TestDevice filter;
    PDEVICE_OBJECT below = nullptr;
    CompletionProbe filterProbe;
    UCHAR filterFlags = kAll;

    FilterOverHolder()
    {
        below = filter.AttachTo(lower.get());
        filter.SetDispatch([this](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            filterProbe.SetOnWithFlags(irp, filterFlags);
            IoMarkIrpPending(irp);
            IofCallDriver(below, irp);
            return STATUS_PENDING;
        });
    }

    // Sends a new IRP whose top completion routine is `top`; the lower
    // device then holds it.
    PIRP Send(CompletionProbe &top)
    {
        PIRP irp = AllocateIrpFor(filter.get());
        if (irp == nullptr)
            return nullptr;
        top.SetOn(irp);
        const NTSTATUS status = IofCallDriver(filter.get(), irp);
        EXPECT_EQ(status, STATUS_PENDING);
        EXPECT_EQ(holder.Held(), irp);
        return irp;
    }
};

// --- Invoke flags -----------------------------------------------------------

struct Outcome {
    const char *name;
    NTSTATUS status;
    bool cancelled;  // IoCancelIrp ran (no cancel routine) before completion
    UCHAR invokedBy; // the control flags any one of which makes the routine run
};

const Outcome kOutcomes[] = {
    {"Success", STATUS_SUCCESS, false, SL_INVOKE_ON_SUCCESS},
    {"Error", STATUS_UNSUCCESSFUL, false, SL_INVOKE_ON_ERROR},
    // A warning is not NT_SUCCESS: it takes the error path.
    {"Warning", STATUS_BUFFER_OVERFLOW, false, SL_INVOKE_ON_ERROR},
    {"CancelledWithStatusCancelled", STATUS_CANCELLED, true, SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL},
    // Cancelled, but the holder finished the request anyway.
    {"CancelledButSucceeded", STATUS_SUCCESS, true, SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_CANCEL},
};

class InvokeFlags : public testing::TestWithParam<std::tuple<Outcome, int>> {};

TEST_P(InvokeFlags, RoutineRunsOnlyWhenAFlagMatchesTheOutcome)
{
    const Outcome &outcome = std::get<0>(GetParam());
    const UCHAR flags = UCHAR(std::get<1>(GetParam()));
    FilterOverHolder chain;
    chain.filterFlags = flags;
    CompletionProbe top;
    top.returns = STATUS_MORE_PROCESSING_REQUIRED;
    PIRP irp = chain.Send(top);
    ASSERT_NE(irp, nullptr);

    if (outcome.cancelled) {
        EXPECT_FALSE(IoCancelIrp(irp)) << "no cancel routine was set";
    }
    chain.holder.Complete(outcome.status, 0x51);

    const bool expected = (flags & outcome.invokedBy) != 0;
    EXPECT_EQ(chain.filterProbe.calls, expected ? 1 : 0);
    // Whether or not the filter's routine ran, the walk goes on to the top.
    EXPECT_EQ(top.calls, 1);
    EXPECT_EQ(top.status, outcome.status);
    EXPECT_EQ(top.cancel, outcome.cancelled ? TRUE : FALSE);
    if (expected) {
        EXPECT_EQ(chain.filterProbe.status, outcome.status);
        EXPECT_EQ(chain.filterProbe.cancel, top.cancel);
    }
    IoFreeIrp(irp);
}

std::string FlagsName(int flags)
{
    std::string name;
    if (flags & SL_INVOKE_ON_SUCCESS)
        name += "Success";
    if (flags & SL_INVOKE_ON_ERROR)
        name += "Error";
    if (flags & SL_INVOKE_ON_CANCEL)
        name += "Cancel";
    return name.empty() ? "None" : name;
}

INSTANTIATE_TEST_SUITE_P(OutcomeByFlags, InvokeFlags,
                         testing::Combine(testing::ValuesIn(kOutcomes),
                                          testing::Values(0, SL_INVOKE_ON_SUCCESS, SL_INVOKE_ON_ERROR,
                                                          SL_INVOKE_ON_CANCEL,
                                                          SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR,
                                                          SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_CANCEL,
                                                          SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL, kAll)),
                         [](const testing::TestParamInfo<InvokeFlags::ParamType> &info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    FlagsName(std::get<1>(info.param));
                         });

// --- Stopping and resuming the walk ------------------------------------------

TEST(CompletionWalk, MoreProcessingRequiredStopsTheWalkAndASecondCompletionResumesAbove)
{
    FilterOverHolder chain;
    chain.filterProbe.returns = STATUS_MORE_PROCESSING_REQUIRED;
    CompletionProbe top;
    top.returns = STATUS_MORE_PROCESSING_REQUIRED;
    PIRP irp = chain.Send(top);
    ASSERT_NE(irp, nullptr);
    ASSERT_EQ(irp->StackCount, 2);
    EXPECT_EQ(irp->CurrentLocation, 1) << "the lower device's location is current while it holds the IRP";

    chain.holder.Complete(STATUS_SUCCESS, 7);

    // The filter's routine ran with the filter's location current, and the
    // walk stopped there.
    EXPECT_EQ(chain.filterProbe.calls, 1);
    EXPECT_EQ(chain.filterProbe.currentLocation, 2);
    EXPECT_EQ(chain.filterProbe.device, chain.filter.get());
    EXPECT_EQ(top.calls, 0);
    EXPECT_EQ(irp->CurrentLocation, 2);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, chain.filter.get());

    // The filter owns the IRP now; it changes the result and completes again.
    irp->IoStatus.Status = STATUS_DEVICE_DATA_ERROR;
    irp->IoStatus.Information = 9;
    IofCompleteRequest(irp, IO_NO_INCREMENT);

    EXPECT_EQ(chain.filterProbe.calls, 1) << "the routine below the resumed walk must not run again";
    EXPECT_EQ(top.calls, 1);
    EXPECT_EQ(top.currentLocation, 3) << "past the top: the allocator has no location of its own";
    EXPECT_EQ(top.device, nullptr);
    EXPECT_EQ(top.status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(irp->IoStatus.Information, 9u);
    IoFreeIrp(irp);
}

TEST(CompletionWalk, RoutinesRunInsideIofCallDriverWhenTheLowerDriverCompletesAtOnce)
{
    TestDevice lower(nvtest::CompleteWith(STATUS_SUCCESS, 3));
    PIRP irp = AllocateIrpFor(lower.get());
    ASSERT_NE(irp, nullptr);
    CompletionProbe top;
    top.returns = STATUS_MORE_PROCESSING_REQUIRED;
    top.SetOn(irp);

    EXPECT_EQ(IofCallDriver(lower.get(), irp), STATUS_SUCCESS);
    EXPECT_EQ(top.calls, 1);
    EXPECT_EQ(top.status, STATUS_SUCCESS);
    EXPECT_EQ(top.irql, PASSIVE_LEVEL);
    EXPECT_EQ(irp->IoStatus.Information, 3u);
    IoFreeIrp(irp);
}

// An allocator that keeps a location of its own (allocating one more and
// stepping onto it) is told its own device when its routine runs.
TEST(CompletionWalk, RoutineOfAnAllocatorWithItsOwnLocationSeesThatLocationsDevice)
{
    TestDevice own;
    TestDevice lower(nvtest::CompleteWith(STATUS_SUCCESS));
    PIRP irp = IoAllocateIrp(CCHAR(lower->StackSize + 1), FALSE);
    ASSERT_NE(irp, nullptr);
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = own.get();
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    CompletionProbe mine;
    mine.returns = STATUS_MORE_PROCESSING_REQUIRED;
    mine.SetOn(irp);

    EXPECT_EQ(IofCallDriver(lower.get(), irp), STATUS_SUCCESS);
    EXPECT_EQ(mine.calls, 1);
    EXPECT_EQ(mine.device, own.get());
    EXPECT_EQ(mine.currentLocation, 2);
    IoFreeIrp(irp);
}

TEST(AllocatedIrp, HasItsStackSizeAndNoCurrentLocation)
{
    for (CCHAR size : {CCHAR(1), CCHAR(3), CCHAR(8)}) {
        SCOPED_TRACE(int(size));
        PIRP irp = IoAllocateIrp(size, FALSE);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(irp->StackCount, size);
        EXPECT_EQ(irp->CurrentLocation, size + 1);
        EXPECT_EQ(irp->Cancel, FALSE);
        EXPECT_EQ(irp->CancelRoutine, nullptr);
        EXPECT_EQ(irp->PendingReturned, FALSE);
        EXPECT_EQ(sim::pool::BlockTag(irp), sim::pool::Tag("Irp "));
        EXPECT_GE(sim::pool::BlockSize(irp), sizeof(IRP) + size * sizeof(IO_STACK_LOCATION));
        IoFreeIrp(irp);
    }
}

// --- The pending flag on the way up -------------------------------------------

// Irp->PendingReturned tells each completion routine whether the location
// below it was marked pending. A filter's routine that lets the walk go on
// marks its own location in turn; where there is no routine, the walk marks
// it, so a filter without one may return the lower driver's STATUS_PENDING.
struct PendingCase {
    const char *name;
    bool lowerPends;
    bool filterHasRoutine;
};

class PendingReturned : public testing::TestWithParam<PendingCase> {};

TEST_P(PendingReturned, ReachesEachRoutineAndTheLocationsAbove)
{
    const PendingCase &c = GetParam();
    HoldingDispatch holder;
    TestDevice lower(c.lowerPends ? holder.Routine() : nvtest::CompleteWith(STATUS_SUCCESS));
    TestDevice filter;
    PDEVICE_OBJECT below = filter.AttachTo(lower.get());
    CompletionProbe filterProbe;
    filterProbe.propagatePending = true;
    filter.SetDispatch([&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        if (c.filterHasRoutine)
            filterProbe.SetOn(irp);
        return IofCallDriver(below, irp);
    });

    PIRP irp = AllocateIrpFor(filter.get());
    ASSERT_NE(irp, nullptr);
    CompletionProbe top;
    top.returns = STATUS_MORE_PROCESSING_REQUIRED;
    top.SetOn(irp);
    EXPECT_EQ(IofCallDriver(filter.get(), irp), c.lowerPends ? STATUS_PENDING : STATUS_SUCCESS);
    if (c.lowerPends)
        holder.Complete(STATUS_SUCCESS);

    EXPECT_EQ(top.calls, 1);
    EXPECT_EQ(top.pendingReturned, c.lowerPends ? TRUE : FALSE);
    if (c.filterHasRoutine) {
        EXPECT_EQ(filterProbe.calls, 1);
        EXPECT_EQ(filterProbe.pendingReturned, c.lowerPends ? TRUE : FALSE);
    }
    IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(Cases, PendingReturned,
                         testing::Values(PendingCase{"LowerPendsFilterPropagates", true, true},
                                         PendingCase{"LowerPendsWalkPropagates", true, false},
                                         PendingCase{"LowerCompletesAtOnce", false, true},
                                         PendingCase{"LowerCompletesAtOnceNoRoutine", false, false}),
                         [](const testing::TestParamInfo<PendingCase> &info) { return info.param.name; });

// --- Passing an IRP down an attached stack -----------------------------------

enum class PassDown { Skip, Copy };

class StackPassing : public testing::TestWithParam<PassDown> {};

TEST_P(StackPassing, LowerDriverSeesTheParametersAndTheResultReachesTheStatusBlock)
{
    const PassDown how = GetParam();
    struct Seen {
        PIO_STACK_LOCATION location = nullptr;
        CHAR currentLocation = 0;
        PDEVICE_OBJECT device = nullptr;
        ULONG code = 0, in = 0, out = 0;
    } upperSaw, lowerSaw;
    auto record = [](Seen &seen, PDEVICE_OBJECT device, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        seen.location = sp;
        seen.currentLocation = irp->CurrentLocation;
        seen.device = device;
        seen.code = sp->Parameters.DeviceIoControl.IoControlCode;
        seen.in = sp->Parameters.DeviceIoControl.InputBufferLength;
        seen.out = sp->Parameters.DeviceIoControl.OutputBufferLength;
    };

    TestDevice lower([&](PDEVICE_OBJECT device, PIRP irp) {
        record(lowerSaw, device, irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0x2A;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    TestDevice upper;
    const CCHAR lowerStackSize = lower->StackSize;
    PDEVICE_OBJECT below = upper.AttachTo(lower.get());
    ASSERT_EQ(below, lower.get());
    EXPECT_EQ(lower->AttachedDevice, upper.get());
    EXPECT_EQ(upper->StackSize, lowerStackSize + 1);

    CompletionProbe upperProbe;
    upperProbe.propagatePending = true;
    upper.SetDispatch([&](PDEVICE_OBJECT device, PIRP irp) {
        record(upperSaw, device, irp);
        if (how == PassDown::Skip) {
            IoSkipCurrentIrpStackLocation(irp);
        } else {
            IoCopyCurrentIrpStackLocationToNext(irp);
            upperProbe.SetOn(irp);
        }
        return IofCallDriver(below, irp);
    });

    const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
    UCHAR in[4] = {1, 2, 3, 4};
    UCHAR out[8] = {};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb = {};
    const std::size_t irpsBefore = sim::io::LiveIrps();
    PIRP irp = IoBuildDeviceIoControlRequest(code, upper.get(), in, sizeof in, out, sizeof out, FALSE, &event,
                                             &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->StackCount, upper->StackSize);

    EXPECT_EQ(IofCallDriver(upper.get(), irp), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 0x2Au);
    EXPECT_EQ(sim::io::LiveIrps(), irpsBefore);

    EXPECT_EQ(upperSaw.device, upper.get());
    EXPECT_EQ(lowerSaw.device, lower.get());
    EXPECT_EQ(lowerSaw.code, code);
    EXPECT_EQ(lowerSaw.in, sizeof in);
    EXPECT_EQ(lowerSaw.out, sizeof out);
    if (how == PassDown::Skip) {
        EXPECT_EQ(lowerSaw.location, upperSaw.location) << "a skipped location is reused as it is";
        EXPECT_EQ(lowerSaw.currentLocation, upperSaw.currentLocation);
        EXPECT_EQ(upperProbe.calls, 0);
    } else {
        EXPECT_EQ(lowerSaw.location, upperSaw.location - 1);
        EXPECT_EQ(lowerSaw.currentLocation, upperSaw.currentLocation - 1);
        EXPECT_EQ(upperProbe.calls, 1);
        EXPECT_EQ(upperProbe.device, upper.get());
    }
}

INSTANTIATE_TEST_SUITE_P(Both, StackPassing, testing::Values(PassDown::Skip, PassDown::Copy),
                         [](const testing::TestParamInfo<PassDown> &info) {
                             return info.param == PassDown::Skip ? "Skip" : "Copy";
                         });

TEST(DeviceStack, DetachingRestoresTheLowerDevice)
{
    TestDevice lower;
    {
        TestDevice upper;
        ASSERT_EQ(upper.AttachTo(lower.get()), lower.get());
        TestDevice top;
        // Attaching to a device that already has one above it attaches to
        // the top of its stack.
        EXPECT_EQ(top.AttachTo(lower.get()), upper.get());
        EXPECT_EQ(top->StackSize, lower->StackSize + 2);
        EXPECT_EQ(upper->AttachedDevice, top.get());
    }
    EXPECT_EQ(lower->AttachedDevice, nullptr);
}

}  // namespace
