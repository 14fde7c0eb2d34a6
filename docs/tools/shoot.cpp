// shoot.exe: the Windows half of scripts/screenshots.sh. Each run does one
// step to a running harbinel.exe (show a window, make a scan, open or close a
// dialog) and waits, with a deadline, until the step has visibly happened.
// Steps that bring a window up print its rectangle in screen coordinates as
// "left top right bottom", one window a line, for the script to crop by.
// Exit code 0 when the step happened, 1 when it did not in time, 2 on misuse.
// CMake builds it (target shoot, docs/tools/CMakeLists.txt) for the program's
// machine; scripts/run.sh also uses its `command` step to end the program. It
// is no part of the product.
//
//   shoot.exe main                  the main window's rectangle, once it shows
//   shoot.exe command ID            posts WM_COMMAND ID to the main window
//   shoot.exe window TITLE          waits for the program's window TITLE
//   shoot.exe click TITLE ID        clicks button ID of window TITLE, which must
//                                   be enabled, as for a user
//   shoot.exe close TITLE           closes window TITLE and waits until it is gone
//   shoot.exe scan PORT TEXT        connects to this machine's PORT, sends TEXT and
//                                   waits until the log shows the whole scan
//   shoot.exe listen on|off         turns listening on or off and waits until the
//                                   Listen button says so
//   shoot.exe tray-menu             opens the tray menu over the tray icon;
//                                   prints the menu's and the icon's rectangles
//   shoot.exe close-menu            dismisses the tray menu
#include <winsock2.h>
#include <windows.h>

#include <commctrl.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <string>

#include "resource.h"

namespace {

const wchar_t kClassName[] = L"Harbinel_Class";

const DWORD kDeadlineMs = 15000;

// Polls `done` every 20 ms until it holds or the deadline passes.
template <typename Condition> bool WaitFor(Condition done, DWORD timeoutMs = kDeadlineMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (done())
            return true;
        if (GetTickCount64() >= deadline)
            return done();
        Sleep(20);
    }
}

int Fail(const char* what)
{
    fprintf(stderr, "shoot: %s\n", what);
    return 1;
}

HWND MainWindow()
{
    return FindWindowW(kClassName, NULL);
}

void PrintRect(const RECT& r)
{
    printf("%ld %ld %ld %ld\n", r.left, r.top, r.right, r.bottom);
}

void PrintRect(HWND window)
{
    RECT r;
    GetWindowRect(window, &r);
    PrintRect(r);
}

struct WindowSearch {
    DWORD pid;
    const wchar_t* title;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM param)
{
    WindowSearch* search = (WindowSearch*)param;
    DWORD owner = 0;
    wchar_t text[256] = L"";
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->pid || !IsWindowVisible(window))
        return TRUE;
    GetWindowTextW(window, text, 256);
    if (wcscmp(text, search->title) != 0)
        return TRUE;
    search->found = window;
    return FALSE;
}

// The visible top-level window titled `title` in the program's process.
HWND FindProgramWindow(const wchar_t* title)
{
    HWND main = MainWindow();
    DWORD pid = 0;
    if (main == NULL || GetWindowThreadProcessId(main, &pid) == 0)
        return NULL;
    WindowSearch search = {pid, title, NULL};
    EnumWindows(MatchWindow, (LPARAM)&search);
    return search.found;
}

// A visible popup menu window, if one is up.
HWND FindMenuWindow()
{
    HWND menu = NULL;
    while ((menu = FindWindowExW(NULL, menu, L"#32768", NULL)) != NULL)
        if (IsWindowVisible(menu))
            return menu;
    return NULL;
}

// Where the notification icon is on the taskbar. Some Wine versions give
// each icon a window of its own; others (8.0 among them) draw the icons on
// the taskbar itself from its right end on, so with one icon it is the last
// icon-sized square there.
bool FindTrayIcon(RECT& icon)
{
    HWND tray = FindWindowW(L"Shell_TrayWnd", NULL);
    if (tray == NULL || !IsWindowVisible(tray))
        return false;
    HWND window = NULL;
    while ((window = FindWindowExW(tray, window, L"__wine_tray_icon", NULL)) != NULL)
        if (IsWindowVisible(window))
            return GetWindowRect(window, &icon) != FALSE;
    RECT bar;
    GetWindowRect(tray, &bar);
    const int side = GetSystemMetrics(SM_CXSMICON) + 4;
    icon.right = bar.right;
    icon.left = bar.right - side;
    icon.top = (bar.top + bar.bottom - side) / 2;
    icon.bottom = icon.top + side;
    return true;
}

int LogCount(HWND list)
{
    DWORD_PTR count = 0;
    if (!SendMessageTimeoutW(list, LB_GETCOUNT, 0, 0, SMTO_NORMAL, 1000, &count))
        return -1;
    return (int)count;
}

std::wstring LogLine(HWND list, int index)
{
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(list, LB_GETTEXTLEN, (WPARAM)index, 0, SMTO_NORMAL, 1000, &length) ||
        (LRESULT)length == LB_ERR)
        return std::wstring();
    // Room to spare: the line may grow between the two reads.
    std::wstring text(length + 64, L'\0');
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(list, LB_GETTEXT, (WPARAM)index, (LPARAM)&text[0], SMTO_NORMAL, 1000,
                             &got) ||
        (LRESULT)got == LB_ERR)
        return std::wstring();
    text.resize(wcslen(text.c_str()));
    return text;
}

// Whether the log, from line `first` on, holds the caller's text and the
// host name line that the lookup adds last.
bool LogShowsScan(HWND list, int first, const std::wstring& text)
{
    bool sawText = false, sawHost = false;
    int count = LogCount(list);
    for (int i = first; i < count; ++i) {
        std::wstring line = LogLine(list, i);
        sawText = sawText || line == text;
        sawHost = sawHost || line.compare(0, 9, L"   RDNS: ") == 0;
    }
    return sawText && sawHost;
}

// This machine's first address that is not a loopback one, in network
// order, or the loopback address when it has none. Calling that address
// makes both sides of the Accept line the machine's own address, as a user
// would see it for a scan from the same network; a loopback caller's local
// address differs between Windows and Wine.
u_long OwnAddress()
{
    char name[256] = {};
    hostent* host = gethostname(name, sizeof name) == 0 ? gethostbyname(name) : NULL;
    for (int i = 0; host != NULL && host->h_addrtype == AF_INET && host->h_addr_list[i] != NULL;
         ++i) {
        u_long address = 0;
        memcpy(&address, host->h_addr_list[i], sizeof address);
        if ((ntohl(address) >> 24) != 127)
            return address;
    }
    return htonl(INADDR_LOOPBACK);
}

int Scan(int port, const char* text)
{
    HWND main = MainWindow();
    HWND list = main != NULL ? GetDlgItem(main, IDC_LOGLIST) : NULL;
    if (list == NULL)
        return Fail("no log list");
    int first = LogCount(list);

    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return Fail("WSAStartup failed");
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons((u_short)port);
    to.sin_addr.s_addr = OwnAddress();
    if (s == INVALID_SOCKET || connect(s, (sockaddr*)&to, sizeof to) != 0)
        return Fail("cannot connect");
    int length = (int)strlen(text);
    if (send(s, text, length, 0) != length)
        return Fail("send failed");

    wchar_t wide[256];
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 256);
    if (!WaitFor([&] { return LogShowsScan(list, first, wide); }))
        return Fail("the log did not show the scan");
    // The program logs the hang-up as well; waiting for that line too makes
    // the picture show the same lines on every run.
    int before = LogCount(list);
    closesocket(s);
    WSACleanup();
    return WaitFor([&] { return LogCount(list) > before; }) ? 0
                                                            : Fail("the hang-up was not logged");
}

int ShowMain()
{
    HWND main = NULL;
    if (!WaitFor([&] { return (main = MainWindow()) != NULL && IsWindowVisible(main); }))
        return Fail("no visible main window");
    PrintRect(main);
    return 0;
}

int Command(UINT id)
{
    HWND main = NULL;
    if (!WaitFor([&] { return (main = MainWindow()) != NULL; }))
        return Fail("no main window");
    return PostMessageW(main, WM_COMMAND, id, 0) ? 0 : Fail("PostMessage failed");
}

int Window(const wchar_t* title)
{
    HWND window = NULL;
    if (!WaitFor([&] { return (window = FindProgramWindow(title)) != NULL; }))
        return Fail("the window did not come");
    PrintRect(window);
    return 0;
}

int Click(const wchar_t* title, int id)
{
    HWND window = NULL;
    if (!WaitFor([&] { return (window = FindProgramWindow(title)) != NULL; }))
        return Fail("no such window");
    HWND button = GetDlgItem(window, id);
    if (button == NULL)
        return Fail("no such button");
    if (!IsWindowEnabled(button))
        return Fail("the button is disabled");
    return PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)button)
               ? 0
               : Fail("PostMessage failed");
}

int Close(const wchar_t* title)
{
    HWND window = FindProgramWindow(title);
    if (window == NULL)
        return 0;
    PostMessageW(window, WM_CLOSE, 0, 0);
    return WaitFor([&] { return !IsWindow(window) || !IsWindowVisible(window); })
               ? 0
               : Fail("the window stayed");
}

std::wstring ButtonText(HWND button)
{
    wchar_t text[64] = L"";
    DWORD_PTR got = 0;
    SendMessageTimeoutW(button, WM_GETTEXT, 64, (LPARAM)text, SMTO_NORMAL, 1000, &got);
    return text;
}

int Listen(bool on)
{
    HWND main = NULL;
    if (!WaitFor([&] { return (main = MainWindow()) != NULL; }))
        return Fail("no main window");
    HWND button = GetDlgItem(main, IDC_LISTEN);
    // The button offers the other state: "Stop" while listening.
    const wchar_t* wanted = on ? L"Stop" : L"Listen";
    if (ButtonText(button) != wanted)
        PostMessageW(main, WM_COMMAND, IDC_LISTEN, 0);
    return WaitFor([&] { return ButtonText(button) == wanted; }) ? 0
                                                                 : Fail("listening did not change");
}

int TrayMenu()
{
    HWND main = NULL;
    if (!WaitFor([&] { return (main = MainWindow()) != NULL; }))
        return Fail("no main window");
    // The program opens the menu where the mouse is, so the mouse goes onto
    // the icon first, as for a right click there: onto its top left corner,
    // so that the menu, which opens up and to the left of the mouse at the
    // screen's corner, leaves the icon in sight. Without a taskbar the menu
    // opens wherever the mouse happens to be.
    RECT icon = {};
    bool onTaskbar = WaitFor([&] { return FindTrayIcon(icon); }, 5000);
    if (onTaskbar)
        SetCursorPos(icon.left + 1, icon.top + 1);
    PostMessageW(main, WM_TRAYNOTIFY, TRAY_ICON_ID, WM_RBUTTONDOWN);
    HWND menu = NULL;
    if (!WaitFor([&] { return (menu = FindMenuWindow()) != NULL; }))
        return Fail("the tray menu did not open");
    PrintRect(menu);
    if (onTaskbar)
        PrintRect(icon);
    return 0;
}

int CloseMenu()
{
    HWND menu = FindMenuWindow();
    if (menu == NULL)
        return 0;
    // The menu's loop reads the keys of its thread, whichever window they name.
    PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0);
    PostMessageW(menu, WM_KEYUP, VK_ESCAPE, 0xC0000001);
    return WaitFor([] { return FindMenuWindow() == NULL; }) ? 0 : Fail("the menu stayed");
}

// Gives the main window a new outer size, as dragging its border would.
int Resize(int width, int height)
{
    HWND main = NULL;
    if (!WaitFor([&] { return (main = MainWindow()) != NULL; }))
        return Fail("no main window");
    SetWindowPos(main, NULL, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    RECT r = {};
    if (!WaitFor([&] { return GetWindowRect(main, &r) && r.right - r.left == width; }))
        return Fail("the window kept its size");
    PrintRect(main);
    return 0;
}

// The notification balloon the tray shows: a visible balloon tip window.
int Balloon()
{
    HWND tip = NULL;
    auto shown = [&] {
        for (tip = FindWindowExW(NULL, NULL, L"tooltips_class32", NULL); tip != NULL;
             tip = FindWindowExW(NULL, tip, L"tooltips_class32", NULL))
            if (IsWindowVisible(tip) && (GetWindowLongW(tip, GWL_STYLE) & TTS_BALLOON))
                return true;
        return false;
    };
    if (!WaitFor(shown))
        return Fail("no balloon came up");
    PrintRect(tip);
    return 0;
}

int Usage()
{
    fprintf(stderr,
            "usage: shoot.exe main | command ID | window TITLE | click TITLE ID |\n"
            "       close TITLE | scan PORT TEXT | listen on|off | tray-menu | close-menu |\n"
            "       resize WIDTH HEIGHT | balloon\n");
    return 2;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    // The script reads the output from a file once the step is over.
    setvbuf(stdout, NULL, _IONBF, 0);
    // Rectangles in real pixels, as the program (which is DPI-aware) sees
    // them, also when the screenshots are taken at a larger DPI.
    SetProcessDPIAware();
    if (argc < 2)
        return Usage();
    std::wstring step = argv[1];
    if (step == L"main" && argc == 2)
        return ShowMain();
    if (step == L"command" && argc == 3)
        return Command((UINT)_wtoi(argv[2]));
    if (step == L"window" && argc == 3)
        return Window(argv[2]);
    if (step == L"click" && argc == 4)
        return Click(argv[2], _wtoi(argv[3]));
    if (step == L"close" && argc == 3)
        return Close(argv[2]);
    if (step == L"scan" && argc == 4) {
        char text[256];
        WideCharToMultiByte(CP_ACP, 0, argv[3], -1, text, sizeof text, NULL, NULL);
        return Scan(_wtoi(argv[2]), text);
    }
    if (step == L"listen" && argc == 3)
        return Listen(wcscmp(argv[2], L"on") == 0);
    if (step == L"tray-menu" && argc == 2)
        return TrayMenu();
    if (step == L"close-menu" && argc == 2)
        return CloseMenu();
    if (step == L"resize" && argc == 4)
        return Resize(_wtoi(argv[2]), _wtoi(argv[3]));
    if (step == L"balloon" && argc == 2)
        return Balloon();
    return Usage();
}
