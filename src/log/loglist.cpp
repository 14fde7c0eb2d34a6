// The log list: the program's one output channel. Lines are only appended;
// when the list has no room the oldest go first, one at a time, and the view
// keeps the newest twelve lines in sight.
#include "log.h"

void ShowNewestLines(HWND list)
{
    LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
    if (count != LB_ERR && count > kVisibleLines)
        SendMessageA(list, LB_SETTOPINDEX, (WPARAM)(count - kVisibleLines), 0);
}

int AddLogLine(const char* text)
{
    HWND list = AppState.LogList;
    LRESULT index = SendMessageA(list, LB_ADDSTRING, 0, (LPARAM)text);
    while (index == LB_ERRSPACE) {
        LRESULT left = SendMessageA(list, LB_DELETESTRING, 0, 0);
        if (left == LB_ERR || left == 0)
            return 0; // nothing older left to drop: the new line is dropped too
        index = SendMessageA(list, LB_ADDSTRING, 0, (LPARAM)text);
    }
    if (index < 0)
        return 0;
    SendMessageA(list, LB_SETITEMDATA, (WPARAM)index, 0);
    ShowNewestLines(list);
    return (int)index;
}
