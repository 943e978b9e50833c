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

// The available height of the first screen (0 when there is none).
std::int32_t availableHeight();

// X11 carries window positions as 16-bit numbers; a position beyond that would wrap around (and
// overflow Qt's rectangle arithmetic long before 2^31), so it is held at the edge of the range
// instead: still far off the screen, where it was asked to be.
int windowCoordinate(qint64 value);

// Left, Top, Width and Height as above, and the setting of Left and Top, for a window class
// built on the Qt window class `Base`.
template <class Base>
class ContentGeometry : public Base
{
public:
    using Base::Base;

    std::int32_t Left() const { return contentGeometry(this).x(); }
    std::int32_t Top() const { return contentGeometry(this).y(); }
    std::int32_t Width() const { return contentGeometry(this).width(); }
    std::int32_t Height() const { return contentGeometry(this).height(); }
    void setLeft(std::int32_t left) { setContentLeft(this, left); }
    void setTop(std::int32_t top) { setContentTop(this, top); }
};
