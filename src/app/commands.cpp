// The command set of the main window, the tray icon's mouse handling and
// the three states the shell shows: idle, listening and alert.
#include "app.h"

#include <commctrl.h>

#include "../pure/decimal.h"
#include "../pure/text.h"
#include "../pure/trojans.h"
#include "../monitor/monitor.h"
#include "../outputs/outputs.h"
#include "../settings/settings.h"
#include "resource.h"
#include "version.h"

const char kWebSite[] = "https://www.ferrowind.example/harbinel/";

void SetStatusText(const char* text)
{
    SendMessageA(AppState.StatusBar, SB_SETTEXTA, SB_SIMPLEID, (LPARAM)text);
}

void SetTrayIcon(HICON icon, const char* stateWord)
{
    NOTIFYICONDATAA& tray = AppState.TrayIconData;
    tray.hIcon = icon;
    tray.uFlags = NIF_ICON;
    if (stateWord != NULL) {
        TextCopy(tray.szTip, kWindowTitle);
        TextAppend(tray.szTip, ": ");
        TextAppend(tray.szTip, stateWord);
        tray.uFlags |= NIF_TIP;
    }
    Shell_NotifyIconA(NIM_MODIFY, &tray);
}

void SetResetAlertItems(bool enabled)
{
    UINT flags = MF_BYCOMMAND | MF_STRING | (enabled ? MF_ENABLED : MF_GRAYED | MF_DISABLED);
    ModifyMenuA(AppState.MainMenu, IDM_RESETALERT, flags, IDM_RESETALERT, "&Reset Alert\tCtrl+R");
    ModifyMenuA(AppState.TrayMenu, IDM_RESETALERT, flags, IDM_RESETALERT, "&Reset Alert");
}

void RaiseAlert()
{
    // Already up: the alert icon shows only while Reset Alert is enabled,
    // and redrawing both for every scan of a flood would only slow it down.
    if (AppState.TrayIconData.hIcon == AppState.IconAlert)
        return;
    SetResetAlertItems(true);
    SetTrayIcon(AppState.IconAlert, NULL);
}

void ResetAlert()
{
    SetResetAlertItems(false);
    SetTrayIcon(AppState.IsListening ? AppState.IconMain : AppState.IconIdle, NULL);
}

void ShowListening()
{
    SetWindowTextA(AppState.ListenButton, "Stop");
    SetStatusText("Listening");
    SetTrayIcon(AppState.IconMain, "Listening");
    CheckMenuItem(AppState.TrayMenu, IDC_LISTEN, MF_BYCOMMAND | MF_CHECKED);
}

// Stopping also ends the alert: the idle icon replaces it.
void ShowIdle()
{
    SetWindowTextA(AppState.ListenButton, "Listen");
    SetStatusText("Idle");
    SetTrayIcon(AppState.IconIdle, "Idle");
    CheckMenuItem(AppState.TrayMenu, IDC_LISTEN, MF_BYCOMMAND | MF_UNCHECKED);
    SetResetAlertItems(false);
}

// A balloon that names the caller, at most one a minute for each caller;
// the next one says how many scans came in between.
void ShowScanBalloon(const NetAddress& caller, int32_t port)
{
    if (!AppState.Balloons)
        return;
    BalloonDecision shown = BalloonNoteScan(AppState.BalloonCallers, caller, GetTickCount());
    if (!shown.show)
        return;
    // The tray record keeps the last balloon's text; the balloon itself goes
    // in a copy, in the record's second form, which balloons need.
    NOTIFYICONDATAA& tray = AppState.TrayIconData;
    if (caller.family != 0) {
        BuildBalloonText(caller, port, shown.suppressedBefore, tray.szInfo);
    } else {
        TextCopy(tray.szInfo, "Scan on port ");
        AppendDecimal(port, tray.szInfo);
        TextAppend(tray.szInfo, " from a caller that left at once");
    }
    NOTIFYICONDATAA balloon = tray;
    TextCopy(balloon.szInfoTitle, kWindowTitle);
    balloon.dwInfoFlags = NIIF_WARNING;
    balloon.uFlags = NIF_INFO;
    balloon.cbSize = NOTIFYICONDATAA_V2_SIZE;
    Shell_NotifyIconA(NIM_MODIFY, &balloon);
}

void ShowMonitorReport(const MonitorReport& report)
{
    switch (report.event) {
    case kReportListening:
        ShowListening();
        ReportListening(report.ports);
        break;
    case kReportStopped:
        ShowIdle();
        ReportStopped("Listening stopped");
        break;
    case kReportNothing:
        break;
    }
}

// The Options switches beside it: Stealth Watch and Block Scanners.
void ShowStealthChecked()
{
    CheckMenuItem(AppState.MainMenu, IDM_STEALTH,
                  MF_BYCOMMAND | (AppState.StealthWatch ? MF_CHECKED : MF_UNCHECKED));
    CheckMenuItem(AppState.MainMenu, IDM_BLOCK,
                  MF_BYCOMMAND | (AppState.Block ? MF_CHECKED : MF_UNCHECKED));
}

void BeginModal()
{
    AppState.DialogOpen = 1;
}

void EndModal()
{
    AppState.DialogOpen = 0;
    ResyncCtrlKey();
}

static void RunDialog(HWND window, int templateId, DLGPROC proc)
{
    BeginModal();
    ShowDialog(window, templateId, proc);
    EndModal();
}

static void ToggleOnTop(HWND window)
{
    AppState.OnTop = (BYTE)~AppState.OnTop;
    SetWindowPos(window, AppState.OnTop ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                 SWP_NOSIZE | SWP_NOMOVE);
    CheckMenuItem(AppState.MainMenu, IDM_ONTOP,
                  MF_BYCOMMAND | (AppState.OnTop ? MF_CHECKED : MF_UNCHECKED));
}

static void ShowAbout(HWND window)
{
    BeginModal();
    // The box's title is "About " and this text.
    ShellAboutA(window, "Harbinel",
                "Harbinel v" HARBINEL_VERSION_TEXT "\r\nWatches chosen ports for trojan scans",
                AppState.IconMain);
    EndModal();
}

static void Restore(HWND window)
{
    ShowWindow(window, SW_RESTORE);
    SetForegroundWindow(window);
}

// The very first start shows the window and offers the trojan table's
// ports, once: the answer is stored either way. A box closed without an
// answer (the program ended meanwhile) asks again next time.
static void OfferTrojanPorts(HWND window)
{
    if (AppState.ExitRequested)
        return;
    Restore(window);
    int32_t ports[kTrojanPortsCap];
    char question[160];
    TextCopy(question, "No ports yet. Add the ");
    AppendDecimal(TrojanTablePorts(TrojanPortTable, ports, kTrojanPortsCap), question);
    TextAppend(question, " ports of the Trojan Ports table and start listening?");
    MessageAsker ask = AppState.AskUser != NULL ? AppState.AskUser : MessageBoxA;
    BeginModal();
    int answer = ask(window, question, kWindowTitle, MB_YESNO | MB_ICONQUESTION);
    EndModal();
    if (answer != IDYES && answer != IDNO)
        return;
    SaveFirstRunAnswer(answer == IDYES);
    if (answer == IDNO || AppState.IsListening)
        return;
    AddTrojanPorts();
    SaveSettings(true);
    OnCommand(window, IDC_LISTEN);
}

// Commands that change a setting store it at once: Windows ends a tray
// program at shutdown without an Exit, and what was stored is what comes
// back.
void OnCommand(HWND window, UINT command)
{
    switch (command) {
    case IDC_LISTEN:
        ShowMonitorReport(ToggleListening());
        SaveSettings(false);
        break;
    case IDM_SAVELOG:
        BeginModal();
        SendMessageA(AppState.LogList, WM_COMMAND, IDM_LOG_SAVE, 0);
        EndModal();
        break;
    case IDM_CLEARLOG:
        SendMessageA(AppState.LogList, WM_COMMAND, IDM_LOG_CLEAR, 0);
        break;
    case IDM_EXIT:
        AppState.ExitRequested = 1;
        SendMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
        break;
    case IDM_PORTSETTINGS:
        RunDialog(window, IDD_PORTSETTINGS, PortSettingsDialogProc);
        SaveSettings(true);
        break;
    case IDM_MESSAGE:
        RunDialog(window, IDD_MESSAGE, MessageDialogProc);
        SaveSettings(false);
        break;
    case IDM_RESETALERT:
        ResetAlert();
        break;
    case IDM_ONTOP:
        ToggleOnTop(window);
        SaveSettings(false);
        break;
    case IDM_ALERTS:
        RunDialog(window, IDD_ALERTS, AlertsDialogProc);
        SaveSettings(false);
        break;
    case IDM_STEALTH:
        SetStealthWatch(!AppState.StealthWatch);
        ShowStealthChecked();
        SaveSettings(false);
        ShowRestartAdminItem();
        break;
    case IDM_RESTARTADMIN:
        RestartAsAdministrator(window);
        break;
    case IDM_BLOCK:
        AppState.Block = AppState.Block ? 0 : 1;
        AddLogLine(AppState.Block ? "Block Scanners on" : "Block Scanners off");
        ShowStealthChecked();
        SaveSettings(false);
        ShowRestartAdminItem();
        break;
    case IDM_BLOCKED:
        RunDialog(window, IDD_BLOCKED, BlockedDialogProc);
        break;
    case IDM_TROJANPORTS:
        RunDialog(window, IDD_TROJANPORTS, TrojanPortsDialogProc);
        SaveSettings(true); // its button may have added ports
        break;
    case IDM_WEBSITE:
        ShellExecuteA(window, "open", kWebSite, NULL, "\\", SW_SHOWNORMAL);
        break;
    case IDM_ABOUT:
        ShowAbout(window);
        break;
    case IDM_RESTORE:
        Restore(window);
        break;
    case IDM_STATISTICS:
    case IDM_TRAYSTATS:
        RegisterChartClass(AppState.Instance);
        RunDialog(window, IDD_STATS, StatsDialogProc);
        break;
    case IDM_FIRSTRUN:
        OfferTrojanPorts(window);
        break;
    }
}

static void ShowTrayMenu(HWND window)
{
    SetForegroundWindow(window);
    if (AppState.DialogOpen)
        return;
    POINT at;
    GetCursorPos(&at);
    TrackPopupMenuEx(AppState.TrayMenu, 0, at.x, at.y, window, NULL);
    // Lets the menu close properly when the user clicks elsewhere.
    PostMessageA(window, WM_NULL, 0, 0);
    ResyncCtrlKey();
}

void OnTrayNotify(HWND window, WPARAM id, LPARAM mouseMessage)
{
    if (id != TRAY_ICON_ID)
        return;
    if (mouseMessage == WM_RBUTTONDOWN)
        ShowTrayMenu(window);
    else if (mouseMessage == WM_LBUTTONDBLCLK)
        SendMessageA(window, WM_COMMAND, IDM_RESTORE, 0);
}
