#include "platform/ScreenInfo.h"

#include <QGuiApplication>

std::shared_ptr<ScreenInfo> ScreenInfo::mainScreen()
{
    return std::shared_ptr<ScreenInfo>(new ScreenInfo(QGuiApplication::primaryScreen()));
}

double ScreenInfo::backingScaleFactor() const
{
    return screen_ ? screen_->devicePixelRatio() : 1.0;
}
