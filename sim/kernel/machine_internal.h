// Shared by the stand-in kernel's own files: the handle table, the hooks
// device deletion runs, and what the registry and device interfaces need of
// the device table. Nothing here is exported to drivers or tests.
#pragma once

#include "kernel_internal.h"

#include <memory>
#include <string>

namespace sim::kernel {

// ---------------------------------------------------------------------------
// Handle table (handles.cpp).

// What a handle refers to. The table holds one reference per open handle;
// a call that uses a handle holds another while it works, so an object
// closed under it stays alive until that call is done. Whatever closing
// means for a kind (a file's last close, say) belongs in its destructor.
struct KernelObject {
    virtual ~KernelObject() = default;
};

// Enters object into the handle table. attributes are the OBJECT_ATTRIBUTES
// flags (OBJ_KERNEL_HANDLE is noted); caller is the return address of the
// exported call, to which the handle's pool block is charged. Returns NULL
// with STATUS_INSUFFICIENT_RESOURCES in *status when that block cannot be
// allocated.
HANDLE CreateHandle(sim::machine::HandleKind kind, std::shared_ptr<KernelObject> object, std::u16string name,
                    ULONG attributes, ACCESS_MASK access, const void *caller, const char *who, NTSTATUS *status);

// The object behind an open handle of the given kind. A handle that is not
// open is the fault INVALID_HANDLE; a handle of another kind gives NULL
// with STATUS_OBJECT_TYPE_MISMATCH in *status.
std::shared_ptr<KernelObject> ReferenceHandle(HANDLE handle, sim::machine::HandleKind kind, const char *who,
                                              NTSTATUS *status);

// Open handles whose opening call came from code in [begin, end).
std::size_t HandlesFrom(const void *begin, const void *end);

// ---------------------------------------------------------------------------
// Device objects (device.cpp) and the records kept about them.

enum class DevicePosition { NotLive, StackBottom, AttachedToLower };
DevicePosition PositionOf(PDEVICE_OBJECT device);

// Run by IoDeleteDevice after the device left the table: drops the device's
// interfaces (interface.cpp), then calls the listeners.
void DeviceDeleted(PDEVICE_OBJECT device);
void ForgetDeviceInterfaces(PDEVICE_OBJECT device);

// Case folding of names the object manager and the registry compare
// without regard to case.
std::u16string FoldCase(const std::u16string &s);
std::u16string Widen(const std::string &s);

}  // namespace sim::kernel
