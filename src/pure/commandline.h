// The command line a scan runs: the user's template with its {placeholders}
// filled in. Every value is inert (host-name characters, digits, an
// address without its zone), so no reader of the line, be it the C
// runtime, cmd.exe for a batch file or PowerShell, can take any of it for
// syntax. The line is UTF-16, as the W call starts it, so no code page can
// re-read it on the way.
#ifndef HARBINEL_COMMANDLINE_H
#define HARBINEL_COMMANDLINE_H

#include <stddef.h>
#include <stdint.h>

#include "scanrecord.h"

// The longest line Windows starts: 32,767 characters with the terminator.
const size_t kCommandLineSize = 32767;
// The template as the user types and stores it, with its terminator.
const size_t kCommandTemplateSize = 1024;

enum CommandExpansion {
    kCommandReady,         // out holds the line to run
    kCommandTooLong,       // the line would not fit; out is empty
    kCommandNoProgram,     // the template names no program; out is empty
    kCommandNamedByScan,   // a placeholder in the program's name; out is empty
    kCommandUnclosedQuote, // a quote the template opens is never closed
    kCommandDoubledQuote,  // "" inside quotes, which readers take differently
};

// Whether a template can be run at all: a program named, all its quotes
// closed, no "" inside quotes, no placeholder in the program's name.
CommandExpansion CheckCommandTemplate(const char16_t* commandTemplate);

// Fills in the template for one scan. {caller}, {callerport}, {local},
// {zone}, {port}, {kind}, {rdns} (null counts as ""), {time} and {count} are
// each replaced by one value; any other {word} stays as typed. {rdns} is
// the name's host-name form; {caller} and {local} carry no zone, {zone}
// gives the caller's (digits, or empty). A value outside quotes stands as
// one argument of its own or joins the text it touches, one inside the
// user's quotes joins that argument; an empty one outside quotes is "".
// A template CheckCommandTemplate refuses is refused here with its reason.
CommandExpansion ExpandCommandLineN(const char16_t* commandTemplate, const ScanRecord& record,
                                    const char* rdns, char16_t* out, size_t size);

// The program's name as CreateProcess reads it from a line: up to the
// closing quote when it starts with one, otherwise up to the first blank.
void CommandProgramN(const char16_t* line, char16_t* out, size_t size);

// What is wrong with a template or a line, in the log's words; null for
// kCommandReady.
const char* CommandProblemText(CommandExpansion result);

// Whether a stored template can be used: no control characters but tabs.
bool CommandTemplateValid(const char* commandTemplate);

// The program's own command line when it restarts itself with more rights:
// "/after" and the process id of the copy it replaces, which the new copy
// waits for. RestartArgumentsN writes that argument for id; RestartedAfter
// reads it back from a whole command line (the program's name first) and
// gives 0 for any line that is not exactly the name and that argument.
const size_t kRestartArgumentsSize = 20; // "/after 4294967295" and the terminator
void RestartArgumentsN(uint32_t processId, char16_t* out, size_t size);
uint32_t RestartedAfter(const char16_t* commandLine);

template <size_t N>
inline CommandExpansion ExpandCommandLine(const char16_t* commandTemplate, const ScanRecord& record,
                                          const char* rdns, char16_t (&out)[N])
{
    return ExpandCommandLineN(commandTemplate, record, rdns, out, N);
}

template <size_t N> inline void CommandProgram(const char16_t* line, char16_t (&out)[N])
{
    CommandProgramN(line, out, N);
}

#endif
