// Trusted callers: the strict entry parse, prefix matching, and the fills
// from the registry's multi-string and from the dialog's lines with their
// report of refused entries.
#include <stdint.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "guarded.h"
#include "pure/trusted.h"

namespace {

NetAddress V6(std::initializer_list<unsigned> groups, uint32_t zone = 0)
{
    uint8_t bytes[16] = {};
    size_t i = 0;
    for (unsigned g : groups)
        bytes[i++] = (uint8_t)(g >> 8), bytes[i++] = (uint8_t)g;
    return NetAddressFromV6(bytes, zone);
}

// The entry as the list would show it again, or "refused".
std::string Shown(const std::string& entry)
{
    TrustedList list = {};
    if (!ParseTrustedEntry(entry.c_str(), &list.ranges[0]))
        return "refused";
    list.count = 1;
    char text[64];
    TrustedListText(list, text);
    return text;
}

TEST(ParseTrustedEntry, ReadsIPv6StrictlyAndShowsItCanonically)
{
    const std::string longLine = "1:" + std::string(100000, '0') + "::1";
    const struct {
        std::string entry, shown;
    } cases[] = {
        {"2001:db8::/32", "2001:db8::/32\r\n"},
        {"2001:DB8:0:0:0:0:0:1", "2001:db8::1\r\n"},
        {"2001:0db8:0000:0000:0000:ff00:0042:8329", "2001:db8::ff00:42:8329\r\n"},
        {"fe80::1234/10", "fe80::/10\r\n"}, // host bits cleared
        {"2001:db8:ffff::/33", "2001:db8:8000::/33\r\n"},
        {" \t::1\r\n", "::1\r\n"},
        {"::1/128", "::1\r\n"},
        {"::/0", "::/0\r\n"},
        {"1::", "1::\r\n"},
        {"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0\r\n"},
        {"::2:3:4:5:6:7:8", "0:2:3:4:5:6:7:8\r\n"},
        {"1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:102:304\r\n"},
        {"::ffff:1.2.3.4", "1.2.3.4\r\n"}, // mapped callers match as IPv4
        {"::ffff:10.1.2.3/104", "10.0.0.0/8\r\n"},
        {"::ffff:0:0/95", "::fffe:0:0/95\r\n"},
        {":::", "refused"},
        {"1::2::3", "refused"},
        {"12345::", "refused"},
        {"g::1", "refused"},
        {"::1/129", "refused"},
        {"::1/01", "refused"},
        {"::1/1280", "refused"},
        {"1:2:3:4:5:6:7:8:9", "refused"},
        {"1:2:3:4:5:6:7", "refused"},
        {"1:2:3:4:5:6:7:8::", "refused"},
        {"::1:2:3:4:5:6:7:8", "refused"},
        {":1::", "refused"},
        {"1::2:", "refused"},
        {"::ffff:1.2.3", "refused"},
        {"::ffff:1.2.3.04", "refused"},
        {"::1.2.3.4:5", "refused"},
        {"1:2:3:4:5:6:7:1.2.3.4", "refused"},
        {":: 1", "refused"},
        {"::1 /64", "refused"},
        {"::1%3", "refused"},
        {"0x1::", "refused"},
        {longLine, "refused"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entry.substr(0, 40));
        EXPECT_EQ(Shown(c.entry), c.shown);
    }
}

TEST(IsTrustedAddress, KeepsTheFamiliesApartButForMappedCallers)
{
    const NetAddress mapped10 = V6({0, 0, 0, 0, 0, 0xffff, 0x0A00, 1});
    const struct {
        const char* entry;
        NetAddress caller;
        bool trusted;
    } cases[] = {
        {"2001:db8::/32", V6({0x2001, 0xdb8, 0xffff, 0, 0, 0, 0, 9}), true},
        {"2001:db8::/32", V6({0x2001, 0xdb9, 0, 0, 0, 0, 0, 9}), false},
        {"2001:db8:8000::/33", V6({0x2001, 0xdb8, 0x7fff, 0, 0, 0, 0, 9}), false},
        {"2001:db8:8000::/33", V6({0x2001, 0xdb8, 0x8000, 0, 0, 0, 0, 9}), true},
        {"fe80::/10", V6({0xfebf, 0, 0, 0, 0, 0, 0, 1}, 12), true}, // zone ignored
        {"fe80::/10", V6({0xfec0, 0, 0, 0, 0, 0, 0, 1}), false},
        {"::1", V6({0, 0, 0, 0, 0, 0, 0, 1}), true},
        {"::/0", NetAddressFromV4Host(0x0A000001), false},
        {"::/0", mapped10, false},
        {"0.0.0.0/0", V6({0, 0, 0, 0, 0, 0, 0x0A00, 1}), false}, // IPv4-compatible
        {"0.0.0.0/0", V6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 1}), false},
        {"10.0.0.0/8", mapped10, true},
        {"::ffff:10.0.0.0/104", mapped10, true},
        {"::ffff:0:0/95", mapped10, false},
    };
    for (const auto& c : cases) {
        char caller[kNetAddressTextSize];
        FormatNetAddress(c.caller, caller);
        SCOPED_TRACE(std::string(c.entry) + " against " + caller);
        TrustedList list = {};
        ASSERT_TRUE(ParseTrustedEntry(c.entry, &list.ranges[0]));
        list.count = 1;
        EXPECT_EQ(IsTrustedAddress(list, c.caller), c.trusted);
    }
    // The host-order IPv4 matcher passes IPv6 entries by.
    TrustedList list = {};
    ASSERT_TRUE(ParseTrustedEntry("::/0", &list.ranges[0]));
    list.count = 1;
    EXPECT_FALSE(IsTrusted(list, 0));
}

TEST(ParseTrustedEntry, RefusesAnythingButDottedQuadsAndPrefixes)
{
    const char* const refused[] = {
        "10.0.0",      " \t ",        "10.0.0.1.2",   "10.0.0.256",   "010.0.0.1",   "10.0.0.00",
        "1000.0.0.1",  "+10.0.0.1",   "10.0.-0.1",    "10 .0.0.1",    "10..0.1",     "10.0.0.1.",
        "0x0A.0.0.1",  "10.0.0.1x",   "10.0.0.1/",    "10.0.0.1/33",  "10.0.0.1/+8", "10.0.0.1/08",
        "10.0.0.1/ 8", "10.0.0.1 /8", "10.0.0.1/8/8", "10.0.0.1/100", "10.0.0.1/8 x"};
    for (const char* text : refused) {
        SCOPED_TRACE(text);
        TrustedRange r;
        EXPECT_FALSE(ParseTrustedEntry(text, &r));
    }
}

TEST(IsTrusted, MatchesByExactPrefixLength)
{
    const struct {
        const char* entry;
        uint32_t address;
        bool trusted;
    } cases[] = {
        {" \t10.0.0.1\r\n", 0x0A000001, true}, {"10.0.0.1", 0x0A00000A, false},
        {"10.0.0.0/24", 0x0A0000FF, true},     {"10.0.0.0/24", 0x0A000100, false},
        {"10.0.0.0/24", 0x09FFFFFF, false},    {"0.0.0.0/0", 0xFFFFFFFF, true},
        {"1.2.3.4/32", 0x01020305, false},     {"10.9.9.9/8", 0x0AC80001, true},
        {"10.0.0.0/31", 0x0A000001, true},     {"10.0.0.0/31", 0x0A000002, false},
        {"192.168.7.9/23", 0xC0A80600, true},  {"192.168.7.9/23", 0xC0A80800, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.entry) + " against " + std::to_string(c.address));
        TrustedList list = {};
        ASSERT_TRUE(ParseTrustedEntry(c.entry, &list.ranges[0]));
        list.count = 1;
        EXPECT_EQ(IsTrusted(list, c.address), c.trusted);
    }
}

TEST(ParseTrusted, FillsTheListAndNamesRefusedEntries)
{
    const int kText = 2;
    using namespace std::string_literals;
    const std::string abc = "aaaa\nbbbb\ncccc", x200(200, 'x');
    std::string many; // six more than the list holds
    for (size_t i = 0; i < kTrustedCap + 6; ++i)
        many += "10.0.0." + std::to_string(i) + "\n";
    const struct {
        const char* name;
        std::string data; // for the multi-string, every byte the registry gave
        int how;          // false: multi-string, true: the dialog's lines, kText: a plain value
        size_t reportSize, kept;
        uint32_t invalid, dropped;
        const char* report;
    } cases[] = {
        {"terminated", "10.0.0.1\0bad\0 1.2.3.0/24 \0\0"s, false, 64, 2, 1, 0, "bad"},
        {"no terminators", "10.0.0.1\0bad"s, false, 64, 1, 1, 0, "bad"},
        {"empty entry ends it", "x\0\0 10.0.0.1\0\0"s, false, 64, 0, 1, 0, "x"},
        {"blank skipped", " \t\0y\0 10.0.0.1\0"s, false, 64, 1, 1, 0, "y"},
        {"control bytes", "a\tb\x01\x7f\0"s, false, 64, 0, 1, 0, "a?b??"},
        {"IPv6 and a NUL inside", "::1\0fe80::\0/10\0"s, false, 64, 2, 1, 0, "/10"},
        {"IPv6 lines", "2001:db8::/32\r\n::1%3\r\n::1"s, true, 64, 2, 1, 0, "::1%3"},
        {"nothing", ""s, false, 64, 0, 0, 0, ""},
        {"CR LF lines", "10.0.0.1\r\n\r\n  \n010.1.1.1\r\nz\n1.2.3.4"s, true, 64, 2, 2, 0,
         "010.1.1.1, z"},
        {"beyond the cap", many, true, 64, kTrustedCap, 0, 6, ""},
        {"report just fits", abc, true, 17, 0, 3, 0, "aaaa, bbbb, cccc"},
        {"one byte short", abc, true, 16, 0, 3, 0, "aaaa, bbbb, ..."},
        {"the mark needs room", abc, true, 15, 0, 3, 0, "aaaa, ..."},
        {"no whole entry and mark", abc, true, 8, 0, 3, 0, "aaaa..."},
        {"one long entry", x200, true, 10, 0, 1, 0, "xxxxxx..."},
        {"one byte", x200, true, 1, 0, 1, 0, ""},
        {"text, every separator", "10.0.0.1, 10.0.0.2,10.0.0.3\r\n::1\t10.0.0.0/8 ,,"s, kText, 64,
         5, 0, 0, ""},
        {"text, bad entry", "10.0.0.1 bad;x 1.2.3.4"s, kText, 64, 2, 1, 0, "bad;x"},
        {"text ends at its zero", "10.0.0.1\0 bad"s, kText, 64, 1, 0, 0, ""},
        {"text without a terminator", "bad"s, kText, 64, 0, 1, 0, "bad"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TrustedList list = {};
        list.count = 5;
        std::vector<char> mem(c.reportSize + kGuardBytes, kGuardByte);
        // Exactly the registry's bytes, so reading one past them is caught.
        const std::vector<char> bytes(c.data.begin(), c.data.end());
        const TrustedReport r =
            c.how == kText
                ? ParseTrustedText(bytes.data(), bytes.size(), &list, mem.data(), c.reportSize)
            : c.how == 1
                ? ParseTrustedLines(c.data.c_str(), &list, mem.data(), c.reportSize)
                : ParseTrustedMulti(bytes.data(), bytes.size(), &list, mem.data(), c.reportSize);
        EXPECT_EQ(list.count, c.kept);
        EXPECT_EQ(r.invalid, c.invalid);
        EXPECT_EQ(r.dropped, c.dropped);
        EXPECT_STREQ(mem.data(), c.report);
        EXPECT_TRUE(GuardIntact(mem, c.reportSize));
    }
}

TEST(TrustedListText, RoundTripsBothFamilies)
{
    const char* lines = "10.0.0.0/8\r\n2001:db8::/32\r\nfe80::/10\r\n::1\r\n"
                        "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fff0/127\r\n";
    TrustedList list = {};
    char invalid[64];
    ASSERT_EQ(ParseTrustedLines(lines, &list, invalid, sizeof invalid).invalid, 0u);
    char text[512], multi[512];
    TrustedListText(list, text);
    EXPECT_STREQ(text, lines);
    const size_t bytes = TrustedListMulti(list, multi, sizeof multi);
    TrustedList again = {};
    ParseTrustedMulti(multi, bytes, &again, invalid, sizeof invalid);
    TrustedListText(again, text);
    EXPECT_STREQ(text, lines);
}
} // namespace
