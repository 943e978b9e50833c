#pragma once

// What a view of the real program must show: the screen rectangle that the refresh tables give
// for a pointer, enlarged to the display window, checked against the screen's known pixels. The
// expectations come from the tables written in refreshcases.h, never from the program's own.

#include "e2e/xhelpers.h"
#include "refreshcases.h"

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStringList>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <QString>

#include <cmath>

namespace vc {

// Red and green are the low bytes of x and y, blue holds their high bits and has its top bit
// set, so no pixel of the pattern is black and none repeats on a screen below 4096 x 2048.
inline QRgb patternAt(int x, int y)
{
    return qRgb(x & 255, y & 255, 0x80 | ((x >> 8) & 0x0f) | (((y >> 8) & 0x07) << 4));
}

inline QString colourText(QRgb c)
{
    return QStringLiteral("(%1,%2,%3)").arg(qRed(c)).arg(qGreen(c)).arg(qBlue(c));
}

inline QByteArray prefsFile(QPoint panel, int magnification, int width)
{
    return QStringLiteral("#Window1Position %1,%2\n#Magnification %3\n#DWWidth %4\n")
        .arg(panel.y())
        .arg(panel.x())
        .arg(magnification)
        .arg(width)
        .toLatin1();
}

// Where the display window must stand, in device pixels, for a panel whose content's top-left
// corner is `panel` (device-independent).
inline QRect expectedDisplay(int scale, QPoint panel, int width)
{
    const int h = displayHeight(width);
    return QRect(scale * (panel.x() + 251 + 10), scale * (panel.y() + 137 - h), scale * width, scale * h);
}

// The screen rectangle, in device pixels, that a display window `width` x `height`
// (device-independent) must show with the pointer at `pointer` (device pixels).
inline QRect expectedSource(int scale, int magnification, int width, int height, QPoint pointer)
{
    const RefreshCase c = refreshCase(scale, magnification, width);
    if (scale == 2) {
        // Device-independent pointer and corner, a capture as large as the window in device
        // pixels from the corner's device pixel.
        const double mx = pointer.x() / 2;
        const double my = pointer.y() / 2;
        const int x = int(std::trunc(mx - width / 4.0 / magnification - c.x));
        const int y = int(std::trunc(my - height / 4.0 / magnification - c.y));
        return QRect(2 * x, 2 * y, width, height);
    }
    return QRect(pointer.x() - c.x, pointer.y() - c.y, int(std::trunc(double(width) / magnification)),
                 int(std::trunc(double(height) / magnification)));
}

// The display window's pixels `shot` against the screen rectangle `source` enlarged to fill
// them: display pixel (dx, dy) shows screen pixel (left + dx * cw / W, top + dy * ch / H).
// Every magnified cell of every source pixel is checked, at its middle so that the rounding of
// the nearest-neighbour scaling cannot matter, or whole when the enlargement is exact.
// Screen pixels off the screen must come out black. Returns what is wrong, or nothing.
inline QString compareDisplay(const QImage &shot, const QRect &source, const QImage &screen, bool wholeCells)
{
    if (shot.isNull())
        return QStringLiteral("the display window could not be read from the server");
    const int W = shot.width();
    const int H = shot.height();
    const int cw = source.width();
    const int ch = source.height();
    if (cw <= 0 || ch <= 0)
        return QStringLiteral("empty source rectangle");
    const QRect onScreen = screen.rect();
    qint64 bad = 0;
    qint64 checked = 0;
    QString first;
    auto cellSpan = [](int i, int dest, int src, int &from, int &to) {
        from = int((qint64(i) * dest + src - 1) / src);
        to = int((qint64(i + 1) * dest + src - 1) / src); // exclusive
    };
    for (int j = 0; j < ch; ++j) {
        int y0, y1;
        cellSpan(j, H, ch, y0, y1);
        if (!wholeCells)
            y0 = int((qint64(2 * j + 1) * H) / (2 * ch)), y1 = y0 + 1;
        for (int i = 0; i < cw; ++i) {
            int x0, x1;
            cellSpan(i, W, cw, x0, x1);
            if (!wholeCells)
                x0 = int((qint64(2 * i + 1) * W) / (2 * cw)), x1 = x0 + 1;
            for (int dy = y0; dy < y1 && dy < H; ++dy) {
                for (int dx = x0; dx < x1 && dx < W; ++dx) {
                    const QPoint s(source.left() + int(qint64(dx) * cw / W),
                                   source.top() + int(qint64(dy) * ch / H));
                    const QRgb expected = onScreen.contains(s) ? screen.pixel(s) : qRgb(0, 0, 0);
                    const QRgb actual = shot.pixel(dx, dy) | 0xff000000u;
                    ++checked;
                    if (actual != expected) {
                        if (bad++ == 0) {
                            first = QStringLiteral("display pixel (%1,%2) is %3, expected %4 of screen "
                                                   "pixel (%5,%6)")
                                        .arg(dx)
                                        .arg(dy)
                                        .arg(colourText(actual), colourText(expected))
                                        .arg(s.x())
                                        .arg(s.y());
                        }
                    }
                }
            }
        }
    }
    if (bad == 0)
        return QString();
    return QStringLiteral("%1 of %2 checked pixels wrong, showing %3 in a %4x%5 window; first: %6")
        .arg(bad)
        .arg(checked)
        .arg(xh::rectText(source))
        .arg(W)
        .arg(H)
        .arg(first);
}

// Gives the X server's resource Xft.dpi the value `dpi`, as a desktop's settings do; returns
// what went wrong, or nothing.
inline QString mergeXftDpi(int dpi)
{
    QProcess xrdb;
    xrdb.setProcessChannelMode(QProcess::MergedChannels);
    xrdb.start(QStringLiteral("xrdb"), {QStringLiteral("-nocpp"), QStringLiteral("-merge")});
    if (!xrdb.waitForStarted(10000))
        return QStringLiteral("xrdb is not installed (Debian package x11-xserver-utils)");
    xrdb.write(QStringLiteral("Xft.dpi: %1\n").arg(dpi).toLatin1());
    xrdb.closeWriteChannel();
    if (!xrdb.waitForFinished(10000) || xrdb.exitStatus() != QProcess::NormalExit || xrdb.exitCode() != 0)
        return QStringLiteral("xrdb failed: %1").arg(QString::fromLocal8Bit(xrdb.readAll()));
    return QString();
}

// The names of every Qt variable the program would inherit, to leave out.
inline QStringList withoutQtVariables()
{
    QStringList names = QProcessEnvironment::systemEnvironment().keys().filter(QRegularExpression("^QT_"));
    names << QStringLiteral("QT_QPA_PLATFORM"); // which the launcher sets otherwise
    return names;
}

} // namespace vc
