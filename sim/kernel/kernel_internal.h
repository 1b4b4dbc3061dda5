// Shared by the stand-in kernel's own files; nothing here is exported to
// drivers or tests.
#pragma once

#include "sim_kernel.h"

#include "../hal/hal_internal.h"

namespace sim::kernel {

// Pool blocks. caller is the return address of the exported call that asked
// for the block, so leaks can be charged to the driver image that made them.
PVOID AllocateBlock(POOL_TYPE type, SIZE_T size, ULONG tag, const void *caller, const char *who);
void FreeBlock(PVOID block, const char *who, bool checkTag, ULONG tag);

// Blocks, lookaside lists and device objects whose creating call came from
// code in [begin, end): what a driver image leaves behind.
std::vector<sim::pool::BlockInfo> BlocksFrom(const void *begin, const void *end);
std::size_t LookasideListsFrom(const void *begin, const void *end);
std::size_t DeviceObjectsOf(PDRIVER_OBJECT driver);

// A dispatch routine that fails the request as the I/O manager does for
// major functions a driver installed no routine for.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);

bool IsLiveDeviceObject(PDEVICE_OBJECT device);

}  // namespace sim::kernel
