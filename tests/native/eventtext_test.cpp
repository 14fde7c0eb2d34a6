// The Event Log's insertion strings: each field of a scan record in its
// place, names and unknowns as the sentences expect them, '%' spelt out
// whatever the room, and the reasons a write can fail.
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pure/errortext.h"
#include "pure/eventtext.h"
#include "pure/text.h"

namespace {

uint32_t Address(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    uint32_t value = 0;
    const uint8_t bytes[4] = {a, b, c, d};
    memcpy(&value, bytes, 4); // network byte order, as the record keeps it
    return value;
}

ScanRecord Record(ScanKind kind)
{
    ScanRecord r = {};
    r.kind = kind;
    r.caller = Address(203, 0, 113, 5);
    r.callerPort = 51234;
    r.local = Address(192, 168, 1, 2);
    r.port = 31337;
    r.highPort = 31337;
    r.portCount = 1;
    r.countExact = true;
    TextCopy(r.time, "2026-12-08T14:24:08+01:00");
    return r;
}

std::vector<std::string> Strings(const ScanRecord& record, const char* rdns)
{
    ScanEventStrings strings;
    BuildScanEventStrings(record, rdns, &strings);
    const char* list[kScanEventStrings];
    ScanEventStringList(strings, list);
    return std::vector<std::string>(list, list + kScanEventStrings);
}

using Fields = std::vector<std::string>;

TEST(ScanEventStrings, EachKindPutsItsFieldsInTheirPlaces)
{
    ScanRecord sweep = Record(kScanSweep);
    sweep.callerPort = 0;
    sweep.port = 1;
    sweep.highPort = 1024;
    sweep.portCount = 12;
    ScanRecord inexact = sweep;
    inexact.countExact = false;
    ScanRecord trusted = Record(kScanStealth);
    trusted.trusted = true;
    const char* t = "2026-12-08T14:24:08+01:00";
    struct Case {
        const char* name;
        ScanRecord record;
        const char* rdns;
        Fields fields;
    } cases[] = {
        {"connect, named",
         Record(kScanConnect),
         "host.example",
         {"203.0.113.5", "51234", "192.168.1.2", "31337", "host.example", t, "connect", "1",
          "31337"}},
        {"connect, no name",
         Record(kScanConnect),
         "",
         {"203.0.113.5", "51234", "192.168.1.2", "31337", "-", t, "connect", "1", "31337"}},
        {"connect, no answer",
         Record(kScanConnect),
         nullptr,
         {"203.0.113.5", "51234", "192.168.1.2", "31337", "-", t, "connect", "1", "31337"}},
        {"gone",
         Record(kScanGone),
         nullptr,
         {"-", "-", "-", "31337", "-", t, "gone", "1", "31337"}},
        {"stealth, trusted",
         trusted,
         "a.example",
         {"203.0.113.5", "51234", "192.168.1.2", "31337", "a.example", t, "stealth", "1", "31337"}},
        {"sweep",
         sweep,
         "",
         {"203.0.113.5", "-", "192.168.1.2", "1", "-", t, "sweep", "12", "1024"}},
        {"sweep, inexact",
         inexact,
         "",
         {"203.0.113.5", "-", "192.168.1.2", "1", "-", t, "sweep", "up to 12", "1024"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Strings(c.record, c.rdns), c.fields);
    }
}

TEST(ScanEventStrings, ACallersNameKeepsNoPercentSequence)
{
    Fields fields = Strings(Record(kScanConnect), "%1%%2.evil\\\\x25");
    EXPECT_EQ(fields[4], "\\x251\\x25\\x252.evil\\\\x25");
    // The longest escaped name fits whole.
    std::string longest(255 * 4, 'a');
    EXPECT_EQ(Strings(Record(kScanConnect), longest.c_str())[4], longest);
}

TEST(NeutralisePercent, SpellsOutEveryPercentAndNeverCutsAnEscape)
{
    struct Case {
        const char* text;
        size_t size;
        const char* out;
    } cases[] = {
        {"plain text", 64, "plain text"},
        {"", 64, ""},
        {"100%", 64, "100\\x25"},
        {"%%1 and %1", 64, "\\x25\\x251 and \\x251"},
        {"ab%", 6, "ab"}, // "ab\\x25" needs 7 bytes: the escape is left out whole
        {"ab%", 7, "ab\\x25"},
        {"abcdef", 4, "abc"},
        {"%", 1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " in " + std::to_string(c.size));
        std::vector<char> out(c.size + 1, '#');
        size_t length = NeutralisePercentN(c.text, out.data(), c.size);
        EXPECT_STREQ(out.data(), c.out);
        EXPECT_EQ(length, strlen(c.out));
        EXPECT_EQ(out[c.size], '#') << "written past the room";
    }
    char none[1] = {'#'};
    EXPECT_EQ(NeutralisePercentN("x", none, 0), 0u);
    EXPECT_EQ(none[0], '#');
}

TEST(EventLogErrorText, NamesTheServiceAndTheLogAndOtherwiseUnknown)
{
    EXPECT_STREQ(EventLogErrorText(5), "Access denied");
    EXPECT_STREQ(EventLogErrorText(1502), "Event log full");
    EXPECT_STREQ(EventLogErrorText(1722), "Event Log service not running");
    EXPECT_STREQ(EventLogErrorText(6), "Event source not open");
    for (unsigned long code : {0ul, 2ul, 1504ul, 0xFFFFFFFFul})
        EXPECT_STREQ(EventLogErrorText(code), "Unknown error") << code;
}

} // namespace
