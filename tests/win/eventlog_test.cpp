// The Windows Event Log output in-process: a recorder stands in for
// ReportEventA, so each event's id, type and strings can be read, and the
// sentence Event Viewer would show is formatted from the message table this
// exe links, as harbinel.exe does.
#include "harness.h"

#include <string>
#include <vector>

#include "log/log.h"
#include "messages.h"
#include "outputs/outputs.h"
#include "pure/text.h"

using namespace harness;

namespace {

struct EventCall {
    WORD type;
    DWORD id;
    std::vector<std::string> strings;
};

std::vector<EventCall> recorded;
DWORD failWith = 0; // the recorder fails with this last error when not 0

bool RecordEvent(HANDLE source, WORD type, DWORD id, WORD count, const char** strings)
{
    EXPECT_NE(source, (HANDLE)NULL);
    recorded.push_back({type, id, std::vector<std::string>(strings, strings + count)});
    SetLastError(failWith);
    return failWith == 0;
}

std::string Sentence(DWORD id, const std::vector<std::string>& strings)
{
    return EventSentence(GetModuleHandleA(NULL), id, strings);
}

ScanRecord Scan(ScanKind kind)
{
    ScanRecord r = {};
    r.kind = kind;
    r.caller = NetAddressFromV4(inet_addr("203.0.113.5"));
    r.callerPort = 51234;
    r.local = NetAddressFromV4(inet_addr("127.0.0.1"));
    r.port = r.highPort = 31337;
    r.portCount = 1;
    r.countExact = true;
    TextCopy(r.time, "2026-12-08T14:24:08+01:00");
    return r;
}

class EventLogTest : public AppTest {
  protected:
    void SetUp() override
    {
        AppTest::SetUp();
        recorded.clear();
        failWith = 0;
        AppState.EventWrite = RecordEvent;
    }
    void TearDown() override
    {
        EventLogStop();
        AppTest::TearDown();
    }
};

TEST_F(EventLogTest, EachEventHasItsIdTypeAndSentence)
{
    ScanRecord sweep = Scan(kScanSweep);
    sweep.port = 1;
    sweep.highPort = 1024;
    sweep.portCount = 12;
    sweep.countExact = false;
    ScanRecord trusted = Scan(kScanConnect);
    trusted.trusted = true;
    const std::string t = ". Time: 2026-12-08T14:24:08+01:00.";
    const std::string known = t + " Trojans using the port: Back Orifice.";
    struct Case {
        const char* name;
        std::function<void()> report;
        WORD type;
        DWORD id, shown;
        std::string sentence;
    } cases[] = {
        {"connect, a name with %1 in it",
         [] { EventLogScanNamed(Scan(kScanConnect), "h%1.example"); }, EVENTLOG_WARNING_TYPE,
         MSG_SCAN, 1000,
         "Scan from 203.0.113.5 port 51234 on 127.0.0.1 port 31337. Host name: h\\x251.example" +
             known},
        {"gone", [] { EventLogScanNamed(Scan(kScanGone), nullptr); }, EVENTLOG_WARNING_TYPE,
         MSG_SCAN_GONE, 1001,
         "Scan on port 31337 from a caller that hung up before it could be accepted, so its "
         "address is unknown" +
             known},
        {"stealth, no answer", [] { EventLogScanNamed(Scan(kScanStealth), nullptr); },
         EVENTLOG_WARNING_TYPE, MSG_STEALTH_SCAN, 1002,
         "Stealth scan from 203.0.113.5 port 51234 on 127.0.0.1 port 31337, seen only from its "
         "packets. Host name: -" +
             known},
        {"sweep", [&] { EventLogScanNamed(sweep, ""); }, EVENTLOG_WARNING_TYPE, MSG_PORT_SWEEP,
         1003,
         "Port sweep from 203.0.113.5 on 127.0.0.1: up to 12 ports, 1 to 1024. Host name: -" + t},
        {"trusted", [&] { EventLogScanNamed(trusted, "a.example"); }, EVENTLOG_INFORMATION_TYPE,
         MSG_TRUSTED_SCAN, 1004,
         "Scan (connect) from the trusted caller 203.0.113.5 port 51234 on 127.0.0.1 port 31337; 1 "
         "ports up to 31337. Host name: a.example" +
             known},
        {"listening", [] { EventLogListening(2); }, EVENTLOG_INFORMATION_TYPE, MSG_LISTENING, 1010,
         "Listening on 2 ports. Harbinel reports every connection to them as a scan."},
        {"stopped", [] { EventLogStopped("Listening stopped"); }, EVENTLOG_INFORMATION_TYPE,
         MSG_STOPPED, 1011, "Harbinel no longer watches its ports: Listening stopped."},
        {"error", [] { EventLogError("Syslog error: %%1 100%"); }, EVENTLOG_ERROR_TYPE, MSG_ERROR,
         1020, "Syslog error: \\x25\\x251 100\\x25"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        recorded.clear();
        c.report();
        ASSERT_EQ(recorded.size(), 1u);
        EXPECT_EQ(recorded[0].type, c.type);
        EXPECT_EQ(recorded[0].id, c.id);
        EXPECT_EQ(recorded[0].id & 0xFFFF, c.shown) << "the id Event Viewer shows";
        EXPECT_EQ(Sentence(recorded[0].id, recorded[0].strings), c.sentence);
    }
    // A scan's strings are the record's fields, in the same places for all.
    EXPECT_EQ(Sentence(MSG_SCAN, {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}),
              "Scan from 1 port 2 on 3 port 4. Host name: 5. Time: 6. Trojans using the port: 10.");
}

TEST_F(EventLogTest, SwitchedOffNothingIsWrittenNorRegistered)
{
    AppState.EventLog = 0;
    EventLogScanNamed(Scan(kScanConnect), "x");
    EventLogListening(1);
    EventLogStopped("Stop");
    EventLogError("e");
    EXPECT_TRUE(recorded.empty());
    EXPECT_EQ(AppState.EventSource, (HANDLE)NULL);
    AppState.EventLog = 1;
    EventLogListening(1);
    EXPECT_EQ(recorded.size(), 1u);
    EXPECT_NE(AppState.EventSource, (HANDLE)NULL);
    EventLogStop();
    EXPECT_EQ(AppState.EventSource, (HANDLE)NULL);
}

// A run of failed writes is one line; after a success the next failure is
// told again.
TEST_F(EventLogTest, FailuresAreLoggedOncePerRun)
{
    const std::string prefix = "Event Log error: ";
    failWith = 1502;
    EventLogListening(1);
    EventLogScanNamed(Scan(kScanConnect), nullptr);
    failWith = 0;
    EventLogListening(1);
    failWith = 1722;
    EventLogError("x");
    EventLogError("y");
    std::vector<std::string> errors;
    for (const std::string& line : LogLines())
        if (line.compare(0, prefix.size(), prefix) == 0)
            errors.push_back(line);
    EXPECT_EQ(errors, (std::vector<std::string>{prefix + "Event log full",
                                                prefix + "Event Log service not running"}))
        << LogDump();
    EXPECT_EQ(recorded.size(), 5u);
}

} // namespace
