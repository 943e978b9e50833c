#include "platform/windowOutput.h"
#include "platform/x11shm.h"

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

struct WindowOutput::Slot
{
    std::shared_ptr<x11shm::Segment> segment;
    bool pending = false;        // the server has yet to finish reading it for a put
    unsigned int sequence = 0;   // that put's request
};

class WindowOutput::Private
{
public:
    Private(std::shared_ptr<x11shm::Connection> connection, xcb_window_t window)
        : connection_(std::move(connection)), c_(connection_->c()), window_(window), gc_(xcb_generate_id(c_))
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
        Slot *slot = fitsX(size) ? freeSlot(bytesOf(size)) : nullptr;
        return slot ? slot->segment->picture(size) : QImage(size, QImage::Format_RGB32);
    }

    bool put(const QImage &picture)
    {
        const QSize size = picture.size();
        if (broken_ || !fitsX(size) || picture.format() != QImage::Format_RGB32)
            return false;
        Slot *slot = holding(picture);
        if (slot) {
            if (!waitFor(*slot)) // the same picture again, e.g. for an expose
                return false;
        } else {
            slot = freeSlot(bytesOf(size));
            if (!slot)
                return false;
            const qsizetype row = qsizetype(size.width()) * 4;
            for (int y = 0; y < size.height(); ++y)
                std::memcpy(slot->segment->data() + y * row, picture.constScanLine(y), size_t(row));
        }
        const xcb_void_cookie_t cookie = xcb_shm_put_image(
            c_, window_, gc_, uint16_t(size.width()), uint16_t(size.height()), 0, 0,
            uint16_t(size.width()), uint16_t(size.height()), 0, 0, 24, XCB_IMAGE_FORMAT_Z_PIXMAP,
            1, slot->segment->id(), 0);
        slot->pending = true;
        slot->sequence = cookie.sequence;
        return xcb_flush(c_) > 0;
    }

private:
    // The slot whose segment `picture` lies in, as newPicture() made it.
    Slot *holding(const QImage &picture)
    {
        for (Slot &s : slots_) {
            if (s.segment && picture.constBits() == s.segment->data()
                && picture.bytesPerLine() == qsizetype(picture.width()) * 4)
                return &s;
        }
        return nullptr;
    }

    // A slot with a segment of at least `bytes` that holds no picture and that the server has
    // finished reading; nullptr when none can be had.
    Slot *freeSlot(std::size_t bytes)
    {
        collect();
        Slot *slot = nullptr;
        for (Slot &s : slots_) {
            if (s.segment && !s.segment->pictured() && (!slot || (slot->pending && !s.pending)))
                slot = &s;
        }
        if (!slot) {
            for (Slot &s : slots_) {
                if (!s.segment) {
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
        if (!waitFor(*slot))
            return nullptr;
        if (!slot->segment || slot->segment->pictured() || slot->segment->size() < bytes) {
            slot->segment.reset();
            slot->segment = x11shm::Segment::create(connection_, bytes);
            if (!slot->segment)
                return nullptr;
        }
        return slot;
    }

    // Takes in the events already read from the server. Waiting for the capture's reply has
    // read the completions of earlier puts by the time a new picture is wanted, so no call on
    // the socket is needed here.
    void collect()
    {
        while (xcb_generic_event_t *event = xcb_poll_for_queued_event(c_))
            take(event);
    }

    // Until the server has finished reading the slot's segment for its last put.
    bool waitFor(Slot &slot)
    {
        while (slot.pending) {
            xcb_generic_event_t *event = xcb_wait_for_event(c_);
            if (!event) {
                broken_ = true;
                return false;
            }
            take(event);
        }
        return true;
    }

    // A put is done when its completion event comes, or the error it caused (the window gone).
    void take(xcb_generic_event_t *event)
    {
        const uint8_t type = event->response_type & 0x7f;
        for (Slot &s : slots_) {
            if (!s.pending || !s.segment)
                continue;
            if (type == connection_->completionEvent()
                    ? reinterpret_cast<xcb_shm_completion_event_t *>(event)->shmseg == s.segment->id()
                    : type == 0 && event->full_sequence == s.sequence)
                s.pending = false;
        }
        free(event);
    }

    std::shared_ptr<x11shm::Connection> connection_;
    xcb_connection_t *c_;
    xcb_window_t window_;
    xcb_gcontext_t gc_;
    std::array<Slot, kSlots> slots_;
    std::size_t next_ = 0;
    bool broken_ = false;
};

std::unique_ptr<WindowOutput> WindowOutput::create(QWidget *widget)
{
    std::shared_ptr<x11shm::Connection> connection = x11shm::Connection::get();
    if (!connection)
        return nullptr;
    const WId window = widget->winId();
    xcb_connection_t *c = connection->c();
    xcb_get_geometry_reply_t *geometry = xcb_get_geometry_reply(c, xcb_get_geometry(c, xcb_window_t(window)), nullptr);
    const bool depth24 = geometry && geometry->depth == 24;
    free(geometry);
    if (!depth24)
        return nullptr;
    return std::unique_ptr<WindowOutput>(
        new WindowOutput(std::make_unique<Private>(std::move(connection), xcb_window_t(window))));
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
