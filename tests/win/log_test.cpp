// The log list in-process: AddLogLine and the newest-twelve view, eviction
// of the oldest lines when the list has no room (a list that runs out of
// room on demand), a connection's address line index, and reverse-lookup
// answers placed under their own address lines.
#include "harness.h"

#include <limits.h>
#include <string>
#include <vector>

#include "app/app.h"
#include "log/log.h"
#include "monitor/monitor.h"
#include "outputs/outputs.h"
#include "resource.h"

using namespace harness;

namespace {

void AddLines(const std::string& stem, int n)
{
    for (int i = 0; i < n; ++i)
        AddLogLine((stem + std::to_string(i)).c_str());
}

void Tag(int index, LRESULT data)
{
    SendMessageA(AppState.LogList, LB_SETITEMDATA, (WPARAM)index, data);
}

void SetTop(int index)
{
    SendMessageA(AppState.LogList, LB_SETTOPINDEX, (WPARAM)index, 0);
}

class LogListTest : public AppTest {};

TEST_F(LogListTest, AddLogLineCopiesTheTextAndReturnsItsIndex)
{
    char buffer[16] = "first";
    EXPECT_EQ(AddLogLine(buffer), 0);
    lstrcpyA(buffer, "changed");
    EXPECT_EQ(AddLogLine("second"), 1);
    EXPECT_EQ(AddLogLine(""), 2);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"first", "second", ""}));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(LogItemData(i), 0) << i;
}

TEST_F(LogListTest, TheNewestTwelveLinesStayInView)
{
    for (int n = 1; n <= 12; ++n) {
        AddLogLine(("line " + std::to_string(n)).c_str());
        EXPECT_EQ(LogTopIndex(), 0) << "after " << n << " lines";
    }
    for (int n = 13; n <= 20; ++n) {
        AddLogLine(("line " + std::to_string(n)).c_str());
        EXPECT_EQ(LogTopIndex(), n - 12) << "after " << n << " lines";
    }
    // A user who scrolled back to the oldest line is brought back.
    SetTop(0);
    ASSERT_EQ(LogTopIndex(), 0);
    AddLogLine("line 21");
    EXPECT_EQ(LogTopIndex(), 9);
}

// ---- A list that runs out of room ---------------------------------------------

// Wraps the log list: answers LB_ADDSTRING with LB_ERRSPACE while the list
// holds `capacity` lines or more, or for the next `refuseCount` lines that
// start with `refusePrefix`; everything else goes to the real list.
WNDPROC realListProc = NULL;
int capacity = INT_MAX;
std::string refusePrefix;
int refuseCount = 0;
std::vector<std::string> listOps;

LRESULT CALLBACK LimitedListProc(HWND w, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == LB_ADDSTRING) {
        LRESULT count = CallWindowProcA(realListProc, w, LB_GETCOUNT, 0, 0);
        bool refuse = count >= capacity;
        if (!refuse && refuseCount > 0 && StartsWith((const char*)lParam, refusePrefix)) {
            --refuseCount;
            refuse = true;
        }
        listOps.push_back(refuse ? "add refused" : "add");
        if (refuse)
            return LB_ERRSPACE;
    } else if (message == LB_DELETESTRING) {
        listOps.push_back("delete " + std::to_string(wParam));
    }
    return CallWindowProcA(realListProc, w, message, wParam, lParam);
}

class FullLogTest : public AppTest {
  protected:
    void SetUp() override
    {
        AppTest::SetUp();
        capacity = INT_MAX;
        refusePrefix.clear();
        refuseCount = 0;
        listOps.clear();
        realListProc =
            (WNDPROC)SetWindowLongPtrA(AppState.LogList, GWLP_WNDPROC, (LONG_PTR)LimitedListProc);
    }
    void TearDown() override
    {
        SetWindowLongPtrA(AppState.LogList, GWLP_WNDPROC, (LONG_PTR)realListProc);
        AppTest::TearDown();
    }
};

TEST_F(FullLogTest, OldestLinesGoOneAtATimeUntilTheNewLineFits)
{
    AddLines("L", 5);
    for (int i = 0; i < 5; ++i)
        Tag(i, 0x100 + i);
    listOps.clear();

    capacity = 5;
    EXPECT_EQ(AddLogLine("new"), 4);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"L1", "L2", "L3", "L4", "new"}));
    EXPECT_EQ(listOps, (std::vector<std::string>{"add refused", "delete 0", "add"}));
    EXPECT_EQ(LogItemData(4), 0);
    EXPECT_EQ(LogItemData(0), 0x101) << "the remaining lines keep their tags";

    listOps.clear();
    capacity = 3;
    EXPECT_EQ(AddLogLine("newer"), 2);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"L4", "new", "newer"}));
    EXPECT_EQ(listOps, (std::vector<std::string>{"add refused", "delete 0", "add refused",
                                                 "delete 0", "add refused", "delete 0", "add"}));
    EXPECT_EQ(LogItemData(2), 0);
    EXPECT_EQ(LogItemData(0), 0x104);
}

TEST_F(FullLogTest, ANewLineThatNeverFitsIsDropped)
{
    const struct {
        const char* name;
        int lines;
        int cap;
        std::vector<std::string> ops;
    } cases[] = {
        {"one line, room for one", 1, 1, {"add refused", "delete 0"}},
        {"three lines, room for none",
         3,
         0,
         {"add refused", "delete 0", "add refused", "delete 0", "add refused", "delete 0"}},
        {"empty, room for none", 0, 0, {"add refused", "delete 0"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        capacity = INT_MAX;
        SendMessageA(AppState.LogList, LB_RESETCONTENT, 0, 0);
        AddLines("old ", c.lines);
        listOps.clear();
        capacity = c.cap;
        EXPECT_EQ(AddLogLine("dropped"), kNoLine);
        EXPECT_EQ(LogCount(), 0) << LogDump();
        EXPECT_EQ(listOps, c.ops);
    }
}

TEST_F(FullLogTest, EvictedLineWithAPendingLookupGetsNoAnswer)
{
    AddLines("L", 4);
    const HANDLE lookup = (HANDLE)0x7A01;
    Tag(0, (LRESULT)lookup);
    capacity = 4;
    AddLogLine("pushes L0 out");
    capacity = INT_MAX;
    OnHostResolved(lookup, WSAHOST_NOT_FOUND);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"L1", "L2", "L3", "pushes L0 out"}));
}

// The index of the line tagged `tag`, or -1.
int TaggedLine(LineTag tag)
{
    for (int i = 0; i < LogCount(); ++i)
        if (LogItemData(i) == (LRESULT)tag)
            return i;
    return -1;
}

// LogScan's tag still designates the address line when adding the
// timestamp line made the list drop its oldest lines.
TEST_F(FullLogTest, ScanTagFollowsTheAddressLine)
{
    ScanRecord record = NewScanRecord(kScanConnect);
    record.caller = NetAddressFromV4(htonl(INADDR_LOOPBACK));
    record.callerPort = 1033;
    record.local = NetAddressFromV4(htonl(0x7F000002));
    record.port = 4444; // no trojan's: the address line is the last detail line

    for (int dropped = 0; dropped <= 3; ++dropped) {
        SCOPED_TRACE(std::to_string(dropped) + " line(s) dropped for the timestamp");
        SendMessageA(AppState.LogList, LB_RESETCONTENT, 0, 0);
        AddLines("older ", 6);
        refusePrefix = kTimestampPrefix;
        refuseCount = dropped;
        LineTag tag = LogScan(record);
        int index = TaggedLine(tag);
        EXPECT_NE(tag, 0u);
        EXPECT_EQ(index, 7 - dropped);
        EXPECT_EQ(LogCount(), 9 - dropped);
        EXPECT_EQ(LogLine(index), "   Accept: 127.0.0.1:1033 -> 127.0.0.2:4444");
        EXPECT_TRUE(StartsWith(LogLine(index + 1), kTimestampPrefix)) << LogDump();
    }
}

// ---- Reverse lookup answers ----------------------------------------------------

class LookupTest : public AppTest {};

TEST_F(LookupTest, AnswersGoUnderTheirOwnLinesInAnyOrder)
{
    AddLines("line ", 6);
    const HANDLE first = (HANDLE)0x7001, second = (HANDLE)0x7002;
    Tag(1, (LRESULT)first);
    Tag(3, (LRESULT)second);
    OnHostResolved(second, WSAHOST_NOT_FOUND); // the later scan answers first
    OnHostResolved(first, WSANO_DATA);
    std::vector<std::string> want = {"line 0", "line 1", "   RDNS: No RDNS data available",
                                     "line 2", "line 3", "   RDNS: Host not found",
                                     "line 4", "line 5"};
    EXPECT_EQ(LogLines(), want);
    for (int i = 0; i < LogCount(); ++i)
        EXPECT_EQ(LogItemData(i), 0) << i;

    // A used or unknown handle finds no line.
    OnHostResolved(first, WSAHOST_NOT_FOUND);
    OnHostResolved((HANDLE)0x7003, 0);
    EXPECT_EQ(LogLines(), want);
}

// A resolver that holds every lookup until released, noting how many wait
// in it at once and the most there ever were.
HANDLE resolverGate;
LONG resolverInside, resolverMost;

int HeldResolver(const NetAddress& address, char* name, size_t size)
{
    LONG inside = InterlockedIncrement(&resolverInside);
    for (LONG most = resolverMost; inside > most; most = resolverMost)
        InterlockedCompareExchange(&resolverMost, inside, most);
    WaitForSingleObject(resolverGate, 20000);
    InterlockedDecrement(&resolverInside);
    snprintf(name, size, "host-%u.test", (unsigned)(NetAddressV4Host(address) & 0xFFFF));
    return 0;
}

int RdnsLines()
{
    return CountLinesStarting(LogLines(), std::string(kRdnsPrefix));
}

class HeldLookupTest : public LookupTest {
  protected:
    void PrepareSettings() override
    {
        ASSERT_TRUE(logs_.Create("harbinel-names-"));
        WriteText("LogFolder", logs_.Folder());
    }
    // Today's log file as it stands.
    std::string TodaysFile()
    {
        LogFileFlush();
        return ReadFileBytes(logs_.Path(TodaysLogFileName()));
    }
    TempFolder logs_;
    void SetUp() override
    {
        resolverGate = CreateEventA(NULL, TRUE, FALSE, NULL);
        resolverInside = resolverMost = 0;
        LookupTest::SetUp();
        AppState.ResolveAddress = HeldResolver;
    }
    void TearDown() override
    {
        SetEvent(resolverGate); // no worker is left waiting
        LookupTest::TearDown();
    }
    // A scan from 127.0.<n / 256>.<n % 256>, as a connection makes it.
    static void Scan(int n, ScanKind kind = kScanConnect)
    {
        ScanRecord record = NewScanRecord(kind);
        record.caller = NetAddressFromV4(htonl(0x7F000000u | (u_long)n));
        record.callerPort = 40000;
        record.local = NetAddressFromV4(htonl(INADDR_LOOPBACK));
        record.port = 4444; // no trojan's: the name goes right under the address
        ReportScan(record);
    }
    static std::string AddressLine(int n)
    {
        return "   Accept: 127.0." + std::to_string(n / 256) + "." + std::to_string(n % 256) +
               ":40000 -> 127.0.0.1:4444";
    }
};

// More distinct callers than lookups can run at once: the rest wait their
// turn, and every scan gets its own name under its own address line.
TEST_F(HeldLookupTest, CallersBeyondTheWorkersWaitAndAllGetTheirNames)
{
    const int callers = 20;
    for (int n = 1; n <= callers; ++n)
        Scan(n);
    ASSERT_TRUE(PumpUntil([] { return resolverInside == 8; })) << resolverInside;
    EXPECT_EQ(FindLogLine(kRdnsPrefix, true), -1) << LogDump();
    // Each scan's block moved the view once, to the newest twelve lines.
    EXPECT_EQ(LogTopIndex(), LogCount() - kVisibleLines);
    EXPECT_EQ(AppState.LogBatch, 0);
    SetEvent(resolverGate);
    ASSERT_TRUE(PumpUntil([] { return RdnsLines() == 20; })) << LogDump();
    EXPECT_EQ(resolverMost, 8);
    // Idle, the workers end and give their memory back.
    const int withWorkers = ThreadCount();
    EXPECT_TRUE(PumpUntil([&] { return ThreadCount() <= withWorkers - 8; }, 20000))
        << ThreadCount() << " threads of " << withWorkers;
    std::vector<std::string> want;
    for (int n = 1; n <= callers; ++n) {
        want.push_back(kScanDetected);
        want.push_back(AddressLine(n));
        want.push_back("   RDNS: host-" + std::to_string(n) + ".test");
    }
    std::vector<std::string> got;
    for (const std::string& line : LogLines())
        if (!StartsWith(line, kTimestampPrefix))
            got.push_back(line);
    EXPECT_EQ(got, want);
    EXPECT_EQ(AppState.HostLookupCount, 0);
}

// Only a full queue turns a caller away, with "Try again"; the ones that
// waited still get their names.
TEST_F(HeldLookupTest, AFullQueueSaysTryAgain)
{
    const int held = 8 + 256;
    for (int n = 1; n <= held + 1; ++n)
        Scan(n);
    const int turnedAway = FindLogLine(AddressLine(held + 1));
    ASSERT_GE(turnedAway, 0) << LogDump();
    EXPECT_EQ(LogLine(turnedAway + 1), "   RDNS: Try again");
    EXPECT_EQ(RdnsLines(), 1);
    SetEvent(resolverGate);
    ASSERT_TRUE(PumpUntil([&] { return RdnsLines() == held + 1; })) << RdnsLines();
    const int last = FindLogLine(AddressLine(held));
    ASSERT_GE(last, 0);
    EXPECT_EQ(LogLine(last + 1), "   RDNS: host-" + std::to_string(held) + ".test");
}

// Every answer reaches the day's file, and the window's line goes under its
// own address line wherever that line has moved, or nowhere once it left.
TEST_F(HeldLookupTest, EveryAnswerReachesTheFileAndItsOwnLine)
{
    const struct {
        const char* name;
        ScanKind kind;
        void (*before)(); // before the scan
        void (*after)();  // after the scan, before its answer
        int lineAt;       // where the answer shows in the window; -1: not there
    } cases[] = {
        {"a sweep logged as line 0", kScanSweep, [] { Command(IDM_CLEARLOG); }, [] {}, 1},
        {"the scan's line cleared away", kScanConnect, [] {}, [] { Command(IDM_CLEARLOG); }, -1},
        {"the scan's line pushed out of a full window", kScanConnect,
         [] {
             AppState.LogLines = kMinLogLines;
             AddLines("older ", kMinLogLines);
         },
         [] { AddLines("newer ", kMinLogLines); }, -1},
    };
    int n = 100;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ++n;
        ResetEvent(resolverGate);
        Command(IDM_CLEARLOG);
        c.before();
        Scan(n, c.kind);
        c.after();
        SetEvent(resolverGate);
        const std::string answer = "   RDNS: host-" + std::to_string(n) + ".test";
        ASSERT_TRUE(PumpUntil([&] { return AppState.HostLookupCount == 0; })) << LogDump();
        std::string file = TodaysFile();
        EXPECT_NE(file.find(answer + " (for 127.0.0." + std::to_string(n) + ")\r\n"),
                  std::string::npos)
            << file.substr(file.size() > 2000 ? file.size() - 2000 : 0);
        EXPECT_EQ(FindLogLine(answer), c.lineAt) << LogDump();
        if (c.lineAt > 0) {
            const std::string above = c.kind == kScanSweep ? "Port sweep" : AddressLine(n);
            EXPECT_TRUE(StartsWith(LogLine(c.lineAt - 1), above)) << LogDump();
        }
    }
}

TEST_F(LookupTest, EachErrorCodeHasItsText)
{
    const struct {
        int code;
        const char* line;
    } table[] = {
        {11001, "   RDNS: Host not found"},
        {11002, "   RDNS: Try again"},
        {11003, "   RDNS: Non-recoverable error"},
        {11004, "   RDNS: No RDNS data available"},
        {10060, "   RDNS: Unknown error"},
        {10055, "   RDNS: Unknown error"},
        {1, "   RDNS: Unknown error"},
    };
    LRESULT handle = 0x7100;
    for (const auto& row : table) {
        SCOPED_TRACE(row.code);
        int index = AddLogLine("address line");
        AddLogLine("timestamp line");
        Tag(index, ++handle);
        OnHostResolved((HANDLE)handle, row.code);
        EXPECT_EQ(LogLine(index + 1), row.line);
        EXPECT_EQ(LogLine(index + 2), "timestamp line");
    }
}

TEST_F(LookupTest, NothingIsInsertedAfterTheLogWasCleared)
{
    AddLines("line ", 3);
    const HANDLE lookup = (HANDLE)0x7201;
    Tag(1, (LRESULT)lookup);
    SendMessageA(AppState.MainWindow, WM_COMMAND, IDM_CLEARLOG, 0);
    ASSERT_EQ(LogCount(), 0);
    OnHostResolved(lookup, WSAHOST_NOT_FOUND);
    EXPECT_EQ(LogCount(), 0) << LogDump();
    AddLogLine("fresh");
    OnHostResolved(lookup, WSAHOST_NOT_FOUND);
    EXPECT_EQ(LogLines(), std::vector<std::string>{"fresh"});
}

TEST_F(LookupTest, InsertedAnswerKeepsTheNewestTwelveInView)
{
    AddLines("line ", 20);
    Tag(5, 0x7301);
    SetTop(0);
    OnHostResolved((HANDLE)0x7301, WSATRY_AGAIN);
    ASSERT_EQ(LogCount(), 21);
    EXPECT_EQ(LogLine(6), "   RDNS: Try again");
    EXPECT_EQ(LogTopIndex(), 9);

    // With twelve lines or fewer the view is not moved.
    SendMessageA(AppState.LogList, LB_RESETCONTENT, 0, 0);
    AddLines("line ", 11);
    Tag(2, 0x7302);
    OnHostResolved((HANDLE)0x7302, WSATRY_AGAIN);
    EXPECT_EQ(LogCount(), 12);
    EXPECT_EQ(LogTopIndex(), 0);
}

// A real lookup of a loopback caller: its answer lands directly under the
// caller's address line, above the timestamp line.
TEST_F(LookupTest, RealLookupOfLoopbackCallersLandsUnderTheirAddressLines)
{
    u_short port = FreePort();
    AddPortToList(port);
    SendMessageA(AppState.MainWindow, WM_COMMAND, IDC_LISTEN, 0);
    ASSERT_EQ(AppState.IsListening, 1);
    Caller first, second;
    // Both callers come from 127.0.0.1: one lookup serves both scans.
    ASSERT_TRUE(first.Connect(port));
    ASSERT_TRUE(second.Connect(port));
    ASSERT_TRUE(PumpUntil([] { return CountLines(LogLines(), kScanDetected) == 2; }));
    EXPECT_LE(AppState.HostLookupCount, 1);
    auto answers = [] {
        int n = 0;
        for (const std::string& line : LogLines())
            n += StartsWith(line, kRdnsPrefix);
        return n;
    };
    ASSERT_TRUE(PumpUntil([&] { return answers() == 2; }, kDeadlineMs)) << LogDump();
    for (const Caller* c : {&first, &second}) {
        std::string address = AcceptedFrom(c->LocalPort()) + " -> ";
        int line = FindLogLine(address, true);
        SCOPED_TRACE(address);
        ASSERT_GE(line, 1) << LogDump();
        EXPECT_EQ(LogLine(line - 1), kScanDetected);
        std::string answer = LogLine(line + 1);
        EXPECT_TRUE(StartsWith(answer, kRdnsPrefix)) << LogDump();
        EXPECT_GT(answer.size(), 9u) << "an empty answer";
        EXPECT_TRUE(StartsWith(LogLine(line + 2), kTimestampPrefix)) << LogDump();
    }
    for (int i = 0; i < LogCount(); ++i)
        EXPECT_EQ(LogItemData(i), 0) << i;
    first.WaitClosed(kDeadlineMs);
    second.WaitClosed(kDeadlineMs);

    // A minute has not passed: the next scan has its answer at once.
    Caller third;
    ASSERT_TRUE(third.Connect(port));
    ASSERT_TRUE(PumpUntil([] { return CountLines(LogLines(), kScanDetected) == 3; }));
    EXPECT_EQ(AppState.HostLookupCount, 0) << "a new lookup was started";
    int line = FindLogLine(AcceptedFrom(third.LocalPort()), true);
    ASSERT_GE(line, 0) << LogDump();
    EXPECT_EQ(LogLine(line + 1), LogLine(FindLogLine(AcceptedFrom(first.LocalPort()), true) + 1));
}

// Save Log writes beside the target and renames at the end: a failure says
// why in the log and leaves neither a part of the log nor a spoilt target.
TEST_F(LogListTest, SaveFailuresAreReportedAndLeaveNoPartialFile)
{
    AddLines("a line long enough to fill a small disk quickly: ", 3000);
    TempFolder temp;
    ASSERT_TRUE(temp.Create("harbinel-save-"));
    const std::string folder = temp.Folder();
    const std::string readOnly = temp.Path(std::string("kept.txt"));
    ASSERT_NO_FATAL_FAILURE(WriteFileBytes(readOnly, "kept\r\n"));
    SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_READONLY);
    const char* fullDisk = getenv("HARBINEL_FULL_DISK"); // a small disk the test script made
    struct {
        const char* name;
        std::string path;
        std::string kept; // what the target holds afterwards ("" when absent)
    } cases[] = {
        {"a folder that does not exist", folder + "\\missing\\log.txt", ""},
        {"a read-only target", readOnly, "kept\r\n"},
        {"a full disk", fullDisk ? std::string(fullDisk) + "\\log.txt" : "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.path.empty()) {
            printf("[ skipped  ] %s: HARBINEL_FULL_DISK names no small disk\n", c.name);
            continue;
        }
        const int before = LogCount();
        EXPECT_FALSE(WriteLogFile(AppState.LogList, c.path.c_str()));
        ASSERT_EQ(LogCount(), before + 1);
        EXPECT_TRUE(StartsWith(LogLine(before), "Save error: ")) << LogLine(before);
        EXPECT_NE(LogLine(before), "Save error: Unknown error");
        bool exists = false;
        EXPECT_EQ(ReadFileBytes(c.path, &exists), c.kept);
        EXPECT_EQ(exists, !c.kept.empty());
        // No temporary file is left beside the target.
        const std::string dir = c.path.substr(0, c.path.rfind('\\'));
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((dir + "\\hbl*.tmp").c_str(), &found);
        EXPECT_EQ(search, INVALID_HANDLE_VALUE) << found.cFileName;
        if (search != INVALID_HANDLE_VALUE)
            FindClose(search);
    }
    SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
    // And a save that can succeed does.
    EXPECT_TRUE(WriteLogFile(AppState.LogList, (folder + "\\whole.txt").c_str()));
}

} // namespace
