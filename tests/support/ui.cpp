// Window reading and working shared by the two test layers. Every message
// that hands text across uses the wide form, which Wine marshals between
// processes; within one process it costs nothing extra.
#include "support/ui.h"

#include <commctrl.h>
#include <wchar.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "support/pump.h"
#include "support/texts.h"

namespace support {

namespace {

// The file name combo box of the common file dialogs (cmb13) and the plain
// file name edit of older templates (edt1).
const int kFileNameCombo = 0x47c;
const int kFileNameEdit = 0x480;

BOOL CALLBACK CollectWindow(HWND window, LPARAM list)
{
    ((std::vector<HWND>*)list)->push_back(window);
    return TRUE;
}

// One pass over a list box from line `first`.
std::vector<std::wstring> ReadListOnce(HWND list, size_t first)
{
    std::vector<std::wstring> lines;
    LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
    int rereads = 0;
    for (LRESULT i = (LRESULT)first; i < count; ++i) {
        LRESULT length = SendMessageW(list, LB_GETTEXTLEN, (WPARAM)i, 0);
        if (length == LB_ERR)
            break;
        if (length > kLongestReadableLine) {
            lines.emplace_back((size_t)length, kUnreadChar);
            continue;
        }
        // LB_GETTEXT takes no buffer size, and the line can change between
        // the two messages: a lookup's line inserted above moves every line
        // below it down one. So the buffer holds the longest line the log
        // can have, and a line whose length changed is measured and read
        // again.
        std::vector<wchar_t> text(kLongestLogLine + 1, 0);
        LRESULT got = SendMessageW(list, LB_GETTEXT, (WPARAM)i, (LPARAM)text.data());
        if (got == LB_ERR)
            break;
        if (got != length && ++rereads < 3) {
            --i;
            continue;
        }
        lines.emplace_back(text.data(), std::min((size_t)got, kLongestLogLine));
        rereads = 0;
    }
    return lines;
}

} // namespace

// ---- Finding windows -------------------------------------------------------

const char kDialogClass[] = "#32770";
const char kMenuClass[] = "#32768";

std::string ClassName(HWND window)
{
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

std::vector<HWND> TopLevelWindows(DWORD threadId)
{
    std::vector<HWND> windows;
    if (threadId != 0)
        EnumThreadWindows(threadId, CollectWindow, (LPARAM)&windows);
    else
        EnumWindows(CollectWindow, (LPARAM)&windows);
    return windows;
}

HWND FindQuestion(HWND owner)
{
    for (HWND w : TopLevelWindows())
        if (GetWindow(w, GW_OWNER) == owner && IsWindowVisible(w) && ClassName(w) == kDialogClass &&
            GetDlgItem(w, IDYES) != NULL)
            return w;
    return NULL;
}

// ---- Texts -------------------------------------------------------------------

std::wstring WindowTitle(HWND window)
{
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, kDeadlineMs, &length))
        return std::wstring();
    std::vector<wchar_t> text(length + 1, 0);
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), (LPARAM)text.data(), SMTO_NORMAL,
                             kDeadlineMs, &got))
        return std::wstring();
    return std::wstring(text.data(), (size_t)std::min(got, length));
}

std::string Text(HWND window)
{
    return Narrow(WindowTitle(window));
}

std::string ItemText(HWND dialog, int id)
{
    return Text(GetDlgItem(dialog, id));
}

std::wstring StatusBarText(HWND bar)
{
    DWORD pid = 0;
    if (bar == NULL || GetWindowThreadProcessId(bar, &pid) == 0)
        return L"<no status bar>";
    // SB_GETTEXTW asked for part 0 answers with the simple text in simple
    // mode.
    const size_t chars = LOWORD(SendMessageW(bar, SB_GETTEXTLENGTHW, 0, 0)) + 1;
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ, FALSE, pid);
    if (process == NULL)
        return L"<cannot open the program>";
    std::wstring text = L"<cannot read the status bar>";
    void* remote =
        VirtualAllocEx(process, NULL, chars * sizeof(wchar_t), MEM_COMMIT, PAGE_READWRITE);
    if (remote != NULL) {
        std::vector<wchar_t> local(chars, 0);
        SIZE_T read = 0;
        SendMessageW(bar, SB_GETTEXTW, 0, (LPARAM)remote);
        if (ReadProcessMemory(process, remote, local.data(), chars * sizeof(wchar_t), &read))
            text.assign(local.data(), wcsnlen(local.data(), chars));
        VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    }
    CloseHandle(process);
    return text;
}

// ---- Commands ----------------------------------------------------------------

void SendCommand(HWND main, UINT command)
{
    DWORD_PTR result = 0;
    SendMessageTimeoutW(main, WM_COMMAND, command, 0, SMTO_NORMAL, kDeadlineMs, &result);
}

void PostCommand(HWND main, UINT command)
{
    PostMessageW(main, WM_COMMAND, command, 0);
}

// ---- Buttons and edits -------------------------------------------------------

bool IsChecked(HWND dialog, int id)
{
    return SendMessageW(GetDlgItem(dialog, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

bool IsEnabled(HWND dialog, int id)
{
    return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE;
}

void PostClick(HWND dialog, int id)
{
    HWND button = GetDlgItem(dialog, id);
    ASSERT_NE(button, (HWND)NULL) << "no control " << id;
    PostMessageW(button, BM_CLICK, 0, 0);
}

void Type(HWND control, const std::string& chars)
{
    for (char c : chars)
        SendMessageA(control, WM_CHAR, (WPARAM)(BYTE)c, 1);
}

// ---- List boxes -----------------------------------------------------------------

std::vector<std::wstring> ListBoxLinesW(HWND list, size_t first)
{
    std::vector<std::wstring> lines;
    if (list == NULL)
        return lines;
    for (int attempt = 0; attempt < 5; ++attempt) {
        LRESULT before = SendMessageW(list, LB_GETCOUNT, 0, 0);
        lines = ReadListOnce(list, first);
        if (SendMessageW(list, LB_GETCOUNT, 0, 0) == before)
            break;
    }
    return lines;
}

std::string ListBoxLineA(HWND list, int index)
{
    LRESULT length = SendMessageA(list, LB_GETTEXTLEN, (WPARAM)index, 0);
    if (length == LB_ERR)
        return std::string();
    // Read in Unicode: Wine overruns a fixed buffer translating an ANSI read
    // of a long line from the Unicode list box of Common Controls 6.
    std::wstring wide((size_t)length + 1, L'\0');
    LRESULT got = SendMessageW(list, LB_GETTEXT, (WPARAM)index, (LPARAM)&wide[0]);
    std::string text((size_t)length * 2 + 1, '\0');
    int bytes = got == LB_ERR ? 0
                              : WideCharToMultiByte(CP_ACP, 0, wide.c_str(), (int)got, &text[0],
                                                    (int)text.size(), NULL, NULL);
    text.resize((size_t)bytes);
    return text;
}

std::vector<std::string> ListBoxLinesA(HWND list)
{
    std::vector<std::string> lines;
    int count = ListBoxCount(list);
    for (int i = 0; i < count; ++i)
        lines.push_back(ListBoxLineA(list, i));
    return lines;
}

int ListBoxCount(HWND list)
{
    LRESULT count = list != NULL ? SendMessageW(list, LB_GETCOUNT, 0, 0) : 0;
    return count < 0 ? 0 : (int)count;
}

// ---- The common save dialog ------------------------------------------------------

HWND SaveNameEdit(HWND saveDialog)
{
    HWND edit = GetDlgItem(saveDialog, kFileNameEdit);
    if (edit != NULL)
        return edit;
    HWND box = GetDlgItem(saveDialog, kFileNameCombo);
    if (box == NULL)
        return NULL;
    // An extended combo box holds a combo box, which holds the edit.
    HWND combo = FindWindowExW(box, NULL, L"ComboBox", NULL);
    return FindWindowExW(combo != NULL ? combo : box, NULL, L"Edit", NULL);
}

void EnterSaveName(HWND saveDialog, const std::wstring& path)
{
    HWND edit = SaveNameEdit(saveDialog);
    ASSERT_NE(edit, (HWND)NULL) << "the save dialog has no file name box";
    SendMessageW(edit, WM_SETTEXT, 0, (LPARAM)path.c_str());
}

std::string EventSentence(HMODULE module, DWORD id, const std::vector<std::string>& strings)
{
    std::vector<DWORD_PTR> args;
    for (const std::string& s : strings)
        args.push_back((DWORD_PTR)s.c_str());
    char text[2048] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                  module, id, 0, text, sizeof text, (va_list*)args.data());
    std::string sentence(text, length);
    while (!sentence.empty() && (sentence.back() == '\n' || sentence.back() == '\r'))
        sentence.pop_back();
    return length == 0 ? "(no message " + std::to_string(id & 0xFFFF) + ")" : sentence;
}

} // namespace support
