// Syslog messages: one message byte for byte, header fields and their
// limits, hostile caller text in the rdns value and in MSG, cutting at every
// buffer size, octet-counted framing and the collector setting.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "guarded.h"
#include "pure/syslogmsg.h"

namespace {

const SyslogScanData kScan = {
    "192.0.2.7", 40000, "198.51.100.2", 8080, "host.example.net", "logged", "no", "1", nullptr};
const SyslogMessage kMessage = {
    kSyslogWarning, "2026-12-08T14:24:08.123+01:00",         "gate", "Harbinel", 1234, "SCAN",
    &kScan,         "Scan from 192.0.2.7:40000 to port 8080"};

std::string Build(const SyslogMessage& m)
{
    char out[2048];
    size_t n = BuildSyslogMessage(m, out, sizeof out);
    EXPECT_EQ(n, strlen(out));
    return out;
}

TEST(BuildSyslogMessage, WholeMessage)
{
    EXPECT_EQ(Build(kMessage),
              "<36>1 2026-12-08T14:24:08.123+01:00 gate Harbinel 1234 SCAN [scan@32473 "
              "src=\"192.0.2.7\" srcport=\"40000\" dst=\"198.51.100.2\" dstport=\"8080\" "
              "rdns=\"host.example.net\" action=\"logged\" trusted=\"no\" verified=\"1\"] "
              "Scan from 192.0.2.7:40000 to port 8080");
}

// A message with no MSG and, unless given, no header fields.
SyslogMessage Header(int severity, const char* timestamp, const char* hostname = nullptr,
                     const char* appName = nullptr, uint32_t procId = 0,
                     const char* msgId = nullptr, const SyslogScanData* scan = nullptr)
{
    return {severity, timestamp, hostname, appName, procId, msgId, scan, nullptr};
}

TEST(BuildSyslogMessage, HeaderFields)
{
    const std::string h300(300, 'h'), a60(60, 'a'), m40(40, 'M');
    const SyslogScanData ports = {nullptr, -1,    nullptr, 65536,  nullptr,
                                  nullptr, "yes", nullptr, nullptr};
    const std::string nil = "- - 0 - -"; // host, app, process, message id, SD
    const struct {
        const char* name;
        SyslogMessage m;
        std::string expected;
    } cases[] = {
        {"all empty", Header(6, nullptr, "", nullptr, 0, ""), "<38>1 - " + nil},
        {"severity clamped low", Header(-3, nullptr), "<32>1 - " + nil},
        {"severity clamped high", Header(12, nullptr), "<39>1 - " + nil},
        {"field limits", Header(6, nullptr, h300.c_str(), a60.c_str(), 4294967295u, m40.c_str()),
         "<38>1 - " + h300.substr(0, 255) + " " + a60.substr(0, 48) + " 4294967295 " +
             m40.substr(0, 32) + " -"},
        {"unprintable header bytes", Header(6, nullptr, "my host", "a\tb", 1, "S\xc3\xa9"),
         "<38>1 - my?host a?b 1 S?? -"},
        {"only present params", Header(6, nullptr, "", "", 0, "", &ports),
         "<38>1 - - - 0 - [scan@32473 trusted=\"yes\"]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Build(c.m), c.expected);
    }
    // A timestamp a collector could not parse is sent as "-".
    for (const char* t : {"2026-12-08T14:24:08Z", "2026-12-08T14:24:08.123456-05:30"})
        EXPECT_EQ(Build(Header(6, t)), "<38>1 " + std::string(t) + " " + nil);
    for (const char* t :
         {"2026-12-08T14:24:08.1234567Z", "2026-12-08 14:24:08Z", "2026-12-08T14:24:08+0100",
          "2026-12-08T14:24:08.1", "2026-12-08T14:24:08.Z"})
        EXPECT_EQ(Build(Header(6, t)), "<38>1 - " + nil) << t;
}

TEST(BuildSyslogMessage, HostileTextInRdnsAndMsg)
{
    // clang-format off
    const struct { const char* name; const char* text; const char* inValue; const char* inMsg; }
    cases[] = {
        {"SD specials", "a\"b\\c]d[", "a\\\"b\\\\c\\]d[", "a\"b\\c]d["},
        {"CR LF and a forged line", "x\r\n<34>1 fake", "x?" "?<34>1 fake", "x?" "?<34>1 fake"},
        {"C0, DEL, escape sequence", "\x01\x7f\x1b[31m", "???[31m", "???[31m"},
        {"C1 NEL and line separator", "a\xc2\x85" "b\xe2\x80\xa8", "a?b?", "a?b?"},
        {"valid UTF-8 kept, MSG with its BOM", "caf\xc3\xa9 \xf0\x9f\x98\x80",
         "caf\xc3\xa9 \xf0\x9f\x98\x80", "\xef\xbb\xbf" "caf\xc3\xa9 \xf0\x9f\x98\x80"},
        {"stray bytes", "\xff\xfe\x80", "???", "???"},
        {"overlong slash", "\xc0\xaf\xe0\x80\xaf", "?????", "?????"},
        {"surrogate", "\xed\xa0\x80", "???", "???"},
        {"past U+10FFFF", "\xf4\x90\x80\x80", "????", "????"},
        {"sequence cut by the end", "ok\xe2\x82", "ok??", "ok??"},
        {"sequence cut by ASCII", "\xe2\x82x", "??x", "??x"},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const SyslogScanData scan = {nullptr, -1,      nullptr, -1,     c.text,
                                     nullptr, nullptr, nullptr, nullptr};
        const SyslogMessage m = {6, nullptr, nullptr, nullptr, 0, nullptr, &scan, c.text};
        EXPECT_EQ(Build(m), std::string("<38>1 - - - 0 - [scan@32473 rdns=\"") + c.inValue +
                                "\"] " + c.inMsg);
    }
}

// Whether s, from its start, ends at a character boundary of whole: not in
// the middle of a UTF-8 sequence and not after the backslash of an escape.
bool CutCleanly(const std::string& whole, size_t at)
{
    if (at < whole.size() && ((unsigned char)whole[at] & 0xc0) == 0x80)
        return false;
    size_t slashes = 0;
    while (slashes < at && whole[at - 1 - slashes] == '\\')
        ++slashes;
    return slashes % 2 == 0;
}

// At every size the message is cut as the collector can still read it: MSG
// shortened first, then the rdns value, each at a clean point and no
// shorter than it must be; too small for the rest, nothing at all.
TEST(BuildSyslogMessage, EveryBufferSizeGivesAWellFormedMessage)
{
    SyslogScanData scan = kScan;
    scan.rdns = "a\"b\xc3\xa9]\xe2\x82\xac\\z\xff";
    const char* const texts[][2] = {
        {"Scan \xe2\x82\xac from \"x\"\r\n", " \xef\xbb\xbfScan \xe2\x82\xac from \"x\"??"},
        {"Scan from \"x\"\r\n", " Scan from \"x\"??"}};
    for (const auto& text : texts) {
        SCOPED_TRACE(text[1]);
        SyslogMessage m = kMessage;
        m.scan = &scan;
        m.msg = text[0];
        const std::string full = Build(m), msg = text[1];
        const size_t valueAt = full.find("rdns=\"") + 6, valueEnd = full.find("\" action=");
        const size_t msgAt = full.size() - msg.size(), msgTextAt = msg[1] == '\xef' ? 4 : 1;
        const std::string head = full.substr(0, valueAt),
                          tail = full.substr(valueEnd, msgAt - valueEnd);
        const std::string value = full.substr(valueAt, valueEnd - valueAt);
        ASSERT_EQ(value, "a\\\"b\xc3\xa9\\]\xe2\x82\xac\\\\z?");
        ASSERT_EQ(full.substr(msgAt), msg);
        for (size_t size = 0; size <= full.size() + 1; ++size) {
            SCOPED_TRACE("buffer of " + std::to_string(size) + " bytes");
            std::vector<char> mem(size + kGuardBytes, kGuardByte);
            size_t n = BuildSyslogMessage(m, mem.data(), size);
            ASSERT_TRUE(GuardIntact(mem, size)) << "wrote past the buffer";
            if (size == 0)
                continue;
            const std::string out(mem.data(), n);
            ASSERT_EQ(mem[n], '\0');
            if (size - 1 < head.size() + tail.size()) {
                ASSERT_EQ(n, 0u);
                continue;
            }
            ASSERT_GE(n + 4, std::min(size - 1, full.size())) << "cut shorter than needed";
            ASSERT_EQ(out.substr(0, head.size()), head);
            size_t valueLength = out.find(tail, head.size()) - head.size();
            ASSERT_LE(valueLength, value.size());
            ASSERT_EQ(out.substr(head.size(), valueLength), value.substr(0, valueLength));
            ASSERT_TRUE(CutCleanly(value, valueLength));
            const std::string rest = out.substr(head.size() + valueLength + tail.size());
            ASSERT_EQ(rest, msg.substr(0, rest.size()));
            ASSERT_TRUE(rest.empty() || (valueLength == value.size() && rest.size() > msgTextAt))
                << "MSG without its text, or kept while rdns was cut";
            ASSERT_TRUE(CutCleanly(msg, rest.size()));
        }
    }
}

TEST(FrameOctetCounted, LengthSpaceMessageOrNothing)
{
    const std::string big(1000, 'm');
    // clang-format off
    const struct { std::string msg; size_t size; std::string expected; } cases[] = {
        {"<38>1 x", 64, "7 <38>1 x"}, {"<38>1 x", 10, "7 <38>1 x"}, {"<38>1 x", 9, ""},
        {"", 3, "0 "}, {"", 2, ""}, {"x", 0, ""}, {big, 1006, "1000 " + big}, {big, 1005, ""}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        std::vector<char> mem(c.size + kGuardBytes, kGuardByte);
        EXPECT_EQ(FrameOctetCounted(c.msg.c_str(), c.msg.size(), mem.data(), c.size),
                  c.expected.size());
        EXPECT_TRUE(GuardIntact(mem, c.size));
        EXPECT_EQ(c.size == 0 ? "" : std::string(mem.data()), c.expected);
    }
}

TEST(ParseSyslogServer, HostAndPort)
{
    const std::string longest(255, 'h');
    // No host: rejected; then host is "" and the port is left alone.
    // clang-format off
    const struct { std::string text; const char* host = nullptr; uint16_t port = 7; } cases[] = {
        {"192.0.2.1", "192.0.2.1", 514}, {"logs.example.net:6514", "logs.example.net", 6514},
        {"collector_1:65535", "collector_1", 65535}, {"example.net.:1", "example.net.", 1},
        {"h:0514", "h", 514}, {longest, longest.c_str(), 514},
        {longest + "h"}, {""}, {":514"}, {"host:"}, {"host:0"}, {"host:65536"}, {"host:1234567"},
        {"host:+514"}, {"host:5 14"}, {"host :514"}, {" host"}, {"a:b:c"}, {"[::1]:514"},
        {"a..b"}, {".a"}, {"1.2.3.999"}, {"1.2.3"}, {"1.2.3.4.5"}, {"01.2.3.4"}, {"h\xc3\xa9"},
        {"ho\tst"}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        char host[256] = "previous";
        uint16_t port = 7;
        EXPECT_EQ(ParseSyslogServer(c.text.c_str(), host, &port), c.host != nullptr);
        EXPECT_STREQ(host, c.host != nullptr ? c.host : "");
        EXPECT_EQ(port, c.port);
    }
}

} // namespace
