// The real program magnifying a real X screen. The test puts a pattern on the screen whose every
// pixel's colour tells where it is, points the pointer somewhere, starts the program and reads
// the display window's pixels back from the X server: the picture must be exactly the expected
// rectangle of the screen, enlarged, with black for what lies off the screen.
//
// Registered on servers with and without MIT-SHM (the shared-memory capture, the capture that
// goes through Qt), with and without RENDER (the view drawn by the server), with the program
// told to draw the view itself (VIZZOLEN_NO_RENDER), and on a screen of depth 16. The magnified
// views run once more with the scale set as a user's high-DPI desktop sets it
// (VIZZOLEN_E2E_XFT_DPI=192): the X resource Xft.dpi, merged before each start of the program,
// and no Qt variable.

#include "e2e/viewcheck.h"
#include "e2e/xhelpers.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <QScreen>
#include <QWidget>
#include <QtTest>

#include <xcb/render.h>

#include <cmath>

using xh::rectText;
using namespace vc;

namespace {

// The whole screen covered with the pattern; the program's windows, mapped later, lie above it.
class PatternWindow : public QWidget
{
public:
    explicit PatternWindow(QSize size)
        : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus),
          image_(size, QImage::Format_RGB32)
    {
        for (int y = 0; y < size.height(); ++y) {
            auto *line = reinterpret_cast<QRgb *>(image_.scanLine(y));
            for (int x = 0; x < size.width(); ++x)
                line[x] = patternAt(x, y);
        }
        setAttribute(Qt::WA_OpaquePaintEvent);
        setWindowTitle(QStringLiteral("pattern"));
        setGeometry(QRect(QPoint(0, 0), size));
    }

    const QImage &image() const { return image_; }

protected:
    void paintEvent(QPaintEvent *) override { QPainter(this).drawImage(0, 0, image_); }

private:
    QImage image_;
};

} // namespace

class TestE2eCapture : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void magnify_data();
    void magnify();
    void followsThePointer();
    void closedDisplayComesBack();
    void screenshot();
    void cleanupTestCase();

private:
    // Waits until the program's display window stands at `display` (any place when null) and
    // shows `source`; returns what is still wrong when it does not in time.
    QString waitForPicture(xh::Program &program, const QRect &display, QSize size, QRect source,
                           bool wholeCells, xcb_window_t *window = nullptr);

    xh::XConnection x_;
    std::unique_ptr<PatternWindow> pattern_;
    QImage screen_; // the pattern as the server holds it
};

void TestE2eCapture::initTestCase()
{
    QVERIFY2(x_.ok(), "cannot connect to the X server");
    const bool depth16 = qEnvironmentVariable("XVFB_SCREEN").endsWith(QLatin1String("x16"));
    QCOMPARE(x_.depth(), depth16 ? 16 : 24);
    // The rows below are laid out for the test server's screen.
    QCOMPARE(x_.screenSize(), QSize(1280, 1024));
    QVERIFY(QGuiApplication::primaryScreen());
    QCOMPARE(QGuiApplication::primaryScreen()->devicePixelRatio(), 1.0);

    // The run registered without MIT-SHM must really be without it, or the capture that works
    // without shared memory would go untested.
    if (qEnvironmentVariable("XVFB_ARGS").contains(QLatin1String("MIT-SHM")))
        QVERIFY2(!x_.hasShm(), "the server was to run without MIT-SHM but offers it");
    qInfo("server %s MIT-SHM", x_.hasShm() ? "offers" : "does not offer");
    if (qEnvironmentVariable("XVFB_ARGS").contains(QLatin1String("RENDER")))
        QVERIFY2(!xcb_get_extension_data(x_.get(), &xcb_render_id)->present,
                 "the server was to run without RENDER but offers it");

    pattern_ = std::make_unique<PatternWindow>(x_.screenSize());
    pattern_->show();
    // On a screen of depth 16 the server holds the pattern with fewer bits per colour.
    screen_ = depth16 ? pattern_->image().convertToFormat(QImage::Format_RGB16).convertToFormat(QImage::Format_RGB32)
                      : pattern_->image();
    QTRY_VERIFY_WITH_TIMEOUT(x_.grabScreen() == screen_, 10000);
}

void TestE2eCapture::cleanupTestCase()
{
    pattern_.reset();
}

QString TestE2eCapture::waitForPicture(xh::Program &program, const QRect &display, QSize size,
                                       QRect source, bool wholeCells, xcb_window_t *window)
{
    QString why;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 5000) {
        if (!program.running())
            return QStringLiteral("the program %1").arg(program.status());
        const std::optional<xh::TopLevel> w = x_.window(program.pid(), QStringLiteral("Display Window"));
        if (!w || !w->viewable) {
            why = QStringLiteral("no display window mapped");
        } else if (!display.isNull() && w->geometry != display) {
            why = QStringLiteral("display window at %1, expected %2").arg(rectText(w->geometry), rectText(display));
        } else if (w->geometry.size() != size) {
            why = QStringLiteral("display window of %1, expected %2x%3")
                      .arg(rectText(w->geometry))
                      .arg(size.width())
                      .arg(size.height());
        } else if (source.intersects(w->geometry)) {
            return QStringLiteral("bad test row: the display window %1 lies in its own source %2")
                .arg(rectText(w->geometry), rectText(source));
        } else {
            why = compareDisplay(x_.grab(w->geometry), source, screen_, wholeCells);
            if (why.isEmpty()) {
                if (window)
                    *window = w->id;
                return QString();
            }
        }
        QTest::qWait(25);
    }
    return why;
}

void TestE2eCapture::magnify_data()
{
    QTest::addColumn<int>("scale");
    QTest::addColumn<int>("magnification");
    QTest::addColumn<int>("width");
    QTest::addColumn<QPoint>("panel");   // content top-left, device-independent
    QTest::addColumn<QPoint>("pointer"); // device pixels

    // Scale 1: panel low on the screen, the captured area well above the display window.
    const QPoint low(20, 860);
    QTest::newRow("m2 w200") << 1 << 2 << 200 << low << QPoint(400, 300);
    QTest::newRow("m2 w600") << 1 << 2 << 600 << low << QPoint(700, 250);
    QTest::newRow("m3 w400") << 1 << 3 << 400 << low << QPoint(555, 333);
    QTest::newRow("m4 w300") << 1 << 4 << 300 << low << QPoint(1000, 500);
    QTest::newRow("m5 w300") << 1 << 5 << 300 << low << QPoint(300, 200);
    QTest::newRow("m5 w500") << 1 << 5 << 500 << low << QPoint(901, 417);
    QTest::newRow("m6 w600") << 1 << 6 << 600 << low << QPoint(640, 300);
    // Scale 2: the screen enlarged two times whatever the magnification, only the offsets differ.
    // Pointer positions even, so that the device-independent position is exact.
    const QPoint low2(0, 360);
    QTest::newRow("x2 m2 w200") << 2 << 2 << 200 << low2 << QPoint(600, 260);
    QTest::newRow("x2 m2 w300") << 2 << 2 << 300 << low2 << QPoint(800, 300);
    QTest::newRow("x2 m5 w200") << 2 << 5 << 200 << low2 << QPoint(420, 200);
    QTest::newRow("x2 m5 w300") << 2 << 5 << 300 << low2 << QPoint(1000, 280);
    QTest::newRow("x2 m6 w300") << 2 << 6 << 300 << low2 << QPoint(700, 350);
    // The pointer in a corner: what lies off the screen is black, the rest is the screen.
    QTest::newRow("top-left corner") << 1 << 3 << 300 << low << QPoint(3, 3);
    QTest::newRow("top-left corner m6") << 1 << 6 << 500 << low << QPoint(0, 0);
    QTest::newRow("bottom-right corner") << 1 << 2 << 400 << low << QPoint(1276, 1020);
    QTest::newRow("x2 top-left corner") << 2 << 2 << 300 << low2 << QPoint(6, 6);
    QTest::newRow("x2 bottom-right corner") << 2 << 2 << 200 << QPoint(0, 40) << QPoint(1278, 1022);
}

void TestE2eCapture::magnify()
{
    QFETCH(int, scale);
    QFETCH(int, magnification);
    QFETCH(int, width);
    QFETCH(QPoint, panel);
    QFETCH(QPoint, pointer);

    x_.warpPointer(pointer);
    QCOMPARE(x_.pointer(), pointer);

    const int height = displayHeight(width);
    const QRect display = expectedDisplay(scale, panel, width);
    const QRect source = expectedSource(scale, magnification, width, height, pointer);
    QVERIFY2(!source.intersects(display), "bad test row: the display window would show itself");
    const QRect screen(QPoint(0, 0), x_.screenSize());
    if (QByteArray(QTest::currentDataTag()).contains("corner"))
        QVERIFY2(screen.intersects(source) && !screen.contains(source), "bad test row: not across a corner");

    xh::Program program;
    QStringList env;
    if (const int xftDpi = qEnvironmentVariableIntValue("VIZZOLEN_E2E_XFT_DPI")) {
        const QString why = mergeXftDpi(scale == 2 ? xftDpi : 96);
        QVERIFY2(why.isEmpty(), qPrintable(why));
        env = withoutQtVariables();
    } else if (scale == 2) {
        env << QStringLiteral("QT_SCALE_FACTOR=2");
    }
    QVERIFY(program.start(prefsFile(panel, magnification, width), env));

    // The panel must not lie in the source either, or the picture would show it.
    QTRY_VERIFY_WITH_TIMEOUT(x_.window(program.pid(), QStringLiteral("Vizzolen")).value_or(xh::TopLevel()).viewable,
                             8000);
    const QRect panelWindow = x_.window(program.pid(), QStringLiteral("Vizzolen"))->geometry;
    QVERIFY2(!source.intersects(panelWindow),
             qPrintable(QStringLiteral("bad test row: panel %1 in source %2").arg(rectText(panelWindow), rectText(source))));

    const QString why = waitForPicture(program, display, display.size(), source, scale == 2);
    QVERIFY2(why.isEmpty(), qPrintable(why));

    // A few more refreshes change nothing, and the program is still there.
    QTest::qWait(300);
    QVERIFY2(program.running(), qPrintable(program.status()));
    const std::optional<xh::TopLevel> w = x_.window(program.pid(), QStringLiteral("Display Window"));
    QVERIFY(w && w->viewable);
    const QString again = compareDisplay(x_.grab(w->geometry), source, screen_, scale == 2);
    QVERIFY2(again.isEmpty(), qPrintable(again));
}

// The pointer moved a little and far, on both sides: each time the view shows the new place.
void TestE2eCapture::followsThePointer()
{
    const QPoint panel(20, 860);
    const int width = 400;
    const int height = displayHeight(width);
    xh::Program program;
    x_.warpPointer(QPoint(500, 300));
    QVERIFY(program.start(prefsFile(panel, 3, width)));
    for (const QPoint pointer : {QPoint(500, 300), QPoint(513, 291), QPoint(470, 330), QPoint(900, 520),
                                 QPoint(880, 540), QPoint(200, 150)}) {
        x_.warpPointer(pointer);
        const QString why = waitForPicture(program, expectedDisplay(1, panel, width), QSize(width, height),
                                           expectedSource(1, 3, width, height, pointer), false);
        QVERIFY2(why.isEmpty(), qPrintable(QStringLiteral("pointer at %1,%2: %3").arg(pointer.x()).arg(pointer.y()).arg(why)));
    }
}

void TestE2eCapture::closedDisplayComesBack()
{
    const QPoint pointer(900, 300);
    x_.warpPointer(pointer);
    xh::Program program;
    QVERIFY(program.start(prefsFile(QPoint(20, 860), 3, 300)));

    xcb_window_t old = 0;
    QString why = waitForPicture(program, expectedDisplay(1, QPoint(20, 860), 300), QSize(300, 187),
                                 expectedSource(1, 3, 300, 187, pointer), false, &old);
    QVERIFY2(why.isEmpty(), qPrintable(why));

    // What a window manager sends when the user clicks the close button.
    QElapsedTimer timer;
    timer.start();
    x_.requestClose(old);
    auto reopened = [&] {
        const std::optional<xh::TopLevel> w = x_.window(program.pid(), QStringLiteral("Display Window"));
        return w && w->viewable && w->id != old;
    };
    QTRY_VERIFY_WITH_TIMEOUT(reopened(), 5000);
    qInfo("display window back after %lld ms", qint64(timer.elapsed()));
    QTRY_VERIFY_WITH_TIMEOUT(!x_.exists(old), 5000);

    // A fresh window from its design, 600 x 400, which the refresh fills at that size.
    const xh::TopLevel w = *x_.window(program.pid(), QStringLiteral("Display Window"));
    QCOMPARE(w.geometry.size(), QSize(600, 400));
    why = waitForPicture(program, QRect(), QSize(600, 400), expectedSource(1, 3, 600, 400, pointer), false);
    QVERIFY2(why.isEmpty(), qPrintable(why));
    QVERIFY2(program.running(), qPrintable(program.status()));
    QVERIFY(x_.window(program.pid(), QStringLiteral("Vizzolen")).value_or(xh::TopLevel()).viewable);
}

void TestE2eCapture::screenshot()
{
    // Where four tiles of the pattern meet, so that the enlargement is plain to see.
    const QPoint pointer(768, 256);
    const QPoint panel(20, 860);
    x_.warpPointer(pointer);
    xh::Program program;
    QVERIFY(program.start(prefsFile(panel, 4, 500)));
    const QString why = waitForPicture(program, expectedDisplay(1, panel, 500), QSize(500, 312),
                                       expectedSource(1, 4, 500, 312, pointer), false);
    QVERIFY2(why.isEmpty(), qPrintable(why));

    const QImage screen = x_.grabScreen();
    QVERIFY(!screen.isNull());
    const QString path = QStringLiteral(VIZZOLEN_ARTIFACTS_DIR "/%1.png")
                             .arg(x_.hasShm() ? "e2e-screenshot" : "e2e-screenshot-noshm");
    QVERIFY2(screen.save(path), qPrintable(path));
    qInfo("screenshot: %s", qPrintable(path));
}

QTEST_MAIN(TestE2eCapture)
#include "tst_e2e_capture.moc"
