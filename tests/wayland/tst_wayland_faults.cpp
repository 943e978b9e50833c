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
// session bus before the program asks for anything. VIZZOLEN_SEED_PERMISSION=1 puts the
// permission to share the screen in the desktop's store and its token where the program keeps it,
// so that the real portal shares at once.

#include "app/App.h"
#include "app/Window1.h"
#include "display/DisplayWindow.h"
#include "platform/SingleInstance.h"
#include "settings/prefsModule.h"
#include "wayland/gnomehelpers.h"

#include <QMessageBox>
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

} // namespace

class tst_wayland_faults : public QObject
{
    Q_OBJECT

private slots:
    void noPortal() { expectOnly(kNoPortal); }
    void noScreenCastBackEnd() { expectOnly(kNoScreenCast); }
    void noPointerPosition() { expectOnly(kNoPointer); }
    void userCancels() { expectOnly(kCancelled); }
    void startWithoutStreams() { expectOnly(badStreams(QStringLiteral("no streams"))); }
    void startWithStreamsOfAnotherType() { expectOnly(badStreams(QStringLiteral("streams of another type"))); }
    void startWithNoMonitorStream() { expectOnly(badStreams(QStringLiteral("no monitor stream"))); }
    void sessionEndedWhileRunning();
    void pipeWireStoppedWhileRunning();

private:
    // The one warning `text` comes, stays the only one, the view is black, the panel works and
    // its settings are written as it closes.
    void expectOnly(const QString &text);
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

void tst_wayland_faults::expectOnly(const QString &text)
{
    QTRY_VERIFY_WITH_TIMEOUT(!warnings().isEmpty(), 20000);
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

// The desktop ends the session (the user stops sharing): the stand-in portal closes it a while
// after the streams started.
void tst_wayland_faults::sessionEndedWhileRunning()
{
    waitForPixels();
    expectOnly(kEnded);
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

    // The stand-in portal, up before the program asks.
    QProcess portal;
    const QString fake = qEnvironmentVariable("VIZZOLEN_FAKE_PORTAL");
    if (!fake.isEmpty()) {
        portal.setProcessChannelMode(QProcess::ForwardedErrorChannel);
#ifdef VIZZOLEN_FAKEPORTAL
        portal.start(QStringLiteral(VIZZOLEN_FAKEPORTAL), QProcess::splitCommand(fake));
#endif
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
    portal.terminate();
    portal.waitForFinished(3000);
    return status;
}

#include "tst_wayland_faults.moc"
