// The log file, the window's line limit, Copy, trusted callers and the scan
// balloons, in-process: the day that decides the file is handed in, so the
// day change, a full file and the folder cap can be tried without waiting.
#include "harness.h"

#include <string>
#include <vector>

#include "app/app.h"
#include "log/log.h"
#include "pure/text.h"
#include "resource.h"

using namespace harness;

namespace {

// A file of `bytes` bytes, made by moving its end (sparse where the disk allows).
void MakeFile(const std::string& path, LONG megabytes)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    SetFilePointer(file, megabytes << 20, NULL, FILE_BEGIN);
    SetEndOfFile(file);
    CloseHandle(file);
}

SYSTEMTIME Day(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second)
{
    SYSTEMTIME t = {};
    t.wYear = year;
    t.wMonth = month;
    t.wDay = day;
    t.wHour = hour;
    t.wMinute = minute;
    t.wSecond = second;
    return t;
}

class LogFileTest : public AppTest {
  protected:
    void PrepareSettings() override
    {
        ASSERT_TRUE(temp_.Create("harbinel-logs-"));
        folder_ = temp_.Folder();
        WriteText("LogFolder", folder_);
    }
    std::string Path(const char* name) const
    {
        return folder_ + "\\" + name;
    }
    TempFolder temp_;
    std::string folder_;
};

TEST_F(LogFileTest, EachLineGoesToItsDaysFileWithTimeAndOffset)
{
    LogFileAppendAt("before midnight", Day(2026, 12, 8, 23, 59, 59), 60, 1000);
    LogFileAppendAt("   after midnight", Day(2026, 12, 9, 0, 0, 1), -330, 2000);
    LogFileClose();
    EXPECT_EQ(ReadFileBytes(Path("harbinel-2026-12-08.log")),
              "2026-12-08T23:59:59+01:00 before midnight\r\n");
    EXPECT_EQ(ReadFileBytes(Path("harbinel-2026-12-09.log")),
              "2026-12-09T00:00:01-05:30    after midnight\r\n");

    // A line that enters the window enters today's file as it comes.
    AddLogLine("a line of today");
    SYSTEMTIME now;
    GetLocalTime(&now);
    char name[64];
    BuildLogFileName(now.wYear, now.wMonth, now.wDay, 0, name);
    std::string today = ReadFileBytes(Path(name));
    EXPECT_NE(today.find(" a line of today\r\n"), std::string::npos) << today;
}

TEST_F(LogFileTest, AFullFileGoesOnInTheNextAndTheFolderCapDeletesTheOldest)
{
    MakeFile(Path("harbinel-2026-01-01.log"), 100);
    MakeFile(Path("harbinel-2026-01-02.log"), 100);
    MakeFile(Path("harbinel-2026-01-03.log"), 100);
    MakeFile(Path("notes.log"), 100); // not one of ours: never deleted
    MakeFile(Path("harbinel-2026-12-08.log"), 16);
    LogFileAppendAt("next file", Day(2026, 12, 8, 10, 0, 0), 0, 1000);
    LogFileClose();
    EXPECT_EQ(ReadFileBytes(Path("harbinel-2026-12-08.1.log")),
              "2026-12-08T10:00:00+00:00 next file\r\n");
    // 316 MiB of ours: the oldest goes, which brings them under 256 MiB.
    EXPECT_FALSE(FileExists(Path("harbinel-2026-01-01.log")));
    EXPECT_TRUE(FileExists(Path("harbinel-2026-01-02.log")));
    EXPECT_TRUE(FileExists(Path("harbinel-2026-01-03.log")));
    EXPECT_TRUE(FileExists(Path("harbinel-2026-12-08.log")));
    EXPECT_TRUE(FileExists(Path("notes.log")));
}

// A folder cap of 4 MiB gives a day 1 MiB. Past it lines are counted, told
// in the file once an hour and at the day's end; earlier days go only when
// a new day's file starts, and whole.
TEST_F(LogFileTest, ADaysCapKeepsLinesOutAndOnlyANewDayDeletesEarlierDays)
{
    AppState.LogFolderCap = 4;
    MakeFile(Path("harbinel-2026-12-06.log"), 1);
    MakeFile(Path("harbinel-2026-12-06.1.log"), 1);
    MakeFile(Path("harbinel-2026-12-07.log"), 1);
    MakeFile(Path("harbinel-2026-12-08.log"), 1);
    // Lines at these ticks on the 8th, the day already full, then the 9th.
    for (DWORD tick : {1000u, 2000u, 3000u, 3601000u, 3602000u}) {
        LogFileAppendAt("line", Day(2026, 12, 8, 10, 0, 0), 0, tick);
        // The folder is over its cap now, but the day's writing deletes nothing.
        EXPECT_TRUE(FileExists(Path("harbinel-2026-12-06.log"))) << tick;
    }
    LogFileAppendAt("line", Day(2026, 12, 9, 10, 0, 0), 0, 3603000);
    LogFileClose();
    const std::string told = " Log file: 1 line not written (today's cap)\r\n";
    EXPECT_EQ(ReadFileBytes(Path("harbinel-2026-12-08.log")).substr(1 << 20),
              "2026-12-08T10:00:00+00:00" + told +
                  "2026-12-08T10:00:00+00:00 Log file: 3 lines not written (today's cap)\r\n" +
                  "2026-12-09T10:00:00+00:00" + told);
    EXPECT_EQ(ReadFileBytes(Path("harbinel-2026-12-09.log")), "2026-12-09T10:00:00+00:00 line\r\n");
    // The new day made room: the oldest day went whole, and no more.
    EXPECT_FALSE(FileExists(Path("harbinel-2026-12-06.log")));
    EXPECT_FALSE(FileExists(Path("harbinel-2026-12-06.1.log")));
    EXPECT_TRUE(FileExists(Path("harbinel-2026-12-07.log")));
}

// A day's file that another program holds shut is passed over for the
// day's next file, and the log says so once.
TEST_F(LogFileTest, AFileHeldByAnotherProgramIsPassedOver)
{
    HANDLE held = CreateFileA(Path("harbinel-2026-12-08.log").c_str(), GENERIC_READ, 0, NULL,
                              CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    LogFileAppendAt("first", Day(2026, 12, 8, 10, 0, 0), 0, 1000);
    LogFileAppendAt("second", Day(2026, 12, 8, 10, 0, 1), 0, 2000);
    LogFileClose();
    CloseHandle(held);
    EXPECT_EQ(ReadFileBytes(Path("harbinel-2026-12-08.1.log")),
              "2026-12-08T10:00:00+00:00 first\r\n2026-12-08T10:00:01+00:00 second\r\n");
    PumpPending();
    EXPECT_EQ(LogLines(), std::vector<std::string>{"Log file: harbinel-2026-12-08.log is held by "
                                                   "another program; going on in "
                                                   "harbinel-2026-12-08.1.log"});
}

TEST_F(LogFileTest, AFolderThatCannotBeMadeGivesOneLineAndIsTriedAMinuteLater)
{
    // A folder under a file cannot exist. (Read-only folders stop nobody
    // running as root under Wine; Windows and Wine agree on this one.)
    MakeFile(Path("plain-file"), 0);
    TextCopy(AppState.LogFolder, Path("plain-file\\logs").c_str());
    LogFileClose();
    AddLogLine("first");
    AddLogLine("second");
    // The error line comes after what is being logged, never inside a block.
    PumpPending();
    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 3u) << LogDump();
    EXPECT_EQ(lines[0], "first");
    EXPECT_EQ(lines[2].rfind("Log file error: ", 0), 0u) << LogDump();

    TextCopy(AppState.LogFolder, folder_.c_str());
    const DWORD failed = AppState.LogFile.failedTick;
    const SYSTEMTIME day = Day(2026, 12, 8, 10, 0, 0);
    AppState.LogFile.failedDay = 20261208;
    LogFileAppendAt("too soon", day, 0, failed + 59000);
    EXPECT_FALSE(FileExists(Path("harbinel-2026-12-08.log")));
    LogFileAppendAt("a minute later", day, 0, failed + 60000);
    LogFileClose();
    EXPECT_EQ(ReadFileBytes(Path("harbinel-2026-12-08.log")),
              "2026-12-08T10:00:00+00:00 a minute later\r\n");
    PumpPending();
    EXPECT_EQ(LogCount(), 3) << LogDump();
}

class WindowLinesTest : public AppTest {
  protected:
    void PrepareSettings() override
    {
        WriteDword("LogLines", 5); // below the least: 100 are kept
        WriteSwitch("LogToFile", 0);
    }
};

TEST_F(WindowLinesTest, TheWindowKeepsTheNewestLinesAndCopiesThem)
{
    for (int i = 0; i < 150; ++i)
        AddLogLine(("line " + std::to_string(i)).c_str());
    ASSERT_EQ(LogCount(), 100);
    EXPECT_EQ(LogLine(0), "line 50");
    EXPECT_EQ(LogLine(99), "line 149");

    struct {
        const char* name;
        std::vector<int> selected;
        std::string copied;
    } cases[] = {
        {"nothing selected: every line", {}, ""},
        {"two lines selected", {3, 97}, "line 53\r\nline 147\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SendMessageA(AppState.LogList, LB_SETSEL, FALSE, -1);
        for (int i : c.selected)
            SendMessageA(AppState.LogList, LB_SETSEL, TRUE, i);
        SendMessageA(AppState.LogList, WM_COMMAND, IDM_LOG_COPY, 0);
        ASSERT_TRUE(OpenClipboard(NULL));
        HANDLE data = GetClipboardData(CF_TEXT);
        std::string text = data ? (const char*)GlobalLock(data) : "<none>";
        if (data)
            GlobalUnlock(data);
        CloseClipboard();
        if (c.selected.empty()) {
            EXPECT_EQ(text.size(), 50 * 9 + 50 * 10u) << "lines 50-99 and 100-149, CR LF each";
            EXPECT_EQ(text.rfind("line 149\r\n"), text.size() - 10);
        } else {
            EXPECT_EQ(text, c.copied);
        }
    }

    // The sideways scroll reaches the widest line.
    const LRESULT narrow = SendMessageA(AppState.LogList, LB_GETHORIZONTALEXTENT, 0, 0);
    AddLogLine(std::string(200, 'W').c_str());
    const LRESULT wide = SendMessageA(AppState.LogList, LB_GETHORIZONTALEXTENT, 0, 0);
    RECT list;
    GetClientRect(AppState.LogList, &list);
    EXPECT_GT(wide, narrow);
    EXPECT_GT(wide, list.right) << "the long line cannot be scrolled to";
    AddLogLine("line 150");
    EXPECT_EQ(SendMessageA(AppState.LogList, LB_GETHORIZONTALEXTENT, 0, 0), wide);
}

class TrustedTest : public AppTest {
  protected:
    void PrepareSettings() override
    {
        WriteMultiText("Trusted", {"127.0.0.0/30", "bogus", "010.0.0.1"});
        WriteSwitch("LogToFile", 0);
    }
};

TEST_F(TrustedTest, TrustedCallersAreQuietOthersGetOneBalloonAMinute)
{
    ASSERT_EQ(LogLine(0), "Trusted callers skipped: bogus, 010.0.0.1") << LogDump();
    const int port = FreePort();
    AddPortToList(port);
    SendMessageA(AppState.MainWindow, WM_COMMAND, IDC_LISTEN, 0);
    struct {
        const char* name;
        bool trusted;
        std::string balloon;
    } cases[] = {
        {"trusted range", true, ""},
        {"not trusted: a balloon names it", false,
         "Scan from 127.0.0.1 on port " + std::to_string(port)},
        {"same caller again: no second balloon", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.trusted)
            AppState.Trusted = TrustedList();
        AppState.TrayIconData.szInfo[0] = '\0';
        SendMessageA(AppState.MainWindow, WM_COMMAND, IDM_RESETALERT, 0);
        int from = LogCount();
        Caller caller;
        ASSERT_TRUE(caller.Connect(port));
        ASSERT_TRUE(WaitForLogLine("Scan blocked", false)) << LogDump();
        EXPECT_EQ(LogLine(from), c.trusted ? "Scan detected (trusted)" : "Scan detected");
        EXPECT_EQ(AppState.TrayIconData.hIcon == AppState.IconAlert, !c.trusted);
        EXPECT_EQ(std::string(AppState.TrayIconData.szInfo), c.balloon);
        SendMessageA(AppState.MainWindow, WM_COMMAND, IDM_CLEARLOG, 0);
    }
}

} // namespace
