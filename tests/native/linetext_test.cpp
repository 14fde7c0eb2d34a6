// The texts built for log lines, for callers and for the port list: the
// warning with its CR LF, the count lines, the right-aligned port entries, the
// RDNS lines and the address line.
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "guarded.h"
#include "pure/linetext.h"
#include "pure/text.h"

namespace {

const char kWarning[] = "WARNING: Access attempt has been logged. Your ISP will be notified";

// ---- Warning text -------------------------------------------------------

TEST(BuildWarningText, DefaultIsTheFixedTextAndCrLf)
{
    EXPECT_STREQ(kDefaultWarning, kWarning);
    ASSERT_EQ(strlen(kWarning), 66u);
    char out[kSendBufferSize];
    int n = BuildWarningText(kMessageDefault, "custom text", out, sizeof out);
    EXPECT_EQ(n, 68);
    EXPECT_EQ(std::string(out, 68), std::string(kWarning) + "\r\n");
    EXPECT_EQ(out[68], '\0');
}

TEST(BuildWarningText, NoneSendsNothing)
{
    char out[kSendBufferSize];
    EXPECT_EQ(BuildWarningText(kMessageNone, "custom text", out, sizeof out), -1);
}

struct WarningCase {
    const char* name;
    int32_t type;
    const char* custom;
    const char* expected;
};

TEST(BuildWarningText, EveryOtherTypeSendsTheCustomText)
{
    const WarningCase cases[] = {
        {"custom", kMessageCustom, "Go away", "Go away\r\n"},
        {"custom, empty", kMessageCustom, "", "\r\n"},
        {"out of range 7", 7, "Go away", "Go away\r\n"},
        {"out of range -1", -1, "Go away", "Go away\r\n"},
        {"out of range 3", 3, "", "\r\n"},
    };
    for (const WarningCase& c : cases) {
        SCOPED_TRACE(c.name);
        char out[kSendBufferSize];
        int n = BuildWarningText(c.type, c.custom, out, sizeof out);
        EXPECT_EQ(n, (int)strlen(c.expected));
        EXPECT_STREQ(out, c.expected);
    }
}

TEST(BuildWarningText, LongestCustomTextFitsTheSendBuffer)
{
    const std::string custom(kCustomMessageSize - 1, 'a'); // 255 characters
    std::vector<char> mem(kSendBufferSize + kGuardBytes, kGuardByte);
    int n = BuildWarningText(kMessageCustom, custom.c_str(), mem.data(), kSendBufferSize);
    EXPECT_EQ(n, 257);
    EXPECT_EQ(std::string(mem.data(), 257), custom + "\r\n");
    EXPECT_EQ(mem[257], '\0');
    EXPECT_TRUE(GuardIntact(mem, kSendBufferSize));
}

TEST(BuildWarningText, SmallBufferIsNotOverrun)
{
    ExpectBoundedPrefixes(std::string(kWarning) + "\r\n", [](char* out, size_t size) {
        BuildWarningText(kMessageDefault, "", out, size);
    });
}

// ---- Count lines ----------------------------------------------------------

struct CountCase {
    const char* head;
    int32_t n;
    const char* expected;
};

TEST(BuildCountLine, PluralUnlessOne)
{
    const CountCase cases[] = {
        {"Listening on ", 1, "Listening on 1 port"},
        {"Listening on ", 2, "Listening on 2 ports"},
        {"Listening on ", 12, "Listening on 12 ports"},
        {"Listening on ", 21, "Listening on 21 ports"},
        {"Close: ", 0, "Close: 0 ports"},
        {"Close: ", 1, "Close: 1 port"},
        {"Close: ", 2, "Close: 2 ports"},
        {"Close: ", 11, "Close: 11 ports"},
    };
    for (const CountCase& c : cases) {
        SCOPED_TRACE(c.expected);
        char out[64];
        TextCopy(out, "previous text");
        BuildCountLine(c.head, c.n, out);
        EXPECT_STREQ(out, c.expected);
    }
}

TEST(BuildCountLine, SmallBufferIsNotOverrun)
{
    ExpectBoundedPrefixes("Listening on 65535 ports", [](char* out, size_t size) {
        BuildCountLineN("Listening on ", 65535, out, size);
    });
}

// ---- Port entries -----------------------------------------------------------

std::string PortEntry(int32_t port)
{
    char out[16];
    FormatPortEntry(port, out);
    return out;
}

struct EntryCase {
    int32_t port;
    const char* expected;
};

TEST(FormatPortEntry, RightAlignedInFiveCharacters)
{
    const EntryCase cases[] = {
        {0, "    0"},    {7, "    7"},    {80, "   80"},    {1024, " 1024"},
        {8080, " 8080"}, {9999, " 9999"}, {10000, "10000"}, {65535, "65535"},
    };
    for (const EntryCase& c : cases) {
        SCOPED_TRACE(c.port);
        EXPECT_EQ(PortEntry(c.port), c.expected);
    }
}

TEST(FormatPortEntry, OutOfRangeValuesAreWrittenAsTheyAre)
{
    const EntryCase cases[] = {
        {100000, "100000"},
        {-1, "   -1"},
        {INT32_MAX, "2147483647"},
        {INT32_MIN, "-2147483648"},
    };
    for (const EntryCase& c : cases) {
        SCOPED_TRACE(c.port);
        EXPECT_EQ(PortEntry(c.port), c.expected);
    }
}

TEST(FormatPortEntry, OutOfRangeValuesNeverOverrun)
{
    for (int32_t port : {100000, INT32_MAX, INT32_MIN}) {
        SCOPED_TRACE(port);
        ExpectBoundedPrefixes(PortEntry(port),
                              [&](char* out, size_t size) { FormatPortEntryN(port, out, size); });
    }
    // The entry's own six-byte buffer: a six-digit value is cut to five.
    char out[6];
    FormatPortEntry(123456, out);
    EXPECT_STREQ(out, "12345");
}

TEST(FormatPortEntry, SortingTheTextsSortsThePorts)
{
    std::vector<std::string> entries;
    for (int32_t port : {80, 8080, 1024, 7})
        entries.push_back(PortEntry(port));
    std::sort(entries.begin(), entries.end());
    const std::vector<std::string> expected = {"    7", "   80", " 1024", " 8080"};
    EXPECT_EQ(entries, expected);
}

TEST(FormatPortEntry, EveryPortSortsAfterTheOneBelowIt)
{
    std::string previous = PortEntry(0);
    for (int32_t port = 1; port <= 65535; ++port) {
        std::string entry = PortEntry(port);
        ASSERT_EQ(entry.size(), 5u) << "port " << port;
        ASSERT_LT(previous, entry) << "port " << port;
        previous = entry;
    }
}

// ---- RDNS lines -------------------------------------------------------------

struct RdnsCase {
    const char* name;
    int code;
    const char* expected;
};

TEST(BuildRdnsLine, HostNameOrReason)
{
    const RdnsCase cases[] = {
        {"success", 0, "   RDNS: host.example.net"},
        {"host not found", 11001, "   RDNS: Host not found"},
        {"try again", 11002, "   RDNS: Try again"},
        {"non-recoverable", 11003, "   RDNS: Non-recoverable error"},
        {"no data", 11004, "   RDNS: No RDNS data available"},
        {"buffer too small", 10055, "   RDNS: Unknown error"},
        {"next code up", 11005, "   RDNS: Unknown error"},
        {"code below the table", 11000, "   RDNS: Unknown error"},
        {"negative", -1, "   RDNS: Unknown error"},
    };
    for (const RdnsCase& c : cases) {
        SCOPED_TRACE(c.name);
        char out[300];
        TextCopy(out, "previous text");
        BuildRdnsLine(c.code, "host.example.net", out);
        EXPECT_STREQ(out, c.expected);
    }
}

TEST(BuildRdnsLine, LongestHostNameIsKept)
{
    const std::string host(255, 'h');
    char out[9 + 255 + 1];
    BuildRdnsLine(0, host.c_str(), out);
    EXPECT_EQ(std::string(out), "   RDNS: " + host);
}

// Whoever owns the caller's address writes its PTR record: a name that
// holds line breaks or control bytes must stay one line that says so.
TEST(BuildRdnsLine, HostileHostNameIsEscapedAsCallerData)
{
    const RdnsCase cases[] = {
        {"forged line", 0, "   RDNS: evil\\r\\nScan blocked"},
        {"terminal escape", 0, "   RDNS: \\x1B[2Jx"},
        {"backslash", 0, "   RDNS: a\\\\b"},
        {"tab and DEL", 0, "   RDNS: a\\tb\\x7F"},
        {"plain name", 0, "   RDNS: host-1.example.net"},
    };
    const char* names[] = {"evil\r\nScan blocked", "\x1B[2Jx", "a\\b", "a\tb\x7F",
                           "host-1.example.net"};
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(cases[i].name);
        char out[9 + 256];
        BuildRdnsLine(0, names[i], out);
        EXPECT_STREQ(out, cases[i].expected);
        EXPECT_EQ(strpbrk(out, "\r\n\x1B\x7F"), (char*)NULL);
    }
}

TEST(BuildRdnsLine, EscapedLongNameIsCutBeforeAnEscape)
{
    // 255 control bytes need 1020 characters: the line keeps whole escapes.
    const std::string host(255, '\x01');
    char out[9 + 256];
    BuildRdnsLine(0, host.c_str(), out);
    std::string line(out);
    ASSERT_EQ(line.rfind("   RDNS: ", 0), 0u);
    EXPECT_EQ((line.size() - 9) % 4, 0u) << line;
    EXPECT_LE(line.size(), sizeof out - 1);
    EXPECT_EQ(line.substr(line.size() - 4), "\\x01");
}

TEST(BuildRdnsLine, SmallBufferIsNotOverrun)
{
    ExpectBoundedPrefixes("   RDNS: No RDNS data available", [](char* out, size_t size) {
        BuildRdnsLineN(11004, "unused", out, size);
    });
}

// ---- The ports a Listen opened ----------------------------------------------------

TEST(BuildPortsLine, NamesUpToTwentyPortsThenCountsTheRest)
{
    std::vector<int32_t> many;
    for (int32_t p = 1; p <= 25; ++p)
        many.push_back(p);
    const struct {
        const char* name;
        int shown;
        int32_t total;
        const char* expected;
    } cases[] = {
        {"one", 1, 1, "Ports: 1"},
        {"two", 2, 2, "Ports: 1, 2"},
        {"twenty", 20, 20,
         "Ports: 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20"},
        {"twenty-five", 20, 25,
         "Ports: 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20 "
         "and 5 more"},
        {"more shown than named", 25, 25,
         "Ports: 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20 "
         "and 5 more"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        char out[200];
        BuildPortsLine(many.data(), c.shown, c.total, out);
        EXPECT_STREQ(out, c.expected);
    }
}

TEST(BuildPortsLine, LargestPortsFitTheLineAndASmallBufferIsNotOverrun)
{
    std::vector<int32_t> ports(kPortsShown, 65535);
    char out[32 + kPortsShown * 7];
    BuildPortsLine(ports.data(), kPortsShown, 65536, out);
    EXPECT_EQ(std::string(out).substr(std::string(out).size() - 15), " and 65516 more");
    ExpectBoundedPrefixes("Ports: 31337, 12345", [](char* buffer, size_t size) {
        const int32_t two[] = {31337, 12345};
        BuildPortsLineN(two, 2, 2, buffer, size);
    });
}

// ---- Address line -------------------------------------------------------------

TEST(BuildAddressLine, CallerArrowLocalAndPort)
{
    char out[128];
    TextCopy(out, "previous text");
    BuildAddressLine("   Accept: ", "192.0.2.7:1033", "198.51.100.2", 12345, out);
    EXPECT_STREQ(out, "   Accept: 192.0.2.7:1033 -> 198.51.100.2:12345");
}

TEST(BuildAddressLine, LongestLineFitsTheLineBuffer)
{
    char out[128];
    BuildAddressLine("   Accept: ", "255.255.255.255:65535", "255.255.255.255", 65535, out);
    EXPECT_STREQ(out, "   Accept: 255.255.255.255:65535 -> 255.255.255.255:65535");
    EXPECT_EQ(TextLength(out), 57u);
}

TEST(BuildAddressLine, SmallBufferIsNotOverrun)
{
    ExpectBoundedPrefixes(
        "   Accept: 192.0.2.7:1033 -> 198.51.100.2:12345", [](char* out, size_t size) {
            BuildAddressLineN("   Accept: ", "192.0.2.7:1033", "198.51.100.2", 12345, out, size);
        });
}

// ---- Caller data --------------------------------------------------------------

// Reads an escaped line back into the bytes the caller sent; fails the test
// on anything a reader could not undo.
std::string Unescape(const std::string& line)
{
    std::string bytes;
    for (size_t i = 0; i < line.size(); ++i) {
        unsigned char c = (unsigned char)line[i];
        EXPECT_TRUE(c >= 0x20 && c != 0x7F) << "raw control byte at " << i;
        if (c != '\\') {
            bytes += (char)c;
            continue;
        }
        EXPECT_LT(i + 1, line.size()) << "cut escape";
        char kind = line[++i];
        if (kind == 'r' || kind == 'n' || kind == 't' || kind == '\\') {
            bytes += kind == 'r' ? '\r' : kind == 'n' ? '\n' : kind == 't' ? '\t' : '\\';
        } else {
            EXPECT_EQ(kind, 'x');
            EXPECT_LE(i + 2, line.size() - 1) << "cut escape";
            bytes += (char)std::stoi(line.substr(i + 1, 2), nullptr, 16);
            i += 2;
        }
    }
    return bytes;
}

TEST(EscapeCallerData, ForgedLinesAndTerminalBytesStayOnOneLine)
{
    struct Case {
        const char* name;
        std::string data;
        const char* line;
    } cases[] = {
        {"plain text", "GET / HTTP/1.0", "GET / HTTP/1.0"},
        {"forged lines", "hello\r\nScan blocked\r\n   RDNS: trusted.example\r\n",
         "hello\\r\\nScan blocked\\r\\n   RDNS: trusted.example\\r\\n"},
        {"escape and bell", "\x1b[31mred\x07", "\\x1B[31mred\\x07"},
        {"backslash", "C:\\x41", "C:\\\\x41"},
        {"zero byte and DEL", std::string("a\0b\x7f", 4), "a\\x00b\\x7F"},
        {"tab, high bytes kept", "\t\xe9\xff", "\\t\xe9\xff"},
        {"raw C1 bytes",
         "a\x85"
         "b\x9b"
         "c",
         "a\\x85b\\x9Bc"},
        {"UTF-8 NEL and CSI",
         "\xc2\x85"
         "x\xc2\x9b",
         "\\xC2\\x85x\\xC2\\x9B"},
        {"line and paragraph separators",
         "\xe2\x80\xa8"
         "\xe2\x80\xa9",
         "\\xE2\\x80\\xA8\\xE2\\x80\\xA9"},
        {"other UTF-8 kept whole", "\xe2\x80\x94\xf0\x9f\x98\x80", "\xe2\x80\x94\xf0\x9f\x98\x80"},
        {"a cut sequence's C1 byte",
         "\xe2\x80"
         "A",
         "\xe2\\x80A"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        char out[256];
        size_t n = EscapeCallerData(c.data.data(), c.data.size(), out, sizeof out);
        EXPECT_EQ(std::string(out, n), c.line);
        EXPECT_EQ(out[n], '\0');
    }
}

TEST(EscapeCallerData, AFullReceiveComesBackExactly)
{
    // 2048 bytes of every value, the worst case for length.
    std::string data;
    for (int i = 0; i < 2048; ++i)
        data += (char)(i * 7 % 256);
    std::vector<char> out(EscapedSize(data.size()));
    size_t n = EscapeCallerData(data.data(), data.size(), out.data(), out.size());
    EXPECT_EQ(Unescape(std::string(out.data(), n)), data);
    std::string worst(2048, '\x01');
    n = EscapeCallerData(worst.data(), worst.size(), out.data(), out.size());
    EXPECT_EQ(n, EscapedSize(2048) - 1);
}

TEST(EscapeCallerData, ShortBufferNeverCutsAnEscape)
{
    const std::string data = "a\x01\\b\n";
    // Whole escapes only: what fits of "a", "\x01", "\\", "b", "\n".
    const char* expected[] = {"",
                              "a",
                              "a",
                              "a",
                              "a",
                              "a\\x01",
                              "a\\x01",
                              "a\\x01\\\\",
                              "a\\x01\\\\b",
                              "a\\x01\\\\b",
                              "a\\x01\\\\b\\n",
                              "a\\x01\\\\b\\n"};
    for (size_t size = 1; size <= 12; ++size) {
        SCOPED_TRACE(size);
        std::vector<char> out(size + 1, '#');
        size_t n = EscapeCallerData(data.data(), data.size(), out.data(), size);
        EXPECT_EQ(std::string(out.data(), n), expected[size - 1]);
        EXPECT_EQ(out[size], '#') << "written past the buffer";
    }
}

} // namespace
