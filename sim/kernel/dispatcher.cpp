// Dispatcher objects (events), waits, delays and the system clock.
//
// As on the platform, one dispatcher lock guards the state of every event;
// a wait sleeps on one condition variable that every KeSetEvent wakes, and
// each waiter re-checks its own object. A synchronization event is consumed
// by the one waiter that sees it signalled first.

#include "kernel_internal.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

using sim::VerifierFault;

namespace {

// Header.Type values of the two event kinds, and Header.Size in LONGs.
constexpr UCHAR kNotificationEventObject = 0;
constexpr UCHAR kSynchronizationEventObject = 1;
constexpr UCHAR kEventSizeInLongs = sizeof(KEVENT) / sizeof(LONG);

using Clock = std::chrono::steady_clock;

struct Dispatcher {
    std::mutex lock;
    std::condition_variable changed;
};

Dispatcher &Disp()
{
    static Dispatcher *d = new Dispatcher;
    return *d;
}

struct TimeBase {
    std::mutex lock;
    double scale = 1.0;
    Clock::time_point realBase = Clock::now();
    LONGLONG simBase = 0;  // 100 ns units at realBase
};

TimeBase &Time()
{
    static TimeBase *t = new TimeBase;
    return *t;
}

LONGLONG SimNowLocked(TimeBase &t)
{
    const auto real = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t.realBase).count();
    return t.simBase + LONGLONG(double(real) / 100.0 / t.scale);
}

// Real time a stand-in interval of `units` 100 ns units takes.
Clock::duration RealDuration(LONGLONG units)
{
    double scale;
    {
        std::lock_guard<std::mutex> g(Time().lock);
        scale = Time().scale;
    }
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(LONGLONG(double(units) * 100.0 * scale)));
}

void RequireEvent(PRKEVENT event, const char *who)
{
    const UCHAR type = event->Header.Type;
    if ((type != kNotificationEventObject && type != kSynchronizationEventObject) ||
        event->Header.Size != kEventSizeInLongs)
        VerifierFault("WAIT_ON_UNINITIALIZED_OBJECT",
                      "%s(%p): not an event set up by KeInitializeEvent (type %u, size %u)", who,
                      static_cast<void *>(event), type, event->Header.Size);
}

// Interval in 100 ns units until a platform time-out expires: a negative
// value is relative, a positive one an absolute system time.
LONGLONG UnitsUntil(const LARGE_INTEGER *timeout)
{
    if (timeout->QuadPart <= 0)
        return -timeout->QuadPart;
    const LONGLONG now = sim::time::Now();
    return timeout->QuadPart > now ? timeout->QuadPart - now : 0;
}

}  // namespace

namespace sim::time {

void SetScale(double scale)
{
    if (!(scale > 0))
        VerifierFault("BAD_TIME_SCALE", "time scale %f must be above 0", scale);
    TimeBase &t = Time();
    std::lock_guard<std::mutex> g(t.lock);
    t.simBase = SimNowLocked(t);
    t.realBase = Clock::now();
    t.scale = scale;
}

double Scale()
{
    std::lock_guard<std::mutex> g(Time().lock);
    return Time().scale;
}

LONGLONG Now()
{
    std::lock_guard<std::mutex> g(Time().lock);
    return SimNowLocked(Time());
}

}  // namespace sim::time

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    if (Type != NotificationEvent && Type != SynchronizationEvent)
        VerifierFault("BAD_EVENT_TYPE", "KeInitializeEvent(%p, %d)", static_cast<void *>(Event), int(Type));
    std::lock_guard<std::mutex> g(Disp().lock);
    Event->Header.Type = Type == NotificationEvent ? kNotificationEventObject : kSynchronizationEventObject;
    Event->Header.Absolute = 0;
    Event->Header.Size = kEventSizeInLongs;
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    sim::hal::RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    Dispatcher &d = Disp();
    LONG previous;
    {
        std::lock_guard<std::mutex> g(d.lock);
        RequireEvent(Event, "KeSetEvent");
        previous = Event->Header.SignalState;
        Event->Header.SignalState = 1;
    }
    d.changed.notify_all();
    return previous;
}

LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    sim::hal::RequireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
    std::lock_guard<std::mutex> g(Disp().lock);
    RequireEvent(Event, "KeResetEvent");
    const LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    KeResetEvent(Event);
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> g(Disp().lock);
    RequireEvent(Event, "KeReadStateEvent");
    return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    const KIRQL irql = KeGetCurrentIrql();
    const bool polling = Timeout != NULL && Timeout->QuadPart == 0;
    if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && !polling))
        VerifierFault("WAIT_AT_DISPATCH_LEVEL",
                      "KeWaitForSingleObject(%p) at IRQL %u with %s; only a zero time-out is allowed at "
                      "DISPATCH_LEVEL",
                      Object, irql, Timeout == NULL ? "no time-out" : "a non-zero time-out");
    auto *event = static_cast<PRKEVENT>(Object);
    Dispatcher &d = Disp();
    std::unique_lock<std::mutex> g(d.lock);
    RequireEvent(event, "KeWaitForSingleObject");
    auto signalled = [event] { return event->Header.SignalState != 0; };
    bool satisfied;
    if (Timeout == NULL) {
        d.changed.wait(g, signalled);
        satisfied = true;
    } else {
        const auto deadline = Clock::now() + RealDuration(UnitsUntil(Timeout));
        satisfied = d.changed.wait_until(g, deadline, signalled);
    }
    if (!satisfied)
        return STATUS_TIMEOUT;
    if (event->Header.Type == kSynchronizationEventObject)
        event->Header.SignalState = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > APC_LEVEL)
        VerifierFault("WAIT_AT_DISPATCH_LEVEL", "KeDelayExecutionThread at IRQL %u; APC_LEVEL at most", irql);
    std::this_thread::sleep_for(RealDuration(UnitsUntil(Interval)));
    return STATUS_SUCCESS;
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = sim::time::Now();
}

// The clock ticks every 15.625 ms, as on a default-configured machine.
static constexpr ULONG kTimeIncrement = 156250;

VOID NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount)
{
    TickCount->QuadPart = sim::time::Now() / kTimeIncrement;
}

ULONG NTAPI KeQueryTimeIncrement(VOID)
{
    return kTimeIncrement;
}

PKTHREAD NTAPI KeGetCurrentThread(VOID)
{
    // Only its identity is meaningful.
    static thread_local char thread;
    return reinterpret_cast<PKTHREAD>(&thread);
}

}  // extern "C"

// Spin lock exports of the kernel image; the HAL owns the lock itself.
extern "C" {

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    *SpinLock = 0;
}

VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    if (KeGetCurrentIrql() < DISPATCH_LEVEL)
        VerifierFault("SPIN_LOCK_DPC_LEVEL_REQUIRED", "KeAcquireSpinLockAtDpcLevel(%p) at IRQL %u",
                      static_cast<void *>(SpinLock), KeGetCurrentIrql());
    sim::hal::AcquireRaw(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    if (KeGetCurrentIrql() < DISPATCH_LEVEL)
        VerifierFault("SPIN_LOCK_DPC_LEVEL_REQUIRED", "KeReleaseSpinLockFromDpcLevel(%p) at IRQL %u",
                      static_cast<void *>(SpinLock), KeGetCurrentIrql());
    sim::hal::ReleaseRaw(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

}  // extern "C"
