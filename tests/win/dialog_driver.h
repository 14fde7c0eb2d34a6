// Drives the program's modal windows from inside the test process, as a user
// does: the test's script runs in a fiber of its own that a thread timer
// resumes from whichever message loop is running (the test's pump, a dialog's,
// a menu's), so the script reads straight through while the dialogs it opened
// are still up. It waits for windows, types, clicks and presses keys.
#ifndef HARBINEL_TESTS_WIN_DIALOG_DRIVER_H
#define HARBINEL_TESTS_WIN_DIALOG_DRIVER_H

#include <winsock2.h>
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "support/support.h"

namespace dialogs {

// Reading windows (Text, ItemText, IsChecked, IsEnabled, ListBoxLinesA),
// typing and the save dialog's name box come from the support library.
using namespace support;

// Deadline of one step of a script (a window to appear, a key to be handled).
const DWORD kStepMs = 5000;

// Runs script to its end beside the thread's message loops and returns
// whether it ended within timeoutMs. A modal window the script leaves up
// (after a failed step, say) is closed and reported as a failure.
//
// Inside a script, never send a message that opens a modal window (the
// nested loop would run on the script's own stack and nothing would drive
// it): everything that can open one is posted, and Settle() or a wait
// follows.
bool RunScript(const std::function<void()>& script, DWORD timeoutMs = 30000);

// ---- Waiting, inside a script ---------------------------------------------

// Yields to the running message loop until done() holds or timeoutMs
// passes; returns whether it held.
bool WaitFor(const std::function<bool()>& done, DWORD timeoutMs = kStepMs);
// Yields until every message posted to this thread so far has been handled.
bool Settle();
// A visible, enabled top-level window of this thread with this owner and
// title (so not one hidden behind a dialog it opened); NULL with a test
// failure after timeoutMs.
HWND WaitForWindow(HWND owner, const std::string& title, DWORD timeoutMs = kStepMs);
// Waits until window is destroyed; a test failure when it stays.
bool WaitGone(HWND window, DWORD timeoutMs = kStepMs);
// The visible top-level windows of this thread that owner owns.
std::vector<HWND> OwnedWindows(HWND owner);
// A visible popup menu of this thread, waited for.
HWND WaitForMenu(DWORD timeoutMs = kStepMs);
// Whether a popup menu of this thread is showing right now.
bool MenuShowing();

// ---- Acting as the user ---------------------------------------------------

// Posts a command to the program's main window, as its menu bar does.
void PostCommand(UINT command);
// A mouse click on a button of a dialog (posted BM_CLICK), then settles:
// a dialog the click opens is up by then, one it closes is closing.
void Click(HWND dialog, int id);
// The title-bar close box (posted WM_SYSCOMMAND SC_CLOSE), then settles.
void CloseBox(HWND window);
// Presses and releases a key in the window that has the keyboard focus, or
// in target (posted, so the running modal loop's dialog manager or menu
// sees it), then settles.
void PressKey(UINT virtualKey, HWND target = NULL);
// Selects a line of a list box as a click on it does.
void SelectLine(HWND list, int index);

// ---- Reading what is shown ------------------------------------------------

std::vector<LRESULT> ListBoxData(HWND list);

struct ListViewColumn {
    std::string title;
    int width = 0;
};
std::vector<ListViewColumn> ListViewColumns(HWND view);
// Row by row, every column's text.
std::vector<std::vector<std::string>> ListViewRows(HWND view, int columns);

// ---- The common save dialog ------------------------------------------------

// Puts path into the name box and presses Save.
void SaveAs(HWND saveDialog, const std::string& path);
// The Yes/No question a dialog asks, owned by it, waited for.
HWND WaitForQuestion(HWND owner, DWORD timeoutMs = kStepMs);

} // namespace dialogs

#endif
