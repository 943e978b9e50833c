// The desktop side of the Wayland benchmark, run inside the headless GNOME of
// tests/wayland/with-gnome.sh (bench/wayland-bench.sh starts it): grants the screen-cast
// permission ahead (the permission store seeded, its token where the program keeps it, so no
// dialog ever comes), covers the monitor with the native pattern window, and moves the pointer
// through mutter's remote desktop at a steady rate along a smooth path over the top of the
// monitor, clear of the panel and the display window, until SIGTERM or SIGINT.
//
//   vizzolen_wayland_driver [--still] [--rate MOVES_PER_SECOND]
//
// A rate of 0 puts the pointer at the path's start and leaves it there.
// --still keeps the native window as it is (the pattern of positions); without it a band moves
// across it every frame the compositor asks for. Prints "ready" once the window is shown and the
// pointer moves, and at the end how many moves were made.

#include "platform/portal/restoreToken.h"
#include "wayland/gnomehelpers.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const ssize_t n = write(signalPipe[1], &c, 1);
}

// Where the pointer is `t` seconds in: two slow sines, so that every move goes somewhere new,
// over x 150..1130 and y 80..250 of the 1280x800 monitor. The capture rectangle of the
// benchmark's view (200 x 125 around the pointer) stays above the panel's display window, whose
// top is at y 382.
QPointF pathAt(double t)
{
    constexpr double pi = 3.14159265358979323846;
    return QPointF(640.0 + 490.0 * std::sin(2 * pi * t / 7.3), 165.0 + 85.0 * std::sin(2 * pi * t / 3.1));
}

int fail(const QString &why)
{
    std::fprintf(stderr, "vizzolen_wayland_driver: %s\n", qPrintable(why));
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    bool still = false;
    int rate = 25;
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--still")) {
            still = true;
        } else if (args[i] == QLatin1String("--rate") && i + 1 < args.size()) {
            rate = args[++i].toInt();
            if (rate < 0 || rate > 200)
                return fail(QStringLiteral("--rate takes 0 to 200 moves a second"));
        } else {
            std::fprintf(stderr, "usage: vizzolen_wayland_driver [--still] [--rate MOVES_PER_SECOND]\n");
            return 2;
        }
    }
    if (qEnvironmentVariable("VIZZOLEN_GNOME_PIDS").isEmpty())
        return fail(QStringLiteral("not inside tests/wayland/with-gnome.sh"));

    if (pipe(signalPipe) != 0)
        return fail(QStringLiteral("pipe failed"));
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    QSocketNotifier quit(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&quit, &QSocketNotifier::activated, &app, &QCoreApplication::quit);

    const QString token = gh::newRestoreToken();
    QString error;
    if (!gh::seedScreenCastPermission(token, &error))
        return fail(error);
    if (!restoreToken::write(token))
        return fail(QStringLiteral("the token could not be written to %1").arg(restoreToken::path()));

    gh::RemoteDesktop rd; // the pointer's session lives as long as this connection
    if (!rd.start())
        return fail(rd.error());
    if (!rd.movePointer(pathAt(0)))
        return fail(rd.error());
    gh::NativePatternWindow native;
    if (!native.start(still ? gh::Pattern::Positions : gh::Pattern::Moving))
        return fail(native.error());
    if (native.geometry() != QRect(0, 0, 1280, 800))
        return fail(QStringLiteral("the native window is not the 1280x800 monitor (GNOME_MONITOR?)"));

    // Each move at its own time on one clock, so that a late move does not delay the rest.
    QElapsedTimer clock;
    clock.start();
    qint64 moves = 0;
    QString moveError;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(rate > 0 ? std::max(1, 1000 / (4 * rate)) : 100);
    QObject::connect(&tick, &QTimer::timeout, &app, [&] {
        if (!native.running()) {
            moveError = QStringLiteral("the native window ended");
            app.quit();
            return;
        }
        const qint64 due = clock.nsecsElapsed() * rate / 1000000000;
        if (due <= moves)
            return;
        moves = due;
        if (!rd.movePointer(pathAt(double(moves) / rate))) {
            moveError = rd.error();
            app.quit();
        }
    });
    tick.start();
    std::printf("ready: native window %s, pointer %d moves a second, remote desktop stream node %u\n",
                still ? "still" : "moving", rate, rd.nodeId());
    std::fflush(stdout);
    app.exec();
    std::printf("moved the pointer %lld times in %.1f s\n", moves, clock.elapsed() / 1000.0);
    std::fflush(stdout);
    if (!moveError.isEmpty())
        return fail(moveError);
    return 0;
}
