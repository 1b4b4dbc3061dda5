// The machine's identity: which operating system the stand-in plays, the
// WDM version that follows from it (IoIsWdmVersionAvailable), and the hooks
// that run when a device object goes away.

#include "machine_internal.h"

#include <atomic>
#include <mutex>

namespace sim::machine {

namespace {

// WDM versions: 98 1.00, 98 SE 1.10, Me 1.05, 2000 1.10, XP 1.20,
// Server 2003 1.30. The table's order is the enum's.
const std::vector<OsIdentity> &Table()
{
    static const std::vector<OsIdentity> *t = new std::vector<OsIdentity>{
        {Os::Windows98, "Windows 98", 1, 0x00, false, 0},
        {Os::Windows98SE, "Windows 98 SE", 1, 0x10, false, 0},
        {Os::WindowsMe, "Windows Me", 1, 0x05, false, 0},
        {Os::Windows2000, "Windows 2000 SP4", 1, 0x10, true, 0x400},
        {Os::WindowsXP, "Windows XP", 1, 0x20, true, 0},
        {Os::WindowsXPSp1, "Windows XP SP1", 1, 0x20, true, 0x100},
        {Os::WindowsXPSp2, "Windows XP SP2", 1, 0x20, true, 0x200},
        {Os::WindowsXPSp3, "Windows XP SP3", 1, 0x20, true, 0x300},
        {Os::WindowsServer2003, "Windows Server 2003", 1, 0x30, true, 0},
    };
    return *t;
}

std::atomic<Os> g_os{kDefaultOs};

}  // namespace

const OsIdentity &IdentityOf(Os os)
{
    return Table().at(std::size_t(os));
}

const std::vector<OsIdentity> &AllOses()
{
    return Table();
}

void SetOs(Os os)
{
    const OsIdentity &id = IdentityOf(os);
    g_os.store(os);
    if (id.hasCsdVersion)
        registry::SetDword(kWindowsKey, kCsdVersionValue, id.csdVersion);
    else
        registry::DeleteValue(kWindowsKey, kCsdVersionValue);
}

Os CurrentOs()
{
    return g_os.load();
}

std::u16string StringOf(PCUNICODE_STRING s)
{
    if (s == nullptr || s->Buffer == nullptr)
        return std::u16string();
    return std::u16string(reinterpret_cast<const char16_t *>(s->Buffer), s->Length / sizeof(WCHAR));
}

std::string Narrow(const std::u16string &s)
{
    std::string out;
    for (char16_t c : s)
        out += c <= 0xFF ? char(c) : '?';
    return out;
}

}  // namespace sim::machine

namespace sim::kernel {

namespace {

struct Listeners {
    std::mutex lock;
    std::vector<sim::io::DeviceDeletedListener> list;
};

Listeners &DeletionListeners()
{
    static Listeners *l = new Listeners;
    return *l;
}

}  // namespace

void DeviceDeleted(PDEVICE_OBJECT device)
{
    ForgetDeviceInterfaces(device);
    std::vector<sim::io::DeviceDeletedListener> list;
    {
        std::lock_guard<std::mutex> g(DeletionListeners().lock);
        list = DeletionListeners().list;
    }
    for (auto listener : list)
        listener(device);
}

std::u16string FoldCase(const std::u16string &s)
{
    std::u16string out(s);
    for (char16_t &c : out)
        if (c >= u'a' && c <= u'z')
            c = char16_t(c - u'a' + u'A');
    return out;
}

std::u16string Widen(const std::string &s)
{
    std::u16string out;
    for (char c : s)
        out += char16_t(static_cast<unsigned char>(c));
    return out;
}

}  // namespace sim::kernel

namespace sim::io {

void AddDeviceDeletedListener(DeviceDeletedListener listener)
{
    std::lock_guard<std::mutex> g(sim::kernel::DeletionListeners().lock);
    sim::kernel::DeletionListeners().list.push_back(listener);
}

void RequirePhysicalDeviceObject(PDEVICE_OBJECT device, const char *who)
{
    switch (sim::kernel::PositionOf(device)) {
    case sim::kernel::DevicePosition::StackBottom:
        return;
    case sim::kernel::DevicePosition::NotLive:
        VerifierFault("INVALID_PDO", "%s(%p): not a live device object", who, static_cast<void *>(device));
    case sim::kernel::DevicePosition::AttachedToLower:
        VerifierFault("INVALID_PDO",
                      "%s(%p): the device is attached to a lower device; the call needs the physical device "
                      "object at the bottom of the stack",
                      who, static_cast<void *>(device));
    }
}

}  // namespace sim::io

extern "C" {

// Any IRQL.
BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion)
{
    const sim::machine::OsIdentity &id = sim::machine::IdentityOf(sim::machine::CurrentOs());
    return MajorVersion < id.wdmMajor || (MajorVersion == id.wdmMajor && MinorVersion <= id.wdmMinor);
}

}  // extern "C"
