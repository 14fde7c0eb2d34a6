// The daily log files: their names, which of them a folder cap may delete and
// in what order, the ISO time that opens each line, and the line itself.
#ifndef HARBINEL_LOGFILES_H
#define HARBINEL_LOGFILES_H

#include <stddef.h>
#include <stdint.h>

#include "timetext.h"

// A file that reaches this size is closed and the day's next one opened.
const uint64_t kLogFileLimit = 16u << 20;
// The folder cap by default, in MiB, and the range a setting may give it.
// Earlier days are deleted while the folder's log files exceed it.
const uint32_t kLogFolderCapMiB = 256;
const uint32_t kMinLogFolderCapMiB = 4;
const uint32_t kMaxLogFolderCapMiB = 65536;
// Room for the longest ISO time, a five-digit year included.
const size_t kIsoTimeSize = 32;

// index 0 is the day's first file, "harbinel-YYYY-MM-DD.log"; then 1, 2...
struct LogFileId {
    int year;
    int month;
    int day;
    uint32_t index;
};

struct LogFileEntry {
    LogFileId id;
    uint64_t bytes;
};

// "harbinel-2026-12-08.log", or "harbinel-2026-12-08.3.log" for index 3.
// Indexes above 999999 are not recognised when read back.
void BuildLogFileNameN(int year, int month, int day, uint32_t index, char* out, size_t size);

// True only for names BuildLogFileName makes: four-digit year, month 01-12,
// day 01-31, index 1-999999 without leading zero. Letters match in either
// case, as the file system does; anything else is no log file of ours.
bool ParseLogFileName(const char* name, LogFileId* out);

// Negative when a is older than b: earlier date, then lower index.
int CompareLogFiles(const LogFileId& a, const LogFileId& b);

// The folder cap in bytes for a setting in MiB, kept within its range.
uint64_t LogFolderCapBytes(uint32_t mebibytes);
// A day's files stop at a quarter of the folder cap, so that a flood on one
// day can never fill the folder with that day alone.
uint64_t DailyLogCap(uint64_t folderCap);
// Whether a line of `length` bytes still goes into a day whose files hold
// dayBytes already.
bool FitsDailyCap(uint64_t dayBytes, uint64_t length, uint64_t folderCap);
// The bytes the files of `day` (its date; the index is not looked at) hold.
uint64_t DayTotal(const LogFileEntry* files, size_t count, const LogFileId& day);

// Marks in remove[] the files of the oldest days before `today`, a whole day
// at a time, until the rest total at most cap bytes. Files of today and of
// any later date are never marked: no day's writing deletes its own history.
// Returns how many files were marked.
size_t ChooseLogDaysToDelete(const LogFileEntry* files, size_t count, const LogFileId& today,
                             uint64_t cap, bool* remove);

// "Log file: 12 lines not written (today's cap)".
void BuildCapNoticeN(uint32_t lines, char* out, size_t size);
template <size_t N> inline void BuildCapNotice(uint32_t lines, char (&out)[N])
{
    BuildCapNoticeN(lines, out, N);
}

// Local time with its offset east of Greenwich: "2026-12-08T14:24:08+01:00",
// "-05:30", "+00:00". Overwrites out.
void FormatIsoTimeN(const LogClock& clock, int offsetMinutes, char* out, size_t size);

// isoTime, a space, logLine and CR LF into out (size bytes); the text is cut
// to keep the CR LF. Returns the length written; 0 when size < 3.
size_t BuildFileLine(const char* isoTime, const char* logLine, char* out, size_t size);

template <size_t N>
inline void BuildLogFileName(int year, int month, int day, uint32_t index, char (&out)[N])
{
    BuildLogFileNameN(year, month, day, index, out, N);
}
template <size_t N>
inline void FormatIsoTime(const LogClock& clock, int offsetMinutes, char (&out)[N])
{
    FormatIsoTimeN(clock, offsetMinutes, out, N);
}

#endif
