// The log file, trusted callers and the Alerts and Log dialog as a user of
// harbinel.exe meets them: the day's file read back beside the window's
// lines, a folder that cannot be made, callers from several loopback
// addresses against a trusted list, and the dialog's choices in the key.
#include "driver.h"

namespace e2e {
namespace {

class AlertsE2E : public LogFolderTest {};

// Each file line is an ISO time with its offset, a space and a log line;
// the RDNS answer, written when it comes, names its caller.
TEST_F(AlertsE2E, TheLogFileHoldsTheWindowsLinesAsTheyCame)
{
    const int port = FreePort();
    WritePorts({port});
    WriteText(kValueLogFolder, folder_.Folder());
    StartProgram();
    Listen();
    Caller caller;
    ASSERT_TRUE(caller.Connect(port));
    std::vector<std::wstring> window;
    ASSERT_TRUE(WaitForLog(
        main_,
        [](const std::vector<std::wstring>& l) {
            return CountLines(l, kScanBlockedW) == 1 && l.size() == 8;
        },
        kDeadlineMs, &window))
        << Dump(window);
    ExitProgram();

    const std::string file = ReadFileBytes(TodaysFile());
    std::vector<std::string> lines;
    ASSERT_TRUE(ReadLogFileLines(file, &lines));
    // The same lines; only the answer moves (it came later) and names the caller.
    std::vector<std::string> expected;
    for (const std::wstring& l : window)
        if (!StartsWith(l, kRdnsPrefixW))
            expected.push_back(Narrow(l));
    const int rdns = FindLine(window, kScanDetectedW) + 2;
    ASSERT_TRUE(StartsWith(window[rdns], kRdnsPrefixW)) << Dump(window);
    std::vector<std::string> others;
    int named = 0;
    for (const std::string& l : lines) {
        if (l == Narrow(window[rdns]) + " (for 127.0.0.1)")
            ++named;
        else
            others.push_back(l);
    }
    EXPECT_EQ(named, 1) << file;
    EXPECT_EQ(others, expected) << file;
}

// A folder under a file can never be made: one line says so, and callers
// are served and logged in the window all the same.
TEST_F(AlertsE2E, AFolderThatCannotBeUsedGivesOneLineAndCallersAreServed)
{
    // Root under Wine writes into read-only folders, so the folder is made
    // impossible instead; Windows and Wine refuse this alike.
    ASSERT_NO_FATAL_FAILURE(WriteFileBytes(folder_.Path(std::string("file")), "x"));
    const int port = FreePort();
    WritePorts({port});
    WriteText(kValueLogFolder, folder_.Path(std::string("file\\logs")));
    StartProgram();
    Listen();
    for (int i = 0; i < 3; ++i) {
        Caller caller;
        ASSERT_TRUE(caller.Connect(port));
        bool ended = false;
        EXPECT_EQ(caller.ReceiveAll(kDeadlineMs, &ended), kWarningLine);
    }
    std::vector<std::wstring> log;
    ASSERT_TRUE(WaitForLog(
        main_, [](const std::vector<std::wstring>& l) { return CountLines(l, kScanBlockedW) == 3; },
        kDeadlineMs, &log));
    int errors = 0;
    for (const std::wstring& l : log)
        errors += StartsWith(l, L"Log file error: ") ? 1 : 0;
    EXPECT_EQ(errors, 1) << Dump(log);
}

// An address trusts only itself (127.0.0.1 never covers 127.0.0.10); a
// range trusts exactly its prefix. (That trusted scans raise no alert is
// checked in-process: Wine keeps menus to their own process.)
TEST_F(AlertsE2E, TrustedCallersMatchExactlyByPrefix)
{
    const int port = FreePort();
    WritePorts({port});
    WriteMultiText(kValueTrusted, {"127.0.0.1", "127.0.1.0/30"});
    StartProgram();
    Listen();
    const struct {
        const char* from;
        bool trusted;
    } cases[] = {
        {"127.0.0.1", true}, {"127.0.0.10", false}, {"127.0.1.2", true},
        {"127.0.1.3", true}, {"127.0.1.4", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.from);
        const size_t from = LogLines(main_).size();
        Caller caller;
        ASSERT_TRUE(caller.ConnectFrom(c.from, port));
        std::vector<std::wstring> log;
        ASSERT_TRUE(WaitForLog(
            main_, [&](const std::vector<std::wstring>& l) { return l.size() >= from + 6; },
            kDeadlineMs, &log));
        EXPECT_EQ(log[from], c.trusted ? L"Scan detected (trusted)" : kScanDetectedW) << Dump(log);
        EXPECT_TRUE(StartsWith(log[from + 1], L"   Accept: " + Widen(c.from) + L":")) << Dump(log);
    }
}

// The dialog's choices are the program's at once and in the key at Exit;
// a line that is no address keeps the dialog open, naming it.
TEST_F(AlertsE2E, DialogChoicesRoundTripThroughTheKey)
{
    StartProgram();
    PostMessageW(main_, WM_COMMAND, IDM_ALERTS, 0);
    HWND dialog = WaitForOwnedWindow(main_, L"Alerts and Log");
    ASSERT_TRUE(dialog != NULL);
    ASSERT_TRUE(PumpUntil([&] { return IsWindowVisible(dialog) != FALSE; }));
    EXPECT_EQ(ControlText(dialog, IDC_AL_LINES), L"10000");
    SetDlgItemTextW(dialog, IDC_AL_TRUSTED, L"10.0.0.1\r\n10.0.0.300\r\n192.168.1.0/24");
    PostMessageW(GetDlgItem(dialog, IDC_AL_OK), BM_CLICK, 0, 0);
    ASSERT_TRUE(PumpUntil([&] {
        return ControlText(dialog, IDC_AL_TRUSTEDPROBLEM) == L"Not an address or range: 10.0.0.300";
    })) << Narrow(ControlText(dialog, IDC_AL_TRUSTEDPROBLEM));
    SetDlgItemTextW(dialog, IDC_AL_TRUSTED, L"10.0.0.1\r\n192.168.1.0/24");
    SetDlgItemTextW(dialog, IDC_AL_LINES, L"500");
    SetDlgItemTextW(dialog, IDC_AL_FOLDER, Widen(folder_.Folder()).c_str());
    PostMessageW(GetDlgItem(dialog, IDC_AL_BALLOONS), BM_CLICK, 0, 0);
    PostMessageW(GetDlgItem(dialog, IDC_AL_LOGTOFILE), BM_CLICK, 0, 0);
    EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_AL_EVENTLOG), (UINT)BST_CHECKED);
    PostMessageW(GetDlgItem(dialog, IDC_AL_EVENTLOG), BM_CLICK, 0, 0);
    PostMessageW(GetDlgItem(dialog, IDC_AL_OK), BM_CLICK, 0, 0);
    ASSERT_TRUE(WaitForWindowGone(dialog));
    ExitProgram();
    ExpectValue(kValueTrusted, REG_MULTI_SZ,
                {'1', '0', '.', '0', '.', '0', '.', '1', 0,   '1', '9', '2', '.',
                 '1', '6', '8', '.', '1', '.', '0', '/', '2', '4', 0,   0});
    ExpectValue(kValueLogLines, REG_DWORD, DwordBytes(500));
    ExpectValue(kValueBalloons, REG_BINARY, {0});
    ExpectValue(kValueLogToFile, REG_BINARY, {0});
    ExpectValue(kValueEventLog, REG_BINARY, {0});
    EXPECT_EQ(ReadValue(kValueLogFolder).AsText(), folder_.Folder());
}

} // namespace
} // namespace e2e
