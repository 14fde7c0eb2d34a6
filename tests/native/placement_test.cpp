// A saved window place and the screen it comes back to: a place mostly on
// the work area stays, anything else moves onto it by the least amount.
#include <limits.h>

#include <gtest/gtest.h>

#include "pure/placement.h"

namespace {

const PlaceRect kWork = {0, 0, 1024, 738}; // a 1024 x 768 screen above a taskbar

PlaceRect At(int left, int top, int width = 240, int height = 234)
{
    return PlaceRect{left, top, left + width, top + height};
}

bool Same(const PlaceRect& a, const PlaceRect& b)
{
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

TEST(Placement, MostlyInsideOrMovedOntoTheWorkArea)
{
    const struct {
        const char* name;
        PlaceRect window;
        bool mostlyInside;
        PlaceRect moved;
    } cases[] = {
        {"centred", At(392, 267), true, At(392, 267)},
        {"touching the corner", At(0, 0), true, At(0, 0)},
        {"three quarters on the right edge", At(1024 - 180, 100), true, At(1024 - 240, 100)},
        {"exactly half off the right", At(1024 - 120, 100), false, At(1024 - 240, 100)},
        {"on a monitor that was unplugged", At(1920 + 300, 200), false, At(1024 - 240, 200)},
        {"left of the screen", At(-1000, -500), false, At(0, 0)},
        {"below the taskbar", At(100, 738 - 50), false, At(100, 738 - 234)},
        {"hand-edited far corner", At(INT_MAX - 240, INT_MAX - 234), false,
         At(1024 - 240, 738 - 234)},
        {"larger than the screen", At(-50, -50, 2000, 1000), false, At(0, 0, 2000, 1000)},
        {"empty", At(100, 100, 0, 0), false, At(100, 100, 0, 0)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(MostlyInside(c.window, kWork), c.mostlyInside);
        PlaceRect moved = MoveInside(c.window, kWork);
        EXPECT_TRUE(Same(moved, c.moved))
            << moved.left << "," << moved.top << " " << moved.right << "," << moved.bottom;
    }
}

TEST(Placement, SecondMonitorLeftOfThePrimary)
{
    const PlaceRect left = {-1280, 0, 0, 1024};
    EXPECT_TRUE(MostlyInside(At(-800, 300), left));
    EXPECT_TRUE(Same(MoveInside(At(-1400, 300), left), At(-1280, 300)));
}

} // namespace
