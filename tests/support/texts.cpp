// The texts built from numbers, the conversions between widths, and the
// dumps for failure messages.
#include "support/texts.h"

#include <winsock2.h>
#include <windows.h>

#include <ctype.h>

#include <algorithm>

namespace support {

namespace {

std::string CountLine(const char* head, int ports)
{
    return head + std::to_string(ports) + (ports == 1 ? " port" : " ports");
}

const size_t kDumpedChars = 120;

// The fixed texts in the width of the lines at hand.
const char* RdnsPrefix(const std::string&)
{
    return kRdnsPrefix;
}
const wchar_t* RdnsPrefix(const std::wstring&)
{
    return kRdnsPrefixW;
}

template <class Text> std::vector<Text> WithoutLookups(const std::vector<Text>& lines)
{
    std::vector<Text> kept;
    for (const Text& l : lines)
        if (!StartsWith(l, RdnsPrefix(l)))
            kept.push_back(l);
    return kept;
}

} // namespace

std::string ListeningLine(int ports)
{
    return CountLine("Listening on ", ports);
}

std::string PortsLine(std::vector<int> ports)
{
    std::sort(ports.begin(), ports.end());
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    std::string line = "Ports: ";
    for (size_t i = 0; i < ports.size(); ++i)
        line += (i > 0 ? ", " : "") + std::to_string(ports[i]);
    return line;
}

std::string CloseLine(int ports)
{
    return CountLine("Close: ", ports);
}

std::string PortInUseLine(int port)
{
    return "Bind error port " + std::to_string(port) + " : Port in use";
}

std::string AcceptedFrom(int callerPort)
{
    return kAcceptPrefix + std::string("127.0.0.1:") + std::to_string(callerPort);
}

std::string GoneCallerLine(int port)
{
    return kAcceptPrefix + std::string("caller gone before accept -> *:") + std::to_string(port);
}

bool Unescape(const std::string& line, std::string* bytes)
{
    bytes->clear();
    for (size_t i = 0; i < line.size(); ++i) {
        unsigned char c = (unsigned char)line[i];
        if (c < 0x20 || c == 0x7F)
            return false; // a raw control byte: the caller broke out of its line
        if (c != '\\') {
            *bytes += (char)c;
            continue;
        }
        if (++i >= line.size())
            return false;
        switch (line[i]) {
        case 'r':
            *bytes += '\r';
            break;
        case 'n':
            *bytes += '\n';
            break;
        case 't':
            *bytes += '\t';
            break;
        case '\\':
            *bytes += '\\';
            break;
        case 'x':
            if (i + 2 >= line.size() || !isxdigit((unsigned char)line[i + 1]) ||
                !isxdigit((unsigned char)line[i + 2]))
                return false;
            *bytes += (char)std::stoi(line.substr(i + 1, 2), nullptr, 16);
            i += 2;
            break;
        default:
            return false;
        }
    }
    return true;
}

std::string Narrow(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_ACP, 0, text.data(), (int)text.size(), NULL, 0, NULL, NULL);
    std::string out(n > 0 ? (size_t)n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_ACP, 0, text.data(), (int)text.size(), &out[0], n, NULL, NULL);
    return out;
}

std::wstring Widen(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_ACP, 0, text.data(), (int)text.size(), NULL, 0);
    std::wstring out(n > 0 ? (size_t)n : 0, L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_ACP, 0, text.data(), (int)text.size(), &out[0], n);
    return out;
}

bool StartsWith(const std::string& text, const std::string& head)
{
    return text.compare(0, head.size(), head) == 0;
}

bool StartsWith(const std::wstring& text, const std::wstring& head)
{
    return text.compare(0, head.size(), head) == 0;
}

bool EndsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::vector<std::string> SteadyLines(const std::vector<std::string>& lines)
{
    return WithoutLookups(lines);
}

std::vector<std::wstring> SteadyLines(const std::vector<std::wstring>& lines)
{
    return WithoutLookups(lines);
}

std::string Dump(const std::vector<std::string>& lines)
{
    std::string out = "log (" + std::to_string(lines.size()) + " lines):\n";
    for (const std::string& l : lines)
        out += "  [" + (l.size() > kDumpedChars ? l.substr(0, kDumpedChars) + "..." : l) + "]\n";
    return out;
}

std::string Dump(const std::vector<std::wstring>& lines)
{
    std::vector<std::string> narrow;
    for (const std::wstring& l : lines)
        narrow.push_back(Narrow(l));
    return Dump(narrow);
}

} // namespace support
