// Filters registered with StreamClassRegisterFilterWithNoKSPins: what the
// class records per physical device object for graph builders.

#include "sim_streamclass.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using nvtest::TestDevice;
using sim::streamclass::RegisteredFilterOf;
using sim::streamclass::RegisteredFilters;

const GUID kCapture = {0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
const GUID kTuner = {0xA799A800, 0xA46D, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0x24, 0x01, 0xDC, 0xD4}};
const GUID kStandardMediums = {0x4747B320, 0x62CE, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
const GUID kPinCategory = {0xFB6C4281, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};

KSPIN_MEDIUM Medium(const GUID &set, ULONG id)
{
    KSPIN_MEDIUM m{};
    m.Set = set;
    m.Id = id;
    m.Flags = 0;
    return m;
}

TEST(FilterRegistration, IsRecordedWithItsPinsAndMediumsAndReplaced)
{
    TestDevice pdo;
    BOOL output[] = {TRUE};
    KSPIN_MEDIUM mediums[] = {Medium(GUID{}, 7)};
    ASSERT_EQ(StreamClassRegisterFilterWithNoKSPins(pdo.get(), &kCapture, 1, output, mediums, NULL), STATUS_SUCCESS);

    auto f = RegisteredFilterOf(pdo.get());
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->physicalDeviceObject, pdo.get());
    EXPECT_EQ(f->category, kCapture);
    ASSERT_EQ(f->pins.size(), 1u);
    EXPECT_TRUE(f->pins[0].output);
    EXPECT_EQ(f->pins[0].medium.Set, GUID{});
    EXPECT_EQ(f->pins[0].medium.Id, 7u);
    EXPECT_FALSE(f->pins[0].category.has_value());
    ASSERT_EQ(RegisteredFilters(kCapture).size(), 1u);

    // A second registration of the same device replaces the first.
    BOOL directions[] = {FALSE, TRUE};
    KSPIN_MEDIUM two[] = {Medium(kStandardMediums, 1), Medium(kStandardMediums, 2)};
    GUID categories[] = {kPinCategory, kCapture};
    ASSERT_EQ(StreamClassRegisterFilterWithNoKSPins(pdo.get(), &kTuner, 2, directions, two, categories),
              STATUS_SUCCESS);
    EXPECT_TRUE(RegisteredFilters(kCapture).empty());
    const auto tuners = RegisteredFilters(kTuner);
    ASSERT_EQ(tuners.size(), 1u);
    ASSERT_EQ(tuners[0].pins.size(), 2u);
    EXPECT_FALSE(tuners[0].pins[0].output);
    EXPECT_TRUE(tuners[0].pins[1].output);
    EXPECT_EQ(tuners[0].pins[0].medium.Set, kStandardMediums);
    EXPECT_EQ(tuners[0].pins[1].medium.Id, 2u);
    EXPECT_EQ(tuners[0].pins[0].category, kPinCategory);
    EXPECT_EQ(tuners[0].pins[1].category, kCapture);
}

TEST(FilterRegistration, IsKeptPerDeviceAndGoesWithIt)
{
    TestDevice kept;
    BOOL output[] = {TRUE};
    KSPIN_MEDIUM first[] = {Medium(GUID{}, 0)}, second[] = {Medium(GUID{}, 1)};
    ASSERT_EQ(StreamClassRegisterFilterWithNoKSPins(kept.get(), &kCapture, 1, output, first, NULL), STATUS_SUCCESS);
    PDEVICE_OBJECT gone;
    {
        TestDevice pdo;
        gone = pdo.get();
        ASSERT_EQ(StreamClassRegisterFilterWithNoKSPins(pdo.get(), &kCapture, 1, output, second, NULL),
                  STATUS_SUCCESS);
        const auto both = RegisteredFilters(kCapture);
        ASSERT_EQ(both.size(), 2u);
        EXPECT_EQ(both[0].pins[0].medium.Id, 0u);
        EXPECT_EQ(both[1].pins[0].medium.Id, 1u);
    }
    EXPECT_FALSE(RegisteredFilterOf(gone).has_value());
    const auto left = RegisteredFilters(kCapture);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].physicalDeviceObject, kept.get());
}

TEST(FilterRegistration, BadArgumentsAreRefusedAndRecordNothing)
{
    TestDevice pdo;
    BOOL output[] = {TRUE};
    KSPIN_MEDIUM mediums[] = {Medium(GUID{}, 0)};
    const struct {
        const char *what;
        const GUID *category;
        ULONG pins;
        BOOL *directions;
        KSPIN_MEDIUM *mediums;
    } cases[] = {
        {"no directions for a pin", &kCapture, 1, NULL, mediums},
        {"no mediums for a pin", &kCapture, 1, output, NULL},
        {"no category", NULL, 1, output, mediums},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(StreamClassRegisterFilterWithNoKSPins(pdo.get(), c.category, c.pins, c.directions, c.mediums, NULL),
                  STATUS_INVALID_PARAMETER);
        EXPECT_FALSE(RegisteredFilterOf(pdo.get()).has_value());
    }
    // No pins need no arrays.
    ASSERT_EQ(StreamClassRegisterFilterWithNoKSPins(pdo.get(), &kCapture, 0, NULL, NULL, NULL), STATUS_SUCCESS);
    ASSERT_TRUE(RegisteredFilterOf(pdo.get()).has_value());
    EXPECT_TRUE(RegisteredFilterOf(pdo.get())->pins.empty());
}

TEST(FilterRegistration, VerifierStopsAFunctionalDeviceOrARaisedIrql)
{
    const struct {
        const char *rule;
        std::function<void()> fault;
    } cases[] = {
        {"INVALID_PDO",
         [] {
             TestDevice pdo, fdo;
             fdo.AttachTo(pdo.get());
             BOOL output[] = {TRUE};
             KSPIN_MEDIUM mediums[] = {Medium(GUID{}, 0)};
             StreamClassRegisterFilterWithNoKSPins(fdo.get(), &kCapture, 1, output, mediums, NULL);
         }},
        {"IRQL_TOO_HIGH",
         [] {
             TestDevice pdo;
             nvtest::RaisedIrql raised(DISPATCH_LEVEL);
             StreamClassRegisterFilterWithNoKSPins(pdo.get(), &kCapture, 0, NULL, NULL, NULL);
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.rule);
        EXPECT_DEATH(c.fault(), nvtest::VerifierFault(c.rule));
    }
}

}  // namespace
