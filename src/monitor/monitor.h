// The port monitor: Winsock start and error lines, listeners, connection
// events and the reverse name lookup.
#ifndef HARBINEL_MONITOR_H
#define HARBINEL_MONITOR_H

#include "../app/appstate.h"

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
    kReportScan,      // a caller that is not trusted scanned a listened port
};

struct MonitorReport {
    MonitorEvent event;
    u_long caller; // a scan's caller as the socket address holds it; 0 when unknown
    int32_t port;  // the port it scanned
};

bool OpenListener(int32_t port, SocketNode* node);
int32_t CloseAllListeners();
// The Listen/Stop command: opens or closes the listeners and logs the count.
MonitorReport ToggleListening();

// error is the event's error code (WSAGETSELECTERROR), 0 for none.
MonitorReport OnSocketEvent(SocketHandle socket, WORD event, int error = 0);
// Closes a socket and keeps its events that are already queued from acting
// on whatever socket the platform hands the same handle to next. Returns
// the result of closesocket.
int CloseAndRetire(SocketHandle socket);
void CloseConnection(SocketNode*& head, SocketHandle socket);
// Closes (and retires) a socket whose setup failed, keeping that failure's
// error for the line that reports it.
void CloseFailedSocket(SocketHandle socket);

// Starts the reverse lookup of a caller and tags the log line with it.
void StartHostLookup(int lineIndex, const sockaddr_in& caller);
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
// on without it. Close forgets what it had seen.
void OpenStealthWatch();
void CloseStealthWatch();
// The Options switch: stored, and acted on at once while listening.
void SetStealthWatch(bool on);
bool IsStealthSocket(SocketHandle socket);
// Reads the packets waiting on a watch socket.
MonitorReport OnStealthRead(SocketHandle socket);
// Reads every socket of the watch, so that the SYNs queued before an accept
// are known to it (a scan this logs raises its alert on the next tick); then
// the accept's caller ends its record.
void StealthCatchUp();
void StealthNoteAccept(const sockaddr_in& caller);
// For an accept that found its caller gone: logs the named block if the
// watch saw the SYN, with report set for the shell. False when it did not.
bool StealthNameGoneCaller(int32_t port, MonitorReport* report);
// Timer work: half-open attempts whose accept never came, sweeps that
// settled or ended, callers the full table could not keep, and every 30 s
// the local addresses compared with those watched. Returns the last scan
// for the shell to raise.
MonitorReport OnStealthTimer();
// The local IPv4 addresses the system lists (network byte order), without
// asking any resolver; -1 when the query failed (WSAGetLastError says why).
const int kLocalAddressCap = 32;
int ListLocalAddresses(uint32_t (&out)[kLocalAddressCap]);
// Compares the listed addresses with those watched now, opening and closing
// the difference and logging the new count when it changed. Does nothing
// for the raw TCP form, which already sees every address.
void StealthCompareAddresses();
// The system's notice that the address list changed (FD_ADDRESS_LIST_CHANGE).
void OnStealthAddressChange();
// The remote syslog collector (syslog.cpp). Start (again) from the settings
// SyslogServer and SyslogTcp; Stop sends what it can at once and lets go.
void SyslogStart();
void SyslogStop();
// Every half second: scans that waited 5 s for a name go without one, and
// a collector that failed is tried again when its back-off has passed.
void SyslogTick();
bool SyslogOwnsSocket(SocketHandle socket);
void OnSyslogSocketEvent(WORD event, int error);
// True when the answer was the collector's name: then it is used up here.
bool OnSyslogResolved(HANDLE handle, int errorCode);
// A scan to report once its caller's name is known; caller null for one
// that left before its accept.
// caller and called (the local address it called) are null for a caller
// that left before its accept.
void SyslogNoteScan(const sockaddr_in* caller, int32_t port, bool trusted, const in_addr* called);
// The reverse lookup for caller answered: name, "" when it has none, or
// null when no lookup could be made.
void SyslogRdnsAnswered(u_long caller, const char* name);
// A message without scan data: "START", "STOP", or a sweep's "SWEEP".
void SyslogSendEvent(int severity, const char* msgId, const char* text);

#endif
