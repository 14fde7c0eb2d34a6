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

size_t EscapeCallerData(const char* data, size_t length, char* out, size_t size)
{
    static const char kHex[] = "0123456789ABCDEF";
    if (size == 0)
        return 0;
    size_t n = 0;
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = (unsigned char)data[i];
        char escape[4];
        size_t width = 2;
        escape[0] = '\\';
        if (c == '\r')
            escape[1] = 'r';
        else if (c == '\n')
            escape[1] = 'n';
        else if (c == '\t')
            escape[1] = 't';
        else if (c == '\\')
            escape[1] = '\\';
        else if (c < 0x20 || c == 0x7F) {
            escape[1] = 'x';
            escape[2] = kHex[c >> 4];
            escape[3] = kHex[c & 15];
            width = 4;
        } else {
            escape[0] = (char)c;
            width = 1;
        }
        if (n + width > size - 1)
            break; // no room for the whole of it: stop before, never inside
        for (size_t k = 0; k < width; ++k)
            out[n++] = escape[k];
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
