// The built-in table of well-known trojans and the ports they listen on,
// shown by the Trojan Ports dialog, offered as a port list at the first start
// and named under a scan on one of its ports.
#ifndef HARBINEL_TROJANS_H
#define HARBINEL_TROJANS_H

#include <stddef.h>
#include <stdint.h>

// Pairs of zero-terminated strings, name then ports ("41, 999"), one after
// another, ended by an empty name.
extern const char TrojanPortTable[];

// The string that follows the given one in the table.
inline const char* NextTableString(const char* s)
{
    while (*s != '\0')
        ++s;
    return s + 1;
}

// The distinct ports of a table, ascending, into out: the lowest cap of
// them when there are more. Returns how many it put there.
int TrojanTablePorts(const char* table, int32_t* out, int cap);

// "   Port 31337: Back Orifice": every trojan of the table that uses port,
// in table order, apart by ", ". Empty when none does.
void BuildKnownPortLineN(const char* table, int32_t port, char* out, size_t size);
// The same names without the line's head ("NetBus, Other"); empty when none.
void KnownTrojansN(const char* table, int32_t port, char* out, size_t size);

template <size_t N> inline void BuildKnownPortLine(int32_t port, char (&out)[N])
{
    BuildKnownPortLineN(TrojanPortTable, port, out, N);
}
template <size_t N> inline void KnownTrojans(int32_t port, char (&out)[N])
{
    KnownTrojansN(TrojanPortTable, port, out, N);
}

// Room for every name of the table once, and the line's head.
const size_t kKnownPortLineSize = 160;

#endif
