// The application shell in-process: the window as it is created, its menus
// and tray record, Always on top, the hiding close, the tray title's
// drawing and the message loop's Ctrl+letter shortcuts.
#include "harness.h"
#include "dialog_driver.h"

#include <vector>

#include "app/app.h"
#include "resource.h"

using namespace harness;

namespace {

struct ExpectedItem {
    UINT id; // 0 for a separator
    const char* text;
};

// Legacy state bits of an item (MF_GRAYED, MF_DISABLED, MF_CHECKED...).
UINT StateByCommand(HMENU menu, UINT id)
{
    return GetMenuState(menu, id, MF_BYCOMMAND);
}

class StartupTest : public AppTest {};

TEST_F(StartupTest, WindowIsCreatedHiddenCentredAndFixedSize)
{
    HWND w = AppState.MainWindow;
    EXPECT_FALSE(IsWindowVisible(w));
    RECT r;
    ASSERT_TRUE(GetWindowRect(w, &r));
    EXPECT_EQ(r.right - r.left, 240);
    EXPECT_EQ(r.bottom - r.top, 234);

    // Each operand halved on its own by an unsigned shift.
    int sw = GetSystemMetrics(SM_CXSCREEN), sh = GetSystemMetrics(SM_CYSCREEN);
    EXPECT_EQ(AppState.ScreenWidth, sw);
    EXPECT_EQ(AppState.ScreenHeight, sh);
    EXPECT_EQ(r.left, (int)((unsigned)sw >> 1) - 120);
    EXPECT_EQ(r.top, (int)((unsigned)sh >> 1) - 117);
    EXPECT_EQ(AppState.WindowX, r.left);
    EXPECT_EQ(AppState.WindowY, r.top);

    LONG style = GetWindowLongA(w, GWL_STYLE);
    const LONG kShapeBits = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX |
                            WS_THICKFRAME | WS_POPUP | WS_CHILD | WS_VISIBLE;
    // Caption, system menu, sizing border, minimize and maximize boxes.
    EXPECT_EQ(style & kShapeBits, 0x00CF0000);
    EXPECT_EQ(GetWindowLongA(w, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);

    char name[64] = {}, title[64] = {};
    GetClassNameA(w, name, sizeof name);
    GetWindowTextA(w, title, sizeof title);
    EXPECT_STREQ(name, "Harbinel_Class");
    EXPECT_STREQ(title, "Harbinel");
    EXPECT_EQ(GetMenu(w), AppState.MainMenu);
}

TEST_F(StartupTest, StatusBarSaysIdleAndTrayRecordIsIdle)
{
    EXPECT_EQ(StatusText(), kStatusIdle);
    EXPECT_EQ(ListenButtonText(), kButtonListen);
    const NOTIFYICONDATAA& tray = AppState.TrayIconData;
    EXPECT_EQ(tray.cbSize, (DWORD)NOTIFYICONDATAA_V1_SIZE);
    EXPECT_EQ(tray.hWnd, AppState.MainWindow);
    EXPECT_EQ(tray.uID, (UINT)TRAY_ICON_ID);
    EXPECT_EQ(tray.uCallbackMessage, (UINT)WM_TRAYNOTIFY);
    EXPECT_EQ(tray.hIcon, AppState.IconIdle);
    EXPECT_STREQ(tray.szTip, "Harbinel: Idle");
    EXPECT_NE(AppState.IconIdle, (HICON)NULL);
    EXPECT_NE(AppState.IconMain, AppState.IconIdle);
    EXPECT_NE(AppState.IconAlert, AppState.IconIdle);
    EXPECT_EQ(LogCount(), 0) << LogDump(); // Winsock 2.0 was granted: nothing logged
    EXPECT_EQ(AppState.WinsockData.wVersion, MAKEWORD(2, 0));
}

TEST_F(StartupTest, TrayMenuHasItsTenItems)
{
    HMENU tray = AppState.TrayMenu;
    ASSERT_EQ(GetMenuItemCount(tray), 10);
    struct Row {
        UINT id;
        UINT type; // MFT_*
        const char* text;
        bool greyed;
        bool disabled;
    };
    const Row rows[] = {
        {IDM_TRAYTITLE, MFT_OWNERDRAW, "", false, true},
        {0, MFT_SEPARATOR, "", false, false},
        {IDC_LISTEN, MFT_STRING, "Listen", false, false},
        {IDM_RESETALERT, MFT_STRING, "&Reset Alert", true, true},
        {0, MFT_SEPARATOR, "", false, false},
        {IDM_RESTORE, MFT_STRING, "&Restore", false, false},
        {IDM_TRAYSTATS, MFT_STRING, "Statistics...", false, false},
        {IDM_ABOUT, MFT_STRING, "&About", false, false},
        {0, MFT_SEPARATOR, "", false, false},
        {IDM_EXIT, MFT_STRING, "Exit", false, false},
    };
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE("tray menu position " + std::to_string(i + 1));
        const Row& row = rows[i];
        MENUITEMINFOA info = {};
        info.cbSize = sizeof info;
        info.fMask = MIIM_ID | MIIM_FTYPE;
        ASSERT_TRUE(GetMenuItemInfoA(tray, i, TRUE, &info));
        EXPECT_EQ(info.fType & (MFT_OWNERDRAW | MFT_SEPARATOR), row.type);
        if (row.type != MFT_SEPARATOR) {
            EXPECT_EQ(info.wID, row.id);
        }
        if (row.type == MFT_STRING) {
            char text[64] = {};
            GetMenuStringA(tray, i, text, sizeof text, MF_BYPOSITION);
            EXPECT_STREQ(text, row.text);
        }
        UINT state = GetMenuState(tray, i, MF_BYPOSITION);
        if (row.type == MFT_SEPARATOR)
            continue; // the platform reports separators as greyed itself
        EXPECT_EQ((state & MF_GRAYED) != 0, row.greyed) << std::hex << state;
        EXPECT_EQ((state & MF_DISABLED) != 0, row.disabled) << std::hex << state;
        EXPECT_EQ(state & MF_CHECKED, 0u);
    }
    EXPECT_EQ(GetMenuDefaultItem(tray, FALSE, 0), (UINT)-1);
}

TEST_F(StartupTest, MenuBarHasItsPopupsAndResetAlertIsGreyed)
{
    HMENU bar = AppState.MainMenu;
    ASSERT_NE(bar, (HMENU)NULL);
    ASSERT_EQ(GetMenuItemCount(bar), 4);
    const char* popupNames[] = {"&File", "&Options", "&View", "&Help"};
    const std::vector<ExpectedItem> popups[] = {
        {{IDM_SAVELOG, "&Save Log...\tCtrl+S"},
         {IDM_CLEARLOG, "&Clear Log\tCtrl+C"},
         {0, ""},
         {IDM_EXIT, "&Exit"}},
        {{IDM_PORTSETTINGS, "&Port Settings...\tCtrl+P"},
         {IDM_MESSAGE, "&Message...\tCtrl+M"},
         {IDM_RESETALERT, "&Reset Alert\tCtrl+R"},
         {IDM_ONTOP, "&Always on top\tCtrl+O"},
         {0, ""},
         {IDM_ALERTS, "Alerts and &Log..."},
         {IDM_STEALTH, "&Stealth Watch"},
         {IDM_BLOCK, "&Block Scanners"},
         {IDM_BLOCKED, "Blocked &Callers..."}},
        {{IDM_STATISTICS, "&Statistics..."}},
        {{IDM_TROJANPORTS, "&Trojan Ports...\tCtrl+T"},
         {IDM_WEBSITE, "Ferrowind &Web Site...\tCtrl+W"},
         {IDM_ABOUT, "&About...\tCtrl+A"}},
    };
    for (int p = 0; p < 4; ++p) {
        SCOPED_TRACE(popupNames[p]);
        char text[64] = {};
        GetMenuStringA(bar, p, text, sizeof text, MF_BYPOSITION);
        EXPECT_STREQ(text, popupNames[p]);
        HMENU popup = GetSubMenu(bar, p);
        ASSERT_NE(popup, (HMENU)NULL);
        ASSERT_EQ(GetMenuItemCount(popup), (int)popups[p].size());
        for (size_t i = 0; i < popups[p].size(); ++i) {
            const ExpectedItem& want = popups[p][i];
            SCOPED_TRACE(want.text);
            UINT id = GetMenuItemID(popup, (int)i);
            UINT state = GetMenuState(popup, (UINT)i, MF_BYPOSITION);
            if (want.id == 0) {
                EXPECT_NE(state & MF_SEPARATOR, 0u);
                continue;
            }
            EXPECT_EQ(id, want.id);
            GetMenuStringA(popup, (UINT)i, text, sizeof text, MF_BYPOSITION);
            EXPECT_STREQ(text, want.text);
            bool greyed = want.id == IDM_RESETALERT;
            EXPECT_EQ((state & MF_GRAYED) != 0, greyed);
            EXPECT_EQ((state & MF_DISABLED) != 0, greyed);
            EXPECT_EQ(state & MF_CHECKED, 0u);
        }
    }
}

TEST_F(StartupTest, AlwaysOnTopFollowsTheCommandAndTwiceReturnsToNormal)
{
    HWND w = AppState.MainWindow;
    struct Step {
        BYTE onTop;
        bool topmost;
    };
    const Step steps[] = {{0xFF, true}, {0x00, false}, {0xFF, true}, {0x00, false}};
    int n = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE("Always on top chosen " + std::to_string(++n) + " time(s)");
        SendMessageA(w, WM_COMMAND, IDM_ONTOP, 0);
        EXPECT_EQ(AppState.OnTop, step.onTop);
        EXPECT_EQ((GetWindowLongA(w, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0, step.topmost);
        EXPECT_EQ((StateByCommand(AppState.MainMenu, IDM_ONTOP) & MF_CHECKED) != 0, step.topmost);
    }
    EXPECT_FALSE(IsWindowVisible(w)) << "Always on top must not show the window";
}

TEST_F(StartupTest, CloseBoxOnlyHidesAndRestoreShowsAgain)
{
    HWND w = AppState.MainWindow;
    SendMessageA(w, WM_COMMAND, IDM_RESTORE, 0);
    ASSERT_TRUE(IsWindowVisible(w));
    EXPECT_EQ(SendMessageA(w, WM_CLOSE, 0, 0), 0);
    PumpPending();
    EXPECT_TRUE(IsWindow(w));
    EXPECT_FALSE(IsWindowVisible(w));
    EXPECT_FALSE(QuitSeen());
    EXPECT_FALSE(AppState.ExitRequested);
    EXPECT_FALSE(ReadValue(kValueCount).exists) << "the close box must save nothing";
    EXPECT_EQ(AppState.TrayIconData.hIcon, AppState.IconIdle);

    // The system menu's Close is the same hiding close.
    SendMessageA(w, WM_COMMAND, IDM_RESTORE, 0);
    ASSERT_TRUE(IsWindowVisible(w));
    SendMessageA(w, WM_SYSCOMMAND, SC_CLOSE, 0);
    PumpPending();
    EXPECT_TRUE(IsWindow(w));
    EXPECT_FALSE(IsWindowVisible(w));

    // A double click on the tray icon restores it too.
    SendMessageA(w, WM_TRAYNOTIFY, TRAY_ICON_ID, WM_LBUTTONDBLCLK);
    EXPECT_TRUE(IsWindowVisible(w));
}

TEST_F(StartupTest, ExitEndsTheProgramWithQuitCodeZero)
{
    HWND w = AppState.MainWindow;
    ASSERT_TRUE(ExitApp());
    EXPECT_TRUE(QuitSeen());
    EXPECT_EQ(QuitCode(), 0u);
    EXPECT_FALSE(IsWindow(w));
    EXPECT_TRUE(ReadValue(kValueCount).exists) << "Exit saves the settings";
}

// ---- Restart as Administrator ------------------------------------------------

// The seams: the rights this copy has, and the elevated start as the shell
// makes it, recorded and refused with g_startError unless that is 0.
bool g_administrator = false;
bool IsAdministratorSeam()
{
    return g_administrator;
}
std::wstring g_started;
DWORD g_startError = 0;
bool StartElevatedSeam(const wchar_t* exe, const wchar_t* arguments)
{
    g_started = std::wstring(exe) + L" " + arguments;
    SetLastError(g_startError);
    return g_startError == 0;
}

TEST_F(StartupTest, RestartAsAdministratorShowsOnlyWithoutRightsWhileASwitchNeedsThem)
{
    const struct {
        bool administrator;
        BYTE stealth, block;
        bool shown;
    } rows[] = {
        {false, 0, 0, false}, {false, 1, 0, true}, {false, 0, 1, true},
        {true, 1, 1, false},  {false, 1, 1, true}, {false, 0, 0, false},
    };
    AppState.IsAdministrator = IsAdministratorSeam;
    HMENU options = GetSubMenu(AppState.MainMenu, 1);
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.administrator) + std::to_string(row.stealth) +
                     std::to_string(row.block));
        g_administrator = row.administrator;
        AppState.StealthWatch = row.stealth;
        AppState.Block = row.block;
        SendMessageA(AppState.MainWindow, WM_INITMENUPOPUP, (WPARAM)options, MAKELPARAM(1, FALSE));
        MenuItem item = GetMenuItemByCommand(options, IDM_RESTARTADMIN);
        EXPECT_EQ(item.found, row.shown);
        EXPECT_EQ(item.text, row.shown ? "Restart as A&dministrator" : "");
    }
    AppState.StealthWatch = 0;
    AppState.Block = 0;
}

// The new copy is this exe, told which process to wait for; this one ends
// through Exit, so the settings it loads are saved. A refused start leaves
// it running and says so; with a dialog open, which Exit cannot end,
// nothing is started.
TEST_F(StartupTest, RestartAsAdministratorStartsThisExeElevatedAndExits)
{
    AppState.StartElevated = StartElevatedSeam;
    const struct {
        BYTE dialogOpen;
        DWORD error;
        const char* line;
    } refusals[] = {
        {0, ERROR_CANCELLED, "Restart as Administrator cancelled"},
        {0, ERROR_ACCESS_DENIED, "Restart error: Access denied"},
        {1, 0, ""},
    };
    for (const auto& refusal : refusals) {
        SCOPED_TRACE(refusal.line);
        g_started.clear();
        g_startError = refusal.error;
        AppState.DialogOpen = refusal.dialogOpen;
        Command(IDM_RESTARTADMIN);
        AppState.DialogOpen = 0;
        if (!refusal.dialogOpen) {
            EXPECT_GE(FindLogLine(refusal.line), 0) << LogDump();
        }
        EXPECT_EQ(g_started.empty(), refusal.dialogOpen != 0);
        EXPECT_TRUE(AppRunning());
    }
    EXPECT_FALSE(ReadValue(kValueCount).exists) << "a refused restart must not exit";

    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(NULL, exe, MAX_PATH);
    Command(IDM_RESTARTADMIN);
    EXPECT_EQ(g_started, std::wstring(exe) + L" /after " + std::to_wstring(GetCurrentProcessId()));
    EXPECT_TRUE(PumpUntil([] { return QuitSeen() && !AppRunning(); }));
    EXPECT_TRUE(ReadValue(kValueCount).exists) << "Exit saves the settings";
}

// ---- The window at a DPI ---------------------------------------------------------

// A control's place in the main window, and a text's size in its font.
RECT PlaceInMain(HWND control)
{
    RECT r = {};
    GetWindowRect(control, &r);
    MapWindowPoints(NULL, AppState.MainWindow, (POINT*)&r, 2);
    return r;
}

SIZE TextSize(HWND control, const char* text)
{
    SIZE size = {};
    HDC dc = GetDC(control);
    HGDIOBJ old = SelectObject(dc, (HGDIOBJ)SendMessageA(control, WM_GETFONT, 0, 0));
    GetTextExtentPoint32A(dc, text, lstrlenA(text), &size);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    return size;
}

// At dpi the log, the button and the status bar fill the client area, no
// band wider than 8 pixels at 96 DPI between or beside them; the window,
// the text and the tray icon are of dpi's size, and no text is cut.
void ExpectLaidOutAt(int dpi)
{
    SCOPED_TRACE(dpi);
    ASSERT_EQ(AppState.Dpi, dpi);
    auto at = [dpi](int pixels) { return MulDiv(pixels, dpi, 96); };
    RECT client, window;
    GetClientRect(AppState.MainWindow, &client);
    GetWindowRect(AppState.MainWindow, &window);
    EXPECT_GE(window.right - window.left, at(240));
    EXPECT_GE(window.bottom - window.top, at(234));
    RECT log = PlaceInMain(AppState.LogList), button = PlaceInMain(AppState.ListenButton);
    RECT status = PlaceInMain(AppState.StatusBar);
    EXPECT_TRUE(status.left == 0 && status.right == client.right && status.bottom == client.bottom);
    EXPECT_EQ(log.top, 0);
    for (const RECT& r : {log, button})
        EXPECT_TRUE(r.left >= 0 && r.left <= at(8) && r.right <= client.right &&
                    r.right >= client.right - at(8));
    EXPECT_TRUE(button.top >= log.bottom && button.top - log.bottom <= at(8)) << button.top;
    EXPECT_TRUE(status.top >= button.bottom && status.top - button.bottom <= at(8)) << status.top;

    SIZE text = TextSize(AppState.ListenButton, "Listen");
    EXPECT_GE(text.cy, at(11) - 2) << "the text is 11 pixels high at 96 DPI";
    EXPECT_LE(text.cx, button.right - button.left - at(8));
    EXPECT_LE(text.cy, button.bottom - button.top - at(4));
    EXPECT_LE(TextSize(AppState.StatusBar, "Listening").cy, status.bottom - status.top - at(2));
    EXPECT_GE(SendMessageA(AppState.LogList, LB_GETITEMHEIGHT, 0, 0), text.cy);
    ICONINFO icon = {};
    ASSERT_TRUE(GetIconInfo(AppState.TrayIconData.hIcon, &icon));
    BITMAP picture = {};
    GetObjectA(icon.hbmColor ? icon.hbmColor : icon.hbmMask, sizeof picture, &picture);
    DeleteObject(icon.hbmColor);
    DeleteObject(icon.hbmMask);
    EXPECT_EQ(picture.bmWidth, at(16)) << "the tray's small icon";
}

// Wine takes a process's DPI from LogPixels when it starts: run at 96 DPI
// here, and at 144 in the copy TheWindowAt144DpiFromLogPixels starts.
TEST_F(StartupTest, TheSettingsDpiGivesTheLayout)
{
    const char* expected = getenv("HARBINEL_TEST_DPI");
    const int dpi = expected ? atoi(expected) : 96;
    ExpectLaidOutAt(dpi);
    // The dialogs' text grows with the DPI too, and their controls with it.
    EXPECT_TRUE(dialogs::RunScript([dpi] {
        dialogs::PostCommand(IDM_ALERTS);
        HWND dialog = dialogs::WaitForWindow(AppState.MainWindow, "Alerts and Log");
        ASSERT_NE(dialog, (HWND)NULL);
        EXPECT_GE(TextSize(dialog, "Trusted").cy, MulDiv(11, dpi, 96) - 2);
        // Asked of the font, not of its face's stand-in: this prefix has no
        // raster faces, and Windows keeps "Small Fonts" at its drawn size.
        LOGFONTA font = {};
        GetObjectA((HGDIOBJ)SendMessageA(dialog, WM_GETFONT, 0, 0), sizeof font, &font);
        EXPECT_EQ(std::string(font.lfFaceName) == "Small Fonts", dpi == 96) << font.lfFaceName;
        RECT client;
        GetClientRect(dialog, &client);
        for (HWND c = GetWindow(dialog, GW_CHILD); c != NULL; c = GetWindow(c, GW_HWNDNEXT)) {
            RECT r;
            GetWindowRect(c, &r);
            MapWindowPoints(NULL, dialog, (POINT*)&r, 2);
            EXPECT_TRUE(r.right <= client.right && r.bottom <= client.bottom) << GetDlgCtrlID(c);
        }
        dialogs::CloseBox(dialog);
    }));
}

// Windows moved the window onto a screen of 1.5 times the DPI.
TEST_F(StartupTest, ADpiChangeTakesTheSuggestedPlaceAndScalesTheWindow)
{
    HWND w = AppState.MainWindow;
    const int from = AppState.Dpi, to = from * 3 / 2;
    RECT r;
    GetWindowRect(w, &r);
    RECT suggested = {r.left + 5, r.top, r.left + 5 + (r.right - r.left) * 3 / 2,
                      r.top + (r.bottom - r.top) * 3 / 2};
    SendMessageA(w, WM_DPICHANGED, MAKEWPARAM(to, to), (LPARAM)&suggested);
    GetWindowRect(w, &r);
    EXPECT_TRUE(EqualRect(&r, &suggested));
    ExpectLaidOutAt(to);
}

TEST(DpiSetting, TheWindowAt144DpiFromLogPixels)
{
    if (getenv("HARBINEL_TEST_DPI"))
        GTEST_SKIP() << "already the copy";
    HKEY desktop = NULL;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Control Panel\\Desktop", 0, NULL, 0,
                              KEY_ALL_ACCESS, NULL, &desktop, NULL),
              ERROR_SUCCESS);
    // The test prefix has no value of its own: Wine's 96 is the default.
    DWORD dpi = 144, code = 1;
    RegSetValueExA(desktop, "LogPixels", 0, REG_DWORD, (const BYTE*)&dpi, sizeof dpi);
    char self[MAX_PATH] = {};
    GetModuleFileNameA(NULL, self, MAX_PATH);
    std::string line = std::string("\"") + self + "\" --gtest_filter=*TheSettingsDpiGivesTheLayout";
    SetEnvironmentVariableA("HARBINEL_TEST_DPI", "144");
    STARTUPINFOA start = {};
    start.cb = sizeof start;
    PROCESS_INFORMATION copy = {};
    BOOL started = CreateProcessA(NULL, &line[0], NULL, NULL, TRUE, 0, NULL, NULL, &start, &copy);
    SetEnvironmentVariableA("HARBINEL_TEST_DPI", NULL);
    if (started) {
        EXPECT_EQ(WaitForSingleObject(copy.hProcess, 120000), WAIT_OBJECT_0);
        GetExitCodeProcess(copy.hProcess, &code);
        CloseHandle(copy.hProcess);
        CloseHandle(copy.hThread);
    }
    RegDeleteValueA(desktop, "LogPixels");
    RegCloseKey(desktop);
    ASSERT_TRUE(started);
    EXPECT_EQ(code, 0u) << "the copy at 144 DPI failed; its output is above";
}

// ---- The tray menu's drawn title ----------------------------------------------

class DrawItemTest : public AppTest {
  protected:
    void SetUp() override
    {
        AppTest::SetUp();
        BITMAPINFO bi = {};
        bi.bmiHeader.biSize = sizeof bi.bmiHeader;
        bi.bmiHeader.biWidth = kWidth;
        bi.bmiHeader.biHeight = -kHeight;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        dc_ = CreateCompatibleDC(NULL);
        bitmap_ = CreateDIBSection(dc_, &bi, DIB_RGB_COLORS, (void**)&pixels_, NULL, 0);
        ASSERT_NE(bitmap_, (HBITMAP)NULL);
        old_ = SelectObject(dc_, bitmap_);
        for (int i = 0; i < kWidth * kHeight; ++i)
            pixels_[i] = kBlank;
    }
    void TearDown() override
    {
        SelectObject(dc_, old_);
        DeleteObject(bitmap_);
        DeleteDC(dc_);
        AppTest::TearDown();
    }
    LRESULT Draw(WPARAM wParam, UINT action)
    {
        DRAWITEMSTRUCT item = {};
        item.CtlType = ODT_MENU;
        item.itemID = IDM_TRAYTITLE;
        item.itemAction = action;
        item.hwndItem = (HWND)AppState.TrayMenu;
        item.hDC = dc_;
        item.rcItem = {0, 0, kWidth, kHeight};
        return SendMessageA(AppState.MainWindow, WM_DRAWITEM, wParam, (LPARAM)&item);
    }
    int PixelsChanged() const
    {
        int changed = 0;
        for (int i = 0; i < kWidth * kHeight; ++i)
            changed += pixels_[i] != kBlank;
        return changed;
    }
    // A 32-bit DIB pixel of a COLORREF (BGR in memory).
    static DWORD Pixel(COLORREF c)
    {
        return (DWORD)GetRValue(c) << 16 | (DWORD)GetGValue(c) << 8 | GetBValue(c);
    }
    static const int kWidth = 80, kHeight = 16;
    static const DWORD kBlank = 0x00123456;
    HDC dc_ = NULL;
    HBITMAP bitmap_ = NULL;
    HGDIOBJ old_ = NULL;
    DWORD* pixels_ = NULL;
};

TEST_F(DrawItemTest, SelectionAndFocusChangesDrawNothing)
{
    for (UINT action : {(UINT)ODA_SELECT, (UINT)ODA_FOCUS}) {
        SCOPED_TRACE(action);
        EXPECT_EQ(Draw(0, action), 0);
        GdiFlush();
        EXPECT_EQ(PixelsChanged(), 0);
    }
}

TEST_F(DrawItemTest, NonMenuRequestGoesToDefaultProcessing)
{
    EXPECT_EQ(Draw(IDC_LISTEN, ODA_DRAWENTIRE), 0);
    GdiFlush();
    EXPECT_EQ(PixelsChanged(), 0);
}

TEST_F(DrawItemTest, DrawEntireFillsWithCaptionColourAndKeepsTheDcState)
{
    SetBkMode(dc_, OPAQUE);
    SetTextAlign(dc_, TA_LEFT | TA_TOP);
    HGDIOBJ font = GetCurrentObject(dc_, OBJ_FONT);
    EXPECT_EQ(Draw(0, ODA_DRAWENTIRE), 1);
    GdiFlush();
    // The caption colour fills the item; the title's text stays near the top.
    DWORD caption = Pixel(GetSysColor(COLOR_ACTIVECAPTION));
    EXPECT_EQ(pixels_[0], caption);
    EXPECT_EQ(pixels_[(kHeight - 1) * kWidth + kWidth - 1], caption);
    EXPECT_EQ(GetBkMode(dc_), OPAQUE);
    EXPECT_EQ(GetTextAlign(dc_), (UINT)(TA_LEFT | TA_TOP));
    EXPECT_EQ(GetCurrentObject(dc_, OBJ_FONT), font);
    EXPECT_EQ(GetTextColor(dc_), GetSysColor(COLOR_CAPTIONTEXT));
}

// ---- The message loop's shortcuts -------------------------------------------

// Records the commands that reach the main window and swallows them, so
// that the dialogs, the About box and the browser never open.
std::vector<UINT> recordedCommands;
std::vector<std::string> recordedOrder;
WNDPROC mainOldProc = NULL;
WNDPROC listOldProc = NULL;

LRESULT CALLBACK RecordingMainProc(HWND w, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COMMAND) {
        recordedCommands.push_back(LOWORD(wParam));
        recordedOrder.push_back("command " + std::to_string(LOWORD(wParam)));
        return 0;
    }
    return CallWindowProcA(mainOldProc, w, message, wParam, lParam);
}

LRESULT CALLBACK RecordingListProc(HWND w, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_KEYUP)
        recordedOrder.push_back("keyup " + std::to_string(wParam));
    return CallWindowProcA(listOldProc, w, message, wParam, lParam);
}

class ShortcutTest : public AppTest {
  protected:
    void SetUp() override
    {
        AppTest::SetUp();
        recordedCommands.clear();
        recordedOrder.clear();
        mainOldProc = (WNDPROC)SetWindowLongPtrA(AppState.MainWindow, GWLP_WNDPROC,
                                                 (LONG_PTR)RecordingMainProc);
    }
    void TearDown() override
    {
        SetWindowLongPtrA(AppState.MainWindow, GWLP_WNDPROC, (LONG_PTR)mainOldProc);
        AppTest::TearDown();
    }
    static void Key(UINT message, WPARAM key)
    {
        MSG msg = {};
        msg.hwnd = AppState.LogList;
        msg.message = message;
        msg.wParam = key;
        TrackShortcutKeys(msg);
    }
};

TEST_F(ShortcutTest, EachLetterWhileCtrlIsHeldSendsItsCommand)
{
    const struct {
        char letter;
        UINT command;
    } table[] = {{'A', IDM_ABOUT},   {'C', IDM_CLEARLOG},     {'M', IDM_MESSAGE},
                 {'O', IDM_ONTOP},   {'P', IDM_PORTSETTINGS}, {'R', IDM_RESETALERT},
                 {'S', IDM_SAVELOG}, {'T', IDM_TROJANPORTS},  {'W', IDM_WEBSITE}};
    for (const auto& row : table) {
        SCOPED_TRACE(std::string("Ctrl+") + row.letter);
        recordedCommands.clear();
        Key(WM_KEYDOWN, VK_CONTROL);
        EXPECT_EQ(AppState.CtrlHeld, 1);
        Key(WM_KEYDOWN, (WPARAM)row.letter); // the press sends nothing
        EXPECT_TRUE(recordedCommands.empty());
        Key(WM_KEYUP, (WPARAM)row.letter);
        EXPECT_EQ(recordedCommands, std::vector<UINT>{row.command});
        Key(WM_KEYUP, VK_CONTROL);
        EXPECT_EQ(AppState.CtrlHeld, 0);
    }
}

TEST_F(ShortcutTest, OtherKeysAndLettersWithoutCtrlSendNothing)
{
    const struct {
        const char* name;
        std::vector<std::pair<UINT, WPARAM>> keys;
    } cases[] = {
        {"Ctrl+X", {{WM_KEYDOWN, VK_CONTROL}, {WM_KEYUP, 'X'}, {WM_KEYUP, VK_CONTROL}}},
        {"Ctrl+1", {{WM_KEYDOWN, VK_CONTROL}, {WM_KEYUP, '1'}, {WM_KEYUP, VK_CONTROL}}},
        {"S alone", {{WM_KEYDOWN, 'S'}, {WM_KEYUP, 'S'}}},
        {"Ctrl released, then S",
         {{WM_KEYDOWN, VK_CONTROL}, {WM_KEYUP, VK_CONTROL}, {WM_KEYUP, 'S'}}},
        {"Ctrl held, S as a system key",
         {{WM_KEYDOWN, VK_CONTROL}, {WM_SYSKEYUP, 'S'}, {WM_KEYUP, VK_CONTROL}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        recordedCommands.clear();
        for (const auto& k : c.keys)
            Key(k.first, k.second);
        EXPECT_TRUE(recordedCommands.empty());
        EXPECT_EQ(AppState.CtrlHeld, 0);
    }
}

TEST_F(ShortcutTest, TheLoopSendsTheCommandBeforeTheKeyReachesItsWindow)
{
    listOldProc =
        (WNDPROC)SetWindowLongPtrA(AppState.LogList, GWLP_WNDPROC, (LONG_PTR)RecordingListProc);
    // The target window is not looked at: keys posted to the log list count.
    PostMessageA(AppState.LogList, WM_KEYDOWN, VK_CONTROL, 0);
    PostMessageA(AppState.LogList, WM_KEYUP, 'S', 0xC0000001);
    PostMessageA(AppState.LogList, WM_KEYUP, VK_CONTROL, 0xC0000001);
    bool done = PumpUntil([] { return AppState.CtrlHeld == 0 && recordedOrder.size() >= 3; }, 2000);
    SetWindowLongPtrA(AppState.LogList, GWLP_WNDPROC, (LONG_PTR)listOldProc);
    ASSERT_TRUE(done);
    std::vector<std::string> want = {"command " + std::to_string(IDM_SAVELOG),
                                     "keyup " + std::to_string('S'),
                                     "keyup " + std::to_string(VK_CONTROL)};
    EXPECT_EQ(recordedOrder, want);
}

TEST_F(ShortcutTest, ResyncClearsAStuckCtrlFlag)
{
    ASSERT_EQ(GetKeyState(VK_CONTROL) & 0x8000, 0) << "Ctrl must be up for this test";
    AppState.CtrlHeld = 1;
    ResyncCtrlKey();
    EXPECT_EQ(AppState.CtrlHeld, 0);
    Key(WM_KEYUP, 'S');
    EXPECT_TRUE(recordedCommands.empty());
}

} // namespace
