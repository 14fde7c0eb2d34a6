// The daily log files: names made and recognised, which files a folder cap
// deletes, the ISO time of each line and the line with its CR LF.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "guarded.h"
#include "pure/logfiles.h"

namespace {

TEST(LogFileName, MadeAndRecognised)
{
    const struct {
        int year, month, day;
        uint32_t index;
        const char* name;
    } cases[] = {
        {2026, 12, 8, 0, "harbinel-2026-12-08.log"},
        {2026, 1, 31, 1, "harbinel-2026-01-31.1.log"},
        {999, 10, 1, 12, "harbinel-0999-10-01.12.log"},
        {2026, 2, 9, 999999, "harbinel-2026-02-09.999999.log"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        char out[64];
        BuildLogFileName(c.year, c.month, c.day, c.index, out);
        EXPECT_STREQ(out, c.name);
        LogFileId id = {};
        ASSERT_TRUE(ParseLogFileName(c.name, &id));
        EXPECT_TRUE(id.year == c.year && id.month == c.month && id.day == c.day &&
                    id.index == c.index);
    }
    LogFileId id = {};
    EXPECT_TRUE(ParseLogFileName("HARBINEL-2026-12-08.3.LOG", &id));
    EXPECT_EQ(id.index, 3u);
}

TEST(ParseLogFileName, NothingElseIsOurs)
{
    std::vector<std::string> names = {"", "harbinel.log", "xharbinel-2026-12-08.log",
                                      "harbinel_2026-12-08.log"};
    for (const char* tail :
         {"", "2026-12-08.log.bak", "2026-12-08.log ", "2026-12-08.txt", "2026-12-08..log",
          "2026-12-08.1", "2026-12-08.0.log", "2026-12-08.01.log", "2026-12-08.1234567.log",
          "2026-12-08.-1.log", "2026-13-01.log", "2026-00-01.log", "2026-12-00.log",
          "2026-12-32.log", "26-12-08.log", "2026-1-08.log", "20266-12-08.log"})
        names.push_back(std::string("harbinel-") + tail);
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        LogFileId id = {};
        EXPECT_FALSE(ParseLogFileName(name.c_str(), &id));
    }
}

TEST(ChooseLogDaysToDelete, WholeEarlierDaysOldestFirstTodayNever)
{
    // Index 10 is newer than index 2, and December older than January.
    const uint64_t m = kLogFileLimit;
    const LogFileEntry files[] = {{{2026, 1, 1, 10}, m},  {{2025, 12, 30, 0}, m},
                                  {{2025, 12, 31, 1}, m}, {{2026, 1, 2, 0}, 5 * m},
                                  {{2025, 12, 31, 0}, m}, {{2026, 1, 1, 0}, m}};
    const LogFileId today = {2026, 1, 2, 3};
    const struct {
        uint64_t cap;
        const char* remove; // x for each file marked
    } cases[] = {{10 * m, "......"}, {9 * m, ".x...."}, {8 * m, ".xx.x."},
                 {7 * m, ".xx.x."},  {6 * m, "xxx.xx"}, {0, "xxx.xx"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.remove);
        bool remove[6];
        const size_t marked = ChooseLogDaysToDelete(files, 6, today, c.cap, remove);
        std::string got;
        for (bool r : remove)
            got += r ? 'x' : '.';
        EXPECT_EQ(got, c.remove);
        EXPECT_EQ(marked, (size_t)std::count(got.begin(), got.end(), 'x'));
    }
    EXPECT_EQ(DayTotal(files, 6, LogFileId{2025, 12, 31, 7}), 2 * m);
}

TEST(DailyLogCap, AQuarterOfTheFolderCap)
{
    const uint64_t mib = 1u << 20;
    EXPECT_EQ(DailyLogCap(LogFolderCapBytes(kLogFolderCapMiB)), 64 * mib);
    const struct {
        uint32_t setting;
        uint64_t dayBytes, length;
        bool fits;
    } cases[] = {
        {256, 64 * mib - 10, 10, true},
        {256, 64 * mib - 10, 11, false},
        {256, 70 * mib, 1, false},
        {0, mib - 1, 1, true}, // the least cap: 4 MiB
        {0, mib, 1, false},
        {0xFFFFFFFFu, 16384 * mib, 0, true},
        {0xFFFFFFFFu, 16384 * mib, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setting);
        EXPECT_EQ(FitsDailyCap(c.dayBytes, c.length, LogFolderCapBytes(c.setting)), c.fits);
    }
    char line[64];
    BuildCapNotice(1234, line);
    EXPECT_STREQ(line, "Log file: 1234 lines not written (today's cap)");
}

TEST(FormatIsoTime, LocalTimeWithItsOffset)
{
    const struct {
        LogClock clock;
        int offset;
        const char* expected;
    } cases[] = {
        {{2026, 12, 8, 14, 24, 8}, 60, "2026-12-08T14:24:08+01:00"},
        {{2026, 1, 1, 0, 0, 0}, 0, "2026-01-01T00:00:00+00:00"},
        {{2026, 6, 30, 23, 59, 59}, -330, "2026-06-30T23:59:59-05:30"},
        {{999, 7, 4, 9, 5, 3}, 345, "0999-07-04T09:05:03+05:45"},
        {{30827, 12, 31, 23, 59, 59}, 840, "30827-12-31T23:59:59+14:00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        char out[kIsoTimeSize] = "previous";
        FormatIsoTime(c.clock, c.offset, out);
        EXPECT_STREQ(out, c.expected);
    }
}

TEST(BuildFileLine, CutsTheTextButKeepsCrLf)
{
    const std::string text = "2026-12-08T14:24:08+01:00 Listening on 2 ports";
    for (size_t size = 0; size <= text.size() + 4; ++size) {
        SCOPED_TRACE(size);
        std::vector<char> mem(size + kGuardBytes, kGuardByte);
        const size_t n =
            BuildFileLine("2026-12-08T14:24:08+01:00", "Listening on 2 ports", mem.data(), size);
        EXPECT_TRUE(GuardIntact(mem, size));
        const std::string expected = size < 3 ? "" : text.substr(0, size - 3) + "\r\n";
        EXPECT_EQ(n, expected.size());
        if (size > 0) {
            EXPECT_EQ(std::string(mem.data()), expected);
        }
    }
}

} // namespace
