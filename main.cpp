#include "app/App.h"
#include "platform/displayCheck.h"

#include <cstdio>

int main(int argc, char **argv)
{
    DisplayCheck display;
    if (!display.problem().isEmpty()) {
        std::fprintf(stderr, "vizzolen: %s\n", qPrintable(display.problem()));
        return 2;
    }
    App app(argc, argv);
    display.release(); // Qt's connection is up: the server is never left without a client
    return app.exec();
}
