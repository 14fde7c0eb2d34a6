// The watch's ring of SYNs and the once-a-minute count of what it lost.
#include "watchring.h"

#include "decimal.h"
#include "text.h"

void WatchRingPush(WatchRing* ring, const WatchSyn& syn)
{
    if (ring->count == kWatchRingCap) {
        ring->first = (ring->first + 1) % kWatchRingCap;
        --ring->count;
        if (ring->dropped != UINT32_MAX)
            ++ring->dropped;
    }
    ring->items[(ring->first + ring->count) % kWatchRingCap] = syn;
    ++ring->count;
}

size_t WatchRingTake(WatchRing* ring, WatchSyn* out, size_t max)
{
    size_t taken = 0;
    while (taken < max && ring->count > 0) {
        out[taken++] = ring->items[ring->first];
        ring->first = (ring->first + 1) % kWatchRingCap;
        --ring->count;
    }
    return taken;
}

uint32_t WatchRingTakeDropped(WatchRing* ring)
{
    uint32_t dropped = ring->dropped;
    ring->dropped = 0;
    return dropped;
}

void BuildTooBusyLineN(uint32_t count, char* out, size_t size)
{
    TextCopyN(out, size, "Stealth watch: ");
    AppendCountN(count, " packet", " packets", out, size);
    TextAppendN(out, size, " not examined (too busy)");
}
