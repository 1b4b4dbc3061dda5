// What the stand-in kernel needs from the stand-in HAL beyond the exports a
// driver sees: raw spin lock primitives without an IRQL change, and level
// checks that end in a verifier fault.
#pragma once

#include <wdm.h>

namespace sim::hal {

// Acquire or release a spin lock at the current IRQL; used by the kernel's
// ...AtDpcLevel exports, which require DISPATCH_LEVEL themselves.
void AcquireRaw(PKSPIN_LOCK lock, const char *who);
void ReleaseRaw(PKSPIN_LOCK lock, const char *who);
// TRUE when the calling thread holds the lock.
bool HeldByCurrentThread(const KSPIN_LOCK *lock);
// Number of spin locks the calling thread holds.
unsigned HeldCount();

// Faults with IRQL_TOO_HIGH when the current IRQL is above max.
void RequireIrqlAtMost(KIRQL max, const char *who);

}  // namespace sim::hal
