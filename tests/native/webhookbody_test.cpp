// The web hook's texts: each body format for each kind of scan, hostile
// names that must leave the JSON valid, the URL check, the held-back and
// dropped counts in the summary, and the failure reasons.
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "pure/webhookbody.h"

namespace {

// A strict reader of the JSON the bodies use (objects, strings, numbers,
// literals, no spaces): strings must be valid UTF-8 without raw control
// bytes, and escapes only those JSON knows.
bool JsonString(const char*& p)
{
    if (*p++ != '"')
        return false;
    while (*p != '"') {
        unsigned char c = (unsigned char)*p++;
        int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 ? 1 : c >= 0x80 ? -1 : 0;
        if (c < 0x20 || more < 0 || c > 0xF4)
            return false;
        if (c == '\\' && *p == 'u')
            more = 4, ++p;
        else if (c == '\\' && (*p == 0 || !strchr("\"\\/bfnrt", *p++)))
            return false;
        for (; more > 0; --more, ++p)
            if (c == '\\' ? !isxdigit((unsigned char)*p) : ((unsigned char)*p & 0xC0) != 0x80)
                return false;
    }
    return ++p, true;
}

bool JsonValue(const char*& p)
{
    if (*p == '"')
        return JsonString(p);
    if (*p == '{' && *++p != '}') {
        do {
            if (!JsonString(p) || *p++ != ':' || !JsonValue(p))
                return false;
        } while (*p == ',' && ++p);
        return *p++ == '}';
    }
    if (*p == '}')
        return ++p, true;
    const char* start = p;
    while (isdigit((unsigned char)*p))
        ++p;
    return p > start || strncmp(p, "null", 4) == 0 ? (p += p > start ? 0 : 4, true)
           : strncmp(p, "true", 4) == 0            ? (p += 4, true)
           : strncmp(p, "false", 5) == 0           ? (p += 5, true)
                                                   : false;
}

bool IsJson(const std::string& text)
{
    const char* p = text.c_str();
    return JsonValue(p) && *p == '\0';
}

ScanRecord Record(ScanKind kind)
{
    ScanRecord r = {};
    r.kind = kind;
    r.caller = NetAddressFromV4(0x057100CB); // 203.0.113.5, network order
    r.callerPort = 51234;
    r.local = NetAddressFromV4(0x0201A8C0); // 192.168.1.2
    r.port = 31337;
    r.highPort = kind == kScanSweep ? 1024 : 31337;
    r.portCount = kind == kScanSweep ? 12 : 1;
    r.countExact = true;
    r.verified = kind == kScanConnect;
    if (kind == kScanSweep)
        r.port = 1;
    strcpy(r.time, "2026-12-09T01:02:03+01:00");
    return r;
}

const uint8_t kV6Caller[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5};
const uint8_t kV6Local[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

WebhookPost Post(ScanKind kind, const char* rdns, uint32_t more = 0)
{
    WebhookPost post = {};
    post.record = Record(kind);
    post.named = rdns != NULL;
    post.moreScans = more;
    if (rdns)
        strcpy(post.rdns, rdns);
    return post;
}

WebhookPost V6(WebhookPost post)
{
    post.record.caller = NetAddressFromV6(kV6Caller, 0);
    post.record.local = NetAddressFromV6(kV6Local, 0);
    return post;
}

std::string Body(int format, const WebhookPost& post, uint32_t dropped = 0,
                 const char* computer = "PC1")
{
    static char out[kWebhookBodySize];
    size_t n = BuildWebhookBodyN(format, post, dropped, computer, out, sizeof out);
    EXPECT_EQ(n, strlen(out));
    return out;
}

TEST(WebhookBody, EachFormatForEachKind)
{
    const std::string tail = ",\"time\":\"2026-12-09T01:02:03+01:00\","
                             "\"computer\":\"PC1\",\"text\":\"";
    const struct {
        const char* name;
        WebhookPost post;
        const char* json; // up to "rdns"
        const char* text;
    } cases[] = {
        {"connect, named", Post(kScanConnect, "host.example", 3),
         "{\"event\":\"scan\",\"kind\":\"connect\",\"caller\":\"203.0.113.5\",\"callerPort\":51234,"
         "\"local\":\"192.168.1.2\",\"port\":31337,\"rdns\":\"host.example\"",
         "Scan from 203.0.113.5:51234 on 192.168.1.2:31337 (host.example) and 3 more scans"},
        {"stealth, no name", Post(kScanStealth, ""),
         "{\"event\":\"scan\",\"kind\":\"stealth\",\"caller\":\"203.0.113.5\",\"callerPort\":51234,"
         "\"local\":\"192.168.1.2\",\"port\":31337,\"rdns\":\"\"",
         "Stealth scan from 203.0.113.5:51234 on 192.168.1.2:31337"},
        {"sweep, unknown name", Post(kScanSweep, NULL, 1),
         "{\"event\":\"scan\",\"kind\":\"sweep\",\"caller\":\"203.0.113.5\",\"callerPort\":51234,"
         "\"local\":\"192.168.1.2\",\"port\":1,\"portCount\":12,\"highPort\":1024,\"rdns\":null",
         "Port sweep from 203.0.113.5: 12 ports, 1-1024 and 1 more scan"},
        {"connect over IPv6", V6(Post(kScanConnect, "")),
         "{\"event\":\"scan\",\"kind\":\"connect\",\"caller\":\"2001:db8::5\",\"callerPort\":51234,"
         "\"local\":\"2001:db8::1\",\"port\":31337,\"rdns\":\"\"",
         "Scan from [2001:db8::5]:51234 on [2001:db8::1]:31337"},
        {"gone", Post(kScanGone, NULL),
         "{\"event\":\"scan\",\"kind\":\"gone\",\"caller\":\"-\",\"callerPort\":51234,"
         "\"local\":\"-\",\"port\":31337,\"rdns\":null",
         "Scan on port 31337 from a caller that left at once"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Only a sweep, of many ports, names no trojan of the table.
        std::string flags =
            std::string(c.post.record.kind == kScanSweep ? ",\"knownAs\":null"
                                                         : ",\"knownAs\":\"Back Orifice\"") +
            ",\"trusted\":false,\"verified\":" +
            (c.post.record.kind == kScanConnect ? "true" : "false");
        EXPECT_EQ(Body(kWebhookJson, c.post), c.json + flags + tail + c.text + "\"}");
        EXPECT_EQ(Body(kWebhookPlain, c.post), c.text);
        EXPECT_EQ(Body(kWebhookChat, c.post), std::string("{\"text\":\"") + c.text + "\"}");
    }
    EXPECT_STREQ(WebhookContentType(kWebhookJson), "application/json");
    EXPECT_STREQ(WebhookContentType(kWebhookChat), "application/json");
    EXPECT_STREQ(WebhookContentType(kWebhookPlain), "text/plain; charset=utf-8");
}

TEST(WebhookBody, CountsHeldBackDroppedAndTest)
{
    WebhookPost post = Post(kScanConnect, NULL, 1);
    char text[512];
    BuildWebhookText(post, 1, text);
    EXPECT_STREQ(text, "Scan from 203.0.113.5:51234 on 192.168.1.2:31337 and 1 more scan"
                       " (1 alert dropped)");
    post.moreScans = 4000000000u;
    post.test = 1;
    BuildWebhookText(post, 25, text);
    EXPECT_STREQ(text, "Test alert from Harbinel: Scan from 203.0.113.5:51234 on "
                       "192.168.1.2:31337 and 2147483647 more scans (25 alerts dropped)");
    WebhookPost block = Post(kScanConnect, NULL, 0);
    block.block = 1;
    char body[kWebhookBodySize];
    BuildWebhookBodyN(kWebhookJson, block, 0, "PC", body, sizeof body);
    EXPECT_EQ(std::string(body).rfind("{\"event\":\"block\",\"kind\":\"connect\"", 0), 0u) << body;
    EXPECT_NE(std::string(body).find("\"text\":\"Blocked in the firewall: Scan from "),
              std::string::npos);
}

TEST(WebhookBody, HostileNamesKeepTheJsonValidAndTheLineWhole)
{
    std::string longest(sizeof(WebhookPost::rdns) - 1, '\x01');
    // rdns: the field in JSON; text: the summary in every format, where only
    // the host-name form of the name may appear.
    const struct {
        const char* name;
        std::string given, rdns, text;
    } cases[] = {
        {"quotes and backslashes", "a\"b\\c", "a\\\"b\\\\c", "a_b_c"},
        {"control bytes", "a\r\n\x1f\t", "a\\u000d\\u000a\\u001f\\u0009", "a____"},
        {"invalid UTF-8", "\xff\xc0\xaf\xed\xa0\x80z\xe2\x82",
         "\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffdz\\ufffd\\ufffd", "______z__"},
        {"UTF-8", "\xc3\xa9\xf0\x9f\x98\x80", "\xc3\xa9\xf0\x9f\x98\x80", "______"},
        {"chat markup", "<!channel><https://evil.example|reset>&",
         "<!channel><https://evil.example|reset>&", "__channel__https___evil.example_reset__"},
        {"longest name", longest, "", std::string(255, '_')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WebhookPost post = Post(kScanConnect, c.given.c_str());
        std::string summary = "Scan from 203.0.113.5:51234 on 192.168.1.2:31337 (" + c.text + ")";
        std::string json = Body(kWebhookJson, post, 0, "P\"C");
        std::string chat = Body(kWebhookChat, post, 0, "P\"C");
        EXPECT_TRUE(IsJson(json)) << json;
        EXPECT_TRUE(IsJson(chat)) << chat;
        if (!c.rdns.empty()) {
            EXPECT_NE(json.find("\"rdns\":\"" + c.rdns + "\","), std::string::npos) << json;
        }
        EXPECT_NE(json.find("\"text\":\"" + summary + "\"}"), std::string::npos) << json;
        EXPECT_EQ(chat, "{\"text\":\"" + summary + "\"}");
        EXPECT_EQ(Body(kWebhookPlain, post), summary);
    }
    // A buffer too small still ends the string.
    char small[12] = "";
    AppendJsonStringN("\"\"\"\"\"\"", small, sizeof small);
    EXPECT_STREQ(small, "\"\\\"\\\"\\\"\\\"\"");
    char title[64];
    BuildWebhookTitle("PC\r\nX-Evil: 1", title);
    EXPECT_STREQ(title, "Title: Harbinel on PC??X-Evil: 1");
}

TEST(WebhookUrl, OnlyHttpAndHttpsUrlsThatCanBeSent)
{
    const struct {
        const char* text;
        bool ok, secure;
        const char* host;
        int port;
        const char* path;
    } cases[] = {
        {"http://127.0.0.1:8080/hook", true, false, "127.0.0.1", 8080, "/hook"},
        {"HTTPS://ntfy.example/topic?x=1#frag", true, true, "ntfy.example", 443, "/topic?x=1"},
        {"http://host", true, false, "host", 80, "/"},
        {"http://host?a=b", true, false, "host", 80, "/?a=b"},
        {"https://[::1]:443/", true, true, "::1", 443, "/"},
        {"http://a_b-c.example:65535", true, false, "a_b-c.example", 65535, "/"},
        {"", false, false, "", 0, ""},
        {"ftp://host/", false, false, "", 0, ""},
        {"http://", false, false, "", 0, ""},
        {"http:///path", false, false, "", 0, ""},
        {"http://host:0/", false, false, "", 0, ""},
        {"http://host:65536/", false, false, "", 0, ""},
        {"http://host:/", false, false, "", 0, ""},
        {"http://user@host/", false, false, "", 0, ""},
        {"http://host/a b", false, false, "", 0, ""},
        {"http://host/\x7f", false, false, "", 0, ""},
        {"http://h\xc3\xa9/", false, false, "", 0, ""},
        {"http://[::1/", false, false, "", 0, ""},
        {" http://host/", false, false, "", 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        WebhookUrl url = {};
        ASSERT_EQ(ParseWebhookUrl(c.text, &url), c.ok);
        if (!c.ok)
            continue;
        EXPECT_EQ(url.secure, c.secure);
        EXPECT_STREQ(url.host, c.host);
        EXPECT_EQ(url.port, c.port);
        EXPECT_STREQ(url.path, c.path);
    }
    std::string longUrl = "http://host/" + std::string(kWebhookUrlSize, 'a');
    WebhookUrl url;
    EXPECT_FALSE(ParseWebhookUrl(longUrl.c_str(), &url));
}

TEST(WebhookReason, StatusOrTheErrorsText)
{
    char reason[128];
    BuildWebhookReason(true, 500, reason);
    EXPECT_STREQ(reason, "HTTP 500");
    BuildWebhookReason(false, 12002, reason);
    EXPECT_STREQ(reason, "The operation timed out");
    BuildWebhookReason(false, 12345, reason);
    EXPECT_STREQ(reason, "Error 12345");
}

} // namespace
