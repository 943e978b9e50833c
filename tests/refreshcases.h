#pragma once

#include <QtGlobal>

// The capture offsets of the 25 cases of each refresh, one line per case as the design lists
// them, written here by hand: the tests that read them check the program's own table against
// these, so they must never be taken from it.

struct RefreshCase
{
    int magnification;
    int width;
    int x; // scale 1: Ax, subtracted from the pointer; scale 2: Cx, subtracted after a quarter
    int y; // of the window's size over the magnification (Ay, Cy likewise)
};

// Screens of any scale but 2.
inline constexpr RefreshCase offsets1x[] = {
    {2, 200, 50, 32}, {2, 300, 72, 45}, {2, 400, 98, 62}, {2, 500, 125, 80}, {2, 600, 147, 105},
    {3, 200, 35, 20}, {3, 300, 50, 35}, {3, 400, 63, 44}, {3, 500, 80, 54}, {3, 600, 100, 64},
    {4, 200, 25, 15}, {4, 300, 39, 25}, {4, 400, 50, 30}, {4, 500, 60, 40}, {4, 600, 70, 47},
    {5, 200, 20, 14}, {5, 300, 30, 20}, {5, 400, 40, 25}, {5, 500, 50, 32}, {5, 600, 57, 38},
    {6, 200, 18, 13}, {6, 300, 25, 18}, {6, 400, 33, 23}, {6, 500, 42, 27}, {6, 600, 50, 34},
};

// Screens of scale 2.
inline constexpr RefreshCase offsets2x[] = {
    {2, 200, 25, 17}, {2, 300, 38, 25}, {2, 400, 50, 31}, {2, 500, 63, 40}, {2, 600, 75, 48},
    {3, 200, 34, 21}, {3, 300, 50, 34}, {3, 400, 68, 43}, {3, 500, 83, 52}, {3, 600, 99, 62},
    {4, 200, 38, 25}, {4, 300, 57, 35}, {4, 400, 75, 46}, {4, 500, 92, 59}, {4, 600, 112, 72},
    {5, 200, 40, 25}, {5, 300, 60, 37}, {5, 400, 80, 50}, {5, 500, 99, 62}, {5, 600, 120, 75},
    {6, 200, 42, 27}, {6, 300, 62, 41}, {6, 400, 82, 54}, {6, 500, 104, 66}, {6, 600, 126, 78},
};

// The case of a magnification and a width on a screen of scale 1 or 2; a test asking for one
// the design does not list is wrong, and says so.
inline RefreshCase refreshCase(int scale, int magnification, int width)
{
    const RefreshCase *table = scale == 2 ? offsets2x : offsets1x;
    for (int i = 0; i < 25; ++i) {
        if (table[i].magnification == magnification && table[i].width == width)
            return table[i];
    }
    qFatal("no refresh case for magnification %d at width %d", magnification, width);
}

// The display window's height at each width the panel gives it: width / 1.6, truncated.
inline int displayHeight(int width)
{
    switch (width) {
    case 200: return 125;
    case 300: return 187;
    case 400: return 250;
    case 500: return 312;
    case 600: return 375;
    }
    qFatal("no display height for width %d", width);
}
