#include "display/DisplayWindow.h"
#include "ui_DisplayWindow.h"

#include "display/CaptureOffsets.h"
#include "platform/capture.h"
#include "platform/rules.h"
#include "settings/prefsModule.h"

#include <QPainter>

using prefsModule::magFactor;

DisplayWindow::DisplayWindow(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus),
      ui(new Ui::DisplayWindow)
{
    ui->setupUi(this);
    // Every paint covers the whole window with the backdrop, so Qt need not clear it first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

DisplayWindow::~DisplayWindow()
{
    delete ui;
}

void DisplayWindow::details1()
{
    QImage capture;
    int row, column;
    if (captureCase(magFactor, width(), row, column)) {
        const Offset1x offset = CaptureOffsets1x[row][column];
        const double m = row + 2;
        CaptureSource &source = captureSource();
        const std::int32_t left = source.MouseX() - offset.Ax;
        const std::int32_t top = source.MouseY() - offset.Ay;
        capture = source.ScreenshotRect(left, top, realToInteger(width() / m),
                                        realToInteger(height() / m));
    }
    showCapture(capture, width(), height());
}

void DisplayWindow::details()
{
    const std::int32_t W0 = width();
    const std::int32_t H0 = height();
    const std::int32_t m = magFactor;
    QImage capture;
    int row, column;
    if (captureCase(m, width(), row, column)) {
        const Offset2x offset = CaptureOffsets2x[row][column];
        CaptureSource &source = captureSource();
        // Computed in doubles in exactly this order, then converted once.
        const double MX = source.MouseX();
        const std::int32_t x = realToInteger(MX - double(W0) / 4.0 / double(m) - offset.Cx);
        const double MY = source.MouseY();
        const std::int32_t y = realToInteger(MY - double(H0) / 4.0 / double(m) - offset.Cy);
        capture = source.ScreenshotRect(x, y, W0, H0);
    }
    showCapture(capture, W0, H0);
}

void DisplayWindow::showCapture(const QImage &capture, int width, int height)
{
    QImage picture(width, height, QImage::Format_RGB32);
    if (capture.isNull()) {
        picture.fill(Qt::black);
    } else {
        QPainter painter(&picture);
        // No smoothing: magnified pixels stay crisp squares.
        painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
        painter.drawImage(QRect(0, 0, width, height), capture, capture.rect());
    }
    backdrop_ = std::move(picture);
    update();
}

void DisplayWindow::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.drawImage(0, 0, backdrop_);
    // A window made larger than its last picture shows black beyond it, never old pixels.
    if (backdrop_.width() < width())
        painter.fillRect(backdrop_.width(), 0, width() - backdrop_.width(), height(), Qt::black);
    if (backdrop_.height() < height())
        painter.fillRect(0, backdrop_.height(), backdrop_.width(), height() - backdrop_.height(), Qt::black);
}
