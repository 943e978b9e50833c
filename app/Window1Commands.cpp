// The control panel's menu commands: the help window, its printing, the about box and the
// update check.

#include "app/MenuBar1.h"
#include "app/Window1.h"
#include "platform/SingleInstance.h"
#include "platform/windowGeometry.h"
#include "settings/prefsModule.h"
#include "windows/AboutBox.h"
#include "windows/Help.h"
#include "windows/selfTest.h"

#include <QAction>

namespace {

// Shows a window that may already be open, bringing it to the front.
void showAgain(QWidget *window)
{
    window->show();
    window->raise();
    window->activateWindow();
}

} // namespace

void Window1::AddMenuHandlers()
{
    const MenuBar1 *bar = MenuBar1::instance();
    connect(bar->item(QStringLiteral("CheckforUpdateCheckNow")), &QAction::triggered, this,
            &Window1::CheckforUpdateCheckNow_Action);
    connect(bar->item(QStringLiteral("FilePrintHelp")), &QAction::triggered, this,
            &Window1::FilePrintHelp_Action);
    connect(bar->item(QStringLiteral("HelpAboutBox")), &QAction::triggered, this,
            &Window1::HelpAboutBox_Action);
    connect(bar->item(QStringLiteral("HelpShowHelp")), &QAction::triggered, this,
            &Window1::HelpShowHelp_Action);
}

bool Window1::CheckforUpdateCheckNow_Action()
{
    showAgain(SingleInstance<selfTest>::get());
    return false;
}

bool Window1::FilePrintHelp_Action()
{
    return Help::printHelpText();
}

bool Window1::HelpAboutBox_Action()
{
    AboutBox *box = SingleInstance<AboutBox>::get();
    // Whether the box fits below the panel is judged from where the panel stood at start-up;
    // compared in 64 bits, as that top is the preferences file's number, unchecked.
    if (qint64(availableHeight()) < qint64(prefsModule::savedTop) + box->Height()) {
        box->setTop(availableHeight() - box->Height() - 20);
    } else {
        box->setTop(windowCoordinate(qint64(Top()) + 20));
        box->setLeft(windowCoordinate(qint64(Left()) + 20));
    }
    showAgain(box);
    return true;
}

bool Window1::HelpShowHelp_Action()
{
    Help *help = SingleInstance<Help>::get();
    help->setTop(windowCoordinate(qint64(Top()) + Height() - help->Height()));
    if (help->Top() < 50)
        help->setTop(50);
    help->setLeft(windowCoordinate(qint64(Left()) + 20));
    showAgain(help);
    return true;
}

void Window1::SetFocus()
{
    raise();
    activateWindow();
}
