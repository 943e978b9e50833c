#include "windows/selfTest.h"
#include "ui_selfTest.h"

#include "platform/SingleInstance.h"
#include "platform/windowDesign.h"
#include "version.h"
#include "windows/updateWindow.h"

selfTest::selfTest(QWidget *parent) : QWidget(parent), ui(new Ui::selfTest)
{
    ui->setupUi(this);
    applyFrame(this, 0);
    setDefaultButton(ui->PushButton1);
    connect(ui->PushButton1, &QPushButton::clicked, this, &selfTest::PushButton1_Action);
    Label2_Open(ui->Label2);
}

selfTest::~selfTest()
{
    delete ui;
}

void selfTest::Label2_Open(QLabel *sender)
{
    sender->setText(QStringLiteral(VIZZOLEN_LONG_VERSION));
}

void selfTest::PushButton1_Action()
{
    updateWindow *update = SingleInstance<updateWindow>::get();
    update->show();
    update->raise();
    SingleInstance<selfTest>::get()->close();
}
