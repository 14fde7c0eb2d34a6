// Connection events: every connection to a listened port is a scan. It is
// accepted, recorded and handed to the outputs, warned once, disconnected
// when so set, and whatever it sends is logged. Every connection is bounded
// in time, in data and in number, so that no caller can hold the program.
#include <string.h>

#include <ws2tcpip.h>
#include <mstcpip.h>

#include "../pure/decimal.h"
#include "../pure/linetext.h"
#include "../pure/text.h"
#include "../log/log.h"
#include "../outputs/outputs.h"
#include "monitor.h"
#include "resource.h"

// An accepted connection reports read, write and close.
static const long kConnectionEvents = FD_READ | FD_WRITE | FD_CLOSE;
static const int kMaxReceive = (int)kRecvBufferSize - 1;
// Callers turned away while the connections are full are told of in one
// line a minute at most.
static const uint32_t kTurnedAwayNoticeMs = 60000;

static DWORD ConnectionNow()
{
    return AppState.ConnectionClock != NULL ? AppState.ConnectionClock() : GetTickCount();
}

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

// A socket that cannot be closed is forgotten all the same: kept, it would
// be hung up on again at every tick of its time limit.
void CloseConnection(SocketNode*& head, SocketHandle socket)
{
    shutdown((SOCKET)socket, SD_BOTH);
    bool closed = CloseAndRetire(socket) == 0;
    if (!closed)
        ReportSocketError("Close error");
    ListRemoveBySocket(head, socket);
    if (closed)
        AddLogLine("Scan blocked");
}

// The end of a caller's block: what it sent past the logged part, why it
// was hung up (none when it hung up itself), and the hang-up.
static void EndConnection(SocketNode* node, const char* reason)
{
    if (node->received > kLoggedBytes) {
        char line[64];
        TextCopy(line, "   ");
        AppendDecimal((int32_t)(node->received - kLoggedBytes), line);
        TextAppend(line, " more bytes not logged");
        AddLogLine(line);
    }
    if (reason != NULL)
        AddLogLine(reason);
    CloseConnection(AppState.ConnectionList, node->socket);
}

static void TellTurnedAway(uint32_t count)
{
    if (count == 0)
        return;
    char line[96];
    TextCopy(line, "Connections: ");
    AppendCountN(count, " caller", " callers", line, sizeof line);
    TextAppend(line, " hung up at once (1,024 open)");
    AddLogLine(line);
}

void CheckConnectionLimits()
{
    const DWORD now = ConnectionNow();
    SocketNode* node = AppState.ConnectionList;
    while (node != NULL) {
        SocketNode* next = node->next; // the node goes when it is hung up on
        if (now - node->opened >= kTimeLimitMs)
            EndConnection(node, "   Hung up: time limit");
        node = next;
    }
    TellTurnedAway(CountNoticeTake(&AppState.CallersTurnedAway, now, kTurnedAwayNoticeMs));
}

void CloseAllConnections()
{
    // The callers turned away since the last line are told now, whatever
    // its age: after the hang-up no tick would tell them.
    TellTurnedAway(AppState.CallersTurnedAway.pending);
    AppState.CallersTurnedAway = CountNotice();
    uint32_t count = 0;
    while (AppState.ConnectionList != NULL) {
        SocketHandle socket = AppState.ConnectionList->socket;
        shutdown((SOCKET)socket, SD_BOTH);
        CloseAndRetire(socket);
        ListRemoveBySocket(AppState.ConnectionList, socket);
        ++count;
    }
    if (count == 0)
        return;
    char line[64];
    TextCopy(line, "Close: ");
    AppendCountN(count, " caller", " callers", line, sizeof line);
    AddLogLine(line);
}

// Sends the warning as set, once, and logs whether it went.
static void SendWarning(SocketHandle socket)
{
    int length = BuildWarningText(AppState.MessageType, AppState.CustomMessage, AppState.SendBuffer,
                                  kSendBufferSize);
    if (length >= 0) {
        // A short send is not retried: the warning is one line, sent once.
        int sent = send((SOCKET)socket, AppState.SendBuffer, length, 0);
        AddLogLine(sent == SOCKET_ERROR ? "   Couldn't send message" : "   Message sent");
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

// A caller that was logged but never listed: hung up on at once.
static void HangUpUnlisted(SocketHandle socket)
{
    shutdown((SOCKET)socket, SD_BOTH);
    if (CloseAndRetire(socket) == 0)
        AddLogLine("Scan blocked");
    else
        ReportSocketError("Close error");
}

// The connections are full: the caller is warned as set and hung up on at
// once, and counted for the line that tells of such callers.
static void TurnAway(SocketHandle socket)
{
    SendWarning(socket);
    HangUpUnlisted(socket);
    CountNoticeAdd(&AppState.CallersTurnedAway, 1);
    TellTurnedAway(
        CountNoticeTake(&AppState.CallersTurnedAway, ConnectionNow(), kTurnedAwayNoticeMs));
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
    NetAddress local = LocalAddress(s, caller, length);
    StealthNoteAccept(from, PortOf(caller), local, (uint16_t)port->port);
    // The scan is logged first: whatever fails after it is a line of its
    // block, and the caller is hung up on.
    ScanRecord record = NewScanRecord(kScanConnect);
    record.caller = from;
    record.callerPort = PortOf(caller);
    record.local = local;
    record.port = record.highPort = (uint16_t)port->port;
    ReportScan(record);
    if (ListCount(AppState.ConnectionList) >= kMaxConnections) {
        TurnAway((SocketHandle)s);
        return;
    }
    if (WSAAsyncSelect(s, AppState.MainWindow, WM_SOCKETEVENT, kConnectionEvents) == SOCKET_ERROR) {
        ReportSocketError("Notification error");
        HangUpUnlisted((SocketHandle)s); // it would never get an event: do not keep it open
        return;
    }
    // Never copy more than was filled.
    size_t addressBytes = (length > 0 && length <= (int)sizeof caller) ? (size_t)length : 0;
    SocketNode* node = ListAppend(AppState.ConnectionList, (SocketHandle)s, port->port, &caller,
                                  addressBytes & ~1u);
    if (node == NULL) {
        ReportError("Out of memory");
        HangUpUnlisted((SocketHandle)s);
        return;
    }
    node->opened = ConnectionNow();
}

static void OnWrite(SocketHandle socket)
{
    SocketNode* node = ListFindBySocket(AppState.ConnectionList, socket);
    if (node == NULL || node->warned)
        return;
    node->warned = 0xFFFFFFFFu;
    SendWarning(socket);
    if (AppState.DisconnectImmediately)
        CloseConnection(AppState.ConnectionList, socket);
}

// One receive of at most 2048 bytes, logged as one line with its control
// bytes escaped, so that whatever a caller sends stays on that one line.
// Returns the byte count, or SOCKET_ERROR. A read event that finds nothing
// to read is normal for a non-blocking socket and logs nothing.
static int ReceiveLine(SocketNode* node)
{
    FillDwords(AppState.RecvBuffer, kRecvBufferSize, 0);
    int received = recv((SOCKET)node->socket, AppState.RecvBuffer, kMaxReceive, 0);
    if (received == SOCKET_ERROR) {
        if (WSAGetLastError() != WSAEWOULDBLOCK)
            ReportSocketError("Recv error");
        return received;
    }
    // Only the first part of a caller's data is logged; the rest is counted.
    const uint32_t before = node->received;
    node->received = before + (uint32_t)received;
    if (before < kLoggedBytes) {
        size_t logged = (size_t)received;
        if (logged > kLoggedBytes - before)
            logged = kLoggedBytes - before;
        EscapeCallerData(AppState.RecvBuffer, logged, AppState.EscapeBuffer, kEscapeBufferSize);
        AddLogLine(AppState.EscapeBuffer);
    }
    return received;
}

static void OnRead(SocketHandle socket)
{
    SocketNode* node = ListFindBySocket(AppState.ConnectionList, socket);
    if (node == NULL)
        return;
    // A caller that talks first gets no warning and no immediate hang-up;
    // its limits hold all the same.
    node->warned = 1;
    if (ReceiveLine(node) > 0 && node->received >= kDataLimit)
        EndConnection(node, "   Hung up: data limit");
}

static void OnClose(SocketHandle socket)
{
    SocketNode* node = ListFindBySocket(AppState.ConnectionList, socket);
    if (node == NULL)
        return;
    // The caller has hung up, so no more data can come: log what is still
    // waiting before closing, or it would be lost with the socket; what
    // lies past the data limit is left.
    u_long waiting = 0;
    while (node->received < kDataLimit && ioctlsocket((SOCKET)socket, FIONREAD, &waiting) == 0 &&
           waiting > 0)
        if (ReceiveLine(node) <= 0)
            break;
    EndConnection(node, NULL);
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
