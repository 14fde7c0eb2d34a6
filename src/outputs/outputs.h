// The outputs a scan reaches: the window's log and the day's file, the tray
// alert and balloon, the syslog collector, the web hook, a program of the
// user's, and the Windows Event Log. A detector builds one ScanRecord and
// hands it to ReportScan; the fan-out gives it to each output, and gives it
// again, with the caller's name, to the outputs that wait for that name.
#ifndef HARBINEL_OUTPUTS_H
#define HARBINEL_OUTPUTS_H

#include "../app/appstate.h"
#include "../pure/blocklist.h"
#include "../pure/scanrecord.h"
#include "../pure/stats.h"

// A record of `kind` stamped with the time now; the detector fills the rest.
ScanRecord NewScanRecord(ScanKind kind);

// The fan-out. Logs the scan's lines, raises the alert for a caller that is
// not trusted, starts the reverse lookup and keeps the record until its name
// is known or 5 s have passed.
void ReportScan(const ScanRecord& record);
// The reverse lookup for caller answered: name (escaped as the log shows
// it), "" when it has none, or null when no lookup could be made. Every
// record waiting for that caller goes to the named outputs.
void ScanNameAnswered(const NetAddress& caller, const char* name);
// Half-second work: records that waited 5 s go on without a name, and each
// output does its own timed work (retries, finished programs).
void OutputsTick();
// Start (again) the outputs that keep a connection or a worker, from the
// settings; Stop hands on what waits, unnamed, and lets them go.
void OutputsStart();
void OutputsStop();
// Events that are not scans: listening started or stopped, and errors, for
// the outputs that keep a record of the program's life (syslog, Event Log).
void ReportListening(int32_t ports);
void ReportStopped(const char* reason);
// An error line in the program's own words: logged, and kept in the Event
// Log too. Never for text a caller chose. Returns the line's index as
// AddLogLine does.
int ReportError(const char* line);

// ---- The outputs, each in its own file -----------------------------------
// rdns in the named calls: the caller's escaped name, "" when it has none,
// null when the lookup did not answer in time.

// balloon.cpp: the tray alert and balloon, through the shell.
void AlertScan(const ScanRecord& record);

// syslog.cpp: the remote collector. Start (again) from the settings
// SyslogServer and SyslogTcp; Stop sends what it can at once and lets go.
void SyslogStart();
void SyslogStop();
// Every half second: a collector that failed is tried again when its
// back-off has passed.
void SyslogTick();
bool SyslogOwnsSocket(SocketHandle socket);
void OnSyslogSocketEvent(WORD event, int error);
// True when the answer was the collector's name: then it is used up here.
bool OnSyslogResolved(HANDLE handle, int errorCode);
// A sweep goes to the collector as soon as it is seen; the other scans once
// their caller's name is known.
void SyslogScanSeen(const ScanRecord& record);
void SyslogScanNamed(const ScanRecord& record, const char* rdns);
// A message without scan data: "START" or "STOP".
void SyslogSendEvent(int severity, const char* msgId, const char* text);

// webhook.cpp
void WebhookScanNamed(const ScanRecord& record, const char* rdns);
void WebhookStart();
void WebhookStop();
void WebhookTick();
// A failed post's WM_WEBHOOKRESULT, on the window's thread: logged once a
// minute at most.
void WebhookResult(WPARAM code, LPARAM info);
// Sends a test alert to url in format on a thread of its own; the answer
// comes to dialog as WM_WEBHOOKTESTED (wParam the status or the WinHTTP
// error, lParam 1 for a status). False when no thread could start.
bool WebhookSendTest(HWND dialog, const char* url, int format);
// Moves the clock of the per-caller minute on, so that tests need not wait.
void WebhookSkipClock(DWORD ms);

// program.cpp: the command line of the user's, run for each scan that is not
// trusted, one per caller a minute; four at once at most, a hundred waiting.
// Only records whose caller is proven run it, unless RunOnUnverified is on.
void ProgramScanNamed(const ScanRecord& record, const char* rdns);
// Whether a template typed or stored can be run (an empty one, running
// nothing, can); the reason is CommandProblemText's.
CommandExpansion ProgramTemplateCheck(const char* commandTemplate);
// Start takes scans again after a Stop, and refuses a stored template that
// cannot be run in one "Program error: " line; Stop lets the running
// programs go on alone, forgets the waiting lines and runs nothing more.
void ProgramStart();
void ProgramStop();
// Frees the slots of programs that ended or ran 60 s, and starts waiting
// lines in them.
void ProgramTick();

// eventlog.cpp: the "Harbinel" source of the Application log, registered
// when first written to; nothing is written while the EventLog switch is
// off. A scan is a warning (a trusted caller's, information); listening and
// stopping are information; an error line is an error. A failed write is
// logged as "Event Log error: " and the reason, once until one succeeds.
void EventLogScanNamed(const ScanRecord& record, const char* rdns);
void EventLogListening(int32_t ports);
void EventLogStopped(const char* reason);
void EventLogError(const char* text);
// Lets the source go; the next event registers it again.
void EventLogStop();
// A caller blocked (a warning) or let go (information): the address and
// the line that says how long or why.
void EventLogBlocked(const char* address, const char* text);
void EventLogUnblocked(const char* address, const char* text);

// webhook.cpp: a caller just blocked, posted at once ("event":"block").
void WebhookBlocked(const ScanRecord& record);

// block.cpp: callers blocked in the Windows firewall through one inbound
// rule, for BlockMinutes each, the set kept in the key. A caller that may
// not be blocked is logged "   Not blocked: " and why.
// A verified scan's caller, blocked when the Block switch is on.
void BlockScan(const ScanRecord& record);
// "Block this caller": the same safeguards, whatever the switch says.
void BlockByHand(const NetAddress& caller);
// The Blocked Callers dialog's commands; false when it was not blocked.
bool UnblockByHand(const NetAddress& caller);
void UnblockAll();
// Half-second work: ended blocks let go, and the rule and the key written
// at most once a second after a change.
void BlockTick();
// The PC's addresses changed: the never-blocked table is read again.
void BlockNoteAddressChange();
// The set, for the dialog and the settings. Load refills it from the key's
// multi-string (bad entries named in one "Settings: " note line, into
// note); the rule is rebuilt from it on the next tick.
const BlockSet& BlockedCallers();
void BlockLoadStored(const char* data, size_t bytes, char (&note)[128]);
// Seconds since 1970 UTC now.
uint64_t WallSeconds();
// Forgets the set and every state of the writer (ResetAppState calls it).
void ResetBlocking();
// firewall.cpp: the writer behind AppState.FirewallWrite.
long WriteFirewallRule(const char* addresses);

// statistics.cpp: the scan counts of the Statistics window, kept in memory
// and saved as the settings value "Stats" when they changed, once a minute
// at most (on the outputs' tick), at Exit and when the session ends.
// Every record counts, verified or not; a trusted caller's apart.
void StatisticsCount(const ScanRecord& record);
void StatisticsTick();
// Saves the counts now if they changed since the last save.
void StatisticsFlush();
// Takes the stored value (null: none, the counts start empty). Returns null,
// or why the value was refused: then the counts start afresh.
const char* StatisticsLoad(const BYTE* data, size_t size);
// The counts in their saved form, valid until the next call.
const BYTE* StatisticsValue(DWORD& size);
// Clears the counts and saves them at once.
void StatisticsReset();
const Stats& CurrentStats();
// The local wall clock's hour and day.
StatsStamp StatisticsNow();

// statsdialog.cpp: the Statistics window, its two charts a window class of
// their own ("Harbinel_Chart"), registered before the dialog opens.
void RegisterChartClass(HINSTANCE instance);
INT_PTR CALLBACK StatsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// Draws chart's bars and axes into dc, text sized for dpi; false when a
// drawing object could not be made.
bool PaintChart(HWND chart, HDC dc, int dpi);

#endif
