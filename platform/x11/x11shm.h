#pragma once

// The program's own X connection and the MIT-SHM plumbing shared by the screen capture, the
// display window's output and the view drawn by the server. Only platform/ includes this header.

#include <QImage>
#include <QSize>
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include <xcb/shm.h>
#include <xcb/xcb.h>

namespace x11shm {

class Segment;

// The process's own connection to the X server that Qt's xcb platform talks to. Qt's own
// connection is read by a thread of Qt's, which takes every reply and hands it over: a round
// trip there costs more than the request itself.
class Connection
{
public:
    // The one connection, opened on first use; nullptr unless the platform is xcb and a second
    // connection reaches that same server.
    static std::shared_ptr<Connection> get();
    ~Connection();

    xcb_connection_t *c() const { return c_; }
    const xcb_screen_t *screen() const { return screen_; }
    xcb_window_t root() const { return root_; }
    // Whether the server offers MIT-SHM.
    bool shm() const { return completion_ != 0; }
    // Whether a window of this depth and visual holds its pixels as Format_RGB32 does.
    bool rgb32(std::uint8_t depth, xcb_visualid_t visual) const;
    // Whether shared memory can carry the screen's pixels as Format_RGB32 holds them.
    bool shmRgb32() const { return shm() && rgb32(screen_->root_depth, screen_->root_visual); }

    // Takes in the events read from the server so far (with `wait`, waiting for one first),
    // telling each segment when the server is done with a put from it. False once the
    // connection has broken.
    bool dispatch(bool wait);
    // How many errors of requests that expect no reply, puts aside, have come in so far.
    unsigned long errors() const { return errors_; }
    // Hands every other event that dispatch() takes in (an extension's notices) to `listener`
    // until unlisten(owner). Events are only ever read from the server when a reply is awaited
    // on this connection, so a listener hears of them when the program next asks something,
    // never on a wake-up of its own.
    using Listener = std::function<void(const xcb_generic_event_t &)>;
    void listen(const void *owner, Listener listener);
    void unlisten(const void *owner);

private:
    friend class Segment;
    Connection(xcb_connection_t *c, const xcb_screen_t *screen, std::uint8_t completion, bool fdPassing);

    xcb_connection_t *c_;
    const xcb_screen_t *screen_;
    xcb_window_t root_;
    std::uint8_t completion_; // the MIT-SHM completion event, 0 without MIT-SHM
    bool fdPassing_;
    unsigned long errors_ = 0;
    std::vector<Segment *> segments_; // the open ones, for dispatch()
    std::vector<std::pair<const void *, Listener>> listeners_;
};

// A shared-memory segment attached on both sides. It is given up when the last reference goes,
// which pictures over it hold too.
class Segment : public std::enable_shared_from_this<Segment>
{
public:
    // Nullptr when no segment of that many bytes can be had.
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

    // A put from the segment has gone out as request `sequence`, with a completion event asked.
    void putSent(unsigned int sequence);
    // Whether the server may still be reading the segment for a put.
    bool busy() const { return busy_; }
    // Whether the server refused the last put (the window gone, say).
    bool putFailed() const { return putFailed_; }
    // Until the server is done with the segment; false if the connection broke first.
    bool waitUntilIdle();

private:
    friend class Connection;
    Segment(std::shared_ptr<Connection> connection, uchar *data, std::size_t size, xcb_shm_seg_t id,
            bool mapped);

    std::shared_ptr<Connection> connection_;
    uchar *data_;
    std::size_t size_;
    xcb_shm_seg_t id_;
    bool mapped_; // mmap()ed memory passed by descriptor, else a System V segment
    std::atomic<int> pictures_{0};
    bool busy_ = false;
    bool putFailed_ = false;
    unsigned int putSequence_ = 0;
};

} // namespace x11shm
