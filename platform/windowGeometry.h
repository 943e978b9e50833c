#pragma once

#include <QRect>
#include <cstdint>

class QWidget;

// The program's windows give their Left, Top, Width and Height as those of their content: on a
// window with a menu bar inside its frame, the part below the menu bar, so that positions and
// heights mean the same whichever way the platform draws menu bars.
QRect contentGeometry(const QWidget *window);
void setContentLeft(QWidget *window, std::int32_t left);
void setContentTop(QWidget *window, std::int32_t top);

// X11 carries window positions as 16-bit numbers; a position beyond that would wrap around (and
// overflow Qt's rectangle arithmetic long before 2^31), so it is held at the edge of the range
// instead: still far off the screen, where it was asked to be.
int windowCoordinate(qint64 value);
