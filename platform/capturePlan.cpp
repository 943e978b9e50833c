#include "platform/capture.h"
#include "platform/rules.h"

#include <QRegion>
#include <cmath>
#include <limits>

QRect ScreenGeometry::nativeGeometry() const
{
    return QRect(geometry.topLeft(),
                 QSize(int(std::lround(geometry.width() * devicePixelRatio)),
                       int(std::lround(geometry.height() * devicePixelRatio))));
}

namespace {

const ScreenGeometry *unitScreen(const QList<ScreenGeometry> &screens, const QRect &request)
{
    for (const ScreenGeometry &s : screens) {
        if (s.geometry.contains(request.topLeft()))
            return &s;
    }
    const ScreenGeometry *best = nullptr;
    qint64 bestArea = 0;
    for (const ScreenGeometry &s : screens) {
        const QRect overlap = s.geometry.intersected(request);
        const qint64 area = qint64(overlap.width()) * overlap.height();
        if (area > bestArea) {
            best = &s;
            bestArea = area;
        }
    }
    return best ? best : (screens.isEmpty() ? nullptr : &screens.first());
}

bool fitsInt(qint64 v)
{
    return v >= std::numeric_limits<int>::min() && v <= std::numeric_limits<int>::max();
}

} // namespace

CapturePlan planCapture(const QList<ScreenGeometry> &screens, const QRect &request)
{
    CapturePlan plan;
    if (request.width() <= 0 || request.height() <= 0)
        return plan;

    const ScreenGeometry *unit = unitScreen(screens, request);
    const double dpr = unit ? unit->devicePixelRatio : 1.0;
    // On a screen of scale 2 the size already counts device pixels.
    const double sizeScale = realToInteger(dpr) == 2 ? 1.0 : dpr;
    plan.pictureSize = QSize(int(std::lround(request.width() * sizeScale)),
                             int(std::lround(request.height() * sizeScale)));
    if (!unit || plan.pictureSize.isEmpty())
        return plan;

    const QPoint origin = unit->geometry.topLeft();
    const qint64 nx = origin.x() + qint64(std::floor((qint64(request.left()) - origin.x()) * dpr));
    const qint64 ny = origin.y() + qint64(std::floor((qint64(request.top()) - origin.y()) * dpr));
    if (!fitsInt(nx) || !fitsInt(ny) || !fitsInt(nx + plan.pictureSize.width())
        || !fitsInt(ny + plan.pictureSize.height()))
        return plan; // so far off every screen that nothing of it can be on one

    const QRect native(int(nx), int(ny), plan.pictureSize.width(), plan.pictureSize.height());
    // Every refresh plans a capture, and it mostly lies on one screen: regions only once a
    // second piece comes.
    QRegion covered;
    QRect first;
    for (const ScreenGeometry &s : screens) {
        const QRect piece = native.intersected(s.nativeGeometry());
        if (piece.isEmpty() || (!first.isEmpty() && QRegion(piece).subtracted(covered).isEmpty()))
            continue; // a mirrored screen shows what another one already gave
        plan.pieces.append({piece, piece.topLeft() - native.topLeft()});
        if (first.isEmpty()) {
            first = piece;
            if (piece == native)
                break; // the whole picture: nothing else can add to it
            covered = QRegion(piece);
        } else {
            covered += piece;
        }
    }
    plan.coversPicture = first == native || (!first.isEmpty() && QRegion(native).subtracted(covered).isEmpty());
    return plan;
}
