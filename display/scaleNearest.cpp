#include "display/scaleNearest.h"

#include <QPainter>
#include <QVarLengthArray>
#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// Which source pixel each of `to` target pixels shows when `from` pixels are stretched over
// them, in the 16.16 fixed point of QPainter's own unsmoothed scaling: the step is the ratio cut
// to 16 fractional bits, the first sample sits half a target pixel in, rounded up, less one.
void nearestTable(int from, int to, QVarLengthArray<int, 1024> &table)
{
    const double ratio = double(from) / double(to);
    const quint32 step = quint32(65536.0 * ratio);
    quint32 at = quint32(std::ceil(0.5 * ratio * 65536.0) - 1.0);
    table.resize(to);
    for (int i = 0; i < to; ++i, at += step)
        table[i] = int(std::min<quint32>(at >> 16, quint32(from - 1)));
}

} // namespace

void drawScaledNearest(const QImage &source, QImage &target)
{
    if (source.isNull() || target.isNull())
        return;
    const int width = target.width();
    const int height = target.height();
    // Opaque 32-bit pixels to opaque 32-bit pixels is a copy; anything else is left to QPainter,
    // which also blends what is translucent.
    if (source.format() != QImage::Format_RGB32 || target.format() != QImage::Format_RGB32) {
        QPainter painter(&target);
        painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
        painter.drawImage(QRect(0, 0, width, height), source, source.rect());
        return;
    }

    QVarLengthArray<int, 1024> columns, rows;
    nearestTable(source.width(), width, columns);
    nearestTable(source.height(), height, rows);
    uchar *bits = target.bits();
    const qsizetype stride = target.bytesPerLine();
    const size_t lineBytes = size_t(width) * 4;
    for (int y = 0; y < height; ++y) {
        uchar *line = bits + y * stride;
        if (y > 0 && rows[y] == rows[y - 1]) {
            std::memcpy(line, line - stride, lineBytes);
            continue;
        }
        const auto *from = reinterpret_cast<const quint32 *>(source.constScanLine(rows[y]));
        auto *to = reinterpret_cast<quint32 *>(line);
        for (int x = 0; x < width; ++x)
            to[x] = from[columns[x]];
    }
}
