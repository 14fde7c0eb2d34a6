// A scan's lines in the log: the head line, the address line (caller, local
// address and port) or a sweep's line, the trojans known to use the port,
// and the timestamp line with the local offset from GMT.
#include "../pure/decimal.h"
#include "../pure/linetext.h"
#include "../pure/scanrecord.h"
#include "../pure/text.h"
#include "../pure/timetext.h"
#include "../pure/trojans.h"
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

// "   Port 31337: Back Orifice" under the address line of a port the
// trojan table names; the index of the last line added, given or new.
static int AddKnownPortLine(int index, int32_t port)
{
    char line[kKnownPortLineSize];
    BuildKnownPortLine(port, line);
    return line[0] != '\0' ? AddLogLine(line) : index;
}

static void LogGoneCaller(int32_t port, const char* prefix)
{
    char line[128];
    BuildAddressLine(prefix, kGoneCaller, "*", port, line);
    AddKnownPortLine(AddLogLine(line), port);
    AddTimestampLine();
}

static LineTag TagAndStamp(int index)
{
    // Tagged before the timestamp goes in: adding it may drop the oldest
    // lines, and the tag moves with the line.
    LineTag tag = TagNewLine(index);
    AddTimestampLine();
    return tag;
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
    // The name comes under the last detail line, so the known port stays
    // right under the address it was called on.
    return TagAndStamp(AddKnownPortLine(AddLogLine(line), record.port));
}

LineTag LogWithTimestamp(const char* line)
{
    return TagAndStamp(AddLogLine(line));
}
