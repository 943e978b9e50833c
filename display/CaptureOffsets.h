#pragma once

#include <cstdint>

// Where the capture rectangle starts relative to the pointer, per magnification (rows 2..6)
// and display width (columns 200..600). Tuned by hand so that the pointer sits near the middle
// of the magnified view; they are not a formula.

struct Offset1x
{
    std::int32_t Ax, Ay;
};

// Screens of any scale but 2: subtracted from the pointer.
inline constexpr Offset1x CaptureOffsets1x[5][5] = {
    {{50, 32}, {72, 45}, {98, 62}, {125, 80}, {147, 105}},
    {{35, 20}, {50, 35}, {63, 44}, {80, 54}, {100, 64}},
    {{25, 15}, {39, 25}, {50, 30}, {60, 40}, {70, 47}},
    {{20, 14}, {30, 20}, {40, 25}, {50, 32}, {57, 38}},
    {{18, 13}, {25, 18}, {33, 23}, {42, 27}, {50, 34}},
};

struct Offset2x
{
    double Cx, Cy;
};

// Screens of scale 2: subtracted after the quarter-size term.
inline constexpr Offset2x CaptureOffsets2x[5][5] = {
    {{25.0, 17.0}, {38.0, 25.0}, {50.0, 31.0}, {63.0, 40.0}, {75.0, 48.0}},
    {{34.0, 21.0}, {50.0, 34.0}, {68.0, 43.0}, {83.0, 52.0}, {99.0, 62.0}},
    {{38.0, 25.0}, {57.0, 35.0}, {75.0, 46.0}, {92.0, 59.0}, {112.0, 72.0}},
    {{40.0, 25.0}, {60.0, 37.0}, {80.0, 50.0}, {99.0, 62.0}, {120.0, 75.0}},
    {{42.0, 27.0}, {62.0, 41.0}, {82.0, 54.0}, {104.0, 66.0}, {126.0, 78.0}},
};

// Row and column of the case for a magnification and a window width, or false when no case
// applies: only the magnifications 2..6 and the widths 200, 300, 400, 500, 600 have one.
constexpr bool captureCase(std::int32_t magnification, std::int32_t width, int &row, int &column)
{
    if (magnification < 2 || magnification > 6 || width < 200 || width > 600 || width % 100 != 0)
        return false;
    row = magnification - 2;
    column = width / 100 - 2;
    return true;
}
