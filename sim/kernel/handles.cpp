// The kernel's handle table and ZwClose.
//
// One table serves every kind of handle (registry keys now, files later).
// Handle values look like the platform's: multiples of four, with the top
// bit of the 32-bit value set for kernel handles (OBJ_KERNEL_HANDLE). They
// are never reused, so a handle closed twice or used after its close is
// always recognised.

#include "machine_internal.h"

#include <map>
#include <mutex>

using sim::VerifierFault;
using sim::machine::HandleKind;

namespace {

// The pool block behind each open handle: what makes a forgotten handle
// visible as a leak, and charges it to the image that opened it.
struct HandleBlock {
    ULONG kind;
    ULONG number;
};

ULONG TagOf(HandleKind kind)
{
    return kind == HandleKind::Key ? sim::pool::Tag("ObKy") : sim::pool::Tag("ObFl");
}

struct Entry {
    HandleKind kind;
    std::shared_ptr<sim::kernel::KernelObject> object;
    std::u16string name;
    bool kernelHandle;
    ACCESS_MASK access;
    const void *caller;
    void *block;
    ULONG number;  // order of opening
};

struct HandleTable {
    std::mutex lock;
    std::map<HANDLE, Entry> entries;
    ULONG next = 1;
};

HandleTable &Table()
{
    static HandleTable *t = new HandleTable;  // lives until process exit
    return *t;
}

// Numbers stay below 2^29 so that number * 4 fits the 31 bits under the
// kernel-handle bit.
constexpr ULONG kLastNumber = (1u << 29) - 1;

HANDLE MakeHandle(ULONG number, bool kernelHandle)
{
    const uint32_t value = (number << 2) | (kernelHandle ? 0x80000000u : 0u);
    // Sign-extended, as a kernel handle is on a 64-bit platform.
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(static_cast<int32_t>(value)));
}

}  // namespace

namespace sim::kernel {

HANDLE CreateHandle(HandleKind kind, std::shared_ptr<KernelObject> object, std::u16string name, ULONG attributes,
                    ACCESS_MASK access, const void *caller, const char *who, NTSTATUS *status)
{
    auto *block = static_cast<HandleBlock *>(AllocateBlock(PagedPool, sizeof(HandleBlock), TagOf(kind), caller, who));
    if (block == nullptr) {
        *status = STATUS_INSUFFICIENT_RESOURCES;
        return NULL;
    }
    const bool kernelHandle = (attributes & OBJ_KERNEL_HANDLE) != 0;
    HANDLE handle;
    {
        std::lock_guard<std::mutex> g(Table().lock);
        if (Table().next > kLastNumber)
            VerifierFault("UNSUPPORTED_BY_STAND_IN", "%s: the handle table ran out of handle values", who);
        const ULONG number = Table().next++;
        block->kind = ULONG(kind);
        block->number = number;
        handle = MakeHandle(number, kernelHandle);
        Table().entries[handle] = Entry{kind, std::move(object), std::move(name), kernelHandle, access, caller, block, number};
    }
    *status = STATUS_SUCCESS;
    return handle;
}

std::shared_ptr<KernelObject> ReferenceHandle(HANDLE handle, HandleKind kind, const char *who, NTSTATUS *status)
{
    std::lock_guard<std::mutex> g(Table().lock);
    auto it = Table().entries.find(handle);
    if (it == Table().entries.end())
        VerifierFault("INVALID_HANDLE", "%s(%p): not an open handle (closed already, or never opened)", who, handle);
    if (it->second.kind != kind) {
        *status = STATUS_OBJECT_TYPE_MISMATCH;
        return nullptr;
    }
    *status = STATUS_SUCCESS;
    return it->second.object;
}

std::size_t HandlesFrom(const void *begin, const void *end)
{
    std::lock_guard<std::mutex> g(Table().lock);
    std::size_t n = 0;
    for (const auto &kv : Table().entries)
        n += kv.second.caller >= begin && kv.second.caller < end;
    return n;
}

}  // namespace sim::kernel

namespace sim::machine {

std::vector<HandleInfo> OpenHandles()
{
    std::lock_guard<std::mutex> g(Table().lock);
    std::map<ULONG, HandleInfo> byNumber;
    for (const auto &kv : Table().entries) {
        const Entry &e = kv.second;
        byNumber.emplace(e.number, HandleInfo{kv.first, e.kind, e.name, e.kernelHandle, e.access, e.caller});
    }
    std::vector<HandleInfo> out;
    for (auto &kv : byNumber)
        out.push_back(std::move(kv.second));
    return out;
}

}  // namespace sim::machine

extern "C" {

NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    sim::hal::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
    Entry entry;
    {
        std::lock_guard<std::mutex> g(Table().lock);
        auto it = Table().entries.find(Handle);
        if (it == Table().entries.end())
            VerifierFault("INVALID_HANDLE", "ZwClose(%p): not an open handle (closed already, or never opened)",
                          Handle);
        entry = std::move(it->second);
        Table().entries.erase(it);
    }
    sim::kernel::FreeBlock(entry.block, "ZwClose", true, TagOf(entry.kind));
    // The table's reference goes with entry; the object's own close runs
    // here unless a call using the handle still holds it.
    return STATUS_SUCCESS;
}

}  // extern "C"
