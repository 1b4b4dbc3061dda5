// The stand-in stream class driver's own interface: what tests and the rest
// of the stand-in (the Plug and Play manager, the KS request path) use to
// create adapters for a registered minidriver and to send it requests.
// Minidrivers never include this; they see only strmini.h.
//
// An adapter is what the class builds for one device of a minidriver: the
// functional device object attached to the physical device object, the
// minidriver's device extension, and the stream description the minidriver
// reported. Every request the class sends is a fresh SRB with its own
// per-request extension and IRP; the SRB is freed the moment the minidriver
// completes it.
#pragma once

#include <strmini.h>

#include <cstddef>

namespace sim::streamclass {

struct Adapter;

using CommandData = decltype(HW_STREAM_REQUEST_BLOCK::CommandData);

// What the minidriver answered: the SRB's Status and ActualBytesTransferred
// at the moment it completed the SRB.
struct Completion {
    NTSTATUS status;
    ULONG actualBytesTransferred;
};

// What the class's AddDevice does for a driver object that registered with
// StreamClassRegisterAdapter: creates the functional device object on
// `driver`, attaches it to physicalDeviceObject's stack and zero-fills the
// minidriver's device extension. The minidriver hears nothing yet. NULL,
// with the status in *status, when the class runs out of pool. PASSIVE_LEVEL.
Adapter *AddAdapter(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDeviceObject, NTSTATUS *status = nullptr);

// The start of the device: SRB_INITIALIZE_DEVICE, SRB_GET_STREAM_INFO and
// SRB_INITIALIZATION_COMPLETE. On failure the adapter stays added and not
// started (after a failed SRB_GET_STREAM_INFO the minidriver got
// SRB_UNINITIALIZE_DEVICE); DestroyAdapter then removes it. PASSIVE_LEVEL.
NTSTATUS StartAdapter(Adapter *adapter);

// AddAdapter and StartAdapter in one: does what the class's AddDevice and the start of the device do for a
// driver object that registered with StreamClassRegisterAdapter: creates
// the functional device object on `driver`, attaches it to
// physicalDeviceObject's stack, zero-fills the minidriver's device
// extension, and sends SRB_INITIALIZE_DEVICE, SRB_GET_STREAM_INFO and
// SRB_INITIALIZATION_COMPLETE. PASSIVE_LEVEL.
//
// Returns NULL when SRB_INITIALIZE_DEVICE or SRB_GET_STREAM_INFO fails, or
// the class runs out of pool, with the status in *status; nothing is left
// behind then (after a failed SRB_GET_STREAM_INFO the minidriver gets
// SRB_UNINITIALIZE_DEVICE first). The status of SRB_INITIALIZATION_COMPLETE
// is a notification's and is not judged.
Adapter *CreateAdapter(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDeviceObject, NTSTATUS *status = nullptr);

// Removal: for a started adapter SRB_SURPRISE_REMOVAL first when
// surpriseRemoval, then SRB_UNINITIALIZE_DEVICE; then the device object, the stream description
// and the adapter are freed whatever the minidriver answered. Returns the
// status of SRB_UNINITIALIZE_DEVICE. No adapter request may still be
// pending. PASSIVE_LEVEL.
NTSTATUS DestroyAdapter(Adapter *adapter, bool surpriseRemoval = false);

// Sends one adapter request to HwReceivePacket at PASSIVE_LEVEL and waits,
// without a time limit, until the minidriver completes it. timeoutSeconds
// becomes the SRB's TimeoutOriginal and TimeoutCounter (0: the request
// never times out). May be called from several threads at once. Returns
// STATUS_INSUFFICIENT_RESOURCES without calling the minidriver when the
// class cannot allocate the SRB, its extension or its IRP.
Completion SendAdapterRequest(Adapter *adapter, SRB_COMMAND command, CommandData data = CommandData{},
                              ULONG timeoutSeconds = 0);

// The client cancelled the request: sets Cancel in the SRB's IRP and calls
// HwCancelPacket(srb) at DISPATCH_LEVEL. Returns false, calling nothing,
// when srb is no longer pending (the minidriver completed it first).
bool CancelRequest(PHW_STREAM_REQUEST_BLOCK srb);

PDEVICE_OBJECT DeviceObjectOf(Adapter *adapter);
PVOID HwDeviceExtensionOf(Adapter *adapter);
// The stream description as the minidriver filled it in answer to
// SRB_GET_STREAM_INFO, and its size (the StreamDescriptorSize it asked for).
const HW_STREAM_DESCRIPTOR *StreamDescriptorOf(Adapter *adapter);
ULONG StreamDescriptorSizeOf(Adapter *adapter);

// Adapter requests sent and not yet completed.
std::size_t PendingRequests(Adapter *adapter);

// Adapters that exist, and whether the once-a-second time-out thread runs:
// it runs exactly while at least one adapter exists.
std::size_t LiveAdapters();
bool TimeoutThreadRunning();

}  // namespace sim::streamclass

// ---------------------------------------------------------------------------
// Filters registered with StreamClassRegisterFilterWithNoKSPins, as graph
// builders find them: one registration per physical device object (a later
// one replaces it), gone when that device object is deleted.

#include <optional>
#include <vector>

namespace sim::streamclass {

struct FilterPin {
    bool output;  // the pin's direction: TRUE in PinDirection
    KSPIN_MEDIUM medium;
    std::optional<GUID> category;  // from CategoryList, when one was given
};

struct FilterRegistration {
    PDEVICE_OBJECT physicalDeviceObject;
    GUID category;  // the InterfaceClassGUID it was registered under
    std::vector<FilterPin> pins;
};

std::optional<FilterRegistration> RegisteredFilterOf(PDEVICE_OBJECT physicalDeviceObject);
// Every registration under category, in the order they were made.
std::vector<FilterRegistration> RegisteredFilters(const GUID &category);

}  // namespace sim::streamclass
