// IPv6 as a scanner meets harbinel.exe: a caller from ::1 is warned, hung up
// on and logged with its name line, a trusted ::1 quietly, an IPv4 caller
// beside them exactly as before, and the day's file holds them all.
#include "driver.h"

namespace e2e {
namespace {

class IPv6E2E : public LogFolderTest {};

TEST_F(IPv6E2E, CallersOverBothFamiliesAreServedLoggedAndFiled)
{
    const int port = FreePort();
    WritePorts({port});
    WriteText(kValueLogFolder, folder_.Folder());
    StartProgram();
    Listen();
    const std::string p = std::to_string(port);
    struct Row {
        const char* name;
        bool v6;
        bool trustV6;
        const wchar_t* head;
        std::string line; // filled in with the caller's port
    } rows[] = {
        {"IPv6", true, false, kScanDetectedW, ""},
        {"IPv4 beside it", false, false, kScanDetectedW, ""},
        {"trusted ::1", true, true, L"Scan detected (trusted)", ""},
    };
    int served = 0;
    for (Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.trustV6) {
            // The next run trusts ::1, and listens again as it was left;
            // the day's file goes on.
            ExitProgram();
            WriteMultiText(kValueTrusted, {"::1"});
            StartProgram();
            ASSERT_TRUE(PumpUntil([&] { return ButtonText(main_) == kButtonStopW; }));
        }
        Caller caller;
        bool connected = row.v6 ? caller.ConnectV6(port) : caller.Connect(port);
        if (!connected && row.v6)
            GTEST_SKIP() << "no IPv6 loopback on this machine";
        ASSERT_TRUE(connected);
        bool ended = false;
        EXPECT_EQ(caller.ReceiveAll(kDeadlineMs, &ended), kWarningLine);
        EXPECT_TRUE(ended) << "the program did not hang up";
        row.line = row.v6
                       ? "   Accept: [::1]:" + std::to_string(caller.LocalPort()) + " -> [::1]:" + p
                       : "   Accept: 127.0.0.1:" + std::to_string(caller.LocalPort()) +
                             " -> 127.0.0.1:" + p;
        const std::wstring line = Widen(row.line);
        std::vector<std::wstring> log;
        ASSERT_TRUE(WaitForLog(
            main_,
            [&](const std::vector<std::wstring>& l) {
                int at = FindLine(l, line);
                return at > 0 && at + 4 < (int)l.size() && StartsWith(l[at + 1], kRdnsPrefixW) &&
                       l[at + 4] == kScanBlockedW;
            },
            kDeadlineMs, &log))
            << Dump(log);
        const int at = FindLine(log, line);
        EXPECT_EQ(log[at - 1], row.head);
        EXPECT_TRUE(StartsWith(log[at + 2], kTimestampPrefixW)) << Dump(log);
        EXPECT_EQ(log[at + 3], kMessageSentW);
        ++served;
    }
    ExitProgram();
    std::vector<std::string> lines;
    ASSERT_TRUE(ReadLogFileLines(ReadFileBytes(TodaysFile()), &lines));
    for (const Row& row : rows)
        EXPECT_EQ(CountLines(lines, row.line), 1) << row.name;
    int named = 0;
    for (const std::string& l : lines)
        named += StartsWith(l, kRdnsPrefix) && (l.find(" (for ::1)") != std::string::npos ||
                                                l.find(" (for 127.0.0.1)") != std::string::npos);
    EXPECT_EQ(named, served);
}

} // namespace
} // namespace e2e
