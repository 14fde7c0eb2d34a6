// One scan as every output sees it: what the detector saw (a connection, a
// caller gone before its accept, a half-open caller, a port sweep), who and
// where, trusted or not, and when. The outputs build their texts from it.
#ifndef HARBINEL_SCANRECORD_H
#define HARBINEL_SCANRECORD_H

#include <stddef.h>
#include <stdint.h>

#include "logfiles.h"
#include "netaddress.h"

enum ScanKind {
    kScanConnect, // a caller connected and was accepted
    kScanGone,    // a caller connected and hung up before its accept
    kScanStealth, // a caller seen only from its packets (half-open, or gone and named)
    kScanSweep,   // one caller's SYNs to ports nobody listens on
};

struct ScanRecord {
    ScanKind kind;
    NetAddress caller;   // IPv4 or IPv6, never the mapped form; family 0 when unknown (gone)
    uint16_t callerPort; // 0 when unknown
    NetAddress local;    // the local address called; family 0 when unknown
    uint16_t port;       // the port scanned; a sweep's lowest
    uint16_t highPort;   // a sweep's highest; the port otherwise
    uint32_t portCount;  // the ports a sweep touched; 1 otherwise
    bool countExact;     // false when a sweep's count may hold repeats
    bool trusted;
    bool verified; // the caller finished a handshake, so its address is proven
    char time[kIsoTimeSize]; // local time, ISO 8601 with its offset
};

// The kind as outputs name it: "connect", "gone", "stealth", "sweep".
const char* ScanKindName(ScanKind kind);

// The caller's address (dotted decimal, or IPv6 in its RFC 5952 form), or
// "-" when unknown.
void FormatScanCallerN(const ScanRecord& record, char* out, size_t size);
// The local address called, or "-" when unknown.
void FormatScanLocalN(const ScanRecord& record, char* out, size_t size);

// The record in one line for people, for instance
//   "Scan from 203.0.113.5:51234 on 192.168.1.2:31337"
//   "Scan from [2001:db8::5]:51234 on [2001:db8::1]:31337"
//   "Stealth scan from 203.0.113.5:51234 on 192.168.1.2:31337"
//   "Scan on port 31337 from a caller that left at once"
//   "Port sweep from 203.0.113.5: 12 ports, 1-1024"
// then " (trusted)" for a trusted caller and " (host.example)" when rdns is
// a name (null or "" adds nothing). The name must already be escaped.
void BuildScanSummaryN(const ScanRecord& record, const char* rdns, char* out, size_t size);

// The trojans of the built-in table that use the scanned port, apart by
// ", " ("Back Orifice"); empty for a sweep and for a port none of them uses.
void ScanKnownAsN(const ScanRecord& record, char* out, size_t size);
template <size_t N> inline void ScanKnownAs(const ScanRecord& record, char (&out)[N])
{
    ScanKnownAsN(record, out, N);
}

// A sweep's log line: "Port sweep from <address>" + middle + "<n> ports,
// <lowest>-<highest>", with "up to " before a count that may hold repeats.
void BuildSweepLineN(const ScanRecord& record, const char* middle, char* out, size_t size);

template <size_t N>
inline void BuildSweepLine(const ScanRecord& record, const char* middle, char (&out)[N])
{
    BuildSweepLineN(record, middle, out, N);
}
template <size_t N> inline void FormatScanCaller(const ScanRecord& record, char (&out)[N])
{
    FormatScanCallerN(record, out, N);
}
template <size_t N> inline void FormatScanLocal(const ScanRecord& record, char (&out)[N])
{
    FormatScanLocalN(record, out, N);
}
template <size_t N>
inline void BuildScanSummary(const ScanRecord& record, const char* rdns, char (&out)[N])
{
    BuildScanSummaryN(record, rdns, out, N);
}

#endif
