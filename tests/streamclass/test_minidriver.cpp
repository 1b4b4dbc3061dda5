#include "test_minidriver.h"

#include <gtest/gtest.h>

namespace sctest {

namespace {

TestMinidriver *g_current = nullptr;

}  // namespace

PhysicalDevice::PhysicalDevice()
{
    const NTSTATUS s = IoCreateDevice(&bus_.object, 0, NULL, FILE_DEVICE_USB, 0, FALSE, &device_);
    EXPECT_EQ(s, STATUS_SUCCESS);
    if (device_ != nullptr)
        device_->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
}

PhysicalDevice::~PhysicalDevice()
{
    if (device_ != nullptr)
        IoDeleteDevice(device_);
}

TestMinidriver::TestMinidriver(BOOLEAN turnOffSynchronization)
{
    EXPECT_EQ(g_current, nullptr) << "one test minidriver at a time";
    g_current = this;
    static const WCHAR path[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\sctest";
    RtlInitUnicodeString(&registryPath_, path);
    init_.HwInitializationDataSize = sizeof(HW_INITIALIZATION_DATA);
    init_.HwReceivePacket = ReceivePacket;
    init_.HwCancelPacket = CancelPacket;
    init_.HwRequestTimeoutHandler = RequestTimeout;
    init_.DeviceExtensionSize = kDeviceExtensionSize;
    init_.PerRequestExtensionSize = kPerRequestExtensionSize;
    init_.BufferAlignment = 3;
    init_.TurnOffSynchronization = turnOffSynchronization;
}

TestMinidriver::~TestMinidriver()
{
    if (driver_.object.DriverUnload != NULL)
        driver_.object.DriverUnload(&driver_.object);
    g_current = nullptr;
}

NTSTATUS TestMinidriver::Register()
{
    return StreamClassRegisterAdapter(&driver_.object, &registryPath_, &init_);
}

void TestMinidriver::On(SRB_COMMAND command, Handler handler)
{
    std::lock_guard<std::mutex> g(lock_);
    handlers_.emplace_back(command, std::move(handler));
}

std::vector<SRB_COMMAND> TestMinidriver::Commands()
{
    std::lock_guard<std::mutex> g(lock_);
    return commands_;
}

void TestMinidriver::ClearCommands()
{
    std::lock_guard<std::mutex> g(lock_);
    commands_.clear();
}

TestMinidriver *TestMinidriver::Current()
{
    return g_current;
}

void TestMinidriver::Answer(PHW_STREAM_REQUEST_BLOCK srb)
{
    switch (srb->Command) {
    case SRB_INITIALIZE_DEVICE:
        srb->CommandData.ConfigInfo->StreamDescriptorSize = kDescriptorSize;
        Complete(srb, STATUS_SUCCESS);
        return;
    case SRB_GET_STREAM_INFO: {
        PHW_STREAM_DESCRIPTOR d = srb->CommandData.StreamBuffer;
        d->StreamHeader.NumberOfStreams = 1;
        d->StreamHeader.SizeOfHwStreamInformation = sizeof(HW_STREAM_INFORMATION);
        d->StreamInfo.NumberOfPossibleInstances = 1;
        d->StreamInfo.DataFlow = KSPIN_DATAFLOW_OUT;
        Complete(srb, STATUS_SUCCESS, kDescriptorSize);
        return;
    }
    default:
        Complete(srb, STATUS_SUCCESS);
        return;
    }
}

VOID STREAMAPI TestMinidriver::ReceivePacket(PHW_STREAM_REQUEST_BLOCK srb)
{
    TestMinidriver *m = g_current;
    Handler handler;
    {
        std::lock_guard<std::mutex> g(m->lock_);
        m->commands_.push_back(srb->Command);
        for (const auto &h : m->handlers_)
            if (h.first == srb->Command)
                handler = h.second;
    }
    if (handler)
        handler(srb);
    else
        m->Answer(srb);
}

VOID STREAMAPI TestMinidriver::CancelPacket(PHW_STREAM_REQUEST_BLOCK srb)
{
    ASSERT_TRUE(g_current->onCancel) << "HwCancelPacket called, and the test expected none";
    g_current->onCancel(srb);
}

VOID STREAMAPI TestMinidriver::RequestTimeout(PHW_STREAM_REQUEST_BLOCK srb)
{
    ASSERT_TRUE(g_current->onTimeout) << "HwRequestTimeoutHandler called, and the test expected none";
    g_current->onTimeout(srb);
}

void Complete(PHW_STREAM_REQUEST_BLOCK srb, NTSTATUS status, ULONG bytes)
{
    srb->Status = status;
    srb->ActualBytesTransferred = bytes;
    StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb);
}

AdapterScope::~AdapterScope()
{
    if (adapter_ != nullptr)
        Destroy();
}

NTSTATUS AdapterScope::Destroy(bool surpriseRemoval)
{
    sim::streamclass::Adapter *a = adapter_;
    adapter_ = nullptr;
    return sim::streamclass::DestroyAdapter(a, surpriseRemoval);
}

}  // namespace sctest
