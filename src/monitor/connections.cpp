// Connection events: every connection to a listened port is a scan. It is
// accepted, recorded and handed to the outputs, warned once, disconnected
// when so set, and whatever it sends is logged.
#include <ws2tcpip.h>
#include <mstcpip.h>

#include "../pure/linetext.h"
#include "../log/log.h"
#include "../outputs/outputs.h"
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

// The local address the caller called: the accepted socket's own address.
// Only when that cannot be read, the interface the socket layer would use
// to reach the caller, which on a PC with several addresses may be another.
static in_addr LocalAddress(SOCKET socket, const sockaddr_in& caller)
{
    sockaddr_in local = {};
    int length = sizeof local;
    if (getsockname(socket, (sockaddr*)&local, &length) != 0 || local.sin_family != AF_INET) {
        local = sockaddr_in();
        DWORD bytes = 0;
        WSAIoctl(socket, SIO_ROUTING_INTERFACE_QUERY, (void*)&caller, sizeof caller, &local,
                 sizeof local, &bytes, NULL, NULL);
    }
    return local.sin_addr;
}

static void OnAccept(SocketHandle listener)
{
    SocketNode* port = ListFindBySocket(AppState.PortList, listener);
    if (port == NULL)
        return;
    // The caller's SYN came before its accept: the watch reads it first.
    StealthCatchUp();
    sockaddr_in caller = {};
    int length = sizeof caller;
    SOCKET s = accept((SOCKET)listener, (sockaddr*)&caller, &length);
    if (s == INVALID_SOCKET) {
        if (!CallerLeftBeforeAccept(WSAGetLastError())) {
            ReportSocketError("Accept error");
            return;
        }
        if (StealthNameGoneCaller(port->port))
            return;
        ScanRecord gone = NewScanRecord(kScanGone);
        gone.port = gone.highPort = (uint16_t)port->port;
        ReportScan(gone);
        return;
    }
    StealthNoteAccept(caller);
    if (WSAAsyncSelect(s, AppState.MainWindow, WM_SOCKETEVENT, kConnectionEvents) == SOCKET_ERROR) {
        ReportError("Notification error");
        CloseAndRetire((SocketHandle)s); // it would never get an event: do not keep it open
        return;
    }
    // An IPv4 caller's address is 16 bytes; never copy more than was filled.
    size_t addressBytes = (length > 0 && length <= (int)sizeof caller) ? (size_t)length : 0;
    SocketNode* node = ListAppend(AppState.ConnectionList, (SocketHandle)s, port->port, &caller,
                                  addressBytes & ~1u);
    if (node == NULL) {
        ReportError("Out of memory");
        shutdown(s, SD_BOTH);
        CloseAndRetire((SocketHandle)s);
        return;
    }
    ScanRecord record = NewScanRecord(kScanConnect);
    record.caller = caller.sin_addr.s_addr;
    record.callerPort = ntohs(caller.sin_port);
    record.local = LocalAddress(s, caller).s_addr;
    record.port = record.highPort = (uint16_t)port->port;
    ReportScan(record);
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

void OnSocketEvent(SocketHandle socket, WORD event, int error)
{
    // The buffers are gone once the exit path has run, and a closed
    // socket's left-over events must not reach a new owner of its handle.
    if (AppState.RecvBuffer == NULL || ListFindBySocket(AppState.RetiredSockets, socket) != NULL)
        return;
    if (event == FD_ADDRESS_LIST_CHANGE && IsStealthSocket(socket)) {
        OnStealthAddressChange();
        return;
    }
    if (SyslogOwnsSocket(socket)) {
        OnSyslogSocketEvent(event, error);
        return;
    }
    switch (event) {
    case FD_ACCEPT:
        OnAccept(socket);
        break;
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
}
