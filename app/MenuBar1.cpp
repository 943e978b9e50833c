#include "app/MenuBar1.h"

#include "app/App.h"

#include <QAction>
#include <QMenu>
#include <QPointer>

MenuBar1 *MenuBar1::instance()
{
    static QPointer<MenuBar1> shared;
    if (!shared)
        shared = new MenuBar1;
    return shared;
}

MenuBar1::MenuBar1()
{
    Untitled0();
    Untitled1();
    Untitled2();
    Untitled3();
}

void MenuBar1::enableMenuItems()
{
    if (auto *app = App::instance())
        app->Event_EnableMenuItems();
}

void MenuBar1::Untitled0()
{
    QMenu *file = buildFileMenu();
    addItem(file, "FileQuit", QStringLiteral("&Quit"), "Ctrl+Q")->setMenuRole(QAction::QuitRole);
}

void MenuBar1::Untitled1()
{
    buildEditMenu();
}

void MenuBar1::Untitled2()
{
    QMenu *check = addNamedMenu("CheckforUpdateMenu", QStringLiteral("Check for Update"));
    addItem(check, "CheckforUpdateCheckNow", QStringLiteral("Check Now"), "");
}

void MenuBar1::Untitled3()
{
    QMenu *help = addNamedMenu("HelpMenu", QStringLiteral("Help "));
    addItem(help, "HelpShowHelp", QStringLiteral("Show Help"), "");
    addItem(help, "HelpAboutBox", QStringLiteral("About..."), "")->setMenuRole(QAction::AboutRole);
}
