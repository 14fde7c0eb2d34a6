// The output that runs a program of the user's for each scan: the command
// line filled in from the scan with inert values, built in UTF-16 and
// started hidden by CreateProcessW (a batch file through cmd.exe, which the
// values give nothing to read), watched from the half-second tick and never
// waited for on the window's thread. Only a proven caller runs it, unless
// the user asked for every record.
#include "../pure/countnotice.h"
#include "outputs.h"

#include "../log/log.h"
#include "../pure/decimal.h"
#include "../pure/errortext.h"
#include "../pure/linetext.h"
#include "../pure/socketlist.h"
#include "../pure/text.h"

// A program's name in the log: a path at four characters a byte at most.
static const size_t kEscapedPathSize = MAX_PATH * 4 + 1;

// A program still running this long is no longer watched.
static const DWORD kProgramWatchMs = 60000;
// The counted lines and the error line come at most once a minute.
static const DWORD kProgramLogMs = 60000;

// "Program error: ", the program's name and ": " when one is given, and the
// reason.
static void ReportProgramError(const char* reason, const char* program = NULL)
{
    ProgramRunner& runner = AppState.Program;
    const DWORD now = GetTickCount();
    if (runner.errorLogged && now - runner.errorTick < kProgramLogMs)
        return;
    runner.errorLogged = 1;
    runner.errorTick = now;
    char line[320 + kEscapedPathSize];
    TextCopy(line, "Program error: ");
    if (program != NULL && program[0] != '\0') {
        TextAppend(line, program);
        TextAppend(line, ": ");
    }
    TextAppend(line, reason);
    ReportError(line);
}

// The system's reason for a failed start: the file table's words where it
// has them, the system's own text otherwise.
static void ReportSystemError(DWORD code, const char* program = NULL)
{
    const char* known = FileErrorText(code);
    if (lstrcmpA(known, "Unknown error") != 0) {
        ReportProgramError(known, program);
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
    ReportProgramError(text, program);
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

// The program a line starts, as CreateProcess reads its name.
static void LineProgram(const wchar_t* line, wchar_t (&program)[MAX_PATH])
{
    char16_t line16[MAX_PATH];
    size_t n = 0;
    for (; n + 1 < MAX_PATH && line[n] != L'\0'; ++n)
        line16[n] = (char16_t)line[n];
    line16[n] = u'\0';
    char16_t program16[MAX_PATH];
    CommandProgram(line16, program16);
    for (n = 0; n == 0 || program16[n - 1] != u'\0'; ++n)
        program[n] = (wchar_t)program16[n];
}

// The program's name for its error line. It comes from the user's template,
// never from a caller, but is escaped as any text the log shows.
static void ProgramNameText(const wchar_t* line, char (&out)[kEscapedPathSize])
{
    wchar_t program[MAX_PATH];
    LineProgram(line, program);
    char name[MAX_PATH * 2];
    int bytes = WideCharToMultiByte(CP_ACP, 0, program, -1, name, sizeof name, NULL, NULL);
    if (bytes <= 0)
        bytes = 1;
    name[bytes - 1] = '\0';
    EscapeCallerData(name, (size_t)(bytes - 1), out, sizeof out);
}

// The folder of the program a line starts, for its current folder: the one
// its name gives, or the one the system's search finds it in.
static bool ProgramFolder(const wchar_t* line, wchar_t (&folder)[MAX_PATH])
{
    wchar_t program[MAX_PATH];
    LineProgram(line, program);
    bool hasFolder = false;
    for (size_t n = 0; program[n] != L'\0'; ++n)
        hasFolder = hasFolder || program[n] == L'\\' || program[n] == L'/' || program[n] == L':';
    wchar_t* name = NULL;
    DWORD length = 0;
    if (hasFolder)
        length = GetFullPathNameW(program, MAX_PATH, folder, &name);
    else
        length = SearchPathW(NULL, program, L".exe", MAX_PATH, folder, &name);
    if (length == 0 || length >= MAX_PATH || name == NULL)
        return false;
    *name = L'\0';
    return true;
}

// Starts a line in a free slot; a failure is logged and leaves it free.
static void StartProgram(ProgramSlot& slot, wchar_t* line)
{
    wchar_t folder[MAX_PATH];
    const bool inFolder = ProgramFolder(line, folder);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process = {};
    // No handles are inherited: the listening sockets stay the program's.
    if (!CreateProcessW(NULL, line, NULL, NULL, FALSE, CREATE_NO_WINDOW, NULL,
                        inFolder ? folder : NULL, &startup, &process)) {
        const DWORD error = GetLastError();
        char name[kEscapedPathSize];
        ProgramNameText(line, name);
        ReportSystemError(error, name);
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
        wchar_t* line = runner.queued[runner.queueHead];
        runner.queued[runner.queueHead] = NULL;
        runner.queueHead = (runner.queueHead + 1) % kProgramQueue;
        --runner.queueCount;
        StartProgram(*slot, line);
        BlockFree(line);
    }
}

// Keeps the line (a block of its own) until a slot is free; a full queue
// drops it.
static void QueueLine(wchar_t* line)
{
    ProgramRunner& runner = AppState.Program;
    if (runner.queueCount >= kProgramQueue) {
        BlockFree(line);
        CountNoticeAdd(&runner.dropped, 1);
        ReportCounted(runner.dropped, " run", " runs", " dropped", GetTickCount());
        return;
    }
    runner.queued[(runner.queueHead + runner.queueCount) % kProgramQueue] = line;
    ++runner.queueCount;
}

// The template in UTF-16, read in the code page it was typed and stored in.
static void WidenTemplate(const char* text, char16_t (&out)[kCommandTemplateSize])
{
    wchar_t wide[kCommandTemplateSize];
    const int units = MultiByteToWideChar(CP_ACP, 0, text, -1, wide, kCommandTemplateSize);
    for (int i = 0; i < units; ++i)
        out[i] = (char16_t)wide[i];
    if (units <= 0)
        out[0] = u'\0';
}

CommandExpansion ProgramTemplateCheck(const char* commandTemplate)
{
    if (commandTemplate[0] == '\0')
        return kCommandReady;
    char16_t wide[kCommandTemplateSize];
    WidenTemplate(commandTemplate, wide);
    return CheckCommandTemplate(wide);
}

// The scan's line, expanded into a block of its own sized to it; null when
// it cannot be built, which the log has been told.
static wchar_t* BuildLine(const ScanRecord& record, const char* rdns)
{
    char16_t* expanded = (char16_t*)BlockAlloc(kCommandLineSize * sizeof(char16_t), false);
    if (expanded == NULL) {
        ReportSystemError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    char16_t commandTemplate[kCommandTemplateSize];
    WidenTemplate(AppState.RunOnScan, commandTemplate);
    const CommandExpansion result =
        ExpandCommandLineN(commandTemplate, record, rdns, expanded, kCommandLineSize);
    wchar_t* line = NULL;
    size_t length = 0;
    while (result == kCommandReady && expanded[length] != u'\0')
        ++length;
    if (result == kCommandTooLong)
        ReportProgramError(CommandProblemText(result));
    // A template that cannot be run was refused at start, in one line.
    else if (result == kCommandReady &&
             (line = (wchar_t*)BlockAlloc((length + 1) * sizeof(wchar_t), false)) == NULL)
        ReportSystemError(ERROR_NOT_ENOUGH_MEMORY);
    for (size_t i = 0; line != NULL && i <= length; ++i)
        line[i] = (wchar_t)expanded[i];
    BlockFree(expanded);
    return line;
}

void ProgramScanNamed(const ScanRecord& record, const char* rdns)
{
    if (record.trusted || AppState.RunOnScan[0] == '\0' || AppState.Program.stopped)
        return;
    // A SYN's source can be anyone's: a blocking script run for it would
    // block whoever was spoofed, the gateway say.
    if (!record.verified && !AppState.RunOnUnverified)
        return;
    // The balloons' minute per caller: a caller that scans on and on starts
    // one program a minute, not one per port.
    if (!BalloonNoteScan(AppState.ProgramCallers, record.caller, GetTickCount()).show)
        return;
    wchar_t* line = BuildLine(record, rdns);
    if (line == NULL)
        return;
    ProgramSlot* slot = NULL;
    if (AppState.Program.queueCount == 0 && (slot = FreeSlot()) != NULL) {
        StartProgram(*slot, line);
        BlockFree(line);
    } else {
        QueueLine(line);
    }
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
    const CommandExpansion check = ProgramTemplateCheck(AppState.RunOnScan);
    if (check == kCommandReady)
        return;
    char reason[160];
    TextCopy(reason, "RunOnScan refused: ");
    TextAppend(reason, CommandProblemText(check));
    ReportProgramError(reason);
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
