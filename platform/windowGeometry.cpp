#include "platform/windowGeometry.h"

#include <QGuiApplication>
#include <QMainWindow>
#include <QScreen>
#include <algorithm>

namespace {

QPoint contentOffset(const QWidget *window)
{
    if (auto *main = qobject_cast<const QMainWindow *>(window)) {
        if (const QWidget *central = main->centralWidget())
            return central->pos();
    }
    return QPoint();
}

QSize contentSize(const QWidget *window)
{
    if (auto *main = qobject_cast<const QMainWindow *>(window)) {
        if (const QWidget *central = main->centralWidget())
            return central->size();
    }
    return window->size();
}

} // namespace

std::int32_t availableHeight()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry().height() : 0;
}

int windowCoordinate(qint64 value)
{
    return int(std::clamp<qint64>(value, -32768, 32767));
}

QRect contentGeometry(const QWidget *window)
{
    return QRect(window->geometry().topLeft() + contentOffset(window), contentSize(window));
}

void setContentLeft(QWidget *window, std::int32_t left)
{
    QRect g = window->geometry();
    g.moveLeft(windowCoordinate(qint64(left) - contentOffset(window).x()));
    window->setGeometry(g);
}

void setContentTop(QWidget *window, std::int32_t top)
{
    QRect g = window->geometry();
    g.moveTop(windowCoordinate(qint64(top) - contentOffset(window).y()));
    window->setGeometry(g);
}
