// The stealth watch's memory of SYNs it has seen: half-open attempts on
// listened ports waiting for their accept, and per-caller counts of SYNs to
// ports nobody listens on. Both tables are fixed in size; a flood of forged
// sources pushes old entries out instead of growing anything.
#ifndef HARBINEL_SYNWATCH_H
#define HARBINEL_SYNWATCH_H

#include <stddef.h>
#include <stdint.h>

#include "countnotice.h"
#include "netaddress.h"

// Times are milliseconds from a clock that wraps (the tick count). Ages are
// the difference from now taken as signed, so the wrap is harmless and a
// time slightly ahead of now is young, as long as the tables are polled far
// more often than every 24 days.

// ---- Half-open attempts on listened ports ---------------------------------

const size_t kSynPendingCap = 256;
// A SYN not followed by an accept within this time was a half-open scan.
const uint32_t kSynHalfOpenMs = 3000;

// A repeat of an attempt (a retransmission, or a copy of the same SYN read
// from a second socket) arriving within this time of its last SYN holds its
// record back: the handshake may be finishing, and its accept on the way.
const uint32_t kSynRepeatGraceMs = 1000;
// A caller that repeats its SYN for ever is named all the same, this many
// half-open windows after its first SYN.
const uint32_t kSynRepeatWindows = 4;

// One attempt is one connection: the caller's address and port and the
// local address and port, all four. Ports in host byte order. The local
// address is the unspecified one of its family where the packet did not
// tell it, and then stands for any local address of that family.
struct SynRecord {
    NetAddress callerAddress;
    NetAddress localAddress;
    uint16_t callerPort;
    uint16_t localPort;
    uint32_t timeMs; // the first SYN: the half-open window starts there
    uint32_t lastMs; // the latest repeat
};

// Connections accepted lately, whether their SYN had been seen or not: the
// watch reads its packets on another thread, and an accept can overtake its
// own SYN; a second socket of the same interface may hand over a copy of it
// later still. Such a SYN, when it comes, starts no record.
// The ring holds the accepts of a few seconds at a few hundred a second: a
// SYN read after more accepts than this is taken for a half-open attempt.
const size_t kSynAcceptedCap = 1024;
// How long an accept is remembered at most: about as long as a client goes
// on retransmitting a SYN before it gives up.
const uint32_t kSynAcceptedMs = 30000;
struct SynAccepted {
    NetAddress callerAddress;
    NetAddress localAddress;
    uint16_t callerPort;
    uint16_t localPort;
    uint32_t timeMs;
    bool used;
};

// ---- SYN floods -------------------------------------------------------------

// More new records than the table holds within one half-open window turn it
// over: a flood, told in one line at most this often.
const uint32_t kSynFloodNoticeMs = 60000;
// The distinct sources of a flood are estimated, not listed: each sets one
// bit of this many, chosen by a hash seeded per run so that no sender can aim
// its forged sources at one bit, and the share of bits still clear gives the
// count (linear counting). Within a few per cent up to about 100,000
// sources in 4 KiB, whatever the flood.
const size_t kSynFloodSourceBits = 32768;
const size_t kSynFloodSamples = 3;

struct SynFloodMeter {
    uint32_t seed; // set once, before the first SYN
    bool periodOpen;
    uint32_t periodStartMs; // what the next line tells began here
    uint32_t periodCount;   // new records since then
    uint32_t windowStartMs; // the half-open window being counted
    uint32_t windowCount;
    uint32_t busiestWindow; // the most new records of one window this period
    bool flooding;          // a window of this period had more than kSynPendingCap
    bool noticed;           // a line was told, at lastNoticeMs
    uint32_t lastNoticeMs;
    uint32_t sourceBits[kSynFloodSourceBits / 32];
    NetAddress samples[kSynFloodSamples]; // the period's first distinct sources
    size_t sampleCount;
};

// What one flood line tells.
struct SynFloodNotice {
    uint32_t perSecond; // in the period's busiest window
    uint32_t sources;   // an estimate, see kSynFloodSourceBits
    NetAddress samples[kSynFloodSamples];
    size_t sampleCount;
};

// Zero-initialised it is empty. Records are kept oldest first.
struct SynPendingTable {
    SynRecord records[kSynPendingCap];
    size_t count;
    SynAccepted accepted[kSynAcceptedCap]; // a ring, the oldest overwritten
    size_t acceptedNext;
    // Records pushed out unreported because the table was full, since the
    // last notice (SynTakeDroppedNotice), and the notices' own count.
    uint32_t dropped;
    CountNotice notice;
    SynFloodMeter flood;
};

// Notes a SYN to a listened port. A repeat of a pending attempt (all four
// values the same), whatever its delay, is the caller's retransmission or a
// copy read from another socket: it refreshes that record and starts
// nothing, and so does the SYN of a connection accepted within
// kSynAcceptedMs. Returns whether a record was started. When the table is
// full the oldest record is dropped and counted in dropped: handing it out
// early would call a connection half-open whose accept may still come.
bool SynNoteAttempt(SynPendingTable* table, const NetAddress& callerAddress, uint16_t callerPort,
                    const NetAddress& localAddress, uint16_t localPort, uint32_t nowMs);

// Ends the pending record of this connection, whose accept just came, and
// remembers the accept for kSynAcceptedMs so that its SYN, still on its way
// or read again, is not taken for a half-open attempt. Returns whether
// there was a record.
bool SynMatchAccept(SynPendingTable* table, const NetAddress& callerAddress, uint16_t callerPort,
                    const NetAddress& localAddress, uint16_t localPort, uint32_t nowMs);

// Takes out the oldest record whose first SYN is at least windowMs old, for
// logging as a half-open scan, unless a repeat within kSynRepeatGraceMs
// (or windowMs, when shorter) holds it back for up to kSynRepeatWindows
// windows. One per call: the caller loops until it returns false. A
// windowMs of 0 takes every record stamped up to now.
bool SynTakeExpired(SynPendingTable* table, uint32_t nowMs, SynRecord* out,
                    uint32_t windowMs = kSynHalfOpenMs);

// For an accept that failed because the caller had already gone: the program
// knows only the local port and the family it listens on. Takes out the
// oldest pending record for that port and family, the one whose handshake
// most likely finished first and so reached the head of the accept queue.
bool SynTakeByLocalPort(SynPendingTable* table, uint16_t localPort, uint8_t family, SynRecord* out);

// A flood that fills the table is told in one line at most this often.
const uint32_t kSynDroppedNoticeMs = 60000;

// Timer work, every tick: the number of records dropped since the last
// notice, for one log line, and dropped starts again from 0; 0 when none
// were dropped or the last notice is younger than intervalMs, whose drops
// wait for the next. The interval is measured on the wrapping clock as an
// unsigned difference: called every tick, it never comes near the wrap.
uint32_t SynTakeDroppedNotice(SynPendingTable* table, uint32_t nowMs,
                              uint32_t intervalMs = kSynDroppedNoticeMs);

// "Stealth watch: 40 half-open callers not tracked (table full)".
void BuildDroppedLineN(uint32_t dropped, char* out, size_t size);
template <size_t N> inline void BuildDroppedLine(uint32_t dropped, char (&out)[N])
{
    BuildDroppedLineN(dropped, out, N);
}

// Timer work: true, with out filled, when a flood was seen (more than
// kSynPendingCap new records within one kSynHalfOpenMs window) over a period
// at least that long, and no line was told for kSynFloodNoticeMs. The
// period then starts again.
bool SynTakeFloodNotice(SynPendingTable* table, uint32_t nowMs, SynFloodNotice* out);

// "Stealth watch: SYN flood, 412 a second from 3,980 sources (e.g.
// 203.0.113.5, 198.51.100.7, 192.0.2.1, ...)".
void BuildFloodLineN(const SynFloodNotice& notice, char* out, size_t size);
template <size_t N> inline void BuildFloodLine(const SynFloodNotice& notice, char (&out)[N])
{
    BuildFloodLineN(notice, out, N);
}

// ---- Port sweeps on ports nobody listens on -------------------------------

const size_t kSweepCallerCap = 256;
// Distinct ports remembered per caller; beyond this ports are only counted.
const size_t kSweepPortCap = 64;
// This many distinct ports within kSweepWindowMs make a sweep.
const uint32_t kSweepThreshold = 5;
const uint32_t kSweepWindowMs = 10000;
// A sweep, once reported, runs this long; then the caller starts afresh.
const uint32_t kSweepPeriodMs = 60000;

enum SweepEventKind { kSweepNone, kSweepStarted, kSweepUpdate };

struct SweepEvent {
    SweepEventKind kind;
    NetAddress callerAddress;
    uint32_t portCount;
    uint16_t lowPort;
    uint16_t highPort;
    // False once the caller hit more than kSweepPortCap ports: from then on
    // every port not remembered counts, repeats included.
    bool countExact;
};

struct SweepCaller {
    NetAddress address;
    uint32_t lastMs;
    uint32_t lastSeq;      // recency, for choosing whom to push out
    uint32_t sweepStartMs; // when kSweepStarted was handed out
    bool sweeping;
    bool updatePending; // ports arrived after kSweepStarted
    bool countExact;
    uint32_t portCount;
    uint16_t lowPort;
    uint16_t highPort;
    uint32_t storedPorts;
    uint16_t ports[kSweepPortCap];
    uint32_t portMs[kSweepPortCap]; // last SYN to each port, for the sliding window
};

// Zero-initialised it is empty. When all kSweepCallerCap slots are taken, a
// new caller replaces the one least recently seen.
struct SweepTable {
    SweepCaller callers[kSweepCallerCap];
    size_t count;
    uint32_t seq;
};

// Notes a SYN from callerAddress to an unlistened port. Returns the event,
// also written to out:
// - kSweepStarted when the caller has now hit kSweepThreshold distinct ports
//   within the last kSweepWindowMs;
// - kSweepUpdate when a previous sweep period of this caller (or of the caller
//   pushed out to make room) had further ports whose update was never taken;
// - kSweepNone otherwise.
// Further ports within kSweepPeriodMs of the start only update the counts;
// their one update is handed out when the period ends, by SweepTakeDue (or
// here, if a SYN comes first). So each sweep period adds at most two lines
// however hard the caller floods.
SweepEventKind SweepNote(SweepTable* table, const NetAddress& callerAddress, uint16_t port,
                         uint32_t nowMs, SweepEvent* out);

// Timer work: hands out one update of a sweep period that has ended, per
// call (loop until false), and forgets callers idle for kSweepPeriodMs.
bool SweepTakeDue(SweepTable* table, uint32_t nowMs, SweepEvent* out);

#endif
