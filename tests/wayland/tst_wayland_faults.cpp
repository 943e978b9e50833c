// What goes wrong on a Wayland desktop, each in a process of its own, run through the real App
// inside a headless GNOME (tests/wayland/with-gnome.sh): the desktop without a portal or
// without its screen-cast back end, a stand-in portal that offers no pointer position, that is
// refused, that starts without streams or with streams of the wrong type, that ends the session
// while it runs, and PipeWire stopped while the view shows the screen. Each must end with
// exactly one warning that says what happened and what to do, the view black, the panel at work
// and its settings written when it closes.
//
//   tst_wayland_faults CASE
//
// VIZZOLEN_FAKE_PORTAL, when set, holds the stand-in portal's options; the test starts it on the
// session bus before the program asks for anything, with a log of every call the program makes.
// VIZZOLEN_FAKE_PRODUCER holds a stand-in compositor stream's options: started first, its node
// takes the place of %NODE% in the portal's options. VIZZOLEN_STATE_TOKEN is put into the
// program's token file first. VIZZOLEN_SEED_PERMISSION=1 puts the
// permission to share the screen in the desktop's store and its token where the program keeps it,
// so that the real portal shares at once.

#include "app/App.h"
#include "app/Window1.h"
#include "display/DisplayWindow.h"
#include "platform/SingleInstance.h"
#include "settings/prefsModule.h"
#include "wayland/gnomehelpers.h"

#include <QElapsedTimer>
#include <QMessageBox>
#include <QRegularExpression>
#include <QProcess>
#include <QSlider>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// The warnings, as the user reads them.
const QString kNoPortal = QStringLiteral(
    "Vizzolen cannot show the screen: this Wayland desktop has no screen-sharing portal "
    "(xdg-desktop-portal). Install xdg-desktop-portal and your desktop's portal "
    "(xdg-desktop-portal-gnome or xdg-desktop-portal-kde), log in again and restart Vizzolen.");
const QString kNoScreenCast = QStringLiteral(
    "Vizzolen cannot show the screen: the desktop's portal offers no screen sharing. Install your "
    "desktop's portal (xdg-desktop-portal-gnome or xdg-desktop-portal-kde), log in again and restart "
    "Vizzolen.");
const QString kNoPointer = QStringLiteral(
    "Vizzolen cannot follow the pointer on this desktop: its screen-sharing portal does not tell "
    "where the pointer is, as on wlroots desktops such as sway. The view stays black. Vizzolen works "
    "on GNOME and KDE Plasma, and on any X11 desktop.");
const QString kCancelled = QStringLiteral(
    "The screen was not shared, so the view stays black. To see it magnified, restart Vizzolen and "
    "choose Share when the desktop asks.");
const QString kStreamEnded = QStringLiteral(
    "The desktop's screen stream ended, so the view is black. Restart Vizzolen to share the screen "
    "again.");
const QString kNoAnswer = QStringLiteral(
    "The desktop's screen-sharing portal did not answer, so the view stays black. Restart Vizzolen to "
    "ask again.");
const QString kEnded = QStringLiteral(
    "The desktop stopped sharing the screen with Vizzolen, so the view is black. Restart Vizzolen to "
    "share it again.");

QString badStreams(const QString &why)
{
    return QStringLiteral("The desktop started sharing the screen but gave no stream Vizzolen can read "
                          "(%1), so the view stays black. Restart Vizzolen to ask again.").arg(why);
}

const QString kConnectionBroke = QStringLiteral(
    "The connection to the desktop's screen stream (PipeWire) broke, so the view is black. Restart "
    "Vizzolen to connect again.");

QList<QMessageBox *> warnings()
{
    QList<QMessageBox *> found;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible())
            found << box;
    }
    return found;
}

// Whether a picture has any pixel but black.
bool hasPixels(const QImage &picture)
{
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            if ((picture.pixel(x, y) & 0xffffff) != 0)
                return true;
        }
    }
    return false;
}

bool allBlack(const QImage &picture)
{
    return !picture.isNull() && !hasPixels(picture);
}

QTemporaryDir *config()
{
    static QTemporaryDir dir;
    return &dir;
}

QString portalLog()
{
    return config()->path() + QStringLiteral("/portal.log");
}

// The stand-in portal's log lines for `method`.
QStringList calls(const QString &method)
{
    QFile file(portalLog());
    QStringList found;
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (line.startsWith(method.toLatin1() + ' '))
                found << QString::fromLatin1(line);
        }
    }
    return found;
}

QString tokenFile()
{
    return QDir::homePath() + QStringLiteral("/.local/state/vzln-screencast.txt");
}

QString keptToken()
{
    QFile file(tokenFile());
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()) : QString();
}

} // namespace

class tst_wayland_faults : public QObject
{
    Q_OBJECT

private slots:
    void noPortal() { expectOnly(kNoPortal); }
    void noScreenCastBackEnd() { expectOnly(kNoScreenCast); }
    void noScreenCastInterface() { expectOnly(kNoScreenCast); }
    void portalDoesNotAnswer() { expectOnly(kNoAnswer, 45000); }
    void noPointerPosition() { expectOnly(kNoPointer); }
    void userCancels() { expectOnly(kCancelled); }
    void startWithoutStreams() { expectOnlyAndClosed(badStreams(QStringLiteral("no streams"))); }
    void startWithStreamsOfAnotherType() { expectOnlyAndClosed(badStreams(QStringLiteral("streams of another type"))); }
    void startWithNoMonitorStream() { expectOnlyAndClosed(badStreams(QStringLiteral("no monitor stream"))); }
    void sessionEndedWhileRunning();
    void streamGoneWhileRunning();
    void pipeWireStoppedWhileRunning();
    void asksAsTheDesktopExpects();
    void refusedTokenAsksAgain();
    void olderPortalKeepsNoPermission();

private:
    // The one warning `text` comes, stays the only one, the view is black, the panel works and
    // its settings are written as it closes.
    void expectOnly(const QString &text, int timeoutMs = 20000);
    // And the session that runs no more is closed, so that the desktop stops sharing the screen.
    void expectOnlyAndClosed(const QString &text);
    // The view shows the desktop's pixels, not black: the session runs.
    void waitForPixels();
};

void tst_wayland_faults::waitForPixels()
{
    DisplayWindow *display = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT((display = SingleInstance<DisplayWindow>::open()) && display->isVisible(), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(hasPixels(SingleInstance<DisplayWindow>::open()->Backdrop()), 15000);
    QVERIFY(warnings().isEmpty());
}

void tst_wayland_faults::expectOnly(const QString &text, int timeoutMs)
{
    QTRY_VERIFY_WITH_TIMEOUT(!warnings().isEmpty(), timeoutMs);
    QList<QMessageBox *> shown = warnings();
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown.first()->text(), text);
    QCOMPARE(shown.first()->windowTitle(), QStringLiteral("Vizzolen"));
    QVERIFY(!shown.first()->isModal());

    // A second of ticks: still that one warning, and black every time.
    for (int i = 0; i < 10; ++i) {
        QTest::qWait(100);
        QVERIFY(allBlack(SingleInstance<DisplayWindow>::open()->Backdrop()));
    }
    QCOMPARE(warnings().size(), 1);

    // The panel is at work with the warning up, and what is set in it is kept.
    Window1 *panel = SingleInstance<Window1>::open();
    QVERIFY(panel && panel->isVisible());
    auto *magnification = panel->findChild<QSlider *>(QStringLiteral("Slider1"));
    QVERIFY(magnification);
    magnification->setValue(5);
    QCOMPARE(prefsModule::magFactor, 5);
    auto *width = panel->findChild<QSlider *>(QStringLiteral("Slider2"));
    width->setValue(500);
    QTRY_COMPARE(SingleInstance<DisplayWindow>::open()->width(), 500);
    QVERIFY(allBlack(SingleInstance<DisplayWindow>::open()->Backdrop()));

    panel->close();
    QFile file(config()->path() + QStringLiteral("/vzln.txt"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray saved = file.readAll();
    QVERIFY2(saved.contains("#Magnification 5\n#DWWidth 500\n"), saved.constData());
}

void tst_wayland_faults::expectOnlyAndClosed(const QString &text)
{
    expectOnly(text);
    QCOMPARE(calls(QStringLiteral("Session.Close")).size(), 1);
}

// The desktop ends the session (the user stops sharing): the stand-in portal closes it a while
// after the streams started.
void tst_wayland_faults::sessionEndedWhileRunning()
{
    waitForPixels();
    expectOnly(kEnded);
}

// The compositor's stream leaves while the session stays.
void tst_wayland_faults::streamGoneWhileRunning()
{
    waitForPixels();
    expectOnlyAndClosed(kStreamEnded);
}

// The session the program asks for: monitors, several of them, the pointer as metadata, the
// permission kept until revoked with the token of the last run; the desktop's new token kept.
void tst_wayland_faults::asksAsTheDesktopExpects()
{
    waitForPixels();
    const QStringList select = calls(QStringLiteral("SelectSources"));
    QCOMPARE(select.size(), 1);
    for (const QString &part : {QStringLiteral(" types=1"), QStringLiteral(" multiple=true"),
                                QStringLiteral(" cursor_mode=4"), QStringLiteral(" persist_mode=2"),
                                QStringLiteral(" restore_token=0f8fad5b-d9cb-469f-a165-70867728950e")})
        QVERIFY2(select.first().contains(part), qPrintable(select.first() + QStringLiteral(" lacks") + part));
    QCOMPARE(keptToken(), QStringLiteral("6ba7b810-9dad-11d1-80b4-00c04fd430c8\n"));
    QCOMPARE(calls(QStringLiteral("Start")).size(), 1);
    QVERIFY(warnings().isEmpty());
}

// A token the portal refuses outright only means that the desktop asks again.
void tst_wayland_faults::refusedTokenAsksAgain()
{
    waitForPixels();
    const QStringList select = calls(QStringLiteral("SelectSources"));
    QCOMPARE(select.size(), 2);
    QVERIFY2(select.at(0).contains(QStringLiteral(" restore_token=kept-from-another-desktop")), qPrintable(select.at(0)));
    QVERIFY2(!select.at(1).contains(QStringLiteral("restore_token")), qPrintable(select.at(1)));
    QVERIFY2(select.at(1).contains(QStringLiteral(" persist_mode=2")), qPrintable(select.at(1)));
    QCOMPARE(keptToken(), QStringLiteral("6ba7b810-9dad-11d1-80b4-00c04fd430c8\n"));
    QVERIFY(warnings().isEmpty());
}

// A portal before version 4 has no keeping of permissions: nothing of it is sent.
void tst_wayland_faults::olderPortalKeepsNoPermission()
{
    waitForPixels();
    const QStringList select = calls(QStringLiteral("SelectSources"));
    QCOMPARE(select.size(), 1);
    QVERIFY2(!select.first().contains(QStringLiteral("persist_mode")), qPrintable(select.first()));
    QVERIFY2(!select.first().contains(QStringLiteral("restore_token")), qPrintable(select.first()));
    QVERIFY2(select.first().contains(QStringLiteral(" cursor_mode=4")), qPrintable(select.first()));
    QVERIFY(warnings().isEmpty());
}

// PipeWire goes away under a running view.
void tst_wayland_faults::pipeWireStoppedWhileRunning()
{
    waitForPixels();
    QString error;
    QVERIFY2(gh::stopSessionProcess(QStringLiteral("pipewire"), SIGKILL, 5000, &error), qPrintable(error));
    expectOnly(kConnectionBroke);
}

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "xcb");
    if (!config()->isValid())
        return 2;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config()->path()));

    if (qEnvironmentVariableIsSet("VIZZOLEN_STATE_TOKEN")) {
        const QString state = QDir::homePath() + QStringLiteral("/.local/state");
        QFile file(state + QStringLiteral("/vzln-screencast.txt"));
        if (!QDir().mkpath(state) || !file.open(QIODevice::WriteOnly)
            || file.write(qgetenv("VIZZOLEN_STATE_TOKEN") + "\n") <= 0)
            return 2;
    }

    // The stand-ins, up before the program asks.
    QProcess producer;
    QString node;
    const QString producerOptions = qEnvironmentVariable("VIZZOLEN_FAKE_PRODUCER");
    if (!producerOptions.isEmpty()) {
        producer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        producer.start(QStringLiteral(VIZZOLEN_FAKEPRODUCER), QProcess::splitCommand(producerOptions));
        QByteArray out;
        const QRegularExpression nodeLine(QStringLiteral("^node (\\d+)$"), QRegularExpression::MultilineOption);
        QElapsedTimer t;
        t.start();
        while (!nodeLine.match(QString::fromLatin1(out)).hasMatch() && t.elapsed() < 10000
               && producer.state() != QProcess::NotRunning) {
            producer.waitForReadyRead(100);
            out += producer.readAllStandardOutput();
        }
        node = nodeLine.match(QString::fromLatin1(out)).captured(1);
        if (node.isEmpty()) {
            std::fprintf(stderr, "the stand-in stream did not start: %s\n", out.constData());
            return 2;
        }
    }
    QProcess portal;
    QString portalOptions = qEnvironmentVariable("VIZZOLEN_FAKE_PORTAL");
    if (!portalOptions.isEmpty()) {
        portalOptions.replace(QStringLiteral("%NODE%"), node);
        portal.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        portal.start(QStringLiteral(VIZZOLEN_FAKEPORTAL),
                     QProcess::splitCommand(portalOptions) << QStringLiteral("--log") << portalLog());
        if (!portal.waitForStarted(5000) || !portal.waitForReadyRead(10000)
            || !portal.readAllStandardOutput().contains("ready")) {
            std::fprintf(stderr, "the stand-in portal did not start\n");
            return 2;
        }
    }

    App app(argc, argv);
    // Before the event loop turns, so before the first refresh asks the desktop to share.
    if (qEnvironmentVariableIntValue("VIZZOLEN_SEED_PERMISSION")) {
        const QString token = gh::newRestoreToken();
        QString error;
        const QString state = QDir::homePath() + QStringLiteral("/.local/state");
        QFile file(state + QStringLiteral("/vzln-screencast.txt"));
        if (!gh::seedScreenCastPermission(token, &error) || !QDir().mkpath(state)
            || !file.open(QIODevice::WriteOnly) || file.write(token.toLatin1() + "\n") <= 0) {
            std::fprintf(stderr, "the permission could not be seeded: %s\n", qPrintable(error));
            return 2;
        }
    }
    tst_wayland_faults test;
    const int status = QTest::qExec(&test, argc, argv);
    for (QProcess *p : {&portal, &producer}) {
        p->terminate();
        p->waitForFinished(3000);
    }
    return status;
}

#include "tst_wayland_faults.moc"
