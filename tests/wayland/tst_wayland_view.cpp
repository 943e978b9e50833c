// The real program on a Wayland desktop: a headless GNOME (tests/wayland/with-gnome.sh) with the
// real screen-cast portal. A NATIVE Wayland window covers the monitor with a pattern whose every
// pixel tells where it is (so X11 could never see it), an X11 window of the test's own lies over
// part of it with another pattern, the pointer is moved by mutter's remote desktop, and the
// display window's pixels are read back from the X side: they must be the rectangle that the
// refresh tables give for the pointer, enlarged, black where it leaves the monitor.
//
// Registered again on a monitor of scale 2 (GNOME_SCALE=2), whose stream has twice the pixels of
// its place on the desktop, where Xwayland's screen and the tables count: the view shows the
// frame pixel under each point of the rectangle.
//
// The permission: the first case answers the real "Screen Share" dialog as a user would and
// starts the program again to see that it does not ask the second time; the others find the
// permission seeded in the permission store, with its token in the program's state file.

#include "e2e/viewcheck.h"
#include "e2e/xhelpers.h"
#include "wayland/gnomehelpers.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <QWidget>
#include <QtTest>

using xh::rectText;

namespace {

// The X11 window's own pattern: unlike the native one's, with a blue above 0xf0 that the native
// one never has.
QRgb x11PatternAt(int x, int y)
{
    return qRgb(255 - (x & 255), 255 - (y & 255), 0xf0 | ((x >> 4) & 0x0f));
}

class X11Window : public QWidget
{
public:
    explicit X11Window(const QRect &geometry)
        : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus),
          image_(geometry.size(), QImage::Format_RGB32)
    {
        for (int y = 0; y < image_.height(); ++y) {
            for (int x = 0; x < image_.width(); ++x)
                image_.setPixel(x, y, x11PatternAt(x, y));
        }
        setAttribute(Qt::WA_OpaquePaintEvent);
        setWindowTitle(QStringLiteral("x11 pattern"));
        setGeometry(geometry);
    }
    const QImage &image() const { return image_; }

protected:
    void paintEvent(QPaintEvent *) override { QPainter(this).drawImage(0, 0, image_); }

private:
    QImage image_;
};

// How far from a window mutter's shadow around it reaches, at most.
constexpr int kShadow = 40;

// Stream pixels per desktop point.
int scale()
{
    return std::max(1, qEnvironmentVariableIntValue("GNOME_SCALE"));
}

QString stateFile()
{
    return QDir::homePath() + QStringLiteral("/.local/state/vzln-screencast.txt");
}

bool writeStateFile(const QString &token)
{
    QDir().mkpath(QFileInfo(stateFile()).absolutePath());
    QFile f(stateFile());
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(token.toLatin1() + "\n") > 0;
}

QString readStateFile()
{
    QFile f(stateFile());
    return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll()).trimmed() : QString();
}

// The program as a user starts it on this desktop: no Qt platform chosen, the session's own
// runtime folder.
QStringList desktopEnvironment()
{
    return {QStringLiteral("QT_QPA_PLATFORM"),
            QStringLiteral("XDG_RUNTIME_DIR=") + qEnvironmentVariable("XDG_RUNTIME_DIR")};
}

} // namespace

class tst_wayland_view : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void dialogOnceThenRemembered();
    void magnify_data();
    void magnify();
    void followsThePointer();
    void magnifyHighDpi_data();
    void magnifyHighDpi();
    void screenshot();

private:
    QString waitForPicture(xh::Program &program, const QRect &display, const QRect &source, int timeoutMs = 8000,
                           bool wholeCells = false);
    bool startSeeded(xh::Program &program, const QByteArray &prefs, const QStringList &env = {});

    xh::XConnection x_;
    gh::RemoteDesktop rd_;
    gh::NativePatternWindow native_;
    std::unique_ptr<X11Window> x11_;
    QImage screen_; // what the monitor shows, but for the program's own windows
};

void tst_wayland_view::initTestCase()
{
    QVERIFY2(x_.ok(), "cannot connect to Xwayland");
    QCOMPARE(x_.screenSize(), QSize(1280, 800));
    QVERIFY2(rd_.start(), qPrintable(rd_.error()));
    QVERIFY2(native_.start(), qPrintable(native_.error()));
    const int s = scale();
    QCOMPARE(native_.geometry(), QRect(0, 0, 1280 * s, 800 * s));

    x11_ = std::make_unique<X11Window>(QRect(900, 420, 300, 200));
    x11_->show();
    QTRY_VERIFY_WITH_TIMEOUT(x_.client(QCoreApplication::applicationPid(), QStringLiteral("x11 pattern"))
                                 .value_or(xh::TopLevel()).viewable, 10000);
    QCOMPARE(x_.client(QCoreApplication::applicationPid(), QStringLiteral("x11 pattern"))->geometry,
             QRect(900, 420, 300, 200));

    // The monitor as the desktop shows it, read from a stream of mutter's own by GStreamer: the
    // native pattern, and the X11 window's above it. Mutter draws a faint shadow around the X11
    // window, which only its picture knows; everywhere else the picture must be the two
    // patterns exactly (on a scaled monitor mutter enlarges the X11 window's, so only the
    // native one is known there).
    const QRect x11Rect(x11_->geometry().topLeft() * s, x11_->geometry().size() * s);
    QImage shot;
    QTRY_VERIFY_WITH_TIMEOUT((shot = rd_.screenshot()).pixel(1000 * s, 500 * s) != gh::patternColor(1000 * s, 500 * s),
                             10000);
    QCOMPARE(shot.size(), QSize(1280 * s, 800 * s));
    const QRect shadow = x11Rect.adjusted(-kShadow * s, -kShadow * s, kShadow * s, kShadow * s);
    qint64 wrong = 0;
    for (int y = 0; y < shot.height(); ++y) {
        for (int x = 0; x < shot.width(); ++x) {
            const QPoint p(x, y);
            if (shadow.contains(p) && (s > 1 || !x11Rect.contains(p)))
                continue;
            const QRgb want = x11Rect.contains(p) ? x11PatternAt(x - x11Rect.x(), y - x11Rect.y()) : gh::patternColor(x, y);
            wrong += shot.pixel(p) != want;
        }
    }
    QCOMPARE(wrong, qint64(0));
    // In the desktop's points, each the frame pixel at its top-left corner.
    screen_ = QImage(1280, 800, QImage::Format_RGB32);
    for (int y = 0; y < 800; ++y) {
        for (int x = 0; x < 1280; ++x)
            screen_.setPixel(x, y, shot.pixel(x * s, y * s));
    }
}

QString tst_wayland_view::waitForPicture(xh::Program &program, const QRect &display, const QRect &source,
                                         int timeoutMs, bool wholeCells)
{
    // Mutter draws a faint shadow around the program's windows too, which the desktop's picture
    // taken before they came does not hold.
    if (source.intersects(display.adjusted(-kShadow, -kShadow, kShadow, kShadow)))
        return QStringLiteral("bad test row: the source %1 lies in the display window's shadow").arg(rectText(source));
    QString why;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        if (!program.running())
            return QStringLiteral("the program %1").arg(program.status());
        const std::optional<xh::TopLevel> w = x_.client(program.pid(), QStringLiteral("Display Window"));
        if (!w || !w->viewable) {
            why = QStringLiteral("no display window mapped");
        } else if (w->geometry != display) {
            why = QStringLiteral("display window at %1, expected %2").arg(rectText(w->geometry), rectText(display));
        } else if (source.intersects(w->geometry)) {
            return QStringLiteral("bad test row: the display window %1 lies in its own source %2")
                .arg(rectText(w->geometry), rectText(source));
        } else {
            why = vc::compareDisplay(x_.grabWindow(w->id, QRect(QPoint(0, 0), w->geometry.size())), source,
                                     screen_, wholeCells);
            if (why.isEmpty())
                return QString();
        }
        QTest::qWait(50);
    }
    return why;
}

bool tst_wayland_view::startSeeded(xh::Program &program, const QByteArray &prefs, const QStringList &env)
{
    const QString token = gh::newRestoreToken();
    QString error;
    if (!gh::seedScreenCastPermission(token, &error)) {
        qWarning("%s", qPrintable(error));
        return false;
    }
    return writeStateFile(token) && program.start(prefs, desktopEnvironment() + env);
}

// The first start asks; the user shares; the program keeps the desktop's token, and the next
// start shows the screen with no dialog at all.
void tst_wayland_view::dialogOnceThenRemembered()
{
    QFile::remove(stateFile());
    const QPoint panel(20, 620);
    const QPoint pointer(400, 300);
    const QByteArray prefs = vc::prefsFile(panel, 3, 300);
    const QRect display = vc::expectedDisplay(1, panel, 300);
    const QRect source = vc::expectedSource(1, 3, 300, 187, pointer);
    {
        xh::Program program;
        QVERIFY(program.start(prefs, desktopEnvironment()));
        QString error;
        QVERIFY2(gh::answerShareDialog(rd_, 30000, &error), qPrintable(error));
        QVERIFY2(rd_.movePointer(pointer * scale()), qPrintable(rd_.error()));
        const QString why = waitForPicture(program, display, source);
        QVERIFY2(why.isEmpty(), qPrintable(why));
        QVERIFY2(!readStateFile().isEmpty(), "no restore token kept");
    }
    {
        xh::Program program;
        QVERIFY(program.start(prefs, desktopEnvironment()));
        const QPoint elsewhere(600, 250);
        QVERIFY2(rd_.movePointer(elsewhere * scale()), qPrintable(rd_.error()));
        // Nobody answers anything now: the view comes all the same, and no dialog is up.
        const QString why = waitForPicture(program, display, vc::expectedSource(1, 3, 300, 187, elsewhere));
        QVERIFY2(why.isEmpty(), qPrintable(why));
        QVERIFY(!gh::dialog::shareButton(rd_.screenshot()));
        QVERIFY(!readStateFile().isEmpty());
    }
}

void tst_wayland_view::magnify_data()
{
    QTest::addColumn<int>("magnification");
    QTest::addColumn<int>("width");
    QTest::addColumn<QPoint>("pointer");

    // The panel low on the left, its display window beside it; no row's rectangle meets them.
    QTest::newRow("m2 w200, whole ratio") << 2 << 200 << QPoint(400, 300);
    QTest::newRow("m3 w400, ratio 400/133") << 3 << 400 << QPoint(555, 333);
    QTest::newRow("m5 w300, ratio 300/60") << 5 << 300 << QPoint(300, 200);
    QTest::newRow("m6 w600, ratio 600/100") << 6 << 600 << QPoint(640, 300);
    QTest::newRow("m4 w300 over the X11 window") << 4 << 300 << QPoint(1000, 500);
    QTest::newRow("m2 w400 across the X11 window's corner") << 2 << 400 << QPoint(950, 450);
    QTest::newRow("top-left corner") << 3 << 300 << QPoint(3, 3);
    QTest::newRow("top-left corner m6") << 6 << 500 << QPoint(0, 0);
    QTest::newRow("top-right corner") << 2 << 300 << QPoint(1279, 2);
    QTest::newRow("bottom-right corner") << 2 << 400 << QPoint(1276, 796);
}

void tst_wayland_view::magnify()
{
    QFETCH(int, magnification);
    QFETCH(int, width);
    QFETCH(QPoint, pointer);

    const QPoint panel(20, 620);
    const int height = displayHeight(width);
    const QRect display = vc::expectedDisplay(1, panel, width);
    const QRect source = vc::expectedSource(1, magnification, width, height, pointer);
    QVERIFY2(!source.intersects(display), "bad test row: the display window would show itself");
    if (QByteArray(QTest::currentDataTag()).contains("corner") && !QByteArray(QTest::currentDataTag()).contains("X11"))
        QVERIFY2(!QRect(0, 0, 1280, 800).contains(source), "bad test row: not across the monitor's edge");

    QVERIFY2(rd_.movePointer(pointer * scale()), qPrintable(rd_.error()));
    xh::Program program;
    QVERIFY(startSeeded(program, vc::prefsFile(panel, magnification, width)));
    QTRY_VERIFY_WITH_TIMEOUT(x_.client(program.pid(), QStringLiteral("Vizzolen")).value_or(xh::TopLevel()).viewable,
                             10000);
    const QRect panelWindow = x_.client(program.pid(), QStringLiteral("Vizzolen"))->geometry;
    QVERIFY2(!source.intersects(panelWindow.adjusted(-kShadow, -kShadow, kShadow, kShadow)),
             qPrintable(QStringLiteral("bad test row: panel %1 in source %2").arg(rectText(panelWindow), rectText(source))));

    const QString why = waitForPicture(program, display, source);
    QVERIFY2(why.isEmpty(), qPrintable(why));
}

// Moved a little and far, over the native window and the X11 one and back: the view follows.
void tst_wayland_view::followsThePointer()
{
    const QPoint panel(20, 620);
    xh::Program program;
    QVERIFY(startSeeded(program, vc::prefsFile(panel, 3, 400)));
    for (const QPoint pointer : {QPoint(500, 300), QPoint(501, 300), QPoint(513, 291), QPoint(1000, 500),
                                 QPoint(1001, 501), QPoint(470, 330), QPoint(1100, 100), QPoint(200, 150)}) {
        QVERIFY2(rd_.movePointer(pointer * scale()), qPrintable(rd_.error()));
        const QString why = waitForPicture(program, vc::expectedDisplay(1, panel, 400),
                                           vc::expectedSource(1, 3, 400, 250, pointer));
        QVERIFY2(why.isEmpty(),
                 qPrintable(QStringLiteral("pointer at %1,%2: %3").arg(pointer.x()).arg(pointer.y()).arg(why)));
    }
}

// A high-DPI desktop as GNOME makes one without fractional scaling: Xwayland in the monitor's
// own pixels, and Xft.dpi 192 for X11 programs, which then take the refresh of scale 2. Run
// alone (VIZZOLEN_E2E_XFT_DPI=192), since the setting stays on the server.
void tst_wayland_view::magnifyHighDpi_data()
{
    QTest::addColumn<int>("magnification");
    QTest::addColumn<int>("width");
    QTest::addColumn<QPoint>("pointer"); // device pixels

    QTest::newRow("x2 m2 w200") << 2 << 200 << QPoint(300, 150);
    QTest::newRow("x2 m5 w300") << 5 << 300 << QPoint(1000, 150);
    QTest::newRow("x2 over the X11 window") << 3 << 200 << QPoint(1100, 560);
    QTest::newRow("x2 top-left corner") << 2 << 300 << QPoint(6, 6);
    QTest::newRow("x2 bottom-right corner") << 2 << 200 << QPoint(1278, 798);
}

void tst_wayland_view::magnifyHighDpi()
{
    const int dpi = qEnvironmentVariableIntValue("VIZZOLEN_E2E_XFT_DPI");
    QCOMPARE(dpi, 192);
    QFETCH(int, magnification);
    QFETCH(int, width);
    QFETCH(QPoint, pointer);

    const QString why = vc::mergeXftDpi(dpi);
    QVERIFY2(why.isEmpty(), qPrintable(why));
    const QPoint panel(0, 200); // device-independent, on a screen of 640 x 400 of them
    const int height = displayHeight(width);
    const QRect display = vc::expectedDisplay(2, panel, width);
    const QRect source = vc::expectedSource(2, magnification, width, height, pointer);
    QVERIFY2(!source.intersects(display), "bad test row: the display window would show itself");

    QVERIFY2(rd_.movePointer(pointer), qPrintable(rd_.error()));
    xh::Program program;
    QVERIFY(startSeeded(program, vc::prefsFile(panel, magnification, width), vc::withoutQtVariables()));
    QTRY_VERIFY_WITH_TIMEOUT(x_.client(program.pid(), QStringLiteral("Vizzolen")).value_or(xh::TopLevel()).viewable,
                             10000);
    const QRect panelWindow = x_.client(program.pid(), QStringLiteral("Vizzolen"))->geometry;
    QVERIFY2(!source.intersects(panelWindow.adjusted(-kShadow, -kShadow, kShadow, kShadow)),
             qPrintable(QStringLiteral("bad test row: panel %1 in source %2").arg(rectText(panelWindow), rectText(source))));
    const QString wrong = waitForPicture(program, display, source, 8000, true);
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
}

// Both windows and the view as the desktop shows them, kept for a person to look at.
void tst_wayland_view::screenshot()
{
    const QPoint panel(20, 620);
    const QPoint pointer(768, 256);
    QVERIFY2(rd_.movePointer(pointer * scale()), qPrintable(rd_.error()));
    xh::Program program;
    QVERIFY(startSeeded(program, vc::prefsFile(panel, 4, 500)));
    const QString why = waitForPicture(program, vc::expectedDisplay(1, panel, 500),
                                       vc::expectedSource(1, 4, 500, 312, pointer));
    QVERIFY2(why.isEmpty(), qPrintable(why));
    const QImage shot = rd_.screenshot();
    QVERIFY(!shot.isNull());
    const QString path = QStringLiteral(VIZZOLEN_ARTIFACTS_DIR "/wayland-screenshot.png");
    QVERIFY2(shot.save(path), qPrintable(path));
    qInfo("screenshot: %s", qPrintable(path));
}

int main(int argc, char **argv)
{
    // The test's own X11 window goes to Xwayland, whatever plug-ins are installed.
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    tst_wayland_view test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_wayland_view.moc"
