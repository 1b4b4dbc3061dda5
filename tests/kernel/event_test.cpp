// Events, waits with time-outs, delays and the system clock, on one thread.
// (Waits released by other threads are in concurrency_test.cpp.)

#include "test_support.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using nvtest::RaisedIrql;
using nvtest::TimeScale;

constexpr LONGLONG kOneSecond = 10 * 1000 * 1000;  // 100 ns units

NTSTATUS WaitFor(KEVENT &event, LONGLONG timeout)
{
    LARGE_INTEGER t;
    t.QuadPart = timeout;
    return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t);
}

struct EventKindCase {
    const char *name;
    EVENT_TYPE type;
    bool staysSignalled;
};

class EventKind : public testing::TestWithParam<EventKindCase> {};

TEST_P(EventKind, SignalledStateAcrossSetWaitAndReset)
{
    const EventKindCase &c = GetParam();
    KEVENT event;
    KeInitializeEvent(&event, c.type, FALSE);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(WaitFor(event, 0), STATUS_TIMEOUT);

    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0) << "KeSetEvent returns the previous state";
    EXPECT_EQ(WaitFor(event, 0), STATUS_SUCCESS);
    if (c.staysSignalled) {
        EXPECT_EQ(WaitFor(event, 0), STATUS_SUCCESS) << "a notification event stays signalled";
        EXPECT_NE(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
        EXPECT_NE(KeResetEvent(&event), 0);
        EXPECT_EQ(WaitFor(event, 0), STATUS_TIMEOUT);
    } else {
        EXPECT_EQ(WaitFor(event, 0), STATUS_TIMEOUT) << "a satisfied wait resets a synchronization event";
        EXPECT_EQ(KeReadStateEvent(&event), 0);
    }

    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&event);
    EXPECT_EQ(KeReadStateEvent(&event), 0);

    KEVENT initiallySet;
    KeInitializeEvent(&initiallySet, c.type, TRUE);
    EXPECT_EQ(WaitFor(initiallySet, 0), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Kinds, EventKind,
                         testing::Values(EventKindCase{"Notification", NotificationEvent, true},
                                         EventKindCase{"Synchronization", SynchronizationEvent, false}),
                         [](const testing::TestParamInfo<EventKindCase> &info) { return info.param.name; });

// Time-outs that expire. The time scale makes the nominal second short; the
// test asserts the status, never how long it took.
struct TimeoutCase {
    const char *name;
    KIRQL irql;
    std::function<long long()> timeout;  // LONGLONG carries an alignment attribute
};

class WaitTimeout : public testing::TestWithParam<TimeoutCase> {};

TEST_P(WaitTimeout, ExpiresWithStatusTimeout)
{
    const TimeoutCase &c = GetParam();
    TimeScale scale(0.001);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    const LONGLONG timeout = c.timeout();
    RaisedIrql raised(c.irql);
    EXPECT_EQ(WaitFor(event, timeout), STATUS_TIMEOUT);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, WaitTimeout,
    testing::Values(TimeoutCase{"RelativeOneSecond", PASSIVE_LEVEL, [] { return -kOneSecond; }},
                    TimeoutCase{"RelativeAtApcLevel", APC_LEVEL, [] { return -kOneSecond / 10; }},
                    // A positive time-out is an absolute system time.
                    TimeoutCase{"AbsoluteInTheFuture", PASSIVE_LEVEL,
                                [] {
                                    LARGE_INTEGER now;
                                    KeQuerySystemTime(&now);
                                    return now.QuadPart + kOneSecond / 2;
                                }},
                    TimeoutCase{"AbsoluteAlreadyPast", PASSIVE_LEVEL,
                                [] {
                                    LARGE_INTEGER now;
                                    KeQuerySystemTime(&now);
                                    return now.QuadPart > 1 ? now.QuadPart / 2 : 1;
                                }}),
    [](const testing::TestParamInfo<TimeoutCase> &info) { return info.param.name; });

TEST(Wait, SignalledEventSatisfiesAWaitWithATimeout)
{
    TimeScale scale(0.001);
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    EXPECT_EQ(WaitFor(event, -kOneSecond), STATUS_SUCCESS);
    EXPECT_EQ(WaitFor(event, -kOneSecond), STATUS_TIMEOUT) << "the first wait consumed the signal";
}

// At DISPATCH_LEVEL a zero time-out is allowed: the wait only polls.
TEST(Wait, ZeroTimeoutAtDispatchLevelPolls)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    RaisedIrql raised(DISPATCH_LEVEL);
    EXPECT_EQ(WaitFor(event, 0), STATUS_TIMEOUT);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(WaitFor(event, 0), STATUS_SUCCESS);
}

// The system clock runs at the scaled rate, so a driver timing itself with
// KeQuerySystemTime sees at least the nominal interval pass across a delay.
TEST(Delay, ReturnsSuccessAndTheSystemClockAdvancesByAtLeastTheInterval)
{
    TimeScale scale(0.001);
    LARGE_INTEGER before, after, interval;
    KeQuerySystemTime(&before);
    interval.QuadPart = -kOneSecond;
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    KeQuerySystemTime(&after);
    // One percent of slack for the conversion between the two time bases.
    EXPECT_GE(after.QuadPart - before.QuadPart, kOneSecond - kOneSecond / 100);

    RaisedIrql raised(APC_LEVEL);
    interval.QuadPart = -kOneSecond / 10;
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS) << "allowed at APC_LEVEL";
}

TEST(Clock, TickCountAdvancesWithTheSystemTime)
{
    TimeScale scale(0.001);
    const ULONG increment = KeQueryTimeIncrement();
    ASSERT_GT(increment, 0u);
    LARGE_INTEGER ticksBefore, ticksAfter, interval;
    KeQueryTickCount(&ticksBefore);
    interval.QuadPart = -kOneSecond;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    KeQueryTickCount(&ticksAfter);
    // A tick is one increment of 100 ns units; partial ticks at either end
    // cost at most one.
    EXPECT_GE(ticksAfter.QuadPart - ticksBefore.QuadPart, (kOneSecond - kOneSecond / 100) / increment - 1);
}

}  // namespace
