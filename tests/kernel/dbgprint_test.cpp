// DbgPrint: the platform's format conversions, as the debug log shows them.

#include "test_support.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

namespace {

struct FormatCase {
    const char *name;
    std::function<void()> print;
    std::string expected;
};

// Counted strings whose buffers go on past Length, to show the count is
// honoured rather than a terminator.
WCHAR g_wideBuffer[] = u"device0-and-more";
CHAR g_narrowBuffer[] = "pipe3-and-more";
const UNICODE_STRING g_unicode = {7 * sizeof(WCHAR), sizeof g_wideBuffer, g_wideBuffer};
const ANSI_STRING g_ansi = {5, sizeof g_narrowBuffer, g_narrowBuffer};

const FormatCase kFormats[] = {
    {"Plain", [] { DbgPrint("norvane: started\n"); }, "norvane: started\n"},
    {"Percent", [] { DbgPrint("100%%"); }, "100%"},
    {"Hex", [] { DbgPrint("%x", 0xBEEFu); }, "beef"},
    {"HexUpperPadded", [] { DbgPrint("%08X", 0xBEEFu); }, "0000BEEF"},
    {"HexOfNegativeLong", [] { DbgPrint("%lx", LONG(-1)); }, "ffffffff"},
    {"Signed", [] { DbgPrint("%d %i", -42, 7); }, "-42 7"},
    {"Unsigned", [] { DbgPrint("%u", 4000000000u); }, "4000000000"},
    {"Width", [] { DbgPrint("[%4d][%-4d]", 5, 6); }, "[   5][6   ]"},
    {"Char", [] { DbgPrint("%c%c", 'o', 'k'); }, "ok"},
    {"String", [] { DbgPrint("<%s>", "abc"); }, "<abc>"},
    {"WideStringWs", [] { DbgPrint("<%ws>", u"wide"); }, "<wide>"},
    {"WideStringS", [] { DbgPrint("<%S>", u"Wide"); }, "<Wide>"},
    {"UnicodeString", [] { DbgPrint("<%wZ>", &g_unicode); }, "<device0>"},
    {"AnsiString", [] { DbgPrint("<%Z>", &g_ansi); }, "<pipe3>"},
    {"Int64Hex", [] { DbgPrint("%I64x", ULONGLONG(0x123456789ABCDEF0ull)); }, "123456789abcdef0"},
    {"Int64Signed", [] { DbgPrint("%I64d", LONGLONG(-5000000000ll)); }, "-5000000000"},
    // The argument after a 64-bit one is still found where it should be.
    {"AfterInt64", [] { DbgPrint("%I64x %x", ULONGLONG(1), 0xABu); }, "1 ab"},
    {"Status", [] { DbgPrint("status 0x%08X", unsigned(STATUS_INVALID_DEVICE_REQUEST)); }, "status 0xC0000010"},
};

class DbgPrintFormat : public testing::TestWithParam<FormatCase> {};

TEST_P(DbgPrintFormat, WritesTheConvertedTextToTheLog)
{
    sim::debug::ClearLog();
    GetParam().print();
    EXPECT_EQ(sim::debug::Log(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Conversions, DbgPrintFormat, testing::ValuesIn(kFormats),
                         [](const testing::TestParamInfo<FormatCase> &info) { return info.param.name; });

// %p prints the pointer's value in hexadecimal; its width and case are the
// debugger's business, the value is not.
TEST(DbgPrint, PointerPrintsTheAddressInHex)
{
    int object = 0;
    sim::debug::ClearLog();
    DbgPrint("%p", static_cast<void *>(&object));
    const std::string text = sim::debug::Log();
    ASSERT_FALSE(text.empty());
    char *end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 16);
    EXPECT_EQ(*end, '\0') << text;
    EXPECT_EQ(value, static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&object))) << text;
}

TEST(DbgPrint, LogKeepsEveryCallInOrderUntilCleared)
{
    sim::debug::ClearLog();
    EXPECT_EQ(DbgPrint("one "), ULONG(STATUS_SUCCESS));
    DbgPrint("%s ", "two");
    DbgPrint("%d", 3);
    EXPECT_EQ(sim::debug::Log(), "one two 3");
    sim::debug::ClearLog();
    EXPECT_EQ(sim::debug::Log(), "");
}

}  // namespace
