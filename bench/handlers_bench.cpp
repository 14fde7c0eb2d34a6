// Where the time of one scan goes. Runs the real main window in-process,
// listening on one loopback port, while a second thread of this tool plays
// a sequential scanner against it; every message the window gets is timed
// from DispatchMessage to its return and filed by kind (accept, write,
// read, close, retired marker, lookup completion, other). Then the platform
// calls that the accept and write handlers make are timed one by one with
// the same arguments. The program's code is not changed or instrumented.
//
//   bench_handlers [SCANS [watch]]   default 300; "watch" turns the stealth
//                                    watch on, to see what it adds per scan
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/app.h"
#include "log/log.h"
#include "monitor/monitor.h"
#include "resource.h"

#include "clock.h"

namespace {

const char kKey[] = "SOFTWARE\\Ferrowind\\Harbinel";

void Report(const std::string& what, std::vector<double> samples)
{
    if (samples.empty())
        return;
    std::sort(samples.begin(), samples.end());
    double sum = 0;
    for (double s : samples)
        sum += s;
    size_t p99 = (samples.size() * 99 + 99) / 100;
    printf("%-34s n=%-6zu mean_us=%-9.1f median_us=%-9.1f p99_us=%-9.1f total_ms=%.1f\n",
           what.c_str(), samples.size(), sum / samples.size(), samples[samples.size() / 2],
           samples[p99 - 1], sum / 1000);
}

void TimeCall(const std::string& what, int reps, const std::function<void()>& call)
{
    std::vector<double> samples;
    for (int i = 0; i < reps; ++i) {
        LONGLONG start = Now();
        call();
        samples.push_back(Micros(Now() - start));
    }
    Report(what, samples);
}

u_short FreePort()
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    int len = sizeof a;
    bind(s, (sockaddr*)&a, sizeof a);
    getsockname(s, (sockaddr*)&a, &len);
    closesocket(s);
    return ntohs(a.sin_port);
}

void WriteSettings(u_short port, bool watch)
{
    RegDeleteTreeA(HKEY_CURRENT_USER, kKey);
    HKEY key = NULL;
    RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL);
    DWORD count = 1, value = port;
    BYTE on = 1;
    RegSetValueExA(key, "Count", 0, REG_DWORD, (const BYTE*)&count, sizeof count);
    RegSetValueExA(key, "Port0", 0, REG_DWORD, (const BYTE*)&value, sizeof value);
    RegSetValueExA(key, "Connected", 0, REG_BINARY, &on, 1);
    if (watch)
        RegSetValueExA(key, "StealthWatch", 0, REG_BINARY, &on, 1);
    RegCloseKey(key);
}

struct Scanner {
    u_short port;
    int scans;
    volatile LONG done;
    int complete;
    double seconds;
};

// The caller side: connect, read the warning to the end of the stream,
// close; one caller at a time.
DWORD WINAPI ScannerThread(void* param)
{
    Scanner& s = *(Scanner*)param;
    LONGLONG start = Now();
    for (int i = 0; i < s.scans; ++i) {
        SOCKET c = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(s.port);
        if (connect(c, (sockaddr*)&a, sizeof a) == 0) {
            char buf[256];
            int total = 0, n;
            while ((n = recv(c, buf, sizeof buf, 0)) > 0)
                total += n;
            if (n == 0 && total == 68)
                ++s.complete;
        }
        closesocket(c);
    }
    s.seconds = Micros(Now() - start) / 1e6;
    InterlockedExchange(&s.done, 1);
    return 0;
}

std::string Kind(const MSG& msg)
{
    switch (msg.message) {
    case WM_SOCKETEVENT:
        switch (LOWORD(msg.lParam)) {
        case FD_ACCEPT:
            return "WM_SOCKETEVENT accept";
        case FD_WRITE:
            // A connection's first write event warns and closes; any other
            // finds no listed connection and returns at once.
            return ListFindBySocket(AppState.ConnectionList, (SocketHandle)msg.wParam) != NULL
                       ? "WM_SOCKETEVENT write (warns)"
                       : "WM_SOCKETEVENT write (not listed)";
        case FD_READ:
            return "WM_SOCKETEVENT read";
        case FD_CLOSE:
            return "WM_SOCKETEVENT close";
        }
        return "WM_SOCKETEVENT other";
    case WM_SOCKETRETIRED:
        return "WM_SOCKETRETIRED";
    case WM_HOSTRESOLVED:
        return "WM_HOSTRESOLVED";
    case WM_WATCHBATCH:
        return "WM_WATCHBATCH";
    case WM_TIMER:
        return "WM_TIMER";
    }
    char text[32];
    snprintf(text, sizeof text, "message 0x%04x", msg.message);
    return text;
}

int RdnsLines()
{
    int n = 0, count = (int)SendMessageA(AppState.LogList, LB_GETCOUNT, 0, 0);
    for (int i = 0; i < count; ++i) {
        char text[512] = {};
        if (SendMessageA(AppState.LogList, LB_GETTEXTLEN, i, 0) < (LRESULT)sizeof text &&
            SendMessageA(AppState.LogList, LB_GETTEXT, i, (LPARAM)text) > 0 &&
            strncmp(text, "   RDNS: ", 9) == 0)
            ++n;
    }
    return n;
}

// What the bare reference does for each caller, call by call, on real
// loopback connections: accept, WSAAsyncSelect, send of the warning,
// shutdown and closesocket. The program makes these same calls, so the
// rest of its time per scan is its own work.
void TimeReferenceCalls()
{
    printf("-- the reference's calls per scan, timed alone --\n");
    const UINT kEvents = WM_APP + 78; // answered by DefWindowProc
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof a;
    if (bind(listener, (sockaddr*)&a, sizeof a) != 0 || listen(listener, SOMAXCONN) != 0 ||
        getsockname(listener, (sockaddr*)&a, &length) != 0) {
        printf("error=no listener for the reference's calls\n");
        closesocket(listener);
        return;
    }
    const char warning[] = "WARNING: Access attempt has been logged. Your ISP will be notified\r\n";
    std::map<std::string, std::vector<double>> timed;
    for (int i = 0; i < 200; ++i) {
        SOCKET caller = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (connect(caller, (sockaddr*)&a, sizeof a) != 0) {
            closesocket(caller);
            continue;
        }
        LONGLONG start = Now();
        SOCKET s = accept(listener, NULL, NULL);
        timed["ref: accept"].push_back(Micros(Now() - start));
        start = Now();
        WSAAsyncSelect(s, AppState.MainWindow, kEvents, FD_READ | FD_WRITE | FD_CLOSE);
        timed["ref: WSAAsyncSelect"].push_back(Micros(Now() - start));
        start = Now();
        send(s, warning, (int)(sizeof warning - 1), 0);
        timed["ref: send (68 bytes)"].push_back(Micros(Now() - start));
        start = Now();
        shutdown(s, SD_BOTH);
        timed["ref: shutdown"].push_back(Micros(Now() - start));
        start = Now();
        closesocket(s);
        timed["ref: closesocket"].push_back(Micros(Now() - start));
        closesocket(caller);
        MSG msg;
        while (PeekMessageA(&msg, AppState.MainWindow, kEvents, kEvents, PM_REMOVE)) {}
    }
    closesocket(listener);
    for (auto& t : timed)
        Report(t.first, t.second);
}

} // namespace

int main(int argc, char** argv)
{
    int scans = argc > 1 ? atoi(argv[1]) : 300;
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    u_short port = FreePort();
    const bool watch = argc > 2 && strcmp(argv[2], "watch") == 0;
    WriteSettings(port, watch);
    ResetAppState();
    if (!StartHarbinel(GetModuleHandleA(NULL))) {
        printf("error=no main window\n");
        return 1;
    }
    MSG msg;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE))
        DispatchMessageA(&msg); // the posted Listen command
    if (!AppState.IsListening) {
        printf("error=not listening\n");
        return 1;
    }

    Scanner scanner = {port, scans, 0, 0, 0};
    std::map<std::string, std::vector<double>> handled;
    double waiting = 0;
    LONGLONG begin = Now();
    HANDLE thread = CreateThread(NULL, 0, ScannerThread, &scanner, 0, NULL);
    const ULONGLONG deadline = GetTickCount64() + 120000;
    ULONGLONG nextCount = 0;
    while (GetTickCount64() < deadline) {
        // One lookup serves every scan from an address, so the scans are
        // done when each has its RDNS line (counted at most every 100 ms).
        if (scanner.done && GetTickCount64() >= nextCount) {
            if (RdnsLines() >= scans)
                break;
            nextCount = GetTickCount64() + 100;
        }
        LONGLONG idle = Now();
        MsgWaitForMultipleObjects(0, NULL, FALSE, 10, QS_ALLINPUT);
        waiting += Micros(Now() - idle);
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            std::string kind = Kind(msg); // before the handler changes the lists
            LONGLONG start = Now();
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
            handled[kind].push_back(Micros(Now() - start));
        }
    }
    double wall = Micros(Now() - begin);
    WaitForSingleObject(thread, 10000);
    printf("scans=%d complete=%d scanner_s=%.3f scans_per_s=%.1f rdns_lines=%d watch=%d\n", scans,
           scanner.complete, scanner.seconds, scans / scanner.seconds, RdnsLines(),
           AppState.Watch != NULL ? 1 : 0);
    printf("window thread: wall_ms=%.0f waiting_for_messages_ms=%.0f\n", wall / 1000,
           waiting / 1000);
    for (auto& h : handled)
        Report(h.first, h.second);

    // The accept and write handlers' platform calls, one at a time.
    printf("-- calls of one scan, timed alone --\n");
    SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in caller = {};
    caller.sin_family = AF_INET;
    caller.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    caller.sin_port = htons(40000);
    sockaddr_in bound = caller;
    bound.sin_port = 0;
    bind(probe, (sockaddr*)&bound, sizeof bound);
    TimeCall("getsockname (local address)", 200, [&] {
        sockaddr_in local = {};
        int length = sizeof local;
        getsockname(probe, (sockaddr*)&local, &length);
    });
    TimeCall("WSAAddressToStringA", 200, [&] {
        char text[64];
        DWORD length = sizeof text;
        WSAAddressToStringA((sockaddr*)&caller, sizeof caller, NULL, text, &length);
    });
    TimeCall("GetLocalTime", 200, [&] {
        SYSTEMTIME now;
        GetLocalTime(&now);
    });
    TimeCall("GetTimeZoneInformation", 200, [&] {
        TIME_ZONE_INFORMATION zone;
        GetTimeZoneInformation(&zone);
    });
    TimeCall("RaiseAlert (menus + tray icon)", 200, [&] { RaiseAlert(); });
    TimeCall("SetResetAlertItems(true)", 200, [&] { SetResetAlertItems(true); });
    TimeCall("Shell_NotifyIconA NIM_MODIFY icon", 200,
             [&] { SetTrayIcon(AppState.IconAlert, NULL); });
    TimeCall("AddLogLine", 200, [&] { AddLogLine("   Message sent"); });
    // With the watch on, every accept first reads what waits at the raw
    // socket on the window's thread; with nothing waiting that is one
    // read per watch socket that finds none.
    if (AppState.Watch != NULL)
        TimeCall("StealthCatchUp (nothing waiting)", 200, [&] { StealthCatchUp(); });
    // A scan's block of lines, each drawn and scrolled to as it comes, and
    // the same block drawn once at its end.
    const char* block[] = {"Scan detected", "   Accept: 127.0.0.1:40000 -> 127.0.0.1:12345",
                           "   RDNS: localhost", "   Timestamp: 14:24:08 GMT+1, 8/12/2026"};
    TimeCall("4 lines, each shown", 200, [&] {
        for (const char* line : block)
            AddLogLine(line);
    });
    TimeCall("4 lines, shown once (batch)", 200, [&] {
        BeginLogBatch();
        for (const char* line : block)
            AddLogLine(line);
        EndLogBatch();
    });
    // What one line costs the daily file alone: an append of a typical line
    // through WriteFile to a file of its own, as the log file writes it.
    char path[MAX_PATH];
    GetTempPathA(sizeof path, path);
    lstrcatA(path, "harbinel-bench-append.log");
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    const char line[] = "2026-12-08T14:24:08+01:00    Accept: 127.0.0.1:40000 -> 127.0.0.1:"
                        "12345\r\n";
    TimeCall("WriteFile one log line (append)", 1000, [&] {
        DWORD written = 0;
        WriteFile(file, line, sizeof line - 1, &written, NULL);
    });
    CloseHandle(file);
    DeleteFileA(path);
    // One lookup at a time, as a sequential scanner causes: the start is
    // timed, then its completion is waited for (untimed).
    const UINT kLookupDone = WM_APP + 77;
    static char answer[MAXGETHOSTSTRUCT];
    std::vector<double> starts;
    for (int i = 0; i < 100; ++i) {
        LONGLONG start = Now();
        HANDLE lookup =
            WSAAsyncGetHostByAddr(AppState.MainWindow, kLookupDone, (const char*)&caller.sin_addr,
                                  4, AF_INET, answer, sizeof answer);
        starts.push_back(Micros(Now() - start));
        const ULONGLONG until = GetTickCount64() + 5000;
        while (lookup != 0 && GetTickCount64() < until) {
            if (PeekMessageA(&msg, AppState.MainWindow, kLookupDone, kLookupDone, PM_REMOVE))
                break;
            MsgWaitForMultipleObjects(0, NULL, FALSE, 10, QS_POSTMESSAGE);
        }
    }
    Report("WSAAsyncGetHostByAddr (start)", starts);
    closesocket(probe);
    TimeReferenceCalls();

    SendMessageA(AppState.MainWindow, WM_COMMAND, IDM_EXIT, 0);
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE))
        DispatchMessageA(&msg);
    return 0;
}
