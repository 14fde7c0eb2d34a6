// The fan-out in-process: a scan of each kind, from a caller of its own,
// reaches every output once: the window's block, the alert, the syslog
// collector, the web hook, the program and the Event Log. A trusted
// caller's scan reaches only the outputs that keep a record (the window,
// the collector, the Event Log), never the alert, the hook or the program.
#include "dialog_driver.h"
#include "harness.h"
#include "support/hookserver.h"
#include "support/recorder.h"

#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "outputs/outputs.h"
#include "pure/text.h"
#include "resource.h"

using namespace harness;

namespace {

// The Event Log's calls, by id, and the first string (the caller) of each.
std::vector<DWORD> events;
std::vector<std::string> eventCallers;

bool RecordEvent(HANDLE, WORD, DWORD id, WORD count, const char** strings)
{
    events.push_back(id & 0xFFFF);
    eventCallers.push_back(count > 0 ? strings[0] : "");
    return true;
}

// Every caller has a name at once: the scans need not wait 5 s for theirs.
int NameAtOnce(const NetAddress& address, char* name, size_t size)
{
    snprintf(name, size, "host-%u.test", (unsigned)(NetAddressV4Host(address) & 0xFF));
    return 0;
}

// A syslog collector: one UDP socket on loopback that the test reads.
class Collector {
  public:
    bool Open()
    {
        s_ = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof a;
        u_long nonBlocking = 1;
        return s_ != INVALID_SOCKET && bind(s_, (sockaddr*)&a, sizeof a) == 0 &&
               getsockname(s_, (sockaddr*)&a, &length) == 0 &&
               ioctlsocket(s_, FIONBIO, &nonBlocking) == 0 && (port_ = ntohs(a.sin_port)) != 0;
    }
    ~Collector()
    {
        closesocket(s_);
    }
    int Port() const
    {
        return port_;
    }
    // The messages that came so far, added to those read before.
    const std::vector<std::string>& Messages()
    {
        char buffer[2048];
        int got;
        while ((got = recv(s_, buffer, sizeof buffer, 0)) > 0)
            messages_.push_back(std::string(buffer, (size_t)got));
        return messages_;
    }
    int CountWith(const std::string& text)
    {
        int n = 0;
        for (const std::string& m : Messages())
            n += m.find(text) != std::string::npos ? 1 : 0;
        return n;
    }

  private:
    WinsockUser winsock_;
    SOCKET s_ = INVALID_SOCKET;
    int port_ = 0;
    std::vector<std::string> messages_;
};

class FanoutTest : public AppTest {
  protected:
    void PrepareSettings() override
    {
        ASSERT_TRUE(collector.Open());
        ASSERT_TRUE(hook.Start());
        WriteText(kValueSyslogServer, "127.0.0.1:" + std::to_string(collector.Port()));
        WriteText(kValueWebhookUrl, hook.Url());
        WriteText(kValueRunOnScan, "\"" + Recorder::Path() + "\" {kind} {caller}");
        WriteSwitch(kValueBalloons, 1);
    }
    void SetUp() override
    {
        events.clear();
        eventCallers.clear();
        AppTest::SetUp();
        AppState.EventWrite = RecordEvent;
        AppState.ResolveAddress = NameAtOnce;
    }
    Collector collector;
    HookServer hook;
    Recorder recorder;
};

// Lines equal to head, or starting with it when it ends in a space.
int CountHeads(const std::string& head)
{
    return head.back() == ' ' ? CountLinesStarting(LogLines(), head) : CountLines(LogLines(), head);
}

TEST_F(FanoutTest, EachScanReachesEachOutputOnceAndTrustedOnesOnlyTheRecords)
{
    char skipped[8];
    ParseTrustedLines("10.0.0.0/8", &AppState.Trusted, skipped, sizeof skipped);
    const struct {
        ScanKind kind;
        bool trusted;
        DWORD event;
        const char* msgId;
    } rows[] = {
        // The trusted ones first: anything they wrongly queued for the hook or
        // the program would go out ahead of the untrusted ones waited for.
        {kScanConnect, true, 1004, "SCAN"}, {kScanStealth, true, 1004, "SCAN"},
        {kScanSweep, true, 1004, "SWEEP"},  {kScanConnect, false, 1000, "SCAN"},
        {kScanGone, false, 1001, "SCAN"},   {kScanStealth, false, 1002, "SCAN"},
        {kScanSweep, false, 1003, "SWEEP"},
    };
    int host = 0, untrusted = 0;
    for (const auto& row : rows) {
        ++host;
        SCOPED_TRACE(std::string(ScanKindName(row.kind)) + (row.trusted ? ", trusted" : ""));
        // A sweep's block opens with its own line, the others with the head.
        const std::string head = row.kind == kScanSweep ? std::string("Port sweep from ")
                                 : row.trusted          ? std::string("Scan detected (trusted)")
                                                        : std::string("Scan detected");
        const int blocksBefore = CountHeads(head);
        events.clear();
        const size_t messages = collector.Messages().size();
        Command(IDM_RESETALERT);
        ReportScan(Scan(row.kind, host, row.trusted));
        untrusted += row.trusted ? 0 : 1;

        // The named outputs get it once its name is known: here at once.
        ASSERT_TRUE(PumpUntil([&] { return !events.empty(); })) << LogDump();
        EXPECT_EQ(events, std::vector<DWORD>{row.event});
        ASSERT_TRUE(PumpUntil([&] { return collector.Messages().size() > messages; }));
        std::vector<std::string> got(collector.Messages().begin() + (long)messages,
                                     collector.Messages().end());
        ASSERT_EQ(got.size(), 1u);
        EXPECT_NE(got[0].find(std::string(" ") + row.msgId + " "), std::string::npos) << got[0];
        EXPECT_EQ(CountHeads(head), blocksBefore + 1) << LogDump();
        const UINT reset = GetMenuState(AppState.MainMenu, IDM_RESETALERT, MF_BYCOMMAND);
        EXPECT_EQ((reset & MF_GRAYED) == 0, !row.trusted) << "the alert";
    }
    // The hook: one for every untrusted scan, none for the trusted ones. The
    // program: only the accepted caller's, the one address that is proven.
    ASSERT_TRUE(hook.WaitForRequests((size_t)untrusted));
    ASSERT_TRUE(PumpUntil([&] { return recorder.Runs().size() >= 1; }));
    EXPECT_EQ(hook.Count(), (size_t)untrusted);
    std::vector<std::string> kinds;
    for (const RecordedRun& run : recorder.Runs())
        if (run.args.size() == 3)
            kinds.push_back(run.args[1]);
    std::sort(kinds.begin(), kinds.end());
    EXPECT_EQ(kinds, (std::vector<std::string>{"connect"}));
    for (const HookRequest& request : hook.Requests())
        EXPECT_EQ(request.body.find("\"trusted\":true"), std::string::npos) << request.body;
}

// An IPv6 caller reaches every output in its IPv6 form: the address alone
// where a field holds it, in brackets where a port follows.
TEST_F(FanoutTest, AnIPv6CallerReachesEachOutputInItsOwnForm)
{
    const uint8_t caller[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5};
    const uint8_t local[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    ScanRecord r = Scan(kScanConnect, 1, false);
    r.caller = NetAddressFromV6(caller, 0);
    r.local = NetAddressFromV6(local, 0);
    ReportScan(r);
    ASSERT_TRUE(hook.WaitForRequests(1));
    ASSERT_TRUE(PumpUntil([&] { return recorder.Runs().size() == 1 && !events.empty(); }));
    ASSERT_TRUE(PumpUntil([&] { return collector.CountWith(" SCAN ") == 1; }));
    EXPECT_GE(FindLogLine("   Accept: [2001:db8::5]:40000 -> [2001:db8::1]:31337"), 0) << LogDump();
    EXPECT_EQ(collector.CountWith("src=\"2001:db8::5\" srcport=\"40000\" dst=\"2001:db8::1\""), 1);
    EXPECT_EQ(collector.CountWith("Scan from [2001:db8::5]:40000 on [2001:db8::1]:31337"), 1);
    EXPECT_EQ(collector.CountWith(" knownAs=\"Back Orifice\"]"), 1);
    EXPECT_EQ(FindLogLine("   Port 31337: Back Orifice"),
              FindLogLine("   Accept: [2001:db8::5]:40000 -> [2001:db8::1]:31337") + 1);
    const std::string body = hook.Requests()[0].body;
    EXPECT_NE(
        body.find("\"caller\":\"2001:db8::5\",\"callerPort\":40000,\"local\":\"2001:db8::1\""),
        std::string::npos)
        << body;
    const std::vector<std::string> args = recorder.Runs()[0].args;
    ASSERT_EQ(args.size(), 3u);
    EXPECT_EQ(args[2], "2001:db8::5");
    EXPECT_EQ(eventCallers, std::vector<std::string>{"2001:db8::5"});
}

// ---- Blocking callers, with a recorder in place of the firewall ------------

// Each rule write: its address list, or "-" for the rule's removal.
std::vector<std::string> ruleWrites;
long ruleAnswer = S_OK;

long RecordRule(const char* addresses)
{
    ruleWrites.push_back(addresses != NULL ? addresses : "-");
    return ruleAnswer;
}

class BlockTest : public AppTest {
  protected:
    void PrepareSettings() override
    {
        WriteSwitch(kValueBlock, 1);
        // Ended long ago, for good, and one that cannot be read.
        WriteMultiText(kValueBlocked, {"203.0.113.9 1", "203.0.113.7 0", "bad"});
    }
    void SetUp() override
    {
        ruleWrites.clear();
        ruleAnswer = S_OK;
        AppTest::SetUp();
        AppState.FirewallWrite = RecordRule;
        AppState.ResolveAddress = NameAtOnce;
    }
    bool WaitForRule(const std::string& addresses)
    {
        return PumpUntil([&] { return !ruleWrites.empty() && ruleWrites.back() == addresses; });
    }
};

TEST_F(BlockTest, TheRuleIsRebuiltBatchedAndRemovedNeverEmpty)
{
    ASSERT_TRUE(WaitForRule("203.0.113.7")) << LogDump();
    EXPECT_EQ(ruleWrites.size(), 1u);
    EXPECT_EQ(CountLines(LogLines(), "Unblocked 203.0.113.9 (time up)"), 1) << LogDump();
    EXPECT_EQ(CountLines(LogLines(), "Settings: Blocked ignored: not \"address end-time\": bad"),
              1);
    // A burst between two ticks is one write; an unproven caller is left alone.
    std::string all = "203.0.113.7";
    for (int host = 10; host < 60; ++host) {
        ReportScan(Scan(kScanConnect, host, false));
        all += ",203.0.113." + std::to_string(host);
    }
    ReportScan(Scan(kScanStealth, 99, false));
    ASSERT_TRUE(WaitForRule(all)) << ruleWrites.back();
    EXPECT_EQ(ruleWrites.size(), 2u);
    EXPECT_EQ(CountLines(LogLines(), "   Blocked for 60 minutes"), 50) << LogDump();
    // The firewall off is told once, however many writes meet it.
    ruleAnswer = kFirewallIsOff;
    ReportScan(Scan(kScanConnect, 60, false));
    ASSERT_TRUE(WaitForRule(all + ",203.0.113.60"));
    ReportScan(Scan(kScanConnect, 61, false));
    ASSERT_TRUE(WaitForRule(all + ",203.0.113.60,203.0.113.61"));
    EXPECT_EQ(CountLines(LogLines(), "Block error: the Windows firewall is off"), 1);
    ruleAnswer = S_OK;
    // The dialog: Unblock takes the selected caller, Unblock All the rest.
    dialogs::RunScript([] {
        dialogs::PostCommand(IDM_BLOCKED);
        HWND dialog = dialogs::WaitForWindow(AppState.MainWindow, kBlockedTitle);
        ASSERT_NE(dialog, (HWND)NULL);
        HWND list = GetDlgItem(dialog, IDC_BL_LIST);
        std::vector<std::string> lines = dialogs::ListBoxLinesA(list);
        ASSERT_EQ(lines.size(), 53u);
        EXPECT_EQ(lines[0], "203.0.113.7    until unblocked");
        EXPECT_EQ(lines[1], "203.0.113.10    60 min left");
        dialogs::SelectLine(list, 1);
        dialogs::Click(dialog, IDC_BL_UNBLOCK);
        EXPECT_EQ(dialogs::ListBoxLinesA(list).size(), 52u);
        dialogs::Click(dialog, IDC_BL_UNBLOCKALL);
        EXPECT_TRUE(dialogs::ListBoxLinesA(list).empty());
        EXPECT_EQ(dialogs::Text(GetDlgItem(dialog, IDC_BL_COUNT)), "0 callers blocked");
        dialogs::Click(dialog, IDC_BL_CLOSE);
        dialogs::WaitGone(dialog);
    });
    EXPECT_EQ(CountLines(LogLines(), "Unblocked 203.0.113.10 (by the user)"), 1) << LogDump();
    EXPECT_EQ(CountLines(LogLines(), "Unblocked all 52 callers (by the user)"), 1) << LogDump();
    ASSERT_TRUE(WaitForRule("-"));
    for (const std::string& write : ruleWrites)
        EXPECT_NE(write, "");
    ExpectValue(kValueBlocked, REG_MULTI_SZ, {0});
    // Refused for want of rights: told once, the set kept for the retry.
    ruleAnswer = E_ACCESSDENIED;
    ReportScan(Scan(kScanConnect, 62, false));
    ASSERT_TRUE(WaitForRule("203.0.113.62"));
    ASSERT_TRUE(WaitForLogLine("Block error: administrator rights needed", false));
    ReportScan(Scan(kScanConnect, 63, false));
    EXPECT_EQ(CountLines(LogLines(), "Block error: administrator rights needed"), 1) << LogDump();
    ASSERT_TRUE(ExitApp());
    EXPECT_EQ(ReadValue(kValueBlocked).data.size(), 49u); // both entries, kept in the key
}

// "Block this caller" on a scan's lines, with the switch off; the PC itself
// and lines of no proven caller are not blocked.
TEST_F(BlockTest, BlockThisCallerTakesTheScanOfTheLine)
{
    ASSERT_TRUE(WaitForRule("203.0.113.7"));
    Command(IDM_BLOCK);
    ASSERT_EQ(AppState.Block, 0);
    ScanRecord own = Scan(kScanConnect, 1, false);
    own.caller = NetAddressFromV4(htonl(INADDR_LOOPBACK));
    const struct {
        ScanRecord record;
        int offset; // the line chosen, from the scan's head line
        const char* told;
    } rows[] = {
        {Scan(kScanConnect, 77, false), 0, "   Blocked for 60 minutes"},
        {Scan(kScanConnect, 78, false), 3, "   Blocked for 60 minutes"},
        {own, 1, "   Not blocked: this PC"},
        {Scan(kScanStealth, 79, false), 1, NULL},
    };
    for (const auto& row : rows) {
        const int head = LogCount();
        ReportScan(row.record);
        ASSERT_TRUE(PumpUntil([&] { return FindLogLine("   RDNS: ", true, head) >= 0; }));
        const int lines = LogCount();
        SendMessageA(AppState.LogList, LB_SETCARETINDEX, (WPARAM)(head + row.offset), 0);
        SendMessageA(AppState.LogList, WM_COMMAND, IDM_LOG_BLOCK, 0);
        if (row.told == NULL) {
            EXPECT_EQ(LogCount(), lines) << LogDump();
            continue;
        }
        EXPECT_EQ(LogLine(lines + 1), row.told) << LogDump();
    }
    ASSERT_TRUE(WaitForRule("203.0.113.7,203.0.113.77,203.0.113.78")) << ruleWrites.back();
}

} // namespace
