#pragma once

#include "platform/windowGeometry.h"

#include <QMainWindow>
#include <cstdint>

class QTimer;

namespace Ui {
class Window1;
}

// The control panel: magnification and width sliders, the "Hide" box, and the 50 ms timer that
// drives the display window beside it.
//
// Its Left, Top, Width and Height are those of the panel's content below the menu bar: 251 x 137,
// as designed, so that the display window's bottom edge and the stored position refer to the
// panel itself whichever way the platform draws menu bars.
class Window1 : public ContentGeometry<QMainWindow>
{
    Q_OBJECT

public:
    static constexpr bool designVisible = true;

    explicit Window1(QWidget *parent = nullptr);
    ~Window1() override;

    void Slider1_ValueChanged();
    void Slider2_ValueChanged();
    void TextField1_Open();
    void TextField2_Open();
    void Timer1_Action();
    void CheckBox1_Action();

    void Event_Open();
    void Event_Close();
    void Event_Moved();

    // The menu commands; each tells whether it handled its command.
    bool CheckforUpdateCheckNow_Action();
    bool FilePrintHelp_Action();
    bool HelpAboutBox_Action();
    bool HelpShowHelp_Action();

    void SetFocus();

protected:
    void closeEvent(QCloseEvent *event) override;
    void moveEvent(QMoveEvent *event) override;

private:
    void AddMenuHandlers();
    // Puts the display window 10 pixels right of the panel, displayWidth wide, displayWidth / 1.6
    // high, its bottom edge level with the panel's.
    void placeDisplayWindow();

    Ui::Window1 *ui;
    QTimer *Timer1;
    bool closed_ = false;
};
