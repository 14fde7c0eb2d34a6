// Names, deletion order and line layout of the daily log files. A folder cap
// deletes only what ParseLogFileName recognises, so the parse is strict.
#include "logfiles.h"

#include "decimal.h"
#include "text.h"

// Leading zeros up to width digits; the values here are never negative.
// "YYYY-MM-DD", as both the file names and the ISO times write the date.
static void AppendIsoDate(int year, int month, int day, char* out, size_t size)
{
    AppendDecimalPaddedN(year, 4, out, size);
    TextAppendN(out, size, "-");
    AppendDecimalPaddedN(month, 2, out, size);
    TextAppendN(out, size, "-");
    AppendDecimalPaddedN(day, 2, out, size);
}

void BuildLogFileNameN(int year, int month, int day, uint32_t index, char* out, size_t size)
{
    TextCopyN(out, size, "harbinel-");
    AppendIsoDate(year, month, day, out, size);
    if (index > 0) {
        TextAppendN(out, size, ".");
        AppendDecimalN((int32_t)index, out, size);
    }
    TextAppendN(out, size, ".log");
}

static char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

// Steps over text (lower case) if the name has it here, in either case.
static bool Skip(const char*& p, const char* text)
{
    for (; *text != '\0'; ++p, ++text)
        if (Lower(*p) != *text)
            return false;
    return true;
}

// Exactly width digits; width 0 means an index: one to six digits, the first
// not 0.
static bool Digits(const char*& p, int width, uint32_t* value)
{
    const int most = width > 0 ? width : 6;
    uint32_t v = 0;
    int n = 0;
    for (; n < most && *p >= '0' && *p <= '9'; ++n)
        v = v * 10 + (uint32_t)(*p++ - '0');
    if (width > 0 ? n != width : (n == 0 || p[-n] == '0'))
        return false;
    *value = v;
    return true;
}

bool ParseLogFileName(const char* name, LogFileId* out)
{
    const char* p = name;
    uint32_t year = 0, month = 0, day = 0, index = 0;
    if (!Skip(p, "harbinel-") || !Digits(p, 4, &year) || !Skip(p, "-") || !Digits(p, 2, &month) ||
        !Skip(p, "-") || !Digits(p, 2, &day))
        return false;
    if (*p == '.' && p[1] >= '0' && p[1] <= '9' && !Digits(++p, 0, &index))
        return false;
    if (!Skip(p, ".log") || *p != '\0' || month < 1 || month > 12 || day < 1 || day > 31)
        return false;
    out->year = (int)year;
    out->month = (int)month;
    out->day = (int)day;
    out->index = index;
    return true;
}

static int Order(long long a, long long b)
{
    return a < b ? -1 : a > b ? 1 : 0;
}

int CompareLogFiles(const LogFileId& a, const LogFileId& b)
{
    const long long dateA = (long long)a.year * 10000 + (long long)a.month * 100 + a.day;
    const long long dateB = (long long)b.year * 10000 + (long long)b.month * 100 + b.day;
    return dateA != dateB ? Order(dateA, dateB) : Order(a.index, b.index);
}

uint64_t LogFolderCapBytes(uint32_t mebibytes)
{
    const uint32_t capped = mebibytes < kMinLogFolderCapMiB   ? kMinLogFolderCapMiB
                            : mebibytes > kMaxLogFolderCapMiB ? kMaxLogFolderCapMiB
                                                              : mebibytes;
    return (uint64_t)capped << 20;
}

uint64_t DailyLogCap(uint64_t folderCap)
{
    return folderCap / 4;
}

bool FitsDailyCap(uint64_t dayBytes, uint64_t length, uint64_t folderCap)
{
    const uint64_t cap = DailyLogCap(folderCap);
    return dayBytes <= cap && length <= cap - dayBytes;
}

static bool SameDay(const LogFileId& a, const LogFileId& b)
{
    return a.year == b.year && a.month == b.month && a.day == b.day;
}

uint64_t DayTotal(const LogFileEntry* files, size_t count, const LogFileId& day)
{
    uint64_t total = 0;
    for (size_t i = 0; i < count; ++i)
        if (SameDay(files[i].id, day))
            total += files[i].bytes;
    return total;
}

size_t ChooseLogDaysToDelete(const LogFileEntry* files, size_t count, const LogFileId& today,
                             uint64_t cap, bool* remove)
{
    const LogFileId startOfToday = {today.year, today.month, today.day, 0};
    uint64_t total = 0;
    for (size_t i = 0; i < count; ++i) {
        remove[i] = false;
        total += files[i].bytes;
    }
    // The folder holds a few dozen files, so one pass per deletion is cheap.
    size_t marked = 0;
    while (total > cap) {
        size_t oldest = count;
        for (size_t i = 0; i < count; ++i)
            if (!remove[i] && CompareLogFiles(files[i].id, startOfToday) < 0 &&
                (oldest == count || CompareLogFiles(files[i].id, files[oldest].id) < 0))
                oldest = i;
        if (oldest == count)
            break;
        const LogFileId day = files[oldest].id;
        for (size_t i = 0; i < count; ++i) {
            if (!remove[i] && SameDay(files[i].id, day)) {
                remove[i] = true;
                total -= files[i].bytes;
                ++marked;
            }
        }
    }
    return marked;
}

void BuildCapNoticeN(uint32_t lines, char* out, size_t size)
{
    TextCopyN(out, size, "Log file: ");
    AppendCountN(lines, " line", " lines", out, size);
    TextAppendN(out, size, " not written (today's cap)");
}

void FormatIsoTimeN(const LogClock& clock, int offsetMinutes, char* out, size_t size)
{
    TextCopyN(out, size, "");
    AppendIsoDate(clock.year, clock.month, clock.day, out, size);
    TextAppendN(out, size, "T");
    AppendClockTimeN(clock, out, size);
    // Zero offset is "+00:00": the ISO form keeps "-00:00" for an unknown one.
    TextAppendN(out, size, offsetMinutes < 0 ? "-" : "+");
    const uint32_t magnitude = offsetMinutes < 0 ? 0u - (uint32_t)offsetMinutes : offsetMinutes;
    AppendDecimalPaddedN((int)(magnitude / 60), 2, out, size);
    TextAppendN(out, size, ":");
    AppendDecimalPaddedN((int)(magnitude % 60), 2, out, size);
}

size_t BuildFileLine(const char* isoTime, const char* logLine, char* out, size_t size)
{
    if (size < 3) {
        TextCopyN(out, size, "");
        return 0;
    }
    // The text is built two bytes short, so the CR LF always has its room.
    TextCopyN(out, size - 2, isoTime);
    TextAppendN(out, size - 2, " ");
    const size_t n = TextAppendN(out, size - 2, logLine);
    out[n] = '\r';
    out[n + 1] = '\n';
    out[n + 2] = '\0';
    return n + 2;
}
