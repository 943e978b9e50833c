// The headless GNOME that the Wayland tests run under, and the helpers they drive it with: a
// broken harness must show as such here rather than as a fault of the program. Runs under
// tests/wayland/with-gnome.sh; the cases that start sessions of their own (the knobs and the
// teardown) run with-gnome.sh again inside it.

#include "e2e/xhelpers.h"
#include "wayland/gnomehelpers.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QtTest>

#include <unistd.h>

namespace {

// The virtual monitor's scale, as the test was registered with it.
int gnomeScale() { return qEnvironmentVariableIntValue("GNOME_SCALE") == 2 ? 2 : 1; }

QString withGnome() { return QStringLiteral(VIZZOLEN_TESTS_DIR "/wayland/with-gnome.sh"); }

// A plain X11 window of the test's own, placed where it asks (mutter honours the position
// hint), to see the pointer and the input that mutter gives Xwayland.
class X11Window
{
public:
    X11Window(const xh::XConnection &x, const QRect &r)
        : x_(x)
    {
        xcb_connection_t *c = x.get();
        id_ = xcb_generate_id(c);
        const uint32_t values[] = {0x336699u,
                                   XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                                       XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE |
                                       XCB_EVENT_MASK_POINTER_MOTION | XCB_EVENT_MASK_STRUCTURE_NOTIFY |
                                       XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_FOCUS_CHANGE};
        xcb_create_window(c, XCB_COPY_FROM_PARENT, id_, x.root(), int16_t(r.x()), int16_t(r.y()),
                          uint16_t(r.width()), uint16_t(r.height()), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
        // WM_NORMAL_HINTS: USPosition | USSize, then x, y, width, height.
        uint32_t hints[18] = {1u | 2u, uint32_t(r.x()), uint32_t(r.y()), uint32_t(r.width()), uint32_t(r.height())};
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, id_, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, 32, 18,
                            hints);
        const QByteArray title("gnome-harness");
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, id_, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                            uint32_t(title.size()), title.constData());
        xcb_map_window(c, id_);
        xcb_flush(c);
    }
    ~X11Window()
    {
        xcb_destroy_window(x_.get(), id_);
        x_.sync();
    }

    xcb_window_t id() const { return id_; }

    // The next event of `type` (response type without the sent bit), within `timeoutMs`.
    xh::Reply<xcb_generic_event_t> next(uint8_t type, int timeoutMs)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < timeoutMs) {
            while (xcb_generic_event_t *e = xcb_poll_for_event(x_.get())) {
                auto ev = xh::reply(e);
                if ((e->response_type & 0x7f) == type)
                    return ev;
            }
            QTest::qWait(10);
        }
        return xh::reply<xcb_generic_event_t>(nullptr);
    }

    // Where its top-left pixel is on the root, once mutter has placed and mapped it.
    QPoint rootPosition() const
    {
        auto r = xh::reply(xcb_translate_coordinates_reply(
            x_.get(), xcb_translate_coordinates(x_.get(), id_, x_.root(), 0, 0), nullptr));
        return r ? QPoint(r->dst_x, r->dst_y) : QPoint(-1, -1);
    }

    // The pointer relative to this window, and whether the server has it inside.
    std::optional<QPoint> pointer() const
    {
        auto r = xh::reply(xcb_query_pointer_reply(x_.get(), xcb_query_pointer(x_.get(), id_), nullptr));
        if (!r || !r->same_screen)
            return std::nullopt;
        return QPoint(r->win_x, r->win_y);
    }

private:
    const xh::XConnection &x_;
    xcb_window_t id_ = 0;
};

// The keysym the server's first column gives a keycode.
quint32 keysymOf(const xh::XConnection &x, uint8_t keycode)
{
    auto r = xh::reply(xcb_get_keyboard_mapping_reply(x.get(), xcb_get_keyboard_mapping(x.get(), keycode, 1), nullptr));
    if (!r || r->keysyms_per_keycode == 0)
        return 0;
    return xcb_get_keyboard_mapping_keysyms(r.get())[0];
}

// The processes that carry `marker` in their environment (with-gnome.sh's
// VIZZOLEN_GNOME_SESSION) and still run.
QStringList processesMarked(const QByteArray &marker)
{
    QStringList found;
    const QDir proc(QStringLiteral("/proc"));
    for (const QString &pid : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool number = false;
        const qint64 p = pid.toLongLong(&number);
        if (!number || p == QCoreApplication::applicationPid())
            continue;
        QFile env(QStringLiteral("/proc/%1/environ").arg(pid));
        if (!env.open(QIODevice::ReadOnly))
            continue;
        if (env.readAll().split('\0').contains(marker) && gh::processRunning(p)) {
            QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
            comm.open(QIODevice::ReadOnly);
            found << pid + QStringLiteral(" (") + QString::fromLatin1(comm.readAll().trimmed()) + QLatin1Char(')');
        }
    }
    return found;
}

// One more with-gnome.sh session, run to its end (or stopped by `interrupt`).
struct Nested
{
    int exitCode = -1;
    bool finished = false;
    QByteArray out, err;
};

Nested runNested(const QStringList &command, const QStringList &env, int timeoutMs,
                 const std::function<bool()> &interruptWhen = {})
{
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    for (const QString &k : e.keys())
        if (k.startsWith(QLatin1String("GNOME_")))
            e.remove(k);
    for (const QString &kv : env)
        e.insert(kv.section(u'=', 0, 0), kv.section(u'=', 1));
    QProcess p;
    p.setProcessEnvironment(e);
    p.start(withGnome(), command);
    Nested n;
    if (!p.waitForStarted(5000))
        return n;
    QElapsedTimer t;
    t.start();
    bool interrupted = false;
    while (p.state() != QProcess::NotRunning && t.elapsed() < timeoutMs) {
        p.waitForFinished(50);
        if (interruptWhen && !interrupted && interruptWhen()) {
            interrupted = true;
            p.terminate(); // what ctest does at its time-out
        }
    }
    n.finished = p.state() == QProcess::NotRunning;
    if (!n.finished) {
        // Its own teardown first, so that a hung session leaves nothing behind either.
        p.terminate();
        if (!p.waitForFinished(15000)) {
            p.kill();
            p.waitForFinished(5000);
        }
    }
    n.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    n.out = p.readAllStandardOutput();
    n.err = p.readAllStandardError();
    return n;
}

// Copies the session's PID files and its mark where the test finds them after the end.
const char *kRecordSession = "mkdir -p \"$0\" && cp \"$VIZZOLEN_GNOME_PIDS\"/*.pid \"$0\"/ && "
                             "printf %s \"$VIZZOLEN_GNOME_SESSION\" >\"$0/session\"";

} // namespace

class TestGnomeHarness : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void sessionIsUp();
    void pointerFollowsRemoteDesktop_data();
    void pointerFollowsRemoteDesktop();
    void clickAndKeyReachX11Window();
    void patternWindowPixels_data();
    void patternWindowPixels();
    void seededPermissionNeedsNoDialog();
    void shareDialogAnswered_data();
    void shareDialogAnswered();
    void knobs_data();
    void knobs();
    void teardownLeavesNothing_data();
    void teardownLeavesNothing();

private:
    xh::XConnection x_;
    gh::RemoteDesktop rd_;
};

void TestGnomeHarness::initTestCase()
{
    QVERIFY2(x_.ok(), "no X connection to Xwayland (DISPLAY, XAUTHORITY from with-gnome.sh?)");
    QVERIFY2(rd_.start(), qPrintable(rd_.error()));
}

void TestGnomeHarness::sessionIsUp()
{
    // The monitor as configured, in X11's (logical) pixels.
    const QStringList monitor = qEnvironmentVariable("GNOME_MONITOR", QStringLiteral("1280x800")).split(u'x');
    QCOMPARE(x_.screenSize(), QSize(monitor.value(0).toInt(), monitor.value(1).toInt()) / gnomeScale());
    QVERIFY(!qEnvironmentVariable("WAYLAND_DISPLAY").isEmpty());
    QVERIFY(qEnvironmentVariable("XAUTHORITY").contains(QLatin1String(".mutter-Xwaylandauth.")));
    QCOMPARE(qEnvironmentVariable("XDG_CURRENT_DESKTOP"), QStringLiteral("GNOME"));
    QCOMPARE(qEnvironmentVariable("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
    // A fresh home: nothing of the session's own in ~/.config and ~/.local/state.
    QVERIFY(QDir::homePath().startsWith(QLatin1String("/tmp/with-gnome.")));
    for (const char *dir : {"/.config", "/.local/state"})
        QVERIFY2(QDir(QDir::homePath() + QLatin1String(dir)).isEmpty(), dir);
    QVERIFY((QFile::permissions(qEnvironmentVariable("XDG_RUNTIME_DIR")) & 0x0077) == 0);
    for (const char *name : {"dbus-daemon", "pipewire", "wireplumber", "mutter", "xwayland", "permission-store",
                             "portal-gnome", "portal"})
        QVERIFY2(gh::processRunning(gh::sessionPid(QLatin1String(name))), name);
}

void TestGnomeHarness::pointerFollowsRemoteDesktop_data()
{
    QTest::addColumn<QPoint>("inside"); // relative to the window, in X11 pixels
    QTest::newRow("top-left pixel") << QPoint(0, 0);
    QTest::newRow("middle") << QPoint(150, 100);
    QTest::newRow("bottom-right pixel") << QPoint(299, 199);
    QTest::newRow("off the middle") << QPoint(37, 161);
}

// Moves in stream pixels land where X11 has them: over an X11 window, XQueryPointer follows.
void TestGnomeHarness::pointerFollowsRemoteDesktop()
{
    QFETCH(QPoint, inside);
    X11Window w(x_, QRect(200, 150, 300, 200));
    QVERIFY2(w.next(XCB_MAP_NOTIFY, 5000), "the X11 window was not mapped within 5 s");
    QVERIFY(gh::waitFor([&] { return w.next(XCB_EXPOSE, 50) != nullptr; }, 5000));
    // mutter frames the window: its frame stands where the window asked, the window below the
    // title bar.
    const QPoint origin = w.rootPosition();
    QCOMPARE(origin.x(), 200);
    QVERIFY(origin.y() >= 150);

    const int s = gnomeScale();
    // From outside the window first, so that a pointer that does not move is seen.
    QVERIFY2(rd_.movePointer(QPoint(20, 20) * s), qPrintable(rd_.error()));
    QVERIFY2(rd_.movePointer((origin + inside) * s), qPrintable(rd_.error()));
    std::optional<QPoint> p;
    QVERIFY2(gh::waitFor([&] { return (p = w.pointer()) && *p == inside; }, 3000),
             qPrintable(QStringLiteral("XQueryPointer on the window: %1,%2, expected %3,%4")
                            .arg(p ? p->x() : -1).arg(p ? p->y() : -1).arg(inside.x()).arg(inside.y())));
    QCOMPARE(x_.pointer(), origin + inside);
}

// Keys reach the X11 window that has the keyboard, the first one of a session started while
// the window has it too (as a test starts one once the program is up); a click reaches the
// window under the pointer, where the pointer is.
void TestGnomeHarness::clickAndKeyReachX11Window()
{
    X11Window w(x_, QRect(400, 300, 240, 160));
    QVERIFY2(w.next(XCB_MAP_NOTIFY, 5000), "the X11 window was not mapped within 5 s");
    QVERIFY2(w.next(XCB_FOCUS_IN, 5000), "mutter did not give the new X11 window the keyboard");
    gh::RemoteDesktop rd;
    QVERIFY2(rd.start(), qPrintable(rd.error()));
    const auto typed = [&](quint32 keysym) -> QString {
        if (!rd.key(keysym))
            return rd.error();
        // The session's start typed a Shift of its own.
        for (auto key = w.next(XCB_KEY_PRESS, 3000); key; key = w.next(XCB_KEY_PRESS, 3000)) {
            const quint32 got = keysymOf(x_, reinterpret_cast<const xcb_key_press_event_t *>(key.get())->detail);
            if (got == keysym)
                return w.next(XCB_KEY_RELEASE, 3000) ? QString() : QStringLiteral("no KeyRelease");
            if (got != gh::kKeyShiftL)
                return QStringLiteral("KeyPress of keysym 0x%1 for 0x%2").arg(got, 0, 16).arg(keysym, 0, 16);
        }
        return QStringLiteral("no KeyPress for keysym 0x%1").arg(keysym, 0, 16);
    };
    QCOMPARE(typed(0x61), QString()); // 'a'

    const QPoint origin = w.rootPosition();
    const QPoint inside(60, 40);
    const int s = gnomeScale();
    QVERIFY(rd.movePointer((origin + inside) * s));
    QVERIFY(gh::waitFor([&] { return w.pointer() == inside; }, 3000));
    QVERIFY2(rd.click(gh::kLeftButton), qPrintable(rd.error()));
    auto press = w.next(XCB_BUTTON_PRESS, 3000);
    QVERIFY2(press, "no ButtonPress from the remote desktop's click");
    const auto *b = reinterpret_cast<const xcb_button_press_event_t *>(press.get());
    QCOMPARE(int(b->detail), 1);
    QCOMPARE(QPoint(b->event_x, b->event_y), inside);
    QVERIFY2(w.next(XCB_BUTTON_RELEASE, 3000), "no ButtonRelease");
    QCOMPARE(typed(0xff0d), QString()); // Return
}

void TestGnomeHarness::patternWindowPixels_data()
{
    QTest::addColumn<gh::Pattern>("pattern");
    QTest::newRow("positions") << gh::Pattern::Positions;
    QTest::newRow("plain") << gh::Pattern::Plain;
    QTest::newRow("moving") << gh::Pattern::Moving;
}

// The native window covers the whole monitor, and every pixel is what the test computes.
void TestGnomeHarness::patternWindowPixels()
{
    QFETCH(gh::Pattern, pattern);
    const QRgb plain = qRgb(40, 160, 90);
    gh::NativePatternWindow w;
    QVERIFY2(w.start(pattern, plain), qPrintable(w.error()));
    const QSize monitor = x_.screenSize() * gnomeScale();
    QCOMPARE(w.geometry(), QRect(QPoint(0, 0), monitor));
    QCOMPARE(w.devicePixelRatio(), qreal(gnomeScale()));

    const QImage shot = rd_.screenshot();
    QVERIFY2(!shot.isNull(), qPrintable(rd_.error()));
    QCOMPARE(shot.size(), monitor);
    if (pattern == gh::Pattern::Moving) {
        QImage later;
        QVERIFY(gh::waitFor([&] { return (later = rd_.screenshot()) != shot || later.isNull(); }, 3000));
        QVERIFY2(!later.isNull(), qPrintable(rd_.error()));
        return;
    }
    int wrong = 0;
    QString first;
    for (int y = 0; y < shot.height(); ++y) {
        for (int x = 0; x < shot.width(); ++x) {
            const QRgb want = pattern == gh::Pattern::Plain ? plain : gh::patternColor(x, y);
            if (shot.pixel(x, y) != want && wrong++ == 0)
                first = QStringLiteral("%1,%2 is #%3, expected #%4")
                            .arg(x).arg(y).arg(shot.pixel(x, y) & 0xffffff, 6, 16, QLatin1Char('0'))
                            .arg(want & 0xffffff, 6, 16, QLatin1Char('0'));
        }
    }
    if (wrong)
        shot.save(QStringLiteral(VIZZOLEN_ARTIFACTS_DIR "/pattern-window-wrong.png"));
    QVERIFY2(wrong == 0, qPrintable(QStringLiteral("%1 pixels differ; first: %2").arg(wrong).arg(first)));
}

// A seeded permission grants Start at once: with a dialog it would wait for a click instead.
void TestGnomeHarness::seededPermissionNeedsNoDialog()
{
    const QString token = gh::newRestoreToken();
    QString error;
    QVERIFY2(gh::seedScreenCastPermission(token, &error), qPrintable(error));
    gh::PortalCast cast;
    QElapsedTimer t;
    t.start();
    QCOMPARE(cast.start(token, 10000), 0);
    qInfo("Start granted in %lld ms", t.elapsed());
    QVERIFY2(!gh::dialog::shareButton(rd_.screenshot()), "a Screen Share dialog stands on the screen");
    QCOMPARE(cast.streams().size(), 1);
    const gh::PortalStream s = cast.streams().first();
    QCOMPARE(s.sourceType, 1u);
    QCOMPARE(s.position, QPoint(0, 0));
    QCOMPARE(s.size, x_.screenSize());
    QVERIFY(s.node != 0);
    QVERIFY(!cast.restoreToken().isEmpty());
}

void TestGnomeHarness::shareDialogAnswered_data()
{
    QTest::addColumn<bool>("overPattern");
    QTest::newRow("on the bare desktop") << false;
    QTest::newRow("over a maximized native window") << true;
}

// The real dialog, answered through clicks; the token it gives makes the next start silent.
void TestGnomeHarness::shareDialogAnswered()
{
    QFETCH(bool, overPattern);
    gh::NativePatternWindow pattern;
    if (overPattern)
        QVERIFY2(pattern.start(), qPrintable(pattern.error()));
    QString token;
    {
        gh::PortalCast cast;
        QVERIFY2(cast.begin(), qPrintable(cast.error()));
        QElapsedTimer t;
        t.start();
        QString error;
        QVERIFY2(gh::answerShareDialog(rd_, 30000, &error), qPrintable(error));
        qInfo("dialog answered in %lld ms", t.elapsed());
        QCOMPARE(cast.finish(5000), 0);
        QCOMPARE(cast.streams().size(), 1);
        QCOMPARE(cast.streams().first().size, x_.screenSize());
        token = cast.restoreToken();
        QVERIFY(!token.isEmpty());
    }
    gh::PortalCast again;
    QCOMPARE(again.start(token, 10000), 0);
    QCOMPARE(again.streams().size(), 1);
}

void TestGnomeHarness::knobs_data()
{
    QTest::addColumn<QStringList>("env");
    QTest::addColumn<QStringList>("onBus");
    QTest::addColumn<QStringList>("notOnBus");
    QTest::addColumn<QString>("xScreen");
    QTest::addColumn<QString>("layout"); // in DisplayConfig's current state

    const QString desktop = QStringLiteral("'org.freedesktop.portal.Desktop'");
    const QString backend = QStringLiteral("'org.freedesktop.impl.portal.desktop.gnome'");
    const QString screenCast = QStringLiteral("'org.gnome.Mutter.ScreenCast'");
    const QString store = QStringLiteral("'org.freedesktop.impl.portal.PermissionStore'");
    QTest::newRow("default") << QStringList() << QStringList{desktop, backend, screenCast, store} << QStringList()
                             << "1280x800" << "[(0, 0, 1.0,";
    QTest::newRow("no portal backend") << QStringList{"GNOME_NO_PORTAL_BACKEND=1"}
                                       << QStringList{desktop, screenCast} << QStringList{backend} << "1280x800"
                                       << "[(0, 0, 1.0,";
    QTest::newRow("no portal") << QStringList{"GNOME_NO_PORTAL=1"} << QStringList{screenCast}
                               << QStringList{desktop, backend} << "1280x800" << "[(0, 0, 1.0,";
    QTest::newRow("monitor 1024x768") << QStringList{"GNOME_MONITOR=1024x768"} << QStringList{screenCast}
                                      << QStringList() << "1024x768" << "'1024x768@";
    QTest::newRow("scale 2") << QStringList{"GNOME_MONITOR=2560x1600", "GNOME_SCALE=2"}
                             << QStringList{desktop, backend} << QStringList() << "1280x800" << "[(0, 0, 2.0,";
}

// Each knob of with-gnome.sh, in a session of its own: what is on the bus, and what can be
// activated (nothing: a name that is not there stays away).
void TestGnomeHarness::knobs()
{
    QFETCH(QStringList, env);
    QFETCH(QStringList, onBus);
    QFETCH(QStringList, notOnBus);
    QFETCH(QString, xScreen);
    QFETCH(QString, layout);
    QTemporaryDir logs;
    env << QStringLiteral("GNOME_KEEP_LOGS=") + logs.path() + QStringLiteral("/kept");
    const QString script = QStringLiteral(
        "set -e; bus='gdbus call --session -d org.freedesktop.DBus -o /org/freedesktop/DBus -m';"
        "echo \"names: $($bus org.freedesktop.DBus.ListNames)\";"
        "echo \"activatable: $($bus org.freedesktop.DBus.ListActivatableNames)\";"
        "xdpyinfo | grep dimensions;"
        "gdbus call --session -d org.gnome.Mutter.DisplayConfig -o /org/gnome/Mutter/DisplayConfig"
        " -m org.gnome.Mutter.DisplayConfig.GetCurrentState");
    const Nested n = runNested({QStringLiteral("sh"), QStringLiteral("-c"), script}, env, 60000);
    QVERIFY2(n.finished && n.exitCode == 0, n.err.constData());
    const QString out = QString::fromUtf8(n.out);
    const QString names = out.section(QStringLiteral("names: "), 1).section(u'\n', 0, 0);
    for (const QString &name : onBus)
        QVERIFY2(names.contains(name), qPrintable(name + QStringLiteral(" missing in ") + names));
    for (const QString &name : notOnBus)
        QVERIFY2(!names.contains(name), qPrintable(name + QStringLiteral(" present in ") + names));
    QCOMPARE(out.section(QStringLiteral("activatable: "), 1).section(u'\n', 0, 0), QStringLiteral("(['org.freedesktop.DBus'],)"));
    QVERIFY2(out.contains(QStringLiteral("dimensions:    %1 pixels").arg(xScreen)), qPrintable(out));
    QVERIFY2(out.contains(layout), qPrintable(out));
    QFile mutterLog(logs.path() + QStringLiteral("/kept/mutter.log"));
    QVERIFY2(mutterLog.open(QIODevice::ReadOnly), "GNOME_KEEP_LOGS kept no mutter.log");
    QVERIFY(mutterLog.readAll().contains("Using public X11 display"));
}

void TestGnomeHarness::teardownLeavesNothing_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("the command's exit status") << "exit" << 3;
    QTest::newRow("Screen Share dialog open at the end") << "dialog" << 3;
    QTest::newRow("signal while the command runs") << "signal" << 143;
    QTest::newRow("PipeWire stopped by the test") << "pipewire" << 3;
}

// After the end nothing of the session runs: not one of the PIDs it wrote, not one process that
// carries its mark; and the harness did not have to sweep up anything of its own.
void TestGnomeHarness::teardownLeavesNothing()
{
    QFETCH(QString, how);
    QFETCH(int, exitCode);
    QTemporaryDir dir;
    const QString record = dir.path() + QStringLiteral("/record");
    QStringList command;
    std::function<bool()> interrupt;
    if (how == QLatin1String("exit")) {
        command = QStringList{QStringLiteral("sh"), QStringLiteral("-c"),
                              QLatin1String(kRecordSession) + QStringLiteral(" && exit 3"), record};
    } else if (how == QLatin1String("dialog")) {
        command = QStringList{QCoreApplication::applicationFilePath(), QStringLiteral("--open-share-dialog"), record};
    } else if (how == QLatin1String("pipewire")) {
        command = QStringList{QCoreApplication::applicationFilePath(), QStringLiteral("--stop-pipewire"), record};
    } else {
        command = QStringList{QStringLiteral("sh"), QStringLiteral("-c"),
                              QLatin1String(kRecordSession) + QStringLiteral(" && exec sleep 60"), record};
        interrupt = [record] { return QFile::exists(record + QStringLiteral("/session")); };
    }
    const Nested n = runNested(command, {QStringLiteral("GNOME_KEEP_LOGS=") + dir.path() + QStringLiteral("/logs")},
                               60000, interrupt);
    QVERIFY2(n.finished, "with-gnome.sh did not end within 60 s");
    QVERIFY2(n.exitCode == exitCode, qPrintable(QStringLiteral("exit code %1; stderr: %2").arg(n.exitCode).arg(QString::fromLocal8Bit(n.err))));
    QVERIFY2(!n.err.contains("left running after teardown") && !n.err.contains("did not stop"), n.err.constData());

    QFile session(record + QStringLiteral("/session"));
    QVERIFY2(session.open(QIODevice::ReadOnly), "the command did not record the session");
    const QByteArray base = session.readAll();
    QVERIFY(!base.isEmpty());
    QStringList pids = QDir(record).entryList({QStringLiteral("*.pid")});
    QCOMPARE(pids.size(), 8);
    for (const QString &name : pids) {
        QFile f(record + QLatin1Char('/') + name);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const qint64 pid = f.readAll().trimmed().toLongLong();
        QVERIFY2(!gh::processRunning(pid), qPrintable(name + QStringLiteral(" still runs")));
    }
    const QStringList left = processesMarked("VIZZOLEN_GNOME_SESSION=" + base);
    QVERIFY2(left.isEmpty(), qPrintable(left.join(u' ')));
    QVERIFY2(!QFileInfo::exists(QString::fromLocal8Bit(base)), "the session's folder is still there");
    QFile status(dir.path() + QStringLiteral("/logs/with-gnome.log"));
    if (status.open(QIODevice::ReadOnly))
        qInfo("%s", status.readAll().trimmed().replace('\n', "; ").constData());
}

// Inside a session of its own: opens the Screen Share dialog, sees it on the screen, and ends
// without closing it, as a test that fails halfway does.
static int openShareDialog(const QString &record)
{
    QProcess cp;
    cp.start(QStringLiteral("sh"), {QStringLiteral("-c"), QLatin1String(kRecordSession), record});
    if (!cp.waitForFinished(5000) || cp.exitCode() != 0)
        return 10;
    gh::RemoteDesktop rd;
    if (!rd.start())
        return 11;
    gh::PortalCast cast;
    if (!cast.begin())
        return 12;
    if (!gh::waitFor([&] { return bool(gh::dialog::shareButton(rd.screenshot())); }, 20000))
        return 13;
    std::fflush(nullptr);
    ::_exit(3); // no Close, no goodbye: the dialog is open when the session ends
}

// Inside a session of its own: stops PipeWire as a test of the program does, and says whether
// it went.
static int stopPipeWire(const QString &record)
{
    QProcess cp;
    cp.start(QStringLiteral("sh"), {QStringLiteral("-c"), QLatin1String(kRecordSession), record});
    if (!cp.waitForFinished(5000) || cp.exitCode() != 0)
        return 10;
    const qint64 pid = gh::sessionPid(QStringLiteral("pipewire"));
    QString error;
    if (!gh::stopSessionProcess(QStringLiteral("pipewire"), SIGTERM, 5000, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 11;
    }
    if (gh::processRunning(pid) || gh::stopSessionProcess(QStringLiteral("pipewire")))
        return 12; // a second stop must say it is not running
    return 3;
}

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--open-share-dialog") == 0) {
        QCoreApplication app(argc, argv);
        return openShareDialog(QString::fromLocal8Bit(argv[2]));
    }
    if (argc == 3 && std::strcmp(argv[1], "--stop-pipewire") == 0) {
        QCoreApplication app(argc, argv);
        return stopPipeWire(QString::fromLocal8Bit(argv[2]));
    }
    QCoreApplication app(argc, argv);
    TestGnomeHarness t;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&t, argc, argv);
}

#include "tst_gnome_harness.moc"
