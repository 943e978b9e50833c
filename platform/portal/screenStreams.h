#pragma once

#include "platform/portal/streamFrame.h"

#include <QImage>
#include <QList>
#include <QPoint>
#include <QRect>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

// The desktop's screen streams, one per shared monitor, read over PipeWire on the main thread:
// PipeWire's loop runs from the program's event loop, so every callback comes between two
// events and no thread of the program's own is needed. Each stream keeps its newest buffer
// with pixels until a newer one comes and gives the older one back; a refresh reads only the
// pixels it shows, never a whole frame. The pointer is the latest valid position of the
// streams' cursor metadata.
class ScreenStreams
{
public:
    // Where the portal gave no size, the picture's own is taken; where a stream's picture
    // changes size (its monitor's mode), its area changes by as much.
    using Stream = portal::SharedMonitor;

    enum class Failure {
        Connection, // the connection to PipeWire broke
        Stream,     // a stream failed or went away
    };

    // Connects over `fd` (a PipeWire remote; taken over, closed in every case) to the
    // streams. `failed` is called at most once, from the event loop, never from within a
    // call of this class; after it the streams show nothing. Nullptr when the remote cannot
    // be used at all.
    static std::unique_ptr<ScreenStreams> open(int fd, const QList<Stream> &streams,
                                               std::function<void(Failure)> failed);
    ~ScreenStreams();
    ScreenStreams(const ScreenStreams &) = delete;
    ScreenStreams &operator=(const ScreenStreams &) = delete;

    // The pointer in the desktop's coordinates, from the latest cursor position any stream
    // gave; false while none has.
    bool pointer(QPoint &desktop) const;
    // Whether any stream holds a frame with pixels.
    bool hasFrame() const;
    // Whether the newest frame of one stream shows all of the desktop rectangle `rect`.
    bool covers(const QRect &rect) const;
    // What the newest frames show of the desktop rectangle `rect`, drawn into the Format_RGB32
    // `picture` with the rectangle's corner at `at`; what lies on no frame is left as it is.
    void draw(const QRect &rect, QImage &picture, QPoint at) const;

    // For tests and the benchmark: buffers taken in so far, with pixels and with only a cursor
    // update (or nothing usable).
    std::uint64_t framesReceived() const;
    std::uint64_t otherBuffersReceived() const;

private:
    class Private;
    explicit ScreenStreams(std::unique_ptr<Private> d);
    std::unique_ptr<Private> d;
};
