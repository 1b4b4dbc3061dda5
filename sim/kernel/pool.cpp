// Pool and lookaside lists, with the checks a pool verifier makes.
//
// Every block is a host allocation of guard + size + guard bytes, recorded
// in a table with its tag, type and the return address of the call that
// asked for it. Blocks are never recycled by the stand-in itself, so under
// AddressSanitizer a use after free is reported where it happens.
//
// Lookaside lists keep no cache: every allocation from a list is a fresh
// pool block of the list's entry size and every free returns it to the pool,
// which is allowed platform behaviour (a list of depth 0) and the strictest
// one for the driver.

#include "kernel_internal.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

using sim::VerifierFault;
using namespace sim::pool;

namespace {

struct Block {
    std::size_t size;
    ULONG tag;
    POOL_TYPE type;
    const void *caller;
    unsigned char *base;  // host allocation: front guard starts here
};

struct LookasideRecord {
    const void *caller;
};

struct PoolState {
    std::mutex lock;
    std::map<const void *, Block> blocks;
    std::map<const void *, LookasideRecord> lookasides;
    std::uint64_t allocations = 0;
    std::uint64_t failAt = 0;  // allocation number that fails; 0: none
    std::set<ULONG> failTags;
    std::uint64_t injected = 0;
};

PoolState &State()
{
    static PoolState *state = new PoolState;  // lives until process exit
    return *state;
}

bool IsPaged(POOL_TYPE type)
{
    return type == PagedPool || type == PagedPoolCacheAligned;
}

void CheckGuards(const void *address, const Block &b, const char *who)
{
    for (std::size_t i = 0; i < kGuardSize; i++) {
        if (b.base[i] != kGuardFill)
            VerifierFault("POOL_GUARD_OVERWRITTEN",
                          "%s: block %p (tag '%s', %zu bytes) has its guard byte %zu before its start overwritten",
                          who, address, TagName(b.tag).c_str(), b.size, kGuardSize - i);
        if (b.base[kGuardSize + b.size + i] != kGuardFill)
            VerifierFault("POOL_GUARD_OVERWRITTEN",
                          "%s: block %p (tag '%s', %zu bytes) was written %zu bytes past its end", who, address,
                          TagName(b.tag).c_str(), b.size, i + 1);
    }
}

}  // namespace

namespace sim {
namespace pool {

std::string TagName(ULONG tag)
{
    std::string s;
    for (int i = 0; i < 4; i++) {
        const char c = char((tag >> (8 * i)) & 0xFF);
        s += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return s;
}

std::size_t OutstandingBlocks()
{
    std::lock_guard<std::mutex> g(State().lock);
    return State().blocks.size();
}

std::size_t OutstandingBlocks(ULONG tag)
{
    std::lock_guard<std::mutex> g(State().lock);
    std::size_t n = 0;
    for (const auto &kv : State().blocks)
        n += kv.second.tag == tag;
    return n;
}

std::vector<BlockInfo> Outstanding()
{
    std::lock_guard<std::mutex> g(State().lock);
    std::vector<BlockInfo> out;
    for (const auto &kv : State().blocks)
        out.push_back({kv.first, kv.second.size, kv.second.tag, kv.second.type, kv.second.caller});
    return out;
}

std::size_t BlockSize(const void *address)
{
    std::lock_guard<std::mutex> g(State().lock);
    auto it = State().blocks.find(address);
    return it == State().blocks.end() ? 0 : it->second.size;
}

ULONG BlockTag(const void *address)
{
    std::lock_guard<std::mutex> g(State().lock);
    auto it = State().blocks.find(address);
    return it == State().blocks.end() ? 0 : it->second.tag;
}

std::uint64_t AllocationCount()
{
    std::lock_guard<std::mutex> g(State().lock);
    return State().allocations;
}

void FailNth(std::uint64_t n)
{
    std::lock_guard<std::mutex> g(State().lock);
    State().failAt = n == 0 ? 0 : State().allocations + n;
}

void FailTag(ULONG tag)
{
    std::lock_guard<std::mutex> g(State().lock);
    State().failTags.insert(tag);
}

void ClearInjection()
{
    std::lock_guard<std::mutex> g(State().lock);
    State().failAt = 0;
    State().failTags.clear();
}

std::uint64_t InjectedFailures()
{
    std::lock_guard<std::mutex> g(State().lock);
    return State().injected;
}

void CheckAllGuards()
{
    std::lock_guard<std::mutex> g(State().lock);
    for (const auto &kv : State().blocks)
        CheckGuards(kv.first, kv.second, "guard check");
}

}  // namespace pool

namespace kernel {

PVOID AllocateBlock(POOL_TYPE type, SIZE_T size, ULONG tag, const void *caller, const char *who)
{
    const KIRQL irql = KeGetCurrentIrql();
    if (IsPaged(type) && irql >= DISPATCH_LEVEL)
        VerifierFault("PAGED_POOL_AT_DISPATCH_LEVEL", "%s: paged pool (tag '%s') requested at IRQL %u", who,
                      TagName(tag).c_str(), irql);
    sim::hal::RequireIrqlAtMost(DISPATCH_LEVEL, who);
    if (type >= MaxPoolType || type == DontUseThisType)
        VerifierFault("BAD_POOL_TYPE", "%s: pool type %d", who, int(type));

    PoolState &s = State();
    {
        std::lock_guard<std::mutex> g(s.lock);
        s.allocations++;
        if (s.allocations == s.failAt || s.failTags.count(tag)) {
            s.injected++;
            return NULL;
        }
    }
    if (size == 0)
        size = 1;  // a zero-byte request still yields a distinct block
    const std::size_t total = kGuardSize + size + kGuardSize;
    auto *base = static_cast<unsigned char *>(std::aligned_alloc(16, (total + 15) & ~std::size_t(15)));
    if (base == nullptr)
        return NULL;
    std::memset(base, kGuardFill, kGuardSize);
    std::memset(base + kGuardSize, kAllocFill, size);
    std::memset(base + kGuardSize + size, kGuardFill, kGuardSize);
    void *address = base + kGuardSize;
    std::lock_guard<std::mutex> g(s.lock);
    s.blocks[address] = Block{size, tag, type, caller, base};
    return address;
}

void FreeBlock(PVOID address, const char *who, bool checkTag, ULONG tag)
{
    const KIRQL irql = KeGetCurrentIrql();
    sim::hal::RequireIrqlAtMost(DISPATCH_LEVEL, who);
    PoolState &s = State();
    Block b;
    {
        std::lock_guard<std::mutex> g(s.lock);
        auto it = s.blocks.find(address);
        if (it == s.blocks.end())
            VerifierFault("POOL_FREE_OF_UNKNOWN_BLOCK",
                          "%s(%p): not a live pool block (freed twice, or never allocated)", who, address);
        b = it->second;
        if (IsPaged(b.type) && irql >= DISPATCH_LEVEL)
            VerifierFault("PAGED_POOL_AT_DISPATCH_LEVEL", "%s: paged block %p (tag '%s') freed at IRQL %u", who,
                          address, TagName(b.tag).c_str(), irql);
        if (checkTag && b.tag != tag)
            VerifierFault("POOL_TAG_MISMATCH", "%s(%p, '%s'): the block was allocated with tag '%s'", who, address,
                          TagName(tag).c_str(), TagName(b.tag).c_str());
        CheckGuards(address, b, who);
        auto *begin = static_cast<const unsigned char *>(address);
        for (const auto &kv : s.lookasides) {
            auto *l = static_cast<const unsigned char *>(kv.first);
            if (l >= begin && l < begin + b.size)
                VerifierFault("POOL_FREE_OF_ACTIVE_LOOKASIDE",
                              "%s(%p): the block holds lookaside list %p, which was never deleted", who, address,
                              kv.first);
        }
        s.blocks.erase(it);
    }
    std::memset(b.base, kFreeFill, kGuardSize + b.size + kGuardSize);
    std::free(b.base);
}

std::vector<BlockInfo> BlocksFrom(const void *begin, const void *end)
{
    std::vector<BlockInfo> out;
    for (const BlockInfo &b : Outstanding())
        if (b.caller >= begin && b.caller < end)
            out.push_back(b);
    return out;
}

std::size_t LookasideListsFrom(const void *begin, const void *end)
{
    std::lock_guard<std::mutex> g(State().lock);
    std::size_t n = 0;
    for (const auto &kv : State().lookasides)
        n += kv.second.caller >= begin && kv.second.caller < end;
    return n;
}

}  // namespace kernel
}  // namespace sim

using sim::kernel::AllocateBlock;
using sim::kernel::FreeBlock;

extern "C" {

// The kernel image exports the C library's three memory routines, as the
// platform's does, so the compiler's own calls from driver code resolve here.
// They defer to the host's checked variants, which do not recurse into these.
void *__memcpy_chk(void *, const void *, size_t, size_t);
void *__memmove_chk(void *, const void *, size_t, size_t);
void *__memset_chk(void *, int, size_t, size_t);

void *memcpy(void *dst, const void *src, size_t n)
{
    return __memcpy_chk(dst, src, n, SIZE_MAX);
}

void *memmove(void *dst, const void *src, size_t n)
{
    return __memmove_chk(dst, src, n, SIZE_MAX);
}

void *memset(void *dst, int c, size_t n)
{
    return __memset_chk(dst, c, n, SIZE_MAX);
}

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    return AllocateBlock(PoolType, NumberOfBytes, Tag, __builtin_return_address(0), "ExAllocatePoolWithTag");
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return AllocateBlock(PoolType, NumberOfBytes, sim::pool::Tag("None"), __builtin_return_address(0),
                         "ExAllocatePool");
}

VOID NTAPI ExFreePool(PVOID P)
{
    FreeBlock(P, "ExFreePool", false, 0);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    FreeBlock(P, "ExFreePoolWithTag", true, Tag);
}

VOID NTAPI ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                           PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                           USHORT Depth)
{
    UNREFERENCED_PARAMETER(Flags);
    sim::hal::RequireIrqlAtMost(DISPATCH_LEVEL, "ExInitializeNPagedLookasideList");
    RtlZeroMemory(Lookaside, sizeof *Lookaside);
    Lookaside->L.Depth = 0;
    Lookaside->L.MaximumDepth = Depth;
    Lookaside->L.Type = NonPagedPool;
    Lookaside->L.Tag = Tag;
    Lookaside->L.Size = ULONG(Size);
    Lookaside->L.Allocate = Allocate;  // NULL: the pool itself
    Lookaside->L.Free = Free;
    InitializeListHead(&Lookaside->L.ListEntry);
    std::lock_guard<std::mutex> g(State().lock);
    State().lookasides[Lookaside] = LookasideRecord{__builtin_return_address(0)};
}

VOID NTAPI ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    sim::hal::RequireIrqlAtMost(DISPATCH_LEVEL, "ExDeleteNPagedLookasideList");
    std::lock_guard<std::mutex> g(State().lock);
    if (State().lookasides.erase(Lookaside) == 0)
        VerifierFault("LOOKASIDE_NOT_INITIALIZED", "ExDeleteNPagedLookasideList(%p): no such list",
                      static_cast<void *>(Lookaside));
}

static void RequireLookaside(PNPAGED_LOOKASIDE_LIST Lookaside, const char *who)
{
    std::lock_guard<std::mutex> g(State().lock);
    if (State().lookasides.count(Lookaside) == 0)
        VerifierFault("LOOKASIDE_NOT_INITIALIZED", "%s(%p): the list was never initialised, or was deleted", who,
                      static_cast<void *>(Lookaside));
}

PVOID FASTCALL ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    RequireLookaside(Lookaside, "ExAllocateFromNPagedLookasideList");
    __atomic_fetch_add(&Lookaside->L.TotalAllocates, 1, __ATOMIC_RELAXED);
    __atomic_fetch_add(&Lookaside->L.AllocateMisses, 1, __ATOMIC_RELAXED);
    if (Lookaside->L.Allocate != NULL)
        return Lookaside->L.Allocate(Lookaside->L.Type, Lookaside->L.Size, Lookaside->L.Tag);
    return AllocateBlock(NonPagedPool, Lookaside->L.Size, Lookaside->L.Tag, __builtin_return_address(0),
                         "ExAllocateFromNPagedLookasideList");
}

VOID FASTCALL ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry)
{
    RequireLookaside(Lookaside, "ExFreeToNPagedLookasideList");
    const std::size_t size = sim::pool::BlockSize(Entry);
    if (size != 0 && size != Lookaside->L.Size)
        VerifierFault("LOOKASIDE_WRONG_SIZE",
                      "ExFreeToNPagedLookasideList(%p, %p): a %zu-byte block freed to a list of %u-byte entries",
                      static_cast<void *>(Lookaside), Entry, size, Lookaside->L.Size);
    __atomic_fetch_add(&Lookaside->L.TotalFrees, 1, __ATOMIC_RELAXED);
    __atomic_fetch_add(&Lookaside->L.FreeMisses, 1, __ATOMIC_RELAXED);
    if (Lookaside->L.Free != NULL)
        Lookaside->L.Free(Entry);
    else
        FreeBlock(Entry, "ExFreeToNPagedLookasideList", false, 0);
}

}  // extern "C"
