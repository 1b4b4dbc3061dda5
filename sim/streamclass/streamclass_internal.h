// Shared by the stand-in stream class's own files; nothing here is exported
// to minidrivers or tests.
#pragma once

#include "sim_streamclass.h"

#include "sim_kernel.h"

#include <memory>
#include <mutex>

namespace sim::streamclass {

// Pool tags of the class's own blocks.
constexpr ULONG kRegistrationTag = sim::pool::Tag("StrR");
constexpr ULONG kConfigTag = sim::pool::Tag("StrC");
constexpr ULONG kDescriptorTag = sim::pool::Tag("StrD");
constexpr ULONG kSrbTag = sim::pool::Tag("Srb ");
constexpr ULONG kSrbExtensionTag = sim::pool::Tag("SrbX");

// ---------------------------------------------------------------------------
// Registration (registration.cpp)

// Copies the registration of driver into *data and counts one more adapter
// against it; false when the driver never registered.
bool AcquireRegistration(PDRIVER_OBJECT driver, HW_INITIALIZATION_DATA *data);
void ReleaseRegistration(PDRIVER_OBJECT driver);

// ---------------------------------------------------------------------------
// Requests (request.cpp)

struct SrbRecord;
using SrbPtr = std::shared_ptr<SrbRecord>;

// A fresh SRB for adapter: the SRB, its per-request extension and its IRP,
// not yet sent. NULL when any of them cannot be allocated.
SrbPtr AllocateAdapterSrb(Adapter *adapter);
// The IRP the SRB carries.
PIRP IrpOf(const SrbPtr &record);
// Frees an SRB that was never sent.
void FreeUnsentSrb(const SrbPtr &record);
// Sends an allocated SRB to HwReceivePacket and waits for its completion.
Completion SendAllocatedSrb(const SrbPtr &record, SRB_COMMAND command, CommandData data, ULONG timeoutSeconds);

// One second of stand-in time passed: counts down the pending SRBs and
// calls HwRequestTimeoutHandler for those that reached zero.
void CountDownTimeouts();

// ---------------------------------------------------------------------------
// The adapter (adapter.cpp)

struct Adapter {
    PDRIVER_OBJECT driver = nullptr;
    HW_INITIALIZATION_DATA init{};  // the registration, as the minidriver gave it
    PDEVICE_OBJECT physicalDeviceObject = nullptr;
    PDEVICE_OBJECT lowerDevice = nullptr;  // what the FDO is attached to
    PDEVICE_OBJECT deviceObject = nullptr;
    PVOID hwDeviceExtension = nullptr;
    PPORT_CONFIGURATION_INFORMATION configInfo = nullptr;
    PHW_STREAM_DESCRIPTOR streamDescriptor = nullptr;
    ULONG streamDescriptorSize = 0;
    bool started = false;  // StartAdapter succeeded: removal reaches the minidriver

    // Removal must reach the minidriver even when pool is exhausted, so the
    // SRBs of SRB_SURPRISE_REMOVAL and SRB_UNINITIALIZE_DEVICE are
    // allocated before the first request is sent.
    SrbPtr surpriseRemovalSrb;
    SrbPtr uninitializeSrb;

    // With TurnOffSynchronization FALSE every call into the minidriver
    // holds this lock, so the minidriver is never entered twice at once.
    std::mutex minidriverLock;

    std::size_t pendingRequests = 0;  // guarded by the request table's lock
};

// Enters the minidriver for one call: takes the adapter's lock when the
// minidriver left synchronisation to the class, raises to `irql`, and on
// leaving checks that the minidriver restored it.
class MinidriverCall {
public:
    MinidriverCall(Adapter *adapter, KIRQL irql, const char *routine);
    ~MinidriverCall();
    MinidriverCall(const MinidriverCall &) = delete;
    MinidriverCall &operator=(const MinidriverCall &) = delete;

private:
    std::unique_lock<std::mutex> lock_;
    KIRQL irql_;
    KIRQL old_;
    const char *routine_;
};

// ---------------------------------------------------------------------------
// The time-out thread (timeout.cpp): runs while an adapter exists.
void StartTimeoutThread();
void StopTimeoutThread();

}  // namespace sim::streamclass
