// The command line a scan runs: every placeholder filled in, hostile values
// read back as exactly one argument by the documented argument rules (a
// small reader here), text without values kept as typed, and the bounds.
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../support/hostile.h"
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

std::string Expand(const std::string& tmpl, const char* rdns, CommandExpansion* result = nullptr)
{
    static char out[kCommandLineSize];
    CommandExpansion r = ExpandCommandLine(tmpl.c_str(), Record(), rdns, out);
    if (result != nullptr)
        *result = r;
    return out;
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
        for (const std::string& v : kHostileNames) {
            SCOPED_TRACE(std::string(t.tmpl) + " with [" + v + "]");
            CommandExpansion result;
            const std::string line = Expand(t.tmpl, v.c_str(), &result);
            ASSERT_EQ(result, kCommandReady);
            EXPECT_EQ(SplitArguments(line), t.expect(v)) << line;
        }
    }
}

TEST(ExpandCommandLine, EveryPlaceholderAndUnknownWordsAsTyped)
{
    const std::string line =
        Expand("p {caller} {callerport} {local} {port} {kind} {rdns} {time} {count} {other} {port",
               "host.example");
    EXPECT_EQ(SplitArguments(line),
              (Args{"p", "203.0.113.5", "51234", "192.168.1.2", "31337", "connect", "host.example",
                    "2026-12-08T14:24:08+01:00", "1", "{other}", "{port"}));

    ScanRecord sweep = Record();
    sweep.kind = kScanSweep;
    sweep.caller = NetAddress();
    sweep.portCount = 12;
    char out[256];
    ASSERT_EQ(ExpandCommandLine("p {kind} {count} {caller} {rdns}", sweep, nullptr, out),
              kCommandReady);
    EXPECT_EQ(SplitArguments(out), (Args{"p", "sweep", "12", "-", ""}));
}

TEST(ExpandCommandLine, TextWithoutValuesStaysAsTyped)
{
    const char* templates[] = {
        "\"C:\\Program Files\\tool.exe\" /q \"a b\" c\\\\\"d e\" \\\"x\\\" y\\ \"\" end",
        "tool.exe",
        "tool.exe \"unclosed \\\\",
    };
    for (const char* t : templates) {
        SCOPED_TRACE(t);
        EXPECT_EQ(Expand(t, "x"), t);
    }
    // Blanks before the program's name are left out.
    EXPECT_EQ(Expand("  \ttool.exe a", "x"), "tool.exe a");
}

TEST(ExpandCommandLine, ProgramNameNeverComesFromAScan)
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
        {"C:\\tools\\{name}.exe {rdns}", kCommandReady},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tmpl);
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
    const std::string name(1000, 'n');
    std::string tmpl = "p.exe";
    for (int i = 0; i < 40; ++i)
        tmpl += " {rdns}";
    CommandExpansion result;
    EXPECT_EQ(Expand(tmpl, name.c_str(), &result), "");
    EXPECT_EQ(result, kCommandTooLong);

    // The exact fit, and one byte short of it, into a guarded buffer.
    const std::string full = "p.exe \"" + name + "\"";
    std::vector<char> mem(full.size() + 1 + 16, '#');
    ScanRecord r = Record();
    EXPECT_EQ(ExpandCommandLineN("p.exe {rdns}", r, name.c_str(), mem.data(), full.size() + 1),
              kCommandReady);
    EXPECT_EQ(std::string(mem.data()), full);
    EXPECT_EQ(ExpandCommandLineN("p.exe {rdns}", r, name.c_str(), mem.data(), full.size()),
              kCommandTooLong);
    EXPECT_EQ(mem[0], '\0');
    for (size_t i = full.size() + 1; i < mem.size(); ++i)
        ASSERT_EQ(mem[i], '#') << i;
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
        char out[64];
        CommandProgram(c.line, out);
        EXPECT_STREQ(out, c.program);
    }
}

} // namespace
