// The stealth watch: raw sockets that see every TCP SYN reaching this PC.
// A SYN to a listened port waits for its accept; when none comes, or the
// caller left before it, the scan is logged with the caller's name. SYNs to
// ports nobody listens on are counted per caller and logged as port sweeps.
#include <string.h>

#include <ws2tcpip.h>
#include <mstcpip.h>

#include "../pure/decimal.h"
#include "../pure/linetext.h"
#include "../pure/packet.h"
#include "../pure/synwatch.h"
#include "../pure/syslogmsg.h"
#include "../pure/text.h"
#include "../log/log.h"
#include "monitor.h"
#include "resource.h"

// Local addresses watched in the form that needs a socket for each.
static const int kWatchSocketCap = 8;
// Packets read per event, so that a flood never holds the window's thread;
// the rest raise another event.
static const int kPacketsPerEvent = 64;
// The IPv4 and TCP headers at their longest: all that is read of a packet.
static const int kPacketBytes = 120;
static const UINT kStealthTimerMs = 500;
// A sweep's first block waits this long, so that a burst is counted whole.
static const DWORD kSweepSettleMs = 500;
static const int kSettlingCap = 16;

struct SettlingSweep {
    SweepEvent event;
    DWORD startTick;
};

struct StealthState {
    SocketHandle sockets[kWatchSocketCap];
    u_long addresses[kWatchSocketCap]; // each socket's local address
    int socketCount;
    // The raw TCP form is handed only what comes to this PC; the other one
    // sees every packet on its interface, both ways.
    bool onlyIncoming;
    SynPendingTable pending;
    SweepTable sweeps;
    SettlingSweep settling[kSettlingCap];
    int settlingCount;
    // A scan logged while an accept ran, whose alert the next tick raises.
    MonitorReport owed;
    unsigned char packet[kPacketBytes];
};

static const MonitorReport kNothing = {kReportNothing, 0, 0};

static void KeepScan(MonitorReport& kept, const MonitorReport& next)
{
    if (next.event == kReportScan)
        kept = next;
}

static sockaddr_in Address(u_long address, uint16_t port)
{
    sockaddr_in out = {};
    out.sin_family = AF_INET;
    out.sin_addr.s_addr = address;
    out.sin_port = htons(port);
    return out;
}

// A watch socket that failed is closed keeping the reason for the log.
static bool Fail(SOCKET s)
{
    int error = WSAGetLastError();
    CloseAndRetire((SocketHandle)s);
    WSASetLastError(error);
    return false;
}

static bool AddSocket(StealthState* watch, SOCKET s, u_long address)
{
    if (WSAAsyncSelect(s, AppState.MainWindow, WM_SOCKETEVENT, FD_READ) == SOCKET_ERROR)
        return Fail(s);
    watch->sockets[watch->socketCount] = (SocketHandle)s;
    watch->addresses[watch->socketCount++] = address;
    return true;
}

// The Windows form: every packet of one interface, for administrators only.
static bool OpenReceiveAll(StealthState* watch, u_long address)
{
    SOCKET s = socket(AF_INET, SOCK_RAW, IPPROTO_IP);
    if (s == INVALID_SOCKET)
        return false;
    sockaddr_in local = Address(address, 0);
    DWORD on = RCVALL_ON, bytes = 0;
    if (bind(s, (sockaddr*)&local, sizeof local) == SOCKET_ERROR ||
        WSAIoctl(s, SIO_RCVALL, &on, sizeof on, NULL, 0, &bytes, NULL, NULL) == SOCKET_ERROR)
        return Fail(s);
    return AddSocket(watch, s, address);
}

static void OpenEveryInterface(StealthState* watch)
{
    char name[256];
    if (gethostname(name, sizeof name) != 0)
        return;
    const hostent* host = gethostbyname(name);
    if (host == NULL || host->h_addrtype != AF_INET)
        return;
    for (int i = 0; host->h_addr_list[i] != NULL && watch->socketCount < kWatchSocketCap; ++i) {
        u_long address;
        memcpy(&address, host->h_addr_list[i], sizeof address);
        OpenReceiveAll(watch, address);
    }
}

// Where that form is refused (under Wine it always is), one raw TCP socket.
static bool OpenRawTcp(StealthState* watch)
{
    SOCKET s = socket(AF_INET, SOCK_RAW, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return false;
    watch->onlyIncoming = true;
    return AddSocket(watch, s, INADDR_ANY);
}

void OpenStealthWatch()
{
    if (AppState.Watch != NULL)
        return;
    StealthState* watch = (StealthState*)BlockAlloc(sizeof(StealthState), true);
    if (watch == NULL) {
        AddLogLine("Stealth watch error: Out of memory");
        return;
    }
    OpenEveryInterface(watch);
    if (watch->socketCount == 0 && !OpenRawTcp(watch)) {
        // Windows gives raw sockets to administrators only; the table's text
        // for this code speaks of broadcasts, which would mislead here.
        if (WSAGetLastError() == WSAEACCES)
            AddLogLine("Stealth watch error: Administrator rights needed");
        else
            ReportSocketError("Stealth watch error");
        BlockFree(watch);
        return;
    }
    AppState.Watch = watch;
    SetTimer(AppState.MainWindow, kStealthTimer, kStealthTimerMs, NULL);
    AddLogLine("Stealth watch on");
}

void CloseStealthWatch()
{
    StealthState* watch = AppState.Watch;
    if (watch == NULL)
        return;
    KillTimer(AppState.MainWindow, kStealthTimer);
    for (int i = 0; i < watch->socketCount; ++i)
        CloseAndRetire(watch->sockets[i]);
    AppState.Watch = NULL;
    BlockFree(watch);
}

void SetStealthWatch(bool on)
{
    AppState.StealthWatch = on ? 1 : 0;
    if (!AppState.IsListening)
        return;
    if (on) {
        OpenStealthWatch();
    } else if (AppState.Watch != NULL) {
        CloseStealthWatch();
        AddLogLine("Stealth watch off");
    }
}

bool IsStealthSocket(SocketHandle socket)
{
    const StealthState* watch = AppState.Watch;
    for (int i = 0; watch != NULL && i < watch->socketCount; ++i)
        if (watch->sockets[i] == socket)
            return true;
    return false;
}

// ---- Naming callers and sweeps ---------------------------------------------

static MonitorReport LogNamedScan(const SynRecord& record)
{
    sockaddr_in caller = Address(record.callerAddress, record.callerPort);
    bool trusted = IsTrusted(AppState.Trusted, ntohl(record.callerAddress));
    AddLogLine(ScanHeadLine(trusted));
    int line = LogCallerAt(caller, Address(record.localAddress, record.localPort), "   Stealth: ");
    in_addr called;
    called.s_addr = record.localAddress;
    SyslogNoteScan(&caller, record.localPort, trusted, &called);
    if (line != 0)
        StartHostLookup(line, caller);
    if (trusted)
        return kNothing;
    return MonitorReport{kReportScan, record.callerAddress, record.localPort};
}

// "Port sweep from <address>" + middle + "<n> ports, <lowest>-<highest>".
static void BuildSweepLine(const SweepEvent& event, const char* middle, char (&line)[128])
{
    in_addr address;
    address.s_addr = event.callerAddress;
    TextCopy(line, "Port sweep from ");
    TextAppend(line, inet_ntoa(address));
    TextAppend(line, middle);
    // Past the ports it remembers the table counts repeats too.
    if (!event.countExact)
        TextAppend(line, "up to ");
    AppendDecimal((int32_t)event.portCount, line);
    TextAppend(line, " ports, ");
    AppendDecimal(event.lowPort, line);
    TextAppend(line, "-");
    AppendDecimal(event.highPort, line);
}

static MonitorReport LogSweep(const SweepEvent& event)
{
    bool trusted = IsTrusted(AppState.Trusted, ntohl(event.callerAddress));
    char line[128];
    BuildSweepLine(event, trusted ? " (trusted): " : ": ", line);
    int index = LogWithTimestamp(line);
    SyslogSendEvent(kSyslogWarning, "SWEEP", line);
    if (index != 0)
        StartHostLookup(index, Address(event.callerAddress, 0));
    if (trusted)
        return kNothing;
    return MonitorReport{kReportScan, event.callerAddress, event.lowPort};
}

static void LogSweepUpdate(const SweepEvent& event)
{
    char line[128];
    BuildSweepLine(event, " went on: ", line);
    AddLogLine(line);
}

// The ports that came while a sweep's first block waited go into that block
// rather than into the update at the end of its period.
static void TakeCurrentCounts(SweepTable* table, SweepEvent* event)
{
    for (size_t i = 0; i < table->count; ++i) {
        SweepCaller& c = table->callers[i];
        if (c.address != event->callerAddress || !c.sweeping)
            continue;
        event->portCount = c.portCount;
        event->lowPort = c.lowPort;
        event->highPort = c.highPort;
        event->countExact = c.countExact;
        c.updatePending = false;
    }
}

static MonitorReport LogSettledSweeps(StealthState* watch, DWORD now)
{
    MonitorReport report = kNothing;
    int kept = 0;
    for (int i = 0; i < watch->settlingCount; ++i) {
        SettlingSweep& s = watch->settling[i];
        if (now - s.startTick >= kSweepSettleMs) {
            TakeCurrentCounts(&watch->sweeps, &s.event);
            KeepScan(report, LogSweep(s.event));
        } else {
            watch->settling[kept++] = s;
        }
    }
    watch->settlingCount = kept;
    return report;
}

// ---- Reading packets -------------------------------------------------------

// A listened port is one with a live listener: a port whose bind failed
// keeps its socket until Stop, while another program answers there.
static bool IsListened(uint16_t port)
{
    for (SocketNode* node = AppState.PortList; node != NULL; node = node->next) {
        if (node->port != port || node->socket == kInvalidSocket)
            continue;
        BOOL listening = FALSE;
        int length = sizeof listening;
        if (getsockopt((SOCKET)node->socket, SOL_SOCKET, SO_ACCEPTCONN, (char*)&listening,
                       &length) == 0 &&
            listening)
            return true;
    }
    return false;
}

static bool ToThisPc(const StealthState& watch, uint32_t address)
{
    if (watch.onlyIncoming)
        return true;
    for (int i = 0; i < watch.socketCount; ++i)
        if (watch.addresses[i] == address)
            return true;
    return false;
}

static MonitorReport NotePacket(StealthState* watch, size_t length)
{
    TcpPacket packet;
    if (!ParseTcpPacket(watch->packet, length, &packet) || !IsConnectionAttempt(packet) ||
        !ToThisPc(*watch, packet.destinationAddress))
        return kNothing;
    DWORD now = GetTickCount();
    if (IsListened(packet.destinationPort)) {
        SynNoteAttempt(&watch->pending, packet.sourceAddress, packet.sourcePort,
                       packet.destinationAddress, packet.destinationPort, now);
        return kNothing;
    }
    SweepEvent event;
    SweepEventKind kind =
        SweepNote(&watch->sweeps, packet.sourceAddress, packet.destinationPort, now, &event);
    if (kind == kSweepUpdate)
        LogSweepUpdate(event);
    if (kind != kSweepStarted)
        return kNothing;
    if (watch->settlingCount == kSettlingCap)
        return LogSweep(event); // no room to wait: logged as it stands
    watch->settling[watch->settlingCount++] = SettlingSweep{event, now};
    return kNothing;
}

MonitorReport OnStealthRead(SocketHandle socket)
{
    StealthState* watch = AppState.Watch;
    MonitorReport report = kNothing;
    for (int i = 0; watch != NULL && i < kPacketsPerEvent; ++i) {
        int received = recv((SOCKET)socket, (char*)watch->packet, kPacketBytes, 0);
        // A longer packet comes cut to the buffer, which holds its headers.
        if (received == SOCKET_ERROR && WSAGetLastError() == WSAEMSGSIZE)
            received = kPacketBytes;
        if (received == SOCKET_ERROR) {
            if (WSAGetLastError() != WSAEWOULDBLOCK)
                ReportSocketError("Stealth watch error");
            break;
        }
        KeepScan(report, NotePacket(watch, (size_t)received));
    }
    return report;
}

void StealthCatchUp()
{
    StealthState* watch = AppState.Watch;
    for (int i = 0; watch != NULL && i < watch->socketCount; ++i)
        KeepScan(watch->owed, OnStealthRead(watch->sockets[i]));
}

void StealthNoteAccept(const sockaddr_in& caller)
{
    if (AppState.Watch != NULL)
        SynMatchAccept(&AppState.Watch->pending, caller.sin_addr.s_addr, ntohs(caller.sin_port));
}

bool StealthNameGoneCaller(int32_t port, MonitorReport* report)
{
    SynRecord record;
    if (AppState.Watch == NULL ||
        !SynTakeByLocalPort(&AppState.Watch->pending, (uint16_t)port, &record))
        return false;
    *report = LogNamedScan(record);
    return true;
}

MonitorReport OnStealthTimer()
{
    StealthState* watch = AppState.Watch;
    if (watch == NULL)
        return kNothing;
    MonitorReport report = watch->owed;
    watch->owed = kNothing;
    DWORD now = GetTickCount();
    SynRecord record;
    while (SynTakeExpired(&watch->pending, now, &record))
        KeepScan(report, LogNamedScan(record));
    KeepScan(report, LogSettledSweeps(watch, now));
    SweepEvent event;
    while (SweepTakeDue(&watch->sweeps, now, &event))
        LogSweepUpdate(event);
    return report;
}
