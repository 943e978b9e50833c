#pragma once

#include <QImage>
#include <QWidget>
#include <memory>

namespace Ui {
class DisplayWindow;
}

// The magnified view: a plain box beside the control panel whose background picture every
// refresh replaces whole.
class WindowOutput;

class DisplayWindow : public QWidget
{
    Q_OBJECT

public:
    static constexpr bool designVisible = true;

    explicit DisplayWindow(QWidget *parent = nullptr);
    ~DisplayWindow() override;

    // One refresh on a main screen of scale factor 2: a capture as large as the window.
    void details();
    // One refresh on any other screen: the window's size divided by the magnification.
    void details1();

    const QImage &Backdrop() const { return backdrop_; }

protected:
    void paintEvent(QPaintEvent *event) override;
    QPaintEngine *paintEngine() const override;

private:
    // Whether a picture of `size` fills the window one pixel to one device pixel.
    bool showsPixelForPixel(QSize size) const;
    // Draws the whole capture into a new picture of width x height and shows it; a missing
    // capture shows black rather than a stale view.
    void showCapture(const QImage &capture, int width, int height);
    // The whole window: the backdrop at the top-left corner, black beyond it.
    void paintBackdrop(QPainter &painter) const;
    // Puts the backdrop into the window through the output; when that fails, Qt's backing
    // store takes over for good.
    void putBackdrop();

    Ui::DisplayWindow *ui;
    QImage backdrop_;
    // On X11 the window is painted straight through MIT-SHM rather than Qt's backing store.
    std::unique_ptr<WindowOutput> output_;
};
