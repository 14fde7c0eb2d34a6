// The scan counts behind the Statistics window: every scan record the
// fan-out sees is counted here, and the counts go to the settings key when
// they changed, once a minute at most, so that a flood does not write the
// registry for every scan.
#include "../pure/stats.h"
#include "../settings/settings.h"
#include "outputs.h"

static const DWORD kSaveEveryMs = 60000;

static Stats g_stats;
static BYTE g_changed;
static DWORD g_savedTick;
static uint8_t g_value[kStatsValueMax];

StatsStamp StatisticsNow()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    return StatsStampAt(now.wYear, now.wMonth, now.wDay, now.wHour);
}

const Stats& CurrentStats()
{
    return g_stats;
}

// Every record counts, proven caller or not: a stealth scan or a sweep is a
// scan all the same. A caller that left before its accept has no address,
// and a sweep no single port, so those are left out of the tables only.
void StatisticsCount(const ScanRecord& record)
{
    StatsScan scan = {};
    scan.trusted = record.trusted;
    scan.caller = record.caller;
    scan.hasPort = record.kind != kScanSweep;
    scan.port = record.port;
    StatsCount(g_stats, StatisticsNow(), scan);
    g_changed = 1;
}

void StatisticsTick()
{
    if (g_changed && GetTickCount() - g_savedTick >= kSaveEveryMs)
        StatisticsFlush();
}

void StatisticsFlush()
{
    if (!g_changed)
        return;
    g_changed = 0;
    g_savedTick = GetTickCount();
    SaveStats();
}

const char* StatisticsLoad(const BYTE* data, size_t size)
{
    g_changed = 0;
    g_savedTick = GetTickCount();
    if (data == NULL) {
        StatsClear(g_stats);
        return NULL;
    }
    const StatsReadResult result = StatsRead(data, size, g_stats);
    return result == kStatsReadGood ? NULL : StatsReadProblem(result);
}

const BYTE* StatisticsValue(DWORD& size)
{
    size = (DWORD)StatsWrite(g_stats, g_value);
    return g_value;
}

void StatisticsReset()
{
    StatsClear(g_stats);
    g_changed = 1;
    StatisticsFlush();
}
