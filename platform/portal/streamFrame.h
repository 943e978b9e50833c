#pragma once

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <cstdint>

// The frames of the desktop's screen streams, as plain numbers: what a buffer may be read for,
// and how a stream's pixels lie on the desktop. Nothing here speaks PipeWire, so that every rule
// can be checked with made-up buffers.
namespace portal {

// The byte order of a stream's 32-bit pixels in memory.
enum class PixelOrder : std::uint8_t { BGRx, BGRA, RGBx, RGBA };

// The largest frame side taken: more than any monitor has, and small enough that no product of
// sizes and strides leaves 64 bits.
constexpr int kMaxFrameSide = 16384;

// What a buffer says of its pixels, copied out of the shared memory once: the compositor can
// write there at any time, so no number is read from it twice.
struct BufferFacts
{
    const uchar *memory = nullptr; // the mapped data
    std::uint64_t mapped = 0;      // how many bytes are mapped at `memory`
    std::uint32_t offset = 0;      // the chunk's
    std::uint32_t size = 0;
    std::int32_t stride = 0;
    std::int32_t chunkFlags = 0;
    bool corrupted = false;        // the header's flag
    bool cropped = false;          // whether a crop region came, and if so, the region:
    std::int32_t cropX = 0;
    std::int32_t cropY = 0;
    std::uint32_t cropWidth = 0;
    std::uint32_t cropHeight = 0;
};

// The picture of one frame, and what of it may be read: pixel (x, y) of the picture, for (x, y)
// in `valid`, is the four bytes at first + y * stride + x * 4. The picture is the buffer's crop
// region where it has one (a compositor may pad its buffers), else the whole frame.
struct FrameView
{
    const uchar *first = nullptr;
    std::int64_t stride = 0;
    QSize size;    // the picture's
    QPoint origin; // where it starts in the buffer's frame, whose pixels the cursor counts
    QRect valid;   // the part of the picture that lies in the mapped memory
    PixelOrder order = PixelOrder::BGRx;

    bool isNull() const { return valid.isEmpty(); }
};

// A view of the buffer's frame of `formatSize`, or a null one when the buffer carries no pixels
// (only a cursor update, or flagged corrupted) or its numbers do not fit in its memory: a stride
// shorter than a row, an offset or a size past the end, misaligned pixels, a crop off the frame.
// A chunk cut short gives the rows it holds; a crop region over the frame's edge is the part of
// it on the frame, and a crop of no size is none.
FrameView viewFrame(const BufferFacts &facts, QSize formatSize, PixelOrder order);

// A monitor the desktop shares: its stream's node, and its area in the desktop's coordinates as
// the portal gives it (an empty size where it gave none).
struct SharedMonitor
{
    std::uint32_t node = 0;
    QRect area;
};

// Where a stream's picture lies on the desktop: its monitor's area in the desktop's
// coordinates, which the picture's pixels fill. A scaled monitor's picture has more pixels than
// its area.
struct StreamPlace
{
    QRect area;
    QSize frame;

    bool isNull() const { return area.isEmpty() || frame.isEmpty(); }
};

// The frame pixel that shows the desktop point `desktop` (which may lie off the frame).
QPoint toFrame(const StreamPlace &place, QPoint desktop);
// The desktop point a frame pixel shows.
QPoint toDesktop(const StreamPlace &place, QPoint pixel);

// Copies what the frame shows of the desktop rectangle `rect` into `picture` with the
// rectangle's top-left corner at `at`, one desktop point a picture pixel (each the frame pixel
// that holds the point's top-left corner); leaves alone the picture's pixels whose points lie
// off the frame or outside its valid part, and everything beyond the picture. `picture` is
// Format_RGB32.
void copyFromFrame(const FrameView &frame, const StreamPlace &place, const QRect &rect, QImage &picture,
                   QPoint at);

} // namespace portal
