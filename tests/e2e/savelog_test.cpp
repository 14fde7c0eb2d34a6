// Save Log in the running harbinel.exe through the real save dialog: the
// file holds the log's lines byte for byte, each ended by CR LF, whatever
// bytes the callers sent, and an existing file is replaced only when the
// user agrees.
#include "driver.h"

#include <string>
#include <vector>

namespace e2e {
namespace {

// Long lines cannot be read from another process under Wine (see
// LogLines); they are only measured, and `longLines` says which they are.
struct LogSnapshot {
    std::vector<std::string> lines; // empty for a long line
    std::vector<size_t> longLines;
    std::vector<LRESULT> lengths;
};

LogSnapshot ReadLogSafely(HWND main)
{
    LogSnapshot log;
    const std::vector<std::wstring> all = LogLines(main);
    for (size_t i = 0; i < all.size(); ++i) {
        log.lengths.push_back((LRESULT)all[i].size());
        if ((LRESULT)all[i].size() > kLongestReadableLine) {
            log.longLines.push_back(i);
            log.lines.emplace_back();
        } else {
            log.lines.push_back(Narrow(all[i]));
        }
    }
    return log;
}

std::string DumpSafely(const LogSnapshot& log)
{
    std::string out = "log:\n";
    for (size_t i = 0; i < log.lines.size(); ++i)
        out += "  [" +
               (log.lengths[i] > kLongestReadableLine
                    ? "<" + std::to_string(log.lengths[i]) + " characters>"
                    : log.lines[i]) +
               "]\n";
    return out;
}

// Types the path into the save dialog of the program and presses Save.
void SaveAs(HWND save, const std::wstring& path)
{
    ASSERT_NO_FATAL_FAILURE(EnterSaveName(save, path));
    PostClick(save, IDOK);
}

// The Yes/No question owned by the save dialog.
HWND WaitForQuestion(HWND owner)
{
    HWND question = NULL;
    PumpUntil([&] { return (question = FindQuestion(owner)) != NULL; });
    return question;
}

class SaveLogE2E : public HarbinelTest {
  protected:
    void SetUp() override
    {
        HarbinelTest::SetUp();
        ASSERT_TRUE(folder_.Create("harbinel-e2e-save"));
    }
    void TearDown() override
    {
        HarbinelTest::TearDown();
        folder_.Remove();
    }
    std::wstring Path(const std::wstring& name)
    {
        return folder_.Path(name);
    }
    // The save dialog that Save Log opened, proposing log.txt.
    HWND WaitForSaveDialog()
    {
        HWND save = WaitForOwnedWindow(main_, kSaveAsTitleW);
        EXPECT_TRUE(save != NULL) << "no save dialog came up";
        // It exists before its controls do; it is shown once it is ready.
        if (save != NULL && PumpUntil([&] { return IsWindowVisible(save) != FALSE; })) {
            EXPECT_EQ(WindowTitle(SaveNameEdit(save)), kProposedLogNameW);
        }
        return save;
    }
    // Save Log to path, through the save dialog, until the dialog is gone.
    void SaveLogTo(const std::wstring& path)
    {
        PostCommand(main_, kSaveLog);
        HWND save = WaitForSaveDialog();
        ASSERT_TRUE(save != NULL);
        SaveAs(save, path);
        ASSERT_TRUE(WaitForWindowGone(save));
    }
    TempFolder folder_;
};

TEST_F(SaveLogE2E, ACallerCannotForgeLinesOfTheSavedLog)
{
    const int port = FreePort();
    ASSERT_NE(port, 0);
    WritePorts({port});
    WriteSwitch(kValueDisconnect, 0); // so the caller can talk after the warning
    StartProgram();
    Listen();
    Caller caller;
    ASSERT_TRUE(caller.Connect(port));
    bool ended = false;
    const std::string got = caller.ReceiveAtLeast(kWarningLine.size(), &ended);
    ASSERT_EQ(got, kWarningLine);

    // Line breaks, a terminal escape and a bell, made to look like lines of
    // the program's own: they stay escaped on the caller's one line.
    const std::string forged =
        "hello\r\nScan blocked\r\n   RDNS: trusted.example\r\n\x1b[31mred\x07";
    const std::string logged =
        "hello\\r\\nScan blocked\\r\\n   RDNS: trusted.example\\r\\n\\x1B[31mred\\x07";
    ASSERT_TRUE(caller.Send(forged));
    ASSERT_TRUE(WaitForLogLine(main_, Widen(logged))) << Dump(LogLines(main_));
    std::string longest;
    for (int i = 0; i < 2048; ++i)
        longest.push_back((char)('A' + i % 26));
    ASSERT_TRUE(caller.Send(longest));
    LogSnapshot log;
    ASSERT_TRUE(PumpUntil([&] {
        log = ReadLogSafely(main_);
        return log.longLines.size() == 1 && log.lengths[log.longLines[0]] == 2048;
    })) << DumpSafely(log);

    const std::wstring path = Path(L"received.txt");
    ASSERT_NO_FATAL_FAILURE(SaveLogTo(path));
    log = ReadLogSafely(main_);
    ASSERT_EQ(log.longLines.size(), 1u) << DumpSafely(log);
    log.lines[log.longLines[0]] = longest; // the only 2048-character line is the one sent
    std::string expected;
    for (const std::string& line : log.lines)
        expected += line + "\r\n";
    std::string file;
    EXPECT_TRUE(PumpUntil([&] {
        file = ReadFileBytes(path);
        return file.size() >= expected.size();
    }));
    EXPECT_EQ(file, expected) << DumpSafely(log);
    EXPECT_NE(file.find("\r\n" + logged + "\r\n"), std::string::npos);
    EXPECT_EQ(file.find("\r\nScan blocked\r\n"), std::string::npos) << "a forged line";
    EXPECT_EQ(file.find('\x1b'), std::string::npos);
    EXPECT_NE(file.find("\r\n" + longest + "\r\n"), std::string::npos);
}

TEST_F(SaveLogE2E, CtrlSOnAnEmptyLogTruncatesAFileOnlyAfterYes)
{
    const std::wstring path = Path(L"existing.txt");
    ASSERT_NO_FATAL_FAILURE(WriteFileBytes(path, "old contents\r\n"));

    StartProgram();
    ASSERT_TRUE(LogLines(main_).empty()) << Dump(LogLines(main_));
    PostCtrlShortcut(main_, 'S');
    HWND save = WaitForSaveDialog();
    ASSERT_TRUE(save != NULL);
    SaveAs(save, path);
    HWND question = WaitForQuestion(save);
    ASSERT_TRUE(question != NULL) << "the save dialog did not ask before replacing";
    EXPECT_EQ(ReadFileBytes(path), "old contents\r\n");
    PostClick(question, IDYES);
    ASSERT_TRUE(WaitForWindowGone(save));
    bool exists = false;
    EXPECT_TRUE(PumpUntil([&] { return ReadFileBytes(path, &exists).empty() && exists; }));
}

// An IPv6 caller and an IPv4 one: the saved file holds each one's line as
// the window shows it.
TEST_F(SaveLogE2E, SavedLogHoldsCallersOfBothFamilies)
{
    const int port = FreePort();
    WritePorts({port});
    StartProgram();
    Listen();
    Caller v6, v4;
    if (!v6.ConnectV6(port))
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    ASSERT_TRUE(v4.Connect(port));
    const std::string p = std::to_string(port);
    const std::string lines[] = {
        "   Accept: [::1]:" + std::to_string(v6.LocalPort()) + " -> [::1]:" + p,
        "   Accept: 127.0.0.1:" + std::to_string(v4.LocalPort()) + " -> 127.0.0.1:" + p};
    for (const std::string& line : lines)
        ASSERT_TRUE(WaitForLogLine(main_, Widen(line))) << Dump(LogLines(main_));
    const std::wstring path = Path(L"both.txt");
    ASSERT_NO_FATAL_FAILURE(SaveLogTo(path));
    std::string file;
    EXPECT_TRUE(PumpUntil([&] {
        file = ReadFileBytes(path);
        return file.find("\r\n" + lines[1] + "\r\n") != std::string::npos;
    })) << file;
    for (const std::string& line : lines)
        EXPECT_NE(file.find("\r\n" + line + "\r\n"), std::string::npos) << line;
}

} // namespace
} // namespace e2e
