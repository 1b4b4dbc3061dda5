// DriverEntry against the test's own stream class: what it registers, and
// that the class's answer is DriverEntry's answer.

#include "fake_streamclass.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct RegistrationCase {
    const char *name;
    NTSTATUS answer;
};

const RegistrationCase kAnswers[] = {
    {"success", STATUS_SUCCESS},
    {"no memory", STATUS_INSUFFICIENT_RESOURCES},
    {"revision mismatch", NTSTATUS(0xC0000059L)},
    {"a warning", NTSTATUS(0x80000005L)},
};

TEST(CaptureRegistration, DriverEntryRegistersOnceAndReturnsTheClassAnswer)
{
    for (const RegistrationCase &c : kAnswers) {
        SCOPED_TRACE(c.name);
        cptest::RegistrationLog &log = cptest::Registrations();
        log = cptest::RegistrationLog{};
        log.answer = c.answer;
        DRIVER_OBJECT driver;
        std::memset(&driver, 0, sizeof driver);
        UNICODE_STRING path{};
        EXPECT_EQ(DriverEntry(&driver, &path), c.answer);
        EXPECT_EQ(log.calls, 1);
        EXPECT_EQ(log.argument1, &driver);
        EXPECT_EQ(log.argument2, &path);
    }
}

TEST(CaptureRegistration, RegistrationDataIsTheDriversAndZeroElsewhere)
{
    cptest::RegistrationLog &log = cptest::Registrations();
    log = cptest::RegistrationLog{};
    DRIVER_OBJECT driver;
    std::memset(&driver, 0, sizeof driver);
    UNICODE_STRING path{};
    ASSERT_EQ(DriverEntry(&driver, &path), STATUS_SUCCESS);
    const HW_INITIALIZATION_DATA &d = log.data;

    EXPECT_EQ(d.HwInitializationDataSize, sizeof(HW_INITIALIZATION_DATA));
    EXPECT_EQ(d.HwInterrupt, nullptr);
    EXPECT_EQ(d.HwReceivePacket, &ReceiveAdapterRequest);
    EXPECT_EQ(d.HwCancelPacket, &CancelRequest);
    EXPECT_EQ(d.HwRequestTimeoutHandler, &RequestTimedOut);
    EXPECT_EQ(d.DeviceExtensionSize, sizeof(ADAPTER_EXTENSION));
    EXPECT_EQ(d.PerRequestExtensionSize, sizeof(SRB_EXTENSION));
    EXPECT_EQ(d.PerStreamExtensionSize, sizeof(STREAM_EXTENSION));
    EXPECT_EQ(d.FilterInstanceExtensionSize, 0u);
    EXPECT_EQ(d.BusMasterDMA, FALSE);
    EXPECT_EQ(d.Dma24BitAddresses, FALSE);
    EXPECT_EQ(d.BufferAlignment, 3u);
    EXPECT_EQ(d.TurnOffSynchronization, TRUE);
    EXPECT_EQ(d.DmaBufferSize, 0u);
    EXPECT_EQ(d.NumNameExtensions, 0u);
    EXPECT_EQ(d.NameExtensionArray, nullptr);
#if defined(__i386__)
    EXPECT_EQ(sizeof(HW_INITIALIZATION_DATA), 60u);
#endif

    // Every member not named above is zero: rebuild the structure with the
    // named members only and compare all bytes, padding included.
    HW_INITIALIZATION_DATA expected;
    std::memset(&expected, 0, sizeof expected);
    expected.HwInitializationDataSize = sizeof(HW_INITIALIZATION_DATA);
    expected.HwReceivePacket = ReceiveAdapterRequest;
    expected.HwCancelPacket = CancelRequest;
    expected.HwRequestTimeoutHandler = RequestTimedOut;
    expected.DeviceExtensionSize = sizeof(ADAPTER_EXTENSION);
    expected.PerRequestExtensionSize = sizeof(SRB_EXTENSION);
    expected.PerStreamExtensionSize = sizeof(STREAM_EXTENSION);
    expected.BufferAlignment = 3;
    expected.TurnOffSynchronization = TRUE;
    EXPECT_EQ(std::memcmp(&d, &expected, sizeof d), 0);
}

TEST(CaptureRegistration, DebugLevelOfTheBuild)
{
    cptest::Registrations() = cptest::RegistrationLog{};
    DebugLevel = 0;
    DRIVER_OBJECT driver;
    std::memset(&driver, 0, sizeof driver);
    UNICODE_STRING path{};
    DriverEntry(&driver, &path);
#if NORVANE_WIN2000
    EXPECT_EQ(DebugLevel, 2u);
#else
    EXPECT_EQ(DebugLevel, 1u);
#endif
}

}  // namespace
