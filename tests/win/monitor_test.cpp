// The port monitor in-process with real loopback callers: Listen and Stop
// with their lines and states, the tray icon's idle/listening/alert states,
// the warning sent to a caller, what a caller sends, and the error lines.
#include "harness.h"

#include <string>
#include <vector>

#include "app/app.h"
#include "log/log.h"
#include "monitor/monitor.h"
#include "resource.h"

using namespace harness;

namespace {

const char kWarning[] = "WARNING: Access attempt has been logged. Your ISP will be notified";
const DWORD kWaitMs = 5000;

void Command(UINT id)
{
    SendMessageA(AppState.MainWindow, WM_COMMAND, id, 0);
}

bool Greyed(HMENU menu)
{
    return (GetMenuState(menu, IDM_RESETALERT, MF_BYCOMMAND) & (MF_GRAYED | MF_DISABLED)) ==
           (MF_GRAYED | MF_DISABLED);
}

bool ListenChecked()
{
    return (GetMenuState(AppState.TrayMenu, IDC_LISTEN, MF_BYCOMMAND) & MF_CHECKED) != 0;
}

// The log without the line whose time is the resolver's: the RDNS answer.
std::vector<std::string> SteadyLines()
{
    std::vector<std::string> lines;
    for (const std::string& line : LogLines())
        if (line.rfind("   RDNS: ", 0) != 0)
            lines.push_back(line);
    return lines;
}

bool StartsWith(const std::string& s, const std::string& head)
{
    return s.compare(0, head.size(), head) == 0;
}

bool EndsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

int CountLines(const std::string& text)
{
    int n = 0;
    for (const std::string& line : LogLines())
        n += line == text;
    return n;
}

// Pumps until the log holds n lines equal to text.
bool WaitForLines(const std::string& text, int n, DWORD timeoutMs = kWaitMs)
{
    return PumpUntil([&] { return CountLines(text) >= n; }, timeoutMs);
}

// ---- Listening ----------------------------------------------------------------

class ListenTest : public AppTest {};

TEST_F(ListenTest, OneOrTwoPortsListenAndStopClosesThem)
{
    const struct {
        int ports;
        const char* listening;
        const char* closed;
    } cases[] = {{1, "Listening on 1 port", "Close: 1 port"},
                 {2, "Listening on 2 ports", "Close: 2 ports"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.listening);
        SendMessageA(AppState.LogList, LB_RESETCONTENT, 0, 0);
        ListFreeAll(AppState.PortList);
        std::vector<u_short> ports;
        for (int i = 0; i < c.ports; ++i) {
            ports.push_back(PickFreePort());
            AddPortToList(ports.back());
        }
        Command(IDC_LISTEN);
        EXPECT_EQ(LogLines(), std::vector<std::string>{c.listening});
        EXPECT_EQ(AppState.IsListening, 1);
        EXPECT_EQ(ListenButtonText(), "Stop");
        EXPECT_EQ(StatusText(), "Listening");
        for (SocketNode* node = AppState.PortList; node != NULL; node = node->next) {
            EXPECT_NE(node->socket, kInvalidSocket);
            // The port is taken on all local addresses.
            PortHolder other;
            EXPECT_FALSE(other.Hold((u_short)node->port)) << node->port;
        }

        Command(IDC_LISTEN);
        EXPECT_EQ(LogLines(), (std::vector<std::string>{c.listening, c.closed}));
        EXPECT_EQ(AppState.IsListening, 0);
        EXPECT_EQ(ListenButtonText(), "Listen");
        EXPECT_EQ(StatusText(), "Idle");
        for (SocketNode* node = AppState.PortList; node != NULL; node = node->next) {
            EXPECT_EQ(node->socket, kInvalidSocket);
            PortHolder other;
            EXPECT_TRUE(other.Hold((u_short)node->port)) << node->port << " still taken";
        }
    }
}

TEST_F(ListenTest, EmptyPortListLogsNothingAndStaysIdle)
{
    Command(IDC_LISTEN);
    EXPECT_EQ(LogCount(), 0) << LogDump();
    EXPECT_EQ(AppState.IsListening, 0);
    EXPECT_EQ(ListenButtonText(), "Listen");
    EXPECT_EQ(StatusText(), "Idle");
    EXPECT_EQ(AppState.TrayIconData.hIcon, AppState.IconIdle);
    EXPECT_FALSE(ListenChecked());
}

TEST_F(ListenTest, PortInUseIsReportedWhileTheOthersListen)
{
    PortHolder holder;
    ASSERT_TRUE(holder.Hold());
    u_short free = PickFreePort();
    AddPortToList(holder.Port());
    AddPortToList(free);
    Command(IDC_LISTEN);
    std::string bindError = "Bind error port " + std::to_string(holder.Port()) + " : Port in use";
    EXPECT_EQ(LogLines(), (std::vector<std::string>{bindError, "Listening on 1 port"}));
    EXPECT_EQ(AppState.IsListening, 1);
    LoopbackClient caller;
    EXPECT_TRUE(caller.Connect(free)) << "the free port must listen";
    EXPECT_TRUE(WaitForLogLine("Scan detected", false, kWaitMs)) << LogDump();
}

TEST_F(ListenTest, PortListedTwiceListensOnceAndStopClosesBoth)
{
    u_short port = PickFreePort();
    AddPortToList(port);
    AddPortToList(port);
    Command(IDC_LISTEN);
    std::string bindError = "Bind error port " + std::to_string(port) + " : Port in use";
    EXPECT_EQ(LogLines(), (std::vector<std::string>{bindError, "Listening on 1 port"}));
    Command(IDC_LISTEN);
    EXPECT_EQ(LogLine(2), "Close: 2 ports");
    for (SocketNode* node = AppState.PortList; node != NULL; node = node->next)
        EXPECT_EQ(node->socket, kInvalidSocket);
    PortHolder other;
    EXPECT_TRUE(other.Hold(port));
}

TEST_F(ListenTest, FailedListenKeepsNoPortBound)
{
    PortHolder holder;
    ASSERT_TRUE(holder.Hold());
    u_short port = holder.Port();
    AddPortToList(port);
    AddPortToList(port);
    Command(IDC_LISTEN);
    std::string bindError = "Bind error port " + std::to_string(port) + " : Port in use";
    EXPECT_EQ(LogLines(), (std::vector<std::string>{bindError, bindError}));
    EXPECT_EQ(AppState.IsListening, 0);
    EXPECT_EQ(ListenButtonText(), "Listen");
    EXPECT_EQ(StatusText(), "Idle");
    EXPECT_EQ(AppState.TrayIconData.hIcon, AppState.IconIdle);
    for (SocketNode* node = AppState.PortList; node != NULL; node = node->next)
        EXPECT_EQ(node->socket, kInvalidSocket);
    holder.Release();
    PortHolder again;
    EXPECT_TRUE(again.Hold(port)) << "the failed Listen still holds the port";
}

// ---- Tray icon and alert states -----------------------------------------------

struct TrayView {
    HICON icon;
    std::string tip;
    UINT flags; // of the last modify request
    bool barGreyed;
    bool trayGreyed;
    bool listenChecked;
};

TrayView CurrentTray()
{
    const NOTIFYICONDATAA& t = AppState.TrayIconData;
    return {t.hIcon,        t.szTip, t.uFlags, Greyed(AppState.MainMenu), Greyed(AppState.TrayMenu),
            ListenChecked()};
}

void ExpectTray(const char* step, HICON icon, const char* tip, UINT flags, bool greyed,
                bool checked)
{
    SCOPED_TRACE(step);
    TrayView v = CurrentTray();
    EXPECT_EQ(v.icon, icon);
    EXPECT_EQ(v.tip, tip);
    EXPECT_EQ(v.flags, flags);
    EXPECT_EQ(v.barGreyed, greyed);
    EXPECT_EQ(v.trayGreyed, greyed);
    EXPECT_EQ(v.listenChecked, checked);
}

class TrayStateTest : public AppTest {};

TEST_F(TrayStateTest, IdleListeningAlertAndBack)
{
    const HICON idle = AppState.IconIdle, main = AppState.IconMain, alert = AppState.IconAlert;
    const UINT iconOnly = NIF_ICON, iconAndTip = NIF_ICON | NIF_TIP;
    ExpectTray("start", idle, "Harbinel: Idle", NIF_MESSAGE | NIF_ICON | NIF_TIP, true, false);

    u_short port = PickFreePort();
    AddPortToList(port);
    Command(IDC_LISTEN);
    ExpectTray("Listen", main, "Harbinel: Listening", iconAndTip, true, true);

    {
        LoopbackClient caller;
        ASSERT_TRUE(caller.Connect(port));
        ASSERT_TRUE(WaitForLines("Scan detected", 1)) << LogDump();
        ExpectTray("a scan", alert, "Harbinel: Listening", iconOnly, false, true);
        ASSERT_TRUE(caller.WaitClosed(kWaitMs));
    }
    Command(IDM_RESETALERT);
    ExpectTray("Reset Alert", main, "Harbinel: Listening", iconOnly, true, true);

    {
        LoopbackClient first, second;
        ASSERT_TRUE(first.Connect(port));
        ASSERT_TRUE(second.Connect(port));
        ASSERT_TRUE(WaitForLines("Scan detected", 3)) << LogDump();
        ExpectTray("two scans", alert, "Harbinel: Listening", iconOnly, false, true);
        Command(IDM_RESETALERT);
        ExpectTray("one reset after two scans", main, "Harbinel: Listening", iconOnly, true, true);
        ASSERT_TRUE(first.WaitClosed(kWaitMs));
        ASSERT_TRUE(second.WaitClosed(kWaitMs));
    }

    {
        LoopbackClient caller;
        ASSERT_TRUE(caller.Connect(port));
        ASSERT_TRUE(WaitForLines("Scan detected", 4)) << LogDump();
        ExpectTray("another scan", alert, "Harbinel: Listening", iconOnly, false, true);
        ASSERT_TRUE(caller.WaitClosed(kWaitMs));
    }
    Command(IDC_LISTEN);
    ExpectTray("Stop while alerted", idle, "Harbinel: Idle", iconAndTip, true, false);

    // Ctrl+R while idle, through the loop's key tracking.
    MSG key = {};
    key.message = WM_KEYDOWN;
    key.wParam = VK_CONTROL;
    TrackShortcutKeys(key);
    key.message = WM_KEYUP;
    key.wParam = 'R';
    TrackShortcutKeys(key);
    key.wParam = VK_CONTROL;
    TrackShortcutKeys(key);
    ExpectTray("Ctrl+R while idle", idle, "Harbinel: Idle", iconOnly, true, false);

    Command(IDM_CLEARLOG);
    EXPECT_EQ(LogCount(), 0);
    ExpectTray("Clear Log while idle", idle, "Harbinel: Idle", iconOnly, true, false);
}

TEST_F(TrayStateTest, ListenLeavesResetAlertAsItWas)
{
    SetResetAlertItems(true);
    AddPortToList(PickFreePort());
    Command(IDC_LISTEN);
    ASSERT_EQ(AppState.IsListening, 1);
    EXPECT_FALSE(Greyed(AppState.MainMenu));
    EXPECT_FALSE(Greyed(AppState.TrayMenu));
}

// ---- Connection events ----------------------------------------------------------

class ConnectionTest : public AppTest {
  protected:
    u_short Listen()
    {
        u_short port = PickFreePort();
        AddPortToList(port);
        Command(IDC_LISTEN);
        EXPECT_EQ(AppState.IsListening, 1);
        return port;
    }
    // The address line of a caller: its address and port, an arrow, the
    // local address (the machine's main address on Wine, 127.0.0.1 on
    // Windows) and the listened port.
    void ExpectAddressLine(const std::string& line, const LoopbackClient& caller, u_short port)
    {
        EXPECT_TRUE(
            StartsWith(line, "   Accept: 127.0.0.1:" + std::to_string(caller.LocalPort()) + " -> "))
            << line;
        EXPECT_TRUE(EndsWith(line, ":" + std::to_string(port))) << line;
    }
};

TEST_F(ConnectionTest, DefaultTextThenImmediateDisconnect)
{
    u_short port = Listen();
    LoopbackClient caller;
    ASSERT_TRUE(caller.Connect(port));
    ASSERT_TRUE(caller.WaitClosed(kWaitMs));
    EXPECT_EQ(caller.Received(), std::string(kWarning) + "\r\n");
    EXPECT_EQ(caller.Received().size(), 68u);
    ASSERT_TRUE(WaitForLogLine("   RDNS: ", true, kWaitMs)) << LogDump();

    std::vector<std::string> lines = SteadyLines();
    ASSERT_EQ(lines.size(), 6u) << LogDump();
    EXPECT_EQ(lines[0], "Listening on 1 port");
    EXPECT_EQ(lines[1], "Scan detected");
    ExpectAddressLine(lines[2], caller, port);
    EXPECT_TRUE(StartsWith(lines[3], "   Timestamp: ")) << lines[3];
    EXPECT_EQ(lines[4], "   Message sent");
    EXPECT_EQ(lines[5], "Scan blocked");
    EXPECT_EQ(ConnectionCount(), 0);
}

TEST_F(ConnectionTest, NoMessageTypeSendsNothingAndDisconnects)
{
    AppState.MessageType = 1;
    u_short port = Listen();
    LoopbackClient caller;
    ASSERT_TRUE(caller.Connect(port));
    ASSERT_TRUE(caller.WaitClosed(kWaitMs));
    EXPECT_EQ(caller.Received(), "");
    ASSERT_TRUE(WaitForLogLine("Scan blocked", false, kWaitMs)) << LogDump();
    std::vector<std::string> lines = SteadyLines();
    ASSERT_EQ(lines.size(), 5u) << LogDump();
    EXPECT_EQ(lines[1], "Scan detected");
    ExpectAddressLine(lines[2], caller, port);
    EXPECT_TRUE(StartsWith(lines[3], "   Timestamp: "));
    EXPECT_EQ(lines[4], "Scan blocked");
}

TEST_F(ConnectionTest, CustomTextAndEmptyCustomText)
{
    const struct {
        const char* custom;
        std::string sent;
    } cases[] = {{"Go away", "Go away\r\n"}, {"", "\r\n"}};
    u_short port = Listen();
    int scans = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("custom text \"") + c.custom + "\"");
        AppState.MessageType = 0;
        lstrcpyA(AppState.CustomMessage, c.custom);
        LoopbackClient caller;
        ASSERT_TRUE(caller.Connect(port));
        ASSERT_TRUE(caller.WaitClosed(kWaitMs));
        EXPECT_EQ(caller.Received(), c.sent);
        ++scans;
        EXPECT_TRUE(WaitForLines("   Message sent", scans)) << LogDump();
    }
}

// Holds back the write events of accepted connections, so that a read
// event can be handled first.
WNDPROC heldOldProc = NULL;
bool holdWrites = false;
std::vector<std::pair<WPARAM, LPARAM>> heldWrites;

LRESULT CALLBACK HoldingProc(HWND w, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (holdWrites && message == WM_SOCKETEVENT && LOWORD(lParam) == FD_WRITE) {
        heldWrites.push_back({wParam, lParam});
        return 0;
    }
    return CallWindowProcA(heldOldProc, w, message, wParam, lParam);
}

TEST_F(ConnectionTest, ReadBeforeWriteGetsNoWarningAndNoDisconnect)
{
    u_short port = Listen();
    heldWrites.clear();
    holdWrites = true;
    heldOldProc =
        (WNDPROC)SetWindowLongPtrA(AppState.MainWindow, GWLP_WNDPROC, (LONG_PTR)HoldingProc);
    LoopbackClient caller;
    ASSERT_TRUE(caller.Connect(port));
    ASSERT_TRUE(caller.Send("hello"));
    // The write event may come before or after the read: either way it is
    // held until the read has been handled.
    bool logged =
        PumpUntil([] { return FindLogLine("hello") >= 0 && !heldWrites.empty(); }, kWaitMs);
    holdWrites = false;
    SetWindowLongPtrA(AppState.MainWindow, GWLP_WNDPROC, (LONG_PTR)heldOldProc);
    ASSERT_TRUE(logged) << LogDump();
    for (const auto& w : heldWrites)
        SendMessageA(AppState.MainWindow, WM_SOCKETEVENT, w.first, w.second);

    // A late write event neither warns nor hangs up.
    EXPECT_FALSE(caller.WaitReceived(1, 300)) << caller.Received();
    EXPECT_FALSE(caller.PeerClosed());
    EXPECT_EQ(FindLogLine("   Message sent"), -1) << LogDump();
    EXPECT_EQ(FindLogLine("Scan blocked"), -1) << LogDump();
    EXPECT_EQ(ConnectionCount(), 1);

    caller.Close();
    EXPECT_TRUE(WaitForLogLine("Scan blocked", false, kWaitMs)) << LogDump();
    EXPECT_EQ(ConnectionCount(), 0);
}

TEST_F(ConnectionTest, DisconnectOffLogsWhatTheCallerSends)
{
    AppState.DisconnectImmediately = 0;
    u_short port = Listen();
    LoopbackClient caller;
    ASSERT_TRUE(caller.Connect(port));
    ASSERT_TRUE(caller.WaitReceived(68, kWaitMs));
    EXPECT_EQ(caller.Received(), std::string(kWarning) + "\r\n");
    ASSERT_TRUE(WaitForLogLine("   Message sent", false, kWaitMs)) << LogDump();
    EXPECT_FALSE(caller.PeerClosed());
    EXPECT_EQ(ConnectionCount(), 1);

    ASSERT_TRUE(caller.Send("first chunk"));
    ASSERT_TRUE(WaitForLogLine("first chunk", false, kWaitMs)) << LogDump();

    // 3000 bytes waiting at once: a line of 2048, then one of the other 952.
    std::string big;
    for (int i = 0; i < 3000; ++i)
        big += (char)('a' + i % 26);
    int before = LogCount();
    ASSERT_TRUE(caller.Send(big));
    auto dataLines = [&] {
        std::vector<std::string> got;
        std::vector<std::string> lines = LogLines();
        for (size_t i = (size_t)before; i < lines.size(); ++i)
            got.push_back(lines[i]);
        return got;
    };
    auto joined = [&] {
        std::string all;
        for (const std::string& l : dataLines())
            all += l;
        return all;
    };
    ASSERT_TRUE(PumpUntil([&] { return joined().size() >= big.size(); }, kWaitMs)) << LogDump();
    EXPECT_EQ(joined(), big);
    std::vector<size_t> sizes;
    for (const std::string& l : dataLines())
        sizes.push_back(l.size());
    EXPECT_EQ(sizes, (std::vector<size_t>{2048, 952}));

    // A zero byte is written as an escape: it hides nothing that follows.
    ASSERT_TRUE(caller.Send(std::string("zero\0byte", 9)));
    ASSERT_TRUE(WaitForLogLine("zero\\x00byte", false, kWaitMs)) << LogDump();
    ASSERT_TRUE(caller.Send("tail"));
    ASSERT_TRUE(WaitForLogLine("tail", false, kWaitMs)) << LogDump();
    EXPECT_EQ(FindLogLine("zero", false), -1) << LogDump();

    caller.Close();
    ASSERT_TRUE(WaitForLogLine("Scan blocked", false, kWaitMs)) << LogDump();
    EXPECT_EQ(ConnectionCount(), 0);
    EXPECT_EQ(FindLogLine("   Message sent", false, FindLogLine("first chunk")), -1)
        << "the warning went out twice";
}

TEST_F(ConnectionTest, StopLeavesAConnectedCallerServed)
{
    AppState.DisconnectImmediately = 0;
    u_short port = Listen();
    LoopbackClient caller;
    ASSERT_TRUE(caller.Connect(port));
    ASSERT_TRUE(WaitForLogLine("   Message sent", false, kWaitMs)) << LogDump();
    Command(IDC_LISTEN);
    ASSERT_TRUE(WaitForLogLine("Close: 1 port", false, kWaitMs));
    ASSERT_TRUE(caller.Send("after stop"));
    EXPECT_TRUE(WaitForLogLine("after stop", false, kWaitMs)) << LogDump();
    caller.Close();
    EXPECT_TRUE(WaitForLogLine("Scan blocked", false, kWaitMs)) << LogDump();
    EXPECT_EQ(ConnectionCount(), 0);
}

TEST_F(ConnectionTest, EventsForUnknownSocketsAreIgnored)
{
    Listen();
    PortHolder elsewhere; // a connection the program never accepted
    ASSERT_TRUE(elsewhere.Hold());
    LoopbackClient stranger;
    ASSERT_TRUE(stranger.Connect(elsewhere.Port()));
    std::vector<std::string> before = LogLines();
    SocketNode* ports = AppState.PortList;
    HICON icon = AppState.TrayIconData.hIcon;
    const SocketHandle unknown[] = {(SocketHandle)0xBEEF, (SocketHandle)stranger.Socket()};
    for (SocketHandle s : unknown) {
        for (WORD event : {(WORD)FD_ACCEPT, (WORD)FD_READ, (WORD)FD_WRITE, (WORD)FD_CLOSE}) {
            SCOPED_TRACE("event " + std::to_string(event));
            SendMessageA(AppState.MainWindow, WM_SOCKETEVENT, (WPARAM)s, event);
        }
    }
    PumpPending();
    EXPECT_EQ(LogLines(), before);
    EXPECT_EQ(AppState.PortList, ports);
    EXPECT_EQ(ConnectionCount(), 0);
    EXPECT_EQ(AppState.TrayIconData.hIcon, icon);
}

// ---- Error lines ----------------------------------------------------------------

class ErrorTextTest : public AppTest {};

TEST_F(ErrorTextTest, ReportSocketErrorLogsPrefixAndReason)
{
    const struct {
        int code;
        const char* text;
    } table[] = {
        // The whole table of texts is checked natively; here, that the
        // platform's last error is the one looked up.
        {10048, "Port in use"},
        {10093, "WSAStartup not called"},
        {0, "Unknown error"},
        {11001, "Unknown error"},
    };
    int index = 0;
    for (const auto& row : table) {
        SCOPED_TRACE(row.code);
        WSASetLastError(row.code);
        EXPECT_EQ(ReportSocketError("Bind error port 12345 "), index);
        EXPECT_EQ(LogLine(index), std::string("Bind error port 12345 : ") + row.text);
        ++index;
    }
}

} // namespace
