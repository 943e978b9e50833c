#include "windows/Help.h"
#include "ui_Help.h"

#include "platform/rules.h"
#include "windows/MenuBar2.h"
#include "windows/printHelp.h"
#include "windows/services.h"
#include "windows/windowDesign.h"

#include <QAction>

Help::Help(QWidget *parent) : ContentGeometry(parent), ui(new Ui::Help)
{
    setMenuBar(MenuBar2::instance());
    ui->setupUi(this);
    applyFrame(this, 0);
    connect(ui->PushButton1, &QPushButton::clicked, this, &Help::PushButton1_Action);
    AddMenuHandlers();
}

Help::~Help()
{
    // Qt would delete the shared menu bar with this window; the next help window installs it
    // again, so it is taken out first. (A newer help window may already have taken it.)
    // (Not hidden explicitly: a widget hidden so would stay hidden in the next window too.)
    if (auto *bar = qobject_cast<MenuBar2 *>(menuWidget()))
        bar->setParent(nullptr);
    delete ui;
}

QTextEdit *Help::TextArea1() const
{
    return ui->TextArea1;
}

void Help::AddMenuHandlers()
{
    // The bar is shared: only the window that carries it at the moment answers its item.
    connect(MenuBar2::instance()->item(QStringLiteral("FilePrintHelp")), &QAction::triggered, this,
            [this] {
                if (menuWidget() == MenuBar2::instance())
                    FilePrintHelp_Action();
            });
}

void Help::Event_EnableMenuItems()
{
    if (auto *bar = qobject_cast<MenuBar2 *>(menuWidget()))
        bar->item(QStringLiteral("FilePrintHelp"))->setEnabled(true);
}

bool Help::FilePrintHelp_Action()
{
    return printHelp();
}

void Help::PushButton1_Action()
{
    const QTextCursor cursor = ui->TextArea1->textCursor();
    const int start = cursor.selectionStart();
    const int length = cursor.selectionEnd() - cursor.selectionStart();
    MsgBox(QStringLiteral("Start: ") + Str(start) + QStringLiteral(" Length: ") + Str(length));
}
