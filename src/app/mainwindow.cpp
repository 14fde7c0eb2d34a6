// The main window: what its creation builds, the tray menu's drawn title,
// size and colour changes, dragging, and closing, which hides the window
// unless Exit asked for the program to end.
#include "app.h"

#include <commctrl.h>

#include "../pure/linetext.h"
#include "../pure/placement.h"
#include "../log/log.h"
#include "../pure/text.h"
#include "../monitor/monitor.h"
#include "../outputs/outputs.h"
#include "../settings/settings.h"
#include "resource.h"

// Log list styles: unsorted, no notifications, both scroll bars, several
// lines selectable for Copy.
static const DWORD kLogListStyle = WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_HSCROLL |
                                   LBS_HASSTRINGS | LBS_NOINTEGRALHEIGHT | LBS_EXTENDEDSEL;
// The controls' margins at 96 DPI: the button sits just above the status
// bar, the log list takes the rest, so a larger window, a larger frame or
// a larger DPI gives the list what is left. In a window of the first size
// at 96 DPI under the classic frame the list is 227 by 140.
static const int kLogLeft = 3;
static const int kButtonLeft = 4;
static const int kRightMargin = 2;
static const int kButtonHeight = 20;
static const int kButtonGap = 6; // between the list and the button
static const int kStatusGap = 3; // between the button and the status bar
static const UINT_PTR kFlushTimer = 1;
static const UINT kFlushMs = 1000;
static const UINT kOutputsMs = 500;
// A moved or resized window is stored once it has been still this long.
static const UINT kPlaceMs = 500;
// At logon the shell may come up after the program: the icon is tried every
// two seconds for two minutes before the window shows itself instead.
static const UINT kTrayRetryMs = 2000;
static const int kTrayRetries = 60;

// The main window's fonts: "Small Fonts" at 96 DPI, where its pictures were
// drawn. It is a raster face, which Windows would stretch blurred at any
// other size, so a larger DPI takes Tahoma, a scalable face of the same
// plain look that every Windows has.
static const int kFontHeight = 11;
static const char kRasterFace[] = "Small Fonts";
static const char kScalableFace[] = "Tahoma";

static int Scaled(int pixels)
{
    return ScaleToDpi(pixels, AppState.Dpi);
}

static int AtLeastZero(int n)
{
    return n > 0 ? n : 0;
}

static void LayoutControls(HWND window)
{
    RECT client, status;
    if (AppState.LogList == NULL || !GetClientRect(window, &client) ||
        !GetWindowRect(AppState.StatusBar, &status))
        return;
    MapWindowPoints(NULL, window, (POINT*)&status, 2);
    int right = client.right - Scaled(kRightMargin);
    int buttonBottom = status.top - Scaled(kStatusGap);
    int buttonTop = buttonBottom - Scaled(kButtonHeight);
    int logBottom = buttonTop - Scaled(kButtonGap);
    MoveWindow(AppState.LogList, Scaled(kLogLeft), 0, AtLeastZero(right - Scaled(kLogLeft)),
               AtLeastZero(logBottom), TRUE);
    MoveWindow(AppState.ListenButton, Scaled(kButtonLeft), buttonTop,
               AtLeastZero(right - Scaled(kButtonLeft)), Scaled(kButtonHeight), TRUE);
    ShowNewestLines(AppState.LogList);
}

static void OnSize(HWND window, WPARAM kind)
{
    MoveWindow(AppState.StatusBar, 0, 0, 0, 0, TRUE); // it places itself at the bottom
    LayoutControls(window);
    RECT r;
    if (kind == SIZE_RESTORED && GetWindowRect(window, &r)) {
        AppState.WindowWidth = r.right - r.left;
        AppState.WindowHeight = r.bottom - r.top;
    }
}

// Takes the place of a shown, restored window and, when asked, stores it.
// A minimized or maximized window keeps the place it will come back to.
static void StoreWindowPlace(HWND window, bool save)
{
    KillTimer(window, kPlaceTimer);
    RECT r;
    if (!IsWindowVisible(window) || IsIconic(window) || IsZoomed(window) ||
        !GetWindowRect(window, &r))
        return;
    AppState.WindowX = r.left;
    AppState.WindowY = r.top;
    AppState.WindowWidth = r.right - r.left;
    AppState.WindowHeight = r.bottom - r.top;
    if (save)
        SaveSettings(false);
}

// A moved window waits until it has been still a moment: a drag is one
// write, not one for every step.
static void OnMovedOrSized(HWND window)
{
    if (IsWindowVisible(window))
        SetTimer(window, kPlaceTimer, kPlaceMs, NULL);
}

// A window that shows itself on a place no monitor covers any more (one
// was unplugged, the display shrank) comes onto the nearest one.
static void BringOntoMonitor(HWND window)
{
    RECT r;
    if (IsIconic(window) || !GetWindowRect(window, &r))
        return;
    HMONITOR monitor = MonitorFromRect(&r, MONITOR_DEFAULTTONEAREST);
    MONITORINFO info;
    info.cbSize = sizeof info;
    if (monitor == NULL || !GetMonitorInfoA(monitor, &info))
        return;
    PlaceRect place = {r.left, r.top, r.right, r.bottom};
    PlaceRect work = {info.rcWork.left, info.rcWork.top, info.rcWork.right, info.rcWork.bottom};
    if (MostlyInside(place, work))
        return;
    PlaceRect moved = MoveInside(place, work);
    SetWindowPos(window, NULL, moved.left, moved.top, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

static void FreeBuffers()
{
    BlockFree(AppState.SendBuffer);
    BlockFree(AppState.CustomMessage);
    BlockFree(AppState.RecvBuffer);
    BlockFree(AppState.EscapeBuffer);
    BlockFree(AppState.SavePath);
    AppState.SendBuffer = NULL;
    AppState.CustomMessage = NULL;
    AppState.RecvBuffer = NULL;
    AppState.EscapeBuffer = NULL;
    AppState.SavePath = NULL;
}

static bool AllocateBuffers()
{
    AppState.RecvBuffer = (char*)BlockAlloc(kRecvBufferSize, false);
    AppState.CustomMessage = (char*)BlockAlloc(kCustomMessageSize, true);
    AppState.SendBuffer = (char*)BlockAlloc(kSendBufferSize, true);
    AppState.SavePath = (char*)BlockAlloc(kSavePathSize, true);
    AppState.EscapeBuffer = (char*)BlockAlloc(kEscapeBufferSize, false);
    if (AppState.RecvBuffer && AppState.CustomMessage && AppState.SendBuffer && AppState.SavePath &&
        AppState.EscapeBuffer)
        return true;
    FreeBuffers();
    return false;
}

static HFONT MakeSmallFont(int weight)
{
    const char* face = AppState.Dpi > kBaseDpi ? kScalableFace : kRasterFace;
    return CreateFontA(Scaled(kFontHeight), 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, face);
}

// Makes the fonts for the window's DPI and gives them to the controls; the
// old ones go once no control holds them.
static void MakeFonts()
{
    HFONT oldNormal = AppState.NormalFont;
    HFONT oldBold = AppState.BoldFont;
    AppState.NormalFont = MakeSmallFont(FW_NORMAL);
    AppState.BoldFont = MakeSmallFont(800);
    const HWND controls[] = {AppState.StatusBar, AppState.ListenButton, AppState.LogList};
    for (HWND control : controls)
        if (control != NULL)
            SendMessageA(control, WM_SETFONT, (WPARAM)AppState.NormalFont, TRUE);
    AppState.LogCharWidth = 0; // measured again in the new font
    if (oldNormal != NULL)
        DeleteObject(oldNormal);
    if (oldBold != NULL)
        DeleteObject(oldBold);
}

static void BuildMenus()
{
    HMENU tray = CreatePopupMenu();
    AppendMenuA(tray, MF_OWNERDRAW | MF_DISABLED, IDM_TRAYTITLE, NULL);
    AppendMenuA(tray, MF_SEPARATOR, 0, NULL);
    AppendMenuA(tray, MF_STRING, IDC_LISTEN, "Listen");
    AppendMenuA(tray, MF_STRING | MF_GRAYED | MF_DISABLED, IDM_RESETALERT, "&Reset Alert");
    AppendMenuA(tray, MF_SEPARATOR, 0, NULL);
    AppendMenuA(tray, MF_STRING, IDM_RESTORE, "&Restore");
    AppendMenuA(tray, MF_STRING, IDM_TRAYSTATS, "Statistics...");
    AppendMenuA(tray, MF_STRING, IDM_ABOUT, "&About");
    AppendMenuA(tray, MF_SEPARATOR, 0, NULL);
    AppendMenuA(tray, MF_STRING, IDM_EXIT, "Exit");
    AppState.TrayMenu = tray;

    HMENU log = CreatePopupMenu();
    AppendMenuA(log, MF_STRING, IDM_LOG_COPY, "C&opy");
    AppendMenuA(log, MF_STRING, IDM_LOG_SAVE, "&Save Log");
    AppendMenuA(log, MF_STRING, IDM_LOG_CLEAR, "&Clear Log");
    AppendMenuA(log, MF_SEPARATOR, 0, NULL);
    AppendMenuA(log, MF_STRING, IDM_LOG_BLOCK, "&Block this caller");
    AppState.LogMenu = log;
}

static void BuildControls(HWND window)
{
    AppState.StatusBar = CreateStatusWindowA(WS_CHILD | WS_VISIBLE, NULL, window, IDC_STATUSBAR);
    SendMessageA(AppState.StatusBar, SB_SIMPLE, 1, 0);
    SendMessageA(AppState.StatusBar, SB_SETBKCOLOR, 0, (LPARAM)GetSysColor(COLOR_BTNFACE));

    // Placed by LayoutControls once the fonts are in.
    AppState.ListenButton =
        CreateWindowExA(0, "BUTTON", "Listen", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, window,
                        (HMENU)(INT_PTR)IDC_LISTEN, AppState.Instance, NULL);

    AppState.LogList =
        CreateWindowExA(WS_EX_CLIENTEDGE, "LISTBOX", NULL, kLogListStyle, 0, 0, 0, 0, window,
                        (HMENU)(INT_PTR)IDC_LOGLIST, AppState.Instance, NULL);
    // Subclassed in Unicode: the list box of Common Controls 6 is a Unicode
    // window, and an ANSI procedure in front of it would have every line
    // read pass through the system's translation, which under Wine overruns
    // a fixed buffer on a line longer than 511 characters.
    AppState.LogListOldProc =
        (WNDPROC)SetWindowLongPtrW(AppState.LogList, GWLP_WNDPROC, (LONG_PTR)LogListProc);
}

// Adds the icon as it stands now, alert picture and tip included. An icon
// the shell still has (a restart message that was not one) is updated
// instead.
static bool AddTrayIconNow()
{
    NOTIFYICONDATAA add = AppState.TrayIconData;
    add.cbSize = NOTIFYICONDATAA_V1_SIZE;
    add.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    bool shown = Shell_NotifyIconA(NIM_ADD, &add) || Shell_NotifyIconA(NIM_MODIFY, &add);
    AppState.TrayIconShown = shown ? 1 : 0;
    return shown;
}

// Puts the icon in the notification area, or starts trying again.
static void ShowTrayIcon(HWND window)
{
    AppState.TrayRetries = 0;
    if (AddTrayIconNow())
        KillTimer(window, kTrayTimer);
    else
        SetTimer(window, kTrayTimer, kTrayRetryMs, NULL);
}

static void OnTrayTimer(HWND window)
{
    if (AppState.TrayRetries >= kTrayRetries)
        return; // given up: a tick that was already queued
    if (AddTrayIconNow()) {
        KillTimer(window, kTrayTimer);
        return;
    }
    if (++AppState.TrayRetries < kTrayRetries)
        return;
    // The only other way in is the window: show it, so the program is never
    // out of reach. A shell that starts later still gets the icon.
    KillTimer(window, kTrayTimer);
    ReportError("Tray icon error: the notification area is not available");
    OnCommand(window, IDM_RESTORE);
}

static void InitTrayIcon(HWND window)
{
    NOTIFYICONDATAA& tray = AppState.TrayIconData;
    tray = NOTIFYICONDATAA();
    tray.cbSize = NOTIFYICONDATAA_V1_SIZE;
    tray.hWnd = window;
    tray.uID = TRAY_ICON_ID;
    tray.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    tray.uCallbackMessage = WM_TRAYNOTIFY;
    tray.hIcon = AppState.IconIdle;
    TextCopy(tray.szTip, kWindowTitle);
    TextAppend(tray.szTip, ": Idle");
    // Explorer sends this to every top-level window when it (re)starts.
    AppState.TaskbarCreatedMessage = RegisterWindowMessageA("TaskbarCreated");
    ShowTrayIcon(window);
}

static LRESULT OnCreate(HWND window)
{
    AppState.MainWindow = window;
    if (!AllocateBuffers()) {
        MessageBoxA(window, "Out of memory", kWindowTitle, MB_OK | MB_ICONEXCLAMATION);
        return -1;
    }
    AppState.Dpi = WindowDpi(window);
    StartupSwitches switches = LoadSettings(window);
    BuildMenus();
    BuildControls(window);
    MakeFonts();
    OnSize(window, SIZE_RESTORED);
    if (switches.trustedSkipped[0] != '\0') {
        char line[300];
        TextCopy(line, "Trusted callers skipped: ");
        TextAppend(line, switches.trustedSkipped);
        AddLogLine(line);
    }
    for (int i = 0; i < switches.noteCount && i < kSettingsNotesCap; ++i)
        AddLogLine(switches.notes[i]);
    StartWinsock();
    OutputsStart();
    InitTrayIcon(window);
    SetTimer(window, kFlushTimer, kFlushMs, NULL);
    SetTimer(window, kOutputsTimer, kOutputsMs, NULL);

    // Posted, not sent: they run from the loop once the menu is attached.
    if (switches.onTop)
        PostMessageA(window, WM_COMMAND, IDM_ONTOP, 0);
    if (switches.firstRun)
        PostMessageA(window, WM_COMMAND, IDM_FIRSTRUN, 0);
    if (switches.connected)
        PostMessageA(window, WM_COMMAND, IDC_LISTEN, 0);
    else
        SetStatusText("Idle");
    return 0;
}

static LRESULT OnDrawItem(const DRAWITEMSTRUCT& item)
{
    // Only the tray menu's title is drawn by the program.
    if (item.itemAction != ODA_DRAWENTIRE)
        return 0;
    HDC dc = item.hDC;
    const RECT& r = item.rcItem;
    int x = r.left + (int)((unsigned)(r.right - r.left) >> 1);
    FillRect(dc, &r, GetSysColorBrush(COLOR_ACTIVECAPTION));
    SetTextColor(dc, GetSysColor(COLOR_CAPTIONTEXT));
    int oldMode = SetBkMode(dc, TRANSPARENT);
    UINT oldAlign = SetTextAlign(dc, TA_CENTER | TA_TOP);
    HGDIOBJ oldFont = SelectObject(dc, AppState.BoldFont);
    ExtTextOutA(dc, x, Scaled(2), ETO_CLIPPED, &r, kWindowTitle, (UINT)TextLength(kWindowTitle),
                NULL);
    SetTextAlign(dc, oldAlign);
    SelectObject(dc, oldFont);
    SetBkMode(dc, oldMode);
    return 1;
}

// The outputs' tick times the connections' limits too.
static void OnOutputsTimer()
{
    OutputsTick();
    CheckConnectionLimits();
}

// The exit path: everything the program holds is given back, settings first
// while every field still holds its value.
static void ShutDown()
{
    SaveSettings();
    StatisticsFlush();
    KillTimer(AppState.MainWindow, kFlushTimer);
    KillTimer(AppState.MainWindow, kTrayTimer);
    KillTimer(AppState.MainWindow, kPlaceTimer);
    Shell_NotifyIconA(NIM_DELETE, &AppState.TrayIconData);
    DeleteObject(AppState.NormalFont);
    DeleteObject(AppState.BoldFont);
    AppState.NormalFont = NULL;
    AppState.BoldFont = NULL;
    CloseStealthWatch();
    KillTimer(AppState.MainWindow, kOutputsTimer);
    if (AppState.IsListening) {
        CloseAllListeners();
        ReportStopped("Listening stopped");
    }
    CloseAllConnections();
    OutputsStop();
    CancelHostLookups();
    WSACleanup();
    LogFileClose(); // last: whatever was logged on the way out is in the file
    ListFreeAll(AppState.PortList);
    ListFreeAll(AppState.PortList6);
    ListFreeAll(AppState.ConnectionList);
    ListFreeAll(AppState.RetiredSockets);
    FreeBuffers();
    DestroyMenu(AppState.TrayMenu);
    DestroyMenu(AppState.LogMenu);
    AppState.TrayMenu = NULL;
    AppState.LogMenu = NULL;
}

// Windows ends the process soon after this returns, whatever it holds:
// everything that must outlive it is done now, quickly and without asking.
static void OnEndSession(HWND window)
{
    StoreWindowPlace(window, false);
    SaveSettings();
    StatisticsFlush();
    CloseStealthWatch();
    if (AppState.IsListening) {
        CloseAllListeners();
        ReportStopped("Session ending");
    }
    CloseAllConnections();
    OutputsStop();
    AddLogLine("Session ending");
    LogFileClose();
}

static LRESULT OnClose(HWND window)
{
    if (!AppState.ExitRequested) {
        ShowWindow(window, SW_HIDE);
        return 0;
    }
    ShutDown();
    return DefWindowProcA(window, WM_CLOSE, 0, 0);
}

// The window came onto a screen of another DPI, or the screen's DPI
// changed: everything the program sized itself is made again for the new
// one, and the window takes the place Windows suggests.
static void OnDpiChanged(HWND window, int dpi, const RECT& suggested)
{
    if (dpi <= 0)
        return;
    // The widest line so far, at the new size; later lines are measured.
    int extent = AppState.Dpi > 0 ? MulDiv(AppState.LogExtent, dpi, AppState.Dpi) : 0;
    AppState.Dpi = dpi;
    MakeFonts();
    AppState.LogExtent = extent;
    SendMessageA(AppState.LogList, LB_SETHORIZONTALEXTENT, (WPARAM)extent, 0);
    LoadTrayIcons();
    SetWindowPos(window, NULL, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
    OnSize(window, SIZE_RESTORED);
}

static LRESULT OnDestroy()
{
    if (AppState.LogList != NULL && AppState.LogListOldProc != NULL)
        SetWindowLongPtrW(AppState.LogList, GWLP_WNDPROC, (LONG_PTR)AppState.LogListOldProc);
    PostQuitMessage(0);
    return 0;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    // The shell restarted (Explorer crashed, or came up after the program):
    // its new notification area knows no icon until it is added again.
    if (message == AppState.TaskbarCreatedMessage && message != 0) {
        ShowTrayIcon(window);
        return 0;
    }
    switch (message) {
    case WM_CREATE:
        return OnCreate(window);
    case WM_DESTROY:
        return OnDestroy();
    case WM_CLOSE:
        return OnClose(window);
    case WM_SIZE:
        OnSize(window, wParam);
        OnMovedOrSized(window);
        break;
    case WM_MOVE:
        OnMovedOrSized(window);
        break;
    case WM_EXITSIZEMOVE:
        StoreWindowPlace(window, true);
        break;
    case WM_SHOWWINDOW:
        if (wParam)
            BringOntoMonitor(window);
        break;
    case WM_DISPLAYCHANGE:
        if (IsWindowVisible(window))
            BringOntoMonitor(window);
        break;
    case WM_QUERYENDSESSION:
        return TRUE;
    case WM_ENDSESSION:
        if (wParam)
            OnEndSession(window);
        return 0;
    case WM_GETMINMAXINFO:
        // Never smaller than the first size.
        ((MINMAXINFO*)lParam)->ptMinTrackSize.x = Scaled(kWindowWidth);
        ((MINMAXINFO*)lParam)->ptMinTrackSize.y = Scaled(kWindowHeight);
        break;
    case WM_TIMER:
        if (wParam == kFlushTimer)
            LogFileFlush();
        else if (wParam == kStealthTimer)
            OnStealthTimer();
        else if (wParam == kOutputsTimer)
            OnOutputsTimer();
        else if (wParam == kTrayTimer)
            OnTrayTimer(window);
        else if (wParam == kPlaceTimer)
            StoreWindowPlace(window, true);
        break;
    case WM_DPICHANGED:
        OnDpiChanged(window, HIWORD(wParam), *(const RECT*)lParam);
        return 0;
    case WM_SYSCOLORCHANGE:
        SendMessageA(AppState.StatusBar, SB_SETBKCOLOR, 0, (LPARAM)GetSysColor(COLOR_BTNFACE));
        break;
    case WM_DRAWITEM:
        if (wParam == 0)
            return OnDrawItem(*(const DRAWITEMSTRUCT*)lParam);
        break;
    case WM_MOVING:
        AppState.WindowX = ((const RECT*)lParam)->left;
        AppState.WindowY = ((const RECT*)lParam)->top;
        break;
    case WM_COMMAND:
        OnCommand(window, LOWORD(wParam));
        break;
    case WM_INITMENUPOPUP:
        // Block Scanners and the rights can change while the menu is shut.
        if (!HIWORD(lParam))
            ShowRestartAdminItem();
        break;
    case WM_TRAYNOTIFY:
        OnTrayNotify(window, wParam, lParam);
        break;
    case WM_SOCKETEVENT:
        OnSocketEvent((SocketHandle)wParam, WSAGETSELECTEVENT(lParam), WSAGETSELECTERROR(lParam));
        break;
    case WM_SOCKETRETIRED:
        ListRemoveBySocket(AppState.RetiredSockets, (SocketHandle)wParam);
        break;
    case WM_WATCHBATCH:
        OnStealthBatch();
        break;
    case WM_LOGFILEERROR:
        ReportLogFileError((DWORD)wParam, lParam);
        break;
    case WM_WEBHOOKRESULT:
        WebhookResult(wParam, lParam);
        break;
    case WM_HOSTRESOLVED:
        OnHostResolved((HANDLE)wParam, HIWORD(lParam));
        break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
