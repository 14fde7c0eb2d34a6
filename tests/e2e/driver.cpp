// The end-to-end driver's workings: process control, cross-process window
// reads and the fixture, on top of the test support library.
#include "driver.h"

#include <stdlib.h>

#include <regex>
#include <tlhelp32.h>

#include "app/app.h" // kClassName

namespace e2e {

// ---- The process ----------------------------------------------------------

std::wstring ProgramPath()
{
    const wchar_t* path = _wgetenv(L"HARBINEL_EXE");
    return path != NULL ? std::wstring(path) : std::wstring();
}

Program::~Program()
{
    if (process_ != NULL)
        CloseHandle(process_);
}

bool Program::Start()
{
    return Start(ProgramPath());
}

bool Program::Start(const std::wstring& path, const std::wstring& arguments)
{
    if (path.empty())
        return false;
    std::wstring cmd = L"\"" + path + L"\"";
    if (!arguments.empty())
        cmd += L" " + arguments;
    std::vector<wchar_t> cmdline(cmd.begin(), cmd.end());
    cmdline.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    // A new Wine process takes WINEDEBUG from the environment it is given.
    wchar_t saved[256] = {};
    DWORD savedLength = GetEnvironmentVariableW(L"WINEDEBUG", saved, 256);
    if (!wineDebug_.empty())
        SetEnvironmentVariableW(L"WINEDEBUG", wineDebug_.c_str());
    BOOL started =
        CreateProcessW(path.c_str(), cmdline.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi);
    if (!wineDebug_.empty())
        SetEnvironmentVariableW(L"WINEDEBUG", savedLength > 0 && savedLength < 256 ? saved : NULL);
    if (!started)
        return false;
    CloseHandle(pi.hThread);
    if (process_ != NULL)
        CloseHandle(process_);
    process_ = pi.hProcess;
    pid_ = pi.dwProcessId;
    return true;
}

std::string WineStandardError()
{
    const wchar_t* path = _wgetenv(L"HARBINEL_WINE_OUTPUT");
    return path != NULL ? ReadFileBytes(std::wstring(path)) : std::string();
}

HWND Program::WaitForWindow(DWORD timeoutMs)
{
    HWND found = NULL;
    PumpUntil(
        [&] {
            HWND w = FindWindowA(kClassName, NULL);
            DWORD owner = 0;
            if (w != NULL)
                GetWindowThreadProcessId(w, &owner);
            // The window can be found while it is still being created; its
            // log list is the last control it makes.
            if (w != NULL && owner == pid_ && GetDlgItem(w, kLogList) != NULL)
                found = w;
            return found != NULL || !IsRunning();
        },
        timeoutMs);
    return found;
}

bool Program::WaitForExit(DWORD timeoutMs, DWORD* exitCode)
{
    if (process_ == NULL)
        return false;
    bool ended =
        PumpUntil([&] { return WaitForSingleObject(process_, 0) == WAIT_OBJECT_0; }, timeoutMs);
    if (ended && exitCode != NULL)
        GetExitCodeProcess(process_, exitCode);
    return ended;
}

bool Program::IsRunning() const
{
    return process_ != NULL && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

void Program::Kill()
{
    if (IsRunning()) {
        TerminateProcess(process_, 99);
        WaitForSingleObject(process_, 5000);
    }
}

int Program::Freeze(bool frozen)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    int done = 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != pid_)
            continue;
        HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID);
        if (thread == NULL)
            continue;
        if ((frozen ? SuspendThread(thread) : ResumeThread(thread)) != (DWORD)-1)
            ++done;
        CloseHandle(thread);
    }
    CloseHandle(snapshot);
    return done;
}

HWND FindMainWindow()
{
    return FindWindowA(kClassName, NULL);
}

void KillLeftovers()
{
    for (int round = 0; round < 5; ++round) {
        HWND w = FindMainWindow();
        if (w == NULL)
            return;
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        HANDLE p = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
        if (p == NULL)
            return;
        TerminateProcess(p, 99);
        WaitForSingleObject(p, 5000);
        CloseHandle(p);
        // The window of a terminated process goes with it, a moment later.
        PumpUntil([&] { return !IsWindow(w); }, 2000);
    }
}

// ---- Commands and keys ----------------------------------------------------

void PostCtrlShortcut(HWND target, char letter)
{
    const UINT ctrlScan = MapVirtualKeyW(VK_CONTROL, MAPVK_VK_TO_VSC);
    const UINT keyScan = MapVirtualKeyW((UINT)letter, MAPVK_VK_TO_VSC);
    const LPARAM down = 1;
    const LPARAM up = (LPARAM)(1u | 0xC0000000u);
    PostMessageW(target, WM_KEYDOWN, VK_CONTROL, down | ((LPARAM)ctrlScan << 16));
    PostMessageW(target, WM_KEYDOWN, (WPARAM)letter, down | ((LPARAM)keyScan << 16));
    PostMessageW(target, WM_KEYUP, (WPARAM)letter, up | ((LPARAM)keyScan << 16));
    PostMessageW(target, WM_KEYUP, VK_CONTROL, up | ((LPARAM)ctrlScan << 16));
}

// ---- What the window shows ------------------------------------------------

std::vector<std::wstring> LogLines(HWND main, size_t first)
{
    return ListBoxLinesW(GetDlgItem(main, kLogList), first);
}

int LogCount(HWND main)
{
    return ListBoxCount(GetDlgItem(main, kLogList));
}

std::wstring ControlText(HWND main, int controlId)
{
    HWND control = GetDlgItem(main, controlId);
    if (control == NULL)
        return L"<no control>";
    return WindowTitle(control);
}

std::wstring ButtonText(HWND main)
{
    return ControlText(main, kListenButton);
}

std::wstring StatusText(HWND main)
{
    // The bar's simple text, not the text of its first part.
    return StatusBarText(GetDlgItem(main, kStatusBar));
}

bool IsShown(HWND window)
{
    return (GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE) != 0;
}

bool IsTopmost(HWND window)
{
    return (GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
}

bool WaitForLog(HWND main, const LogPredicate& pred, DWORD timeoutMs,
                std::vector<std::wstring>* last)
{
    std::vector<std::wstring> lines;
    bool ok = PumpUntil(
        [&] {
            lines = LogLines(main);
            return pred(lines);
        },
        timeoutMs);
    if (last != nullptr)
        *last = lines;
    return ok;
}

bool WaitForLogLine(HWND main, const std::wstring& line, DWORD timeoutMs)
{
    return WaitForLog(
        main, [&](const std::vector<std::wstring>& l) { return FindLine(l, line) >= 0; },
        timeoutMs);
}

// Whether `window` belongs to process `pid` (any when 0), is owned by
// `owner` (any when NULL) and has the caption `title`. The caption is read
// as stored, without a message that a busy window would hold up.
static bool Matches(HWND window, DWORD pid, HWND owner, const std::wstring& title)
{
    DWORD owningPid = 0;
    GetWindowThreadProcessId(window, &owningPid);
    if ((pid != 0 && owningPid != pid) || (owner != NULL && GetWindow(window, GW_OWNER) != owner))
        return false;
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    return title == text;
}

static HWND WaitForWindow(DWORD pid, HWND owner, const std::wstring& title, DWORD timeoutMs)
{
    HWND found = NULL;
    PumpUntil(
        [&] {
            for (HWND w : TopLevelWindows())
                if (Matches(w, pid, owner, title)) {
                    found = w;
                    return true;
                }
            return false;
        },
        timeoutMs);
    return found;
}

HWND WaitForProcessWindow(DWORD pid, const std::wstring& title, DWORD timeoutMs)
{
    return WaitForWindow(pid, NULL, title, timeoutMs);
}

HWND WaitForOwnedWindow(HWND owner, const std::wstring& title, DWORD timeoutMs)
{
    return WaitForWindow(0, owner, title, timeoutMs);
}

bool WaitForWindowGone(HWND window, DWORD timeoutMs)
{
    return PumpUntil([&] { return !IsWindow(window); }, timeoutMs);
}

// ---- Winsock ---------------------------------------------------------------

void EnsureWinsock()
{
    static WinsockUser winsock;
}

// ---- Fixture --------------------------------------------------------------

void HarbinelTest::SetUp()
{
    KillLeftovers();
    DeleteSettings();
    ASSERT_FALSE(SettingsKeyExists());
    // A fresh key that has had its first start, whose question would wait
    // for an answer: a test of the very first start deletes it again.
    WriteSwitch(kValueFirstRunAsked, 0);
    EnsureWinsock();
}

void HarbinelTest::StartProgram()
{
    ASSERT_FALSE(ProgramPath().empty()) << "HARBINEL_EXE is not set";
    ASSERT_TRUE(program_.Start()) << "cannot start " << Narrow(ProgramPath());
    // A start that loads a hand-made key of 65,536 port values takes a
    // second or two, and a busy machine stretches that: a generous deadline,
    // which costs nothing when the window comes at once.
    main_ = program_.WaitForWindow(4 * kDeadlineMs);
    ASSERT_TRUE(main_ != NULL) << "no main window appeared";
    exited_ = false;
}

void HarbinelTest::ExitProgram()
{
    if (exited_ || !program_.IsRunning())
        return;
    exited_ = true;
    PostCommand(main_, kExit);
    DWORD code = 12345;
    bool ended = program_.WaitForExit(kDeadlineMs, &code);
    EXPECT_TRUE(ended) << "Exit did not end the program";
    if (ended) {
        EXPECT_EQ(code, 0u) << "exit code";
    }
}

HWND WaitForDialog(HWND owner, const wchar_t* title)
{
    HWND dialog = WaitForOwnedWindow(owner, title);
    EXPECT_TRUE(dialog != NULL) << "no dialog " << Narrow(title);
    if (dialog != NULL) {
        EXPECT_TRUE(PumpUntil([&] { return IsWindowVisible(dialog) && IsWindowEnabled(dialog); }))
            << Narrow(title) << " never came up";
    }
    return dialog;
}

HWND HarbinelTest::OpenDialog(UINT command, const wchar_t* title)
{
    PostCommand(main_, command);
    return WaitForDialog(main_, title);
}

::testing::AssertionResult ReadLogFileLines(const std::string& file,
                                            std::vector<std::string>* lines)
{
    const std::regex row(R"((\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d) (.*)\r)");
    lines->clear();
    size_t start = 0;
    for (size_t end; (end = file.find('\n', start)) != std::string::npos; start = end + 1) {
        std::smatch m;
        const std::string text = file.substr(start, end - start);
        if (!std::regex_match(text, m, row))
            return ::testing::AssertionFailure() << "not a log file row: " << text;
        lines->push_back(m[2]);
    }
    if (start != file.size())
        return ::testing::AssertionFailure() << "a line without its CR LF";
    return ::testing::AssertionSuccess();
}

void LogFolderTest::SetUp()
{
    HarbinelTest::SetUp();
    ASSERT_TRUE(folder_.Create("harbinel-e2e-logs-"));
}

std::string LogFolderTest::TodaysFile() const
{
    return folder_.Path(TodaysLogFileName());
}

void HarbinelTest::Listen()
{
    SendCommand(main_, kListen);
    ASSERT_TRUE(PumpUntil([&] { return ButtonText(main_) == kButtonStopW; }))
        << "button reads " << Narrow(ButtonText(main_));
}

int HarbinelTest::ListenOnOnePortKeepingCallers()
{
    const int port = FreePort();
    WritePorts({port});
    WriteSwitch(kValueDisconnect, 0);
    StartProgram();
    Listen();
    return port;
}

void HarbinelTest::TearDown()
{
    if (program_.IsRunning()) {
        // A modal window left up by a failed test would keep Exit waiting.
        ExitProgram();
        program_.Kill();
    }
    KillLeftovers();
    DeleteSettings();
}

} // namespace e2e
