// The port monitor: Winsock start and error lines, listeners, connection
// events and the reverse name lookup.
#ifndef HARBINEL_MONITOR_H
#define HARBINEL_MONITOR_H

#include "../app/appstate.h"
#include "../log/log.h"

// Logs prefix, ": " and the text of the last Winsock error; returns the
// index of the line (0 when it was dropped).
int ReportSocketError(const char* prefix);
// Starts Winsock 2.0 into AppState.WinsockData, logging a failed start.
void StartWinsock();

// What the monitor did, for the shell to show: the monitor only logs, and
// the shell alone changes the button, status bar, tray icon and menus.
enum MonitorEvent {
    kReportNothing,   // nothing the window shows has changed
    kReportListening, // Listen opened at least one port
    kReportStopped,   // Stop closed the listeners
};

// Scans are not reported here: each goes to the outputs as it is seen.
struct MonitorReport {
    MonitorEvent event;
    int32_t ports; // the ports Listen opened
};

bool OpenListener(int32_t port, SocketNode* node);
int32_t CloseAllListeners();
// The Listen/Stop command: opens or closes the listeners and logs the count.
MonitorReport ToggleListening();

// error is the event's error code (WSAGETSELECTERROR), 0 for none.
void OnSocketEvent(SocketHandle socket, WORD event, int error = 0);
// Closes a socket and keeps its events that are already queued from acting
// on whatever socket the platform hands the same handle to next. Returns
// the result of closesocket.
int CloseAndRetire(SocketHandle socket);
// Hangs up on an accepted caller (always forgotten, even when the close
// fails) and logs "Scan blocked".
void CloseConnection(SocketNode*& head, SocketHandle socket);
// Every connection is bounded: this much of what a caller sends is logged,
// it is hung up at the time or data limit, and at most kMaxConnections are
// held; a caller beyond them is logged, warned and hung up at once.
const uint32_t kLoggedBytes = 64u << 10;
const uint32_t kDataLimit = 1u << 20;
const DWORD kTimeLimitMs = 2 * 60 * 1000;
const size_t kMaxConnections = 1024;
// Timer work: callers past their time limit are hung up, and the count of
// callers turned away is told once a minute at most.
void CheckConnectionLimits();
// Stop, Exit and the session's end: hangs up on every caller, with one
// line "Close: N callers" when there were any.
void CloseAllConnections();
// Closes (and retires) a socket whose setup failed, keeping that failure's
// error for the line that reports it.
void CloseFailedSocket(SocketHandle socket);

// Starts the reverse lookup of a caller whose name goes under the log line
// tagged `line` (0: the scan has no line in the window).
void StartHostLookup(LineTag line, const NetAddress& caller);
void OnHostResolved(HANDLE lookup, int errorCode);
// At exit: cancels lookups still pending. Their buffers stay allocated
// until the process ends, since the resolver may still write to them.
void CancelHostLookups();

// The stealth watch: a raw socket that sees each SYN, so that callers that
// never finish their handshake, or leave before their accept, are named,
// and SYNs to ports nobody listens on are reported as port sweeps.
// The main window's timer for it, beside the log file's timer 1.
const UINT_PTR kStealthTimer = 2;
// Opens the watch while listening; a failure is logged and listening goes
// on without it. Close names what it had seen and not told yet, then
// forgets it.
void OpenStealthWatch();
void CloseStealthWatch();
// The Options switch: stored, and acted on at once while listening.
void SetStealthWatch(bool on);
bool IsStealthSocket(SocketHandle socket);
// The watch's reading thread handed over SYNs (WM_WATCHBATCH): the half-open
// and sweep tables take them here, on the window's thread.
void OnStealthBatch();
// Reads every socket of the watch and takes what the reader handed over,
// so that the SYNs queued before an accept are known; then the accept's
// caller ends its record.
void StealthCatchUp();
// A connection just accepted: the caller (unmapped) and its port, the local
// address (family 0 when unknown) and port it called.
void StealthNoteAccept(const NetAddress& caller, uint16_t callerPort, const NetAddress& local,
                       uint16_t localPort);
// For an accept that found its caller gone, on a listener of this family
// (kFamilyV4 or kFamilyV6): reports the scan with its caller named if the
// watch saw the SYN. False when it did not.
bool StealthNameGoneCaller(int32_t port, uint8_t family);
// Timer work: half-open attempts whose accept never came, sweeps that
// settled or ended, callers the full table could not keep, and every 30 s
// the local addresses compared with those watched.
void OnStealthTimer();
// The local addresses of one family (AF_INET or AF_INET6) the system lists,
// without asking any resolver; -1 when the query failed (WSAGetLastError
// says why).
const int kLocalAddressCap = 32;
int ListLocalAddresses(int family, NetAddress (&out)[kLocalAddressCap]);
// Compares the listed addresses with those watched now, opening and closing
// the difference; when it changed, logs the new count once a reader reads
// them, or that none is left and the watch waits. Does nothing for the raw
// TCP form, which already sees every address.
void StealthCompareAddresses();
// The system's notice, on one of the watch's sockets, that the address list
// of its family changed (FD_ADDRESS_LIST_CHANGE).
void OnStealthAddressChange(SocketHandle socket);

#endif
