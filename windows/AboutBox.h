#pragma once

#include "platform/windowGeometry.h"

#include <QWidget>

class QLabel;

namespace Ui {
class AboutBox;
}

// The about box: the product's name, its long version, the credits, and two buttons that hand
// the author's address and the web site to the system. Nothing of the program closes it.
class AboutBox : public ContentGeometry<QWidget>
{
    Q_OBJECT

public:
    static constexpr bool designVisible = true;

    explicit AboutBox(QWidget *parent = nullptr);
    ~AboutBox() override;

    void PushButton1_Action(); // "Email Author"
    void PushButton2_Action(); // "Visit Web Site"
    void Label4_Open(QLabel *sender);

private:
    Ui::AboutBox *ui;
};
