// The Blocked Callers dialog: the callers in the firewall's rule with the
// time each has left, Unblock for the selected one and Unblock All. The
// list is filled again every few seconds, as blocks end while it is open.
#include "../app/app.h"

#include "../outputs/outputs.h"
#include "../pure/decimal.h"
#include "../pure/text.h"
#include "resource.h"
#include "settings.h"

static const UINT_PTR kRefreshTimer = 1;
static const UINT kRefreshMs = 5000;

static void FillBlockedList(HWND dialog)
{
    HWND list = GetDlgItem(dialog, IDC_BL_LIST);
    LRESULT selected = SendMessageA(list, LB_GETCURSEL, 0, 0);
    SendMessageA(list, WM_SETREDRAW, FALSE, 0);
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
    const BlockSet& set = BlockedCallers();
    uint64_t now = WallSeconds();
    for (size_t i = 0; i < set.count; ++i) {
        // The address comes first, alone before the blanks, for Unblock to read.
        char line[kNetAddressTextSize + 32];
        FormatNetAddress(set.entries[i].address, line);
        TextAppend(line, "    ");
        char left[32];
        BuildTimeLeft(set.entries[i], now, left);
        TextAppend(line, left);
        SendMessageA(list, LB_ADDSTRING, 0, (LPARAM)line);
    }
    if (selected != LB_ERR)
        SendMessageA(list, LB_SETCURSEL, (WPARAM)selected, 0);
    SendMessageA(list, WM_SETREDRAW, TRUE, 0);
    char count[48];
    TextCopy(count, "");
    AppendDecimal((int32_t)set.count, count);
    TextAppend(count, set.count == 1 ? " caller blocked" : " callers blocked");
    SetDlgItemTextA(dialog, IDC_BL_COUNT, count);
    EnableWindow(GetDlgItem(dialog, IDC_BL_UNBLOCK), set.count > 0);
    EnableWindow(GetDlgItem(dialog, IDC_BL_UNBLOCKALL), set.count > 0);
}

// The selected line's caller, read back through the stored entry's parser.
static bool SelectedCaller(HWND dialog, NetAddress* out)
{
    HWND list = GetDlgItem(dialog, IDC_BL_LIST);
    LRESULT index = SendMessageA(list, LB_GETCURSEL, 0, 0);
    if (index == LB_ERR || SendMessageA(list, LB_GETTEXTLEN, (WPARAM)index, 0) >= 96)
        return false;
    char line[96] = "";
    SendMessageA(list, LB_GETTEXT, (WPARAM)index, (LPARAM)line);
    char entry[kBlockEntryTextSize] = "";
    for (size_t i = 0; line[i] != '\0' && line[i] != ' ' && i + 3 < sizeof entry; ++i)
        entry[i] = line[i];
    TextAppend(entry, " 0");
    BlockEntry parsed;
    if (!ParseBlockEntry(entry, &parsed))
        return false;
    *out = parsed.address;
    return true;
}

static void OnBlockedCommand(HWND dialog, WORD id)
{
    NetAddress caller;
    switch (id) {
    case IDC_BL_UNBLOCK:
        if (SelectedCaller(dialog, &caller))
            UnblockByHand(caller);
        FillBlockedList(dialog);
        break;
    case IDC_BL_UNBLOCKALL:
        UnblockAll();
        FillBlockedList(dialog);
        break;
    case IDC_BL_CLOSE:
    case IDCANCEL:
        KillTimer(dialog, kRefreshTimer);
        EndDialog(dialog, 0);
        break;
    }
}

INT_PTR CALLBACK BlockedDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        FillBlockedList(dialog);
        SetTimer(dialog, kRefreshTimer, kRefreshMs, NULL);
        return TRUE;
    case WM_TIMER:
        FillBlockedList(dialog);
        return TRUE;
    case WM_COMMAND:
        OnBlockedCommand(dialog, LOWORD(wParam));
        return TRUE;
    case WM_CLOSE:
        OnBlockedCommand(dialog, IDC_BL_CLOSE);
        return TRUE;
    }
    return FALSE;
}
