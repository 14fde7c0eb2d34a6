// The scan counts: buckets in rings keyed on wall-clock hour and day numbers,
// the space-saving tables of callers and ports, and the saved form with its
// strict reader.
#include "stats.h"

#include <string.h>

static const uint8_t kStatsMagic[4] = {'H', 'b', 'S', 't'};
static const uint16_t kStatsVersion = 1;

// Days from 1970-01-01 to a civil date of the proleptic Gregorian calendar.
StatsStamp StatsStampAt(int year, int month, int day, int hour)
{
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    StatsStamp stamp;
    stamp.day = era * 146097 + doe - 719468;
    stamp.hour = stamp.day * 24 + hour;
    return stamp;
}

StatsDate StatsDateOf(int32_t day)
{
    const int32_t z = day + 719468;
    const int32_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int32_t doe = z - era * 146097;
    const int32_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int32_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int32_t mp = (5 * doy + 2) / 153;
    StatsDate date;
    date.day = (int)(doy - (153 * mp + 2) / 5 + 1);
    date.month = (int)(mp < 10 ? mp + 3 : mp - 9);
    date.year = (int)(yoe + era * 400 + (date.month <= 2 ? 1 : 0));
    return date;
}

static int32_t Modulo(int32_t value, int32_t n)
{
    const int32_t r = value % n;
    return r < 0 ? r + n : r;
}

int StatsWeekday(int32_t day)
{
    return (int)Modulo(day + 3, 7); // 1970-01-01 was a Thursday
}

static void Add(uint32_t& count, uint32_t more)
{
    count = count > UINT32_MAX - more ? UINT32_MAX : count + more;
}

// The entries in use, whatever a damaged count says.
static uint32_t UsedOf(const StatsTable& table)
{
    return table.used < kStatsEntries ? table.used : kStatsEntries;
}

static bool Empty(const StatsBucket& bucket)
{
    return bucket.scans == 0 && bucket.trusted == 0;
}

void StatsClear(Stats& stats)
{
    memset(&stats, 0, sizeof stats);
}

// A bucket is kept while its key lies in (now - slots, now].
static void AgeRing(StatsBucket* ring, int32_t slots, int32_t now)
{
    for (int32_t i = 0; i < slots; ++i)
        if (Empty(ring[i]) || ring[i].key > now || ring[i].key <= now - slots)
            ring[i] = StatsBucket();
}

static void AgeTable(StatsTable& table, int32_t today)
{
    if (table.used > kStatsEntries)
        table.used = kStatsEntries;
    for (uint32_t i = 0; i < table.used;) {
        if (table.entries[i].lastDay <= today - kStatsDays) {
            // Moved, not swapped: the order keeps who came first among equals.
            memmove(&table.entries[i], &table.entries[i + 1],
                    (table.used - i - 1) * sizeof table.entries[0]);
            --table.used;
        } else {
            ++i;
        }
    }
}

void StatsAge(Stats& stats, StatsStamp now)
{
    AgeRing(stats.hours, kStatsHours, now.hour);
    AgeRing(stats.days, kStatsDays, now.day);
    AgeTable(stats.callers, now.day);
    AgeTable(stats.ports, now.day);
}

static void CountIn(StatsBucket* ring, int32_t slots, int32_t key, bool trusted)
{
    StatsBucket& bucket = ring[Modulo(key, slots)];
    if (bucket.key != key || Empty(bucket))
        bucket = StatsBucket();
    bucket.key = key;
    Add(trusted ? bucket.trusted : bucket.scans, 1);
}

static bool SameEntry(const StatsEntry& a, const StatsEntry& b)
{
    return a.port == b.port && NetAddressEqual(a.caller, b.caller);
}

// The space-saving count: a newcomer to a full table takes the place of the
// smallest count and inherits it, so no count is ever below the truth and
// a caller that scans often cannot be pushed out by many that scan once.
static void CountEntry(StatsTable& table, const StatsEntry& key, int32_t today)
{
    uint32_t smallest = 0;
    for (uint32_t i = 0; i < table.used; ++i) {
        StatsEntry& entry = table.entries[i];
        if (SameEntry(entry, key)) {
            Add(entry.count, 1);
            entry.lastDay = today;
            return;
        }
        if (entry.count < table.entries[smallest].count)
            smallest = i;
    }
    StatsEntry fresh = key;
    fresh.lastDay = today;
    fresh.count = 1;
    fresh.error = 0;
    if (table.used < kStatsEntries) {
        table.entries[table.used++] = fresh;
        return;
    }
    fresh.error = table.entries[smallest].count;
    fresh.count = fresh.error;
    Add(fresh.count, 1);
    table.entries[smallest] = fresh;
}

void StatsCount(Stats& stats, StatsStamp now, const StatsScan& scan)
{
    StatsAge(stats, now);
    if (stats.beganDay == 0)
        stats.beganDay = now.day;
    Add(scan.trusted ? stats.totalTrusted : stats.totalScans, 1);
    CountIn(stats.hours, kStatsHours, now.hour, scan.trusted);
    CountIn(stats.days, kStatsDays, now.day, scan.trusted);
    // The tables are about who scans; the user's own trusted machines would
    // only crowd them.
    if (scan.trusted)
        return;
    if (scan.caller.family != 0) {
        StatsEntry key = {};
        key.caller = scan.caller;
        CountEntry(stats.callers, key, now.day);
    }
    if (scan.hasPort) {
        StatsEntry key = {};
        key.port = scan.port;
        CountEntry(stats.ports, key, now.day);
    }
}

static void Series(const StatsBucket* ring, int32_t slots, int32_t now, StatsBucket* out)
{
    for (int32_t i = 0; i < slots; ++i) {
        const int32_t key = now - (slots - 1) + i;
        const StatsBucket& bucket = ring[Modulo(key, slots)];
        out[i] = bucket.key == key ? bucket : StatsBucket();
        out[i].key = key;
    }
}

void StatsHourSeries(const Stats& stats, StatsStamp now, StatsBucket (&out)[kStatsHours])
{
    Series(stats.hours, kStatsHours, now.hour, out);
}

void StatsDaySeries(const Stats& stats, StatsStamp now, StatsBucket (&out)[kStatsDays])
{
    Series(stats.days, kStatsDays, now.day, out);
}

StatsTotals StatsTotalsAt(const Stats& stats, StatsStamp now)
{
    StatsTotals totals = {};
    StatsBucket days[kStatsDays];
    StatsDaySeries(stats, now, days);
    const int32_t monday = now.day - StatsWeekday(now.day);
    for (const StatsBucket& d : days) {
        if (d.key >= monday) {
            Add(totals.week, d.scans);
            Add(totals.weekTrusted, d.trusted);
        }
    }
    totals.today = days[kStatsDays - 1].scans;
    totals.todayTrusted = days[kStatsDays - 1].trusted;
    totals.all = stats.totalScans;
    totals.allTrusted = stats.totalTrusted;
    return totals;
}

int StatsTop(const StatsTable& table, StatsStamp now, StatsEntry (&out)[kStatsTop])
{
    int count = 0;
    const uint32_t used = UsedOf(table);
    for (uint32_t i = 0; i < used; ++i) {
        const StatsEntry& entry = table.entries[i];
        if (entry.lastDay <= now.day - kStatsDays)
            continue;
        // Insertion into the short sorted list; an equal count goes after.
        int at = count;
        while (at > 0 && out[at - 1].count < entry.count)
            --at;
        if (at >= kStatsTop)
            continue;
        const int last = count < kStatsTop ? count : kStatsTop - 1;
        for (int j = last; j > at; --j)
            out[j] = out[j - 1];
        out[at] = entry;
        if (count < kStatsTop)
            ++count;
    }
    return count;
}

// ---- The saved form ----------------------------------------------------------

static uint32_t Crc32(const uint8_t* data, size_t size)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

struct Writer {
    uint8_t* data;
    size_t at;
    size_t cap;
};

static void Put(Writer& w, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes && w.at < w.cap; ++i)
        w.data[w.at++] = (uint8_t)(value >> (8 * i));
}

static void PutBucket(Writer& w, const StatsBucket& bucket)
{
    const bool empty = Empty(bucket);
    Put(w, empty ? 0 : (uint32_t)bucket.key, 4);
    Put(w, bucket.scans, 4);
    Put(w, bucket.trusted, 4);
}

static void PutEntry(Writer& w, const StatsEntry& entry)
{
    Put(w, entry.caller.family, 1);
    for (uint8_t byte : entry.caller.bytes)
        Put(w, byte, 1);
    Put(w, entry.caller.zone, 4);
    Put(w, entry.port, 2);
    Put(w, entry.count, 4);
    Put(w, entry.error, 4);
    Put(w, (uint32_t)entry.lastDay, 4);
}

size_t StatsWrite(const Stats& stats, uint8_t (&out)[kStatsValueMax])
{
    Writer w = {out, 0, kStatsValueMax};
    const uint32_t callers = UsedOf(stats.callers);
    const uint32_t ports = UsedOf(stats.ports);
    for (uint8_t byte : kStatsMagic)
        Put(w, byte, 1);
    Put(w, kStatsVersion, 2);
    Put(w, kStatsHours, 2);
    Put(w, kStatsDays, 2);
    Put(w, callers, 2);
    Put(w, ports, 2);
    Put(w, 0, 2);
    Put(w, (uint32_t)stats.beganDay, 4);
    Put(w, stats.totalScans, 4);
    Put(w, stats.totalTrusted, 4);
    for (const StatsBucket& bucket : stats.hours)
        PutBucket(w, bucket);
    for (const StatsBucket& bucket : stats.days)
        PutBucket(w, bucket);
    for (uint32_t i = 0; i < callers; ++i)
        PutEntry(w, stats.callers.entries[i]);
    for (uint32_t i = 0; i < ports; ++i)
        PutEntry(w, stats.ports.entries[i]);
    Put(w, Crc32(out, w.at), 4);
    return w.at;
}

// Reads only what the checks before it proved to be there.
struct Reader {
    const uint8_t* data;
    size_t at;
};

static uint32_t Get(Reader& r, int bytes)
{
    uint32_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value |= (uint32_t)r.data[r.at++] << (8 * i);
    return value;
}

static bool GetBuckets(Reader& r, StatsBucket* ring, int32_t slots)
{
    for (int32_t i = 0; i < slots; ++i) {
        StatsBucket& bucket = ring[i];
        bucket.key = (int32_t)Get(r, 4);
        bucket.scans = Get(r, 4);
        bucket.trusted = Get(r, 4);
        // An empty bucket keys 0; a full one sits in its own hour's slot.
        if (Empty(bucket) ? bucket.key != 0 : Modulo(bucket.key, slots) != i)
            return false;
    }
    return true;
}

static bool GetEntries(Reader& r, StatsTable& table, uint32_t count, bool callers)
{
    for (uint32_t i = 0; i < count; ++i) {
        StatsEntry& entry = table.entries[i];
        entry.caller.family = (uint8_t)Get(r, 1);
        for (uint8_t& byte : entry.caller.bytes)
            byte = (uint8_t)Get(r, 1);
        entry.caller.zone = Get(r, 4);
        entry.port = (uint16_t)Get(r, 2);
        entry.count = Get(r, 4);
        entry.error = Get(r, 4);
        entry.lastDay = (int32_t)Get(r, 4);
        const bool keyed =
            callers ? (entry.caller.family == kFamilyV4 || entry.caller.family == kFamilyV6) &&
                          entry.port == 0
                    : entry.caller.family == 0;
        if (!keyed || entry.count == 0 || entry.error >= entry.count)
            return false;
        // Mangled bytes elsewhere in an entry leave it unequal to any other;
        // an exact twin can only be forged.
        for (uint32_t j = 0; j < i; ++j)
            if (SameEntry(table.entries[j], entry))
                return false;
    }
    table.used = count;
    return true;
}

static StatsReadResult ReadChecked(const uint8_t* data, size_t size, Stats& stats)
{
    if (size > kStatsValueMax)
        return kStatsReadTooLarge;
    if (size < sizeof kStatsMagic || memcmp(data, kStatsMagic, sizeof kStatsMagic) != 0)
        return kStatsReadForeign;
    if (size < kStatsHeaderSize)
        return kStatsReadCut;
    Reader r = {data, sizeof kStatsMagic};
    const uint32_t version = Get(r, 2);
    const uint32_t hours = Get(r, 2);
    const uint32_t days = Get(r, 2);
    const uint32_t callers = Get(r, 2);
    const uint32_t ports = Get(r, 2);
    const uint32_t spare = Get(r, 2);
    if (version != kStatsVersion || hours != (uint32_t)kStatsHours || days != (uint32_t)kStatsDays)
        return kStatsReadVersion;
    if (callers > kStatsEntries || ports > kStatsEntries)
        return kStatsReadTooLarge;
    const size_t expected = kStatsHeaderSize + 12 + (hours + days) * kStatsBucketSize +
                            (callers + ports) * kStatsEntrySize + 4;
    if (size < expected)
        return kStatsReadCut;
    if (size > expected || spare != 0)
        return kStatsReadDamaged;
    Reader tail = {data, size - 4};
    if (Get(tail, 4) != Crc32(data, size - 4))
        return kStatsReadDamaged;
    stats.beganDay = (int32_t)Get(r, 4);
    stats.totalScans = Get(r, 4);
    stats.totalTrusted = Get(r, 4);
    if (!GetBuckets(r, stats.hours, kStatsHours) || !GetBuckets(r, stats.days, kStatsDays) ||
        !GetEntries(r, stats.callers, callers, true) || !GetEntries(r, stats.ports, ports, false))
        return kStatsReadDamaged;
    return kStatsReadGood;
}

StatsReadResult StatsRead(const uint8_t* data, size_t size, Stats& stats)
{
    StatsClear(stats);
    const StatsReadResult result =
        data == NULL ? kStatsReadForeign : ReadChecked(data, size, stats);
    if (result != kStatsReadGood)
        StatsClear(stats);
    return result;
}

const char* StatsReadProblem(StatsReadResult result)
{
    switch (result) {
    case kStatsReadGood:
        return "";
    case kStatsReadForeign:
        return "not a statistics value";
    case kStatsReadVersion:
        return "written by another version";
    case kStatsReadTooLarge:
        return "too large";
    case kStatsReadCut:
        return "cut short";
    case kStatsReadDamaged:
        break;
    }
    return "damaged";
}
