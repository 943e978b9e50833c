#include "platform/quitSignals.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A signal handler may do next to nothing: it writes one byte, and the event loop, which
// watches the other end, does the rest.
int wakeFds[2] = {-1, -1};

void handleSignals(void (*handler)(int), int flags)
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaction(signal, &action, nullptr);
}

extern "C" void onSignal(int)
{
    const int saved = errno;
    // Once only: should the program be too stuck to end by itself (a server that no longer
    // answers), the next signal ends it the default way.
    handleSignals(SIG_DFL, 0);
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(wakeFds[0], &byte, 1);
    errno = saved;
}

} // namespace

void onQuitSignals(QObject *owner, std::function<void()> request)
{
    if (wakeFds[0] < 0) {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, wakeFds) != 0) {
            wakeFds[0] = wakeFds[1] = -1;
            return; // the signals keep their default: the program ends as before
        }
    }
    auto *notifier = new QSocketNotifier(wakeFds[1], QSocketNotifier::Read, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, owner, [request = std::move(request)] {
        char bytes[16];
        while (read(wakeFds[1], bytes, sizeof bytes) > 0) {
        }
        request();
    });
    handleSignals(onSignal, SA_RESTART);
    // A write to an X server that has gone must fail as an error, which ends the program through
    // exit() with its settings written, not kill it before anything is saved.
    std::signal(SIGPIPE, SIG_IGN);
    QObject::connect(owner, &QObject::destroyed, [] { handleSignals(SIG_DFL, 0); });
}
