// The log list's own procedure: its right-click menu, Save Log (the whole log
// as CR LF lines in a file the user names) and Clear Log.
#include "../app/app.h"

#include <commdlg.h>

#include "log.h"
#include "resource.h"
#include "../pure/text.h"

static const char kSaveFilter[] = "Text Files (*.txt)\0*.txt\0All files (*.*)\0*.*\0";

// Writes one line whole, whatever its length: received data makes lines of
// up to 2048 characters. Returns false when the line cannot be read.
static bool WriteLine(HANDLE file, HWND list, LRESULT index)
{
    LRESULT length = SendMessageA(list, LB_GETTEXTLEN, (WPARAM)index, 0);
    if (length == LB_ERR)
        return false;
    char buffer[2052];
    char* text = buffer;
    if ((size_t)length >= sizeof buffer) {
        text = (char*)BlockAlloc((size_t)length + 1, false);
        if (text == NULL)
            return false;
    }
    LRESULT got = SendMessageA(list, LB_GETTEXT, (WPARAM)index, (LPARAM)text);
    DWORD written;
    if (got != LB_ERR) {
        WriteFile(file, text, (DWORD)got, &written, NULL);
        WriteFile(file, "\r\n", 2, &written, NULL);
    }
    if (text != buffer)
        BlockFree(text);
    return got != LB_ERR;
}

bool WriteLogFile(HWND list, const char* path)
{
    LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
    if (count == LB_ERR)
        return false;
    HANDLE file =
        CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    for (LRESULT i = 0; i < count; ++i)
        if (!WriteLine(file, list, i))
            break;
    CloseHandle(file);
    return true;
}

void SaveLog(HWND list)
{
    TextCopyN(AppState.SavePath, kSavePathSize, "log.txt");
    OPENFILENAMEA ofn = {};
    ofn.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
    ofn.hwndOwner = list;
    ofn.hInstance = AppState.Instance;
    ofn.lpstrFilter = kSaveFilter;
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = AppState.SavePath;
    ofn.nMaxFile = (DWORD)kSavePathSize;
    ofn.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOREADONLYRETURN;
    ofn.lpstrDefExt = "txt";

    // The tray menu, and with it Exit, stays closed while the dialog uses
    // the path buffer, whichever menu opened it.
    BYTE wasOpen = AppState.DialogOpen;
    AppState.DialogOpen = 1;
    BOOL chosen = GetSaveFileNameA(&ofn);
    AppState.DialogOpen = wasOpen;
    ResyncCtrlKey();
    if (chosen)
        WriteLogFile(list, AppState.SavePath);
}

void ClearLog(HWND list)
{
    SendMessageA(AppState.MainWindow, WM_COMMAND, IDM_RESETALERT, 0);
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
}

static bool ShowLogMenu(HWND list)
{
    LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
    if (count == LB_ERR || count == 0)
        return false; // an empty log offers no menu
    POINT at;
    GetCursorPos(&at);
    TrackPopupMenu(AppState.LogMenu, 0, at.x, at.y, 0, list, NULL);
    ResyncCtrlKey();
    return true;
}

LRESULT CALLBACK LogListProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_RBUTTONDOWN:
        if (ShowLogMenu(list))
            return 0;
        break;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDM_LOG_SAVE)
            SaveLog(list);
        else if (LOWORD(wParam) == IDM_LOG_CLEAR)
            ClearLog(list);
        break;
    }
    return CallWindowProcA(AppState.LogListOldProc, list, message, wParam, lParam);
}
