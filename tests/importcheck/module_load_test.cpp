// Loads the driver built by norvane_add_driver the way the I/O manager does
// (dlopen with local symbols, entry found by dlsym) and runs its entry, in
// every build flavour: this is what shows that the -nostdlib link, libgcc
// and the sanitizer runtime wiring produce a module that really works.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include "icheck.h"

namespace {

using DriverEntryFn = long (*)(IcRequest*, long);

class DriverModule : public ::testing::Test {
protected:
    void SetUp() override
    {
        module_ = dlopen(ICHECK_GOOD_MODULE, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(module_, nullptr) << dlerror();
        entry_ = reinterpret_cast<DriverEntryFn>(dlsym(module_, "DriverEntry"));
        ASSERT_NE(entry_, nullptr) << "DriverEntry is not exported";
    }

    void TearDown() override
    {
        if (module_ != nullptr) {
            EXPECT_EQ(dlclose(module_), 0) << dlerror();
        }
    }

    void* module_ = nullptr;
    DriverEntryFn entry_ = nullptr;
};

TEST_F(DriverModule, ExportsNothingButItsEntry)
{
    EXPECT_EQ(dlsym(module_, "IcDriverClamp"), nullptr);
}

TEST_F(DriverModule, EntryUsesImageAndCompilerHelpers)
{
    IcRequest request{};
    request.dividend = 0x123456789ABCDEF0ull;
    request.divisor = 0x10001ull;
    for (unsigned i = 0; i < sizeof(request.source); ++i)
        request.source[i] = static_cast<unsigned char>(i + 1);
    request.length = 10;
    request.value = 7;

    ASSERT_EQ(entry_(&request, 0), 0);

    EXPECT_EQ(request.quotient, 0x123456789ABCDEF0ull / 0x10001ull);
    EXPECT_EQ(request.remainder, 0x123456789ABCDEF0ull % 0x10001ull);
    EXPECT_EQ(request.scaled, 22);
    for (unsigned i = 0; i < sizeof(request.target); ++i) {
        const unsigned expected = i < request.length ? i + 1 : 0xA5;
        EXPECT_EQ(request.target[i], expected) << "at byte " << i;
    }
}

TEST_F(DriverModule, EntryClampsAnOverlongCopy)
{
    IcRequest request{};
    request.divisor = 1;
    request.length = sizeof(request.source) + 100;
    request.source[sizeof(request.source) - 1] = 0x5A;

    ASSERT_EQ(entry_(&request, 0), 0);
    EXPECT_EQ(request.target[sizeof(request.target) - 1], 0x5A);
}

TEST_F(DriverModule, EntryRejectsBadArguments)
{
    IcRequest request{};
    EXPECT_EQ(entry_(&request, 0), -1) << "zero divisor";
    request.divisor = 1;
    EXPECT_EQ(entry_(nullptr, 0), -1);
    EXPECT_EQ(entry_(&request, 1), -1);
}

} // namespace
