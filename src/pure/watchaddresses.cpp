// The stealth watch's address comparison and its log lines. The lists hold a
// few addresses, so plain walks serve.
#include "watchaddresses.h"

#include "decimal.h"
#include "text.h"

static bool Holds(const NetAddress* list, size_t count, const NetAddress& address)
{
    for (size_t i = 0; i < count; ++i)
        if (NetAddressEqual(list[i], address))
            return true;
    return false;
}

static bool Unspecified(const NetAddress& address)
{
    for (uint8_t byte : address.bytes)
        if (byte != 0)
            return false;
    return true;
}

void CompareAddressSets(const NetAddress* watched, size_t watchedCount, const NetAddress* found,
                        size_t foundCount, size_t cap, AddressChanges* out)
{
    out->openCount = 0;
    out->closeCount = 0;
    out->leftOut = 0;
    if (cap > kWatchAddressCap)
        cap = kWatchAddressCap;
    size_t kept = 0;
    for (size_t i = 0; i < watchedCount; ++i) {
        if (Holds(found, foundCount, watched[i]))
            ++kept;
        else if (out->closeCount < kWatchAddressCap)
            out->close[out->closeCount++] = watched[i];
    }
    for (size_t i = 0; i < foundCount; ++i) {
        const NetAddress& address = found[i];
        // Repeats of an address count once, where first listed.
        if (Unspecified(address) || Holds(found, i, address) ||
            Holds(watched, watchedCount, address))
            continue;
        if (kept + out->openCount < cap)
            out->open[out->openCount++] = address;
        else
            ++out->leftOut;
    }
}

bool PlaceZones(const NetAddress& own, bool bare, uint32_t senderZone, NetAddress* source,
                NetAddress* destination)
{
    source->zone = 0;
    destination->zone = 0;
    if (IsLinkLocal(*source))
        source->zone = bare ? senderZone : own.zone;
    if (IsLinkLocal(*destination))
        destination->zone = own.zone;
    return bare || IsLinkLocal(own) || (!IsLinkLocal(*source) && !IsLinkLocal(*destination));
}

// Counts here are at most the address list's length.
void BuildWatchingLineN(size_t count, char* out, size_t size)
{
    TextCopyN(out, size, "Stealth watch: watching ");
    AppendCountN((uint32_t)count, " address", " addresses", out, size);
}

void BuildLeftOutLineN(size_t leftOut, size_t cap, char* out, size_t size)
{
    TextCopyN(out, size, "Stealth watch: ");
    AppendCountN((uint32_t)leftOut, " more address", " more addresses", out, size);
    TextAppendN(out, size, " not watched (");
    AppendDecimalN(cap > INT32_MAX ? INT32_MAX : (int32_t)cap, out, size);
    TextAppendN(out, size, " at most)");
}
