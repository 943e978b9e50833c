#pragma once

#include <QImage>
#include <QRect>
#include <QSize>
#include <QWidget>
#include <memory>

// The magnified view drawn by the X server itself. A capture is copied on the server from the
// root window into a pixmap of the capture's size; showing it composites that pixmap into the
// window through a RENDER scaling transform with nearest sampling. The pixels never travel to
// the program and back, and nothing waits for the server: every request goes out unanswered,
// and a refusal is seen in the errors that come in with a later reply (the next pointer
// reading) and reported by show().
//
// Where the server reports damage (DAMAGE 1.1), a refresh sends nothing at all unless what the
// view shows may have changed since the last one: another rectangle, the screen drawn on
// within it, another size. The notices arrive on the program's own connection and are read
// with the pointer's reply. Without DAMAGE every refresh copies and composites.
//
// The window is never composited from the root's own picture: where the rectangle overlaps the
// window, the server would read pixels that the same composite is writing.
class ServerView
{
public:
    // For the top-level widget `window`; nullptr where the server cannot draw the view: not on
    // X11, no RENDER 0.6 (scaling transforms and filters), no picture format for the window's
    // visual or the screen's, a refused window picture, or VIZZOLEN_NO_RENDER set (which the
    // benchmark uses to time the other way).
    static std::unique_ptr<ServerView> create(QWidget *window);
    ~ServerView();

    // Copies the rectangle (global device-independent coordinates, as ScreenshotRect takes
    // them; on no screen black) into the capture pixmap, unless the pixmap already holds it and
    // the server has reported no drawing within it since.
    void capture(const QRect &request);
    // Forgets the capture: the next show() is black.
    void dropCapture();
    // Shows the capture scaled over `size` (device-independent) of the window from its
    // top-left corner, black where there is no capture; black beyond `size`; nothing sent when
    // the window already shows that picture. False when the server has refused a request or
    // Qt has given the widget another X window: the view cannot be drawn here any more.
    bool show(QSize size);
    // show() again with the last size, from the kept capture (for an expose).
    bool repaint();

    // The kept capture as the server holds it, read back (a round trip; for tests and the
    // benchmark, never for the refresh). Null when there is none.
    QImage capturedPicture() const;

private:
    class Private;
    explicit ServerView(std::unique_ptr<Private> d);
    std::unique_ptr<Private> d;
};
