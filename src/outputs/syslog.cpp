// The remote syslog collector: one RFC 5424 message per scan, sent once its
// caller's name is known or 5 s have passed, one per sweep as it is seen,
// and one when listening starts or stops. Nothing here may hold up the window: the socket is
// non-blocking and reports to the main window, names are resolved
// asynchronously, and messages wait in a bounded queue while the collector
// is away.
#include <string.h>

#include "../log/log.h"
#include "../pure/decimal.h"
#include "../pure/errortext.h"
#include "../pure/logfiles.h"
#include "../pure/scanrecord.h"
#include "../pure/syslogmsg.h"
#include "../pure/syslogqueue.h"
#include "../pure/text.h"
#include "../pure/trojans.h"
#include "../monitor/monitor.h"
#include "outputs.h"
#include "resource.h"

static const DWORD kFirstRetryMs = 1000;
static const DWORD kLastRetryMs = 60000;
// A collector that stays away fills the log with one line a minute, no more.
static const DWORD kErrorEveryMs = 60000;
// A TCP collector that accepts but takes nothing for this long is treated
// as one that is down: the link is dropped and tried again later.
static const DWORD kStalledMs = 30000;
// What the system may hold for the collector beyond the frame on its way.
// Bytes still in that buffer when a stalled link is dropped never arrive
// and no count can name them, so it is kept small; syslog needs little.
static const int kSendBufferBytes = 16384;

enum SyslogLink {
    kLinkResolving,  // the collector's name is being looked up
    kLinkConnecting, // TCP: connect under way
    kLinkReady,      // messages can go
    kLinkWaiting,    // after a failure, until retryTick
};

struct SyslogSender {
    SOCKET socket;
    BYTE tcp;
    SyslogLink link;
    char host[256];
    uint16_t port;
    sockaddr_in address; // sin_family is 0 until the name is resolved
    HANDLE resolve;
    char* resolveAnswer; // the resolver's buffer, freed when its answer comes
    DWORD retryMs;
    DWORD retryTick;
    BYTE errorShown;
    DWORD errorTick;
    DWORD processId;
    char computer[MAX_COMPUTERNAME_LENGTH + 1];
    SyslogQueue queue;
    // The message on its way: a whole datagram, or a TCP frame partly sent.
    char out[kSyslogSlotSize + kDecimalSize];
    size_t outLength;
    size_t outSent;
    uint32_t outDropped; // when `out` is the notice of dropped messages: how many
    BYTE blocked;        // TCP: the last send would have blocked, since blockedTick
    DWORD blockedTick;
};

static void ShowSyslogError(SyslogSender* s, const char* reason, const char* detail)
{
    DWORD now = GetTickCount();
    if (s->errorShown && now - s->errorTick < kErrorEveryMs)
        return;
    s->errorShown = 1;
    s->errorTick = now;
    char line[400];
    TextCopy(line, "Syslog error: ");
    TextAppend(line, reason);
    if (detail != NULL) {
        TextAppend(line, " (");
        TextAppend(line, detail);
        TextAppend(line, ")");
    }
    ReportError(line);
}

// "host:port" of the collector, for error lines.
static void CollectorText(const SyslogSender* s, char (&out)[300])
{
    TextCopy(out, s->host);
    TextAppend(out, ":");
    AppendDecimal(s->port, out);
}

static void ShowSocketError(SyslogSender* s, int code)
{
    char where[300];
    CollectorText(s, where);
    // Refused is what a collector that is down gives; the shared table has
    // no text for it because listening never meets it.
    ShowSyslogError(s, code == WSAECONNREFUSED ? "Connection refused" : SocketErrorText(code),
                    where);
}

// Takes the next message into `out`: first word of any that were dropped,
// then the oldest queued. False when there is nothing to send.
static bool LoadNext(SyslogSender* s)
{
    char notice[kSyslogSlotSize];
    const char* message;
    size_t length = 0;
    uint32_t dropped = SyslogQueueTakeDropped(&s->queue);
    s->outDropped = dropped;
    if (dropped > 0) {
        char text[48];
        char time[kIsoTimeSize];
        BuildDroppedText(dropped, text);
        LocalIsoTime(time);
        SyslogMessage m = {kSyslogWarning, time,   s->computer, "Harbinel",
                           s->processId,   "DROP", NULL,        text};
        length = BuildSyslogMessage(m, notice, sizeof notice);
        message = notice;
    } else {
        message = SyslogQueueFront(&s->queue, &length);
        if (message == NULL)
            return false;
    }
    if (s->tcp) {
        s->outLength = FrameOctetCounted(message, length, s->out, sizeof s->out);
    } else {
        memcpy(s->out, message, length);
        s->outLength = length;
    }
    s->outSent = 0;
    if (dropped == 0)
        SyslogQueuePop(&s->queue);
    return s->outLength > 0;
}

static void CloseSyslogSocket(SyslogSender* s)
{
    if (s->socket == INVALID_SOCKET)
        return;
    // Retired like a caller's socket: its queued events must not reach
    // whatever socket gets the same handle next.
    CloseAndRetire((SocketHandle)s->socket);
    s->socket = INVALID_SOCKET;
}

// After a failure: try again later, each time waiting twice as long.
static void RetryLater(SyslogSender* s)
{
    CloseSyslogSocket(s);
    // A TCP frame cut short starts again whole on the next connection.
    s->outSent = 0;
    s->blocked = 0;
    s->link = kLinkWaiting;
    s->retryTick = GetTickCount() + s->retryMs;
    s->retryMs = s->retryMs >= kLastRetryMs / 2 ? kLastRetryMs : s->retryMs * 2;
}

// Sends until nothing is left or the socket would block; FD_WRITE resumes.
static void Pump(SyslogSender* s)
{
    while (s->link == kLinkReady) {
        if (s->outLength == 0 && !LoadNext(s))
            return;
        const char* from = s->out + s->outSent;
        int left = (int)(s->outLength - s->outSent);
        int sent = s->tcp ? send(s->socket, from, left, 0)
                          : sendto(s->socket, from, left, 0, (const sockaddr*)&s->address,
                                   sizeof s->address);
        if (sent == SOCKET_ERROR) {
            int code = WSAGetLastError();
            if (code == WSAEWOULDBLOCK) {
                if (!s->blocked)
                    s->blockedTick = GetTickCount();
                s->blocked = 1;
                return;
            }
            ShowSocketError(s, code);
            // A datagram that failed stays for the next tick; a stream
            // that failed is opened again.
            if (s->tcp)
                RetryLater(s);
            return;
        }
        s->blocked = 0;
        s->outSent += (size_t)sent;
        if (s->outSent >= s->outLength)
            s->outLength = s->outSent = 0;
    }
}

static void Connect(SyslogSender* s)
{
    int type = s->tcp ? SOCK_STREAM : SOCK_DGRAM;
    SOCKET sock = socket(AF_INET, type, s->tcp ? IPPROTO_TCP : IPPROTO_UDP);
    if (sock == INVALID_SOCKET) {
        ShowSocketError(s, WSAGetLastError());
        RetryLater(s);
        return;
    }
    s->socket = sock;
    int bufferBytes = kSendBufferBytes;
    if (s->tcp)
        setsockopt(sock, SOL_SOCKET, SO_SNDBUF, (const char*)&bufferBytes, sizeof bufferBytes);
    // Registering makes the socket non-blocking.
    long events = s->tcp ? FD_CONNECT | FD_WRITE | FD_READ | FD_CLOSE : FD_WRITE;
    if (WSAAsyncSelect(sock, AppState.MainWindow, WM_SOCKETEVENT, events) == SOCKET_ERROR) {
        ShowSocketError(s, WSAGetLastError());
        RetryLater(s);
        return;
    }
    if (!s->tcp) {
        s->link = kLinkReady;
        Pump(s);
        return;
    }
    s->link = kLinkConnecting;
    if (connect(sock, (const sockaddr*)&s->address, sizeof s->address) == 0) {
        s->link = kLinkReady;
        s->retryMs = kFirstRetryMs;
        Pump(s);
    } else if (WSAGetLastError() != WSAEWOULDBLOCK) {
        ShowSocketError(s, WSAGetLastError());
        RetryLater(s);
    }
}

static void Resolve(SyslogSender* s)
{
    s->link = kLinkResolving;
    s->resolveAnswer = (char*)BlockAlloc(MAXGETHOSTSTRUCT, true);
    if (s->resolveAnswer != NULL)
        s->resolve = WSAAsyncGetHostByName(AppState.MainWindow, WM_HOSTRESOLVED, s->host,
                                           s->resolveAnswer, MAXGETHOSTSTRUCT);
    if (s->resolve == 0) {
        BlockFree(s->resolveAnswer);
        s->resolveAnswer = NULL;
        ShowSyslogError(s, "Name lookup could not start", s->host);
        RetryLater(s);
    }
}

// A HANDLE here is only an id to compare, never written through.
// cppcheck-suppress constParameter
bool OnSyslogResolved(HANDLE handle, int errorCode)
{
    SyslogSender* s = AppState.Syslog;
    if (s == NULL || s->resolve == 0 || handle != s->resolve)
        return false;
    const hostent* entry = (const hostent*)s->resolveAnswer;
    if (errorCode == 0 && entry->h_addrtype == AF_INET && entry->h_length == 4 &&
        entry->h_addr_list != NULL && entry->h_addr_list[0] != NULL) {
        memcpy(&s->address.sin_addr, entry->h_addr_list[0], 4);
        s->address.sin_family = AF_INET;
    }
    BlockFree(s->resolveAnswer);
    s->resolveAnswer = NULL;
    s->resolve = 0;
    if (s->address.sin_family != AF_INET) {
        ShowSyslogError(s, HostErrorText(errorCode == 0 ? WSAHOST_NOT_FOUND : errorCode), s->host);
        RetryLater(s);
        return true;
    }
    s->retryMs = kFirstRetryMs;
    Connect(s);
    return true;
}

bool SyslogOwnsSocket(SocketHandle socket)
{
    const SyslogSender* s = AppState.Syslog;
    return s != NULL && s->socket != INVALID_SOCKET && (SocketHandle)s->socket == socket;
}

void OnSyslogSocketEvent(WORD event, int error)
{
    SyslogSender* s = AppState.Syslog;
    switch (event) {
    case FD_CONNECT:
        if (error != 0) {
            ShowSocketError(s, error);
            RetryLater(s);
            return;
        }
        s->link = kLinkReady;
        s->retryMs = kFirstRetryMs;
        Pump(s);
        break;
    case FD_WRITE:
        Pump(s);
        break;
    case FD_READ: {
        // A collector has nothing to say; whatever comes is read and let go.
        char ignored[256];
        recv(s->socket, ignored, sizeof ignored, 0);
        break;
    }
    case FD_CLOSE:
        ShowSyslogError(s, "Collector closed the connection", s->host);
        RetryLater(s);
        break;
    }
}

static void Enqueue(SyslogSender* s, const char* message, size_t length)
{
    if (length == 0)
        return;
    SyslogQueuePush(&s->queue, message, length);
    Pump(s);
}

void SyslogSendEvent(int severity, const char* msgId, const char* text)
{
    SyslogSender* s = AppState.Syslog;
    if (s == NULL)
        return;
    char time[kIsoTimeSize];
    LocalIsoTime(time);
    SyslogMessage m = {severity, time, s->computer, "Harbinel", s->processId, msgId, NULL, text};
    char message[kSyslogSlotSize];
    Enqueue(s, message, BuildSyslogMessage(m, message, sizeof message));
}

void SyslogScanSeen(const ScanRecord& record)
{
    if (record.kind != kScanSweep || AppState.Syslog == NULL)
        return;
    char line[128];
    BuildSweepLine(record, record.trusted ? " (trusted): " : ": ", line);
    SyslogSendEvent(kSyslogWarning, "SWEEP", line);
}

// rdns null leaves the name out: the lookup never answered in time.
void SyslogScanNamed(const ScanRecord& record, const char* rdns)
{
    SyslogSender* s = AppState.Syslog;
    if (s == NULL || record.kind == kScanSweep)
        return;
    char src[kNetAddressTextSize];
    char dst[kNetAddressTextSize];
    FormatScanCaller(record, src);
    FormatScanLocal(record, dst);
    // Gone before its accept: nobody can say who called, from which port,
    // or which of the local addresses it called.
    bool gone = record.kind == kScanGone;
    SyslogScanData data = {src,
                           gone ? -1 : (int32_t)record.callerPort,
                           dst,
                           record.port,
                           gone ? NULL : rdns,
                           "logged",
                           record.trusted ? "1" : "0",
                           record.verified ? "1" : "0",
                           NULL};
    char known[kKnownPortLineSize];
    ScanKnownAs(record, known);
    if (known[0] != '\0')
        data.knownAs = known;
    // An IPv6 address goes in brackets before its port.
    char text[200];
    TextCopy(text, "Scan from ");
    if (gone) {
        TextAppend(text, "- on -:");
        AppendDecimal(record.port, text);
    } else {
        AppendNetAddressPortN(record.caller, record.callerPort, text, sizeof text);
        TextAppend(text, " on ");
        AppendNetAddressPortN(record.local, record.port, text, sizeof text);
    }
    SyslogMessage m = {kSyslogWarning, record.time, s->computer, "Harbinel",
                       s->processId,   "SCAN",      &data,       text};
    char message[kSyslogSlotSize];
    Enqueue(s, message, BuildSyslogMessage(m, message, sizeof message));
}

void SyslogTick()
{
    SyslogSender* s = AppState.Syslog;
    if (s == NULL)
        return;
    DWORD now = GetTickCount();
    if (s->tcp && s->link == kLinkReady && s->blocked && now - s->blockedTick >= kStalledMs) {
        ShowSyslogError(s, "collector not reading", NULL);
        RetryLater(s);
    }
    if (s->link == kLinkWaiting && (int)(now - s->retryTick) >= 0) {
        if (s->address.sin_family == AF_INET)
            Connect(s);
        else
            Resolve(s);
    }
    Pump(s);
}

void SyslogStop()
{
    SyslogSender* s = AppState.Syslog;
    if (s == NULL)
        return;
    if (s->resolve != 0)
        WSACancelAsyncRequest(s->resolve); // its buffer stays: the resolver may still write
    // Whatever is still queued now, or was cut off half sent, never reaches
    // the collector: the user hears how much.
    // A loaded notice of dropped messages stands for all of them.
    uint32_t lost = SyslogQueueUndelivered(&s->queue);
    if (s->outSent < s->outLength)
        lost += s->outDropped > 0 ? s->outDropped : 1;
    CloseSyslogSocket(s);
    SyslogQueueFree(&s->queue);
    if (lost > 0) {
        char line[64];
        BuildUndeliveredText(lost, line);
        AddLogLine(line);
    }
    BlockFree(s);
    AppState.Syslog = NULL;
}

void SyslogStart()
{
    SyslogStop();
    if (AppState.SyslogServer[0] == '\0')
        return;
    SyslogSender* s = (SyslogSender*)BlockAlloc(sizeof(SyslogSender), true);
    if (s == NULL || !SyslogQueueInit(&s->queue, kSyslogQueueLength)) {
        BlockFree(s);
        ReportError("Syslog error: Out of memory");
        return;
    }
    s->socket = INVALID_SOCKET;
    s->tcp = AppState.SyslogTcp;
    s->retryMs = kFirstRetryMs;
    s->processId = GetCurrentProcessId();
    DWORD size = sizeof s->computer;
    if (!GetComputerNameA(s->computer, &size))
        s->computer[0] = '\0';
    if (!ParseSyslogServer(AppState.SyslogServer, s->host, &s->port)) {
        SyslogQueueFree(&s->queue);
        BlockFree(s);
        char line[300];
        TextCopy(line, "Syslog error: Not a host or host:port: ");
        TextAppend(line, AppState.SyslogServer);
        ReportError(line);
        return;
    }
    AppState.Syslog = s;
    s->address.sin_port = htons(s->port);
    u_long numeric = inet_addr(s->host);
    if (numeric != INADDR_NONE || lstrcmpA(s->host, "255.255.255.255") == 0) {
        s->address.sin_family = AF_INET;
        s->address.sin_addr.s_addr = numeric;
        Connect(s);
    } else {
        Resolve(s);
    }
}
