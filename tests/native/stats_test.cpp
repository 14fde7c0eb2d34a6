// The scan counts: buckets across hour, day, month and year ends and clock
// changes either way, the space-saving tables under many callers, the saved
// form's round trip and its refusals.
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pure/stats.h"

namespace {

struct At {
    int year, month, day, hour;
};

StatsStamp Stamp(const At& at)
{
    return StatsStampAt(at.year, at.month, at.day, at.hour);
}

std::unique_ptr<Stats> NewStats()
{
    std::unique_ptr<Stats> stats(new Stats());
    StatsClear(*stats);
    return stats;
}

StatsScan Scan(uint32_t caller, uint16_t port, bool trusted = false)
{
    StatsScan scan = {};
    scan.trusted = trusted;
    scan.caller = NetAddressFromV4Host(caller);
    scan.hasPort = true;
    scan.port = port;
    return scan;
}

// The buckets that hold scans, newest first: "h0=2" is this hour's two
// scans, "d1=1+1t" yesterday's one and one trusted.
template <size_t N> std::string Held(const StatsBucket (&series)[N], char unit)
{
    std::string text;
    for (size_t i = N; i-- > 0;) {
        if (series[i].scans == 0 && series[i].trusted == 0)
            continue;
        text += (text.empty() ? "" : " ") + std::string(1, unit) + std::to_string(N - 1 - i) + "=" +
                std::to_string(series[i].scans);
        if (series[i].trusted != 0)
            text += "+" + std::to_string(series[i].trusted) + "t";
    }
    return text;
}

TEST(StatsStamp, DatesAndWeekdaysRoundTrip)
{
    const struct {
        At at;
        int weekday;
    } rows[] = {
        {{1970, 1, 1, 0}, 3},   {{2000, 2, 29, 5}, 1},   {{2026, 12, 9, 23}, 2},
        {{2026, 12, 31, 0}, 3}, {{2027, 1, 1, 0}, 4},    {{2028, 2, 29, 12}, 1},
        {{2100, 3, 1, 0}, 0},   {{1969, 12, 31, 23}, 2}, {{30827, 12, 31, 23}, 4},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.at.year) + "-" + std::to_string(row.at.month) + "-" +
                     std::to_string(row.at.day));
        const StatsStamp s = Stamp(row.at);
        EXPECT_EQ(s.hour, s.day * 24 + row.at.hour);
        const StatsDate d = StatsDateOf(s.day);
        EXPECT_EQ(d.year, row.at.year);
        EXPECT_EQ(d.month, row.at.month);
        EXPECT_EQ(d.day, row.at.day);
        EXPECT_EQ(StatsWeekday(s.day), row.weekday);
    }
}

TEST(StatsCount, BucketsAcrossEndsAndClockChanges)
{
    const struct {
        const char* name;
        std::vector<std::pair<At, bool>> scans; // when, and trusted
        At now;
        const char *hours, *days;
        uint32_t today, week, all;
    } rows[] = {
        // clang-format off
        {"an hour's end", {{{2026, 12, 9, 10}, false}, {{2026, 12, 9, 11}, false}}, {2026, 12, 9, 11}, "h0=1 h1=1", "d0=2", 2, 2, 2},
        {"a day's end", {{{2026, 12, 8, 23}, false}, {{2026, 12, 9, 0}, true}}, {2026, 12, 9, 0}, "h0=0+1t h1=1", "d0=0+1t d1=1", 0, 1, 1},
        {"a month's end", {{{2026, 11, 30, 23}, false}, {{2026, 12, 1, 0}, false}}, {2026, 12, 1, 1}, "h1=1 h2=1", "d0=1 d1=1", 1, 2, 2},
        {"a leap day", {{{2028, 2, 28, 23}, false}, {{2028, 2, 29, 23}, false}}, {2028, 3, 1, 0}, "h1=1 h25=1", "d1=1 d2=1", 0, 2, 2},
        {"a year's end, Monday after", {{{2028, 12, 31, 12}, false}, {{2029, 1, 1, 1}, false}}, {2029, 1, 1, 2}, "h1=1 h14=1", "d0=1 d1=1", 1, 1, 2},
        // The hour the clock goes back repeats on the wall clock: one bucket.
        {"clock back an hour", {{{2026, 10, 25, 2}, false}, {{2026, 10, 25, 2}, false}}, {2026, 10, 25, 2}, "h0=2", "d0=2", 2, 2, 2},
        // Set back past counted hours: they cannot be shown in their place.
        {"clock set back 3 h", {{{2026, 12, 9, 15}, false}, {{2026, 12, 9, 12}, false}}, {2026, 12, 9, 15}, "h3=1", "d0=2", 2, 2, 2},
        {"clock set back a day", {{{2026, 12, 9, 1}, false}, {{2026, 12, 8, 1}, false}}, {2026, 12, 9, 1}, "h24=1", "d1=1", 0, 1, 2},
        // The hour skipped forward stays empty; a jump of days ages hours out.
        {"clock forward an hour", {{{2026, 3, 29, 1}, false}, {{2026, 3, 29, 3}, false}}, {2026, 3, 29, 3}, "h0=1 h2=1", "d0=2", 2, 2, 2},
        {"clock forward 3 days", {{{2026, 12, 6, 10}, false}, {{2026, 12, 9, 10}, false}}, {2026, 12, 9, 10}, "h0=1", "d0=1 d3=1", 1, 1, 2},
        {"47 hours on", {{{2026, 12, 7, 11}, false}}, {2026, 12, 9, 10}, "h47=1", "d2=1", 0, 1, 1},
        {"48 hours on", {{{2026, 12, 7, 10}, false}}, {2026, 12, 9, 10}, "", "d2=1", 0, 1, 1},
        {"29 days on", {{{2026, 11, 10, 9}, false}}, {2026, 12, 9, 9}, "", "d29=1", 0, 0, 1},
        {"30 days on", {{{2026, 11, 9, 9}, false}}, {2026, 12, 9, 9}, "", "", 0, 0, 1},
        {"48 h later the slot is reused", {{{2026, 12, 7, 10}, false}, {{2026, 12, 9, 10}, false}}, {2026, 12, 9, 10}, "h0=1", "d0=1 d2=1", 1, 2, 2},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::unique_ptr<Stats> stats = NewStats();
        for (const auto& scan : row.scans)
            StatsCount(*stats, Stamp(scan.first), Scan(0xCB007105, 31337, scan.second));
        const StatsStamp now = Stamp(row.now);
        StatsAge(*stats, now);
        StatsBucket hours[kStatsHours];
        StatsBucket days[kStatsDays];
        StatsHourSeries(*stats, now, hours);
        StatsDaySeries(*stats, now, days);
        EXPECT_EQ(Held(hours, 'h'), row.hours);
        EXPECT_EQ(Held(days, 'd'), row.days);
        EXPECT_EQ(hours[kStatsHours - 1].key, now.hour);
        EXPECT_EQ(days[0].key, now.day - (kStatsDays - 1));
        const StatsTotals totals = StatsTotalsAt(*stats, now);
        EXPECT_EQ(totals.today, row.today);
        EXPECT_EQ(totals.week, row.week);
        EXPECT_EQ(totals.all + totals.allTrusted, (uint32_t)row.scans.size());
        EXPECT_EQ(totals.all, row.all);
    }
}

// 10,000 callers that scan once and, once the tables are full, ten that
// scan in turn every 40th time, on ports of their own: the tables stay
// capped, and the ten heavy callers and ports are the top ten with counts
// no less than their true ones.
TEST(StatsCount, SpaceSavingKeepsTheHeavyCallersUnderManyOthers)
{
    std::unique_ptr<Stats> stats = NewStats();
    const StatsStamp now = StatsStampAt(2026, 12, 9, 12);
    uint32_t heavyTrue[10] = {};
    for (uint32_t i = 0; i < 10000; ++i) {
        StatsCount(*stats, now, Scan(0x0A000000 + i, (uint16_t)(1000 + i)));
        if (i >= 2000 && i % 40 == 0) {
            const uint32_t h = (i / 40) % 10;
            StatsCount(*stats, now, Scan(0xCB007100 + h, (uint16_t)(31337 + h)));
            ++heavyTrue[h];
        }
    }
    EXPECT_EQ(stats->callers.used, kStatsEntries);
    EXPECT_EQ(stats->ports.used, kStatsEntries);
    for (const StatsTable* table : {&stats->callers, &stats->ports}) {
        StatsEntry top[kStatsTop];
        ASSERT_EQ(StatsTop(*table, now, top), kStatsTop);
        bool seen[10] = {};
        for (int i = 0; i < kStatsTop; ++i) {
            const uint32_t h = table == &stats->callers
                                   ? NetAddressV4Host(top[i].caller) - 0xCB007100
                                   : (uint32_t)top[i].port - 31337;
            ASSERT_LT(h, 10u) << "entry " << i << " is not a heavy one";
            seen[h] = true;
            EXPECT_GE(top[i].count, heavyTrue[h]);
            EXPECT_LE(top[i].count - top[i].error, heavyTrue[h]);
            if (i > 0) {
                EXPECT_LE(top[i].count, top[i - 1].count);
            }
        }
        for (bool s : seen)
            EXPECT_TRUE(s);
    }
    EXPECT_EQ(StatsTotalsAt(*stats, now).all, 10200u);
}

TEST(StatsCount, QuietCallersAgeOutAndTrustedOnesAreNotListed)
{
    std::unique_ptr<Stats> stats = NewStats();
    StatsCount(*stats, StatsStampAt(2026, 11, 1, 0), Scan(0xCB007101, 21));
    StatsCount(*stats, StatsStampAt(2026, 11, 20, 0), Scan(0xCB007102, 23));
    StatsCount(*stats, StatsStampAt(2026, 11, 20, 0), Scan(0x0A000001, 25, true));
    const StatsStamp now = StatsStampAt(2026, 12, 1, 0);
    StatsEntry top[kStatsTop];
    ASSERT_EQ(StatsTop(stats->callers, now, top), 1);
    EXPECT_EQ(NetAddressV4Host(top[0].caller), 0xCB007102u);
    ASSERT_EQ(StatsTop(stats->ports, now, top), 1);
    EXPECT_EQ(top[0].port, 23);
    EXPECT_EQ(StatsTotalsAt(*stats, now).allTrusted, 1u);
}

std::vector<uint8_t> Saved(const Stats& stats)
{
    static uint8_t out[kStatsValueMax];
    return std::vector<uint8_t>(out, out + StatsWrite(stats, out));
}

// Counts of every sort: both families, trusted, a sweep, buckets in both rings.
std::unique_ptr<Stats> Varied()
{
    std::unique_ptr<Stats> stats = NewStats();
    StatsScan v6 = Scan(0, 80);
    const uint8_t bytes[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5};
    v6.caller = NetAddressFromV6(bytes, 7);
    StatsScan sweep = Scan(0xCB007105, 0);
    sweep.hasPort = false;
    StatsCount(*stats, StatsStampAt(2026, 12, 1, 3), Scan(0xCB007105, 31337));
    StatsCount(*stats, StatsStampAt(2026, 12, 8, 22), v6);
    StatsCount(*stats, StatsStampAt(2026, 12, 9, 9), sweep);
    StatsCount(*stats, StatsStampAt(2026, 12, 9, 10), Scan(0x0A000001, 12345, true));
    return stats;
}

TEST(StatsValue, RoundTripsSmallAndFull)
{
    std::unique_ptr<Stats> full = NewStats();
    const StatsStamp now = StatsStampAt(2026, 12, 9, 12);
    for (uint32_t i = 0; i < 3000; ++i)
        StatsCount(*full, now, Scan(0x0A000000 + i, (uint16_t)i));
    for (Stats* stats : {Varied().release(), full.release()}) {
        std::unique_ptr<Stats> original(stats);
        const std::vector<uint8_t> saved = Saved(*original);
        std::unique_ptr<Stats> back = NewStats();
        ASSERT_EQ(StatsRead(saved.data(), saved.size(), *back), kStatsReadGood);
        EXPECT_EQ(Saved(*back), saved);
        const StatsTotals a = StatsTotalsAt(*original, now), b = StatsTotalsAt(*back, now);
        EXPECT_EQ(b.all, a.all);
        EXPECT_EQ(b.weekTrusted, a.weekTrusted);
        EXPECT_EQ(back->callers.used, original->callers.used);
        EXPECT_EQ(back->beganDay, original->beganDay);
    }
    EXPECT_EQ(Saved(*NewStats()).size(), kStatsValueMax - 2 * kStatsEntries * kStatsEntrySize);
}

void SetU16(std::vector<uint8_t>& v, size_t at, uint16_t value)
{
    v[at] = (uint8_t)value;
    v[at + 1] = (uint8_t)(value >> 8);
}

TEST(StatsValue, MangledValuesAreRefused)
{
    const std::vector<uint8_t> good = Saved(*Varied());
    const struct {
        const char* name;
        void (*mangle)(std::vector<uint8_t>&);
        StatsReadResult result;
    } bytes[] = {
        {"empty", [](std::vector<uint8_t>& v) { v.clear(); }, kStatsReadForeign},
        {"a text",
         [](std::vector<uint8_t>& v) {
             v.assign({'3', '1', '3', '3', '7', 0});
         },
         kStatsReadForeign},
        {"magic", [](std::vector<uint8_t>& v) { v[1] ^= 0x20; }, kStatsReadForeign},
        {"header cut", [](std::vector<uint8_t>& v) { v.resize(10); }, kStatsReadCut},
        {"last byte cut", [](std::vector<uint8_t>& v) { v.pop_back(); }, kStatsReadCut},
        {"a byte more", [](std::vector<uint8_t>& v) { v.push_back(0); }, kStatsReadDamaged},
        {"version 2", [](std::vector<uint8_t>& v) { SetU16(v, 4, 2); }, kStatsReadVersion},
        {"24 hours", [](std::vector<uint8_t>& v) { SetU16(v, 6, 24); }, kStatsReadVersion},
        {"1,025 callers", [](std::vector<uint8_t>& v) { SetU16(v, 10, 1025); }, kStatsReadTooLarge},
        {"more callers said", [](std::vector<uint8_t>& v) { SetU16(v, 10, 3); }, kStatsReadCut},
        {"oversized", [](std::vector<uint8_t>& v) { v.resize(kStatsValueMax + 1); },
         kStatsReadTooLarge},
        {"spare field", [](std::vector<uint8_t>& v) { v[14] = 1; }, kStatsReadDamaged},
        {"a count", [](std::vector<uint8_t>& v) { v[40] ^= 1; }, kStatsReadDamaged},
        {"the checksum", [](std::vector<uint8_t>& v) { v.back() ^= 0x80; }, kStatsReadDamaged},
    };
    for (const auto& row : bytes) {
        SCOPED_TRACE(row.name);
        std::vector<uint8_t> value = good;
        row.mangle(value);
        value.shrink_to_fit(); // the sanitizer sees a read past the end
        std::unique_ptr<Stats> stats = Varied();
        EXPECT_EQ(StatsRead(value.data(), value.size(), *stats), row.result);
        EXPECT_EQ(stats->totalScans, 0u) << "counts left from a refused value";
        EXPECT_STRNE(StatsReadProblem(row.result), "");
    }
    // Contents no checksum catches, written with a good one.
    const struct {
        const char* name;
        void (*mangle)(Stats&);
    } contents[] = {
        {"bucket out of its slot",
         [](Stats& s) {
             s.hours[5] = {1000, 1, 0};
         }},
        {"count 0", [](Stats& s) { s.callers.entries[0].count = 0; }},
        {"error not below count", [](Stats& s) { s.ports.entries[0].error = 1; }},
        {"caller of no family", [](Stats& s) { s.callers.entries[1].caller.family = 9; }},
        {"caller with a port", [](Stats& s) { s.callers.entries[0].port = 1; }},
        {"port with an address", [](Stats& s) { s.ports.entries[0].caller.family = 4; }},
        {"a twin", [](Stats& s) { s.ports.entries[1] = s.ports.entries[0]; }},
    };
    for (const auto& row : contents) {
        SCOPED_TRACE(row.name);
        std::unique_ptr<Stats> stats = Varied();
        row.mangle(*stats);
        const std::vector<uint8_t> value = Saved(*stats);
        EXPECT_EQ(StatsRead(value.data(), value.size(), *stats), kStatsReadDamaged);
    }
    // Every shorter prefix is refused, and read only within itself.
    for (size_t size = 0; size < good.size(); ++size) {
        std::vector<uint8_t> prefix(good.begin(), good.begin() + (long)size);
        std::unique_ptr<Stats> stats = NewStats();
        ASSERT_NE(StatsRead(prefix.data(), prefix.size(), *stats), kStatsReadGood) << size;
    }
}

} // namespace
