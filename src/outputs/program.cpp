// The output that runs a program of the user's for each scan: the command
// line filled in from the scan, started hidden and straight by CreateProcess
// (no shell, so nothing a caller sends can start a second command), watched
// from the half-second tick and never waited for on the window's thread.
#include "../pure/countnotice.h"
#include "outputs.h"

#include "../log/log.h"
#include "../pure/decimal.h"
#include "../pure/errortext.h"
#include "../pure/socketlist.h"
#include "../pure/text.h"

// A program still running this long is no longer watched.
static const DWORD kProgramWatchMs = 60000;
// The counted lines and the error line come at most once a minute.
static const DWORD kProgramLogMs = 60000;

static void ReportProgramError(const char* reason)
{
    ProgramRunner& runner = AppState.Program;
    const DWORD now = GetTickCount();
    if (runner.errorLogged && now - runner.errorTick < kProgramLogMs)
        return;
    runner.errorLogged = 1;
    runner.errorTick = now;
    char line[320];
    TextCopy(line, "Program error: ");
    TextAppend(line, reason);
    ReportError(line);
}

// The system's reason for a failed start: the file table's words where it
// has them, the system's own text otherwise.
static void ReportSystemError(DWORD code)
{
    const char* known = FileErrorText(code);
    if (lstrcmpA(known, "Unknown error") != 0) {
        ReportProgramError(known);
        return;
    }
    char text[256];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                  code, 0, text, sizeof text, NULL);
    // The system's text ends in a full stop and a line break, which a log
    // line does without.
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                          text[length - 1] == ' ' || text[length - 1] == '.'))
        --length;
    if (length == 0) {
        TextCopy(text, "Unknown error ");
        AppendDecimal((int32_t)code, text);
    } else {
        text[length] = '\0';
    }
    ReportProgramError(text);
}

// "Program: " and the count, then the rest, when the count is not 0 and the
// last such line is a minute old (or there was none).
static void ReportCounted(CountNotice& counted, const char* singular, const char* plural,
                          const char* rest, DWORD now)
{
    uint32_t count = CountNoticeTake(&counted, now, kProgramLogMs);
    if (count == 0)
        return;
    char line[128];
    TextCopy(line, "Program: ");
    AppendCountN(count, singular, plural, line, sizeof line);
    TextAppend(line, rest);
    AddLogLine(line);
}

// The folder of the program a line starts, for its current folder: the one
// its name gives, or the one the system's search finds it in.
static bool ProgramFolder(const char* line, char (&folder)[MAX_PATH])
{
    char program[MAX_PATH];
    CommandProgram(line, program);
    char* name = NULL;
    DWORD length = 0;
    bool hasFolder = false;
    for (const char* p = program; *p != '\0'; ++p)
        hasFolder = hasFolder || *p == '\\' || *p == '/' || *p == ':';
    if (hasFolder)
        length = GetFullPathNameA(program, MAX_PATH, folder, &name);
    else
        length = SearchPathA(NULL, program, ".exe", MAX_PATH, folder, &name);
    if (length == 0 || length >= MAX_PATH || name == NULL)
        return false;
    *name = '\0';
    return true;
}

// Starts a line in a free slot; a failure is logged and leaves it free.
static void StartProgram(ProgramSlot& slot, char* line)
{
    char folder[MAX_PATH];
    const bool inFolder = ProgramFolder(line, folder);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process = {};
    // No handles are inherited: the listening sockets stay the program's.
    if (!CreateProcessA(NULL, line, NULL, NULL, FALSE, CREATE_NO_WINDOW, NULL,
                        inFolder ? folder : NULL, &startup, &process)) {
        ReportSystemError(GetLastError());
        return;
    }
    CloseHandle(process.hThread);
    slot.process = process.hProcess;
    slot.started = GetTickCount();
}

static ProgramSlot* FreeSlot()
{
    for (int i = 0; i < kProgramSlots; ++i)
        if (AppState.Program.running[i].process == NULL)
            return &AppState.Program.running[i];
    return NULL;
}

static void StartQueued()
{
    ProgramRunner& runner = AppState.Program;
    ProgramSlot* slot = NULL;
    while (runner.queueCount > 0 && (slot = FreeSlot()) != NULL) {
        char* line = runner.queued[runner.queueHead];
        runner.queued[runner.queueHead] = NULL;
        runner.queueHead = (runner.queueHead + 1) % kProgramQueue;
        --runner.queueCount;
        StartProgram(*slot, line);
        BlockFree(line);
    }
}

// Keeps a copy of the line until a slot is free; a full queue drops it.
static void QueueLine(const char* line)
{
    ProgramRunner& runner = AppState.Program;
    if (runner.queueCount >= kProgramQueue) {
        CountNoticeAdd(&runner.dropped, 1);
        ReportCounted(runner.dropped, " run", " runs", " dropped", GetTickCount());
        return;
    }
    const size_t size = TextLength(line) + 1;
    char* copy = (char*)BlockAlloc(size, false);
    if (copy == NULL) {
        ReportSystemError(ERROR_NOT_ENOUGH_MEMORY);
        return;
    }
    TextCopyN(copy, size, line);
    runner.queued[(runner.queueHead + runner.queueCount) % kProgramQueue] = copy;
    ++runner.queueCount;
}

static const char* ExpansionError(CommandExpansion result)
{
    switch (result) {
    case kCommandTooLong:
        return "the command line would be longer than Windows allows";
    case kCommandNamedByScan:
        return "a placeholder in the program's name";
    case kCommandNoProgram:
        return "the command line names no program";
    case kCommandReady:
        break;
    }
    return NULL;
}

void ProgramScanNamed(const ScanRecord& record, const char* rdns)
{
    if (record.trusted || AppState.RunOnScan[0] == '\0' || AppState.Program.stopped)
        return;
    // The balloons' minute per caller: a caller that scans on and on starts
    // one program a minute, not one per port.
    if (!BalloonNoteScan(AppState.ProgramCallers, record.caller, GetTickCount()).show)
        return;
    char* line = (char*)BlockAlloc(kCommandLineSize, false);
    if (line == NULL) {
        ReportSystemError(ERROR_NOT_ENOUGH_MEMORY);
        return;
    }
    const CommandExpansion result =
        ExpandCommandLineN(AppState.RunOnScan, record, rdns, line, kCommandLineSize);
    ProgramSlot* slot = NULL;
    if (result != kCommandReady)
        ReportProgramError(ExpansionError(result));
    else if (AppState.Program.queueCount == 0 && (slot = FreeSlot()) != NULL)
        StartProgram(*slot, line);
    else
        QueueLine(line);
    BlockFree(line);
}

void ProgramTick()
{
    ProgramRunner& runner = AppState.Program;
    const DWORD now = GetTickCount();
    for (int i = 0; i < kProgramSlots; ++i) {
        ProgramSlot& slot = runner.running[i];
        if (slot.process == NULL)
            continue;
        const DWORD state = WaitForSingleObject(slot.process, 0);
        const bool overdue = now - slot.started >= kProgramWatchMs;
        if (state == WAIT_TIMEOUT && !overdue)
            continue;
        if (state == WAIT_TIMEOUT)
            CountNoticeAdd(&runner.leftAlone, 1);
        CloseHandle(slot.process);
        slot.process = NULL;
    }
    StartQueued();
    ReportCounted(runner.leftAlone, "", "", " still running after 60 s, left alone", now);
    ReportCounted(runner.dropped, " run", " runs", " dropped", now);
}

void ProgramStart()
{
    AppState.Program.stopped = 0;
}

void ProgramStop()
{
    ProgramRunner& runner = AppState.Program;
    runner.stopped = 1;
    for (int i = 0; i < kProgramSlots; ++i) {
        if (runner.running[i].process != NULL)
            CloseHandle(runner.running[i].process);
        runner.running[i].process = NULL;
    }
    const int waiting = runner.queueCount;
    while (runner.queueCount > 0) {
        BlockFree(runner.queued[runner.queueHead]);
        runner.queued[runner.queueHead] = NULL;
        runner.queueHead = (runner.queueHead + 1) % kProgramQueue;
        --runner.queueCount;
    }
    if (waiting == 0)
        return;
    char line[64];
    TextCopy(line, "Program: ");
    AppendCountN((uint32_t)waiting, " run", " runs", line, sizeof line);
    TextAppend(line, " not started");
    AddLogLine(line);
}
