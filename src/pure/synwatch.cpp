// The stealth watch's two tables. Both are small enough (hundreds of entries)
// that a linear walk per SYN costs less than keeping an index in step.
#include "synwatch.h"

#include <math.h>
#include <string.h>

#include "decimal.h"
#include "text.h"

// Signed, so that a time a little ahead of now (stamped by another thread
// after now was read) counts as young rather than 49 days old.
static bool Older(uint32_t nowMs, uint32_t thenMs, uint32_t ageMs)
{
    return (int32_t)(nowMs - thenMs) >= (int32_t)ageMs;
}

// ---- Half-open attempts -----------------------------------------------------

static void RemoveRecord(SynPendingTable* table, size_t index, SynRecord* out)
{
    if (out != NULL)
        *out = table->records[index];
    // Shifting keeps the records oldest first, which every lookup relies on.
    memmove(&table->records[index], &table->records[index + 1],
            (table->count - index - 1) * sizeof(SynRecord));
    --table->count;
}

static bool Unspecified(const NetAddress& address)
{
    for (uint8_t byte : address.bytes)
        if (byte != 0)
            return false;
    return true;
}

// Where the packet did not tell the local address, or the accept could not
// read it, the one known stands for the pair.
static bool SameLocal(const NetAddress& a, const NetAddress& b)
{
    if (a.family == 0 || b.family == 0)
        return true;
    return NetAddressEqual(a, b) || (a.family == b.family && (Unspecified(a) || Unspecified(b)));
}

static bool SameConnection(const NetAddress& callerA, uint16_t callerPortA,
                           const NetAddress& localA, uint16_t localPortA, const NetAddress& callerB,
                           uint16_t callerPortB, const NetAddress& localB, uint16_t localPortB)
{
    return callerPortA == callerPortB && localPortA == localPortB &&
           NetAddressEqual(callerA, callerB) && SameLocal(localA, localB);
}

static bool AcceptedAlready(const SynPendingTable* table, const NetAddress& callerAddress,
                            uint16_t callerPort, const NetAddress& localAddress, uint16_t localPort,
                            uint32_t nowMs)
{
    for (const SynAccepted& a : table->accepted)
        if (a.used &&
            SameConnection(a.callerAddress, a.callerPort, a.localAddress, a.localPort,
                           callerAddress, callerPort, localAddress, localPort) &&
            !Older(nowMs, a.timeMs, kSynAcceptedMs))
            return true;
    return false;
}

static void FloodNote(SynFloodMeter* flood, const NetAddress& source, uint32_t nowMs);

bool SynNoteAttempt(SynPendingTable* table, const NetAddress& callerAddress, uint16_t callerPort,
                    const NetAddress& localAddress, uint16_t localPort, uint32_t nowMs)
{
    if (AcceptedAlready(table, callerAddress, callerPort, localAddress, localPort, nowMs))
        return false;
    for (size_t i = 0; i < table->count; ++i) {
        SynRecord& r = table->records[i];
        if (SameConnection(r.callerAddress, r.callerPort, r.localAddress, r.localPort,
                           callerAddress, callerPort, localAddress, localPort)) {
            // A copy read late from another socket may carry an older time.
            if (Older(nowMs, r.lastMs, 0))
                r.lastMs = nowMs;
            return false;
        }
    }
    if (table->count == kSynPendingCap) {
        RemoveRecord(table, 0, NULL);
        ++table->dropped;
    }
    SynRecord& r = table->records[table->count++];
    r.callerAddress = callerAddress;
    r.callerPort = callerPort;
    r.localAddress = localAddress;
    r.localPort = localPort;
    r.timeMs = nowMs;
    r.lastMs = nowMs;
    FloodNote(&table->flood, callerAddress, nowMs);
    return true;
}

bool SynMatchAccept(SynPendingTable* table, const NetAddress& callerAddress, uint16_t callerPort,
                    const NetAddress& localAddress, uint16_t localPort, uint32_t nowMs)
{
    bool found = false;
    for (size_t i = 0; i < table->count && !found; ++i) {
        const SynRecord& r = table->records[i];
        if (SameConnection(r.callerAddress, r.callerPort, r.localAddress, r.localPort,
                           callerAddress, callerPort, localAddress, localPort)) {
            RemoveRecord(table, i, NULL);
            found = true;
        }
    }
    SynAccepted& slot = table->accepted[table->acceptedNext % kSynAcceptedCap];
    table->acceptedNext = (table->acceptedNext + 1) % kSynAcceptedCap;
    slot.callerAddress = callerAddress;
    slot.callerPort = callerPort;
    slot.localAddress = localAddress;
    slot.localPort = localPort;
    slot.timeMs = nowMs;
    slot.used = true;
    return found;
}

static bool Due(const SynRecord& r, uint32_t nowMs, uint32_t windowMs)
{
    if (!Older(nowMs, r.timeMs, windowMs))
        return false;
    const uint32_t grace = kSynRepeatGraceMs < windowMs ? kSynRepeatGraceMs : windowMs;
    return Older(nowMs, r.lastMs, grace) || Older(nowMs, r.timeMs, windowMs * kSynRepeatWindows);
}

bool SynTakeExpired(SynPendingTable* table, uint32_t nowMs, SynRecord* out, uint32_t windowMs)
{
    for (size_t i = 0; i < table->count; ++i) {
        if (Due(table->records[i], nowMs, windowMs)) {
            RemoveRecord(table, i, out);
            return true;
        }
    }
    return false;
}

bool SynTakeByLocalPort(SynPendingTable* table, uint16_t localPort, uint8_t family, SynRecord* out)
{
    for (size_t i = 0; i < table->count; ++i) {
        const SynRecord& r = table->records[i];
        if (r.localPort == localPort && r.callerAddress.family == family) {
            RemoveRecord(table, i, out);
            return true;
        }
    }
    return false;
}

uint32_t SynTakeDroppedNotice(SynPendingTable* table, uint32_t nowMs, uint32_t intervalMs)
{
    CountNoticeAdd(&table->notice, table->dropped);
    table->dropped = 0;
    return CountNoticeTake(&table->notice, nowMs, intervalMs);
}

void BuildDroppedLineN(uint32_t dropped, char* out, size_t size)
{
    TextCopyN(out, size, "Stealth watch: ");
    AppendCountN(dropped, " half-open caller not tracked (table full)",
                 " half-open callers not tracked (table full)", out, size);
}

// ---- SYN floods ----------------------------------------------------------------

// FNV-1a from a basis of the run's own, then a finaliser that spreads every
// input bit over the result, so which sources share a bit changes per run.
static uint32_t SourceHash(const NetAddress& address, uint32_t seed)
{
    uint32_t h = 2166136261u ^ seed;
    const uint8_t head[5] = {address.family, (uint8_t)address.zone, (uint8_t)(address.zone >> 8),
                             (uint8_t)(address.zone >> 16), (uint8_t)(address.zone >> 24)};
    for (uint8_t byte : head)
        h = (h ^ byte) * 16777619u;
    for (uint8_t byte : address.bytes)
        h = (h ^ byte) * 16777619u;
    h ^= h >> 16;
    h *= 0x85ebca6bu;
    h ^= h >> 13;
    h *= 0xc2b2ae35u;
    return h ^ (h >> 16);
}

static void StartPeriod(SynFloodMeter* flood, uint32_t nowMs)
{
    flood->periodOpen = true;
    flood->periodStartMs = nowMs;
    flood->periodCount = 0;
    flood->windowStartMs = nowMs;
    flood->windowCount = 0;
    flood->busiestWindow = 0;
    flood->flooding = false;
    memset(flood->sourceBits, 0, sizeof flood->sourceBits);
    flood->sampleCount = 0;
}

static void FloodNote(SynFloodMeter* flood, const NetAddress& source, uint32_t nowMs)
{
    if (!flood->periodOpen) {
        StartPeriod(flood, nowMs);
    } else if (Older(nowMs, flood->windowStartMs, kSynHalfOpenMs)) {
        // A window that held no flood leaves nothing to tell: counting starts again.
        if (!flood->flooding)
            StartPeriod(flood, nowMs);
        flood->windowStartMs = nowMs;
        flood->windowCount = 0;
    }
    ++flood->windowCount;
    if (flood->windowCount > flood->busiestWindow)
        flood->busiestWindow = flood->windowCount;
    if (flood->periodCount != UINT32_MAX)
        ++flood->periodCount;
    if (flood->windowCount > kSynPendingCap)
        flood->flooding = true;
    const uint32_t bit = SourceHash(source, flood->seed) % kSynFloodSourceBits;
    flood->sourceBits[bit / 32] |= 1u << (bit % 32);
    for (size_t i = 0; i < flood->sampleCount; ++i)
        if (NetAddressEqual(flood->samples[i], source))
            return;
    if (flood->sampleCount < kSynFloodSamples)
        flood->samples[flood->sampleCount++] = source;
}

static uint32_t EstimateSources(const SynFloodMeter& flood)
{
    uint32_t clear = 0;
    for (uint32_t word : flood.sourceBits)
        for (uint32_t bits = ~word; bits != 0; bits &= bits - 1)
            ++clear;
    // With every bit set the estimate is at its ceiling (about 340,000).
    const double m = (double)kSynFloodSourceBits;
    const double estimate = m * log(m / (clear > 0 ? clear : 1));
    uint32_t sources = (uint32_t)lround(estimate);
    if (sources > flood.periodCount)
        sources = flood.periodCount;
    if (sources < flood.sampleCount)
        sources = (uint32_t)flood.sampleCount;
    return sources;
}

bool SynTakeFloodNotice(SynPendingTable* table, uint32_t nowMs, SynFloodNotice* out)
{
    SynFloodMeter& flood = table->flood;
    // A rate over less than a whole window would be a guess.
    if (!flood.periodOpen || !flood.flooding || !Older(nowMs, flood.periodStartMs, kSynHalfOpenMs))
        return false;
    if (flood.noticed && nowMs - flood.lastNoticeMs < kSynFloodNoticeMs)
        return false;
    // The rate while the flood ran, not over a minute it may have left half idle.
    out->perSecond = (uint32_t)((uint64_t)flood.busiestWindow * 1000 / kSynHalfOpenMs);
    out->sources = EstimateSources(flood);
    out->sampleCount = flood.sampleCount;
    for (size_t i = 0; i < flood.sampleCount; ++i)
        out->samples[i] = flood.samples[i];
    flood.noticed = true;
    flood.lastNoticeMs = nowMs;
    flood.periodOpen = false;
    return true;
}

// Digits in threes, "3,980", for counts a person reads at a glance.
static void AppendGrouped(uint32_t value, char* out, size_t size)
{
    char digits[16];
    size_t n = 0;
    do {
        digits[n++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    char text[24];
    size_t at = 0;
    while (n > 0) {
        text[at++] = digits[--n];
        if (n > 0 && n % 3 == 0)
            text[at++] = ',';
    }
    text[at] = 0;
    TextAppendN(out, size, text);
}

void BuildFloodLineN(const SynFloodNotice& notice, char* out, size_t size)
{
    TextCopyN(out, size, "Stealth watch: SYN flood, ");
    AppendGrouped(notice.perSecond, out, size);
    TextAppendN(out, size, " a second from ");
    AppendGrouped(notice.sources, out, size);
    TextAppendN(out, size, notice.sources == 1 ? " source" : " sources");
    if (notice.sampleCount == 0)
        return;
    TextAppendN(out, size, " (e.g. ");
    for (size_t i = 0; i < notice.sampleCount && i < kSynFloodSamples; ++i) {
        if (i > 0)
            TextAppendN(out, size, ", ");
        AppendNetAddressN(notice.samples[i], out, size);
    }
    TextAppendN(out, size, notice.sources > notice.sampleCount ? ", ...)" : ")");
}

// ---- Port sweeps --------------------------------------------------------------

static SweepEventKind Report(const SweepCaller& c, SweepEventKind kind, SweepEvent* out)
{
    out->kind = kind;
    out->callerAddress = c.address;
    out->portCount = c.portCount;
    out->lowPort = c.lowPort;
    out->highPort = c.highPort;
    out->countExact = c.countExact;
    return kind;
}

static void RemoveCaller(SweepTable* table, size_t index)
{
    // Order carries no meaning (recency lives in lastSeq), so the last entry
    // simply takes the freed slot.
    if (index != table->count - 1)
        table->callers[index] = table->callers[table->count - 1];
    --table->count;
}

static void StartAfresh(SweepCaller* c)
{
    c->sweeping = false;
    c->updatePending = false;
    c->storedPorts = 0;
}

static uint32_t Age(const SweepTable* table, size_t index)
{
    return table->seq - table->callers[index].lastSeq;
}

// The slot for a caller not in the table. A full table gives up its least
// recently seen caller, preferring one not in a reported sweep, so a flood
// of one-SYN forged sources cannot push a real sweeper out. That caller's
// update, if it had one, is written to out rather than lost.
static SweepCaller* NewCaller(SweepTable* table, SweepEvent* out)
{
    if (table->count < kSweepCallerCap)
        return &table->callers[table->count++];
    size_t notSweeping = kSweepCallerCap, any = 0;
    for (size_t i = 0; i < table->count; ++i) {
        if (!table->callers[i].sweeping &&
            (notSweeping == kSweepCallerCap || Age(table, i) > Age(table, notSweeping)))
            notSweeping = i;
        if (Age(table, i) > Age(table, any))
            any = i;
    }
    SweepCaller* c = &table->callers[notSweeping != kSweepCallerCap ? notSweeping : any];
    if (c->sweeping && c->updatePending)
        Report(*c, kSweepUpdate, out);
    return c;
}

static uint32_t FindPort(const SweepCaller& c, uint16_t port)
{
    for (uint32_t i = 0; i < c.storedPorts; ++i)
        if (c.ports[i] == port)
            return i;
    return kSweepPortCap;
}

// During a reported sweep every new port counts, for the update.
static void NoteDuringSweep(SweepCaller* c, uint16_t port)
{
    if (FindPort(*c, port) != kSweepPortCap)
        return;
    if (c->storedPorts < kSweepPortCap)
        c->ports[c->storedPorts++] = port;
    else
        c->countExact = false;
    ++c->portCount;
    if (port < c->lowPort)
        c->lowPort = port;
    if (port > c->highPort)
        c->highPort = port;
    c->updatePending = true;
}

static_assert(kSweepThreshold <= kSweepPortCap, "a sweep must be seen before the ports run out");

// Before a sweep is reported only the ports of the last kSweepWindowMs count,
// so the stored ports never reach the threshold, let alone kSweepPortCap.
static void NoteBeforeSweep(SweepCaller* c, uint16_t port, uint32_t nowMs)
{
    // This port's earlier SYN goes too: it comes back last, with its new time.
    uint32_t kept = 0;
    for (uint32_t i = 0; i < c->storedPorts; ++i) {
        if (!Older(nowMs, c->portMs[i], kSweepWindowMs) && c->ports[i] != port) {
            c->ports[kept] = c->ports[i];
            c->portMs[kept] = c->portMs[i];
            ++kept;
        }
    }
    c->ports[kept] = port;
    c->portMs[kept] = nowMs;
    c->storedPorts = kept + 1;
    c->portCount = c->storedPorts;
    c->countExact = true;
    c->lowPort = port;
    c->highPort = port;
    for (uint32_t i = 0; i < kept; ++i) {
        if (c->ports[i] < c->lowPort)
            c->lowPort = c->ports[i];
        if (c->ports[i] > c->highPort)
            c->highPort = c->ports[i];
    }
}

SweepEventKind SweepNote(SweepTable* table, const NetAddress& callerAddress, uint16_t port,
                         uint32_t nowMs, SweepEvent* out)
{
    out->kind = kSweepNone;
    SweepCaller* c = NULL;
    for (size_t i = 0; i < table->count && c == NULL; ++i)
        if (NetAddressEqual(table->callers[i].address, callerAddress))
            c = &table->callers[i];
    if (c == NULL) {
        c = NewCaller(table, out);
        c->address = callerAddress;
        StartAfresh(c);
    } else if (c->sweeping && Older(nowMs, c->sweepStartMs, kSweepPeriodMs)) {
        if (c->updatePending)
            Report(*c, kSweepUpdate, out);
        StartAfresh(c);
    }
    c->lastMs = nowMs;
    c->lastSeq = ++table->seq;

    if (c->sweeping) {
        NoteDuringSweep(c, port);
        return out->kind;
    }
    NoteBeforeSweep(c, port, nowMs);
    // An update handed out above already fills out; a caller starting afresh
    // holds one port, far below the threshold, so the two never meet.
    if (c->storedPorts >= kSweepThreshold) {
        c->sweeping = true;
        c->sweepStartMs = nowMs;
        return Report(*c, kSweepStarted, out);
    }
    return out->kind;
}

bool SweepTakeDue(SweepTable* table, uint32_t nowMs, SweepEvent* out)
{
    size_t i = 0;
    while (i < table->count) {
        const SweepCaller& c = table->callers[i];
        bool ended = c.sweeping ? Older(nowMs, c.sweepStartMs, kSweepPeriodMs)
                                : Older(nowMs, c.lastMs, kSweepWindowMs);
        if (!ended) {
            ++i;
            continue;
        }
        bool report = c.sweeping && c.updatePending;
        if (report)
            Report(c, kSweepUpdate, out);
        RemoveCaller(table, i);
        if (report)
            return true;
    }
    return false;
}
