#pragma once

#include "platform/windowGeometry.h"

#include <QMainWindow>

class QTextEdit;

namespace Ui {
class Help;
}

// The help window: the help text in an editable, scrolling text area, under a menu bar of its
// own whose "Print Help" prints that text. What the user types lives as long as the window.
//
// Its Left, Top, Width and Height are those of its content below the menu bar (332 x 267), like
// the control panel's.
class Help : public ContentGeometry<QMainWindow>
{
    Q_OBJECT

public:
    static constexpr bool designVisible = true;

    explicit Help(QWidget *parent = nullptr);
    ~Help() override;

    QTextEdit *TextArea1() const;

    // Reports the text area's selection; its button lies outside the window, so only the
    // keyboard reaches it.
    void PushButton1_Action();
    void Event_EnableMenuItems();
    bool FilePrintHelp_Action();

    // Prints the text of the open help window, or of one made for it, and closes that window:
    // what "Print Help" does from either menu bar.
    static bool printHelpText();

private:
    void AddMenuHandlers();

    Ui::Help *ui;
};
