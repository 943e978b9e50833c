#include "platform/x11/serverView.h"
#include "platform/capture.h"
#include "platform/x11/x11shm.h"

#include <QGuiApplication>
#include <QPointer>
#include <cmath>
#include <cstdlib>

#include <xcb/damage.h>
#include <xcb/render.h>
#include <xcb/xcb_renderutil.h>

namespace {

constexpr xcb_render_color_t kBlack{0, 0, 0, 0xffff};

// X carries sizes as 16-bit numbers.
bool fitsX(QSize size)
{
    return !size.isEmpty() && size.width() <= 32767 && size.height() <= 32767;
}

// Scaling transforms and filters came with RENDER 0.6.
bool renderWithTransforms(xcb_connection_t *c)
{
    const xcb_query_extension_reply_t *ext = xcb_get_extension_data(c, &xcb_render_id);
    if (!ext || !ext->present)
        return false;
    xcb_render_query_version_reply_t *v =
        xcb_render_query_version_reply(c, xcb_render_query_version(c, 0, 11), nullptr);
    const bool yes = v && (v->major_version > 0 || v->minor_version >= 6);
    free(v);
    return yes;
}

// Whether a copy by `a` brings the very pixels a copy by `b` brings.
bool samePlan(const CapturePlan &a, const CapturePlan &b)
{
    if (a.pictureSize != b.pictureSize || a.coversPicture != b.coversPicture || a.pieces.size() != b.pieces.size())
        return false;
    for (qsizetype i = 0; i < a.pieces.size(); ++i) {
        if (a.pieces[i].source != b.pieces[i].source || a.pieces[i].destination != b.pieces[i].destination)
            return false;
    }
    return true;
}

// A damage object on the root window: the server then tells which parts of the screen have
// been drawn on, by any client, or by a compositing manager's repaint where one runs. Each part
// is told once until the damage is cleared (delta rectangles), so a part of the screen that
// keeps changing away from the view costs one notice between two copies, not one per drawing.
// 0 without DAMAGE 1.1 or when the server refuses it; `notify` is its notice's event code.
xcb_damage_damage_t watchScreen(xcb_connection_t *c, xcb_window_t root, std::uint8_t &notify)
{
    const xcb_query_extension_reply_t *ext = xcb_get_extension_data(c, &xcb_damage_id);
    if (!ext || !ext->present)
        return 0;
    // The server takes no other DAMAGE request from a client that has not told its version.
    xcb_damage_query_version_reply_t *v =
        xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr);
    const bool yes = v && (v->major_version > 1 || (v->major_version == 1 && v->minor_version >= 1));
    free(v);
    if (!yes)
        return 0;
    const xcb_damage_damage_t damage = xcb_generate_id(c);
    xcb_generic_error_t *error = xcb_request_check(
        c, xcb_damage_create_checked(c, damage, root, XCB_DAMAGE_REPORT_LEVEL_DELTA_RECTANGLES));
    if (error) {
        free(error);
        return 0;
    }
    notify = std::uint8_t(ext->first_event + XCB_DAMAGE_NOTIFY);
    return damage;
}

const xcb_visualtype_t *visualType(const xcb_screen_t *screen, xcb_visualid_t visual)
{
    for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem; xcb_depth_next(&d)) {
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) {
            if (v.data->visual_id == visual)
                return v.data;
        }
    }
    return nullptr;
}

// One channel of a pixel, by its mask, made 8 bits wide as Qt widens it: fewer bits repeated
// from the top, more cut to their top eight.
int channel(quint32 pixel, quint32 mask)
{
    if (mask == 0)
        return 0;
    int shift = 0, bits = 0;
    while (!((mask >> shift) & 1u))
        ++shift;
    while ((mask >> (shift + bits)) & 1u)
        ++bits;
    const quint32 v = (pixel & mask) >> shift;
    if (bits >= 8)
        return int(v >> (bits - 8));
    quint32 wide = 0;
    for (int filled = 0; filled < 8; filled += bits)
        wide |= (v << (8 - bits)) >> filled;
    return int(wide & 0xff);
}

} // namespace

class ServerView::Private
{
public:
    std::shared_ptr<x11shm::Connection> connection_;
    xcb_connection_t *c_ = nullptr;
    QPointer<QWidget> widget_;
    xcb_window_t window_ = 0;
    xcb_render_picture_t windowPicture_ = 0;
    xcb_render_pictformat_t captureFormat_ = 0; // of the screen's visual, which the root has
    xcb_gcontext_t gc_ = 0;
    unsigned long errors_ = 0; // the connection's errors when this view began

    xcb_pixmap_t pixmap_ = 0;
    xcb_render_picture_t picture_ = 0;
    QSize pixmapSize_;
    bool captured_ = false;
    QSize shownSize_;     // device-independent, as show() was last given it
    QSize transformFor_;  // device pixels the capture picture's transform scales it to

    // With damage reported, a tick copies only when what the pixmap holds may differ from the
    // screen, and composites only when the window's picture would differ from the last one.
    // Without it (0), every tick copies and composites.
    xcb_damage_damage_t damage_ = 0;
    std::uint8_t damageNotify_ = 0;
    CapturePlan capturedPlan_; // what the pixmap holds, while captured_
    bool dirty_ = false;       // the screen has been drawn on in capturedPlan_ since its copy
    bool fresh_ = false;       // copied since the last composite
    bool shown_ = false;       // the window shows what the fields below say
    bool shownCapture_ = false;
    QSize shownDevice_;
    QSize shownWindow_;

    ~Private()
    {
        if (connection_)
            connection_->unlisten(this);
        if (damage_)
            xcb_damage_destroy(c_, damage_);
        freeCapture();
        if (windowPicture_)
            xcb_render_free_picture(c_, windowPicture_);
        if (gc_)
            xcb_free_gc(c_, gc_);
        xcb_flush(c_);
    }

    void freeCapture()
    {
        if (picture_)
            xcb_render_free_picture(c_, picture_);
        if (pixmap_)
            xcb_free_pixmap(c_, pixmap_);
        picture_ = 0;
        pixmap_ = 0;
        pixmapSize_ = QSize();
        transformFor_ = QSize();
    }

    // A capture pixmap of `size` with its picture, kept while the size stays the same.
    void ensurePixmap(QSize size)
    {
        if (pixmap_ && pixmapSize_ == size)
            return;
        freeCapture();
        const xcb_screen_t *screen = connection_->screen();
        pixmap_ = xcb_generate_id(c_);
        xcb_create_pixmap(c_, screen->root_depth, pixmap_, screen->root, uint16_t(size.width()),
                          uint16_t(size.height()));
        picture_ = xcb_generate_id(c_);
        xcb_render_create_picture(c_, picture_, pixmap_, captureFormat_, 0, nullptr);
        static const char nearest[] = "nearest";
        xcb_render_set_picture_filter(c_, picture_, sizeof nearest - 1, nearest, 0, nullptr);
        pixmapSize_ = size;
    }

    // A notice from the server: the screen has been drawn on, or the window is gone.
    void noticed(const xcb_generic_event_t &event)
    {
        if ((event.response_type & 0x7f) == XCB_DESTROY_NOTIFY
            && reinterpret_cast<const xcb_destroy_notify_event_t &>(event).window == window_) {
            // Drawn again, so that the server refuses it and the program takes the view over.
            shown_ = false;
            return;
        }
        if (!damage_ || (event.response_type & 0x7f) != damageNotify_)
            return;
        const auto &notice = reinterpret_cast<const xcb_damage_notify_event_t &>(event);
        if (notice.damage != damage_ || !captured_ || dirty_)
            return;
        // The window's own composite is reported too, as the window's rectangle (or, under a
        // compositing manager, as its repaint of that rectangle): it meets the capture only
        // when the view looks at itself, and then it must be copied again, as any change.
        const QRect area(notice.area.x, notice.area.y, notice.area.width, notice.area.height);
        for (const CapturePiece &piece : capturedPlan_.pieces) {
            if (piece.source.intersects(area)) {
                dirty_ = true;
                return;
            }
        }
    }

    void capture(const QRect &request)
    {
        CapturePlan plan = planCapture(currentScreens(), request);
        if (!fitsX(plan.pictureSize)) {
            captured_ = false;
            return;
        }
        // The notices of everything drawn before the server answered this tick's pointer
        // reading came in ahead of that answer.
        connection_->dispatch(false);
        if (damage_ && captured_ && !dirty_ && samePlan(plan, capturedPlan_))
            return; // the pixmap holds what a copy would bring
        ensurePixmap(plan.pictureSize);
        if (damage_) {
            // Cleared before the copy, never after it. The server tells of a part of the
            // screen only the first time it is drawn on after a clearing. Cleared first, a
            // drawing that lands between the clearing and the copy is in the copy and is told
            // again besides (one copy too many, at worst). Cleared after, a drawing that
            // landed between the copy and the clearing, on a part already told of, would be
            // neither in the copy nor told again: the view would keep the old pixels until
            // that part was drawn on once more.
            xcb_damage_subtract(c_, damage_, XCB_NONE, XCB_NONE);
        }
        if (!plan.coversPicture) {
            const xcb_rectangle_t all{0, 0, uint16_t(pixmapSize_.width()), uint16_t(pixmapSize_.height())};
            xcb_render_fill_rectangles(c_, XCB_RENDER_PICT_OP_SRC, picture_, kBlack, 1, &all);
        }
        for (const CapturePiece &piece : plan.pieces) {
            xcb_copy_area(c_, connection_->root(), pixmap_, gc_, int16_t(piece.source.x()),
                          int16_t(piece.source.y()), int16_t(piece.destination.x()),
                          int16_t(piece.destination.y()), uint16_t(piece.source.width()),
                          uint16_t(piece.source.height()));
        }
        capturedPlan_ = std::move(plan);
        captured_ = true;
        dirty_ = false;
        fresh_ = true;
    }

    // Whether the view can still be drawn: nothing refused so far, the connection whole, and
    // the widget still on the X window the picture was made for.
    bool usable()
    {
        if (!widget_ || widget_->winId() != WId(window_))
            return false;
        return connection_->dispatch(false) && connection_->errors() == errors_;
    }

    // `again` for an expose, which must be drawn whatever the window showed before.
    bool show(QSize size, bool again)
    {
        if (!usable())
            return false;
        shownSize_ = size;
        const qreal ratio = widget_->devicePixelRatio();
        const QSize device(int(std::ceil(size.width() * ratio)), int(std::ceil(size.height() * ratio)));
        const QSize window(int(std::ceil(widget_->width() * ratio)), int(std::ceil(widget_->height() * ratio)));
        const bool showsCapture = captured_ && fitsX(device);
        if (damage_ && !again && shown_ && !fresh_ && showsCapture == shownCapture_ && device == shownDevice_
            && window == shownWindow_)
            return true; // the window holds this very picture
        if (showsCapture) {
            if (transformFor_ != device) {
                // The step of the nearest-neighbour table the program scales with: the ratio
                // cut to 16 fractional bits. The server's sampling at each pixel's middle then
                // picks the very source pixel that table picks.
                const auto step = [](int from, int to) {
                    return xcb_render_fixed_t(std::int64_t(from) * 65536 / to);
                };
                const xcb_render_transform_t scale{step(pixmapSize_.width(), device.width()), 0, 0,
                                                   0, step(pixmapSize_.height(), device.height()), 0,
                                                   0, 0, 65536};
                xcb_render_set_picture_transform(c_, picture_, scale);
                transformFor_ = device;
            }
            xcb_render_composite(c_, XCB_RENDER_PICT_OP_SRC, picture_, XCB_NONE, windowPicture_, 0, 0,
                                 0, 0, 0, 0, uint16_t(device.width()), uint16_t(device.height()));
        } else {
            fill(QRect(QPoint(0, 0), device));
        }
        // A window made larger than the last picture shows black beyond it, never old pixels.
        if (window.width() > device.width())
            fill(QRect(device.width(), 0, window.width() - device.width(), window.height()));
        if (window.height() > device.height())
            fill(QRect(0, device.height(), device.width(), window.height() - device.height()));
        fresh_ = false;
        shown_ = true;
        shownCapture_ = showsCapture;
        shownDevice_ = device;
        shownWindow_ = window;
        return xcb_flush(c_) > 0;
    }

    void fill(const QRect &r)
    {
        if (!fitsX(r.size()))
            return;
        const xcb_rectangle_t rect{int16_t(r.x()), int16_t(r.y()), uint16_t(r.width()), uint16_t(r.height())};
        xcb_render_fill_rectangles(c_, XCB_RENDER_PICT_OP_SRC, windowPicture_, kBlack, 1, &rect);
    }

    QImage capturedPicture() const
    {
        if (!captured_ || !pixmap_)
            return QImage();
        const xcb_screen_t *screen = connection_->screen();
        const xcb_visualtype_t *visual = visualType(screen, screen->root_visual);
        xcb_get_image_reply_t *reply = xcb_get_image_reply(
            c_,
            xcb_get_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap_, 0, 0, uint16_t(pixmapSize_.width()),
                          uint16_t(pixmapSize_.height()), ~0u),
            nullptr);
        if (!reply || !visual) {
            free(reply);
            return QImage();
        }
        const xcb_setup_t *setup = xcb_get_setup(c_);
        int bits = 0, pad = 32;
        for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f)) {
            if (f.data->depth == reply->depth) {
                bits = f.data->bits_per_pixel;
                pad = f.data->scanline_pad;
            }
        }
        const int width = pixmapSize_.width();
        const int stride = ((width * bits + pad - 1) / pad) * pad / 8;
        const int bytes = bits / 8;
        QImage picture;
        if ((bytes == 2 || bytes == 4)
            && xcb_get_image_data_length(reply) >= stride * pixmapSize_.height()) {
            picture = QImage(pixmapSize_, QImage::Format_RGB32);
            const uint8_t *data = xcb_get_image_data(reply);
            const bool msb = setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST;
            for (int y = 0; y < pixmapSize_.height(); ++y) {
                auto *line = reinterpret_cast<QRgb *>(picture.scanLine(y));
                for (int x = 0; x < width; ++x) {
                    const uint8_t *p = data + y * stride + x * bytes;
                    quint32 v = 0;
                    for (int i = 0; i < bytes; ++i)
                        v |= quint32(p[msb ? i : bytes - 1 - i]) << (8 * (bytes - 1 - i));
                    line[x] = qRgb(channel(v, visual->red_mask), channel(v, visual->green_mask),
                                   channel(v, visual->blue_mask));
                }
            }
        }
        free(reply);
        return picture;
    }
};

std::unique_ptr<ServerView> ServerView::create(QWidget *widget)
{
    if (qEnvironmentVariableIsSet("VIZZOLEN_NO_RENDER"))
        return nullptr;
    std::shared_ptr<x11shm::Connection> connection = x11shm::Connection::get();
    if (!connection)
        return nullptr;
    xcb_connection_t *c = connection->c();
    if (!renderWithTransforms(c))
        return nullptr;
    const xcb_render_query_pict_formats_reply_t *formats = xcb_render_util_query_formats(c);
    if (!formats)
        return nullptr;

    const xcb_window_t window = xcb_window_t(widget->winId());
    // Qt has sent the window's creation on its own connection; a round trip there makes sure
    // the server has made it before this connection asks about it.
    if (auto *x11 = qApp->nativeInterface<QNativeInterface::QX11Application>()) {
        xcb_connection_t *qt = x11->connection();
        free(xcb_get_input_focus_reply(qt, xcb_get_input_focus(qt), nullptr));
    }
    xcb_get_window_attributes_reply_t *attributes =
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr);
    const xcb_visualid_t visual = attributes ? attributes->visual : 0;
    free(attributes);
    const xcb_render_pictvisual_t *windowFormat = visual ? xcb_render_util_find_visual_format(formats, visual) : nullptr;
    const xcb_render_pictvisual_t *screenFormat =
        xcb_render_util_find_visual_format(formats, connection->screen()->root_visual);
    if (!windowFormat || !screenFormat)
        return nullptr;

    auto d = std::make_unique<Private>();
    d->c_ = c;
    d->widget_ = widget;
    d->window_ = window;
    d->captureFormat_ = screenFormat->format;
    // Made at start, so this one is asked for the server's answer.
    const xcb_render_picture_t picture = xcb_generate_id(c);
    xcb_generic_error_t *error = xcb_request_check(
        c, xcb_render_create_picture_checked(c, picture, window, windowFormat->format, 0, nullptr));
    if (error) {
        free(error);
        return nullptr;
    }
    d->windowPicture_ = picture;
    // The screen as the user sees it, the windows on it included, and no exposure events for
    // the parts that lie under other windows.
    const uint32_t values[] = {XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS, 0};
    d->gc_ = xcb_generate_id(c);
    xcb_create_gc(c, d->gc_, connection->root(), XCB_GC_SUBWINDOW_MODE | XCB_GC_GRAPHICS_EXPOSURES, values);
    d->damage_ = watchScreen(c, connection->root(), d->damageNotify_);
    if (d->damage_) {
        // A window destroyed under the view would otherwise go unnoticed for as long as the
        // screen stays still.
        const uint32_t structure = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        xcb_change_window_attributes(c, window, XCB_CW_EVENT_MASK, &structure);
    }
    connection->dispatch(false);
    d->errors_ = connection->errors();
    connection->listen(d.get(), [view = d.get()](const xcb_generic_event_t &event) { view->noticed(event); });
    d->connection_ = std::move(connection);
    return std::unique_ptr<ServerView>(new ServerView(std::move(d)));
}

ServerView::ServerView(std::unique_ptr<Private> d) : d(std::move(d)) {}

ServerView::~ServerView() = default;

void ServerView::capture(const QRect &request)
{
    d->capture(request);
}

void ServerView::dropCapture()
{
    d->captured_ = false;
}

bool ServerView::show(QSize size)
{
    return d->show(size, false);
}

bool ServerView::repaint()
{
    return d->show(d->shownSize_, true);
}

QImage ServerView::capturedPicture() const
{
    return d->capturedPicture();
}
