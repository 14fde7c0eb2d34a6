// The event log: the bounded log list, the connection lines, the log list's
// own procedure with its menu, saving and clearing.
#ifndef HARBINEL_LOG_H
#define HARBINEL_LOG_H

#include "../app/appstate.h"

// The view keeps the newest twelve lines in sight after every addition.
const int kVisibleLines = 12;

// Appends a line (copied) with item data 0 and returns its index; returns 0
// when the list had no room even after dropping every older line.
int AddLogLine(const char* text);
// Scrolls so that the newest twelve lines are in view.
void ShowNewestLines(HWND list);

// The address line (prefix, caller, " -> ", the local address it called and
// the port) and the timestamp line; returns the address line's index. The
// local address, when asked for, comes back in calledOut.
int LogConnection(SocketNode* node, const sockaddr_in& caller, const char* prefix,
                  in_addr* calledOut = NULL);
// The same two lines for a caller that left before it could be accepted:
// its address is unknown, and so is the local address it called.
void LogGoneCaller(int32_t port, const char* prefix);
// The same two lines for a caller known only from its packets, with the
// local address and port it called.
int LogCallerAt(const sockaddr_in& caller, const sockaddr_in& local, const char* prefix);
// A line with the timestamp line under it; returns the line's index, or 0
// when it was dropped.
int LogWithTimestamp(const char* line);

// The day's log file. Append writes one line as it enters the log; At does
// it for a given moment (the day decides the file). Flush pushes what was
// written to the disk; Close ends the file, at exit or when the folder changes.
void LogFileAppend(const char* line);
void LogFileAppendAt(const char* line, const SYSTEMTIME& now, int offsetMinutes, DWORD tick);
void LogFileFlush();
void LogFileClose();
// The local time now in ISO 8601 with its offset, "2026-12-08T14:24:08+01:00".
void LocalIsoTime(char (&out)[kIsoTimeSize]);
// Logs "Log file error: " and the reason for a system error code.
void ReportLogFileError(DWORD code);
// The folder the files go to: the setting, or when it is empty the user's
// local application data; folders that are missing are made.
bool LogFolderPath(const char* setting, char (&folder)[MAX_PATH]);

// Widens the list's sideways scroll to a line's width, so long lines can be
// read whole.
void FitLineWidth(HWND list, const char* text);

LRESULT CALLBACK LogListProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void SaveLog(HWND list);
void ClearLog(HWND list);
void CopyLog(HWND list);
// Writes every line of the list to path as CR LF lines. On failure it logs
// "Save error: " and the reason, leaves no file of its own behind and
// returns false; an earlier file under that name stays as it was.
bool WriteLogFile(HWND list, const char* path);

#endif
