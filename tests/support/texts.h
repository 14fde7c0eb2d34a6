// The program's texts as the tests expect them, each written once, and the
// small text helpers both test layers use. The in-process tests compare the
// bytes the program holds; the end-to-end tests compare what wide messages
// read from another process, so each fixed text comes in both widths.
#ifndef HARBINEL_TESTS_SUPPORT_TEXTS_H
#define HARBINEL_TESTS_SUPPORT_TEXTS_H

#include <string>
#include <vector>

#include "pure/linetext.h" // kDefaultWarning, the program's own

namespace support {

// name (bytes) and nameW (UTF-16) from one literal.
#define HARBINEL_TEXT(name, text)                                                                  \
    constexpr char name[] = text;                                                                  \
    constexpr wchar_t name##W[] = L"" text;

// ---- Log lines -----------------------------------------------------------

HARBINEL_TEXT(kScanDetected, "Scan detected")
HARBINEL_TEXT(kScanBlocked, "Scan blocked")
HARBINEL_TEXT(kMessageSent, "   Message sent")
HARBINEL_TEXT(kAcceptPrefix, "   Accept: ")
HARBINEL_TEXT(kRdnsPrefix, "   RDNS: ")
HARBINEL_TEXT(kTimestampPrefix, "   Timestamp: ")
HARBINEL_TEXT(kNoPortsLine, "No ports to listen on")
HARBINEL_TEXT(kSessionEnding, "Session ending")
HARBINEL_TEXT(kTrayIconError, "Tray icon error: the notification area is not available")
HARBINEL_TEXT(kSettingsErrorPrefix, "Settings error: ")

// "Listening on 2 ports", "Close: 1 port".
std::string ListeningLine(int ports);
std::string CloseLine(int ports);
// The line under "Listening on": "Ports: 12345, 31337", in the list's order.
std::string PortsLine(std::vector<int> ports);
// "Bind error port <port> : Port in use".
std::string PortInUseLine(int port);
// The start of the address line of a caller on 127.0.0.1:
// "   Accept: 127.0.0.1:<callerPort>".
std::string AcceptedFrom(int callerPort);
// "   Accept: caller gone before accept -> *:<port>": a caller that hung up
// before the program could accept it.
std::string GoneCallerLine(int port);
// The bytes a caller sent, read back from its logged line; false when the
// line holds a raw control byte or an escape that is cut or unknown.
bool Unescape(const std::string& line, std::string* bytes);

// ---- What a caller receives -----------------------------------------------

// The default warning as a caller receives it, CR LF included.
inline const std::string kWarningLine = std::string(kDefaultWarning) + "\r\n";

// ---- The main window and its dialogs --------------------------------------

// The Listen button offers the other state: "Stop" while listening.
HARBINEL_TEXT(kButtonListen, "Listen")
HARBINEL_TEXT(kButtonStop, "Stop")
HARBINEL_TEXT(kStatusIdle, "Idle")
HARBINEL_TEXT(kStatusListening, "Listening")
HARBINEL_TEXT(kPortSettingsTitle, "Port Settings")
HARBINEL_TEXT(kBlockedTitle, "Blocked Callers")
HARBINEL_TEXT(kAddPortTitle, "Add Port")
HARBINEL_TEXT(kMessageTitle, "Message")
HARBINEL_TEXT(kTrojanPortsTitle, "Trojan Ports")
// The caption of the program's message boxes, and Add Port's word on a port
// nobody can call.
HARBINEL_TEXT(kWindowTitleText, "Harbinel")
HARBINEL_TEXT(kBadPortMessage, "Enter a port from 1 to 65535.")
// The common save dialog's, and the name Save Log proposes in it.
HARBINEL_TEXT(kSaveAsTitle, "Save As")
HARBINEL_TEXT(kProposedLogName, "log.txt")

#undef HARBINEL_TEXT

// ---- Text helpers ------------------------------------------------------------

// Between the widths through the ANSI code page, as the program's ANSI
// windows and Wine's marshalling convert.
std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);

bool StartsWith(const std::string& text, const std::string& head);
bool StartsWith(const std::wstring& text, const std::wstring& head);
bool EndsWith(const std::string& text, const std::string& tail);

// ---- Lists of lines ----------------------------------------------------------

template <class T> struct Same {
    using type = T;
};

// Index of the first line equal to `line` at or after `from`, or -1.
template <class Text>
int FindLine(const std::vector<Text>& lines, const typename Same<Text>::type& line, size_t from = 0)
{
    for (size_t i = from; i < lines.size(); ++i)
        if (lines[i] == line)
            return (int)i;
    return -1;
}

template <class Text>
int CountLines(const std::vector<Text>& lines, const typename Same<Text>::type& line)
{
    int n = 0;
    for (const Text& l : lines)
        n += l == line ? 1 : 0;
    return n;
}

// The lines that start with head.
template <class Text>
int CountLinesStarting(const std::vector<Text>& lines, const typename Same<Text>::type& head)
{
    int n = 0;
    for (const Text& l : lines)
        n += l.compare(0, head.size(), head) == 0 ? 1 : 0;
    return n;
}

// The lines without the lookup answers, which come whenever the resolver
// answers: the lines every run shows alike.
std::vector<std::string> SteadyLines(const std::vector<std::string>& lines);
std::vector<std::wstring> SteadyLines(const std::vector<std::wstring>& lines);

// The lines as one text for failure messages, long lines cut.
std::string Dump(const std::vector<std::string>& lines);
std::string Dump(const std::vector<std::wstring>& lines);

} // namespace support

#endif
