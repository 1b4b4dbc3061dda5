// StreamClassRegisterFilterWithNoKSPins: the filter's category, pins and
// mediums, kept per physical device object for graph builders.

#include "streamclass_internal.h"

#include <vector>

using sim::VerifierFault;

namespace sim::streamclass {

namespace {

struct FilterTable {
    std::mutex lock;
    std::vector<FilterRegistration> filters;  // in registration order
};

FilterTable &Filters()
{
    static FilterTable *t = new FilterTable;  // lives until process exit
    return *t;
}

void ForgetFilterOf(PDEVICE_OBJECT device)
{
    FilterTable &t = Filters();
    std::lock_guard<std::mutex> g(t.lock);
    for (auto it = t.filters.begin(); it != t.filters.end(); ++it)
        if (it->physicalDeviceObject == device) {
            t.filters.erase(it);
            return;
        }
}

std::once_flag g_listening;

}  // namespace

std::optional<FilterRegistration> RegisteredFilterOf(PDEVICE_OBJECT physicalDeviceObject)
{
    FilterTable &t = Filters();
    std::lock_guard<std::mutex> g(t.lock);
    for (const FilterRegistration &f : t.filters)
        if (f.physicalDeviceObject == physicalDeviceObject)
            return f;
    return std::nullopt;
}

std::vector<FilterRegistration> RegisteredFilters(const GUID &category)
{
    FilterTable &t = Filters();
    std::lock_guard<std::mutex> g(t.lock);
    std::vector<FilterRegistration> out;
    for (const FilterRegistration &f : t.filters)
        if (f.category == category)
            out.push_back(f);
    return out;
}

}  // namespace sim::streamclass

extern "C" {

// PASSIVE_LEVEL. One direction and one medium per pin; the category list
// is optional. A registration replaces the device's earlier one in place.
NTSTATUS STREAMAPI StreamClassRegisterFilterWithNoKSPins(PDEVICE_OBJECT DeviceObject,
                                                         const GUID *InterfaceClassGUID, ULONG PinCount,
                                                         BOOL *PinDirection, KSPIN_MEDIUM *MediumList,
                                                         GUID *CategoryList)
{
    using namespace sim::streamclass;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        VerifierFault("IRQL_TOO_HIGH", "StreamClassRegisterFilterWithNoKSPins called at IRQL %u; PASSIVE_LEVEL only",
                      KeGetCurrentIrql());
    sim::io::RequirePhysicalDeviceObject(DeviceObject, "StreamClassRegisterFilterWithNoKSPins");
    if (InterfaceClassGUID == NULL || (PinCount != 0 && (PinDirection == NULL || MediumList == NULL)))
        return STATUS_INVALID_PARAMETER;

    FilterRegistration r{DeviceObject, *InterfaceClassGUID, {}};
    for (ULONG i = 0; i < PinCount; i++) {
        FilterPin pin{PinDirection[i] != FALSE, MediumList[i], std::nullopt};
        if (CategoryList != NULL)
            pin.category = CategoryList[i];
        r.pins.push_back(pin);
    }

    std::call_once(g_listening, [] { sim::io::AddDeviceDeletedListener(ForgetFilterOf); });
    FilterTable &t = Filters();
    std::lock_guard<std::mutex> g(t.lock);
    for (FilterRegistration &f : t.filters)
        if (f.physicalDeviceObject == DeviceObject) {
            f = std::move(r);
            return STATUS_SUCCESS;
        }
    t.filters.push_back(std::move(r));
    return STATUS_SUCCESS;
}

}  // extern "C"
