// Listening control: one TCP listener per configured port, all reporting to
// the main window, and the Listen/Stop command with its log lines.
#include "../pure/decimal.h"
#include "../pure/linetext.h"
#include "../pure/syslogmsg.h"
#include "../log/log.h"
#include "../pure/text.h"
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

// Closes the listeners that opened; a port that never opened has nothing to
// close and nothing to report.
int32_t CloseAllListeners()
{
    int32_t closed = 0;
    for (SocketNode* node = AppState.PortList; node != NULL; node = node->next) {
        if (node->socket == kInvalidSocket)
            continue;
        SOCKET s = (SOCKET)node->socket;
        shutdown(s, SD_BOTH);
        if (CloseAndRetire(node->socket) == 0) {
            ++closed;
        } else {
            char prefix[kDecimalSize];
            FormatDecimal(node->port, prefix);
            ReportSocketError(prefix);
        }
        // The handle may be reused by the next accepted caller: forget it.
        node->socket = kInvalidSocket;
    }
    return closed;
}

// "Ports: " and the ports that are listening, the first twenty named.
static void LogOpenPorts(int32_t opened)
{
    int32_t ports[kPortsShown];
    int shown = 0;
    for (SocketNode* node = AppState.PortList; node != NULL && shown < kPortsShown;
         node = node->next)
        if (node->socket != kInvalidSocket)
            ports[shown++] = node->port;
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
    int32_t opened = 0;
    for (SocketNode* node = AppState.PortList; node != NULL; node = node->next)
        if (OpenListener(node->port, node))
            ++opened;
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
    AppState.IsListening = 0;
    return MonitorReport{kReportStopped, 0};
}

MonitorReport ToggleListening()
{
    return AppState.IsListening ? StopListening() : StartListening();
}
