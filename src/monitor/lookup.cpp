// Reverse name lookup of each caller. A scan's address line waits for the
// answer tagged with the pending lookup (the log does the tagging and the
// inserting), and the outputs that wait for names get it. One lookup runs per
// caller address, whatever number of its scans wait for it, and an answer
// is used again for the same caller's scans for a minute.
#include "../log/log.h"
#include "../pure/errortext.h"
#include "../pure/linetext.h"
#include "../pure/text.h"
#include "../outputs/outputs.h"
#include "monitor.h"
#include "resource.h"

// How long an answer stands for later scans of the same caller.
static const DWORD kAnswerLifeMs = 60000;

// Each pending lookup has its own answer buffer, so that answers arriving
// close together never overwrite one another.
struct HostLookup {
    HANDLE handle;
    HostLookup* next;
    u_long address;
    int waiting; // address lines tagged with this lookup
    char answer[MAXGETHOSTSTRUCT];
};

static HostAnswer* FreshAnswer(u_long address, DWORD now)
{
    for (HostAnswer& answer : AppState.HostAnswers)
        if (answer.address == address && now - answer.time < kAnswerLifeMs)
            return &answer;
    return NULL;
}

// Keeps an answer, in place of the same caller's older one or of the oldest.
static void KeepAnswer(u_long address, const char* line, bool named, DWORD now)
{
    HostAnswer* slot = &AppState.HostAnswers[0];
    for (HostAnswer& answer : AppState.HostAnswers) {
        if (answer.address == address) {
            slot = &answer;
            break;
        }
        if (now - answer.time > now - slot->time || answer.address == 0)
            slot = &answer;
    }
    slot->address = address;
    slot->time = now;
    slot->named = named ? 1 : 0;
    TextCopy(slot->line, line);
}

static HostLookup* PendingLookup(u_long address)
{
    for (HostLookup* lookup = AppState.HostLookups; lookup != NULL; lookup = lookup->next)
        if (lookup->address == address)
            return lookup;
    return NULL;
}

static HostLookup* NewLookup(const in_addr& caller)
{
    if (AppState.HostLookupCount >= kMaxHostLookups)
        return NULL;
    HostLookup* lookup = (HostLookup*)BlockAlloc(sizeof(HostLookup), true);
    if (lookup == NULL)
        return NULL;
    lookup->handle =
        WSAAsyncGetHostByAddr(AppState.MainWindow, WM_HOSTRESOLVED, (const char*)&caller, 4,
                              AF_INET, lookup->answer, sizeof lookup->answer);
    if (lookup->handle == 0) {
        BlockFree(lookup);
        return NULL;
    }
    lookup->address = caller.s_addr;
    lookup->next = AppState.HostLookups;
    AppState.HostLookups = lookup;
    ++AppState.HostLookupCount;
    return lookup;
}

void StartHostLookup(int lineIndex, u_long caller)
{
    const HostAnswer* known = FreshAnswer(caller, GetTickCount());
    if (known != NULL) {
        InsertRdnsLine(lineIndex, known->line, caller);
        ScanNameAnswered(caller, known->named ? known->line + 9 : "");
        return;
    }
    HostLookup* lookup = PendingLookup(caller);
    if (lookup == NULL) {
        in_addr address;
        address.s_addr = caller;
        lookup = NewLookup(address);
    }
    if (lookup == NULL) {
        // Too many lookups at once, or none could start: the scan still
        // gets its line, saying to try again later.
        char line[9 + 256];
        BuildRdnsLine(WSATRY_AGAIN, "", line);
        InsertRdnsLine(lineIndex, line, caller);
        ScanNameAnswered(caller, NULL);
        return;
    }
    ++lookup->waiting;
    TagLineForLookup(lineIndex, lookup->handle);
}

// Takes a completed lookup out of the pending list; null if unknown.
static HostLookup* TakeLookup(HANDLE handle)
{
    for (HostLookup** link = &AppState.HostLookups; *link != NULL; link = &(*link)->next) {
        if ((*link)->handle == handle) {
            HostLookup* found = *link;
            *link = found->next;
            --AppState.HostLookupCount;
            return found;
        }
    }
    return NULL;
}

void OnHostResolved(HANDLE handle, int errorCode)
{
    if (OnSyslogResolved(handle, errorCode))
        return;
    HostLookup* lookup = TakeLookup(handle);
    const char* name = "";
    if (lookup != NULL) {
        const hostent* entry = (const hostent*)lookup->answer;
        if (errorCode == 0 && entry->h_name != NULL)
            name = entry->h_name;
    }
    // "   RDNS: " and a host name of at most 255 characters.
    char line[9 + 256];
    BuildRdnsLine(errorCode, name, line);
    int waiting = 1;
    u_long address = 0;
    if (lookup != NULL) {
        address = lookup->address;
        KeepAnswer(lookup->address, line, name[0] != '\0', GetTickCount());
        waiting = lookup->waiting;
        // The outputs get the name as the log shows it, escaped: the owner
        // of the caller's address wrote it.
        ScanNameAnswered(address, name[0] != '\0' ? line + 9 : "");
    }
    BlockFree(lookup); // the resolver is done with it: the answer has come
    AnswerTaggedLines(handle, waiting, line, address);
}

void CancelHostLookups()
{
    // The resolver may still be writing into a buffer whose cancel came too
    // late, so the buffers are left to the end of the process.
    for (HostLookup* lookup = AppState.HostLookups; lookup != NULL; lookup = lookup->next)
        WSACancelAsyncRequest(lookup->handle);
    AppState.HostLookups = NULL;
    AppState.HostLookupCount = 0;
}
