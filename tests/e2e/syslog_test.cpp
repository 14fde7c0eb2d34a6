// The remote syslog collector as a real rsyslog sees it (started around this
// exe by scripts/syslog-collector.sh, which passes its ports and output
// file): a scan arrives with its parsed fields over UDP and over TCP, a TCP
// collector that was down gets the queued messages when it comes back, and
// the setting is taken from the Alerts and Log dialog only when valid.
#include "driver.h"

#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace e2e {
namespace {

// One collected message: input, pri, time, host, app, procid, msgid, sd, msg.
using Fields = std::vector<std::string>;
enum { kInput, kPri, kTime, kHost, kApp, kProcId, kMsgId, kData, kMsg, kFieldCount };

std::string Env(const char* name)
{
    const char* value = getenv(name);
    return value != NULL ? value : "";
}

// The collector's lines for one process of the program.
std::vector<Fields> Collected(DWORD pid)
{
    std::vector<Fields> found;
    std::istringstream lines(ReadFileBytes(Widen(Env("HARBINEL_SYSLOG_OUT"))));
    for (std::string line; std::getline(lines, line);) {
        Fields f;
        std::istringstream parts(line);
        for (std::string part; f.size() + 1 < kFieldCount && std::getline(parts, part, '|');)
            f.push_back(part);
        std::string rest;
        std::getline(parts, rest);
        f.push_back(rest);
        if (f.size() == kFieldCount && f[kProcId] == std::to_string(pid))
            found.push_back(f);
    }
    return found;
}

class SyslogTest : public HarbinelTest {
  protected:
    void SetUp() override
    {
        if (Env("HARBINEL_SYSLOG_OUT").empty())
            GTEST_SKIP() << "no collector: run through scripts/syslog-collector.sh run";
        HarbinelTest::SetUp();
    }

    // Waits for `count` messages with this msgid from the program.
    std::vector<Fields> WaitFor(const std::string& msgId, size_t count, DWORD ms = 10000)
    {
        std::vector<Fields> match;
        PumpUntil(
            [&] {
                match.clear();
                for (const Fields& f : Collected(program_.ProcessId()))
                    if (f[kMsgId] == msgId)
                        match.push_back(f);
                return match.size() >= count;
            },
            ms);
        return match;
    }

    // Listens, scans once and checks every field of the message that comes
    // through `input`; then Stop must send its own.
    void ScanAndCheck(const std::string& input)
    {
        const int port = ListenOnOnePortKeepingCallers();
        ASSERT_FALSE(HasFatalFailure());
        Caller caller;
        ASSERT_TRUE(caller.Connect(port));
        std::vector<Fields> scans = WaitFor("SCAN", 1);
        ASSERT_EQ(scans.size(), 1u) << Dump(LogLines(main_));
        const Fields& f = scans[0];
        char computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
        DWORD size = sizeof computer;
        GetComputerNameA(computer, &size);
        EXPECT_EQ(f[kInput], input);
        EXPECT_EQ(f[kPri], "36"); // security, warning
        EXPECT_TRUE(
            std::regex_match(f[kTime], std::regex(R"(\d{4}-\d\d-\d\dT[\d:]{8}[+-]\d\d:\d\d)")))
            << f[kTime];
        EXPECT_EQ(f[kHost], computer);
        EXPECT_EQ(f[kApp], "Harbinel");
        const std::string from = "127.0.0.1:" + std::to_string(caller.LocalPort());
        std::smatch m;
        ASSERT_TRUE(std::regex_match(
            f[kData], m,
            std::regex(
                R"re(\[scan@32473 src="127\.0\.0\.1" srcport="(\d+)" dst="([\d.]+)" dstport="(\d+)"( rdns="[^"]*")? action="logged" trusted="0" verified="1"\])re")))
            << f[kData];
        EXPECT_EQ(m[1].str(), std::to_string(caller.LocalPort()));
        EXPECT_EQ(m[3].str(), std::to_string(port));
        EXPECT_EQ(f[kMsg], "Scan from " + from + " on " + m[2].str() + ":" + std::to_string(port));
        EXPECT_EQ(WaitFor("START", 1).at(0)[kPri], "38"); // security, informational
        SendCommand(main_, kListen);
        EXPECT_EQ(WaitFor("STOP", 1).size(), 1u);
    }
};

TEST_F(SyslogTest, ScanFieldsOverUdp)
{
    WriteText(kValueSyslogServer, "127.0.0.1:" + Env("HARBINEL_SYSLOG_UDP"));
    // A switch stored as a DWORD is not the program's: it stays on UDP.
    WriteDword(kValueSyslogTcp, 1);
    ScanAndCheck("imudp");
}

TEST_F(SyslogTest, ScanFieldsOverTcp)
{
    WriteText(kValueSyslogServer, "localhost:" + Env("HARBINEL_SYSLOG_TCP")); // a name to resolve
    WriteSwitch(kValueSyslogTcp, 1);
    ScanAndCheck("imtcp");
}

// Octet-counted frames read by the test itself from a collector port that
// refused at first: nothing queued meanwhile is lost, and the refusals make
// one log line.
TEST_F(SyslogTest, TcpCollectorThatComesBackGetsTheQueue)
{
    const int collector = FreePort();
    WriteText(kValueSyslogServer, "127.0.0.1:" + std::to_string(collector));
    WriteSwitch(kValueSyslogTcp, 1);
    const int port = ListenOnOnePortKeepingCallers();
    ASSERT_FALSE(HasFatalFailure());
    const std::wstring refused =
        L"Syslog error: Connection refused (127.0.0.1:" + std::to_wstring(collector) + L")";
    ASSERT_TRUE(WaitForLogLine(main_, refused)) << Dump(LogLines(main_));
    Caller a, b;
    ASSERT_TRUE(a.Connect(port));
    ASSERT_TRUE(b.Connect(port));
    // Two more refusals come within 3.5 s (after 1 s and 2 s); no new line.
    PumpUntil([] { return false; }, 3500);
    int errors = 0;
    for (const std::wstring& line : LogLines(main_))
        errors += line.compare(0, 14, L"Syslog error: ") == 0 ? 1 : 0;
    EXPECT_EQ(errors, 1) << Dump(LogLines(main_));

    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons((u_short)collector);
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    ASSERT_EQ(bind(listener, (sockaddr*)&address, sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    u_long nonBlocking = 1;
    ioctlsocket(listener, FIONBIO, &nonBlocking);
    SOCKET link = INVALID_SOCKET;
    std::string stream;
    std::vector<std::string> frames;
    // The next retry is at most 4 s away; the frames follow at once.
    PumpUntil(
        [&] {
            if (link == INVALID_SOCKET && (link = accept(listener, NULL, NULL)) == INVALID_SOCKET)
                return false;
            ioctlsocket(link, FIONBIO, &nonBlocking);
            char buffer[4096];
            int got;
            while ((got = recv(link, buffer, sizeof buffer, 0)) > 0)
                stream.append(buffer, (size_t)got);
            size_t space;
            while ((space = stream.find(' ')) != std::string::npos &&
                   stream.size() > space + std::stoul(stream.substr(0, space))) {
                const size_t length = std::stoul(stream.substr(0, space));
                frames.push_back(stream.substr(space + 1, length));
                stream.erase(0, space + 1 + length);
            }
            return frames.size() >= 3;
        },
        15000);
    closesocket(link);
    closesocket(listener);
    ASSERT_EQ(frames.size(), 3u) << "left over: [" << stream << "]";
    EXPECT_NE(frames[0].find(" START "), std::string::npos) << frames[0];
    for (int i : {1, 2}) {
        const int callerPort = (i == 1 ? a : b).LocalPort();
        EXPECT_EQ(frames[i].compare(0, 4, "<36>"), 0) << frames[i];
        EXPECT_NE(frames[i].find(" srcport=\"" + std::to_string(callerPort) + "\""),
                  std::string::npos)
            << frames[i];
    }
}

// A collector that accepts but never reads: once the buffers between are
// full and nothing moves for 30 s, one line says so.
TEST_F(SyslogTest, TcpCollectorThatStopsReadingIsNamed)
{
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    int small = 1024; // inherited by the accepted link: its window stays small
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, (const char*)&small, sizeof small);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    int length = sizeof address;
    ASSERT_EQ(bind(listener, (sockaddr*)&address, sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, (sockaddr*)&address, &length), 0);
    WriteText(kValueSyslogServer, "127.0.0.1:" + std::to_string(ntohs(address.sin_port)));
    WriteSwitch(kValueSyslogTcp, 1);
    const int port = FreePort();
    WritePorts({port});
    StartProgram();
    Listen();
    for (int i = 0; i < 300; ++i) {
        Caller caller;
        ASSERT_TRUE(caller.Connect(port)) << i;
    }
    const std::wstring line = L"Syslog error: collector not reading";
    EXPECT_TRUE(WaitForLogLine(main_, line, 45000)) << Dump(LogLines(main_));
    closesocket(listener);
}

// An invalid collector keeps the dialog open with the reason; a valid one
// is used at once and stored at Exit.
TEST_F(SyslogTest, DialogRefusesTextThatIsNoCollector)
{
    WritePorts({FreePort()});
    StartProgram();
    PostMessageW(main_, WM_COMMAND, IDM_ALERTS, 0);
    HWND dialog = WaitForOwnedWindow(main_, L"Alerts and Log");
    ASSERT_TRUE(dialog != NULL);
    ASSERT_TRUE(PumpUntil([&] { return IsWindowVisible(dialog) != FALSE; }));
    SetDlgItemTextW(dialog, IDC_AL_SYSLOG, L"collector:99999");
    PostMessageW(GetDlgItem(dialog, IDC_AL_OK), BM_CLICK, 0, 0);
    ASSERT_TRUE(PumpUntil([&] {
        return ControlText(dialog, IDC_AL_PROBLEM) == L"Not a host or host:port: collector:99999";
    })) << Narrow(ControlText(dialog, IDC_AL_PROBLEM));
    const std::string server = "127.0.0.1:" + Env("HARBINEL_SYSLOG_TCP");
    SetDlgItemTextW(dialog, IDC_AL_SYSLOG, Widen(server).c_str());
    PostMessageW(GetDlgItem(dialog, IDC_AL_SYSLOGTCP), BM_CLICK, 0, 0);
    PostMessageW(GetDlgItem(dialog, IDC_AL_OK), BM_CLICK, 0, 0);
    ASSERT_TRUE(WaitForWindowGone(dialog));
    SendCommand(main_, kListen);
    std::vector<Fields> starts = WaitFor("START", 1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0][kInput], "imtcp");
    ExitProgram();
    RegValue stored = ReadValue(kValueSyslogServer);
    EXPECT_EQ(stored.type, (DWORD)REG_SZ);
    EXPECT_EQ(std::string(stored.data.begin(), stored.data.end()), server + '\0');
    RegValue tcp = ReadValue(kValueSyslogTcp);
    EXPECT_EQ(tcp.type, (DWORD)REG_BINARY);
    EXPECT_EQ(tcp.data, std::vector<BYTE>{1});
}

} // namespace
} // namespace e2e
