#pragma once

#include <QMenuBar>

class QAction;
class QMenu;

// The control panel's menu bar: File, Edit, Check for Update and Help. One shared instance.
class MenuBar1 : public QMenuBar
{
    Q_OBJECT

public:
    // The one menu bar, made on first use. Qt hands a menu bar to the window that shows it, so
    // should that window be destroyed the next call builds a new one.
    static MenuBar1 *instance();

    // A menu or item of this bar by its name ("FileMenu", "HelpShowHelp", ...), or nullptr.
    QAction *item(const QString &name) const;
    QMenu *menu(const QString &name) const;

private:
    MenuBar1();

    void Untitled0(); // File
    void Untitled1(); // Edit
    void Untitled2(); // Check for Update
    void Untitled3(); // Help

    QMenu *addNamedMenu(const char *name, const QString &text);
    QAction *addItem(QMenu *menu, const char *name, const QString &text, const char *shortcut);
    void addSeparator(QMenu *menu, const char *name);
};
