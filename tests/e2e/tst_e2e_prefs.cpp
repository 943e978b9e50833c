// The real program's windows on a real X server, placed from the preferences file, moved as a
// window manager would move them, and the file written back on quitting. The window tree is read
// from the server; keys and clicks go through XTEST (xdotool), as a user's would.

#include "e2e/xhelpers.h"

#include <QElapsedTimer>
#include <QtTest>
#include <csignal>
#include <sys/types.h>

using xh::kPanelHeight;
using xh::kPanelWidth;
using xh::prefsFile;
using xh::rectText;

class TestE2ePrefs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void startPosition_data();
    void startPosition();
    void moveAndQuit_data();
    void moveAndQuit();
    void hideAndMove();
    void displayWindowHints();

private:
    struct Windows
    {
        xh::TopLevel panel;
        xh::TopLevel display;
        int menuBarHeight = 0; // device-independent
    };
    // Checks that the program's panel and display window are both mapped and stand as a panel
    // whose content's top-left corner is (left, top) puts them. Positions are device-independent,
    // the program running at `scale`; the X server counts device pixels.
    bool placed(xh::Program &program, int scale, int top, int left, int displayWidth, Windows *windows,
                QString *why);
    QString quit(xh::Program &program, int scale, const Windows &windows, const QString &how);

    xh::XConnection x_;
};

void TestE2ePrefs::initTestCase()
{
    QVERIFY2(x_.ok(), "cannot connect to the X server");
    // The start-up rows know the test server's screen height; no window manager takes any
    // of it, so all of it is available.
    QCOMPARE(x_.screenSize(), QSize(1280, 1024));
    const QString missing = xh::xdotool({QStringLiteral("version")});
    QVERIFY2(missing.isEmpty(), qPrintable(missing));
}

bool TestE2ePrefs::placed(xh::Program &program, int scale, int top, int left, int displayWidth, Windows *w,
                          QString *why)
{
    const int displayHeight = displayWidth == 400 ? 250 : -1;
    if (!program.running()) {
        *why = QStringLiteral("the program %1").arg(program.status());
        return false;
    }
    const auto panel = x_.window(program.pid(), QStringLiteral("Vizzolen"));
    const auto display = x_.window(program.pid(), QStringLiteral("Display Window"));
    if (!panel || !panel->viewable || !display || !display->viewable) {
        *why = QStringLiteral("panel or display window not mapped");
        return false;
    }
    w->panel = *panel;
    w->display = *display;
    // The X window holds the menu bar above the panel's 251 x 137 content.
    w->menuBarHeight = panel->geometry.height() / scale - kPanelHeight;
    const QRect expectedPanel(scale * left, scale * (top - w->menuBarHeight), scale * kPanelWidth,
                              scale * (kPanelHeight + w->menuBarHeight));
    const QRect expectedDisplay(scale * (left + kPanelWidth + 10), scale * (top + kPanelHeight - displayHeight),
                                scale * displayWidth, scale * displayHeight);
    if (w->menuBarHeight <= 0 || w->menuBarHeight > 100 || panel->geometry != expectedPanel
        || display->geometry != expectedDisplay) {
        *why = QStringLiteral("panel at %1, display window at %2; expected %3 (content top %4) and %5")
                   .arg(rectText(panel->geometry), rectText(display->geometry), rectText(expectedPanel))
                   .arg(top)
                   .arg(rectText(expectedDisplay));
        return false;
    }
    return true;
}

QString TestE2ePrefs::quit(xh::Program &program, int scale, const Windows &w, const QString &how)
{
    const QString panel = QString::number(w.panel.id);
    QString problem;
    if (how == u"shortcut") {
        // Without a window manager nobody hands out the focus; the panel gets it the way a
        // window manager would give it, and then the keys go to it.
        problem = xh::xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), panel});
        if (problem.isEmpty())
            problem = xh::xdotool({QStringLiteral("key"), QStringLiteral("ctrl+q")});
    } else if (how == u"SIGTERM" || how == u"SIGHUP") {
        ::kill(pid_t(program.pid()), how == u"SIGTERM" ? SIGTERM : SIGHUP);
    } else if (how == u"close") {
        // What a window manager sends when the user clicks the panel's close button.
        x_.requestClose(w.panel.id);
    } else {
        // File, then its second item, Quit.
        const QRect g = w.panel.geometry;
        problem = xh::xdotool({QStringLiteral("mousemove"), QStringLiteral("--sync"), QString::number(g.x() + 15 * scale),
                               QString::number(g.y() + w.menuBarHeight * scale / 2), QStringLiteral("click"),
                               QStringLiteral("1")});
        if (!problem.isEmpty())
            return problem;
        std::optional<xh::TopLevel> popup;
        QElapsedTimer timer;
        timer.start();
        while (!popup && timer.elapsed() < 5000) {
            for (const xh::TopLevel &t : x_.topLevels()) {
                if (t.pid == quint32(program.pid()) && t.viewable && t.overrideRedirect && t.geometry.height() > 20)
                    popup = t;
            }
            if (!popup)
                QTest::qWait(20);
        }
        if (!popup)
            return QStringLiteral("the File menu did not open");
        const QRect m = popup->geometry;
        problem = xh::xdotool({QStringLiteral("mousemove"), QStringLiteral("--sync"),
                               QString::number(m.x() + m.width() / 2),
                               QString::number(m.y() + m.height() * 3 / 4), QStringLiteral("click"),
                               QStringLiteral("1")});
    }
    if (!problem.isEmpty())
        return problem;
    if (!program.process().waitForFinished(10000))
        return QStringLiteral("the program did not end after Quit (%1)").arg(how);
    if (program.process().exitStatus() != QProcess::NormalExit || program.process().exitCode() != 0)
        return QStringLiteral("the program %1").arg(program.status());
    return QString();
}

void TestE2ePrefs::startPosition_data()
{
    QTest::addColumn<int>("scale");
    QTest::addColumn<int>("savedTop");
    QTest::addColumn<int>("savedLeft");
    QTest::addColumn<int>("top"); // where the panel's content must start

    QTest::newRow("as saved") << 1 << 600 << 40 << 600;
    QTest::newRow("bottom just on the screen") << 1 << 1024 - 137 << 300 << 1024 - 137;
    QTest::newRow("bottom kept on the screen") << 1 << 950 << 100 << 1024 - 137;
    QTest::newRow("far below the screen") << 1 << 30000 << 100 << 1024 - 137;
    QTest::newRow("off to the left") << 1 << 300 << -30 << 300;
    QTest::newRow("above the top") << 1 << -50 << 200 << -50;
    // At scale 2 the file and the panel count device-independent pixels: 512 of them high.
    QTest::newRow("x2 as saved") << 2 << 200 << 40 << 200;
    QTest::newRow("x2 bottom kept on the screen") << 2 << 450 << 40 << 512 - 137;
}

// The panel and the display window where the file puts them, and the position written back
// on quitting is where the panel stood, not what the file said.
void TestE2ePrefs::startPosition()
{
    QFETCH(int, scale);
    QFETCH(int, savedTop);
    QFETCH(int, savedLeft);
    QFETCH(int, top);

    xh::Program program;
    QStringList env;
    if (scale == 2)
        env << QStringLiteral("QT_SCALE_FACTOR=2");
    QVERIFY(program.start(prefsFile(savedTop, savedLeft, 5, 400), env));
    Windows w;
    QString why;
    QTRY_VERIFY2_WITH_TIMEOUT(placed(program, scale, top, savedLeft, 400, &w, &why), qPrintable(why), 8000);

    why = quit(program, scale, w, QStringLiteral("shortcut"));
    QVERIFY2(why.isEmpty(), qPrintable(why));
    QCOMPARE(program.prefsText(), prefsFile(top, savedLeft, 5, 400));
}

void TestE2ePrefs::moveAndQuit_data()
{
    QTest::addColumn<int>("scale");
    QTest::addColumn<QString>("how");
    QTest::addColumn<QPoint>("to"); // new top-left corner of the panel's X window, device pixels

    QTest::newRow("Ctrl+Q") << 1 << QStringLiteral("shortcut") << QPoint(500, 300);
    QTest::newRow("File menu, Quit") << 1 << QStringLiteral("menu") << QPoint(123, 456);
    QTest::newRow("closed by the window manager") << 1 << QStringLiteral("close") << QPoint(10, 20);
    // A session that ends, or a terminal that stops the program: it ends as if closed.
    QTest::newRow("SIGTERM") << 1 << QStringLiteral("SIGTERM") << QPoint(321, 123);
    QTest::newRow("SIGHUP") << 1 << QStringLiteral("SIGHUP") << QPoint(222, 333);
    QTest::newRow("x2 Ctrl+Q") << 2 << QStringLiteral("shortcut") << QPoint(500, 300);
    QTest::newRow("x2 File menu, Quit") << 2 << QStringLiteral("menu") << QPoint(124, 456);
}

// The display window follows the panel, and the file keeps the panel's last position.
void TestE2ePrefs::moveAndQuit()
{
    QFETCH(int, scale);
    QFETCH(QString, how);
    QFETCH(QPoint, to);

    xh::Program program;
    QStringList env;
    if (scale == 2)
        env << QStringLiteral("QT_SCALE_FACTOR=2");
    QVERIFY(program.start(prefsFile(200, 40, 5, 400), env));
    Windows w;
    QString why;
    QTRY_VERIFY2_WITH_TIMEOUT(placed(program, scale, 200, 40, 400, &w, &why), qPrintable(why), 8000);

    x_.moveWindow(w.panel.id, to);
    const int newLeft = to.x() / scale;
    const int newTop = to.y() / scale + w.menuBarHeight;
    QTRY_VERIFY2_WITH_TIMEOUT(placed(program, scale, newTop, newLeft, 400, &w, &why), qPrintable(why), 5000);

    why = quit(program, scale, w, how);
    QVERIFY2(why.isEmpty(), qPrintable(why));
    QCOMPARE(program.prefsText(), prefsFile(newTop, newLeft, 5, 400));
}

// "Hide" takes the display window off the screen and keeps it off while the refreshes go on;
// moving the panel brings it back beside the panel's new place.
void TestE2ePrefs::hideAndMove()
{
    xh::Program program;
    QVERIFY(program.start(prefsFile(600, 40, 5, 400)));
    Windows w;
    QString why;
    QTRY_VERIFY2_WITH_TIMEOUT(placed(program, 1, 600, 40, 400, &w, &why), qPrintable(why), 8000);
    const xcb_window_t display = w.display.id;

    // The "Hide" box stands at (179, 6), 52 x 20, in the panel's content; its label is clickable.
    why = xh::xdotool({QStringLiteral("mousemove"), QStringLiteral("--sync"), QString::number(40 + 179 + 14),
                       QString::number(600 + 6 + 10), QStringLiteral("click"), QStringLiteral("1")});
    QVERIFY2(why.isEmpty(), qPrintable(why));
    auto hidden = [&] {
        const auto d = x_.window(program.pid(), QStringLiteral("Display Window"));
        return d && d->id == display && !d->viewable;
    };
    QTRY_VERIFY_WITH_TIMEOUT(hidden(), 5000);
    QTest::qWait(300); // several refreshes
    QVERIFY(hidden());
    QVERIFY2(program.running(), qPrintable(program.status()));

    const QPoint to(700, 200);
    x_.moveWindow(w.panel.id, to);
    const int newTop = to.y() + w.menuBarHeight;
    QTRY_VERIFY2_WITH_TIMEOUT(placed(program, 1, newTop, to.x(), 400, &w, &why), qPrintable(why), 5000);
    QCOMPARE(w.display.id, display); // the same window shown again, not a new one

    why = quit(program, 1, w, QStringLiteral("shortcut"));
    QVERIFY2(why.isEmpty(), qPrintable(why));
    QCOMPARE(program.prefsText(), prefsFile(newTop, to.x(), 5, 400));
}

// What a window manager reads to draw no frame round the display window and never give it the
// keyboard: clicks there must leave the focus where the user had it.
void TestE2ePrefs::displayWindowHints()
{
    xh::Program program;
    QVERIFY(program.start(prefsFile(600, 40, 5, 400)));
    Windows w;
    QString why;
    QTRY_VERIFY2_WITH_TIMEOUT(placed(program, 1, 600, 40, 400, &w, &why), qPrintable(why), 8000);

    // ICCCM WM_HINTS: flags, input, ...; InputHint is bit 0.
    const QByteArray hints = x_.property(w.display.id, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS);
    QVERIFY2(hints.size() >= 8, "the display window has no WM_HINTS");
    quint32 flags, input;
    std::memcpy(&flags, hints.constData(), 4);
    std::memcpy(&input, hints.constData() + 4, 4);
    QVERIFY2((flags & 1) && input == 0, "the display window asks for the keyboard focus");

    // Motif hints: flags, functions, decorations, ...; decorations count when bit 1 is set.
    const xcb_atom_t motif = x_.atom("_MOTIF_WM_HINTS");
    const QByteArray frame = x_.property(w.display.id, motif, motif);
    QVERIFY2(frame.size() >= 12, "the display window has no _MOTIF_WM_HINTS");
    quint32 motifFlags, decorations;
    std::memcpy(&motifFlags, frame.constData(), 4);
    std::memcpy(&decorations, frame.constData() + 8, 4);
    QVERIFY2((motifFlags & 2) && decorations == 0, "the display window asks for a frame");

    // The panel, an ordinary window, takes the focus and gets a frame.
    const QByteArray panelHints = x_.property(w.panel.id, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS);
    QVERIFY(panelHints.size() >= 8);
    std::memcpy(&flags, panelHints.constData(), 4);
    std::memcpy(&input, panelHints.constData() + 4, 4);
    QVERIFY(!(flags & 1) || input != 0);
}

QTEST_MAIN(TestE2ePrefs)
#include "tst_e2e_prefs.moc"
