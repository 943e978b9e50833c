#pragma once

#include "windows/NamedMenuBar.h"

// The control panel's menu bar: File, Edit, Check for Update and Help. One shared instance.
class MenuBar1 : public NamedMenuBar
{
    Q_OBJECT

public:
    // The one menu bar, made on first use. Qt hands a menu bar to the window that shows it, so
    // should that window be destroyed the next call builds a new one.
    static MenuBar1 *instance();

protected:
    void enableMenuItems() override;

private:
    MenuBar1();

    void Untitled0(); // File
    void Untitled1(); // Edit
    void Untitled2(); // Check for Update
    void Untitled3(); // Help
};
