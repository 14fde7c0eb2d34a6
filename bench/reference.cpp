// The benchmark's bare reference: the least a Win32 program can do for each
// caller on the same ports, in the same way (WSAAsyncSelect on one hidden
// window, one thread): accept, send the same 68-byte warning on the first
// write event and close. It logs nothing and looks nothing up, so the
// difference to harbinel.exe is the cost of the program's own work.
//
//   bench_reference [-dMICROSECONDS] PORT [PORT ...]
//
// -d makes every accept take that much longer (a busy wait), to see how a
// program as slow as another behaves at the same load with the same code.
//
// When every port listens, the window's title becomes "listening N"; the
// benchmark's controller waits for that. WM_CLOSE ends the program.
#include <winsock2.h>
#include <windows.h>

#include <stdlib.h>

#include <set>

namespace {

const UINT kSocketEvent = WM_APP + 1;
const wchar_t kClassName[] = L"HarbinelBenchReference";
const char kWarning[] = "WARNING: Access attempt has been logged. Your ISP will be notified\r\n";

// The connections accepted and not yet closed; events of other sockets are
// ignored, as the program does.
std::set<SOCKET> connections;
LONGLONG acceptDelayTicks = 0;

void BusyWait(LONGLONG ticks)
{
    LARGE_INTEGER start, now;
    QueryPerformanceCounter(&start);
    do
        QueryPerformanceCounter(&now);
    while (now.QuadPart - start.QuadPart < ticks);
}

void CloseConnection(SOCKET s)
{
    shutdown(s, SD_BOTH);
    closesocket(s);
    connections.erase(s);
}

void OnSocketEvent(HWND window, SOCKET s, WORD event)
{
    switch (event) {
    case FD_ACCEPT: {
        sockaddr_in caller = {};
        int length = sizeof caller;
        SOCKET c = accept(s, (sockaddr*)&caller, &length);
        if (c == INVALID_SOCKET)
            return;
        if (WSAAsyncSelect(c, window, kSocketEvent, FD_READ | FD_WRITE | FD_CLOSE) != 0) {
            closesocket(c);
            return;
        }
        connections.insert(c);
        if (acceptDelayTicks > 0)
            BusyWait(acceptDelayTicks);
        break;
    }
    case FD_WRITE:
        if (connections.count(s)) {
            send(s, kWarning, (int)(sizeof kWarning - 1), 0);
            CloseConnection(s);
        }
        break;
    case FD_READ:
        if (connections.count(s)) {
            char buffer[2048];
            recv(s, buffer, sizeof buffer, 0);
        }
        break;
    case FD_CLOSE:
        if (connections.count(s))
            CloseConnection(s);
        break;
    }
}

LRESULT CALLBACK ReferenceProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case kSocketEvent:
        OnSocketEvent(window, (SOCKET)wParam, LOWORD(lParam));
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

int main(int argc, char** argv)
{
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return 1;
    HINSTANCE instance = GetModuleHandleW(NULL);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = ReferenceProc;
    wc.hInstance = instance;
    wc.lpszClassName = kClassName;
    RegisterClassW(&wc);
    HWND window = CreateWindowExW(0, kClassName, L"starting", WS_OVERLAPPED, 0, 0, 100, 100, NULL,
                                  NULL, instance, NULL);
    if (window == NULL)
        return 1;

    int listening = 0;
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-' && argv[i][1] == 'd') {
            LARGE_INTEGER frequency;
            QueryPerformanceFrequency(&frequency);
            acceptDelayTicks = frequency.QuadPart * atoll(argv[i] + 2) / 1000000;
            continue;
        }
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons((u_short)atoi(argv[i]));
        a.sin_addr.s_addr = INADDR_ANY;
        if (s != INVALID_SOCKET && bind(s, (sockaddr*)&a, sizeof a) == 0 && listen(s, 5) == 0 &&
            WSAAsyncSelect(s, window, kSocketEvent, FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE) == 0)
            ++listening;
    }
    wchar_t title[32] = L"listening ";
    _itow(listening, title + 10, 10);
    SetWindowTextW(window, title);

    MSG msg;
    while (GetMessageW(&msg, NULL, 0, 0) > 0)
        DispatchMessageW(&msg);
    WSACleanup();
    return 0;
}
