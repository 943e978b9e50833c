#include "display/DisplayWindow.h"
#include "ui_DisplayWindow.h"

#include "display/CaptureOffsets.h"
#include "display/scaleNearest.h"
#include "platform/capture.h"
#include "platform/rules.h"
#include "platform/x11/serverView.h"
#include "platform/x11/windowOutput.h"
#include "settings/prefsModule.h"

#include <QPainter>
#include <cmath>
#include <utility>

using prefsModule::magFactor;

DisplayWindow::DisplayWindow(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus),
      ui(new Ui::DisplayWindow)
{
    ui->setupUi(this);
    // Every paint covers the whole window with the backdrop, so Qt need not clear it first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    if (captureOnXServer())
        server_ = ServerView::create(this);
    if (!server_)
        output_ = WindowOutput::create(this);
    if (server_ || output_)
        setAttribute(Qt::WA_PaintOnScreen);
}

DisplayWindow::~DisplayWindow()
{
    delete ui;
}

void DisplayWindow::details1()
{
    bool captured = false;
    int row, column;
    if (captureCase(magFactor, width(), row, column)) {
        const Offset1x offset = CaptureOffsets1x[row][column];
        const double m = row + 2;
        CaptureSource &source = captureSource();
        const std::int32_t left = source.MouseX() - offset.Ax;
        const std::int32_t top = source.MouseY() - offset.Ay;
        screenshot(left, top, realToInteger(width() / m), realToInteger(height() / m));
        captured = true;
    }
    showScreenshot(captured, width(), height());
}

void DisplayWindow::details()
{
    const std::int32_t W0 = width();
    const std::int32_t H0 = height();
    const std::int32_t m = magFactor;
    bool captured = false;
    int row, column;
    if (captureCase(m, width(), row, column)) {
        const Offset2x offset = CaptureOffsets2x[row][column];
        CaptureSource &source = captureSource();
        // Computed in doubles in exactly this order, then converted once.
        const double MX = source.MouseX();
        const std::int32_t x = realToInteger(MX - double(W0) / 4.0 / double(m) - offset.Cx);
        const double MY = source.MouseY();
        const std::int32_t y = realToInteger(MY - double(H0) / 4.0 / double(m) - offset.Cy);
        screenshot(x, y, W0, H0);
        captured = true;
    }
    showScreenshot(captured, W0, H0);
}

void DisplayWindow::screenshot(std::int32_t left, std::int32_t top, std::int32_t width, std::int32_t height)
{
    if (server_)
        server_->capture(QRect(left, top, width, height));
    else
        capture_ = captureSource().ScreenshotRect(left, top, width, height);
}

void DisplayWindow::showScreenshot(bool captured, int width, int height)
{
    shownSize_ = QSize(width, height);
    if (server_) {
        if (!captured)
            server_->dropCapture();
        if (!isVisible() || server_->show(shownSize_))
            return;
        drawInProgram(); // this tick's capture is on the server: black until the next one
    }
    // Kept no longer than the refresh that made it, so a tick without one shows black.
    showCapture(std::exchange(capture_, QImage()), width, height);
}

void DisplayWindow::drawInProgram()
{
    server_.reset();
    output_ = WindowOutput::create(this);
    setAttribute(Qt::WA_PaintOnScreen, output_ != nullptr);
}

QImage DisplayWindow::Backdrop() const
{
    if (!server_)
        return backdrop_;
    QImage picture(shownSize_, QImage::Format_RGB32);
    const QImage capture = server_->capturedPicture();
    if (capture.isNull())
        picture.fill(Qt::black);
    else
        drawScaledNearest(capture, picture);
    return picture;
}

bool DisplayWindow::showsPixelForPixel(QSize size) const
{
    return devicePixelRatio() == 1.0 && this->size() == size;
}

void DisplayWindow::showCapture(const QImage &capture, int width, int height)
{
    const QSize size(width, height);
    QImage picture;
    if (!capture.isNull() && capture.size() == size && capture.format() == QImage::Format_RGB32) {
        picture = capture; // drawn whole at its own size it is the picture: it is new every refresh
    } else {
        // Drawn where the output can put it from when the window shows it pixel for pixel.
        picture = output_ && showsPixelForPixel(size) ? output_->newPicture(size)
                                                      : QImage(size, QImage::Format_RGB32);
        if (capture.isNull())
            picture.fill(Qt::black);
        else
            drawScaledNearest(capture, picture); // no smoothing: magnified pixels stay crisp squares
    }
    backdrop_ = std::move(picture);
    if (output_ && isVisible())
        putBackdrop(); // at once: no paint event, no backing store
    else
        update();
}

QPaintEngine *DisplayWindow::paintEngine() const
{
    // Painted on the screen by the output, which is what Qt asks of a widget with no paint
    // engine of its own.
    return server_ || output_ ? nullptr : QWidget::paintEngine();
}

void DisplayWindow::paintEvent(QPaintEvent *)
{
    if (server_) {
        if (server_->repaint())
            return;
        drawInProgram(); // and shows the last picture there is: none, so black
    }
    if (output_) {
        putBackdrop();
        return;
    }
    QPainter painter(this);
    paintBackdrop(painter);
}

void DisplayWindow::paintBackdrop(QPainter &painter) const
{
    painter.drawImage(0, 0, backdrop_);
    // A window made larger than its last picture shows black beyond it, never old pixels.
    if (backdrop_.width() < width())
        painter.fillRect(backdrop_.width(), 0, width() - backdrop_.width(), height(), Qt::black);
    if (backdrop_.height() < height())
        painter.fillRect(0, backdrop_.height(), backdrop_.width(), height() - backdrop_.height(), Qt::black);
}

void DisplayWindow::putBackdrop()
{
    bool shown;
    if (showsPixelForPixel(backdrop_.size()) && backdrop_.format() == QImage::Format_RGB32) {
        shown = output_->put(backdrop_);
    } else {
        // Drawn as Qt would into its backing store: a picture of the window's device pixels.
        const qreal ratio = devicePixelRatio();
        const QSize device(int(std::ceil(width() * ratio)), int(std::ceil(height() * ratio)));
        QImage frame = output_->newPicture(device);
        if (backdrop_.size() * ratio == device) {
            // The backdrop fills the window: on a screen of scale 2, each pixel two by two.
            drawScaledNearest(backdrop_, frame);
        } else {
            frame.setDevicePixelRatio(ratio);
            QPainter painter(&frame);
            paintBackdrop(painter);
        }
        shown = output_->put(frame);
    }
    if (!shown) {
        // Qt's backing store takes over for good.
        output_.reset();
        setAttribute(Qt::WA_PaintOnScreen, false);
        update();
    }
}
