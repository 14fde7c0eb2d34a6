// The event log: the bounded log list, the connection lines, the log list's
// own procedure with its menu, saving and clearing.
#ifndef HARBINEL_LOG_H
#define HARBINEL_LOG_H

#include "../app/appstate.h"
#include "../pure/scanrecord.h"

// The view keeps the newest twelve lines in sight after every addition.
const int kVisibleLines = 12;

// The index that names no line: line 0 is a line like any other.
const int kNoLine = -1;

// Appends a line (copied) with item data 0 and returns its index; returns
// kNoLine when the list had no room even after dropping every older line.
int AddLogLine(const char* text);
// A scan's lines go in as one: the view is moved to the newest lines once,
// at the end, rather than after every line. Batches nest.
void BeginLogBatch();
void EndLogBatch();
// Scrolls so that the newest twelve lines are in view.
void ShowNewestLines(HWND list);

// The line a caller's name goes under carries a tag of its own as its item
// data until its lookup starts, then the lookup's handle: lines move when
// older ones go or answers are inserted above them, their item data does
// not. 0 is no line.
typedef ULONG_PTR LineTag;

// A scan's lines: "Scan detected" (or its trusted form), the address line,
// the trojans known to use its port, and the timestamp line; a sweep's line
// and its timestamp. Returns the tag of the line its caller's name goes
// under, 0 when there is none (a caller gone before its accept) or the line
// was dropped.
LineTag LogScan(const ScanRecord& record);
// A line with the timestamp line under it; returns the line's tag, or 0
// when it was dropped.
LineTag LogWithTimestamp(const char* line);

// The day's log file. Append writes one line as it enters the log; At does
// it for a given moment (the day decides the file). Flush pushes what was
// written to the disk; Close ends the file, at exit or when the folder changes.
void LogFileAppend(const char* line);
void LogFileAppendAt(const char* line, const SYSTEMTIME& now, int offsetMinutes, DWORD tick);
void LogFileFlush();
void LogFileClose();
// The local time now in ISO 8601 with its offset, "2026-12-08T14:24:08+01:00".
void LocalIsoTime(char (&out)[kIsoTimeSize]);
// Logs "Log file error: " and the reason for a system error code; or, for
// kLogFileHeld, that a day's file held by another program was passed over.
const LPARAM kLogFileHeld = 1;
void ReportLogFileError(DWORD code, LPARAM kind = 0);
// The folder the files go to: the setting, or when it is empty the user's
// local application data; folders that are missing are made.
bool LogFolderPath(const char* setting, char (&folder)[MAX_PATH]);

// The caller's name under the scan lines that wait for it (lognames.cpp).
// Tags the line just added at index with a new line tag and returns it; 0
// for kNoLine.
LineTag TagNewLine(int index);
// Hands the line tagged `tag` over to the lookup: its item data becomes the
// lookup's handle. False when the line is no longer in the window.
bool TagLineForLookup(LineTag tag, HANDLE lookup);
// Puts an RDNS line under the line tagged `tag` while the window still
// shows it. The day's file gets the line in any case, naming the caller,
// since there it comes later than its scan.
void InsertRdnsLine(LineTag tag, const char* line, const NetAddress& address);
// Puts the answer under every line tagged with lookup, newest first, until
// `tagged` lines have it; the day's file gets it once for each of the
// `waiting` scans, whether their lines are still shown or not.
void AnswerTaggedLines(HANDLE lookup, int tagged, int waiting, const char* line,
                       const NetAddress& address);

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
