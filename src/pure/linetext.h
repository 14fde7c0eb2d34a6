// The texts of the program's log lines and the other small texts built from
// numbers: count lines, the warning sent to callers, RDNS and address lines,
// and the right-aligned port entries of the Port Settings list.
#ifndef HARBINEL_LINETEXT_H
#define HARBINEL_LINETEXT_H

#include <stddef.h>
#include <stdint.h>

// The text sent to every caller unless the user chose otherwise.
extern const char kDefaultWarning[];

// Message types: what the warning step sends.
const int32_t kMessageCustom = 0;
const int32_t kMessageNone = 1;
const int32_t kMessageDefault = 2;

// Size of the send buffer: a 255-character text, CR LF and the terminator.
const size_t kSendBufferSize = 258;
// Size of the custom text block: 255 characters and the terminator.
const size_t kCustomMessageSize = 256;

// Puts the warning for messageType followed by CR LF into out (size bytes)
// and returns its length, or returns -1 when nothing is to be sent. Any
// type other than none and default sends the custom text, which may be empty.
int BuildWarningText(int32_t messageType, const char* custom, char* out, size_t size);

// head + n + " port", with "s" unless n is 1: "Listening on 2 ports".
void BuildCountLineN(const char* head, int32_t n, char* out, size_t size);

// The ports a Listen opened, after its count line: "Ports: 12345, 31337".
// At most kPortsShown are named; more end in " and N more".
const int kPortsShown = 20;
void BuildPortsLineN(const int32_t* ports, int shown, int32_t total, char* out, size_t size);
// Puts port in its ascending place among the shown ports (at most cap),
// unless it is there already; when they are full, the highest gives way.
// Returns how many there are now. The Ports line lists them so, as Port
// Settings does.
int InsertPortInOrder(int32_t* ports, int shown, int cap, int32_t port);

// A port right-aligned in a field of five characters ("   80"). Values
// outside 0-65535 are written as they are, never past out.
void FormatPortEntryN(int32_t port, char* out, size_t size);

// "   RDNS: " and the host name, or the reason there is none. The name is
// escaped as caller data is: whoever owns the caller's address chooses it.
void BuildRdnsLineN(int errorCode, const char* hostName, char* out, size_t size);

// prefix, caller "addr:port", " -> ", local address, ":" and the listened port.
void BuildAddressLineN(const char* prefix, const char* caller, const char* local, int32_t port,
                       char* out, size_t size);

// The line that opens a scan's block: "Scan detected", or for a trusted
// caller "Scan detected (trusted)".
const char* ScanHeadLine(bool trusted);

// The caller's text that stands in for an address when the caller hung up
// before it could be accepted, so nobody can say who it was.
extern const char kGoneCaller[];

// Caller data as one log line: bytes below 0x20, DEL and the backslash
// become \r, \n, \t, \\ or \xNN; so do C1 controls (0x80-0x9F) that are
// no part of a valid UTF-8 sequence, and every byte of the UTF-8 forms of
// U+0080-U+009F (NEL among them), U+2028 and U+2029, which some viewers take
// for line breaks. Every other byte stays as it is, other UTF-8 text whole.
// A caller can then neither break the line nor forge one, and the bytes it
// sent can still be read back exactly. Writes at most size - 1 characters and a
// terminator, never half an escape; returns the length written.
size_t EscapeCallerData(const char* data, size_t length, char* out, size_t size);
// Room that escaping `length` bytes can take, with its terminator.
inline size_t EscapedSize(size_t length)
{
    return length * 4 + 1;
}

template <size_t N> inline void BuildCountLine(const char* head, int32_t n, char (&out)[N])
{
    BuildCountLineN(head, n, out, N);
}
template <size_t N>
inline void BuildPortsLine(const int32_t* ports, int shown, int32_t total, char (&out)[N])
{
    BuildPortsLineN(ports, shown, total, out, N);
}
template <size_t N> inline void FormatPortEntry(int32_t port, char (&out)[N])
{
    FormatPortEntryN(port, out, N);
}
template <size_t N> inline void BuildRdnsLine(int errorCode, const char* hostName, char (&out)[N])
{
    BuildRdnsLineN(errorCode, hostName, out, N);
}
template <size_t N>
inline void BuildAddressLine(const char* prefix, const char* caller, const char* local,
                             int32_t port, char (&out)[N])
{
    BuildAddressLineN(prefix, caller, local, port, out, N);
}

#endif
