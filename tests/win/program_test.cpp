// The program run on each scan, in-process: the lines the system's own
// CommandLineToArgvW splits back into the values, the recorder and a batch
// file started hidden with hostile names as one inert argument each, four at
// once with a hundred waiting, drops, trusted, unproven and repeated
// callers, a program left alone after a minute, start errors, the stored
// setting and the dialog's refusals.
#include "harness.h"
#include "support/hostile.h"

#include "dialog_driver.h"
#include "resource.h"

#include <shellapi.h>

#include <string>
#include <vector>

#include "outputs/outputs.h"
#include "pure/commandline.h"

using namespace harness;

namespace {

const auto& kHostile = kHostileNames;

ScanRecord Record(uint32_t caller, uint16_t callerPort, bool trusted = false)
{
    ScanRecord r = {};
    r.kind = kScanConnect;
    r.caller = NetAddressFromV4(htonl(caller));
    r.callerPort = callerPort;
    r.local = NetAddressFromV4(htonl(0x7F000001));
    r.port = 31337;
    r.highPort = 31337;
    r.portCount = 1;
    r.trusted = trusted;
    r.verified = true;
    lstrcpyA(r.time, "2026-12-08T14:24:08+01:00");
    return r;
}

std::vector<std::string> SystemSplit(const wchar_t* line)
{
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(line, &count);
    std::vector<std::string> out;
    for (int i = 0; args != NULL && i < count; ++i)
        out.push_back(Narrow(args[i]));
    LocalFree(args);
    return out;
}

std::string TrimSlash(std::string folder)
{
    while (!folder.empty() && folder.back() == '\\')
        folder.pop_back();
    return folder;
}

TEST(ProgramLine, TheSystemSplitsItBackIntoTheValues)
{
    static char16_t line[kCommandLineSize];
    for (const HostileName& v : kHostile) {
        SCOPED_TRACE("[" + v.name + "]");
        ASSERT_EQ(ExpandCommandLine(u"p.exe {rdns} \"in {rdns}\" x\"{rdns}\"{rdns}", Record(1, 1),
                                    v.name.c_str(), line),
                  kCommandReady);
        const std::wstring wide(line, line + std::char_traits<char16_t>::length(line));
        const std::string& n = v.inert;
        EXPECT_EQ(SystemSplit(wide.c_str()),
                  (std::vector<std::string>{"p.exe", n, "in " + n, "x" + n + n}))
            << Narrow(wide);
    }
}

class ProgramTest : public AppTest {
  protected:
    void SetUp() override
    {
        AppTest::SetUp();
        Use("\"" + Recorder::Path() + "\" {caller} {callerport} {rdns} \"{rdns}\" --at={time}");
    }
    void TearDown() override
    {
        ProgramStop();
        recorder_.Release();
        AppTest::TearDown();
    }
    void Use(const std::string& command)
    {
        lstrcpynA(AppState.RunOnScan, command.c_str(), sizeof AppState.RunOnScan);
    }
    int Running() const
    {
        int n = 0;
        for (const ProgramSlot& slot : AppState.Program.running)
            n += slot.process != NULL;
        return n;
    }
    // Ticks as the window's timer does until `runs` records are there and
    // every program started has ended.
    bool WaitForRuns(size_t runs, int running = 0)
    {
        return PumpUntil(
            [&] {
                ProgramTick();
                return recorder_.Runs().size() == runs && Running() == running;
            },
            20000);
    }
    Recorder recorder_;
};

TEST_F(ProgramTest, HostileValuesArriveAsOneArgumentEachInTheProgramsFolder)
{
    for (size_t i = 0; i < std::size(kHostile); ++i)
        ProgramScanNamed(Record(0x0A000001 + (uint32_t)i, (uint16_t)i), kHostile[i].name.c_str());
    ASSERT_TRUE(WaitForRuns(std::size(kHostile))) << recorder_.Runs().size() << LogDump();
    std::vector<bool> seen(std::size(kHostile));
    for (const RecordedRun& run : recorder_.Runs()) {
        ASSERT_EQ(run.args.size(), 6u);
        const size_t i = (size_t)std::stoi(run.args[2]);
        ASSERT_LT(i, seen.size());
        SCOPED_TRACE("[" + kHostile[i].name + "]");
        seen[i] = true;
        EXPECT_EQ(run.args[1], "10.0.0." + std::to_string(i + 1));
        EXPECT_EQ(run.args[3], kHostile[i].inert);
        EXPECT_EQ(run.args[4], kHostile[i].inert);
        EXPECT_EQ(run.args[5], "--at=2026-12-08T14:24:08+01:00");
        EXPECT_EQ(TrimSlash(run.folder), TrimSlash(Recorder::Folder()));
    }
    EXPECT_EQ(seen, std::vector<bool>(std::size(kHostile), true));
    EXPECT_EQ(FindLogLine("Program", true), -1) << LogDump();
}

// cmd.exe reads a batch file's line by its own rules and expands %...%;
// the values give it nothing to read, so it can be named directly.
TEST_F(ProgramTest, ABatchFileGetsTheInertNamesAndNoNameRunsACommand)
{
    TempFolder folder;
    ASSERT_TRUE(folder.Create("batch"));
    WriteFileBytes(folder.Path("rec.cmd"), "@echo off\r\n>\"%~dp0%1.txt\" echo %*\r\n");
    Use("\"" + folder.Path("rec.cmd") + "\" {callerport} {caller} {rdns} \"{rdns}\"");
    std::vector<HostileName> names(std::begin(kHostile), std::end(kHostile));
    names.push_back({"x\"&echo>" + folder.Path("pwned.txt") + "&\"", ""});
    for (size_t i = 0; i < names.size(); ++i)
        ProgramScanNamed(Record(0x0A000001 + (uint32_t)i, (uint16_t)i), names[i].name.c_str());
    auto recorded = [&](size_t i) { return folder.Path(std::to_string(i) + ".txt"); };
    ASSERT_TRUE(PumpUntil(
        [&] {
            ProgramTick();
            for (size_t i = 0; i < names.size(); ++i)
                if (!FileExists(recorded(i)))
                    return false;
            return Running() == 0 && AppState.Program.queueCount == 0;
        },
        60000))
        << LogDump();
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        SCOPED_TRACE("[" + names[i].name + "]");
        const std::string inert = names[i].inert.empty() ? "\"\"" : names[i].inert;
        EXPECT_EQ(ReadFileBytes(recorded(i)), std::to_string(i) + " 10.0.0." +
                                                  std::to_string(i + 1) + " " + inert + " \"" +
                                                  names[i].inert + "\"\r\n");
    }
    EXPECT_FALSE(FileExists(folder.Path("pwned.txt")));
}

TEST_F(ProgramTest, FourRunAtOnceAHundredWaitAndTheRestAreDropped)
{
    recorder_.Hold();
    for (uint32_t i = 0; i < 4 + 100 + 3; ++i)
        ProgramScanNamed(Record(0x0A000001 + i, 1), "x");
    ASSERT_TRUE(WaitForRuns(4, 4)) << LogDump();
    EXPECT_EQ(AppState.Program.queueCount, 100);
    EXPECT_NE(FindLogLine("Program: 1 run dropped"), -1) << LogDump();
    // The other two are told of once the minute since that line is over.
    ProgramTick();
    EXPECT_EQ(FindLogLine("Program: 2 runs dropped"), -1) << LogDump();
    AppState.Program.dropped.lastMs -= 60000;
    ProgramTick();
    EXPECT_NE(FindLogLine("Program: 2 runs dropped"), -1) << LogDump();

    // Released, the four end and the waiting lines take their places.
    recorder_.Release();
    ASSERT_TRUE(PumpUntil(
        [&] {
            ProgramTick();
            return recorder_.Runs().size() >= 8;
        },
        20000));
    EXPECT_LT(AppState.Program.queueCount, 100);
    recorder_.Hold();
    ProgramStop();
    EXPECT_EQ(Running(), 0);
    EXPECT_EQ(AppState.Program.queueCount, 0);
    const std::string last = LogLines().back();
    EXPECT_TRUE(last.rfind("Program: ", 0) == 0 && last.find(" runs not started") != last.npos)
        << last;
    // Stopped, it runs nothing more until it starts again.
    ProgramScanNamed(Record(0x0B000001, 1), "x");
    EXPECT_EQ(Running() + AppState.Program.queueCount, 0);
    ProgramStart();
    ProgramScanNamed(Record(0x0B000002, 1), "x");
    EXPECT_EQ(Running(), 1);
}

TEST_F(ProgramTest, TrustedUnprovenAndRepeatedCallersRunNothing)
{
    ScanRecord spoofable = Record(0x0A000004, 5);
    spoofable.kind = kScanStealth;
    spoofable.verified = false;
    ProgramScanNamed(Record(0x0A000001, 1, true), "trusted");
    ProgramScanNamed(Record(0x0A000002, 2), "first");
    ProgramScanNamed(Record(0x0A000002, 3), "again within the minute");
    ProgramScanNamed(Record(0x0A000003, 4), "another caller");
    ProgramScanNamed(spoofable, "unproven");
    ASSERT_TRUE(WaitForRuns(2)) << recorder_.Runs().size();
    AppState.RunOnUnverified = 1;
    spoofable.caller = NetAddressFromV4(htonl(0x0A000005));
    ProgramScanNamed(spoofable, "unproven when asked for");
    ASSERT_TRUE(WaitForRuns(3)) << recorder_.Runs().size();
    std::vector<std::string> names;
    for (const RecordedRun& run : recorder_.Runs())
        names.push_back(run.args.at(3));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names,
              (std::vector<std::string>{"another_caller", "first", "unproven_when_asked_for"}));
}

TEST_F(ProgramTest, LeftAloneAfterAMinuteAndStartErrorsOnceAMinute)
{
    recorder_.Hold();
    ProgramScanNamed(Record(0x0A000001, 1), "x");
    ASSERT_EQ(Running(), 1);
    AppState.Program.running[0].started -= 60000;
    ProgramTick();
    EXPECT_EQ(Running(), 0);
    EXPECT_NE(FindLogLine("Program: 1 still running after 60 s, left alone"), -1) << LogDump();

    Use("C:\\no\\such\\program.exe {rdns}");
    ProgramScanNamed(Record(0x0A000002, 1), "x");
    ProgramScanNamed(Record(0x0A000003, 1), "x");
    EXPECT_NE(FindLogLine("Program error: ", true), -1) << LogDump();
    int errors = 0;
    for (const std::string& line : LogLines())
        errors += line.rfind("Program error: ", 0) == 0;
    EXPECT_EQ(errors, 1) << LogDump();
    const std::string error = LogLines()[FindLogLine("Program error: ", true)];
    // Named as the log shows text: its backslashes doubled.
    const std::string head = R"(Program error: C:\\no\\such\\program.exe: )";
    EXPECT_TRUE(error == head + "Folder not found" || error == head + "File not found") << error;
}

class ProgramSettingTest : public AppTest {};

TEST_F(ProgramSettingTest, OnlyAWholeOneLineTextIsLoaded)
{
    const struct {
        std::string stored;
        std::string loaded;
        std::string error; // the one line at start, if any
    } cases[] = {
        {"tool.exe {rdns}", "tool.exe {rdns}", ""},
        {std::string(kCommandTemplateSize - 1, 'x'), std::string(kCommandTemplateSize - 1, 'x'),
         ""},
        {std::string(kCommandTemplateSize, 'x'), "", ""},
        {"tool.exe\r\nother.exe", "", ""},
        // Kept, so that the dialog shows it, but never run.
        {"tool.exe \"{rdns}", "tool.exe \"{rdns}",
         "Program error: RunOnScan refused: a quote is not closed"},
        {"   ", "   ", "Program error: RunOnScan refused: the command line names no program"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored.substr(0, 40));
        ASSERT_TRUE(ExitApp());
        ASSERT_NO_FATAL_FAILURE(WriteText(kValueRunOnScan, c.stored));
        ASSERT_TRUE(StartApp());
        EXPECT_EQ(std::string(AppState.RunOnScan), c.loaded);
        if (!c.error.empty())
            ProgramScanNamed(Record(0x0A000001, 1), "x");
        // The start's line and no other: a run would have failed to start.
        EXPECT_EQ(CountLinesStarting(LogLines(), "Program error: "), c.error.empty() ? 0 : 1);
        EXPECT_EQ(CountLines(LogLines(), c.error), c.error.empty() ? 0 : 1) << LogDump();
    }
    ASSERT_TRUE(ExitApp());
    ASSERT_NO_FATAL_FAILURE(WriteDword(kValueRunOnScan, 1));
    ASSERT_TRUE(StartApp());
    EXPECT_STREQ(AppState.RunOnScan, "");
}

// A command line that cannot be run keeps the dialog open, naming why; a
// good one and the switch for unproven callers are taken.
TEST_F(ProgramSettingTest, TheDialogRefusesACommandLineThatCannotBeRun)
{
    dialogs::RunScript([&] {
        dialogs::PostCommand(IDM_ALERTS);
        HWND dialog = dialogs::WaitForWindow(AppState.MainWindow, "Alerts and Log");
        ASSERT_NE(dialog, (HWND)NULL);
        const struct {
            const char* typed;
            const char* problem;
        } refused[] = {
            {" ", "Run on each scan: the command line names no program"},
            {"\"C:\\p.exe {rdns}", "Run on each scan: a quote is not closed"},
        };
        for (const auto& r : refused) {
            SCOPED_TRACE(r.typed);
            SetDlgItemTextA(dialog, IDC_AL_PROGRAM, r.typed);
            dialogs::Click(dialog, IDC_AL_OK);
            EXPECT_EQ(ItemText(dialog, IDC_AL_PROBLEM), r.problem);
            EXPECT_TRUE(IsWindow(dialog));
            EXPECT_STREQ(AppState.RunOnScan, "");
        }
        SetDlgItemTextA(dialog, IDC_AL_PROGRAM, "p \"a b\" {rdns}");
        dialogs::Click(dialog, IDC_AL_RUNUNVERIFIED);
        dialogs::Click(dialog, IDC_AL_OK);
        dialogs::WaitGone(dialog);
    });
    EXPECT_STREQ(AppState.RunOnScan, "p \"a b\" {rdns}");
    EXPECT_EQ(AppState.RunOnUnverified, 1);
}

} // namespace
