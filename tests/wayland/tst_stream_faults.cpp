// The screen streams against a stand-in compositor that lies in its buffers: strides too small,
// offsets and sizes past the memory, zero and huge sizes, crops off the frame, cursor positions
// off the frame, broken cursor bitmaps, a new frame size while streaming, a stream that leaves.
// Run on a private PipeWire (tests/wayland/standins/with-pipewire.sh), also in the build with
// AddressSanitizer: nothing may be read outside a buffer, nothing may crash, and the view shows
// black or the part of the frame that the buffer really holds.

#include "platform/portal/screenStreams.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const QSize kFrame(320, 200);
const QRgb kUntouched = qRgb(1, 2, 3);

// The stand-in's pixel at (x, y).
QRgb patternColor(int x, int y)
{
    return qRgb(x & 255, y & 255, ((x >> 8) & 15) | (((y >> 8) & 15) << 4));
}

// A new connection to the test's PipeWire, as the portal hands one over.
int pipeWireSocket()
{
    const QByteArray path = qgetenv("XDG_RUNTIME_DIR") + "/pipewire-0";
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd < 0 || size_t(path.size()) >= sizeof address.sun_path)
        return -1;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

class Producer
{
public:
    ~Producer()
    {
        process_.terminate();
        process_.waitForFinished(3000);
    }

    // The stand-in stream with `options`; its node, 0 when it did not come up.
    quint32 start(const QStringList &options)
    {
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(QStringLiteral(VIZZOLEN_FAKEPRODUCER), options);
        const QRegularExpression node(QStringLiteral("^node (\\d+)$"), QRegularExpression::MultilineOption);
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 10000 && process_.state() != QProcess::NotRunning) {
            process_.waitForReadyRead(50);
            out_ += process_.readAllStandardOutput();
            const QRegularExpressionMatch m = node.match(QString::fromLatin1(out_));
            if (m.hasMatch())
                return m.captured(1).toUInt();
        }
        return 0;
    }

    // Another frame now: the first one can be lost while the link comes up.
    void frame() { process_.write("frame\n"); }

private:
    QProcess process_;
    QByteArray out_;
};

// Pattern: the frame, fills the monitor. Nothing: black. Rows: the rows of `region` the chunk
// holds, black below. Region: `region` of the frame at its own size, black beside it. Cropped:
// `region` of the frame (the crop) fills the monitor.
enum class Shows { Pattern, Nothing, Rows, Region, Cropped };

} // namespace

Q_DECLARE_METATYPE(Shows)

class tst_stream_faults : public QObject
{
    Q_OBJECT

private slots:
    void buffers_data();
    void buffers();
    void twoMonitors();
    void refusedFormat();
    void streamLeaves();

private:
    void endsOnce(const QStringList &options);
};

void tst_stream_faults::buffers_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<Shows>("shows");
    QTest::addColumn<QRect>("region");    // for Rows and Region: what is shown of the frame
    QTest::addColumn<QPoint>("pointer");  // (-1, -1): none given

    const QRect all(QPoint(0, 0), kFrame);
    const QPoint at(100, 100), none(-1, -1);
    const QStringList memfd, memptr{QStringLiteral("--memptr")};
    for (const bool ptr : {false, true}) {
        const QStringList kind = ptr ? memptr : memfd;
        const QString suffix = ptr ? QStringLiteral(", MemPtr") : QStringLiteral(", MemFd");
        auto row = [&](const char *name, QStringList options, Shows shows, QRect region, QPoint pointer) {
            QTest::newRow(qPrintable(QLatin1String(name) + suffix)) << kind + options << shows << region << pointer;
        };
        row("sound", {}, Shows::Pattern, all, at);
        row("stride a pixel short", {"--stride-short", "4"}, Shows::Nothing, QRect(), at);
        row("stride a byte short", {"--stride-short", "1"}, Shows::Nothing, QRect(), at);
        row("stride negative", {"--negative-stride"}, Shows::Nothing, QRect(), at);
        // A stride longer than the rows the frame has: only the rows that fit in the chunk, as
        // it says they lie.
        row("stride longer", {"--stride-long", "64"}, Shows::Rows, QRect(0, 0, 320, 190), at);
        row("offset past the end", {"--offset-past"}, Shows::Nothing, QRect(), at);
        row("size past the end", {"--size-past"}, Shows::Pattern, all, at);
        row("size zero", {"--size-zero"}, Shows::Nothing, QRect(), at);
        row("size huge", {"--size-huge"}, Shows::Pattern, all, at);
        row("buffers of half a frame", {"--alloc-small"}, Shows::Rows, QRect(0, 0, 320, 100), at);
        // Half a frame's memory, a chunk that claims far more: only what is mapped is read.
        row("half a frame, size huge", {"--alloc-small", "--size-huge"}, Shows::Rows, QRect(0, 0, 320, 100), at);
        // The crop region is the picture: it fills the monitor, and the pointer counts from it.
        row("crop inside", {"--crop", "10,20,100x50", "--cursor", "60,45"}, Shows::Cropped, QRect(10, 20, 100, 50),
            QPoint(160, 100));
        row("crop, the pointer outside it", {"--crop", "10,20,100x50"}, Shows::Cropped, QRect(10, 20, 100, 50), none);
        row("crop over the corner", {"--crop", "-50,-40,100x100", "--cursor", "25,30"}, Shows::Cropped,
            QRect(0, 0, 50, 60), QPoint(160, 100));
        row("crop off the frame", {"--crop", "400,300,10x10"}, Shows::Nothing, QRect(), at);
        row("crop huge", {"--crop", "0,0,4294967295x4294967295"}, Shows::Pattern, all, at);
        row("header corrupted", {"--header-corrupted"}, Shows::Nothing, QRect(), at);
        row("every other buffer short", {"--every", "2", "--stride-short", "4"}, Shows::Pattern, all, at);
        row("RGBx", {"--format", "RGBx"}, Shows::Pattern, all, at);
        row("RGBA", {"--format", "RGBA"}, Shows::Pattern, all, at);
        row("BGRA", {"--format", "BGRA"}, Shows::Pattern, all, at);
        row("cursor only", {"--cursor-only"}, Shows::Nothing, QRect(), at);
        row("cursor off the frame", {"--cursor", "320,10"}, Shows::Pattern, all, none);
        row("cursor far off", {"--cursor", "100000,-100000"}, Shows::Pattern, all, none);
        row("cursor negative", {"--cursor", "-1,5"}, Shows::Pattern, all, none);
        row("cursor in the last pixel", {"--cursor", "319,199"}, Shows::Pattern, all, QPoint(319, 199));
        row("cursor id 0", {"--no-cursor"}, Shows::Pattern, all, none);
        row("cursor bitmap offset past its metadata", {"--bitmap-offset-bad", "--bitmap", "every"}, Shows::Pattern, all, at);
        row("cursor bitmap larger than its metadata", {"--bitmap-size-bad", "--bitmap", "every"}, Shows::Pattern, all, at);
        // A monitor's mode changes: the same stream, a frame of another size, and the monitor's
        // place on the desktop as much smaller, at the scale it had.
        row("new frame size", {"--resize-after", "3", "--resize-to", "160x100", "--cursor", "50,50"}, Shows::Region,
            QRect(0, 0, 160, 100), QPoint(50, 50));
    }
}

void tst_stream_faults::buffers()
{
    QFETCH(QStringList, options);
    QFETCH(Shows, shows);
    QFETCH(QRect, region);
    QFETCH(QPoint, pointer);

    Producer producer;
    const quint32 node = producer.start(options + QStringList{QStringLiteral("--size"), QStringLiteral("320x200"),
                                                              QStringLiteral("--rate"), QStringLiteral("30")});
    QVERIFY2(node, "the stand-in stream did not start");
    int failures = 0;
    std::unique_ptr<ScreenStreams> streams = ScreenStreams::open(
        pipeWireSocket(), {{node, QRect(QPoint(0, 0), kFrame)}},
        [&failures](ScreenStreams::Failure) { ++failures; });
    QVERIFY(streams);

    // Enough buffers for every kind of lie, and for a new size to settle.
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 5000 && streams->framesReceived() + streams->otherBuffersReceived() < 20) {
        producer.frame();
        QTest::qWait(20);
    }
    QVERIFY2(streams->framesReceived() + streams->otherBuffersReceived() >= 20, "the stream sends nothing");
    if (QByteArray(QTest::currentDataTag()).startsWith("new frame size"))
        QTRY_VERIFY_WITH_TIMEOUT(streams->framesReceived() > 6, 5000);
    QTest::qWait(100);
    QCOMPARE(failures, 0);

    QImage picture(kFrame, QImage::Format_RGB32);
    picture.fill(kUntouched);
    QCOMPARE(streams->hasFrame(), shows != Shows::Nothing);
    streams->draw(QRect(QPoint(0, 0), kFrame), picture, QPoint(0, 0));
    qint64 wrong = 0;
    QString first;
    for (int y = 0; y < kFrame.height(); ++y) {
        for (int x = 0; x < kFrame.width(); ++x) {
            QRgb want = kUntouched;
            switch (shows) {
            case Shows::Pattern: want = patternColor(x, y); break;
            case Shows::Nothing: break;
            case Shows::Rows:
                // Row 0 starts the chunk whatever its stride; below it the frame is as the
                // chunk's stride places it, which only the buffer knows.
                if (region.contains(x, y) && y > 0)
                    continue;
                want = region.contains(x, y) ? patternColor(x, y) : kUntouched;
                break;
            case Shows::Region: want = region.contains(x, y) ? patternColor(x, y) : kUntouched; break;
            case Shows::Cropped:
                want = patternColor(region.x() + x * region.width() / kFrame.width(),
                                    region.y() + y * region.height() / kFrame.height());
                break;
            }
            if (picture.pixel(x, y) != want && wrong++ == 0)
                first = QStringLiteral("(%1,%2) is %3, not %4").arg(x).arg(y).arg(picture.pixel(x, y), 8, 16)
                            .arg(want, 8, 16);
        }
    }
    QVERIFY2(wrong == 0, qPrintable(QStringLiteral("%1 pixels wrong, first %2").arg(wrong).arg(first)));
    if (shows == Shows::Rows) {
        // Every row the chunk holds is shown: none of them is left as it was.
        for (int y = 1; y < region.height(); ++y)
            QVERIFY(picture.pixel(5, y) != kUntouched);
    }

    // What the streams cover needs no black below it; what they do not, does.
    const QRect monitor(QPoint(0, 0), kFrame);
    QCOMPARE(streams->covers(monitor), shows == Shows::Pattern || shows == Shows::Cropped);
    if (shows == Shows::Rows || shows == Shows::Region) {
        QVERIFY(streams->covers(region));
        QVERIFY(!streams->covers(region.adjusted(0, 0, 0, 1)));
        QVERIFY(!streams->covers(region.adjusted(0, 0, 1, 0)));
    }
    QVERIFY(!streams->covers(monitor.translated(1, 0)));

    QPoint seen;
    QCOMPARE(streams->pointer(seen), pointer != QPoint(-1, -1));
    if (pointer != QPoint(-1, -1))
        QCOMPARE(seen, pointer);
}

// Two monitors side by side, each its own stream: a rectangle across both shows each one's part,
// what lies on neither is black, and the pointer is where the stream that has it says.
void tst_stream_faults::twoMonitors()
{
    Producer left, right;
    const quint32 leftNode = left.start({"--size", "320x200", "--rate", "30", "--no-cursor"});
    const quint32 rightNode = right.start({"--size", "160x100", "--rate", "30", "--cursor", "20,30"});
    QVERIFY(leftNode && rightNode);
    int failures = 0;
    // The right one stands beside the left one, its top 50 points lower.
    std::unique_ptr<ScreenStreams> streams = ScreenStreams::open(
        pipeWireSocket(), {{leftNode, QRect(0, 0, 320, 200)}, {rightNode, QRect(320, 50, 160, 100)}},
        [&failures](ScreenStreams::Failure) { ++failures; });
    QVERIFY(streams);
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 5000 && streams->framesReceived() < 20) {
        left.frame();
        right.frame();
        QTest::qWait(20);
    }
    QCOMPARE(failures, 0);

    const QRect rect(300, 40, 60, 30);
    QImage picture(rect.size(), QImage::Format_RGB32);
    picture.fill(kUntouched);
    streams->draw(rect, picture, QPoint(0, 0));
    for (int y = 0; y < rect.height(); ++y) {
        for (int x = 0; x < rect.width(); ++x) {
            const QPoint p = rect.topLeft() + QPoint(x, y);
            QRgb want = kUntouched;
            if (p.x() < 320)
                want = patternColor(p.x(), p.y());
            else if (p.y() >= 50)
                want = patternColor(p.x() - 320, p.y() - 50);
            QVERIFY2(picture.pixel(x, y) == want, qPrintable(QStringLiteral("(%1,%2)").arg(p.x()).arg(p.y())));
        }
    }
    QPoint pointer;
    QVERIFY(streams->pointer(pointer));
    QCOMPARE(pointer, QPoint(340, 80));
}

// A stream that ends as `options` make the stand-in end it: told once, as the stream's own
// failure, and nothing more is shown.
void tst_stream_faults::endsOnce(const QStringList &options)
{
    Producer producer;
    const quint32 node = producer.start(options);
    QVERIFY(node);
    int failures = 0;
    ScreenStreams::Failure kind = ScreenStreams::Failure::Connection;
    std::unique_ptr<ScreenStreams> streams = ScreenStreams::open(
        pipeWireSocket(), {{node, QRect(QPoint(0, 0), kFrame)}},
        [&](ScreenStreams::Failure f) { ++failures, kind = f; });
    QVERIFY(streams);
    QTRY_COMPARE_WITH_TIMEOUT(failures, 1, 15000);
    QCOMPARE(kind, ScreenStreams::Failure::Stream);
    QVERIFY(!streams->hasFrame());
    QPoint p;
    QVERIFY(!streams->pointer(p));
    QTest::qWait(200);
    QCOMPARE(failures, 1);
}

// A format the program cannot read (24-bit RGB): the link never agrees, and the streams say so
// rather than stay black for good without a word.
void tst_stream_faults::refusedFormat()
{
    endsOnce({"--format", "RGB", "--size", "320x200"});
}

void tst_stream_faults::streamLeaves()
{
    endsOnce({"--size", "320x200", "--rate", "30", "--exit-after", "15"});
}

QTEST_GUILESS_MAIN(tst_stream_faults)
#include "tst_stream_faults.moc"
