#include "platform/portal/portalSession.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kScreenCast = QStringLiteral("org.freedesktop.portal.ScreenCast");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");

constexpr std::uint32_t kMonitor = 1;  // source type
constexpr std::uint32_t kMetadata = 4; // cursor mode: the pointer beside the pixels
constexpr std::uint32_t kPersistUntilRevoked = 2;
// Farther from the desktop's origin than any monitor stands.
constexpr int kFarthest = 1 << 20;

// The portal's responses.
constexpr std::uint32_t kSuccess = 0;
constexpr std::uint32_t kCancelled = 1;

// A value of a vardict as QtDBus hands it over: plain, or still a D-Bus argument.
QVariant plain(const QVariant &v)
{
    if (v.canConvert<QDBusVariant>() && v.userType() == qMetaTypeId<QDBusVariant>())
        return qvariant_cast<QDBusVariant>(v).variant();
    return v;
}

QVariantMap vardict(const QVariant &v)
{
    const QVariant value = plain(v);
    if (value.userType() == QMetaType::QVariantMap)
        return value.toMap();
    if (value.userType() == qMetaTypeId<QDBusArgument>()) {
        const QDBusArgument arg = qvariant_cast<QDBusArgument>(value);
        if (arg.currentSignature() == QLatin1String("a{sv}"))
            return qdbus_cast<QVariantMap>(arg);
    }
    return QVariantMap();
}

// A pair (ii) of a stream's properties; false when it is missing or of another type.
bool intPair(const QVariantMap &properties, const QString &key, int &a, int &b)
{
    const QVariant value = plain(properties.value(key));
    if (value.userType() != qMetaTypeId<QDBusArgument>())
        return false;
    const QDBusArgument arg = qvariant_cast<QDBusArgument>(value);
    if (arg.currentSignature() != QLatin1String("(ii)"))
        return false;
    arg.beginStructure();
    arg >> a >> b;
    arg.endStructure();
    return true;
}

// Start's `streams`, a(ua{sv}): the monitors' nodes and places. False when the value is not
// of that type.
bool readStreams(const QVariant &value, QList<PortalSession::Stream> &streams)
{
    const QVariant v = plain(value);
    if (v.userType() != qMetaTypeId<QDBusArgument>())
        return false;
    const QDBusArgument arg = qvariant_cast<QDBusArgument>(v);
    if (arg.currentSignature() != QLatin1String("a(ua{sv})"))
        return false;
    arg.beginArray();
    while (!arg.atEnd()) {
        std::uint32_t node = 0;
        QVariantMap properties;
        arg.beginStructure();
        arg >> node >> properties;
        arg.endStructure();
        const QVariant type = plain(properties.value(QStringLiteral("source_type")));
        if (type.isValid() && type.toUInt() != kMonitor)
            continue; // a window or a virtual monitor would not be the screen under the pointer
        PortalSession::Stream stream;
        stream.node = node;
        int x = 0, y = 0, w = 0, h = 0;
        intPair(properties, QStringLiteral("position"), x, y);
        // The portal's numbers, any of them: a place no desktop has is none.
        if (std::abs(x) > kFarthest || std::abs(y) > kFarthest)
            continue;
        if (!intPair(properties, QStringLiteral("size"), w, h) || w <= 0 || h <= 0 || w > portal::kMaxFrameSide
            || h > portal::kMaxFrameSide)
            w = h = 0;
        stream.area = QRect(x, y, w, h);
        streams.append(stream);
    }
    arg.endArray();
    return true;
}

QString objectPath(const QVariant &value)
{
    const QVariant v = plain(value);
    if (v.userType() == qMetaTypeId<QDBusObjectPath>())
        return qvariant_cast<QDBusObjectPath>(v).path();
    return v.toString(); // the portal has long sent the session handle as a string
}

} // namespace

PortalSession::PortalSession(const QString &restoreToken, QObject *parent)
    : QObject(parent), restoreToken_(restoreToken)
{
    qRegisterMetaType<PortalSession::Problem>();
    answerTimer_.setSingleShot(true);
    connect(&answerTimer_, &QTimer::timeout, this, [this] { fail(Problem::NoAnswer); });
}

PortalSession::~PortalSession()
{
    close();
}

void PortalSession::close()
{
    stopListening();
    if (sessionPath_.isEmpty())
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.disconnect(kService, sessionPath_, kSession, QStringLiteral("Closed"), this, SLOT(onSessionClosed(QDBusMessage)));
    bus.call(QDBusMessage::createMethodCall(kService, sessionPath_, kSession, QStringLiteral("Close")), QDBus::NoBlock);
    sessionPath_.clear();
}

void PortalSession::start()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        fail(Problem::NoPortal, bus.lastError().message());
        return;
    }
    askProperties();
}

void PortalSession::askProperties()
{
    step_ = Step::Properties;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                       QStringLiteral("GetAll"));
    call << kScreenCast;
    auto *watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, kAnswerMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        const QDBusPendingReply<QVariantMap> reply = *w;
        if (reply.isError()) {
            const QDBusError::ErrorType type = reply.error().type();
            if (type == QDBusError::ServiceUnknown || type == QDBusError::NoServer || type == QDBusError::Disconnected
                || reply.error().name() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner"))
                fail(Problem::NoPortal, reply.error().message());
            else if (type == QDBusError::NoReply || type == QDBusError::Timeout || type == QDBusError::TimedOut)
                fail(Problem::NoAnswer, reply.error().message());
            else
                fail(Problem::NoScreenCast, reply.error().message());
            return;
        }
        const QVariantMap properties = reply.value();
        if (!properties.contains(QStringLiteral("version"))) {
            fail(Problem::NoScreenCast);
            return;
        }
        version_ = plain(properties.value(QStringLiteral("version"))).toUInt();
        const std::uint32_t cursorModes = plain(properties.value(QStringLiteral("AvailableCursorModes"))).toUInt();
        const std::uint32_t sourceTypes = plain(properties.value(QStringLiteral("AvailableSourceTypes"))).toUInt();
        // A portal without a back end that can share the screen still answers, with nothing to
        // offer.
        if (sourceTypes == 0) {
            fail(Problem::NoScreenCast);
            return;
        }
        if (!(sourceTypes & kMonitor)) {
            fail(Problem::NoMonitors, QStringLiteral("source types %1").arg(sourceTypes));
            return;
        }
        // A cursor mode the portal does not offer would close the session; without the pointer's
        // position the view could not follow it anyway.
        if (!(cursorModes & kMetadata)) {
            fail(Problem::NoPointer, QStringLiteral("cursor modes %1").arg(cursorModes));
            return;
        }
        createSession();
    });
}

void PortalSession::request(const QString &method, const QList<QVariant> &arguments, QVariantMap options, Step step)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    stopListening();
    step_ = step;
    // The request's object path is known before the call: listening there first means that
    // a response sent at once cannot be missed.
    const QString token = QStringLiteral("vizzolen%1").arg(++tokens_);
    QString sender = bus.baseService();
    sender.remove(0, 1).replace(u'.', u'_');
    requestPath_ = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
    bus.connect(kService, requestPath_, kRequest, QStringLiteral("Response"), this,
                SLOT(onResponse(QDBusMessage)));
    options.insert(QStringLiteral("handle_token"), token);

    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kScreenCast, method);
    QList<QVariant> all = arguments;
    all << options;
    call.setArguments(all);
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kAnswerMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, step](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        const QDBusPendingReply<QDBusObjectPath> reply = *w;
        if (step_ != step)
            return;
        if (reply.isError()) {
            // A portal refuses a token it cannot read outright, where it ignores one it no
            // longer knows.
            if (!retryWithoutToken())
                fail(Problem::Refused, reply.error().message());
            return;
        }
        const QString path = reply.value().path();
        if (path != requestPath_) {
            // An older portal makes up its own path: listen there too.
            QDBusConnection::sessionBus().connect(kService, path, kRequest, QStringLiteral("Response"), this,
                                                  SLOT(onResponse(QDBusMessage)));
            requestPath_ = path;
        }
    });
    if (step != Step::Start)
        answerTimer_.start(kAnswerMs);
}

void PortalSession::createSession()
{
    QVariantMap options;
    options.insert(QStringLiteral("session_handle_token"), QStringLiteral("vizzolen%1").arg(++tokens_));
    request(QStringLiteral("CreateSession"), {}, options, Step::CreateSession);
}

void PortalSession::selectSources()
{
    QVariantMap options;
    options.insert(QStringLiteral("types"), kMonitor);
    options.insert(QStringLiteral("multiple"), true);
    options.insert(QStringLiteral("cursor_mode"), kMetadata);
    // Keeping the permission came with version 4; an older portal would refuse the keys.
    if (version_ >= 4) {
        options.insert(QStringLiteral("persist_mode"), kPersistUntilRevoked);
        if (!restoreToken_.isEmpty()) {
            options.insert(QStringLiteral("restore_token"), restoreToken_);
            triedToken_ = true;
        }
    }
    request(QStringLiteral("SelectSources"), {QVariant::fromValue(QDBusObjectPath(sessionPath_))}, options,
            Step::SelectSources);
}

void PortalSession::startSession()
{
    request(QStringLiteral("Start"), {QVariant::fromValue(QDBusObjectPath(sessionPath_)), QString()}, {},
            Step::Start);
}

void PortalSession::onResponse(const QDBusMessage &message)
{
    if (message.path() != requestPath_ || step_ == Step::Done || step_ == Step::Running)
        return;
    const QList<QVariant> args = message.arguments();
    if (args.size() < 2) {
        fail(Problem::Refused, QStringLiteral("a response without results"));
        return;
    }
    bool ok = false;
    const std::uint32_t response = plain(args.at(0)).toUInt(&ok);
    const QVariantMap results = vardict(args.at(1));
    stopListening();
    answerTimer_.stop();
    if (!ok || response != kSuccess) {
        if (response == kCancelled && ok)
            fail(Problem::Cancelled);
        else if (!retryWithoutToken())
            fail(Problem::Refused, QStringLiteral("response %1").arg(response));
        return;
    }

    switch (step_) {
    case Step::CreateSession:
        sessionPath_ = objectPath(results.value(QStringLiteral("session_handle")));
        if (sessionPath_.isEmpty()) {
            fail(Problem::Refused, QStringLiteral("no session handle"));
            return;
        }
        QDBusConnection::sessionBus().connect(kService, sessionPath_, kSession, QStringLiteral("Closed"), this,
                                              SLOT(onSessionClosed(QDBusMessage)));
        selectSources();
        break;
    case Step::SelectSources:
        startSession();
        break;
    case Step::Start: {
        const QVariant token = plain(results.value(QStringLiteral("restore_token")));
        if (token.userType() == QMetaType::QString && !token.toString().isEmpty())
            emit restoreTokenGiven(token.toString());
        QList<Stream> streams;
        if (!results.contains(QStringLiteral("streams"))) {
            fail(Problem::BadStreams, QStringLiteral("no streams"));
            return;
        }
        if (!readStreams(results.value(QStringLiteral("streams")), streams)) {
            fail(Problem::BadStreams, QStringLiteral("streams of another type"));
            return;
        }
        if (streams.isEmpty()) {
            fail(Problem::BadStreams, QStringLiteral("no monitor stream"));
            return;
        }
        openRemote(streams);
        break;
    }
    default:
        break;
    }
}

void PortalSession::openRemote(const QList<Stream> &streams)
{
    step_ = Step::Running;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kScreenCast, QStringLiteral("OpenPipeWireRemote"));
    call << QVariant::fromValue(QDBusObjectPath(sessionPath_)) << QVariantMap();
    auto *watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, kAnswerMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, streams](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        if (step_ != Step::Running)
            return;
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *w;
        if (reply.isError() || !reply.value().isValid()) {
            fail(Problem::Refused, reply.isError() ? reply.error().message() : QStringLiteral("no PipeWire remote"));
            return;
        }
        // The descriptor closes its own copy when it goes; the receiver gets one of its own.
        const int fd = fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 3);
        if (fd < 0) {
            fail(Problem::Refused, QStringLiteral("the PipeWire remote could not be kept"));
            return;
        }
        emit started(fd, streams);
    });
}

void PortalSession::onSessionClosed(const QDBusMessage &message)
{
    if (message.path() != sessionPath_ || step_ == Step::Done)
        return;
    sessionPath_.clear(); // nothing left to close
    if (step_ == Step::Running) {
        fail(Problem::Ended);
        return;
    }
    // Closed before it ran: the portal took something it was sent for wrong (an old token, say).
    if (!retryWithoutToken())
        fail(Problem::Refused, QStringLiteral("the session was closed"));
}

bool PortalSession::retryWithoutToken()
{
    if (!triedToken_ || restoreToken_.isEmpty())
        return false;
    // The desktop may not take an old token; it only means asking the user again.
    restoreToken_.clear();
    close();
    createSession();
    return true;
}

void PortalSession::stopListening()
{
    if (!requestPath_.isEmpty()) {
        QDBusConnection::sessionBus().disconnect(kService, requestPath_, kRequest, QStringLiteral("Response"), this,
                                                 SLOT(onResponse(QDBusMessage)));
        requestPath_.clear();
    }
}

void PortalSession::fail(Problem problem, const QString &detail)
{
    if (step_ == Step::Done)
        return;
    step_ = Step::Done;
    answerTimer_.stop();
    stopListening();
    emit failed(problem, detail);
}
