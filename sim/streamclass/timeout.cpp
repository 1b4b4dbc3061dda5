// The class's once-a-second tick that counts SRB time-outs down.
//
// It is a host thread of its own that exists only while an adapter does:
// tests fork for death tests, and a fork must not find a thread of the
// class holding a lock. One second is stand-in time, so sim::time's scale
// applies: the tick waits on an event with a relative time-out, which is
// also what lets it stop at once.

#include "streamclass_internal.h"

#include <thread>

namespace sim::streamclass {

namespace {

struct TimeoutThread {
    std::mutex lock;
    std::thread thread;
    KEVENT stop;
};

TimeoutThread &Ticker()
{
    static TimeoutThread *t = new TimeoutThread;
    return *t;
}

void Tick(PKEVENT stop)
{
    for (;;) {
        LARGE_INTEGER oneSecond;
        oneSecond.QuadPart = -10 * 1000 * 1000;
        if (KeWaitForSingleObject(stop, Executive, KernelMode, FALSE, &oneSecond) != STATUS_TIMEOUT)
            return;
        CountDownTimeouts();
    }
}

}  // namespace

void StartTimeoutThread()
{
    TimeoutThread &t = Ticker();
    std::lock_guard<std::mutex> g(t.lock);
    KeInitializeEvent(&t.stop, NotificationEvent, FALSE);
    t.thread = std::thread(Tick, &t.stop);
}

void StopTimeoutThread()
{
    TimeoutThread &t = Ticker();
    std::lock_guard<std::mutex> g(t.lock);
    KeSetEvent(&t.stop, IO_NO_INCREMENT, FALSE);
    t.thread.join();
}

bool TimeoutThreadRunning()
{
    TimeoutThread &t = Ticker();
    std::lock_guard<std::mutex> g(t.lock);
    return t.thread.joinable();
}

}  // namespace sim::streamclass
