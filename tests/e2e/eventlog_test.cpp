// The Windows Event Log from the outside: the message table of the built
// harbinel.exe read as Event Viewer reads it, and a real scan of a running
// harbinel.exe seen arriving at the Event Log. Wine keeps no Event Log; its
// ReportEventW prints the event's type and id on the advapi channel and each
// insertion string on the eventlog channel, which the test reads back from
// the output file the program shares with it.
#include "driver.h"

#include <string>
#include <vector>

namespace {

using namespace e2e;

TEST(EventLogMessages, TheExeCarriesASentenceForEachEvent)
{
    const std::vector<std::string> n = {"<1>", "<2>", "<3>", "<4>", "<5>",
                                        "<6>", "<7>", "<8>", "<9>", "<10>"};
    struct Case {
        DWORD id;
        const char* sentence;
    } cases[] = {
        {0x800003E8, "Scan from <1> port <2> on <3> port <4>. Host name: <5>. Time: <6>. "
                     "Trojans using the port: <10>."},
        {0x800003E9, "Scan on port <4> from a caller that hung up before it could be accepted, so "
                     "its address is unknown. Time: <6>. Trojans using the port: <10>."},
        {0x800003EA, "Stealth scan from <1> port <2> on <3> port <4>, seen only from its packets. "
                     "Host name: <5>. Time: <6>. Trojans using the port: <10>."},
        {0x800003EB,
         "Port sweep from <1> on <3>: <8> ports, <4> to <9>. Host name: <5>. Time: <6>."},
        {0x400003EC,
         "Scan (<7>) from the trusted caller <1> port <2> on <3> port <4>; <8> ports up "
         "to <9>. Host name: <5>. Time: <6>. Trojans using the port: <10>."},
        {0x400003F2, "<2>. Harbinel reports every connection to them as a scan."},
        {0x400003F3, "Harbinel no longer watches its ports: <1>."},
        {0xC00003FC, "<1>"},
        {0x80000406, "Harbinel blocked <1> in the Windows firewall: <2>."},
        {0x40000407, "Harbinel no longer blocks <1>: <2>."},
    };
    HMODULE exe = LoadLibraryExW(ProgramPath().c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(exe, (HMODULE)NULL) << Narrow(ProgramPath());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id & 0xFFFF);
        EXPECT_EQ(EventSentence(exe, c.id, n), c.sentence);
    }
    FreeLibrary(exe);
}

struct WineEvent {
    std::string type, id;
    std::vector<std::string> strings;
};

// The events in Wine's debug output: a "ReportEventW (source,type,category,
// id,..." line, then the event's strings, one L"..." line each.
std::vector<WineEvent> WineEvents(const std::string& output)
{
    std::vector<WineEvent> events;
    size_t start = 0;
    for (size_t end; (end = output.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = output.substr(start, end - start);
        size_t call = line.find(":advapi:ReportEventW (");
        size_t text = line.find(":eventlog:ReportEventW L\"");
        if (call != std::string::npos) {
            std::vector<std::string> fields;
            std::string rest = line.substr(call + 22);
            for (size_t comma; (comma = rest.find(',')) != std::string::npos;
                 rest.erase(0, comma + 1))
                fields.push_back(rest.substr(0, comma));
            if (fields.size() >= 4)
                events.push_back({fields[1], fields[3], {}});
        } else if (text != std::string::npos && !events.empty()) {
            std::string quoted = line.substr(text + 25);
            events.back().strings.push_back(quoted.substr(0, quoted.rfind('"')));
        }
    }
    return events;
}

class EventLogE2E : public HarbinelTest {};

// A scan is a warning, a trusted caller's is information; both carry the
// record's strings, after the listening event.
TEST_F(EventLogE2E, RealScansReachTheEventLog)
{
    ASSERT_NE(_wgetenv(L"HARBINEL_WINE_OUTPUT"), nullptr) << "run this through wine-run.sh";
    const size_t before = WineStandardError().size();
    auto output = [&] { return WineStandardError().substr(before); };
    program_.SetWineDebug(L"-all,fixme+advapi,+eventlog");
    WriteMultiText(kValueTrusted, {"127.0.0.4"});
    const int port = ListenOnOnePortKeepingCallers();

    struct Case {
        const char* from;
        const char *id, *type;
    } cases[] = {{"127.0.0.3", "0x800003e8", "0x0002"}, {"127.0.0.4", "0x400003ec", "0x0004"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.from);
        Caller caller;
        ASSERT_TRUE(caller.ConnectFrom(c.from, port));
        // The scan waits for the caller's name, 5 s at most.
        WineEvent scan;
        auto arrived = [&] {
            for (const WineEvent& e : WineEvents(output()))
                if (e.id == c.id && e.strings.size() == 10 && e.strings[0] == c.from) {
                    scan = e;
                    return true;
                }
            return false;
        };
        ASSERT_TRUE(PumpUntil(arrived, 3 * kDeadlineMs)) << output();
        EXPECT_EQ(scan.type, c.type);
        EXPECT_EQ(scan.strings[1], std::to_string(caller.LocalPort()));
        EXPECT_EQ(scan.strings[3], std::to_string(port));
        EXPECT_EQ(scan.strings[6], "connect");
    }

    std::vector<WineEvent> events = WineEvents(output());
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0].id, "0x400003f2");
    EXPECT_EQ(events[0].type, "0x0004");
    EXPECT_EQ(events[0].strings, (std::vector<std::string>{"1", "Listening on 1 port"}));
}

} // namespace
