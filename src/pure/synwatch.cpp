// The stealth watch's two tables. Both are small enough (hundreds of entries)
// that a linear walk per SYN costs less than keeping an index in step.
#include "synwatch.h"

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

static bool AcceptedAlready(const SynPendingTable* table, const NetAddress& callerAddress,
                            uint16_t callerPort, uint32_t nowMs)
{
    for (const SynAccepted& a : table->accepted)
        if (a.used && a.callerPort == callerPort &&
            NetAddressEqual(a.callerAddress, callerAddress) &&
            !Older(nowMs, a.timeMs, kSynHalfOpenMs))
            return true;
    return false;
}

bool SynNoteAttempt(SynPendingTable* table, const NetAddress& callerAddress, uint16_t callerPort,
                    const NetAddress& localAddress, uint16_t localPort, uint32_t nowMs)
{
    if (AcceptedAlready(table, callerAddress, callerPort, nowMs))
        return false;
    for (size_t i = 0; i < table->count; ++i) {
        const SynRecord& r = table->records[i];
        if (r.callerPort == callerPort && r.localPort == localPort &&
            NetAddressEqual(r.callerAddress, callerAddress) &&
            !Older(nowMs, r.timeMs, kSynHalfOpenMs))
            return false;
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
    return true;
}

bool SynMatchAccept(SynPendingTable* table, const NetAddress& callerAddress, uint16_t callerPort,
                    uint32_t nowMs)
{
    for (size_t i = 0; i < table->count; ++i) {
        const SynRecord& r = table->records[i];
        if (r.callerPort == callerPort && NetAddressEqual(r.callerAddress, callerAddress)) {
            RemoveRecord(table, i, NULL);
            return true;
        }
    }
    SynAccepted& slot = table->accepted[table->acceptedNext % kSynAcceptedCap];
    table->acceptedNext = (table->acceptedNext + 1) % kSynAcceptedCap;
    slot.callerAddress = callerAddress;
    slot.callerPort = callerPort;
    slot.timeMs = nowMs;
    slot.used = true;
    return false;
}

bool SynTakeExpired(SynPendingTable* table, uint32_t nowMs, SynRecord* out, uint32_t windowMs)
{
    for (size_t i = 0; i < table->count; ++i) {
        if (Older(nowMs, table->records[i].timeMs, windowMs)) {
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
