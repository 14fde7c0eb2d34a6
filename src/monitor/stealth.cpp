// The stealth watch: raw sockets that see every TCP SYN reaching this PC,
// over IPv4 and, where the platform gives a raw IPv6 socket, IPv6.
// A SYN to a listened port waits for its accept; when none comes, or the
// caller left before it, the scan is logged with the caller's name. SYNs to
// ports nobody listens on are counted per caller and logged as port sweeps.
#include <stddef.h>
#include <string.h>

#include <ws2tcpip.h>
#include <mstcpip.h>

#include "../pure/decimal.h"
#include "../pure/linetext.h"
#include "../pure/packet.h"
#include "../pure/synwatch.h"
#include "../pure/text.h"
#include "../pure/watchaddresses.h"
#include "../pure/countnotice.h"
#include "../pure/watchring.h"
#include "../log/log.h"
#include "../outputs/outputs.h"
#include "monitor.h"
#include "resource.h"

// Local addresses watched in the form that needs a socket for each.
static const int kWatchSocketCap = (int)kWatchAddressCap;
// The addresses listed are compared with those watched this often, in case
// the system's change notice is missing or one was lost.
static const DWORD kAddressCompareMs = 30000;
// Packets read from one socket before the reader looks at the others and at
// its stop flag again; at an accept, what the window's thread reads at most.
static const int kPacketsPerRead = 64;
static const int kPacketsPerCatchUp = 1024;
// The system's queue for a raw socket fills fast with the large buffers of
// loopback packets; a bigger one rides out the moments the reader waits.
static const int kRawQueueBytes = 1024 * 1024;
// The reader hands its SYNs over at most this often, and looks at its stop
// flag at least this often.
static const DWORD kBatchMs = 50;
// The window's thread takes the handed-over SYNs this many at a time.
static const size_t kBatchPart = 256;
// Closing the watch waits this long for its reader to end.
static const DWORD kReaderEndMs = 1000;
// Lost packets are told once a minute at most.
static const DWORD kTooBusyNoticeMs = 60000;
static const int kPacketBytes = (int)kWatchPacketBytes;
static const UINT kStealthTimerMs = 500;
// A sweep's first block waits this long, so that a burst is counted whole.
static const DWORD kSweepSettleMs = 500;
static const int kSettlingCap = 16;

struct SettlingSweep {
    SweepEvent event;
    DWORD startTick;
};

// What the reading thread and the window's thread share; lock guards all
// but stop, which is only set, and thread.
struct WatchReader {
    CRITICAL_SECTION lock;
    WatchRing ring;
    bool posted;    // a batch message is on its way to the window
    DWORD postTick; // when the last one went
    int error;      // a read error for the window to log; 0 when none
    volatile LONG stop;
    HANDLE thread; // null while no reader runs
};

struct StealthState {
    // The sockets and their addresses change only while no reader runs.
    SocketHandle sockets[kWatchSocketCap];
    // Each socket's local address; its family is the socket's. A raw TCP
    // socket has the unspecified address of its family.
    NetAddress addresses[kWatchSocketCap];
    int socketCount;
    // The raw TCP form is handed only what comes to this PC; the other one
    // sees every packet on its interface, both ways. It listens on every
    // address at once, so only the other form follows address changes. Its
    // IPv6 socket hands over the TCP segment without the IPv6 header.
    bool onlyIncoming;
    // Ask the system to tell when the address list of each family changes;
    // kInvalidSocket where it cannot, and the comparison every
    // kAddressCompareMs serves.
    SocketHandle changeSockets[2];
    DWORD comparedTick;
    bool leftOutLogged; // the cap kept addresses out: said once
    bool listFailed;    // the last address query failed: said once
    SynPendingTable pending;
    SweepTable sweeps;
    SettlingSweep settling[kSettlingCap];
    int settlingCount;
    CountNotice tooBusy;
    bool errorLogged; // a read error is said once
    bool readerStuck; // a reader did not end when asked; the watch stays allocated
    bool startFailed; // the last reader could not start, and the log said so
    WatchReader reader;
    WatchSyn batch[kBatchPart]; // the SYNs being looked at on the window's thread
    // Whole packets, one buffer for each thread that reads: too large for a stack.
    unsigned char packet[kPacketBytes];
    unsigned char readerPacket[kPacketBytes];
};

// The socket address of a local address, port 0; its length in *length.
static sockaddr_storage SocketAddress(const NetAddress& address, int* length)
{
    sockaddr_storage out = {};
    if (address.family == kFamilyV4) {
        sockaddr_in* v4 = (sockaddr_in*)&out;
        v4->sin_family = AF_INET;
        memcpy(&v4->sin_addr, address.bytes, 4);
        *length = sizeof(sockaddr_in);
    } else {
        sockaddr_in6* v6 = (sockaddr_in6*)&out;
        v6->sin6_family = AF_INET6;
        memcpy(&v6->sin6_addr, address.bytes, 16);
        v6->sin6_scope_id = address.zone;
        *length = sizeof(sockaddr_in6);
    }
    return out;
}

static NetAddress Unspecified(uint8_t family)
{
    NetAddress out = {};
    out.family = family;
    return out;
}

// A watch socket that failed is closed keeping the reason for the log.
static bool Fail(SOCKET s)
{
    CloseFailedSocket((SocketHandle)s);
    return false;
}

// The reader waits on the sockets itself: they raise no window messages,
// and never block a read.
static bool AddSocket(StealthState* watch, SOCKET s, const NetAddress& address)
{
    u_long nonBlocking = 1;
    if (ioctlsocket(s, FIONBIO, &nonBlocking) == SOCKET_ERROR)
        return Fail(s);
    // A smaller queue than asked for still works: the result is not needed.
    int queue = kRawQueueBytes;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, (const char*)&queue, sizeof queue);
    watch->sockets[watch->socketCount] = (SocketHandle)s;
    watch->addresses[watch->socketCount++] = address;
    return true;
}

// The Windows form: every packet of one interface, for administrators only,
// each with its IPv4 or IPv6 header.
static SocketHandle OpenReceiveAll(const NetAddress& address)
{
    SOCKET s = socket(address.family == kFamilyV4 ? AF_INET : AF_INET6, SOCK_RAW, IPPROTO_IP);
    if (s == INVALID_SOCKET)
        return kInvalidSocket;
    int length = 0;
    sockaddr_storage local = SocketAddress(address, &length);
    DWORD on = RCVALL_ON, bytes = 0;
    if (bind(s, (sockaddr*)&local, length) == SOCKET_ERROR ||
        WSAIoctl(s, SIO_RCVALL, &on, sizeof on, NULL, 0, &bytes, NULL, NULL) == SOCKET_ERROR) {
        Fail(s);
        return kInvalidSocket;
    }
    return (SocketHandle)s;
}

// Through the seam where a test has put its own opener.
static bool OpenWatchAddress(StealthState* watch, const NetAddress& address)
{
    SocketHandle s = AppState.OpenWatchSocket != NULL ? AppState.OpenWatchSocket(address)
                                                      : OpenReceiveAll(address);
    return s != kInvalidSocket && AddSocket(watch, (SOCKET)s, address);
}

// The local addresses come from the socket layer itself, which holds them
// already: asking for the host's own name instead could wait on a resolver,
// and this runs on the window's thread. It needs no DLL beyond ws2_32, and
// the same request family tells of changes.
int ListLocalAddresses(int family, NetAddress (&out)[kLocalAddressCap])
{
    SOCKET s = socket(family, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET)
        return -1;
    // Room for the list header and kLocalAddressCap entries with their
    // addresses; a longer list is refused (WSAEFAULT) rather than cut.
    static const size_t kListBytes =
        sizeof(SOCKET_ADDRESS_LIST) +
        kLocalAddressCap * (sizeof(SOCKET_ADDRESS) + sizeof(sockaddr_in6));
    // Whole list headers, for the alignment of the pointers inside.
    SOCKET_ADDRESS_LIST
    buffer[(kListBytes + sizeof(SOCKET_ADDRESS_LIST) - 1) / sizeof(SOCKET_ADDRESS_LIST)];
    DWORD bytes = 0;
    int result =
        WSAIoctl(s, SIO_ADDRESS_LIST_QUERY, NULL, 0, &buffer, sizeof buffer, &bytes, NULL, NULL);
    int error = WSAGetLastError();
    closesocket(s);
    if (result == SOCKET_ERROR) {
        WSASetLastError(error);
        return -1;
    }
    // The count is believed only as far as the buffer holds entries.
    const INT fits =
        (INT)((sizeof buffer - offsetof(SOCKET_ADDRESS_LIST, Address)) / sizeof(SOCKET_ADDRESS));
    const SOCKET_ADDRESS* entries = buffer[0].Address;
    int count = 0;
    for (INT i = 0; i < buffer[0].iAddressCount && i < fits && count < kLocalAddressCap; ++i) {
        const SOCKET_ADDRESS& a = entries[i];
        if (a.lpSockaddr == NULL || a.lpSockaddr->sa_family != family)
            continue;
        if (family == AF_INET && a.iSockaddrLength >= (INT)sizeof(sockaddr_in)) {
            sockaddr_in address;
            memcpy(&address, a.lpSockaddr, sizeof address);
            out[count++] = NetAddressFromV4(address.sin_addr.s_addr);
        } else if (family == AF_INET6 && a.iSockaddrLength >= (INT)sizeof(sockaddr_in6)) {
            sockaddr_in6 address;
            memcpy(&address, a.lpSockaddr, sizeof address);
            out[count++] = NetAddressFromSocket6(address.sin6_addr.s6_addr, address.sin6_scope_id);
        }
    }
    return count;
}

// The watch's IPv6 side is wanted where listening on IPv6 is.
static bool WantIPv6()
{
    return AppState.IPv6 != 0 && AppState.IPv6Missing == 0;
}

// Both families' addresses, IPv4 first; -1 when a query failed. A test's
// lister, where it has put one, answers instead.
static int ListWatchAddresses(NetAddress (&out)[kLocalAddressCap])
{
    if (AppState.ListWatchAddresses != NULL)
        return AppState.ListWatchAddresses(out, kLocalAddressCap);
    int count = ListLocalAddresses(AF_INET, out);
    if (count < 0 || !WantIPv6())
        return count;
    NetAddress v6[kLocalAddressCap];
    int more = ListLocalAddresses(AF_INET6, v6);
    if (more < 0)
        return -1;
    for (int i = 0; i < more && count < kLocalAddressCap; ++i)
        out[count++] = v6[i];
    return count;
}

// Closes the watch socket at index, keeping the others in their order.
static void CloseWatchSocket(StealthState* watch, int index)
{
    CloseAndRetire(watch->sockets[index]);
    for (int i = index + 1; i < watch->socketCount; ++i) {
        watch->sockets[i - 1] = watch->sockets[i];
        watch->addresses[i - 1] = watch->addresses[i];
    }
    --watch->socketCount;
}

// ---- The reading thread ------------------------------------------------------

static bool ToThisPc(const StealthState& watch, const NetAddress& address)
{
    if (watch.onlyIncoming)
        return true;
    for (int i = 0; i < watch.socketCount; ++i)
        if (NetAddressEqual(watch.addresses[i], address))
            return true;
    return false;
}

// The connection attempt to this PC in one packet read from the socket at
// index, if it holds one. from is the sender as the socket gave it, for the
// IPv6 raw TCP form, whose packets come without their header.
static bool TakeSyn(const StealthState& watch, int index, const unsigned char* data, size_t length,
                    const sockaddr_storage& from, int fromLength, WatchSyn* syn)
{
    const NetAddress& own = watch.addresses[index];
    if (own.family == kFamilyV4) {
        TcpPacket packet;
        if (!ParseTcpPacket(data, length, &packet) || !IsConnectionAttempt(packet))
            return false;
        syn->source = NetAddressFromV4(packet.sourceAddress);
        syn->destination = NetAddressFromV4(packet.destinationAddress);
        syn->sourcePort = packet.sourcePort;
        syn->destinationPort = packet.destinationPort;
        return ToThisPc(watch, syn->destination);
    }
    const bool bare = watch.onlyIncoming;
    const sockaddr_in6* sender = (const sockaddr_in6*)&from;
    if (bare && (fromLength < (int)sizeof(sockaddr_in6) || sender->sin6_family != AF_INET6))
        return false;
    TcpPacket6 packet;
    if (!ParseTcpPacket6(data, length, !bare, bare ? sender->sin6_addr.s6_addr : NULL, NULL,
                         &packet) ||
        !IsConnectionAttempt(packet))
        return false;
    syn->source = NetAddressFromV6(packet.sourceAddress, 0);
    syn->destination = NetAddressFromV6(packet.destinationAddress, 0);
    if (!PlaceZones(own, bare, bare ? sender->sin6_scope_id : 0, &syn->source, &syn->destination))
        return false;
    syn->sourcePort = packet.sourcePort;
    syn->destinationPort = packet.destinationPort;
    return ToThisPc(watch, syn->destination);
}

// Reads what waits on the socket at index and hands over the SYNs worth a
// look: a connection attempt to this PC. Everything else, most of what a
// raw socket sees, ends here. Runs on the reader and, at an accept, on the
// window's thread; buffer is the caller's own.
static void ReadPackets(StealthState* watch, int index, unsigned char (&buffer)[kPacketBytes],
                        int most)
{
    WatchReader& r = watch->reader;
    const SOCKET socket = (SOCKET)watch->sockets[index];
    for (int i = 0; i < most; ++i) {
        sockaddr_storage from = {};
        int fromLength = sizeof from;
        int received =
            recvfrom(socket, (char*)buffer, kPacketBytes, 0, (sockaddr*)&from, &fromLength);
        // A longer packet comes cut to the buffer, which holds its headers.
        if (received == SOCKET_ERROR && WSAGetLastError() == WSAEMSGSIZE)
            received = kPacketBytes;
        if (received == SOCKET_ERROR) {
            int error = WSAGetLastError();
            if (error != WSAEWOULDBLOCK) {
                EnterCriticalSection(&r.lock);
                if (r.error == 0)
                    r.error = error;
                LeaveCriticalSection(&r.lock);
            }
            return;
        }
        WatchSyn syn;
        if (!TakeSyn(*watch, index, buffer, (size_t)received, from, fromLength, &syn))
            continue;
        syn.timeMs = GetTickCount();
        EnterCriticalSection(&r.lock);
        WatchRingPush(&r.ring, syn);
        LeaveCriticalSection(&r.lock);
    }
}

// One message for all that waits, and not more often than every kBatchMs,
// however fast the SYNs come.
static void PostBatch(WatchReader& r)
{
    DWORD now = GetTickCount();
    EnterCriticalSection(&r.lock);
    bool due = (r.ring.count > 0 || r.error != 0) && !r.posted && now - r.postTick >= kBatchMs;
    if (due) {
        r.posted = true;
        r.postTick = now;
    }
    LeaveCriticalSection(&r.lock);
    if (due && !PostMessageA(AppState.MainWindow, WM_WATCHBATCH, 0, 0)) {
        // The queue is full: the next round tries again.
        EnterCriticalSection(&r.lock);
        r.posted = false;
        LeaveCriticalSection(&r.lock);
    }
}

static DWORD WINAPI WatchReaderProc(void* parameter)
{
    StealthState* watch = (StealthState*)parameter;
    WatchReader& r = watch->reader;
    unsigned char(&buffer)[kPacketBytes] = watch->readerPacket;
    while (InterlockedCompareExchange(&r.stop, 0, 0) == 0) {
        fd_set readable;
        FD_ZERO(&readable);
        for (int i = 0; i < watch->socketCount; ++i)
            FD_SET((SOCKET)watch->sockets[i], &readable);
        timeval wait = {0, (long)kBatchMs * 1000};
        int ready = select(0, &readable, NULL, NULL, &wait);
        if (ready == SOCKET_ERROR) {
            // Nothing more can be read: the window's thread says why.
            EnterCriticalSection(&r.lock);
            r.error = WSAGetLastError();
            LeaveCriticalSection(&r.lock);
            PostBatch(r);
            return 0;
        }
        for (int i = 0; ready > 0 && i < watch->socketCount; ++i)
            if (FD_ISSET((SOCKET)watch->sockets[i], &readable))
                ReadPackets(watch, i, buffer, kPacketsPerRead);
        PostBatch(r);
    }
    return 0;
}

// Starts a reader unless one runs. One that ended on an error of its own
// is started again, so that open sockets are never left unread.
static void StartReader(StealthState* watch)
{
    WatchReader& r = watch->reader;
    if (r.thread != NULL && WaitForSingleObject(r.thread, 0) == WAIT_OBJECT_0) {
        CloseHandle(r.thread);
        r.thread = NULL;
    }
    if (r.thread != NULL || watch->socketCount == 0 || watch->readerStuck)
        return;
    r.stop = 0;
    r.thread = CreateThread(NULL, 0, WatchReaderProc, watch, 0, NULL);
    // Tried again at every tick, but said once until a reader runs.
    if (r.thread == NULL && !watch->startFailed)
        ReportError("Stealth watch error: Could not start reading");
    watch->startFailed = r.thread == NULL;
}

// True when no reader runs any more. A reader that does not end in time
// still holds the watch's memory, which must then outlive it.
static bool StopReader(StealthState* watch)
{
    WatchReader& r = watch->reader;
    if (r.thread == NULL)
        return true;
    InterlockedExchange(&r.stop, 1);
    bool ended = WaitForSingleObject(r.thread, kReaderEndMs) == WAIT_OBJECT_0;
    CloseHandle(r.thread);
    r.thread = NULL;
    return ended;
}

// Opens the listed addresses not watched yet and closes the watched ones no
// longer listed. An address whose socket is refused stays unwatched and is
// tried again at the next comparison. Returns whether the set changed.
// Whatever sockets the watch holds afterwards have a reader.
static bool FollowAddresses(StealthState* watch, const NetAddress* found, int foundCount)
{
    AddressChanges changes;
    CompareAddressSets(watch->addresses, (size_t)watch->socketCount, found, (size_t)foundCount,
                       kWatchSocketCap, &changes);
    // The reader goes over the socket list: it rests while the list changes.
    if (changes.closeCount + changes.openCount > 0 && !StopReader(watch)) {
        watch->readerStuck = true;
        return false;
    }
    bool changed = false;
    for (size_t i = 0; i < changes.closeCount; ++i) {
        for (int j = 0; j < watch->socketCount; ++j) {
            if (NetAddressEqual(watch->addresses[j], changes.close[i])) {
                CloseWatchSocket(watch, j);
                changed = true;
                break;
            }
        }
    }
    for (size_t i = 0; i < changes.openCount; ++i)
        if (OpenWatchAddress(watch, changes.open[i]))
            changed = true;
    // Said only where the sockets are allowed at all: otherwise the raw TCP
    // form takes over, and it sees every address.
    if (changes.leftOut > 0 && watch->socketCount > 0 && !watch->leftOutLogged) {
        watch->leftOutLogged = true;
        char line[80];
        BuildLeftOutLine(changes.leftOut, kWatchSocketCap, line);
        AddLogLine(line);
    }
    StartReader(watch);
    return changed;
}

// The standing request that the system answers with FD_ADDRESS_LIST_CHANGE
// on the next change. The socket is non-blocking (WSAAsyncSelect made it
// so), so the request returns at once and is asked again after each answer.
static bool AskForChangeNotice(SocketHandle s)
{
    DWORD bytes = 0;
    return WSAIoctl((SOCKET)s, SIO_ADDRESS_LIST_CHANGE, NULL, 0, NULL, 0, &bytes, NULL, NULL) ==
               0 ||
           WSAGetLastError() == WSAEWOULDBLOCK;
}

// Where the system gives no notice the 30-second comparison still follows
// the changes, later; that is no failure worth a line.
static SocketHandle OpenChangeNotice(int family)
{
    SOCKET s = socket(family, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET)
        return kInvalidSocket;
    if (WSAAsyncSelect(s, AppState.MainWindow, WM_SOCKETEVENT, FD_ADDRESS_LIST_CHANGE) ==
            SOCKET_ERROR ||
        !AskForChangeNotice((SocketHandle)s)) {
        CloseAndRetire((SocketHandle)s);
        return kInvalidSocket;
    }
    return (SocketHandle)s;
}

// Where that form is refused (under Wine it always is), one raw TCP socket
// of each family.
static bool OpenRawTcp(StealthState* watch, uint8_t family)
{
    SOCKET s = socket(family == kFamilyV4 ? AF_INET : AF_INET6, SOCK_RAW, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return false;
    watch->onlyIncoming = true;
    return AddSocket(watch, s, Unspecified(family));
}

// A watch that holds no IPv6 socket, where IPv6 is listened on, says so
// once a run and goes on with IPv4.
static void SayIfIPv6Missing(const StealthState* watch)
{
    if (!WantIPv6() || AppState.WatchV6Missing)
        return;
    for (int i = 0; i < watch->socketCount; ++i)
        if (watch->addresses[i].family == kFamilyV6)
            return;
    AppState.WatchV6Missing = 1;
    AddLogLine("Stealth watch: IPv6 not watched");
}

void OpenStealthWatch()
{
    if (AppState.Watch != NULL)
        return;
    StealthState* watch = (StealthState*)BlockAlloc(sizeof(StealthState), true);
    if (watch == NULL) {
        ReportError("Stealth watch error: Out of memory");
        return;
    }
    InitializeCriticalSection(&watch->reader.lock);
    // The flood's source count is hashed afresh each time.
    watch->pending.flood.seed = GetTickCount() ^ (GetCurrentProcessId() << 16);
    watch->changeSockets[0] = watch->changeSockets[1] = kInvalidSocket;
    watch->comparedTick = GetTickCount();
    NetAddress found[kLocalAddressCap];
    int foundCount = ListWatchAddresses(found);
    if (foundCount > 0)
        FollowAddresses(watch, found, foundCount);
    if (watch->socketCount > 0) {
        watch->changeSockets[0] = OpenChangeNotice(AF_INET);
        if (WantIPv6())
            watch->changeSockets[1] = OpenChangeNotice(AF_INET6);
    } else if (!OpenRawTcp(watch, kFamilyV4)) {
        // Windows gives raw sockets to administrators only; the table's text
        // for this code speaks of broadcasts, which would mislead here.
        if (WSAGetLastError() == WSAEACCES)
            ReportError("Stealth watch error: Administrator rights needed");
        else
            ReportSocketError("Stealth watch error");
        DeleteCriticalSection(&watch->reader.lock);
        BlockFree(watch);
        return;
    }
    if (watch->onlyIncoming && WantIPv6())
        OpenRawTcp(watch, kFamilyV6);
    AppState.Watch = watch;
    SetTimer(AppState.MainWindow, kStealthTimer, kStealthTimerMs, NULL);
    AddLogLine("Stealth watch on");
    SayIfIPv6Missing(watch);
    StartReader(watch);
}

static void ReportAtClose(StealthState* watch, bool readerEnded);

void CloseStealthWatch()
{
    StealthState* watch = AppState.Watch;
    if (watch == NULL)
        return;
    KillTimer(AppState.MainWindow, kStealthTimer);
    AppState.Watch = NULL;
    bool ended = StopReader(watch) && !watch->readerStuck;
    ReportAtClose(watch, ended);
    for (int i = 0; i < watch->socketCount; ++i)
        CloseAndRetire(watch->sockets[i]);
    for (SocketHandle change : watch->changeSockets)
        if (change != kInvalidSocket)
            CloseAndRetire(change);
    if (!ended)
        return; // a reader still running may touch it: it stays to the end
    DeleteCriticalSection(&watch->reader.lock);
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
    if (watch != NULL && (watch->changeSockets[0] == socket || watch->changeSockets[1] == socket))
        return true;
    for (int i = 0; watch != NULL && i < watch->socketCount; ++i)
        if (watch->sockets[i] == socket)
            return true;
    return false;
}

// ---- Following address changes ---------------------------------------------

void StealthCompareAddresses()
{
    StealthState* watch = AppState.Watch;
    if (watch == NULL || watch->onlyIncoming)
        return;
    watch->comparedTick = GetTickCount();
    NetAddress found[kLocalAddressCap];
    int foundCount = ListWatchAddresses(found);
    if (foundCount < 0) {
        if (!watch->listFailed)
            ReportSocketError("Stealth watch error");
        watch->listFailed = true;
        return;
    }
    watch->listFailed = false;
    if (!FollowAddresses(watch, found, foundCount))
        return;
    if (watch->socketCount == 0) {
        AddLogLine("Stealth watch: no network addresses; waiting");
        return;
    }
    // Watching means read: a reader that could not start has said so.
    if (watch->reader.thread == NULL)
        return;
    char line[64];
    BuildWatchingLine((size_t)watch->socketCount, line);
    AddLogLine(line);
}

void OnStealthAddressChange(SocketHandle socket)
{
    StealthState* watch = AppState.Watch;
    if (watch == NULL || socket == kInvalidSocket)
        return;
    for (SocketHandle& change : watch->changeSockets) {
        if (change != socket)
            continue;
        BlockNoteAddressChange(); // the never-blocked addresses may have moved too
        // Asked again before looking, so that a change made meanwhile is told too.
        if (!AskForChangeNotice(change)) {
            CloseAndRetire(change);
            change = kInvalidSocket;
        }
        StealthCompareAddresses();
        return;
    }
}

// ---- Naming callers and sweeps ---------------------------------------------

static void ReportNamedScan(const SynRecord& seen)
{
    ScanRecord record = NewScanRecord(kScanStealth);
    record.caller = seen.callerAddress;
    record.callerPort = seen.callerPort;
    record.local = seen.localAddress;
    record.port = record.highPort = seen.localPort;
    ReportScan(record);
}

static ScanRecord SweepRecord(const SweepEvent& event)
{
    ScanRecord record = NewScanRecord(kScanSweep);
    record.caller = event.callerAddress;
    record.port = event.lowPort;
    record.highPort = event.highPort;
    record.portCount = event.portCount;
    record.countExact = event.countExact;
    return record;
}

static void LogSweepUpdate(const SweepEvent& event)
{
    char line[128];
    BuildSweepLine(SweepRecord(event), " went on: ", line);
    AddLogLine(line);
}

// The ports that came while a sweep's first block waited go into that block
// rather than into the update at the end of its period.
static void TakeCurrentCounts(SweepTable* table, SweepEvent* event)
{
    for (size_t i = 0; i < table->count; ++i) {
        SweepCaller& c = table->callers[i];
        if (!NetAddressEqual(c.address, event->callerAddress) || !c.sweeping)
            continue;
        event->portCount = c.portCount;
        event->lowPort = c.lowPort;
        event->highPort = c.highPort;
        event->countExact = c.countExact;
        c.updatePending = false;
    }
}

static void ReportSettledSweeps(StealthState* watch, DWORD now)
{
    int kept = 0;
    for (int i = 0; i < watch->settlingCount; ++i) {
        SettlingSweep& s = watch->settling[i];
        if (now - s.startTick >= kSweepSettleMs) {
            TakeCurrentCounts(&watch->sweeps, &s.event);
            ReportScan(SweepRecord(s.event));
        } else {
            watch->settling[kept++] = s;
        }
    }
    watch->settlingCount = kept;
}

// ---- Reading packets -------------------------------------------------------

// A listened port is one with a live listener of the SYN's family: a port
// whose bind failed keeps its socket until Stop, while another program
// answers there.
static bool IsListened(uint16_t port, uint8_t family)
{
    SocketNode* list = family == kFamilyV4 ? AppState.PortList : AppState.PortList6;
    for (SocketNode* node = list; node != NULL; node = node->next) {
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

// Window side: a SYN the reader handed over, at the time it was read.
static void NoteSyn(StealthState* watch, const WatchSyn& syn)
{
    if (IsListened(syn.destinationPort, syn.source.family)) {
        SynNoteAttempt(&watch->pending, syn.source, syn.sourcePort, syn.destination,
                       syn.destinationPort, syn.timeMs);
        return;
    }
    SweepEvent event;
    SweepEventKind kind =
        SweepNote(&watch->sweeps, syn.source, syn.destinationPort, syn.timeMs, &event);
    if (kind == kSweepUpdate)
        LogSweepUpdate(event);
    if (kind != kSweepStarted)
        return;
    if (watch->settlingCount == kSettlingCap)
        ReportScan(SweepRecord(event)); // no room to wait: reported as it stands
    else
        watch->settling[watch->settlingCount++] = SettlingSweep{event, syn.timeMs};
}

// Looks at everything the reader has handed over so far.
static void TakeBatch(StealthState* watch)
{
    WatchReader& r = watch->reader;
    EnterCriticalSection(&r.lock);
    uint32_t dropped = WatchRingTakeDropped(&r.ring);
    int error = r.error;
    r.error = 0;
    r.posted = false;
    LeaveCriticalSection(&r.lock);
    CountNoticeAdd(&watch->tooBusy, dropped);
    // A part at a time, as many parts as a full ring holds: what the reader
    // adds meanwhile waits for the next batch.
    for (size_t part = 0; part < kWatchRingCap / kBatchPart; ++part) {
        EnterCriticalSection(&r.lock);
        size_t count = WatchRingTake(&r.ring, watch->batch, kBatchPart);
        LeaveCriticalSection(&r.lock);
        for (size_t i = 0; i < count; ++i)
            NoteSyn(watch, watch->batch[i]);
        if (count < kBatchPart)
            break;
    }
    if (error != 0 && !watch->errorLogged) {
        watch->errorLogged = true;
        WSASetLastError(error);
        ReportSocketError("Stealth watch error");
    }
}

void OnStealthBatch()
{
    if (AppState.Watch != NULL)
        TakeBatch(AppState.Watch);
}

void StealthCatchUp()
{
    StealthState* watch = AppState.Watch;
    if (watch == NULL)
        return;
    // Read here too, beside the reader, all that waits: the SYN of the
    // caller being accepted may not have reached it yet.
    for (int i = 0; i < watch->socketCount; ++i)
        ReadPackets(watch, i, watch->packet, kPacketsPerCatchUp);
    TakeBatch(watch);
}

void StealthNoteAccept(const NetAddress& caller, uint16_t callerPort, const NetAddress& local,
                       uint16_t localPort)
{
    if (AppState.Watch != NULL)
        SynMatchAccept(&AppState.Watch->pending, caller, callerPort, local, localPort,
                       GetTickCount());
}

bool StealthNameGoneCaller(int32_t port, uint8_t family)
{
    SynRecord record;
    if (AppState.Watch == NULL ||
        !SynTakeByLocalPort(&AppState.Watch->pending, (uint16_t)port, family, &record))
        return false;
    ReportNamedScan(record);
    return true;
}

void OnStealthTimer()
{
    StealthState* watch = AppState.Watch;
    if (watch == NULL)
        return;
    DWORD now = GetTickCount();
    SynRecord record;
    while (SynTakeExpired(&watch->pending, now, &record))
        ReportNamedScan(record);
    ReportSettledSweeps(watch, now);
    SweepEvent event;
    while (SweepTakeDue(&watch->sweeps, now, &event))
        LogSweepUpdate(event);
    uint32_t lost = CountNoticeTake(&watch->tooBusy, now, kTooBusyNoticeMs);
    if (lost != 0) {
        char line[80];
        BuildTooBusyLine(lost, line);
        AddLogLine(line);
    }
    uint32_t dropped = SynTakeDroppedNotice(&watch->pending, now);
    if (dropped != 0) {
        char line[80];
        BuildDroppedLine(dropped, line);
        AddLogLine(line);
    }
    SynFloodNotice flood;
    if (SynTakeFloodNotice(&watch->pending, now, &flood)) {
        char line[128 + kSynFloodSamples * kNetAddressTextSize];
        BuildFloodLine(flood, line);
        AddLogLine(line);
    }
    if (now - watch->comparedTick >= kAddressCompareMs)
        StealthCompareAddresses();
    // A reader that ended on an error of its own does not leave the sockets unread.
    StartReader(watch);
}

// Stop, Exit and the session's end: what the reader handed over is looked
// at, every half-open record still inside its window is named as at its
// end, and the sweeps still settling or with ports untold are logged, so
// that closing the watch loses none of what it saw.
static void ReportAtClose(StealthState* watch, bool readerEnded)
{
    // A reader that did not end may still hold the lock.
    if (readerEnded)
        TakeBatch(watch);
    // Read after the reader stopped, so no record is stamped later.
    const DWORD now = GetTickCount();
    SynRecord record;
    while (SynTakeExpired(&watch->pending, now, &record, 0))
        ReportNamedScan(record);
    ReportSettledSweeps(watch, now + kSweepSettleMs);
    // As if every sweep period had ended now.
    SweepEvent event;
    while (SweepTakeDue(&watch->sweeps, now + kSweepPeriodMs, &event))
        LogSweepUpdate(event);
    char line[80];
    uint32_t dropped = SynTakeDroppedNotice(&watch->pending, now, 0);
    if (dropped != 0) {
        BuildDroppedLine(dropped, line);
        AddLogLine(line);
    }
    uint32_t lost = CountNoticeTake(&watch->tooBusy, now, 0);
    if (lost != 0) {
        BuildTooBusyLine(lost, line);
        AddLogLine(line);
    }
}
