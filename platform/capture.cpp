#include "platform/capture.h"

#include <QCursor>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <cmath>
#include <memory>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

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

// X leaves the fourth byte of a depth-24 pixel undefined (usually 0); Format_RGB32 wants 0xff
// there, or a later conversion to a format with alpha would make the pixel transparent.
void copyOpaque(uchar *dst, const uchar *src, int pixels)
{
    auto *d = reinterpret_cast<quint32 *>(dst);
    const auto *s = reinterpret_cast<const quint32 *>(src);
    for (int i = 0; i < pixels; ++i)
        d[i] = s[i] | 0xff000000u;
}

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
                    copyOpaque(picture.scanLine(piece.destination.y() + y) + piece.destination.x() * 4,
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
class XShmCapture : public PointerReader
{
public:
    static std::unique_ptr<XShmCapture> create()
    {
        auto *x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
        xcb_connection_t *c = x11 ? x11->connection() : nullptr;
        if (!c)
            return nullptr;
        const xcb_query_extension_reply_t *ext = xcb_get_extension_data(c, &xcb_shm_id);
        if (!ext || !ext->present)
            return nullptr;
        const xcb_setup_t *setup = xcb_get_setup(c);
        const xcb_screen_t *screen = xcb_setup_roots_iterator(setup).data;
        if (!screen || screen->root_depth != 24 || setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST)
            return nullptr;
        // Depth-24 pixels must be 32 bits each to match QImage::Format_RGB32.
        bool bpp32 = false;
        for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it))
            bpp32 |= it.data->depth == 24 && it.data->bits_per_pixel == 32;
        if (!bpp32)
            return nullptr;
        return std::unique_ptr<XShmCapture>(new XShmCapture(c, screen->root));
    }

    ~XShmCapture() override { detach(); }

    QImage ScreenshotRect(std::int32_t left, std::int32_t top, std::int32_t width,
                          std::int32_t height) override
    {
        const CapturePlan plan = planCapture(screenGeometries(), QRect(left, top, width, height));
        return assemble(plan, [this](const CapturePiece &piece, QImage &picture) {
            return grab(piece, picture);
        });
    }

private:
    XShmCapture(xcb_connection_t *c, xcb_window_t root) : c_(c), root_(root) {}

    bool grab(const CapturePiece &piece, QImage &picture)
    {
        const QRect &r = piece.source;
        const size_t bytes = size_t(r.width()) * size_t(r.height()) * 4;
        if (!ensureSegment(bytes))
            return false;
        xcb_generic_error_t *error = nullptr;
        xcb_shm_get_image_reply_t *reply = xcb_shm_get_image_reply(
            c_,
            xcb_shm_get_image(c_, root_, int16_t(r.x()), int16_t(r.y()), uint16_t(r.width()),
                              uint16_t(r.height()), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, seg_, 0),
            &error);
        const bool ok = reply && !error && reply->depth == 24;
        free(reply);
        free(error);
        if (!ok)
            return false;
        const uchar *src = static_cast<const uchar *>(addr_);
        const size_t row = size_t(r.width()) * 4;
        for (int y = 0; y < r.height(); ++y) {
            copyOpaque(picture.scanLine(piece.destination.y() + y) + piece.destination.x() * 4,
                       src + size_t(y) * row, r.width());
        }
        return true;
    }

    bool ensureSegment(size_t bytes)
    {
        if (addr_ && bytes <= size_)
            return true;
        detach();
        const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (id < 0)
            return false;
        void *addr = shmat(id, nullptr, 0);
        if (addr == reinterpret_cast<void *>(-1)) {
            shmctl(id, IPC_RMID, nullptr);
            return false;
        }
        const xcb_shm_seg_t seg = xcb_generate_id(c_);
        xcb_generic_error_t *error = xcb_request_check(c_, xcb_shm_attach_checked(c_, seg, id, 0));
        // Marked for removal at once: the kernel frees it when both sides have detached, even
        // if this process dies.
        shmctl(id, IPC_RMID, nullptr);
        if (error) {
            free(error);
            shmdt(addr);
            return false;
        }
        addr_ = addr;
        size_ = bytes;
        seg_ = seg;
        return true;
    }

    void detach()
    {
        if (!addr_)
            return;
        xcb_shm_detach(c_, seg_);
        xcb_flush(c_);
        shmdt(addr_);
        addr_ = nullptr;
        size_ = 0;
    }

    xcb_connection_t *c_;
    xcb_window_t root_;
    void *addr_ = nullptr;
    size_t size_ = 0;
    xcb_shm_seg_t seg_ = 0;
};

// The X11 source, which drops to the Qt one for good once shared memory fails.
class RealCapture : public PointerReader
{
public:
    QImage ScreenshotRect(std::int32_t left, std::int32_t top, std::int32_t width,
                          std::int32_t height) override
    {
        if (!checked_) {
            checked_ = true;
            shm_ = XShmCapture::create();
        }
        if (shm_) {
            QImage picture = shm_->ScreenshotRect(left, top, width, height);
            if (!picture.isNull() || width <= 0 || height <= 0)
                return picture;
            shm_.reset(); // e.g. a server that refuses the segment: read it the slow way from now on
        }
        return qt_.ScreenshotRect(left, top, width, height);
    }

private:
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
