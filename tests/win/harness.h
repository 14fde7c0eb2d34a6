// Helpers of the Windows tests, which run the program's code in this
// process: the real main window started and ended the way the program does,
// the log read as the bytes the program holds, menus and the main window's
// lists. The pump, loopback callers, the settings key and window reading
// come from the test support library, which this namespace takes in.
#ifndef HARBINEL_TESTS_WIN_HARNESS_H
#define HARBINEL_TESTS_WIN_HARNESS_H

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pure/scanrecord.h"
#include "support/support.h"

namespace harness {

using namespace support;

// ---- The program in-process ----------------------------------------------

// ResetAppState(), then StartHarbinel(GetModuleHandle(NULL)): registers the
// class and creates the main window hidden, menus attached, as the program
// starts. Then runs the messages that creation posted (Always on top,
// Listen). From here on the pump hands each message on as the program's
// loop does (Ctrl-key tracking, translate, dispatch) and notes a WM_QUIT.
// Returns whether a main window exists.
bool StartApp();

// The first start's question, answered at once: what the last start asked
// ("" when nothing), and the answer the next ones give (IDNO unless set).
extern std::string firstRunAsked;
extern int firstRunAnswer;

// Ends the program through its real Exit command (WM_COMMAND 203 sent to
// the main window) and pumps until WM_QUIT came and the window is gone.
// Returns whether both happened within timeoutMs. Does nothing (true) when
// no main window exists.
bool ExitApp(DWORD timeoutMs = kDeadlineMs);

// Whether the main window of the last start still exists.
bool AppRunning();

// Whether a WM_QUIT has been pumped since the last StartApp, and its code.
bool QuitSeen();
WPARAM QuitCode();

// ---- The log list ----------------------------------------------------------

// The lines as the bytes the program holds, whatever their length.
std::vector<std::string> LogLines();
int LogCount();
std::string LogLine(int index);
LRESULT LogItemData(int index);
int LogTopIndex();
// Index of the first line equal to text (or starting with it when prefix
// is true), counted from from; -1 when there is none.
int FindLogLine(const std::string& text, bool prefix = false, int from = 0);
// Pumps until a line equal to text (or starting with it) is in the log.
bool WaitForLogLine(const std::string& text, bool prefix, DWORD timeoutMs = kDeadlineMs);
// The whole log as one text, one line per row, for failure messages.
std::string LogDump();

// The threads of this process, the program's workers among them.
int ThreadCount();

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

// Sends a command to the main window as its menus do, and returns once it
// has been handled; not for a command that opens a modal window.
void Command(UINT id);
// Appends a port to PortList as the Add Port dialog does (no socket yet).
void AddPortToList(int32_t port);
// The ports of PortList from the head.
std::vector<int32_t> PortListPorts();
// A scan of kind from 203.0.113.host (10.0.0.host when trusted is asked
// for) to 127.0.0.1:31337; a sweep covers ports 1-20.
ScanRecord Scan(ScanKind kind, int host, bool trustedCaller);
int ConnectionCount();
std::string StatusText();
std::string ListenButtonText();

// ---- Fixture ---------------------------------------------------------------

// Each test gets a first start: the settings key is deleted, PrepareSettings
// may write values, the main window is started; TearDown ends it through
// Exit (if the test has not) and deletes the key again.
class AppTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Runs between deleting the key and starting; write settings here.
    virtual void PrepareSettings()
    {
    }
};

} // namespace harness

#endif
