// Filling in the command line a scan runs. The template is read by the same
// rules the started program will use to split it, and written out again
// through one writer that knows those rules, so text next to a value keeps
// its meaning and a value keeps its bytes.
#include "commandline.h"

#include "decimal.h"
#include "text.h"

namespace {

// Writes the line. A quote's meaning depends on the backslashes before it,
// so the writer counts the literal backslashes it has just written and
// doubles them when a quote comes next. A closing quote is held back: if an
// opening one follows at once, and either belongs to a value, the pair is
// left out, since two quotes in a row are read as a literal quote.
struct LineWriter {
    char* out;
    size_t size;
    size_t length;
    bool full;
    size_t backslashes; // literal backslashes at the end of what is written
    bool quoted;        // what is written so far ends inside quotes
    bool closeHeld;     // a closing quote is due but not yet written
    bool heldIsValue;   // the held quote closes a value's quotes
};

void Put(LineWriter& w, char c)
{
    // One byte stays free for the terminator.
    if (w.length + 1 >= w.size) {
        w.full = true;
        return;
    }
    w.out[w.length++] = c;
}

// A quote, as syntax or escaped: the literal backslashes before it are
// doubled so that they stay literal.
void PutQuote(LineWriter& w, bool escaped)
{
    for (size_t i = 0; i < w.backslashes; ++i)
        Put(w, '\\');
    if (escaped)
        Put(w, '\\');
    Put(w, '"');
    w.backslashes = 0;
}

void WriteHeldClose(LineWriter& w)
{
    if (!w.closeHeld)
        return;
    PutQuote(w, false);
    w.quoted = false;
    w.closeHeld = false;
}

void PutLiteral(LineWriter& w, char c)
{
    WriteHeldClose(w);
    if (c == '"') {
        PutQuote(w, true);
        return;
    }
    Put(w, c);
    w.backslashes = c == '\\' ? w.backslashes + 1 : 0;
}

void PutToggle(LineWriter& w, bool ofValue)
{
    if (w.closeHeld) {
        if (ofValue || w.heldIsValue) {
            w.closeHeld = false; // still inside the quotes as written
            return;
        }
        WriteHeldClose(w);
    }
    if (w.quoted) {
        w.closeHeld = true;
        w.heldIsValue = ofValue;
        return;
    }
    PutQuote(w, false);
    w.quoted = true;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

// The end of the program's name that starts at p (CommandLineToArgvW's and
// CreateProcess's rule for the first word: no escapes).
const char* ProgramEnd(const char* p)
{
    if (*p == '"') {
        ++p;
        while (*p != '\0' && *p != '"')
            ++p;
        return *p == '"' ? p + 1 : p;
    }
    while (*p != '\0' && !IsBlank(*p))
        ++p;
    return p;
}

const char* const kPlaceholders[] = {"caller", "callerport", "local", "port",
                                     "kind",   "rdns",       "time",  "count"};
const size_t kPlaceholderCount = sizeof kPlaceholders / sizeof kPlaceholders[0];

// The placeholder whose name starts at p (just after '{') and is closed by
// '}': its index, and its length with both braces; -1 when there is none.
int MatchPlaceholder(const char* p, size_t* length)
{
    for (size_t i = 0; i < kPlaceholderCount; ++i) {
        const char* name = kPlaceholders[i];
        size_t n = 0;
        while (name[n] != '\0' && p[n] == name[n])
            ++n;
        if (name[n] == '\0' && p[n] == '}') {
            *length = n + 2;
            return (int)i;
        }
    }
    return -1;
}

// A value as text; the numbers and addresses fit the scratch buffer.
const char* PlaceholderValue(int index, const ScanRecord& record, const char* rdns,
                             char (&scratch)[64])
{
    scratch[0] = '\0';
    switch (index) {
    case 0:
        FormatScanCaller(record, scratch);
        return scratch;
    case 1:
        AppendDecimal((int32_t)record.callerPort, scratch);
        return scratch;
    case 2:
        FormatScanLocal(record, scratch);
        return scratch;
    case 3:
        AppendDecimal((int32_t)record.port, scratch);
        return scratch;
    case 4:
        return ScanKindName(record.kind);
    case 5:
        return rdns != nullptr ? rdns : "";
    case 6:
        return record.time;
    default:
        AppendDecimal(record.kind == kScanSweep ? (int32_t)record.portCount : 1, scratch);
        return scratch;
    }
}

bool HoldsPlaceholder(const char* begin, const char* end)
{
    size_t length = 0;
    for (const char* p = begin; p < end; ++p)
        if (*p == '{' && MatchPlaceholder(p + 1, &length) >= 0 && p + length <= end)
            return true;
    return false;
}

CommandExpansion Fail(char* out, size_t size, CommandExpansion why)
{
    if (size > 0)
        out[0] = '\0';
    return why;
}

} // namespace

CommandExpansion ExpandCommandLineN(const char* commandTemplate, const ScanRecord& record,
                                    const char* rdns, char* out, size_t size)
{
    const char* p = commandTemplate;
    while (IsBlank(*p))
        ++p;
    const char* programEnd = ProgramEnd(p);
    if (programEnd == p)
        return Fail(out, size, kCommandNoProgram);
    if (HoldsPlaceholder(p, programEnd))
        return Fail(out, size, kCommandNamedByScan);
    LineWriter w = {out, size, 0, false, 0, false, false, false};
    while (p < programEnd)
        Put(w, *p++);

    // The arguments, by the rules for every word after the first.
    bool quoted = false;
    while (*p != '\0' && !w.full) {
        if (*p == '\\') {
            size_t run = 0;
            while (p[run] == '\\')
                ++run;
            const bool beforeQuote = p[run] == '"';
            const size_t literal = beforeQuote ? run / 2 : run;
            for (size_t i = 0; i < literal; ++i)
                PutLiteral(w, '\\');
            p += run;
            if (beforeQuote) {
                if (run % 2 == 1) {
                    PutLiteral(w, '"');
                } else {
                    PutToggle(w, false);
                    quoted = !quoted;
                }
                ++p;
            }
            continue;
        }
        if (*p == '"') {
            PutToggle(w, false);
            quoted = !quoted;
            ++p;
            continue;
        }
        size_t length = 0;
        const int index = *p == '{' ? MatchPlaceholder(p + 1, &length) : -1;
        if (index < 0) {
            PutLiteral(w, *p++);
            continue;
        }
        char scratch[64];
        const char* value = PlaceholderValue(index, record, rdns, scratch);
        if (!quoted)
            PutToggle(w, true);
        while (*value != '\0')
            PutLiteral(w, *value++);
        if (!quoted)
            PutToggle(w, true);
        p += length;
    }
    WriteHeldClose(w);
    if (w.full)
        return Fail(out, size, kCommandTooLong);
    out[w.length] = '\0';
    return kCommandReady;
}

void CommandProgramN(const char* line, char* out, size_t size)
{
    if (size == 0)
        return;
    const char* p = line;
    while (IsBlank(*p))
        ++p;
    const char* end = ProgramEnd(p);
    if (*p == '"') {
        ++p;
        if (end > p && end[-1] == '"')
            --end;
    }
    size_t n = 0;
    while (p < end && n + 1 < size)
        out[n++] = *p++;
    out[n] = '\0';
}

bool CommandTemplateValid(const char* commandTemplate)
{
    for (const char* p = commandTemplate; *p != '\0'; ++p)
        if ((unsigned char)*p < 0x20 && *p != '\t')
            return false;
    return true;
}
