#include "platform/x11/x11Capture.h"
#include "platform/pixels.h"
#include "platform/x11/x11shm.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <cstdlib>

namespace {

// The pointer in global device-independent coordinates, read over the program's own
// connection. False if the server did not answer.
bool queryPointer(x11shm::Connection &connection, QPoint &position)
{
    xcb_connection_t *c = connection.c();
    xcb_query_pointer_reply_t *reply = xcb_query_pointer_reply(c, xcb_query_pointer(c, connection.root()), nullptr);
    if (!reply)
        return false;
    position = fromDevicePixels(QPoint(reply->root_x, reply->root_y));
    free(reply);
    return true;
}

// X11 with MIT-SHM: each piece read into one shared segment that is kept and grown as needed,
// then copied out into a new picture.
class XShmCapture
{
public:
    static std::unique_ptr<XShmCapture> create(std::shared_ptr<x11shm::Connection> connection)
    {
        return connection && connection->shmRgb32()
            ? std::unique_ptr<XShmCapture>(new XShmCapture(std::move(connection)))
            : nullptr;
    }

    QImage ScreenshotRect(std::int32_t left, std::int32_t top, std::int32_t width,
                          std::int32_t height)
    {
        const CapturePlan plan = planCapture(currentScreens(), QRect(left, top, width, height));
        return assembleCapture(plan, [this](const CapturePiece &piece, QImage &picture) {
            return grab(piece, picture);
        });
    }

private:
    explicit XShmCapture(std::shared_ptr<x11shm::Connection> connection) : connection_(std::move(connection)) {}

    bool ensureSegment(size_t bytes)
    {
        if (segment_ && segment_->size() >= bytes)
            return true;
        segment_.reset();
        segment_ = x11shm::Segment::create(connection_, bytes);
        return segment_ != nullptr;
    }

    // Root window pixels of the piece (device pixels, on the screen) through the start of the
    // segment into the picture.
    bool grab(const CapturePiece &piece, QImage &picture)
    {
        const QRect &r = piece.source;
        if (!ensureSegment(size_t(r.width()) * size_t(r.height()) * 4))
            return false;
        xcb_generic_error_t *error = nullptr;
        xcb_shm_get_image_reply_t *reply = xcb_shm_get_image_reply(
            connection_->c(),
            xcb_shm_get_image(connection_->c(), connection_->root(), int16_t(r.x()), int16_t(r.y()),
                              uint16_t(r.width()), uint16_t(r.height()), ~0u,
                              XCB_IMAGE_FORMAT_Z_PIXMAP, segment_->id(), 0),
            &error);
        const bool ok = reply && !error && reply->depth == 24;
        free(reply);
        free(error);
        if (!ok)
            return false;
        const uchar *src = segment_->data();
        const size_t row = size_t(r.width()) * 4;
        uchar *dst = picture.bits() + piece.destination.x() * 4;
        const qsizetype stride = picture.bytesPerLine();
        for (int y = 0; y < r.height(); ++y)
            copyOpaque(dst + (piece.destination.y() + y) * stride, src + size_t(y) * row, r.width());
        return true;
    }

    std::shared_ptr<x11shm::Connection> connection_;
    std::shared_ptr<x11shm::Segment> segment_;
};

// The X11 source: the pointer over the program's own connection, the pixels through shared
// memory, which drops to the Qt capture for good once it fails.
class X11Capture : public CaptureSource
{
public:
    explicit X11Capture(std::shared_ptr<x11shm::Connection> connection)
        : connection_(std::move(connection)), shm_(XShmCapture::create(connection_))
    {
    }

    std::int32_t MouseX() override
    {
        if (!queryPointer(*connection_, last_))
            last_ = QCursor::pos();
        return last_.x();
    }
    std::int32_t MouseY() override { return last_.y(); }

    QImage ScreenshotRect(std::int32_t left, std::int32_t top, std::int32_t width,
                          std::int32_t height) override
    {
        if (shm_) {
            QImage picture = shm_->ScreenshotRect(left, top, width, height);
            if (!picture.isNull() || width <= 0 || height <= 0)
                return picture;
            shm_.reset(); // e.g. a server that refuses the segment: read it the slow way from now on
        }
        return qt_->ScreenshotRect(left, top, width, height);
    }

private:
    QPoint last_;
    std::shared_ptr<x11shm::Connection> connection_;
    std::unique_ptr<XShmCapture> shm_;
    std::unique_ptr<CaptureSource> qt_ = makeQtCapture();
};

} // namespace

bool onXwayland()
{
    // Xwayland says so by an extension of its own (since 21.1); older ones only name their
    // outputs after themselves.
    if (std::shared_ptr<x11shm::Connection> connection = x11shm::Connection::get()) {
        xcb_connection_t *c = connection->c();
        static const char name[] = "XWAYLAND";
        xcb_query_extension_reply_t *ext =
            xcb_query_extension_reply(c, xcb_query_extension(c, sizeof name - 1, name), nullptr);
        const bool present = ext && ext->present;
        free(ext);
        if (present)
            return true;
    }
    for (const QScreen *s : QGuiApplication::screens()) {
        if (s->name().startsWith(QLatin1String("XWAYLAND")))
            return true;
    }
    return false;
}

std::unique_ptr<CaptureSource> makeX11Capture()
{
    std::shared_ptr<x11shm::Connection> connection = x11shm::Connection::get();
    if (!connection)
        return nullptr;
    return std::make_unique<X11Capture>(std::move(connection));
}
