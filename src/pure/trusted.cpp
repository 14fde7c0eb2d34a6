// Strict parsing of trusted entries, the report of the ones refused, and the
// match of a caller against the list.
#include "trusted.h"

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

// The entry in [p, end), already trimmed.
static bool ParseRange(const char* p, const char* end, TrustedRange* out)
{
    uint32_t address = 0;
    for (int i = 0; i < 4; ++i) {
        uint32_t octet = 0;
        if (i > 0 && (p == end || *p++ != '.'))
            return false;
        if (!ReadNumber(p, end, 255, &octet))
            return false;
        address = address << 8 | octet;
    }
    uint32_t prefix = 32;
    if (p < end && *p == '/') {
        ++p;
        if (!ReadNumber(p, end, 32, &prefix))
            return false;
    }
    if (p != end)
        return false;
    // A shift by 32 is undefined, so /0 gets its empty mask directly.
    const uint32_t mask = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
    out->network = address & mask;
    out->mask = mask;
    return true;
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
    for (size_t i = 0; i < list.count && i < kTrustedCap; ++i)
        if ((address & list.ranges[i].mask) == list.ranges[i].network)
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
        char entry[24] = "";
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
