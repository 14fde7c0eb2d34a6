// The stealth watch in-process: the Options item and its stored switch, a
// half-open caller's block reaching the shell through the real window
// procedure, with the alert raised unless the caller is trusted, the local
// addresses it lists, the one line a flood that fills its table leaves, and
// an address that goes and comes back. Wine refuses SIO_RCVALL, so the
// watch runs as raw TCP on every address here unless a test puts in its own
// address list and sockets.
#include "harness.h"
#include "support/rawsyn.h"

#include <iphlpapi.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "monitor/monitor.h"
#include "pure/synwatch.h"
#include "resource.h"

using namespace harness;

namespace {

class StealthTest : public AppTest {
  protected:
    void PrepareSettings() override
    {
        WriteSwitch(kValueStealthWatch, 1);
    }
    // Listens on one free port, which *port receives, with the watch on.
    void ListenWatched(int* port)
    {
        *port = FreePort();
        AddPortToList(*port);
        Command(IDC_LISTEN);
        ASSERT_GE(FindLogLine("Stealth watch on"), 0) << LogDump();
    }
};

// A loopback caller address of its own for each test and run: 127.<net>.0.x.
std::string FreshCaller(int net)
{
    return "127." + std::to_string(net) + ".0." + std::to_string(GetTickCount() % 250 + 2);
}

bool Checked(UINT id)
{
    return (GetMenuState(AppState.MainMenu, id, MF_BYCOMMAND) & MF_CHECKED) != 0;
}

TEST_F(StealthTest, HalfOpenCallerIsNamedAndAlertsUnlessTrusted)
{
    EXPECT_TRUE(Checked(IDM_STEALTH));
    int port = 0;
    ASSERT_NO_FATAL_FAILURE(ListenWatched(&port));
    // The trusted case trusts all of loopback, so that no other program's
    // calls there can raise the alert meanwhile.
    const std::string untrusted = FreshCaller(77);
    const struct {
        const char* from;
        const char* trusted;
        const char* head;
        bool alert;
    } cases[] = {{untrusted.c_str(), "", "Scan detected", true},
                 {"127.0.0.1", "127.0.0.0/8", "Scan detected (trusted)", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.from);
        SOCKET raw = OpenSynSender(c.from);
        if (raw == INVALID_SOCKET)
            GTEST_SKIP() << "raw sockets need root";
        char skipped[8];
        ParseTrustedLines(c.trusted, &AppState.Trusted, skipped, sizeof skipped);
        Command(IDM_RESETALERT);
        const u_short source = (u_short)(40000 + GetTickCount() % 20000);
        ASSERT_TRUE(SendSyn(raw, c.from, source, port));
        closesocket(raw);
        const std::string line = std::string("   Stealth: ") + c.from + ":" +
                                 std::to_string(source) + " -> 127.0.0.1:" + std::to_string(port);
        ASSERT_TRUE(WaitForLogLine(line, false, 6000)) << LogDump();
        EXPECT_EQ(LogLine(FindLogLine(line) - 1), c.head);
        const UINT reset = GetMenuState(AppState.MainMenu, IDM_RESETALERT, MF_BYCOMMAND);
        EXPECT_EQ((reset & MF_GRAYED) == 0, c.alert);
    }
    // Off while listening closes the watch at once; Exit stores the switch.
    Command(IDM_STEALTH);
    EXPECT_GE(FindLogLine("Stealth watch off"), 0) << LogDump();
    EXPECT_TRUE(AppState.Watch == NULL);
    EXPECT_FALSE(Checked(IDM_STEALTH));
    ASSERT_TRUE(ExitApp());
    ExpectValue(kValueStealthWatch, REG_BINARY, {0});
}

// The addresses of each interface that is up, as the adapter table gives
// them, loopback left out. Wine's socket layer lists only an interface's
// first address, so each interface must have one of its own listed.
std::vector<std::vector<uint32_t>> AdapterAddresses()
{
    std::vector<std::vector<uint32_t>> found;
    ULONG size = 16384;
    std::vector<unsigned char> buffer(size);
    auto* adapters = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    if (GetAdaptersAddresses(AF_INET, flags, NULL, adapters, &size) != NO_ERROR)
        return found;
    for (auto* a = adapters; a != NULL; a = a->Next) {
        if (a->OperStatus != IfOperStatusUp || a->IfType == IF_TYPE_SOFTWARE_LOOPBACK)
            continue;
        std::vector<uint32_t> own;
        for (auto* u = a->FirstUnicastAddress; u != NULL; u = u->Next) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(u->Address.lpSockaddr);
            if (in->sin_family == AF_INET && in->sin_addr.s_addr != 0)
                own.push_back(in->sin_addr.s_addr);
        }
        if (!own.empty())
            found.push_back(own);
    }
    return found;
}

TEST_F(StealthTest, ListsTheMachinesAddressesWithoutAskingForItsName)
{
    const std::vector<std::vector<uint32_t>> adapters = AdapterAddresses();
    if (adapters.empty())
        GTEST_SKIP() << "this machine has no address but loopback";
    NetAddress found[kLocalAddressCap];
    const int count = ListLocalAddresses(AF_INET, found);
    ASSERT_GE(count, 0) << WSAGetLastError();
    uint32_t listed[kLocalAddressCap];
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(found[i].family, kFamilyV4);
        memcpy(&listed[i], found[i].bytes, 4);
    }
    for (const std::vector<uint32_t>& own : adapters) {
        in_addr first;
        first.s_addr = own[0];
        EXPECT_TRUE(std::find_first_of(listed, listed + count, own.begin(), own.end()) !=
                    listed + count)
            << "none listed of the interface with " << inet_ntoa(first);
    }
}

// Raw TCP already watches every address: the comparison must leave its
// socket alone, and say nothing of addresses.
// Sends one SYN from `from` (a fresh source port) to port and waits for its
// "Stealth:" line.
void ExpectSynNamed(const std::string& from, int port)
{
    SOCKET raw = OpenSynSender(from.c_str());
    ASSERT_NE(raw, INVALID_SOCKET);
    const u_short source = (u_short)(40000 + GetTickCount() % 20000);
    ASSERT_TRUE(SendSyn(raw, from.c_str(), source, (u_short)port));
    closesocket(raw);
    const std::string line = "   Stealth: " + from + ":" + std::to_string(source) +
                             " -> 127.0.0.1:" + std::to_string(port);
    EXPECT_TRUE(WaitForLogLine(line, false, 6000)) << LogDump();
}

TEST_F(StealthTest, ComparisonLeavesTheRawTcpFormWatching)
{
    int port = 0;
    ASSERT_NO_FATAL_FAILURE(ListenWatched(&port));
    const std::string from = FreshCaller(78);
    SOCKET raw = OpenSynSender(from.c_str());
    if (raw == INVALID_SOCKET)
        GTEST_SKIP() << "raw sockets need root";
    closesocket(raw);
    for (int i = 0; i < 3; ++i)
        StealthCompareAddresses();
    ExpectSynNamed(from, port);
    EXPECT_LT(FindLogLine("Stealth watch: watching", true), 0) << LogDump();
}

// More half-open callers than the table holds: the ones pushed out are
// counted in one line on the next tick, not one line each.
TEST_F(StealthTest, FullTableIsToldInOneLine)
{
    int port = 0;
    ASSERT_NO_FATAL_FAILURE(ListenWatched(&port));
    const std::string from = FreshCaller(79);
    SOCKET raw = OpenSynSender(from.c_str());
    if (raw == INVALID_SOCKET)
        GTEST_SKIP() << "raw sockets need root";
    // Nothing is pumped while they go: the watch's reader keeps them, and
    // the window's thread takes them all at once afterwards, however long
    // the sending took. Some may still be lost on a busy machine; the
    // surplus is large enough that the table fills all the same.
    const int kOver = 140, sent = (int)kSynPendingCap + kOver;
    for (int i = 0; i < sent; ++i)
        ASSERT_TRUE(SendSyn(raw, from.c_str(), (u_short)(20000 + i), (u_short)port));
    closesocket(raw);
    const std::string head = "Stealth watch: ",
                      tail = " half-open callers not tracked (table full)";
    ASSERT_TRUE(WaitForLogLine(head, true, 6000)) << LogDump();
    const std::string line = LogLine(FindLogLine(head, true));
    ASSERT_GT(line.size(), head.size() + tail.size()) << line;
    ASSERT_EQ(line.substr(line.size() - tail.size()), tail) << line;
    const int told = std::stoi(line.substr(head.size()));
    // A tick between reads tells the first drops alone; the rest wait a minute.
    EXPECT_GE(told, 1);
    EXPECT_LE(told, kOver);
    int notices = 0;
    for (const std::string& l : LogLines())
        if (l.size() > tail.size() && l.compare(l.size() - tail.size(), tail.size(), tail) == 0)
            ++notices;
    EXPECT_EQ(notices, 1) << LogDump();
}

// The machine's addresses as the test sets them: 127.0.0.1 or none. Its
// socket is a raw TCP one, which under Wine sees every packet to it.
bool gAddressListed = true;

int ListTestAddresses(NetAddress* out, int cap)
{
    if (!gAddressListed || cap < 1)
        return 0;
    out[0] = NetAddressFromV4Host(0x7f000001);
    return 1;
}

SocketHandle OpenTestWatchSocket(const NetAddress&)
{
    return (SocketHandle)socket(AF_INET, SOCK_RAW, IPPROTO_TCP);
}

// The only address goes and comes back: the watch says it waits, then that
// it watches, and a SYN after the return is read and named.
TEST_F(StealthTest, AddressGoneAndBackIsWatchedAgain)
{
    SOCKET raw = OpenSynSender("127.0.0.1");
    if (raw == INVALID_SOCKET)
        GTEST_SKIP() << "raw sockets need root";
    gAddressListed = true;
    AppState.ListWatchAddresses = ListTestAddresses;
    AppState.OpenWatchSocket = OpenTestWatchSocket;
    int port = 0;
    ASSERT_NO_FATAL_FAILURE(ListenWatched(&port));
    const struct {
        bool listed;
        const char* line;
    } steps[] = {{false, "Stealth watch: no network addresses; waiting"},
                 {true, "Stealth watch: watching 1 address"}};
    for (const auto& step : steps) {
        gAddressListed = step.listed;
        StealthCompareAddresses();
        EXPECT_EQ(LogLine(LogCount() - 1), step.line) << LogDump();
    }
    closesocket(raw);
    ExpectSynNamed(FreshCaller(81), port);
}

// SYNs from `from` to ports nobody listens on, sent from a thread of the
// test until stop is set.
void SweepUntilStopped(const std::string& from, const std::atomic<bool>* stop)
{
    SOCKET raw = OpenSynSender(from.c_str());
    for (int i = 0; raw != INVALID_SOCKET && !*stop; ++i)
        SendSyn(raw, from.c_str(), (u_short)(30000 + i % 1000), (u_short)(1 + i % 900));
    closesocket(raw);
}

// The watch's reader is started and stopped while packets pour in: each
// close ends it before the command returns, and each opening reads again.
TEST_F(StealthTest, ReaderStartsAndStopsWhilePacketsFlow)
{
    int port = 0;
    ASSERT_NO_FATAL_FAILURE(ListenWatched(&port));
    SOCKET probe = OpenSynSender("127.0.0.1");
    if (probe == INVALID_SOCKET)
        GTEST_SKIP() << "raw sockets need root";
    closesocket(probe);
    Command(IDM_STEALTH);
    ASSERT_TRUE(AppState.Watch == NULL);
    std::atomic<bool> stop(false);
    const std::string from = FreshCaller(80);
    std::thread sender(SweepUntilStopped, from, &stop);
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        SendMessageA(AppState.LogList, LB_RESETCONTENT, 0, 0);
        // Counted around each command alone: the sweep's name lookups may
        // add threads of their own in between.
        const int closed = ThreadCount();
        Command(IDM_STEALTH);
        ASSERT_TRUE(AppState.Watch != NULL) << LogDump();
        EXPECT_EQ(ThreadCount(), closed + 1);
        // Each opening starts afresh and sees the sweep going on.
        EXPECT_TRUE(WaitForLogLine("Port sweep from " + from + ": ", true, 6000)) << LogDump();
        const int open = ThreadCount();
        Command(IDM_STEALTH);
        EXPECT_TRUE(AppState.Watch == NULL);
        EXPECT_EQ(ThreadCount(), open - 1) << "the reader is still running";
    }
    stop = true;
    sender.join();
}

} // namespace
