// Adapter requests from several threads at once through the stand-in
// stream class: the serializer makes them take turns, none is refused,
// and each completes once with its own command's status.

#include "adapter/adapter.h"
#include "sim_streamclass.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace sc = sim::streamclass;

namespace {

using nvtest::DriverObjectBlock;

struct Request {
    SRB_COMMAND command;
    NTSTATUS expected;
};

const Request kRequests[] = {
    {SRB_PAGING_OUT_DRIVER, STATUS_SUCCESS},
    {SRB_SURPRISE_REMOVAL, STATUS_SUCCESS},
    {SRB_CHANGE_POWER_STATE, STATUS_SUCCESS},
    {SRB_OPEN_DEVICE_INSTANCE, STATUS_NOT_IMPLEMENTED},
    {SRB_UNKNOWN_DEVICE_COMMAND, STATUS_NOT_IMPLEMENTED},
    {SRB_READ_DATA, STATUS_NOT_IMPLEMENTED},
    {SRB_DEVICE_METHOD, STATUS_NOT_IMPLEMENTED},
};

TEST(CaptureSpineConcurrency, ManyThreadsSendAdapterRequestsAtOnce)
{
    UNICODE_STRING path;
    static const WCHAR pathText[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\norvane";
    RtlInitUnicodeString(&path, pathText);
    DriverObjectBlock driver;
    ASSERT_EQ(DriverEntry(&driver.object, &path), STATUS_SUCCESS);
    DriverObjectBlock bus;
    PDEVICE_OBJECT pdo = nullptr;
    ASSERT_EQ(IoCreateDevice(&bus.object, 0, NULL, FILE_DEVICE_USB, 0, FALSE, &pdo), STATUS_SUCCESS);
    pdo->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    sc::Adapter *adapter = sc::AddAdapter(&driver.object, pdo);
    ASSERT_NE(adapter, nullptr);
    auto *extension = static_cast<PADAPTER_EXTENSION>(sc::HwDeviceExtensionOf(adapter));

    // The driver relies on the first adapter request arriving alone (it
    // sets up the serializer without a lock), as SRB_INITIALIZE_DEVICE does.
    ASSERT_EQ(sc::SendAdapterRequest(adapter, SRB_PAGING_OUT_DRIVER).status, STATUS_SUCCESS);

    constexpr int kThreads = 8;
    constexpr int kPerThread = 300;
    std::atomic<int> ready{0};
    std::atomic<int> wrong{0};
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            ready++;
            while (ready.load() < kThreads)
                std::this_thread::yield();
            for (int i = 0; i < kPerThread; i++) {
                const Request &r = kRequests[std::size_t(t + i) % (sizeof kRequests / sizeof kRequests[0])];
                sc::CommandData data{};
                data.DeviceState = PowerDeviceD0;
                const sc::Completion c = sc::SendAdapterRequest(adapter, r.command, data);
                if (c.status != r.expected)
                    wrong++;
                done++;
            }
        });
    }
    for (std::thread &t : threads)
        t.join();

    EXPECT_EQ(done.load(), kThreads * kPerThread);
    EXPECT_EQ(wrong.load(), 0) << "requests completed with another command's status";
    EXPECT_EQ(sc::PendingRequests(adapter), 0u);
    EXPECT_EQ(extension->AdapterSerializer.Busy, 0u);
    EXPECT_TRUE(IsListEmpty(&extension->AdapterSerializer.Pending));
    EXPECT_EQ(extension->DevicePowerState, PowerDeviceD0);

    sc::DestroyAdapter(adapter);
    IoDeleteDevice(pdo);
    driver.object.DriverUnload(&driver.object);
}

}  // namespace
