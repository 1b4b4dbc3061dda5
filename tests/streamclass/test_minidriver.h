// A minidriver compiled into the stream class tests: plain entry points
// (HwReceivePacket, HwCancelPacket, HwRequestTimeoutHandler) that record
// every SRB command they receive and do what the test scripted for it.
// Unscripted commands get the default answer: SRB_INITIALIZE_DEVICE asks
// for a one-stream description, SRB_GET_STREAM_INFO fills it, everything
// else succeeds; each is completed at once.
//
// The entry points find the minidriver through one global, as a real
// minidriver finds its globals, so one TestMinidriver exists at a time.
#pragma once

#include "sim_streamclass.h"
#include "test_support.h"

#include <functional>
#include <mutex>
#include <vector>

namespace sctest {

using TestDriverObject = nvtest::DriverObjectBlock;

// The bus driver's physical device object the adapter is attached to.
class PhysicalDevice {
public:
    PhysicalDevice();
    ~PhysicalDevice();
    PhysicalDevice(const PhysicalDevice &) = delete;
    PhysicalDevice &operator=(const PhysicalDevice &) = delete;
    PDEVICE_OBJECT get() const { return device_; }
    PDEVICE_OBJECT operator->() const { return device_; }

private:
    TestDriverObject bus_;
    PDEVICE_OBJECT device_ = nullptr;
};

class TestMinidriver {
public:
    using Handler = std::function<void(PHW_STREAM_REQUEST_BLOCK)>;

    static constexpr ULONG kDeviceExtensionSize = 96;
    static constexpr ULONG kPerRequestExtensionSize = 24;
    static constexpr ULONG kDescriptorSize = sizeof(HW_STREAM_HEADER) + sizeof(HW_STREAM_INFORMATION);

    explicit TestMinidriver(BOOLEAN turnOffSynchronization = TRUE);
    // Unloads the driver object (the class's DriverUnload) if it registered.
    ~TestMinidriver();
    TestMinidriver(const TestMinidriver &) = delete;
    TestMinidriver &operator=(const TestMinidriver &) = delete;

    // What DriverEntry passes to StreamClassRegisterAdapter.
    HW_INITIALIZATION_DATA &InitData() { return init_; }
    NTSTATUS Register();
    PDRIVER_OBJECT Driver() { return &driver_.object; }

    // Scripts one command; the handler owns the SRB and must see it
    // completed. Set before requests run.
    void On(SRB_COMMAND command, Handler handler);
    Handler onCancel;
    Handler onTimeout;

    // The commands HwReceivePacket received, in order.
    std::vector<SRB_COMMAND> Commands();
    void ClearCommands();

    // The default answer to srb, completed.
    void Answer(PHW_STREAM_REQUEST_BLOCK srb);

    static TestMinidriver *Current();

private:
    static VOID STREAMAPI ReceivePacket(PHW_STREAM_REQUEST_BLOCK srb);
    static VOID STREAMAPI CancelPacket(PHW_STREAM_REQUEST_BLOCK srb);
    static VOID STREAMAPI RequestTimeout(PHW_STREAM_REQUEST_BLOCK srb);

    TestDriverObject driver_;
    UNICODE_STRING registryPath_{};
    HW_INITIALIZATION_DATA init_{};
    std::mutex lock_;
    std::vector<SRB_COMMAND> commands_;
    std::vector<std::pair<SRB_COMMAND, Handler>> handlers_;
};

// StreamClassDeviceNotification(DeviceRequestComplete) with status and byte
// count, the way a minidriver hands an adapter request back.
void Complete(PHW_STREAM_REQUEST_BLOCK srb, NTSTATUS status, ULONG bytes = 0);

// Destroys the adapter when the scope ends unless the test did.
class AdapterScope {
public:
    explicit AdapterScope(sim::streamclass::Adapter *adapter) : adapter_(adapter) {}
    ~AdapterScope();
    AdapterScope(const AdapterScope &) = delete;
    AdapterScope &operator=(const AdapterScope &) = delete;
    sim::streamclass::Adapter *get() const { return adapter_; }
    NTSTATUS Destroy(bool surpriseRemoval = false);

private:
    sim::streamclass::Adapter *adapter_;
};

}  // namespace sctest
