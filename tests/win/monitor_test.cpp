// The port monitor in-process with real loopback callers: Listen and Stop
// with their lines and states, the tray icon's idle/listening/alert states,
// the warning sent to a caller, what a caller sends, and the error lines.
#include "harness.h"

#include <algorithm>
#include <string>
#include <vector>

#include "app/app.h"
#include "log/log.h"
#include "monitor/monitor.h"
#include "resource.h"

using namespace harness;

namespace {

bool Greyed(HMENU menu)
{
    return (GetMenuState(menu, IDM_RESETALERT, MF_BYCOMMAND) & (MF_GRAYED | MF_DISABLED)) ==
           (MF_GRAYED | MF_DISABLED);
}

bool ListenChecked()
{
    return (GetMenuState(AppState.TrayMenu, IDC_LISTEN, MF_BYCOMMAND) & MF_CHECKED) != 0;
}

// Pumps until the log holds n lines equal to text.
bool WaitForLines(const std::string& text, int n, DWORD timeoutMs = kDeadlineMs)
{
    return PumpUntil([&] { return CountLines(LogLines(), text) >= n; }, timeoutMs);
}

// ---- Listening ----------------------------------------------------------------

// Listening on IPv4 alone: a port held by another program there is a
// failed port. (With IPv6 on, the port would still listen on IPv6.)
class ListenTest : public AppTest {
  protected:
    void PrepareSettings() override
    {
        WriteSwitch(kValueIPv6, 0);
    }
};

TEST_F(ListenTest, OneOrTwoPortsListenAndStopClosesThem)
{
    const struct {
        int ports;
        std::string listening;
        std::string closed;
    } cases[] = {{1, ListeningLine(1), CloseLine(1)}, {2, ListeningLine(2), CloseLine(2)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.listening);
        SendMessageA(AppState.LogList, LB_RESETCONTENT, 0, 0);
        ListFreeAll(AppState.PortList);
        std::vector<int> ports;
        for (int i = 0; i < c.ports; ++i) {
            ports.push_back(FreePort());
            AddPortToList(ports.back());
        }
        const std::string portsLine = PortsLine(ports);
        Command(IDC_LISTEN);
        EXPECT_EQ(LogLines(), (std::vector<std::string>{c.listening, portsLine}));
        EXPECT_EQ(AppState.IsListening, 1);
        EXPECT_EQ(ListenButtonText(), kButtonStop);
        EXPECT_EQ(StatusText(), kStatusListening);
        for (SocketNode* node = AppState.PortList; node != NULL; node = node->next) {
            EXPECT_NE(node->socket, kInvalidSocket);
            // The port is taken on all local addresses.
            PortHolder other;
            EXPECT_FALSE(other.Hold((u_short)node->port)) << node->port;
        }

        Command(IDC_LISTEN);
        EXPECT_EQ(LogLines(), (std::vector<std::string>{c.listening, portsLine, c.closed}));
        EXPECT_EQ(AppState.IsListening, 0);
        EXPECT_EQ(ListenButtonText(), kButtonListen);
        EXPECT_EQ(StatusText(), kStatusIdle);
        for (SocketNode* node = AppState.PortList; node != NULL; node = node->next) {
            EXPECT_EQ(node->socket, kInvalidSocket);
            PortHolder other;
            EXPECT_TRUE(other.Hold((u_short)node->port)) << node->port << " still taken";
        }
    }
}

TEST_F(ListenTest, EmptyPortListSaysSoAndStaysIdle)
{
    Command(IDC_LISTEN);
    EXPECT_EQ(LogLines(), std::vector<std::string>{kNoPortsLine});
    EXPECT_EQ(AppState.IsListening, 0);
    EXPECT_EQ(ListenButtonText(), kButtonListen);
    EXPECT_EQ(StatusText(), kStatusIdle);
    EXPECT_EQ(AppState.TrayIconData.hIcon, AppState.IconIdle);
    EXPECT_FALSE(ListenChecked());
}

TEST_F(ListenTest, PortsListedUnderTheCountAndTwentyAtMost)
{
    std::vector<int> ports = FreePorts(25);
    ASSERT_EQ(ports.size(), 25u);
    std::sort(ports.begin(), ports.end());
    // Stored highest first, named as Port Settings lists them: the lowest, in order.
    for (auto port = ports.rbegin(); port != ports.rend(); ++port)
        AddPortToList(*port);
    Command(IDC_LISTEN);
    std::vector<int> lowest(ports.begin(), ports.begin() + 20);
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{ListeningLine(25), PortsLine(lowest) + " and 5 more"}));
}

TEST_F(ListenTest, PortInUseIsReportedWhileTheOthersListen)
{
    PortHolder holder;
    ASSERT_TRUE(holder.Hold());
    u_short free = FreePort();
    AddPortToList(holder.Port());
    AddPortToList(free);
    Command(IDC_LISTEN);
    std::string bindError = PortInUseLine(holder.Port());
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{bindError, ListeningLine(1), PortsLine({free})}));
    EXPECT_EQ(AppState.IsListening, 1);
    Caller caller;
    EXPECT_TRUE(caller.Connect(free)) << "the free port must listen";
    EXPECT_TRUE(WaitForLogLine(kScanDetected, false, kDeadlineMs)) << LogDump();
}

// A port that failed is closed at once: Stop closes only what opened and
// has nothing to report about the other.
TEST_F(ListenTest, PortListedTwiceListensOnceAndStopClosesOnlyThatOne)
{
    u_short port = FreePort();
    AddPortToList(port);
    AddPortToList(port);
    Command(IDC_LISTEN);
    std::string bindError = PortInUseLine(port);
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{bindError, ListeningLine(1), PortsLine({port})}));
    int failed = 0;
    for (SocketNode* node = AppState.PortList; node != NULL; node = node->next)
        failed += node->socket == kInvalidSocket ? 1 : 0;
    EXPECT_EQ(failed, 1) << "the port that failed still holds a socket";
    Command(IDC_LISTEN);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{bindError, ListeningLine(1), PortsLine({port}),
                                                    CloseLine(1)}));
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
    std::string bindError = PortInUseLine(port);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{bindError, bindError}));
    EXPECT_EQ(AppState.IsListening, 0);
    EXPECT_EQ(ListenButtonText(), kButtonListen);
    EXPECT_EQ(StatusText(), kStatusIdle);
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

    u_short port = FreePort();
    AddPortToList(port);
    Command(IDC_LISTEN);
    ExpectTray("Listen", main, "Harbinel: Listening", iconAndTip, true, true);

    {
        Caller caller;
        ASSERT_TRUE(caller.Connect(port));
        ASSERT_TRUE(WaitForLines(kScanDetected, 1)) << LogDump();
        ExpectTray("a scan", alert, "Harbinel: Listening", iconOnly, false, true);
        ASSERT_TRUE(caller.WaitClosed(kDeadlineMs));
    }
    Command(IDM_RESETALERT);
    ExpectTray("Reset Alert", main, "Harbinel: Listening", iconOnly, true, true);

    {
        Caller first, second;
        ASSERT_TRUE(first.Connect(port));
        ASSERT_TRUE(second.Connect(port));
        ASSERT_TRUE(WaitForLines(kScanDetected, 3)) << LogDump();
        ExpectTray("two scans", alert, "Harbinel: Listening", iconOnly, false, true);
        Command(IDM_RESETALERT);
        ExpectTray("one reset after two scans", main, "Harbinel: Listening", iconOnly, true, true);
        ASSERT_TRUE(first.WaitClosed(kDeadlineMs));
        ASSERT_TRUE(second.WaitClosed(kDeadlineMs));
    }

    {
        Caller caller;
        ASSERT_TRUE(caller.Connect(port));
        ASSERT_TRUE(WaitForLines(kScanDetected, 4)) << LogDump();
        ExpectTray("another scan", alert, "Harbinel: Listening", iconOnly, false, true);
        ASSERT_TRUE(caller.WaitClosed(kDeadlineMs));
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
    AddPortToList(FreePort());
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
        u_short port = FreePort();
        AddPortToList(port);
        Command(IDC_LISTEN);
        EXPECT_EQ(AppState.IsListening, 1);
        return port;
    }
    // The address line of a caller: its address and port, an arrow, the
    // local address (the machine's main address on Wine, 127.0.0.1 on
    // Windows) and the listened port.
    void ExpectAddressLine(const std::string& line, const Caller& caller, u_short port)
    {
        EXPECT_TRUE(StartsWith(line, AcceptedFrom(caller.LocalPort()) + " -> ")) << line;
        EXPECT_TRUE(EndsWith(line, ":" + std::to_string(port))) << line;
    }
};

TEST_F(ConnectionTest, DefaultTextThenImmediateDisconnect)
{
    u_short port = Listen();
    Caller caller;
    ASSERT_TRUE(caller.Connect(port));
    ASSERT_TRUE(caller.WaitClosed(kDeadlineMs));
    EXPECT_EQ(caller.Received(), kWarningLine);
    EXPECT_EQ(caller.Received().size(), 68u);
    ASSERT_TRUE(WaitForLogLine(kRdnsPrefix, true, kDeadlineMs)) << LogDump();

    std::vector<std::string> lines = SteadyLines(LogLines());
    ASSERT_EQ(lines.size(), 7u) << LogDump();
    EXPECT_EQ(lines[0], ListeningLine(1));
    EXPECT_EQ(lines[1], PortsLine({port}));
    EXPECT_EQ(lines[2], kScanDetected);
    ExpectAddressLine(lines[3], caller, port);
    EXPECT_TRUE(StartsWith(lines[4], kTimestampPrefix)) << lines[4];
    EXPECT_EQ(lines[5], kMessageSent);
    EXPECT_EQ(lines[6], kScanBlocked);
    EXPECT_EQ(ConnectionCount(), 0);
}

TEST_F(ConnectionTest, NoMessageTypeSendsNothingAndDisconnects)
{
    AppState.MessageType = 1;
    u_short port = Listen();
    Caller caller;
    ASSERT_TRUE(caller.Connect(port));
    ASSERT_TRUE(caller.WaitClosed(kDeadlineMs));
    EXPECT_EQ(caller.Received(), "");
    ASSERT_TRUE(WaitForLogLine(kScanBlocked, false, kDeadlineMs)) << LogDump();
    std::vector<std::string> lines = SteadyLines(LogLines());
    ASSERT_EQ(lines.size(), 6u) << LogDump();
    EXPECT_EQ(lines[2], kScanDetected);
    ExpectAddressLine(lines[3], caller, port);
    EXPECT_TRUE(StartsWith(lines[4], kTimestampPrefix));
    EXPECT_EQ(lines[5], kScanBlocked);
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
        Caller caller;
        ASSERT_TRUE(caller.Connect(port));
        ASSERT_TRUE(caller.WaitClosed(kDeadlineMs));
        EXPECT_EQ(caller.Received(), c.sent);
        ++scans;
        EXPECT_TRUE(WaitForLines(kMessageSent, scans)) << LogDump();
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

DWORD fakeNow = 5000;
DWORD FakeClock()
{
    return fakeNow;
}

TEST_F(ConnectionTest, ReadBeforeWriteGetsNoWarningAndNoDisconnectButItsTimeLimit)
{
    AppState.ConnectionClock = FakeClock;
    u_short port = Listen();
    heldWrites.clear();
    holdWrites = true;
    heldOldProc =
        (WNDPROC)SetWindowLongPtrA(AppState.MainWindow, GWLP_WNDPROC, (LONG_PTR)HoldingProc);
    Caller caller;
    ASSERT_TRUE(caller.Connect(port));
    ASSERT_TRUE(caller.Send("hello"));
    // The write event may come before or after the read: either way it is
    // held until the read has been handled.
    bool logged =
        PumpUntil([] { return FindLogLine("hello") >= 0 && !heldWrites.empty(); }, kDeadlineMs);
    holdWrites = false;
    SetWindowLongPtrA(AppState.MainWindow, GWLP_WNDPROC, (LONG_PTR)heldOldProc);
    ASSERT_TRUE(logged) << LogDump();
    for (const auto& w : heldWrites)
        SendMessageA(AppState.MainWindow, WM_SOCKETEVENT, w.first, w.second);

    // A late write event neither warns nor hangs up.
    EXPECT_FALSE(caller.WaitReceived(1, 300)) << caller.Received();
    EXPECT_FALSE(caller.PeerClosed());
    EXPECT_EQ(FindLogLine(kMessageSent), -1) << LogDump();
    EXPECT_EQ(FindLogLine(kScanBlocked), -1) << LogDump();
    EXPECT_EQ(ConnectionCount(), 1);

    // Talking first spares no caller its time limit, timed by the outputs' tick.
    for (DWORD step : {kTimeLimitMs - 1, (DWORD)1}) {
        fakeNow += step;
        SendMessageA(AppState.MainWindow, WM_TIMER, kOutputsTimer, 0);
    }
    EXPECT_TRUE(caller.WaitClosed(kDeadlineMs));
    std::vector<std::string> lines = LogLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
              (std::vector<std::string>{"   Hung up: time limit", kScanBlocked}));
    EXPECT_EQ(ConnectionCount(), 0);
}

TEST_F(ConnectionTest, DisconnectOffLogsWhatTheCallerSends)
{
    AppState.DisconnectImmediately = 0;
    u_short port = Listen();
    Caller caller;
    ASSERT_TRUE(caller.Connect(port));
    ASSERT_TRUE(caller.WaitReceived(68, kDeadlineMs));
    EXPECT_EQ(caller.Received(), kWarningLine);
    ASSERT_TRUE(WaitForLogLine(kMessageSent, false, kDeadlineMs)) << LogDump();
    EXPECT_FALSE(caller.PeerClosed());
    EXPECT_EQ(ConnectionCount(), 1);

    ASSERT_TRUE(caller.Send("first chunk"));
    ASSERT_TRUE(WaitForLogLine("first chunk", false, kDeadlineMs)) << LogDump();

    // 3000 bytes waiting at once: a line of 2048, then one of the other 952.
    std::string big;
    for (int i = 0; i < 3000; ++i)
        big += (char)('a' + i % 26);
    // The lookup's answer goes in above: it must be in before the count.
    ASSERT_TRUE(WaitForLogLine(kRdnsPrefix, true, kDeadlineMs)) << LogDump();
    int before = LogCount();
    ASSERT_TRUE(caller.Send(big));
    auto dataLines = [&] {
        std::vector<std::string> lines = LogLines();
        return std::vector<std::string>(lines.begin() + std::min((size_t)before, lines.size()),
                                        lines.end());
    };
    auto joined = [&] {
        std::string all;
        for (const std::string& l : dataLines())
            all += l;
        return all;
    };
    ASSERT_TRUE(PumpUntil([&] { return joined().size() >= big.size(); }, kDeadlineMs)) << LogDump();
    EXPECT_EQ(joined(), big);
    std::vector<size_t> sizes;
    for (const std::string& l : dataLines())
        sizes.push_back(l.size());
    EXPECT_EQ(sizes, (std::vector<size_t>{2048, 952}));

    // A zero byte is written as an escape: it hides nothing that follows.
    ASSERT_TRUE(caller.Send(std::string("zero\0byte", 9)));
    ASSERT_TRUE(WaitForLogLine("zero\\x00byte", false, kDeadlineMs)) << LogDump();
    ASSERT_TRUE(caller.Send("tail"));
    ASSERT_TRUE(WaitForLogLine("tail", false, kDeadlineMs)) << LogDump();
    EXPECT_EQ(FindLogLine("zero", false), -1) << LogDump();

    caller.Close();
    ASSERT_TRUE(WaitForLogLine(kScanBlocked, false, kDeadlineMs)) << LogDump();
    EXPECT_EQ(ConnectionCount(), 0);
    EXPECT_EQ(FindLogLine(kMessageSent, false, FindLogLine("first chunk")), -1)
        << "the warning went out twice";
}

TEST_F(ConnectionTest, StopHangsUpOnEveryCaller)
{
    AppState.DisconnectImmediately = 0;
    u_short port = Listen();
    Caller callers[2];
    for (Caller& caller : callers) {
        ASSERT_TRUE(caller.Connect(port));
        ASSERT_TRUE(caller.WaitReceived(kWarningLine.size(), kDeadlineMs));
    }
    Command(IDC_LISTEN);
    std::vector<std::string> lines = LogLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
              (std::vector<std::string>{CloseLine(1), "Close: 2 callers"}));
    for (Caller& caller : callers)
        EXPECT_TRUE(caller.WaitClosed(kDeadlineMs));
    EXPECT_EQ(ConnectionCount(), 0);
}

TEST_F(ConnectionTest, EventsForUnknownSocketsAreIgnored)
{
    Listen();
    PortHolder elsewhere; // a connection the program never accepted
    ASSERT_TRUE(elsewhere.Hold());
    Caller stranger;
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
