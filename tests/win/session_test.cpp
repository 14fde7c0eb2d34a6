// The program in a real Windows session: settings stored the moment they
// change, a session that ends without Exit, the notification area coming
// and going, a window whose monitor is gone, and failures that must reach
// the log (a key that cannot be written, syslog messages that never left).
#include "harness.h"

#include <string>
#include <vector>

#include "app/app.h"
#include "log/log.h"
#include "monitor/monitor.h"
#include "outputs/outputs.h"
#include "resource.h"

using namespace harness;

namespace {

RECT WorkAreaOf(HWND window)
{
    MONITORINFO info;
    info.cbSize = sizeof info;
    GetMonitorInfoA(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &info);
    return info.rcWork;
}

RECT WindowRect()
{
    RECT r = {};
    GetWindowRect(AppState.MainWindow, &r);
    return r;
}

bool StoredAt(int x, int y)
{
    return ReadValue(kValueWindowX).AsDword() == (DWORD)x &&
           ReadValue(kValueWindowY).AsDword() == (DWORD)y;
}

// ---- Stored at once -----------------------------------------------------------

class StoredAtOnceTest : public AppTest {};

// Each change reaches the key before any Exit: a process ended at shutdown
// (or killed) keeps it.
TEST_F(StoredAtOnceTest, EachSwitchIsInTheKeyAsSoonAsItChanges)
{
    u_short port = FreePort();
    AddPortToList(port);
    const struct {
        const char* name;
        UINT command;
        const char* value;
        BYTE stored;
    } cases[] = {
        {"Listen", IDC_LISTEN, kValueConnected, 1},
        {"Always on top", IDM_ONTOP, kValueOnTop, 0xFF},
        {"Stealth Watch", IDM_STEALTH, kValueStealthWatch, 1},
        {"Stop", IDC_LISTEN, kValueConnected, 0},
        {"Always on top again", IDM_ONTOP, kValueOnTop, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Command(c.command);
        RegValue value = ReadValue(c.value);
        ASSERT_TRUE(value.exists) << "not stored";
        EXPECT_EQ(value.type, (DWORD)REG_BINARY);
        EXPECT_EQ(value.data, std::vector<BYTE>{c.stored});
    }
}

TEST_F(StoredAtOnceTest, AMovedOrResizedWindowIsStoredOnceItIsStill)
{
    Command(IDM_RESTORE);
    RECT work = WorkAreaOf(AppState.MainWindow);
    const int x = work.left + 37, y = work.top + 41;
    SetWindowPos(AppState.MainWindow, NULL, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    EXPECT_TRUE(PumpUntil([&] { return StoredAt(x, y); }))
        << ReadValue(kValueWindowX).AsDword() << "," << ReadValue(kValueWindowY).AsDword();
    SetWindowPos(AppState.MainWindow, NULL, 0, 0, 300, 280, SWP_NOMOVE | SWP_NOZORDER);
    EXPECT_TRUE(PumpUntil([] {
        return ReadValue(kValueWindowWidth).AsDword() == 300u &&
               ReadValue(kValueWindowHeight).AsDword() == 280u;
    })) << ReadValue(kValueWindowWidth).AsDword();
}

// ---- A key that cannot be written ------------------------------------------------

// A volatile parent cannot hold the program's lasting key: every save fails
// there, as one would under a locked-down profile.
class SettingsErrorTest : public AppTest {
  protected:
    void PrepareSettings() override
    {
        MakeParentVolatile();
    }
    void TearDown() override
    {
        AppTest::TearDown();
        RegDeleteTreeA(HKEY_CURRENT_USER, "SOFTWARE\\Ferrowind");
    }
    static void MakeParentVolatile()
    {
        RegDeleteTreeA(HKEY_CURRENT_USER, "SOFTWARE\\Ferrowind");
        HKEY key = NULL;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Ferrowind", 0, NULL,
                                  REG_OPTION_VOLATILE, KEY_ALL_ACCESS, NULL, &key, NULL),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static int ErrorLines()
    {
        int n = 0;
        for (const std::string& line : LogLines())
            n += StartsWith(line, kSettingsErrorPrefix) ? 1 : 0;
        return n;
    }
};

TEST_F(SettingsErrorTest, OneLinePerRunOfFailedSaves)
{
    const std::string expected =
        std::string(kSettingsErrorPrefix) + "Key is under a key that is not kept";
    Command(IDM_ONTOP);
    EXPECT_EQ(FindLogLine(expected), 0) << LogDump();
    Command(IDM_ONTOP);
    Command(IDM_STEALTH);
    EXPECT_EQ(ErrorLines(), 1) << LogDump();
    EXPECT_FALSE(SettingsKeyExists());

    // The parent made lasting again: the next save works and says nothing.
    RegDeleteTreeA(HKEY_CURRENT_USER, "SOFTWARE\\Ferrowind");
    Command(IDM_STEALTH);
    EXPECT_TRUE(ReadValue(kValueStealthWatch).exists);
    EXPECT_EQ(ErrorLines(), 1) << LogDump();

    // A new failure after that is a new run: it is told again.
    ASSERT_NO_FATAL_FAILURE(MakeParentVolatile());
    Command(IDM_ONTOP);
    EXPECT_EQ(ErrorLines(), 2) << LogDump();
    EXPECT_TRUE(AppRunning());
}

// ---- The session ends -----------------------------------------------------------

class EndSessionTest : public AppTest {};

TEST_F(EndSessionTest, EverythingIsStoredTheListenersCloseAndTheLogEnds)
{
    u_short port = FreePort();
    AddPortToList(port);
    Command(IDC_LISTEN);
    ASSERT_EQ(AppState.IsListening, 1) << LogDump();
    AppState.MessageType = 1;
    DeleteSettings(); // only what the session's end writes is in the key

    // Asked first; a session end that another program cancels changes nothing.
    EXPECT_EQ(SendMessageA(AppState.MainWindow, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE);
    SendMessageA(AppState.MainWindow, WM_ENDSESSION, FALSE, ENDSESSION_LOGOFF);
    EXPECT_EQ(FindLogLine(kSessionEnding), -1);
    EXPECT_FALSE(SettingsKeyExists());
    {
        Caller caller;
        EXPECT_TRUE(caller.Connect(port)) << "a cancelled end closed the listener";
        EXPECT_TRUE(WaitForLogLine(kScanDetected, false));
    }

    SendMessageA(AppState.MainWindow, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    std::vector<std::string> lines = LogLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), kSessionEnding) << LogDump();
    EXPECT_EQ(StoredPorts(), std::vector<int>{port});
    EXPECT_EQ(ReadValue(kValueConnected).data, std::vector<BYTE>{1}) << "would not listen again";
    EXPECT_EQ(ReadValue(kValueMessageType).data, std::vector<BYTE>{1});
    EXPECT_TRUE(ReadValue(kValueWindowX).exists);
    EXPECT_TRUE(ReadValue("Stats").exists) << "the scan's counts";
    EXPECT_EQ(AppState.LogFile.handle, INVALID_HANDLE_VALUE) << "the log file is still open";
    Caller late;
    EXPECT_FALSE(late.Connect(port, 1000)) << "the listener is still open";
}

// ---- The notification area ---------------------------------------------------------

// A stand-in for the shell's notification area, in this process: it takes
// the icon requests that Shell_NotifyIcon hands it as WM_COPYDATA. Wine
// passes the request code in dwData and the icon's window and id first in
// the data; Windows packs them differently, so there only the count is read.
struct TrayRequest {
    ULONG_PTR code;
    HWND owner;
    UINT id;
};
std::vector<TrayRequest> trayRequests;
bool onWine = false;

LRESULT CALLBACK FakeTrayProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COPYDATA) {
        const COPYDATASTRUCT* data = (const COPYDATASTRUCT*)lParam;
        TrayRequest request = {data->dwData, NULL, 0};
        if (onWine && data->cbData >= 8) {
            LONG owner = 0;
            memcpy(&owner, data->lpData, 4);
            memcpy(&request.id, (const BYTE*)data->lpData + 4, 4);
            request.owner = (HWND)(LONG_PTR)owner;
        }
        trayRequests.push_back(request);
        return TRUE;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

class FakeTray {
  public:
    FakeTray()
    {
        onWine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != NULL;
        WNDCLASSA wc = {};
        wc.lpfnWndProc = FakeTrayProc;
        wc.hInstance = GetModuleHandleA(NULL);
        wc.lpszClassName = "Shell_TrayWnd";
        RegisterClassA(&wc);
        window_ = CreateWindowExA(0, "Shell_TrayWnd", "", WS_POPUP, 0, 0, 0, 0, NULL, NULL,
                                  wc.hInstance, NULL);
        trayRequests.clear();
    }
    ~FakeTray()
    {
        DestroyWindow(window_);
        UnregisterClassA("Shell_TrayWnd", GetModuleHandleA(NULL));
    }
    bool Up() const
    {
        return window_ != NULL;
    }

  private:
    HWND window_ = NULL;
};

class TrayIconTest : public AppTest {
  protected:
    void SetUp() override
    {
        if (FindWindowA("Shell_TrayWnd", NULL) != NULL)
            GTEST_SKIP() << "this desktop has a notification area of its own";
        AppTest::SetUp();
    }
};

TEST_F(TrayIconTest, NoNotificationAreaShowsTheWindowAfterTwoMinutesOfRetries)
{
    ASSERT_EQ(AppState.TrayIconShown, 0) << "an icon was added without a notification area";
    // Each tick of the two-second timer is one try; the sixtieth gives up.
    for (int tick = 1; tick < 60; ++tick)
        SendMessageA(AppState.MainWindow, WM_TIMER, kTrayTimer, 0);
    EXPECT_FALSE(IsWindowVisible(AppState.MainWindow));
    EXPECT_EQ(LogCount(), 0) << LogDump();
    SendMessageA(AppState.MainWindow, WM_TIMER, kTrayTimer, 0);
    EXPECT_TRUE(IsWindowVisible(AppState.MainWindow)) << "the program is out of reach";
    EXPECT_EQ(LogLines(), std::vector<std::string>{kTrayIconError});
    // No further tries, and no second line.
    SendMessageA(AppState.MainWindow, WM_TIMER, kTrayTimer, 0);
    EXPECT_EQ(LogCount(), 1) << LogDump();
}

TEST_F(TrayIconTest, TheShellsRestartMessageAddsTheIconAgainAsItStands)
{
    RaiseAlert();
    FakeTray tray;
    ASSERT_TRUE(tray.Up());
    // A retry that finds the shell up adds the icon.
    SendMessageA(AppState.MainWindow, WM_TIMER, kTrayTimer, 0);
    ASSERT_FALSE(trayRequests.empty()) << "the retry asked nothing of the shell";
    EXPECT_EQ(AppState.TrayIconShown, 1);
    if (onWine) {
        EXPECT_EQ(trayRequests[0].code, (ULONG_PTR)NIM_ADD);
        EXPECT_EQ(trayRequests[0].owner, AppState.MainWindow);
        EXPECT_EQ(trayRequests[0].id, (UINT)TRAY_ICON_ID);
    }

    // Explorer restarts: its new notification area knows no icon.
    trayRequests.clear();
    SendMessageA(AppState.MainWindow, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    ASSERT_FALSE(trayRequests.empty()) << "TaskbarCreated added nothing";
    if (onWine) {
        EXPECT_EQ(trayRequests[0].code, (ULONG_PTR)NIM_ADD);
    }
    EXPECT_EQ(AppState.TrayIconData.hIcon, AppState.IconAlert) << "the alert picture was lost";
    EXPECT_EQ(AppState.TrayIconShown, 1);
    EXPECT_FALSE(IsWindowVisible(AppState.MainWindow));
    EXPECT_EQ(LogCount(), 0) << LogDump();
}

// ---- A window whose monitor is gone --------------------------------------------------

struct PlaceCase {
    const char* name;
    int x, y;   // stored, relative to the work area's corner
    bool moves; // the restored window is brought onto the screen
};

class OffScreenTest : public AppTest {
  protected:
    void PrepareSettings() override
    {
        SystemParametersInfoA(SPI_GETWORKAREA, 0, &work_, 0);
        WriteDword(kValueWindowX, (DWORD)(work_.left + place_.x));
        WriteDword(kValueWindowY, (DWORD)(work_.top + place_.y));
    }
    RECT work_ = {};
    PlaceCase place_ = {};
};

TEST_F(OffScreenTest, ARestoredWindowIsMostlyOnAMonitor)
{
    RECT screen;
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &screen, 0);
    const int width = screen.right - screen.left, height = screen.bottom - screen.top;
    const PlaceCase cases[] = {
        {"a monitor to the right was unplugged", width + 600, 100, true},
        {"far above and left", -3000, -2000, true},
        {"half below the screen", 50, height - 100, true},
        {"mostly on, a little over the right edge", width - 200, 100, false},
        {"well inside", 60, 70, false},
    };
    for (const PlaceCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(ExitApp());
        DeleteSettings();
        place_ = c;
        PrepareSettings();
        ASSERT_TRUE(StartApp());
        Command(IDM_RESTORE);
        RECT r = WindowRect();
        RECT w = WorkAreaOf(AppState.MainWindow);
        if (c.moves) {
            EXPECT_GE(r.left, w.left);
            EXPECT_GE(r.top, w.top);
            EXPECT_LE(r.right, w.right);
            EXPECT_LE(r.bottom, w.bottom);
            // The place it came to is the one kept.
            EXPECT_TRUE(PumpUntil([&] { return StoredAt(r.left, r.top); }));
        } else {
            EXPECT_EQ(r.left, work_.left + c.x);
            EXPECT_EQ(r.top, work_.top + c.y);
        }
    }
}

// ---- Syslog messages that never left ------------------------------------------------

class SyslogUndeliveredTest : public AppTest {};

TEST_F(SyslogUndeliveredTest, AQueueDroppedAtACollectorChangeIsCounted)
{
    // A TCP collector nobody answers on: what is queued stays queued.
    std::string server = "127.0.0.1:" + std::to_string(FreePort());
    lstrcpyA(AppState.SyslogServer, server.c_str());
    AppState.SyslogTcp = 1;
    SyslogStart();
    u_short port = FreePort();
    AddPortToList(port);
    Command(IDC_LISTEN); // its START message waits in the queue
    Command(IDC_LISTEN); // and so does STOP
    AppState.SyslogServer[0] = '\0';
    SyslogStart(); // the collector changes: the queue goes
    EXPECT_NE(FindLogLine("Syslog: 2 messages not delivered"), -1) << LogDump();
}

} // namespace
