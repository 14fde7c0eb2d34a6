// Connection events: every connection to a listened port is a scan. It is
// accepted, recorded and handed to the outputs, warned once, disconnected
// when so set, and whatever it sends is logged.
#include <string.h>

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

// An address as a socket gives it, IPv4 or IPv6; an IPv4 caller that an
// IPv6 socket hands over in the mapped form reads as IPv4.
static NetAddress AddressOf(const sockaddr_storage& address, int length)
{
    if (address.ss_family == AF_INET && length >= (int)sizeof(sockaddr_in))
        return NetAddressFromV4(((const sockaddr_in&)address).sin_addr.s_addr);
    if (address.ss_family == AF_INET6 && length >= (int)sizeof(sockaddr_in6)) {
        const sockaddr_in6& v6 = (const sockaddr_in6&)address;
        return Unmap(NetAddressFromSocket6(v6.sin6_addr.s6_addr, v6.sin6_scope_id));
    }
    return NetAddress();
}

static uint16_t PortOf(const sockaddr_storage& address)
{
    return ntohs(address.ss_family == AF_INET6 ? ((const sockaddr_in6&)address).sin6_port
                                               : ((const sockaddr_in&)address).sin_port);
}

// The local address the caller called: the accepted socket's own address.
// Only when that cannot be read, the interface the socket layer would use
// to reach the caller, which on a PC with several addresses may be another.
static NetAddress LocalAddress(SOCKET socket, const sockaddr_storage& caller, int callerLength)
{
    sockaddr_storage local = {};
    int length = sizeof local;
    if (getsockname(socket, (sockaddr*)&local, &length) == 0) {
        NetAddress address = AddressOf(local, length);
        if (address.family != 0)
            return address;
    }
    local = sockaddr_storage();
    DWORD bytes = 0;
    if (WSAIoctl(socket, SIO_ROUTING_INTERFACE_QUERY, (void*)&caller, (DWORD)callerLength, &local,
                 sizeof local, &bytes, NULL, NULL) != 0)
        return NetAddress();
    return AddressOf(local, (int)bytes);
}

static void OnAccept(SocketHandle listener)
{
    uint8_t family = kFamilyV4;
    SocketNode* port = ListFindBySocket(AppState.PortList, listener);
    if (port == NULL) {
        family = kFamilyV6;
        port = ListFindBySocket(AppState.PortList6, listener);
    }
    if (port == NULL)
        return;
    // The caller's SYN came before its accept: the watch reads it first.
    StealthCatchUp();
    sockaddr_storage caller = {};
    int length = sizeof caller;
    SOCKET s = accept((SOCKET)listener, (sockaddr*)&caller, &length);
    if (s == INVALID_SOCKET) {
        if (!CallerLeftBeforeAccept(WSAGetLastError())) {
            ReportSocketError("Accept error");
            return;
        }
        if (StealthNameGoneCaller(port->port, family))
            return;
        ScanRecord gone = NewScanRecord(kScanGone);
        gone.port = gone.highPort = (uint16_t)port->port;
        ReportScan(gone);
        return;
    }
    NetAddress from = AddressOf(caller, length);
    StealthNoteAccept(from, PortOf(caller), LocalAddress(s, caller, length), (uint16_t)port->port);
    if (WSAAsyncSelect(s, AppState.MainWindow, WM_SOCKETEVENT, kConnectionEvents) == SOCKET_ERROR) {
        ReportError("Notification error");
        CloseAndRetire((SocketHandle)s); // it would never get an event: do not keep it open
        return;
    }
    // Never copy more than was filled.
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
    record.caller = from;
    record.callerPort = PortOf(caller);
    record.local = LocalAddress(s, caller, length);
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
        OnStealthAddressChange(socket);
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
