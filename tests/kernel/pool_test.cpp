// Pool and lookaside lists as a driver sees them: poison instead of zeros,
// tags, sizes, and allocation failures injected where a test asks.

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using nvtest::InjectionScope;
using sim::pool::Tag;

struct FreshBlockCase {
    const char *name;
    POOL_TYPE type;
    SIZE_T size;
};

class FreshBlock : public testing::TestWithParam<FreshBlockCase> {};

TEST_P(FreshBlock, IsPoisonFilledTaggedAndTracked)
{
    const FreshBlockCase &c = GetParam();
    const ULONG tag = Tag("TsPl");
    const std::size_t before = sim::pool::OutstandingBlocks(tag);
    auto *p = static_cast<unsigned char *>(ExAllocatePoolWithTag(c.type, c.size, tag));
    ASSERT_NE(p, nullptr);

    std::size_t poisoned = 0;
    for (SIZE_T i = 0; i < c.size; i++)
        poisoned += p[i] == sim::pool::kAllocFill;
    EXPECT_EQ(poisoned, c.size) << "every byte of a fresh block is the allocation fill";
    EXPECT_EQ(sim::pool::BlockSize(p), c.size);
    EXPECT_EQ(sim::pool::BlockTag(p), tag);
    EXPECT_EQ(sim::pool::OutstandingBlocks(tag), before + 1);
    bool listed = false;
    for (const sim::pool::BlockInfo &b : sim::pool::Outstanding())
        if (b.address == p)
            listed = b.size == c.size && b.tag == tag && b.type == c.type;
    EXPECT_TRUE(listed) << "Outstanding() lists the block with its size, tag and type";

    ExFreePoolWithTag(p, tag);
    EXPECT_EQ(sim::pool::BlockSize(p), 0u);
    EXPECT_EQ(sim::pool::OutstandingBlocks(tag), before);
}

INSTANTIATE_TEST_SUITE_P(Pools, FreshBlock,
                         testing::Values(FreshBlockCase{"NonPagedOneByte", NonPagedPool, 1},
                                         FreshBlockCase{"NonPaged", NonPagedPool, 100},
                                         FreshBlockCase{"Paged", PagedPool, 4096},
                                         FreshBlockCase{"CacheAligned", NonPagedPoolCacheAligned, 64}),
                         [](const testing::TestParamInfo<FreshBlockCase> &info) { return info.param.name; });

// The fault a driver makes when it forgets to initialise a structure: the
// fields read back as poison, not as the zeros that would hide the bug.
TEST(Pool, UninitialisedFieldsReadAsPoisonNotZero)
{
    struct Context {
        ULONG count;
        PVOID buffer;
        BOOLEAN started;
    };
    auto *ctx = static_cast<Context *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Context), Tag("TsCx")));
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->count, 0xA5A5A5A5u);
    EXPECT_NE(ctx->buffer, nullptr);
    EXPECT_EQ(ctx->started, 0xA5);
    ExFreePoolWithTag(ctx, Tag("TsCx"));
}

TEST(Pool, TagsAreTheFourCharactersLittleEndian)
{
    const ULONG tag = Tag("Wdm ");
    unsigned char bytes[4];
    std::memcpy(bytes, &tag, sizeof bytes);
    EXPECT_EQ(std::memcmp(bytes, "Wdm ", 4), 0);
    EXPECT_EQ(tag, 0x206D6457u);
    EXPECT_EQ(sim::pool::TagName(tag), "Wdm ");
}

TEST(Pool, UntaggedAllocationFreesWithExFreePool)
{
    PVOID p = ExAllocatePool(NonPagedPool, 24);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(sim::pool::BlockSize(p), 24u);
    ExFreePool(p);
    EXPECT_EQ(sim::pool::BlockSize(p), 0u);
    // ExFreePool does not ask for the tag.
    PVOID q = ExAllocatePoolWithTag(PagedPool, 8, Tag("TsUt"));
    ASSERT_NE(q, nullptr);
    ExFreePool(q);
}

// --- Lookaside lists -----------------------------------------------------------

TEST(Lookaside, EntriesAreBlocksOfTheListsSizeAndTag)
{
    NPAGED_LOOKASIDE_LIST list;
    const ULONG tag = Tag("TsLk");
    ExInitializeNPagedLookasideList(&list, NULL, NULL, 0, 48, tag, 0);
    EXPECT_GE(list.L.Size, 48u);
    EXPECT_EQ(list.L.Tag, tag);

    PVOID entries[3];
    for (PVOID &e : entries) {
        e = ExAllocateFromNPagedLookasideList(&list);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(sim::pool::BlockSize(e), list.L.Size);
        EXPECT_EQ(sim::pool::BlockTag(e), tag);
    }
    EXPECT_NE(entries[0], entries[1]);
    EXPECT_NE(entries[1], entries[2]);
    for (PVOID e : entries)
        ExFreeToNPagedLookasideList(&list, e);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(sim::pool::OutstandingBlocks(tag), 0u) << "a deleted list holds no entries";
}

// A list with routines of its own gets its entries from them, with the
// list's size and tag, and gives every one back by the time it is deleted.
struct CountingAllocator {
    static int allocations, frees;
    static SIZE_T lastSize;
    static ULONG lastTag;
    static PVOID NTAPI Allocate(POOL_TYPE type, SIZE_T size, ULONG tag)
    {
        allocations++;
        lastSize = size;
        lastTag = tag;
        return ExAllocatePoolWithTag(type, size, tag);
    }
    static VOID NTAPI Free(PVOID entry)
    {
        frees++;
        ExFreePool(entry);
    }
};
int CountingAllocator::allocations;
int CountingAllocator::frees;
SIZE_T CountingAllocator::lastSize;
ULONG CountingAllocator::lastTag;

TEST(Lookaside, UsesTheListsOwnAllocateAndFreeRoutines)
{
    CountingAllocator::allocations = CountingAllocator::frees = 0;
    NPAGED_LOOKASIDE_LIST list;
    const ULONG tag = Tag("TsLc");
    ExInitializeNPagedLookasideList(&list, &CountingAllocator::Allocate, &CountingAllocator::Free, 0, 40, tag, 0);
    PVOID a = ExAllocateFromNPagedLookasideList(&list);
    PVOID b = ExAllocateFromNPagedLookasideList(&list);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_GE(CountingAllocator::allocations, 1) << "an empty list must ask its allocate routine";
    EXPECT_EQ(CountingAllocator::lastSize, list.L.Size);
    EXPECT_EQ(CountingAllocator::lastTag, tag);
    ExFreeToNPagedLookasideList(&list, a);
    ExFreeToNPagedLookasideList(&list, b);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(CountingAllocator::frees, CountingAllocator::allocations);
}

TEST(Lookaside, ReturnsNullWhenThePoolFails)
{
    InjectionScope injection;
    NPAGED_LOOKASIDE_LIST list;
    const ULONG tag = Tag("TsLf");
    ExInitializeNPagedLookasideList(&list, NULL, NULL, 0, 32, tag, 0);
    sim::pool::FailTag(tag);
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr);
    sim::pool::ClearInjection();
    PVOID e = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_NE(e, nullptr);
    ExFreeToNPagedLookasideList(&list, e);
    ExDeleteNPagedLookasideList(&list);
}

// --- Fault injection ------------------------------------------------------------

class FailNth : public testing::TestWithParam<int> {};

TEST_P(FailNth, FailsExactlyTheNthAllocationOnce)
{
    const int n = GetParam();
    InjectionScope injection;
    const ULONG tag = Tag("TsFn");
    const std::uint64_t countBefore = sim::pool::AllocationCount();
    const std::uint64_t injectedBefore = sim::pool::InjectedFailures();
    sim::pool::FailNth(std::uint64_t(n));
    std::vector<PVOID> blocks;
    for (int i = 1; i <= 4; i++) {
        PVOID p = ExAllocatePoolWithTag(NonPagedPool, 16, tag);
        EXPECT_EQ(p == nullptr, i == n) << "allocation " << i;
        if (p != nullptr)
            blocks.push_back(p);
    }
    EXPECT_EQ(sim::pool::AllocationCount(), countBefore + 4) << "failed allocations count too";
    EXPECT_EQ(sim::pool::InjectedFailures(), injectedBefore + 1);
    for (PVOID p : blocks)
        ExFreePoolWithTag(p, tag);
}

INSTANTIATE_TEST_SUITE_P(Positions, FailNth, testing::Values(1, 2, 4));

TEST(FaultInjection, FailNthCountsIrpAllocations)
{
    InjectionScope injection;
    sim::pool::FailNth(1);
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
    PIRP irp = IoAllocateIrp(1, FALSE);
    ASSERT_NE(irp, nullptr) << "the failure happens once";
    IoFreeIrp(irp);
}

TEST(FaultInjection, FailTagFailsEveryAllocationOfThatTagOnly)
{
    InjectionScope injection;
    nvtest::TestDevice device;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    const ULONG irpTag = Tag("Irp ");
    const std::size_t irpsBefore = sim::io::LiveIrps();

    sim::pool::FailTag(irpTag);
    EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr);
    EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr) << "a tag keeps failing until cleared";
    EXPECT_EQ(IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_NEITHER, FILE_ANY_ACCESS),
                                            device.get(), NULL, 0, NULL, 0, TRUE, &event, &iosb),
              nullptr);
    PVOID other = ExAllocatePoolWithTag(NonPagedPool, 8, Tag("TsOk"));
    EXPECT_NE(other, nullptr) << "other tags are not affected";
    ExFreePoolWithTag(other, Tag("TsOk"));
    EXPECT_EQ(sim::io::LiveIrps(), irpsBefore);

    sim::pool::ClearInjection();
    const std::size_t irpBlocks = sim::pool::OutstandingBlocks(irpTag);
    PIRP irp = IoAllocateIrp(2, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(sim::pool::OutstandingBlocks(irpTag), irpBlocks + 1) << "an IRP is a pool block tagged 'Irp '";
    EXPECT_EQ(sim::io::LiveIrps(), irpsBefore + 1);
    IoFreeIrp(irp);
}

}  // namespace
