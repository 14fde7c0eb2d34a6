// Syslog message building. Every piece is written in whole units (a
// character, an escape pair, a replacement '?'), so a message cut for room
// never ends in half a UTF-8 sequence or a lone backslash.
#include "syslogmsg.h"

#include <string.h>

#include "decimal.h"
#include "text.h"

namespace {

// Where the message goes: out null only measures. Nothing is written at or
// past limit, which leaves room for the terminator.
struct Sink {
    char* out;
    size_t pos;
    size_t limit;
};

bool Put(Sink* sink, const char* bytes, size_t n)
{
    if (sink->limit - sink->pos < n)
        return false;
    if (sink->out != NULL)
        memcpy(sink->out + sink->pos, bytes, n);
    sink->pos += n;
    return true;
}

bool PutText(Sink* sink, const char* text)
{
    return Put(sink, text, TextLength(text));
}

enum TextKind { kHeaderField, kParamValue, kMessageText };

// Length of the well-formed UTF-8 sequence at s, with its code point, or 0.
// Continuation bytes are read one at a time, so the terminator stops it.
size_t Utf8Sequence(const unsigned char* s, uint32_t* codePoint)
{
    unsigned char lead = s[0];
    size_t n;
    uint32_t value, lowest;
    if (lead < 0x80) {
        *codePoint = lead;
        return 1;
    } else if (lead >= 0xc2 && lead <= 0xdf) {
        n = 2, value = lead & 0x1f, lowest = 0x80;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        n = 3, value = lead & 0x0f, lowest = 0x800;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        n = 4, value = lead & 0x07, lowest = 0x10000;
    } else {
        return 0;
    }
    for (size_t i = 1; i < n; ++i) {
        if ((s[i] & 0xc0) != 0x80)
            return 0;
        value = (value << 6) | (s[i] & 0x3f);
    }
    // Overlong forms, surrogates and values past Unicode are not UTF-8.
    if (value < lowest || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff))
        return 0;
    *codePoint = value;
    return n;
}

// Characters that could break a line or a log viewer: C0, DEL, C1 (NEL among
// them) and the Unicode line and paragraph separators.
bool IsControl(uint32_t c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029;
}

// The safe output for the text at s: up to four bytes into unit, their count
// in unitLength. Returns how many bytes of s it stands for.
size_t NextUnit(const unsigned char* s, TextKind kind, char (&unit)[4], size_t* unitLength)
{
    *unitLength = 1;
    unit[0] = '?';
    if (kind == kHeaderField) {
        if (*s >= 33 && *s <= 126)
            unit[0] = (char)*s;
        return 1;
    }
    uint32_t c;
    size_t n = Utf8Sequence(s, &c);
    if (n == 0)
        return 1;
    if (IsControl(c))
        return n;
    if (kind == kParamValue && (c == '"' || c == '\\' || c == ']')) {
        unit[0] = '\\';
        unit[1] = (char)c;
        *unitLength = 2;
        return n;
    }
    memcpy(unit, s, n);
    *unitLength = n;
    return n;
}

// Writes whole units of text while they fit in room bytes and in the sink;
// *wide tells whether a character beyond ASCII went out.
void PutSafe(Sink* sink, const char* text, TextKind kind, size_t room, bool* wide)
{
    const unsigned char* s = (const unsigned char*)text;
    size_t end = sink->pos + room < sink->pos ? (size_t)-1 : sink->pos + room;
    while (*s != '\0') {
        char unit[4];
        size_t unitLength;
        size_t used = NextUnit(s, kind, unit, &unitLength);
        if (unitLength > end - sink->pos || !Put(sink, unit, unitLength))
            return;
        if (unitLength > 1 && unit[0] != '\\')
            *wide = true;
        s += used;
    }
}

void PutHeaderField(Sink* sink, const char* text, size_t maxLength)
{
    bool wide = false;
    if (text == NULL || text[0] == '\0')
        PutText(sink, "-");
    else
        PutSafe(sink, text, kHeaderField, maxLength, &wide);
    PutText(sink, " ");
}

bool Digits(const char* s, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (s[i] < '0' || s[i] > '9')
            return false;
    return true;
}

// FULL-DATE "T" FULL-TIME by its shape: a collector that cannot parse the
// timestamp may drop the whole message, so anything else becomes "-".
bool IsTimestamp(const char* t)
{
    size_t length = TextLength(t);
    if (length < 20 || !Digits(t, 4) || t[4] != '-' || !Digits(t + 5, 2) || t[7] != '-' ||
        !Digits(t + 8, 2) || t[10] != 'T' || !Digits(t + 11, 2) || t[13] != ':' ||
        !Digits(t + 14, 2) || t[16] != ':' || !Digits(t + 17, 2))
        return false;
    const char* zone = t + 19;
    if (*zone == '.') {
        size_t fraction = 0;
        while (fraction < 7 && Digits(zone + 1 + fraction, 1))
            ++fraction;
        if (fraction < 1 || fraction > 6)
            return false;
        zone += 1 + fraction;
    }
    if (zone[0] == 'Z')
        return zone[1] == '\0';
    return (zone[0] == '+' || zone[0] == '-') && TextLength(zone) == 6 && Digits(zone + 1, 2) &&
           zone[3] == ':' && Digits(zone + 4, 2);
}

void PutHeader(Sink* sink, const SyslogMessage& m)
{
    int severity = m.severity < 0 ? 0 : m.severity > 7 ? 7 : m.severity;
    char number[kDecimalSize];
    PutText(sink, "<");
    FormatDecimal(kSyslogFacility * 8 + severity, number);
    PutText(sink, number);
    PutText(sink, ">1 ");
    PutText(sink, m.timestamp != NULL && IsTimestamp(m.timestamp) ? m.timestamp : "-");
    PutText(sink, " ");
    PutHeaderField(sink, m.hostname, 255);
    PutHeaderField(sink, m.appName, 48);
    // The decimal helper is signed; a process id past its range goes in two
    // pieces.
    if (m.procId > 0x7fffffffu) {
        FormatDecimal((int32_t)(m.procId / 10), number);
        AppendDecimal((int32_t)(m.procId % 10), number);
    } else {
        FormatDecimal((int32_t)m.procId, number);
    }
    PutText(sink, number);
    PutText(sink, " ");
    PutHeaderField(sink, m.msgId, 32);
}

void PutParam(Sink* sink, const char* name, const char* value, size_t room)
{
    bool wide = false;
    if (value == NULL)
        return;
    PutText(sink, " ");
    PutText(sink, name);
    PutText(sink, "=\"");
    PutSafe(sink, value, kParamValue, room, &wide);
    PutText(sink, "\"");
}

void PutPortParam(Sink* sink, const char* name, int32_t port)
{
    if (port < 0 || port > 65535)
        return;
    char number[kDecimalSize];
    FormatDecimal(port, number);
    PutParam(sink, name, number, (size_t)-1);
}

// The rdns value gets at most rdnsRoom bytes; everything else goes whole.
void PutStructuredData(Sink* sink, const SyslogScanData* scan, size_t rdnsRoom)
{
    if (scan == NULL) {
        PutText(sink, "-");
        return;
    }
    const size_t whole = (size_t)-1;
    PutText(sink, "[scan@32473");
    PutParam(sink, "src", scan->src, whole);
    PutPortParam(sink, "srcport", scan->srcPort);
    PutParam(sink, "dst", scan->dst, whole);
    PutPortParam(sink, "dstport", scan->dstPort);
    PutParam(sink, "rdns", scan->rdns, rdnsRoom);
    PutParam(sink, "action", scan->action, whole);
    PutParam(sink, "trusted", scan->trusted, whole);
    PutParam(sink, "verified", scan->verified, whole);
    PutParam(sink, "knownAs", scan->knownAs, whole);
    PutText(sink, "]");
}

const char kBom[] = "\xef\xbb\xbf";

} // namespace

size_t BuildSyslogMessage(const SyslogMessage& m, char* out, size_t size)
{
    if (size == 0)
        return 0;
    out[0] = '\0';
    const size_t whole = (size_t)-1;

    // Measure first, then share out the room: MSG gives way before rdns.
    Sink measure = {NULL, 0, whole};
    PutHeader(&measure, m);
    size_t header = measure.pos;
    PutStructuredData(&measure, m.scan, 0);
    size_t fixed = measure.pos;
    measure.pos = header;
    PutStructuredData(&measure, m.scan, whole);
    size_t rdns = measure.pos - fixed;
    size_t budget = size - 1;
    if (fixed > budget)
        return 0;
    const bool rdnsWhole = rdns <= budget - fixed;
    size_t rdnsRoom = rdnsWhole ? rdns : budget - fixed;

    Sink sink = {out, 0, budget};
    PutHeader(&sink, m);
    PutStructuredData(&sink, m.scan, rdnsRoom);
    if (m.msg != NULL && m.msg[0] != '\0' && rdnsWhole) {
        bool wide = false;
        measure.pos = 0;
        PutSafe(&measure, m.msg, kMessageText, whole, &wide);
        // A separator and BOM with no text after them would be a MSG of
        // nothing; leave MSG out instead.
        size_t mark = sink.pos;
        bool started = Put(&sink, " ", 1) && (!wide || Put(&sink, kBom, 3));
        size_t text = sink.pos;
        if (started)
            PutSafe(&sink, m.msg, kMessageText, whole, &wide);
        if (sink.pos == text)
            sink.pos = mark;
    }
    out[sink.pos] = '\0';
    return sink.pos;
}

size_t FrameOctetCounted(const char* msg, size_t len, char* out, size_t size)
{
    if (size == 0)
        return 0;
    out[0] = '\0';
    if (len > 0x7fffffff)
        return 0;
    char number[kDecimalSize];
    FormatDecimal((int32_t)len, number);
    Sink sink = {out, 0, size - 1};
    if (!PutText(&sink, number) || !PutText(&sink, " ") || !Put(&sink, msg, len)) {
        out[0] = '\0';
        return 0;
    }
    out[sink.pos] = '\0';
    return sink.pos;
}

namespace {

// A host that is nothing but digits and dots must be a dotted quad, each
// number 0-255 without leading zeros (which some resolvers read as octal).
bool IsDottedQuad(const char* host, size_t length)
{
    size_t parts = 0, digits = 0;
    uint32_t value = 0;
    for (size_t i = 0; i <= length; ++i) {
        if (i == length || host[i] == '.') {
            if (digits == 0 || value > 255 || (digits > 1 && host[i - digits] == '0'))
                return false;
            ++parts, digits = 0, value = 0;
        } else if (++digits > 3) {
            return false;
        } else {
            value = value * 10 + (uint32_t)(host[i] - '0');
        }
    }
    return parts == 4;
}

bool IsHostName(const char* host, size_t length)
{
    bool numeric = true;
    for (size_t i = 0; i < length; ++i) {
        char c = host[i];
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
        bool digit = c >= '0' && c <= '9';
        if (c == '.') {
            // Empty labels; one trailing dot (the root) is allowed.
            if (i == 0 || host[i - 1] == '.')
                return false;
        } else if (!letter && !digit) {
            return false;
        }
        numeric = numeric && !letter;
    }
    return length > 0 && (!numeric || IsDottedQuad(host, length));
}

} // namespace

bool ParseSyslogServer(const char* text, char (&host)[256], uint16_t* port)
{
    host[0] = '\0';
    if (text == NULL)
        return false;
    size_t length = 0;
    while (text[length] != '\0' && text[length] != ':')
        ++length;
    if (length >= sizeof host || !IsHostName(text, length))
        return false;
    uint32_t value = kSyslogDefaultPort;
    if (text[length] == ':') {
        const char* digits = text + length + 1;
        size_t count = 0;
        value = 0;
        while (count < 6 && digits[count] >= '0' && digits[count] <= '9')
            value = value * 10 + (uint32_t)(digits[count++] - '0');
        if (count == 0 || digits[count] != '\0' || value == 0 || value > 65535)
            return false;
    }
    // length + 1 bytes take exactly the host and its terminator.
    TextCopyN(host, length + 1, text);
    *port = (uint16_t)value;
    return true;
}
