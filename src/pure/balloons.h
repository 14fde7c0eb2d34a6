// Throttling of the tray balloons: at most one per caller a minute, the next
// one saying how many scans came in between, and the balloon's text.
#ifndef HARBINEL_BALLOONS_H
#define HARBINEL_BALLOONS_H

#include <stddef.h>
#include <stdint.h>

#include "netaddress.h"

const uint32_t kBalloonIntervalMs = 60000;
const size_t kBalloonCallers = 64;
// The tray's balloon text field holds 256 characters with the terminator;
// the longest text built here is far shorter.
const size_t kBalloonTextSize = 256;

struct BalloonCaller {
    NetAddress address;
    uint32_t shownMs;    // tick count of its last balloon
    uint32_t suppressed; // scans since then that showed none
};

// Zero-initialise before first use ("BalloonTable table = {};").
struct BalloonTable {
    BalloonCaller callers[kBalloonCallers];
    size_t count;
};

struct BalloonDecision {
    bool show;
    uint32_t suppressedBefore; // when showing: the caller's scans since its last balloon
};

// Records a scan from address at nowMs, a millisecond tick
// count that may wrap. A caller not in the table gets a balloon; when the
// table is full it takes the place of the caller whose last balloon is
// oldest, whose unshown count is forgotten.
BalloonDecision BalloonNoteScan(BalloonTable& table, const NetAddress& address, uint32_t nowMs);

// "Scan from 203.0.113.5 on port 31337", then " and 1 more scan" or
// " and 12 more scans" when moreScans is not 0. Overwrites out.
void BuildBalloonTextN(const NetAddress& address, int32_t port, uint32_t moreScans, char* out,
                       size_t size);

template <size_t N>
inline void BuildBalloonText(const NetAddress& address, int32_t port, uint32_t moreScans,
                             char (&out)[N])
{
    BuildBalloonTextN(address, port, moreScans, out, N);
}

#endif
