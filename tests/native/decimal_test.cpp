// Signed decimal text of 32-bit integers, written or appended.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "guarded.h"
#include "pure/decimal.h"

namespace {

struct DecimalCase {
    int32_t value;
    const char* expected;
};

TEST(FormatDecimal, WritesSignedDecimalText)
{
    const DecimalCase cases[] = {
        {0, "0"},
        {7, "7"},
        {-1, "-1"},
        {10, "10"},
        {-10, "-10"},
        {65535, "65535"},
        {100000, "100000"},
        {INT32_MAX, "2147483647"},
        {INT32_MIN, "-2147483648"},
        {INT32_MIN + 1, "-2147483647"},
    };
    for (const DecimalCase& c : cases) {
        SCOPED_TRACE(c.expected);
        char out[kDecimalSize]; // exactly the 12 bytes promised to be enough
        FormatDecimal(c.value, out);
        EXPECT_STREQ(out, c.expected);
    }
}

TEST(FormatDecimal, MatchesStandardTextAroundEveryPowerOfTen)
{
    std::vector<int64_t> values = {INT32_MIN, INT32_MAX};
    for (int64_t p = 1; p <= INT32_MAX; p *= 10)
        for (int64_t v : {p - 1, p, p + 1})
            for (int64_t s : {v, -v})
                if (s >= INT32_MIN && s <= INT32_MAX)
                    values.push_back(s);
    for (int64_t v : values) {
        SCOPED_TRACE(v);
        char out[kDecimalSize];
        FormatDecimal((int32_t)v, out);
        EXPECT_EQ(std::string(out), std::to_string(v));
    }
}

TEST(FormatDecimal, OverwritesOnlyTheTextAndItsTerminator)
{
    char out[32];
    memset(out, kGuardByte, sizeof out);
    memcpy(out, "99999999", 8);
    FormatDecimal(-42, out);
    EXPECT_STREQ(out, "-42");
    EXPECT_EQ(out[4], '9');
    EXPECT_EQ(out[8], kGuardByte);
}

struct AppendCase {
    const char* start;
    int32_t value;
    const char* expected;
};

TEST(AppendDecimal, AppendsToTheText)
{
    const AppendCase cases[] = {
        {"Port", 3, "Port3"}, {"Listening on ", 12, "Listening on 12"}, {" GMT", -5, " GMT-5"},
        {"", 0, "0"},         {"x", INT32_MIN, "x-2147483648"},
    };
    for (const AppendCase& c : cases) {
        SCOPED_TRACE(c.expected);
        char out[32];
        TextCopy(out, c.start);
        size_t n = AppendDecimal(c.value, out);
        EXPECT_STREQ(out, c.expected);
        EXPECT_EQ(n, strlen(c.expected));
    }
}

TEST(AppendDecimal, CutShortWhenTheBufferIsFull)
{
    char out[8];
    TextCopy(out, "Port");
    AppendDecimal(123456, out);
    EXPECT_STREQ(out, "Port123");
}

TEST(AppendDecimal, EverySizeGetsATerminatedPrefix)
{
    ExpectBoundedPrefixes("Port-2147483648", [](char* out, size_t size) {
        TextCopyN(out, size, "Port");
        AppendDecimalN(INT32_MIN, out, size);
    });
}

} // namespace
