// The texts of the program's log lines and warnings.
#include "linetext.h"

#include "errortext.h"
#include "decimal.h"
#include "text.h"

const char kDefaultWarning[] = "WARNING: Access attempt has been logged. Your ISP will be notified";

int BuildWarningText(int32_t messageType, const char* custom, char* out, size_t size)
{
    if (messageType == kMessageNone)
        return -1;
    TextCopyN(out, size, messageType == kMessageDefault ? kDefaultWarning : custom);
    return (int)TextAppendN(out, size, "\r\n");
}

void BuildCountLineN(const char* head, int32_t n, char* out, size_t size)
{
    TextCopyN(out, size, head);
    AppendDecimalN(n, out, size);
    TextAppendN(out, size, n == 1 ? " port" : " ports");
}

void BuildPortsLineN(const int32_t* ports, int shown, int32_t total, char* out, size_t size)
{
    TextCopyN(out, size, "Ports: ");
    if (shown > kPortsShown)
        shown = kPortsShown;
    for (int i = 0; i < shown; ++i) {
        if (i > 0)
            TextAppendN(out, size, ", ");
        AppendDecimalN(ports[i], out, size);
    }
    if (total > shown) {
        TextAppendN(out, size, " and ");
        AppendDecimalN(total - shown, out, size);
        TextAppendN(out, size, " more");
    }
}

int InsertPortInOrder(int32_t* ports, int shown, int cap, int32_t port)
{
    int at = 0;
    while (at < shown && ports[at] < port)
        ++at;
    if (at < shown && ports[at] == port)
        return shown;
    if (shown >= cap) {
        if (at >= cap)
            return cap;  // higher than every port kept
        shown = cap - 1; // the highest gives way
    }
    for (int i = shown; i > at; --i)
        ports[i] = ports[i - 1];
    ports[at] = port;
    return shown + 1;
}

void FormatPortEntryN(int32_t port, char* out, size_t size)
{
    char digits[kDecimalSize];
    FormatDecimal(port, digits);
    TextCopyN(out, size, "");
    for (size_t pad = TextLength(digits); pad < 5; ++pad)
        TextAppendN(out, size, " ");
    TextAppendN(out, size, digits);
}

void BuildRdnsLineN(int errorCode, const char* hostName, char* out, size_t size)
{
    TextCopyN(out, size, "   RDNS: ");
    if (errorCode != 0) {
        TextAppendN(out, size, HostErrorText(errorCode));
        return;
    }
    size_t used = TextLength(out);
    if (used + 1 < size)
        EscapeCallerData(hostName, TextLength(hostName), out + used, size - used);
}

const char kGoneCaller[] = "caller gone before accept";

const char* ScanHeadLine(bool trusted)
{
    return trusted ? "Scan detected (trusted)" : "Scan detected";
}

// The length of the valid UTF-8 sequence that starts at p (2 to 4 bytes,
// shortest form, no surrogates, at most U+10FFFF) and its code point; 0 when
// none starts there.
static size_t Utf8Sequence(const unsigned char* p, size_t left, uint32_t* codePoint)
{
    const unsigned char c = p[0];
    size_t length = 0;
    uint32_t value = 0;
    unsigned char low = 0x80, high = 0xBF; // the allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
        value = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        value = c & 0x0Fu;
        low = c == 0xE0 ? 0xA0 : 0x80;
        high = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        value = c & 0x07u;
        low = c == 0xF0 ? 0x90 : 0x80;
        high = c == 0xF4 ? 0x8F : 0xBF;
    }
    if (length == 0 || left < length || p[1] < low || p[1] > high)
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((p[k] & 0xC0) != 0x80)
            return 0;
        value = value << 6 | (p[k] & 0x3Fu);
    }
    *codePoint = value;
    return length;
}

// Code points that some viewers take for a line break or a terminal control:
// the C1 controls (NEL among them) and the Unicode line and paragraph
// separators.
static bool BreaksLines(uint32_t codePoint)
{
    return (codePoint >= 0x80 && codePoint <= 0x9F) || codePoint == 0x2028 || codePoint == 0x2029;
}

size_t EscapeCallerData(const char* data, size_t length, char* out, size_t size)
{
    static const char kHex[] = "0123456789ABCDEF";
    if (size == 0)
        return 0;
    const unsigned char* bytes = (const unsigned char*)data;
    size_t n = 0;
    size_t i = 0;
    while (i < length) {
        unsigned char c = bytes[i];
        // A valid UTF-8 sequence goes whole, raw or every byte escaped; a
        // byte of no sequence is judged alone, 0x80-0x9F being C1 controls.
        uint32_t codePoint = c;
        size_t take = c >= 0x80 ? Utf8Sequence(bytes + i, length - i, &codePoint) : 0;
        bool escapeAll = take > 0 && BreaksLines(codePoint);
        if (take == 0)
            take = 1;
        char escape[16];
        size_t width = 0;
        for (size_t k = 0; k < take; ++k) {
            unsigned char b = bytes[i + k];
            char named = take > 1    ? 0
                         : b == '\r' ? 'r'
                         : b == '\n' ? 'n'
                         : b == '\t' ? 't'
                         : b == '\\' ? '\\'
                                     : 0;
            if (named != 0) {
                escape[width++] = '\\';
                escape[width++] = named;
            } else if (escapeAll || (take == 1 && (b < 0x20 || (b >= 0x7F && b <= 0x9F)))) {
                escape[width++] = '\\';
                escape[width++] = 'x';
                escape[width++] = kHex[b >> 4];
                escape[width++] = kHex[b & 15];
            } else {
                escape[width++] = (char)b;
            }
        }
        if (n + width > size - 1)
            break; // no room for the whole of it: stop before, never inside
        for (size_t k = 0; k < width; ++k)
            out[n++] = escape[k];
        i += take;
    }
    out[n] = '\0';
    return n;
}

void BuildAddressLineN(const char* prefix, const char* caller, const char* local, int32_t port,
                       char* out, size_t size)
{
    TextCopyN(out, size, prefix);
    TextAppendN(out, size, caller);
    TextAppendN(out, size, " -> ");
    TextAppendN(out, size, local);
    TextAppendN(out, size, ":");
    AppendDecimalN(port, out, size);
}
