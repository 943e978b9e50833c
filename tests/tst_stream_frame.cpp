// What of a compositor's buffer may be read, and how a stream's frame lies on the desktop: the
// rules, with made-up buffers whose every number can be wrong.

#include "platform/portal/streamFrame.h"

#include <QtTest>
#include <cstring>
#include <vector>

using namespace portal;

namespace {

// A frame whose pixel (x, y) holds its own position: bytes B = y, G = x, R = 0x40 | order tag,
// and a last byte of 0x00 (the undefined fourth byte of BGRx).
struct Memory
{
    std::vector<quint32> words;
    const uchar *bytes() const { return reinterpret_cast<const uchar *>(words.data()); }
    std::uint64_t size() const { return words.size() * 4; }
};

Memory frameMemory(int width, int height, int strideWords, PixelOrder order = PixelOrder::BGRx)
{
    Memory m;
    m.words.assign(std::size_t(strideWords) * std::size_t(height), 0xdeadbeefu);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uchar *p = reinterpret_cast<uchar *>(&m.words[std::size_t(y) * strideWords + x]);
            const uchar r = 0x40, g = uchar(x), b = uchar(y);
            if (order == PixelOrder::BGRx || order == PixelOrder::BGRA) {
                p[0] = b; p[1] = g; p[2] = r; p[3] = 0;
            } else {
                p[0] = r; p[1] = g; p[2] = b; p[3] = 0;
            }
        }
    }
    return m;
}

QRgb expected(int x, int y)
{
    return qRgb(0x40, x & 255, y & 255);
}

BufferFacts facts(const Memory &m, int strideBytes)
{
    BufferFacts f;
    f.memory = m.bytes();
    f.mapped = m.size();
    f.offset = 0;
    f.size = std::uint32_t(m.size());
    f.stride = strideBytes;
    return f;
}

} // namespace

class tst_stream_frame : public QObject
{
    Q_OBJECT

private slots:
    // Every number a buffer carries is checked against the memory that is really mapped: the
    // view holds only rows that lie wholly inside it, or nothing.
    void viewFrame_data()
    {
        QTest::addColumn<int>("offset");      // bytes; -1: the mapped size
        QTest::addColumn<qint64>("size");     // the chunk's; -1: the mapped size
        QTest::addColumn<int>("stride");      // bytes
        QTest::addColumn<int>("chunkFlags");
        QTest::addColumn<bool>("corrupted");
        QTest::addColumn<qint64>("mapped");   // -1: all of the 64 x 40 frame at a stride of 288
        QTest::addColumn<QRect>("crop");      // null: no crop meta
        QTest::addColumn<QRect>("valid");     // of the picture; empty: nothing may be read
        QTest::addColumn<QRect>("picture");   // where the picture lies in the frame; null: all of it

        const QRect all(0, 0, 64, 40);
        const QRect none;
        const int stride = 288; // 72 pixels
        QTest::newRow("whole") << 0 << qint64(-1) << stride << 0 << false << qint64(-1) << QRect() << all << QRect();
        QTest::newRow("tight rows") << 0 << qint64(256 * 40) << 256 << 0 << false << qint64(-1) << QRect() << all << QRect();
        QTest::newRow("stride one pixel short") << 0 << qint64(-1) << 252 << 0 << false << qint64(-1) << QRect() << none << QRect();
        QTest::newRow("stride zero") << 0 << qint64(-1) << 0 << 0 << false << qint64(-1) << QRect() << none << QRect();
        QTest::newRow("stride negative") << 0 << qint64(-1) << -288 << 0 << false << qint64(-1) << QRect() << none << QRect();
        QTest::newRow("stride not whole pixels") << 0 << qint64(-1) << 290 << 0 << false << qint64(-1) << QRect() << none << QRect();
        QTest::newRow("size zero") << 0 << qint64(0) << stride << 0 << false << qint64(-1) << QRect() << none << QRect();
        QTest::newRow("cursor only") << 0 << qint64(0) << stride << 1 << false << qint64(-1) << QRect() << none << QRect();
        QTest::newRow("chunk corrupted") << 0 << qint64(-1) << stride << 1 << false << qint64(-1) << QRect() << none << QRect();
        QTest::newRow("header corrupted") << 0 << qint64(-1) << stride << 0 << true << qint64(-1) << QRect() << none << QRect();
        QTest::newRow("empty flag is no fault") << 0 << qint64(-1) << stride << 2 << false << qint64(-1) << QRect() << all << QRect();
        // The chunk names more bytes than are mapped: only what is mapped counts.
        QTest::newRow("size huge") << 0 << qint64(0xffffffffu) << stride << 0 << false << qint64(-1) << QRect() << all << QRect();
        QTest::newRow("size past the end") << stride << qint64(-1) << stride << 0 << false << qint64(-1) << QRect()
                                           << QRect(0, 0, 64, 39) << QRect();
        // Ten rows and part of an eleventh: the part is not read.
        QTest::newRow("size cut short") << 0 << qint64(stride * 10 + 100) << stride << 0 << false << qint64(-1)
                                        << QRect() << QRect(0, 0, 64, 10) << QRect();
        QTest::newRow("size less than a row") << 0 << qint64(255) << stride << 0 << false << qint64(-1) << QRect() << none << QRect();
        QTest::newRow("mapped less than the frame") << 0 << qint64(-1) << stride << 0 << false << qint64(stride * 5)
                                                    << QRect() << QRect(0, 0, 64, 5) << QRect();
        QTest::newRow("offset at the end") << -1 << qint64(-1) << stride << 0 << false << qint64(-1) << QRect() << none << QRect();
        QTest::newRow("offset past the end") << 1 << qint64(-1) << stride << 0 << false << qint64(100) << QRect() << none << QRect();
        QTest::newRow("offset huge") << int(0x7ffffff0) << qint64(-1) << stride << 0 << false << qint64(-1) << QRect() << none << QRect();
        QTest::newRow("offset misaligned") << 2 << qint64(-1) << stride << 0 << false << qint64(-1) << QRect() << none << QRect();
        QTest::newRow("crop inside") << 0 << qint64(-1) << stride << 0 << false << qint64(-1) << QRect(8, 4, 16, 10)
                                     << QRect(0, 0, 16, 10) << QRect(8, 4, 16, 10);
        QTest::newRow("crop over the edge") << 0 << qint64(-1) << stride << 0 << false << qint64(-1)
                                            << QRect(-10, 30, 100, 100) << QRect(0, 0, 64, 10) << QRect(0, 30, 64, 10);
        QTest::newRow("crop off the frame") << 0 << qint64(-1) << stride << 0 << false << qint64(-1)
                                            << QRect(64, 0, 10, 10) << none << QRect();
        QTest::newRow("crop of no size") << 0 << qint64(-1) << stride << 0 << false << qint64(-1) << QRect(5, 5, 0, 0)
                                         << all << QRect()
        // Ten rows held, a crop from the sixth: its first five rows can be read.
        ; QTest::newRow("crop below the rows held") << 0 << qint64(stride * 10) << stride << 0 << false << qint64(-1)
                                                  << QRect(0, 5, 64, 20) << QRect(0, 0, 64, 5) << QRect(0, 5, 64, 20)
        ; QTest::newRow("crop past the rows held") << 0 << qint64(stride * 10) << stride << 0 << false << qint64(-1)
                                                 << QRect(0, 12, 64, 20) << none << QRect();
    }

    void viewFrame()
    {
        QFETCH(int, offset);
        QFETCH(qint64, size);
        QFETCH(int, stride);
        QFETCH(int, chunkFlags);
        QFETCH(bool, corrupted);
        QFETCH(qint64, mapped);
        QFETCH(QRect, crop);
        QFETCH(QRect, valid);
        QFETCH(QRect, picture);
        if (picture.isNull())
            picture = QRect(0, 0, 64, 40);

        const Memory m = frameMemory(64, 40, 72);
        BufferFacts f = facts(m, stride);
        f.mapped = mapped < 0 ? m.size() : std::uint64_t(mapped);
        f.offset = offset < 0 ? std::uint32_t(f.mapped) : std::uint32_t(offset);
        f.size = size < 0 ? std::uint32_t(m.size()) : std::uint32_t(size);
        f.chunkFlags = chunkFlags;
        f.corrupted = corrupted;
        if (!crop.isNull()) {
            f.cropped = true;
            f.cropX = crop.x();
            f.cropY = crop.y();
            f.cropWidth = std::uint32_t(crop.width());
            f.cropHeight = std::uint32_t(crop.height());
        }
        const FrameView view = portal::viewFrame(f, QSize(64, 40), PixelOrder::BGRx);
        QCOMPARE(view.valid, valid);
        QCOMPARE(view.isNull(), valid.isEmpty());
        if (view.isNull())
            return;
        QCOMPARE(view.size, picture.size());
        QCOMPARE(view.origin, picture.topLeft());
        // The picture's first pixel is where the chunk's numbers put its corner: the memory's
        // pixel there tells its place (blue = row, green = column, 288 bytes a row).
        const std::int64_t corner = std::int64_t(f.offset) + std::int64_t(picture.y()) * stride + picture.x() * 4;
        QCOMPARE(view.first, m.bytes() + corner);
        QCOMPARE(view.first[0], uchar(corner / 288));
        QCOMPARE(view.first[1], uchar(corner % 288 / 4));
        // Every byte the view allows lies inside the mapped memory.
        const std::int64_t lastByte = (view.first - m.bytes()) + std::int64_t(view.valid.bottom()) * view.stride
            + std::int64_t(view.valid.right()) * 4 + 3;
        QVERIFY(lastByte < std::int64_t(f.mapped));
    }

    void frameSizes_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("taken");
        QTest::newRow("one pixel") << QSize(1, 1) << true;
        QTest::newRow("no width") << QSize(0, 40) << false;
        QTest::newRow("negative") << QSize(-64, 40) << false;
        QTest::newRow("largest side") << QSize(kMaxFrameSide, 1) << true;
        QTest::newRow("past the largest side") << QSize(kMaxFrameSide + 1, 1) << false;
    }

    void frameSizes()
    {
        QFETCH(QSize, size);
        QFETCH(bool, taken);
        const std::int64_t strideBytes = std::int64_t(std::max(size.width(), 1)) * 4;
        std::vector<quint32> words(std::size_t(strideBytes / 4) * std::size_t(std::max(size.height(), 1)));
        BufferFacts f;
        f.memory = reinterpret_cast<const uchar *>(words.data());
        f.mapped = words.size() * 4;
        f.size = std::uint32_t(f.mapped);
        f.stride = std::int32_t(strideBytes);
        QCOMPARE(!portal::viewFrame(f, size, PixelOrder::BGRx).isNull(), taken);
    }

    // A monitor's area on the desktop and its frame's pixels: the same at scale 1, twice as many
    // pixels on a monitor scaled by 2, and 1.5 as many at 1.5.
    void mapping_data()
    {
        QTest::addColumn<QRect>("area");
        QTest::addColumn<QSize>("frame");
        QTest::addColumn<QPoint>("desktop");
        QTest::addColumn<QPoint>("pixel");
        QTest::addColumn<QPoint>("back"); // toDesktop(pixel)

        const QRect primary(0, 0, 1280, 800);
        const QRect right(1280, 0, 1280, 800);
        QTest::newRow("scale 1 origin") << primary << QSize(1280, 800) << QPoint(0, 0) << QPoint(0, 0) << QPoint(0, 0);
        QTest::newRow("scale 1 corner") << primary << QSize(1280, 800) << QPoint(1279, 799) << QPoint(1279, 799)
                                        << QPoint(1279, 799);
        QTest::newRow("scale 1 second monitor") << right << QSize(1280, 800) << QPoint(1300, 5) << QPoint(20, 5)
                                                << QPoint(1300, 5);
        QTest::newRow("scale 1 left of it") << right << QSize(1280, 800) << QPoint(1279, 5) << QPoint(-1, 5)
                                            << QPoint(1279, 5);
        QTest::newRow("scale 2") << QRect(0, 0, 640, 400) << QSize(1280, 800) << QPoint(100, 50) << QPoint(200, 100)
                                 << QPoint(100, 50);
        QTest::newRow("scale 2 beside") << QRect(640, 0, 640, 400) << QSize(1280, 800) << QPoint(641, 1)
                                        << QPoint(2, 2) << QPoint(641, 1);
        QTest::newRow("scale 2 above") << QRect(0, 400, 640, 400) << QSize(1280, 800) << QPoint(3, 399)
                                       << QPoint(6, -2) << QPoint(3, 399);
        QTest::newRow("scale 1.5") << QRect(0, 0, 1000, 600) << QSize(1500, 900) << QPoint(3, 5) << QPoint(4, 7)
                                   << QPoint(2, 4);
        QTest::newRow("scale 1.5 left of it") << QRect(1000, 0, 1000, 600) << QSize(1500, 900) << QPoint(999, 1)
                                              << QPoint(-2, 1) << QPoint(998, 0);
    }

    void mapping()
    {
        QFETCH(QRect, area);
        QFETCH(QSize, frame);
        QFETCH(QPoint, desktop);
        QFETCH(QPoint, pixel);
        QFETCH(QPoint, back);
        const StreamPlace place{area, frame};
        QCOMPARE(toFrame(place, desktop), pixel);
        QCOMPARE(toDesktop(place, pixel), back);
    }

    // A frame's pixels land in the picture one desktop point to one picture pixel; what lies
    // off the frame or outside its valid part stays as the picture had it.
    void copyFromFrame_data()
    {
        QTest::addColumn<int>("order");
        QTest::addColumn<QRect>("area");   // the stream's place, of a 64 x 40 frame
        QTest::addColumn<QRect>("rect");   // asked for, desktop coordinates
        QTest::addColumn<QRect>("valid");  // of the frame
        QTest::addColumn<int>("scale");    // frame pixels per desktop point

        const int bgrx = int(PixelOrder::BGRx), rgbx = int(PixelOrder::RGBx), bgra = int(PixelOrder::BGRA),
                  rgba = int(PixelOrder::RGBA);
        const QRect area(100, 200, 64, 40);
        const QRect all(0, 0, 64, 40);
        QTest::newRow("inside") << bgrx << area << QRect(110, 210, 20, 10) << all << 1;
        QTest::newRow("RGBx") << rgbx << area << QRect(110, 210, 20, 10) << all << 1;
        QTest::newRow("BGRA") << bgra << area << QRect(110, 210, 20, 10) << all << 1;
        QTest::newRow("RGBA") << rgba << area << QRect(110, 210, 20, 10) << all << 1;
        QTest::newRow("over the top-left corner") << bgrx << area << QRect(90, 190, 20, 20) << all << 1;
        QTest::newRow("over the bottom-right corner") << bgrx << area << QRect(150, 230, 30, 30) << all << 1;
        QTest::newRow("off the frame") << bgrx << area << QRect(0, 0, 20, 20) << all << 1;
        QTest::newRow("larger than the frame") << bgrx << area << QRect(90, 190, 90, 60) << all << 1;
        QTest::newRow("valid rows only") << bgrx << area << QRect(100, 200, 64, 40) << QRect(0, 0, 64, 25) << 1;
        QTest::newRow("valid crop") << bgrx << area << QRect(100, 200, 64, 40) << QRect(10, 5, 20, 20) << 1;
        QTest::newRow("scale 2") << bgrx << QRect(100, 200, 32, 20) << QRect(95, 195, 20, 20) << all << 2;
        QTest::newRow("scale 2 RGBx") << rgbx << QRect(100, 200, 32, 20) << QRect(120, 210, 20, 20) << all << 2;
    }

    void copyFromFrame()
    {
        QFETCH(int, order);
        QFETCH(QRect, area);
        QFETCH(QRect, rect);
        QFETCH(QRect, valid);
        QFETCH(int, scale);

        const PixelOrder pixelOrder = PixelOrder(order);
        const Memory m = frameMemory(64, 40, 72, pixelOrder);
        FrameView view = portal::viewFrame(facts(m, 288), QSize(64, 40), pixelOrder);
        QVERIFY(!view.isNull());
        view.valid = valid;
        const StreamPlace place{area, QSize(64, 40)};

        // The rectangle goes into a larger picture at (3, 2), to see nothing is written beside it.
        const QRgb untouched = qRgb(1, 2, 3);
        QImage picture(rect.width() + 6, rect.height() + 4, QImage::Format_RGB32);
        picture.fill(untouched);
        const QPoint at(3, 2);
        portal::copyFromFrame(view, place, rect, picture, at);

        for (int y = 0; y < picture.height(); ++y) {
            for (int x = 0; x < picture.width(); ++x) {
                const QPoint desktop = rect.topLeft() + QPoint(x, y) - at;
                // The frame pixel under the point's top-left corner, written out for each scale.
                const QPoint pixel((desktop.x() - area.x()) * scale, (desktop.y() - area.y()) * scale);
                const bool inPicture = QRect(at, rect.size()).contains(x, y);
                const bool shown = inPicture && area.contains(desktop) && valid.contains(pixel);
                const QRgb want = shown ? expected(pixel.x(), pixel.y()) : untouched;
                if (picture.pixel(x, y) != want)
                    QFAIL(qPrintable(QStringLiteral("picture (%1, %2), desktop (%3, %4): %5, not %6")
                                         .arg(x).arg(y).arg(desktop.x()).arg(desktop.y())
                                         .arg(picture.pixel(x, y), 8, 16).arg(want, 8, 16)));
            }
        }
    }

    // Nothing is drawn from a null view or into a picture of another format.
    void copyRefusesWhatItCannotDraw()
    {
        const Memory m = frameMemory(64, 40, 72);
        const StreamPlace place{QRect(0, 0, 64, 40), QSize(64, 40)};
        QImage picture(10, 10, QImage::Format_RGB32);
        picture.fill(Qt::black);
        const QImage before = picture;
        portal::copyFromFrame(FrameView(), place, QRect(0, 0, 10, 10), picture, QPoint());
        QCOMPARE(picture, before);

        QImage other(10, 10, QImage::Format_ARGB32);
        other.fill(Qt::black);
        const QImage otherBefore = other;
        portal::copyFromFrame(portal::viewFrame(facts(m, 288), QSize(64, 40), PixelOrder::BGRx), place,
                              QRect(0, 0, 10, 10), other, QPoint());
        QCOMPARE(other, otherBefore);
    }
};

QTEST_APPLESS_MAIN(tst_stream_frame)
#include "tst_stream_frame.moc"
