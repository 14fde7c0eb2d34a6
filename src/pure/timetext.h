// Time, date and GMT-offset texts of the connection timestamp line. Pure
// arithmetic on values the caller reads from the clock and the time zone.
#ifndef HARBINEL_TIMETEXT_H
#define HARBINEL_TIMETEXT_H

#include <stddef.h>

// The fields of a local-time reading that the log shows.
struct LogClock {
    int year;
    int month;
    int day;
    int hour;
    int minute;
    int second;
};

// Minutes east of Greenwich from the time-zone record's biases (universal
// time = local time + bias); the daylight bias counts only in daylight time.
int GmtOffsetMinutes(int bias, int daylightBias, bool daylight);

// " hh:mm:ss", each part two digits. Overwrites out.
void FormatLogTimeN(const LogClock& clock, char* out, size_t size);
// Appends hour, minute and second as "09:05:03", the form both the timestamp
// line and the log file's ISO times use.
void AppendClockTimeN(const LogClock& clock, char* out, size_t size);
// " d/m/yyyy", day first, no leading zeros. Overwrites out.
void FormatLogDateN(const LogClock& clock, char* out, size_t size);
// Appends " GMT" and the offset: "+5:30", "-3:30", "+1"; nothing after GMT
// when the whole hours are 0.
void AppendGmtOffsetN(int offsetMinutes, char* out, size_t size);

// The whole timestamp line: "   Timestamp:" time [" GMT" offset] "," date.
// Without time-zone information the GMT part is left out.
void BuildTimestampLineN(const LogClock& clock, bool zoneKnown, int offsetMinutes, char* out,
                         size_t size);

template <size_t N> inline void FormatLogTime(const LogClock& clock, char (&out)[N])
{
    FormatLogTimeN(clock, out, N);
}
template <size_t N> inline void FormatLogDate(const LogClock& clock, char (&out)[N])
{
    FormatLogDateN(clock, out, N);
}
template <size_t N> inline void AppendGmtOffset(int offsetMinutes, char (&out)[N])
{
    AppendGmtOffsetN(offsetMinutes, out, N);
}
template <size_t N>
inline void BuildTimestampLine(const LogClock& clock, bool zoneKnown, int offsetMinutes,
                               char (&out)[N])
{
    BuildTimestampLineN(clock, zoneKnown, offsetMinutes, out, N);
}

#endif
