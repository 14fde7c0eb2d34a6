// The program's single global state record: window, control and menu
// handles, fonts, icons, flags, the tray icon record, the working buffers and
// the two list heads. One instance lives for the whole process.
#ifndef HARBINEL_APPSTATE_H
#define HARBINEL_APPSTATE_H

#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>

#include "../pure/balloons.h"
#include "../pure/commandline.h"
#include "../pure/logfiles.h"
#include "../pure/scanrecord.h"
#include "../pure/socketlist.h"
#include "../pure/trusted.h"
#include "../pure/countnotice.h"
#include "../pure/webhookbody.h"

struct HostResolver;
struct StealthState;
struct SyslogSender;
struct WebhookSender;

// A reverse lookup's answer kept for a while, so that a caller that scans
// again soon gets its RDNS line at once instead of another lookup.
struct HostAnswer {
    NetAddress address; // the caller; family 0 when unused
    DWORD time;         // tick count when the answer came
    char line[9 + 256]; // the whole RDNS line
    BYTE named;         // the line ends in a host name, not a reason
};
const int kHostAnswers = 32;

// A scan waiting for its caller's name, for the outputs that send it away
// with the name; a slot is free when used is 0.
struct ScanWait {
    ScanRecord record;
    DWORD tick; // when it began to wait
    BYTE used;
};
const int kScanWaits = 256;

// How reverse lookups ask for a caller's name: 0 and the name, or a Winsock
// error code. Null means the system's
// resolver; tests put in one that answers when they say.
typedef int (*AddressResolver)(const NetAddress& address, char* name, size_t size);
// How the stealth watch finds the local addresses (at most cap into out; -1
// when the query failed) and opens the socket that sees one's packets
// (kInvalidSocket when refused). Null means the system's; tests put in
// their own, to take addresses away and give them back.
typedef int (*WatchAddressLister)(NetAddress* out, int cap);
typedef SocketHandle (*WatchSocketOpener)(const NetAddress& address);

// The program run on each scan: the ones started and not yet seen to end,
// and the expanded lines waiting for one of them to end.
const int kProgramSlots = 4;
const int kProgramQueue = 100;

struct ProgramSlot {
    HANDLE process; // null when free
    DWORD started;  // tick count of its start
};

struct ProgramRunner {
    ProgramSlot running[kProgramSlots];
    wchar_t* queued[kProgramQueue]; // each a block of its own, oldest at queueHead
    int queueHead;
    int queueCount;
    BYTE stopped;        // from Exit or the session's end until the outputs start again
    CountNotice dropped; // told in one line a minute at most
    CountNotice leftAlone;
    DWORD errorTick; // when the last error line was logged
    BYTE errorLogged;
};

// The main window's outer size in pixels.
const int kWindowWidth = 240;
const int kWindowHeight = 234;

// Sizes of the working buffers allocated at window creation.
const size_t kRecvBufferSize = 2049;
// One receive with every byte escaped (four characters at most) and a zero.
const size_t kEscapeBufferSize = (kRecvBufferSize - 1) * 4 + 1;
const size_t kSavePathSize = 1024;

// Lines the window keeps: the newest ones; older lines are in the log file.
const DWORD kDefaultLogLines = 10000;
const DWORD kMinLogLines = 100;
const DWORD kMaxLogLines = 1000000;
// The trusted callers as the user typed them, one per line.
const size_t kTrustedTextSize = 3072; // 64 of the longest IPv6 entries with CR LF

// The day's log file being written, and what happens after a failure.
struct LogFileState {
    HANDLE handle;    // INVALID_HANDLE_VALUE when none is open
    LogFileId id;     // the open file's date and index
    uint64_t bytes;   // its size so far
    BYTE dirty;       // written since the last flush
    BYTE failed;      // the last attempt failed; retried once a minute or next day
    DWORD failedTick; // when it failed
    int failedDay;    // the day it failed (year * 10000 + month * 100 + day)
    int offset;       // minutes east of Greenwich, read again every minute
    DWORD offsetTick;
    uint64_t dayBytes;  // the open day's files in all, for the daily cap
    CountNotice capped; // lines the daily cap kept out of the file
};

// Writes one event to an open Event Log source: its type, its full message
// id and its insertion strings; false, with the last error set, on failure.
typedef bool (*EventLogWriter)(HANDLE source, WORD type, DWORD id, WORD count,
                               const char** strings);

// Sets the firewall's one block rule to addresses (comma separated, never
// empty) or, for null, removes it. S_OK; kFirewallIsOff when the rule was
// written but the firewall is off for the current profile; or the failure.
typedef long (*FirewallRuleWriter)(const char* addresses);
const long kFirewallIsOff = 0x20040201L; // a success code of the program's own

// How the program asks the user a question in a message box; null means
// MessageBoxA, tests put in one that answers at once.
typedef int(WINAPI* MessageAsker)(HWND owner, const char* text, const char* title, UINT type);

// The milliseconds the connections' limits are timed by; null means
// GetTickCount, tests put in a clock they move.
typedef DWORD (*TickSource)();

// Whether this process has administrator rights, and how it starts its own
// exe again with them (false, with the last error set, when that did not
// happen). Null means the system's; tests put in their own.
typedef bool (*AdministratorCheck)();
typedef bool (*ElevatedStarter)(const wchar_t* exe, const wchar_t* arguments);

struct AppStateRecord {
    HINSTANCE Instance;
    HICON IconMain;
    HICON IconIdle;
    HICON IconAlert;
    HWND StatusBar;
    HFONT NormalFont;
    HWND ListenButton;
    HWND LogList;
    HMENU MainMenu;
    HMENU LogMenu;
    HMENU TrayMenu;
    HFONT BoldFont;
    WNDPROC LogListOldProc;
    int ScreenWidth;
    int ScreenHeight;
    HWND MainWindow;
    int WindowWidth;
    int WindowHeight;
    int WindowX;
    int WindowY;
    BYTE ExitRequested;
    BYTE IsListening;
    BYTE DisconnectImmediately;
    BYTE CtrlHeld;
    BYTE OnTop;
    int32_t MessageType;
    BYTE DialogOpen;
    MSG LoopMessage;
    WSADATA WinsockData;
    NOTIFYICONDATAA TrayIconData; // sent in its first, 88-byte form but for balloons
    char* RecvBuffer;
    char* EscapeBuffer; // the received line as it is logged
    char* SendBuffer;
    char* CustomMessage;
    char* SavePath;
    SocketNode* ConnectionList;
    SocketNode* PortList;
    SocketNode* PortList6;      // the ports' IPv6 listeners while listening
    SocketNode* RetiredSockets; // closed sockets whose queued events are still to come
    HostResolver* Resolver;     // the reverse lookups' workers and queue; null until needed
    // Alerts and the log file, set in the Alerts and Log dialog.
    BYTE LogToFile;
    BYTE Balloons;
    DWORD LogLines;
    char LogFolder[MAX_PATH]; // empty: the user's local application data
    DWORD LogFolderCap;       // MiB the folder's log files may take
    char TrustedText[kTrustedTextSize];
    TrustedList Trusted;
    BalloonTable BalloonCallers;
    LogFileState LogFile;
    int LogExtent;             // width of the widest line, for the sideways scroll
    int LogBatch;              // nesting of BeginLogBatch: the view waits for the end
    int LogCharWidth;          // the log font's widest character
    char SaveFolder[MAX_PATH]; // where Save Log last saved
    int HostLookupCount;       // lookups queued or running
    AddressResolver ResolveAddress;
    HostAnswer HostAnswers[kHostAnswers];
    BYTE IPv6;           // listen on IPv6 too
    BYTE IPv6Missing;    // the platform has none: said once
    BYTE WatchV6Missing; // the stealth watch could not open for IPv6: said once
    BYTE StealthWatch;   // the Options switch
    StealthState* Watch; // the open watch: its sockets and what it saw; null when closed
    WatchAddressLister ListWatchAddresses;
    WatchSocketOpener OpenWatchSocket;
    // The remote syslog collector, set in the Alerts and Log dialog.
    char SyslogServer[256]; // "host" or "host:port"; empty: none
    BYTE SyslogTcp;         // 0: UDP datagrams; 1: TCP with octet counting
    SyslogSender* Syslog;   // the sender while a collector is set
    BYTE SettingsFailed;    // the last save failed and said so in the log
    // The shell's notification area: its restart message, and the retries
    // of an icon it has not taken yet.
    UINT TaskbarCreatedMessage;
    BYTE TrayIconShown;
    int TrayRetries;
    // Scans whose outputs wait for the caller's name.
    ScanWait ScanWaits[kScanWaits];
    // The web hook, set in the Alerts and Log dialog.
    char WebhookUrl[kWebhookUrlSize]; // an http:// or https:// URL; empty: none
    DWORD WebhookFormat;              // a WebhookFormat
    WebhookSender* Webhook;           // the sender while a URL is set
    // The program run on each scan, set in the Alerts and Log dialog.
    char RunOnScan[kCommandTemplateSize]; // empty: none
    BalloonTable ProgramCallers;          // one run per caller a minute
    ProgramRunner Program;
    BYTE RunOnUnverified; // run it for records whose caller is not proven too
    // The Windows Event Log, set in the Alerts and Log dialog.
    BYTE EventLog;             // the switch: write scans and the program's life there
    HANDLE EventSource;        // the "Harbinel" source once registered; NULL before
    BYTE EventLogFailed;       // the last write failed and the log said so
    EventLogWriter EventWrite; // null: ReportEventA; tests put a recorder here
    // The accepted callers' limits: the clock of their time limit, and the
    // callers turned away while the connections were full.
    TickSource ConnectionClock;
    CountNotice CallersTurnedAway;
    AdministratorCheck IsAdministrator;
    ElevatedStarter StartElevated;
    int Dpi; // the main window's DPI, which its fonts, controls and tray icons are made for
    // Blocking callers in the firewall (the set itself lives in block.cpp).
    BYTE Block;                       // the Options switch: block verified callers as they scan
    DWORD BlockMinutes;               // how long a block lasts; 0: until unblocked
    FirewallRuleWriter FirewallWrite; // null: the firewall's COM interface; tests record here
    MessageAsker AskUser;
};

extern AppStateRecord AppState;

// Puts every field back to its value before start-up; tests use it between
// runs of the main window in one process.
void ResetAppState();

#endif
