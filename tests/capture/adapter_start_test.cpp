// A programmed receiver plugged into the stand-in bus, started by the
// capture minidriver through the stand-in stream class: adapter
// initialisation and teardown, the USB configuration, the operating-system
// class, instance numbers, and the command channel. Built against both
// builds of the driver.

#include "adapter/adapter.h"
#include "usb/usb.h"

#include "sim_kernel.h"
#include "sim_receiver.h"
#include "sim_streamclass.h"
#include "sim_usb.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using sim::receiver::ProgrammedReceiver;
using sim::receiver::StreamKind;
using sim::usb::CompletionMode;

const GUID kReceiverInterfaceClass = {0x0F7DF92B, 0x70AA, 0x4F83, {0x8D, 0x8D, 0x44, 0x0C, 0x9F, 0x33, 0x1D, 0xCB}};
const GUID kCaptureCategory = {STATIC_KSCATEGORY_CAPTURE};
const ULONG kExpectedFrameSize = NORVANE_WIN2000 ? 4096 : 24064;

// The minidriver registered on a driver object of the test's own.
struct Minidriver {
    DRIVER_OBJECT driver{};
    UNICODE_STRING registryPath{};
    NTSTATUS entryStatus;

    Minidriver()
    {
        static const char16_t path[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\norvane";
        RtlInitUnicodeString(&registryPath, path);
        entryStatus = DriverEntry(&driver, &registryPath);
    }
    ~Minidriver()
    {
        if (driver.DriverUnload != NULL)
            driver.DriverUnload(&driver);
    }
};

// The start of an adapter as far as the driver answers it today: the
// stream class's AddDevice, SRB_INITIALIZE_DEVICE with the port
// configuration the class builds, and SRB_INITIALIZATION_COMPLETE. (The
// class's own start also asks for the stream description in between.)
struct StartedAdapter {
    sim::streamclass::Adapter *adapter = nullptr;
    PORT_CONFIGURATION_INFORMATION config{};
    NTSTATUS status = STATUS_UNSUCCESSFUL;

    StartedAdapter(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
    {
        adapter = sim::streamclass::AddAdapter(driver, pdo, &status);
        if (adapter == nullptr)
            return;
        config.SizeOfThisPacket = sizeof config;
        config.HwDeviceExtension = sim::streamclass::HwDeviceExtensionOf(adapter);
        config.ClassDeviceObject = sim::streamclass::DeviceObjectOf(adapter);
        config.PhysicalDeviceObject = pdo;
        config.RealPhysicalDeviceObject = pdo;
        sim::streamclass::CommandData data{};
        data.ConfigInfo = &config;
        status = sim::streamclass::SendAdapterRequest(adapter, SRB_INITIALIZE_DEVICE, data).status;
        if (!NT_SUCCESS(status)) {
            sim::streamclass::DestroyAdapter(adapter);
            adapter = nullptr;
            return;
        }
        sim::streamclass::SendAdapterRequest(adapter, SRB_INITIALIZATION_COMPLETE);
    }
    ~StartedAdapter() { Stop(); }
    void Stop()
    {
        if (adapter == nullptr)
            return;
        EXPECT_EQ(sim::streamclass::SendAdapterRequest(adapter, SRB_UNINITIALIZE_DEVICE).status, STATUS_SUCCESS);
        sim::streamclass::DestroyAdapter(adapter);
        adapter = nullptr;
    }
    PADAPTER_EXTENSION Extension() const
    {
        return static_cast<PADAPTER_EXTENSION>(sim::streamclass::HwDeviceExtensionOf(adapter));
    }
};

// One receiver on its own bus, and the adapter started on it.
struct Receiver {
    sim::usb::Bus bus;
    ProgrammedReceiver device;
    sim::usb::Port *port = nullptr;
    std::unique_ptr<StartedAdapter> started;
    sim::streamclass::Adapter *adapter = nullptr;
    NTSTATUS startStatus = STATUS_UNSUCCESSFUL;

    Receiver(Minidriver &m, StreamKind kind, CompletionMode mode, uint16_t configurationLength = 0)
        : bus(sim::usb::BusOptions{mode, 1}), device(sim::receiver::Options{kind, configurationLength})
    {
        port = device.Plug(bus);
        if (port == nullptr)
            return;
        started = std::make_unique<StartedAdapter>(&m.driver, port->PhysicalDeviceObject());
        adapter = started->adapter;
        startStatus = started->status;
    }
    ~Receiver()
    {
        started.reset();
        if (port != nullptr)
            device.Unplug();
    }
    PADAPTER_EXTENSION Extension() const { return started->Extension(); }
    PDEVICE_OBJECT Pdo() const { return port->PhysicalDeviceObject(); }
};

std::size_t Count(const std::string &haystack, const std::string &needle)
{
    std::size_t n = 0;
    for (std::size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        n++;
    return n;
}

struct Variant {
    const char *name;
    StreamKind kind;
    CompletionMode mode;
};

const Variant kVariants[] = {
    {"IsochronousImmediate", StreamKind::Isochronous, CompletionMode::Immediate},
    {"IsochronousWorker", StreamKind::Isochronous, CompletionMode::Worker},
    {"BulkImmediate", StreamKind::Bulk, CompletionMode::Immediate},
    {"BulkWorker", StreamKind::Bulk, CompletionMode::Worker},
};

class AdapterStart : public ::testing::TestWithParam<Variant> {
protected:
    void SetUp() override { sim::machine::Reset(); }
    void TearDown() override { sim::machine::Reset(); }
};

TEST_P(AdapterStart, ConfiguresTheReceiverRegistersItAndTearsDownWithoutATrace)
{
    const Variant v = GetParam();
    Minidriver m;
    ASSERT_EQ(m.entryStatus, STATUS_SUCCESS);
    StreamStatistics.readErrorFlags = 0x3F;
#if !NORVANE_WIN2000
    StreamStatistics.readErrorCnt = 7;
#endif
    const ULONG firstNumber = AdapterInstanceCounter;
    std::u16string link;
    {
        Receiver r(m, v.kind, v.mode);
        ASSERT_NE(r.adapter, nullptr) << "start failed with 0x" << std::hex << r.startStatus;
        PADAPTER_EXTENSION ext = r.Extension();
        EXPECT_EQ(ext->RealPhysicalDeviceObject, r.Pdo());
        EXPECT_EQ(TsFrameSize, kExpectedFrameSize);
        EXPECT_EQ(r.started->config.StreamDescriptorSize, sizeof(HW_STREAM_HEADER) + sizeof(HW_STREAM_INFORMATION));

        // The pipe table: the endpoints in descriptor order, each pipe asked
        // for transfers of one frame.
        ASSERT_NE(ext->UsbDeviceContext, nullptr);
        ASSERT_NE(ext->UsbDeviceContext->DeviceDescriptor, nullptr);
        EXPECT_EQ(ext->UsbDeviceContext->DeviceDescriptor->bDescriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
        PUSBD_INTERFACE_INFORMATION table = ext->UsbDeviceContext->PipeTable;
        ASSERT_NE(table, nullptr);
        ASSERT_EQ(table->NumberOfPipes, 3u);
        const UCHAR addresses[3] = {sim::receiver::kCommandEndpoint, sim::receiver::kReplyEndpoint,
                                    sim::receiver::kStreamEndpoint};
        for (ULONG i = 0; i < 3; i++) {
            SCOPED_TRACE(i);
            EXPECT_EQ(table->Pipes[i].EndpointAddress, addresses[i]);
            EXPECT_EQ(table->Pipes[i].MaximumTransferSize, kExpectedFrameSize);
            EXPECT_NE(table->Pipes[i].PipeHandle, nullptr);
        }
        EXPECT_EQ(table->Pipes[0].PipeType, UsbdPipeTypeBulk);
        EXPECT_EQ(table->Pipes[1].PipeType, UsbdPipeTypeBulk);
        if (v.kind == StreamKind::Isochronous) {
            EXPECT_EQ(table->Pipes[2].PipeType, UsbdPipeTypeIsochronous);
            EXPECT_EQ(table->Pipes[2].MaximumPacketSize, 940);
        } else {
            EXPECT_EQ(table->Pipes[2].PipeType, UsbdPipeTypeBulk);
        }

        // A fresh error history after every start.
        EXPECT_EQ(StreamStatistics.readErrorFlags, 0);
#if !NORVANE_WIN2000
        EXPECT_EQ(StreamStatistics.readErrorCnt, 0);
#endif

        // Found by its interface class, and registered as a capture filter
        // whose one output pin carries the adapter's number.
        const auto interfaces = sim::machine::DeviceInterfacesOf(r.Pdo());
        ASSERT_EQ(interfaces.size(), 1u);
        EXPECT_TRUE(interfaces[0].enabled);
        EXPECT_TRUE(IsEqualGUID(interfaces[0].interfaceClass, kReceiverInterfaceClass));
        EXPECT_EQ(interfaces[0].referenceString, u"GLOBAL");
        link = interfaces[0].symbolicLink;
        // Named after the device the bus reports, as user mode sees it.
        const std::vector<uint8_t> d = r.device.DeviceDescriptor();
        char prefix[64];
        std::snprintf(prefix, sizeof prefix, "\\??\\USB#VID_%04X&PID_%04X#", unsigned(d[8] | d[9] << 8),
                      unsigned(d[10] | d[11] << 8));
        EXPECT_EQ(sim::machine::Narrow(link).rfind(prefix, 0), 0u) << sim::machine::Narrow(link);
        EXPECT_EQ(sim::machine::StringOf(&ext->SymbolicLinkName), link);

        EXPECT_EQ(ext->InstanceNumber, firstNumber);
        EXPECT_EQ(AdapterInstanceCounter, firstNumber + 1);
        const auto filter = sim::streamclass::RegisteredFilterOf(r.Pdo());
        ASSERT_TRUE(filter.has_value());
        EXPECT_TRUE(IsEqualGUID(filter->category, kCaptureCategory));
        ASSERT_EQ(filter->pins.size(), 1u);
        EXPECT_TRUE(filter->pins[0].output);
        EXPECT_EQ(filter->pins[0].medium.Id, firstNumber);
    }
    // Torn down: the interface is gone with the device; the leak listener
    // checks that no block is left.
    EXPECT_EQ(sim::machine::DeviceInterfaceState(link), sim::machine::InterfaceState::NotRegistered);
}

INSTANTIATE_TEST_SUITE_P(Variants, AdapterStart, ::testing::ValuesIn(kVariants),
                         [](const ::testing::TestParamInfo<Variant> &info) { return std::string(info.param.name); });

TEST(AdapterStartDetails, TeardownDisablesTheInterfaceBeforeTheDeviceGoes)
{
    sim::machine::Reset();
    Minidriver m;
    Receiver r(m, StreamKind::Isochronous, CompletionMode::Immediate);
    ASSERT_NE(r.adapter, nullptr);
    const std::u16string link = sim::machine::StringOf(&r.Extension()->SymbolicLinkName);
    ASSERT_EQ(sim::machine::DeviceInterfaceState(link), sim::machine::InterfaceState::Enabled);
    r.started->Stop();
    EXPECT_EQ(sim::machine::DeviceInterfaceState(link), sim::machine::InterfaceState::Disabled);
}

TEST(AdapterStartDetails, ConfigurationSetLongerThan521BytesIsReadWithTwoRequests)
{
    struct Case {
        uint16_t totalLength;
        std::vector<std::string> reads;
    };
    const Case cases[] = {
        {0, {"len 27"}},                     // the natural 39-byte set, one request
        {521, {"len 209"}},                  // exactly what the first request asks for
        {600, {"len 209", "len 258"}},       // 521 bytes, then all 600
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.totalLength);
        sim::machine::Reset();
        Minidriver m;
        const ULONG level = DebugLevel;
        DebugLevel = 1;
        sim::debug::ClearLog();
        {
            Receiver r(m, StreamKind::Isochronous, CompletionMode::Immediate, c.totalLength);
            ASSERT_NE(r.adapter, nullptr);
            const std::string log = sim::debug::Log();
            EXPECT_EQ(Count(log, " ConfigureDevice() Configuration Descriptor = "), c.reads.size()) << log;
            for (const std::string &read : c.reads)
                EXPECT_NE(log.find(read + "\n"), std::string::npos) << read << " in\n" << log;
            EXPECT_NE(log.find(" -SelectInterface (0)\n"), std::string::npos) << log;
            EXPECT_NE(log.find("NumberOfPipes 0x3\n"), std::string::npos) << log;
        }
        DebugLevel = level;
    }
}

// A device whose configuration descriptor request answers with no bytes, or
// with fewer than its own wTotalLength says.
class BrokenDescriptorReceiver : public ProgrammedReceiver {
public:
    explicit BrokenDescriptorReceiver(std::size_t keep) : keep_(keep) {}
    std::vector<uint8_t> ConfigurationDescriptor() override
    {
        std::vector<uint8_t> d = ProgrammedReceiver::ConfigurationDescriptor();
        d.resize(keep_ < d.size() ? keep_ : d.size());
        return d;
    }

private:
    std::size_t keep_;
};

TEST(AdapterStartDetails, AnIncompleteConfigurationDescriptorFailsTheStartAndLeavesNothing)
{
    for (std::size_t keep : {std::size_t(0), std::size_t(3), std::size_t(9), std::size_t(20)}) {
        SCOPED_TRACE(keep);
        sim::machine::Reset();
        Minidriver m;
        sim::usb::Bus bus;
        BrokenDescriptorReceiver device(keep);
        sim::usb::Port *port = device.Plug(bus);
        ASSERT_NE(port, nullptr);
        {
            StartedAdapter a(&m.driver, port->PhysicalDeviceObject());
            EXPECT_EQ(a.adapter, nullptr);
            EXPECT_EQ(a.status, STATUS_UNSUCCESSFUL);
        }
        for (const auto &i : sim::machine::DeviceInterfacesOf(port->PhysicalDeviceObject()))
            EXPECT_FALSE(i.enabled);
        device.Unplug();
    }
}

TEST(AdapterStartDetails, ResetPipeChecksTheTableAndTheIndex)
{
    sim::machine::Reset();
    Minidriver m;
    sim::usb::Bus bus;
    ProgrammedReceiver device;
    sim::usb::Port *port = device.Plug(bus);
    ASSERT_NE(port, nullptr);

    // Added, not started: the extension is still all zero.
    sim::streamclass::Adapter *added = sim::streamclass::AddAdapter(&m.driver, port->PhysicalDeviceObject());
    ASSERT_NE(added, nullptr);
    const uint64_t resetsBefore = port->Counters().resets;
    EXPECT_EQ(ResetPipe(static_cast<PADAPTER_EXTENSION>(sim::streamclass::HwDeviceExtensionOf(added)), NV_STREAM_PIPE),
              STATUS_UNSUCCESSFUL);
    sim::streamclass::DestroyAdapter(added);
    EXPECT_EQ(port->Counters().resets, resetsBefore);

    StartedAdapter a(&m.driver, port->PhysicalDeviceObject());
    ASSERT_NE(a.adapter, nullptr);
    PADAPTER_EXTENSION ext = a.Extension();
    EXPECT_EQ(ResetPipe(ext, 3), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(port->Counters().resets, resetsBefore);
    EXPECT_EQ(ResetPipe(ext, NV_STREAM_PIPE), STATUS_SUCCESS);
    EXPECT_EQ(port->Counters().resets, resetsBefore + 1);

    a.Stop();
    device.Unplug();
}

// Which class the adapter puts the operating system in, from what the
// machine reports.
struct OsCase {
    const char *name;
    sim::machine::Os os;
    // A change to the CSDVersion value after the OS set it.
    enum { AsSet, KeyMissing, ValueMissing, WrongType, TooLong, EightByteDword } registry;
    ULONG expected;
};

const OsCase kOsCases[] = {
#if !NORVANE_WIN2000
    {"XpSp1", sim::machine::Os::WindowsXPSp1, OsCase::AsSet, 1},
    {"XpSp2", sim::machine::Os::WindowsXPSp2, OsCase::AsSet, 0},
    {"XpSp3", sim::machine::Os::WindowsXPSp3, OsCase::AsSet, 1},
    {"XpNoServicePack", sim::machine::Os::WindowsXP, OsCase::AsSet, 1},
    {"XpKeyMissing", sim::machine::Os::WindowsXPSp1, OsCase::KeyMissing, 0},
    {"XpValueMissing", sim::machine::Os::WindowsXPSp1, OsCase::ValueMissing, 0},
    {"XpValueTooLong", sim::machine::Os::WindowsXPSp1, OsCase::TooLong, 0},
    {"XpValueOfAnotherType", sim::machine::Os::WindowsXPSp2, OsCase::WrongType, 1},
    {"XpDwordOfEightBytes", sim::machine::Os::WindowsXPSp2, OsCase::EightByteDword, 1},
#else
    {"XpSp1", sim::machine::Os::WindowsXPSp1, OsCase::AsSet, 0},
    {"XpSp2", sim::machine::Os::WindowsXPSp2, OsCase::AsSet, 0},
    {"XpKeyMissing", sim::machine::Os::WindowsXPSp1, OsCase::KeyMissing, 0},
#endif
    {"Windows2000", sim::machine::Os::Windows2000, OsCase::AsSet, 1},
    {"WindowsMe", sim::machine::Os::WindowsMe, OsCase::AsSet, 2},
    {"Windows98", sim::machine::Os::Windows98, OsCase::AsSet, 3},
};

class OsClassification : public ::testing::TestWithParam<OsCase> {};

TEST_P(OsClassification, FollowsTheMachine)
{
    const OsCase c = GetParam();
    namespace reg = sim::machine::registry;
    const std::string key = sim::machine::kWindowsKey;
    const std::string value = sim::machine::kCsdVersionValue;
    sim::machine::Reset();
    sim::machine::SetOs(c.os);
    switch (c.registry) {
    case OsCase::AsSet:
        break;
    case OsCase::KeyMissing:
        reg::DeleteKey(key);
        break;
    case OsCase::ValueMissing:
        reg::DeleteValue(key, value);
        break;
    case OsCase::WrongType:
        reg::SetString(key, value, "2");
        break;
    case OsCase::TooLong:
        reg::SetValue(key, value, REG_BINARY, std::vector<UCHAR>(16, 0x02));
        break;
    case OsCase::EightByteDword:
        reg::SetValue(key, value, REG_DWORD, {0, 2, 0, 0, 0, 0, 0, 0});
        break;
    }
    {
        Minidriver m;
        Receiver r(m, StreamKind::Isochronous, CompletionMode::Immediate);
        ASSERT_NE(r.adapter, nullptr);
        EXPECT_EQ(r.Extension()->OSVersionCode, c.expected);
    }
    EXPECT_TRUE(sim::machine::OpenHandles().empty()) << "the registry key was not closed";
    sim::machine::Reset();
}

INSTANTIATE_TEST_SUITE_P(Machines, OsClassification, ::testing::ValuesIn(kOsCases),
                         [](const ::testing::TestParamInfo<OsCase> &info) { return std::string(info.param.name); });

TEST(InstanceNumbers, GrowAcrossPlugUnplugAndPlugAgain)
{
    sim::machine::Reset();
    Minidriver m;
    const ULONG base = AdapterInstanceCounter;
    auto first = std::make_unique<Receiver>(m, StreamKind::Isochronous, CompletionMode::Immediate);
    auto second = std::make_unique<Receiver>(m, StreamKind::Bulk, CompletionMode::Worker);
    ASSERT_NE(first->adapter, nullptr);
    ASSERT_NE(second->adapter, nullptr);
    EXPECT_EQ(first->Extension()->InstanceNumber, base);
    EXPECT_EQ(second->Extension()->InstanceNumber, base + 1);
    EXPECT_EQ(sim::streamclass::RegisteredFilterOf(first->Pdo())->pins[0].medium.Id, base);
    EXPECT_EQ(sim::streamclass::RegisteredFilterOf(second->Pdo())->pins[0].medium.Id, base + 1);

    second.reset();
    auto again = std::make_unique<Receiver>(m, StreamKind::Bulk, CompletionMode::Immediate);
    ASSERT_NE(again->adapter, nullptr);
    EXPECT_EQ(again->Extension()->InstanceNumber, base + 2) << "numbers are never reused";
    EXPECT_EQ(sim::streamclass::RegisteredFilterOf(again->Pdo())->pins[0].medium.Id, base + 2);
}

TEST(InstanceNumbers, ReceiversStartingAtOnceDrawTheirOwnNumbersAndMediums)
{
    sim::machine::Reset();
    Minidriver m;
    const ULONG base = AdapterInstanceCounter;
    constexpr int kReceivers = 4;
    std::unique_ptr<Receiver> receivers[kReceivers];
    std::vector<std::thread> threads;
    for (int i = 0; i < kReceivers; i++)
        threads.emplace_back([&, i] {
            receivers[i] = std::make_unique<Receiver>(m, StreamKind::Isochronous, CompletionMode::Worker);
        });
    for (auto &t : threads)
        t.join();
    std::vector<bool> seen(kReceivers, false);
    for (auto &r : receivers) {
        ASSERT_NE(r->adapter, nullptr);
        const ULONG n = r->Extension()->InstanceNumber;
        ASSERT_GE(n, base);
        ASSERT_LT(n, base + kReceivers);
        EXPECT_FALSE(seen[n - base]) << "number " << n << " drawn twice";
        seen[n - base] = true;
        EXPECT_EQ(sim::streamclass::RegisteredFilterOf(r->Pdo())->pins[0].medium.Id, n);
    }
}

// Every allocation of a start fails once in turn: the start either succeeds
// or fails cleanly, leaving no block, no enabled interface, no IRP.
TEST(AdapterStartDetails, SurvivesAnAllocationFailureAtEveryStep)
{
    sim::machine::Reset();
    Minidriver m;
    sim::usb::Bus bus;
    ProgrammedReceiver device;
    sim::usb::Port *port = device.Plug(bus);
    ASSERT_NE(port, nullptr);
    PDEVICE_OBJECT pdo = port->PhysicalDeviceObject();

    const std::uint64_t before = sim::pool::AllocationCount();
    {
        StartedAdapter a(&m.driver, pdo);
        ASSERT_NE(a.adapter, nullptr);
    }
    const std::uint64_t allocations = sim::pool::AllocationCount() - before;
    ASSERT_GT(allocations, 5u);

    nvtest::InjectionScope injection;
    const std::size_t blocks = sim::pool::OutstandingBlocks();
    const std::size_t irps = sim::io::LiveIrps();
    int failed = 0;
    for (std::uint64_t k = 1; k <= allocations; k++) {
        SCOPED_TRACE(k);
        const ULONG counter = AdapterInstanceCounter;
        sim::pool::FailNth(k);
        {
            StartedAdapter a(&m.driver, pdo);
            sim::pool::ClearInjection();
            if (a.adapter == nullptr) {
                failed++;
                EXPECT_FALSE(NT_SUCCESS(a.status));
                EXPECT_EQ(AdapterInstanceCounter, counter) << "a failed start drew a number";
            }
        }
        for (const auto &i : sim::machine::DeviceInterfacesOf(pdo))
            EXPECT_FALSE(i.enabled);
        EXPECT_EQ(sim::pool::OutstandingBlocks(), blocks);
        EXPECT_EQ(sim::io::LiveIrps(), irps);
    }
    EXPECT_GT(failed, 0);
    device.Unplug();
}

// ---------------------------------------------------------------------------
// The command channel.

class CommandChannel : public ::testing::TestWithParam<Variant> {
protected:
    void SetUp() override
    {
        sim::machine::Reset();
        m_ = std::make_unique<Minidriver>();
        r_ = std::make_unique<Receiver>(*m_, GetParam().kind, GetParam().mode);
        ASSERT_NE(r_->adapter, nullptr);
        ext_ = r_->Extension();
    }
    void TearDown() override
    {
        r_.reset();
        m_.reset();
    }
    ProgrammedReceiver &Device() { return r_->device; }

    std::unique_ptr<Minidriver> m_;
    std::unique_ptr<Receiver> r_;
    PADAPTER_EXTENSION ext_ = nullptr;
};

TEST_P(CommandChannel, TargetWriteReadGoesOnTheWireAsBuiltAndItsAnswerComesBack)
{
    // Two data bytes: the register pointer (the tuner's read-only identity
    // register), then a byte written there, which the register keeps; the
    // pointer has moved on to the next register when the four are read.
    const UCHAR index = sim::receiver::tuner::kId;
    UCHAR command[6] = {CMD_TARGET_WRITE_READ, 0xC1, index, 0x00, 0x00, 0x04};
    EXPECT_EQ(WriteCommand(ext_, NV_COMMAND_PIPE, command, sizeof command), STATUS_SUCCESS);
    UCHAR answer[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(ReadReply(ext_, NV_REPLY_PIPE, answer, sizeof answer), STATUS_SUCCESS);

    const auto commands = Device().Commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.back(), std::vector<uint8_t>(command, command + sizeof command));
    const auto registers = Device().Registers(sim::receiver::kTunerAddress);
    EXPECT_EQ(registers[index], sim::receiver::kTunerId) << "a read-only register kept its value";
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(answer[i], registers[UCHAR(index + 1 + i)]) << i;
}

TEST_P(CommandChannel, ADeviceThatNeverAnswersTimesOutAndTheRequestIsCancelledAndReleased)
{
    nvtest::TimeScale fast(0.01);
    const std::size_t irps = sim::io::LiveIrps();
    Device().SetNeverAnswer(true);
    UCHAR command[1] = {CMD_READ_STATUS};
    EXPECT_EQ(WriteCommand(ext_, NV_COMMAND_PIPE, command, 1), STATUS_SUCCESS);
    UCHAR status[5];
    EXPECT_EQ(ReadReply(ext_, NV_REPLY_PIPE, status, sizeof status), STATUS_TIMEOUT);
    EXPECT_EQ(sim::io::LiveIrps(), irps) << "the cancelled request was not released";
    EXPECT_GE(r_->port->Counters().cancels, 1u);

    // The channel works again once the device does.
    Device().SetNeverAnswer(false);
    EXPECT_EQ(WriteCommand(ext_, NV_COMMAND_PIPE, command, 1), STATUS_SUCCESS);
    EXPECT_EQ(ReadReply(ext_, NV_REPLY_PIPE, status, sizeof status), STATUS_SUCCESS);
}

TEST_P(CommandChannel, AShortAnswerIsAcceptedAndTheRestOfTheBufferKeepsItsBytes)
{
    Device().ShortenNextAnswer(2);
    UCHAR command[1] = {CMD_READ_STATUS};
    ASSERT_EQ(WriteCommand(ext_, NV_COMMAND_PIPE, command, 1), STATUS_SUCCESS);
    UCHAR status[5] = {0x11, 0x22, 0x33, 0x44, 0x55};
    EXPECT_EQ(ReadReply(ext_, NV_REPLY_PIPE, status, sizeof status), STATUS_SUCCESS);
    const auto block = Device().StatusBlock();
    EXPECT_EQ(status[0], block[0]);
    EXPECT_EQ(status[1], block[1]);
    EXPECT_EQ(status[2], 0x33);
    EXPECT_EQ(status[3], 0x44);
    EXPECT_EQ(status[4], 0x55);
}

TEST_P(CommandChannel, AFailedTransferIsAFailureNotADoneCommand)
{
    UCHAR command[2] = {CMD_STREAM_CONTROL, 1};
    ASSERT_TRUE(Device().StallEndpoint(sim::receiver::kCommandEndpoint));
    EXPECT_FALSE(NT_SUCCESS(WriteCommand(ext_, NV_COMMAND_PIPE, command, sizeof command)));
    EXPECT_FALSE(Device().StreamOn());

    UCHAR read[1] = {CMD_READ_STATUS};
    Device().FailTransfers(sim::receiver::kReplyEndpoint, USBD_STATUS_DEV_NOT_RESPONDING);
    // The command pipe is still halted; the reply pipe fails by itself.
    UCHAR status[5];
    EXPECT_FALSE(NT_SUCCESS(ReadReply(ext_, NV_REPLY_PIPE, status, sizeof status)));
    (void)read;
}

TEST_P(CommandChannel, WithoutAPipeTableNothingIsSent)
{
    PUSBD_INTERFACE_INFORMATION table = ext_->UsbDeviceContext->PipeTable;
    ext_->UsbDeviceContext->PipeTable = NULL;
    const std::size_t commands = Device().Commands().size();
    UCHAR command[1] = {CMD_READ_STATUS};
    EXPECT_EQ(WriteCommand(ext_, NV_COMMAND_PIPE, command, 1), STATUS_UNSUCCESSFUL);
    UCHAR status[5];
    EXPECT_EQ(ReadReply(ext_, NV_REPLY_PIPE, status, sizeof status), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Device().Commands().size(), commands);
    ext_->UsbDeviceContext->PipeTable = table;
}

INSTANTIATE_TEST_SUITE_P(Variants, CommandChannel, ::testing::ValuesIn(kVariants),
                         [](const ::testing::TestParamInfo<Variant> &info) { return std::string(info.param.name); });

}  // namespace
