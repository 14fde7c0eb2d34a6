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
    using namespace std::string_literals;
    const std::string abc = "aaaa\nbbbb\ncccc", x200(200, 'x');
    std::string many; // six more than the list holds
    for (size_t i = 0; i < kTrustedCap + 6; ++i)
        many += "10.0.0." + std::to_string(i) + "\n";
    const struct {
        const char* name;
        std::string data; // for the multi-string, every byte the registry gave
        bool lines;
        size_t reportSize, kept;
        uint32_t invalid, dropped;
        const char* report;
    } cases[] = {
        {"terminated", "10.0.0.1\0bad\0 1.2.3.0/24 \0\0"s, false, 64, 2, 1, 0, "bad"},
        {"no terminators", "10.0.0.1\0bad"s, false, 64, 1, 1, 0, "bad"},
        {"empty entry ends it", "x\0\0 10.0.0.1\0\0"s, false, 64, 0, 1, 0, "x"},
        {"blank skipped", " \t\0y\0 10.0.0.1\0"s, false, 64, 1, 1, 0, "y"},
        {"control bytes", "a\tb\x01\x7f\0"s, false, 64, 0, 1, 0, "a?b??"},
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
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TrustedList list = {};
        list.count = 5;
        std::vector<char> mem(c.reportSize + kGuardBytes, kGuardByte);
        // Exactly the registry's bytes, so reading one past them is caught.
        const std::vector<char> bytes(c.data.begin(), c.data.end());
        const TrustedReport r =
            c.lines
                ? ParseTrustedLines(c.data.c_str(), &list, mem.data(), c.reportSize)
                : ParseTrustedMulti(bytes.data(), bytes.size(), &list, mem.data(), c.reportSize);
        EXPECT_EQ(list.count, c.kept);
        EXPECT_EQ(r.invalid, c.invalid);
        EXPECT_EQ(r.dropped, c.dropped);
        EXPECT_STREQ(mem.data(), c.report);
        EXPECT_TRUE(GuardIntact(mem, c.reportSize));
    }
}

} // namespace
