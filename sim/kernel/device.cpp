// Device and driver objects, device stacks, and loading driver images.
//
// A driver image is a shared object loaded with its own symbol scope and
// entered at DriverEntry, as the I/O manager loads a driver. Its address
// range is kept, so that at unload every pool block, lookaside list and
// device object it created and did not release can be charged to it.

#include "machine_internal.h"

#include <dlfcn.h>
#include <link.h>

#include <mutex>
#include <set>
#include <string>

using sim::VerifierFault;

namespace {

const ULONG kDeviceTag = sim::pool::Tag("Devo");

struct DeviceTable {
    std::mutex lock;
    std::set<PDEVICE_OBJECT> devices;
};

DeviceTable &Devices()
{
    static DeviceTable *t = new DeviceTable;
    return *t;
}

}  // namespace

namespace sim::kernel {

bool IsLiveDeviceObject(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> g(Devices().lock);
    return Devices().devices.count(device) != 0;
}

DevicePosition PositionOf(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> g(Devices().lock);
    if (Devices().devices.count(device) == 0)
        return DevicePosition::NotLive;
    for (PDEVICE_OBJECT d : Devices().devices)
        if (d->AttachedDevice == device)
            return DevicePosition::AttachedToLower;
    return DevicePosition::StackBottom;
}

std::size_t DeviceObjectsOf(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::mutex> g(Devices().lock);
    std::size_t n = 0;
    for (PDEVICE_OBJECT d : Devices().devices)
        n += d->DriverObject == driver;
    return n;
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace sim::kernel

namespace sim::io {

std::size_t LiveDeviceObjects()
{
    std::lock_guard<std::mutex> g(Devices().lock);
    return Devices().devices.size();
}

struct DriverImage {
    std::string path;
    void *handle = nullptr;
    const void *begin = nullptr;  // lowest and highest address of its segments
    const void *end = nullptr;
    DRIVER_OBJECT driver{};
    DRIVER_EXTENSION extension{};
    std::u16string registryPath;
    UNICODE_STRING registryPathString{};
    bool entered = false;  // DriverEntry succeeded
};

namespace {

struct RangeQuery {
    const void *anySymbol;
    const void *begin = nullptr;
    const void *end = nullptr;
};

int FindRange(struct dl_phdr_info *info, size_t, void *data)
{
    auto *q = static_cast<RangeQuery *>(data);
    uintptr_t lo = UINTPTR_MAX, hi = 0;
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr) &ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD)
            continue;
        const uintptr_t a = info->dlpi_addr + ph.p_vaddr;
        lo = a < lo ? a : lo;
        hi = a + ph.p_memsz > hi ? a + ph.p_memsz : hi;
    }
    const auto s = reinterpret_cast<uintptr_t>(q->anySymbol);
    if (s >= lo && s < hi) {
        q->begin = reinterpret_cast<const void *>(lo);
        q->end = reinterpret_cast<const void *>(hi);
        return 1;
    }
    return 0;
}

std::u16string Widen(const std::string &s)
{
    return std::u16string(s.begin(), s.end());
}

}  // namespace

DriverImage *LoadDriver(const std::string &path, const std::string &serviceName, NTSTATUS *entryStatus,
                        std::string *error)
{
    sim::hal::RequireIrqlAtMost(PASSIVE_LEVEL, "LoadDriver");
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        if (error != nullptr)
            *error = dlerror();
        return nullptr;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(handle, "DriverEntry"));
    if (entry == nullptr) {
        if (error != nullptr)
            *error = path + ": the image has no DriverEntry";
        dlclose(handle);
        return nullptr;
    }
    auto *image = new DriverImage;
    image->path = path;
    image->handle = handle;
    RangeQuery q{reinterpret_cast<const void *>(entry)};
    dl_iterate_phdr(FindRange, &q);
    image->begin = q.begin;
    image->end = q.end;

    PDRIVER_OBJECT d = &image->driver;
    d->Type = IO_TYPE_DRIVER;
    d->Size = sizeof(DRIVER_OBJECT);
    d->DriverExtension = &image->extension;
    d->DriverInit = entry;
    d->DriverStart = const_cast<void *>(image->begin);
    d->DriverSize = ULONG(static_cast<const char *>(image->end) - static_cast<const char *>(image->begin));
    image->extension.DriverObject = d;
    for (auto &major : d->MajorFunction)
        major = sim::kernel::InvalidDeviceRequest;
    image->registryPath = Widen("\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + serviceName);
    image->registryPathString.Buffer = reinterpret_cast<PWSTR>(image->registryPath.data());
    image->registryPathString.Length = USHORT(image->registryPath.size() * sizeof(WCHAR));
    image->registryPathString.MaximumLength = USHORT(image->registryPathString.Length + sizeof(WCHAR));

    const NTSTATUS status = entry(d, &image->registryPathString);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        VerifierFault("IRQL_NOT_RESTORED", "%s: DriverEntry returned at IRQL %u", path.c_str(), KeGetCurrentIrql());
    image->entered = NT_SUCCESS(status);
    if (entryStatus != nullptr)
        *entryStatus = status;
    return image;
}

PDRIVER_OBJECT DriverObjectOf(DriverImage *image)
{
    return &image->driver;
}

void UnloadDriver(DriverImage *image)
{
    sim::hal::RequireIrqlAtMost(PASSIVE_LEVEL, "UnloadDriver");
    PDRIVER_OBJECT d = &image->driver;
    if (image->entered && d->DriverUnload != NULL) {
        d->DriverUnload(d);
        if (KeGetCurrentIrql() != PASSIVE_LEVEL)
            VerifierFault("IRQL_NOT_RESTORED", "%s: DriverUnload returned at IRQL %u", image->path.c_str(),
                          KeGetCurrentIrql());
    }
    const std::size_t devices = sim::kernel::DeviceObjectsOf(d);
    if (devices != 0)
        VerifierFault("DEVICE_OBJECT_NOT_DELETED_AT_UNLOAD", "%s: %zu device object(s) still exist at unload",
                      image->path.c_str(), devices);
    const std::size_t lists = sim::kernel::LookasideListsFrom(image->begin, image->end);
    if (lists != 0)
        VerifierFault("LOOKASIDE_NOT_DELETED_AT_UNLOAD", "%s: %zu lookaside list(s) were never deleted",
                      image->path.c_str(), lists);
    const std::size_t handles = sim::kernel::HandlesFrom(image->begin, image->end);
    if (handles != 0)
        VerifierFault("HANDLE_NOT_CLOSED_AT_UNLOAD", "%s: %zu handle(s) it opened are still open at unload",
                      image->path.c_str(), handles);
    const auto leaked = sim::kernel::BlocksFrom(image->begin, image->end);
    if (!leaked.empty()) {
        std::string list;
        for (const auto &b : leaked)
            list += " '" + sim::pool::TagName(b.tag) + "':" + std::to_string(b.size);
        VerifierFault("POOL_LEAK_AT_UNLOAD", "%s: %zu pool block(s) outstanding at unload (tag:bytes)%s",
                      image->path.c_str(), leaked.size(), list.c_str());
    }
    dlclose(image->handle);
    delete image;
}

}  // namespace sim::io

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT *DeviceObject)
{
    UNREFERENCED_PARAMETER(DeviceName);
    sim::hal::RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
    *DeviceObject = NULL;
    const SIZE_T extensionOffset = ALIGN_UP_BY(sizeof(DEVICE_OBJECT), 16);
    auto *device = static_cast<PDEVICE_OBJECT>(sim::kernel::AllocateBlock(
        NonPagedPool, extensionOffset + DeviceExtensionSize, kDeviceTag, __builtin_return_address(0),
        "IoCreateDevice"));
    if (device == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(device, extensionOffset + DeviceExtensionSize);
    device->Type = IO_TYPE_DEVICE;
    device->Size = USHORT(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->ReferenceCount = 0;
    device->DriverObject = DriverObject;
    device->DeviceExtension = DeviceExtensionSize != 0 ? reinterpret_cast<char *>(device) + extensionOffset : NULL;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics;
    device->StackSize = 1;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->AlignmentRequirement = 0;
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    {
        std::lock_guard<std::mutex> g(Devices().lock);
        device->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = device;
        Devices().devices.insert(device);
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    sim::hal::RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice");
    {
        std::lock_guard<std::mutex> g(Devices().lock);
        if (Devices().devices.erase(DeviceObject) == 0)
            VerifierFault("UNKNOWN_DEVICE_OBJECT", "IoDeleteDevice(%p): not a live device object",
                          static_cast<void *>(DeviceObject));
        if (DeviceObject->AttachedDevice != NULL)
            VerifierFault("DEVICE_DELETED_WHILE_ATTACHED",
                          "IoDeleteDevice(%p): device %p is still attached on top of it",
                          static_cast<void *>(DeviceObject), static_cast<void *>(DeviceObject->AttachedDevice));
        PDEVICE_OBJECT *link = &DeviceObject->DriverObject->DeviceObject;
        while (*link != NULL && *link != DeviceObject)
            link = &(*link)->NextDevice;
        if (*link == DeviceObject)
            *link = DeviceObject->NextDevice;
    }
    sim::kernel::DeviceDeleted(DeviceObject);
    sim::kernel::FreeBlock(DeviceObject, "IoDeleteDevice", true, kDeviceTag);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    sim::hal::RequireIrqlAtMost(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack");
    std::lock_guard<std::mutex> g(Devices().lock);
    if (Devices().devices.count(SourceDevice) == 0 || Devices().devices.count(TargetDevice) == 0)
        VerifierFault("UNKNOWN_DEVICE_OBJECT", "IoAttachDeviceToDeviceStack(%p, %p): not a live device object",
                      static_cast<void *>(SourceDevice), static_cast<void *>(TargetDevice));
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice != NULL)
        top = top->AttachedDevice;
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = CCHAR(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    sim::hal::RequireIrqlAtMost(PASSIVE_LEVEL, "IoDetachDevice");
    std::lock_guard<std::mutex> g(Devices().lock);
    if (Devices().devices.count(TargetDevice) == 0)
        VerifierFault("UNKNOWN_DEVICE_OBJECT", "IoDetachDevice(%p): not a live device object",
                      static_cast<void *>(TargetDevice));
    TargetDevice->AttachedDevice = NULL;
}

}  // extern "C"
