// Trusted callers: addresses and CIDR ranges whose scans are logged as
// trusted, with no alert and no balloon. Parsed strictly from the registry's multi-string value and
// from the text of the settings dialog, then matched against each caller.
#ifndef HARBINEL_TRUSTED_H
#define HARBINEL_TRUSTED_H

#include <stddef.h>
#include <stdint.h>

// Addresses are in host byte order: a.b.c.d is a << 24 | b << 16 | c << 8 | d.
struct TrustedRange {
    uint32_t network; // host bits already cleared
    uint32_t mask;
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
bool ParseTrustedEntry(const char* text, TrustedRange* out);

// True when address lies in one of the list's ranges.
bool IsTrusted(const TrustedList& list, uint32_t address);

// Refills list from a registry multi-string: zero-terminated entries ended by
// an empty one, read from at most `bytes` bytes whatever terminators are
// missing. Blank entries are skipped. The invalid entries are written into
// `invalid` (invalidSize bytes) as "a, b, c", control bytes shown as '?'; a
// report that does not fit ends with "...".
TrustedReport ParseTrustedMulti(const char* data, size_t bytes, TrustedList* list, char* invalid,
                                size_t invalidSize);

// The same for the dialog's text: one entry per line (LF or CR LF), blank
// lines skipped.
TrustedReport ParseTrustedLines(const char* text, TrustedList* list, char* invalid,
                                size_t invalidSize);

// The list as text, one entry per line (CR LF after each), for the dialog.
void TrustedListTextN(const TrustedList& list, char* out, size_t size);
template <size_t N> inline void TrustedListText(const TrustedList& list, char (&out)[N])
{
    TrustedListTextN(list, out, N);
}

// The list as a registry multi-string: each entry and its zero, then an
// empty entry. Entries that do not fit whole are left out. Returns the bytes.
size_t TrustedListMulti(const TrustedList& list, char* out, size_t size);

#endif
