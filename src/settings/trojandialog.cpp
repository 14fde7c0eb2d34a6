// The Trojan Ports dialog: a list of well-known trojans and the ports they
// listen on, built afresh from the table each time it opens, and a button
// that adds those ports to the port list.
#include "../app/app.h"

#include <commctrl.h>

#include "resource.h"
#include "settings.h"
#include "../pure/linetext.h"
#include "../pure/text.h"
#include "../pure/trojans.h"

static void InsertColumn(HWND view, int index, const char* title, int width)
{
    LVCOLUMNA column = {};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    column.cx = width;
    column.pszText = (LPSTR)title;
    column.iSubItem = index;
    SendMessageA(view, LVM_INSERTCOLUMNA, (WPARAM)index, (LPARAM)&column);
}

static void FillTrojanList(HWND view)
{
    InsertColumn(view, 0, "Trojan", 60);
    InsertColumn(view, 1, "Port Numbers", 201);
    for (const char* name = TrojanPortTable; *name != '\0';) {
        const char* ports = NextTableString(name);
        LVITEMA item = {};
        item.mask = LVIF_TEXT;
        item.pszText = (LPSTR)name;
        // The view files the row in its sorted place and says where.
        LRESULT row = SendMessageA(view, LVM_INSERTITEMA, 0, (LPARAM)&item);
        LVITEMA sub = {};
        sub.iSubItem = 1;
        sub.pszText = (LPSTR)ports;
        SendMessageA(view, LVM_SETITEMTEXTA, (WPARAM)row, (LPARAM)&sub);
        name = NextTableString(ports);
    }
}

// The port list does not change under open listeners (Port Settings is
// greyed then too), so the button says what to do first.
static void InitAddButton(HWND dialog)
{
    if (!AppState.IsListening)
        return;
    HWND button = GetDlgItem(dialog, IDC_TP_ADD);
    SetWindowTextA(button, "Stop listening to add them");
    EnableWindow(button, FALSE);
}

static void OnAddTrojanPorts(HWND dialog)
{
    if (AppState.IsListening)
        return; // greyed: a command that comes anyway changes nothing
    int added = AddTrojanPorts();
    char text[64];
    if (added == 0) {
        TextCopy(text, "All are in the port list");
    } else {
        BuildCountLine("Added ", added, text);
    }
    HWND button = GetDlgItem(dialog, IDC_TP_ADD);
    SetWindowTextA(button, text);
    // Focus goes to OK before the button it was on is greyed.
    SendMessageA(dialog, WM_NEXTDLGCTL, (WPARAM)GetDlgItem(dialog, IDC_TP_OK), TRUE);
    EnableWindow(button, FALSE);
}

INT_PTR CALLBACK TrojanPortsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        FillTrojanList(GetDlgItem(dialog, IDC_TP_LIST));
        InitAddButton(dialog);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_TP_OK)
            EndDialog(dialog, 0);
        else if (LOWORD(wParam) == IDC_TP_ADD && HIWORD(wParam) == BN_CLICKED)
            OnAddTrojanPorts(dialog);
        return TRUE;
    case WM_CLOSE:
        EndDialog(dialog, 0);
        return TRUE;
    }
    return FALSE;
}
