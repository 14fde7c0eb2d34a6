// Shared helpers of the Windows tests: a message pump with a deadline, the
// real main window started and ended in-process the way the program does,
// the settings key, loopback TCP callers and the log's lines.
#ifndef HARBINEL_TESTS_WIN_HARNESS_H
#define HARBINEL_TESTS_WIN_HARNESS_H

#include <winsock2.h>
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace harness {

// ---- Message pump -------------------------------------------------------

// Runs the thread's messages the way the program's loop does (Ctrl-key
// tracking, translate, dispatch) until done() holds or timeoutMs passes.
// Waits with MsgWaitForMultipleObjects in short slices, so predicates that
// poll sockets are looked at again even when no message comes. Returns
// whether done() held. A WM_QUIT met on the way is recorded (QuitSeen).
bool PumpUntil(std::function<bool()> done, DWORD timeoutMs);

// Dispatches every message already queued, without waiting for more.
void PumpPending();

// Whether a WM_QUIT has been pumped since the last StartApp, and its code.
bool QuitSeen();
WPARAM QuitCode();

// ---- The program in-process ----------------------------------------------

// ResetAppState(), then StartHarbinel(GetModuleHandle(NULL)): registers the
// class and creates the main window hidden, menus attached, as the program
// starts. Then runs the messages that creation posted (Always on top,
// Listen). Returns whether a main window exists.
bool StartApp();

// Ends the program through its real Exit command (WM_COMMAND 203 sent to
// the main window) and pumps until WM_QUIT came and the window is gone.
// Returns whether both happened within timeoutMs. Does nothing (true) when
// no main window exists.
bool ExitApp(DWORD timeoutMs = 5000);

// Whether the main window of the last start still exists.
bool AppRunning();

// ---- The settings key HKCU\SOFTWARE\Ferrowind\Harbinel ---------------------

extern const char kSettingsKeyPath[];

// Deletes the whole key (nothing stored), as before a first start.
void ClearSettings();
// Writes one value into the key, creating the key if needed. The string
// form writes exactly the bytes given, so a test decides about a terminator.
void SetSettingDword(const char* name, DWORD value);
void SetSettingBinary(const char* name, const void* data, DWORD size);
void SetSettingString(const char* name, const std::string& bytes);
// Each entry with its zero, then the empty entry that ends the list.
void SetSettingMultiString(const char* name, const std::vector<std::string>& entries);
void DeleteSetting(const char* name);

struct SettingValue {
    bool present = false;
    DWORD type = 0;
    std::vector<BYTE> data;
    DWORD AsDword() const; // the first four bytes (0 when shorter)
};
SettingValue ReadSetting(const char* name);
// Names of all values in the key, in the registry's order.
std::vector<std::string> SettingNames();

// ---- Loopback TCP ----------------------------------------------------------

// A port on 127.0.0.1 that nothing listens on right now (bound to port 0 and
// read back with getsockname, then released).
u_short PickFreePort();

// A caller of the program: connects to 127.0.0.1, sends, and collects what
// comes back while the pump runs. Holds its own reference on Winsock.
class LoopbackClient {
  public:
    LoopbackClient();
    ~LoopbackClient();
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    // Blocking connect (the backlog accepts it without the program's help),
    // then the socket is switched to non-blocking.
    bool Connect(u_short port);
    // Sends all bytes (blocking until they are queued).
    bool Send(const std::string& bytes);
    // Reads whatever has arrived, without waiting; notes an end of stream or
    // a reset. Returns whether anything changed.
    bool Poll();
    // Pumps the program's messages until the program has closed the
    // connection (end of stream or reset) or timeoutMs passes.
    bool WaitClosed(DWORD timeoutMs);
    // Pumps until at least n bytes have been received.
    bool WaitReceived(size_t n, DWORD timeoutMs);
    // Closes the client side (a hang-up as the program sees it).
    void Close();

    const std::string& Received() const
    {
        return received_;
    }
    bool PeerClosed() const
    {
        return peerClosed_;
    }
    u_short LocalPort() const
    {
        return localPort_;
    }
    SOCKET Socket() const
    {
        return socket_;
    }

  private:
    SOCKET socket_ = INVALID_SOCKET;
    std::string received_;
    bool peerClosed_ = false;
    u_short localPort_ = 0;
    bool started_ = false;
};

// Holds a TCP port bound on all local addresses (as another program
// would), so that the program's bind fails with "Port in use".
class PortHolder {
  public:
    PortHolder();
    ~PortHolder();
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;
    // Binds the port (0 picks one) and listens; returns whether it worked.
    bool Hold(u_short port = 0);
    void Release();
    u_short Port() const
    {
        return port_;
    }

  private:
    SOCKET socket_ = INVALID_SOCKET;
    u_short port_ = 0;
    bool started_ = false;
};

// ---- The log list ----------------------------------------------------------

std::vector<std::string> LogLines();
int LogCount();
std::string LogLine(int index);
LRESULT LogItemData(int index);
int LogTopIndex();
// Index of the first line equal to text (or starting with it when prefix
// is true), counted from from; -1 when there is none.
int FindLogLine(const std::string& text, bool prefix = false, int from = 0);
// Pumps until a line equal to text (or starting with it) is in the log.
bool WaitForLogLine(const std::string& text, bool prefix, DWORD timeoutMs);
// The whole log as one text, one line per row, for failure messages.
std::string LogDump();

// ---- Menus -----------------------------------------------------------------

// State (MFS_*) and type (MFT_*) of a menu item by command, and its text.
struct MenuItem {
    bool found = false;
    UINT state = 0;
    UINT type = 0;
    std::string text;
};
MenuItem GetMenuItemByCommand(HMENU menu, UINT command);

// ---- Controls and lists of the main window --------------------------------

// Appends a port to PortList as the Add Port dialog does (no socket yet).
void AddPortToList(int32_t port);
// The ports of PortList from the head.
std::vector<int32_t> PortListPorts();
int ConnectionCount();
std::string StatusText();
std::string ListenButtonText();

// ---- Fixture ---------------------------------------------------------------

// Each test gets a first start: the settings key is cleared, PrepareSettings
// may write values, the main window is started; TearDown ends it through
// Exit (if the test has not) and clears the key again.
class AppTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Runs between clearing the key and starting; write settings here.
    virtual void PrepareSettings()
    {
    }
};

} // namespace harness

#endif
