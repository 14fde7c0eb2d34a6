// Blocking callers: the never-blocked checks, the capped blocked set, the
// rule's address text and the stored "address end-time" entries.
#include "blocklist.h"

#include <string.h>

#include "decimal.h"
#include "text.h"
#include "trusted.h"

// The address as the set and the table keep it: IPv4 for a mapped one, no zone.
static NetAddress Plain(const NetAddress& address)
{
    NetAddress a = Unmap(address);
    a.zone = 0;
    return a;
}

void NeverBlockAdd(NeverBlockTable* table, const NetAddress& address, BlockVerdict reason)
{
    NetAddress a = Plain(address);
    if (a.family != kFamilyV4 && a.family != kFamilyV6)
        return;
    for (size_t i = 0; i < table->count; ++i)
        if (NetAddressEqual(table->entries[i].address, a))
            return;
    if (table->count >= kNeverBlockCap) {
        ++table->leftOut;
        return;
    }
    table->entries[table->count].address = a;
    table->entries[table->count].reason = reason;
    ++table->count;
}

static bool IsUnspecified(const NetAddress& a)
{
    static const uint8_t zero[16] = {};
    return memcmp(a.bytes, zero, 16) == 0;
}

static bool IsOwnLoopback(const NetAddress& a)
{
    if (a.family == kFamilyV4)
        return NetAddressV4Host(a) == 0x7F000001u;
    static const uint8_t one[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return memcmp(a.bytes, one, 16) == 0;
}

BlockVerdict BlockVerdictFor(const NetAddress& caller, bool trusted, const NeverBlockTable& table)
{
    NetAddress a = Plain(caller);
    if ((a.family != kFamilyV4 && a.family != kFamilyV6) || IsUnspecified(a))
        return kBlockNoAddress;
    if (trusted)
        return kBlockTrusted;
    // 127.0.0.1 and ::1 are this PC whatever the adapters say; the rest of
    // 127/8 is loopback the firewall never filters, so blocking it is harmless.
    if (IsOwnLoopback(a))
        return kBlockThisPc;
    if (IsLinkLocal(a))
        return kBlockLinkLocal;
    for (size_t i = 0; i < table.count; ++i)
        if (NetAddressEqual(table.entries[i].address, a))
            return table.entries[i].reason;
    return kBlockYes;
}

void BuildNotBlockedLineN(BlockVerdict verdict, char* out, size_t size)
{
    const char* reason = "no address";
    switch (verdict) {
    case kBlockTrusted:
        reason = "trusted";
        break;
    case kBlockThisPc:
        reason = "this PC";
        break;
    case kBlockGateway:
        reason = "your gateway";
        break;
    case kBlockDns:
        reason = "your DNS server";
        break;
    case kBlockDhcp:
        reason = "your DHCP server";
        break;
    case kBlockLinkLocal:
        reason = "link-local";
        break;
    case kBlockYes:
    case kBlockNoAddress:
        break;
    }
    TextCopyN(out, size, "   Not blocked: ");
    TextAppendN(out, size, reason);
}

// ---- The blocked set ---------------------------------------------------------

uint64_t BlockEndTime(uint64_t now, uint32_t minutes)
{
    if (minutes == 0)
        return 0;
    if (minutes > kMaxBlockMinutes)
        minutes = kMaxBlockMinutes;
    return now + (uint64_t)minutes * 60;
}

int BlockSetFind(const BlockSet& set, const NetAddress& address)
{
    NetAddress a = Plain(address);
    for (size_t i = 0; i < set.count; ++i)
        if (NetAddressEqual(set.entries[i].address, a))
            return (int)i;
    return -1;
}

static void RemoveAt(BlockSet* set, size_t index)
{
    memmove(&set->entries[index], &set->entries[index + 1],
            (set->count - index - 1) * sizeof(BlockEntry));
    --set->count;
}

// The entry nearest its end: the earliest end time, or for a set of
// blocks for good only, the oldest.
static size_t NearestEnd(const BlockSet& set)
{
    size_t best = 0;
    for (size_t i = 1; i < set.count; ++i) {
        uint64_t e = set.entries[i].end, b = set.entries[best].end;
        if (e != 0 && (b == 0 || e < b))
            best = i;
    }
    return best;
}

BlockAddResult BlockSetAdd(BlockSet* set, const NetAddress& address, uint64_t end,
                           BlockEntry* letGo)
{
    int found = BlockSetFind(*set, address);
    if (found >= 0) {
        uint64_t& old = set->entries[found].end;
        if (old != 0 && (end == 0 || end > old))
            old = end;
        return kBlockRenewed;
    }
    BlockAddResult result = kBlockAdded;
    if (set->count >= kBlockCap) {
        size_t nearest = NearestEnd(*set);
        if (letGo != NULL)
            *letGo = set->entries[nearest];
        RemoveAt(set, nearest);
        result = kBlockLetGo;
    }
    set->entries[set->count].address = Plain(address);
    set->entries[set->count].end = end;
    ++set->count;
    return result;
}

bool BlockSetRemove(BlockSet* set, const NetAddress& address)
{
    int found = BlockSetFind(*set, address);
    if (found < 0)
        return false;
    RemoveAt(set, (size_t)found);
    return true;
}

bool BlockSetTakeExpired(BlockSet* set, uint64_t now, BlockEntry* out)
{
    for (size_t i = 0; i < set->count; ++i) {
        if (set->entries[i].end != 0 && set->entries[i].end <= now) {
            *out = set->entries[i];
            RemoveAt(set, i);
            return true;
        }
    }
    return false;
}

size_t BlockRuleTextN(const BlockSet& set, char* out, size_t size)
{
    size_t length = TextCopyN(out, size, "");
    for (size_t i = 0; i < set.count; ++i) {
        char address[kNetAddressTextSize];
        FormatNetAddress(set.entries[i].address, address);
        size_t need = TextLength(address) + (length > 0 ? 1 : 0);
        if (length + need + 1 > size)
            continue;
        if (length > 0)
            TextAppendN(out, size, ",");
        length = TextAppendN(out, size, address);
    }
    return length;
}

bool BlockWriteDue(bool changed, bool everWritten, uint32_t nowMs, uint32_t lastWriteMs)
{
    return changed && (!everWritten || nowMs - lastWriteMs >= 1000);
}

// ---- Texts -------------------------------------------------------------------

// Appends an unsigned count; the counts here stay far below 2^31.
static void AppendCount(uint64_t value, char* out, size_t size)
{
    char digits[24];
    size_t n = 0;
    do {
        digits[n++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0 && n < sizeof digits - 1);
    char text[24];
    for (size_t i = 0; i < n; ++i)
        text[i] = digits[n - 1 - i];
    text[n] = '\0';
    TextAppendN(out, size, text);
}

void BuildBlockedLineN(uint32_t minutes, char* out, size_t size)
{
    if (minutes == 0) {
        TextCopyN(out, size, "   Blocked until unblocked");
        return;
    }
    if (minutes > kMaxBlockMinutes)
        minutes = kMaxBlockMinutes;
    TextCopyN(out, size, "   Blocked for ");
    AppendCount(minutes, out, size);
    TextAppendN(out, size, minutes == 1 ? " minute" : " minutes");
}

void BuildUnblockedLineN(const NetAddress& address, const char* reason, char* out, size_t size)
{
    TextCopyN(out, size, "Unblocked ");
    AppendNetAddressN(address, out, size);
    TextAppendN(out, size, " (");
    TextAppendN(out, size, reason);
    TextAppendN(out, size, ")");
}

void BuildTimeLeftN(const BlockEntry& entry, uint64_t now, char* out, size_t size)
{
    if (entry.end == 0) {
        TextCopyN(out, size, "until unblocked");
        return;
    }
    if (entry.end <= now) {
        TextCopyN(out, size, "ending");
        return;
    }
    // Whole minutes, rounded up: a block with 30 s left has "1 min left".
    uint64_t minutes = (entry.end - now + 59) / 60;
    TextCopyN(out, size, "");
    if (minutes > 60) {
        AppendCount(minutes / 60, out, size);
        TextAppendN(out, size, " h ");
        minutes %= 60;
    }
    AppendCount(minutes, out, size);
    TextAppendN(out, size, " min left");
}

// ---- The stored form -----------------------------------------------------------

void BlockEntryTextN(const BlockEntry& entry, char* out, size_t size)
{
    FormatNetAddressN(entry.address, out, size);
    TextAppendN(out, size, " ");
    AppendCount(entry.end, out, size);
}

static bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool ParseBlockEntry(const char* text, BlockEntry* out)
{
    const char* begin = text;
    while (IsBlank(*begin))
        ++begin;
    const char* space = begin;
    while (*space != '\0' && *space != ' ')
        ++space;
    size_t addressLength = (size_t)(space - begin);
    if (*space != ' ' || addressLength == 0 || addressLength >= kNetAddressTextSize)
        return false;
    char address[kNetAddressTextSize];
    memcpy(address, begin, addressLength);
    address[addressLength] = '\0';
    // The trusted list's strict parser, for a single address: no range.
    TrustedRange range;
    if (strchr(address, '/') != NULL || !ParseTrustedEntry(address, &range))
        return false;
    const char* digit = space + 1;
    uint64_t end = 0;
    size_t digits = 0;
    for (; *digit >= '0' && *digit <= '9'; ++digit, ++digits) {
        if (digits >= 19 || (digits == 1 && end == 0))
            return false; // too long for the time there is, or a leading zero
        end = end * 10 + (uint64_t)(*digit - '0');
    }
    while (IsBlank(*digit))
        ++digit;
    if (digits == 0 || *digit != '\0')
        return false;
    BlockEntry entry = {};
    if (range.family == kFamilyV4)
        entry.address = NetAddressFromV4Host(range.network);
    else
        entry.address = NetAddressFromV6(range.network6, 0);
    entry.end = end;
    *out = entry;
    return true;
}

size_t BlockSetMulti(const BlockSet& set, char* out, size_t size)
{
    size_t used = 0;
    for (size_t i = 0; i < set.count; ++i) {
        char entry[kBlockEntryTextSize];
        BlockEntryText(set.entries[i], entry);
        size_t length = TextLength(entry) + 1;
        if (used + length + 1 > size)
            break;
        memcpy(out + used, entry, length);
        used += length;
    }
    if (used < size)
        out[used++] = '\0';
    return used;
}

BlockLoadReport BlockSetFromMulti(const char* data, size_t bytes, BlockSet* set)
{
    BlockLoadReport report = {};
    set->count = 0;
    size_t at = 0;
    while (at < bytes) {
        size_t end = at;
        while (end < bytes && data[end] != '\0')
            ++end;
        char text[kBlockEntryTextSize + 1];
        size_t length = end - at;
        size_t kept = length < sizeof text - 1 ? length : sizeof text - 1;
        memcpy(text, data + at, kept);
        text[kept] = '\0';
        at = end + 1;
        bool blank = true;
        for (size_t i = 0; i < kept; ++i)
            blank = blank && IsBlank(text[i]);
        if (blank)
            continue;
        BlockEntry entry;
        if (length >= sizeof text - 1 || !ParseBlockEntry(text, &entry)) {
            if (report.invalid++ == 0) {
                size_t n = 0;
                for (; n < kept && n < sizeof report.firstBad - 1; ++n) {
                    unsigned char c = (unsigned char)text[n];
                    report.firstBad[n] = c < 0x20 || c >= 0x7F ? '?' : (char)c;
                }
                report.firstBad[n] = '\0';
            }
            continue;
        }
        if (set->count >= kBlockCap && BlockSetFind(*set, entry.address) < 0) {
            ++report.dropped;
            continue;
        }
        BlockSetAdd(set, entry.address, entry.end, NULL);
    }
    return report;
}
