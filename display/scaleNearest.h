#pragma once

#include <QImage>

// Draws the whole of `source` over the whole of `target`, each pixel of the target a copy of the
// source pixel it stands over, exactly as QPainter::drawImage draws it without smoothing. Kept
// apart from QPainter because the display window does this twenty times a second: here it is a
// lookup per pixel of each source row that shows, and a plain copy of each line that repeats the
// one above it.
void drawScaledNearest(const QImage &source, QImage &target);
