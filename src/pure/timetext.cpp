// Time, date and GMT-offset texts of the connection timestamp line.
#include "timetext.h"

#include "decimal.h"
#include "text.h"

int GmtOffsetMinutes(int bias, int daylightBias, bool daylight)
{
    return daylight ? -bias - daylightBias : -bias;
}

void AppendClockTimeN(const LogClock& clock, char* out, size_t size)
{
    AppendDecimalPaddedN(clock.hour, 2, out, size);
    TextAppendN(out, size, ":");
    AppendDecimalPaddedN(clock.minute, 2, out, size);
    TextAppendN(out, size, ":");
    AppendDecimalPaddedN(clock.second, 2, out, size);
}

void FormatLogTimeN(const LogClock& clock, char* out, size_t size)
{
    TextCopyN(out, size, " ");
    AppendClockTimeN(clock, out, size);
}

void FormatLogDateN(const LogClock& clock, char* out, size_t size)
{
    TextCopyN(out, size, " ");
    AppendDecimalN(clock.day, out, size);
    TextAppendN(out, size, "/");
    AppendDecimalN(clock.month, out, size);
    TextAppendN(out, size, "/");
    AppendDecimalN(clock.year, out, size);
}

void AppendGmtOffsetN(int offsetMinutes, char* out, size_t size)
{
    TextAppendN(out, size, " GMT");
    int hours = offsetMinutes / 60; // truncated toward zero
    int minutes = offsetMinutes - 60 * hours;
    // Half-hour zones west or east of Greenwich by less than an hour show no
    // offset at all: the text has hours only when there are whole hours.
    if (hours == 0)
        return;
    if (hours > 0)
        TextAppendN(out, size, "+");
    AppendDecimalN(hours, out, size);
    if (minutes != 0) {
        TextAppendN(out, size, ":");
        AppendDecimalN(minutes < 0 ? -minutes : minutes, out, size);
    }
}

void BuildTimestampLineN(const LogClock& clock, bool zoneKnown, int offsetMinutes, char* out,
                         size_t size)
{
    char part[32];
    TextCopyN(out, size, "   Timestamp:");
    FormatLogTime(clock, part);
    TextAppendN(out, size, part);
    if (zoneKnown)
        AppendGmtOffsetN(offsetMinutes, out, size);
    TextAppendN(out, size, ",");
    FormatLogDate(clock, part);
    TextAppendN(out, size, part);
}
