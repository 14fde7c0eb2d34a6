// The time, date and GMT-offset texts of the connection timestamp line, and
// the whole line as the log shows it.
#include <string>

#include <gtest/gtest.h>

#include "guarded.h"
#include "pure/text.h"
#include "pure/timetext.h"

namespace {

LogClock Clock(int year, int month, int day, int hour, int minute, int second)
{
    LogClock c;
    c.year = year;
    c.month = month;
    c.day = day;
    c.hour = hour;
    c.minute = minute;
    c.second = second;
    return c;
}

struct TimeCase {
    const char* name;
    LogClock clock;
    const char* expected;
};

TEST(FormatLogTime, TwoDigitsForEachPart)
{
    const TimeCase cases[] = {
        {"morning", Clock(2001, 3, 7, 9, 5, 3), " 09:05:03"},
        {"midnight", Clock(2001, 1, 1, 0, 0, 0), " 00:00:00"},
        {"last second of the day", Clock(2001, 12, 31, 23, 59, 59), " 23:59:59"},
        {"ten of each", Clock(2001, 1, 1, 10, 10, 10), " 10:10:10"},
        {"half past two", Clock(2001, 1, 1, 14, 30, 0), " 14:30:00"},
    };
    for (const TimeCase& c : cases) {
        SCOPED_TRACE(c.name);
        char out[32];
        TextCopy(out, "previous text that is longer");
        FormatLogTime(c.clock, out);
        EXPECT_STREQ(out, c.expected);
    }
}

TEST(FormatLogDate, DayFirstWithoutLeadingZeros)
{
    const TimeCase cases[] = {
        {"7 March", Clock(2001, 3, 7, 9, 5, 3), " 7/3/2001"},
        {"New Year's Eve", Clock(2001, 12, 31, 23, 59, 59), " 31/12/2001"},
        {"New Year's Day", Clock(2001, 1, 1, 0, 0, 0), " 1/1/2001"},
        {"two-digit day, one-digit month", Clock(2024, 2, 29, 0, 0, 0), " 29/2/2024"},
    };
    for (const TimeCase& c : cases) {
        SCOPED_TRACE(c.name);
        char out[32];
        TextCopy(out, "previous text that is longer");
        FormatLogDate(c.clock, out);
        EXPECT_STREQ(out, c.expected);
    }
}

struct BiasCase {
    const char* name;
    int bias;
    int daylightBias;
    bool daylight;
    int expected;
};

TEST(GmtOffsetMinutes, EastOfGreenwichIsPositive)
{
    const BiasCase cases[] = {
        {"GMT, standard time", 0, -60, false, 0},
        {"GMT, daylight time", 0, -60, true, 60},
        {"US Eastern, standard time", 300, -60, false, -300},
        {"US Eastern, daylight time", 300, -60, true, -240},
        {"India", -330, 0, false, 330},
        {"India, daylight flag with no daylight bias", -330, 0, true, 330},
        {"Newfoundland", 210, -60, false, -210},
        {"Nepal", -345, 0, false, 345},
    };
    for (const BiasCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(GmtOffsetMinutes(c.bias, c.daylightBias, c.daylight), c.expected);
    }
}

struct OffsetCase {
    int minutes;
    const char* expected;
};

TEST(AppendGmtOffset, HoursAndMinutesWithoutLeadingZero)
{
    const OffsetCase cases[] = {
        {0, " GMT"},        {30, " GMT"},        {-30, " GMT"},      {59, " GMT"},
        {-59, " GMT"},      {60, " GMT+1"},      {-60, " GMT-1"},    {-300, " GMT-5"},
        {330, " GMT+5:30"}, {-210, " GMT-3:30"}, {345, " GMT+5:45"}, {65, " GMT+1:5"},
        {-65, " GMT-1:5"},  {720, " GMT+12"},    {-720, " GMT-12"},  {765, " GMT+12:45"},
        {840, " GMT+14"},
    };
    for (const OffsetCase& c : cases) {
        SCOPED_TRACE("offset " + std::to_string(c.minutes));
        char out[32] = "";
        AppendGmtOffset(c.minutes, out);
        EXPECT_STREQ(out, c.expected);
    }
}

TEST(AppendGmtOffset, AppendsAfterTheTime)
{
    char out[32];
    TextCopy(out, " 09:05:03");
    AppendGmtOffset(60, out);
    EXPECT_STREQ(out, " 09:05:03 GMT+1");
}

struct LineCase {
    const char* name;
    LogClock clock;
    bool zoneKnown;
    int bias;
    int daylightBias;
    bool daylight;
    const char* expected;
};

TEST(BuildTimestampLine, WorkedExamples)
{
    const LogClock march = Clock(2001, 3, 7, 9, 5, 3);
    const LogClock newYear = Clock(2001, 1, 1, 14, 30, 0);
    const LineCase cases[] = {
        {"GMT, standard time", march, true, 0, 0, false, "   Timestamp: 09:05:03 GMT, 7/3/2001"},
        {"GMT, daylight time", march, true, 0, -60, true, "   Timestamp: 09:05:03 GMT+1, 7/3/2001"},
        {"five hours west", Clock(2001, 12, 31, 23, 59, 59), true, 300, 0, false,
         "   Timestamp: 23:59:59 GMT-5, 31/12/2001"},
        {"five and a half hours east", newYear, true, -330, 0, false,
         "   Timestamp: 14:30:00 GMT+5:30, 1/1/2001"},
        {"three and a half hours west", newYear, true, 210, 0, false,
         "   Timestamp: 14:30:00 GMT-3:30, 1/1/2001"},
        {"no time-zone information", newYear, false, 0, 0, false,
         "   Timestamp: 14:30:00, 1/1/2001"},
        {"half an hour east", newYear, true, -30, 0, false, "   Timestamp: 14:30:00 GMT, 1/1/2001"},
        {"midnight", Clock(2001, 1, 1, 0, 0, 0), true, 0, 0, false,
         "   Timestamp: 00:00:00 GMT, 1/1/2001"},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.name);
        char out[128];
        TextCopy(out, "previous text");
        BuildTimestampLine(c.clock, c.zoneKnown,
                           GmtOffsetMinutes(c.bias, c.daylightBias, c.daylight), out);
        EXPECT_STREQ(out, c.expected);
    }
}

TEST(BuildTimestampLine, UnknownZoneIgnoresTheOffset)
{
    char out[128];
    BuildTimestampLine(Clock(2001, 1, 1, 14, 30, 0), false, 330, out);
    EXPECT_STREQ(out, "   Timestamp: 14:30:00, 1/1/2001");
}

TEST(BuildTimestampLine, LongestLineFitsTheLineBuffer)
{
    // The widest parts the clock and the time zone can give.
    char out[128];
    BuildTimestampLine(Clock(30827, 12, 31, 23, 59, 59), true, -765, out);
    EXPECT_STREQ(out, "   Timestamp: 23:59:59 GMT-12:45, 31/12/30827");
    EXPECT_EQ(TextLength(out), 45u);
}

TEST(BuildTimestampLine, EverySizeGetsATerminatedPrefix)
{
    const LogClock clock = Clock(2001, 1, 1, 14, 30, 0);
    ExpectBoundedPrefixes("   Timestamp: 14:30:00 GMT+5:30, 1/1/2001", [&](char* out, size_t size) {
        BuildTimestampLineN(clock, true, 330, out, size);
    });
}

TEST(FormatLogTimeAndDate, EverySizeGetsATerminatedPrefix)
{
    const LogClock clock = Clock(2001, 12, 31, 9, 5, 3);
    ExpectBoundedPrefixes(" 09:05:03",
                          [&](char* out, size_t size) { FormatLogTimeN(clock, out, size); });
    ExpectBoundedPrefixes(" 31/12/2001",
                          [&](char* out, size_t size) { FormatLogDateN(clock, out, size); });
    ExpectBoundedPrefixes(" GMT-3:30", [&](char* out, size_t size) {
        TextCopyN(out, size, "");
        AppendGmtOffsetN(-210, out, size);
    });
}

} // namespace
