// The real program and the X server's life: no display to start on, a server the program has to
// itself (it must not make it reset while it starts), and a server that goes away under it (the
// settings must be written all the same). Each case runs on a private Xvfb of its own, started
// here, which the test may stop; the test's own Qt runs without a display.

#include "e2e/xhelpers.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <thread>
#include <vector>

#include <sys/types.h>
#include <unistd.h>

using xh::kPanelHeight;
using xh::kPanelWidth;
using xh::prefsFile;

namespace {

// An Xvfb of the test's own. It reports every client that comes and goes (-audit 4), so that
// the test can tell whether it was ever left without one, which makes a server without -noreset
// reset itself.
class PrivateServer
{
public:
    ~PrivateServer() { stop(); }

    QString start(const QStringList &extra = {})
    {
        if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty())
            return QStringLiteral("Xvfb is not installed (Debian package xvfb)");
        // -displayfd 1: the server picks a free display and writes its number to its standard
        // output once it accepts connections.
        process_.start(QStringLiteral("Xvfb"), QStringList{QStringLiteral("-displayfd"), QStringLiteral("1"),
                                                           QStringLiteral("-screen"), QStringLiteral("0"),
                                                           QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"),
                                                           QStringLiteral("tcp"), QStringLiteral("-audit"),
                                                           QStringLiteral("4")}
                                                   + extra);
        QElapsedTimer timer;
        timer.start();
        QByteArray out;
        while (!out.contains('\n') && timer.elapsed() < 30000 && process_.state() != QProcess::NotRunning) {
            process_.waitForReadyRead(100);
            out += process_.readAllStandardOutput();
        }
        if (!out.contains('\n'))
            return QStringLiteral("Xvfb did not start: %1").arg(QString::fromLocal8Bit(process_.readAllStandardError()));
        display_ = u':' + QString::fromLatin1(out.trimmed());
        return QString();
    }

    QString display() const { return display_; }

    void kill(int signal)
    {
        ::kill(pid_t(process_.processId()), signal);
        process_.waitForFinished(10000);
    }

    void stop()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.terminate();
            if (!process_.waitForFinished(10000)) {
                process_.kill();
                process_.waitForFinished(5000);
            }
        }
    }

    // Whether the server had no client left at some moment before process `until` first
    // connected: it reset itself then, dropping whatever was connecting.
    bool leftWithoutClients(qint64 until)
    {
        // The server reports a client as it connects; the report of `until` ends what counts.
        const QByteArray mark = "pid=" + QByteArray::number(until) + ' ';
        QElapsedTimer timer;
        timer.start();
        while (!log_.contains(mark) && timer.elapsed() < 10000) {
            process_.waitForReadyRead(100);
            log_ += process_.readAllStandardError();
        }
        static const QRegularExpression connected(QStringLiteral(R"(client \d+ connected from .*pid=(\d+))"));
        static const QRegularExpression disconnected(QStringLiteral(R"(client \d+ disconnected)"));
        int clients = 0;
        for (const QString &line : QString::fromLocal8Bit(log_).split(u'\n')) {
            const QRegularExpressionMatch m = connected.match(line);
            if (m.hasMatch()) {
                if (m.captured(1).toLongLong() == until)
                    return false;
                ++clients;
            } else if (disconnected.match(line).hasMatch() && --clients == 0) {
                return true;
            }
        }
        return false;
    }

    QString log() const { return QString::fromLocal8Bit(log_); }

private:
    QProcess process_;
    QString display_;
    QByteArray log_;
};

// Every core busy, as on a loaded machine, for as long as the object lives.
class Load
{
public:
    Load()
    {
        for (unsigned i = 0; i < std::max(1u, std::thread::hardware_concurrency()); ++i)
            threads_.emplace_back([this] {
                while (!stop_.load(std::memory_order_relaxed)) {
                }
            });
    }
    ~Load()
    {
        stop_ = true;
        for (std::thread &t : threads_)
            t.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

// Whether Qt's connection to the X server is up in process `pid`: Qt starts its event reader
// thread as soon as it has connected.
bool qtConnected(qint64 pid)
{
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString &task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks + u'/' + task + QStringLiteral("/comm"));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "QXcbEventQueue")
            return true;
    }
    return false;
}

} // namespace

class TestE2eXServer : public QObject
{
    Q_OBJECT

private slots:
    void noDisplay_data();
    void noDisplay();
    void onlyClientOfTheServer();
    void serverGoneKeepsTheSettings_data();
    void serverGoneKeepsTheSettings();
};

void TestE2eXServer::noDisplay_data()
{
    QTest::addColumn<QString>("display");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("DISPLAY not set") << QString()
                                     << QByteArray("vizzolen: no X display: DISPLAY is not set. Start Vizzolen "
                                                   "from an X11 desktop session.\n");
    // No server answers on display 59999.
    QTest::newRow("no server there") << QStringLiteral(":59999")
                                     << QByteArray("vizzolen: cannot open the X display \":59999\".\n");
}

// Without a display the program says so in one line and ends with status 2.
void TestE2eXServer::noDisplay()
{
    QFETCH(QString, display);
    QFETCH(QByteArray, message);
    QTemporaryDir config;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    if (!display.isEmpty())
        env.insert(QStringLiteral("DISPLAY"), display);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
    QProcess program;
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(VIZZOLEN_BINARY), QStringList());
    QVERIFY(program.waitForFinished(20000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 2);
    QCOMPARE(program.readAllStandardError(), message);
    QCOMPARE(program.readAllStandardOutput(), QByteArray());
    QVERIFY(!QFile::exists(config.path() + QStringLiteral("/vzln.txt")));
}

// Started alone on a fresh server (xinit with the magnifier only, a kiosk session, a bare Xvfb),
// on a busy machine, again and again: it comes up every time, and never leaves the server
// without a client while it starts, which would make the server reset under Qt's connection.
void TestE2eXServer::onlyClientOfTheServer()
{
    constexpr int kStarts = 30;
    Load load;
    for (int i = 1; i <= kStarts; ++i) {
        PrivateServer server; // without -noreset, as a session's server runs
        QString why = server.start();
        QVERIFY2(why.isEmpty(), qPrintable(why));
        xh::Program program;
        QVERIFY(program.start(prefsFile(200, 40, 3, 300), {QStringLiteral("DISPLAY=") + server.display()}));

        // The test connects only once Qt has: until then the program is the server's only client.
        QTRY_VERIFY_WITH_TIMEOUT(!program.running() || qtConnected(program.pid()), 60000);
        const QString status = program.status();
        if (!program.running())
            QFAIL(qPrintable(QStringLiteral("start %1 of %2: the program %3").arg(i).arg(kStarts).arg(status)));
        qputenv("DISPLAY", server.display().toLatin1());
        xh::XConnection x;
        QVERIFY2(x.ok(), "cannot connect to the test's server");
        auto up = [&] {
            const auto panel = x.window(program.pid(), QStringLiteral("Vizzolen"));
            return panel && panel->viewable;
        };
        QTRY_VERIFY2_WITH_TIMEOUT(up() || !program.running(), qPrintable(program.status()), 60000);
        QVERIFY2(up(), qPrintable(QStringLiteral("start %1 of %2: the program %3, its panel not shown")
                                      .arg(i)
                                      .arg(kStarts)
                                      .arg(program.status())));
        x.sync();
        QVERIFY2(!server.leftWithoutClients(QCoreApplication::applicationPid()),
                 qPrintable(QStringLiteral("start %1 of %2: the server was left without a client, and reset, "
                                           "while the program started:\n%3")
                                .arg(i)
                                .arg(kStarts)
                                .arg(server.log())));
    }
}

void TestE2eXServer::serverGoneKeepsTheSettings_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("brokenPipe");
    QTest::newRow("server crashes (SIGKILL)") << int(SIGKILL) << false;
    QTest::newRow("server shut down (SIGTERM)") << int(SIGTERM) << false;
    // A request written to a server that has just gone raises SIGPIPE; whether a write or Qt's
    // reader notices first is a matter of timing, so the signal is sent here by hand.
    QTest::newRow("a write fails first (SIGPIPE), then the server crashes") << int(SIGKILL) << true;
}

// The X server goes away under the running program (a crash, a logout that ends the server, a
// lost remote display): what the user set in this run is written all the same, with the panel
// where it last stood.
void TestE2eXServer::serverGoneKeepsTheSettings()
{
    QFETCH(int, signal);
    QFETCH(bool, brokenPipe);
    PrivateServer server;
    QString why = server.start({QStringLiteral("-noreset")});
    QVERIFY2(why.isEmpty(), qPrintable(why));
    qputenv("DISPLAY", server.display().toLatin1());
    xh::XConnection x;
    QVERIFY2(x.ok(), "cannot connect to the test's server");

    xh::Program program;
    QVERIFY(program.start(prefsFile(200, 40, 3, 400)));
    std::optional<xh::TopLevel> panel;
    auto shown = [&] {
        panel = x.window(program.pid(), QStringLiteral("Vizzolen"));
        const auto display = x.window(program.pid(), QStringLiteral("Display Window"));
        return panel && panel->viewable && display && display->viewable;
    };
    QTRY_VERIFY2_WITH_TIMEOUT(shown(), qPrintable(program.status()), 20000);
    const int menuBarHeight = panel->geometry.height() - kPanelHeight;
    QVERIFY(menuBarHeight > 0);

    // The magnification slider has the focus in a panel that gets it: one step right, 3 to 4.
    why = xh::xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), QString::number(panel->id)});
    QVERIFY2(why.isEmpty(), qPrintable(why));
    why = xh::xdotool({QStringLiteral("key"), QStringLiteral("Right")});
    QVERIFY2(why.isEmpty(), qPrintable(why));
    // Then the panel is moved; the display window following it shows that the program has
    // handled the key before it, too.
    const QPoint to(300, 100);
    x.moveWindow(panel->id, to);
    auto followed = [&] {
        const auto display = x.window(program.pid(), QStringLiteral("Display Window"));
        return display && display->geometry.topLeft() == QPoint(to.x() + kPanelWidth + 10, to.y() + menuBarHeight + kPanelHeight - 250);
    };
    QTRY_VERIFY_WITH_TIMEOUT(followed(), 10000);

    if (brokenPipe)
        ::kill(pid_t(program.pid()), SIGPIPE);
    server.kill(signal);
    QVERIFY2(program.process().waitForFinished(20000), "the program went on without its X server");
    QVERIFY2(program.process().exitStatus() == QProcess::NormalExit, qPrintable(program.status()));
    QCOMPARE(program.prefsText(), prefsFile(to.y() + menuBarHeight, to.x(), 4, 400));
}

QTEST_GUILESS_MAIN(TestE2eXServer)
#include "tst_e2e_xserver.moc"
