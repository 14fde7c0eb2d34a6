// The Windows session ends with Harbinel running, as it does at shutdown or
// logoff for anyone who never chose Exit: Wine's own session end
// (wineboot --end-session) asks every program, tells it the session ends and
// then ends its process. Whatever the user set since the start must be in
// the key, the day's log file must end with the last line, and the next
// start must listen again on the new list.
#include "driver.h"

#include <string>
#include <vector>

namespace e2e {
namespace {

using Lines = std::vector<std::wstring>;

class SessionE2E : public LogFolderTest {
  protected:
    void AddPortThroughTheDialog(int port)
    {
        HWND ps = OpenDialog(kPortSettings, kPortSettingsTitleW);
        ASSERT_TRUE(ps != NULL);
        PostClick(ps, IDC_PS_ADD);
        HWND add = WaitForDialog(ps, kAddPortTitleW);
        ASSERT_TRUE(add != NULL);
        Type(GetDlgItem(add, IDC_AP_EDIT), std::to_string(port));
        PostClick(add, IDC_AP_OK);
        ASSERT_TRUE(WaitForWindowGone(add));
        PostClick(ps, IDC_PS_OK);
        ASSERT_TRUE(WaitForWindowGone(ps));
    }
};

TEST_F(SessionE2E, SessionEndKeepsEverySettingAndTheNextStartListensAgain)
{
    const int first = FreePort(), added = FreePort();
    WritePorts({first});
    WriteText(kValueLogFolder, folder_.Folder());
    StartProgram();
    ASSERT_NO_FATAL_FAILURE(AddPortThroughTheDialog(added));
    Listen();
    {
        Caller caller;
        ASSERT_TRUE(caller.Connect(added));
        ASSERT_TRUE(WaitForLogLine(main_, kScanBlockedW)) << Dump(LogLines(main_));
    }
    PostCommand(main_, kRestore);
    ASSERT_TRUE(PumpUntil([&] { return IsShown(main_); }));
    RECT work;
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    const int x = work.left + 23, y = work.top + 29;
    SetWindowPos(main_, NULL, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    ASSERT_TRUE(PumpUntil([&] {
        RECT r;
        return GetWindowRect(main_, &r) && r.left == x && r.top == y;
    }));
    const Lines before = LogLines(main_);

    // The session ends. This driver has no window, so it is not asked.
    Program wineboot;
    ASSERT_TRUE(wineboot.Start(L"C:\\windows\\system32\\wineboot.exe", L"--end-session"));
    DWORD code = 1;
    ASSERT_TRUE(wineboot.WaitForExit(30000, &code)) << "the session did not end";
    ASSERT_TRUE(program_.WaitForExit(kDeadlineMs, &code)) << "Harbinel outlived its session";

    EXPECT_EQ(StoredPorts(), (std::vector<int>{first, added}));
    EXPECT_EQ(ReadValue(kValueConnected).data, std::vector<BYTE>{1});
    EXPECT_EQ(ReadValue(kValueWindowX).AsDword(), (DWORD)x);
    EXPECT_EQ(ReadValue(kValueWindowY).AsDword(), (DWORD)y);
    EXPECT_EQ(ReadValue(kValueLogFolder).AsText(), folder_.Folder());

    // Every line of the window is in the file, in order, and the last says
    // why the program went.
    std::vector<std::string> file;
    ASSERT_TRUE(ReadLogFileLines(ReadFileBytes(TodaysFile()), &file));
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(file.back(), kSessionEnding);
    std::vector<std::string> steady;
    for (const std::string& line : file)
        if (!StartsWith(line, kRdnsPrefix))
            steady.push_back(line);
    std::vector<std::string> shown;
    for (const std::wstring& line : before)
        if (!StartsWith(line, kRdnsPrefixW))
            shown.push_back(Narrow(line));
    ASSERT_GE(steady.size(), shown.size() + 1) << Dump(file);
    EXPECT_EQ(std::vector<std::string>(steady.begin(), steady.begin() + (long)shown.size()), shown)
        << Dump(file);

    // The next start listens on the list as the user left it.
    StartProgram();
    ASSERT_TRUE(WaitForLogLine(main_, Widen(ListeningLine(2)))) << Dump(LogLines(main_));
    Caller caller;
    EXPECT_TRUE(caller.Connect(added)) << "the port added before the session end";
}

} // namespace
} // namespace e2e
