// The Event Log's insertion strings: unknown fields and names as the
// sentences expect them, and '%' spelt out whatever the room.
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

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
    r.caller = NetAddressFromV4(Address(203, 0, 113, 5));
    r.callerPort = 51234;
    r.local = NetAddressFromV4(Address(192, 168, 1, 2));
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

// The fields' order and the sentences are checked on Windows; here, what
// each kind puts where a field is unknown, and names with '%'.
TEST(ScanEventStrings, UnknownFieldsAreDashesAndNamesKeepNoPercent)
{
    ScanRecord sweep = Record(kScanSweep);
    sweep.callerPort = 0;
    sweep.highPort = 1024;
    sweep.portCount = 12;
    sweep.countExact = false;
    const std::string t = "2026-12-08T14:24:08+01:00";
    using Fields = std::vector<std::string>;
    EXPECT_EQ(Strings(Record(kScanGone), nullptr),
              (Fields{"-", "-", "-", "31337", "-", t, "gone", "1", "31337", "Back Orifice"}));
    EXPECT_EQ(Strings(sweep, ""), (Fields{"203.0.113.5", "-", "192.168.1.2", "31337", "-", t,
                                          "sweep", "up to 12", "1024", "-"}));
    EXPECT_EQ(Strings(Record(kScanStealth), "%1%%2.x\\x25")[4], "\\x251\\x25\\x252.x\\x25");
    std::string longest(255 * 4, 'a'); // the longest escaped name fits whole
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

} // namespace
