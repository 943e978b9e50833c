#include "platform/x11/displayCheck.h"

#include <QByteArray>
#include <xcb/xcb.h>

DisplayCheck::DisplayCheck()
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (!platform.isEmpty() && !platform.startsWith("xcb"))
        return;
    // Also on a Wayland desktop with Qt's Wayland plug-in installed: only X11 windows can place
    // themselves beside the panel.
    if (platform.isEmpty()) {
        qputenv("QT_QPA_PLATFORM", "xcb");
        choseX11_ = true;
    }

    const QByteArray display = qgetenv("DISPLAY");
    if (display.isEmpty()) {
        problem_ = QStringLiteral("no X display: DISPLAY is not set. Start Vizzolen from an X11 desktop session.");
        return;
    }
    connection_ = xcb_connect(display.constData(), nullptr);
    if (xcb_connection_has_error(connection_) != 0) {
        release();
        problem_ = QStringLiteral("cannot open the X display \"%1\".").arg(QString::fromLocal8Bit(display));
    }
}

DisplayCheck::~DisplayCheck()
{
    release();
}

void DisplayCheck::release()
{
    if (connection_)
        xcb_disconnect(connection_);
    connection_ = nullptr;
}
