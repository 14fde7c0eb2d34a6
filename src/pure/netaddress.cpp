// Building, comparing and writing addresses of either family. The IPv6 text
// is the one canonical form of RFC 5952, so the same caller always logs alike
// whatever spelling the system handed over.
#include "netaddress.h"

#include <string.h>

#include "decimal.h"
#include "text.h"

static const uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

NetAddress NetAddressFromV4(uint32_t networkOrder)
{
    NetAddress a = {};
    a.family = kFamilyV4;
    memcpy(a.bytes, &networkOrder, 4);
    return a;
}

NetAddress NetAddressFromV4Host(uint32_t hostOrder)
{
    NetAddress a = {};
    a.family = kFamilyV4;
    for (int i = 0; i < 4; ++i)
        a.bytes[i] = (uint8_t)(hostOrder >> (24 - 8 * i));
    return a;
}

NetAddress NetAddressFromV6(const uint8_t bytes[16], uint32_t zone)
{
    NetAddress a = {};
    a.family = kFamilyV6;
    memcpy(a.bytes, bytes, 16);
    a.zone = zone;
    return a;
}

bool IsLinkLocal(const NetAddress& address)
{
    return address.family == kFamilyV6 && address.bytes[0] == 0xfe &&
           (address.bytes[1] & 0xc0) == 0x80;
}

NetAddress NetAddressFromSocket6(const uint8_t bytes[16], uint32_t scopeId)
{
    NetAddress a = NetAddressFromV6(bytes, 0);
    if (IsLinkLocal(a))
        a.zone = scopeId;
    return a;
}

uint32_t NetAddressV4Host(const NetAddress& address)
{
    if (address.family != kFamilyV4)
        return 0;
    const uint8_t* b = address.bytes;
    return (uint32_t)b[0] << 24 | (uint32_t)b[1] << 16 | (uint32_t)b[2] << 8 | b[3];
}

bool IsV4Mapped(const NetAddress& address)
{
    return address.family == kFamilyV6 && memcmp(address.bytes, kMappedPrefix, 12) == 0;
}

NetAddress Unmap(const NetAddress& address)
{
    if (!IsV4Mapped(address))
        return address;
    NetAddress a = {};
    a.family = kFamilyV4;
    memcpy(a.bytes, address.bytes + 12, 4);
    return a;
}

bool NetAddressEqual(const NetAddress& a, const NetAddress& b)
{
    return a.family == b.family && a.zone == b.zone && memcmp(a.bytes, b.bytes, 16) == 0;
}

uint32_t NetAddressHash(const NetAddress& address)
{
    uint32_t h = 2166136261u;
    uint8_t all[21];
    all[0] = address.family;
    memcpy(all + 1, address.bytes, 16);
    for (int i = 0; i < 4; ++i)
        all[17 + i] = (uint8_t)(address.zone >> (8 * i));
    for (size_t i = 0; i < sizeof all; ++i)
        h = (h ^ all[i]) * 16777619u;
    return h;
}

// Scope ids are unsigned 32-bit; the shared decimal writer is signed.
static size_t AppendUnsignedN(uint32_t value, char* out, size_t size)
{
    char digits[11];
    size_t n = sizeof digits - 1;
    digits[n] = '\0';
    do {
        digits[--n] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return TextAppendN(out, size, digits + n);
}

static size_t AppendHexGroup(unsigned group, char* out, size_t size)
{
    static const char kHex[] = "0123456789abcdef";
    char text[5];
    size_t n = 0;
    for (int shift = 12; shift >= 0; shift -= 4)
        if ((group >> shift) != 0 || shift == 0)
            text[n++] = kHex[(group >> shift) & 15];
    text[n] = '\0';
    return TextAppendN(out, size, text);
}

static size_t AppendV6(const NetAddress& address, char* out, size_t size)
{
    unsigned groups[8];
    for (size_t i = 0; i < 8; ++i)
        groups[i] = (unsigned)address.bytes[2 * i] << 8 | address.bytes[2 * i + 1];
    size_t length = 0;
    if (IsV4Mapped(address)) {
        TextAppendN(out, size, "::ffff:");
        const uint8_t* b = address.bytes + 12;
        length = AppendDottedAddressN(
            (uint32_t)b[0] << 24 | (uint32_t)b[1] << 16 | (uint32_t)b[2] << 8 | b[3], out, size);
    } else {
        // The longest run of two or more zero groups becomes "::"; of equal
        // runs the first, as RFC 5952 asks.
        int bestStart = -1, bestLength = 1;
        for (int i = 0; i < 8;) {
            int j = i;
            while (j < 8 && groups[j] == 0)
                ++j;
            if (j - i > bestLength)
                bestStart = i, bestLength = j - i;
            i = j > i ? j : i + 1;
        }
        for (int i = 0; i < 8; ++i) {
            if (i == bestStart) {
                length = TextAppendN(out, size, "::");
                i += bestLength - 1;
                continue;
            }
            if (i > 0 && i != bestStart + bestLength)
                TextAppendN(out, size, ":");
            length = AppendHexGroup(groups[i], out, size);
        }
    }
    if (address.zone != 0) {
        TextAppendN(out, size, "%");
        length = AppendUnsignedN(address.zone, out, size);
    }
    return length;
}

size_t AppendNetAddressN(const NetAddress& address, char* out, size_t size)
{
    if (address.family == kFamilyV4)
        return AppendDottedAddressN(NetAddressV4Host(address), out, size);
    if (address.family == kFamilyV6)
        return AppendV6(address, out, size);
    return TextAppendN(out, size, "");
}

size_t AppendNetAddressPortN(const NetAddress& address, uint16_t port, char* out, size_t size)
{
    // Brackets keep the port's colon apart from the address's own.
    const bool v6 = address.family == kFamilyV6;
    if (v6)
        TextAppendN(out, size, "[");
    AppendNetAddressN(address, out, size);
    TextAppendN(out, size, v6 ? "]:" : ":");
    return AppendDecimalN(port, out, size);
}

void FormatNetAddressN(const NetAddress& address, char* out, size_t size)
{
    TextCopyN(out, size, "");
    AppendNetAddressN(address, out, size);
}

void FormatNetAddressPortN(const NetAddress& address, uint16_t port, char* out, size_t size)
{
    TextCopyN(out, size, "");
    AppendNetAddressPortN(address, port, out, size);
}
