// The scan record's small texts, shared by every output that sends a scan
// away from the PC.
#include "scanrecord.h"

#include "decimal.h"
#include "text.h"
#include "trojans.h"

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

static void FormatAddress(const NetAddress& address, bool gone, char* out, size_t size)
{
    if (gone || (address.family != kFamilyV4 && address.family != kFamilyV6))
        TextCopyN(out, size, "-");
    else
        FormatNetAddressN(address, out, size);
}

void FormatScanCallerN(const ScanRecord& record, char* out, size_t size)
{
    FormatAddress(record.caller, record.kind == kScanGone, out, size);
}

void FormatScanLocalN(const ScanRecord& record, char* out, size_t size)
{
    FormatAddress(record.local, record.kind == kScanGone, out, size);
}

void BuildSweepLineN(const ScanRecord& record, const char* middle, char* out, size_t size)
{
    TextCopyN(out, size, "Port sweep from ");
    AppendNetAddressN(record.caller, out, size);
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
        AppendNetAddressPortN(record.caller, record.callerPort, out, size);
        TextAppendN(out, size, " on ");
        AppendNetAddressPortN(record.local, record.port, out, size);
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

void ScanKnownAsN(const ScanRecord& record, char* out, size_t size)
{
    // A sweep's ports are many; naming the trojans of its lowest would mislead.
    if (record.kind == kScanSweep)
        TextCopyN(out, size, "");
    else
        KnownTrojansN(TrojanPortTable, record.port, out, size);
}
