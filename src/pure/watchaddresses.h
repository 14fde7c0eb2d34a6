// The local addresses the stealth watch opens a socket for. A laptop that
// changes network gets addresses the watch never opened and loses ones it
// did, so the watch compares what the system lists now with what it
// watches, and opens and closes only the difference.
#ifndef HARBINEL_WATCHADDRESSES_H
#define HARBINEL_WATCHADDRESSES_H

#include <stddef.h>
#include <stdint.h>

#include "netaddress.h"

// At most this many addresses are watched, one socket each: room for a PC's
// IPv4 addresses and the several IPv6 ones (link-local, temporary, global)
// each network gives it.
const size_t kWatchAddressCap = 16;

struct AddressChanges {
    NetAddress open[kWatchAddressCap];
    size_t openCount;
    NetAddress close[kWatchAddressCap];
    size_t closeCount;
    // Addresses listed that the cap left unwatched.
    size_t leftOut;
};

// watched: the distinct addresses watched now (at most cap). found: what the
// system lists now, in any order and of either family, possibly with
// repeats and the unspecified address (0.0.0.0 or ::, an interface without
// an address), which is never watched. Fills out with the
// watched addresses no longer listed, to close, and the listed ones not yet
// watched, to open, in the order listed, while the addresses kept and opened
// stay within cap (at most kWatchAddressCap). An address already watched
// keeps its place ahead of a new one, so a crowded list does not swap
// sockets back and forth.
void CompareAddressSets(const NetAddress* watched, size_t watchedCount, const NetAddress* found,
                        size_t foundCount, size_t cap, AddressChanges* out);

// Gives the link-local addresses of an IPv6 packet read by the socket of
// own their zone. bare: the packet came without its header from a raw TCP
// socket of no address, and senderZone is the zone its sender came with.
// Otherwise every socket of the interface sees the packet, and only the one
// of a link-local address knows the interface's zone: false tells the
// others to leave the packet to it.
bool PlaceZones(const NetAddress& own, bool bare, uint32_t senderZone, NetAddress* source,
                NetAddress* destination);

// "Stealth watch: watching 3 addresses", "... watching 1 address".
void BuildWatchingLineN(size_t count, char* out, size_t size);

// "Stealth watch: 2 more addresses not watched (8 at most)".
void BuildLeftOutLineN(size_t leftOut, size_t cap, char* out, size_t size);

template <size_t N> inline void BuildWatchingLine(size_t count, char (&out)[N])
{
    BuildWatchingLineN(count, out, N);
}
template <size_t N> inline void BuildLeftOutLine(size_t leftOut, size_t cap, char (&out)[N])
{
    BuildLeftOutLineN(leftOut, cap, out, N);
}

#endif
