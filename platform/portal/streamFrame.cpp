#include "platform/portal/streamFrame.h"
#include "platform/pixels.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace portal {

namespace {

constexpr std::int32_t kChunkCorrupted = 1; // SPA_CHUNK_FLAG_CORRUPTED

bool aligned(const uchar *p)
{
    return reinterpret_cast<std::uintptr_t>(p) % 4 == 0;
}

// One pixel in Format_RGB32 (0xffRRGGBB) from four bytes in `order`.
inline quint32 rgb32(const uchar *p, PixelOrder order)
{
    quint32 v;
    std::memcpy(&v, p, 4);
    if (order == PixelOrder::RGBx || order == PixelOrder::RGBA) // bytes R, G, B, x
        v = (v & 0x0000ff00u) | ((v & 0xffu) << 16) | ((v >> 16) & 0xffu);
    return v | 0xff000000u;
}

void copyRow(uchar *destination, const uchar *source, int pixels, PixelOrder order)
{
    if (order == PixelOrder::BGRx || order == PixelOrder::BGRA) {
        copyOpaque(destination, source, pixels); // the bytes Format_RGB32 has on this machine
        return;
    }
    auto *d = reinterpret_cast<quint32 *>(destination);
    for (int i = 0; i < pixels; ++i)
        d[i] = rgb32(source + std::size_t(i) * 4, order);
}

// The frame column or row that shows desktop coordinate `v` of an area starting at `start`,
// `length` long, which `pixels` frame pixels fill.
inline std::int64_t framePixel(std::int64_t v, int start, int length, int pixels)
{
    const std::int64_t d = v - start;
    const std::int64_t scaled = d * pixels;
    // Floor, also for points left of or above the area.
    return scaled >= 0 ? scaled / length : -((-scaled + length - 1) / length);
}

} // namespace

FrameView viewFrame(const BufferFacts &facts, QSize formatSize, PixelOrder order)
{
    FrameView view;
    const int width = formatSize.width();
    const int height = formatSize.height();
    if (width <= 0 || height <= 0 || width > kMaxFrameSide || height > kMaxFrameSide)
        return view;
    if ((facts.chunkFlags & kChunkCorrupted) || facts.corrupted || facts.size == 0)
        return view; // a buffer that only moves the cursor, or whose pixels cannot be trusted
    if (!facts.memory || facts.offset >= facts.mapped)
        return view;
    const std::int64_t row = std::int64_t(width) * 4;
    const std::int64_t stride = facts.stride;
    if (stride < row || stride % 4 != 0)
        return view;
    const uchar *start = facts.memory + facts.offset;
    if (!aligned(start))
        return view;
    const std::uint64_t available = std::min<std::uint64_t>(facts.size, facts.mapped - facts.offset);
    if (available < std::uint64_t(row))
        return view;
    const std::int64_t rows = std::min<std::int64_t>(height, std::int64_t(available - row) / stride + 1);

    QRect picture(0, 0, width, height);
    if (facts.cropped && facts.cropWidth > 0 && facts.cropHeight > 0) {
        // In 64 bits: the region's numbers are the compositor's, any of them.
        const std::int64_t left = std::max<std::int64_t>(facts.cropX, 0);
        const std::int64_t top = std::max<std::int64_t>(facts.cropY, 0);
        const std::int64_t right = std::min<std::int64_t>(std::int64_t(facts.cropX) + facts.cropWidth, width);
        const std::int64_t bottom = std::min<std::int64_t>(std::int64_t(facts.cropY) + facts.cropHeight, height);
        if (left >= right || top >= bottom)
            return view;
        picture = QRect(int(left), int(top), int(right - left), int(bottom - top));
    }
    const QRect readable = picture.intersected(QRect(0, 0, width, int(rows)));
    if (readable.isEmpty())
        return view;
    view.first = start + picture.y() * stride + std::int64_t(picture.x()) * 4;
    view.stride = stride;
    view.size = picture.size();
    view.origin = picture.topLeft();
    view.valid = readable.translated(-picture.topLeft());
    view.order = order;
    return view;
}

QPoint toFrame(const StreamPlace &place, QPoint desktop)
{
    return QPoint(int(framePixel(desktop.x(), place.area.x(), place.area.width(), place.frame.width())),
                  int(framePixel(desktop.y(), place.area.y(), place.area.height(), place.frame.height())));
}

QPoint toDesktop(const StreamPlace &place, QPoint pixel)
{
    return QPoint(place.area.x() + int(framePixel(pixel.x(), 0, place.frame.width(), place.area.width())),
                  place.area.y() + int(framePixel(pixel.y(), 0, place.frame.height(), place.area.height())));
}

void copyFromFrame(const FrameView &frame, const StreamPlace &place, const QRect &rect, QImage &picture,
                   QPoint at)
{
    if (frame.isNull() || place.isNull() || picture.format() != QImage::Format_RGB32)
        return;
    // The desktop points that lie on the picture, on the stream's area and, through it, on the
    // frame's valid part. The mapping only grows, so those make one run of columns and rows.
    const QRect wanted =
        rect.intersected(QRect(rect.topLeft() - at, picture.size())).intersected(place.area);
    if (wanted.isEmpty())
        return;

    const StreamPlace &p = place;
    std::vector<int> columns;
    columns.reserve(std::size_t(wanted.width()));
    int firstColumn = -1;
    for (int x = wanted.left(); x <= wanted.right(); ++x) {
        const std::int64_t fx = framePixel(x, p.area.x(), p.area.width(), p.frame.width());
        if (fx < frame.valid.left() || fx > frame.valid.right()) {
            if (firstColumn >= 0)
                break;
            continue;
        }
        if (firstColumn < 0)
            firstColumn = x;
        columns.push_back(int(fx));
    }
    if (columns.empty())
        return;
    const bool unit = p.area.width() == p.frame.width();
    const int pixels = int(columns.size());
    const int toX = at.x() + (firstColumn - rect.left());
    for (int y = wanted.top(); y <= wanted.bottom(); ++y) {
        const std::int64_t fy = framePixel(y, p.area.y(), p.area.height(), p.frame.height());
        if (fy < frame.valid.top() || fy > frame.valid.bottom())
            continue;
        const uchar *source = frame.first + fy * frame.stride;
        uchar *destination = picture.scanLine(at.y() + (y - rect.top())) + std::size_t(toX) * 4;
        if (unit) {
            copyRow(destination, source + std::size_t(columns.front()) * 4, pixels, frame.order);
        } else {
            auto *d = reinterpret_cast<quint32 *>(destination);
            for (int i = 0; i < pixels; ++i)
                d[i] = rgb32(source + std::size_t(columns[std::size_t(i)]) * 4, frame.order);
        }
    }
}

} // namespace portal
