#include "platform/capture.h"
#include "platform/pixels.h"
#include "platform/portal/portalCapture.h"
#include "platform/x11/x11Capture.h"

#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <algorithm>
#include <cmath>
#include <memory>

QList<ScreenGeometry> currentScreens()
{
    QList<ScreenGeometry> list;
    const QList<QScreen *> screens = QGuiApplication::screens();
    list.reserve(screens.size());
    for (QScreen *s : screens)
        list.append({s->geometry(), s->devicePixelRatio()});
    return list;
}

QPoint fromDevicePixels(QPoint native)
{
    const QList<QScreen *> screens = QGuiApplication::screens();
    const QScreen *on = screens.isEmpty() ? nullptr : screens.first();
    for (const QScreen *s : screens) {
        if (ScreenGeometry{s->geometry(), s->devicePixelRatio()}.nativeGeometry().contains(native)) {
            on = s;
            break;
        }
    }
    if (!on || on->devicePixelRatio() == 1.0)
        return native;
    const QPoint origin = on->geometry().topLeft();
    return (native - origin) * (1.0 / on->devicePixelRatio()) + origin;
}

QImage assembleCapture(const CapturePlan &plan, const std::function<bool(const CapturePiece &, QImage &)> &grabPiece)
{
    if (plan.pictureSize.isEmpty())
        return QImage();
    QImage picture(plan.pictureSize, QImage::Format_RGB32);
    if (picture.isNull())
        return picture;
    if (!plan.coversPicture)
        picture.fill(Qt::black);
    for (const CapturePiece &piece : plan.pieces) {
        if (!grabPiece(piece, picture))
            return QImage();
    }
    return picture;
}

namespace {

// Any platform: the pointer from QCursor, the pixels from QScreen::grabWindow, piece by piece.
class QtCapture : public CaptureSource
{
public:
    std::int32_t MouseX() override
    {
        last_ = QCursor::pos();
        return last_.x();
    }
    std::int32_t MouseY() override { return last_.y(); }

    QImage ScreenshotRect(std::int32_t left, std::int32_t top, std::int32_t width,
                          std::int32_t height) override
    {
        const QList<ScreenGeometry> geometries = currentScreens();
        const QList<QScreen *> screens = QGuiApplication::screens();
        const CapturePlan plan = planCapture(geometries, QRect(left, top, width, height));
        return assembleCapture(plan, [&](const CapturePiece &piece, QImage &picture) {
            for (qsizetype i = 0; i < screens.size(); ++i) {
                const ScreenGeometry &g = geometries[i];
                const QRect native = g.nativeGeometry();
                if (!native.contains(piece.source))
                    continue;
                // grabWindow takes device-independent coordinates relative to the screen.
                const double d = g.devicePixelRatio;
                const QPoint at = piece.source.topLeft() - native.topLeft();
                const QPixmap shot = screens[i]->grabWindow(
                    0, int(at.x() / d), int(at.y() / d), int(std::ceil(piece.source.width() / d)),
                    int(std::ceil(piece.source.height() / d)));
                if (shot.isNull())
                    return false;
                const QImage image = shot.toImage().convertToFormat(QImage::Format_RGB32);
                const int rows = std::min(image.height(), piece.source.height());
                const int pixels = std::min(image.width(), piece.source.width());
                for (int y = 0; y < rows; ++y) {
                    copyOpaque(picture.scanLine(piece.destination.y() + y) + piece.destination.x() * 4,
                               image.constScanLine(y), pixels);
                }
                return true;
            }
            return false;
        });
    }

private:
    QPoint last_;
};

CaptureSource *installed = nullptr;

struct RealSource
{
    std::unique_ptr<CaptureSource> source;
    bool onServer = false;
};

// Chosen once, on first use: by then Qt's platform is up. On a Wayland desktop the program's
// windows stay X11 windows, since only those can place themselves beside the panel, but the
// pixels and the pointer come through the desktop's screen-cast portal.
RealSource &realSource()
{
    static RealSource real = [] {
        RealSource r;
        if (onXwayland()) {
            r.source = makePortalCapture();
        } else {
            r.source = makeX11Capture();
            r.onServer = r.source != nullptr;
        }
        if (!r.source)
            r.source = makeQtCapture();
        return r;
    }();
    return real;
}

std::function<void(const QString &)> &problemHandler()
{
    static std::function<void(const QString &)> show;
    return show;
}

} // namespace

std::unique_ptr<CaptureSource> makeQtCapture()
{
    return std::make_unique<QtCapture>();
}

CaptureSource &captureSource()
{
    if (installed)
        return *installed;
    return *realSource().source;
}

void setCaptureSource(CaptureSource *source)
{
    installed = source;
}

bool realCaptureSource()
{
    return installed == nullptr;
}

void setCaptureProblemHandler(std::function<void(const QString &)> show)
{
    problemHandler() = std::move(show);
}

void reportCaptureProblem(const QString &text)
{
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [text] {
            if (problemHandler())
                problemHandler()(text);
        },
        Qt::QueuedConnection);
}

bool captureOnXServer()
{
    return installed == nullptr && realSource().onServer;
}
