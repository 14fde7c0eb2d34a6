// The Message dialog: what every caller is sent, the default warning, nothing
// or the user's own text. The choice applies at OK, to the next caller.
#include "../app/app.h"
#include "../pure/linetext.h"
#include "resource.h"
#include "settings.h"

// The radio button of a message type: custom 505, none 504, default 503.
static int RadioForType(int32_t type)
{
    return IDC_MSG_CUSTOM - type;
}

static void UpdateCustomTextBox(HWND dialog)
{
    EnableWindow(GetDlgItem(dialog, IDC_MSG_TEXT),
                 IsDlgButtonChecked(dialog, IDC_MSG_CUSTOM) == BST_CHECKED);
}

static void InitMessageDialog(HWND dialog)
{
    SendDlgItemMessageA(dialog, IDC_MSG_TEXT, EM_LIMITTEXT, kCustomMessageSize - 1, 0);
    SetDlgItemTextA(dialog, IDC_MSG_TEXT, AppState.CustomMessage);
    // A stored type outside the three choices checks none of them.
    if (AppState.MessageType >= kMessageCustom && AppState.MessageType <= kMessageDefault)
        CheckDlgButton(dialog, RadioForType(AppState.MessageType), BST_CHECKED);
    UpdateCustomTextBox(dialog);
}

static void ApplyMessageChoice(HWND dialog)
{
    if (IsDlgButtonChecked(dialog, IDC_MSG_DEFAULT) == BST_CHECKED)
        AppState.MessageType = kMessageDefault;
    else if (IsDlgButtonChecked(dialog, IDC_MSG_NONE) == BST_CHECKED)
        AppState.MessageType = kMessageNone;
    else
        AppState.MessageType = kMessageCustom;
    // The custom text is kept whatever the choice, so it survives a switch.
    GetDlgItemTextA(dialog, IDC_MSG_TEXT, AppState.CustomMessage, (int)kCustomMessageSize);
}

INT_PTR CALLBACK MessageDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        InitMessageDialog(dialog);
        return TRUE;
    case WM_COMMAND:
        if (HIWORD(wParam) == 0) {
            if (LOWORD(wParam) == IDC_MSG_OK) {
                ApplyMessageChoice(dialog);
                EndDialog(dialog, 0);
            } else if (LOWORD(wParam) == IDC_MSG_CANCEL) {
                EndDialog(dialog, 0);
            }
        }
        UpdateCustomTextBox(dialog);
        return TRUE;
    case WM_CLOSE:
        EndDialog(dialog, 0);
        return TRUE;
    }
    return FALSE;
}
