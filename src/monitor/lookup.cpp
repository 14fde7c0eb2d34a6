// Reverse name lookup of each caller. A scan's address line waits for the
// answer tagged with the pending lookup (the log does the tagging and the
// inserting), and the outputs that wait for names get it. One lookup runs per
// caller address, whatever number of its scans wait for it, and an answer
// is used again for the same caller's scans for a minute.
#include "../log/log.h"
#include "../pure/linetext.h"
#include "../pure/text.h"
#include "../outputs/outputs.h"
#include "monitor.h"
#include "resource.h"

// How long an answer stands for later scans of the same caller.
static const DWORD kAnswerLifeMs = 60000;

// Lookups run on a few threads of their own, each asking the resolver and
// waiting for its answer; more callers wait in a queue. So a flood of
// callers costs a fixed number of threads, however many there are.
static const int kLookupWorkers = 8;
static const int kLookupQueue = 256;
static const int kLookupSlots = kLookupWorkers + kLookupQueue;
// A worker with nothing to do for this long ends, giving back its memory;
// the next lookup starts one again.
static const DWORD kWorkerIdleMs = 10000;
// Lookup handles are numbers from here on, apart from any other handle the
// window's answers may carry.
static const ULONG_PTR kFirstLookupId = 0x7F000000;

enum LookupState { kLookupFree, kLookupQueued, kLookupRunning, kLookupDone };

// One caller's lookup. Each has its own answer buffer, so that answers
// arriving close together never overwrite one another.
struct HostLookup {
    LookupState state;
    HANDLE handle;
    NetAddress address;
    int waiting;     // scans waiting for this lookup
    int tagged;      // their address lines that were still in the window
    DWORD queuedSeq; // order of arrival, for the oldest queued first
    int error;       // 0 when named
    char name[256];
};

// Shared with the workers: the slots and the queue, under lock. The block
// is never freed, since a worker may still be inside the resolver at exit.
struct HostResolver {
    CRITICAL_SECTION lock;
    HANDLE queued;             // a semaphore counting the queued lookups
    volatile LONG workerCount; // workers running; each ends itself when idle
    volatile LONG stopping;
    DWORD nextSeq;
    ULONG_PTR nextId;
    HWND window;
    AddressResolver resolve;
    HostLookup slots[kLookupSlots];
};

static HostAnswer* FreshAnswer(const NetAddress& address, DWORD now)
{
    for (HostAnswer& answer : AppState.HostAnswers)
        if (NetAddressEqual(answer.address, address) && now - answer.time < kAnswerLifeMs)
            return &answer;
    return NULL;
}

// Keeps an answer, in place of the same caller's older one or of the oldest.
static void KeepAnswer(const NetAddress& address, const char* line, bool named, DWORD now)
{
    HostAnswer* slot = &AppState.HostAnswers[0];
    for (HostAnswer& answer : AppState.HostAnswers) {
        if (NetAddressEqual(answer.address, address)) {
            slot = &answer;
            break;
        }
        if (now - answer.time > now - slot->time || answer.address.family == 0)
            slot = &answer;
    }
    slot->address = address;
    slot->time = now;
    slot->named = named ? 1 : 0;
    TextCopy(slot->line, line);
}

static HostLookup* PendingLookup(HostResolver* r, const NetAddress& address)
{
    for (HostLookup& lookup : r->slots)
        if (lookup.state != kLookupFree && NetAddressEqual(lookup.address, address))
            return &lookup;
    return NULL;
}

// The oldest queued lookup, now running; null when none waits.
static HostLookup* TakeQueued(HostResolver* r)
{
    HostLookup* oldest = NULL;
    for (HostLookup& lookup : r->slots)
        if (lookup.state == kLookupQueued &&
            (oldest == NULL || lookup.queuedSeq - oldest->queuedSeq > 0x80000000u))
            oldest = &lookup;
    if (oldest != NULL)
        oldest->state = kLookupRunning;
    return oldest;
}

static int ResolveWithSystem(const NetAddress& address, char* name, size_t size)
{
    bool v6 = address.family == kFamilyV6;
    // The answer is per thread; only its name is kept.
    const hostent* entry =
        gethostbyaddr((const char*)address.bytes, v6 ? 16 : 4, v6 ? AF_INET6 : AF_INET);
    if (entry != NULL && entry->h_name != NULL) {
        TextCopyN(name, size, entry->h_name);
        return 0;
    }
    int error = WSAGetLastError();
    return error != 0 ? error : WSANO_DATA;
}

static DWORD WINAPI LookupWorkerProc(void* parameter)
{
    HostResolver* r = (HostResolver*)parameter;
    for (;;) {
        if (WaitForSingleObject(r->queued, kWorkerIdleMs) != WAIT_OBJECT_0) {
            // Counted out before a last look, so that a lookup queued meanwhile
            // is either seen here or starts a worker of its own.
            InterlockedDecrement(&r->workerCount);
            if (WaitForSingleObject(r->queued, 0) != WAIT_OBJECT_0)
                return 0;
            InterlockedIncrement(&r->workerCount);
        }
        if (InterlockedCompareExchange(&r->stopping, 0, 0) != 0)
            return 0;
        EnterCriticalSection(&r->lock);
        HostLookup* lookup = TakeQueued(r);
        NetAddress address = lookup != NULL ? lookup->address : NetAddress();
        LeaveCriticalSection(&r->lock);
        if (lookup == NULL)
            continue;
        char name[256];
        int error = r->resolve(address, name, sizeof name);
        EnterCriticalSection(&r->lock);
        lookup->error = error;
        if (error == 0)
            TextCopy(lookup->name, name);
        lookup->state = kLookupDone;
        HANDLE handle = lookup->handle;
        LeaveCriticalSection(&r->lock);
        // From here the slot is the window's again.
        PostMessageA(r->window, WM_HOSTRESOLVED, (WPARAM)handle, MAKELPARAM(0, (WORD)error));
    }
    return 0;
}

static HostResolver* Resolver()
{
    if (AppState.Resolver != NULL)
        return AppState.Resolver;
    HostResolver* r = (HostResolver*)BlockAlloc(sizeof(HostResolver), true);
    if (r == NULL)
        return NULL;
    r->queued = CreateSemaphoreA(NULL, 0, kLookupSlots, NULL);
    if (r->queued == NULL) {
        BlockFree(r);
        return NULL;
    }
    InitializeCriticalSection(&r->lock);
    r->nextId = kFirstLookupId;
    r->window = AppState.MainWindow;
    r->resolve = AppState.ResolveAddress != NULL ? AppState.ResolveAddress : ResolveWithSystem;
    AppState.Resolver = r;
    return r;
}

// A worker more while fewer run than lookups wait, up to kLookupWorkers.
static void AddWorkerIfNeeded(HostResolver* r)
{
    LONG running = InterlockedCompareExchange(&r->workerCount, 0, 0);
    if (running >= kLookupWorkers || running >= AppState.HostLookupCount)
        return;
    InterlockedIncrement(&r->workerCount);
    HANDLE thread =
        CreateThread(NULL, 64 * 1024, LookupWorkerProc, r, STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
    if (thread == NULL)
        InterlockedDecrement(&r->workerCount);
    else
        CloseHandle(thread);
}

static HostLookup* NewLookup(HostResolver* r, const NetAddress& address)
{
    HostLookup* lookup = NULL;
    EnterCriticalSection(&r->lock);
    for (HostLookup& slot : r->slots)
        if (slot.state == kLookupFree) {
            lookup = &slot;
            break;
        }
    if (lookup != NULL) {
        lookup->state = kLookupQueued;
        lookup->handle = (HANDLE)r->nextId++;
        lookup->address = address;
        lookup->waiting = 0;
        lookup->tagged = 0;
        lookup->queuedSeq = r->nextSeq++;
        lookup->error = 0;
        lookup->name[0] = '\0';
    }
    LeaveCriticalSection(&r->lock);
    if (lookup == NULL)
        return NULL;
    ++AppState.HostLookupCount;
    // Queued before a worker is sought: a worker about to end for want of
    // work either sees it or has already been counted out.
    bool queued = ReleaseSemaphore(r->queued, 1, NULL) != 0;
    if (queued)
        AddWorkerIfNeeded(r);
    if (queued && InterlockedCompareExchange(&r->workerCount, 0, 0) == 0)
        queued = WaitForSingleObject(r->queued, 0) != WAIT_OBJECT_0; // no worker: take it back
    if (!queued) {
        EnterCriticalSection(&r->lock);
        lookup->state = kLookupFree;
        LeaveCriticalSection(&r->lock);
        --AppState.HostLookupCount;
        return NULL;
    }
    return lookup;
}

void StartHostLookup(LineTag line, const NetAddress& caller)
{
    const HostAnswer* known = FreshAnswer(caller, GetTickCount());
    if (known != NULL) {
        InsertRdnsLine(line, known->line, caller);
        ScanNameAnswered(caller, known->named ? known->line + 9 : "");
        return;
    }
    HostResolver* r = Resolver();
    HostLookup* lookup = r != NULL ? PendingLookup(r, caller) : NULL;
    if (lookup == NULL && r != NULL)
        lookup = NewLookup(r, caller);
    if (lookup == NULL) {
        // The queue is full, or no lookup could start: the scan still gets
        // its line, saying to try again later.
        char tryAgain[9 + 256];
        BuildRdnsLine(WSATRY_AGAIN, "", tryAgain);
        InsertRdnsLine(line, tryAgain, caller);
        ScanNameAnswered(caller, NULL);
        return;
    }
    // Only the window's thread changes the counts and the handle. A scan
    // whose line already left the window still waits: its answer goes to
    // the day's file and to the outputs.
    ++lookup->waiting;
    if (TagLineForLookup(line, lookup->handle))
        ++lookup->tagged;
}

// Takes a completed lookup out of its slot, copying what the window needs;
// false for a handle that is not a completed lookup of ours.
static bool TakeLookup(HANDLE handle, HostLookup* out)
{
    HostResolver* r = AppState.Resolver;
    if (r == NULL)
        return false;
    bool found = false;
    EnterCriticalSection(&r->lock);
    for (HostLookup& lookup : r->slots) {
        if (lookup.state == kLookupDone && lookup.handle == handle) {
            *out = lookup;
            lookup.state = kLookupFree;
            found = true;
            break;
        }
    }
    LeaveCriticalSection(&r->lock);
    if (found)
        --AppState.HostLookupCount;
    return found;
}

void OnHostResolved(HANDLE handle, int errorCode)
{
    if (OnSyslogResolved(handle, errorCode))
        return;
    HostLookup lookup;
    bool known = TakeLookup(handle, &lookup);
    const char* name = known && errorCode == 0 ? lookup.name : "";
    // "   RDNS: " and a host name of at most 255 characters.
    char line[9 + 256];
    BuildRdnsLine(errorCode, name, line);
    // A handle that is not a lookup of ours still answers a line it tags.
    int tagged = 1;
    int waiting = 0;
    NetAddress address = NetAddress();
    if (known) {
        address = lookup.address;
        KeepAnswer(address, line, name[0] != '\0', GetTickCount());
        tagged = lookup.tagged;
        waiting = lookup.waiting;
        // The outputs get the name as the log shows it, escaped: the owner
        // of the caller's address wrote it.
        ScanNameAnswered(address, name[0] != '\0' ? line + 9 : "");
    }
    AnswerTaggedLines(handle, tagged, waiting, line, address);
}

void CancelHostLookups()
{
    // Workers inside the resolver finish that call and then end; the ones
    // waiting are woken to end now. None is waited for: the process is
    // ending, and the block they share is never freed.
    HostResolver* r = AppState.Resolver;
    if (r == NULL)
        return;
    InterlockedExchange(&r->stopping, 1);
    ReleaseSemaphore(r->queued, kLookupWorkers, NULL);
    AppState.Resolver = NULL;
    AppState.HostLookupCount = 0;
}
