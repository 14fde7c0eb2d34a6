// The stealth watch's tables: half-open records (retransmissions, accepts,
// expiry, the accept-failed path, a full table) and sweep counting (the
// thresholds, the sliding window, one update per period, floods of forged
// sources and the wrap of the millisecond clock).
#include <stdint.h>

#include <map>
#include <memory>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "addresses.h"
#include "pure/synwatch.h"

namespace {

const uint32_t kBeforeWrap = 0xffffffffu - 999; // the clock wraps 1000 ms later

// Callers are small numbers: n stands for the IPv4 address n, and kV6 | n
// for the IPv6 address 2001:db8::n, whose low bytes are the same.
const uint32_t kV6 = 0x80000000u;

NetAddress A(uint32_t n)
{
    if ((n & kV6) == 0)
        return NetAddressFromV4Host(n);
    return V6({0x2001, 0xdb8, 0, 0, 0, 0, n >> 16 & 0x7fff, n & 0xffff});
}

uint32_t Number(const NetAddress& a)
{
    if (a.family == kFamilyV4)
        return NetAddressV4Host(a);
    return kV6 | (uint32_t)a.bytes[12] << 24 | (uint32_t)a.bytes[13] << 16 |
           (uint32_t)a.bytes[14] << 8 | a.bytes[15];
}

// 'N' note an attempt, 'A' accept, 'E' take expired, 'P' take by local port
// (the listener's family is the caller's), 'C' take everything as at close.
// result: for 'N' and 'A' 1 or 0, what they return; for 'E', 'P' and 'C'
// the caller port of the record taken out, 0 for none. local is the local
// address's number, kUnknown for none.
const uint32_t kUnknown = 0xffffffffu;
struct SynStep {
    char op;
    uint32_t caller;
    uint16_t callerPort, localPort;
    uint32_t ms;
    int32_t result;
    uint32_t local = 7;
};

TEST(SynPendingTable, Scenarios)
{
    // clang-format off
    const std::pair<const char*, std::vector<SynStep>> scenarios[] = {
        {"retransmission within the window holds the record a little",
         {{'N', 1, 1000, 80, 0, 1}, {'N', 1, 1000, 80, 2999, 0}, {'E', 0, 0, 0, 3000, 0},
          {'E', 0, 0, 0, 3999, 1000}, {'E', 0, 0, 0, 9000, 0}}},
        {"retransmissions at 3 s and later refresh the one record",
         {{'N', 1, 1000, 80, 0, 1}, {'N', 1, 1000, 80, 3000, 0}, {'E', 0, 0, 0, 3000, 0},
          {'N', 1, 1000, 80, 6000, 0}, {'E', 0, 0, 0, 6999, 0}, {'E', 0, 0, 0, 7000, 1000},
          {'E', 0, 0, 0, 9000, 0}}},
        {"a slow handshake: a retransmission at 3 s, then the accept",
         {{'N', 1, 1000, 80, 0, 1}, {'N', 1, 1000, 80, 3000, 0}, {'E', 0, 0, 0, 3500, 0},
          {'A', 1, 1000, 80, 3600, 1}, {'E', 0, 0, 0, 9000, 0}}},
        {"a caller repeating for ever is named four windows after its first SYN",
         {{'N', 1, 1000, 80, 0, 1}, {'N', 1, 1000, 80, 11500, 0}, {'E', 0, 0, 0, 11999, 0},
          {'E', 0, 0, 0, 12000, 1000}}},
        {"another caller, caller port, local address or local port is another attempt",
         {{'N', 1, 1000, 80, 0, 1}, {'N', 2, 1000, 80, 0, 1}, {'N', 1, 1001, 80, 0, 1},
          {'N', 1, 1000, 81, 0, 1}, {'N', 1, 1000, 80, 0, 1, 8}}},
        {"a local address the packet did not tell is the same attempt",
         {{'N', 1, 1000, 80, 0, 1, 0}, {'N', 1, 1000, 80, 10, 0}, {'A', 1, 1000, 80, 20, 1, 8}}},
        {"accept ends the record of its own connection only",
         {{'N', 1, 1000, 80, 0, 1}, {'A', 2, 1000, 80, 0, 0}, {'A', 1, 1001, 80, 0, 0},
          {'A', 1, 1000, 81, 0, 0}, {'A', 1, 1000, 80, 0, 0, 8}, {'A', 1, 1000, 80, 10, 1},
          {'A', 1, 1000, 80, 10, 0}, {'E', 0, 0, 0, 5000, 0}}},
        {"one source port: a SYN to one port, then an accept on another",
         {{'N', 1, 1000, 80, 0, 1}, {'N', 1, 1000, 81, 5, 1}, {'A', 1, 1000, 81, 10, 1},
          {'E', 0, 0, 0, 3000, 1000}, {'E', 0, 0, 0, 9000, 0}}},
        {"an accept whose local address is unknown ends its caller's record",
         {{'N', 1, 1000, 80, 0, 1}, {'A', 1, 1000, 80, 10, 1, kUnknown}}},
        {"a copy from a second socket, read after the accept, starts nothing",
         {{'N', 1, 1000, 80, 0, 1}, {'A', 1, 1000, 80, 10, 1}, {'N', 1, 1000, 80, 20, 0},
          {'N', 1, 1000, 80, 4000, 0}, {'E', 0, 0, 0, 9000, 0}}},
        {"an accept that overtook its SYN: the SYN starts nothing",
         {{'A', 1, 1000, 80, 0, 0}, {'N', 1, 1000, 80, 100, 0}, {'N', 1, 1001, 80, 100, 1},
          {'N', 2, 1000, 80, 100, 1}, {'N', 1, 1000, 81, 100, 1}, {'N', 1, 1000, 80, 3100, 0},
          {'N', 1, 1000, 80, kSynAcceptedMs, 1}}},
        {"closing takes every record, whatever its age",
         {{'N', 1, 1000, 80, 0, 1}, {'N', 1, 1001, 80, 900, 1}, {'N', 1, 1000, 80, 1000, 0},
          {'C', 0, 0, 0, 1000, 1000}, {'C', 0, 0, 0, 1000, 1001}, {'C', 0, 0, 0, 1000, 0}}},
        {"expired records one at a time, oldest first, younger ones wait",
         {{'N', 1, 1000, 80, 0, 1}, {'N', 1, 1001, 80, 500, 1}, {'N', 1, 1002, 80, 4000, 1},
          {'E', 0, 0, 0, 3500, 1000}, {'E', 0, 0, 0, 3500, 1001}, {'E', 0, 0, 0, 3500, 0}}},
        {"failed accept takes the oldest record of its port",
         {{'N', 1, 1000, 80, 0, 1}, {'N', 2, 2000, 81, 10, 1}, {'N', 3, 3000, 81, 20, 1},
          {'P', 0, 0, 81, 30, 2000}, {'P', 0, 0, 81, 30, 3000}, {'P', 0, 0, 81, 30, 0},
          {'P', 0, 0, 80, 30, 1000}}},
        {"IPv4 and IPv6 callers with the same low bytes are different callers",
         {{'N', 1, 1000, 80, 0, 1}, {'N', kV6 | 1, 1000, 80, 0, 1}, {'A', kV6 | 1, 1000, 80, 5, 1},
          {'E', 0, 0, 0, 3000, 1000}, {'E', 0, 0, 0, 3000, 0}}},
        {"a failed accept takes a record of its own family only",
         {{'N', 1, 1000, 80, 0, 1}, {'N', kV6 | 2, 2000, 80, 10, 1},
          {'P', kV6, 0, 80, 30, 2000}, {'P', kV6, 0, 80, 30, 0}, {'P', 0, 0, 80, 30, 1000}}},
        {"the clock wraps",
         {{'N', 1, 1000, 80, kBeforeWrap, 1}, {'N', 1, 1000, 80, 500, 0},
          {'E', 0, 0, 0, 1999, 0}, {'E', 0, 0, 0, 2000, 1000}}},
    };
    // clang-format on
    for (const auto& s : scenarios) {
        SCOPED_TRACE(s.first);
        SynPendingTable table = {};
        for (size_t i = 0; i < s.second.size(); ++i) {
            const SynStep& t = s.second[i];
            SCOPED_TRACE("step " + std::to_string(i));
            SynRecord taken = {};
            const NetAddress local = t.local == kUnknown ? NetAddress() : A(t.local);
            bool result =
                t.op == 'N'
                    ? SynNoteAttempt(&table, A(t.caller), t.callerPort, local, t.localPort, t.ms)
                : t.op == 'A'
                    ? SynMatchAccept(&table, A(t.caller), t.callerPort, local, t.localPort, t.ms)
                : t.op == 'E' ? SynTakeExpired(&table, t.ms, &taken)
                : t.op == 'C' ? SynTakeExpired(&table, t.ms, &taken, 0)
                              : SynTakeByLocalPort(&table, t.localPort, A(t.caller).family, &taken);
            int32_t got = t.op == 'N' || t.op == 'A' ? result : result ? taken.callerPort : 0;
            EXPECT_EQ(got, t.result);
        }
    }
}

// A burst of accepts whose SYNs the watch reads late: each late SYN is still
// known for its accept, however many others came in between.
TEST(SynPendingTable, AcceptsAheadOfTheirSynsAreRememberedThroughABurst)
{
    auto table = std::make_unique<SynPendingTable>();
    const uint16_t burst = 900;
    for (uint16_t i = 0; i < burst; ++i)
        EXPECT_FALSE(SynMatchAccept(table.get(), A(2), i, A(7), 80, i));
    for (uint16_t i = 0; i < burst; ++i)
        EXPECT_FALSE(SynNoteAttempt(table.get(), A(2), i, A(7), 80, 1000)) << "late SYN " << i;
    EXPECT_EQ(table->count, 0u);
    EXPECT_TRUE(SynNoteAttempt(table.get(), A(2), burst, A(7), 80, 1000))
        << "a caller never accepted";
}

TEST(SynPendingTable, FullTableDropsTheOldest)
{
    SynPendingTable table = {};
    for (uint16_t i = 0; i < 300; ++i)
        EXPECT_TRUE(SynNoteAttempt(&table, A(1), i, A(7), 80, i));
    EXPECT_EQ(table.count, kSynPendingCap);
    EXPECT_EQ(table.dropped, 300u - kSynPendingCap);
    SynRecord r;
    ASSERT_TRUE(SynTakeExpired(&table, 10000, &r));
    EXPECT_EQ(r.callerPort, 300 - kSynPendingCap);
    EXPECT_EQ(Number(r.localAddress), 7u);
}

// Each step: drops noted, then a tick at ms, and the count the tick hands
// out for a line (0: no line).
struct NoticeStep {
    uint32_t drops;
    uint32_t ms;
    uint32_t notice;
};

TEST(SynPendingTable, DroppedNoticeAtMostOncePerInterval)
{
    const uint32_t kMin = kSynDroppedNoticeMs;
    // clang-format off
    const std::pair<const char*, std::vector<NoticeStep>> scenarios[] = {
        {"nothing dropped, nothing told",
         {{0, 0, 0}, {0, 500, 0}, {0, kMin * 3, 0}}},
        {"the first drops at once, then held for the interval",
         {{40, 1000, 40}, {5, 1500, 0}, {7, kMin + 999, 0}, {0, kMin + 1000, 12},
          {0, kMin + 1500, 0}}},
        {"after a quiet interval the next drops are told at once",
         {{3, 0, 3}, {0, kMin, 0}, {0, kMin * 5, 0}, {2, kMin * 5 + 500, 2}}},
        {"the tick count wraps within the interval",
         {{9, kBeforeWrap, 9}, {4, 500, 0}, {0, kMin - 1001, 0}, {0, kMin - 1000, 4}}},
        {"a last notice long ago, ticks all along",
         {{1, 0, 1}, {0, kMin, 0}, {0, 0x90000000u, 0}, {0, 0xfffffff0u, 0}, {6, 100, 6}}},
    };
    // clang-format on
    for (const auto& s : scenarios) {
        SCOPED_TRACE(s.first);
        SynPendingTable table = {};
        for (size_t i = 0; i < s.second.size(); ++i) {
            SCOPED_TRACE("step " + std::to_string(i));
            table.dropped += s.second[i].drops;
            EXPECT_EQ(SynTakeDroppedNotice(&table, s.second[i].ms), s.second[i].notice);
        }
    }
}

TEST(SynPendingTable, DroppedNoticeCountsTheFullTable)
{
    SynPendingTable table = {};
    for (uint16_t i = 0; i < kSynPendingCap + 40; ++i)
        SynNoteAttempt(&table, A(1), i, A(7), 80, 0);
    char line[80];
    BuildDroppedLine(SynTakeDroppedNotice(&table, 0), line);
    EXPECT_STREQ(line, "Stealth watch: 40 half-open callers not tracked (table full)");
    EXPECT_EQ(table.dropped, 0u);
    BuildDroppedLine(1, line);
    EXPECT_STREQ(line, "Stealth watch: 1 half-open caller not tracked (table full)");
    char short_[20];
    BuildDroppedLine(123456, short_);
    EXPECT_STREQ(short_, "Stealth watch: 1234");
}

// perSecond new records a second from `sources` callers (192.0.2.0 on),
// from startMs for seconds, each with a caller port of its own, to port.
void Flood(SynPendingTable* table, uint32_t perSecond, uint32_t sources, uint32_t startMs,
           uint32_t seconds, uint16_t port = 80)
{
    for (uint32_t i = 0; i < perSecond * seconds; ++i)
        SynNoteAttempt(table, NetAddressFromV4Host(0xc0000200u + i % sources),
                       (uint16_t)(i / sources), A(7), port,
                       startMs + (uint32_t)((uint64_t)i * 1000 / perSecond));
}

TEST(SynPendingTable, FloodIsToldOnceAMinuteWithItsRateAndSources)
{
    auto table = std::make_unique<SynPendingTable>();
    table->flood.seed = 0x5eed;
    SynFloodNotice n = {};
    Flood(table.get(), kSynPendingCap / 3, 3, 0, 3, 81); // a table's worth in a window: no flood
    EXPECT_FALSE(SynTakeFloodNotice(table.get(), 9000, &n));
    Flood(table.get(), 2000, 10000, 10000, 6);
    ASSERT_TRUE(SynTakeFloodNotice(table.get(), 16000, &n));
    EXPECT_EQ(n.perSecond, 2000u);
    EXPECT_NEAR(n.sources, 10000.0, 300.0) << "linear counting is within 3 % here";
    char line[256];
    BuildFloodLine(n, line);
    EXPECT_EQ(std::string(line).find("Stealth watch: SYN flood, 2,000 a second from "), 0u) << line;
    EXPECT_NE(std::string(line).find(" sources (e.g. 192.0.2.0, 192.0.2.1, 192.0.2.2, ...)"),
              std::string::npos)
        << line;
    Flood(table.get(), 500, 2, 16000, 30, 82);
    EXPECT_FALSE(SynTakeFloodNotice(table.get(), 46000, &n)) << "within the minute";
    Flood(table.get(), 500, 2, 46000, 30, 83);
    ASSERT_TRUE(SynTakeFloodNotice(table.get(), 76000, &n));
    EXPECT_EQ(n.sources, 2u);
    BuildFloodLine(n, line);
    EXPECT_STREQ(line, "Stealth watch: SYN flood, 500 a second from 2 sources (e.g. 192.0.2.0, "
                       "192.0.2.1)");
    SynFloodNotice big = {1234567, 1, {A(5)}, 1};
    BuildFloodLine(big, line);
    EXPECT_STREQ(line, "Stealth watch: SYN flood, 1,234,567 a second from 1 source (e.g. 0.0.0.5)");
}

// port -1: a SweepTakeDue at ms instead of a SYN. An event's count is exact
// as long as it is within kSweepPortCap.
struct SweepStep {
    uint32_t caller;
    int32_t port;
    uint32_t ms;
    SweepEventKind kind;
    uint32_t count = 0;
    uint16_t low = 0, high = 0;
};
typedef std::vector<SweepStep> Steps;

// SYNs from caller 1 to n ports first, first + step, ..., one ms apart.
Steps Syns(int32_t first, int32_t step, int n, uint32_t ms)
{
    Steps steps;
    for (int i = 0; i < n; ++i)
        steps.push_back({1, first + i * step, ms + i, kSweepNone});
    return steps;
}

Steps operator+(Steps a, const Steps& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(SweepTable, Scenarios)
{
    const Steps sweep = Syns(1, 1, 4, 0) + Steps{{1, 5, 4, kSweepStarted, 5, 1, 5}};
    // clang-format off
    const std::pair<const char*, Steps> scenarios[] = {
        {"four ports nothing, the fifth a sweep",
         Syns(10, 10, 4, 0) + Steps{{1, 50, 4, kSweepStarted, 5, 10, 50}}},
        {"repeats of a port do not count, nor other callers' ports",
         Syns(10, 0, 5, 0) + Syns(20, 10, 3, 10) + Steps{{2, 60, 20, kSweepNone},
                                                         {1, 5, 30, kSweepStarted, 5, 5, 40}}},
        {"the window slides",
         Syns(10, 10, 4, 0) + Steps{{1, 50, 10000, kSweepNone},
                                    {1, 60, 10000, kSweepStarted, 5, 20, 60}}},
        {"a repeated port stays in the window",
         Syns(10, 10, 4, 5000) + Syns(10, 0, 1, 9000) +
             Steps{{1, 99, 15000, kSweepStarted, 5, 10, 99}}},
        {"one update when the period ends",
         sweep + Syns(6, 1, 45, 5) + Syns(6, 1, 10, 200) +
             Steps{{1, -1, 60003, kSweepNone}, {1, -1, 60004, kSweepUpdate, 50, 1, 50},
                   {1, -1, 60004, kSweepNone}} +
             Syns(1, 1, 4, 60005) + Steps{{1, 5, 60010, kSweepStarted, 5, 1, 5}}},
        {"no update without new ports",
         sweep + Syns(1, 1, 5, 100) + Steps{{1, -1, 70000, kSweepNone}}},
        {"the next SYN hands out an update not yet taken, then a new sweep",
         sweep + Steps{{1, 900, 100, kSweepNone}, {1, 7, 60004, kSweepUpdate, 6, 1, 900}} +
             Syns(8, 1, 3, 60005) + Steps{{1, 11, 60008, kSweepStarted, 5, 7, 11}}},
        {"ports beyond the cap are only counted, repeats too",
         sweep + Syns(6, 1, 95, 5) + Syns(100, 0, 1, 200) +
             Steps{{1, -1, 60004, kSweepUpdate, 101, 1, 100}}},
        {"an IPv6 caller's ports are its own",
         Syns(10, 10, 4, 0) + Steps{{kV6 | 1, 50, 4, kSweepNone}, {1, 60, 5, kSweepStarted, 5, 10, 60}}},
        {"the clock wraps inside the window",
         Syns(10, 10, 4, kBeforeWrap) +
             Steps{{1, 50, 8000, kSweepStarted, 5, 10, 50}, {1, 60, 9000, kSweepNone},
                   {1, -1, 67999, kSweepNone}, {1, -1, 68000, kSweepUpdate, 6, 10, 60}}},
    };
    // clang-format on
    for (const auto& s : scenarios) {
        SCOPED_TRACE(s.first);
        std::unique_ptr<SweepTable> table(new SweepTable());
        for (size_t i = 0; i < s.second.size(); ++i) {
            const SweepStep& t = s.second[i];
            SCOPED_TRACE("step " + std::to_string(i));
            SweepEvent e = {};
            SweepEventKind kind = kSweepNone;
            if (t.port >= 0)
                kind = SweepNote(table.get(), A(t.caller), (uint16_t)t.port, t.ms, &e);
            else if (SweepTakeDue(table.get(), t.ms, &e))
                kind = e.kind;
            ASSERT_EQ(kind, t.kind);
            if (kind == kSweepNone)
                continue;
            EXPECT_EQ(Number(e.callerAddress), t.caller);
            EXPECT_EQ(e.portCount, t.count);
            EXPECT_EQ(e.lowPort, t.low);
            EXPECT_EQ(e.highPort, t.high);
            EXPECT_EQ(e.countExact, t.count <= kSweepPortCap);
        }
    }
}

TEST(SweepTable, ForgedFloodKeepsTheNewestAndTheSweeper)
{
    std::unique_ptr<SweepTable> table(new SweepTable());
    SweepEvent e;
    for (uint16_t port = 1; port <= 5; ++port)
        SweepNote(table.get(), A(0xfeed), port, 0, &e);
    ASSERT_EQ(e.kind, kSweepStarted);
    for (uint32_t source = 1; source <= 1000; ++source)
        EXPECT_EQ(SweepNote(table.get(), A(source), 80, 1, &e), kSweepNone);
    EXPECT_EQ(table->count, kSweepCallerCap);
    // The sweeper is still in its period: a new port is not a new sweep.
    EXPECT_EQ(SweepNote(table.get(), A(0xfeed), 6, 2, &e), kSweepNone);
    for (uint16_t port = 81; port <= 84; ++port)
        SweepNote(table.get(), A(1000), port, 3, &e);
    EXPECT_EQ(e.kind, kSweepStarted) << "the newest source was forgotten";
    for (uint16_t port = 81; port <= 84; ++port)
        SweepNote(table.get(), A(1), port, 3, &e);
    EXPECT_EQ(e.kind, kSweepNone) << "the oldest source was kept";
    ASSERT_TRUE(SweepTakeDue(table.get(), 60000, &e));
    EXPECT_EQ(Number(e.callerAddress), 0xfeedu);
    // A table of sweepers gives up the least recent, and its update with it.
    for (uint32_t source = 1; source <= kSweepCallerCap; ++source)
        for (uint16_t port = 1; port <= 6; ++port)
            SweepNote(table.get(), A(source), port, 70000, &e);
    EXPECT_EQ(SweepNote(table.get(), A(5000), 1, 70001, &e), kSweepUpdate);
    EXPECT_EQ(Number(e.callerAddress), 1u);
    EXPECT_EQ(table->count, kSweepCallerCap);
}

// However callers flood, each adds at most two lines in any 60 s that starts
// with one of its lines.
TEST(SweepTable, RandomFloodAddsAtMostTwoLinesPerPeriod)
{
    std::mt19937 random(7);
    std::unique_ptr<SweepTable> table(new SweepTable());
    std::map<uint32_t, std::vector<uint32_t>> lines;
    uint32_t ms = 0xffffffffu - 300000; // the run crosses the wrap
    SweepEvent e;
    for (int i = 0; i < 200000; ++i) {
        ms += random() % 20;
        if (SweepNote(table.get(), A(random() % 8), (uint16_t)(random() % 300), ms, &e) !=
            kSweepNone)
            lines[Number(e.callerAddress)].push_back(ms);
        while (i % 50 == 0 && SweepTakeDue(table.get(), ms, &e))
            lines[Number(e.callerAddress)].push_back(ms);
    }
    for (const auto& caller : lines) {
        SCOPED_TRACE(caller.first);
        const std::vector<uint32_t>& times = caller.second;
        EXPECT_GE(times.size(), 10u);
        for (size_t i = 2; i < times.size(); ++i)
            ASSERT_GE(times[i] - times[i - 2], kSweepPeriodMs) << "line " << i;
    }
}

} // namespace
