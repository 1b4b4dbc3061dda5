// The I/O manager's own IRPs (IoBuildDeviceIoControlRequest): what the
// driver finds in them, and what the I/O manager does when their completion
// reaches the top: status block, event, METHOD_BUFFERED output copied back,
// the IRP freed.

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using nvtest::HoldingDispatch;
using nvtest::TestDevice;

const ULONG kBufferedIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x810, METHOD_BUFFERED, FILE_ANY_ACCESS);
const ULONG kNeitherIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x811, METHOD_NEITHER, FILE_ANY_ACCESS);

// What a device control request carried when the driver saw it.
struct SeenRequest {
    int calls = 0;
    UCHAR major = 0xFF;
    ULONG code = 0, inLength = 0, outLength = 0;
    UCHAR systemBuffer[8] = {};
    CHAR stackCount = 0;
};

// Answers a buffered request: records it, writes `reply` into the system
// buffer and completes with `status`, Information = the reply's length.
nvtest::DispatchFn BufferedAnswer(SeenRequest &seen, const char *reply, NTSTATUS status)
{
    return [&seen, reply, status](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        seen.calls++;
        seen.major = sp->MajorFunction;
        seen.code = sp->Parameters.DeviceIoControl.IoControlCode;
        seen.inLength = sp->Parameters.DeviceIoControl.InputBufferLength;
        seen.outLength = sp->Parameters.DeviceIoControl.OutputBufferLength;
        seen.stackCount = irp->StackCount;
        std::memcpy(seen.systemBuffer, irp->AssociatedIrp.SystemBuffer, seen.inLength);
        const std::size_t n = std::strlen(reply);
        std::memcpy(irp->AssociatedIrp.SystemBuffer, reply, n);
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = n;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    };
}

TEST(IoManagerIrp, BufferedRequestReachesTheDriverAndItsOutputIsCopiedBack)
{
    for (const BOOLEAN internal : {FALSE, TRUE}) {
        SCOPED_TRACE(internal ? "internal" : "external");
        SeenRequest seen;
        TestDevice device(BufferedAnswer(seen, "0123456789", STATUS_SUCCESS));
        UCHAR in[4] = {'a', 'b', 'c', 'd'};
        UCHAR out[16];
        std::memset(out, 0xEE, sizeof out);
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb;
        iosb.Status = STATUS_UNSUCCESSFUL;
        iosb.Information = 0xBAD;
        const std::size_t irpsBefore = sim::io::LiveIrps();

        PIRP irp = IoBuildDeviceIoControlRequest(kBufferedIoctl, device.get(), in, sizeof in, out, sizeof out,
                                                 internal, &event, &iosb);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(irp->UserIosb, &iosb);
        EXPECT_EQ(irp->UserEvent, &event);
        EXPECT_EQ(KeReadStateEvent(&event), 0) << "nothing is signalled before the request is sent";
        EXPECT_EQ(IofCallDriver(device.get(), irp), STATUS_SUCCESS);

        EXPECT_EQ(seen.calls, 1);
        EXPECT_EQ(seen.major, internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(seen.code, kBufferedIoctl);
        EXPECT_EQ(seen.inLength, sizeof in);
        EXPECT_EQ(seen.outLength, sizeof out);
        EXPECT_EQ(seen.stackCount, device->StackSize);
        EXPECT_EQ(std::memcmp(seen.systemBuffer, in, sizeof in), 0) << "the input is in the system buffer";

        EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
        EXPECT_EQ(iosb.Information, 10u);
        EXPECT_NE(KeReadStateEvent(&event), 0);
        EXPECT_EQ(std::memcmp(out, "0123456789", 10), 0);
        for (std::size_t i = 10; i < sizeof out; i++)
            EXPECT_EQ(out[i], 0xEE) << "byte " << i << " is past Information and must stay untouched";
        EXPECT_EQ(sim::io::LiveIrps(), irpsBefore) << "the I/O manager frees its IRP at completion";
    }
}

// When the driver pends, nothing reaches the caller until completion; then
// the status block and the event carry the result, as the synchronous
// pattern (wait on the event, take the status block's Status) expects.
class IoManagerIrpResult : public testing::TestWithParam<NTSTATUS> {};

TEST_P(IoManagerIrpResult, PendedRequestReportsThroughStatusBlockAndEventAtCompletion)
{
    const NTSTATUS final = GetParam();
    HoldingDispatch holder;
    TestDevice device(holder.Routine());
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    iosb.Status = 0x7777;
    iosb.Information = 0x7777;
    const std::size_t irpsBefore = sim::io::LiveIrps();
    PIRP irp = IoBuildDeviceIoControlRequest(kNeitherIoctl, device.get(), NULL, 0, NULL, 0, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);

    ASSERT_EQ(IofCallDriver(device.get(), irp), STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(iosb.Status, 0x7777);
    EXPECT_EQ(sim::io::LiveIrps(), irpsBefore + 1);

    holder.Complete(final, 5);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, final);
    EXPECT_EQ(iosb.Information, 5u);
    EXPECT_EQ(sim::io::LiveIrps(), irpsBefore);
}

INSTANTIATE_TEST_SUITE_P(FinalStatus, IoManagerIrpResult,
                         testing::Values(STATUS_SUCCESS, STATUS_UNSUCCESSFUL, STATUS_CANCELLED,
                                         STATUS_BUFFER_OVERFLOW));

TEST(IoManagerIrp, NeitherMethodPassesTheCallersBuffersAsTheyAre)
{
    UCHAR in[3] = {7, 8, 9};
    UCHAR out[5] = {};
    PVOID seenIn = nullptr, seenOut = nullptr, seenSystem = reinterpret_cast<PVOID>(1);
    TestDevice device([&](PDEVICE_OBJECT, PIRP irp) {
        seenIn = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer;
        seenOut = irp->UserBuffer;
        seenSystem = irp->AssociatedIrp.SystemBuffer;
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    PIRP irp = IoBuildDeviceIoControlRequest(kNeitherIoctl, device.get(), in, sizeof in, out, sizeof out, TRUE,
                                             &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IofCallDriver(device.get(), irp), STATUS_SUCCESS);
    EXPECT_EQ(seenIn, in);
    EXPECT_EQ(seenOut, out);
    EXPECT_EQ(seenSystem, nullptr);
}

// Each allocation IoBuildDeviceIoControlRequest makes may fail; whichever
// does, it returns NULL and leaves nothing allocated.
TEST(IoManagerIrp, AllocationFailureAtAnyStepLeavesNothingBehind)
{
    SeenRequest seen;
    TestDevice device(BufferedAnswer(seen, "ok", STATUS_SUCCESS));
    UCHAR in[4] = {}, out[4] = {};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    nvtest::InjectionScope injection;
    const std::size_t blocksBefore = sim::pool::OutstandingBlocks();
    const std::size_t irpsBefore = sim::io::LiveIrps();
    int failures = 0;
    PIRP irp = nullptr;
    for (std::uint64_t n = 1; n <= 16 && irp == nullptr; n++) {
        const std::uint64_t injectedBefore = sim::pool::InjectedFailures();
        sim::pool::FailNth(n);
        irp = IoBuildDeviceIoControlRequest(kBufferedIoctl, device.get(), in, sizeof in, out, sizeof out, FALSE,
                                            &event, &iosb);
        sim::pool::ClearInjection();
        if (irp != nullptr) {
            EXPECT_EQ(sim::pool::InjectedFailures(), injectedBefore) << "succeeded although allocation " << n
                                                                     << " failed";
            break;
        }
        failures++;
        EXPECT_EQ(sim::pool::InjectedFailures(), injectedBefore + 1);
        EXPECT_EQ(sim::pool::OutstandingBlocks(), blocksBefore) << "after failing allocation " << n;
        EXPECT_EQ(sim::io::LiveIrps(), irpsBefore) << "after failing allocation " << n;
    }
    ASSERT_NE(irp, nullptr);
    EXPECT_GE(failures, 1);
    EXPECT_EQ(IofCallDriver(device.get(), irp), STATUS_SUCCESS);
    EXPECT_EQ(seen.calls, 1);
}

// The synchronous pattern with a completion routine: the routine holds the
// I/O manager's IRP back with STATUS_MORE_PROCESSING_REQUIRED, the caller
// completes it a second time, and only then does the I/O manager fill the
// status block, signal the event and free the IRP.
NTSTATUS NTAPI HoldBack(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST(IoManagerIrp, HeldBackByItsCompletionRoutineItEndsWhenCompletedAgain)
{
    TestDevice device(nvtest::CompleteWith(STATUS_DEVICE_DATA_ERROR, 3));
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    iosb.Status = STATUS_PENDING;
    iosb.Information = 0;
    const std::size_t irpsBefore = sim::io::LiveIrps();
    PIRP irp = IoBuildDeviceIoControlRequest(kNeitherIoctl, device.get(), nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    IoSetCompletionRoutine(irp, HoldBack, &event, TRUE, TRUE, TRUE);

    EXPECT_EQ(IofCallDriver(device.get(), irp), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(KeReadStateEvent(&event), 1) << "the routine ran";
    EXPECT_EQ(iosb.Status, STATUS_PENDING) << "held back: the status block is not filled yet";
    EXPECT_EQ(sim::io::LiveIrps(), irpsBefore + 1);

    KeClearEvent(&event);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(iosb.Information, 3u);
    EXPECT_EQ(sim::io::LiveIrps(), irpsBefore);
}

}  // namespace
