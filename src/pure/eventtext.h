// The Windows Event Log's insertion strings: a scan record's fields in the
// order the message table's sentences take them, and text made safe from
// Event Viewer, which expands %n and %%n sequences it finds inside them.
#ifndef HARBINEL_EVENTTEXT_H
#define HARBINEL_EVENTTEXT_H

#include <stddef.h>

#include "netaddress.h"
#include "scanrecord.h"

// Every scan event carries these ten strings, %1 to %10 of its sentence,
// so a collector finds each field at the same place whatever the event.
const int kScanEventStrings = 10;
// A host name escaped as the log shows it (255 bytes at four characters
// each at most), with each '%' of it spelt out.
const size_t kEventNameSize = 1024 + 1;

struct ScanEventStrings {
    char caller[kNetAddressTextSize]; // %1: the address, "-" when unknown
    char callerPort[8];               // %2
    char local[kNetAddressTextSize];  // %3: "-" when unknown
    char port[8];                     // %4: the port, a sweep's lowest
    char name[kEventNameSize];        // %5: the caller's name, "-" when it has none or none came
    char time[kIsoTimeSize];          // %6
    char kind[8];                     // %7: connect, gone, stealth, sweep
    char count[24];                   // %8: ports touched, "up to N" when repeats may count
    char highPort[8];                 // %9: a sweep's highest port; the port otherwise
    char knownAs[160];                // %10: the trojans that use the port, "-" when none
};

// The strings of record; rdns is the escaped name, "" or null.
void BuildScanEventStrings(const ScanRecord& record, const char* rdns, ScanEventStrings* out);
// Their addresses in %1..%10 order, for the call that writes the event.
void ScanEventStringList(const ScanEventStrings& strings, const char* (&list)[kScanEventStrings]);

// text with every '%' written "\x25", as the log escapes a byte, so that
// Event Viewer finds no insertion or parameter sequence in it ("%1" or
// "%%1" from a caller would otherwise be replaced by other text). The log
// writes a backslash as "\\", so the escape reads back unambiguously. At
// most size - 1 characters and a terminator, never half an escape; returns
// the length written.
size_t NeutralisePercentN(const char* text, char* out, size_t size);

template <size_t N> inline size_t NeutralisePercent(const char* text, char (&out)[N])
{
    return NeutralisePercentN(text, out, N);
}

#endif
