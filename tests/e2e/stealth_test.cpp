// The stealth watch as scanners meet it: hand-made SYNs on loopback that
// never finish their handshake, a caller that resets at once, a sweep of
// closed ports and a plain caller, each logged by harbinel.exe exactly once
// and by name; whole connections matched, and the attempts Stop cuts short
// named.
#include "driver.h"

#include "support/rawsyn.h"

#include <algorithm>
#include <regex>

namespace e2e {
namespace {

// A scan's line: the one line holding `needle`, of the form `pattern`,
// under "Scan detected" when it is an (indented) address line.
struct Expected {
    std::wstring needle;
    std::wstring pattern;
};

int LineHolding(const std::vector<std::wstring>& log, const std::wstring& needle, int* count)
{
    int found = -1;
    *count = 0;
    for (size_t i = 0; i < log.size(); ++i)
        if (log[i].find(needle) != std::wstring::npos && (*count)++ == 0)
            found = (int)i;
    return found;
}

// Each line is there, with its lookup answer under it.
bool AllAnswered(const std::vector<std::wstring>& log, const std::vector<Expected>& rows)
{
    for (const Expected& row : rows) {
        int count = 0, i = LineHolding(log, row.needle, &count);
        if (i < 0 || i + 1 >= (int)log.size() || log[i + 1].rfind(L"   RDNS: ", 0) != 0)
            return false;
    }
    return true;
}

TEST_F(HarbinelTest, StealthWatchNamesEachAttemptOnce)
{
    EnsureWinsock();
    // Its own 127.x address keeps other programs' loopback calls out of the sweep.
    const std::string sweeper = "127.77." + std::to_string(GetCurrentProcessId() % 250 + 1) + "." +
                                std::to_string(GetTickCount() % 250 + 2);
    SOCKET raw = OpenSynSender("127.0.0.1"), sweep = OpenSynSender(sweeper.c_str());
    if (raw == INVALID_SOCKET || sweep == INVALID_SOCKET)
        GTEST_SKIP() << "raw sockets need root";
    const std::vector<int> ports = FreePorts(22); // two listened, twenty swept
    ASSERT_EQ(ports.size(), 22u);
    WritePorts({ports[0], ports[1]});
    WriteSwitch(kValueStealthWatch, 1);
    WriteSwitch(kValueBlock, 1); // a SYN's source may be spoofed: none is blocked
    StartProgram();
    Listen();
    ASSERT_TRUE(WaitForLogLine(main_, L"Stealth watch on"));

    Caller plain, resetter;
    ASSERT_TRUE(plain.Connect(ports[0]));
    ASSERT_TRUE(resetter.Connect(ports[1]));
    const std::wstring plainFrom = L"127.0.0.1:" + std::to_wstring(plain.LocalPort()) + L" -> ";
    const std::wstring resetFrom = L"127.0.0.1:" + std::to_wstring(resetter.LocalPort()) + L" -> ";
    resetter.Reset();
    const u_short halfOpen = (u_short)(40000 + GetTickCount() % 20000);
    std::vector<Expected> rows = {
        {plainFrom, L"   Accept: " + plainFrom + L".*"},
        {resetFrom, L"   (Accept|Stealth): " + resetFrom + L".*"},
    };
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(SendSyn(raw, "127.0.0.1", (u_short)(halfOpen + i), (u_short)ports[i]));
        const std::wstring from = L"127.0.0.1:" + std::to_wstring(halfOpen + i) + L" -> ";
        rows.push_back({from, L"   Stealth: " + from + L"127.0.0.1:" + std::to_wstring(ports[i])});
    }
    int low = 65535, high = 0;
    for (int i = 2; i < 22; ++i) {
        ASSERT_TRUE(SendSyn(sweep, sweeper.c_str(), 50000, (u_short)ports[i]));
        low = std::min(low, ports[i]);
        high = std::max(high, ports[i]);
    }
    const std::wstring sweepHead = L"Port sweep from " + Widen(sweeper);
    rows.push_back({sweepHead, sweepHead + L": 20 ports, " + std::to_wstring(low) + L"-" +
                                   std::to_wstring(high)});
    closesocket(raw);
    closesocket(sweep);

    // A half-open caller is named 3 s after its SYN, and by then a plain
    // caller left unmatched would have been named a second time.
    std::vector<std::wstring> log;
    ASSERT_TRUE(WaitForLog(
        main_, [&](const auto& l) { return AllAnswered(l, rows); }, 15000, &log))
        << Dump(log);
    for (const Expected& row : rows) {
        SCOPED_TRACE(Narrow(row.needle));
        int count = 0, i = LineHolding(log, row.needle, &count);
        EXPECT_EQ(count, 1) << Dump(log);
        EXPECT_TRUE(std::regex_match(log[i], std::wregex(row.pattern))) << Narrow(log[i]);
        if (row.pattern[0] == L' ') {
            EXPECT_EQ(log[i - 1], L"Scan detected");
        }
        EXPECT_EQ(log[i + 2].rfind(L"   Timestamp: ", 0), 0u) << Narrow(log[i + 2]);
    }
    int gone = 0, blocked = 0;
    LineHolding(log, L"caller gone before accept", &gone);
    EXPECT_EQ(gone, 0) << Dump(log);
    LineHolding(log, L"   Blocked for", &blocked);
    EXPECT_EQ(blocked, 0) << Dump(log);
}

// A TCP socket bound to 127.0.0.1 and a free port, *port, not yet connected.
SOCKET BoundCaller(u_short* port)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in own = {};
    own.sin_family = AF_INET;
    own.sin_addr.s_addr = inet_addr("127.0.0.1");
    int length = sizeof own;
    if (bind(s, (sockaddr*)&own, sizeof own) != 0 ||
        getsockname(s, (sockaddr*)&own, &length) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    *port = ntohs(own.sin_port);
    return s;
}

// Whole connections: a source port that knocked half-open on one port and
// then connected to another is named for the first only; and a SYN whose
// window Stop cuts short is still named.
TEST_F(HarbinelTest, StealthWatchMatchesWholeConnectionsAndNamesAtStop)
{
    EnsureWinsock();
    SOCKET raw = OpenSynSender("127.0.0.1");
    if (raw == INVALID_SOCKET)
        GTEST_SKIP() << "raw sockets need root";
    const std::vector<int> ports = FreePorts(2);
    ASSERT_EQ(ports.size(), 2u);
    WritePorts(ports);
    WriteSwitch(kValueStealthWatch, 1);
    StartProgram();
    Listen();
    ASSERT_TRUE(WaitForLogLine(main_, L"Stealth watch on"));
    u_short source = 0;
    SOCKET caller = BoundCaller(&source);
    ASSERT_NE(caller, INVALID_SOCKET);
    ASSERT_TRUE(SendSyn(raw, "127.0.0.1", source, (u_short)ports[0]));
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = inet_addr("127.0.0.1");
    to.sin_port = htons((u_short)ports[1]);
    ASSERT_EQ(connect(caller, (sockaddr*)&to, sizeof to), 0) << WSAGetLastError();
    const std::wstring from = L"127.0.0.1:" + std::to_wstring(source) + L" -> 127.0.0.1:";
    const std::wstring halfOpen = L"   Stealth: " + from + std::to_wstring(ports[0]);
    ASSERT_TRUE(WaitForLogLine(main_, halfOpen, 15000)) << Dump(LogLines(main_));
    closesocket(caller);

    const u_short late = (u_short)(source == 65535 ? 40000 : source + 1);
    ASSERT_TRUE(SendSyn(raw, "127.0.0.1", late, (u_short)ports[0]));
    closesocket(raw);
    Sleep(1000); // Stop comes a second into the half-open window
    SendCommand(main_, kListen);
    ASSERT_TRUE(PumpUntil([&] { return ButtonText(main_) == kButtonListenW; }));
    const std::wstring cut = L"   Stealth: 127.0.0.1:" + std::to_wstring(late) + L" -> 127.0.0.1:" +
                             std::to_wstring(ports[0]);
    std::vector<std::wstring> log;
    ASSERT_TRUE(WaitForLog(
        main_, [&](const auto& l) { return CountLines(l, cut) == 1; }, kDeadlineMs, &log))
        << Dump(log);
    EXPECT_EQ(log[FindLine(log, cut) - 1], kScanDetectedW);
    EXPECT_EQ(CountLines(log, halfOpen), 1) << Dump(log);
    EXPECT_EQ(CountLines(log, L"   Accept: " + from + std::to_wstring(ports[1])), 1) << Dump(log);
    EXPECT_EQ(CountLines(log, L"   Stealth: " + from + std::to_wstring(ports[1])), 0) << Dump(log);
}

} // namespace
} // namespace e2e
