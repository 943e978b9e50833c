#pragma once

// MIT-SHM plumbing shared by the screen capture and the display window's output. Only platform/
// includes this header.

#include <QImage>
#include <QSize>
#include <atomic>
#include <cstddef>
#include <memory>

#include <xcb/shm.h>
#include <xcb/xcb.h>

namespace x11shm {

// The process's own connection to the X server that Qt's xcb platform talks to. Qt's own
// connection is read by a thread of Qt's, which takes every reply and hands it over: a round
// trip there costs more than the request itself.
class Connection
{
public:
    // The one connection, opened on first use; nullptr unless the platform is xcb, the server
    // has MIT-SHM and depth-24 pixels of 32 bits in the byte order of Format_RGB32, and a second
    // connection reaches that same server.
    static std::shared_ptr<Connection> get();
    ~Connection();

    xcb_connection_t *c() const { return c_; }
    xcb_window_t root() const { return root_; }
    // The event type of MIT-SHM's completion event.
    std::uint8_t completionEvent() const { return completion_; }

private:
    Connection(xcb_connection_t *c, xcb_window_t root, std::uint8_t completion)
        : c_(c), root_(root), completion_(completion) {}

    xcb_connection_t *c_;
    xcb_window_t root_;
    std::uint8_t completion_;
};

// A System V shared-memory segment attached on both sides. It is given up when the last
// reference goes, which pictures over it hold too.
class Segment : public std::enable_shared_from_this<Segment>
{
public:
    // Nullptr when the kernel or the server refuses a segment of that many bytes.
    static std::shared_ptr<Segment> create(std::shared_ptr<Connection> connection, std::size_t bytes);
    ~Segment();

    uchar *data() const { return data_; }
    std::size_t size() const { return size_; }
    xcb_shm_seg_t id() const { return id_; }

    // A Format_RGB32 picture of `size` over the segment's memory; it keeps the segment alive for
    // as long as it or a copy of it exists.
    QImage picture(QSize size);
    // Whether a picture made by picture() still exists.
    bool pictured() const { return pictures_ > 0; }

private:
    Segment(std::shared_ptr<Connection> connection, uchar *data, std::size_t size, xcb_shm_seg_t id)
        : connection_(std::move(connection)), data_(data), size_(size), id_(id) {}

    std::shared_ptr<Connection> connection_;
    uchar *data_;
    std::size_t size_;
    xcb_shm_seg_t id_;
    std::atomic<int> pictures_{0};
};

// X leaves the fourth byte of a depth-24 pixel undefined; Format_RGB32 wants 0xff there, or a
// later conversion to a format with alpha would make the pixel transparent.
void copyOpaque(uchar *destination, const uchar *source, int pixels);

} // namespace x11shm
