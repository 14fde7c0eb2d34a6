// The web hook: each untrusted scan, once named, posted to the user's URL
// through WinHTTP (the system's proxy, TLS and certificate checks) by one
// worker thread fed from a bounded queue; only the window's thread logs.
#include <winsock2.h>
#include <windows.h>
#include <winhttp.h>

#include "../log/log.h"
#include "../pure/balloons.h"
#include "../pure/decimal.h"
#include "../pure/syslogqueue.h"
#include "../pure/text.h"
#include "../pure/webhookbody.h"
#include "outputs.h"
#include "resource.h"

static const DWORD kPostTimeoutMs = 10000;
static const DWORD kFirstRetryMs = 5000;
static const DWORD kLastRetryMs = 300000;
// A server that stays away fills the log with one line a minute, no more.
static const DWORD kErrorEveryMs = 60000;
// Stop waits this long for the worker; one still busy frees itself later.
static const DWORD kStopWaitMs = 1000;
static const uint32_t kQueueLength = 1000;
// What a post's answer may bring back that is read (and thrown away) so
// that the connection can serve the next post.
static const DWORD kAnswerReadMax = 65536;

// WM_WEBHOOKRESULT's and WM_WEBHOOKTESTED's kind: an HTTP status, or a
// WinHTTP error.
static const WORD kResultStatus = 1;
static const WORD kResultError = 0;

// Where posts go and how they look; fixed while a sender lives.
struct WebhookTarget {
    WebhookUrl url;
    int format;
    char computer[3 * MAX_COMPUTERNAME_LENGTH + 4]; // UTF-8
};

// The connection a thread keeps: WinHTTP's session and its server.
struct WebhookLink {
    HINTERNET session;
    HINTERNET connect;
};

struct WebhookSender {
    // Shared with the worker, under lock.
    CRITICAL_SECTION lock;
    SyslogQueue queue; // WebhookPost records, as they are
    HINTERNET request; // the post on its way; Stop closes it to end the wait
    BYTE stopping;
    BYTE holding;       // the worker holds a post not yet delivered
    volatile LONG refs; // the window's thread and the worker; the last one frees
    HANDLE wake;        // auto-reset: posts were queued
    HANDLE stop;        // manual-reset
    HWND window;
    WORD generation; // tells this sender's results from a stopped one's
    WebhookTarget target;
    // The worker's own.
    WebhookPost post;
    char body[kWebhookBodySize];
    size_t bodyLength;
    // The window thread's own.
    HANDLE thread;
    BalloonTable callers;
    DWORD clockSkew;
    BYTE errorShown;
    DWORD errorTick;
    uint32_t droppedRun; // posts pushed out of the full queue, not logged yet
    uint32_t droppedSeen;
};

// The test alert's thread owns this and frees it.
struct WebhookTestJob {
    WebhookTarget target;
    HWND dialog;
    char body[kWebhookBodySize];
    size_t bodyLength;
};

static WORD g_generation;

static void ReleaseSender(WebhookSender* s)
{
    if (InterlockedDecrement(&s->refs) != 0)
        return;
    DeleteCriticalSection(&s->lock);
    CloseHandle(s->wake);
    CloseHandle(s->stop);
    SyslogQueueFree(&s->queue);
    BlockFree(s);
}

static void Utf16(const char* text, WCHAR* out, int size)
{
    if (MultiByteToWideChar(CP_UTF8, 0, text, -1, out, size) == 0)
        out[0] = 0;
}

// The request on its way is made known to Stop, which may close it; false
// when Stop has begun already.
static bool Publish(WebhookSender* owner, HINTERNET request)
{
    if (owner == NULL)
        return true;
    EnterCriticalSection(&owner->lock);
    bool open = !owner->stopping;
    if (open)
        owner->request = request;
    LeaveCriticalSection(&owner->lock);
    return open;
}

// Takes the request back; false when Stop closed it already.
static bool Withdraw(WebhookSender* owner, HINTERNET request)
{
    if (owner == NULL)
        return true;
    EnterCriticalSection(&owner->lock);
    bool ours = owner->request == request;
    owner->request = NULL;
    LeaveCriticalSection(&owner->lock);
    return ours;
}

// Opens the session with the user's proxy, as the browser settings give it
// (WinHTTP's own setting otherwise), and the server's handle.
static DWORD OpenLink(const WebhookTarget& t, WebhookLink& link)
{
    if (link.connect != NULL)
        return 0;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG ie = {};
    bool named = WinHttpGetIEProxyConfigForCurrentUser(&ie) && ie.lpszProxy != NULL;
    if (link.session == NULL)
        link.session = WinHttpOpen(
            L"Harbinel",
            named ? WINHTTP_ACCESS_TYPE_NAMED_PROXY : WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
            named ? ie.lpszProxy : WINHTTP_NO_PROXY_NAME,
            named && ie.lpszProxyBypass != NULL ? ie.lpszProxyBypass : WINHTTP_NO_PROXY_BYPASS, 0);
    DWORD error = link.session == NULL ? GetLastError() : 0;
    GlobalFree(ie.lpszAutoConfigUrl);
    GlobalFree(ie.lpszProxy);
    GlobalFree(ie.lpszProxyBypass);
    if (error != 0)
        return error;
    WCHAR host[sizeof t.url.host];
    Utf16(t.url.host, host, sizeof t.url.host);
    link.connect = WinHttpConnect(link.session, host, t.url.port, 0);
    return link.connect == NULL ? GetLastError() : 0;
}

static void CloseLink(WebhookLink& link)
{
    if (link.connect != NULL)
        WinHttpCloseHandle(link.connect);
    if (link.session != NULL)
        WinHttpCloseHandle(link.session);
    link.connect = link.session = NULL;
}

// Sends one request and waits for its status; returns 0 with *status set,
// or the WinHTTP error.
static DWORD Exchange(HINTERNET request, const WebhookTarget& t, const char* body, size_t length,
                      DWORD* status)
{
    char headers[400];
    TextCopy(headers, "Content-Type: ");
    TextAppend(headers, WebhookContentType(t.format));
    if (t.format == kWebhookPlain) {
        char title[300];
        BuildWebhookTitle(t.computer, title);
        TextAppend(headers, "\r\n");
        TextAppend(headers, title);
    }
    WCHAR wideHeaders[sizeof headers];
    Utf16(headers, wideHeaders, sizeof headers);
    DWORD size = sizeof *status;
    // The wait for the answer has an option of its own, which some WinHTTP
    // versions do not take from the four timeouts.
    DWORD answerMs = kPostTimeoutMs;
    if (!WinHttpSetTimeouts(request, (int)kPostTimeoutMs, (int)kPostTimeoutMs, (int)kPostTimeoutMs,
                            (int)kPostTimeoutMs) ||
        !WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &answerMs,
                          sizeof answerMs) ||
        !WinHttpSendRequest(request, wideHeaders, (DWORD)-1L, (LPVOID)body, (DWORD)length,
                            (DWORD)length, 0) ||
        !WinHttpReceiveResponse(request, NULL) ||
        !WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, status, &size, WINHTTP_NO_HEADER_INDEX))
        return GetLastError();
    char answer[1024];
    DWORD read = 0;
    for (DWORD total = 0; total < kAnswerReadMax; total += read)
        if (!WinHttpReadData(request, answer, sizeof answer, &read) || read == 0)
            break;
    return 0;
}

// One post of body to the target, abortable by owner's Stop when there is
// an owner.
static DWORD PostBody(const WebhookTarget& t, const char* body, size_t length, WebhookLink& link,
                      WebhookSender* owner, DWORD* status)
{
    DWORD error = OpenLink(t, link);
    if (error != 0)
        return error;
    WCHAR path[sizeof t.url.path];
    Utf16(t.url.path, path, sizeof t.url.path);
    HINTERNET request =
        WinHttpOpenRequest(link.connect, L"POST", path, NULL, WINHTTP_NO_REFERER,
                           WINHTTP_DEFAULT_ACCEPT_TYPES, t.url.secure ? WINHTTP_FLAG_SECURE : 0);
    if (request == NULL)
        return GetLastError();
    if (!Publish(owner, request)) {
        WinHttpCloseHandle(request);
        return ERROR_WINHTTP_OPERATION_CANCELLED;
    }
    error = Exchange(request, t, body, length, status);
    if (Withdraw(owner, request))
        WinHttpCloseHandle(request);
    return error;
}

// Takes the oldest queued post into the worker's hands, with the count of
// those the full queue lost before it; false when none waits.
static bool TakePost(WebhookSender* s)
{
    EnterCriticalSection(&s->lock);
    size_t length = 0;
    const char* front = s->holding ? NULL : SyslogQueueFront(&s->queue, &length);
    uint32_t dropped = 0;
    if (front != NULL) {
        CopyMemory(&s->post, front, sizeof s->post);
        SyslogQueuePop(&s->queue);
        dropped = SyslogQueueTakeDropped(&s->queue);
        s->holding = 1;
    }
    bool holding = s->holding && !s->stopping;
    LeaveCriticalSection(&s->lock);
    if (front != NULL)
        s->bodyLength = BuildWebhookBodyN(s->target.format, s->post, dropped, s->target.computer,
                                          s->body, sizeof s->body);
    return holding;
}

static bool Stopping(WebhookSender* s)
{
    return WaitForSingleObject(s->stop, 0) == WAIT_OBJECT_0;
}

static DWORD WINAPI WebhookWorker(LPVOID param)
{
    WebhookSender* s = (WebhookSender*)param;
    WebhookLink link = {};
    DWORD retryMs = kFirstRetryMs;
    HANDLE waits[2] = {s->stop, s->wake};
    while (!Stopping(s)) {
        if (!TakePost(s)) {
            WaitForMultipleObjects(2, waits, FALSE, INFINITE);
            continue;
        }
        DWORD status = 0;
        DWORD error = PostBody(s->target, s->body, s->bodyLength, link, s, &status);
        if (Stopping(s))
            break;
        if (error == 0 && status >= 200 && status <= 299) {
            EnterCriticalSection(&s->lock);
            s->holding = 0;
            LeaveCriticalSection(&s->lock);
            retryMs = kFirstRetryMs;
            continue;
        }
        WORD kind = error == 0 ? kResultStatus : kResultError;
        PostMessageA(s->window, WM_WEBHOOKRESULT, error == 0 ? status : error,
                     MAKELPARAM(kind, s->generation));
        if (WaitForSingleObject(s->stop, retryMs) == WAIT_OBJECT_0)
            break;
        retryMs = retryMs >= kLastRetryMs / 2 ? kLastRetryMs : retryMs * 2;
    }
    CloseLink(link);
    ReleaseSender(s);
    return 0;
}

static void ComputerName(char (&out)[3 * MAX_COMPUTERNAME_LENGTH + 4])
{
    WCHAR name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(name, &size) ||
        WideCharToMultiByte(CP_UTF8, 0, name, -1, out, sizeof out, NULL, NULL) == 0)
        out[0] = '\0';
}

static bool LoadTarget(const char* url, int format, WebhookTarget& t)
{
    if (!ParseWebhookUrl(url, &t.url))
        return false;
    t.format = format;
    ComputerName(t.computer);
    return true;
}

static void ReportWebhookError(const char* reason)
{
    char line[300];
    TextCopy(line, "Web hook error: ");
    TextAppend(line, reason);
    ReportError(line);
}

void WebhookStart()
{
    WebhookStop();
    if (AppState.WebhookUrl[0] == '\0')
        return;
    WebhookSender* s = (WebhookSender*)BlockAlloc(sizeof(WebhookSender), true);
    if (s == NULL || !SyslogQueueInit(&s->queue, kQueueLength)) {
        BlockFree(s);
        ReportWebhookError("Not enough memory");
        return;
    }
    if (!LoadTarget(AppState.WebhookUrl, (int)AppState.WebhookFormat, s->target)) {
        SyslogQueueFree(&s->queue);
        BlockFree(s);
        ReportWebhookError("Not an http:// or https:// URL");
        return;
    }
    InitializeCriticalSection(&s->lock);
    s->refs = 2;
    s->window = AppState.MainWindow;
    s->generation = ++g_generation;
    s->wake = CreateEventA(NULL, FALSE, FALSE, NULL);
    s->stop = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (s->wake != NULL && s->stop != NULL)
        s->thread = CreateThread(NULL, 0, WebhookWorker, s, 0, NULL);
    if (s->thread == NULL) {
        char reason[64];
        TextCopy(reason, "Error ");
        AppendDecimal((int32_t)GetLastError(), reason);
        s->refs = 1;
        ReleaseSender(s);
        ReportWebhookError(reason);
        return;
    }
    AppState.Webhook = s;
}

static void LogCount(const char* head, uint32_t count, const char* tail)
{
    char line[96];
    TextCopy(line, head);
    AppendCountN(count, " alert", " alerts", line, sizeof line);
    TextAppend(line, tail);
    AddLogLine(line);
}

static void ShowDropped(WebhookSender* s)
{
    EnterCriticalSection(&s->lock);
    uint32_t dropped = s->droppedRun;
    s->droppedRun = s->droppedSeen = 0;
    LeaveCriticalSection(&s->lock);
    if (dropped > 0)
        LogCount("Web hook: ", dropped, " dropped");
}

void WebhookStop()
{
    WebhookSender* s = AppState.Webhook;
    if (s == NULL)
        return;
    AppState.Webhook = NULL;
    EnterCriticalSection(&s->lock);
    s->stopping = 1;
    // Closing the post on its way ends its wait on Windows; Wine's WinHTTP
    // goes on to its timeout, and the worker, left behind, frees itself.
    if (s->request != NULL)
        WinHttpCloseHandle(s->request);
    s->request = NULL;
    LeaveCriticalSection(&s->lock);
    SetEvent(s->stop);
    WaitForSingleObject(s->thread, kStopWaitMs);
    CloseHandle(s->thread);
    ShowDropped(s);
    EnterCriticalSection(&s->lock);
    uint32_t undelivered = s->queue.count + s->holding;
    LeaveCriticalSection(&s->lock);
    if (undelivered > 0)
        LogCount("Web hook: ", undelivered, " not delivered");
    ReleaseSender(s);
}

void WebhookScanNamed(const ScanRecord& record, const char* rdns)
{
    WebhookSender* s = AppState.Webhook;
    if (s == NULL || record.trusted)
        return;
    BalloonDecision d = BalloonNoteScan(s->callers, record.caller, GetTickCount() + s->clockSkew);
    if (!d.show)
        return;
    WebhookPost post = {};
    post.record = record;
    post.moreScans = d.suppressedBefore;
    post.named = rdns != NULL;
    TextCopy(post.rdns, rdns != NULL ? rdns : "");
    EnterCriticalSection(&s->lock);
    if (s->queue.count == s->queue.capacity)
        ++s->droppedRun;
    SyslogQueuePush(&s->queue, (const char*)&post, sizeof post);
    LeaveCriticalSection(&s->lock);
    SetEvent(s->wake);
}

void WebhookTick()
{
    // A run of drops is logged once it is over: when a tick finds no new one.
    WebhookSender* s = AppState.Webhook;
    if (s == NULL)
        return;
    EnterCriticalSection(&s->lock);
    bool over = s->droppedRun > 0 && s->droppedRun == s->droppedSeen;
    s->droppedSeen = s->droppedRun;
    LeaveCriticalSection(&s->lock);
    if (over)
        ShowDropped(s);
}

void WebhookResult(WPARAM code, LPARAM info)
{
    WebhookSender* s = AppState.Webhook;
    if (s == NULL || HIWORD(info) != s->generation)
        return;
    DWORD now = GetTickCount();
    if (s->errorShown && now - s->errorTick < kErrorEveryMs)
        return;
    s->errorShown = 1;
    s->errorTick = now;
    char reason[128];
    BuildWebhookReason(LOWORD(info) == kResultStatus, (uint32_t)code, reason);
    ReportWebhookError(reason);
}

void WebhookSkipClock(DWORD ms)
{
    if (AppState.Webhook != NULL)
        AppState.Webhook->clockSkew += ms;
}

static DWORD WINAPI WebhookTestThread(LPVOID param)
{
    WebhookTestJob* job = (WebhookTestJob*)param;
    WebhookLink link = {};
    DWORD status = 0;
    DWORD error = PostBody(job->target, job->body, job->bodyLength, link, NULL, &status);
    CloseLink(link);
    PostMessageA(job->dialog, WM_WEBHOOKTESTED, error == 0 ? status : error,
                 error == 0 ? kResultStatus : kResultError);
    BlockFree(job);
    return 0;
}

bool WebhookSendTest(HWND dialog, const char* url, int format)
{
    WebhookTestJob* job = (WebhookTestJob*)BlockAlloc(sizeof(WebhookTestJob), true);
    if (job == NULL)
        return false;
    WebhookPost post = {};
    post.test = 1;
    post.record.kind = kScanConnect;
    post.record.caller = post.record.local = NetAddressFromV4(htonl(INADDR_LOOPBACK));
    post.record.portCount = 1;
    post.record.countExact = true;
    LocalIsoTime(post.record.time);
    job->dialog = dialog;
    if (!LoadTarget(url, format, job->target)) {
        BlockFree(job);
        return false;
    }
    job->bodyLength =
        BuildWebhookBodyN(format, post, 0, job->target.computer, job->body, sizeof job->body);
    HANDLE thread = CreateThread(NULL, 0, WebhookTestThread, job, 0, NULL);
    if (thread == NULL) {
        BlockFree(job);
        return false;
    }
    CloseHandle(thread);
    return true;
}
