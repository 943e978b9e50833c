#include "app/App.h"
#include "platform/x11/displayCheck.h"

#include <QtGlobal>
#include <cstdio>

int main(int argc, char **argv)
{
    DisplayCheck display;
    if (!display.problem().isEmpty()) {
        std::fprintf(stderr, "vizzolen: %s\n", qPrintable(display.problem()));
        return 2;
    }
    // Qt's own event loop rather than GLib's: a refresh tick wakes the program 20 times a second
    // and GLib's loop does more work around each wake-up. Nothing here needs GLib's loop; a
    // user who set QT_NO_GLIB keeps their choice. The loop is chosen when App is made, so the
    // variable goes again then: a browser started for a link must not inherit our choice.
    const bool chooseLoop = !qEnvironmentVariableIsSet("QT_NO_GLIB");
    if (chooseLoop)
        qputenv("QT_NO_GLIB", "1");
    App app(argc, argv);
    if (chooseLoop)
        qunsetenv("QT_NO_GLIB");
    if (display.choseX11())
        qunsetenv("QT_QPA_PLATFORM");
    display.release(); // Qt's connection is up: the server is never left without a client
    return app.exec();
}
