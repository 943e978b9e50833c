#include "windows/Help.h"
#include "ui_Help.h"

#include "platform/SingleInstance.h"
#include "platform/rules.h"
#include "platform/windowDesign.h"
#include "windows/MenuBar2.h"
#include "windows/printHelp.h"
#include "windows/services.h"

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
    // The bar is shared: only the window that carries it at the moment answers its items.
    auto bind = [this](const char *item, auto action) {
        connect(MenuBar2::instance()->item(QString::fromLatin1(item)), &QAction::triggered, this,
                [this, action] {
                    if (menuWidget() == MenuBar2::instance())
                        action();
                });
    };
    bind("FilePrintHelp", [this] { FilePrintHelp_Action(); });
    // The Edit items act on the text, as they would in any editable text.
    QTextEdit *text = ui->TextArea1;
    bind("EditUndo", [text] { text->undo(); });
    bind("EditCut", [text] { text->cut(); });
    bind("EditCopy", [text] { text->copy(); });
    bind("EditPaste", [text] { text->paste(); });
    bind("EditClear", [text] { text->textCursor().removeSelectedText(); });
    bind("EditSelectAll", [text] { text->selectAll(); });
}

void Help::Event_EnableMenuItems()
{
    if (auto *bar = qobject_cast<MenuBar2 *>(menuWidget()))
        bar->item(QStringLiteral("FilePrintHelp"))->setEnabled(true);
}

bool Help::FilePrintHelp_Action()
{
    return printHelpText();
}

bool Help::printHelpText()
{
    // The window is named only when the text is needed, and again to close it: after a
    // cancelled dialog one is made only to be closed at once.
    return printHelp([]() -> const QTextDocument & { return *SingleInstance<Help>::get()->TextArea1()->document(); },
                     [] { SingleInstance<Help>::get()->close(); });
}

void Help::PushButton1_Action()
{
    const QTextCursor cursor = ui->TextArea1->textCursor();
    const int start = cursor.selectionStart();
    const int length = cursor.selectionEnd() - cursor.selectionStart();
    MsgBox(QStringLiteral("Start: ") + Str(start) + QStringLiteral(" Length: ") + Str(length));
}
