// The end-to-end driver: starts the built harbinel.exe and works it from the
// outside as a user and a scanner would, through window messages, the
// registry key it keeps and TCP callers on loopback. The pump, callers, the
// settings key and window reading come from the test support library, which
// this namespace takes in.
#ifndef HARBINEL_E2E_DRIVER_H
#define HARBINEL_E2E_DRIVER_H

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include "resource.h"
#include "support/support.h"

#include <functional>
#include <string>
#include <vector>

namespace e2e {

using namespace support;

// Command identifiers the program answers, from its resource header.
enum Command : UINT {
    kListen = IDC_LISTEN,
    kSaveLog = IDM_SAVELOG,
    kClearLog = IDM_CLEARLOG,
    kExit = IDM_EXIT,
    kPortSettings = IDM_PORTSETTINGS,
    kMessage = IDM_MESSAGE,
    kResetAlert = IDM_RESETALERT,
    kOnTop = IDM_ONTOP,
    kTrojanPorts = IDM_TROJANPORTS,
    kWebSite = IDM_WEBSITE,
    kAbout = IDM_ABOUT,
    kRestore = IDM_RESTORE,
};

// Control identifiers of the main window.
enum Control : int {
    kListenButton = IDC_LISTEN,
    kLogList = IDC_LOGLIST,
    kStatusBar = IDC_STATUSBAR,
};

// ---- The process ----------------------------------------------------------

// The Windows path of the program under test, from HARBINEL_EXE.
std::wstring ProgramPath();

// One started harbinel.exe. Closing the handles does not end the process.
class Program {
  public:
    Program() = default;
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // Starts the program under test. Returns false when it did not start.
    bool Start();
    // Starts another exe (an installed copy, the installer) with arguments.
    bool Start(const std::wstring& path, const std::wstring& arguments = std::wstring());
    // Makes the next Start run with WINEDEBUG set to `channels`; the program
    // prints them where this process's own debug output goes (see
    // WineStandardError).
    void SetWineDebug(const std::wstring& channels)
    {
        wineDebug_ = channels;
    }
    // Waits for the program's main window; returns it, or NULL.
    HWND WaitForWindow(DWORD timeoutMs = kDeadlineMs);
    // Waits for the process to end; returns false on timeout. Stores the exit
    // code when it ended.
    bool WaitForExit(DWORD timeoutMs, DWORD* exitCode);
    bool IsRunning() const;
    DWORD ProcessId() const
    {
        return pid_;
    }
    HANDLE Handle() const
    {
        return process_;
    }
    // Forcibly ends this process (cleanup after a failed test).
    void Kill();
    // Suspends or resumes every thread of the process, so that callers can
    // come and go while it does nothing; returns how many threads it reached.
    int Freeze(bool frozen);

  private:
    HANDLE process_ = NULL;
    DWORD pid_ = 0;
    std::wstring wineDebug_;
};

// Wine prints a process's debug channels on its Unix standard error, which
// the programs it starts inherit whatever handles they are given; wine-run.sh
// sends it to a file and names it in HARBINEL_WINE_OUTPUT. What that file
// holds so far; empty when it cannot be read.
std::string WineStandardError();

// The main window of the running instance (any process), or NULL.
HWND FindMainWindow();
// Ends any harbinel.exe left running by an earlier test: finds it through
// its main window and terminates that process by its id.
void KillLeftovers();

// ---- Commands and keys ----------------------------------------------------

// Posts Ctrl down, the letter down and up, then Ctrl up, to `target` (the
// program's loop watches them whatever window they are posted to).
void PostCtrlShortcut(HWND target, char letter);

// ---- What the window shows ------------------------------------------------

// The log's lines from index `first` on (all of them by default), read as
// ListBoxLinesW reads them: lines too long to read across processes come as
// kUnreadChar characters.
std::vector<std::wstring> LogLines(HWND main, size_t first = 0);
// The number of lines in the log: one message, cheap enough to poll while a
// long log grows.
int LogCount(HWND main);
// Text of a control (WM_GETTEXT), e.g. the Listen button.
std::wstring ControlText(HWND main, int controlId);
std::wstring ButtonText(HWND main);
std::wstring StatusText(HWND main);
bool IsShown(HWND window);
bool IsTopmost(HWND window);

using LogPredicate = std::function<bool(const std::vector<std::wstring>&)>;
// Waits until the log satisfies `pred`; returns whether it did. `last`, when
// given, receives the log as last read.
bool WaitForLog(HWND main, const LogPredicate& pred, DWORD timeoutMs = kDeadlineMs,
                std::vector<std::wstring>* last = nullptr);
// Waits until the log holds a line equal to `line`.
bool WaitForLogLine(HWND main, const std::wstring& line, DWORD timeoutMs = kDeadlineMs);

// A top-level window of process `pid` whose title is `title`, waited for.
HWND WaitForProcessWindow(DWORD pid, const std::wstring& title, DWORD timeoutMs = kDeadlineMs);
// A top-level window owned by `owner` whose title is `title`, waited for.
HWND WaitForOwnedWindow(HWND owner, const std::wstring& title, DWORD timeoutMs = kDeadlineMs);
// Waits until `window` is gone.
bool WaitForWindowGone(HWND window, DWORD timeoutMs = kDeadlineMs);

// A dialog owned by owner, once it is up: the window exists from the start
// of its creation, but it is shown only after its controls are made and it
// has initialised them. NULL, with a test failure, when it does not come.
HWND WaitForDialog(HWND owner, const wchar_t* title);

// The lines of a day's log file without their times. Each row must be an
// ISO time with its offset, a space, the line and CR LF; the first that is
// not is a failure naming it.
::testing::AssertionResult ReadLogFileLines(const std::string& file,
                                            std::vector<std::string>* lines);

// Starts Winsock for the rest of this process: the tests' own raw sockets
// (floods, lookups) need it, and no program shares this process.
void EnsureWinsock();

// ---- Fixture --------------------------------------------------------------

// Each test starts from a deleted settings key and no running instance;
// the test writes what it needs to the key, then calls StartProgram(). At
// the end the program is ended with Exit and must end with code 0.
class HarbinelTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the program and waits for its main window (fails the test
    // fatally when it does not come).
    void StartProgram();
    // Exit by command; expects exit code 0. Safe to call twice.
    void ExitProgram();
    // Start listening by command and wait until the button reads "Stop".
    void Listen();
    // Stores one free port with Disconnect immediately off, starts the
    // program and listens; returns the port. Its callers stay connected
    // until they hang up.
    int ListenOnOnePortKeepingCallers();
    // Posts a command that opens a dialog and waits until it is up.
    HWND OpenDialog(UINT command, const wchar_t* title);

    HWND main_ = NULL;
    Program program_;
    bool exited_ = false;
};

// A test whose program writes its day's log files into a folder of the
// test's own, which it then reads back.
class LogFolderTest : public HarbinelTest {
  protected:
    void SetUp() override;
    // The day's first file, as the program names it.
    std::string TodaysFile() const;
    TempFolder folder_;
};

} // namespace e2e

#endif
