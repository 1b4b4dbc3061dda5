// The machine: which OS it plays (IoIsWdmVersionAvailable and the
// service-pack value), the registry as ZwOpenKey and ZwQueryValueKey read
// it, the handle table behind ZwClose, and device interfaces.

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using nvtest::RaisedIrql;
using nvtest::TestDevice;
using sim::machine::InterfaceState;
using sim::machine::Os;
using sim::pool::Tag;
namespace registry = sim::machine::registry;

const char16_t kWindowsKeyW[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CURRENTCONTROLSET\\Control\\Windows";
const std::string kWindowsKey = sim::machine::kWindowsKey;
constexpr UCHAR kUntouched = 0xCC;

class MachineTest : public testing::Test {
protected:
    void SetUp() override { sim::machine::Reset(); }
    void TearDown() override { sim::machine::Reset(); }
};

NTSTATUS OpenKey(const char16_t *path, HANDLE *key, ULONG attributes = OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE,
                 HANDLE root = NULL)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, attributes, root, NULL);
    return ZwOpenKey(key, KEY_QUERY_VALUE, &oa);
}

struct Answer {
    NTSTATUS status;
    ULONG resultLength;
    std::vector<UCHAR> bytes;  // the whole buffer, kUntouched where nothing was written

    ULONG U32(std::size_t offset) const
    {
        ULONG v;
        std::memcpy(&v, bytes.data() + offset, sizeof v);
        return v;
    }
};

constexpr ULONG kNoResultLength = 0xDEADBEEF;

Answer Query(HANDLE key, const char16_t *valueName, ULONG length,
             KEY_VALUE_INFORMATION_CLASS cls = KeyValuePartialInformation)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, valueName);
    Answer a{STATUS_PENDING, kNoResultLength, std::vector<UCHAR>(length, kUntouched)};
    a.status = ZwQueryValueKey(key, &name, cls, length != 0 ? a.bytes.data() : nullptr, length, &a.resultLength);
    return a;
}

// The read a driver makes: open the Windows key, query CSDVersion into a
// 20-byte partial answer, close.
Answer ReadCsdVersion()
{
    HANDLE key = NULL;
    const NTSTATUS open = OpenKey(kWindowsKeyW, &key);
    if (open != STATUS_SUCCESS)
        return Answer{open, kNoResultLength, {}};
    Answer a = Query(key, u"CSDVersion", 20);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    return a;
}

// ---------------------------------------------------------------------------
// The OS table.

TEST_F(MachineTest, EachOsAnswersItsWdmVersionAndKeepsItsServicePack)
{
    // The WDM probes a driver makes, in order: 1.00, 1.05, 1.10, 1.20, 1.30,
    // and two beyond any of these OSes.
    const struct {
        UCHAR major, minor;
    } probes[] = {{1, 0x00}, {1, 0x05}, {1, 0x10}, {1, 0x20}, {1, 0x30}, {1, 0x31}, {6, 0x00}};
    const struct {
        Os os;
        const char *answers;  // per probe, T or F
        bool hasCsdVersion;
        ULONG csdVersion;
    } cases[] = {
        {Os::Windows98, "TFFFFFF", false, 0},
        {Os::Windows98SE, "TTTFFFF", false, 0},
        {Os::WindowsMe, "TTFFFFF", false, 0},
        {Os::Windows2000, "TTTFFFF", true, 0x400},
        {Os::WindowsXP, "TTTTFFF", true, 0},
        {Os::WindowsXPSp1, "TTTTFFF", true, 0x100},
        {Os::WindowsXPSp2, "TTTTFFF", true, 0x200},
        {Os::WindowsXPSp3, "TTTTFFF", true, 0x300},
        {Os::WindowsServer2003, "TTTTTFF", true, 0},
    };
    ASSERT_EQ(sim::machine::AllOses().size(), std::size(cases));
    for (const auto &c : cases) {
        SCOPED_TRACE(sim::machine::IdentityOf(c.os).name);
        sim::machine::SetOs(c.os);
        EXPECT_EQ(sim::machine::CurrentOs(), c.os);
        std::string answers;
        for (const auto &p : probes)
            answers += IoIsWdmVersionAvailable(p.major, p.minor) ? 'T' : 'F';
        EXPECT_EQ(answers, c.answers);
        EXPECT_TRUE(IoIsWdmVersionAvailable(0, 0xFF)) << "an older major version is always available";

        const Answer a = ReadCsdVersion();
        if (!c.hasCsdVersion) {
            EXPECT_EQ(a.status, STATUS_OBJECT_NAME_NOT_FOUND);
            continue;
        }
        ASSERT_EQ(a.status, STATUS_SUCCESS);
        EXPECT_EQ(a.resultLength, 16u);
        EXPECT_EQ(a.U32(4), ULONG(REG_DWORD));
        EXPECT_EQ(a.U32(8), 4u);
        EXPECT_EQ(a.U32(12), c.csdVersion);
    }
}

TEST_F(MachineTest, ResetGivesTheDefaultMachineBack)
{
    sim::machine::SetOs(Os::Windows2000);
    registry::SetDword("\\REGISTRY\\MACHINE\\SOFTWARE\\Test", "X", 1);
    registry::DeleteKey(kWindowsKey);
    sim::machine::Reset();
    EXPECT_EQ(sim::machine::CurrentOs(), Os::WindowsXPSp2);
    EXPECT_FALSE(registry::KeyExists("\\REGISTRY\\MACHINE\\SOFTWARE\\Test"));
    const auto csd = registry::GetValue(kWindowsKey, "csdversion");
    ASSERT_TRUE(csd.has_value());
    EXPECT_EQ(csd->type, ULONG(REG_DWORD));
    EXPECT_EQ(csd->data, (std::vector<UCHAR>{0x00, 0x02, 0x00, 0x00}));
}

// ---------------------------------------------------------------------------
// ZwQueryValueKey's partial answer: what each buffer size gets.

TEST_F(MachineTest, PartialAnswersFollowTheBufferSize)
{
    const std::vector<UCHAR> dword{0x00, 0x02, 0x00, 0x00};
    // "Service Pack 2" with its NUL: 15 characters, 30 bytes.
    std::vector<UCHAR> text;
    for (char c : std::string("Service Pack 2") + '\0') {
        text.push_back(UCHAR(c));
        text.push_back(0);
    }
    const struct {
        const char *what;
        ULONG type;
        std::vector<UCHAR> data;
        ULONG length;
        NTSTATUS status;
        ULONG resultLength;
        bool headerWritten;
        std::size_t dataBytesWritten;
    } cases[] = {
        {"a DWORD in the 20 bytes a driver gives", REG_DWORD, dword, 20, STATUS_SUCCESS, 16, true, 4},
        {"a DWORD in exactly its size", REG_DWORD, dword, 16, STATUS_SUCCESS, 16, true, 4},
        {"a DWORD one byte short", REG_DWORD, dword, 15, STATUS_BUFFER_OVERFLOW, 16, true, 3},
        {"a buffer shorter than the fixed part", REG_DWORD, dword, 11, STATUS_BUFFER_TOO_SMALL, 16, false, 0},
        {"no buffer at all", REG_DWORD, dword, 0, STATUS_BUFFER_TOO_SMALL, 16, false, 0},
        {"a string too long for 20 bytes", REG_SZ, text, 20, STATUS_BUFFER_OVERFLOW, 42, true, 8},
        {"a wrong type that fits", REG_BINARY, dword, 20, STATUS_SUCCESS, 16, true, 4},
        {"a DWORD with eight bytes", REG_DWORD, {1, 2, 3, 4, 5, 6, 7, 8}, 20, STATUS_SUCCESS, 20, true, 8},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        registry::SetValue(kWindowsKey, "CSDVersion", c.type, c.data);
        HANDLE key = NULL;
        ASSERT_EQ(OpenKey(kWindowsKeyW, &key), STATUS_SUCCESS);
        const Answer a = Query(key, u"CSDVersion", c.length);
        EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);

        EXPECT_EQ(a.status, c.status);
        EXPECT_EQ(a.resultLength, c.resultLength);
        std::vector<UCHAR> expected(c.length, kUntouched);
        if (c.headerWritten) {
            const ULONG header[3] = {0, c.type, ULONG(c.data.size())};
            std::memcpy(expected.data(), header, sizeof header);
            std::memcpy(expected.data() + 12, c.data.data(), c.dataBytesWritten);
        }
        EXPECT_EQ(a.bytes, expected);
    }
}

TEST_F(MachineTest, AMissingValueOrKeyIsNotFound)
{
    registry::DeleteValue(kWindowsKey, "CSDVersion");
    EXPECT_EQ(ReadCsdVersion().status, STATUS_OBJECT_NAME_NOT_FOUND);
    registry::DeleteKey(kWindowsKey);
    EXPECT_EQ(ReadCsdVersion().status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(sim::machine::OpenHandles().empty());
}

TEST_F(MachineTest, BasicAndFullAnswersCarryTheNameAsSet)
{
    registry::SetValue(kWindowsKey, "Flags", REG_BINARY, {1, 2, 3});
    HANDLE key = NULL;
    ASSERT_EQ(OpenKey(kWindowsKeyW, &key), STATUS_SUCCESS);
    const std::u16string flags = u"Flags";

    // Basic: TitleIndex, Type, NameLength, then the name.
    Answer basic = Query(key, u"FLAGS", 40, KeyValueBasicInformation);
    EXPECT_EQ(basic.status, STATUS_SUCCESS);
    EXPECT_EQ(basic.resultLength, 12u + 10u);
    EXPECT_EQ(basic.U32(4), ULONG(REG_BINARY));
    EXPECT_EQ(basic.U32(8), 10u);
    EXPECT_EQ(std::memcmp(basic.bytes.data() + 12, flags.data(), 10), 0);

    // Full: TitleIndex, Type, DataOffset, DataLength, NameLength, the name,
    // and the data at the next 4-byte boundary after it (20 + 10 -> 32).
    Answer full = Query(key, u"flags", 40, KeyValueFullInformation);
    EXPECT_EQ(full.status, STATUS_SUCCESS);
    EXPECT_EQ(full.resultLength, 35u);
    EXPECT_EQ(full.U32(8), 32u);
    EXPECT_EQ(full.U32(12), 3u);
    EXPECT_EQ(full.U32(16), 10u);
    EXPECT_EQ(std::memcmp(full.bytes.data() + 20, flags.data(), 10), 0);
    EXPECT_EQ(std::vector<UCHAR>(full.bytes.begin() + 32, full.bytes.begin() + 35), (std::vector<UCHAR>{1, 2, 3}));

    Answer shortFull = Query(key, u"Flags", 32, KeyValueFullInformation);
    EXPECT_EQ(shortFull.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(shortFull.resultLength, 35u);

    EXPECT_EQ(Query(key, u"Flags", 40, KEY_VALUE_INFORMATION_CLASS(9)).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------
// ZwOpenKey.

TEST_F(MachineTest, OpenKeyResolvesNamesWithoutRegardToCase)
{
    const struct {
        const char *what;
        const char16_t *path;
        ULONG attributes;
        NTSTATUS status;
    } cases[] = {
        {"the key as named", kWindowsKeyW, OBJ_KERNEL_HANDLE, STATUS_SUCCESS},
        {"in other case", u"\\registry\\machine\\system\\currentcontrolset\\CONTROL\\windows", OBJ_KERNEL_HANDLE,
         STATUS_SUCCESS},
        {"a missing key", u"\\REGISTRY\\MACHINE\\SYSTEM\\CURRENTCONTROLSET\\Control\\Nothing", OBJ_KERNEL_HANDLE,
         STATUS_OBJECT_NAME_NOT_FOUND},
        {"a key under a missing one", u"\\REGISTRY\\MACHINE\\Nothing\\Windows", OBJ_KERNEL_HANDLE,
         STATUS_OBJECT_NAME_NOT_FOUND},
        {"a trailing separator", u"\\REGISTRY\\MACHINE\\SYSTEM\\", OBJ_KERNEL_HANDLE, STATUS_OBJECT_NAME_INVALID},
        {"a relative name without a root", u"REGISTRY\\MACHINE", OBJ_KERNEL_HANDLE,
         sim::machine::kStatusObjectPathSyntaxBad},
        {"an attribute that does not exist", kWindowsKeyW, 0x1000, STATUS_INVALID_PARAMETER},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        HANDLE key = NULL;
        EXPECT_EQ(OpenKey(c.path, &key, c.attributes), c.status);
        if (c.status == STATUS_SUCCESS) {
            EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
        }
    }
    EXPECT_TRUE(sim::machine::OpenHandles().empty());

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kWindowsKeyW);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_KERNEL_HANDLE, NULL, NULL);
    oa.Length = 0;  // attributes never initialised
    HANDLE key = NULL;
    EXPECT_EQ(ZwOpenKey(&key, KEY_READ, &oa), STATUS_INVALID_PARAMETER);
}

TEST_F(MachineTest, OpenKeyRelativeToAnOpenKey)
{
    HANDLE system = NULL, windows = NULL, again = NULL;
    ASSERT_EQ(OpenKey(u"\\REGISTRY\\MACHINE\\SYSTEM", &system), STATUS_SUCCESS);
    ASSERT_EQ(OpenKey(u"currentcontrolset\\control\\windows", &windows, OBJ_KERNEL_HANDLE, system), STATUS_SUCCESS);
    EXPECT_EQ(Query(windows, u"CSDVersion", 20).status, STATUS_SUCCESS);
    EXPECT_EQ(OpenKey(u"", &again, OBJ_KERNEL_HANDLE, system), STATUS_SUCCESS) << "an empty name reopens the root";
    EXPECT_EQ(OpenKey(u"\\REGISTRY", &again, OBJ_KERNEL_HANDLE, system), sim::machine::kStatusObjectPathSyntaxBad);

    std::vector<std::u16string> names;
    for (const auto &h : sim::machine::OpenHandles())
        names.push_back(h.name);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"\\REGISTRY\\MACHINE\\SYSTEM", kWindowsKeyW,
                                                  u"\\REGISTRY\\MACHINE\\SYSTEM"}));
    for (HANDLE h : {system, windows, again})
        EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

TEST_F(MachineTest, AKeyDeletedUnderAnOpenHandleAnswersKeyDeleted)
{
    HANDLE key = NULL, child = NULL;
    ASSERT_EQ(OpenKey(kWindowsKeyW, &key), STATUS_SUCCESS);
    ASSERT_TRUE(registry::DeleteKey("\\REGISTRY\\MACHINE\\SYSTEM"));
    EXPECT_EQ(Query(key, u"CSDVersion", 20).status, sim::machine::kStatusKeyDeleted);
    // A key of the same name made afterwards is another key.
    registry::SetDword(kWindowsKey, "CSDVersion", 0x300);
    EXPECT_EQ(Query(key, u"CSDVersion", 20).status, sim::machine::kStatusKeyDeleted);
    EXPECT_EQ(OpenKey(u"Sub", &child, OBJ_KERNEL_HANDLE, key), sim::machine::kStatusKeyDeleted);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------
// Handles.

TEST_F(MachineTest, HandlesAreTrackedUntilClosedAndNeverReused)
{
    const std::size_t blocks = sim::pool::OutstandingBlocks(Tag("ObKy"));
    HANDLE kernel = NULL, other = NULL;
    ASSERT_EQ(OpenKey(kWindowsKeyW, &kernel, OBJ_KERNEL_HANDLE), STATUS_SUCCESS);
    ASSERT_EQ(OpenKey(kWindowsKeyW, &other, OBJ_CASE_INSENSITIVE), STATUS_SUCCESS);
    EXPECT_NE(kernel, other);
    EXPECT_EQ(uint32_t(reinterpret_cast<uintptr_t>(kernel)) & 0x80000003u, 0x80000000u);
    EXPECT_EQ(uint32_t(reinterpret_cast<uintptr_t>(other)) & 0x80000003u, 0u);
    // Each open handle is a pool block the leak check of a test would see.
    EXPECT_EQ(sim::pool::OutstandingBlocks(Tag("ObKy")), blocks + 2);

    const auto open = sim::machine::OpenHandles();
    ASSERT_EQ(open.size(), 2u);
    EXPECT_EQ(open[0].handle, kernel);
    EXPECT_EQ(open[0].kind, sim::machine::HandleKind::Key);
    EXPECT_TRUE(open[0].kernelHandle);
    EXPECT_EQ(open[0].access, ULONG(KEY_QUERY_VALUE));
    EXPECT_EQ(open[1].handle, other);
    EXPECT_FALSE(open[1].kernelHandle);

    EXPECT_EQ(ZwClose(kernel), STATUS_SUCCESS);
    HANDLE next = NULL;
    ASSERT_EQ(OpenKey(kWindowsKeyW, &next), STATUS_SUCCESS);
    EXPECT_NE(next, kernel);
    EXPECT_EQ(ZwClose(next), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(other), STATUS_SUCCESS);
    EXPECT_TRUE(sim::machine::OpenHandles().empty());
    EXPECT_EQ(sim::pool::OutstandingBlocks(Tag("ObKy")), blocks);
}

TEST_F(MachineTest, OpenKeyFailsWhenThePoolIsOut)
{
    nvtest::InjectionScope scope;
    sim::pool::FailTag(Tag("ObKy"));
    HANDLE key = NULL;
    EXPECT_EQ(OpenKey(kWindowsKeyW, &key), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(sim::machine::OpenHandles().empty());
}

TEST_F(MachineTest, ADriverThatClosesItsKeyUnloadsCleanly)
{
    NTSTATUS entry = STATUS_PENDING;
    std::string error;
    sim::io::DriverImage *image = sim::io::LoadDriver(REGISTRY_DRIVER_PATH, "nvreg", &entry, &error);
    ASSERT_NE(image, nullptr) << error;
    EXPECT_EQ(entry, STATUS_SUCCESS) << "the driver read service pack 2";
    sim::io::UnloadDriver(image);
    EXPECT_TRUE(sim::machine::OpenHandles().empty());
}

// ---------------------------------------------------------------------------
// Faults. Each case builds what it needs inside the dying child.

HANDLE OpenWindowsKey()
{
    HANDLE key = NULL;
    if (OpenKey(kWindowsKeyW, &key) != STATUS_SUCCESS)
        std::abort();
    return key;
}

TEST_F(MachineTest, VerifierStopsRegistryAndHandleFaults)
{
    const struct {
        const char *rule;
        std::function<void()> fault;
    } cases[] = {
        {"IRQL_TOO_HIGH",
         [] {
             RaisedIrql raised(DISPATCH_LEVEL);
             HANDLE key;
             OpenKey(kWindowsKeyW, &key);
         }},
        {"IRQL_TOO_HIGH",
         [] {
             HANDLE key = OpenWindowsKey();
             RaisedIrql raised(DISPATCH_LEVEL);
             Query(key, u"CSDVersion", 20);
         }},
        {"IRQL_TOO_HIGH",
         [] {
             HANDLE key = OpenWindowsKey();
             RaisedIrql raised(APC_LEVEL);
             ZwClose(key);
         }},
        {"INVALID_HANDLE",
         [] {
             HANDLE key = OpenWindowsKey();
             ZwClose(key);
             ZwClose(key);
         }},
        {"INVALID_HANDLE", [] { ZwClose(reinterpret_cast<HANDLE>(uintptr_t(0x1234))); }},
        {"INVALID_HANDLE",
         [] {
             HANDLE key = OpenWindowsKey();
             ZwClose(key);
             Query(key, u"CSDVersion", 20);
         }},
        {"UNSUPPORTED_BY_STAND_IN",
         [] { Query(OpenWindowsKey(), u"CSDVersion", 40, KeyValuePartialInformationAlign64); }},
        {"HANDLE_NOT_CLOSED_AT_UNLOAD",
         [] {
             NTSTATUS entry;
             sim::io::UnloadDriver(sim::io::LoadDriver(REGISTRY_LEAK_DRIVER_PATH, "nvregleak", &entry));
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.rule);
        EXPECT_DEATH(c.fault(), nvtest::VerifierFault(c.rule));
    }
}

// ---------------------------------------------------------------------------
// Device interfaces.

const GUID kReceiverClass = {0x0F7DF92B, 0x70AA, 0x4F83, {0x8D, 0xD8, 0x44, 0x0C, 0x9F, 0x33, 0x1D, 0xCB}};
const GUID kOtherClass = {0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

NTSTATUS Register(PDEVICE_OBJECT pdo, const GUID &cls, const char16_t *reference, UNICODE_STRING *link)
{
    UNICODE_STRING ref;
    RtlInitUnicodeString(&ref, reference);
    return IoRegisterDeviceInterface(pdo, &cls, reference != nullptr ? &ref : nullptr, link);
}

std::vector<PDEVICE_OBJECT> EnabledPdos(const GUID &cls)
{
    std::vector<PDEVICE_OBJECT> out;
    for (const auto &i : sim::machine::EnabledDeviceInterfaces(cls))
        out.push_back(i.physicalDeviceObject);
    return out;
}

TEST_F(MachineTest, AnInterfaceIsRegisteredEnabledFoundAndDisabled)
{
    TestDevice pdo;
    sim::machine::SetDeviceInstanceId(pdo.get(), "USB\\VID_1234&PID_5678\\7&1f2e&0&2");
    const std::size_t blocks = sim::pool::OutstandingBlocks();

    UNICODE_STRING link{};
    ASSERT_EQ(Register(pdo.get(), kReceiverClass, u"GLOBAL", &link), STATUS_SUCCESS);
    const std::u16string expected = u"\\??\\USB#VID_1234&PID_5678#7&1f2e&0&2#{0f7df92b-70aa-4f83-8dd8-440c9f331dcb}"
                                    u"\\GLOBAL";
    EXPECT_EQ(sim::machine::StringOf(&link), expected);
    EXPECT_EQ(link.MaximumLength, link.Length + sizeof(WCHAR));
    EXPECT_EQ(link.Buffer[link.Length / sizeof(WCHAR)], 0);
    // The caller's to free: a paged block of its own, charged to it.
    EXPECT_EQ(sim::pool::OutstandingBlocks(), blocks + 1);
    EXPECT_EQ(sim::pool::BlockSize(link.Buffer), link.MaximumLength);

    EXPECT_EQ(sim::machine::DeviceInterfaceState(expected), InterfaceState::Disabled);
    EXPECT_TRUE(EnabledPdos(kReceiverClass).empty());

    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(sim::machine::DeviceInterfaceState(expected), InterfaceState::Enabled);
    EXPECT_EQ(EnabledPdos(kReceiverClass), std::vector<PDEVICE_OBJECT>{pdo.get()});
    EXPECT_TRUE(EnabledPdos(kOtherClass).empty());
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), sim::machine::kStatusObjectNameExists);

    // Registering again gives the same link in a fresh buffer.
    UNICODE_STRING again{};
    ASSERT_EQ(Register(pdo.get(), kReceiverClass, u"GLOBAL", &again), STATUS_SUCCESS);
    EXPECT_NE(again.Buffer, link.Buffer);
    EXPECT_EQ(sim::machine::StringOf(&again), expected);
    EXPECT_EQ(sim::machine::DeviceInterfacesOf(pdo.get()).size(), 1u);
    RtlFreeUnicodeString(&again);

    // Links compare without regard to case.
    std::u16string lower = expected;
    for (char16_t &c : lower)
        if (c >= u'A' && c <= u'Z')
            c = char16_t(c - u'A' + u'a');
    UNICODE_STRING lowerLink;
    RtlInitUnicodeString(&lowerLink, lower.c_str());
    EXPECT_EQ(IoSetDeviceInterfaceState(&lowerLink, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(sim::machine::DeviceInterfaceState(expected), InterfaceState::Disabled);
    EXPECT_TRUE(EnabledPdos(kReceiverClass).empty());

    RtlFreeUnicodeString(&link);
    EXPECT_EQ(link.Buffer, nullptr);
    EXPECT_EQ(sim::pool::OutstandingBlocks(), blocks);
}

TEST_F(MachineTest, InterfacesAreKeptPerDeviceClassAndReference)
{
    TestDevice first, second;
    UNICODE_STRING a{}, b{}, c{}, d{};
    ASSERT_EQ(Register(first.get(), kReceiverClass, nullptr, &a), STATUS_SUCCESS);
    ASSERT_EQ(Register(second.get(), kReceiverClass, nullptr, &b), STATUS_SUCCESS);
    ASSERT_EQ(Register(first.get(), kOtherClass, nullptr, &c), STATUS_SUCCESS);
    ASSERT_EQ(Register(first.get(), kReceiverClass, u"Other", &d), STATUS_SUCCESS);
    const std::u16string links[] = {sim::machine::StringOf(&a), sim::machine::StringOf(&b),
                                    sim::machine::StringOf(&c), sim::machine::StringOf(&d)};
    for (std::size_t i = 0; i < 4; i++)
        for (std::size_t j = i + 1; j < 4; j++)
            EXPECT_NE(links[i], links[j]);
    EXPECT_EQ(links[0].rfind(u"\\??\\ROOT#NORVANE_SIM#", 0), 0u) << sim::machine::Narrow(links[0]);
    EXPECT_EQ(links[3], links[0] + u"\\Other");

    for (UNICODE_STRING *l : {&b, &a})
        EXPECT_EQ(IoSetDeviceInterfaceState(l, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(EnabledPdos(kReceiverClass), (std::vector<PDEVICE_OBJECT>{first.get(), second.get()}))
        << "in the order of registration";
    EXPECT_EQ(sim::machine::DeviceInterfacesOf(first.get()).size(), 3u);
    for (UNICODE_STRING *l : {&a, &b, &c, &d})
        RtlFreeUnicodeString(l);
}

TEST_F(MachineTest, InterfacesGoWithTheirDevice)
{
    std::u16string link;
    {
        TestDevice pdo;
        UNICODE_STRING l{};
        ASSERT_EQ(Register(pdo.get(), kReceiverClass, u"GLOBAL", &l), STATUS_SUCCESS);
        ASSERT_EQ(IoSetDeviceInterfaceState(&l, TRUE), STATUS_SUCCESS);
        link = sim::machine::StringOf(&l);
        RtlFreeUnicodeString(&l);
    }
    EXPECT_EQ(sim::machine::DeviceInterfaceState(link), InterfaceState::NotRegistered);
    EXPECT_TRUE(EnabledPdos(kReceiverClass).empty());
    UNICODE_STRING stale;
    RtlInitUnicodeString(&stale, link.c_str());
    EXPECT_EQ(IoSetDeviceInterfaceState(&stale, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(MachineTest, InterfaceRegistrationErrors)
{
    TestDevice pdo;
    UNICODE_STRING link{};
    EXPECT_EQ(Register(pdo.get(), kReceiverClass, u"A\\B", &link), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Register(pdo.get(), kReceiverClass, u"A/B", &link), STATUS_INVALID_DEVICE_REQUEST);
    {
        nvtest::InjectionScope scope;
        sim::pool::FailTag(Tag("IoDi"));
        EXPECT_EQ(Register(pdo.get(), kReceiverClass, u"GLOBAL", &link), STATUS_INSUFFICIENT_RESOURCES);
    }
    EXPECT_EQ(link.Buffer, nullptr);
    EXPECT_TRUE(sim::machine::DeviceInterfacesOf(pdo.get()).empty()) << "nothing stays registered";

    UNICODE_STRING unknown;
    RtlInitUnicodeString(&unknown, u"\\??\\ROOT#NOTHING#0000#{0f7df92b-70aa-4f83-8dd8-440c9f331dcb}");
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(MachineTest, VerifierStopsInterfaceFaults)
{
    const struct {
        const char *rule;
        std::function<void()> fault;
    } cases[] = {
        {"INVALID_PDO",
         [] {
             TestDevice pdo, fdo;
             fdo.AttachTo(pdo.get());
             UNICODE_STRING link;
             Register(fdo.get(), kReceiverClass, u"GLOBAL", &link);
         }},
        {"INVALID_PDO",
         [] {
             PDEVICE_OBJECT gone;
             {
                 TestDevice pdo;
                 gone = pdo.get();
             }
             UNICODE_STRING link;
             Register(gone, kReceiverClass, u"GLOBAL", &link);
         }},
        {"IRQL_TOO_HIGH",
         [] {
             TestDevice pdo;
             RaisedIrql raised(DISPATCH_LEVEL);
             UNICODE_STRING link;
             Register(pdo.get(), kReceiverClass, u"GLOBAL", &link);
         }},
        {"IRQL_TOO_HIGH",
         [] {
             TestDevice pdo;
             UNICODE_STRING link;
             Register(pdo.get(), kReceiverClass, u"GLOBAL", &link);
             RaisedIrql raised(DISPATCH_LEVEL);
             IoSetDeviceInterfaceState(&link, TRUE);
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.rule);
        EXPECT_DEATH(c.fault(), nvtest::VerifierFault(c.rule));
    }
}

}  // namespace
