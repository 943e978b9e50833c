#include "platform/x11shm.h"

#include <QGuiApplication>
#include <cstdlib>

#include <sys/ipc.h>
#include <sys/shm.h>

namespace x11shm {

namespace {

// Whether pixels of depth 24 travel as 32-bit little-endian words, as Format_RGB32 holds them.
bool rgb32Pixels(const xcb_setup_t *setup)
{
    if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST)
        return false;
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it)) {
        if (it.data->depth == 24 && it.data->bits_per_pixel == 32)
            return true;
    }
    return false;
}

// A new connection to the display named by DISPLAY, if that is the server Qt talks to (Qt may
// have been given another display on its command line): a pixmap made through Qt's connection
// must be found through the new one.
xcb_connection_t *connectToSameServer(xcb_connection_t *qt, xcb_window_t root)
{
    xcb_connection_t *c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        return nullptr;
    }
    const xcb_pixmap_t probe = xcb_generate_id(qt);
    xcb_generic_error_t *error = xcb_request_check(qt, xcb_create_pixmap_checked(qt, 24, probe, root, 7, 3));
    bool same = false;
    if (error) {
        free(error);
    } else {
        xcb_get_geometry_reply_t *g = xcb_get_geometry_reply(c, xcb_get_geometry(c, probe), nullptr);
        same = g && g->root == root && g->width == 7 && g->height == 3 && g->depth == 24;
        free(g);
        xcb_free_pixmap(qt, probe);
        xcb_flush(qt);
    }
    if (!same) {
        xcb_disconnect(c);
        return nullptr;
    }
    return c;
}

} // namespace

std::shared_ptr<Connection> Connection::get()
{
    static std::weak_ptr<Connection> shared;
    static bool refused = false;
    if (std::shared_ptr<Connection> open = shared.lock())
        return open;
    if (refused)
        return nullptr;

    auto *x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t *qt = x11 ? x11->connection() : nullptr;
    if (!qt)
        return nullptr; // not (yet) on xcb: ask again later
    refused = true;
    const xcb_setup_t *setup = xcb_get_setup(qt);
    const xcb_screen_t *screen = xcb_setup_roots_iterator(setup).data;
    if (!screen || screen->root_depth != 24 || !rgb32Pixels(setup))
        return nullptr;
    xcb_connection_t *c = connectToSameServer(qt, screen->root);
    if (!c)
        return nullptr;
    const xcb_query_extension_reply_t *ext = xcb_get_extension_data(c, &xcb_shm_id);
    if (!ext || !ext->present) {
        xcb_disconnect(c);
        return nullptr;
    }
    refused = false;
    std::shared_ptr<Connection> open(
        new Connection(c, screen->root, std::uint8_t(ext->first_event + XCB_SHM_COMPLETION)));
    shared = open;
    return open;
}

Connection::~Connection()
{
    xcb_disconnect(c_);
}

std::shared_ptr<Segment> Segment::create(std::shared_ptr<Connection> connection, std::size_t bytes)
{
    if (!connection || bytes == 0)
        return nullptr;
    const int shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (shmid < 0)
        return nullptr;
    void *addr = shmat(shmid, nullptr, 0);
    if (addr == reinterpret_cast<void *>(-1)) {
        shmctl(shmid, IPC_RMID, nullptr);
        return nullptr;
    }
    xcb_connection_t *c = connection->c();
    const xcb_shm_seg_t id = xcb_generate_id(c);
    xcb_generic_error_t *error = xcb_request_check(c, xcb_shm_attach_checked(c, id, shmid, 0));
    // Marked for removal at once: the kernel frees it when both sides have detached, even if
    // this process dies.
    shmctl(shmid, IPC_RMID, nullptr);
    if (error) {
        free(error);
        shmdt(addr);
        return nullptr;
    }
    return std::shared_ptr<Segment>(new Segment(std::move(connection), static_cast<uchar *>(addr), bytes, id));
}

Segment::~Segment()
{
    // Requests run in order, so a put still queued from this segment is done before the detach.
    xcb_shm_detach(connection_->c(), id_);
    xcb_flush(connection_->c());
    shmdt(data_);
}

QImage Segment::picture(QSize size)
{
    if (size.isEmpty() || std::size_t(size.width()) * std::size_t(size.height()) * 4 > size_)
        return QImage();
    auto *keep = new std::shared_ptr<Segment>(shared_from_this());
    ++pictures_;
    return QImage(
        data_, size.width(), size.height(), size.width() * 4, QImage::Format_RGB32,
        [](void *info) {
            auto *kept = static_cast<std::shared_ptr<Segment> *>(info);
            --(*kept)->pictures_;
            delete kept;
        },
        keep);
}

void copyOpaque(uchar *destination, const uchar *source, int pixels)
{
    auto *d = reinterpret_cast<quint32 *>(destination);
    const auto *s = reinterpret_cast<const quint32 *>(source);
    for (int i = 0; i < pixels; ++i)
        d[i] = s[i] | 0xff000000u;
}

} // namespace x11shm
