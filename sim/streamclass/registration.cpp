// StreamClassRegisterAdapter (exported as StreamClassRegisterMinidriver):
// the minidriver's registration, kept per driver object, and the class's
// DriverUnload that forgets it.
//
// The platform keeps the copy of HW_INITIALIZATION_DATA in a driver object
// extension; here it is a pool block of its own, so a test that never
// unloads its minidriver shows up in the leak check.

#include "streamclass_internal.h"

#include <unordered_map>

using sim::VerifierFault;

// Two revision levels that do not fit together: what the class answers a
// HW_INITIALIZATION_DATA whose size is not the one it was built with.
#ifndef STATUS_REVISION_MISMATCH
#define STATUS_REVISION_MISMATCH ((NTSTATUS)0xC0000059L)
#endif

namespace {

struct Registration {
    HW_INITIALIZATION_DATA data;
    ULONG adapters;  // adapters created for this driver and not destroyed
};

struct RegistrationTable {
    std::mutex lock;
    std::unordered_map<PDRIVER_OBJECT, Registration *> drivers;
};

RegistrationTable &Table()
{
    static RegistrationTable *t = new RegistrationTable;
    return *t;
}

// The platform's class would have to build interrupt, DMA and
// multi-instance support for these; the stand-in has none of it and says
// so rather than ignore what the minidriver asked for.
void RejectUnsupported(const HW_INITIALIZATION_DATA &d)
{
    struct Unsupported {
        bool asked;
        const char *what;
    };
    const Unsupported cases[] = {
        {d.HwInterrupt != NULL, "an interrupt routine (HwInterrupt)"},
        {d.BusMasterDMA != FALSE, "bus-master DMA (BusMasterDMA)"},
        {d.DmaBufferSize != 0, "a common DMA buffer (DmaBufferSize)"},
        {d.FilterInstanceExtensionSize != 0, "per-instance filters (FilterInstanceExtensionSize)"},
        {d.NumNameExtensions != 0, "named filter instances (NumNameExtensions)"},
    };
    for (const Unsupported &c : cases)
        if (c.asked)
            VerifierFault("UNSUPPORTED_BY_STAND_IN", "StreamClassRegisterAdapter: the minidriver asks for %s",
                          c.what);
}

VOID NTAPI StreamClassUnload(PDRIVER_OBJECT DriverObject)
{
    Registration *r = nullptr;
    {
        std::lock_guard<std::mutex> g(Table().lock);
        auto it = Table().drivers.find(DriverObject);
        if (it == Table().drivers.end())
            return;  // nothing is registered for it (an unload called twice)
        r = it->second;
        if (r->adapters != 0)
            VerifierFault("ADAPTER_LIVE_AT_UNLOAD", "driver object %p unloads with %u adapter(s) not removed",
                          static_cast<void *>(DriverObject), r->adapters);
        Table().drivers.erase(it);
    }
    ExFreePoolWithTag(r, sim::streamclass::kRegistrationTag);
}

}  // namespace

namespace sim::streamclass {

bool AcquireRegistration(PDRIVER_OBJECT driver, HW_INITIALIZATION_DATA *data)
{
    std::lock_guard<std::mutex> g(Table().lock);
    auto it = Table().drivers.find(driver);
    if (it == Table().drivers.end())
        return false;
    it->second->adapters++;
    *data = it->second->data;
    return true;
}

void ReleaseRegistration(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::mutex> g(Table().lock);
    auto it = Table().drivers.find(driver);
    if (it != Table().drivers.end())
        it->second->adapters--;
}

}  // namespace sim::streamclass

extern "C" {

// Called from the minidriver's DriverEntry at PASSIVE_LEVEL. Success keeps
// a copy of *HwInitializationData for the driver object and installs the
// class's DriverUnload; a failure keeps nothing.
NTSTATUS STREAMAPI StreamClassRegisterMinidriver(PVOID Argument1, PVOID Argument2,
                                                 PHW_INITIALIZATION_DATA HwInitializationData)
{
    UNREFERENCED_PARAMETER(Argument2);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        VerifierFault("IRQL_TOO_HIGH", "StreamClassRegisterAdapter called at IRQL %u; PASSIVE_LEVEL only",
                      KeGetCurrentIrql());
    auto driver = static_cast<PDRIVER_OBJECT>(Argument1);
    if (driver == NULL || HwInitializationData == NULL)
        return STATUS_INVALID_PARAMETER;
    if (HwInitializationData->HwInitializationDataSize != sizeof(HW_INITIALIZATION_DATA))
        return STATUS_REVISION_MISMATCH;
    if (HwInitializationData->HwReceivePacket == NULL)
        return STATUS_INVALID_PARAMETER;
    RejectUnsupported(*HwInitializationData);

    auto r = static_cast<Registration *>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(Registration), sim::streamclass::kRegistrationTag));
    if (r == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    r->data = *HwInitializationData;
    r->adapters = 0;
    {
        std::lock_guard<std::mutex> g(Table().lock);
        // The platform's driver object extension can be allocated once;
        // a second registration finds it taken.
        if (!Table().drivers.emplace(driver, r).second) {
            ExFreePoolWithTag(r, sim::streamclass::kRegistrationTag);
            return STATUS_OBJECT_NAME_COLLISION;
        }
    }
    driver->DriverUnload = StreamClassUnload;
    return STATUS_SUCCESS;
}

}  // extern "C"
