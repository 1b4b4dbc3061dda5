// IRQL and spin locks on one thread. (Contention is in concurrency_test.cpp.)

#include "test_support.h"

#include <gtest/gtest.h>

namespace {

using nvtest::RaisedIrql;

TEST(Irql, RaiseReturnsThePreviousLevelAndLowerRestoresIt)
{
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL first, second;
    KeRaiseIrql(APC_LEVEL, &first);
    EXPECT_EQ(first, PASSIVE_LEVEL);
    KeRaiseIrql(DISPATCH_LEVEL, &second);
    EXPECT_EQ(second, APC_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeRaiseIrql(DISPATCH_LEVEL, &second);  // raising to the current level is allowed
    EXPECT_EQ(second, DISPATCH_LEVEL);
    KeLowerIrql(APC_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KeLowerIrql(first);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

class SpinLockFrom : public testing::TestWithParam<KIRQL> {};

TEST_P(SpinLockFrom, AcquireRaisesToDispatchLevelAndReleaseRestores)
{
    const KIRQL start = GetParam();
    RaisedIrql raised(start);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, start);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), start);

    // Released means free: taking it again is no recursion.
    KeAcquireSpinLock(&lock, &old);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), start);
}

INSTANTIATE_TEST_SUITE_P(Levels, SpinLockFrom,
                         testing::Values(KIRQL(PASSIVE_LEVEL), KIRQL(APC_LEVEL), KIRQL(DISPATCH_LEVEL)));

TEST(SpinLock, AtDpcLevelLeavesTheIrqlAlone)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    RaisedIrql raised(DISPATCH_LEVEL);
    KeAcquireSpinLockAtDpcLevel(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeAcquireSpinLockAtDpcLevel(&lock);
    KeReleaseSpinLockFromDpcLevel(&lock);
}

TEST(SpinLock, TwoLocksNestAndReleaseInAnyOrder)
{
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KIRQL oldA, oldB;
    KeAcquireSpinLock(&a, &oldA);
    KeAcquireSpinLock(&b, &oldB);
    EXPECT_EQ(oldB, DISPATCH_LEVEL);
    KeReleaseSpinLockFromDpcLevel(&a);
    KeReleaseSpinLock(&b, oldA);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(CancelSpinLock, RaisesToDispatchLevelAndRestores)
{
    for (const KIRQL start : {KIRQL(PASSIVE_LEVEL), KIRQL(DISPATCH_LEVEL)}) {
        SCOPED_TRACE(int(start));
        RaisedIrql raised(start);
        KIRQL old;
        IoAcquireCancelSpinLock(&old);
        EXPECT_EQ(old, start);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        IoReleaseCancelSpinLock(old);
        EXPECT_EQ(KeGetCurrentIrql(), start);
    }
}

}  // namespace
