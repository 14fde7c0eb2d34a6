// The Windows Event Log's insertion strings, built from a scan record, and
// the spelling out of '%' that keeps Event Viewer from expanding caller text.
#include "eventtext.h"

#include "decimal.h"
#include "text.h"

size_t NeutralisePercentN(const char* text, char* out, size_t size)
{
    if (size == 0)
        return 0;
    static const char kEscaped[] = "\\x25";
    const size_t escapedLength = sizeof kEscaped - 1;
    size_t length = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p != '%') {
            if (length + 1 >= size)
                break;
            out[length++] = *p;
            continue;
        }
        if (length + escapedLength >= size)
            break;
        for (size_t i = 0; i < escapedLength; ++i)
            out[length++] = kEscaped[i];
    }
    out[length] = '\0';
    return length;
}

void BuildScanEventStrings(const ScanRecord& record, const char* rdns, ScanEventStrings* out)
{
    FormatScanCaller(record, out->caller);
    TextCopy(out->callerPort, record.kind == kScanGone || record.callerPort == 0 ? "-" : "");
    if (out->callerPort[0] == '\0')
        AppendDecimal(record.callerPort, out->callerPort);
    FormatScanLocal(record, out->local);
    TextCopy(out->port, "");
    AppendDecimal(record.port, out->port);
    if (rdns == NULL || rdns[0] == '\0')
        TextCopy(out->name, "-");
    else
        NeutralisePercent(rdns, out->name);
    TextCopy(out->time, record.time);
    TextCopy(out->kind, ScanKindName(record.kind));
    TextCopy(out->count, record.countExact ? "" : "up to ");
    AppendDecimal((int32_t)(record.portCount > 0x7FFFFFFFu ? 0x7FFFFFFFu : record.portCount),
                  out->count);
    TextCopy(out->highPort, "");
    AppendDecimal(record.kind == kScanSweep ? record.highPort : record.port, out->highPort);
    ScanKnownAs(record, out->knownAs);
    if (out->knownAs[0] == '\0')
        TextCopy(out->knownAs, "-");
}

void ScanEventStringList(const ScanEventStrings& strings, const char* (&list)[kScanEventStrings])
{
    list[0] = strings.caller;
    list[1] = strings.callerPort;
    list[2] = strings.local;
    list[3] = strings.port;
    list[4] = strings.name;
    list[5] = strings.time;
    list[6] = strings.kind;
    list[7] = strings.count;
    list[8] = strings.highPort;
    list[9] = strings.knownAs;
}
