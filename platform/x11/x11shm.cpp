#include "platform/x11/x11shm.h"

#include <QGuiApplication>
#include <algorithm>
#include <cstdlib>

#include <xcb/xcb_renderutil.h>

#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <unistd.h>

namespace x11shm {

namespace {

// Whether the connection named by DISPLAY reaches the server Qt talks to (Qt may have been
// given another display on its command line): a pixmap made through Qt's connection, on the
// root window of our screen, must be found through ours.
bool sameServer(xcb_connection_t *qt, xcb_connection_t *c, xcb_window_t root, std::uint8_t depth)
{
    const xcb_pixmap_t probe = xcb_generate_id(qt);
    xcb_generic_error_t *error = xcb_request_check(qt, xcb_create_pixmap_checked(qt, depth, probe, root, 7, 3));
    if (error) {
        free(error);
        return false;
    }
    xcb_get_geometry_reply_t *g = xcb_get_geometry_reply(c, xcb_get_geometry(c, probe), nullptr);
    const bool same = g && g->root == root && g->width == 7 && g->height == 3 && g->depth == depth;
    free(g);
    xcb_free_pixmap(qt, probe);
    xcb_flush(qt);
    return same;
}

const xcb_screen_t *screenNumbered(const xcb_setup_t *setup, int number)
{
    for (auto it = xcb_setup_roots_iterator(setup); it.rem; xcb_screen_next(&it), --number) {
        if (number == 0)
            return it.data;
    }
    return nullptr;
}

// MIT-SHM from version 1.2 takes a segment as a file descriptor. That is the safe way: a System
// V segment is named by a number that a server in another IPC namespace (a container, a
// sandbox) would look up among its own.
bool passesDescriptors(xcb_connection_t *c)
{
    xcb_shm_query_version_reply_t *v = xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr);
    const bool yes = v && (v->major_version > 1 || (v->major_version == 1 && v->minor_version >= 2));
    free(v);
    return yes;
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
    int screenNumber = 0;
    xcb_connection_t *c = xcb_connect(nullptr, &screenNumber);
    const xcb_screen_t *screen = xcb_connection_has_error(c) ? nullptr : screenNumbered(xcb_get_setup(c), screenNumber);
    if (!screen || !sameServer(qt, c, screen->root, screen->root_depth)) {
        xcb_disconnect(c);
        return nullptr;
    }
    const xcb_query_extension_reply_t *ext = xcb_get_extension_data(c, &xcb_shm_id);
    const bool shm = ext && ext->present;
    std::shared_ptr<Connection> open(new Connection(
        c, screen, shm ? std::uint8_t(ext->first_event + XCB_SHM_COMPLETION) : 0, shm && passesDescriptors(c)));
    refused = false;
    shared = open;
    return open;
}

Connection::Connection(xcb_connection_t *c, const xcb_screen_t *screen, std::uint8_t completion, bool fdPassing)
    : c_(c), screen_(screen), root_(screen->root), completion_(completion), fdPassing_(fdPassing)
{
}

Connection::~Connection()
{
    // The picture formats the server's view looked up are kept per connection until told.
    xcb_render_util_disconnect(c_);
    xcb_disconnect(c_);
}

bool Connection::rgb32(std::uint8_t depth, xcb_visualid_t visual) const
{
    const xcb_setup_t *setup = xcb_get_setup(c_);
    if (depth != 24 || setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST)
        return false;
    bool words = false;
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it))
        words |= it.data->depth == 24 && it.data->bits_per_pixel == 32;
    if (!words)
        return false;
    for (auto d = xcb_screen_allowed_depths_iterator(screen_); d.rem; xcb_depth_next(&d)) {
        if (d.data->depth != depth)
            continue;
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) {
            if (v.data->visual_id == visual)
                return v.data->red_mask == 0xff0000 && v.data->green_mask == 0xff00 && v.data->blue_mask == 0xff;
        }
    }
    return false;
}

bool Connection::dispatch(bool wait)
{
    xcb_generic_event_t *event = wait ? xcb_wait_for_event(c_) : xcb_poll_for_queued_event(c_);
    for (; event; event = xcb_poll_for_queued_event(c_)) {
        const std::uint8_t type = event->response_type & 0x7f;
        bool put = false;
        for (Segment *s : segments_) {
            if (!s->busy_)
                continue;
            if (type == completion_ && completion_ != 0
                && reinterpret_cast<xcb_shm_completion_event_t *>(event)->shmseg == s->id_) {
                s->busy_ = false;
            } else if (type == 0 && event->full_sequence == s->putSequence_) {
                s->busy_ = false;
                s->putFailed_ = true;
                put = true;
            }
        }
        if (type == 0 && !put) {
            ++errors_;
        } else if (type != 0 && type != completion_) {
            for (const auto &l : listeners_)
                l.second(*event);
        }
        free(event);
    }
    return !xcb_connection_has_error(c_);
}

void Connection::listen(const void *owner, Listener listener)
{
    listeners_.emplace_back(owner, std::move(listener));
}

void Connection::unlisten(const void *owner)
{
    listeners_.erase(std::remove_if(listeners_.begin(), listeners_.end(),
                                    [owner](const auto &l) { return l.first == owner; }),
                     listeners_.end());
}

std::shared_ptr<Segment> Segment::create(std::shared_ptr<Connection> connection, std::size_t bytes)
{
    if (!connection || !connection->shm() || bytes == 0)
        return nullptr;
    xcb_connection_t *c = connection->c();
    const xcb_shm_seg_t id = xcb_generate_id(c);

    if (connection->fdPassing_) {
        const int fd = memfd_create("vizzolen-shm", MFD_CLOEXEC);
        void *addr = MAP_FAILED;
        if (fd >= 0 && ftruncate(fd, off_t(bytes)) == 0)
            addr = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (addr == MAP_FAILED) {
            if (fd >= 0)
                close(fd);
            return nullptr;
        }
        // XCB closes the descriptor once it is sent; the mapping stays ours.
        xcb_generic_error_t *error = xcb_request_check(c, xcb_shm_attach_fd_checked(c, id, fd, 0));
        if (error) {
            free(error);
            munmap(addr, bytes);
            return nullptr;
        }
        return std::shared_ptr<Segment>(new Segment(std::move(connection), static_cast<uchar *>(addr), bytes, id, true));
    }

    const int shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (shmid < 0)
        return nullptr;
    void *addr = shmat(shmid, nullptr, 0);
    if (addr == reinterpret_cast<void *>(-1)) {
        shmctl(shmid, IPC_RMID, nullptr);
        return nullptr;
    }
    xcb_generic_error_t *error = xcb_request_check(c, xcb_shm_attach_checked(c, id, shmid, 0));
    // Marked for removal at once: the kernel frees it when both sides have detached, even if
    // this process dies.
    shmctl(shmid, IPC_RMID, nullptr);
    if (error) {
        free(error);
        shmdt(addr);
        return nullptr;
    }
    return std::shared_ptr<Segment>(new Segment(std::move(connection), static_cast<uchar *>(addr), bytes, id, false));
}

Segment::Segment(std::shared_ptr<Connection> connection, uchar *data, std::size_t size, xcb_shm_seg_t id, bool mapped)
    : connection_(std::move(connection)), data_(data), size_(size), id_(id), mapped_(mapped)
{
    connection_->segments_.push_back(this);
}

Segment::~Segment()
{
    std::vector<Segment *> &open = connection_->segments_;
    open.erase(std::remove(open.begin(), open.end(), this), open.end());
    // Requests run in order, so a put still queued from this segment is done before the detach.
    xcb_shm_detach(connection_->c(), id_);
    xcb_flush(connection_->c());
    if (mapped_)
        munmap(data_, size_);
    else
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

void Segment::putSent(unsigned int sequence)
{
    busy_ = true;
    putFailed_ = false;
    putSequence_ = sequence;
}

bool Segment::waitUntilIdle()
{
    while (busy_) {
        if (!connection_->dispatch(true))
            return false;
    }
    return true;
}

} // namespace x11shm
