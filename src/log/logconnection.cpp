// A scan's lines in the log: the head line, the address line (caller, local
// address and port) or a sweep's line, and the timestamp line with the
// local offset from GMT.
#include "../pure/decimal.h"
#include "../pure/linetext.h"
#include "../pure/scanrecord.h"
#include "../pure/text.h"
#include "../pure/timetext.h"
#include "log.h"

static void AddTimestampLine()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    LogClock clock = {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
    TIME_ZONE_INFORMATION zone;
    DWORD zoneResult = GetTimeZoneInformation(&zone);
    bool zoneKnown = zoneResult != TIME_ZONE_ID_INVALID;
    int offset = zoneKnown ? GmtOffsetMinutes(zone.Bias, zone.DaylightBias,
                                              zoneResult == TIME_ZONE_ID_DAYLIGHT)
                           : 0;
    char line[128];
    BuildTimestampLine(clock, zoneKnown, offset, line);
    AddLogLine(line);
}

static void LogGoneCaller(int32_t port, const char* prefix)
{
    char line[128];
    BuildAddressLine(prefix, kGoneCaller, "*", port, line);
    AddLogLine(line);
    AddTimestampLine();
}

// "a.b.c.d:port" of an address in network byte order.
static void AddressAndPort(uint32_t address, uint16_t port, char (&out)[24])
{
    in_addr a;
    a.s_addr = address;
    TextCopy(out, inet_ntoa(a));
    TextAppend(out, ":");
    AppendDecimal(port, out);
}

int LogScan(const ScanRecord& record)
{
    char line[128];
    if (record.kind == kScanSweep) {
        BuildSweepLine(record, record.trusted ? " (trusted): " : ": ", line);
        return LogWithTimestamp(line);
    }
    AddLogLine(ScanHeadLine(record.trusted));
    if (record.kind == kScanGone) {
        LogGoneCaller(record.port, "   Accept: ");
        return 0;
    }
    char caller[24];
    AddressAndPort(record.caller, record.callerPort, caller);
    char local[16];
    FormatScanLocal(record, local);
    BuildAddressLine(record.kind == kScanStealth ? "   Stealth: " : "   Accept: ", caller, local,
                     record.port, line);
    return LogWithTimestamp(line);
}

int LogWithTimestamp(const char* line)
{
    int index = AddLogLine(line);
    // Adding the timestamp may drop the oldest lines; the line moves up by as
    // many as were dropped.
    LRESULT before = SendMessageA(AppState.LogList, LB_GETCOUNT, 0, 0);
    AddTimestampLine();
    LRESULT after = SendMessageA(AppState.LogList, LB_GETCOUNT, 0, 0);
    int dropped = (int)(before + 1 - after);
    if (dropped <= 0)
        return index;
    // When the line itself went, there is nothing left to tag.
    return index > dropped ? index - dropped : 0;
}
