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

// ---------------------------------------------------------------------------
// The machine: which operating system the stand-in plays and what follows
// from it (the WDM version IoIsWdmVersionAvailable answers for, the
// service-pack value in the registry), the registry itself, the kernel's
// handle table, and the device interfaces Plug and Play keeps.

#include <optional>

namespace sim::machine {

// The operating systems the machine can play. WDM versions as the platform
// numbers them (the minor number is written in hexadecimal, 1.10 is
// (1, 0x10)):
//
//   Os                 WDM    "CSDVersion" REG_DWORD under kWindowsKey
//   Windows98          1.00   absent
//   Windows98SE        1.10   absent
//   WindowsMe          1.05   absent
//   Windows2000        1.10   0x400 (service pack 4)
//   WindowsXP          1.20   0     (no service pack)
//   WindowsXPSp1       1.20   0x100
//   WindowsXPSp2       1.20   0x200
//   WindowsXPSp3       1.20   0x300
//   WindowsServer2003  1.30   0     (no service pack)
//
// The high byte of the low word of CSDVersion is the service pack's major
// number, the low byte its minor number, as on the platform. The 9x systems
// keep no such value where NT keeps it; they are here for the WDM answers.
enum class Os {
    Windows98,
    Windows98SE,
    WindowsMe,
    Windows2000,
    WindowsXP,
    WindowsXPSp1,
    WindowsXPSp2,
    WindowsXPSp3,
    WindowsServer2003,
};

struct OsIdentity {
    Os os;
    const char *name;
    UCHAR wdmMajor;
    UCHAR wdmMinor;
    bool hasCsdVersion;
    ULONG csdVersion;
};

// What the machine is after Reset(), and before anything set it.
constexpr Os kDefaultOs = Os::WindowsXPSp2;

// The key whose "CSDVersion" value tells the service pack.
constexpr char kWindowsKey[] = "\\REGISTRY\\MACHINE\\SYSTEM\\CURRENTCONTROLSET\\Control\\Windows";
constexpr char kCsdVersionValue[] = "CSDVersion";

const OsIdentity &IdentityOf(Os os);
// Every OS the machine can play, in the order of the enum.
const std::vector<OsIdentity> &AllOses();

// Makes the machine play os: IoIsWdmVersionAvailable answers for its WDM
// version from now on, and "CSDVersion" under kWindowsKey is rewritten (or
// removed) as that OS keeps it. Other registry contents are left alone.
void SetOs(Os os);
Os CurrentOs();

// Back to a fresh machine: kDefaultOs, and a registry that holds only
// kWindowsKey (with its parents) and its CSDVersion. Open handles, device
// interfaces and device objects are not touched: they belong to whoever
// opened or registered them. Handles on keys that the reset removed answer
// STATUS_KEY_DELETED.
void Reset();

// Status values the stand-in returns that the driver headers do not name.
constexpr NTSTATUS kStatusObjectNameExists = NTSTATUS(0x40000000L);
constexpr NTSTATUS kStatusObjectPathSyntaxBad = NTSTATUS(0xC000003BL);
constexpr NTSTATUS kStatusKeyDeleted = NTSTATUS(0xC000017CL);

// ---------------------------------------------------------------------------
// The registry: keys named by paths from "\REGISTRY", compared without
// regard to case, each holding typed values. ZwOpenKey and ZwQueryValueKey
// read it. A path given here must be absolute ("\REGISTRY\..."); a malformed
// one throws std::invalid_argument.
namespace registry {

struct Value {
    ULONG type;  // REG_DWORD, REG_SZ, REG_BINARY, ... (any number is kept as given)
    std::vector<UCHAR> data;
};

// Creates the key and every missing key above it.
void CreateKey(const std::string &path);
// Removes the key with everything below it; false when there was none.
bool DeleteKey(const std::string &path);
bool KeyExists(const std::string &path);

// Sets a value, creating its key (and the keys above) when missing. The
// value name "" is the key's default value.
void SetValue(const std::string &key, const std::string &name, ULONG type, std::vector<UCHAR> data);
void SetDword(const std::string &key, const std::string &name, ULONG value);
// REG_SZ: the text as 16-bit characters with a terminating NUL, as the
// platform stores strings (characters above 0x7F taken as Latin-1).
void SetString(const std::string &key, const std::string &name, const std::string &text);
bool DeleteValue(const std::string &key, const std::string &name);
std::optional<Value> GetValue(const std::string &key, const std::string &name);

}  // namespace registry

// ---------------------------------------------------------------------------
// Handles. Every handle ZwOpenKey (and later ZwCreateFile) gives out is an
// entry of one kernel handle table until ZwClose closes it. Each open handle
// holds a small pool block charged to the caller that opened it, so a
// handle a test forgets to close shows as an outstanding block, and a driver
// image that still has handles open at its unload is stopped with
// HANDLE_NOT_CLOSED_AT_UNLOAD. Closing a handle that is not open is the
// fault INVALID_HANDLE (the platform's verifier stops the machine there).
// Handle values are never reused.
enum class HandleKind { Key, File };

struct HandleInfo {
    HANDLE handle;
    HandleKind kind;
    std::u16string name;  // the object's full name
    bool kernelHandle;    // opened with OBJ_KERNEL_HANDLE
    ACCESS_MASK access;   // as asked for
    const void *caller;   // return address of the opening call
};
// In the order they were opened.
std::vector<HandleInfo> OpenHandles();

// ---------------------------------------------------------------------------
// Device interfaces, as IoRegisterDeviceInterface and
// IoSetDeviceInterfaceState keep them. A symbolic link is
//   \??\<instance id, '\' written '#'>#{<class GUID, lower case>}[\<reference string>]
// for instance "\??\USB#VID_1234&PID_5678#5&1a2b3c&0&1#{0f7df92b-...}\GLOBAL".
// The instance id is what the bus set with SetDeviceInstanceId, or else
// "ROOT\NORVANE_SIM\<nnnn>", numbered per physical device object. Links
// compare without regard to case. A physical device object's interfaces
// go away when it is deleted.

// The device instance id of a physical device object, as its bus driver
// reports it ("USB\VID_1234&PID_5678\5&1a2b3c&0&1"). Set it before the
// first interface of the device is registered; it is forgotten when the
// device object is deleted.
void SetDeviceInstanceId(PDEVICE_OBJECT physicalDeviceObject, const std::string &instanceId);

enum class InterfaceState { NotRegistered, Disabled, Enabled };

struct DeviceInterface {
    std::u16string symbolicLink;
    PDEVICE_OBJECT physicalDeviceObject;
    GUID interfaceClass;
    std::u16string referenceString;  // empty when none was given
    bool enabled;
};

InterfaceState DeviceInterfaceState(const std::u16string &symbolicLink);
// What user mode finds for an interface class: the enabled interfaces, in
// the order they were registered.
std::vector<DeviceInterface> EnabledDeviceInterfaces(const GUID &interfaceClass);
// Every registered interface of a physical device object, enabled or not.
std::vector<DeviceInterface> DeviceInterfacesOf(PDEVICE_OBJECT physicalDeviceObject);

// The characters of a counted string (Length bytes), and back to narrow
// text for messages (characters above 0xFF become '?').
std::u16string StringOf(PCUNICODE_STRING s);
std::string Narrow(const std::u16string &s);

}  // namespace sim::machine

namespace sim::io {

// Called by IoDeleteDevice for every device object it deletes, after the
// device left the kernel's table and before its memory is freed, so that
// whoever keeps records about a device (the stream class's filter
// registrations, say) drops them. Listeners stay for the life of the
// process; they run at the IRQL of IoDeleteDevice (PASSIVE_LEVEL) and must
// not delete devices themselves.
using DeviceDeletedListener = void (*)(PDEVICE_OBJECT device);
void AddDeviceDeletedListener(DeviceDeletedListener listener);

// The check of the calls that need a physical device object (the bottom of
// a device stack): anything else (a deleted device, random memory, a
// functional device object attached to a lower one) is the fault
// INVALID_PDO, which the platform raises as a Plug and Play bug check.
void RequirePhysicalDeviceObject(PDEVICE_OBJECT device, const char *who);

}  // namespace sim::io
