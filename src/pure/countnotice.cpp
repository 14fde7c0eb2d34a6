// The once-in-a-while count behind the program's "N lost" lines.
#include "countnotice.h"

void CountNoticeAdd(CountNotice* notice, uint32_t count)
{
    notice->pending = count > UINT32_MAX - notice->pending ? UINT32_MAX : notice->pending + count;
}

uint32_t CountNoticeTake(CountNotice* notice, uint32_t nowMs, uint32_t intervalMs)
{
    if (notice->told && nowMs - notice->lastMs >= intervalMs)
        notice->told = false;
    if (notice->told || notice->pending == 0)
        return 0;
    uint32_t count = notice->pending;
    notice->pending = 0;
    notice->lastMs = nowMs;
    notice->told = true;
    return count;
}
