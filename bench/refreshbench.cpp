// Times the display window's refresh in-process against the real X capture: for every width
// 200..600 and magnification 2..6 on the path this screen takes (details() on a screen of scale
// factor 2, details1() elsewhere), the refresh alone, the refresh followed by a synchronous
// paint of the window, and the raw capture of the same rectangle. Where the program draws the
// view itself (VIZZOLEN_NO_RENDER set, or no RENDER), also whether the picture is the one
// QPainter's unsmoothed scaling of the capture gives (where the server draws it the tests
// compare its pixels). And whether anonymous memory grows over many refreshes. Prints figures
// only. The screen stays still meanwhile: where the server draws the view and reports damage,
// only the first refresh at each size copies and composites, and the figures are those of a
// refresh that reads the pointer and sends nothing more.
//
//   vizzolen_refresh_bench [iterations=1000] [memory-refreshes=12000]

#include "display/DisplayWindow.h"
#include "platform/capture.h"
#include "platform/rules.h"
#include "settings/prefsModule.h"

#include <QApplication>
#include <QCursor>
#include <QFile>
#include <QFontDatabase>
#include <QPainter>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QScreen>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

// Passes everything on to the real source and remembers the last capture.
class Recorder : public CaptureSource
{
public:
    CaptureSource *real = nullptr;
    QRect rect;
    QImage capture;

    std::int32_t MouseX() override { return real->MouseX(); }
    std::int32_t MouseY() override { return real->MouseY(); }
    QImage ScreenshotRect(std::int32_t left, std::int32_t top, std::int32_t width,
                          std::int32_t height) override
    {
        rect = QRect(left, top, width, height);
        capture = real->ScreenshotRect(left, top, width, height);
        return capture;
    }
};

struct Stats
{
    double p10, median, p90, cpuMedian; // microseconds
};

double nowUs(clockid_t clock)
{
    timespec t;
    clock_gettime(clock, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

template <class F>
Stats measure(int iterations, F &&f)
{
    for (int i = 0; i < 20; ++i)
        f(); // warm caches, the shared segment and malloc's arenas
    std::vector<double> wall(iterations), cpu(iterations);
    for (int i = 0; i < iterations; ++i) {
        const double w0 = nowUs(CLOCK_MONOTONIC), c0 = nowUs(CLOCK_PROCESS_CPUTIME_ID);
        f();
        cpu[i] = nowUs(CLOCK_PROCESS_CPUTIME_ID) - c0;
        wall[i] = nowUs(CLOCK_MONOTONIC) - w0;
    }
    auto at = [](std::vector<double> v, double q) {
        std::sort(v.begin(), v.end());
        return v[std::min(v.size() - 1, size_t(q * double(v.size())))];
    };
    return {at(wall, 0.1), at(wall, 0.5), at(wall, 0.9), at(cpu, 0.5)};
}

long rssAnonKb()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("RssAnon:"))
            return line.mid(8).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// The picture as the refresh drew it before it had a scaler of its own: QPainter's unsmoothed
// scaling of the whole capture. Unwritten pixels would keep the marker colour.
QImage painterReference(const QImage &capture, QSize size)
{
    QImage picture(size, QImage::Format_RGB32);
    picture.fill(0xff123456u);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.drawImage(QRect(QPoint(0, 0), size), capture, capture.rect());
    return picture;
}

qint64 differingPixels(const QImage &a, const QImage &b)
{
    if (a.size() != b.size())
        return -1;
    qint64 n = 0;
    for (int y = 0; y < a.height(); ++y) {
        const auto *p = reinterpret_cast<const quint32 *>(a.constScanLine(y));
        const auto *q = reinterpret_cast<const quint32 *>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x)
            n += (p[x] | 0xff000000u) != (q[x] | 0xff000000u);
    }
    return n;
}

} // namespace

int main(int argc, char **argv)
{
    // The event loop the program runs on (main.cpp), unless chosen otherwise.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);
    const int iterations = argc > 1 ? std::max(8, atoi(argv[1])) : 1000;
    const int memoryRefreshes = argc > 2 ? std::max(0, atoi(argv[2])) : 12000;

    // The font database loads on first use, which would otherwise land in some measurement; the
    // program has loaded it for its control panel before the first refresh.
    QFontDatabase::families();
    QScreen *screen = QGuiApplication::primaryScreen();
    prefsModule::screenScale = realToInteger(screen->devicePixelRatio());
    const bool scale2 = prefsModule::screenScale == 2;
    QCursor::setPos(screen->geometry().center());

    // In the bottom-left corner, clear of the screen's middle (where the captures are made) and of
    // the top, where the Wayland mode moves the pointer.
    DisplayWindow window;
    window.move(screen->geometry().left(), screen->geometry().bottom() + 1 - 375);
    window.show();
    for (int i = 0; i < 50; ++i)
        QCoreApplication::processEvents();

    // On Xwayland the pixels come through the desktop's screen-cast session, which the first use
    // of the capture asks for: every capture is black until its first frame has come.
    {
        CaptureSource &source = captureSource();
        const QPoint c = screen->geometry().center();
        QElapsedTimer waited;
        waited.start();
        bool picture = false;
        while (!(picture = !source.ScreenshotRect(c.x(), c.y(), 16, 16).isNull()) && waited.elapsed() < 20000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QThread::msleep(5);
        }
        if (picture)
            std::printf("capture: first picture after %lld ms\n", qint64(waited.elapsed()));
        else
            std::printf("capture: no picture within 20 s: the figures below are of black captures\n");
    }

    auto refresh = [&] { scale2 ? window.details() : window.details1(); };
    Recorder recorder;
    recorder.real = &captureSource();

    const bool server = window.drawnByServer();
    std::printf("path %s, view drawn by %s (screen %dx%d, scale %g); microseconds, %d runs each; "
                "cpu = process CPU\n",
                scale2 ? "details() scale 2" : "details1()", server ? "the X server" : "the program", screen->geometry().width(),
                screen->geometry().height(), screen->devicePixelRatio(), iterations);
    std::printf("%-4s %-8s %-9s | %-26s | %-18s | %-26s | %-6s | %s\n", "mag", "window", "capture",
                "refresh p10/median/p90 cpu", "+paint median cpu", "capture p10/median/p90 cpu",
                "ratio", "pixels vs QPainter");
    for (int m = 2; m <= 6; ++m) {
        for (int w = 200; w <= 600; w += 100) {
            prefsModule::magFactor = m;
            window.resize(w, realToInteger(double(w) / 1.6));
            for (int i = 0; i < 10; ++i)
                QCoreApplication::processEvents();

            // The rectangle the refresh captures, from a window that draws the view itself.
            {
                setCaptureSource(&recorder);
                DisplayWindow probe;
                probe.resize(window.size());
                scale2 ? probe.details() : probe.details1();
                setCaptureSource(nullptr);
            }
            const QRect rect = recorder.rect;
            refresh();
            const QString diff = server ? QStringLiteral("(tests)")
                                        : QStringLiteral("%1 differ").arg(differingPixels(
                                              window.Backdrop(), painterReference(recorder.capture, window.size())));

            const Stats r = measure(iterations, refresh);
            const Stats rp = measure(iterations / 4, [&] {
                refresh();
                window.repaint();
            });
            CaptureSource &source = captureSource();
            const Stats c = measure(iterations, [&] {
                source.ScreenshotRect(rect.x(), rect.y(), rect.width(), rect.height());
            });
            std::printf("%-4d %-8s %-9s | %5.0f %6.0f %6.0f %6.0f | %6.0f %6.0f      | "
                        "%5.0f %6.0f %6.0f %6.0f | %6.2f | %s\n",
                        m, qPrintable(QStringLiteral("%1x%2").arg(w).arg(window.height())),
                        qPrintable(QStringLiteral("%1x%2").arg(rect.width()).arg(rect.height())),
                        r.p10, r.median, r.p90, r.cpuMedian, rp.median, rp.cpuMedian, c.p10,
                        c.median, c.p90, c.cpuMedian, r.median / c.median, qPrintable(diff));
            std::fflush(stdout);
        }
    }

    // As the program runs it: a 50 ms timer refreshing, the paint left to the event loop. The
    // CPU of the whole process (every thread, the waits between ticks included) per frame.
    // The timer's ticks with no refresh at all (mag 0 below) give what the event loop itself
    // costs per frame.
    for (int m : {3, 2, 0}) {
        for (int w : {600, 300}) {
            if (m == 0 && w == 300)
                continue;
            prefsModule::magFactor = m;
            window.resize(w, realToInteger(double(w) / 1.6));
            QTimer timer;
            timer.setInterval(50);
            int frames = 0;
            QEventLoop loop;
            QObject::connect(&timer, &QTimer::timeout, [&] {
                if (m != 0)
                    refresh();
                if (++frames == 60)
                    loop.quit();
            });
            for (int i = 0; i < 10; ++i)
                QCoreApplication::processEvents();
            const double w0 = nowUs(CLOCK_MONOTONIC), c0 = nowUs(CLOCK_PROCESS_CPUTIME_ID);
            timer.start();
            loop.exec();
            const double cpu = nowUs(CLOCK_PROCESS_CPUTIME_ID) - c0;
            const double wall = nowUs(CLOCK_MONOTONIC) - w0;
            if (m == 0)
                std::printf("timer-driven: ticks alone, no refresh: %.1f fps, process CPU %.0f us per tick\n",
                            frames * 1e6 / wall, cpu / frames);
            else
                std::printf("timer-driven: mag %d %dx%d: %.1f fps, process CPU %.0f us per frame\n", m,
                            w, window.height(), frames * 1e6 / wall, cpu / frames);
        }
    }

    // Anonymous memory over many refreshes, each painted through the event loop as the timer
    // would have it.
    prefsModule::magFactor = 3;
    window.resize(600, 375);
    for (int i = 0; i < 200; ++i) {
        refresh();
        QCoreApplication::processEvents();
    }
    // Now and then a capture of the screen's centre too: whether the refreshes still had a
    // picture to show (on Xwayland, a stream that stopped would give none).
    CaptureSource &source = captureSource();
    const QPoint centre = screen->geometry().center();
    int probes = 0, pictures = 0;
    const long before = rssAnonKb();
    QElapsedTimer took;
    took.start();
    for (int i = 0; i < memoryRefreshes; ++i) {
        refresh();
        QCoreApplication::processEvents();
        if (i % 1000 == 999) {
            ++probes;
            pictures += !source.ScreenshotRect(centre.x(), centre.y(), 16, 16).isNull();
        }
    }
    const double seconds = took.elapsed() / 1000.0;
    const long after = rssAnonKb();
    std::printf("memory: RssAnon %ld kB before, %ld kB after %d refreshes (600x375, mag 3) in %.1f s, "
                "growth %ld kB; a picture at %d of %d probes\n",
                before, after, memoryRefreshes, seconds, after - before, pictures, probes);
    return 0;
}
