// Driver images loaded the way the I/O manager loads them: the good test
// driver served and unloaded cleanly, and each faulty one stopped by the
// verifier at the fault it makes.

#include "test_driver.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

namespace {

using nvtest::CompletionProbe;

struct LoadedDriver {
    sim::io::DriverImage *image = nullptr;
    NTSTATUS entryStatus = STATUS_PENDING;
    std::string error;

    LoadedDriver(const char *path, const char *service)
    {
        image = sim::io::LoadDriver(path, service, &entryStatus, &error);
    }
    PDRIVER_OBJECT Driver() const { return sim::io::DriverObjectOf(image); }
    PDEVICE_OBJECT Device() const { return Driver()->DeviceObject; }
    void Unload()
    {
        sim::io::UnloadDriver(image);
        image = nullptr;
    }
};

struct PingResult {
    NTSTATUS status = STATUS_PENDING;
    IO_STATUS_BLOCK iosb = {};
    ULONG reply[2] = {0, 0};
};

// Sends IOCTL_NVTEST_PING the synchronous way: build, call, and wait on the
// event if the driver answers STATUS_PENDING.
PingResult Ping(PDEVICE_OBJECT device, ULONG value, ULONG outputLength = NVTEST_PING_INFORMATION)
{
    PingResult r;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_NVTEST_PING, device, &value, sizeof value, r.reply, outputLength,
                                             FALSE, &event, &r.iosb);
    if (irp == nullptr) {
        r.status = STATUS_INSUFFICIENT_RESOURCES;
        return r;
    }
    r.status = IofCallDriver(device, irp);
    if (r.status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        r.status = r.iosb.Status;
    }
    return r;
}

TEST(GoodDriver, LoadsAnswersRequestsAndUnloadsCleanly)
{
    sim::debug::ClearLog();
    const std::size_t devicesBefore = sim::io::LiveDeviceObjects();
    LoadedDriver good(GOOD_DRIVER_PATH, "nvtest_good");
    ASSERT_NE(good.image, nullptr) << good.error;
    ASSERT_EQ(good.entryStatus, STATUS_SUCCESS);

    PDRIVER_OBJECT driver = good.Driver();
    EXPECT_NE(driver->DriverUnload, nullptr);
    EXPECT_NE(driver->MajorFunction[IRP_MJ_DEVICE_CONTROL], nullptr);
    ASSERT_NE(good.Device(), nullptr);
    EXPECT_EQ(good.Device()->DriverObject, driver);
    EXPECT_EQ(sim::io::LiveDeviceObjects(), devicesBefore + 1);
    const std::string log = sim::debug::Log();
    EXPECT_NE(log.find(NVTEST_ENTRY_MESSAGE), std::string::npos) << log;
    EXPECT_NE(log.find("\\Services\\nvtest_good\n"), std::string::npos)
        << "DriverEntry gets the service's registry path: " << log;

    for (ULONG value : {41u, 7u}) {
        const PingResult r = Ping(good.Device(), value);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.iosb.Status, STATUS_SUCCESS);
        EXPECT_EQ(r.iosb.Information, NVTEST_PING_INFORMATION);
        EXPECT_EQ(r.reply[0], NVTEST_PING_REPLY);
        EXPECT_EQ(r.reply[1], value + 1);
    }
    const PingResult tooSmall = Ping(good.Device(), 1, sizeof(ULONG));
    EXPECT_EQ(tooSmall.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(tooSmall.iosb.Information, 0u);

    good.Unload();
    EXPECT_EQ(sim::io::LiveDeviceObjects(), devicesBefore);
    const std::string unloadLog = sim::debug::Log();
    EXPECT_NE(unloadLog.find("nvtest: answered 2 ping(s)\n"), std::string::npos) << unloadLog;
    EXPECT_NE(unloadLog.find(NVTEST_UNLOAD_MESSAGE), std::string::npos);
}

// Major functions the driver installed no routine for fail with
// STATUS_INVALID_DEVICE_REQUEST, completed by the I/O manager's default.
TEST(GoodDriver, RequestsItDoesNotHandleFailAsInvalidDeviceRequests)
{
    LoadedDriver good(GOOD_DRIVER_PATH, "nvtest_good");
    ASSERT_NE(good.image, nullptr) << good.error;
    ASSERT_EQ(good.entryStatus, STATUS_SUCCESS);

    for (const UCHAR major : {UCHAR(IRP_MJ_CREATE), UCHAR(IRP_MJ_READ), UCHAR(IRP_MJ_INTERNAL_DEVICE_CONTROL),
                              UCHAR(IRP_MJ_PNP)}) {
        SCOPED_TRACE(int(major));
        PIRP irp = nvtest::AllocateIrpFor(good.Device(), major);
        ASSERT_NE(irp, nullptr);
        CompletionProbe top;
        top.returns = STATUS_MORE_PROCESSING_REQUIRED;
        top.SetOn(irp);
        EXPECT_EQ(IofCallDriver(good.Device(), irp), STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(top.calls, 1);
        EXPECT_EQ(top.status, STATUS_INVALID_DEVICE_REQUEST);
        IoFreeIrp(irp);
    }

    // A device control code the driver does not know: its own answer.
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x9FF, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                             good.Device(), NULL, 0, NULL, 0, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IofCallDriver(good.Device(), irp), STATUS_INVALID_DEVICE_REQUEST);
    good.Unload();
}

// Whichever of DriverEntry's allocations fails, it fails cleanly: the
// unload check then finds nothing of it left.
TEST(GoodDriver, DriverEntryUnwindsAtEveryAllocationFailure)
{
    nvtest::InjectionScope injection;
    int failures = 0;
    for (std::uint64_t n = 1; n <= 16; n++) {
        SCOPED_TRACE(n);
        sim::debug::ClearLog();
        sim::pool::FailNth(n);
        LoadedDriver good(GOOD_DRIVER_PATH, "nvtest_good");
        sim::pool::ClearInjection();
        ASSERT_NE(good.image, nullptr) << good.error;
        if (NT_SUCCESS(good.entryStatus)) {
            EXPECT_EQ(Ping(good.Device(), 3).status, STATUS_SUCCESS);
            good.Unload();
            break;
        }
        failures++;
        EXPECT_EQ(good.entryStatus, STATUS_INSUFFICIENT_RESOURCES);
        good.Unload();  // faults if the failed DriverEntry left anything
        EXPECT_EQ(sim::debug::Log().find(NVTEST_UNLOAD_MESSAGE), std::string::npos)
            << "DriverUnload must not run after a failed DriverEntry";
    }
    EXPECT_GE(failures, 2) << "DriverEntry makes two allocations";
}

TEST(FailedDriverEntry, UnloadRoutineIsNotCalledAndNothingIsLeft)
{
    sim::debug::ClearLog();
    const std::size_t devicesBefore = sim::io::LiveDeviceObjects();
    LoadedDriver failing(ENTRY_FAILS_DRIVER_PATH, "nvtest_entry_fails");
    ASSERT_NE(failing.image, nullptr) << failing.error;
    EXPECT_EQ(failing.entryStatus, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(sim::io::LiveDeviceObjects(), devicesBefore);
    failing.Unload();
    EXPECT_EQ(sim::debug::Log().find(NVTEST_UNLOAD_MESSAGE), std::string::npos);
}

TEST(LoadDriver, FileThatIsNoImageReportsTheLoadersError)
{
    NTSTATUS status = STATUS_PENDING;
    std::string error;
    EXPECT_EQ(sim::io::LoadDriver("no-such-driver.so", "nvtest_missing", &status, &error), nullptr);
    EXPECT_FALSE(error.empty());
}

// --- Faulty drivers ---------------------------------------------------------------

struct DriverFault {
    const char *name;
    const char *path;
    const char *rule;
    // What makes the driver show its fault, once it is loaded.
    std::function<void(LoadedDriver &)> trigger;
};

void SendOwnIrp(LoadedDriver &d)
{
    PIRP irp = nvtest::AllocateIrpFor(d.Device(), IRP_MJ_DEVICE_CONTROL);
    IoGetNextIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode = IOCTL_NVTEST_PING;
    auto *top = new CompletionProbe;  // the process ends in the fault
    top->returns = STATUS_MORE_PROCESSING_REQUIRED;
    top->SetOn(irp);
    IofCallDriver(d.Device(), irp);
}

void SendPing(LoadedDriver &d)
{
    Ping(d.Device(), 1);
}

void JustUnload(LoadedDriver &d)
{
    d.Unload();
}

const DriverFault kDriverFaults[] = {
    {"CompletesTwice", DOUBLE_COMPLETE_DRIVER_PATH, "IRP_COMPLETED_TWICE", SendOwnIrp},
    {"WaitsAtDispatchLevel", WAIT_AT_DISPATCH_DRIVER_PATH, "WAIT_AT_DISPATCH_LEVEL", SendPing},
    {"LeaksAPoolBlock", LEAK_POOL_DRIVER_PATH, "POOL_LEAK_AT_UNLOAD", JustUnload},
    {"LeaksItsDeviceObject", LEAK_DEVICE_DRIVER_PATH, "DEVICE_OBJECT_NOT_DELETED_AT_UNLOAD", JustUnload},
    {"LeaksALookasideList", LEAK_LOOKASIDE_DRIVER_PATH, "LOOKASIDE_NOT_DELETED_AT_UNLOAD", JustUnload},
    {"FailedEntryLeaksAPoolBlock", ENTRY_FAILS_LEAKING_DRIVER_PATH, "POOL_LEAK_AT_UNLOAD", JustUnload},
};

class DriverFaultDeathTest : public testing::TestWithParam<DriverFault> {};

TEST_P(DriverFaultDeathTest, VerifierStopsTheDriverAtItsFault)
{
    const DriverFault &f = GetParam();
    EXPECT_DEATH(
        {
            LoadedDriver d(f.path, f.name);
            if (d.image != nullptr)
                f.trigger(d);
            else  // the child then does not die, and the test says why
                std::fprintf(stderr, "cannot load %s: %s\n", f.path, d.error.c_str());
        },
        nvtest::VerifierFault(f.rule));
}

INSTANTIATE_TEST_SUITE_P(Drivers, DriverFaultDeathTest, testing::ValuesIn(kDriverFaults),
                         [](const testing::TestParamInfo<DriverFault> &info) { return info.param.name; });

}  // namespace
