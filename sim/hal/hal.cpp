// The stand-in HAL: the processor's IRQL, spin locks, and the verifier's
// fault report, which every other image of the stand-in uses.
//
// IRQL is per thread: each host thread plays one processor. Raising to
// DISPATCH_LEVEL does not stop other threads, so spin locks really spin.

#include "hal_internal.h"

#include "../kernel/sim_kernel.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local unsigned t_heldLocks = 0;
// Its address identifies the thread as a lock owner. A held lock holds the
// owner's token: that address with the low two bits 10, so a lock word of
// poison fill (0xA5...) is told apart from a held lock.
alignas(4) thread_local char t_ownerToken;

ULONG_PTR OwnerToken()
{
    return (reinterpret_cast<ULONG_PTR>(&t_ownerToken) & ~ULONG_PTR(3)) | 2;
}

std::atomic<ULONG_PTR> &LockWord(PKSPIN_LOCK lock)
{
    static_assert(sizeof(std::atomic<ULONG_PTR>) == sizeof(KSPIN_LOCK), "spin lock word");
    return *reinterpret_cast<std::atomic<ULONG_PTR> *>(lock);
}

}  // namespace

namespace sim {

void VerifierFault(const char *rule, const char *format, ...)
{
    char detail[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(detail, sizeof detail, format, args);
    va_end(args);
    std::fprintf(stderr, "\n*** NORVANE VERIFIER: %s: %s\n", rule, detail);
    std::fflush(stderr);
    std::abort();
}

namespace hal {

void RequireIrqlAtMost(KIRQL max, const char *who)
{
    if (t_irql > max)
        VerifierFault("IRQL_TOO_HIGH", "%s called at IRQL %u; it may be called at IRQL %u at most", who,
                      t_irql, max);
}

void AcquireRaw(PKSPIN_LOCK lock, const char *who)
{
    auto &word = LockWord(lock);
    const ULONG_PTR me = OwnerToken();
    if (word.load(std::memory_order_relaxed) == me)
        VerifierFault("SPIN_LOCK_ALREADY_HELD", "%s: spin lock %p is already held by this thread", who,
                      static_cast<void *>(lock));
    unsigned spins = 0;
    for (;;) {
        ULONG_PTR expected = 0;
        if (word.compare_exchange_weak(expected, me, std::memory_order_acquire, std::memory_order_relaxed))
            break;
        if (expected != 0 && (expected & 3) != 2)
            VerifierFault("SPIN_LOCK_NOT_INITIALIZED", "%s: %p does not hold a spin lock (0x%lx)", who,
                          static_cast<void *>(lock), static_cast<unsigned long>(expected));
        if (++spins > 64)
            std::this_thread::yield();
    }
    t_heldLocks++;
}

void ReleaseRaw(PKSPIN_LOCK lock, const char *who)
{
    auto &word = LockWord(lock);
    const ULONG_PTR me = OwnerToken();
    ULONG_PTR expected = me;
    if (!word.compare_exchange_strong(expected, 0, std::memory_order_release, std::memory_order_relaxed))
        VerifierFault("SPIN_LOCK_NOT_HELD", "%s: spin lock %p is not held by this thread (%s)", who,
                      static_cast<void *>(lock), expected == 0 ? "it is free" : "another thread holds it");
    t_heldLocks--;
}

bool HeldByCurrentThread(const KSPIN_LOCK *lock)
{
    return reinterpret_cast<const std::atomic<ULONG_PTR> *>(lock)->load(std::memory_order_relaxed) ==
           OwnerToken();
}

unsigned HeldCount()
{
    return t_heldLocks;
}

}  // namespace hal
}  // namespace sim

using sim::VerifierFault;

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(VOID)
{
    return t_irql;
}

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql)
{
    const KIRQL old = t_irql;
    if (NewIrql < old)
        VerifierFault("IRQL_RAISE_BELOW_CURRENT", "KeRaiseIrql to %u from the higher IRQL %u", NewIrql, old);
    t_irql = NewIrql;
    return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql)
{
    if (NewIrql > t_irql)
        VerifierFault("IRQL_LOWER_ABOVE_CURRENT", "KeLowerIrql to %u from the lower IRQL %u", NewIrql, t_irql);
    t_irql = NewIrql;
}

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock)
{
    sim::hal::RequireIrqlAtMost(DISPATCH_LEVEL, "KeAcquireSpinLock");
    const KIRQL old = t_irql;
    t_irql = DISPATCH_LEVEL;
    sim::hal::AcquireRaw(SpinLock, "KeAcquireSpinLock");
    return old;
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    sim::hal::ReleaseRaw(SpinLock, "KeReleaseSpinLock");
    if (NewIrql > t_irql)
        VerifierFault("IRQL_LOWER_ABOVE_CURRENT", "KeReleaseSpinLock to IRQL %u from the lower IRQL %u", NewIrql,
                      t_irql);
    t_irql = NewIrql;
}

}  // extern "C"
