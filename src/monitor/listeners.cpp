// Listening control: TCP listeners for each configured port, one for IPv4
// and one for IPv6, all reporting to the main window, and the Listen/Stop
// command with its log lines.
#include <ws2tcpip.h>

#include "../pure/decimal.h"
#include "../pure/linetext.h"
#include "../pure/syslogmsg.h"
#include "../log/log.h"
#include "../pure/text.h"
#include "../outputs/outputs.h"
#include "monitor.h"
#include "resource.h"

// Every event a listener can raise: read, write, accept and close.
static const long kListenerEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE;

static void ReportPortError(const char* what, int32_t port)
{
    char prefix[64];
    TextCopy(prefix, what);
    TextAppend(prefix, " port ");
    AppendDecimal(port, prefix);
    TextAppend(prefix, " ");
    ReportSocketError(prefix);
}

// A port that cannot listen is closed at once: a socket left bound but not
// listening, or listening with nobody told of its callers, would let them
// finish a handshake that nobody accepts.
static bool Abandon(SocketNode* node)
{
    CloseFailedSocket(node->socket);
    node->socket = kInvalidSocket;
    return false;
}

bool OpenListener(int32_t port, SocketNode* node)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        ReportSocketError("Socket error");
        node->socket = kInvalidSocket; // never leave a stale handle to close later
        return false;
    }
    node->socket = (SocketHandle)s;
    node->port = port;
    sockaddr_in* address = (sockaddr_in*)node->address;
    address->sin_family = AF_INET;
    address->sin_port = htons((u_short)port);
    address->sin_addr.s_addr = INADDR_ANY;

    if (bind(s, (sockaddr*)address, sizeof(sockaddr_in)) == SOCKET_ERROR) {
        ReportPortError("Bind error", port);
        return Abandon(node);
    }
    // The longest queue the platform offers: a burst of callers waits there
    // for its accepts instead of being turned away.
    if (listen(s, SOMAXCONN) == SOCKET_ERROR) {
        ReportPortError("Listen error", port);
        return Abandon(node);
    }
    if (WSAAsyncSelect(s, AppState.MainWindow, WM_SOCKETEVENT, kListenerEvents) == SOCKET_ERROR) {
        ReportSocketError("Notification error");
        return Abandon(node);
    }
    return true;
}

// The IPv6 listener of a port, beside its IPv4 one: IPv6 only, so that each
// family's failures stay its own. False with one line naming the port when
// it cannot open; a platform without IPv6 says so once a run instead.
static bool OpenListener6(int32_t port, bool* available)
{
    SOCKET s = socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        int error = WSAGetLastError();
        if (error == WSAEAFNOSUPPORT || error == WSAEPROTONOSUPPORT || error == WSAEPFNOSUPPORT) {
            if (!AppState.IPv6Missing)
                AddLogLine("IPv6 not available");
            AppState.IPv6Missing = 1;
            *available = false;
        } else {
            ReportPortError("Socket error (IPv6)", port);
        }
        return false;
    }
    sockaddr_in6 address = {};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons((u_short)port);
    DWORD only = 1;
    const char* failed = NULL;
    if (setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, (const char*)&only, sizeof only) == SOCKET_ERROR ||
        bind(s, (sockaddr*)&address, sizeof address) == SOCKET_ERROR)
        failed = "Bind error (IPv6)";
    else if (listen(s, SOMAXCONN) == SOCKET_ERROR)
        failed = "Listen error (IPv6)";
    else if (WSAAsyncSelect(s, AppState.MainWindow, WM_SOCKETEVENT, kListenerEvents) ==
             SOCKET_ERROR)
        failed = "Notification error (IPv6)";
    if (failed == NULL &&
        ListAppend(AppState.PortList6, (SocketHandle)s, port, &address, sizeof address) != NULL)
        return true;
    if (failed != NULL)
        ReportPortError(failed, port);
    else
        ReportError("Out of memory");
    CloseFailedSocket((SocketHandle)s);
    return false;
}

static bool IsOpen(const SocketNode* node)
{
    return node->socket != kInvalidSocket;
}

static bool OpenOnIPv6(int32_t port)
{
    for (const SocketNode* node = AppState.PortList6; node != NULL; node = node->next)
        if (node->port == port)
            return true;
    return false;
}

static bool CloseListener(SocketNode* node)
{
    shutdown((SOCKET)node->socket, SD_BOTH);
    bool closed = CloseAndRetire(node->socket) == 0;
    if (!closed) {
        char prefix[kDecimalSize];
        FormatDecimal(node->port, prefix);
        ReportSocketError(prefix);
    }
    // The handle may be reused by the next accepted caller: forget it.
    node->socket = kInvalidSocket;
    return closed;
}

// Closes the listeners that opened, counting ports, whichever families
// they listened on; a port that never opened has nothing to close and
// nothing to report.
int32_t CloseAllListeners()
{
    int32_t closed = 0;
    // IPv6 first: a port whose IPv4 listener is open is counted there.
    for (SocketNode* node = AppState.PortList6; node != NULL; node = node->next) {
        const SocketNode* v4 = AppState.PortList;
        while (v4 != NULL && v4->port != node->port)
            v4 = v4->next;
        bool countedAsV4 = v4 != NULL && IsOpen(v4);
        if (CloseListener(node) && !countedAsV4)
            ++closed;
    }
    ListFreeAll(AppState.PortList6);
    for (SocketNode* node = AppState.PortList; node != NULL; node = node->next)
        if (IsOpen(node) && CloseListener(node))
            ++closed;
    return closed;
}

// "Ports: " and the ports that are listening, the lowest twenty named in
// order, as Port Settings lists them; a port listed twice (a hand-edited
// key) is named once.
static void LogOpenPorts(int32_t opened)
{
    int32_t ports[kPortsShown];
    int shown = 0;
    for (SocketNode* node = AppState.PortList; node != NULL; node = node->next)
        if (IsOpen(node) || OpenOnIPv6(node->port))
            shown = InsertPortInOrder(ports, shown, kPortsShown, node->port);
    char line[32 + kPortsShown * 7];
    BuildPortsLine(ports, shown, opened, line);
    AddLogLine(line);
}

static MonitorReport StartListening()
{
    if (AppState.PortList == NULL) {
        AddLogLine("No ports to listen on");
        return MonitorReport{kReportNothing, 0};
    }
    // A port counts once, on whichever families it listens.
    int32_t opened = 0;
    bool ipv6 = AppState.IPv6 != 0;
    for (SocketNode* node = AppState.PortList; node != NULL; node = node->next) {
        bool v4 = OpenListener(node->port, node);
        bool v6 = ipv6 && OpenListener6(node->port, &ipv6);
        if (v4 || v6)
            ++opened;
    }
    if (opened == 0)
        return MonitorReport{kReportNothing, 0};
    char line[64];
    BuildCountLine("Listening on ", opened, line);
    AddLogLine(line);
    LogOpenPorts(opened);
    AppState.IsListening = 1;
    if (AppState.StealthWatch)
        OpenStealthWatch();
    return MonitorReport{kReportListening, opened};
}

static MonitorReport StopListening()
{
    char line[64];
    CloseStealthWatch();
    BuildCountLine("Close: ", CloseAllListeners(), line);
    AddLogLine(line);
    CloseAllConnections();
    AppState.IsListening = 0;
    return MonitorReport{kReportStopped, 0};
}

MonitorReport ToggleListening()
{
    return AppState.IsListening ? StopListening() : StartListening();
}
