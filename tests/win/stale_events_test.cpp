// A closed connection's socket events that were already queued must never
// act on the next connection that the platform hands the same handle value:
// such a left-over would end that caller early or make the program skip its
// warning. The events are held and replayed so the hazard's order is exact.
#include "harness.h"

#include <string>
#include <utility>
#include <vector>

#include "app/app.h"
#include "monitor/monitor.h"
#include "resource.h"

using namespace harness;

namespace {

const char kWarning[] = "WARNING: Access attempt has been logged. Your ISP will be notified";
const DWORD kWaitMs = 5000;

// Holds back the write events of connections and, once armed, the accept
// events of the listener, so the test decides when each is handled.
WNDPROC oldProc = NULL;
bool holding = false;
SocketHandle holdAcceptsOf = kInvalidSocket;
std::vector<std::pair<WPARAM, LPARAM>> heldWrites;
std::vector<std::pair<WPARAM, LPARAM>> heldAccepts;

LRESULT CALLBACK HoldingProc(HWND w, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (holding && message == WM_SOCKETEVENT) {
        if (LOWORD(lParam) == FD_WRITE) {
            heldWrites.push_back({wParam, lParam});
            return 0;
        }
        if (LOWORD(lParam) == FD_ACCEPT && (SocketHandle)wParam == holdAcceptsOf) {
            heldAccepts.push_back({wParam, lParam});
            return 0;
        }
    }
    return CallWindowProcA(oldProc, w, message, wParam, lParam);
}

void Hold()
{
    holding = true;
    holdAcceptsOf = kInvalidSocket;
    heldWrites.clear();
    heldAccepts.clear();
    oldProc = (WNDPROC)SetWindowLongPtrA(AppState.MainWindow, GWLP_WNDPROC, (LONG_PTR)HoldingProc);
}

void Release()
{
    if (!holding)
        return;
    holding = false;
    SetWindowLongPtrA(AppState.MainWindow, GWLP_WNDPROC, (LONG_PTR)oldProc);
}

// The socket of the one listed connection, or the invalid value.
SocketHandle OnlyConnection()
{
    SocketNode* node = AppState.ConnectionList;
    return node != NULL && node->next == NULL ? node->socket : kInvalidSocket;
}

// The lines of the newest scan, from its "Scan detected" on, without the
// RDNS line (A's lookup may land above it at any moment).
std::vector<std::string> NewestScanLines()
{
    std::vector<std::string> all = LogLines();
    size_t first = all.size();
    while (first > 0 && all[first - 1] != "Scan detected")
        --first;
    std::vector<std::string> lines;
    for (size_t i = first == 0 ? all.size() : first - 1; i < all.size(); ++i)
        if (all[i].rfind("   RDNS: ", 0) != 0)
            lines.push_back(all[i]);
    return lines;
}

// A caller whose socket exists before it connects: made before A's accept,
// it takes no handle value between A's accept and B's, so the program's
// next accept can be handed A's value again (in this one process the test's
// own sockets share the handle table with the program's).
class EarlyCaller {
  public:
    EarlyCaller() : socket_(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP))
    {
    }
    ~EarlyCaller()
    {
        if (socket_ != INVALID_SOCKET)
            closesocket(socket_);
    }
    bool Connect(u_short port)
    {
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (socket_ == INVALID_SOCKET || connect(socket_, (sockaddr*)&address, sizeof address) != 0)
            return false;
        sockaddr_in local = {};
        int length = sizeof local;
        getsockname(socket_, (sockaddr*)&local, &length);
        localPort_ = ntohs(local.sin_port);
        u_long nonBlocking = 1;
        ioctlsocket(socket_, FIONBIO, &nonBlocking);
        return true;
    }
    // Pumps the program's messages until it has ended the stream.
    bool WaitClosed(DWORD timeoutMs)
    {
        return PumpUntil(
            [this] {
                char buffer[512];
                int n;
                while ((n = recv(socket_, buffer, sizeof buffer, 0)) > 0)
                    received_.append(buffer, (size_t)n);
                if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK)
                    closed_ = true;
                return closed_;
            },
            timeoutMs);
    }
    const std::string& Received() const
    {
        return received_;
    }
    u_short LocalPort() const
    {
        return localPort_;
    }

  private:
    SOCKET socket_;
    std::string received_;
    bool closed_ = false;
    u_short localPort_ = 0;
};

class StaleEventTest : public AppTest {
  protected:
    void TearDown() override
    {
        Release();
        AppTest::TearDown();
    }
};

TEST_F(StaleEventTest, LeftOverEventOfAClosedCallerLeavesTheNextOwnerOfItsHandleAlone)
{
    const struct {
        const char* name;
        WORD event;
    } leftovers[] = {{"close", FD_CLOSE}, {"read", FD_READ}};
    const u_short port = PickFreePort();
    AddPortToList(port);
    SendMessageA(AppState.MainWindow, WM_COMMAND, IDC_LISTEN, 0);
    ASSERT_EQ(AppState.IsListening, 1);
    const SocketHandle listener = AppState.PortList->socket;

    for (const auto& leftover : leftovers) {
        SCOPED_TRACE(std::string("left-over ") + leftover.name + " event");
        Hold();
        EarlyCaller b;
        // Caller A is accepted as S; its write event, and so its warning and
        // hang-up, waits.
        LoopbackClient a;
        ASSERT_TRUE(a.Connect(port));
        ASSERT_TRUE(PumpUntil(
            [] { return OnlyConnection() != kInvalidSocket && !heldWrites.empty(); }, kWaitMs))
            << LogDump();
        const SocketHandle s = OnlyConnection();
        ASSERT_EQ(heldWrites.size(), 1u);
        ASSERT_EQ((SocketHandle)heldWrites[0].first, s);
        std::pair<WPARAM, LPARAM> writeA = heldWrites[0];
        heldWrites.clear();

        // Caller B connects; its accept event waits too.
        holdAcceptsOf = listener;
        ASSERT_TRUE(b.Connect(port));
        ASSERT_TRUE(PumpUntil([] { return !heldAccepts.empty(); }, kWaitMs)) << LogDump();

        // The hazard, with nothing pumped in between: an event for S that
        // the platform queued before the program closed S, then A's warning
        // and close, then B's accept.
        PostMessageA(AppState.MainWindow, WM_SOCKETEVENT, (WPARAM)s, leftover.event);
        CallWindowProcA(oldProc, AppState.MainWindow, WM_SOCKETEVENT, writeA.first, writeA.second);
        ASSERT_EQ(OnlyConnection(), kInvalidSocket) << LogDump();
        CallWindowProcA(oldProc, AppState.MainWindow, WM_SOCKETEVENT, heldAccepts[0].first,
                        heldAccepts[0].second);
        // Wine hands out the lowest free handle value, so B gets S again.
        ASSERT_EQ(OnlyConnection(), s) << "B did not get A's handle value; nothing to test";
        Release();

        ASSERT_TRUE(a.WaitClosed(kWaitMs));
        EXPECT_EQ(a.Received(), std::string(kWarning) + "\r\n");
        // B is served as any caller: the whole warning, then its hang-up.
        ASSERT_TRUE(b.WaitClosed(kWaitMs)) << LogDump();
        EXPECT_EQ(b.Received(), std::string(kWarning) + "\r\n");
        ASSERT_TRUE(PumpUntil([] { return AppState.RetiredSockets == NULL; }, kWaitMs));
        const std::vector<std::string> lines = NewestScanLines();
        ASSERT_EQ(lines.size(), 5u) << LogDump();
        EXPECT_EQ(lines[0], "Scan detected");
        EXPECT_EQ(
            lines[1].rfind("   Accept: 127.0.0.1:" + std::to_string(b.LocalPort()) + " -> ", 0), 0u)
            << lines[1];
        EXPECT_EQ(lines[2].rfind("   Timestamp: ", 0), 0u) << lines[2];
        EXPECT_EQ(lines[3], "   Message sent");
        EXPECT_EQ(lines[4], "Scan blocked");
        EXPECT_EQ(ConnectionCount(), 0);
    }
}

} // namespace
