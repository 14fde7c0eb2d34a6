// The web hook: each untrusted scan, once named, posted to the user's URL
// through WinHTTP (the system's proxy, TLS and certificate checks) by one
// worker thread fed from a bounded queue; only the window's thread logs.
// WinHTTP runs asynchronously so that the worker's own wait has the post's
// deadline and Stop in it, and each request is closed only by its worker.
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

// One post, connect to last byte: an answer that trickles in holds the
// worker no longer than this.
static const DWORD kPostDeadlineMs = 30000;
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
// A status the server will give again however often it is asked (a 4xx
// but 408 and 429): the post was dropped, not kept for a retry.
static const WORD kResultRefused = 2;

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
    uint32_t refusedUnshown; // refused posts that no line has counted yet
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

// One request's own memory: what WinHTTP may still read or write while a
// step is under way (the body, the answer's buffer) and what its status
// callback reports. It lives exactly as long as the request: the callback
// frees it when the handle closes, so a request its worker gave up on (at
// Stop or the deadline) never touches memory that has gone.
struct PostCall {
    HANDLE done;          // auto-reset: the step under way has finished
    volatile DWORD error; // that step's error, 0 when it went well
    volatile DWORD read;  // bytes the last read brought
    char answer[1024];
    WCHAR headers[400];
    char body[kWebhookBodySize];
};

static void CALLBACK PostCallback(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info,
                                  DWORD length)
{
    PostCall* call = (PostCall*)context;
    if (call == NULL)
        return;
    switch (status) {
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
        call->error = ((const WINHTTP_ASYNC_RESULT*)info)->dwError;
        SetEvent(call->done);
        break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        call->read = length;
        SetEvent(call->done);
        break;
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
        SetEvent(call->done);
        break;
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
        CloseHandle(call->done);
        BlockFree(call);
        break;
    }
}

// The step just started (or not, when started is false) comes to its end:
// 0, its error, cancelled when stop is set, or timed out at the deadline.
static DWORD Await(bool started, PostCall* call, HANDLE stop, DWORD deadline)
{
    if (!started)
        return GetLastError();
    DWORD now = GetTickCount();
    DWORD left = (int)(deadline - now) > 0 ? deadline - now : 0;
    HANDLE waits[2] = {call->done, stop};
    DWORD woke = WaitForMultipleObjects(stop != NULL ? 2 : 1, waits, FALSE, left);
    if (woke == WAIT_OBJECT_0)
        return call->error;
    return woke == WAIT_OBJECT_0 + 1 ? ERROR_WINHTTP_OPERATION_CANCELLED : ERROR_WINHTTP_TIMEOUT;
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
            named && ie.lpszProxyBypass != NULL ? ie.lpszProxyBypass : WINHTTP_NO_PROXY_BYPASS,
            WINHTTP_FLAG_ASYNC);
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

// Sends one request and waits for its status, then reads the answer away,
// all within one deadline; returns 0 with *status set, or the error.
static DWORD Exchange(HINTERNET request, PostCall* call, const WebhookTarget& t, size_t length,
                      HANDLE stop, DWORD* status)
{
    DWORD deadline = GetTickCount() + kPostDeadlineMs;
    char headers[sizeof call->headers / sizeof call->headers[0]];
    TextCopy(headers, "Content-Type: ");
    TextAppend(headers, WebhookContentType(t.format));
    if (t.format == kWebhookPlain) {
        char title[300];
        BuildWebhookTitle(t.computer, title);
        TextAppend(headers, "\r\n");
        TextAppend(headers, title);
    }
    Utf16(headers, call->headers, sizeof headers);
    // WinHTTP's own waits are no longer than the whole post; the wait for
    // the answer has an option of its own, which some versions do not take
    // from the four timeouts.
    DWORD answerMs = kPostDeadlineMs;
    if (!WinHttpSetTimeouts(request, (int)kPostDeadlineMs, (int)kPostDeadlineMs,
                            (int)kPostDeadlineMs, (int)kPostDeadlineMs) ||
        !WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &answerMs,
                          sizeof answerMs))
        return GetLastError();
    DWORD error = Await(WinHttpSendRequest(request, call->headers, (DWORD)-1L, call->body,
                                           (DWORD)length, (DWORD)length, (DWORD_PTR)call) != FALSE,
                        call, stop, deadline);
    if (error == 0)
        error = Await(WinHttpReceiveResponse(request, NULL) != FALSE, call, stop, deadline);
    DWORD size = sizeof *status;
    if (error == 0 &&
        !WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, status, &size, WINHTTP_NO_HEADER_INDEX))
        error = GetLastError();
    if (error != 0)
        return error;
    // The status is in: what follows is read only so that the connection
    // can serve the next post, and is given up at the deadline.
    for (DWORD total = 0; total < kAnswerReadMax; total += call->read) {
        call->read = 0;
        if (Await(WinHttpReadData(request, call->answer, sizeof call->answer, NULL) != FALSE, call,
                  stop, deadline) != 0 ||
            call->read == 0)
            break;
    }
    return 0;
}

// One post of body to the target; stop, when there is one, ends it early.
// The request is this thread's alone, and closed here whatever happened.
static DWORD PostBody(const WebhookTarget& t, const char* body, size_t length, WebhookLink& link,
                      HANDLE stop, DWORD* status)
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
    PostCall* call = (PostCall*)BlockAlloc(sizeof(PostCall), true);
    if (call != NULL)
        call->done = CreateEventA(NULL, FALSE, FALSE, NULL);
    DWORD_PTR context = (DWORD_PTR)call;
    // Once the callback is set it owns the call, and frees it at the close.
    bool owned =
        call != NULL && call->done != NULL &&
        WinHttpSetOption(request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context) &&
        WinHttpSetStatusCallback(request, PostCallback,
                                 WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS |
                                     WINHTTP_CALLBACK_FLAG_HANDLES,
                                 0) != WINHTTP_INVALID_STATUS_CALLBACK;
    if (owned) {
        size_t kept = length < sizeof call->body ? length : sizeof call->body;
        CopyMemory(call->body, body, kept);
        error = Exchange(request, call, t, kept, stop, status);
    } else {
        error = call == NULL ? ERROR_NOT_ENOUGH_MEMORY : GetLastError();
        if (call != NULL && call->done != NULL)
            CloseHandle(call->done);
        BlockFree(call);
    }
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
        DWORD error = PostBody(s->target, s->body, s->bodyLength, link, s->stop, &status);
        if (Stopping(s))
            break;
        bool sent = error == 0 && status >= 200 && status <= 299;
        bool refused =
            error == 0 && status >= 400 && status <= 499 && status != 408 && status != 429;
        if (sent || refused) {
            EnterCriticalSection(&s->lock);
            s->holding = 0;
            LeaveCriticalSection(&s->lock);
            retryMs = kFirstRetryMs;
            if (refused)
                PostMessageA(s->window, WM_WEBHOOKRESULT, status,
                             MAKELPARAM(kResultRefused, s->generation));
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
    LeaveCriticalSection(&s->lock);
    // The worker's wait ends at once and it closes its own request; one
    // that is still busy after the wait frees itself later.
    SetEvent(s->stop);
    WaitForSingleObject(s->thread, kStopWaitMs);
    CloseHandle(s->thread);
    ShowDropped(s);
    EnterCriticalSection(&s->lock);
    uint32_t undelivered = s->queue.count + s->holding + s->refusedUnshown;
    LeaveCriticalSection(&s->lock);
    if (undelivered > 0)
        LogCount("Web hook: ", undelivered, " not delivered");
    ReleaseSender(s);
}

// Hands a post to the worker; a full queue drops the oldest and counts it.
static void QueuePost(WebhookSender* s, const WebhookPost& post)
{
    EnterCriticalSection(&s->lock);
    if (s->queue.count == s->queue.capacity)
        ++s->droppedRun;
    SyslogQueuePush(&s->queue, (const char*)&post, sizeof post);
    LeaveCriticalSection(&s->lock);
    SetEvent(s->wake);
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
    QueuePost(s, post);
}

// Not held back by the caller's minute: a caller is blocked once, and its
// scans after that are held back as any others.
void WebhookBlocked(const ScanRecord& record)
{
    WebhookSender* s = AppState.Webhook;
    if (s == NULL)
        return;
    WebhookPost post = {};
    post.record = record;
    post.block = 1;
    QueuePost(s, post);
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
    bool refused = LOWORD(info) == kResultRefused;
    s->refusedUnshown += refused ? 1 : 0;
    DWORD now = GetTickCount();
    if (s->errorShown && now - s->errorTick < kErrorEveryMs)
        return;
    s->errorShown = 1;
    s->errorTick = now;
    char reason[128];
    if (code == ERROR_WINHTTP_TIMEOUT && LOWORD(info) == kResultError)
        TextCopy(reason, "No whole answer within 30 s");
    else
        BuildWebhookReason(LOWORD(info) != kResultError, (uint32_t)code, reason);
    if (refused) {
        // The server will refuse it again, so it is not kept for a retry.
        TextAppend(reason, ", ");
        AppendCountN(s->refusedUnshown, " alert dropped", " alerts dropped", reason, sizeof reason);
        s->refusedUnshown = 0;
    }
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
