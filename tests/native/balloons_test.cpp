// Balloon throttling per caller (one a minute, the count of the scans in
// between, tick-count wrap, the oldest caller out of a full table) and the
// balloon's text.
#include <stdint.h>

#include <gtest/gtest.h>

#include "guarded.h"
#include "pure/balloons.h"

namespace {

NetAddress V4(uint32_t hostOrder)
{
    return NetAddressFromV4Host(hostOrder);
}

const uint32_t kA = 0xCB007105;     // 203.0.113.5
const uint32_t kB = 0xC6336402;     // 198.51.100.2
const uint32_t kStart = 0xFFFFF000; // wraps past zero 4 s in

TEST(BalloonNoteScan, OnePerCallerAMinuteWithTheCountBetween)
{
    const struct {
        const char* name;
        uint32_t address, ms; // ms after kStart
        bool show;
        uint32_t suppressedBefore;
    } steps[] = {
        {"A first", kA, 0, true, 0},
        {"A again", kA, 1000, false, 0},
        {"B first", kB, 1500, true, 0},
        {"A, ticks wrapped", kA, 30000, false, 0},
        {"A, 1 ms short", kA, 59999, false, 0},
        {"A, a minute on", kA, 60000, true, 3},
        {"B, a minute on", kB, 61500, true, 0},
        {"A soon after", kA, 60001, false, 0},
        {"A, long after", kA, 500000, true, 1},
    };
    BalloonTable table = {};
    for (const auto& s : steps) {
        SCOPED_TRACE(s.name);
        const BalloonDecision d = BalloonNoteScan(table, V4(s.address), kStart + s.ms);
        EXPECT_EQ(d.show, s.show);
        EXPECT_EQ(d.suppressedBefore, s.suppressedBefore);
    }
}

TEST(BalloonNoteScan, FullTableForgetsTheOldestBalloon)
{
    BalloonTable table = {};
    for (uint32_t i = 0; i < kBalloonCallers; ++i)
        ASSERT_TRUE(BalloonNoteScan(table, V4(0x0A000000 + i), kStart + i).show);
    EXPECT_TRUE(BalloonNoteScan(table, V4(kA), kStart + 100).show);
    // The first caller's place went to A; the others are still throttled.
    EXPECT_FALSE(BalloonNoteScan(table, V4(0x0A000000 + kBalloonCallers - 1), kStart + 101).show);
    EXPECT_FALSE(BalloonNoteScan(table, V4(kA), kStart + 102).show);
    EXPECT_TRUE(BalloonNoteScan(table, V4(0x0A000000), kStart + 103).show);
}

TEST(BuildBalloonText, CallerPortAndTheScansBetween)
{
    const struct {
        uint32_t address;
        int32_t port;
        uint32_t more;
        const char* expected;
    } cases[] = {
        {kA, 31337, 0, "Scan from 203.0.113.5 on port 31337"},
        {kA, 80, 1, "Scan from 203.0.113.5 on port 80 and 1 more scan"},
        {0x0A000001, 0, 12, "Scan from 10.0.0.1 on port 0 and 12 more scans"},
        {0, 21, 10, "Scan from 0.0.0.0 on port 21 and 10 more scans"},
        {0xFFFFFFFF, 65535, 4294967295u,
         "Scan from 255.255.255.255 on port 65535 and 4294967295 more scans"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        char out[kBalloonTextSize] = "previous";
        BuildBalloonText(V4(c.address), c.port, c.more, out);
        EXPECT_STREQ(out, c.expected);
    }
    ExpectBoundedPrefixes(cases[4].expected, [](char* out, size_t size) {
        BuildBalloonTextN(V4(0xFFFFFFFF), 65535, 4294967295u, out, size);
    });
    // An IPv6 caller is named in its short form, and is a caller of its own.
    const uint8_t bytes[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5};
    char out[kBalloonTextSize];
    BuildBalloonText(NetAddressFromV6(bytes, 0), 31337, 0, out);
    EXPECT_STREQ(out, "Scan from 2001:db8::5 on port 31337");
    BalloonTable table = {};
    EXPECT_TRUE(BalloonNoteScan(table, NetAddressFromV6(bytes, 0), 0).show);
    EXPECT_TRUE(BalloonNoteScan(table, NetAddressFromV6(bytes, 12), 1).show) << "another zone";
    EXPECT_TRUE(BalloonNoteScan(table, V4(5), 2).show);
    EXPECT_FALSE(BalloonNoteScan(table, NetAddressFromV6(bytes, 0), 3).show);
}

} // namespace
