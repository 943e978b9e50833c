#pragma once

#include <QMenuBar>

class QAction;
class QMenu;

// A menu bar whose menus and items are found by name ("FileMenu", "FilePrintHelp", ...), the
// common ground of the control panel's and the help window's menu bars. Both carry the same
// File menu start and the same Edit menu, built here once.
class NamedMenuBar : public QMenuBar
{
    Q_OBJECT

public:
    // A menu or item of this bar by its name, or nullptr.
    QAction *item(const QString &name) const;
    QMenu *menu(const QString &name) const;

protected:
    NamedMenuBar() = default;

    // Raised each time one of the bar's menus is about to open.
    virtual void enableMenuItems() = 0;

    // "&File" with "Print Help" (Ctrl+P); the caller appends what else its File menu holds.
    QMenu *buildFileMenu();
    // "&Edit": Undo, a separator, Cut, Copy, Paste, Delete, a separator, Select All.
    void buildEditMenu();

    QMenu *addNamedMenu(const char *name, const QString &text);
    QAction *addItem(QMenu *menu, const char *name, const QString &text, const char *shortcut);
    void addSeparator(QMenu *menu, const char *name);
};
