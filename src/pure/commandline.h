// The command line a scan runs: the user's template with its {placeholders}
// filled in, each value quoted so that the started program reads it back as
// exactly one argument whatever bytes a caller put into it.
#ifndef HARBINEL_COMMANDLINE_H
#define HARBINEL_COMMANDLINE_H

#include <stddef.h>

#include "scanrecord.h"

// The longest line Windows starts: 32,767 characters with the terminator.
const size_t kCommandLineSize = 32767;
// The template as the user types and stores it, with its terminator.
const size_t kCommandTemplateSize = 1024;

enum CommandExpansion {
    kCommandReady,       // out holds the line to run
    kCommandTooLong,     // the line would not fit; out is empty
    kCommandNoProgram,   // the template names no program; out is empty
    kCommandNamedByScan, // a placeholder in the program's name; out is empty
};

// Fills in the template for one scan. {caller}, {callerport}, {local},
// {port}, {kind}, {rdns} (null counts as ""), {time} and {count} are each
// replaced by one argument; any other {word} stays as typed. A placeholder
// outside quotes is quoted on its own, one inside the user's quotes becomes
// part of that quoted argument; either way the reader gets the value back
// whole. The program's name (the first word) is copied as typed and may not
// hold a placeholder, since a caller must never choose what runs. The
// quoting is the one CommandLineToArgvW and the C runtime read.
CommandExpansion ExpandCommandLineN(const char* commandTemplate, const ScanRecord& record,
                                    const char* rdns, char* out, size_t size);

// The program's name as CreateProcess reads it from a line: up to the
// closing quote when it starts with one, otherwise up to the first blank.
void CommandProgramN(const char* line, char* out, size_t size);

// Whether a stored template can be used: no control characters but tabs.
bool CommandTemplateValid(const char* commandTemplate);

template <size_t N>
inline CommandExpansion ExpandCommandLine(const char* commandTemplate, const ScanRecord& record,
                                          const char* rdns, char (&out)[N])
{
    return ExpandCommandLineN(commandTemplate, record, rdns, out, N);
}

template <size_t N> inline void CommandProgram(const char* line, char (&out)[N])
{
    CommandProgramN(line, out, N);
}

#endif
