// The stand-in kernel's own interface: what tests and the rest of the
// stand-in use to drive, inspect and break the kernel. Drivers never include
// this; they see only the platform headers.
#pragma once

#include <wdm.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// ---------------------------------------------------------------------------
// Verifier. A broken platform rule stops the process at once, the way a bug
// check stops the machine, with a line that names the rule:
//   "*** NORVANE VERIFIER: <RULE>: <what happened>"
// Tests expect such faults with EXPECT_DEATH(..., "RULE").
[[noreturn]] void VerifierFault(const char *rule, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// ---------------------------------------------------------------------------
// Pool.
namespace pool {

// Every fresh block is filled with kAllocFill, every freed block with
// kFreeFill before it goes back to the host; kGuardSize bytes of kGuardFill
// sit on each side of a block and are checked when it is freed.
constexpr unsigned char kAllocFill = 0xA5;
constexpr unsigned char kFreeFill = 0xDE;
constexpr unsigned char kGuardFill = 0xBD;
constexpr std::size_t kGuardSize = 16;

// Builds a tag from its four characters as the platform stores them.
constexpr ULONG Tag(const char (&t)[5])
{
    return ULONG(uint8_t(t[0])) | ULONG(uint8_t(t[1])) << 8 | ULONG(uint8_t(t[2])) << 16 |
           ULONG(uint8_t(t[3])) << 24;
}
std::string TagName(ULONG tag);

struct BlockInfo {
    const void *address;
    std::size_t size;
    ULONG tag;
    POOL_TYPE type;
    const void *caller;  // return address of the allocating call
};

std::size_t OutstandingBlocks();            // all tags
std::size_t OutstandingBlocks(ULONG tag);
std::vector<BlockInfo> Outstanding();
// Size of the live block at address, or 0 when address is not a live block.
std::size_t BlockSize(const void *address);
ULONG BlockTag(const void *address);

// Allocations made (successful or injected failures), counted for sweeps.
std::uint64_t AllocationCount();

// Fault injection. FailNth(n): the n-th allocation from now (1-based) fails,
// once. FailTag(tag): every allocation with that tag fails until cleared.
// IRP allocations count as allocations (tag 'Irp ').
void FailNth(std::uint64_t n);
void FailTag(ULONG tag);
void ClearInjection();
std::uint64_t InjectedFailures();

// Checks the guard bytes of every live block; a damaged one is a fault.
void CheckAllGuards();

}  // namespace pool

// ---------------------------------------------------------------------------
// Time. Relative waits and delays last Scale() times their nominal length in
// real time, and the system clock runs 1/Scale() times as fast, so a test can
// let "one second" pass in ten milliseconds.
namespace time {
void SetScale(double scale);
double Scale();
// 100 ns units of stand-in system time since the stand-in started.
LONGLONG Now();
}  // namespace time

// ---------------------------------------------------------------------------
// Debug output: everything DbgPrint printed, in order.
namespace debug {
std::string Log();
void ClearLog();
// Echo DbgPrint to stderr as well (also on when NORVANE_DBGPRINT=1).
void SetEcho(bool on);
}  // namespace debug

// ---------------------------------------------------------------------------
// I/O manager state.
namespace io {

std::size_t LiveIrps();          // allocated and not yet freed
std::size_t LiveDeviceObjects();

// A driver image loaded the way the I/O manager loads one: from a shared
// object, entered at DriverEntry with its own DRIVER_OBJECT.
struct DriverImage;

// Loads the image and calls DriverEntry at PASSIVE_LEVEL. Returns the image
// and stores DriverEntry's status; a failed DriverEntry leaves the image
// loaded so its leaks can be checked by UnloadDriver. error receives the
// host loader's message when the file cannot be loaded (then NULL).
DriverImage *LoadDriver(const std::string &path, const std::string &serviceName, NTSTATUS *entryStatus,
                        std::string *error = nullptr);
PDRIVER_OBJECT DriverObjectOf(DriverImage *image);
// Calls DriverUnload (when the driver set one and DriverEntry succeeded),
// then checks that the image leaves nothing behind: pool blocks it
// allocated, device objects, live lookaside lists. A leftover is a fault.
void UnloadDriver(DriverImage *image);

}  // namespace io

}  // namespace sim
