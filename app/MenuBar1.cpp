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

QAction *MenuBar1::item(const QString &name) const
{
    return findChild<QAction *>(name);
}

QMenu *MenuBar1::menu(const QString &name) const
{
    return findChild<QMenu *>(name);
}

void MenuBar1::Untitled0()
{
    QMenu *file = addNamedMenu("FileMenu", QStringLiteral("&File"));
    addItem(file, "FilePrintHelp", QStringLiteral("Print Help"), "Ctrl+P");
    addItem(file, "FileQuit", QStringLiteral("&Quit"), "Ctrl+Q")->setMenuRole(QAction::QuitRole);
}

void MenuBar1::Untitled1()
{
    QMenu *edit = addNamedMenu("EditMenu", QStringLiteral("&Edit"));
    addItem(edit, "EditUndo", QStringLiteral("&Undo"), "Ctrl+Z");
    addSeparator(edit, "UntitledMenu1");
    addItem(edit, "EditCut", QStringLiteral("Cu&t"), "Ctrl+X");
    addItem(edit, "EditCopy", QStringLiteral("&Copy"), "Ctrl+C");
    addItem(edit, "EditPaste", QStringLiteral("&Paste"), "Ctrl+V");
    addItem(edit, "EditClear", QStringLiteral("&Delete"), "");
    addSeparator(edit, "UntitledMenu0");
    addItem(edit, "EditSelectAll", QStringLiteral("Select &All"), "Ctrl+A");
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

QMenu *MenuBar1::addNamedMenu(const char *name, const QString &text)
{
    QMenu *m = addMenu(text);
    m->setObjectName(QString::fromLatin1(name));
    m->menuAction()->setObjectName(QString::fromLatin1(name));
    // Qt's counterpart of the application's chance to enable items before a menu opens.
    connect(m, &QMenu::aboutToShow, this, [] {
        if (auto *app = App::instance())
            app->Event_EnableMenuItems();
    });
    return m;
}

QAction *MenuBar1::addItem(QMenu *menu, const char *name, const QString &text, const char *shortcut)
{
    QAction *a = menu->addAction(text);
    a->setObjectName(QString::fromLatin1(name));
    a->setShortcut(QKeySequence(QString::fromLatin1(shortcut)));
    return a;
}

void MenuBar1::addSeparator(QMenu *menu, const char *name)
{
    menu->addSeparator()->setObjectName(QString::fromLatin1(name));
}
