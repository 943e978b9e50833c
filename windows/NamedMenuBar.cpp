#include "windows/NamedMenuBar.h"

#include <QAction>
#include <QMenu>

QAction *NamedMenuBar::item(const QString &name) const
{
    return findChild<QAction *>(name);
}

QMenu *NamedMenuBar::menu(const QString &name) const
{
    return findChild<QMenu *>(name);
}

QMenu *NamedMenuBar::buildFileMenu()
{
    QMenu *file = addNamedMenu("FileMenu", QStringLiteral("&File"));
    addItem(file, "FilePrintHelp", QStringLiteral("Print Help"), "Ctrl+P");
    return file;
}

void NamedMenuBar::buildEditMenu()
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

QMenu *NamedMenuBar::addNamedMenu(const char *name, const QString &text)
{
    QMenu *m = addMenu(text);
    m->setObjectName(QString::fromLatin1(name));
    m->menuAction()->setObjectName(QString::fromLatin1(name));
    // Qt's counterpart of the framework's chance to enable items before a menu opens.
    connect(m, &QMenu::aboutToShow, this, &NamedMenuBar::enableMenuItems);
    return m;
}

QAction *NamedMenuBar::addItem(QMenu *menu, const char *name, const QString &text, const char *shortcut)
{
    QAction *a = menu->addAction(text);
    a->setObjectName(QString::fromLatin1(name));
    a->setShortcut(QKeySequence(QString::fromLatin1(shortcut)));
    return a;
}

void NamedMenuBar::addSeparator(QMenu *menu, const char *name)
{
    menu->addSeparator()->setObjectName(QString::fromLatin1(name));
}
