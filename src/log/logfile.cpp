// The log file: every line that enters the log is also appended to the day's
// file, harbinel-YYYY-MM-DD.log, as it comes, so that scans outlive the
// program. Files are capped at 16 MiB each, a day's files at a quarter of
// the folder cap (256 MiB by default), and the folder cap deletes whole
// earlier days only when a new day's file starts: no flood erases history.
#include "log.h"
#include "../outputs/outputs.h"
#include "resource.h"

#include <shlobj.h>

#include "../pure/errortext.h"
#include "../pure/text.h"

static const DWORD kRetryMs = 60000;
static const DWORD kOffsetLifeMs = 60000;
// Lines the daily cap keeps out are told in the file once an hour at most.
static const uint32_t kCapNoticeMs = 60 * 60 * 1000;
// Files of one day tried in turn when another program holds them.
static const uint32_t kHeldFileTries = 16;
// The line telling that a held file was passed over, until the window's
// loop logs it.
static char heldLine[192];
// Log files a folder is searched for at most when it is tidied.
static const size_t kMaxFolderFiles = 4096;

static int DayNumber(const SYSTEMTIME& now)
{
    return now.wYear * 10000 + now.wMonth * 100 + now.wDay;
}

bool LogFolderPath(const char* setting, char (&folder)[MAX_PATH])
{
    if (setting[0] != '\0') {
        TextCopy(folder, setting);
    } else {
        char base[MAX_PATH];
        if (SHGetFolderPathA(NULL, CSIDL_LOCAL_APPDATA, NULL, 0, base) != S_OK)
            return false;
        TextCopy(folder, base);
        TextAppend(folder, "\\Harbinel\\Logs");
    }
    int made = SHCreateDirectoryExA(NULL, folder, NULL);
    if (made != ERROR_SUCCESS && made != ERROR_ALREADY_EXISTS && made != ERROR_FILE_EXISTS) {
        SetLastError((DWORD)made);
        return false;
    }
    return true;
}

static void FilePath(const char* folder, const char* name, char (&path)[MAX_PATH])
{
    TextCopy(path, folder);
    TextAppend(path, "\\");
    TextAppend(path, name);
}

static uint64_t FolderCap()
{
    return LogFolderCapBytes(AppState.LogFolderCap);
}

// Deletes the oldest earlier days' log files, a day at a time, while the
// folder's files take more than the cap. Today's files and other files in
// the folder are never touched.
static void TidyFolder(const char* folder, const LogFileId& today)
{
    LogFileEntry* files = (LogFileEntry*)BlockAlloc(kMaxFolderFiles * sizeof(LogFileEntry), false);
    bool* remove = (bool*)BlockAlloc(kMaxFolderFiles * sizeof(bool), true);
    char pattern[MAX_PATH];
    FilePath(folder, "harbinel-*.log", pattern);
    WIN32_FIND_DATAA found;
    HANDLE search = files && remove ? FindFirstFileA(pattern, &found) : INVALID_HANDLE_VALUE;
    size_t count = 0;
    if (search != INVALID_HANDLE_VALUE) {
        do {
            LogFileEntry& entry = files[count];
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                ParseLogFileName(found.cFileName, &entry.id)) {
                entry.bytes = (uint64_t)found.nFileSizeHigh << 32 | found.nFileSizeLow;
                ++count;
            }
        } while (count < kMaxFolderFiles && FindNextFileA(search, &found));
        FindClose(search);
    }
    if (ChooseLogDaysToDelete(files, count, today, FolderCap(), remove) > 0) {
        for (size_t i = 0; i < count; ++i) {
            if (!remove[i])
                continue;
            char name[64];
            char path[MAX_PATH];
            const LogFileId& id = files[i].id;
            BuildLogFileName(id.year, id.month, id.day, id.index, name);
            FilePath(folder, name, path);
            DeleteFileA(path);
        }
    }
    BlockFree(files);
    BlockFree(remove);
}

// The day's newest file and its size, so that a restart goes on in it, and
// what all the day's files hold.
static LogFileId NewestOfDay(const char* folder, const SYSTEMTIME& now, uint64_t* bytes,
                             uint64_t* dayBytes)
{
    LogFileId newest = {now.wYear, now.wMonth, now.wDay, 0};
    *bytes = 0;
    *dayBytes = 0;
    char name[64];
    char pattern[MAX_PATH];
    BuildLogFileName(now.wYear, now.wMonth, now.wDay, 0, name);
    name[TextLength(name) - 4] = '\0'; // "harbinel-YYYY-MM-DD" and any index
    TextAppend(name, "*.log");
    FilePath(folder, name, pattern);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return newest;
    do {
        LogFileId id;
        const uint64_t size = (uint64_t)found.nFileSizeHigh << 32 | found.nFileSizeLow;
        if (!ParseLogFileName(found.cFileName, &id) || id.year != now.wYear ||
            id.month != now.wMonth || id.day != now.wDay)
            continue;
        *dayBytes += size;
        if (id.index >= newest.index) {
            newest = id;
            *bytes = size;
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return newest;
}

// Writes text to the open file. A short write that the system calls a
// success is a full disk; a failed one keeps the error of that very call.
static DWORD WriteText(const char* text, size_t length)
{
    LogFileState& file = AppState.LogFile;
    DWORD written = 0;
    if (!WriteFile(file.handle, text, (DWORD)length, &written, NULL)) {
        DWORD error = GetLastError();
        return error != 0 ? error : ERROR_WRITE_FAULT;
    }
    if (written != length)
        return ERROR_HANDLE_DISK_FULL;
    file.bytes += length;
    file.dayBytes += length;
    file.dirty = 1;
    return 0;
}

// The lines the daily cap kept out, told in the file: once an hour at most
// while they go on, and whatever is left when the day's file ends.
static void WriteCapNotice(const SYSTEMTIME& now, int offsetMinutes, DWORD tick, bool dayEnds)
{
    LogFileState& file = AppState.LogFile;
    uint32_t lines = file.capped.pending;
    if (dayEnds)
        file.capped = CountNotice();
    else
        lines = CountNoticeTake(&file.capped, tick, kCapNoticeMs);
    if (lines == 0 || file.handle == INVALID_HANDLE_VALUE)
        return;
    LogClock clock = {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
    char iso[kIsoTimeSize];
    FormatIsoTime(clock, offsetMinutes, iso);
    char notice[96];
    BuildCapNotice(lines, notice);
    char text[sizeof notice + kIsoTimeSize + 4];
    // A notice that cannot be written is lost with the file: the next
    // line's write reports why.
    WriteText(text, BuildFileLine(iso, notice, text, sizeof text));
}

static void CloseHandleOnly()
{
    LogFileState& file = AppState.LogFile;
    if (file.handle != INVALID_HANDLE_VALUE)
        CloseHandle(file.handle);
    file.handle = INVALID_HANDLE_VALUE;
    file.dirty = 0;
}

static int CurrentOffset(DWORD tick);

void LogFileClose()
{
    if (AppState.LogFile.handle != INVALID_HANDLE_VALUE && AppState.LogFile.capped.pending > 0) {
        SYSTEMTIME now;
        GetLocalTime(&now);
        DWORD tick = GetTickCount();
        WriteCapNotice(now, CurrentOffset(tick), tick, true);
    }
    CloseHandleOnly();
}

// Opens the file for id in append mode, shared so that others can read it
// while the program writes. Returns the system's error, or 0.
static DWORD OpenLogFile(const char* folder, const LogFileId& id)
{
    char name[64];
    char path[MAX_PATH];
    BuildLogFileName(id.year, id.month, id.day, id.index, name);
    FilePath(folder, name, path);
    HANDLE handle =
        CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError();
    LARGE_INTEGER size;
    AppState.LogFile.bytes = GetFileSizeEx(handle, &size) ? (uint64_t)size.QuadPart : 0;
    AppState.LogFile.handle = handle;
    AppState.LogFile.id = id;
    return 0;
}

// Opens the file for id, or when another program holds it (a viewer that
// locks what it shows) the day's next free one, said once in the log.
static DWORD OpenFreeLogFile(const char* folder, LogFileId id)
{
    const LogFileId first = id;
    DWORD error = OpenLogFile(folder, id);
    for (uint32_t tries = 1; error == ERROR_SHARING_VIOLATION && tries < kHeldFileTries; ++tries) {
        ++id.index;
        error = OpenLogFile(folder, id);
    }
    if (error != 0 || id.index == first.index)
        return error;
    char held[64];
    char next[64];
    BuildLogFileName(first.year, first.month, first.day, first.index, held);
    BuildLogFileName(id.year, id.month, id.day, id.index, next);
    TextCopy(heldLine, "Log file: ");
    TextAppend(heldLine, held);
    TextAppend(heldLine, " is held by another program; going on in ");
    TextAppend(heldLine, next);
    // Posted, so that the line comes after the block being logged.
    PostMessageA(AppState.MainWindow, WM_LOGFILEERROR, 0, kLogFileHeld);
    return 0;
}

static bool OpenOnDay(const SYSTEMTIME& now)
{
    const LogFileState& file = AppState.LogFile;
    return file.handle != INVALID_HANDLE_VALUE && file.id.year == now.wYear &&
           file.id.month == now.wMonth && file.id.day == now.wDay;
}

// Makes sure the right file is open for a line of `length` bytes written
// now: the day's file, or its next one when this one is full. A new day's
// file is where the folder cap makes room, deleting only earlier days.
static DWORD PrepareFile(const SYSTEMTIME& now, int offsetMinutes, DWORD tick, size_t length)
{
    LogFileState& file = AppState.LogFile;
    bool sameDay = OpenOnDay(now);
    if (sameDay && file.bytes + length <= kLogFileLimit)
        return 0;
    // The day that ends tells in its own file what its cap kept out.
    if (!sameDay)
        WriteCapNotice(now, offsetMinutes, tick, true);
    char folder[MAX_PATH];
    if (!LogFolderPath(AppState.LogFolder, folder))
        return GetLastError();
    LogFileId id;
    uint64_t bytes = 0;
    uint64_t dayBytes = file.dayBytes;
    if (sameDay) {
        id = file.id;
        ++id.index;
    } else {
        id = NewestOfDay(folder, now, &bytes, &dayBytes);
        if (bytes > 0 && bytes + length > kLogFileLimit)
            ++id.index;
    }
    CloseHandleOnly();
    DWORD error = OpenFreeLogFile(folder, id);
    if (error != 0)
        return error;
    file.dayBytes = dayBytes;
    if (!sameDay)
        TidyFolder(folder, file.id);
    return 0;
}

// Minutes east of Greenwich, read again once a minute: a change of the
// time zone or of daylight time shows within the minute.
static int CurrentOffset(DWORD tick)
{
    LogFileState& file = AppState.LogFile;
    if (file.offsetTick == 0 || tick - file.offsetTick >= kOffsetLifeMs) {
        TIME_ZONE_INFORMATION zone;
        DWORD result = GetTimeZoneInformation(&zone);
        file.offset =
            result == TIME_ZONE_ID_INVALID
                ? 0
                : GmtOffsetMinutes(zone.Bias, zone.DaylightBias, result == TIME_ZONE_ID_DAYLIGHT);
        file.offsetTick = tick | 1; // never 0, which means "not read yet"
    }
    return file.offset;
}

void ReportLogFileError(DWORD code, LPARAM kind)
{
    if (kind == kLogFileHeld) {
        AddLogLine(heldLine);
        return;
    }
    char line[128];
    TextCopy(line, "Log file error: ");
    TextAppend(line, FileErrorText(code));
    ReportError(line);
}

void LogFileAppendAt(const char* line, const SYSTEMTIME& now, int offsetMinutes, DWORD tick)
{
    LogFileState& file = AppState.LogFile;
    if (!AppState.LogToFile)
        return;
    // After a failure the file is tried again a minute later, or at once
    // when the day has changed; the lines in between stay in the window.
    if (file.failed && tick - file.failedTick < kRetryMs && DayNumber(now) == file.failedDay)
        return;
    LogClock clock = {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
    char iso[kIsoTimeSize];
    FormatIsoTime(clock, offsetMinutes, iso);
    // The longest line, an escaped receive, with its time and CR LF.
    char text[kEscapeBufferSize + kIsoTimeSize + 4];
    size_t length = BuildFileLine(iso, line, text, sizeof text);
    // Past the day's cap the line stays in the window and the outputs, and
    // is only counted here; so is a line that would open a day already full.
    if (OpenOnDay(now) && !FitsDailyCap(file.dayBytes, length, FolderCap())) {
        CountNoticeAdd(&file.capped, 1);
        WriteCapNotice(now, offsetMinutes, tick, false);
        return;
    }
    DWORD error = PrepareFile(now, offsetMinutes, tick, length);
    if (error == 0 && !FitsDailyCap(file.dayBytes, length, FolderCap())) {
        CountNoticeAdd(&file.capped, 1);
        WriteCapNotice(now, offsetMinutes, tick, false);
        return;
    }
    if (error == 0)
        error = WriteText(text, length);
    if (error == 0) {
        file.failed = 0;
        return;
    }
    CloseHandleOnly();
    bool first = !file.failed;
    file.failed = 1;
    file.failedTick = tick;
    file.failedDay = DayNumber(now);
    // Posted, so that the line comes after the block being logged, never
    // inside it; it enters the window only, since the file is not writing.
    if (first)
        PostMessageA(AppState.MainWindow, WM_LOGFILEERROR, (WPARAM)error, 0);
}

void LocalIsoTime(char (&out)[kIsoTimeSize])
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    LogClock clock = {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
    FormatIsoTime(clock, CurrentOffset(GetTickCount()), out);
}

void LogFileAppend(const char* line)
{
    if (!AppState.LogToFile)
        return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    DWORD tick = GetTickCount();
    LogFileAppendAt(line, now, CurrentOffset(tick), tick);
}

void LogFileFlush()
{
    LogFileState& file = AppState.LogFile;
    if (file.dirty && file.handle != INVALID_HANDLE_VALUE)
        FlushFileBuffers(file.handle);
    file.dirty = 0;
}
