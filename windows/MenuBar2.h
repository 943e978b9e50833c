#pragma once

#include "windows/NamedMenuBar.h"

// The help window's menu bar: the control panel's File menu without Quit, and its Edit menu.
// One object serves every help window of the run.
class MenuBar2 : public NamedMenuBar
{
    Q_OBJECT

public:
    static MenuBar2 *instance();

protected:
    void enableMenuItems() override;

private:
    MenuBar2();

    void Untitled0(); // File
    void Untitled1(); // Edit
};
