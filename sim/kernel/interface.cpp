// Device interfaces: IoRegisterDeviceInterface, IoSetDeviceInterfaceState,
// and what user mode sees of them (the enabled interfaces of a class).
//
// An interface is identified by its physical device object, class and
// reference string; registering it again gives the same symbolic link. The
// records live as long as the physical device object does.

#include "machine_internal.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

using sim::VerifierFault;
using sim::kernel::FoldCase;
using sim::kernel::Widen;
using sim::machine::DeviceInterface;
using sim::machine::InterfaceState;

namespace {

const ULONG kLinkTag = sim::pool::Tag("IoDi");

struct Record {
    DeviceInterface info;
    std::u16string foldedLink;
};

struct InterfaceTable {
    std::mutex lock;
    std::vector<Record> records;  // in registration order
    std::map<PDEVICE_OBJECT, std::string> instanceIds;
    ULONG nextInstance = 0;
};

InterfaceTable &Table()
{
    static InterfaceTable *t = new InterfaceTable;  // lives until process exit
    return *t;
}

std::string GuidText(const GUID &g)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", unsigned(g.Data1),
                  unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

// Caller holds the lock.
const std::string &InstanceIdLocked(InterfaceTable &t, PDEVICE_OBJECT pdo)
{
    auto it = t.instanceIds.find(pdo);
    if (it != t.instanceIds.end())
        return it->second;
    char id[40];
    std::snprintf(id, sizeof id, "ROOT\\NORVANE_SIM\\%04u", t.nextInstance++);
    return t.instanceIds[pdo] = id;
}

std::u16string LinkOf(const std::string &instanceId, const GUID &cls, const std::u16string &reference)
{
    std::string device = instanceId;
    for (char &c : device)
        if (c == '\\')
            c = '#';
    std::u16string link = Widen("\\??\\" + device + "#" + GuidText(cls));
    if (!reference.empty())
        link += u"\\" + reference;
    return link;
}

// Caller holds the lock.
Record *FindLocked(InterfaceTable &t, const std::u16string &link)
{
    const std::u16string folded = FoldCase(link);
    for (Record &r : t.records)
        if (r.foldedLink == folded)
            return &r;
    return nullptr;
}

}  // namespace

namespace sim::kernel {

void ForgetDeviceInterfaces(PDEVICE_OBJECT device)
{
    InterfaceTable &t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    t.instanceIds.erase(device);
    std::vector<Record> kept;
    for (Record &r : t.records)
        if (r.info.physicalDeviceObject != device)
            kept.push_back(std::move(r));
    t.records.swap(kept);
}

}  // namespace sim::kernel

namespace sim::machine {

void SetDeviceInstanceId(PDEVICE_OBJECT physicalDeviceObject, const std::string &instanceId)
{
    InterfaceTable &t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    for (const Record &r : t.records)
        if (r.info.physicalDeviceObject == physicalDeviceObject)
            VerifierFault("UNSUPPORTED_BY_STAND_IN",
                          "SetDeviceInstanceId(%p): the device already has registered interfaces under another id",
                          static_cast<void *>(physicalDeviceObject));
    t.instanceIds[physicalDeviceObject] = instanceId;
}

InterfaceState DeviceInterfaceState(const std::u16string &symbolicLink)
{
    InterfaceTable &t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    const Record *r = FindLocked(t, symbolicLink);
    if (r == nullptr)
        return InterfaceState::NotRegistered;
    return r->info.enabled ? InterfaceState::Enabled : InterfaceState::Disabled;
}

std::vector<DeviceInterface> EnabledDeviceInterfaces(const GUID &interfaceClass)
{
    InterfaceTable &t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    std::vector<DeviceInterface> out;
    for (const Record &r : t.records)
        if (r.info.enabled && r.info.interfaceClass == interfaceClass)
            out.push_back(r.info);
    return out;
}

std::vector<DeviceInterface> DeviceInterfacesOf(PDEVICE_OBJECT physicalDeviceObject)
{
    InterfaceTable &t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    std::vector<DeviceInterface> out;
    for (const Record &r : t.records)
        if (r.info.physicalDeviceObject == physicalDeviceObject)
            out.push_back(r.info);
    return out;
}

}  // namespace sim::machine

extern "C" {

// PASSIVE_LEVEL. On success *SymbolicLinkName holds a NUL-terminated copy
// of the link in paged pool, which the caller frees with
// RtlFreeUnicodeString; registering an interface again gives its link
// again, in a fresh buffer.
NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID *InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName)
{
    const void *caller = __builtin_return_address(0);
    sim::hal::RequireIrqlAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
    sim::io::RequirePhysicalDeviceObject(PhysicalDeviceObject, "IoRegisterDeviceInterface");
    if (InterfaceClassGuid == NULL || SymbolicLinkName == NULL)
        VerifierFault("NULL_POINTER_ARGUMENT",
                      "IoRegisterDeviceInterface: the interface class and the symbolic link string are required");
    const std::u16string reference = sim::machine::StringOf(ReferenceString);
    // The reference string becomes one name of the link's path.
    if (reference.find_first_of(u"\\/") != std::u16string::npos)
        return STATUS_INVALID_DEVICE_REQUEST;

    InterfaceTable &t = Table();
    std::u16string link;
    bool added = false;
    {
        std::lock_guard<std::mutex> g(t.lock);
        const std::string &instanceId = InstanceIdLocked(t, PhysicalDeviceObject);
        link = LinkOf(instanceId, *InterfaceClassGuid, reference);
        if (FindLocked(t, link) == nullptr) {
            t.records.push_back(
                Record{DeviceInterface{link, PhysicalDeviceObject, *InterfaceClassGuid, reference, false}, FoldCase(link)});
            added = true;
        }
    }
    const std::size_t bytes = link.size() * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > 0xFFFF)
        VerifierFault("UNSUPPORTED_BY_STAND_IN", "IoRegisterDeviceInterface: a %zu-byte link does not fit a counted "
                      "string", bytes);
    auto *buffer = static_cast<PWSTR>(
        sim::kernel::AllocateBlock(PagedPool, bytes + sizeof(WCHAR), kLinkTag, caller, "IoRegisterDeviceInterface"));
    if (buffer == NULL) {
        if (added) {
            std::lock_guard<std::mutex> g(t.lock);
            const std::u16string folded = FoldCase(link);
            for (auto it = t.records.begin(); it != t.records.end(); ++it)
                if (it->foldedLink == folded) {
                    t.records.erase(it);
                    break;
                }
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(buffer, link.data(), bytes);
    buffer[link.size()] = 0;
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = USHORT(bytes);
    SymbolicLinkName->MaximumLength = USHORT(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. Enabling an enabled interface answers
// STATUS_OBJECT_NAME_EXISTS, a success; disabling a disabled one changes
// nothing and succeeds.
NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    sim::hal::RequireIrqlAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
    if (SymbolicLinkName == NULL)
        VerifierFault("NULL_POINTER_ARGUMENT", "IoSetDeviceInterfaceState: the symbolic link is required");
    InterfaceTable &t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    Record *r = FindLocked(t, sim::machine::StringOf(SymbolicLinkName));
    if (r == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (Enable && r->info.enabled)
        return sim::machine::kStatusObjectNameExists;
    r->info.enabled = Enable != FALSE;
    return STATUS_SUCCESS;
}

}  // extern "C"
