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

LineTag LogScan(const ScanRecord& record)
{
    // The longest: "   Stealth: ", two IPv6 addresses with their zones and
    // the ports.
    char line[160];
    if (record.kind == kScanSweep) {
        BuildSweepLine(record, record.trusted ? " (trusted): " : ": ", line);
        return LogWithTimestamp(line);
    }
    AddLogLine(ScanHeadLine(record.trusted));
    if (record.kind == kScanGone) {
        LogGoneCaller(record.port, "   Accept: ");
        return 0;
    }
    char caller[kNetAddressPortTextSize];
    FormatNetAddressPort(record.caller, record.callerPort, caller);
    // The port follows the local address too: an IPv6 one goes in brackets.
    char address[kNetAddressTextSize];
    FormatScanLocal(record, address);
    char local[kNetAddressTextSize + 2];
    bool brackets = record.local.family == kFamilyV6;
    TextCopy(local, brackets ? "[" : "");
    TextAppend(local, address);
    TextAppend(local, brackets ? "]" : "");
    BuildAddressLine(record.kind == kScanStealth ? "   Stealth: " : "   Accept: ", caller, local,
                     record.port, line);
    return LogWithTimestamp(line);
}

LineTag LogWithTimestamp(const char* line)
{
    // Tagged before the timestamp goes in: adding it may drop the oldest
    // lines, and the tag moves with the line.
    LineTag tag = TagNewLine(AddLogLine(line));
    AddTimestampLine();
    return tag;
}
