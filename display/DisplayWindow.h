#pragma once

#include <QImage>
#include <QWidget>
#include <memory>

namespace Ui {
class DisplayWindow;
}

class ServerView;
class WindowOutput;

// The magnified view: a plain box beside the control panel whose background picture every
// refresh replaces whole.

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

    // The picture the last refresh showed, of the window's size then. Where the server draws
    // the view it is read back from the server on demand, the capture scaled as the other way
    // scales it: for tests, never for the refresh.
    QImage Backdrop() const;
    // Whether the view is drawn by the X server itself (ServerView) rather than in the program.
    bool drawnByServer() const { return server_ != nullptr; }

protected:
    void paintEvent(QPaintEvent *event) override;
    QPaintEngine *paintEngine() const override;

private:
    // The case's capture: on the server, or pulled into `capture_`.
    void screenshot(std::int32_t left, std::int32_t top, std::int32_t width, std::int32_t height);
    // The tail of a refresh: the capture, if the case made one, drawn over width x height.
    void showScreenshot(bool captured, int width, int height);
    // The server refused the view: from now on the program draws it.
    void drawInProgram();
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
    QImage capture_;
    QImage backdrop_;
    QSize shownSize_;
    // On X11 with RENDER the server captures, scales and shows; the program never holds the
    // pixels.
    std::unique_ptr<ServerView> server_;
    // Otherwise, on X11, the window is painted straight through MIT-SHM rather than Qt's
    // backing store.
    std::unique_ptr<WindowOutput> output_;
};
