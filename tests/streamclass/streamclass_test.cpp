// The stand-in stream class on one thread: registration, the start and
// removal sequence of an adapter, the shape of every SRB, and the verifier
// faults of a minidriver that hands an SRB back wrongly.

#include "test_minidriver.h"
#include "test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

namespace sc = sim::streamclass;
using sctest::AdapterScope;
using sctest::Complete;
using sctest::PhysicalDevice;
using sctest::TestMinidriver;
using testing::ElementsAre;
using testing::ElementsAreArray;

namespace {

constexpr NTSTATUS kRevisionMismatch = NTSTATUS(0xC0000059L);

bool AllBytesAre(const void *p, std::size_t n, unsigned char value)
{
    const auto *b = static_cast<const unsigned char *>(p);
    for (std::size_t i = 0; i < n; i++)
        if (b[i] != value)
            return false;
    return true;
}

// ---------------------------------------------------------------------------
// Registration

struct RegistrationCase {
    const char *name;
    void (*change)(HW_INITIALIZATION_DATA &);
    NTSTATUS expected;
};

const RegistrationCase kRegistrationCases[] = {
    {"as the minidriver fills it", [](HW_INITIALIZATION_DATA &) {}, STATUS_SUCCESS},
    {"size one short", [](HW_INITIALIZATION_DATA &d) { d.HwInitializationDataSize--; }, kRevisionMismatch},
    {"size of a larger revision", [](HW_INITIALIZATION_DATA &d) { d.HwInitializationDataSize += 4; },
     kRevisionMismatch},
    {"size zero", [](HW_INITIALIZATION_DATA &d) { d.HwInitializationDataSize = 0; }, kRevisionMismatch},
    {"no HwReceivePacket", [](HW_INITIALIZATION_DATA &d) { d.HwReceivePacket = NULL; },
     STATUS_INVALID_PARAMETER},
};

TEST(StreamClassRegistration, ChecksTheRegistrationData)
{
    for (const RegistrationCase &c : kRegistrationCases) {
        SCOPED_TRACE(c.name);
        TestMinidriver m;
        c.change(m.InitData());
        EXPECT_EQ(m.Register(), c.expected);
        // The class takes over unloading only when it keeps a registration.
        EXPECT_EQ(m.Driver()->DriverUnload != NULL, c.expected == STATUS_SUCCESS);
    }
}

TEST(StreamClassRegistration, SecondRegistrationOfOneDriverObjectIsRefused)
{
    TestMinidriver m;
    ASSERT_EQ(m.Register(), STATUS_SUCCESS);
    m.InitData().DeviceExtensionSize = 4;
    EXPECT_EQ(m.Register(), STATUS_OBJECT_NAME_COLLISION);

    // The first registration stands.
    PhysicalDevice pdo;
    AdapterScope adapter(sc::CreateAdapter(m.Driver(), pdo.get()));
    ASSERT_NE(adapter.get(), nullptr);
    EXPECT_EQ(sim::pool::BlockSize(sc::DeviceObjectOf(adapter.get())) -
                  (static_cast<char *>(sc::HwDeviceExtensionOf(adapter.get())) -
                   reinterpret_cast<char *>(sc::DeviceObjectOf(adapter.get()))),
              TestMinidriver::kDeviceExtensionSize);
}

TEST(StreamClassRegistration, KeepsACopyNotTheCallersStructure)
{
    TestMinidriver m;
    ASSERT_EQ(m.Register(), STATUS_SUCCESS);
    // DriverEntry's HW_INITIALIZATION_DATA is a local that is gone once
    // DriverEntry returns.
    std::memset(&m.InitData(), 0xCC, sizeof(HW_INITIALIZATION_DATA));

    PhysicalDevice pdo;
    AdapterScope adapter(sc::CreateAdapter(m.Driver(), pdo.get()));
    ASSERT_NE(adapter.get(), nullptr);
    EXPECT_THAT(m.Commands(), ElementsAre(SRB_INITIALIZE_DEVICE, SRB_GET_STREAM_INFO, SRB_INITIALIZATION_COMPLETE));
}

struct UnsupportedCase {
    const char *name;
    void (*change)(HW_INITIALIZATION_DATA &);
};

BOOLEAN STREAMAPI SomeInterrupt(PVOID)
{
    return FALSE;
}

const UnsupportedCase kUnsupportedCases[] = {
    {"interrupt", [](HW_INITIALIZATION_DATA &d) { d.HwInterrupt = SomeInterrupt; }},
    {"bus-master DMA", [](HW_INITIALIZATION_DATA &d) { d.BusMasterDMA = TRUE; }},
    {"DMA buffer", [](HW_INITIALIZATION_DATA &d) { d.DmaBufferSize = 4096; }},
    {"filter instances", [](HW_INITIALIZATION_DATA &d) { d.FilterInstanceExtensionSize = 16; }},
    {"name extensions", [](HW_INITIALIZATION_DATA &d) { d.NumNameExtensions = 1; }},
};

TEST(StreamClassRegistrationDeathTest, WhatTheStandInCannotDoFailsLoudly)
{
    for (const UnsupportedCase &c : kUnsupportedCases) {
        SCOPED_TRACE(c.name);
        TestMinidriver m;
        c.change(m.InitData());
        EXPECT_DEATH(m.Register(), nvtest::VerifierFault("UNSUPPORTED_BY_STAND_IN"));
    }
}

// ---------------------------------------------------------------------------
// Start and removal

class StreamClassAdapter : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(minidriver.Register(), STATUS_SUCCESS); }

    sc::Adapter *Create(NTSTATUS *status = nullptr) { return sc::CreateAdapter(minidriver.Driver(), pdo.get(), status); }

    TestMinidriver minidriver;
    PhysicalDevice pdo;
};

TEST_F(StreamClassAdapter, StartSendsInitializeStreamInfoAndCompletionInOrder)
{
    PDEVICE_OBJECT fdo = nullptr;
    PVOID extensionAtInit = nullptr;
    minidriver.On(SRB_INITIALIZE_DEVICE, [&](PHW_STREAM_REQUEST_BLOCK srb) {
        PPORT_CONFIGURATION_INFORMATION config = srb->CommandData.ConfigInfo;
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        EXPECT_EQ(config->SizeOfThisPacket, sizeof(PORT_CONFIGURATION_INFORMATION));
        EXPECT_EQ(config->HwDeviceExtension, srb->HwDeviceExtension);
        EXPECT_EQ(config->RealPhysicalDeviceObject, pdo.get());
        EXPECT_EQ(config->PhysicalDeviceObject, pdo.get());
        EXPECT_EQ(config->NumberOfAccessRanges, 0u);
        EXPECT_EQ(config->StreamDescriptorSize, 0u);
        fdo = config->ClassDeviceObject;
        extensionAtInit = srb->HwDeviceExtension;
        EXPECT_TRUE(AllBytesAre(srb->HwDeviceExtension, TestMinidriver::kDeviceExtensionSize, 0))
            << "the device extension is zero-filled";
        // The minidriver's own state lives in the extension from here on.
        std::memset(srb->HwDeviceExtension, 0x11, TestMinidriver::kDeviceExtensionSize);
        minidriver.Answer(srb);
    });
    minidriver.On(SRB_GET_STREAM_INFO, [&](PHW_STREAM_REQUEST_BLOCK srb) {
        EXPECT_EQ(sim::pool::BlockSize(srb->CommandData.StreamBuffer), TestMinidriver::kDescriptorSize);
        EXPECT_TRUE(AllBytesAre(srb->CommandData.StreamBuffer, TestMinidriver::kDescriptorSize, 0));
        EXPECT_TRUE(AllBytesAre(srb->HwDeviceExtension, TestMinidriver::kDeviceExtensionSize, 0x11))
            << "the same extension, not a fresh one";
        minidriver.Answer(srb);
    });

    NTSTATUS status = STATUS_UNSUCCESSFUL;
    AdapterScope adapter(Create(&status));
    ASSERT_NE(adapter.get(), nullptr);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_THAT(minidriver.Commands(),
                ElementsAre(SRB_INITIALIZE_DEVICE, SRB_GET_STREAM_INFO, SRB_INITIALIZATION_COMPLETE));

    EXPECT_EQ(sc::DeviceObjectOf(adapter.get()), fdo);
    EXPECT_EQ(fdo->DriverObject, minidriver.Driver());
    EXPECT_EQ(pdo->AttachedDevice, fdo);
    EXPECT_EQ(fdo->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(sc::HwDeviceExtensionOf(adapter.get()), extensionAtInit);
    EXPECT_EQ(sc::StreamDescriptorSizeOf(adapter.get()), TestMinidriver::kDescriptorSize);
    EXPECT_EQ(sc::StreamDescriptorOf(adapter.get())->StreamHeader.NumberOfStreams, 1u);
    EXPECT_EQ(sc::StreamDescriptorOf(adapter.get())->StreamInfo.DataFlow, KSPIN_DATAFLOW_OUT);
}

TEST_F(StreamClassAdapter, RemovalSendsUninitializeAfterOptionalSurpriseRemoval)
{
    struct Case {
        bool surprise;
        std::vector<SRB_COMMAND> expected;
    };
    const Case cases[] = {
        {false, {SRB_UNINITIALIZE_DEVICE}},
        {true, {SRB_SURPRISE_REMOVAL, SRB_UNINITIALIZE_DEVICE}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.surprise ? "surprise removal" : "orderly removal");
        sc::Adapter *adapter = Create();
        ASSERT_NE(adapter, nullptr);
        minidriver.ClearCommands();
        EXPECT_EQ(sc::DestroyAdapter(adapter, c.surprise), STATUS_SUCCESS);
        EXPECT_THAT(minidriver.Commands(), ElementsAreArray(c.expected));
        EXPECT_EQ(pdo->AttachedDevice, nullptr);
        EXPECT_EQ(sc::LiveAdapters(), 0u);
    }
}

TEST_F(StreamClassAdapter, RemovalReportsTheMinidriversAnswerAndFreesAnyway)
{
    minidriver.On(SRB_UNINITIALIZE_DEVICE,
                  [](PHW_STREAM_REQUEST_BLOCK srb) { Complete(srb, STATUS_DEVICE_BUSY); });
    sc::Adapter *adapter = Create();
    ASSERT_NE(adapter, nullptr);
    EXPECT_EQ(sc::DestroyAdapter(adapter), STATUS_DEVICE_BUSY);
    EXPECT_EQ(sc::LiveAdapters(), 0u);
}

TEST_F(StreamClassAdapter, FailedStartLeavesNothingBehind)
{
    struct Case {
        SRB_COMMAND failing;
        std::vector<SRB_COMMAND> expected;
    };
    const Case cases[] = {
        // A minidriver that did not initialise is not uninitialised.
        {SRB_INITIALIZE_DEVICE, {SRB_INITIALIZE_DEVICE}},
        {SRB_GET_STREAM_INFO, {SRB_INITIALIZE_DEVICE, SRB_GET_STREAM_INFO, SRB_UNINITIALIZE_DEVICE}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.failing);
        TestMinidriver::Handler fail = [](PHW_STREAM_REQUEST_BLOCK srb) { Complete(srb, STATUS_IO_DEVICE_ERROR); };
        minidriver.On(c.failing, fail);
        minidriver.ClearCommands();
        NTSTATUS status = STATUS_SUCCESS;
        EXPECT_EQ(Create(&status), nullptr);
        EXPECT_EQ(status, STATUS_IO_DEVICE_ERROR);
        EXPECT_THAT(minidriver.Commands(), ElementsAreArray(c.expected));
        EXPECT_EQ(pdo->AttachedDevice, nullptr);
        EXPECT_EQ(sc::LiveAdapters(), 0u);
        EXPECT_FALSE(sc::TimeoutThreadRunning());
        minidriver.On(c.failing, [this](PHW_STREAM_REQUEST_BLOCK srb) { minidriver.Answer(srb); });
    }
}

TEST_F(StreamClassAdapter, StartSurvivesEveryAllocationFailureOfTheClass)
{
    const std::size_t blocks = sim::pool::OutstandingBlocks();
    const std::size_t devices = sim::io::LiveDeviceObjects();
    nvtest::InjectionScope injection;
    for (std::uint64_t n = 1;; n++) {
        SCOPED_TRACE(n);
        minidriver.ClearCommands();
        sim::pool::FailNth(n);
        const std::uint64_t failedBefore = sim::pool::InjectedFailures();
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        sc::Adapter *adapter = Create(&status);
        const bool injected = sim::pool::InjectedFailures() != failedBefore;
        sim::pool::ClearInjection();
        if (!injected) {
            ASSERT_NE(adapter, nullptr);
            EXPECT_GT(n, 3u) << "the start allocates more than this";
            sc::DestroyAdapter(adapter);
            break;
        }
        ASSERT_EQ(adapter, nullptr);
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(sim::pool::OutstandingBlocks(), blocks);
        EXPECT_EQ(sim::io::LiveDeviceObjects(), devices);
        // Whatever got as far as SRB_INITIALIZE_DEVICE is uninitialised.
        const std::vector<SRB_COMMAND> seen = minidriver.Commands();
        if (!seen.empty()) {
            EXPECT_EQ(seen.front(), SRB_INITIALIZE_DEVICE);
            EXPECT_EQ(seen.back(), SRB_UNINITIALIZE_DEVICE);
        }
    }
}

// ---------------------------------------------------------------------------
// SRBs

TEST_F(StreamClassAdapter, EverySrbIsFreshWithPoisonedExtensionAndARealIrp)
{
    AdapterScope adapter(Create());
    ASSERT_NE(adapter.get(), nullptr);
    std::vector<PVOID> extensions;
    sc::CommandData data{};
    data.DeviceState = PowerDeviceD3;
    minidriver.On(SRB_CHANGE_POWER_STATE, [&](PHW_STREAM_REQUEST_BLOCK srb) {
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        EXPECT_EQ(srb->SizeOfThisPacket, sizeof(HW_STREAM_REQUEST_BLOCK));
        EXPECT_EQ(srb->HwDeviceExtension, sc::HwDeviceExtensionOf(adapter.get()));
        EXPECT_EQ(srb->StreamObject, nullptr);
        EXPECT_EQ(srb->CommandData.DeviceState, PowerDeviceD3);
        EXPECT_EQ(srb->TimeoutOriginal, 7u);
        EXPECT_EQ(srb->TimeoutCounter, 7u);
        EXPECT_EQ(sim::pool::BlockSize(srb->SRBExtension), TestMinidriver::kPerRequestExtensionSize);
        EXPECT_TRUE(AllBytesAre(srb->SRBExtension, TestMinidriver::kPerRequestExtensionSize,
                                sim::pool::kAllocFill))
            << "the per-request extension is handed out as pool is, not zeroed";
        ASSERT_NE(srb->Irp, nullptr);
        EXPECT_EQ(sim::pool::BlockTag(srb->Irp), sim::pool::Tag("Irp "));
        std::memset(srb->SRBExtension, 0, TestMinidriver::kPerRequestExtensionSize);
        extensions.push_back(srb->SRBExtension);

        PVOID extension = srb->SRBExtension;
        const std::size_t irps = sim::io::LiveIrps();
        Complete(srb, STATUS_SUCCESS, 5);
        // Completion hands everything back at once.
        EXPECT_EQ(sim::pool::BlockSize(srb), 0u);
        EXPECT_EQ(sim::pool::BlockSize(extension), 0u);
        EXPECT_EQ(sim::io::LiveIrps(), irps - 1);
    });
    for (int i = 0; i < 2; i++) {
        const sc::Completion c = sc::SendAdapterRequest(adapter.get(), SRB_CHANGE_POWER_STATE, data, 7);
        EXPECT_EQ(c.status, STATUS_SUCCESS);
        EXPECT_EQ(c.actualBytesTransferred, 5u);
    }
    EXPECT_EQ(extensions.size(), 2u);
    EXPECT_EQ(sc::PendingRequests(adapter.get()), 0u);
}

TEST_F(StreamClassAdapter, AnyCommandReachesTheMinidriverAndItsAnswerComesBack)
{
    AdapterScope adapter(Create());
    ASSERT_NE(adapter.get(), nullptr);
    // The class passes on codes a minidriver does not know; answering them
    // is the minidriver's business.
    const SRB_COMMAND commands[] = {SRB_READ_DATA, SRB_UNKNOWN_DEVICE_COMMAND, SRB_COMMAND(0x1FF)};
    minidriver.On(SRB_READ_DATA, [](PHW_STREAM_REQUEST_BLOCK srb) { Complete(srb, STATUS_NOT_IMPLEMENTED); });
    minidriver.On(SRB_UNKNOWN_DEVICE_COMMAND,
                  [](PHW_STREAM_REQUEST_BLOCK srb) { Complete(srb, STATUS_NOT_IMPLEMENTED); });
    minidriver.On(SRB_COMMAND(0x1FF), [](PHW_STREAM_REQUEST_BLOCK srb) { Complete(srb, STATUS_NOT_IMPLEMENTED); });
    minidriver.ClearCommands();
    for (SRB_COMMAND command : commands)
        EXPECT_EQ(sc::SendAdapterRequest(adapter.get(), command).status, STATUS_NOT_IMPLEMENTED) << command;
    EXPECT_THAT(minidriver.Commands(), ElementsAreArray(commands));
}

TEST_F(StreamClassAdapter, OutOfPoolFailsTheRequestWithoutCallingTheMinidriver)
{
    AdapterScope adapter(Create());
    ASSERT_NE(adapter.get(), nullptr);
    minidriver.ClearCommands();
    for (ULONG tag : {sim::pool::Tag("Srb "), sim::pool::Tag("SrbX"), sim::pool::Tag("Irp ")}) {
        SCOPED_TRACE(sim::pool::TagName(tag));
        nvtest::InjectionScope injection;
        sim::pool::FailTag(tag);
        EXPECT_EQ(sc::SendAdapterRequest(adapter.get(), SRB_PAGING_OUT_DRIVER).status,
                  STATUS_INSUFFICIENT_RESOURCES);
    }
    EXPECT_TRUE(minidriver.Commands().empty());
}

// ---------------------------------------------------------------------------
// Completing wrongly

struct FaultCase {
    const char *rule;
    TestMinidriver::Handler misbehave;
};

int g_notAnExtension;

const FaultCase kFaultCases[] = {
    {"SRB_COMPLETED_TWICE",
     [](PHW_STREAM_REQUEST_BLOCK srb) {
         PVOID extension = srb->HwDeviceExtension;
         Complete(srb, STATUS_SUCCESS);
         StreamClassDeviceNotification(DeviceRequestComplete, extension, srb);
     }},
    {"SRB_COMPLETED_THROUGH_WRONG_CALL",
     [](PHW_STREAM_REQUEST_BLOCK srb) {
         srb->Status = STATUS_SUCCESS;
         StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
     }},
    {"SRB_COMPLETED_WITH_PENDING_STATUS", [](PHW_STREAM_REQUEST_BLOCK srb) { Complete(srb, STATUS_PENDING); }},
    {"SRB_WRONG_DEVICE_EXTENSION",
     [](PHW_STREAM_REQUEST_BLOCK srb) {
         srb->Status = STATUS_SUCCESS;
         StreamClassDeviceNotification(DeviceRequestComplete, &g_notAnExtension, srb);
     }},
    {"SRB_UNKNOWN",
     [](PHW_STREAM_REQUEST_BLOCK srb) {
         HW_STREAM_REQUEST_BLOCK copy = *srb;
         Complete(&copy, STATUS_SUCCESS);
     }},
    {"IRQL_TOO_HIGH",
     [](PHW_STREAM_REQUEST_BLOCK srb) {
         KfRaiseIrql(HIGH_LEVEL);
         Complete(srb, STATUS_SUCCESS);
     }},
    {"IRQL_NOT_RESTORED",
     [](PHW_STREAM_REQUEST_BLOCK srb) {
         Complete(srb, STATUS_SUCCESS);
         KfRaiseIrql(DISPATCH_LEVEL);
     }},
    {"UNSUPPORTED_BY_STAND_IN",
     [](PHW_STREAM_REQUEST_BLOCK srb) {
         StreamClassDeviceNotification(SignalDeviceEvent, srb->HwDeviceExtension, NULL);
     }},
};

TEST_F(StreamClassAdapter, MinidriverFaultsStopTheRun)
{
    for (const FaultCase &c : kFaultCases) {
        SCOPED_TRACE(c.rule);
        EXPECT_DEATH(
            {
                minidriver.On(SRB_UNKNOWN_DEVICE_COMMAND, c.misbehave);
                sc::Adapter *adapter = Create();
                sc::SendAdapterRequest(adapter, SRB_UNKNOWN_DEVICE_COMMAND);
            },
            nvtest::VerifierFault(c.rule));
    }
}

TEST_F(StreamClassAdapter, StreamDescriptorSmallerThanItsHeaderIsAFault)
{
    minidriver.On(SRB_INITIALIZE_DEVICE, [](PHW_STREAM_REQUEST_BLOCK srb) {
        srb->CommandData.ConfigInfo->StreamDescriptorSize = sizeof(HW_STREAM_HEADER) - 1;
        Complete(srb, STATUS_SUCCESS);
    });
    EXPECT_DEATH(Create(), nvtest::VerifierFault("STREAM_DESCRIPTOR_TOO_SMALL"));
}

TEST_F(StreamClassAdapter, UnloadWithALiveAdapterIsAFault)
{
    EXPECT_DEATH(
        {
            Create();
            minidriver.Driver()->DriverUnload(minidriver.Driver());
        },
        nvtest::VerifierFault("ADAPTER_LIVE_AT_UNLOAD"));
}

#if defined(__SANITIZE_ADDRESS__)
TEST_F(StreamClassAdapter, WriteToACompletedSrbIsCaught)
{
    EXPECT_DEATH(
        {
            minidriver.On(SRB_UNKNOWN_DEVICE_COMMAND, [](PHW_STREAM_REQUEST_BLOCK srb) {
                Complete(srb, STATUS_SUCCESS);
                srb->Status = STATUS_UNSUCCESSFUL;
            });
            sc::SendAdapterRequest(Create(), SRB_UNKNOWN_DEVICE_COMMAND);
        },
        "heap-use-after-free");
}
#endif

}  // namespace
