// Connection events: every connection to a listened port is a scan. It is
// accepted, recorded, logged and looked up, warned once, disconnected when so
// set, and whatever it sends is logged.
#include "../pure/linetext.h"
#include "../log/log.h"
#include "monitor.h"
#include "resource.h"

// An accepted connection reports read, write and close.
static const long kConnectionEvents = FD_READ | FD_WRITE | FD_CLOSE;
static const int kMaxReceive = (int)kRecvBufferSize - 1;

int CloseAndRetire(SocketHandle socket)
{
    int result = closesocket((SOCKET)socket);
    if (result != 0)
        return result;
    // Events for the old socket may already wait in the queue, and the next
    // accept can return the same handle value. Until the marker posted now
    // comes round, every event for this handle is one of those left-overs.
    static const BYTE noAddress[16] = {};
    if (ListAppend(AppState.RetiredSockets, socket, 0, noAddress, sizeof noAddress) != NULL)
        PostMessageA(AppState.MainWindow, WM_SOCKETRETIRED, (WPARAM)socket, 0);
    return 0;
}

void CloseFailedSocket(SocketHandle socket)
{
    int error = WSAGetLastError();
    CloseAndRetire(socket);
    WSASetLastError(error);
}

void CloseConnection(SocketNode*& head, SocketHandle socket)
{
    shutdown((SOCKET)socket, SD_BOTH);
    if (CloseAndRetire(socket) == 0) {
        ListRemoveBySocket(head, socket);
        AddLogLine("Scan blocked");
    }
}

// A caller that connected and hung up before its accept (a connect scan
// resets at once) is still a scan, though nobody can say who it was.
static bool CallerLeftBeforeAccept(int error)
{
    return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAENOTCONN;
}

static MonitorReport OnAccept(SocketHandle listener)
{
    SocketNode* port = ListFindBySocket(AppState.PortList, listener);
    if (port == NULL)
        return MonitorReport{kReportNothing, 0, 0};
    // The caller's SYN came before its accept: the watch reads it first.
    StealthCatchUp();
    sockaddr_in caller = {};
    int length = sizeof caller;
    SOCKET s = accept((SOCKET)listener, (sockaddr*)&caller, &length);
    if (s == INVALID_SOCKET) {
        if (!CallerLeftBeforeAccept(WSAGetLastError())) {
            ReportSocketError("Accept error");
            return MonitorReport{kReportNothing, 0, 0};
        }
        MonitorReport named;
        if (StealthNameGoneCaller(port->port, &named))
            return named;
        AddLogLine(ScanHeadLine(false));
        LogGoneCaller(port->port, "   Accept: ");
        SyslogNoteScan(NULL, port->port, false, NULL);
        return MonitorReport{kReportScan, 0, port->port};
    }
    StealthNoteAccept(caller);
    if (WSAAsyncSelect(s, AppState.MainWindow, WM_SOCKETEVENT, kConnectionEvents) == SOCKET_ERROR) {
        AddLogLine("Notification error");
        CloseAndRetire((SocketHandle)s); // it would never get an event: do not keep it open
        return MonitorReport{kReportNothing, 0, 0};
    }
    // An IPv4 caller's address is 16 bytes; never copy more than was filled.
    size_t addressBytes = (length > 0 && length <= (int)sizeof caller) ? (size_t)length : 0;
    SocketNode* node = ListAppend(AppState.ConnectionList, (SocketHandle)s, port->port, &caller,
                                  addressBytes & ~1u);
    if (node == NULL) {
        AddLogLine("Out of memory");
        shutdown(s, SD_BOTH);
        CloseAndRetire((SocketHandle)s);
        return MonitorReport{kReportNothing, 0, 0};
    }
    // A trusted caller is served and logged like any other, quietly.
    bool trusted = IsTrusted(AppState.Trusted, ntohl(caller.sin_addr.s_addr));
    AddLogLine(ScanHeadLine(trusted));
    in_addr called;
    int line = LogConnection(node, caller, "   Accept: ", &called);
    // Before the lookup starts: a name known already answers at once.
    SyslogNoteScan(&caller, port->port, trusted, &called);
    if (line != 0)
        StartHostLookup(line, caller);
    if (trusted)
        return MonitorReport{kReportNothing, 0, 0};
    return MonitorReport{kReportScan, caller.sin_addr.s_addr, port->port};
}

static void OnWrite(SocketHandle socket)
{
    SocketNode* node = ListFindBySocket(AppState.ConnectionList, socket);
    if (node == NULL || node->warned)
        return;
    node->warned = 0xFFFFFFFFu;
    int length = BuildWarningText(AppState.MessageType, AppState.CustomMessage, AppState.SendBuffer,
                                  kSendBufferSize);
    if (length >= 0) {
        // A short send is not retried: the warning is one line, sent once.
        int sent = send((SOCKET)socket, AppState.SendBuffer, length, 0);
        AddLogLine(sent == SOCKET_ERROR ? "   Couldn't send message" : "   Message sent");
    }
    if (AppState.DisconnectImmediately)
        CloseConnection(AppState.ConnectionList, socket);
}

// One receive of at most 2048 bytes, logged as one line with its control
// bytes escaped, so that whatever a caller sends stays on that one line.
// Returns the byte count, or SOCKET_ERROR. A read event that finds nothing
// to read is normal for a non-blocking socket and logs nothing.
static int ReceiveLine(SocketHandle socket)
{
    FillDwords(AppState.RecvBuffer, kRecvBufferSize, 0);
    int received = recv((SOCKET)socket, AppState.RecvBuffer, kMaxReceive, 0);
    if (received == SOCKET_ERROR) {
        if (WSAGetLastError() != WSAEWOULDBLOCK)
            ReportSocketError("Recv error");
        return received;
    }
    EscapeCallerData(AppState.RecvBuffer, (size_t)received, AppState.EscapeBuffer,
                     kEscapeBufferSize);
    AddLogLine(AppState.EscapeBuffer);
    return received;
}

static void OnRead(SocketHandle socket)
{
    SocketNode* node = ListFindBySocket(AppState.ConnectionList, socket);
    if (node == NULL)
        return;
    node->warned = 1; // a caller that talks first gets no warning and no hang-up
    ReceiveLine(socket);
}

static void OnClose(SocketHandle socket)
{
    if (ListFindBySocket(AppState.ConnectionList, socket) == NULL)
        return;
    // The caller has hung up, so no more data can come: log what is still
    // waiting before closing, or it would be lost with the socket.
    u_long waiting = 0;
    while (ioctlsocket((SOCKET)socket, FIONREAD, &waiting) == 0 && waiting > 0)
        if (ReceiveLine(socket) <= 0)
            break;
    CloseConnection(AppState.ConnectionList, socket);
}

MonitorReport OnSocketEvent(SocketHandle socket, WORD event, int error)
{
    // The buffers are gone once the exit path has run, and a closed
    // socket's left-over events must not reach a new owner of its handle.
    if (AppState.RecvBuffer == NULL || ListFindBySocket(AppState.RetiredSockets, socket) != NULL)
        return MonitorReport{kReportNothing, 0, 0};
    if (event == FD_READ && IsStealthSocket(socket))
        return OnStealthRead(socket);
    if (event == FD_ADDRESS_LIST_CHANGE && IsStealthSocket(socket)) {
        OnStealthAddressChange();
        return MonitorReport{kReportNothing, 0, 0};
    }
    if (SyslogOwnsSocket(socket)) {
        OnSyslogSocketEvent(event, error);
        return MonitorReport{kReportNothing, 0, 0};
    }
    switch (event) {
    case FD_ACCEPT:
        return OnAccept(socket);
    case FD_CLOSE:
        OnClose(socket);
        break;
    case FD_WRITE:
        OnWrite(socket);
        break;
    case FD_READ:
        OnRead(socket);
        break;
    }
    return MonitorReport{kReportNothing, 0, 0};
}
