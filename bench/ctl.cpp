// The benchmark's Win32 controller, run under the same Wine as the programs
// it measures. It works harbinel.exe from the outside through the end-to-end
// driver (start, settings key, commands, the log read back line by line) and
// starts and stops the bare reference. One sub-command per run; results go
// to stdout as key=value pairs.
//
//   bench_ctl setup [--file 0|1] [--folder DIR] [--lines N] [--stealth 0|1] PORT...
//                                      settings key: these ports, listening at start
//   bench_ctl start NPORTS             start harbinel.exe (HARBINEL_EXE), time to
//                                      "Listening on N ports"
//   bench_ctl start-ref EXE PORT...    start the reference, time until all ports listen
//   bench_ctl mem [ref]                memory counters of the running program
//   bench_ctl logdump FILE [MINLINES [TIMEOUT_MS]]   wait for MINLINES lines, write the log
//   bench_ctl count MINLINES [TIMEOUT_MS]            wait for MINLINES lines, print the count
//   bench_ctl probe CSV STOPFILE [INTERVAL_MS [MAX_MS]]
//                                      send WM_NULL to the main window every
//                                      INTERVAL_MS (10) until STOPFILE exists;
//                                      each answer's time goes to CSV
//   bench_ctl resolve N [THREADS]      time gethostbyaddr for 127.0.0.2 on, N
//                                      addresses one after another, or shared
//                                      out among THREADS threads at once
//   bench_ctl clear | exit | stop-ref
#include "driver.h"

#include <psapi.h>
#include <algorithm>
#include <stdio.h>
#include <stdlib.h>

namespace {

const wchar_t kReferenceClass[] = L"HarbinelBenchReference";

double Millis(LONGLONG ticks)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return (double)ticks * 1000.0 / (double)frequency.QuadPart;
}

LONGLONG Now()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

// Polls `done` every millisecond until it holds or the deadline passes; a
// tight poll, because its moment is what is being timed.
template <class Pred> bool PollUntil(Pred done, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!done()) {
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(1);
    }
    return true;
}

HWND MainWindowOrFail()
{
    HWND main = e2e::FindMainWindow();
    if (main == NULL) {
        printf("error=no harbinel window\n");
        exit(1);
    }
    return main;
}

HANDLE OpenWindowProcess(HWND window, DWORD access)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return OpenProcess(access, FALSE, pid);
}

// Options before the ports: --file 0|1 (LogToFile, default on), --folder
// DIR (LogFolder), --lines N (LogLines, default 1,000,000 so that logdump
// and count see every line; 0 writes none, leaving the program's default),
// --stealth 0|1 (StealthWatch, default off).
int Setup(int argc, char** argv)
{
    std::vector<int> ports;
    int toFile = 1, stealth = 0;
    long lines = 1000000;
    std::string folder;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--file" && i + 1 < argc)
            toFile = atoi(argv[++i]);
        else if (a == "--folder" && i + 1 < argc)
            folder = argv[++i];
        else if (a == "--lines" && i + 1 < argc)
            lines = atol(argv[++i]);
        else if (a == "--stealth" && i + 1 < argc)
            stealth = atoi(argv[++i]);
        else
            ports.push_back(atoi(argv[i]));
    }
    e2e::KillLeftovers();
    e2e::DeleteSettings();
    e2e::WritePorts(ports);
    e2e::WriteSwitch(L"Connected", 1);
    e2e::WriteSwitch(L"Disconnnect", 1);
    e2e::WriteDword(L"MessageType", 2);
    e2e::WriteSwitch(L"LogToFile", (BYTE)toFile);
    if (!folder.empty())
        e2e::WriteText(L"LogFolder", folder);
    if (lines > 0)
        e2e::WriteDword(L"LogLines", (DWORD)lines);
    e2e::WriteSwitch(L"StealthWatch", (BYTE)stealth);
    printf("ports=%zu file=%d lines=%ld stealth=%d\n", ports.size(), toFile, lines, stealth);
    return 0;
}

int StartHarbinel(int ports)
{
    e2e::KillLeftovers();
    std::wstring wanted =
        L"Listening on " + std::to_wstring(ports) + (ports == 1 ? L" port" : L" ports");
    e2e::Program program;
    LONGLONG start = Now();
    if (!program.Start()) {
        printf("error=cannot start %s\n", e2e::Narrow(e2e::ProgramPath()).c_str());
        return 1;
    }
    HWND main = NULL;
    std::wstring first;
    bool listening = PollUntil(
        [&] {
            if (main == NULL)
                main = e2e::FindMainWindow();
            if (main == NULL)
                return false;
            // The stealth watch may log its own line before or after.
            std::vector<std::wstring> lines = e2e::LogLines(main);
            for (size_t i = 0; i < lines.size() && i < 3; ++i)
                if (lines[i] == wanted)
                    return true;
            first = lines.empty() ? std::wstring() : lines[0];
            return false;
        },
        30000);
    double elapsed = Millis(Now() - start);
    if (!listening) {
        printf("error=first log line \"%s\", wanted \"%s\"\n", e2e::Narrow(first).c_str(),
               e2e::Narrow(wanted).c_str());
        return 1;
    }
    printf("start_ms=%.1f pid=%lu\n", elapsed, program.ProcessId());
    return 0;
}

int StartReference(int argc, char** argv)
{
    std::wstring exe = e2e::Widen(argv[2]);
    std::wstring cmd = L"\"" + exe + L"\"";
    for (int i = 3; i < argc; ++i)
        cmd += L" " + e2e::Widen(argv[i]);
    int ports = 0;
    for (int i = 3; i < argc; ++i)
        ports += argv[i][0] != '-';
    std::wstring wanted = L"listening " + std::to_wstring(ports);
    std::vector<wchar_t> cmdline(cmd.begin(), cmd.end());
    cmdline.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    LONGLONG start = Now();
    if (!CreateProcessW(exe.c_str(), cmdline.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        printf("error=cannot start %s\n", argv[2]);
        return 1;
    }
    std::wstring title;
    bool listening = PollUntil(
        [&] {
            HWND w = FindWindowW(kReferenceClass, NULL);
            if (w != NULL)
                title = e2e::WindowTitle(w);
            return title.compare(0, 10, L"listening ") == 0;
        },
        30000);
    double elapsed = Millis(Now() - start);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    if (!listening || title != wanted) {
        printf("error=reference title \"%s\", wanted \"%s\"\n", e2e::Narrow(title).c_str(),
               e2e::Narrow(wanted).c_str());
        return 1;
    }
    printf("start_ms=%.1f pid=%lu\n", elapsed, pi.dwProcessId);
    return 0;
}

// Windows' own counters of the program's process. On Wine they come from
// the Linux process: PrivateUsage is its resident anonymous memory.
int Memory(bool reference)
{
    HWND w = reference ? FindWindowW(kReferenceClass, NULL) : MainWindowOrFail();
    HANDLE process =
        w == NULL ? NULL : OpenWindowProcess(w, PROCESS_QUERY_INFORMATION | PROCESS_VM_READ);
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (process == NULL ||
        !GetProcessMemoryInfo(process, (PROCESS_MEMORY_COUNTERS*)&counters, sizeof counters)) {
        printf("error=no memory counters\n");
        return 1;
    }
    CloseHandle(process);
    printf("private_kib=%lu working_set_kib=%lu peak_working_set_kib=%lu\n",
           (unsigned long)(counters.PrivateUsage / 1024),
           (unsigned long)(counters.WorkingSetSize / 1024),
           (unsigned long)(counters.PeakWorkingSetSize / 1024));
    return 0;
}

int LogDump(const char* path, long minLines, DWORD timeoutMs)
{
    HWND main = MainWindowOrFail();
    HWND list = GetDlgItem(main, e2e::kLogList);
    LONGLONG start = Now();
    bool reached = e2e::PumpUntil([&] { return SendMessageW(list, LB_GETCOUNT, 0, 0) >= minLines; },
                                  timeoutMs);
    double waited = Millis(Now() - start);
    start = Now();
    std::vector<std::wstring> lines = e2e::LogLines(main);
    double read = Millis(Now() - start);
    FILE* f = fopen(path, "wb");
    if (f == NULL) {
        printf("error=cannot write %s\n", path);
        return 1;
    }
    for (const std::wstring& line : lines)
        fprintf(f, "%s\n", e2e::Narrow(line).c_str());
    fclose(f);
    printf("lines=%zu reached=%d wait_ms=%.0f read_ms=%.0f\n", lines.size(), reached ? 1 : 0,
           waited, read);
    return reached ? 0 : 1;
}

// Waits until the log holds at least minLines lines (each scan's RDNS line
// is the last to come); reads the count only, not the lines.
int CountLines(long minLines, DWORD timeoutMs)
{
    HWND list = GetDlgItem(MainWindowOrFail(), e2e::kLogList);
    LRESULT count = 0;
    bool reached = e2e::PumpUntil(
        [&] {
            count = SendMessageW(list, LB_GETCOUNT, 0, 0);
            return count >= minLines;
        },
        timeoutMs);
    printf("lines=%ld reached=%d\n", (long)count, reached ? 1 : 0);
    return reached ? 0 : 1;
}

int ExitHarbinel()
{
    HWND main = MainWindowOrFail();
    HANDLE process = OpenWindowProcess(main, SYNCHRONIZE | PROCESS_QUERY_INFORMATION);
    e2e::PostCommand(main, e2e::kExit);
    DWORD code = 99;
    bool ended = process != NULL && WaitForSingleObject(process, 30000) == WAIT_OBJECT_0;
    if (ended)
        GetExitCodeProcess(process, &code);
    printf("exited=%d code=%lu\n", ended ? 1 : 0, code);
    return ended && code == 0 ? 0 : 1;
}

int StopReference()
{
    HWND w = FindWindowW(kReferenceClass, NULL);
    if (w == NULL) {
        printf("error=no reference window\n");
        return 1;
    }
    HANDLE process = OpenWindowProcess(w, SYNCHRONIZE);
    PostMessageW(w, WM_CLOSE, 0, 0);
    bool ended = process != NULL && WaitForSingleObject(process, 30000) == WAIT_OBJECT_0;
    printf("exited=%d\n", ended ? 1 : 0);
    return ended ? 0 : 1;
}

// Microseconds since 1970 on the same clock as the scanner's CLOCK_REALTIME,
// so that the samples can be matched with what happened on the Linux side.
long long WallMicros()
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    ULARGE_INTEGER t;
    t.LowPart = now.dwLowDateTime;
    t.HighPart = now.dwHighDateTime;
    return (long long)((t.QuadPart - 116444736000000000ULL) / 10);
}

// How soon the window answers: a sent message waits until the window's
// thread is back in its message loop, so its round trip is the longest
// the user would wait for a click to be seen. One message every interval,
// on a fixed schedule (a late answer does not push the later ones back);
// the process's own CPU time comes with it at the start and the end.
int Probe(const char* csvPath, const char* stopPath, DWORD intervalMs, DWORD maxMs)
{
    HWND main = MainWindowOrFail();
    HANDLE process = OpenWindowProcess(main, PROCESS_QUERY_INFORMATION);
    FILE* csv = fopen(csvPath, "wb");
    if (csv == NULL) {
        printf("error=cannot write %s\n", csvPath);
        return 1;
    }
    fprintf(csv, "wall_us,latency_us,answered\n");
    auto cpuMs = [&]() -> double {
        FILETIME created, exited, kernel, user;
        if (process == NULL || !GetProcessTimes(process, &created, &exited, &kernel, &user))
            return -1;
        ULARGE_INTEGER k, u;
        k.LowPart = kernel.dwLowDateTime;
        k.HighPart = kernel.dwHighDateTime;
        u.LowPart = user.dwLowDateTime;
        u.HighPart = user.dwHighDateTime;
        return (double)(k.QuadPart + u.QuadPart) / 1e4;
    };
    const double cpuStart = cpuMs();
    const ULONGLONG begin = GetTickCount64();
    std::vector<double> latencies;
    int unanswered = 0;
    for (ULONGLONG k = 0;; ++k) {
        const ULONGLONG due = begin + k * intervalMs;
        ULONGLONG now = GetTickCount64();
        if (now < due)
            Sleep((DWORD)(due - now));
        if (GetFileAttributesA(stopPath) != INVALID_FILE_ATTRIBUTES || now - begin > maxMs)
            break;
        DWORD_PTR result = 0;
        const long long wall = WallMicros();
        const LONGLONG start = Now();
        const bool answered =
            SendMessageTimeoutW(main, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result) != 0;
        const double latency = Millis(Now() - start) * 1000.0;
        fprintf(csv, "%lld,%.0f,%d\n", wall, latency, answered ? 1 : 0);
        latencies.push_back(latency);
        unanswered += answered ? 0 : 1;
    }
    const double cpuEnd = cpuMs();
    fclose(csv);
    if (process != NULL)
        CloseHandle(process);
    std::sort(latencies.begin(), latencies.end());
    const size_t n = latencies.size();
    auto rank = [&](int p) { return n == 0 ? 0.0 : latencies[(n * p + 99) / 100 - 1]; };
    printf("probes=%zu unanswered=%d p50_us=%.0f p99_us=%.0f max_us=%.0f process_cpu_ms=%.0f\n", n,
           unanswered, rank(50), rank(99), n == 0 ? 0.0 : latencies.back(), cpuEnd - cpuStart);
    return 0;
}

// How long one reverse lookup of a loopback caller takes here, as the
// program's lookup workers make it: a fixed pool of them serves many
// callers' addresses in turn, so these times set how soon the last name
// line of a many-address load comes in. With THREADS, the addresses are
// shared out among that many threads at once, as the pool does.
struct ResolveShare {
    int first, step, count;
    std::vector<double>* times; // this thread's own
    int named;
};

DWORD WINAPI ResolveThread(void* parameter)
{
    ResolveShare& share = *(ResolveShare*)parameter;
    for (int i = share.first; i < share.count; i += share.step) {
        in_addr a;
        a.s_addr = htonl(0x7F000002u + (u_long)i);
        const LONGLONG start = Now();
        const hostent* entry = gethostbyaddr((const char*)&a, 4, AF_INET);
        share.times->push_back(Millis(Now() - start));
        share.named += entry != NULL ? 1 : 0;
    }
    return 0;
}

int Resolve(int count, int threads)
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    threads = threads < 1 ? 1 : threads > 64 ? 64 : threads;
    std::vector<std::vector<double>> perThread(threads);
    std::vector<ResolveShare> shares(threads);
    std::vector<HANDLE> handles;
    const LONGLONG begin = Now();
    for (int t = 0; t < threads; ++t) {
        shares[t] = ResolveShare{t, threads, count, &perThread[t], 0};
        HANDLE h = CreateThread(NULL, 0, ResolveThread, &shares[t], 0, NULL);
        if (h != NULL)
            handles.push_back(h);
    }
    for (HANDLE h : handles) {
        WaitForSingleObject(h, 120000);
        CloseHandle(h);
    }
    const double wall = Millis(Now() - begin);
    std::vector<double> times;
    int named = 0;
    for (int t = 0; t < threads; ++t) {
        times.insert(times.end(), perThread[t].begin(), perThread[t].end());
        named += shares[t].named;
    }
    std::sort(times.begin(), times.end());
    double sum = 0;
    int slow = 0;
    for (double t : times) {
        sum += t;
        slow += t >= 1000 ? 1 : 0;
    }
    const size_t n = times.size();
    printf("lookups=%zu threads=%d named=%d median_ms=%.2f max_ms=%.2f over_1s=%d sum_ms=%.0f "
           "wall_ms=%.0f\n",
           n, threads, named, n ? times[n / 2] : 0.0, n ? times.back() : 0.0, slow, sum, wall);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "setup")
        return Setup(argc, argv);
    if (command == "start" && argc == 3)
        return StartHarbinel(atoi(argv[2]));
    if (command == "start-ref" && argc >= 4)
        return StartReference(argc, argv);
    if (command == "mem")
        return Memory(argc > 2 && std::string(argv[2]) == "ref");
    if (command == "logdump" && argc >= 3)
        return LogDump(argv[2], argc > 3 ? atol(argv[3]) : 0,
                       argc > 4 ? (DWORD)atol(argv[4]) : 60000);
    if (command == "count" && argc >= 3)
        return CountLines(atol(argv[2]), argc > 3 ? (DWORD)atol(argv[3]) : 60000);
    if (command == "probe" && argc >= 4)
        return Probe(argv[2], argv[3], argc > 4 ? (DWORD)atol(argv[4]) : 10,
                     argc > 5 ? (DWORD)atol(argv[5]) : 300000);
    if (command == "resolve" && argc >= 3)
        return Resolve(atoi(argv[2]), argc > 3 ? atoi(argv[3]) : 1);
    if (command == "clear") {
        e2e::SendCommand(MainWindowOrFail(), e2e::kClearLog);
        printf("cleared=1\n");
        return 0;
    }
    if (command == "exit")
        return ExitHarbinel();
    if (command == "stop-ref")
        return StopReference();
    fprintf(stderr,
            "usage: bench_ctl "
            "setup|start|start-ref|mem|logdump|count|probe|resolve|clear|exit|stop-ref ...\n");
    return 2;
}
