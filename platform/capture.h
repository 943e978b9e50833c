#pragma once

#include <QImage>
#include <QList>
#include <QPoint>
#include <QRect>
#include <cstdint>
#include <functional>
#include <memory>

// Where the refresh gets the pointer and the screen's pixels. The real source reads the X
// server (platform/x11); tests put a fake in its place.
class CaptureSource
{
public:
    virtual ~CaptureSource() = default;

    // The pointer in global device-independent coordinates. MouseX asks for the position and
    // MouseY gives the Y of that same reading, so the two always belong to one instant.
    virtual std::int32_t MouseX() = 0;
    virtual std::int32_t MouseY() = 0;

    // The rectangle of the screen whose top-left corner is (left, top) in global
    // device-independent coordinates. On a screen of scale factor 2 the width and height count
    // device pixels, elsewhere device-independent ones. The picture always covers the whole
    // rectangle: what lies on no screen is black. A null image for an empty rectangle, or when
    // the screen could not be read.
    virtual QImage ScreenshotRect(std::int32_t left, std::int32_t top, std::int32_t width,
                                  std::int32_t height) = 0;
};

// The installed source; the real one unless a test has set another.
CaptureSource &captureSource();
// Installs `source` (not owned) in place of the real one; nullptr goes back to the real one.
// A display window made while the real one is installed may capture on the X server itself
// (ServerView) and then asks the source only for the pointer.
void setCaptureSource(CaptureSource *source);
// Whether the real source is the installed one.
bool realCaptureSource();
// Whether the real source, installed, reads an X server's own pixels, so that the server can
// draw the view itself (ServerView).
bool captureOnXServer();
// The source of any platform: QCursor and QScreen::grabWindow.
std::unique_ptr<CaptureSource> makeQtCapture();

// What a source cannot do that the user must know of (the view stays black, and why, and what
// to do) goes to `show`, from the event loop, never from within a refresh. Each source tells a
// problem once. Without a handler nothing is shown.
void setCaptureProblemHandler(std::function<void(const QString &)> show);
// For the sources.
void reportCaptureProblem(const QString &text);

// A point in the X server's device pixels as global device-independent coordinates, mapped as
// QCursor::pos() maps them: on the screen whose device pixels hold it (else the primary one),
// scaled about that screen's top-left corner, which both systems share.
QPoint fromDevicePixels(QPoint native);

// How a global rectangle maps onto the screens, kept apart from the grabbing so that layouts
// of several monitors can be checked without them.
struct ScreenGeometry
{
    QRect geometry;            // device-independent, as QScreen::geometry gives it
    double devicePixelRatio;   // as QScreen::devicePixelRatio gives it
    // Device pixels. Qt keeps a screen's top-left corner the same in both coordinate systems and
    // scales only its size, which is what nativeGeometry() assumes.
    QRect nativeGeometry() const;
};

struct CapturePiece
{
    QRect source;       // device pixels of the whole X screen (root window coordinates)
    QPoint destination; // where it goes in the picture
};

struct CapturePlan
{
    QSize pictureSize;            // device pixels
    QList<CapturePiece> pieces;   // the parts that lie on some screen; the rest is black
    bool coversPicture = false;   // true when the pieces fill the picture
};

// The screens as Qt has them now.
QList<ScreenGeometry> currentScreens();

// The screen that decides the units is the one holding the rectangle's top-left corner, or, if
// none does, the one the rectangle overlaps most, else the first.
CapturePlan planCapture(const QList<ScreenGeometry> &screens, const QRect &request);

// A Format_RGB32 picture of the plan's size, black where no piece lies, each piece drawn by
// `grabPiece`. Null when the plan is empty or a piece could not be read.
QImage assembleCapture(const CapturePlan &plan,
                       const std::function<bool(const CapturePiece &, QImage &)> &grabPiece);
