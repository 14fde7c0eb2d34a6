// The web hook's texts: the URL check, the three bodies and the title. Every
// byte that comes from outside (a caller's name above all) goes through one
// cleaning loop, which knows JSON and plain lines.
#include "webhookbody.h"

#include <string.h>

#include "decimal.h"
#include "errortext.h"
#include "hostname.h"
#include "linetext.h"
#include "text.h"
#include "trojans.h"

// Length of the well-formed UTF-8 sequence at p, or 0 when it is not one
// (overlong forms, surrogates and code points past U+10FFFF included). The
// terminating zero is never a continuation byte, so p is not read past it.
static size_t Utf8Length(const unsigned char* p)
{
    unsigned char c = p[0];
    if (c < 0x80)
        return 1;
    size_t n;
    uint32_t cp, min;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2, cp = c & 0x1Fu, min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3, cp = c & 0x0Fu, min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4, cp = c & 0x07u, min = 0x10000;
    } else {
        return 0;
    }
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = cp << 6 | (p[i] & 0x3Fu);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

// Appends text cleaned for a JSON string (json) or a plain line, writing
// only whole units and keeping `keep` bytes free before the end. Returns
// the new length.
static size_t AppendClean(const char* text, bool json, size_t keep, char* out, size_t at,
                          size_t size)
{
    static const char kHex[] = "0123456789abcdef";
    const unsigned char* p = (const unsigned char*)text;
    while (*p != 0) {
        char unit[6];
        size_t n = 0, step = 1;
        size_t valid = Utf8Length(p);
        if (json && (*p == '"' || *p == '\\')) {
            unit[n++] = '\\';
            unit[n++] = (char)*p;
        } else if (*p < 0x20 && json) {
            unit[0] = '\\';
            unit[1] = 'u';
            unit[2] = unit[3] = '0';
            unit[4] = kHex[*p >> 4];
            unit[5] = kHex[*p & 15];
            n = 6;
        } else if (*p < 0x20) {
            unit[n++] = '?';
        } else if (valid == 0 && json) {
            const char escape[6] = {'\\', 'u', 'f', 'f', 'f', 'd'};
            memcpy(unit, escape, sizeof escape);
            n = sizeof escape;
        } else if (valid == 0) {
            const char replacement[3] = {'\xEF', '\xBF', '\xBD'};
            memcpy(unit, replacement, sizeof replacement);
            n = sizeof replacement;
        } else {
            memcpy(unit, p, valid);
            n = step = valid;
        }
        if (at + n + keep >= size)
            break;
        memcpy(out + at, unit, n);
        at += n;
        p += step;
    }
    out[at] = '\0';
    return at;
}

size_t AppendJsonStringN(const char* text, char* out, size_t size)
{
    size_t at = TextLength(out);
    if (at + 3 > size)
        return at;
    out[at++] = '"';
    at = AppendClean(text, true, 1, out, at, size);
    out[at++] = '"';
    out[at] = '\0';
    return at;
}

static bool StartsWithNoCase(const char* text, const char* head)
{
    for (; *head != 0; ++text, ++head) {
        char c = *text >= 'A' && *text <= 'Z' ? (char)(*text + 32) : *text;
        if (c != *head)
            return false;
    }
    return true;
}

static bool IsHostChar(char c, bool bracketed)
{
    bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (bracketed)
        return hex || c == ':' || c == '.';
    return hex || (c >= 'g' && c <= 'z') || (c >= 'G' && c <= 'Z') || c == '-' || c == '.' ||
           c == '_';
}

bool ParseWebhookUrl(const char* text, WebhookUrl* url)
{
    WebhookUrl u = {};
    const char* p = text;
    if (StartsWithNoCase(text, "https://"))
        u.secure = true, p += 8;
    else if (StartsWithNoCase(text, "http://"))
        p += 7;
    else
        return false;
    if (TextLength(text) >= kWebhookUrlSize)
        return false;
    for (const unsigned char* c = (const unsigned char*)text; *c != 0; ++c)
        if (*c <= 0x20 || *c >= 0x7F)
            return false;
    bool bracketed = *p == '[';
    p += bracketed;
    size_t n = 0;
    for (; IsHostChar(*p, bracketed); ++p) {
        if (n + 1 >= sizeof u.host)
            return false;
        u.host[n++] = *p;
    }
    if (n == 0 || (bracketed && *p++ != ']'))
        return false;
    u.port = u.secure ? 443 : 80;
    if (*p == ':') {
        uint32_t port = 0;
        int digits = 0;
        for (++p; *p >= '0' && *p <= '9' && digits < 6; ++p, ++digits)
            port = port * 10 + (uint32_t)(*p - '0');
        if (digits == 0 || port == 0 || port > 65535)
            return false;
        u.port = (uint16_t)port;
    }
    if (*p != '\0' && *p != '/' && *p != '?' && *p != '#')
        return false;
    TextCopy(u.path, *p == '/' ? "" : "/");
    size_t at = TextLength(u.path);
    for (; *p != '\0' && *p != '#'; ++p)
        u.path[at++] = *p; // the whole text fits, so its tail does too
    u.path[at] = '\0';
    *url = u;
    return true;
}

void BuildWebhookTextN(const WebhookPost& post, uint32_t dropped, char* out, size_t size)
{
    // The summary is read by chat rooms and push services, which find links,
    // mentions and Markdown in text: only the host-name form of the name goes
    // there. The JSON "rdns" field keeps the name as the log shows it.
    char name[kHostNameFormSize];
    HostNameForm(post.named ? post.rdns : "", name);
    char summary[kWebhookUrlSize + 256];
    BuildScanSummary(post.record, name, summary);
    TextCopyN(out, size,
              post.test    ? "Test alert from Harbinel: "
              : post.block ? "Blocked in the firewall: "
                           : "");
    TextAppendN(out, size, summary);
    if (post.moreScans > 0) {
        TextAppendN(out, size, " and ");
        AppendCountN(post.moreScans, " more scan", " more scans", out, size);
    }
    if (dropped > 0) {
        TextAppendN(out, size, " (");
        AppendCountN(dropped, " alert dropped)", " alerts dropped)", out, size);
    }
}

// Slack-style hooks read "<...>" as a link or a mention and "&" as the start
// of an entity; these three are all that text must escape for them.
static void EscapeChatMarkup(const char* text, char* out, size_t size)
{
    size_t at = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        const char* entity = *p == '&' ? "&amp;" : *p == '<' ? "&lt;" : *p == '>' ? "&gt;" : NULL;
        size_t n = entity != NULL ? TextLength(entity) : 1;
        if (at + n >= size)
            break; // whole units only: never half an entity
        memcpy(out + at, entity != NULL ? entity : p, n);
        at += n;
    }
    if (size > 0)
        out[at] = '\0';
}

static void AppendField(const char* name, const char* value, char* out, size_t size)
{
    TextAppendN(out, size, ",\"");
    TextAppendN(out, size, name);
    TextAppendN(out, size, "\":");
    if (value == NULL)
        TextAppendN(out, size, "null");
    else
        AppendJsonStringN(value, out, size);
}

static void AppendNumber(const char* name, uint32_t value, char* out, size_t size)
{
    TextAppendN(out, size, ",\"");
    TextAppendN(out, size, name);
    TextAppendN(out, size, "\":");
    AppendDecimalN((int32_t)value, out, size);
}

size_t BuildWebhookBodyN(int format, const WebhookPost& post, uint32_t dropped,
                         const char* computer, char* out, size_t size)
{
    char text[kWebhookUrlSize + 512];
    BuildWebhookText(post, dropped, text);
    if (format == kWebhookPlain) {
        TextCopyN(out, size, "");
        return AppendClean(text, false, 0, out, 0, size);
    }
    TextCopyN(out, size, "{\"text\":");
    if (format == kWebhookChat) {
        char chat[sizeof text * 5];
        EscapeChatMarkup(text, chat, sizeof chat);
        AppendJsonStringN(chat, out, size);
        return TextAppendN(out, size, "}");
    }
    const ScanRecord& r = post.record;
    char caller[kNetAddressTextSize], local[kNetAddressTextSize];
    FormatScanCaller(r, caller);
    FormatScanLocal(r, local);
    TextCopyN(out, size, post.block ? "{\"event\":\"block\"" : "{\"event\":\"scan\"");
    AppendField("kind", ScanKindName(r.kind), out, size);
    AppendField("caller", caller, out, size);
    AppendNumber("callerPort", r.callerPort, out, size);
    AppendField("local", local, out, size);
    AppendNumber("port", r.port, out, size);
    if (r.kind == kScanSweep) {
        AppendNumber("portCount", r.portCount, out, size);
        AppendNumber("highPort", r.highPort, out, size);
    }
    AppendField("rdns", post.named ? post.rdns : NULL, out, size);
    char known[kKnownPortLineSize];
    ScanKnownAs(r, known);
    AppendField("knownAs", known[0] != '\0' ? known : NULL, out, size);
    TextAppendN(out, size, r.trusted ? ",\"trusted\":true" : ",\"trusted\":false");
    // Only a finished handshake proves the caller's address; a receiver that
    // blocks callers should act on verified records only.
    TextAppendN(out, size, r.verified ? ",\"verified\":true" : ",\"verified\":false");
    AppendField("time", r.time, out, size);
    AppendField("computer", computer, out, size);
    AppendField("text", text, out, size);
    return TextAppendN(out, size, "}");
}

const char* WebhookContentType(int format)
{
    return format == kWebhookPlain ? "text/plain; charset=utf-8" : "application/json";
}

void BuildWebhookTitleN(const char* computer, char* out, size_t size)
{
    size_t at = TextCopyN(out, size, "Title: Harbinel on ");
    for (const char* c = computer; *c != 0 && at + 1 < size; ++c)
        out[at++] = *c >= 0x20 && *c < 0x7F ? *c : '?';
    if (size > 0)
        out[at < size ? at : size - 1] = '\0';
}

void BuildWebhookReasonN(bool isStatus, uint32_t code, char* out, size_t size)
{
    const char* text = isStatus ? NULL : WebErrorText(code);
    if (text != NULL) {
        TextCopyN(out, size, text);
        return;
    }
    TextCopyN(out, size, isStatus ? "HTTP " : "Error ");
    AppendDecimalN((int32_t)code, out, size);
}
