// Micro-benchmark of one reverse-lookup completion against a long log. It
// runs the real main window in-process (as the Windows tests do), fills its
// log list with scan lines through AddLogLine, tags one line with a made-up
// lookup handle and times OnHostResolved for it, many times over: for the
// address line of the newest scan (what a completion normally finds) and
// for a line near the top (a scan whose answer comes very late).
//
//   bench_lookup [LINES...]      default: 1000 30000
//
// A made-up handle has no pending-lookup record, so OnHostResolved frees
// none and shows "Host not found" for the error code given; the search and
// the insertion under the tagged line are the real ones.
#include <winsock2.h>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/app.h"
#include "log/log.h"
#include "monitor/monitor.h"
#include "resource.h"

#include "clock.h"

namespace {

const int kHostNotFound = 11001;

void PumpPending()
{
    MSG msg;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

// The six lines of one finished scan, with a caller port that varies.
void AddScanLines(int scan, int* remaining)
{
    std::string address =
        "   Accept: 127.0.0.1:" + std::to_string(32768 + scan % 28000) + " -> 192.0.2.2:31337";
    const char* lines[] = {
        "Scan detected",      address.c_str(),
        "   RDNS: localhost", "   Timestamp: Mon Mar 04 12:34:56 2024 GMT +00:00",
        "   Message sent",    "Scan blocked"};
    for (const char* line : lines) {
        if (*remaining == 0)
            return;
        AddLogLine(line);
        --*remaining;
    }
}

struct Stats {
    double median;
    double p99;
    double mean;
};

Stats Summarise(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    double sum = 0;
    for (double s : samples)
        sum += s;
    size_t p99 = (samples.size() * 99 + 99) / 100;
    return {samples[samples.size() / 2], samples[p99 == 0 ? 0 : p99 - 1], sum / samples.size()};
}

// Times `reps` completions of a lookup whose tag sits on line `tagged`.
// Each inserted answer is taken out again (untimed), so the log keeps its
// length. Returns false if an answer did not land right under the line.
bool TimeCompletions(HWND list, int tagged, int reps, Stats* stats)
{
    std::vector<double> samples;
    for (int rep = 0; rep < reps; ++rep) {
        HANDLE handle = (HANDLE)(INT_PTR)(0x40000 + rep);
        SendMessageA(list, LB_SETITEMDATA, (WPARAM)tagged, (LPARAM)handle);
        LONGLONG start = Now();
        OnHostResolved(handle, kHostNotFound);
        samples.push_back(Micros(Now() - start));
        char text[64] = {};
        if (SendMessageA(list, LB_GETTEXTLEN, (WPARAM)(tagged + 1), 0) >= (LRESULT)sizeof text)
            return false;
        SendMessageA(list, LB_GETTEXT, (WPARAM)(tagged + 1), (LPARAM)text);
        if (std::string(text) != "   RDNS: Host not found" ||
            SendMessageA(list, LB_GETITEMDATA, (WPARAM)tagged, 0) != 0)
            return false;
        SendMessageA(list, LB_DELETESTRING, (WPARAM)(tagged + 1), 0);
    }
    *stats = Summarise(samples);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.push_back(atoi(argv[i]));
    if (sizes.empty())
        sizes = {1000, 30000};

    // A first start: nothing stored, so nothing listens.
    RegDeleteTreeA(HKEY_CURRENT_USER, "SOFTWARE\\Ferrowind\\Harbinel");
    ResetAppState();
    if (!StartHarbinel(GetModuleHandleA(NULL))) {
        printf("error=no main window\n");
        return 1;
    }
    PumpPending();
    // The window's line cap (default 10,000) would trim the longer logs.
    AppState.LogLines = kMaxLogLines;
    HWND list = AppState.LogList;

    int failures = 0;
    for (int lines : sizes) {
        SendMessageA(list, LB_RESETCONTENT, 0, 0);
        int remaining = lines;
        // The last thousand or so lines added are timed.
        LONGLONG timedStart = 0;
        int timedLines = 0;
        for (int scan = 0; remaining > 0; ++scan) {
            if (remaining <= 1000 && timedStart == 0) {
                timedStart = Now();
                timedLines = remaining;
            }
            AddScanLines(scan, &remaining);
        }
        double addMicros = Micros(Now() - timedStart) / timedLines;
        int count = (int)SendMessageA(list, LB_GETCOUNT, 0, 0);
        // The newest scan's address line: under it only its timestamp,
        // "   Message sent" and "Scan blocked" (its answer has not come).
        int recent = count - 4;
        int old = 1;
        Stats recentStats = {}, oldStats = {};
        bool ok = TimeCompletions(list, recent, 2000, &recentStats) &&
                  TimeCompletions(list, old, lines > 5000 ? 50 : 200, &oldStats);
        if (!ok || SendMessageA(list, LB_GETCOUNT, 0, 0) != count) {
            printf("error=answer not placed under the tagged line (log of %d lines)\n", lines);
            ++failures;
            continue;
        }
        printf("lines=%d add_line_us=%.2f recent_median_us=%.2f recent_p99_us=%.2f "
               "old_median_us=%.1f old_p99_us=%.1f\n",
               count, addMicros, recentStats.median, recentStats.p99, oldStats.median,
               oldStats.p99);
        fflush(stdout);
    }

    SendMessageA(AppState.MainWindow, WM_COMMAND, IDM_EXIT, 0);
    PumpPending();
    return failures == 0 ? 0 : 1;
}
