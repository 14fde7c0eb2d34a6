// Start-up, single instance and the message loop with its Ctrl+letter
// shortcuts. There is no accelerator table: the loop turns the release of a
// letter while Ctrl is held into a command for the main window.
#include "app.h"

#include <commctrl.h>

#include "resource.h"

const char kClassName[] = "Harbinel_Class";
const char kWindowTitle[] = "Harbinel";

// Caption, system menu, sizing border, minimize and maximize boxes.
const DWORD kWindowStyle =
    WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME;

struct Shortcut {
    WPARAM key;
    UINT command;
};

static const Shortcut kShortcuts[] = {
    {'A', IDM_ABOUT},   {'C', IDM_CLEARLOG},     {'M', IDM_MESSAGE},
    {'O', IDM_ONTOP},   {'P', IDM_PORTSETTINGS}, {'R', IDM_RESETALERT},
    {'S', IDM_SAVELOG}, {'T', IDM_TROJANPORTS},  {'W', IDM_WEBSITE},
};

UINT ShortcutCommand(WPARAM virtualKey)
{
    for (const Shortcut& s : kShortcuts)
        if (s.key == virtualKey)
            return s.command;
    return 0;
}

void TrackShortcutKeys(const MSG& msg)
{
    if (msg.message == WM_KEYDOWN && msg.wParam == VK_CONTROL) {
        AppState.CtrlHeld = 1;
    } else if (msg.message == WM_KEYUP && msg.wParam == VK_CONTROL) {
        AppState.CtrlHeld = 0;
    } else if (msg.message == WM_KEYUP && AppState.CtrlHeld) {
        UINT command = ShortcutCommand(msg.wParam);
        if (command != 0)
            SendMessageA(AppState.MainWindow, WM_COMMAND, command, 0);
    }
}

void ResyncCtrlKey()
{
    // A modal loop swallows the key messages this loop watches; after one
    // ends, the flag follows the key's real state again.
    AppState.CtrlHeld = (GetKeyState(VK_CONTROL) & 0x8000) ? 1 : 0;
}

bool StartHarbinel(HINSTANCE instance)
{
    InitCommonControls();
    AppState.Instance = instance;
    // Until the window is there to say, it will be on a screen of the
    // system's DPI.
    AppState.Dpi = SystemDpi();
    LoadTrayIcons();
    AppState.ScreenWidth = GetSystemMetrics(SM_CXSCREEN);
    AppState.ScreenHeight = GetSystemMetrics(SM_CYSCREEN);

    HWND running = FindWindowA(kClassName, NULL);
    if (running != NULL) {
        ShowWindow(running, SW_RESTORE);
        SetForegroundWindow(running);
        return false;
    }

    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof wc;
    wc.style = CS_BYTEALIGNCLIENT | CS_BYTEALIGNWINDOW;
    wc.lpfnWndProc = MainWindowProc;
    wc.hInstance = instance;
    // The window's own icon at the system's sizes; the tray's pictures are
    // loaded at the tray's size.
    wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_MAIN));
    wc.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClassName;
    RegisterClassExA(&wc);

    // Each halving is done on its own operand, as an unsigned shift.
    int width = ScaleToDpi(kWindowWidth, AppState.Dpi);
    int height = ScaleToDpi(kWindowHeight, AppState.Dpi);
    AppState.WindowWidth = width;
    AppState.WindowHeight = height;
    AppState.WindowX = (int)((unsigned)AppState.ScreenWidth >> 1) - (width >> 1);
    AppState.WindowY = (int)((unsigned)AppState.ScreenHeight >> 1) - (height >> 1);
    AppState.MainWindow =
        CreateWindowExA(0, kClassName, kWindowTitle, kWindowStyle, AppState.WindowX,
                        AppState.WindowY, width, height, NULL, NULL, instance, NULL);

    AppState.MainMenu = LoadMenuA(instance, MAKEINTRESOURCEA(IDR_MAINMENU));
    SetMenu(AppState.MainWindow, AppState.MainMenu);
    SetResetAlertItems(false);
    ShowStealthChecked();
    ShowRestartAdminItem();
    ShowWindow(AppState.MainWindow, SW_HIDE);
    UpdateWindow(AppState.MainWindow);
    return true;
}

int RunMessageLoop()
{
    // Only the quit message ends the loop; an error result is a message too.
    while (GetMessageA(&AppState.LoopMessage, NULL, 0, 0) != 0) {
        TrackShortcutKeys(AppState.LoopMessage);
        TranslateMessage(&AppState.LoopMessage);
        DispatchMessageA(&AppState.LoopMessage);
    }
    return (int)AppState.LoopMessage.wParam;
}

int RunHarbinel(HINSTANCE instance)
{
    WaitForEarlierCopy(GetCommandLineW());
    if (!StartHarbinel(instance))
        return 0;
    return RunMessageLoop();
}
