// The log list: the program's one output channel. Lines are only appended;
// when the list has no room the oldest go first, one at a time, and the view
// keeps the newest twelve lines in sight.
#include "../pure/text.h"
#include "log.h"

// Rows the list shows: twelve at its first size, more when the window grows.
static LRESULT VisibleRows(HWND list)
{
    RECT r;
    LRESULT itemHeight = SendMessageA(list, LB_GETITEMHEIGHT, 0, 0);
    if (!GetClientRect(list, &r) || itemHeight <= 0 || itemHeight == LB_ERR)
        return kVisibleLines;
    LRESULT rows = (r.bottom - r.top) / itemHeight;
    return rows > kVisibleLines ? rows : kVisibleLines;
}

void ShowNewestLines(HWND list)
{
    LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
    LRESULT rows = VisibleRows(list);
    if (count != LB_ERR && count > rows)
        SendMessageA(list, LB_SETTOPINDEX, (WPARAM)(count - rows), 0);
}

void FitLineWidth(HWND list, const char* text)
{
    size_t length = TextLength(text);
    // Most lines are short: only one that could be wider than the widest
    // so far is measured.
    if (AppState.LogCharWidth > 0 && (int)length * AppState.LogCharWidth <= AppState.LogExtent)
        return;
    HDC dc = GetDC(list);
    if (dc == NULL)
        return;
    HGDIOBJ old = SelectObject(dc, (HGDIOBJ)SendMessageA(list, WM_GETFONT, 0, 0));
    TEXTMETRICA metrics;
    if (AppState.LogCharWidth == 0 && GetTextMetricsA(dc, &metrics))
        AppState.LogCharWidth = metrics.tmMaxCharWidth;
    SIZE size;
    if (GetTextExtentPoint32A(dc, text, (int)length, &size) && size.cx + 8 > AppState.LogExtent) {
        AppState.LogExtent = size.cx + 8;
        SendMessageA(list, LB_SETHORIZONTALEXTENT, (WPARAM)AppState.LogExtent, 0);
    }
    SelectObject(dc, old);
    ReleaseDC(list, dc);
}

// The window keeps the newest lines; older ones are in the log file. The
// line just added is the last, so the list holds index + 1 lines.
static void DropOldestLines(HWND list, LRESULT& index)
{
    while ((DWORD)index + 1 > AppState.LogLines && index > 0) {
        if (SendMessageA(list, LB_DELETESTRING, 0, 0) == LB_ERR)
            return;
        --index;
    }
}

int AddLogLine(const char* text)
{
    HWND list = AppState.LogList;
    LRESULT index = SendMessageA(list, LB_ADDSTRING, 0, (LPARAM)text);
    while (index == LB_ERRSPACE) {
        LRESULT left = SendMessageA(list, LB_DELETESTRING, 0, 0);
        if (left == LB_ERR || left == 0)
            return kNoLine; // nothing older left to drop: the new line is dropped too
        index = SendMessageA(list, LB_ADDSTRING, 0, (LPARAM)text);
    }
    if (index < 0)
        return kNoLine;
    SendMessageA(list, LB_SETITEMDATA, (WPARAM)index, 0);
    DropOldestLines(list, index);
    FitLineWidth(list, text);
    if (AppState.LogBatch == 0)
        ShowNewestLines(list);
    LogFileAppend(text);
    return (int)index;
}

void BeginLogBatch()
{
    ++AppState.LogBatch;
}

void EndLogBatch()
{
    if (AppState.LogBatch == 0 || --AppState.LogBatch > 0)
        return;
    ShowNewestLines(AppState.LogList);
}
