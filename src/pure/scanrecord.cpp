// The scan record's small texts, shared by every output that sends a scan
// away from the PC.
#include "scanrecord.h"

#include "decimal.h"
#include "text.h"

static uint32_t HostOrder(uint32_t networkOrder)
{
    const unsigned char* b = (const unsigned char*)&networkOrder;
    return (uint32_t)b[0] << 24 | (uint32_t)b[1] << 16 | (uint32_t)b[2] << 8 | b[3];
}

const char* ScanKindName(ScanKind kind)
{
    switch (kind) {
    case kScanConnect:
        return "connect";
    case kScanGone:
        return "gone";
    case kScanStealth:
        return "stealth";
    case kScanSweep:
        return "sweep";
    }
    return "connect";
}

static void FormatAddress(uint32_t address, char* out, size_t size)
{
    if (address == 0) {
        TextCopyN(out, size, "-");
        return;
    }
    TextCopyN(out, size, "");
    AppendDottedAddressN(HostOrder(address), out, size);
}

void FormatScanCallerN(const ScanRecord& record, char* out, size_t size)
{
    FormatAddress(record.kind == kScanGone ? 0 : record.caller, out, size);
}

void FormatScanLocalN(const ScanRecord& record, char* out, size_t size)
{
    FormatAddress(record.kind == kScanGone ? 0 : record.local, out, size);
}

static void AppendAddressAndPort(uint32_t address, uint16_t port, char* out, size_t size)
{
    AppendDottedAddressN(HostOrder(address), out, size);
    TextAppendN(out, size, ":");
    AppendDecimalN(port, out, size);
}

void BuildSweepLineN(const ScanRecord& record, const char* middle, char* out, size_t size)
{
    TextCopyN(out, size, "Port sweep from ");
    AppendDottedAddressN(HostOrder(record.caller), out, size);
    TextAppendN(out, size, middle);
    // Past the ports it remembers the table counts repeats too.
    if (!record.countExact)
        TextAppendN(out, size, "up to ");
    AppendCountN(record.portCount, " port", " ports", out, size);
    TextAppendN(out, size, ", ");
    AppendDecimalN(record.port, out, size);
    TextAppendN(out, size, "-");
    AppendDecimalN(record.highPort, out, size);
}

void BuildScanSummaryN(const ScanRecord& record, const char* rdns, char* out, size_t size)
{
    switch (record.kind) {
    case kScanGone:
        TextCopyN(out, size, "Scan on port ");
        AppendDecimalN(record.port, out, size);
        TextAppendN(out, size, " from a caller that left at once");
        break;
    case kScanSweep:
        BuildSweepLineN(record, ": ", out, size);
        break;
    case kScanConnect:
    case kScanStealth:
        TextCopyN(out, size, record.kind == kScanStealth ? "Stealth scan from " : "Scan from ");
        AppendAddressAndPort(record.caller, record.callerPort, out, size);
        TextAppendN(out, size, " on ");
        AppendAddressAndPort(record.local, record.port, out, size);
        break;
    }
    if (record.trusted)
        TextAppendN(out, size, " (trusted)");
    if (rdns != NULL && rdns[0] != '\0') {
        TextAppendN(out, size, " (");
        TextAppendN(out, size, rdns);
        TextAppendN(out, size, ")");
    }
}
