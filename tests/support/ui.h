// Reading and working windows as a user would, for windows of this process
// and of another one alike: finding top-level windows, their texts, buttons,
// list boxes, the status bar and the common save dialog; and the sentences
// a message table gives Event Viewer.
#ifndef HARBINEL_TESTS_SUPPORT_UI_H
#define HARBINEL_TESTS_SUPPORT_UI_H

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

namespace support {

// ---- Finding windows -------------------------------------------------------

// Class of dialogs and message boxes, and of popup menus.
extern const char kDialogClass[];
extern const char kMenuClass[];
std::string ClassName(HWND window);
// Every top-level window, in Z order; with a thread id, that thread's only.
std::vector<HWND> TopLevelWindows(DWORD threadId = 0);
// The Yes/No question owned by `owner` that is showing (the save dialog's
// "replace it?"), or NULL. Its title differs: Windows asks under "Confirm
// Save As", Wine 8 under "Error".
HWND FindQuestion(HWND owner);

// ---- Texts -------------------------------------------------------------------

// A window's text (WM_GETTEXT, with a deadline so that a hung program does
// not hang the test); empty when it did not answer.
std::wstring WindowTitle(HWND window);
// The same in the ANSI code page.
std::string Text(HWND window);
std::string ItemText(HWND dialog, int id);
// The simple text of a status bar. Its buffer has to be memory of the
// process that owns the bar, lent for the message, so this works across
// processes too.
std::wstring StatusBarText(HWND bar);

// ---- Commands ----------------------------------------------------------------

// Sends a command to the main window and waits, with a deadline, for it to be
// handled. Not for commands that open a modal window: the send would wait
// until it closes.
void SendCommand(HWND main, UINT command);
// Posts a command and returns at once.
void PostCommand(HWND main, UINT command);

// ---- Buttons and edits -------------------------------------------------------

bool IsChecked(HWND dialog, int id);
bool IsEnabled(HWND dialog, int id);
// A mouse click on a button: BM_CLICK posted to it (the control must exist).
void PostClick(HWND dialog, int id);
// Types characters into a control: one WM_CHAR each, sent, so that each has
// been taken (or dropped) when the next goes.
void Type(HWND control, const std::string& chars);

// ---- List boxes -----------------------------------------------------------------

// Lines of a list box with wide messages, which Wine marshals between
// processes, from line `first` on. Wine converts a line for another process
// through a buffer of 512 characters, which a longer line overruns in the
// program; such a line is only measured, and given as that many
// kUnreadChar characters (Windows has no such limit). A list that changes
// while it is read is read again, so that no line is seen twice or missed.
const LRESULT kLongestReadableLine = 511;
// The longest line the log can hold: one read of a caller's data.
const size_t kLongestLogLine = 2048;
const wchar_t kUnreadChar = 0xFFFD;
std::vector<std::wstring> ListBoxLinesW(HWND list, size_t first = 0);
// The lines of a list box of this process as the bytes it holds (in the
// code page, any length).
std::vector<std::string> ListBoxLinesA(HWND list);
std::string ListBoxLineA(HWND list, int index);
int ListBoxCount(HWND list);

// ---- The common save dialog ------------------------------------------------------

// The file name box of a save dialog (the edit inside its name combo box).
HWND SaveNameEdit(HWND saveDialog);
// Puts `path` into the file name box (which must be there); the caller then
// presses Save its own way.
void EnterSaveName(HWND saveDialog, const std::wstring& path);

// ---- The Event Log ----------------------------------------------------------

// The sentence of event `id` in module's message table with the strings
// put in, as Event Viewer shows it (without the final line break);
// "(no message N)" when the table has none for the id's low 16 bits N.
std::string EventSentence(HMODULE module, DWORD id, const std::vector<std::string>& strings);

} // namespace support

#endif
