// Where a restored window goes: a saved place that is no longer mostly on a
// screen (a monitor unplugged, a smaller display) is brought onto the one it
// is nearest, so Restore never shows a window nobody can see.
#ifndef HARBINEL_PLACEMENT_H
#define HARBINEL_PLACEMENT_H

struct PlaceRect {
    int left;
    int top;
    int right;
    int bottom;
};

// Whether more than half of the window's area lies inside the work area.
bool MostlyInside(const PlaceRect& window, const PlaceRect& work);

// The window's rectangle, same size, moved by the least amount that puts it
// wholly inside the work area; a window larger than the area keeps its
// top-left corner at the area's, so its caption can still be reached.
PlaceRect MoveInside(const PlaceRect& window, const PlaceRect& work);

#endif
