// The command line a scan runs: every placeholder filled in, hostile names
// read back as exactly one inert argument by the documented argument rules
// (a small reader here), text without values kept as typed, templates that
// cannot be run refused, and the bounds; and the argument of a restart.
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../support/hostile.h"
#include "addresses.h"
#include "pure/commandline.h"

namespace {

// The rules of the C runtime and CommandLineToArgvW: the program's name up to
// its closing quote or first blank, with no escapes; then blank-separated
// words, where 2n backslashes and a quote give n backslashes and a quote
// that opens or closes, 2n+1 give n and a literal quote, other backslashes
// are literal, and two quotes inside quotes give a literal quote.
std::vector<std::string> SplitArguments(const std::string& line)
{
    std::vector<std::string> args;
    size_t i = 0;
    std::string program;
    if (i < line.size() && line[i] == '"') {
        for (++i; i < line.size() && line[i] != '"'; ++i)
            program += line[i];
        if (i < line.size())
            ++i;
    } else {
        for (; i < line.size() && line[i] != ' ' && line[i] != '\t'; ++i)
            program += line[i];
    }
    args.push_back(program);
    for (;;) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        if (i >= line.size())
            return args;
        std::string arg;
        bool quoted = false;
        while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
            size_t run = 0;
            while (i + run < line.size() && line[i + run] == '\\')
                ++run;
            if (run > 0 && (i + run >= line.size() || line[i + run] != '"')) {
                arg.append(run, '\\');
                i += run;
            } else if (run > 0) {
                arg.append(run / 2, '\\');
                i += run;
                if (run % 2 == 1) {
                    arg += '"';
                    ++i;
                }
            } else if (line[i] == '"') {
                if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
                    arg += '"';
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                arg += line[i++];
            }
        }
        args.push_back(arg);
    }
}

ScanRecord Record()
{
    ScanRecord r = {};
    r.kind = kScanConnect;
    r.caller = NetAddressFromV4(0x057100CB); // 203.0.113.5 as the socket holds it
    r.callerPort = 51234;
    r.local = NetAddressFromV4(0x0201A8C0); // 192.168.1.2
    r.port = 31337;
    r.highPort = 31337;
    r.portCount = 1;
    r.countExact = true;
    strcpy(r.time, "2026-12-08T14:24:08+01:00");
    return r;
}

// The templates here are ASCII: a byte is a UTF-16 unit.
std::u16string Wide(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

std::string Expand(const std::string& tmpl, const char* rdns, CommandExpansion* result = nullptr,
                   const ScanRecord& record = Record())
{
    static char16_t out[kCommandLineSize];
    CommandExpansion r = ExpandCommandLine(Wide(tmpl).c_str(), record, rdns, out);
    if (result != nullptr)
        *result = r;
    std::string narrow;
    for (const char16_t* p = out; *p != u'\0'; ++p)
        narrow += (char)*p;
    return narrow;
}

using Args = std::vector<std::string>;

TEST(ExpandCommandLine, HostileNamesComeBackAsTheirOwnArgument)
{
    // Each template with what its words must be once the value is in.
    const struct {
        const char* tmpl;
        Args (*expect)(const std::string& v);
    } templates[] = {
        {"p.exe {rdns}",
         [](const std::string& v) {
             return Args{"p.exe", v};
         }},
        {"p.exe \"{rdns}\" next",
         [](const std::string& v) {
             return Args{"p.exe", v, "next"};
         }},
        {"p.exe --name={rdns} \"x\"",
         [](const std::string& v) {
             return Args{"p.exe", "--name=" + v, "x"};
         }},
        {"p.exe \"a b\"{rdns}\"c\"",
         [](const std::string& v) {
             return Args{"p.exe", "a b" + v + "c"};
         }},
        {"p.exe {rdns}{rdns} {rdns}",
         [](const std::string& v) {
             return Args{"p.exe", v + v, v};
         }},
        {"p.exe \\{rdns}\\",
         [](const std::string& v) {
             return Args{"p.exe", "\\" + v + "\\"};
         }},
        {"p.exe \"in \\{rdns}\\\\\" out",
         [](const std::string& v) {
             return Args{"p.exe", "in \\" + v + "\\", "out"};
         }},
        {"\"C:\\Program Files\\p.exe\" {rdns}",
         [](const std::string& v) {
             return Args{"C:\\Program Files\\p.exe", v};
         }},
    };
    for (const auto& t : templates) {
        for (const HostileName& v : kHostileNames) {
            SCOPED_TRACE(std::string(t.tmpl) + " with [" + v.name + "]");
            CommandExpansion result;
            const std::string line = Expand(t.tmpl, v.name.c_str(), &result);
            ASSERT_EQ(result, kCommandReady);
            const Args args = SplitArguments(line);
            EXPECT_EQ(args, t.expect(v.inert)) << line;
            for (size_t i = 1; i < args.size(); ++i)
                EXPECT_EQ(args[i].find_first_of(kShellSpecials), std::string::npos) << args[i];
        }
    }
}

TEST(ExpandCommandLine, EveryPlaceholderAndUnknownWordsAsTyped)
{
    const std::string line = Expand(
        "p {caller} {callerport} {local} {port} {kind} {rdns} {time} {count} {zone} {other} {port",
        "host.example");
    EXPECT_EQ(SplitArguments(line),
              (Args{"p", "203.0.113.5", "51234", "192.168.1.2", "31337", "connect", "host.example",
                    "2026-12-08T14:24:08+01:00", "1", "", "{other}", "{port"}));

    // A link-local caller's zone is {zone}'s alone: '%' means something to
    // cmd.exe.
    ScanRecord linkLocal = Record();
    linkLocal.caller = V6({0xfe80, 0, 0, 0, 0, 0, 0, 5}, 3);
    linkLocal.local = V6({0xfe80, 0, 0, 0, 0, 0, 0, 1}, 3);
    EXPECT_EQ(Expand("p {caller} {local} {zone}", "", nullptr, linkLocal), "p fe80::5 fe80::1 3");

    ScanRecord sweep = Record();
    sweep.kind = kScanSweep;
    sweep.caller = NetAddress();
    sweep.portCount = 12;
    EXPECT_EQ(SplitArguments(Expand("p {kind} {count} {caller} {rdns}", nullptr, nullptr, sweep)),
              (Args{"p", "sweep", "12", "-", ""}));
}

TEST(ExpandCommandLine, TextWithoutValuesStaysAsTyped)
{
    const char* templates[] = {
        "\"C:\\Program Files\\tool.exe\" /q \"a b\" c\\\\\"d e\" \\\"x\\\" y\\ \"\" end",
        "tool.exe",
    };
    for (const char* t : templates) {
        SCOPED_TRACE(t);
        EXPECT_EQ(Expand(t, "x"), t);
    }
    // Blanks before the program's name are left out.
    EXPECT_EQ(Expand("  \ttool.exe a", "x"), "tool.exe a");
}

TEST(ExpandCommandLine, TemplatesThatCannotBeRunAreRefused)
{
    const struct {
        const char* tmpl;
        CommandExpansion result;
    } cases[] = {
        {"{rdns}", kCommandNamedByScan},
        {"C:\\tools\\{kind}.exe {rdns}", kCommandNamedByScan},
        {"\"C:\\my {caller}\\p.exe\" x", kCommandNamedByScan},
        {"", kCommandNoProgram},
        {" \t ", kCommandNoProgram},
        {"\"\" {rdns}", kCommandNoProgram},
        {"C:\\tools\\{name}.exe {rdns}", kCommandReady},
        // "" inside quotes: one reader stays inside, another leaves.
        {"p \"a\"\"{rdns}\"", kCommandDoubledQuote},
        {"p \"\"\"\" {rdns}", kCommandDoubledQuote},
        {"p \"\" \"a\\\"\" {rdns}", kCommandReady},
        {"p \"unclosed {rdns}", kCommandUnclosedQuote},
        {"p {rdns} a\\\\\"b", kCommandUnclosedQuote},
        {"\"C:\\unclosed\\p.exe {rdns}", kCommandUnclosedQuote},
        {"\"", kCommandUnclosedQuote},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tmpl);
        EXPECT_EQ(CheckCommandTemplate(Wide(c.tmpl).c_str()), c.result);
        CommandExpansion result;
        const std::string line = Expand(c.tmpl, "calc", &result);
        EXPECT_EQ(result, c.result);
        if (c.result != kCommandReady) {
            EXPECT_EQ(line, "");
        }
    }
}

TEST(ExpandCommandLine, ALineThatWouldNotFitIsRefusedWhole)
{
    // A name is cut at 255 characters, a template at 1023.
    const std::string name(255, 'n');
    std::string tmpl = "p.exe";
    for (int i = 0; i < 140; ++i)
        tmpl += " {rdns}";
    CommandExpansion result;
    EXPECT_EQ(Expand(tmpl, name.c_str(), &result), "");
    EXPECT_EQ(result, kCommandTooLong);

    // The exact fit, and one byte short of it, into a guarded buffer.
    const std::u16string full = u"p.exe " + Wide(name);
    std::vector<char16_t> mem(full.size() + 1 + 16, u'#');
    ScanRecord r = Record();
    EXPECT_EQ(ExpandCommandLineN(u"p.exe {rdns}", r, name.c_str(), mem.data(), full.size() + 1),
              kCommandReady);
    EXPECT_EQ(std::u16string(mem.data()), full);
    EXPECT_EQ(ExpandCommandLineN(u"p.exe {rdns}", r, name.c_str(), mem.data(), full.size()),
              kCommandTooLong);
    EXPECT_EQ(mem[0], u'\0');
    for (size_t i = full.size() + 1; i < mem.size(); ++i)
        ASSERT_EQ(mem[i], u'#') << i;
}

TEST(CommandProgram, TheNameCreateProcessReads)
{
    const struct {
        const char* line;
        const char* program;
    } cases[] = {
        {"\"C:\\Program Files\\p.exe\" \"a b\"", "C:\\Program Files\\p.exe"},
        {"C:\\tools\\p.exe \"a b\"", "C:\\tools\\p.exe"},
        {"  p.exe", "p.exe"},
        {"\"unclosed p.exe", "unclosed p.exe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        char16_t out[64];
        CommandProgram(Wide(c.line).c_str(), out);
        EXPECT_EQ(std::u16string(out), Wide(c.program));
    }
}

// Anyone may start the program with any line: only the exact argument the
// restart writes names a copy to wait for.
TEST(RestartArguments, OnlyTheRestartsOwnArgumentNamesACopy)
{
    const struct {
        const char* line;
        uint32_t processId;
    } cases[] = {
        {"\"C:\\Program Files\\Harbinel\\harbinel.exe\" /after 1234", 1234},
        {"harbinel.exe  /after\t4294967295  ", 4294967295u},
        {"harbinel.exe", 0},
        {"harbinel.exe /after", 0},
        {"harbinel.exe /after 0", 0},
        {"harbinel.exe /after 4294967296", 0},
        {"harbinel.exe /after 00000000001234", 0},
        {"harbinel.exe /after -5", 0},
        {"harbinel.exe /after 12x", 0},
        {"harbinel.exe /after 12 /after 13", 0},
        {"harbinel.exe /AFTER 12", 0},
        {"harbinel.exe /afterwards 12", 0},
        {"harbinel.exe/after 12", 0},
        {"\"/after 12\"", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(RestartedAfter(Wide(c.line).c_str()), c.processId);
    }
    EXPECT_EQ(RestartedAfter(nullptr), 0u);
    for (uint32_t id : {4u, 4294967295u}) {
        char16_t arguments[kRestartArgumentsSize];
        RestartArgumentsN(id, arguments, kRestartArgumentsSize);
        EXPECT_EQ(RestartedAfter((u"h.exe " + std::u16string(arguments)).c_str()), id);
    }
}

} // namespace
