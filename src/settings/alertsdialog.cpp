// The Alerts and Log dialog: the log file and its folder, how many lines the
// window keeps, the scan notifications, the trusted callers, the syslog
// collector, the web hook with its Send test, the program run on each scan
// and the Windows Event Log. Invalid trusted entries, collector text or a
// command line that cannot be run are named in the dialog, which then stays
// open.
#include "../app/app.h"

#include <shlobj.h>

#include "../log/log.h"
#include "../outputs/outputs.h"
#include "../outputs/outputs.h"
#include "../pure/syslogmsg.h"
#include "../pure/text.h"
#include "resource.h"
#include "settings.h"

static void InitAlertsDialog(HWND dialog)
{
    CheckDlgButton(dialog, IDC_AL_LOGTOFILE, AppState.LogToFile ? BST_CHECKED : BST_UNCHECKED);
    SendDlgItemMessageA(dialog, IDC_AL_FOLDER, EM_LIMITTEXT, MAX_PATH - 1, 0);
    SetDlgItemTextA(dialog, IDC_AL_FOLDER, AppState.LogFolder);
    SendDlgItemMessageA(dialog, IDC_AL_LINES, EM_LIMITTEXT, 7, 0);
    SetDlgItemInt(dialog, IDC_AL_LINES, AppState.LogLines, FALSE);
    CheckDlgButton(dialog, IDC_AL_BALLOONS, AppState.Balloons ? BST_CHECKED : BST_UNCHECKED);
    SendDlgItemMessageA(dialog, IDC_AL_TRUSTED, EM_LIMITTEXT, kTrustedTextSize - 1, 0);
    SetDlgItemTextA(dialog, IDC_AL_TRUSTED, AppState.TrustedText);
    SendDlgItemMessageA(dialog, IDC_AL_SYSLOG, EM_LIMITTEXT, sizeof AppState.SyslogServer - 1, 0);
    SetDlgItemTextA(dialog, IDC_AL_SYSLOG, AppState.SyslogServer);
    CheckDlgButton(dialog, IDC_AL_SYSLOGTCP, AppState.SyslogTcp ? BST_CHECKED : BST_UNCHECKED);
    SendDlgItemMessageA(dialog, IDC_AL_WEBHOOK, EM_LIMITTEXT, kWebhookUrlSize - 1, 0);
    SetDlgItemTextA(dialog, IDC_AL_WEBHOOK, AppState.WebhookUrl);
    static const char* const kFormats[] = {"JSON", "Plain text (push services)",
                                           "Chat ({\"text\": ...})"};
    for (const char* format : kFormats)
        SendDlgItemMessageA(dialog, IDC_AL_WEBHOOKFORMAT, CB_ADDSTRING, 0, (LPARAM)format);
    SendDlgItemMessageA(dialog, IDC_AL_WEBHOOKFORMAT, CB_SETCURSEL, AppState.WebhookFormat, 0);
    SendDlgItemMessageA(dialog, IDC_AL_PROGRAM, EM_LIMITTEXT, sizeof AppState.RunOnScan - 1, 0);
    SetDlgItemTextA(dialog, IDC_AL_PROGRAM, AppState.RunOnScan);
    CheckDlgButton(dialog, IDC_AL_RUNUNVERIFIED,
                   AppState.RunOnUnverified ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(dialog, IDC_AL_EVENTLOG, AppState.EventLog ? BST_CHECKED : BST_UNCHECKED);
}

// The web hook URL in the edit box; false, with the reason in `problem`,
// when it is neither empty nor one that can be sent to.
static bool ReadWebhookUrl(HWND dialog, char (&url)[kWebhookUrlSize], char (&problem)[300])
{
    GetDlgItemTextA(dialog, IDC_AL_WEBHOOK, url, sizeof url);
    WebhookUrl parts;
    if (url[0] == '\0' || ParseWebhookUrl(url, &parts))
        return true;
    TextCopy(problem, "Not an http:// or https:// URL: ");
    TextAppend(problem, url);
    return false;
}

static int WebhookFormatChosen(HWND dialog)
{
    LRESULT chosen = SendDlgItemMessageA(dialog, IDC_AL_WEBHOOKFORMAT, CB_GETCURSEL, 0, 0);
    return chosen >= kWebhookJson && chosen <= kWebhookChat ? (int)chosen : kWebhookJson;
}

// Posts a test alert to the URL as typed, not yet saved; the answer comes
// back as WM_WEBHOOKTESTED while the dialog goes on.
static void SendWebhookTest(HWND dialog)
{
    char url[kWebhookUrlSize];
    char problem[300];
    if (!ReadWebhookUrl(dialog, url, problem) || url[0] == '\0') {
        SetDlgItemTextA(dialog, IDC_AL_WEBHOOKRESULT,
                        url[0] == '\0' ? "Failed: No web hook URL" : problem);
        return;
    }
    if (!WebhookSendTest(dialog, url, WebhookFormatChosen(dialog))) {
        SetDlgItemTextA(dialog, IDC_AL_WEBHOOKRESULT, "Failed: Not enough memory");
        return;
    }
    SetDlgItemTextA(dialog, IDC_AL_WEBHOOKRESULT, "Sending...");
    EnableWindow(GetDlgItem(dialog, IDC_AL_WEBHOOKTEST), FALSE);
}

static void ShowWebhookTested(HWND dialog, WPARAM code, LPARAM isStatus)
{
    char reason[128];
    BuildWebhookReason(isStatus != 0, (uint32_t)code, reason);
    char text[160];
    TextCopy(text, isStatus != 0 && code >= 200 && code <= 299 ? "Sent: " : "Failed: ");
    TextAppend(text, reason);
    SetDlgItemTextA(dialog, IDC_AL_WEBHOOKRESULT, text);
    EnableWindow(GetDlgItem(dialog, IDC_AL_WEBHOOKTEST), TRUE);
}

// Takes the web hook setting; a changed one starts the sender afresh.
static void ApplyWebhook(HWND dialog, const char* url)
{
    DWORD format = (DWORD)WebhookFormatChosen(dialog);
    if (lstrcmpA(url, AppState.WebhookUrl) == 0 && format == AppState.WebhookFormat)
        return;
    TextCopy(AppState.WebhookUrl, url);
    AppState.WebhookFormat = format;
    WebhookStart();
}

// False, with the reason in the dialog, for text that names no collector.
static bool CheckSyslogServer(HWND dialog)
{
    char server[sizeof AppState.SyslogServer];
    GetDlgItemTextA(dialog, IDC_AL_SYSLOG, server, sizeof server);
    char host[256];
    uint16_t port = 0;
    if (server[0] == '\0' || ParseSyslogServer(server, host, &port))
        return true;
    char problem[300];
    TextCopy(problem, "Not a host or host:port: ");
    TextAppend(problem, server);
    SetDlgItemTextA(dialog, IDC_AL_PROBLEM, problem);
    return false;
}

// Takes the collector setting; a changed one starts the sender afresh.
static void ApplySyslog(HWND dialog)
{
    char server[sizeof AppState.SyslogServer];
    GetDlgItemTextA(dialog, IDC_AL_SYSLOG, server, sizeof server);
    BYTE tcp = IsDlgButtonChecked(dialog, IDC_AL_SYSLOGTCP) == BST_CHECKED;
    if (lstrcmpA(server, AppState.SyslogServer) == 0 && tcp == AppState.SyslogTcp)
        return;
    TextCopy(AppState.SyslogServer, server);
    AppState.SyslogTcp = tcp;
    SyslogStart();
}

static void BrowseForFolder(HWND dialog)
{
    BROWSEINFOA browse = {};
    browse.hwndOwner = dialog;
    browse.lpszTitle = "Folder for the log files";
    browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    LPITEMIDLIST chosen = SHBrowseForFolderA(&browse);
    if (chosen == NULL)
        return;
    char folder[MAX_PATH];
    if (SHGetPathFromIDListA(chosen, folder))
        SetDlgItemTextA(dialog, IDC_AL_FOLDER, folder);
    CoTaskMemFree(chosen);
}

static void OpenLogFolder(HWND dialog)
{
    char setting[MAX_PATH];
    char folder[MAX_PATH];
    GetDlgItemTextA(dialog, IDC_AL_FOLDER, setting, sizeof setting);
    if (LogFolderPath(setting, folder))
        ShellExecuteA(dialog, "open", folder, NULL, NULL, SW_SHOWNORMAL);
}

// False, with the reason in the dialog, for a command line that cannot be
// run; the mistake would otherwise show only at the first real scan.
static bool CheckProgram(HWND dialog, char (&program)[kCommandTemplateSize])
{
    GetDlgItemTextA(dialog, IDC_AL_PROGRAM, program, sizeof program);
    const CommandExpansion check = ProgramTemplateCheck(program);
    if (check == kCommandReady)
        return true;
    char problem[160];
    TextCopy(problem, "Run on each scan: ");
    TextAppend(problem, CommandProblemText(check));
    SetDlgItemTextA(dialog, IDC_AL_PROBLEM, problem);
    return false;
}

// Takes the dialog's values; false, with the reason shown in the dialog,
// when the trusted callers hold lines that are not addresses or ranges, or
// another text cannot be used.
static bool ApplyAlerts(HWND dialog)
{
    // A problem mended is no longer shown.
    SetDlgItemTextA(dialog, IDC_AL_TRUSTEDPROBLEM, "");
    SetDlgItemTextA(dialog, IDC_AL_PROBLEM, "");
    char text[kTrustedTextSize];
    GetDlgItemTextA(dialog, IDC_AL_TRUSTED, text, sizeof text);
    TrustedList trusted = {};
    char invalid[160];
    TrustedReport report = ParseTrustedLines(text, &trusted, invalid, sizeof invalid);
    if (report.invalid > 0 || report.dropped > 0) {
        char problem[200];
        if (report.invalid > 0) {
            TextCopy(problem, "Not an address or range: ");
            TextAppend(problem, invalid);
        } else {
            TextCopy(problem, "Too many trusted callers");
        }
        SetDlgItemTextA(dialog, IDC_AL_TRUSTEDPROBLEM, problem);
        return false;
    }
    if (!CheckSyslogServer(dialog))
        return false;
    char url[kWebhookUrlSize];
    char problem[300];
    if (!ReadWebhookUrl(dialog, url, problem)) {
        SetDlgItemTextA(dialog, IDC_AL_PROBLEM, problem);
        return false;
    }
    char program[kCommandTemplateSize];
    if (!CheckProgram(dialog, program))
        return false;
    AppState.Trusted = trusted;
    TrustedListText(trusted, AppState.TrustedText);

    char folder[MAX_PATH];
    GetDlgItemTextA(dialog, IDC_AL_FOLDER, folder, sizeof folder);
    BYTE toFile = IsDlgButtonChecked(dialog, IDC_AL_LOGTOFILE) == BST_CHECKED;
    if (lstrcmpiA(folder, AppState.LogFolder) != 0 || toFile != AppState.LogToFile) {
        // The next line opens the file afresh, in the new place.
        LogFileClose();
        AppState.LogFile.failed = 0;
    }
    TextCopy(AppState.LogFolder, folder);
    AppState.LogToFile = toFile;
    BOOL read = FALSE;
    UINT lines = GetDlgItemInt(dialog, IDC_AL_LINES, &read, FALSE);
    if (read)
        AppState.LogLines = ClampLogLines(lines);
    AppState.Balloons = IsDlgButtonChecked(dialog, IDC_AL_BALLOONS) == BST_CHECKED;
    ApplySyslog(dialog);
    ApplyWebhook(dialog, url);
    TextCopy(AppState.RunOnScan, program);
    AppState.RunOnUnverified = IsDlgButtonChecked(dialog, IDC_AL_RUNUNVERIFIED) == BST_CHECKED;
    AppState.EventLog = IsDlgButtonChecked(dialog, IDC_AL_EVENTLOG) == BST_CHECKED;
    // Switched off, the source is let go; switched on, the next event
    // registers it again.
    if (!AppState.EventLog)
        EventLogStop();
    return true;
}

static void OnAlertsCommand(HWND dialog, UINT id)
{
    switch (id) {
    case IDC_AL_OK:
        if (ApplyAlerts(dialog))
            EndDialog(dialog, 1);
        break;
    case IDC_AL_CANCEL:
        EndDialog(dialog, 0);
        break;
    case IDC_AL_BROWSE:
        BrowseForFolder(dialog);
        break;
    case IDC_AL_OPENFOLDER:
        OpenLogFolder(dialog);
        break;
    case IDC_AL_WEBHOOKTEST:
        SendWebhookTest(dialog);
        break;
    }
}

INT_PTR CALLBACK AlertsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        InitAlertsDialog(dialog);
        return TRUE;
    case WM_COMMAND:
        if (HIWORD(wParam) == 0)
            OnAlertsCommand(dialog, LOWORD(wParam));
        return TRUE;
    case WM_CLOSE:
        EndDialog(dialog, 0);
        return TRUE;
    case WM_WEBHOOKTESTED:
        ShowWebhookTested(dialog, wParam, lParam);
        return TRUE;
    }
    return FALSE;
}
