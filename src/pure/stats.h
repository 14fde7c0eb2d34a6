// The scan counts the Statistics window shows: hourly buckets for the last
// 48 hours, daily ones for the last 30 days, the busiest callers and ports
// (a space-saving count in tables of 1,024 each) and the totals, with
// trusted callers counted apart. Also the counts' saved binary form.
#ifndef HARBINEL_STATS_H
#define HARBINEL_STATS_H

#include <stddef.h>
#include <stdint.h>

#include "netaddress.h"

const int kStatsHours = 48;
const int kStatsDays = 30;
const uint32_t kStatsEntries = 1024; // callers, and ports, at most
const int kStatsTop = 10;

// A moment as the local wall clock reads it: days since 1970-01-01 and
// hours since its midnight. Buckets are keyed on these numbers, so an hour
// that a clock change repeats shares its bucket, a skipped one stays empty,
// and a month's end is only the next day.
struct StatsStamp {
    int32_t hour; // day * 24 + the hour of the day
    int32_t day;
};

StatsStamp StatsStampAt(int year, int month, int day, int hour);

struct StatsDate {
    int year, month, day;
};
StatsDate StatsDateOf(int32_t day);
// 0 for Monday, the week's first day, to 6 for Sunday.
int StatsWeekday(int32_t day);

// An empty bucket holds nothing and keys 0.
struct StatsBucket {
    int32_t key; // the hour or day number it counts
    uint32_t scans;
    uint32_t trusted;
};

// One counted caller (the address; port 0) or port (family 0). count is
// never below the true count, and at most error above it.
struct StatsEntry {
    NetAddress caller;
    uint16_t port;
    uint32_t count;
    uint32_t error;
    int32_t lastDay; // the day of its last scan; 30 days quiet drops it
};

struct StatsTable {
    StatsEntry entries[kStatsEntries];
    uint32_t used;
};

// Zero-initialise, or StatsClear. Large: keep it static or on the heap.
struct Stats {
    int32_t beganDay; // the first counted scan's day; 0 before any
    uint32_t totalScans;
    uint32_t totalTrusted;
    StatsBucket hours[kStatsHours]; // the slot of hour h is h mod 48
    StatsBucket days[kStatsDays];
    StatsTable callers; // scans from callers that are not trusted
    StatsTable ports;
};

// One scan as the counts take it.
struct StatsScan {
    bool trusted;
    NetAddress caller; // family 0: unknown, not counted among the callers
    bool hasPort;      // false for a sweep, which touched many
    uint16_t port;
};

void StatsClear(Stats& stats);
// Ages the counts to now, then counts the scan. Counts stop at 2^32 - 1.
void StatsCount(Stats& stats, StatsStamp now, const StatsScan& scan);
// Drops the buckets outside the last 48 hours and 30 days (a bucket later
// than now too: the clock was set back past it) and the callers and ports
// quiet for 30 days.
void StatsAge(Stats& stats, StatsStamp now);

// The last 48 hours or 30 days, oldest first, each keyed on its hour or day
// whether it holds scans or not.
void StatsHourSeries(const Stats& stats, StatsStamp now, StatsBucket (&out)[kStatsHours]);
void StatsDaySeries(const Stats& stats, StatsStamp now, StatsBucket (&out)[kStatsDays]);

struct StatsTotals {
    uint32_t today, todayTrusted;
    uint32_t week, weekTrusted; // since Monday
    uint32_t all, allTrusted;   // since beganDay
};
StatsTotals StatsTotalsAt(const Stats& stats, StatsStamp now);

// The busiest entries seen in the last 30 days, highest count first (the
// earlier-counted first among equals). Returns how many were written.
int StatsTop(const StatsTable& table, StatsStamp now, StatsEntry (&out)[kStatsTop]);

// ---- The saved form --------------------------------------------------------
// "HbSt", version, the table sizes, the totals, the buckets, the entries,
// then a CRC-32 of all before it; little-endian throughout.

const size_t kStatsHeaderSize = 16;
const size_t kStatsBucketSize = 12;
const size_t kStatsEntrySize = 35;
const size_t kStatsValueMax = kStatsHeaderSize + 12 +
                              (kStatsHours + kStatsDays) * kStatsBucketSize +
                              2 * kStatsEntries * kStatsEntrySize + 4;

// Writes the counts into out and returns the bytes written.
size_t StatsWrite(const Stats& stats, uint8_t (&out)[kStatsValueMax]);

enum StatsReadResult {
    kStatsReadGood,
    kStatsReadForeign,  // not this program's counts at all
    kStatsReadVersion,  // another version's, or other table sizes
    kStatsReadTooLarge, // more bytes or entries than the counts ever take
    kStatsReadCut,      // shorter than its own sizes say
    kStatsReadDamaged,  // checksum or contents wrong
};

// Reads size bytes of data into stats; anything but good leaves stats
// cleared. Never reads past data + size.
StatsReadResult StatsRead(const uint8_t* data, size_t size, Stats& stats);
// The reason for the log: "not a statistics value", "damaged"...
const char* StatsReadProblem(StatsReadResult result);

#endif
