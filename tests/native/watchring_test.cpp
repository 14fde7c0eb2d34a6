// The watch's hand-over ring (order, the oldest pushed out and counted,
// wrapping round) and the once-a-minute count of what it lost.
#include <stdint.h>

#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "pure/countnotice.h"
#include "pure/watchring.h"

namespace {

WatchSyn Syn(uint16_t port)
{
    WatchSyn syn = {};
    syn.source = NetAddressFromV4Host(0x7F000001);
    syn.sourcePort = port;
    syn.destinationPort = 80;
    return syn;
}

std::vector<uint16_t> TakePorts(WatchRing* ring, size_t max)
{
    std::vector<WatchSyn> out(max + 1);
    size_t taken = WatchRingTake(ring, out.data(), max);
    std::vector<uint16_t> ports;
    for (size_t i = 0; i < taken; ++i)
        ports.push_back(out[i].sourcePort);
    return ports;
}

TEST(WatchRing, OldestFirstAndBoundedTakes)
{
    auto ring = std::make_unique<WatchRing>();
    for (uint16_t p = 1; p <= 5; ++p)
        WatchRingPush(ring.get(), Syn(p));
    EXPECT_EQ(TakePorts(ring.get(), 2), (std::vector<uint16_t>{1, 2}));
    WatchRingPush(ring.get(), Syn(6));
    EXPECT_EQ(TakePorts(ring.get(), 10), (std::vector<uint16_t>{3, 4, 5, 6}));
    EXPECT_TRUE(TakePorts(ring.get(), 10).empty());
    EXPECT_EQ(WatchRingTakeDropped(ring.get()), 0u);
}

TEST(WatchRing, AFullRingDropsItsOldestAndCountsThem)
{
    auto ring = std::make_unique<WatchRing>();
    // Three passes round the ring, taking some on the way, so that the
    // start moves and the writes wrap.
    WatchRingPush(ring.get(), Syn(0));
    TakePorts(ring.get(), 1);
    const size_t extra = 100;
    for (size_t i = 0; i < kWatchRingCap + extra; ++i)
        WatchRingPush(ring.get(), Syn((uint16_t)(i + 1)));
    EXPECT_EQ(ring->count, kWatchRingCap);
    EXPECT_EQ(WatchRingTakeDropped(ring.get()), extra);
    EXPECT_EQ(WatchRingTakeDropped(ring.get()), 0u);
    std::vector<uint16_t> ports = TakePorts(ring.get(), kWatchRingCap);
    ASSERT_EQ(ports.size(), kWatchRingCap);
    EXPECT_EQ(ports.front(), extra + 1);
    EXPECT_EQ(ports.back(), kWatchRingCap + extra);
    for (size_t i = 1; i < ports.size(); ++i)
        ASSERT_EQ(ports[i], ports[i - 1] + 1) << "at " << i;
}

TEST(CountNotice, OneLineAMinuteWithTheSumBetween)
{
    const uint32_t kMinute = 60000, kStart = 0xFFFFF000; // wraps 4 s in
    const struct {
        uint32_t add, ms, line;
    } steps[] = {
        {0, 0, 0},           {5, 10, 5},           {7, 20, 0},           {1, 59999, 0},
        {0, kMinute + 9, 0}, {0, kMinute + 10, 8}, {0, kMinute + 11, 0}, {2, 3 * kMinute, 2},
    };
    CountNotice notice = {};
    for (const auto& s : steps) {
        SCOPED_TRACE(s.ms);
        CountNoticeAdd(&notice, s.add);
        EXPECT_EQ(CountNoticeTake(&notice, kStart + s.ms, kMinute), s.line);
    }
    CountNoticeAdd(&notice, UINT32_MAX);
    CountNoticeAdd(&notice, 5);
    EXPECT_EQ(CountNoticeTake(&notice, kStart + 9 * kMinute, kMinute), UINT32_MAX);
}

TEST(CountNotice, TooBusyLine)
{
    char line[80];
    BuildTooBusyLine(1, line);
    EXPECT_STREQ(line, "Stealth watch: 1 packet not examined (too busy)");
    BuildTooBusyLine(4096, line);
    EXPECT_STREQ(line, "Stealth watch: 4096 packets not examined (too busy)");
}

} // namespace
