#pragma once

#include "platform/portal/streamFrame.h"

#include <QList>
#include <QObject>
#include <QRect>
#include <QString>
#include <QTimer>
#include <cstdint>

class QDBusMessage;
class QDBusPendingCallWatcher;

// One screen-cast session of the desktop's portal (org.freedesktop.portal.ScreenCast on the
// session bus), asked for on the main thread and answered through the event loop: every
// monitor, the pointer given as metadata beside the pixels (not drawn into them), and the
// permission kept by the desktop for the next start (a restore token).
class PortalSession : public QObject
{
    Q_OBJECT

public:
    enum class Problem {
        NoPortal,         // nothing on the bus answers for the portal
        NoScreenCast,     // the portal has no screen-cast service
        NoPointer,        // it cannot give the pointer's position as metadata
        NoMonitors,       // it cannot share monitors
        Cancelled,        // the user did not allow the sharing
        Refused,          // the portal said no, or failed
        NoAnswer,         // it did not answer in time
        BadStreams,       // it started a session without a screen stream the program can use
        Ended,            // the desktop ended the session
    };

    using Stream = portal::SharedMonitor;

    // `restoreToken`: the token of the last session, empty for none.
    explicit PortalSession(const QString &restoreToken, QObject *parent = nullptr);
    // Closes the session, if one was made.
    ~PortalSession() override;

    // Starts asking; one of started() and failed() follows, and after started() perhaps
    // failed(Ended).
    void start();
    // Ends the session, if one was made: the desktop stops sharing (and says so no more).
    void close();

    // How long CreateSession and SelectSources may take to answer; Start waits for the user
    // and has no limit.
    static constexpr int kAnswerMs = 30000;

signals:
    // The session runs: `fd` is a PipeWire remote for the streams, the receiver's to close.
    void started(int fd, const QList<PortalSession::Stream> &streams);
    // The desktop gave a restore token for the next start.
    void restoreTokenGiven(const QString &token);
    void failed(PortalSession::Problem problem, const QString &detail);

private slots:
    void onResponse(const QDBusMessage &message);
    void onSessionClosed(const QDBusMessage &message);

private:
    enum class Step { Idle, Properties, CreateSession, SelectSources, Start, Running, Done };

    void askProperties();
    void createSession();
    void selectSources();
    void startSession();
    void openRemote(const QList<Stream> &streams);
    // A method of the ScreenCast interface whose answer comes as a Response on a request
    // object; the signal is listened to before the call goes out.
    void request(const QString &method, const QList<QVariant> &arguments, QVariantMap options, Step step);
    void fail(Problem problem, const QString &detail = QString());
    void stopListening();
    // A refused or failed step with a restore token is tried once more from the start without it.
    bool retryWithoutToken();

    QString restoreToken_;
    bool triedToken_ = false;
    Step step_ = Step::Idle;
    std::uint32_t version_ = 0;
    QString requestPath_;
    QString sessionPath_;
    QTimer answerTimer_;
    int tokens_ = 0;
};

