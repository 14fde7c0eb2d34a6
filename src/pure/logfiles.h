// The daily log files: their names, which of them a folder cap may delete and
// in what order, the ISO time that opens each line, and the line itself.
#ifndef HARBINEL_LOGFILES_H
#define HARBINEL_LOGFILES_H

#include <stddef.h>
#include <stdint.h>

#include "timetext.h"

// A file that reaches this size is closed and the day's next one opened.
const uint64_t kLogFileLimit = 16u << 20;
// Oldest files are deleted while the folder's log files exceed this.
const uint64_t kLogFolderCap = 256u << 20;
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

// Marks in remove[] the oldest files to delete so that the rest total at most
// cap bytes. The newest file is never marked: it is the one being written.
// Returns how many were marked.
size_t ChooseLogFilesToDelete(const LogFileEntry* files, size_t count, uint64_t cap, bool* remove);

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
