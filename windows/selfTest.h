#pragma once

#include <QWidget>

class QLabel;

namespace Ui {
class selfTest;
}

// "Self Test": the running version and the button that starts a check for updates.
class selfTest : public QWidget
{
    Q_OBJECT

public:
    static constexpr bool designVisible = true;

    explicit selfTest(QWidget *parent = nullptr);
    ~selfTest() override;

    void Label2_Open(QLabel *sender);
    // Opens the update window, whose opening sends the request, and closes this window.
    void PushButton1_Action();

private:
    Ui::selfTest *ui;
};
