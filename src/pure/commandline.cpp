// Filling in the command line a scan runs. The template is read by the same
// rules the started program will use to split it, and written out again
// through one writer that knows those rules, so text next to a value keeps
// its meaning. The values themselves hold no quote, backslash, blank or
// shell character, so they need no escape of any reader's kind.
#include "commandline.h"

#include "decimal.h"
#include "hostname.h"

namespace {

// Writes the line. A quote's meaning depends on the backslashes before it,
// so the writer counts the literal backslashes it has just written and
// doubles them when a quote comes next. A closing quote is held back: if an
// opening one follows at once, and either belongs to a value, the pair is
// left out, since two quotes in a row are read as a literal quote.
struct LineWriter {
    char16_t* out;
    size_t size;
    size_t length;
    bool full;
    size_t backslashes; // literal backslashes at the end of what is written
    bool quoted;        // what is written so far ends inside quotes
    bool closeHeld;     // a closing quote is due but not yet written
    bool heldIsValue;   // the held quote closes a value's quotes
};

void Put(LineWriter& w, char16_t c)
{
    // One unit stays free for the terminator.
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
        Put(w, u'\\');
    if (escaped)
        Put(w, u'\\');
    Put(w, u'"');
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

void PutLiteral(LineWriter& w, char16_t c)
{
    WriteHeldClose(w);
    if (c == u'"') {
        PutQuote(w, true);
        return;
    }
    Put(w, c);
    w.backslashes = c == u'\\' ? w.backslashes + 1 : 0;
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

bool IsBlank(char16_t c)
{
    return c == u' ' || c == u'\t';
}

// The end of the program's name that starts at p (CommandLineToArgvW's and
// CreateProcess's rule for the first word: no escapes).
const char16_t* ProgramEnd(const char16_t* p)
{
    if (*p == u'"') {
        ++p;
        while (*p != u'\0' && *p != u'"')
            ++p;
        return *p == u'"' ? p + 1 : p;
    }
    while (*p != u'\0' && !IsBlank(*p))
        ++p;
    return p;
}

const char* const kPlaceholders[] = {"caller", "callerport", "local", "port", "kind",
                                     "rdns",   "time",       "count", "zone"};
const size_t kPlaceholderCount = sizeof kPlaceholders / sizeof kPlaceholders[0];

// The placeholder whose name starts at p (just after '{') and is closed by
// '}': its index, and its length with both braces; -1 when there is none.
int MatchPlaceholder(const char16_t* p, size_t* length)
{
    for (size_t i = 0; i < kPlaceholderCount; ++i) {
        const char* name = kPlaceholders[i];
        size_t n = 0;
        while (name[n] != '\0' && p[n] == (char16_t)name[n])
            ++n;
        if (name[n] == '\0' && p[n] == u'}') {
            *length = n + 2;
            return (int)i;
        }
    }
    return -1;
}

// An address as a value: the zone is {zone}'s, since '%' means something
// to cmd.exe.
NetAddress WithoutZone(NetAddress address)
{
    address.zone = 0;
    return address;
}

// A value as text, inert whatever the caller chose: the name in its
// host-name form, every other value numbers, addresses or fixed words.
const char* PlaceholderValue(int index, const ScanRecord& record, const char* rdns,
                             char (&scratch)[kHostNameFormSize])
{
    scratch[0] = '\0';
    ScanRecord plain = record;
    plain.caller = WithoutZone(record.caller);
    plain.local = WithoutZone(record.local);
    switch (index) {
    case 0:
        FormatScanCaller(plain, scratch);
        return scratch;
    case 1:
        AppendDecimal((int32_t)record.callerPort, scratch);
        return scratch;
    case 2:
        FormatScanLocal(plain, scratch);
        return scratch;
    case 3:
        AppendDecimal((int32_t)record.port, scratch);
        return scratch;
    case 4:
        return ScanKindName(record.kind);
    case 5:
        HostNameForm(rdns, scratch);
        return scratch;
    case 6:
        return record.time;
    case 7:
        AppendDecimal(record.kind == kScanSweep ? (int32_t)record.portCount : 1, scratch);
        return scratch;
    default:
        if (record.caller.zone != 0)
            AppendDecimal((int32_t)record.caller.zone, scratch);
        return scratch;
    }
}

bool HoldsPlaceholder(const char16_t* begin, const char16_t* end)
{
    size_t length = 0;
    for (const char16_t* p = begin; p < end; ++p)
        if (*p == u'{' && MatchPlaceholder(p + 1, &length) >= 0 && p + length <= end)
            return true;
    return false;
}

CommandExpansion Fail(char16_t* out, size_t size, CommandExpansion why)
{
    if (size > 0)
        out[0] = u'\0';
    return why;
}

// The arguments' syntax as the readers see it: a run of backslashes and
// the quote after it if any, with what they stand for.
struct ArgumentStep {
    size_t covered;
    size_t backslashes; // literal backslashes
    bool quote;         // a literal quote after them
    bool toggle;        // a quote that opens or closes
};

ArgumentStep ReadBackslashesAndQuote(const char16_t* p)
{
    ArgumentStep step = {0, 0, false, false};
    size_t run = 0;
    while (p[run] == u'\\')
        ++run;
    const bool beforeQuote = p[run] == u'"';
    step.backslashes = beforeQuote ? run / 2 : run;
    step.covered = run;
    if (beforeQuote) {
        step.quote = run % 2 == 1;
        step.toggle = !step.quote;
        ++step.covered;
    }
    return step;
}

} // namespace

CommandExpansion CheckCommandTemplate(const char16_t* commandTemplate)
{
    const char16_t* p = commandTemplate;
    while (IsBlank(*p))
        ++p;
    const char16_t* programEnd = ProgramEnd(p);
    if (*p == u'"' && (programEnd == p + 1 || programEnd[-1] != u'"'))
        return kCommandUnclosedQuote;
    if (programEnd == p || (*p == u'"' && programEnd == p + 2))
        return kCommandNoProgram;
    if (HoldsPlaceholder(p, programEnd))
        return kCommandNamedByScan;
    bool quoted = false;
    for (p = programEnd; *p != u'\0';) {
        if (*p != u'\\' && *p != u'"') {
            ++p;
            continue;
        }
        const ArgumentStep step = ReadBackslashesAndQuote(p);
        p += step.covered;
        if (!step.toggle)
            continue;
        // Inside quotes, one reader takes "" for a literal quote and stays
        // inside, another closes and opens again: a value could end up
        // outside any quotes.
        if (quoted && *p == u'"')
            return kCommandDoubledQuote;
        quoted = !quoted;
    }
    return quoted ? kCommandUnclosedQuote : kCommandReady;
}

CommandExpansion ExpandCommandLineN(const char16_t* commandTemplate, const ScanRecord& record,
                                    const char* rdns, char16_t* out, size_t size)
{
    const CommandExpansion check = CheckCommandTemplate(commandTemplate);
    if (check != kCommandReady)
        return Fail(out, size, check);
    const char16_t* p = commandTemplate;
    while (IsBlank(*p))
        ++p;
    const char16_t* programEnd = ProgramEnd(p);
    LineWriter w = {out, size, 0, false, 0, false, false, false};
    while (p < programEnd)
        Put(w, *p++);

    // The arguments, by the rules for every word after the first.
    bool quoted = false;
    while (*p != u'\0' && !w.full) {
        if (*p == u'\\' || *p == u'"') {
            const ArgumentStep step = ReadBackslashesAndQuote(p);
            for (size_t i = 0; i < step.backslashes; ++i)
                PutLiteral(w, u'\\');
            if (step.quote)
                PutLiteral(w, u'"');
            if (step.toggle) {
                PutToggle(w, false);
                quoted = !quoted;
            }
            p += step.covered;
            continue;
        }
        size_t length = 0;
        const int index = *p == u'{' ? MatchPlaceholder(p + 1, &length) : -1;
        if (index < 0) {
            PutLiteral(w, *p++);
            continue;
        }
        char scratch[kHostNameFormSize];
        const char* value = PlaceholderValue(index, record, rdns, scratch);
        // Outside quotes only an empty value needs them, to stay an argument.
        if (!quoted && *value == '\0') {
            PutToggle(w, true);
            PutToggle(w, true);
        }
        while (*value != '\0')
            PutLiteral(w, (char16_t)(unsigned char)*value++);
        p += length;
    }
    WriteHeldClose(w);
    if (w.full)
        return Fail(out, size, kCommandTooLong);
    out[w.length] = u'\0';
    return kCommandReady;
}

void CommandProgramN(const char16_t* line, char16_t* out, size_t size)
{
    if (size == 0)
        return;
    const char16_t* p = line;
    while (IsBlank(*p))
        ++p;
    const char16_t* end = ProgramEnd(p);
    if (*p == u'"') {
        ++p;
        if (end > p && end[-1] == u'"')
            --end;
    }
    size_t n = 0;
    while (p < end && n + 1 < size)
        out[n++] = *p++;
    out[n] = u'\0';
}

const char* CommandProblemText(CommandExpansion result)
{
    switch (result) {
    case kCommandTooLong:
        return "the command line would be longer than Windows allows";
    case kCommandNamedByScan:
        return "a placeholder in the program's name";
    case kCommandNoProgram:
        return "the command line names no program";
    case kCommandUnclosedQuote:
        return "a quote is not closed";
    case kCommandDoubledQuote:
        return "two quotes in a row inside quotes";
    case kCommandReady:
        break;
    }
    return nullptr;
}

bool CommandTemplateValid(const char* commandTemplate)
{
    for (const char* p = commandTemplate; *p != '\0'; ++p)
        if ((unsigned char)*p < 0x20 && *p != '\t')
            return false;
    return true;
}

static const char16_t kRestartSwitch[] = u"/after ";

void RestartArgumentsN(uint32_t processId, char16_t* out, size_t size)
{
    if (size == 0)
        return;
    char16_t digits[10];
    size_t count = 0;
    do {
        digits[count++] = (char16_t)(u'0' + processId % 10);
        processId /= 10;
    } while (processId != 0 && count < 10);
    size_t n = 0;
    for (size_t i = 0; kRestartSwitch[i] != u'\0' && n + 1 < size; ++i)
        out[n++] = kRestartSwitch[i];
    while (count > 0 && n + 1 < size)
        out[n++] = digits[--count];
    out[n] = u'\0';
}

// Anyone can start the program with any line, so the argument is read
// strictly: one blank-separated "/after", one to ten digits that fit in 32
// bits, nothing after but blanks. A process id is never 0, so 0 means none.
uint32_t RestartedAfter(const char16_t* commandLine)
{
    if (commandLine == nullptr)
        return 0;
    const char16_t* p = commandLine;
    while (IsBlank(*p))
        ++p;
    p = ProgramEnd(p);
    if (!IsBlank(*p))
        return 0;
    while (IsBlank(*p))
        ++p;
    for (size_t i = 0; kRestartSwitch[i] != u' '; ++i, ++p)
        if (*p != kRestartSwitch[i])
            return 0;
    if (!IsBlank(*p))
        return 0;
    while (IsBlank(*p))
        ++p;
    uint64_t value = 0;
    size_t digits = 0;
    for (; *p >= u'0' && *p <= u'9'; ++p) {
        if (++digits > 10)
            return 0;
        value = value * 10 + (uint64_t)(*p - u'0');
    }
    while (IsBlank(*p))
        ++p;
    if (digits == 0 || *p != u'\0' || value > 0xFFFFFFFFu)
        return 0;
    return (uint32_t)value;
}
