// The benchmark tools' clock: the performance counter and its conversion to
// microseconds.
#ifndef HARBINEL_BENCH_CLOCK_H
#define HARBINEL_BENCH_CLOCK_H

#include <windows.h>

inline LONGLONG Now()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

inline double Micros(LONGLONG ticks)
{
    static LARGE_INTEGER frequency = {};
    if (frequency.QuadPart == 0)
        QueryPerformanceFrequency(&frequency);
    return (double)ticks * 1e6 / (double)frequency.QuadPart;
}

#endif
