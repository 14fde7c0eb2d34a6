// The end-to-end driver: starts the built harbinel.exe and works it from the
// outside as a user and a scanner would, through window messages, the
// registry key it keeps and TCP callers on loopback.
#ifndef HARBINEL_E2E_DRIVER_H
#define HARBINEL_E2E_DRIVER_H

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include "resource.h"

#include <functional>
#include <string>
#include <vector>

namespace e2e {

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

// Default deadline for anything the program does in reaction to a message.
const DWORD kDeadlineMs = 5000;

// Pumps this thread's messages until `done` holds or `timeoutMs` passes;
// returns whether it held. The condition is checked first, then at least
// every 10 ms.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = kDeadlineMs);

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

  private:
    HANDLE process_ = NULL;
    DWORD pid_ = 0;
};

// The main window of the running instance (any process), or NULL.
HWND FindMainWindow();
// Ends any harbinel.exe left running by an earlier test: finds it through
// its main window and terminates that process by its id.
void KillLeftovers();

// ---- Commands and keys ----------------------------------------------------

// Sends a command and waits for it to be handled. Do not use for commands
// that open a modal window: SendMessage would block until it closes.
void SendCommand(HWND main, UINT command);
// Posts a command and returns at once.
void PostCommand(HWND main, UINT command);
// Posts Ctrl down, the letter down and up, then Ctrl up, to `target` (the
// program's loop watches them whatever window they are posted to).
void PostCtrlShortcut(HWND target, char letter);

// ---- What the window shows ------------------------------------------------

// Lines longer than this are given as that many kUnreadChar characters: the
// driver measures them but cannot read them under Wine.
const LRESULT kLongestReadableLine = 511;
// The longest line the log can hold: one read of a caller's data.
const size_t kLongestLogLine = 2048;
const wchar_t kUnreadChar = 0xFFFD;
// The log's lines from index `first` on (all of them by default).
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
// Index of the first line equal to `line` at or after `from`, or -1.
int FindLine(const std::vector<std::wstring>& lines, const std::wstring& line, size_t from = 0);
int CountLines(const std::vector<std::wstring>& lines, const std::wstring& line);
// The log as one text for failure messages.
std::string Dump(const std::vector<std::wstring>& lines);
std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);

// A top-level window of process `pid` whose title is `title`, waited for.
HWND WaitForProcessWindow(DWORD pid, const std::wstring& title, DWORD timeoutMs = kDeadlineMs);
// A top-level window owned by `owner` whose title is `title`, waited for.
HWND WaitForOwnedWindow(HWND owner, const std::wstring& title, DWORD timeoutMs = kDeadlineMs);
// Waits until `window` is gone.
bool WaitForWindowGone(HWND window, DWORD timeoutMs = kDeadlineMs);
std::wstring WindowTitle(HWND window);

// The whole content of a file; empty when it cannot be opened, which
// `exists`, when given, tells apart from an empty file.
std::string ReadFileBytes(const std::wstring& path, bool* exists = nullptr);

// ---- The settings key -----------------------------------------------------

// HKCU\SOFTWARE\Ferrowind\Harbinel
extern const wchar_t kSettingsKey[];

void DeleteSettings();
// Writes "Count" and "Port0".. as DWORDs.
void WritePorts(const std::vector<int>& ports);
void WriteDword(const wchar_t* name, DWORD value);
// A one-byte REG_BINARY value: the switches ("Disconnnect", "Connected",
// "OnTop") and "MessageType", which the program reads as one byte.
void WriteSwitch(const wchar_t* name, BYTE value);
// REG_SZ written from bytes (no terminating zero needed in `text`).
void WriteText(const wchar_t* name, const std::string& text);

struct RegValue {
    bool exists = false;
    DWORD type = 0;
    std::vector<BYTE> data;
    DWORD AsDword() const; // 0 unless a 4-byte value
};
RegValue ReadValue(const wchar_t* name);
bool KeyExists(HKEY root, const wchar_t* key);
bool SettingsKeyExists();

// ---- TCP on loopback ------------------------------------------------------

// Starts Winsock in the test process (once).
void EnsureWinsock();
// Ports free right now on all local addresses: bound to port 0 together
// (so they differ) and released.
std::vector<int> FreePorts(size_t count);
int FreePort();

// A socket that holds a port the way another program would (bound on all
// addresses and listening).
class PortHolder {
  public:
    explicit PortHolder(int port);
    ~PortHolder();
    bool ok() const
    {
        return sock_ != INVALID_SOCKET;
    }

  private:
    SOCKET sock_ = INVALID_SOCKET;
};

// A scanner's connection to 127.0.0.1.
class Caller {
  public:
    Caller() = default;
    ~Caller();
    Caller(const Caller&) = delete;
    Caller& operator=(const Caller&) = delete;

    // Connects with a deadline; false on failure.
    bool Connect(int port, DWORD timeoutMs = kDeadlineMs);
    // Connects from the loopback address `from` (e.g. "127.0.0.2"), so that
    // callers can differ by address too; NULL lets the system choose.
    bool ConnectFrom(const char* from, int port, DWORD timeoutMs = kDeadlineMs);
    // Sends all bytes (blocking); false on failure.
    bool Send(const std::string& bytes);
    // Receives until the peer ends the stream or the deadline passes.
    // `ended` says whether end of stream (or a reset) came.
    std::string ReceiveAll(DWORD timeoutMs, bool* ended);
    // Waits up to `timeoutMs` for at least one byte or end of stream; returns
    // what came (empty and ended=true on end of stream).
    std::string ReceiveSome(DWORD timeoutMs, bool* ended);
    // Ends the sending direction (FIN) and keeps receiving possible.
    void HalfClose();
    // Closes with an abortive reset (linger 0).
    void Reset();
    // Orderly close.
    void Close();
    // The caller's own port.
    int LocalPort() const;
    bool connected() const
    {
        return sock_ != INVALID_SOCKET;
    }

  private:
    SOCKET sock_ = INVALID_SOCKET;
};

// The default warning text, without its CR LF.
extern const char kDefaultWarning[];

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

    HWND main_ = NULL;
    Program program_;
    bool exited_ = false;
};

} // namespace e2e

#endif
