// Bringing a saved window place back onto a screen.
#include "placement.h"

#include <stdint.h>

static int64_t OverlapLength(int a0, int a1, int b0, int b1)
{
    int64_t lo = a0 > b0 ? a0 : b0;
    int64_t hi = a1 < b1 ? a1 : b1;
    return hi > lo ? hi - lo : 0;
}

bool MostlyInside(const PlaceRect& window, const PlaceRect& work)
{
    // 64-bit: a hand-edited place may hold any 32-bit corner.
    int64_t width = (int64_t)window.right - window.left;
    int64_t height = (int64_t)window.bottom - window.top;
    if (width <= 0 || height <= 0)
        return false;
    int64_t shown = OverlapLength(window.left, window.right, work.left, work.right) *
                    OverlapLength(window.top, window.bottom, work.top, work.bottom);
    return shown * 2 > width * height;
}

// The start of a span of `length` moved into [lo, hi): the least move, and
// the span's start at lo when it is longer than the room.
static int64_t Fit(int64_t start, int64_t length, int64_t lo, int64_t hi)
{
    if (start + length > hi)
        start = hi - length;
    if (start < lo)
        start = lo;
    return start;
}

PlaceRect MoveInside(const PlaceRect& window, const PlaceRect& work)
{
    int64_t width = (int64_t)window.right - window.left;
    int64_t height = (int64_t)window.bottom - window.top;
    if (width < 0)
        width = 0;
    if (height < 0)
        height = 0;
    int64_t left = Fit(window.left, width, work.left, work.right);
    int64_t top = Fit(window.top, height, work.top, work.bottom);
    PlaceRect out = {(int)left, (int)top, (int)(left + width), (int)(top + height)};
    return out;
}
