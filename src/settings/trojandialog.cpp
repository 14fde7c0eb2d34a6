// The Trojan Ports dialog: a read-only list of well-known trojans and the
// ports they listen on, built afresh from the table each time it opens.
#include "../app/app.h"

#include <commctrl.h>

#include "resource.h"
#include "settings.h"
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

INT_PTR CALLBACK TrojanPortsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        FillTrojanList(GetDlgItem(dialog, IDC_TP_LIST));
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_TP_OK)
            EndDialog(dialog, 0);
        return TRUE;
    case WM_CLOSE:
        EndDialog(dialog, 0);
        return TRUE;
    }
    return FALSE;
}
