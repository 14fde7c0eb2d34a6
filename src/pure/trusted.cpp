// Strict parsing of trusted entries, the report of the ones refused, and the
// match of a caller against the list.
#include "trusted.h"

#include <string.h>

#include "decimal.h"
#include "text.h"

static bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// One to three digits with no leading zero, at most max. Three digits cannot
// overflow, and a fourth is left for the caller to refuse as a stray byte.
static bool ReadNumber(const char*& p, const char* end, uint32_t max, uint32_t* value)
{
    const char* start = p;
    uint32_t v = 0;
    while (p < end && p - start < 3 && *p >= '0' && *p <= '9')
        v = v * 10 + (uint32_t)(*p++ - '0');
    if (p == start || (*start == '0' && p - start > 1) || v > max)
        return false;
    *value = v;
    return true;
}

// Four dotted octets from p on.
static bool ReadDotted(const char*& p, const char* end, uint32_t* address)
{
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        uint32_t octet = 0;
        if (i > 0 && (p == end || *p++ != '.'))
            return false;
        if (!ReadNumber(p, end, 255, &octet))
            return false;
        value = value << 8 | octet;
    }
    *address = value;
    return true;
}

// "/n" or nothing at all in [p, end).
static bool ReadPrefix(const char* p, const char* end, uint32_t max, uint32_t* prefix)
{
    *prefix = max;
    if (p < end && *p == '/') {
        ++p;
        if (!ReadNumber(p, end, max, prefix))
            return false;
    }
    return p == end;
}

static void SetRange4(uint32_t address, uint32_t prefix, TrustedRange* out)
{
    // A shift by 32 is undefined, so /0 gets its empty mask directly.
    const uint32_t mask = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
    *out = TrustedRange();
    out->network = address & mask;
    out->mask = mask;
    out->family = kFamilyV4;
    out->prefix = (uint8_t)prefix;
}

static bool ParseRange4(const char* p, const char* end, TrustedRange* out)
{
    uint32_t address = 0, prefix = 0;
    if (!ReadDotted(p, end, &address) || !ReadPrefix(p, end, 32, &prefix))
        return false;
    SetRange4(address, prefix, out);
    return true;
}

static int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The groups of an IPv6 address in [p, end), which holds no prefix. The
// groups after a "::" are moved to the end once the count is known.
static bool ReadV6(const char* p, const char* end, uint8_t bytes[16])
{
    unsigned groups[8] = {};
    int count = 0, gap = -1;
    if (end - p >= 2 && p[0] == ':' && p[1] == ':')
        gap = 0, p += 2;
    while (p < end) {
        const char* digits = p;
        unsigned group = 0;
        // Five digits are enough to refuse a group, so a long run is not read on.
        while (p < end && p - digits < 5 && HexValue(*p) >= 0)
            group = group << 4 | (unsigned)HexValue(*p++);
        if (p < end && *p == '.') {
            // The dotted tail ends the address and fills its last 32 bits.
            uint32_t v4 = 0;
            p = digits;
            if (count > 6 || !ReadDotted(p, end, &v4) || p != end)
                return false;
            groups[count++] = v4 >> 16;
            groups[count++] = v4 & 0xFFFF;
            break;
        }
        if (p == digits || p - digits > 4 || count == 8)
            return false;
        groups[count++] = group;
        if (p == end)
            break;
        if (*p++ != ':' || p == end)
            return false;
        if (*p == ':') {
            if (gap >= 0)
                return false;
            gap = count;
            ++p;
        }
    }
    // "::" stands for one zero group at least, so it leaves room for one.
    if (gap < 0 ? count != 8 : count > 7)
        return false;
    unsigned full[8] = {};
    const int tail = gap < 0 ? 0 : count - gap;
    for (int i = 0; i < count; ++i)
        full[gap >= 0 && i >= gap ? 8 - tail + (i - gap) : i] = groups[i];
    for (size_t i = 0; i < 8; ++i)
        bytes[2 * i] = (uint8_t)(full[i] >> 8), bytes[2 * i + 1] = (uint8_t)full[i];
    return true;
}

static bool ParseRange6(const char* p, const char* end, TrustedRange* out)
{
    const char* slash = p;
    while (slash < end && *slash != '/')
        ++slash;
    uint8_t bytes[16];
    uint32_t prefix = 0;
    if (!ReadV6(p, slash, bytes) || !ReadPrefix(slash, end, 128, &prefix))
        return false;
    const NetAddress address = NetAddressFromV6(bytes, 0);
    if (IsV4Mapped(address) && prefix >= 96) {
        SetRange4(NetAddressV4Host(Unmap(address)), prefix - 96, out);
        return true;
    }
    *out = TrustedRange();
    out->family = kFamilyV6;
    out->prefix = (uint8_t)prefix;
    for (uint32_t i = 0; i < 16; ++i) {
        const uint32_t kept = prefix >= 8 * (i + 1) ? 8 : prefix > 8 * i ? prefix - 8 * i : 0;
        out->network6[i] = (uint8_t)(bytes[i] & (0xFF00u >> kept));
    }
    return true;
}

// The entry in [p, end), already trimmed. A colon is what tells IPv6 apart.
static bool ParseRange(const char* p, const char* end, TrustedRange* out)
{
    for (const char* c = p; c < end; ++c)
        if (*c == ':')
            return ParseRange6(p, end, out);
    return ParseRange4(p, end, out);
}

static void Trim(const char*& begin, const char*& end)
{
    while (begin < end && IsBlank(*begin))
        ++begin;
    while (end > begin && IsBlank(end[-1]))
        --end;
}

bool ParseTrustedEntry(const char* text, TrustedRange* out)
{
    const char* begin = text;
    const char* end = text + TextLength(text);
    Trim(begin, end);
    return ParseRange(begin, end, out);
}

bool IsTrusted(const TrustedList& list, uint32_t address)
{
    for (size_t i = 0; i < list.count && i < kTrustedCap; ++i) {
        const TrustedRange& r = list.ranges[i];
        if (r.family == kFamilyV4 && (address & r.mask) == r.network)
            return true;
    }
    return false;
}

static bool InRange6(const TrustedRange& r, const uint8_t bytes[16])
{
    const uint32_t whole = r.prefix / 8u, bits = r.prefix % 8u;
    if (memcmp(bytes, r.network6, whole) != 0)
        return false;
    return bits == 0 || (bytes[whole] & (0xFF00u >> bits)) == r.network6[whole];
}

bool IsTrustedAddress(const TrustedList& list, const NetAddress& caller)
{
    const NetAddress a = Unmap(caller);
    if (a.family == kFamilyV4)
        return IsTrusted(list, NetAddressV4Host(a));
    if (a.family != kFamilyV6)
        return false;
    for (size_t i = 0; i < list.count && i < kTrustedCap; ++i)
        if (list.ranges[i].family == kFamilyV6 && InRange6(list.ranges[i], a.bytes))
            return true;
    return false;
}

// A fill in progress. The report keeps whole entries; once one does not fit
// it is cut back to the last entry that left room for ", ...".
struct TrustedFill {
    TrustedList* list;
    TrustedReport report;
    char* text;
    size_t size;
    size_t clean;
    bool cut;
};

static TrustedFill StartFill(TrustedList* list, char* invalid, size_t invalidSize)
{
    list->count = 0;
    TextCopyN(invalid, invalidSize, "");
    TrustedFill f = {list, {0, 0}, invalid, invalidSize, 0, false};
    return f;
}

// The registry value can hold any byte; the report goes into a log line, so
// control bytes must not reach it.
static void AppendShown(TrustedFill& f, const char* p, const char* end)
{
    // Written byte by byte up to the buffer's end: a hostile entry may be
    // megabytes long, and only its start can be shown.
    size_t n = TextLength(f.text);
    for (; p < end && n + 1 < f.size; ++p)
        f.text[n++] = ((unsigned char)*p < 0x20 || *p == 0x7F) ? '?' : *p;
    f.text[n] = '\0';
}

static void NoteInvalid(TrustedFill& f, const char* begin, const char* end)
{
    const bool first = f.report.invalid++ == 0;
    if (f.size == 0 || f.cut)
        return;
    const size_t room = f.size - 1;
    const size_t after = TextLength(f.text) + (first ? 0 : 2) + (size_t)(end - begin);
    if (!first)
        TextAppendN(f.text, f.size, ", ");
    AppendShown(f, begin, end);
    if (after <= room) {
        if (after + 5 <= room)
            f.clean = after;
        return;
    }
    f.cut = true;
    if (f.clean > 0) {
        f.text[f.clean] = '\0';
        TextAppendN(f.text, f.size, ", ...");
        return;
    }
    // Not one entry left room for the mark: keep what fits of the text.
    f.text[room >= 3 ? room - 3 : 0] = '\0';
    TextAppendN(f.text, f.size, "...");
}

static void NoteEntry(TrustedFill& f, const char* begin, const char* end)
{
    Trim(begin, end);
    if (begin == end)
        return;
    TrustedRange range;
    if (!ParseRange(begin, end, &range))
        NoteInvalid(f, begin, end);
    else if (f.list->count < kTrustedCap)
        f.list->ranges[f.list->count++] = range;
    else
        ++f.report.dropped;
}

TrustedReport ParseTrustedMulti(const char* data, size_t bytes, TrustedList* list, char* invalid,
                                size_t invalidSize)
{
    TrustedFill f = StartFill(list, invalid, invalidSize);
    if (data == nullptr)
        return f.report;
    // Indexes rather than pointers: a value without its last terminator
    // must not step a pointer past the end.
    size_t i = 0;
    while (i < bytes && data[i] != '\0') {
        size_t stop = i;
        while (stop < bytes && data[stop] != '\0')
            ++stop;
        NoteEntry(f, data + i, data + stop);
        i = stop + 1;
    }
    return f.report;
}

TrustedReport ParseTrustedText(const char* data, size_t bytes, TrustedList* list, char* invalid,
                               size_t invalidSize)
{
    TrustedFill f = StartFill(list, invalid, invalidSize);
    size_t i = 0;
    while (i < bytes && data[i] != '\0') {
        size_t stop = i;
        while (stop < bytes && data[stop] != '\0' && data[stop] != ',' && !IsBlank(data[stop]))
            ++stop;
        NoteEntry(f, data + i, data + stop); // an empty run between separators is skipped
        i = stop < bytes && data[stop] != '\0' ? stop + 1 : stop;
    }
    return f.report;
}

TrustedReport ParseTrustedLines(const char* text, TrustedList* list, char* invalid,
                                size_t invalidSize)
{
    TrustedFill f = StartFill(list, invalid, invalidSize);
    const char* p = text;
    while (*p != '\0') {
        const char* stop = p;
        while (*stop != '\0' && *stop != '\n')
            ++stop;
        NoteEntry(f, p, stop); // a CR before the LF is trimmed as a blank
        p = *stop == '\n' ? stop + 1 : stop;
    }
    return f.report;
}

// One range as the user would write it: the address alone when it is a
// single one, else with its prefix length.
static void AppendRange(const TrustedRange& range, char* out, size_t size)
{
    if (range.family == kFamilyV6) {
        AppendNetAddressN(NetAddressFromV6(range.network6, 0), out, size);
        if (range.prefix == 128)
            return;
        TextAppendN(out, size, "/");
        AppendDecimalN(range.prefix, out, size);
        return;
    }
    AppendDottedAddressN(range.network, out, size);
    if (range.mask == 0xFFFFFFFFu)
        return;
    int prefix = 0;
    for (uint32_t m = range.mask; m != 0; m <<= 1)
        ++prefix;
    TextAppendN(out, size, "/");
    AppendDecimalN(prefix, out, size);
}

void TrustedListTextN(const TrustedList& list, char* out, size_t size)
{
    TextCopyN(out, size, "");
    for (size_t i = 0; i < list.count; ++i) {
        AppendRange(list.ranges[i], out, size);
        TextAppendN(out, size, "\r\n");
    }
}

size_t TrustedListMulti(const TrustedList& list, char* out, size_t size)
{
    // Each entry with its zero, then the empty entry that ends the list.
    size_t used = 0;
    for (size_t i = 0; i < list.count && size > 0; ++i) {
        char entry[kNetAddressTextSize + 4] = "";
        AppendRange(list.ranges[i], entry, sizeof entry);
        size_t length = TextLength(entry);
        if (used + length + 2 > size)
            break;
        TextCopyN(out + used, size - used, entry);
        used += length + 1;
    }
    if (used < size)
        out[used++] = '\0';
    return used;
}
