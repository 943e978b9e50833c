#include "app/App.h"
#include "platform/displayCheck.h"

#include <cstdio>

int main(int argc, char **argv)
{
    const QString problem = prepareDisplay();
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "vizzolen: %s\n", qPrintable(problem));
        return 2;
    }
    App app(argc, argv);
    return app.exec();
}
