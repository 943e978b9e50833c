// The view drawn by the X server against the view the program draws itself, on a real X server:
// the same refresh, the same pointer and screen, for every magnification and width, must give
// the very same pixels in the window, as the server holds them. Registered on screens of depth
// 24, 16 and 30, with Qt's scaling of 2 (the refresh of scale-2 screens), and on a server
// without RENDER, where the program must draw the view itself.

#include "display/DisplayWindow.h"
#include "display/scaleNearest.h"
#include "e2e/xhelpers.h"
#include "settings/prefsModule.h"

#include <QApplication>
#include <QPainter>
#include <QScreen>
#include <QWidget>
#include <QtTest>

#include <xcb/render.h>

#include <cmath>

namespace {

// A window's pixels exactly as the server holds them, whatever the depth.
QByteArray rawPixels(const xh::XConnection &x, xcb_window_t w, QSize size)
{
    auto img = xh::reply(xcb_get_image_reply(
        x.get(),
        xcb_get_image(x.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, w, 0, 0, uint16_t(size.width()),
                      uint16_t(size.height()), ~0u),
        nullptr));
    if (!img)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(xcb_get_image_data(img.get())),
                      xcb_get_image_data_length(img.get()));
}

// Where the first of two raw pictures of `rows` rows, in the server's (little-endian) pixel
// layout for `depth`, differs from the other. Bits above the depth hold nothing.
QString firstDifference(const QByteArray &a, const QByteArray &b, int rows, int depth)
{
    if (a.size() != b.size())
        return QStringLiteral("%1 bytes against %2").arg(a.size()).arg(b.size());
    const int bytes = depth > 16 ? 4 : 2;
    const quint32 used = depth >= 32 ? ~0u : (1u << depth) - 1;
    const qsizetype stride = a.size() / std::max(1, rows);
    for (qsizetype i = 0; i + bytes <= a.size(); i += bytes) {
        quint32 p = 0, q = 0;
        for (int k = bytes - 1; k >= 0; --k) {
            p = p << 8 | uchar(a[i + k]);
            q = q << 8 | uchar(b[i + k]);
        }
        if ((p & used) != (q & used))
            return QStringLiteral("row %1, pixel %2: %3 against %4")
                .arg(i / stride)
                .arg((i % stride) / bytes)
                .arg(p & used, 0, 16)
                .arg(q & used, 0, 16);
    }
    return QString();
}

bool allBlack(const QByteArray &a, int depth)
{
    return firstDifference(a, QByteArray(a.size(), 0), 1, depth).isEmpty();
}

// The screen covered with colour bands that change every pixel, so that a picture shifted or
// scaled by one pixel shows at any depth.
class PatternWindow : public QWidget
{
public:
    explicit PatternWindow(QRect geometry)
        : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus)
    {
        setAttribute(Qt::WA_OpaquePaintEvent);
        setGeometry(geometry);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QImage image(size() * devicePixelRatio(), QImage::Format_RGB32);
        for (int y = 0; y < image.height(); ++y) {
            auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
            for (int x = 0; x < image.width(); ++x)
                line[x] = qRgb((x * 8) & 255, (y * 4 + x) & 255, 0x80 | ((x + y) & 0x7f));
        }
        image.setDevicePixelRatio(devicePixelRatio());
        QPainter(this).drawImage(0, 0, image);
    }
};

class Cover : public QWidget
{
public:
    explicit Cover(QRect geometry, QColor colour)
        : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus)
    {
        setAutoFillBackground(true);
        QPalette p = palette();
        p.setColor(QPalette::Window, colour);
        setPalette(p);
        setGeometry(geometry);
    }
};

} // namespace

class TestE2eServerView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void chosenOnceAtStart();
    void samePixelsAsTheProgram_data();
    void samePixelsAsTheProgram();
    void noCaseShowsBlack();
    void exposeShowsTheKeptCapture();
    void refusedViewFallsBack();

private:
    // A display window made with or without the server's view, at `at` (device-independent),
    // shown and exposed.
    std::unique_ptr<DisplayWindow> makeWindow(bool server, QPoint at);
    // One refresh of the path this screen takes, then the window's pixels as the server has them.
    QByteArray refreshAndRead(DisplayWindow &window);
    // A server-drawn window of 300 x 187 at magnification 3 after one refresh, which `shown`
    // holds.
    std::unique_ptr<DisplayWindow> showingView(QByteArray &shown);

    xh::XConnection x_;
    bool render_ = false;
    bool scale2_ = false;
    std::unique_ptr<PatternWindow> pattern_;
};

void TestE2eServerView::initTestCase()
{
    QVERIFY2(x_.ok(), "cannot connect to the X server");
    const xcb_query_extension_reply_t *ext = xcb_get_extension_data(x_.get(), &xcb_render_id);
    render_ = ext && ext->present;
    // The run registered without RENDER must really be without it.
    if (qEnvironmentVariable("XVFB_ARGS").contains(QLatin1String("RENDER")))
        QVERIFY2(!render_, "the server was to run without RENDER but offers it");
    const int depth = qEnvironmentVariableIntValue("EXPECTED_DEPTH");
    if (depth)
        QCOMPARE(x_.depth(), depth);
    qInfo("depth %d, RENDER %s", x_.depth(), render_ ? "offered" : "not offered");

    QScreen *screen = QGuiApplication::primaryScreen();
    QVERIFY(screen);
    scale2_ = screen->devicePixelRatio() == 2.0;
    prefsModule::screenScale = scale2_ ? 2 : 1;
    pattern_ = std::make_unique<PatternWindow>(screen->geometry());
    pattern_->show();
    QVERIFY(QTest::qWaitForWindowExposed(pattern_.get()));
    x_.sync();
}

std::unique_ptr<DisplayWindow> TestE2eServerView::makeWindow(bool server, QPoint at)
{
    if (server)
        qunsetenv("VIZZOLEN_NO_RENDER");
    else
        qputenv("VIZZOLEN_NO_RENDER", "1");
    auto window = std::make_unique<DisplayWindow>();
    qunsetenv("VIZZOLEN_NO_RENDER");
    window->move(at);
    window->show();
    if (!QTest::qWaitForWindowExposed(window.get()))
        return nullptr;
    return window;
}

QByteArray TestE2eServerView::refreshAndRead(DisplayWindow &window)
{
    scale2_ ? window.details() : window.details1();
    QCoreApplication::processEvents();
    QTest::qWait(30);
    const QSize device = window.size() * window.devicePixelRatio();
    return rawPixels(x_, xcb_window_t(window.winId()), device);
}

void TestE2eServerView::chosenOnceAtStart()
{
    const std::unique_ptr<DisplayWindow> server = makeWindow(true, QPoint(0, 0));
    const std::unique_ptr<DisplayWindow> program = makeWindow(false, QPoint(0, 0));
    QVERIFY(server && program);
    QCOMPARE(server->drawnByServer(), render_);
    QVERIFY(!program->drawnByServer());
}

void TestE2eServerView::samePixelsAsTheProgram_data()
{
    QTest::addColumn<int>("magnification");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QPoint>("pointer"); // device-independent
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    // Every case, with the height the panel gives each width, the pointer in the upper half,
    // the windows below it.
    for (int m = 2; m <= 6; ++m) {
        for (int w = 200; w <= 600; w += 100)
            QTest::addRow("m%d w%d", m, w) << m << QSize(w, int(w / 1.6)) << QPoint(screen.width() / 4, screen.height() / 5);
    }
    QTest::newRow("new window 600x400") << 3 << QSize(600, 400) << QPoint(333, 211);
    // Half off the screen: the black must be the same too.
    QTest::newRow("top-left corner") << 2 << QSize(600, 375) << QPoint(0, 0);
    QTest::newRow("top-right corner m6 w500") << 6 << QSize(500, 312) << QPoint(screen.width() - 1, 2);
    // The window in its own source: each view shows a part of the one before it.
    QTest::newRow("over itself") << 2 << QSize(600, 375) << QPoint(300, screen.height() / 2 + 25);
}

void TestE2eServerView::samePixelsAsTheProgram()
{
    QFETCH(int, magnification);
    QFETCH(QSize, size);
    QFETCH(QPoint, pointer);

    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const QPoint below(0, screen.height() / 2);
    prefsModule::magFactor = magnification;

    QByteArray expected, actual;
    QImage expectedBackdrop, actualBackdrop;
    for (bool server : {false, true}) {
        const std::unique_ptr<DisplayWindow> window = makeWindow(server, below);
        QVERIFY(window);
        window->resize(size);
        QTRY_COMPARE(QSize(window->size()), size);
        QCOMPARE(window->drawnByServer(), server && render_);
        // A view of the middle of the screen first, so that what lies off the screen cannot
        // be black by chance, then black, so that a window in its own source starts from the
        // same picture.
        QCursor::setPos(screen.width() / 4, screen.height() / 5);
        refreshAndRead(*window);
        prefsModule::magFactor = 0;
        refreshAndRead(*window);
        prefsModule::magFactor = magnification;
        QCursor::setPos(pointer);
        const QByteArray pixels = refreshAndRead(*window);
        QVERIFY(!pixels.isEmpty());
        (server ? actual : expected) = pixels;
        (server ? actualBackdrop : expectedBackdrop) = window->Backdrop();
    }
    QVERIFY2(!allBlack(expected, x_.depth()), "the view shows nothing of the screen");
    const QString why = firstDifference(actual, expected, int(size.height() * QGuiApplication::primaryScreen()->devicePixelRatio()), x_.depth());
    QVERIFY2(why.isEmpty(), qPrintable(why));

    // What a test reads back of the server's picture is the picture the program makes.
    QCOMPARE(actualBackdrop.size(), size);
    QVERIFY(actualBackdrop == expectedBackdrop.convertToFormat(QImage::Format_RGB32));
}

std::unique_ptr<DisplayWindow> TestE2eServerView::showingView(QByteArray &shown)
{
    QCursor::setPos(300, 200);
    std::unique_ptr<DisplayWindow> window = makeWindow(true, QPoint(0, 500));
    if (!window)
        return nullptr;
    window->resize(300, 187);
    prefsModule::magFactor = 3;
    shown = refreshAndRead(*window);
    return window;
}

void TestE2eServerView::noCaseShowsBlack()
{
    QByteArray shown;
    const std::unique_ptr<DisplayWindow> window = showingView(shown);
    QVERIFY(window);
    QVERIFY(!allBlack(shown, x_.depth()));
    prefsModule::magFactor = 7;
    QVERIFY2(allBlack(refreshAndRead(*window), x_.depth()), "a refresh without a case shows the last view");
    QCOMPARE(window->Backdrop().pixel(150, 90), qRgb(0, 0, 0));
}

// An expose paints the last refresh again, from its capture: not the screen as it is now.
void TestE2eServerView::exposeShowsTheKeptCapture()
{
    QByteArray shown;
    const std::unique_ptr<DisplayWindow> window = showingView(shown);
    QVERIFY(window);
    QVERIFY(!allBlack(shown, x_.depth()));

    Cover overSource(QRect(0, 0, 600, 450), Qt::red);
    overSource.show();
    QVERIFY(QTest::qWaitForWindowExposed(&overSource));
    {
        Cover overWindow(window->geometry(), Qt::green);
        overWindow.show();
        QVERIFY(QTest::qWaitForWindowExposed(&overWindow));
        x_.sync();
    }
    x_.sync();
    QTest::qWait(100);
    const QByteArray again = rawPixels(x_, xcb_window_t(window->winId()), window->size() * window->devicePixelRatio());
    const QString why = firstDifference(again, shown, int(window->height() * window->devicePixelRatio()), x_.depth());
    QVERIFY2(why.isEmpty(), qPrintable(why));
}

// The server refuses the view (here: the window is gone under it). The program goes on, draws
// the view itself from then on, and does not crash.
void TestE2eServerView::refusedViewFallsBack()
{
    // Without RENDER the program draws from the start, and losing its window must not end
    // the refreshes either.
    QByteArray shown;
    const std::unique_ptr<DisplayWindow> window = showingView(shown);
    QVERIFY(window);
    QCOMPARE(window->drawnByServer(), render_);

    xcb_destroy_window(x_.get(), xcb_window_t(window->winId()));
    x_.sync();
    for (int i = 0; i < 4 && window->drawnByServer(); ++i)
        refreshAndRead(*window);
    QVERIFY(!window->drawnByServer());
    window->details1();
    QCOMPARE(window->Backdrop().size(), QSize(300, 187));
}

QTEST_MAIN(TestE2eServerView)
#include "tst_e2e_server_view.moc"
