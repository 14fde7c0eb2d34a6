// The Port Settings dialog, where the user edits the port list and the
// Disconnect immediately switch, and the small Add Port dialog it opens.
// Every change takes effect at the click; there is nothing to cancel.
#include "../app/app.h"
#include "../pure/linetext.h"
#include "../pure/trojans.h"
#include "resource.h"
#include "settings.h"

static HFONT PortListFont;
static WNDPROC DigitEditOldProc;
static INT_PTR AddPortResult = -1;

static const BYTE kNoAddress[16] = {};

// Adds a port's line to the sorted list box, with the port as item data.
static void AddPortLine(HWND list, int32_t port)
{
    char entry[16];
    FormatPortEntry(port, entry);
    LRESULT line = SendMessageA(list, LB_ADDSTRING, 0, (LPARAM)entry);
    if (line >= 0)
        SendMessageA(list, LB_SETITEMDATA, (WPARAM)line, (LPARAM)port);
}

static void InitPortSettings(HWND dialog)
{
    HWND list = GetDlgItem(dialog, IDC_PS_LIST);
    PortListFont = CreateFontA(14, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                               OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                               DEFAULT_PITCH | FF_MODERN, "Courier New");
    SendMessageA(list, WM_SETFONT, (WPARAM)PortListFont, TRUE);
    CheckDlgButton(dialog, IDC_PS_DISCONNECT,
                   AppState.DisconnectImmediately ? BST_CHECKED : BST_UNCHECKED);
    // The list cannot change under open listeners, and the note says so.
    BOOL editable = !AppState.IsListening;
    EnableWindow(GetDlgItem(dialog, IDC_PS_ADD), editable);
    EnableWindow(GetDlgItem(dialog, IDC_PS_REMOVE), editable);
    EnableWindow(GetDlgItem(dialog, IDC_PS_REMOVEALL), editable);
    ShowWindow(GetDlgItem(dialog, IDC_PS_NOTE), editable ? SW_HIDE : SW_SHOW);
    for (SocketNode* node = AppState.PortList; node != NULL; node = node->next)
        AddPortLine(list, node->port);
}

static void AddPort(HWND dialog)
{
    INT_PTR port = ShowDialog(dialog, IDD_ADDPORT, AddPortDialogProc);
    if (port < 1 || port > 65535)
        return;
    HWND list = GetDlgItem(dialog, IDC_PS_LIST);
    char entry[16];
    FormatPortEntry((int32_t)port, entry);
    if (SendMessageA(list, LB_FINDSTRINGEXACT, (WPARAM)-1, (LPARAM)entry) != LB_ERR)
        return; // already configured
    if (ListAppend(AppState.PortList, kInvalidSocket, (int32_t)port, kNoAddress,
                   sizeof kNoAddress) == NULL) {
        MessageBoxA(dialog, "Out of memory", kWindowTitle, MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    AddPortLine(list, (int32_t)port);
}

static bool Listed(int32_t port)
{
    for (const SocketNode* node = AppState.PortList; node != NULL; node = node->next)
        if (node->port == port)
            return true;
    return false;
}

int AddTrojanPorts()
{
    int32_t ports[kTrojanPortsCap];
    const int count = TrojanTablePorts(TrojanPortTable, ports, kTrojanPortsCap);
    int added = 0;
    // A list without repeats holds each of the 65,535 ports once at most:
    // that is its cap, and the table's ports cannot pass it.
    for (int i = 0; i < count; ++i) {
        if (Listed(ports[i]))
            continue;
        if (ListAppend(AppState.PortList, kInvalidSocket, ports[i], kNoAddress,
                       sizeof kNoAddress) == NULL)
            break;
        ++added;
    }
    return added;
}

static void RemovePort(HWND dialog)
{
    HWND list = GetDlgItem(dialog, IDC_PS_LIST);
    LRESULT selected = SendMessageA(list, LB_GETCURSEL, 0, 0);
    if (selected == LB_ERR)
        return;
    LRESULT port = SendMessageA(list, LB_GETITEMDATA, (WPARAM)selected, 0);
    ListRemoveByPort(AppState.PortList, (int32_t)port);
    SendMessageA(list, LB_DELETESTRING, (WPARAM)selected, 0);
}

static void RemoveAllPorts(HWND dialog)
{
    ListFreeAll(AppState.PortList);
    SendDlgItemMessageA(dialog, IDC_PS_LIST, LB_RESETCONTENT, 0, 0);
}

static void OnPortSettingsCommand(HWND dialog, WORD id)
{
    switch (id) {
    case IDC_PS_OK:
        SendMessageA(dialog, WM_CLOSE, 0, 0);
        break;
    case IDC_PS_ADD:
        AddPort(dialog);
        break;
    case IDC_PS_REMOVE:
        RemovePort(dialog);
        break;
    case IDC_PS_REMOVEALL:
        RemoveAllPorts(dialog);
        break;
    case IDC_PS_DISCONNECT:
        AppState.DisconnectImmediately =
            IsDlgButtonChecked(dialog, IDC_PS_DISCONNECT) == BST_CHECKED ? 1 : 0;
        break;
    }
}

INT_PTR CALLBACK PortSettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        InitPortSettings(dialog);
        return TRUE;
    case WM_COMMAND:
        if (HIWORD(wParam) == 0)
            OnPortSettingsCommand(dialog, LOWORD(wParam));
        return TRUE;
    case WM_CLOSE:
        EndDialog(dialog, 0);
        return TRUE;
    case WM_DESTROY:
        // The list box is gone with the dialog: only now is its font free.
        DeleteObject(PortListFont);
        PortListFont = NULL;
        return FALSE;
    }
    return FALSE;
}

LRESULT CALLBACK DigitOnlyEditProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CHAR && wParam != '\b' && (wParam < '0' || wParam > '9'))
        return 0;
    return CallWindowProcA(DigitEditOldProc, edit, message, wParam, lParam);
}

// A port that no caller can reach (an empty box, 0, anything past 65535)
// is refused with a word, and the box stays open for another try.
static void OnAddPortOk(HWND dialog, HWND edit)
{
    BOOL isNumber = FALSE;
    UINT port = GetDlgItemInt(dialog, IDC_AP_EDIT, &isNumber, FALSE);
    if (!isNumber || port == 0 || port > 65535) {
        MessageBoxA(dialog, "Enter a port from 1 to 65535.", kWindowTitle,
                    MB_OK | MB_ICONEXCLAMATION);
        SetFocus(edit);
        SendMessageA(edit, EM_SETSEL, 0, -1);
        return;
    }
    AddPortResult = (INT_PTR)port;
    EndDialog(dialog, AddPortResult);
}

INT_PTR CALLBACK AddPortDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    HWND edit = GetDlgItem(dialog, IDC_AP_EDIT);
    switch (message) {
    case WM_INITDIALOG:
        SendMessageA(edit, EM_LIMITTEXT, 5, 0);
        DigitEditOldProc =
            (WNDPROC)SetWindowLongPtrA(edit, GWLP_WNDPROC, (LONG_PTR)DigitOnlyEditProc);
        AddPortResult = -1;
        return TRUE;
    case WM_COMMAND:
        if (HIWORD(wParam) != 0)
            return TRUE;
        if (LOWORD(wParam) == IDC_AP_OK) {
            OnAddPortOk(dialog, edit);
        } else if (LOWORD(wParam) == IDC_AP_CANCEL) {
            AddPortResult = -1;
            EndDialog(dialog, AddPortResult);
        }
        return TRUE;
    case WM_CLOSE:
        EndDialog(dialog, AddPortResult);
        return TRUE;
    case WM_DESTROY:
        SetWindowLongPtrA(edit, GWLP_WNDPROC, (LONG_PTR)DigitEditOldProc);
        return FALSE;
    }
    return FALSE;
}
