#pragma once

#include <QApplication>
#include <QString>
#include <cstdint>

#include "version.h"

// The application object: start-up, and the version values the other windows show.
class App : public QApplication
{
    Q_OBJECT

public:
    static constexpr std::int32_t MajorVersion = VIZZOLEN_MAJOR_VERSION;
    static constexpr std::int32_t MinorVersion = VIZZOLEN_MINOR_VERSION;
    static constexpr std::int32_t BugVersion = VIZZOLEN_BUG_VERSION;
    static inline const QString ShortVersion = QStringLiteral(VIZZOLEN_SHORT_VERSION);
    static inline const QString LongVersion = QStringLiteral(VIZZOLEN_LONG_VERSION);

    App(int &argc, char **argv);
    // An end that did not come through the panel's closing writes the settings here.
    ~App() override;

    // The App, or nullptr while another QApplication runs (as in some tests).
    static App *instance() { return qobject_cast<App *>(QCoreApplication::instance()); }

    // Raised once the event loop runs: takes the main screen's scale and shows the control panel.
    void Event_Open();
    // Raised before a menu of the control panel opens.
    void Event_EnableMenuItems();
};
