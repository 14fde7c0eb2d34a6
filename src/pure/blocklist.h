// Blocking callers in the firewall: who may never be blocked and why, the
// set of blocked addresses with their end times, the rule's address text and
// the stored form of the set. End times are wall-clock seconds since 1970
// UTC, so a block goes on counting across a restart and a tick-count wrap.
#ifndef HARBINEL_BLOCKLIST_H
#define HARBINEL_BLOCKLIST_H

#include <stddef.h>
#include <stdint.h>

#include "netaddress.h"

// Why a caller is or is not blocked.
enum BlockVerdict {
    kBlockYes,       // may be blocked
    kBlockNoAddress, // no address known
    kBlockTrusted,
    kBlockThisPc, // one of the PC's own addresses, loopback 127.0.0.1 and ::1 among them
    kBlockGateway,
    kBlockDns,
    kBlockDhcp,
    kBlockLinkLocal, // fe80::/10
};

// The addresses of the PC's own network that are never blocked: its own,
// its gateways, DNS and DHCP servers, as the adapters list them. Room for
// a PC with many adapters (virtual switches, VPNs), each with several
// addresses: one left out could be blocked.
const size_t kNeverBlockCap = 256;
struct NeverBlockEntry {
    NetAddress address; // unmapped, no zone
    BlockVerdict reason;
};
struct NeverBlockTable {
    NeverBlockEntry entries[kNeverBlockCap];
    size_t count;
    uint32_t leftOut; // addresses the full table could not take
};

// Adds address (unmapped, zone dropped) for reason; an address already in
// keeps its first reason. Counts it in leftOut when the table is full.
void NeverBlockAdd(NeverBlockTable* table, const NetAddress& address, BlockVerdict reason);

// Whether caller may be blocked: trusted callers, the PC itself, link-local
// callers and the table's addresses may not. A mapped caller is judged as
// the IPv4 address it stands for; a zone plays no part.
BlockVerdict BlockVerdictFor(const NetAddress& caller, bool trusted, const NeverBlockTable& table);

// "   Not blocked: your gateway" and the like, for a verdict other than kBlockYes.
void BuildNotBlockedLineN(BlockVerdict verdict, char* out, size_t size);

// ---- The blocked set ---------------------------------------------------------

// More addresses than this make the firewall slow to match; the one nearest
// its end goes first.
const size_t kBlockCap = 1000;
// A block can last a year at most; 0 minutes means until unblocked.
const uint32_t kMaxBlockMinutes = 525600;

struct BlockEntry {
    NetAddress address; // unmapped, no zone
    uint64_t end;       // seconds since 1970 UTC when it ends; 0: until unblocked
};

// Zero-initialise before first use. Entries stay in the order they came.
struct BlockSet {
    BlockEntry entries[kBlockCap];
    size_t count;
};

// When a block made at now (seconds since 1970) for minutes ends: 0, never,
// for 0 minutes; minutes beyond a year count as a year.
uint64_t BlockEndTime(uint64_t now, uint32_t minutes);

enum BlockAddResult {
    kBlockAdded,
    kBlockRenewed, // already blocked: its end moved to the later of the two
    kBlockLetGo,   // added, and the set was full: letGo is the entry let go
};
// Adds address until end. When the set is full, the entry nearest its end
// is let go to make room (among entries for good, the oldest).
BlockAddResult BlockSetAdd(BlockSet* set, const NetAddress& address, uint64_t end,
                           BlockEntry* letGo);
// Index of address in the set, or -1.
int BlockSetFind(const BlockSet& set, const NetAddress& address);
// False when address was not blocked.
bool BlockSetRemove(BlockSet* set, const NetAddress& address);
// Takes out one entry whose end has come by now; false when none has.
bool BlockSetTakeExpired(BlockSet* set, uint64_t now, BlockEntry* out);

// The rule's RemoteAddresses: the addresses apart by commas, in the set's
// order; entries that do not fit whole are left out. Returns the length,
// 0 for an empty set (an empty list would block every address, so the
// caller removes the rule instead).
const size_t kBlockRuleTextSize = kBlockCap * kNetAddressTextSize + 1;
size_t BlockRuleTextN(const BlockSet& set, char* out, size_t size);

// Whether the rule is due to be written: something changed and a second
// has passed since the last write (tick counts in ms; the difference is
// unsigned, so a wrap of the counter changes nothing).
bool BlockWriteDue(bool changed, bool everWritten, uint32_t nowMs, uint32_t lastWriteMs);

// ---- Texts -------------------------------------------------------------------

// "   Blocked for 60 minutes", "   Blocked for 1 minute", "   Blocked until unblocked".
void BuildBlockedLineN(uint32_t minutes, char* out, size_t size);
// "Unblocked 203.0.113.5 (time up)".
void BuildUnblockedLineN(const NetAddress& address, const char* reason, char* out, size_t size);
// The time a block has left at now: "until unblocked", "59 min left",
// "2 h 5 min left", "ending".
void BuildTimeLeftN(const BlockEntry& entry, uint64_t now, char* out, size_t size);

// ---- The stored form: "address end-time" entries of a multi-string --------

// "203.0.113.5 1765300000". Fits kBlockEntryTextSize.
const size_t kBlockEntryTextSize = kNetAddressTextSize + 22;
void BlockEntryTextN(const BlockEntry& entry, char* out, size_t size);
// One entry: an address (IPv4 dotted, or IPv6 without zone), one space and
// the end time in decimal seconds; spaces around the whole are ignored.
bool ParseBlockEntry(const char* text, BlockEntry* out);

// The set as a multi-string: each entry and its zero, then an empty one.
const size_t kBlockMultiSize = kBlockCap * kBlockEntryTextSize + 1;
size_t BlockSetMulti(const BlockSet& set, char* out, size_t size);

// What loading left out: entries that did not parse (the first of them in
// firstBad, control bytes as '?') and valid entries beyond the cap.
struct BlockLoadReport {
    uint32_t invalid;
    uint32_t dropped;
    char firstBad[40];
};
// Refills set from a multi-string of at most `bytes` bytes, whatever
// terminators are missing; blank entries are skipped, a repeat renews.
BlockLoadReport BlockSetFromMulti(const char* data, size_t bytes, BlockSet* set);

template <size_t N> inline void BuildNotBlockedLine(BlockVerdict verdict, char (&out)[N])
{
    BuildNotBlockedLineN(verdict, out, N);
}
template <size_t N> inline void BuildBlockedLine(uint32_t minutes, char (&out)[N])
{
    BuildBlockedLineN(minutes, out, N);
}
template <size_t N>
inline void BuildUnblockedLine(const NetAddress& address, const char* reason, char (&out)[N])
{
    BuildUnblockedLineN(address, reason, out, N);
}
template <size_t N> inline void BuildTimeLeft(const BlockEntry& entry, uint64_t now, char (&out)[N])
{
    BuildTimeLeftN(entry, now, out, N);
}
template <size_t N> inline void BlockEntryText(const BlockEntry& entry, char (&out)[N])
{
    BlockEntryTextN(entry, out, N);
}

#endif
