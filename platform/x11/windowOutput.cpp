#include "platform/x11/windowOutput.h"
#include "platform/x11/x11shm.h"

#include <QGuiApplication>
#include <QPointer>
#include <array>
#include <cstdlib>
#include <cstring>

namespace {

// Two segments carry the steady state: one holds the picture on show, the other is drawn for the
// next. A third covers a picture that someone keeps a little longer.
constexpr std::size_t kSlots = 3;

// X carries sizes as 16-bit numbers.
bool fitsX(QSize size)
{
    return !size.isEmpty() && size.width() <= 32767 && size.height() <= 32767;
}

std::size_t bytesOf(QSize size)
{
    return std::size_t(size.width()) * std::size_t(size.height()) * 4;
}

} // namespace

class WindowOutput::Private
{
public:
    Private(std::shared_ptr<x11shm::Connection> connection, QWidget *widget, xcb_window_t window)
        : connection_(std::move(connection)), c_(connection_->c()), widget_(widget), window_(window),
          gc_(xcb_generate_id(c_))
    {
        const uint32_t noExposures = 0;
        xcb_create_gc(c_, gc_, window_, XCB_GC_GRAPHICS_EXPOSURES, &noExposures);
    }

    ~Private()
    {
        xcb_free_gc(c_, gc_);
        xcb_flush(c_);
    }

    QImage newPicture(QSize size)
    {
        x11shm::Segment *segment = fitsX(size) ? freeSegment(bytesOf(size)) : nullptr;
        return segment ? segment->picture(size) : QImage(size, QImage::Format_RGB32);
    }

    bool put(const QImage &picture)
    {
        const QSize size = picture.size();
        // Qt may give the widget a new X window (a new parent, other flags); this one is gone.
        if (!widget_ || widget_->winId() != WId(window_))
            return false;
        if (!fitsX(size) || picture.format() != QImage::Format_RGB32 || !connection_->dispatch(false))
            return false;
        for (const std::shared_ptr<x11shm::Segment> &s : slots_) {
            if (s && s->putFailed())
                return false; // the server refused an earlier put: leave it to Qt
        }
        x11shm::Segment *segment = holding(picture);
        if (segment) {
            if (!segment->waitUntilIdle()) // the same picture again, e.g. for an expose
                return false;
        } else {
            segment = freeSegment(bytesOf(size));
            if (!segment)
                return false;
            const qsizetype row = qsizetype(size.width()) * 4;
            for (int y = 0; y < size.height(); ++y)
                std::memcpy(segment->data() + y * row, picture.constScanLine(y), size_t(row));
        }
        const xcb_void_cookie_t cookie = xcb_shm_put_image(
            c_, window_, gc_, uint16_t(size.width()), uint16_t(size.height()), 0, 0,
            uint16_t(size.width()), uint16_t(size.height()), 0, 0, 24, XCB_IMAGE_FORMAT_Z_PIXMAP,
            1, segment->id(), 0);
        segment->putSent(cookie.sequence);
        return xcb_flush(c_) > 0;
    }

private:
    // The segment `picture` lies in, as newPicture() made it.
    x11shm::Segment *holding(const QImage &picture) const
    {
        for (const std::shared_ptr<x11shm::Segment> &s : slots_) {
            if (s && picture.constBits() == s->data() && picture.bytesPerLine() == qsizetype(picture.width()) * 4)
                return s.get();
        }
        return nullptr;
    }

    // A segment of at least `bytes` that holds no picture and that the server has finished
    // reading; nullptr when none can be had. Waiting for the capture's reply has read the
    // completions of earlier puts by the time a new picture is wanted, so usually nothing waits.
    x11shm::Segment *freeSegment(std::size_t bytes)
    {
        connection_->dispatch(false);
        std::shared_ptr<x11shm::Segment> *slot = nullptr;
        for (std::shared_ptr<x11shm::Segment> &s : slots_) {
            if (s && !s->pictured() && (!slot || ((*slot)->busy() && !s->busy())))
                slot = &s;
        }
        if (!slot) {
            for (std::shared_ptr<x11shm::Segment> &s : slots_) {
                if (!s) {
                    slot = &s;
                    break;
                }
            }
        }
        if (!slot) {
            // Every segment holds a picture that somebody keeps: leave it to them and take the
            // next slot in turn for a segment of its own.
            slot = &slots_[next_];
            next_ = (next_ + 1) % kSlots;
        }
        if (*slot && !(*slot)->waitUntilIdle())
            return nullptr;
        if (!*slot || (*slot)->pictured() || (*slot)->size() < bytes)
            *slot = x11shm::Segment::create(connection_, bytes);
        return slot->get();
    }

    std::shared_ptr<x11shm::Connection> connection_;
    xcb_connection_t *c_;
    QPointer<QWidget> widget_;
    xcb_window_t window_;
    xcb_gcontext_t gc_;
    std::array<std::shared_ptr<x11shm::Segment>, kSlots> slots_;
    std::size_t next_ = 0;
};

std::unique_ptr<WindowOutput> WindowOutput::create(QWidget *widget)
{
    std::shared_ptr<x11shm::Connection> connection = x11shm::Connection::get();
    if (!connection || !connection->shm())
        return nullptr;
    const xcb_window_t window = xcb_window_t(widget->winId());
    // Qt has sent the window's creation on its own connection; a round trip there makes sure
    // the server has made it before this connection asks about it.
    if (auto *x11 = qApp->nativeInterface<QNativeInterface::QX11Application>()) {
        xcb_connection_t *qt = x11->connection();
        free(xcb_get_input_focus_reply(qt, xcb_get_input_focus(qt), nullptr));
    }
    xcb_connection_t *c = connection->c();
    xcb_get_geometry_reply_t *geometry = xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr);
    xcb_get_window_attributes_reply_t *attributes =
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr);
    const bool rgb32 = geometry && attributes && connection->rgb32(geometry->depth, attributes->visual);
    free(geometry);
    free(attributes);
    if (!rgb32)
        return nullptr;
    return std::unique_ptr<WindowOutput>(
        new WindowOutput(std::make_unique<Private>(std::move(connection), widget, window)));
}

WindowOutput::WindowOutput(std::unique_ptr<Private> d) : d(std::move(d)) {}

WindowOutput::~WindowOutput() = default;

QImage WindowOutput::newPicture(QSize size)
{
    return d->newPicture(size);
}

bool WindowOutput::put(const QImage &picture)
{
    return d->put(picture);
}
