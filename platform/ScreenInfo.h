#pragma once

#include <QPointer>
#include <QScreen>
#include <memory>

// The main screen as the start-up takes it.
class ScreenInfo
{
public:
    static std::shared_ptr<ScreenInfo> mainScreen();

    // The screen's device pixels per device-independent pixel; 1.0 when there is no screen.
    double backingScaleFactor() const;

private:
    explicit ScreenInfo(QScreen *screen) : screen_(screen) {}
    QPointer<QScreen> screen_;
};
