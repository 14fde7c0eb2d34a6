// What the web hook sends: the URL the user typed taken apart, and the body
// of one post in each of the three formats, escaped so that no host name or
// stray byte can break the JSON, the line or the header.
#ifndef HARBINEL_WEBHOOKBODY_H
#define HARBINEL_WEBHOOKBODY_H

#include <stddef.h>
#include <stdint.h>

#include "scanrecord.h"
#include "syslogqueue.h"

enum WebhookFormat {
    kWebhookJson = 0,  // every field of the record
    kWebhookPlain = 1, // the summary line, titled, for push services
    kWebhookChat = 2,  // {"text": ...} for chat rooms' incoming hooks
};

const size_t kWebhookUrlSize = 1024;
// The largest body: a name of control bytes written as \u00XX twice over
// (in "rdns" and in "text") still fits.
const size_t kWebhookBodySize = 16384;

// One alert waiting to go. It travels through a SyslogQueue slot as it is.
struct WebhookPost {
    ScanRecord record;
    uint32_t moreScans; // the caller's scans held back since its last post
    uint8_t named;      // rdns holds the name lookup's answer; otherwise unknown
    uint8_t test;       // the dialog's Send test
    uint8_t block;      // the caller was just blocked in the firewall: "event":"block"
    char rdns[1024 - sizeof(ScanRecord) - 8];
};
static_assert(sizeof(WebhookPost) <= kSyslogSlotSize, "a post fits a queue slot");

struct WebhookUrl {
    bool secure;
    uint16_t port;
    char host[256];
    char path[kWebhookUrlSize]; // from the first '/' or '?', "/" when none; no fragment
};

// Whether text is an http:// or https:// URL that can be sent to: a host
// name, IPv4 or [IPv6] address, an optional port 1-65535, and a path of
// printable ASCII (already %-encoded where it needs to be). Fills url when
// it is.
bool ParseWebhookUrl(const char* text, WebhookUrl* url);

// The one-line summary: BuildScanSummary, " and 1 more scan" / " and N more
// scans", " (N alerts dropped)", after "Test alert from Harbinel: " for a
// test and "Blocked in the firewall: " for a block. Overwrites out.
void BuildWebhookTextN(const WebhookPost& post, uint32_t dropped, char* out, size_t size);

// The body in format (anything unknown is JSON); computer is UTF-8. Returns
// its length.
size_t BuildWebhookBodyN(int format, const WebhookPost& post, uint32_t dropped,
                         const char* computer, char* out, size_t size);
const char* WebhookContentType(int format);
// "Title: Harbinel on NAME", printable ASCII only, for the plain format.
void BuildWebhookTitleN(const char* computer, char* out, size_t size);

// Appends text as a JSON string, quotes included: quotes, backslashes and
// control bytes escaped, bytes that are not UTF-8 as U+FFFD. Only whole
// escapes are written, and the closing quote always fits when size leaves
// room for it.
size_t AppendJsonStringN(const char* text, char* out, size_t size);

// Why a post failed, or what it got: "HTTP 500" for a status, otherwise the
// WinHTTP error's reason. Overwrites out.
void BuildWebhookReasonN(bool isStatus, uint32_t code, char* out, size_t size);

template <size_t N>
inline void BuildWebhookText(const WebhookPost& post, uint32_t dropped, char (&out)[N])
{
    BuildWebhookTextN(post, dropped, out, N);
}
template <size_t N> inline void BuildWebhookTitle(const char* computer, char (&out)[N])
{
    BuildWebhookTitleN(computer, out, N);
}
template <size_t N> inline void BuildWebhookReason(bool isStatus, uint32_t code, char (&out)[N])
{
    BuildWebhookReasonN(isStatus, code, out, N);
}

#endif
