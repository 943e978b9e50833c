#include "windows/MenuBar2.h"

#include "windows/Help.h"

#include <QPointer>

MenuBar2 *MenuBar2::instance()
{
    // Each help window hands the bar back when it is destroyed (Help::~Help), so the one object
    // outlives them all.
    static QPointer<MenuBar2> shared;
    if (!shared)
        shared = new MenuBar2;
    return shared;
}

MenuBar2::MenuBar2()
{
    Untitled0();
    Untitled1();
}

void MenuBar2::enableMenuItems()
{
    if (auto *help = qobject_cast<Help *>(parentWidget()))
        help->Event_EnableMenuItems();
}

void MenuBar2::Untitled0()
{
    buildFileMenu();
}

void MenuBar2::Untitled1()
{
    buildEditMenu();
}
