// What one pool block, one event hand-off and one IRP round trip cost in the
// stand-in kernel, with its verifier bookkeeping. A capture stream makes
// several hundred such round trips a second, so these set the ceiling on
// how fast a simulated receiver can stream.

#include "sim_kernel.h"

#include <benchmark/benchmark.h>

namespace {

NTSTATUS NTAPI CompleteAtOnce(PDEVICE_OBJECT, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 188;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FreeOnCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID)
{
    IoFreeIrp(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

struct Device {
    DRIVER_OBJECT driver{};
    PDEVICE_OBJECT device = nullptr;
    Device()
    {
        driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = CompleteAtOnce;
        IoCreateDevice(&driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    }
    ~Device() { IoDeleteDevice(device); }
};

void BM_PoolAllocateFree(benchmark::State &state)
{
    const auto size = SIZE_T(state.range(0));
    for (auto _ : state) {
        PVOID p = ExAllocatePoolWithTag(NonPagedPool, size, sim::pool::Tag("Wdm "));
        benchmark::DoNotOptimize(p);
        ExFreePool(p);
    }
}
BENCHMARK(BM_PoolAllocateFree)->Arg(72)->Arg(24064);

void BM_IrpRoundTrip(benchmark::State &state)
{
    Device d;
    for (auto _ : state) {
        PIRP irp = IoAllocateIrp(d.device->StackSize, FALSE);
        PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
        sp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, FreeOnCompletion, nullptr, TRUE, TRUE, TRUE);
        benchmark::DoNotOptimize(IoCallDriver(d.device, irp));
    }
}
BENCHMARK(BM_IrpRoundTrip);

void BM_SynchronousIoctl(benchmark::State &state)
{
    Device d;
    for (auto _ : state) {
        KEVENT event;
        IO_STATUS_BLOCK iosb;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(0x220003, d.device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
        if (IoCallDriver(d.device, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
}
BENCHMARK(BM_SynchronousIoctl);

void BM_SpinLockAcquireRelease(benchmark::State &state)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    for (auto _ : state) {
        KIRQL irql;
        KeAcquireSpinLock(&lock, &irql);
        KeReleaseSpinLock(&lock, irql);
    }
}
BENCHMARK(BM_SpinLockAcquireRelease);

}  // namespace

BENCHMARK_MAIN();
