#include "app/App.h"

#include "app/MenuBar1.h"
#include "app/Window1.h"
#include "platform/ScreenInfo.h"
#include "platform/SingleInstance.h"
#include "platform/capture.h"
#include "platform/quitSignals.h"
#include "platform/rules.h"
#include "settings/prefsModule.h"
#include "site.h"
#include "windows/services.h"

#include <QAction>
#include <QDirIterator>
#include <QIcon>
#include <QTimer>

App::App(int &argc, char **argv) : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("Vizzolen"));
    setApplicationVersion(ShortVersion);
    // The desktop entry's name, by which a dock or a Wayland compositor finds the entry (and its
    // icon) for our windows, and the icon itself in every size it was rendered at.
    setDesktopFileName(QStringLiteral(VIZZOLEN_APP_ID));
    QIcon icon;
    QDirIterator pngs(QStringLiteral(":/icons"), {QStringLiteral("*.png")}, QDir::Files,
                      QDirIterator::Subdirectories);
    while (pngs.hasNext())
        icon.addFile(pngs.next());
    setWindowIcon(icon);
    // The program ends when the control panel closes, and only then, so that the settings are
    // written on every normal end.
    setQuitOnLastWindowClosed(false);
    setControlPanelFocus([] { SingleInstance<Window1>::get()->SetFocus(); });
    setCaptureProblemHandler(&ShowProblem);
    // Asked to end from outside (a session ending, Ctrl+C): end as closing the panel does,
    // with the settings written.
    onQuitSignals(this, [] {
        if (Window1 *panel = SingleInstance<Window1>::open())
            panel->close();
        else
            QCoreApplication::quit();
    });
    QTimer::singleShot(0, this, &App::Event_Open);
}

App::~App()
{
    prefsModule::writeLastNoted();
}

void App::Event_Open()
{
    prefsModule::mainScreenObj = ScreenInfo::mainScreen();
    prefsModule::screenScale = realToInteger(prefsModule::mainScreenObj->backingScaleFactor());
    SingleInstance<Window1>::get()->show();
}

void App::Event_EnableMenuItems()
{
    MenuBar1 *bar = MenuBar1::instance();
    if (QAction *a = bar->item(QStringLiteral("HelpShowHelp")))
        a->setEnabled(true);
    if (QAction *a = bar->item(QStringLiteral("HelpAboutBox")))
        a->setEnabled(true);
}
