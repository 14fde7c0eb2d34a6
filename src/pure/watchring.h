// The stealth watch's hand-over from its reading thread to the window's:
// the SYNs worth a look, in a fixed ring whose oldest entries a flood
// pushes out (and counts) rather than growing anything. The caller guards
// the ring with its own lock.
#ifndef HARBINEL_WATCHRING_H
#define HARBINEL_WATCHRING_H

#include <stddef.h>
#include <stdint.h>

#include "netaddress.h"

// Ports in host byte order. The destination is the unspecified address of
// the source's family where the packet came without its IP header.
struct WatchSyn {
    NetAddress source;
    NetAddress destination;
    uint16_t sourcePort;
    uint16_t destinationPort;
    uint32_t timeMs; // tick count when it was read
};

const size_t kWatchRingCap = 4096;

// Zero-initialised it is empty.
struct WatchRing {
    WatchSyn items[kWatchRingCap];
    size_t first; // index of the oldest
    size_t count;
    uint32_t dropped; // pushed out unexamined since the last take
};

// Adds a SYN; a full ring drops its oldest and counts it.
void WatchRingPush(WatchRing* ring, const WatchSyn& syn);
// Moves up to max SYNs, oldest first, into out; returns how many.
size_t WatchRingTake(WatchRing* ring, WatchSyn* out, size_t max);
// The count dropped since the last call, which starts again from 0.
uint32_t WatchRingTakeDropped(WatchRing* ring);

// "Stealth watch: 12 packets not examined (too busy)".
void BuildTooBusyLineN(uint32_t count, char* out, size_t size);
template <size_t N> inline void BuildTooBusyLine(uint32_t count, char (&out)[N])
{
    BuildTooBusyLineN(count, out, N);
}

#endif
