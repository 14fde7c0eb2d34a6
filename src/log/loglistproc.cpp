// The log list's own procedure: its right-click menu, Save Log (the whole log
// as CR LF lines in a file the user names) and Clear Log.
#include "../app/app.h"
#include "../pure/errortext.h"

#include <commdlg.h>
#include <shlobj.h>

#include "log.h"
#include "../outputs/outputs.h"
#include "resource.h"
#include "../pure/blocklist.h"
#include "../pure/text.h"

static const char kSaveFilter[] = "Text Files (*.txt)\0*.txt\0All files (*.*)\0*.*\0";

// Writes all bytes or fails; a short write means the disk is full.
static bool WriteAll(HANDLE file, const char* bytes, DWORD count)
{
    DWORD written = 0;
    if (!WriteFile(file, bytes, count, &written, NULL))
        return false;
    if (written != count)
        SetLastError(ERROR_HANDLE_DISK_FULL);
    return written == count;
}

// Reads line index into out, at most size - 1 bytes and a zero; returns the
// bytes read or LB_ERR. The line is asked for in its Unicode form and turned
// back into the program's code page: the list box of Common Controls 6 is a
// Unicode window, and under Wine the system's translation of an ANSI read
// into it overruns a fixed buffer on a line longer than 511 characters,
// which received data easily makes.
static LRESULT ReadLine(HWND list, LRESULT index, char* out, size_t size)
{
    LRESULT chars = SendMessageW(list, LB_GETTEXTLEN, (WPARAM)index, 0);
    if (chars == LB_ERR || chars < 0 || size == 0)
        return LB_ERR;
    wchar_t buffer[2052];
    wchar_t* wide = buffer;
    if ((size_t)chars >= sizeof buffer / sizeof buffer[0]) {
        wide = (wchar_t*)BlockAlloc(((size_t)chars + 1) * sizeof(wchar_t), false);
        if (wide == NULL)
            return LB_ERR;
    }
    LRESULT got = SendMessageW(list, LB_GETTEXT, (WPARAM)index, (LPARAM)wide);
    int bytes = 0;
    if (got != LB_ERR && got > 0)
        bytes = WideCharToMultiByte(CP_ACP, 0, wide, (int)got, out, (int)(size - 1), NULL, NULL);
    out[bytes] = '\0';
    if (wide != buffer)
        BlockFree(wide);
    return got == LB_ERR ? LB_ERR : bytes;
}

// Writes one line whole, whatever its length: received data makes lines of
// up to 8192 characters once escaped. Returns false when the line cannot be
// read or written; the last error then says why.
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
    LRESULT got = ReadLine(list, index, text, (size_t)length + 1);
    bool written = got != LB_ERR && WriteAll(file, text, (DWORD)got) && WriteAll(file, "\r\n", 2);
    DWORD error = GetLastError();
    if (text != buffer)
        BlockFree(text);
    SetLastError(error);
    return written;
}

static void ReportSaveError(DWORD code)
{
    char line[128];
    TextCopy(line, "Save error: ");
    TextAppend(line, FileErrorText(code));
    ReportError(line);
}

// The folder part of a path ("." when it has none), for the temporary file
// that is written beside the target.
static void FolderOf(const char* path, char (&folder)[MAX_PATH])
{
    TextCopy(folder, path);
    size_t cut = 0;
    for (size_t i = 0; folder[i] != '\0'; ++i)
        if (folder[i] == '\\' || folder[i] == '/' || folder[i] == ':')
            cut = i + 1;
    if (cut == 0)
        TextCopy(folder, ".");
    else
        folder[cut] = '\0';
}

// Writes the lines into a new temporary file beside the target.
static DWORD WriteLinesTo(const char* temporary, HWND list, LRESULT count)
{
    HANDLE file =
        CreateFileA(temporary, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError();
    DWORD error = 0;
    for (LRESULT i = 0; i < count && error == 0; ++i)
        if (!WriteLine(file, list, i))
            error = GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
    if (!CloseHandle(file) && error == 0)
        error = GetLastError();
    return error;
}

bool WriteLogFile(HWND list, const char* path)
{
    LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
    if (count == LB_ERR)
        return false;
    // The log goes into a new file beside the target, which replaces the
    // target only once it is whole: a full disk or a failed write never
    // leaves half a log under the chosen name, nor spoils an older one.
    char folder[MAX_PATH];
    char temporary[MAX_PATH];
    FolderOf(path, folder);
    if (TextLength(path) >= MAX_PATH || GetTempFileNameA(folder, "hbl", 0, temporary) == 0) {
        ReportSaveError(TextLength(path) >= MAX_PATH ? ERROR_FILENAME_EXCED_RANGE : GetLastError());
        return false;
    }
    DWORD error = WriteLinesTo(temporary, list, count);
    // A read-only target is never replaced, as Windows itself refuses to.
    DWORD attributes = GetFileAttributesA(path);
    if (error == 0 && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_READONLY))
        error = ERROR_ACCESS_DENIED;
    if (error == 0 && !MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING))
        error = GetLastError();
    if (error != 0) {
        DeleteFileA(temporary);
        ReportSaveError(error);
        return false;
    }
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
    // The first save starts in Documents, later ones where the last went.
    char documents[MAX_PATH] = "";
    if (AppState.SaveFolder[0] != '\0')
        ofn.lpstrInitialDir = AppState.SaveFolder;
    else if (SHGetFolderPathA(NULL, CSIDL_PERSONAL, NULL, 0, documents) == S_OK)
        ofn.lpstrInitialDir = documents;

    // The tray menu, and with it Exit, stays closed while the dialog uses
    // the path buffer, whichever menu opened it.
    BYTE wasOpen = AppState.DialogOpen;
    AppState.DialogOpen = 1;
    BOOL chosen = GetSaveFileNameA(&ofn);
    AppState.DialogOpen = wasOpen;
    ResyncCtrlKey();
    if (chosen && WriteLogFile(list, AppState.SavePath))
        FolderOf(AppState.SavePath, AppState.SaveFolder);
}

void ClearLog(HWND list)
{
    SendMessageA(AppState.MainWindow, WM_COMMAND, IDM_RESETALERT, 0);
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
    AppState.LogExtent = 0;
    SendMessageA(list, LB_SETHORIZONTALEXTENT, 0, 0);
}

// Bytes that line i adds to the copied text, CR LF included; 0 when it
// cannot be read.
static size_t CopiedLength(HWND list, LRESULT i)
{
    LRESULT length = SendMessageA(list, LB_GETTEXTLEN, (WPARAM)i, 0);
    return length == LB_ERR ? 0 : (size_t)length + 2;
}

// The selected lines, or every line when none is selected, as CR LF text
// on the clipboard.
void CopyLog(HWND list)
{
    LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
    LRESULT selected = SendMessageA(list, LB_GETSELCOUNT, 0, 0);
    if (count == LB_ERR || count == 0)
        return;
    bool all = selected == LB_ERR || selected == 0;
    size_t total = 1;
    for (LRESULT i = 0; i < count; ++i)
        if (all || SendMessageA(list, LB_GETSEL, (WPARAM)i, 0) > 0)
            total += CopiedLength(list, i);
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, total);
    char* text = block ? (char*)GlobalLock(block) : NULL;
    if (text == NULL) {
        if (block)
            GlobalFree(block);
        return;
    }
    size_t used = 0;
    for (LRESULT i = 0; i < count; ++i) {
        if (!all && SendMessageA(list, LB_GETSEL, (WPARAM)i, 0) <= 0)
            continue;
        size_t room = CopiedLength(list, i);
        if (room == 0 || used + room >= total)
            continue;
        LRESULT got = ReadLine(list, i, text + used, room - 1);
        if (got == LB_ERR)
            continue;
        used += (size_t)got;
        text[used++] = '\r';
        text[used++] = '\n';
    }
    text[used] = '\0';
    GlobalUnlock(block);
    if (OpenClipboard(list)) {
        EmptyClipboard();
        if (SetClipboardData(CF_TEXT, block) != NULL)
            block = NULL; // the clipboard owns it now
        CloseClipboard();
    }
    if (block)
        GlobalFree(block);
}

// The line the log menu was opened on; the menu's own commands act on it.
static LRESULT menuLine = kNoLine;

// Reads "[v6]:port" or "a.b.c.d:port" at text into an address.
static bool ParseCallerPort(const char* text, NetAddress* out)
{
    char entry[kBlockEntryTextSize] = "";
    bool bracket = *text == '[';
    const char* begin = bracket ? text + 1 : text;
    const char* end = begin;
    const char* lastColon = NULL;
    for (; *end != '\0' && *end != ' ' && *end != ']'; ++end)
        if (*end == ':')
            lastColon = end;
    if (!bracket)
        end = lastColon;
    if (end == NULL || end <= begin || (size_t)(end - begin) >= kNetAddressTextSize)
        return false;
    for (size_t i = 0; begin + i < end; ++i)
        entry[i] = begin[i];
    TextAppend(entry, " 0");
    BlockEntry parsed;
    if (!ParseBlockEntry(entry, &parsed))
        return false;
    *out = parsed.address;
    return true;
}

// Line i's text when it fits line; "" otherwise.
static void ReadShortLine(HWND list, LRESULT i, char (&line)[200])
{
    line[0] = '\0';
    LRESULT length = SendMessageA(list, LB_GETTEXTLEN, (WPARAM)i, 0);
    if (length != LB_ERR && length < (LRESULT)sizeof line)
        SendMessageA(list, LB_GETTEXT, (WPARAM)i, (LPARAM)line);
}

static bool StartsWith(const char* text, const char* head)
{
    for (; *head != '\0'; ++head, ++text)
        if (*text != *head)
            return false;
    return true;
}

// The caller of the scan whose lines hold index: its "   Accept: " line,
// the one after the head line or a few above a line under it. A caller
// seen only from its packets is not offered: its source may be anyone's.
static bool ScanCallerAt(HWND list, LRESULT index, NetAddress* out)
{
    static const char kAccept[] = "   Accept: ";
    LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
    if (count == LB_ERR || index < 0 || index >= count)
        return false;
    char line[200] = {};
    ReadShortLine(list, index, line);
    LRESULT last = index - 4;
    if (!StartsWith(line, "   ") && index + 1 < count) {
        index = last = index + 1; // a head line: its scan's lines follow it
        ReadShortLine(list, index, line);
    }
    for (LRESULT i = index; i >= 0 && i >= last; --i) {
        if (i != index)
            ReadShortLine(list, i, line);
        if (StartsWith(line, kAccept))
            return ParseCallerPort(line + sizeof kAccept - 1, out);
        if (!StartsWith(line, "   "))
            return false;
    }
    return false;
}

static void BlockLineCaller(HWND list)
{
    LRESULT index = menuLine != kNoLine ? menuLine : SendMessageA(list, LB_GETCARETINDEX, 0, 0);
    menuLine = kNoLine;
    NetAddress caller;
    if (index != LB_ERR && ScanCallerAt(list, index, &caller))
        BlockByHand(caller);
}

static bool ShowLogMenu(HWND list, LPARAM point)
{
    LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
    if (count == LB_ERR || count == 0)
        return false; // an empty log offers no menu
    LRESULT hit = SendMessageA(list, LB_ITEMFROMPOINT, 0, point);
    menuLine = HIWORD(hit) == 0 ? (LRESULT)LOWORD(hit) : kNoLine;
    NetAddress caller;
    bool scan = menuLine != kNoLine && ScanCallerAt(list, menuLine, &caller);
    EnableMenuItem(AppState.LogMenu, IDM_LOG_BLOCK, MF_BYCOMMAND | (scan ? MF_ENABLED : MF_GRAYED));
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
        if (ShowLogMenu(list, lParam))
            return 0;
        break;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDM_LOG_SAVE)
            SaveLog(list);
        else if (LOWORD(wParam) == IDM_LOG_CLEAR)
            ClearLog(list);
        else if (LOWORD(wParam) == IDM_LOG_COPY)
            CopyLog(list);
        else if (LOWORD(wParam) == IDM_LOG_BLOCK)
            BlockLineCaller(list);
        break;
    }
    return CallWindowProcW(AppState.LogListOldProc, list, message, wParam, lParam);
}
