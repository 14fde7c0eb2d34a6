// Trusted callers: addresses and CIDR ranges whose scans are logged as
// trusted, with no alert and no balloon. Parsed strictly from the registry's multi-string value and
// from the text of the settings dialog, then matched against each caller.
#ifndef HARBINEL_TRUSTED_H
#define HARBINEL_TRUSTED_H

#include <stddef.h>
#include <stdint.h>

#include "netaddress.h"

// One entry, IPv4 or IPv6, with its host bits already cleared. IPv4
// addresses are in host byte order: a.b.c.d is a << 24 | b << 16 | c << 8 | d.
struct TrustedRange {
    uint32_t network; // IPv4 only
    uint32_t mask;
    uint8_t family;       // kFamilyV4 or kFamilyV6
    uint8_t prefix;       // 0-32 or 0-128
    uint8_t network6[16]; // IPv6 only, network order
};

const size_t kTrustedCap = 64;

// Zero-initialise before first use ("TrustedList list = {};").
struct TrustedList {
    TrustedRange ranges[kTrustedCap];
    size_t count;
};

// What a fill left out: entries that did not parse, and valid entries that
// found the list full. A dialog refuses the text when either is non-zero.
struct TrustedReport {
    uint32_t invalid;
    uint32_t dropped;
};

// "a.b.c.d" or "a.b.c.d/n": decimal octets 0-255 without leading zeros (some
// parsers read "010" as octal, so it is refused rather than guessed), prefix
// 0-32, no signs and no spaces inside. Spaces, tabs, CR and LF around the
// whole entry are ignored. Host bits beyond the prefix are cleared, so
// 10.1.2.3/8 means 10.0.0.0/8.
// IPv6: "2001:db8::/32", "::1", "fe80::/10": one to eight groups of one to
// four hex digits, at most one "::" standing for at least one zero group,
// and eight groups exactly without it; a dotted IPv4 tail may stand for the
// last two groups ("::ffff:1.2.3.4", octets as above). Prefix 0-128 without
// leading zeros. No zone: a scope id names an interface of this PC, which
// says nothing about who the caller is. An IPv4-mapped entry of /96 or longer
// is kept as the IPv4 range it stands for, because mapped callers are matched
// as IPv4 (::ffff:10.0.0.0/104 is 10.0.0.0/8).
bool ParseTrustedEntry(const char* text, TrustedRange* out);

// True when address (IPv4, host byte order) lies in one of the list's IPv4
// ranges.
bool IsTrusted(const TrustedList& list, uint32_t address);

// True when the caller lies in one of the list's ranges of its own family.
// An IPv4-mapped caller is unmapped first and matched against the IPv4
// ranges only; an IPv6 caller's zone plays no part.
bool IsTrustedAddress(const TrustedList& list, const NetAddress& caller);

// Refills list from a registry multi-string: zero-terminated entries ended by
// an empty one, read from at most `bytes` bytes whatever terminators are
// missing. Blank entries are skipped. The invalid entries are written into
// `invalid` (invalidSize bytes) as "a, b, c", control bytes shown as '?'; a
// report that does not fit ends with "...".
TrustedReport ParseTrustedMulti(const char* data, size_t bytes, TrustedList* list, char* invalid,
                                size_t invalidSize);

// The same for a plain registry text, as deployment scripts write it: entries
// separated by line ends, commas, spaces or tabs, read from at most `bytes`
// bytes up to the first zero.
TrustedReport ParseTrustedText(const char* data, size_t bytes, TrustedList* list, char* invalid,
                               size_t invalidSize);

// The same for the dialog's text: one entry per line (LF or CR LF), blank
// lines skipped.
TrustedReport ParseTrustedLines(const char* text, TrustedList* list, char* invalid,
                                size_t invalidSize);

// The list as text, one entry per line (CR LF after each), for the dialog;
// IPv6 entries in their RFC 5952 form. The longest line is 45 bytes.
void TrustedListTextN(const TrustedList& list, char* out, size_t size);
template <size_t N> inline void TrustedListText(const TrustedList& list, char (&out)[N])
{
    TrustedListTextN(list, out, N);
}

// The list as a registry multi-string: each entry and its zero, then an
// empty entry. Entries that do not fit whole are left out. Returns the bytes.
size_t TrustedListMulti(const TrustedList& list, char* out, size_t size);

#endif
