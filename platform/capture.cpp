#include "platform/capture.h"
#include "platform/x11shm.h"

#include <QCursor>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

namespace {

QList<ScreenGeometry> screenGeometries()
{
    QList<ScreenGeometry> list;
    const QList<QScreen *> screens = QGuiApplication::screens();
    list.reserve(screens.size());
    for (QScreen *s : screens)
        list.append({s->geometry(), s->devicePixelRatio()});
    return list;
}

// Pointer reading shared by both real sources.
class PointerReader : public CaptureSource
{
public:
    std::int32_t MouseX() override
    {
        last_ = QCursor::pos();
        return last_.x();
    }
    std::int32_t MouseY() override { return last_.y(); }

private:
    QPoint last_;
};

// Draws each piece of the plan into a picture of the plan's size; what lies on no screen
// stays black. A piece that cannot be read makes the whole capture fail: a null image.
template <class GrabPiece>
QImage assemble(const CapturePlan &plan, GrabPiece grabPiece)
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

// Any platform: QScreen::grabWindow, piece by piece.
class QtCapture : public PointerReader
{
public:
    QImage ScreenshotRect(std::int32_t left, std::int32_t top, std::int32_t width,
                          std::int32_t height) override
    {
        const QList<ScreenGeometry> geometries = screenGeometries();
        const QList<QScreen *> screens = QGuiApplication::screens();
        const CapturePlan plan = planCapture(geometries, QRect(left, top, width, height));
        return assemble(plan, [&](const CapturePiece &piece, QImage &picture) {
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
                    x11shm::copyOpaque(picture.scanLine(piece.destination.y() + y) + piece.destination.x() * 4,
                               image.constScanLine(y), pixels);
                }
                return true;
            }
            return false;
        });
    }
};

// X11: MIT-SHM into one shared segment that is kept and grown as needed, each capture copied
// out into a new picture.
//
// A refresh reads the pointer, then captures around it: two round trips to the server, and on
// a desktop each round trip costs more than the copying. So the pointer request goes out
// together with a read of the screen around the last capture, widened by a margin: the server
// answers both at once, and when the new rectangle lies within what was read, the capture is
// cut from it. The server takes requests in order, so that read is made after the pointer was
// taken, as a capture made after the reply would be. Otherwise the capture is read as usual.
class XShmCapture
{
public:
    static std::unique_ptr<XShmCapture> create()
    {
        std::shared_ptr<x11shm::Connection> connection = x11shm::Connection::get();
        return connection ? std::unique_ptr<XShmCapture>(new XShmCapture(std::move(connection))) : nullptr;
    }

    // The pointer in global device-independent coordinates, mapped from the device pixels X
    // gives as QCursor::pos() maps them; false if the server did not answer.
    bool pointer(QPoint &position)
    {
        xcb_connection_t *c = connection_->c();
        const xcb_query_pointer_cookie_t cookie = xcb_query_pointer(c, connection_->root());
        const bool reading = readAhead();
        xcb_query_pointer_reply_t *reply = xcb_query_pointer_reply(c, cookie, nullptr);
        if (reading)
            ahead_.ready = finishRead(ahead_.cookie);
        if (!reply)
            return false;
        const QPoint native(reply->root_x, reply->root_y);
        free(reply);
        position = deviceIndependent(native);
        return true;
    }

    QImage ScreenshotRect(std::int32_t left, std::int32_t top, std::int32_t width,
                          std::int32_t height)
    {
        const QRect request(left, top, width, height);
        const Ahead ahead = std::exchange(ahead_, Ahead());
        last_ = request;
        if (ahead.ready && ahead.area.contains(request))
            return cutFromAhead(ahead.area, request);
        const CapturePlan plan = planCapture(screenGeometries(), request);
        return assemble(plan, [this](const CapturePiece &piece, QImage &picture) {
            return grab(piece, picture);
        });
    }

private:
    // Wide enough for a pointer moved at an ordinary pace between two refreshes, small enough
    // that the extra pixels cost the server less than the round trip they save.
    static constexpr int kMargin = 48;

    struct Ahead
    {
        QRect area;                            // what is being or has been read into the segment
        xcb_shm_get_image_cookie_t cookie{};
        bool ready = false;                    // the segment holds it
    };

    explicit XShmCapture(std::shared_ptr<x11shm::Connection> connection) : connection_(std::move(connection)) {}

    // Sends the read of the last capture's surroundings, where that is worth it: a capture was
    // made since the last pointer reading, and the widened area lies whole on one screen whose
    // device pixels are its device-independent ones. Sends nothing and returns false otherwise.
    bool readAhead()
    {
        const QRect last = std::exchange(last_, QRect());
        ahead_ = Ahead();
        if (last.isEmpty())
            return false;
        const QRect area = last.adjusted(-kMargin, -kMargin, kMargin, kMargin);
        const QList<ScreenGeometry> screens = screenGeometries();
        const bool onOneScreen = std::any_of(screens.begin(), screens.end(), [&](const ScreenGeometry &g) {
            return g.devicePixelRatio == 1.0 && g.geometry.contains(area);
        });
        if (!onOneScreen || !ensureSegment(size_t(area.width()) * size_t(area.height()) * 4))
            return false;
        ahead_.area = area;
        ahead_.cookie = requestImage(area);
        return true;
    }

    QImage cutFromAhead(const QRect &area, const QRect &request) const
    {
        QImage picture(request.size(), QImage::Format_RGB32);
        if (picture.isNull())
            return picture;
        const size_t row = size_t(area.width()) * 4;
        const uchar *from = segment_->data() + size_t(request.y() - area.y()) * row
            + size_t(request.x() - area.x()) * 4;
        for (int y = 0; y < request.height(); ++y)
            x11shm::copyOpaque(picture.scanLine(y), from + size_t(y) * row, request.width());
        return picture;
    }

    // As QCursor::pos() maps X's position: on the screen whose device pixels hold it (else the
    // primary one), scaled about that screen's top-left corner, which both systems share.
    static QPoint deviceIndependent(QPoint native)
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

    bool ensureSegment(size_t bytes)
    {
        if (segment_ && segment_->size() >= bytes)
            return true;
        segment_.reset();
        segment_ = x11shm::Segment::create(connection_, bytes);
        return segment_ != nullptr;
    }

    // Root window pixels of `r` (device pixels, on the screen) into the start of the segment.
    xcb_shm_get_image_cookie_t requestImage(const QRect &r)
    {
        return xcb_shm_get_image(connection_->c(), connection_->root(), int16_t(r.x()), int16_t(r.y()),
                                 uint16_t(r.width()), uint16_t(r.height()), ~0u,
                                 XCB_IMAGE_FORMAT_Z_PIXMAP, segment_->id(), 0);
    }

    bool finishRead(xcb_shm_get_image_cookie_t cookie)
    {
        xcb_generic_error_t *error = nullptr;
        xcb_shm_get_image_reply_t *reply = xcb_shm_get_image_reply(connection_->c(), cookie, &error);
        const bool ok = reply && !error && reply->depth == 24;
        free(reply);
        free(error);
        return ok;
    }

    bool grab(const CapturePiece &piece, QImage &picture)
    {
        const QRect &r = piece.source;
        if (!ensureSegment(size_t(r.width()) * size_t(r.height()) * 4) || !finishRead(requestImage(r)))
            return false;
        const uchar *src = segment_->data();
        const size_t row = size_t(r.width()) * 4;
        uchar *dst = picture.bits() + piece.destination.x() * 4;
        const qsizetype stride = picture.bytesPerLine();
        for (int y = 0; y < r.height(); ++y)
            x11shm::copyOpaque(dst + (piece.destination.y() + y) * stride, src + size_t(y) * row, r.width());
        return true;
    }

    std::shared_ptr<x11shm::Connection> connection_;
    std::shared_ptr<x11shm::Segment> segment_;
    QRect last_;   // the last capture, until the next pointer reading
    Ahead ahead_;
};

// The X11 source, which drops to the Qt one for good once shared memory fails.
class RealCapture : public CaptureSource
{
public:
    std::int32_t MouseX() override
    {
        XShmCapture *s = shm();
        if (!s || !s->pointer(last_))
            last_ = QCursor::pos();
        return last_.x();
    }
    std::int32_t MouseY() override { return last_.y(); }

    QImage ScreenshotRect(std::int32_t left, std::int32_t top, std::int32_t width,
                          std::int32_t height) override
    {
        if (XShmCapture *s = shm()) {
            QImage picture = s->ScreenshotRect(left, top, width, height);
            if (!picture.isNull() || width <= 0 || height <= 0)
                return picture;
            shm_.reset(); // e.g. a server that refuses the segment: read it the slow way from now on
        }
        return qt_.ScreenshotRect(left, top, width, height);
    }

private:
    XShmCapture *shm()
    {
        if (!checked_) {
            checked_ = true;
            shm_ = XShmCapture::create();
        }
        return shm_.get();
    }

    QPoint last_;
    bool checked_ = false;
    std::unique_ptr<XShmCapture> shm_;
    QtCapture qt_;
};

CaptureSource *installed = nullptr;

} // namespace

CaptureSource &captureSource()
{
    if (installed)
        return *installed;
    static RealCapture real;
    return real;
}

void setCaptureSource(CaptureSource *source)
{
    installed = source;
}
