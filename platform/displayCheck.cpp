#include "platform/displayCheck.h"

#include <QByteArray>
#include <xcb/xcb.h>

QString prepareDisplay()
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (!platform.isEmpty() && !platform.startsWith("xcb"))
        return QString();
    if (platform.isEmpty())
        qputenv("QT_QPA_PLATFORM", "xcb");

    const QByteArray display = qgetenv("DISPLAY");
    if (display.isEmpty())
        return QStringLiteral("no X display: DISPLAY is not set. Start Vizzolen from an X11 desktop session.");
    xcb_connection_t *c = xcb_connect(display.constData(), nullptr);
    const bool failed = xcb_connection_has_error(c) != 0;
    xcb_disconnect(c);
    if (failed)
        return QStringLiteral("cannot open the X display \"%1\".").arg(QString::fromLocal8Bit(display));
    return QString();
}
