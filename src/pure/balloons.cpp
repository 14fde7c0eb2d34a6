// Per-caller balloon throttling over a fixed table, and the balloon's text.
// Tick counts wrap every 49.7 days, so ages are unsigned differences.
#include "balloons.h"

#include "decimal.h"
#include "text.h"

BalloonDecision BalloonNoteScan(BalloonTable& table, const NetAddress& address, uint32_t nowMs)
{
    BalloonDecision decision = {true, 0};
    size_t oldest = 0;
    for (size_t i = 0; i < table.count && i < kBalloonCallers; ++i) {
        BalloonCaller& c = table.callers[i];
        if (NetAddressEqual(c.address, address)) {
            if (nowMs - c.shownMs < kBalloonIntervalMs) {
                ++c.suppressed;
                decision.show = false;
                return decision;
            }
            decision.suppressedBefore = c.suppressed;
            c.shownMs = nowMs;
            c.suppressed = 0;
            return decision;
        }
        if (nowMs - c.shownMs > nowMs - table.callers[oldest].shownMs)
            oldest = i;
    }
    size_t slot = table.count < kBalloonCallers ? table.count++ : oldest;
    BalloonCaller fresh = {address, nowMs, 0};
    table.callers[slot] = fresh;
    return decision;
}

// The 32-bit decimal helper is signed; splitting off the last digit keeps
// counts above two thousand million right.
static void AppendCount(uint32_t n, char* out, size_t size)
{
    if (n >= 10)
        AppendDecimalN((int32_t)(n / 10), out, size);
    const char digit[2] = {(char)('0' + n % 10), '\0'};
    TextAppendN(out, size, digit);
}

void BuildBalloonTextN(const NetAddress& address, int32_t port, uint32_t moreScans, char* out,
                       size_t size)
{
    TextCopyN(out, size, "Scan from ");
    AppendNetAddressN(address, out, size);
    TextAppendN(out, size, " on port ");
    AppendDecimalN(port, out, size);
    if (moreScans == 0)
        return;
    TextAppendN(out, size, " and ");
    AppendCount(moreScans, out, size);
    TextAppendN(out, size, moreScans == 1 ? " more scan" : " more scans");
}
