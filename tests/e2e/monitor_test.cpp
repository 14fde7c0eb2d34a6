// The port monitor as a scanner meets it: real TCP callers on loopback reach
// the running harbinel.exe, get their warning (or none) and their hang-up,
// and every scan is logged as its own block with its reverse lookup under
// its address line. Also what Listen and Stop report, and the settings that
// come back after Exit.
#include "driver.h"

#include <map>
#include <regex>
#include <string>
#include <vector>

namespace e2e {
namespace {

bool IsRdnsLine(const std::wstring& line)
{
    return StartsWith(line, kRdnsPrefixW) && line.size() > wcslen(kRdnsPrefixW);
}

int CountRdnsLines(const std::vector<std::wstring>& lines)
{
    int n = 0;
    for (const std::wstring& l : lines)
        n += IsRdnsLine(l) ? 1 : 0;
    return n;
}

// One scan as the caller sees it: its own address and port, and the port
// it called.
struct Scan {
    std::string from;
    int callerPort;
    int port;
};

std::string Describe(const Scan& scan)
{
    return scan.from + ":" + std::to_string(scan.callerPort) + " to port " +
           std::to_string(scan.port);
}

// "   Accept: <caller address>:<caller port> -> <local address>:<port>".
// The local address comes from a routing query, for which Wine gives the
// machine's main address rather than the loopback one: only its form is
// checked.
bool IsAddressLineOf(const std::wstring& line, const Scan& scan)
{
    static const std::wregex form(LR"(   Accept: ([\d.]+):(\d+) -> \d+\.\d+\.\d+\.\d+:(\d+))");
    std::wsmatch m;
    return std::regex_match(line, m, form) && m[1].str() == Widen(scan.from) &&
           m[2].str() == std::to_wstring(scan.callerPort) &&
           m[3].str() == std::to_wstring(scan.port);
}

// The host name the resolver gives this process for `address`, or empty
// when it has none; the program asks the same resolver. Each address is
// asked once.
std::string ResolvedName(const std::string& address)
{
    static std::map<std::string, std::string> known;
    auto it = known.find(address);
    if (it != known.end())
        return it->second;
    EnsureWinsock();
    in_addr a = {};
    a.s_addr = inet_addr(address.c_str());
    const hostent* entry = gethostbyaddr((const char*)&a, 4, AF_INET);
    const std::string name = entry != NULL && entry->h_name != NULL ? entry->h_name : "";
    known[address] = name;
    return name;
}

// The lookup answer for a caller at `address`: its host name, or, when the
// resolver has none, one of the reasons.
void ExpectRdnsLineFor(const std::wstring& line, const std::string& address)
{
    const std::string name = ResolvedName(address);
    if (!name.empty()) {
        EXPECT_EQ(line, kRdnsPrefixW + Widen(name));
        return;
    }
    const std::wstring reasons[] = {L"Host not found", L"Try again", L"Non-recoverable error",
                                    L"No RDNS data available", L"Unknown error"};
    bool known = false;
    for (const std::wstring& r : reasons)
        known = known || line == kRdnsPrefixW + r;
    EXPECT_TRUE(known) << "no name for " << address << ", yet the line reads [" << Narrow(line)
                       << "]";
}

// The local clock's reading around a scan, to check its timestamp line.
struct TimeWindow {
    SYSTEMTIME from = {};
    SYSTEMTIME to = {};
};

int SecondOfDay(const SYSTEMTIME& t)
{
    return t.wHour * 3600 + t.wMinute * 60 + t.wSecond;
}

// "   Timestamp: hh:mm:ss GMT[+-h[:m]], d/m/yyyy" read within `window`.
void ExpectTimestampLine(const std::wstring& line, const TimeWindow& window)
{
    static const std::wregex form(
        LR"(   Timestamp: (\d\d):(\d\d):(\d\d)( GMT([+-][1-9]\d?(:[1-5]?\d)?)?)?, (\d{1,2})/(\d{1,2})/(\d{4}))");
    std::wsmatch m;
    ASSERT_TRUE(std::regex_match(line, m, form)) << "timestamp line: [" << Narrow(line) << "]";
    SYSTEMTIME t = window.from;
    t.wHour = (WORD)std::stoi(m[1].str());
    t.wMinute = (WORD)std::stoi(m[2].str());
    t.wSecond = (WORD)std::stoi(m[3].str());
    const int day = std::stoi(m[7].str()), month = std::stoi(m[8].str()),
              year = std::stoi(m[9].str());
    if (window.from.wDay != window.to.wDay)
        return; // midnight passed during the scan: either date would do
    EXPECT_EQ(day, window.from.wDay) << Narrow(line);
    EXPECT_EQ(month, window.from.wMonth) << Narrow(line);
    EXPECT_EQ(year, window.from.wYear) << Narrow(line);
    EXPECT_GE(SecondOfDay(t), SecondOfDay(window.from)) << Narrow(line);
    EXPECT_LE(SecondOfDay(t), SecondOfDay(window.to)) << Narrow(line);
}

// One scan's block: "Scan detected", its own address line, its own lookup
// answer directly under it, then its timestamp line.
void ExpectScanBlock(const std::vector<std::wstring>& log, const Scan& scan,
                     const TimeWindow& window)
{
    SCOPED_TRACE(Describe(scan));
    const std::vector<std::wstring> lines = log;
    int at = -1, found = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (IsAddressLineOf(lines[i], scan)) {
            at = (int)i;
            ++found;
        }
    }
    ASSERT_EQ(found, 1) << "address lines of this caller\n" << Dump(log);
    ASSERT_GE(at, 1) << Dump(log);
    ASSERT_LT((size_t)at + 2, lines.size()) << Dump(log);
    EXPECT_EQ(lines[at - 1], kScanDetectedW) << Dump(log);
    ExpectRdnsLineFor(lines[at + 1], scan.from);
    ExpectTimestampLine(lines[at + 2], window);
}

TimeWindow StartWindow()
{
    TimeWindow w;
    GetLocalTime(&w.from);
    return w;
}

void EndWindow(TimeWindow& w)
{
    GetLocalTime(&w.to);
}

class MonitorTest : public HarbinelTest {
  protected:
    // Waits until `scans` scans were blocked and all their lookups answered.
    bool WaitForFinishedScans(int scans, std::vector<std::wstring>* log,
                              DWORD timeoutMs = kDeadlineMs)
    {
        return WaitForLog(
            main_,
            [&](const std::vector<std::wstring>& l) {
                return CountLines(l, kScanBlockedW) == scans && CountRdnsLines(l) == scans;
            },
            timeoutMs, log);
    }

    // Waits until the log holds a line (other than Wine's noise) after
    // `from`, and returns the lines after `from`, noise left out.
    std::vector<std::wstring> WaitForNewLines(size_t from, size_t count)
    {
        std::vector<std::wstring> fresh;
        WaitForLog(main_, [&](const std::vector<std::wstring>& l) {
            fresh =
                std::vector<std::wstring>(l.begin() + (ptrdiff_t)std::min(from, l.size()), l.end());
            return fresh.size() >= count;
        });
        return fresh;
    }

    // Ends this run and starts again from a deleted key.
    void Restart()
    {
        ExitProgram();
        DeleteSettings();
        WriteSwitch(kValueFirstRunAsked, 0);
    }
};

// ---- One scan -----------------------------------------------------------------

TEST_F(MonitorTest, FirstRunScanIsWarnedBlockedAndLogged)
{
    const int port = FreePort();
    WritePorts({port});
    StartProgram();
    Listen();

    TimeWindow window = StartWindow();
    Caller caller;
    ASSERT_TRUE(caller.Connect(port));
    const int callerPort = caller.LocalPort();
    bool ended = false;
    const std::string got = caller.ReceiveAll(kDeadlineMs, &ended);
    EXPECT_EQ(got, kWarningLine);
    EXPECT_EQ(got.size(), 68u);
    EXPECT_TRUE(ended) << "the program did not hang up";

    std::vector<std::wstring> log;
    ASSERT_TRUE(WaitForFinishedScans(1, &log)) << Dump(log);
    EndWindow(window);
    const std::vector<std::wstring> lines = log;
    ASSERT_EQ(lines.size(), 8u) << Dump(log);
    EXPECT_EQ(lines[0], Widen(ListeningLine(1)));
    EXPECT_EQ(lines[1], Widen(PortsLine({port})));
    EXPECT_EQ(lines[2], kScanDetectedW);
    EXPECT_TRUE(IsAddressLineOf(lines[3], {"127.0.0.1", callerPort, port})) << Narrow(lines[3]);
    ExpectRdnsLineFor(lines[4], "127.0.0.1");
    ExpectTimestampLine(lines[5], window);
    EXPECT_EQ(lines[6], kMessageSentW);
    EXPECT_EQ(lines[7], kScanBlockedW);
}

TEST_F(MonitorTest, WithoutImmediateDisconnectEverythingTheCallerSendsIsLogged)
{
    const int port = ListenOnOnePortKeepingCallers();

    Caller caller;
    ASSERT_TRUE(caller.Connect(port));
    bool ended = false;
    EXPECT_EQ(caller.ReceiveAtLeast(kWarningLine.size(), &ended), kWarningLine);
    EXPECT_FALSE(ended);
    // Lines are only compared by index once the lookup's answer is in: it is
    // inserted higher up.
    ASSERT_TRUE(WaitForLog(main_, [](const std::vector<std::wstring>& l) {
        return CountRdnsLines(l) == 1 && FindLine(l, kMessageSentW) >= 0;
    })) << Dump(LogLines(main_));

    // Each chunk, sent once the one before is logged, is a line of its own,
    // its line break escaped.
    const std::pair<std::string, std::string> chunks[] = {
        {"first chunk", "first chunk"},
        {"second chunk\r\nwith a line break", "second chunk\\r\\nwith a line break"},
        {"x", "x"}};
    for (const auto& chunk : chunks) {
        SCOPED_TRACE(chunk.first);
        const size_t from = LogLines(main_).size();
        ASSERT_TRUE(caller.Send(chunk.first));
        std::vector<std::wstring> fresh = WaitForNewLines(from, 1);
        EXPECT_EQ(fresh, std::vector<std::wstring>{Widen(chunk.second)}) << Dump(LogLines(main_));
    }

    // More than one receive holds: lines of at most 2048 bytes, nothing
    // lost. Lines over 511 characters can only be measured here, so the
    // bytes are compared where a line is short enough to read.
    for (size_t size : {3000u, 2100u}) {
        SCOPED_TRACE(std::to_string(size) + " bytes at once");
        std::string data;
        for (size_t i = 0; i < size; ++i)
            data.push_back((char)('a' + i % 26));
        const size_t from = LogLines(main_).size();
        ASSERT_TRUE(caller.Send(data));
        std::vector<std::wstring> fresh;
        size_t total = 0;
        WaitForLog(main_, [&](const std::vector<std::wstring>& l) {
            fresh = std::vector<std::wstring>(l.begin() + (ptrdiff_t)from, l.end());
            total = 0;
            for (const std::wstring& f : fresh)
                total += f.size();
            return total >= size;
        });
        EXPECT_EQ(total, size) << Dump(fresh);
        EXPECT_GE(fresh.size(), 2u) << Dump(fresh);
        size_t offset = 0;
        for (const std::wstring& f : fresh) {
            EXPECT_LE(f.size(), 2048u);
            EXPECT_FALSE(f.empty());
            if (f.size() <= (size_t)kLongestReadableLine && offset + f.size() <= size) {
                EXPECT_EQ(f, Widen(data.substr(offset, f.size())));
            }
            offset += f.size();
        }
    }

    // A zero byte is escaped like any control byte: what follows it is
    // logged too. "tail", logged next on its own, shows nothing more came.
    {
        const size_t from = LogLines(main_).size();
        ASSERT_TRUE(caller.Send(std::string("before\0after", 12)));
        std::vector<std::wstring> fresh = WaitForNewLines(from, 1);
        EXPECT_EQ(fresh, std::vector<std::wstring>{L"before\\x00after"});
        ASSERT_TRUE(caller.Send("tail"));
        fresh = WaitForNewLines(from, 2);
        EXPECT_EQ(fresh, (std::vector<std::wstring>{L"before\\x00after", L"tail"}));
    }

    std::vector<std::wstring> log = LogLines(main_);
    EXPECT_EQ(CountLines(log, kScanBlockedW), 0) << Dump(log);
    EXPECT_EQ(CountLines(log, kMessageSentW), 1) << Dump(log);

    // The caller's hang-up.
    caller.Close();
    EXPECT_TRUE(WaitForLog(
        main_,
        [](const std::vector<std::wstring>& l) {
            return !l.empty() && l.back() == kScanBlockedW && CountLines(l, kScanBlockedW) == 1;
        },
        kDeadlineMs, &log))
        << Dump(log);
}

// ---- The warning text ---------------------------------------------------------

TEST_F(MonitorTest, WarningTextFollowsTheStoredMessageSettings)
{
    const std::string longest(255, 'L');
    const std::string tooLong(300, 'T');
    struct Case {
        const char* name;
        BYTE messageType;
        bool typeAsDword; // stored in 4 bytes, more than the one byte read
        std::string text;
        std::string received; // empty: nothing is sent, nor logged as sent
    };
    const std::string defaultText = kWarningLine;
    const Case cases[] = {
        {"type 1: nothing sent", 1, false, "Custom", ""},
        {"type 0: custom text", 0, false, "Keep out: this port is watched",
         "Keep out: this port is watched\r\n"},
        {"type 0: empty custom text", 0, false, "", "\r\n"},
        {"type 0: custom text of 255 characters", 0, false, longest, longest + "\r\n"},
        // Too long to load: the custom text starts empty.
        {"type 0: custom text of 300 bytes", 0, false, tooLong, "\r\n"},
        {"type 2: default text beside a custom one", 2, false, "Custom", defaultText},
        // Too large to load: the default type stays.
        {"type 1 stored as a DWORD", 1, true, "Custom", defaultText},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int port = FreePort();
        WritePorts({port});
        if (c.typeAsDword)
            WriteDword(kValueMessageType, c.messageType);
        else
            WriteSwitch(kValueMessageType, c.messageType);
        WriteText(kValueCustomMessage, c.text);
        StartProgram();
        Listen();

        TimeWindow window = StartWindow();
        Caller caller;
        ASSERT_TRUE(caller.Connect(port));
        const int callerPort = caller.LocalPort();
        bool ended = false;
        EXPECT_EQ(caller.ReceiveAll(kDeadlineMs, &ended), c.received);
        EXPECT_TRUE(ended) << "the program did not hang up";

        std::vector<std::wstring> log;
        ASSERT_TRUE(WaitForFinishedScans(1, &log)) << Dump(log);
        EndWindow(window);
        ExpectScanBlock(log, {"127.0.0.1", callerPort, port}, window);
        std::vector<std::wstring> lines = SteadyLines(log);
        std::vector<std::wstring> tail(lines.begin() + std::min<size_t>(5, lines.size()),
                                       lines.end());
        if (c.received.empty())
            EXPECT_EQ(tail, std::vector<std::wstring>{kScanBlockedW}) << Dump(log);
        else
            EXPECT_EQ(tail, (std::vector<std::wstring>{kMessageSentW, kScanBlockedW})) << Dump(log);
        EXPECT_EQ(lines.size(), c.received.empty() ? 6u : 7u) << Dump(log);
        Restart();
    }
}

// ---- Listening ----------------------------------------------------------------

TEST_F(MonitorTest, ListenReportsPortsThatCannotOpenAndStopCountsWhatListened)
{
    struct Case {
        const char* name;
        std::vector<int> ports; // indexes into the free ports below
        int held;               // index of the port another program holds, or -1
        std::vector<std::wstring> listenLines;
        std::vector<int> served; // indexes of the ports that answer
        std::wstring closeLine;
    };
    const std::vector<int> free = FreePorts(3);
    ASSERT_EQ(free.size(), 3u);
    const Case cases[] = {
        {"a port held by another program",
         {0, 1, 2},
         1,
         {Widen(PortInUseLine(free[1])), Widen(ListeningLine(2)),
          Widen(PortsLine({free[0], free[2]}))},
         {0, 2},
         // The port that failed to bind was closed then: Stop counts what listened.
         Widen(CloseLine(2))},
        {"a port listed twice",
         {0, 0},
         -1,
         {Widen(PortInUseLine(free[0])), Widen(ListeningLine(1)), Widen(PortsLine({free[0]}))},
         {0},
         Widen(CloseLine(1))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<int> ports;
        for (int i : c.ports)
            ports.push_back(free[i]);
        WritePorts(ports);
        // IPv4 alone: the port held there would still listen on IPv6.
        WriteSwitch(kValueIPv6, 0);
        PortHolder holder;
        ASSERT_TRUE(holder.Hold(c.held >= 0 ? free[c.held] : FreePort()));
        StartProgram();
        Listen();
        std::vector<std::wstring> log;
        ASSERT_TRUE(WaitForLog(
            main_,
            [&](const std::vector<std::wstring>& l) { return l.size() >= c.listenLines.size(); },
            kDeadlineMs, &log));
        EXPECT_EQ(log, c.listenLines) << Dump(log);
        EXPECT_EQ(StatusText(main_), kStatusListeningW);

        for (size_t k = 0; k < c.served.size(); ++k) {
            Caller caller;
            ASSERT_TRUE(caller.Connect(free[c.served[k]])) << "port " << free[c.served[k]];
            bool ended = false;
            EXPECT_EQ(caller.ReceiveAll(kDeadlineMs, &ended), kWarningLine);
            ASSERT_TRUE(WaitForFinishedScans((int)k + 1, &log)) << Dump(log);
        }

        const size_t before = LogLines(main_).size();
        SendCommand(main_, kListen);
        EXPECT_EQ(ButtonText(main_), kButtonListenW);
        EXPECT_EQ(StatusText(main_), kStatusIdleW);
        log = LogLines(main_);
        EXPECT_EQ(std::vector<std::wstring>(log.begin() + (ptrdiff_t)std::min(before, log.size()),
                                            log.end()),
                  std::vector<std::wstring>{c.closeLine})
            << Dump(log);
        Restart();
    }
}

TEST_F(MonitorTest, ListenWithoutPortsSaysSoAndStaysIdle)
{
    // Nothing stored, a Count of 0, and ports stored without a Count.
    struct Case {
        const char* name;
        bool count;
        bool port0;
    };
    const Case cases[] = {
        {"no settings", false, false},
        {"Count 0 beside Port0", true, true},
        {"Port0 without Count", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int port = FreePort();
        if (c.count)
            WriteDword(kValueCount, 0);
        if (c.port0)
            WriteDword(L"Port0", (DWORD)port);
        StartProgram();
        ASSERT_TRUE(PumpUntil([&] { return StatusText(main_) == kStatusIdleW; }));
        SendCommand(main_, kListen);
        EXPECT_EQ(ButtonText(main_), kButtonListenW);
        EXPECT_EQ(StatusText(main_), kStatusIdleW);
        EXPECT_EQ(LogLines(main_), std::vector<std::wstring>{kNoPortsLineW});
        Caller caller;
        EXPECT_FALSE(caller.Connect(port)) << "port " << port << " answers";
        Restart();
    }
}

TEST_F(MonitorTest, StopHangsUpOnAConnectedCaller)
{
    const int port = ListenOnOnePortKeepingCallers();
    Caller caller;
    ASSERT_TRUE(caller.Connect(port));
    bool ended = false;
    EXPECT_EQ(caller.ReceiveAtLeast(kWarningLine.size(), &ended), kWarningLine);
    ASSERT_TRUE(WaitForLog(main_, [](const std::vector<std::wstring>& l) {
        return CountRdnsLines(l) == 1 && FindLine(l, kMessageSentW) >= 0;
    })) << Dump(LogLines(main_));

    SendCommand(main_, kListen);
    ASSERT_TRUE(WaitForLogLine(main_, L"Close: 1 caller")) << Dump(LogLines(main_));
    EXPECT_EQ(ButtonText(main_), kButtonListenW);
    EXPECT_EQ(StatusText(main_), kStatusIdleW);
    const std::vector<std::wstring> lines = LogLines(main_);
    EXPECT_EQ(std::vector<std::wstring>(lines.end() - 2, lines.end()),
              (std::vector<std::wstring>{Widen(CloseLine(1)), L"Close: 1 caller"}));
    EXPECT_TRUE(caller.WaitClosed()) << "the caller is still connected after Stop";
    // Nobody new gets in.
    Caller late;
    EXPECT_FALSE(late.Connect(port));
}

// ---- Several callers ----------------------------------------------------------

TEST_F(MonitorTest, SimultaneousCallersEachGetTheirOwnBlock)
{
    const std::vector<int> ports = FreePorts(3);
    ASSERT_EQ(ports.size(), 3u);
    WritePorts(ports);
    StartProgram();
    Listen();
    ASSERT_TRUE(WaitForLogLine(main_, Widen(ListeningLine(3))));

    // All six connect before any is read, so their events and lookups
    // overlap. They come from two loopback addresses, one of which has a
    // host name and the other normally none, so an answer placed under
    // another caller's address line shows.
    const char* const from[] = {"127.0.0.1", "127.0.0.2"};
    // An address without a name may take the resolver a while to give up
    // on; the program's three lookups of it get that time each.
    const ULONGLONG asked = GetTickCount64();
    ResolvedName(from[1]);
    const DWORD answerMs = kDeadlineMs + 3 * (DWORD)(GetTickCount64() - asked);
    TimeWindow window = StartWindow();
    const int kCallers = 6;
    Caller callers[kCallers];
    Scan scans[kCallers];
    for (int i = 0; i < kCallers; ++i) {
        scans[i] = {from[i % 2], 0, ports[i % 3]};
        ASSERT_TRUE(callers[i].ConnectFrom(from[i % 2], scans[i].port)) << Describe(scans[i]);
        scans[i].callerPort = callers[i].LocalPort();
    }
    for (int i = 0; i < kCallers; ++i) {
        SCOPED_TRACE(Describe(scans[i]));
        bool ended = false;
        EXPECT_EQ(callers[i].ReceiveAll(kDeadlineMs, &ended), kWarningLine);
        EXPECT_TRUE(ended);
    }

    std::vector<std::wstring> log;
    ASSERT_TRUE(WaitForFinishedScans(kCallers, &log, answerMs)) << Dump(log);
    EndWindow(window);
    for (const Scan& scan : scans)
        ExpectScanBlock(log, scan, window);
    EXPECT_EQ(CountLines(log, kScanDetectedW), kCallers) << Dump(log);
    EXPECT_EQ(CountLines(log, kMessageSentW), kCallers) << Dump(log);
    // Two lines to start listening and six for each scan, no other.
    EXPECT_EQ(log.size(), 2u + 6u * kCallers) << Dump(log);
}

// ---- Settings kept across runs ------------------------------------------------

TEST_F(MonitorTest, ExitWhileListeningComesBackListeningOnTop)
{
    const std::vector<int> ports = FreePorts(2);
    ASSERT_EQ(ports.size(), 2u);
    WritePorts(ports);
    WriteSwitch(kValueDisconnect, 0);
    WriteSwitch(kValueMessageType, 0);
    WriteText(kValueCustomMessage, "Keep out");
    StartProgram();
    SendCommand(main_, kOnTop);
    ASSERT_TRUE(IsTopmost(main_));
    Listen();
    RECT r = {};
    GetWindowRect(main_, &r);
    ExitProgram();

    const struct {
        std::string name;
        DWORD type;
        std::vector<BYTE> data;
    } values[] = {
        {PortValueName(0), REG_DWORD, DwordBytes((DWORD)ports[0])},
        {PortValueName(1), REG_DWORD, DwordBytes((DWORD)ports[1])},
        {kValueCount, REG_DWORD, DwordBytes(2)},
        {kValueWindowX, REG_DWORD, DwordBytes((DWORD)r.left)},
        {kValueWindowY, REG_DWORD, DwordBytes((DWORD)r.top)},
        {kValueDisconnect, REG_BINARY, {0}},
        {kValueMessageType, REG_BINARY, {0}},
        {kValueConnected, REG_BINARY, {1}},
        {kValueOnTop, REG_BINARY, {255}},
    };
    for (const auto& v : values)
        ASSERT_NO_FATAL_FAILURE(ExpectValue(v.name, v.type, v.data));
    RegValue text = ReadValue(kValueCustomMessage);
    EXPECT_EQ(text.type, (DWORD)REG_SZ);
    EXPECT_EQ(text.AsText(), "Keep out");

    // The next start listens and is on top again by itself.
    StartProgram();
    EXPECT_TRUE(PumpUntil([&] { return ButtonText(main_) == kButtonStopW; }))
        << Narrow(ButtonText(main_));
    EXPECT_TRUE(WaitForLogLine(main_, Widen(ListeningLine(2)))) << Dump(LogLines(main_));
    EXPECT_EQ(StatusText(main_), kStatusListeningW);
    EXPECT_TRUE(IsTopmost(main_));
    // And it serves callers with the settings that came back.
    {
        Caller caller;
        ASSERT_TRUE(caller.Connect(ports[1]));
        bool ended = false;
        EXPECT_EQ(caller.ReceiveAtLeast(10, &ended), "Keep out\r\n");
        EXPECT_FALSE(ended);
        ASSERT_TRUE(WaitForLogLine(main_, kMessageSentW)) << Dump(LogLines(main_));
    }
    ASSERT_TRUE(WaitForLogLine(main_, kScanBlockedW)) << Dump(LogLines(main_));

    // Stopped and no longer on top at Exit: both are stored as off.
    SendCommand(main_, kListen);
    SendCommand(main_, kOnTop);
    ASSERT_FALSE(IsTopmost(main_));
    ExitProgram();
    EXPECT_EQ(ReadValue(kValueConnected).data, std::vector<BYTE>{0});
    EXPECT_EQ(ReadValue(kValueOnTop).data, std::vector<BYTE>{0});
}

TEST_F(MonitorTest, HandEditedKeyLoadsAsStored)
{
    const std::vector<int> ports = FreePorts(3);
    ASSERT_EQ(ports.size(), 3u);
    // Count 3 with Port1 missing, an x without a y, a message type the
    // program never stores, and switches of other non-zero bytes than it
    // writes.
    WriteDword(kValueCount, 3);
    WriteDword(L"Port0", (DWORD)ports[0]);
    WriteDword(L"Port2", (DWORD)ports[2]);
    WriteDword(kValueWindowX, 40);
    WriteSwitch(kValueMessageType, 7);
    WriteText(kValueCustomMessage, "Type seven");
    WriteSwitch(kValueConnected, 2);
    WriteSwitch(kValueOnTop, 1);
    StartProgram();

    RECT r = {};
    GetWindowRect(main_, &r);
    const int centredX = GetSystemMetrics(SM_CXSCREEN) / 2 - 120;
    const int centredY = GetSystemMetrics(SM_CYSCREEN) / 2 - 117;
    EXPECT_EQ(r.left, centredX) << "the window left its centre";
    EXPECT_EQ(r.top, centredY);

    // It comes up listening and on top by itself.
    std::vector<std::wstring> log;
    EXPECT_TRUE(WaitForLog(
        main_, [](const std::vector<std::wstring>& l) { return l.size() >= 2; }, kDeadlineMs,
        &log));
    EXPECT_EQ(log, (std::vector<std::wstring>{Widen(ListeningLine(2)),
                                              Widen(PortsLine({ports[0], ports[2]}))}))
        << Dump(log);
    EXPECT_EQ(ButtonText(main_), kButtonStopW);
    EXPECT_TRUE(IsTopmost(main_));
    // An unknown message type sends the custom text.
    for (int i : {0, 2}) {
        SCOPED_TRACE("port " + std::to_string(ports[i]));
        Caller caller;
        ASSERT_TRUE(caller.Connect(ports[i]));
        bool ended = false;
        EXPECT_EQ(caller.ReceiveAll(kDeadlineMs, &ended), "Type seven\r\n");
        EXPECT_TRUE(ended);
    }
    {
        Caller caller;
        EXPECT_FALSE(caller.Connect(ports[1])) << "the missing Port1 answers";
    }
    ASSERT_TRUE(WaitForFinishedScans(2, &log)) << Dump(log);
    EXPECT_EQ(CountLines(log, kMessageSentW), 2) << Dump(log);

    // Exit writes back what was loaded: the ports without the gap, the x
    // that was read beside the centred y, the type as it was.
    ExitProgram();
    EXPECT_EQ(ReadValue(kValueCount).AsDword(), 2u);
    EXPECT_EQ(ReadValue(L"Port0").AsDword(), (DWORD)ports[0]);
    EXPECT_EQ(ReadValue(L"Port1").AsDword(), (DWORD)ports[2]);
    EXPECT_EQ((int)ReadValue(kValueWindowX).AsDword(), 40);
    EXPECT_EQ((int)ReadValue(kValueWindowY).AsDword(), centredY);
    EXPECT_EQ(ReadValue(kValueMessageType).data, std::vector<BYTE>{7});
    EXPECT_EQ(ReadValue(kValueConnected).data, std::vector<BYTE>{1});
    EXPECT_EQ(ReadValue(kValueOnTop).data, std::vector<BYTE>{255});
}

// ---- Blocking scanners --------------------------------------------------------

// The address lists the firewall rule was given, as Wine's hnetcfg channel
// prints each call; Wine keeps no rule, so the calls are all there is.
std::vector<std::string> RuleAddresses(const std::string& output)
{
    static const std::string call = ":hnetcfg:netfw_rule_put_RemoteAddresses ";
    std::vector<std::string> lists;
    for (size_t at = output.find(call); at != std::string::npos; at = output.find(call, at + 1)) {
        size_t open = output.find("L\"", at), close = output.find('"', open + 2);
        if (open != std::string::npos && close != std::string::npos)
            lists.push_back(output.substr(open + 2, close - open - 2));
    }
    return lists;
}

// The line n lines under the first one starting with head, or "".
std::wstring Under(const std::vector<std::wstring>& log, const std::wstring& head, size_t n)
{
    for (size_t i = 0; i < log.size(); ++i)
        if (log[i].rfind(head, 0) == 0)
            return i + n < log.size() ? log[i + n] : L"";
    return L"";
}

TEST_F(MonitorTest, BlockScannersBlocksAProvenCallerAndKeepsItAcrossARestart)
{
    ASSERT_NE(_wgetenv(L"HARBINEL_WINE_OUTPUT"), nullptr) << "run this through wine-run.sh";
    size_t before = WineStandardError().size();
    program_.SetWineDebug(L"-all,fixme+hnetcfg");
    WriteSwitch(kValueBlock, 1);
    WriteMultiText(kValueTrusted, {"127.0.0.4"});
    const int port = ListenOnOnePortKeepingCallers();
    const struct {
        const char* from;
        const wchar_t* told;
    } callers[] = {{"127.0.0.5", L"   Blocked for 60 minutes"},
                   {"127.0.0.1", L"   Not blocked: this PC"},
                   {"127.0.0.4", L"   Not blocked: trusted"}};
    std::vector<std::wstring> log;
    for (const auto& c : callers) {
        SCOPED_TRACE(c.from);
        Caller caller;
        ASSERT_TRUE(caller.ConnectFrom(c.from, port));
        const std::wstring accept =
            L"   Accept: " + Widen(c.from) + L":" + std::to_wstring(caller.LocalPort());
        // Head, address, name and timestamp lines, then the verdict.
        ASSERT_TRUE(WaitForLog(
            main_, [&](const auto& l) { return Under(l, accept, 3) == c.told; }, kDeadlineMs, &log))
            << Dump(log);
    }
    // Windows filters no loopback caller; Wine keeps no rule at all, and cannot
    // say whether its firewall is on (E_NOTIMPL), which counts as on.
    auto lists = [&] { return RuleAddresses(WineStandardError().substr(before)); };
    ASSERT_TRUE(PumpUntil([&] { return !lists().empty(); })) << WineStandardError().substr(before);
    EXPECT_EQ(lists(), std::vector<std::string>{"127.0.0.5"});
    EXPECT_NE(WineStandardError().find("netfw_rule_put_Name", before), std::string::npos);
    EXPECT_NE(WineStandardError().find("L\"Harbinel: blocked callers\"", before),
              std::string::npos);
    ExitProgram();
    const std::string stored = ReadValue(kValueBlocked).AsText();
    EXPECT_EQ(stored.rfind("127.0.0.5 ", 0), 0u) << stored;

    // The next start rebuilds the rule from the key, before any scan.
    before = WineStandardError().size();
    StartProgram();
    ASSERT_TRUE(PumpUntil([&] { return !lists().empty(); })) << WineStandardError().substr(before);
    EXPECT_EQ(lists(), std::vector<std::string>{"127.0.0.5"});
}

} // namespace
} // namespace e2e
