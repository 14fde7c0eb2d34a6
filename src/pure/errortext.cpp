// Fixed English reasons for Winsock and resolver error codes.
#include "errortext.h"

#include <stddef.h>

struct ErrorText {
    int code;
    const char* text;
};

static const ErrorText kSocketErrors[] = {
    {10004, "Blocking call cancelled"},
    {10013, "SO_BROADCAST not enabled"},
    {10014, "Illegal socket address"},
    {10022, "Bind not called"},
    {10024, "No more sockets available"},
    {10035, "Operation would cause block"},
    {10036, "Blocking operation in progress"},
    {10037, "Non-blocking call in progress"},
    {10038, "Illegal socket value"},
    {10045, "Operation not supported"},
    {10048, "Port in use"},
    {10050, "Network subsystem failed"},
    {10051, "Network unreachable"},
    {10055, "No buffer space available"},
    {10056, "Socket already connected"},
    {10057, "Socket not connected"},
    {10060, "Operation timed out"},
    {10093, "WSAStartup not called"},
};

static const ErrorText kStartupErrors[] = {
    {10091, "Network subsystem not ready"},    {10092, "Incorrect Winsock version"},
    {10036, "Blocking operation in progress"}, {10067, "Task limit reached"},
    {10014, "Invalid winsock data"},
};

static const ErrorText kHostErrors[] = {
    {11001, "Host not found"},
    {11002, "Try again"},
    {11003, "Non-recoverable error"},
    {11004, "No RDNS data available"},
};

// The system's file error codes that a user can act on.
static const ErrorText kFileErrors[] = {
    {2, "File not found"},
    {3, "Folder not found"},
    {5, "Access denied"},
    {19, "Disk is write-protected"},
    {21, "Drive not ready"},
    {32, "File in use by another program"},
    {33, "File locked by another program"},
    {39, "Disk full"},
    {112, "Disk full"},
    {123, "Invalid file name"},
    {161, "Invalid path"},
    {206, "Path too long"},
    {267, "Not a folder"},
    {1392, "File or folder corrupted"},
};

// What RegCreateKeyEx and RegSetValueEx give when the settings cannot be
// kept.
static const ErrorText kSettingsErrors[] = {
    {5, "Access denied"},
    {8, "Out of memory"},
    {14, "Out of memory"},
    {112, "Disk full"},
    {1009, "Registry damaged"},
    {1010, "Key not valid"},
    {1015, "Registry damaged"},
    {1016, "Registry could not be written"},
    {1018, "Key was deleted"},
    {1021, "Key is under a key that is not kept"},
    {1450, "Out of system resources"},
};

// What RegisterEventSource and ReportEvent give when the Event Log will not
// take an event.
static const ErrorText kEventLogErrors[] = {
    {5, "Access denied"},
    {6, "Event source not open"},
    {8, "Out of memory"},
    {14, "Out of memory"},
    {87, "Event not accepted"},
    {1450, "Out of system resources"},
    {1500, "Event log file corrupted"},
    {1501, "Event Log service could not start"},
    {1502, "Event log full"},
    {1503, "Event log file changed"},
    {1717, "Event Log service not running"},
    {1722, "Event Log service not running"},
    {1726, "Event Log service not running"},
};

// The WinHTTP errors a web hook post meets (no server, no answer, no
// trust), in the system's words.
static const ErrorText kWebErrors[] = {
    {8, "Not enough memory"},
    {12002, "The operation timed out"},
    {12004, "An internal error occurred"},
    {12005, "The URL is invalid"},
    {12007, "The server name or address could not be resolved"},
    {12017, "The operation has been canceled"},
    {12029, "A connection with the server could not be established"},
    {12030, "The connection with the server was terminated abnormally"},
    {12037, "The certificate has expired or is not yet valid"},
    {12038, "The host name in the certificate does not match"},
    {12044, "The server asks for a client certificate"},
    {12045, "The certificate authority is not trusted"},
    {12057, "The certificate's revocation could not be checked"},
    {12152, "The server returned an invalid or unrecognized response"},
    {12156, "The HTTP redirect request failed"},
    {12157, "An error occurred in the secure channel support"},
    {12169, "The certificate is invalid"},
    {12170, "The certificate has been revoked"},
    {12175, "A security error occurred"},
    // Wine's WinHTTP passes on the socket's own errors for these.
    {10060, "The operation timed out"},
    {10061, "A connection with the server could not be established"},
};

template <size_t N>
static const char* FindText(const ErrorText (&table)[N], int code, const char* otherwise)
{
    for (size_t i = 0; i < N; ++i)
        if (table[i].code == code)
            return table[i].text;
    return otherwise;
}

const char* SocketErrorText(int code)
{
    return FindText(kSocketErrors, code, "Unknown error");
}

const char* StartupErrorText(int code)
{
    return FindText(kStartupErrors, code, NULL);
}

const char* HostErrorText(int code)
{
    return FindText(kHostErrors, code, "Unknown error");
}

const char* FileErrorText(unsigned long code)
{
    return code > 0x7FFFFFFFul ? "Unknown error"
                               : FindText(kFileErrors, (int)code, "Unknown error");
}

const char* SettingsErrorText(unsigned long code)
{
    return code > 0x7FFFFFFFul ? "Unknown error"
                               : FindText(kSettingsErrors, (int)code, "Unknown error");
}

const char* EventLogErrorText(unsigned long code)
{
    return code > 0x7FFFFFFFul ? "Unknown error"
                               : FindText(kEventLogErrors, (int)code, "Unknown error");
}

const char* WebErrorText(unsigned long code)
{
    return code > 0x7FFFFFFFul ? NULL : FindText(kWebErrors, (int)code, NULL);
}
