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
    while (first > 0 && all[first - 1] != kScanDetected)
        --first;
    std::vector<std::string> lines;
    for (size_t i = first == 0 ? all.size() : first - 1; i < all.size(); ++i)
        if (all[i].rfind(kRdnsPrefix, 0) != 0)
            lines.push_back(all[i]);
    return lines;
}

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
    const u_short port = FreePort();
    AddPortToList(port);
    SendMessageA(AppState.MainWindow, WM_COMMAND, IDC_LISTEN, 0);
    ASSERT_EQ(AppState.IsListening, 1);
    const SocketHandle listener = AppState.PortList->socket;
    // The name of 127.0.0.1 is looked up once beforehand and then comes from
    // the answers kept for a minute: a lookup under way on its own thread
    // could take the freed handle value this test counts on.
    Caller first;
    ASSERT_TRUE(first.Connect(port));
    ASSERT_TRUE(WaitForLogLine(kRdnsPrefix, true)) << LogDump();
    ASSERT_TRUE(first.WaitClosed(kDeadlineMs));
    ASSERT_TRUE(PumpUntil([] { return OnlyConnection() == kInvalidSocket; })) << LogDump();

    for (const auto& leftover : leftovers) {
        SCOPED_TRACE(std::string("left-over ") + leftover.name + " event");
        Hold();
        // Caller B's socket is made before A's accept, so that it takes no
        // handle value between A's accept and B's, and the program's next
        // accept can be handed A's value again (in this one process the
        // test's own sockets share the handle table with the program's).
        Caller b;
        ASSERT_TRUE(b.Open());
        // Caller A is accepted as S; its write event, and so its warning and
        // hang-up, waits.
        Caller a;
        ASSERT_TRUE(a.Connect(port));
        ASSERT_TRUE(PumpUntil(
            [] { return OnlyConnection() != kInvalidSocket && !heldWrites.empty(); }, kDeadlineMs))
            << LogDump();
        const SocketHandle s = OnlyConnection();
        ASSERT_EQ(heldWrites.size(), 1u);
        ASSERT_EQ((SocketHandle)heldWrites[0].first, s);
        std::pair<WPARAM, LPARAM> writeA = heldWrites[0];
        heldWrites.clear();

        // Caller B connects; its accept event waits too.
        holdAcceptsOf = listener;
        ASSERT_TRUE(b.Connect(port));
        ASSERT_TRUE(PumpUntil([] { return !heldAccepts.empty(); }, kDeadlineMs)) << LogDump();

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

        ASSERT_TRUE(a.WaitClosed(kDeadlineMs));
        EXPECT_EQ(a.Received(), kWarningLine);
        // B is served as any caller: the whole warning, then its hang-up.
        ASSERT_TRUE(b.WaitClosed(kDeadlineMs)) << LogDump();
        EXPECT_EQ(b.Received(), kWarningLine);
        ASSERT_TRUE(PumpUntil([] { return AppState.RetiredSockets == NULL; }, kDeadlineMs));
        const std::vector<std::string> lines = NewestScanLines();
        ASSERT_EQ(lines.size(), 5u) << LogDump();
        EXPECT_EQ(lines[0], kScanDetected);
        EXPECT_EQ(lines[1].rfind(AcceptedFrom(b.LocalPort()) + " -> ", 0), 0u) << lines[1];
        EXPECT_EQ(lines[2].rfind(kTimestampPrefix, 0), 0u) << lines[2];
        EXPECT_EQ(lines[3], kMessageSent);
        EXPECT_EQ(lines[4], kScanBlocked);
        EXPECT_EQ(ConnectionCount(), 0);
    }
}

} // namespace
