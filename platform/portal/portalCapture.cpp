#include "platform/portal/portalCapture.h"
#include "platform/portal/portalSession.h"
#include "platform/portal/restoreToken.h"
#include "platform/portal/screenStreams.h"

#include <QCursor>
#include <QTimer>
#include <algorithm>

namespace {

QString problemText(PortalSession::Problem problem, const QString &detail)
{
    const QString why = detail.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(detail);
    switch (problem) {
    case PortalSession::Problem::NoPortal:
        return QStringLiteral(
            "Vizzolen cannot show the screen: this Wayland desktop has no screen-sharing portal "
            "(xdg-desktop-portal). Install xdg-desktop-portal and your desktop's portal "
            "(xdg-desktop-portal-gnome or xdg-desktop-portal-kde), log in again and restart Vizzolen.");
    case PortalSession::Problem::NoScreenCast:
        return QStringLiteral(
            "Vizzolen cannot show the screen: the desktop's portal offers no screen sharing. Install "
            "your desktop's portal (xdg-desktop-portal-gnome or xdg-desktop-portal-kde), log in again "
            "and restart Vizzolen.");
    case PortalSession::Problem::NoPointer:
        return QStringLiteral(
            "Vizzolen cannot follow the pointer on this desktop: its screen-sharing portal does not "
            "tell where the pointer is, as on wlroots desktops such as sway. The view stays black. "
            "Vizzolen works on GNOME and KDE Plasma, and on any X11 desktop.");
    case PortalSession::Problem::NoMonitors:
        return QStringLiteral(
            "Vizzolen cannot show the screen: the desktop's portal cannot share monitors. The view "
            "stays black.");
    case PortalSession::Problem::Cancelled:
        return QStringLiteral(
            "The screen was not shared, so the view stays black. To see it magnified, restart "
            "Vizzolen and choose Share when the desktop asks.");
    case PortalSession::Problem::Refused:
        return QStringLiteral("The desktop did not share the screen%1, so the view stays black. "
                              "Restart Vizzolen to ask again.").arg(why);
    case PortalSession::Problem::NoAnswer:
        return QStringLiteral("The desktop's screen-sharing portal did not answer, so the view stays "
                              "black. Restart Vizzolen to ask again.");
    case PortalSession::Problem::BadStreams:
        return QStringLiteral("The desktop started sharing the screen but gave no stream Vizzolen "
                              "can read%1, so the view stays black. Restart Vizzolen to ask again.")
            .arg(why);
    case PortalSession::Problem::Ended:
        return QStringLiteral("The desktop stopped sharing the screen with Vizzolen, so the view is "
                              "black. Restart Vizzolen to share it again.");
    }
    return QString();
}

// PipeWire's own words for what broke would tell a user nothing more.
QString streamText(ScreenStreams::Failure failure)
{
    if (failure == ScreenStreams::Failure::Connection)
        return QStringLiteral("The connection to the desktop's screen stream (PipeWire) broke, so the view "
                              "is black. Restart Vizzolen to connect again.");
    return QStringLiteral("The desktop's screen stream ended, so the view is black. Restart Vizzolen to "
                          "share the screen again.");
}

class PortalCapture : public CaptureSource
{
public:
    PortalCapture() : keptToken_(restoreToken::read()), session_(keptToken_)
    {
        settle_.setSingleShot(true);
        settle_.setInterval(300);
        QObject::connect(&settle_, &QTimer::timeout, &context_, [this] { settled(); });
        QObject::connect(&session_, &PortalSession::restoreTokenGiven, &context_, [this](const QString &token) {
            if (token != keptToken_ && restoreToken::write(token))
                keptToken_ = token;
        });
        QObject::connect(&session_, &PortalSession::failed, &context_,
                         [this](PortalSession::Problem problem, const QString &detail) {
                             tell(Rank::Session, problemText(problem, detail));
                         });
        QObject::connect(&session_, &PortalSession::started, &context_,
                         [this](int fd, const QList<PortalSession::Stream> &streams) { open(fd, streams); });
        session_.start();
    }

    std::int32_t MouseX() override
    {
        QPoint desktop;
        // Before the first cursor position, X11's own: right at least over the X11 windows.
        last_ = !failed_ && streams_ && streams_->pointer(desktop) ? fromDevicePixels(desktop) : QCursor::pos();
        return last_.x();
    }
    std::int32_t MouseY() override { return last_.y(); }

    QImage ScreenshotRect(std::int32_t left, std::int32_t top, std::int32_t width,
                          std::int32_t height) override
    {
        if (failed_ || !streams_ || !streams_->hasFrame())
            return QImage(); // black, never the last frame of a stream that has gone
        const CapturePlan plan = planCapture(currentScreens(), QRect(left, top, width, height));
        return assembleCapture(plan, [this](const CapturePiece &piece, QImage &picture) {
            // What lies on no shared monitor, or outside a frame's valid part, is black.
            if (!streams_->covers(piece.source)) {
                const QRect at(piece.destination, piece.source.size());
                for (int y = at.top(); y <= at.bottom(); ++y)
                    std::fill_n(reinterpret_cast<QRgb *>(picture.scanLine(y)) + at.left(), at.width(), 0xff000000u);
            }
            streams_->draw(piece.source, picture, piece.destination);
            return true;
        });
    }

private:
    void open(int fd, const QList<PortalSession::Stream> &streams)
    {
        streams_ = ScreenStreams::open(fd, streams, [this](ScreenStreams::Failure failure) {
            tell(failure == ScreenStreams::Failure::Connection ? Rank::Connection : Rank::Stream,
                 streamText(failure));
        });
        if (!streams_)
            tell(Rank::Connection, streamText(ScreenStreams::Failure::Connection));
    }

    // One failure often brings others a moment later: PipeWire gone ends the desktop's session
    // too, and a desktop that stops sharing takes its streams away. The user is told the cause:
    // the most telling of what came within a short while.
    enum class Rank { None, Stream, Session, Connection };

    // From now on the view is black; the streams stay a moment to tell what broke.
    void tell(Rank rank, const QString &text)
    {
        failed_ = true;
        if (told_ || rank <= pendingRank_)
            return;
        pendingRank_ = rank;
        pending_ = text;
        if (!settle_.isActive())
            settle_.start();
    }

    // Nothing more is read: the desktop stops sharing, and its sharing indicator goes.
    void settled()
    {
        told_ = true;
        streams_.reset();
        session_.close();
        reportCaptureProblem(pending_);
    }

    QString keptToken_;
    PortalSession session_;
    std::unique_ptr<ScreenStreams> streams_;
    QPoint last_;
    QTimer settle_;
    Rank pendingRank_ = Rank::None;
    QString pending_;
    bool failed_ = false;
    bool told_ = false;
    QObject context_; // the receiver of the session's and the streams' calls, gone before the rest
};

} // namespace

std::unique_ptr<CaptureSource> makePortalCapture()
{
    return std::make_unique<PortalCapture>();
}
