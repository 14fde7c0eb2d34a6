// Syslog messages for a remote collector: one scan or sweep per message in
// the RFC 5424 layout, framed by octet counting (RFC 6587) for TCP, and the
// "host[:port]" text of the collector setting. Caller data (host names from
// reverse lookups above all) is hostile and is made safe on the way in.
#ifndef HARBINEL_SYSLOGMSG_H
#define HARBINEL_SYSLOGMSG_H

#include <stddef.h>
#include <stdint.h>

const int kSyslogFacility = 4; // security/authorization
const int kSyslogWarning = 4;
const int kSyslogInfo = 6;
const uint16_t kSyslogDefaultPort = 514;

// The "scan@32473" structured-data element. A null text, or a port outside
// 0-65535, leaves that parameter out.
struct SyslogScanData {
    const char* src; // caller address
    int32_t srcPort;
    const char* dst; // local address
    int32_t dstPort;
    const char* rdns; // caller's host name, as the resolver gave it
    const char* action;
    const char* trusted;
    const char* verified; // "1" when a finished handshake proved the caller's address
    const char* knownAs;  // the trojans that use dstPort ("Back Orifice"); null: none
};

struct SyslogMessage {
    int severity;          // 0-7; values outside are clamped
    const char* timestamp; // "2026-12-08T14:24:08.123+01:00"; anything else is sent as "-"
    const char* hostname;
    const char* appName;
    uint32_t procId;
    const char* msgId;          // "SCAN", "SWEEP", "START", "STOP"
    const SyslogScanData* scan; // null: no structured data
    const char* msg;            // null or empty: no MSG
};

// Writes the message, zero-terminated, into out (size bytes) and returns its
// length. Header fields keep only printable ASCII: other bytes become '?',
// each field is cut at its limit (HOSTNAME 255, APP-NAME 48, MSGID 32) and
// an empty one is "-". Parameter values and MSG keep valid UTF-8 but turn
// invalid bytes and control characters (C0, DEL, C1, U+2028/9) into '?', so
// a message stays one line; values also escape '"', '\' and ']'. A MSG with
// characters beyond ASCII starts with the UTF-8 BOM.
// When out is too small, MSG is shortened first and then the rdns value,
// each at a character boundary; if even the header with an empty rdns does
// not fit, out gets "" and the result is 0.
size_t BuildSyslogMessage(const SyslogMessage& m, char* out, size_t size);

// "LEN SP MSG" for a TCP stream, zero-terminated; returns its length. A frame
// that does not fit whole is not written at all (out gets "", result 0): a
// cut frame would throw the collector off every later message.
size_t FrameOctetCounted(const char* msg, size_t len, char* out, size_t size);

// Reads the collector setting: "host" or "host:port", the host an IPv4
// address in dotted decimal or a name of letters, digits, '-', '_' and dots.
// False for an empty host, empty labels, a dotted-number host that is not an
// address, a port not in 1-65535, more than one colon, spaces or any other
// byte; then host is "" and port is left alone. Without a port, 514.
bool ParseSyslogServer(const char* text, char (&host)[256], uint16_t* port);

#endif
