#include "windows/AboutBox.h"
#include "ui_AboutBox.h"

#include "platform/windowDesign.h"
#include "site.h"
#include "version.h"
#include "windows/services.h"

AboutBox::AboutBox(QWidget *parent) : ContentGeometry(parent), ui(new Ui::AboutBox)
{
    ui->setupUi(this);
    setTextSize(ui->Label1, 30);
    setTextSize(ui->Label3, 12);
    setTextSize(ui->Label4, 12);
    applyFrame(this, 0);
    connect(ui->PushButton1, &QPushButton::clicked, this, &AboutBox::PushButton1_Action);
    connect(ui->PushButton2, &QPushButton::clicked, this, &AboutBox::PushButton2_Action);
    Label4_Open(ui->Label4);
}

AboutBox::~AboutBox()
{
    delete ui;
}

void AboutBox::PushButton1_Action()
{
    ShowURL(QStringLiteral("mailto:" VIZZOLEN_AUTHOR_EMAIL));
}

void AboutBox::PushButton2_Action()
{
    ShowURL(QStringLiteral("http://" VIZZOLEN_SITE_HOST));
}

void AboutBox::Label4_Open(QLabel *sender)
{
    sender->setText(QStringLiteral(VIZZOLEN_LONG_VERSION));
}
