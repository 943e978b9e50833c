#pragma once

#include "platform/capture.h"

#include <QStringList>

// Stands in for the screen: a pointer that stays where the test puts it, and captures that are
// recorded and answered with a picture whose every pixel tells its own position in the
// capture (red = x, green = y), so a test can see how it was scaled.
class FakeCapture : public CaptureSource
{
public:
    FakeCapture() { setCaptureSource(this); }
    ~FakeCapture() override { setCaptureSource(nullptr); }

    QPoint pointer{1000, 500};
    bool failCaptures = false;
    QList<QRect> captures;
    QStringList reads; // "MouseX", "MouseY", "ScreenshotRect" in the order they happened

    std::int32_t MouseX() override
    {
        reads << QStringLiteral("MouseX");
        return pointer.x();
    }
    std::int32_t MouseY() override
    {
        reads << QStringLiteral("MouseY");
        return pointer.y();
    }
    QImage ScreenshotRect(std::int32_t left, std::int32_t top, std::int32_t width,
                          std::int32_t height) override
    {
        reads << QStringLiteral("ScreenshotRect");
        captures << QRect(left, top, width, height);
        if (failCaptures || width <= 0 || height <= 0)
            return QImage();
        QImage picture(width, height, QImage::Format_RGB32);
        for (int y = 0; y < height; ++y) {
            auto *line = reinterpret_cast<QRgb *>(picture.scanLine(y));
            for (int x = 0; x < width; ++x)
                line[x] = qRgb(x & 255, y & 255, 0x80);
        }
        return picture;
    }

    void clear()
    {
        captures.clear();
        reads.clear();
    }
};
