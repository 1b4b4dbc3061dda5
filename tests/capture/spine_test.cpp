// The capture minidriver's entry points through the stand-in stream class:
// DriverEntry's registration, adapter requests answered by command code
// through the serializer, and the cancel, time-out and device event entry
// points.

#include "adapter/adapter.h"
#include "sim_streamclass.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace sc = sim::streamclass;

namespace {

using nvtest::DriverObjectBlock;

class CaptureSpine : public testing::Test {
protected:
    void SetUp() override
    {
        static const WCHAR path[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\norvane";
        RtlInitUnicodeString(&registryPath, path);
        DebugLevel = 7;
        ASSERT_EQ(DriverEntry(&driver.object, &registryPath), STATUS_SUCCESS);
        ASSERT_NE(driver.object.DriverUnload, nullptr) << "the class keeps no registration";

        ASSERT_EQ(IoCreateDevice(&bus.object, 0, NULL, FILE_DEVICE_USB, 0, FALSE, &pdo), STATUS_SUCCESS);
        pdo->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        adapter = sc::AddAdapter(&driver.object, pdo, &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        ASSERT_NE(adapter, nullptr);
        extension = static_cast<PADAPTER_EXTENSION>(sc::HwDeviceExtensionOf(adapter));
    }

    void TearDown() override
    {
        if (adapter != nullptr)
            sc::DestroyAdapter(adapter);
        if (pdo != nullptr)
            IoDeleteDevice(pdo);
        if (driver.object.DriverUnload != NULL)
            driver.object.DriverUnload(&driver.object);
    }

    // The adapter's serializer is set up by its first request.
    void FirstRequest() { ASSERT_EQ(sc::SendAdapterRequest(adapter, SRB_PAGING_OUT_DRIVER).status, STATUS_SUCCESS); }

    std::vector<unsigned char> ExtensionBytes() const
    {
        const auto *p = reinterpret_cast<const unsigned char *>(extension);
        return std::vector<unsigned char>(p, p + sizeof(ADAPTER_EXTENSION));
    }

    UNICODE_STRING registryPath{};
    DriverObjectBlock driver;
    DriverObjectBlock bus;
    PDEVICE_OBJECT pdo = nullptr;
    sc::Adapter *adapter = nullptr;
    PADAPTER_EXTENSION extension = nullptr;
};

TEST_F(CaptureSpine, DriverEntrySetsTheDebugLevelOfItsBuild)
{
#if NORVANE_WIN2000
    EXPECT_EQ(DebugLevel, 2u);
#else
    EXPECT_EQ(DebugLevel, 1u);
#endif
}

TEST_F(CaptureSpine, TheClassGivesAZeroFilledExtensionOfTheAdaptersSize)
{
    const auto *device = reinterpret_cast<const char *>(sc::DeviceObjectOf(adapter));
    const auto *hw = reinterpret_cast<const char *>(extension);
    EXPECT_EQ(sim::pool::BlockSize(device) - std::size_t(hw - device), sizeof(ADAPTER_EXTENSION));
    const std::vector<unsigned char> zero(sizeof(ADAPTER_EXTENSION), 0);
    EXPECT_EQ(ExtensionBytes(), zero);
}

TEST_F(CaptureSpine, TheFirstRequestSetsUpAnIdleSerializer)
{
    EXPECT_EQ(extension->SerializerReady, 0u);
    FirstRequest();
    EXPECT_EQ(extension->SerializerReady, 1u);
    EXPECT_EQ(extension->AdapterSerializer.Busy, 0u);
    EXPECT_TRUE(IsListEmpty(&extension->AdapterSerializer.Pending));
}

struct CodeCase {
    const char *name;
    SRB_COMMAND command;
    NTSTATUS expected;
};

const CodeCase kCodeCases[] = {
    {"open device instance", SRB_OPEN_DEVICE_INSTANCE, STATUS_NOT_IMPLEMENTED},
    {"close device instance", SRB_CLOSE_DEVICE_INSTANCE, STATUS_NOT_IMPLEMENTED},
    {"unknown device command", SRB_UNKNOWN_DEVICE_COMMAND, STATUS_NOT_IMPLEMENTED},
    {"read data (a stream code)", SRB_READ_DATA, STATUS_NOT_IMPLEMENTED},
    {"set stream state (a stream code)", SRB_SET_STREAM_STATE, STATUS_NOT_IMPLEMENTED},
    {"end flush (the last stream code)", SRB_END_FLUSH, STATUS_NOT_IMPLEMENTED},
    {"device method (above surprise removal)", SRB_DEVICE_METHOD, STATUS_NOT_IMPLEMENTED},
    {"a code nobody defined", SRB_COMMAND(0x1FF), STATUS_NOT_IMPLEMENTED},
    {"paging out", SRB_PAGING_OUT_DRIVER, STATUS_SUCCESS},
    {"surprise removal", SRB_SURPRISE_REMOVAL, STATUS_SUCCESS},
};

TEST_F(CaptureSpine, AdapterCodesCompleteWithTheirStatusAndChangeNothing)
{
    FirstRequest();
    // An open stream must survive a paging-out or a surprise removal.
    extension->StreamOpenCounts[0] = 1;
    extension->DevicePowerState = PowerDeviceD0;
    for (const CodeCase &c : kCodeCases) {
        SCOPED_TRACE(c.name);
        const std::vector<unsigned char> before = ExtensionBytes();
        const sc::Completion done = sc::SendAdapterRequest(adapter, c.command);
        EXPECT_EQ(done.status, c.expected);
        EXPECT_EQ(done.actualBytesTransferred, 0u);
        EXPECT_EQ(ExtensionBytes(), before);
    }
    extension->StreamOpenCounts[0] = 0;
    EXPECT_EQ(sc::PendingRequests(adapter), 0u);
}

TEST_F(CaptureSpine, PowerStateChangeIsStoredAndSucceeds)
{
    const DEVICE_POWER_STATE states[] = {PowerDeviceD3, PowerDeviceD1, PowerDeviceD2, PowerDeviceD0};
    for (DEVICE_POWER_STATE state : states) {
        SCOPED_TRACE(int(state));
        sc::CommandData data{};
        data.DeviceState = state;
        std::vector<unsigned char> expected = ExtensionBytes();
        const sc::Completion done = sc::SendAdapterRequest(adapter, SRB_CHANGE_POWER_STATE, data);
        EXPECT_EQ(done.status, STATUS_SUCCESS);
        EXPECT_EQ(extension->DevicePowerState, state);
        // Nothing else changes, beyond the serializer the first request sets up.
        ADAPTER_EXTENSION now;
        std::memcpy(&now, extension, sizeof now);
        ADAPTER_EXTENSION was;
        std::memcpy(&was, expected.data(), sizeof was);
        was.DevicePowerState = state;
        was.SerializerReady = now.SerializerReady;
        was.SerializerLock = now.SerializerLock;
        was.AdapterSerializer = now.AdapterSerializer;
        EXPECT_EQ(std::memcmp(&now, &was, sizeof now), 0);
    }
}

TEST_F(CaptureSpine, CancelWithNoOpenStreamDoesNothing)
{
    FirstRequest();
    HW_STREAM_REQUEST_BLOCK srb;
    std::memset(&srb, 0xA5, sizeof srb);
    srb.HwDeviceExtension = extension;
    const HW_STREAM_REQUEST_BLOCK before = srb;
    const std::vector<unsigned char> extensionBefore = ExtensionBytes();
    CancelRequest(&srb);
    EXPECT_EQ(std::memcmp(&srb, &before, sizeof srb), 0);
    EXPECT_EQ(ExtensionBytes(), extensionBefore);
}

TEST_F(CaptureSpine, TimedOutRequestGetsAFreshCountdownEveryTime)
{
    struct {
        ULONG original;
        ULONG counter;
    } const cases[] = {{15, 0}, {15, 3}, {1, 0}, {0, 0}, {0xFFFFFFFF, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.original);
        HW_STREAM_REQUEST_BLOCK srb;
        std::memset(&srb, 0, sizeof srb);
        srb.HwDeviceExtension = extension;
        srb.Status = STATUS_PENDING;
        srb.TimeoutOriginal = c.original;
        srb.TimeoutCounter = c.counter;
        for (int expiry = 0; expiry < 3; expiry++) {
            RequestTimedOut(&srb);
            EXPECT_EQ(srb.TimeoutCounter, c.original);
            EXPECT_EQ(srb.TimeoutOriginal, c.original);
            EXPECT_EQ(srb.Status, STATUS_PENDING) << "a request never fails by time-out";
            srb.TimeoutCounter = 0;  // the class counted it down again
        }
    }
}

TEST_F(CaptureSpine, DeviceEventsAlwaysEnableAndDisable)
{
    for (BOOLEAN enable : {TRUE, FALSE}) {
        for (ULONG set : {0u, 1u, 3u, 99u}) {
            SCOPED_TRACE(testing::Message() << "enable " << int(enable) << " set " << set);
            HW_EVENT_DESCRIPTOR d;
            std::memset(&d, 0, sizeof d);
            d.Enable = enable;
            d.EnableEventSetIndex = set;
            d.DeviceExtension = reinterpret_cast<struct _HW_DEVICE_EXTENSION *>(extension);
            EXPECT_EQ(DeviceEventHandler(&d), STATUS_SUCCESS);
        }
    }
}

}  // namespace
