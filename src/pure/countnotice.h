// A count of things lost or left alone that is told in one log line at most
// every so often: Add collects, Take hands out the sum when a line is due.
// The stealth watch and the program run on each scan keep their counts so.
#ifndef HARBINEL_COUNTNOTICE_H
#define HARBINEL_COUNTNOTICE_H

#include <stdint.h>

// Zero-initialised it holds nothing and has told nothing.
struct CountNotice {
    uint32_t pending;
    uint32_t lastMs;
    bool told; // a line was handed out at lastMs, less than its interval ago
};

// Adds count, stopping at the largest count there is.
void CountNoticeAdd(CountNotice* notice, uint32_t count);
// The sum for a line now, which starts again from 0; 0 when there is none
// or the last line is younger than intervalMs, whose counts wait for the
// next. Ages are unsigned differences of a clock that wraps: taken every
// tick, they never come near the wrap.
uint32_t CountNoticeTake(CountNotice* notice, uint32_t nowMs, uint32_t intervalMs);

#endif
