// The fan-out: every scan a detector sees is handed here once, and from here
// to every output. The outputs that send a scan away from the PC wait for
// the caller's name, or 5 s, and get the same record again with it.
#include "../app/app.h"
#include "../log/log.h"
#include "../pure/linetext.h"
#include "../pure/syslogmsg.h"
#include "../pure/trusted.h"
#include "outputs.h"

// How long a scan waits for its caller's name before it goes without one.
static const DWORD kNameWaitMs = 5000;

ScanRecord NewScanRecord(ScanKind kind)
{
    ScanRecord record = {};
    record.kind = kind;
    // Only an accepted connection proves its caller's address: a SYN's
    // source can be anyone's.
    record.verified = kind == kScanConnect;
    record.portCount = 1;
    record.countExact = true;
    LocalIsoTime(record.time);
    return record;
}

// Each output that waits for the name gets the record once.
static void SendNamed(const ScanRecord& record, const char* rdns)
{
    SyslogScanNamed(record, rdns);
    WebhookScanNamed(record, rdns);
    ProgramScanNamed(record, rdns);
    EventLogScanNamed(record, rdns);
}

// The record that has waited longest, among those of caller (any caller
// when anyone is true); null when none waits.
static ScanWait* OldestWait(const NetAddress& caller, bool anyone)
{
    DWORD now = GetTickCount();
    ScanWait* oldest = NULL;
    for (ScanWait& wait : AppState.ScanWaits)
        if (wait.used && (anyone || NetAddressEqual(wait.record.caller, caller)) &&
            (oldest == NULL || now - wait.tick > now - oldest->tick))
            oldest = &wait;
    return oldest;
}

static void SendWaiting(ScanWait* wait, const char* rdns)
{
    wait->used = 0;
    SendNamed(wait->record, rdns);
}

static void KeepUntilNamed(const ScanRecord& record)
{
    ScanWait* slot = NULL;
    for (ScanWait& wait : AppState.ScanWaits)
        if (!wait.used) {
            slot = &wait;
            break;
        }
    if (slot == NULL) {
        // A full table sends its oldest scan at once, without a name.
        slot = OldestWait(NetAddress(), true);
        SendWaiting(slot, NULL);
    }
    slot->record = record;
    slot->tick = GetTickCount();
    slot->used = 1;
}

void ReportScan(const ScanRecord& seen)
{
    ScanRecord record = seen;
    // A trusted caller is served and logged like any other, quietly.
    record.trusted = record.kind != kScanGone && IsTrustedAddress(AppState.Trusted, record.caller);
    StatisticsCount(record);
    BeginLogBatch();
    LineTag line = LogScan(record);
    BlockScan(record);
    SyslogScanSeen(record);
    if (record.kind == kScanGone) {
        // Nobody can name a caller whose address is unknown.
        SendNamed(record, NULL);
    } else {
        // Kept before the lookup starts: a name known already answers at once.
        // A scan whose line has left the window already is still named,
        // for the day's file and the outputs.
        KeepUntilNamed(record);
        StartHostLookup(line, record.caller);
    }
    EndLogBatch();
    if (!record.trusted)
        AlertScan(record);
}

void ScanNameAnswered(const NetAddress& caller, const char* name)
{
    for (ScanWait* wait = OldestWait(caller, false); wait != NULL; wait = OldestWait(caller, false))
        SendWaiting(wait, name);
}

void OutputsTick()
{
    DWORD now = GetTickCount();
    for (ScanWait* wait = OldestWait(NetAddress(), true);
         wait != NULL && now - wait->tick >= kNameWaitMs; wait = OldestWait(NetAddress(), true))
        SendWaiting(wait, NULL);
    SyslogTick();
    WebhookTick();
    ProgramTick();
    StatisticsTick();
    BlockTick();
}

void OutputsStart()
{
    SyslogStart();
    WebhookStart();
    ProgramStart();
}

void OutputsStop()
{
    // What is waiting goes now, without its name, as far as each output
    // takes it without waiting.
    for (ScanWait* wait = OldestWait(NetAddress(), true); wait != NULL;
         wait = OldestWait(NetAddress(), true))
        SendWaiting(wait, NULL);
    SyslogStop();
    WebhookStop();
    ProgramStop();
    EventLogStop();
}

void ReportListening(int32_t ports)
{
    char line[64];
    BuildCountLine("Listening on ", ports, line);
    SyslogSendEvent(kSyslogInfo, "START", line);
    EventLogListening(ports);
}

void ReportStopped(const char* reason)
{
    SyslogSendEvent(kSyslogInfo, "STOP", reason);
    EventLogStopped(reason);
}

int ReportError(const char* line)
{
    int index = AddLogLine(line);
    EventLogError(line);
    return index;
}
