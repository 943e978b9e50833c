#pragma once

// Test-side helpers for the headless GNOME that tests/wayland/with-gnome.sh starts: input and
// screenshots through mutter's own remote-desktop and screen-cast API, the screen-cast
// permission written into the permission store, the real "Screen Share" dialog answered as a
// user would, a client of the screen-cast portal as any program is one, and a native Wayland
// window whose pixels are known. Every wait has a bound and says what it waited for.
//
// The header holds a Q_OBJECT class: a target that includes it lists it among its sources
// (linking vizzolen_gnome_helpers does that) so that AUTOMOC sees it.

#include <QByteArray>
#include <QColor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPoint>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRect>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>
#include <QVariant>

#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace gh {

// Linux input event codes, as NotifyPointerButton takes them.
constexpr int kLeftButton = 0x110;  // BTN_LEFT
constexpr int kRightButton = 0x111; // BTN_RIGHT
constexpr int kMiddleButton = 0x112;

// X keysyms for key().
constexpr quint32 kKeyTab = 0xff09;
constexpr quint32 kKeyReturn = 0xff0d;
constexpr quint32 kKeyEscape = 0xff1b;
constexpr quint32 kKeySpace = 0x20;
constexpr quint32 kKeyShiftL = 0xffe1;

// The virtual monitor of with-gnome.sh, as the screen-cast permission names it.
inline const QString kVirtualMonitorMatch = QStringLiteral("MetaVendor:MetaVirtualMonitor:0x00");

inline constexpr int kCallTimeoutMs = 10000;

// Collects D-Bus signals; a connection delivers them on the event loop (QTest::qWait and the
// like run it).
class SignalCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QDBusMessage> messages;

public Q_SLOTS:
    void catchMessage(const QDBusMessage &m) { messages.append(m); }
};

inline QString describe(const QDBusMessage &m)
{
    return m.type() == QDBusMessage::ErrorMessage ? m.errorName() + QStringLiteral(": ") + m.errorMessage()
                                                  : QStringLiteral("no error");
}

// A connection of its own to the session bus. What mutter and the portal hand out belongs to
// the connection that asked: it lives exactly as long as this object.
class OwnConnection
{
public:
    explicit OwnConnection(const char *what)
        : name_(QStringLiteral("gh-%1-%2").arg(QLatin1String(what)).arg(nextId()))
        , bus_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, name_))
    {
    }
    ~OwnConnection() { QDBusConnection::disconnectFromBus(name_); }
    OwnConnection(const OwnConnection &) = delete;
    OwnConnection &operator=(const OwnConnection &) = delete;

    QDBusConnection &bus() { return bus_; }

    QDBusMessage call(const QString &service, const QString &path, const QString &interface,
                      const QString &method, const QVariantList &args = {}, int timeoutMs = kCallTimeoutMs)
    {
        QDBusMessage m = QDBusMessage::createMethodCall(service, path, interface, method);
        m.setArguments(args);
        return bus_.call(m, QDBus::Block, timeoutMs);
    }

private:
    static int nextId()
    {
        static int id = 0;
        return ++id;
    }
    QString name_;
    QDBusConnection bus_;
};

// Waits up to `timeoutMs` for `done`, running the event loop meanwhile.
inline bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() >= timeoutMs)
            return false;
        QTest::qWait(10);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// The session's processes, by the PIDs with-gnome.sh wrote: dbus-daemon pipewire wireplumber
// mutter xwayland permission-store portal-gnome portal.

inline qint64 sessionPid(const QString &name)
{
    const QString dir = qEnvironmentVariable("VIZZOLEN_GNOME_PIDS");
    QFile f(dir + QLatin1Char('/') + name + QStringLiteral(".pid"));
    if (dir.isEmpty() || !f.open(QIODevice::ReadOnly))
        return 0;
    return f.readAll().trimmed().toLongLong();
}

// Running, not a zombie (the session's processes are reaped only at teardown).
inline bool processRunning(qint64 pid)
{
    if (pid <= 0)
        return false;
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QByteArray stat = f.readAll();
    const int close = stat.lastIndexOf(')');
    return close > 0 && close + 2 < stat.size() && stat.at(close + 2) != 'Z';
}

// Sends `signal` to the session's process `name` (e.g. "pipewire") and waits until it is gone.
inline bool stopSessionProcess(const QString &name, int signal = SIGTERM, int timeoutMs = 5000,
                               QString *error = nullptr)
{
    const qint64 pid = sessionPid(name);
    QString why;
    if (pid <= 0)
        why = QStringLiteral("no PID for %1 in $VIZZOLEN_GNOME_PIDS (not under with-gnome.sh?)").arg(name);
    else if (!processRunning(pid))
        why = QStringLiteral("%1 (%2) is not running").arg(name).arg(pid);
    else if (::kill(pid_t(pid), signal) != 0)
        why = QStringLiteral("kill %1 (%2): %3").arg(name).arg(pid).arg(QString::fromLocal8Bit(std::strerror(errno)));
    else if (!waitFor([pid] { return !processRunning(pid); }, timeoutMs))
        why = QStringLiteral("%1 (%2) still runs %3 ms after signal %4").arg(name).arg(pid).arg(timeoutMs).arg(signal);
    if (error)
        *error = why;
    return why.isEmpty();
}

// ---------------------------------------------------------------------------------------------
// mutter's remote desktop: a ScreenCast session tied to a RemoteDesktop session, recording one
// monitor. Pointer positions are in that monitor's stream pixels (on a monitor of scale 2 these
// are twice the X11 coordinates). Keep the object for the whole test: mutter ends the session
// when its connection goes.

class RemoteDesktop
{
public:
    RemoteDesktop() = default;
    ~RemoteDesktop() { stop(); }
    RemoteDesktop(const RemoteDesktop &) = delete;
    RemoteDesktop &operator=(const RemoteDesktop &) = delete;

    bool start(const QString &connector = QStringLiteral("Meta-0"), int timeoutMs = kCallTimeoutMs)
    {
        stop();
        conn_ = std::make_unique<OwnConnection>("remote-desktop");
        QDBusMessage r = conn_->call(QStringLiteral("org.gnome.Mutter.RemoteDesktop"),
                                     QStringLiteral("/org/gnome/Mutter/RemoteDesktop"),
                                     QStringLiteral("org.gnome.Mutter.RemoteDesktop"), QStringLiteral("CreateSession"));
        if (r.type() != QDBusMessage::ReplyMessage || r.arguments().isEmpty())
            return failed(QStringLiteral("RemoteDesktop.CreateSession: ") + describe(r));
        rdSession_ = r.arguments().at(0).value<QDBusObjectPath>().path();
        r = conn_->call(QStringLiteral("org.gnome.Mutter.RemoteDesktop"), rdSession_,
                        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                        {QStringLiteral("org.gnome.Mutter.RemoteDesktop.Session"), QStringLiteral("SessionId")});
        if (r.type() != QDBusMessage::ReplyMessage || r.arguments().isEmpty())
            return failed(QStringLiteral("RemoteDesktop SessionId: ") + describe(r));
        const QString id = r.arguments().at(0).value<QDBusVariant>().variant().toString();

        QVariantMap props;
        props.insert(QStringLiteral("remote-desktop-session-id"), id);
        r = conn_->call(QStringLiteral("org.gnome.Mutter.ScreenCast"), QStringLiteral("/org/gnome/Mutter/ScreenCast"),
                        QStringLiteral("org.gnome.Mutter.ScreenCast"), QStringLiteral("CreateSession"), {props});
        if (r.type() != QDBusMessage::ReplyMessage || r.arguments().isEmpty())
            return failed(QStringLiteral("ScreenCast.CreateSession: ") + describe(r));
        const QString scSession = r.arguments().at(0).value<QDBusObjectPath>().path();
        r = conn_->call(QStringLiteral("org.gnome.Mutter.ScreenCast"), scSession,
                        QStringLiteral("org.gnome.Mutter.ScreenCast.Session"), QStringLiteral("RecordMonitor"),
                        {connector, QVariantMap()});
        if (r.type() != QDBusMessage::ReplyMessage || r.arguments().isEmpty())
            return failed(QStringLiteral("ScreenCast RecordMonitor(%1): ").arg(connector) + describe(r));
        stream_ = r.arguments().at(0).value<QDBusObjectPath>().path();

        catcher_ = std::make_unique<SignalCatcher>();
        conn_->bus().connect(QStringLiteral("org.gnome.Mutter.ScreenCast"), stream_,
                             QStringLiteral("org.gnome.Mutter.ScreenCast.Stream"),
                             QStringLiteral("PipeWireStreamAdded"), catcher_.get(), SLOT(catchMessage(QDBusMessage)));
        r = session(QStringLiteral("Start"));
        if (r.type() != QDBusMessage::ReplyMessage)
            return failed(QStringLiteral("RemoteDesktop Start: ") + describe(r));
        started_ = true;
        // Absolute motion needs the stream set up; its node is what screenshots read.
        if (!waitFor([this] { return !catcher_->messages.isEmpty(); }, timeoutMs))
            return failed(QStringLiteral("no PipeWireStreamAdded for %1 within %2 ms").arg(stream_).arg(timeoutMs));
        node_ = catcher_->messages.first().arguments().value(0).toUInt();
        // mutter makes the session's virtual keyboard and pointer on their first use, and a key
        // typed then into an X11 window that has the keyboard already never reaches it: use both
        // once, without moving the pointer, with a key that types nothing (that window may see
        // this Shift pressed and released).
        if (!ok(session(QStringLiteral("NotifyPointerMotionRelative"), {0.0, 0.0}), QStringLiteral("NotifyPointerMotionRelative"))
            || !keyEvent(kKeyShiftL, true) || !keyEvent(kKeyShiftL, false))
            return false;
        QTest::qWait(100);
        return true;
    }

    void stop()
    {
        if (conn_ && started_)
            session(QStringLiteral("Stop"));
        started_ = false;
        catcher_.reset();
        conn_.reset();
        node_ = 0;
    }

    // NotifyPointerMotionAbsolute returns once mutter has the event; clients see it a little
    // later, so a test waits for its effect.
    bool movePointer(QPointF p)
    {
        return ok(session(QStringLiteral("NotifyPointerMotionAbsolute"), {stream_, p.x(), p.y()}),
                  QStringLiteral("NotifyPointerMotionAbsolute"));
    }
    bool movePointer(QPoint p) { return movePointer(QPointF(p)); }

    bool button(int button, bool pressed)
    {
        return ok(session(QStringLiteral("NotifyPointerButton"), {button, pressed}),
                  QStringLiteral("NotifyPointerButton"));
    }

    bool click(int b = kLeftButton)
    {
        if (!button(b, true))
            return false;
        QTest::qWait(30);
        return button(b, false);
    }

    bool keyEvent(quint32 keysym, bool pressed)
    {
        return ok(session(QStringLiteral("NotifyKeyboardKeysym"), {keysym, pressed}),
                  QStringLiteral("NotifyKeyboardKeysym"));
    }

    bool key(quint32 keysym)
    {
        if (!keyEvent(keysym, true))
            return false;
        QTest::qWait(30);
        return keyEvent(keysym, false);
    }

    // The monitor's pixels as mutter renders them now, without the pointer, read once from the
    // recorded stream by GStreamer's PipeWire source (no PipeWire code in the tests).
    QImage screenshot(int timeoutMs = kCallTimeoutMs)
    {
        if (!node_) {
            failed(QStringLiteral("screenshot: the remote desktop session is not started"));
            return QImage();
        }
        const QString gst = QStandardPaths::findExecutable(QStringLiteral("gst-launch-1.0"));
        if (gst.isEmpty()) {
            failed(QStringLiteral("gst-launch-1.0 is not installed (Debian packages gstreamer1.0-tools, "
                                  "gstreamer1.0-pipewire)"));
            return QImage();
        }
        QTemporaryDir dir;
        const QString file = dir.path() + QStringLiteral("/frame.raw");
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(gst, {QStringLiteral("-v"), QStringLiteral("pipewiresrc"), QStringLiteral("path=%1").arg(node_),
                      QStringLiteral("num-buffers=1"), QStringLiteral("always-copy=true"), QStringLiteral("!"),
                      QStringLiteral("video/x-raw,format=BGRx"), QStringLiteral("!"), QStringLiteral("filesink"),
                      QStringLiteral("location=") + file});
        QElapsedTimer t;
        t.start();
        while (p.state() != QProcess::NotRunning && t.elapsed() < timeoutMs)
            p.waitForFinished(50); // the test's own event loop is not needed here
        if (p.state() != QProcess::NotRunning) {
            p.kill();
            p.waitForFinished(2000);
            failed(QStringLiteral("screenshot: no frame from PipeWire node %1 within %2 ms").arg(node_).arg(timeoutMs));
            return QImage();
        }
        const QString out = QString::fromLocal8Bit(p.readAll());
        const QRegularExpressionMatch m = QRegularExpression(
            QStringLiteral("format=\\(string\\)BGRx, width=\\(int\\)(\\d+), height=\\(int\\)(\\d+)")).match(out);
        QFile f(file);
        if (p.exitCode() != 0 || !m.hasMatch() || !f.open(QIODevice::ReadOnly)) {
            failed(QStringLiteral("screenshot: gst-launch-1.0 failed: ") + out.right(600));
            return QImage();
        }
        const int w = m.captured(1).toInt(), h = m.captured(2).toInt();
        const QByteArray data = f.readAll();
        const qsizetype stride = h > 0 ? data.size() / h : 0;
        if (w <= 0 || h <= 0 || stride < qsizetype(w) * 4 || stride * h != data.size()) {
            failed(QStringLiteral("screenshot: %1 bytes for a %2x%3 BGRx frame").arg(data.size()).arg(w).arg(h));
            return QImage();
        }
        // BGRx bytes are Format_RGB32 on a little-endian machine.
        QImage image(w, h, QImage::Format_RGB32);
        for (int y = 0; y < h; ++y)
            std::memcpy(image.scanLine(y), data.constData() + y * stride, size_t(w) * 4);
        for (int y = 0; y < h; ++y) {
            auto *line = reinterpret_cast<quint32 *>(image.scanLine(y));
            for (int x = 0; x < w; ++x)
                line[x] |= 0xff000000u;
        }
        return image;
    }

    bool started() const { return started_; }
    QString error() const { return error_; }
    QString streamPath() const { return stream_; }
    quint32 nodeId() const { return node_; }

private:
    QDBusMessage session(const QString &method, const QVariantList &args = {})
    {
        if (!conn_)
            return QDBusMessage::createError(QStringLiteral("gh.NotStarted"), QStringLiteral("session not started"));
        return conn_->call(QStringLiteral("org.gnome.Mutter.RemoteDesktop"), rdSession_,
                           QStringLiteral("org.gnome.Mutter.RemoteDesktop.Session"), method, args);
    }
    bool ok(const QDBusMessage &r, const QString &what)
    {
        if (r.type() == QDBusMessage::ReplyMessage)
            return true;
        return failed(what + QStringLiteral(": ") + describe(r));
    }
    bool failed(const QString &why)
    {
        error_ = why;
        return false;
    }

    std::unique_ptr<OwnConnection> conn_;
    std::unique_ptr<SignalCatcher> catcher_;
    QString rdSession_, stream_, error_;
    quint32 node_ = 0;
    bool started_ = false;
};

// ---------------------------------------------------------------------------------------------
// The screen-cast permission, written as xdg-desktop-portal-gnome keeps it, so that a
// SelectSources with restore_token = `uuidToken` and persist_mode 2 is granted with no dialog.

struct RestoreSource
{
    quint32 id = 0;
    quint32 type = 1; // a monitor
    QDBusVariant match;
};
struct RestoreData
{
    qint64 created = 0, used = 0; // microseconds since the epoch
    QList<RestoreSource> sources;
};
struct PermissionData
{
    QString vendor;
    quint32 version = 1;
    QDBusVariant data;
};

inline QDBusArgument &operator<<(QDBusArgument &a, const RestoreSource &s)
{
    a.beginStructure();
    a << s.id << s.type << s.match;
    a.endStructure();
    return a;
}
inline const QDBusArgument &operator>>(const QDBusArgument &a, RestoreSource &s)
{
    a.beginStructure();
    a >> s.id >> s.type >> s.match;
    a.endStructure();
    return a;
}
inline QDBusArgument &operator<<(QDBusArgument &a, const RestoreData &d)
{
    a.beginStructure();
    a << d.created << d.used << d.sources;
    a.endStructure();
    return a;
}
inline const QDBusArgument &operator>>(const QDBusArgument &a, RestoreData &d)
{
    a.beginStructure();
    a >> d.created >> d.used >> d.sources;
    a.endStructure();
    return a;
}
inline QDBusArgument &operator<<(QDBusArgument &a, const PermissionData &d)
{
    a.beginStructure();
    a << d.vendor << d.version << d.data;
    a.endStructure();
    return a;
}
inline const QDBusArgument &operator>>(const QDBusArgument &a, PermissionData &d)
{
    a.beginStructure();
    a >> d.vendor >> d.version >> d.data;
    a.endStructure();
    return a;
}

} // namespace gh

Q_DECLARE_METATYPE(gh::RestoreSource)
Q_DECLARE_METATYPE(gh::RestoreData)
Q_DECLARE_METATYPE(gh::PermissionData)

namespace gh {

inline QString newRestoreToken() { return QUuid::createUuid().toString(QUuid::WithoutBraces); }

// The entry for `uuidToken` (a UUID string: the portal refuses others) in the permission
// store's "screencast" table: app id "" (a program outside a sandbox) may, and the source is
// the monitor that `monitorMatch` names (vendor:product:serial).
inline bool seedScreenCastPermission(const QString &uuidToken, QString *error = nullptr,
                                     const QString &monitorMatch = kVirtualMonitorMatch)
{
    qDBusRegisterMetaType<RestoreSource>();
    qDBusRegisterMetaType<QList<RestoreSource>>();
    qDBusRegisterMetaType<RestoreData>();
    qDBusRegisterMetaType<PermissionData>();
    qDBusRegisterMetaType<QMap<QString, QStringList>>();

    const qint64 now = QDateTime::currentMSecsSinceEpoch() * 1000;
    RestoreData restore;
    restore.created = restore.used = now;
    restore.sources.append(RestoreSource{0, 1, QDBusVariant(monitorMatch)});
    PermissionData data{QStringLiteral("GNOME"), 1, QDBusVariant(QVariant::fromValue(restore))};
    QMap<QString, QStringList> apps;
    apps.insert(QString(), {QStringLiteral("yes")});

    OwnConnection conn("permission");
    const QDBusMessage r = conn.call(
        QStringLiteral("org.freedesktop.impl.portal.PermissionStore"),
        QStringLiteral("/org/freedesktop/impl/portal/PermissionStore"),
        QStringLiteral("org.freedesktop.impl.portal.PermissionStore"), QStringLiteral("Set"),
        {QStringLiteral("screencast"), true, uuidToken, QVariant::fromValue(apps),
         QVariant::fromValue(QDBusVariant(QVariant::fromValue(data)))});
    if (error)
        *error = r.type() == QDBusMessage::ReplyMessage ? QString() : QStringLiteral("PermissionStore.Set: ") + describe(r);
    return r.type() == QDBusMessage::ReplyMessage;
}

// ---------------------------------------------------------------------------------------------
// A client of org.freedesktop.portal.ScreenCast as a program is one: CreateSession,
// SelectSources (monitors, several allowed, cursor as metadata, persist mode 2, the restore token
// if given), Start. For tests of the harness and cross-checks; the program has its own.

struct PortalStream
{
    quint32 node = 0;
    quint32 sourceType = 0;
    QPoint position;
    QSize size;
};

class PortalCast
{
public:
    PortalCast() = default;
    ~PortalCast() { close(); }
    PortalCast(const PortalCast &) = delete;
    PortalCast &operator=(const PortalCast &) = delete;

    // Up to Start sent; its answer comes with finish() (a dialog may stand between).
    bool begin(const QString &restoreToken = QString(), int timeoutMs = kCallTimeoutMs)
    {
        close();
        conn_ = std::make_unique<OwnConnection>("portal");
        catcher_ = std::make_unique<SignalCatcher>();
        QVariantMap opts;
        opts.insert(QStringLiteral("session_handle_token"), QStringLiteral("gh%1").arg(++serial_));
        int code = request(QStringLiteral("CreateSession"), {}, opts, timeoutMs);
        if (code != 0)
            return failed(QStringLiteral("CreateSession: ") + (code < 0 ? error_ : QStringLiteral("response %1").arg(code)));
        session_ = results_.value(QStringLiteral("session_handle")).toString();
        if (session_.isEmpty())
            return failed(QStringLiteral("CreateSession answered without session_handle"));

        opts.clear();
        opts.insert(QStringLiteral("types"), 1u);
        opts.insert(QStringLiteral("multiple"), true);
        opts.insert(QStringLiteral("cursor_mode"), 4u);
        opts.insert(QStringLiteral("persist_mode"), 2u);
        if (!restoreToken.isEmpty())
            opts.insert(QStringLiteral("restore_token"), restoreToken);
        code = request(QStringLiteral("SelectSources"), {QVariant::fromValue(QDBusObjectPath(session_))}, opts, timeoutMs);
        if (code != 0)
            return failed(QStringLiteral("SelectSources: ") + (code < 0 ? error_ : QStringLiteral("response %1").arg(code)));
        startPath_ = send(QStringLiteral("Start"), {QVariant::fromValue(QDBusObjectPath(session_)), QString()}, {});
        return !startPath_.isEmpty();
    }

    // Start's response: 0 granted, 1 cancelled, 2 otherwise; -1 when none came in `timeoutMs`.
    int finish(int timeoutMs)
    {
        if (startPath_.isEmpty())
            return -1;
        const int code = awaitResponse(startPath_, timeoutMs, QStringLiteral("Start"));
        if (code != 0)
            return code;
        restoreToken_ = results_.value(QStringLiteral("restore_token")).toString();
        streams_.clear();
        const QDBusArgument streams = results_.value(QStringLiteral("streams")).value<QDBusArgument>();
        if (streams.currentSignature() != QLatin1String("a(ua{sv})")) {
            failed(QStringLiteral("Start's streams have the signature \"%1\"").arg(streams.currentSignature()));
            return code;
        }
        streams.beginArray();
        while (!streams.atEnd()) {
            PortalStream s;
            QVariantMap props;
            streams.beginStructure();
            streams >> s.node >> props;
            streams.endStructure();
            s.sourceType = props.value(QStringLiteral("source_type")).toUInt();
            s.position = pair(props.value(QStringLiteral("position")));
            const QPoint size = pair(props.value(QStringLiteral("size")));
            s.size = QSize(size.x(), size.y());
            streams_.append(s);
        }
        streams.endArray();
        return code;
    }

    int start(const QString &restoreToken = QString(), int timeoutMs = kCallTimeoutMs)
    {
        return begin(restoreToken, timeoutMs) ? finish(timeoutMs) : -1;
    }

    void close()
    {
        if (conn_ && !session_.isEmpty())
            conn_->call(QStringLiteral("org.freedesktop.portal.Desktop"), session_,
                        QStringLiteral("org.freedesktop.portal.Session"), QStringLiteral("Close"));
        session_.clear();
        startPath_.clear();
        catcher_.reset();
        conn_.reset();
    }

    QList<PortalStream> streams() const { return streams_; }
    QString restoreToken() const { return restoreToken_; }
    QVariantMap results() const { return results_; }
    QString error() const { return error_; }

private:
    static QPoint pair(const QVariant &v)
    {
        const QDBusArgument a = v.value<QDBusArgument>();
        int x = 0, y = 0;
        if (a.currentSignature() == QLatin1String("(ii)")) {
            a.beginStructure();
            a >> x >> y;
            a.endStructure();
        }
        return QPoint(x, y);
    }

    // The call; its answer is a Response signal on the Request object it names.
    QString send(const QString &method, QVariantList args, QVariantMap opts)
    {
        const QString token = QStringLiteral("gh%1").arg(++serial_);
        opts.insert(QStringLiteral("handle_token"), token);
        QString sender = conn_->bus().baseService().mid(1);
        sender.replace(QLatin1Char('.'), QLatin1Char('_'));
        const QString path = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
        // Subscribed before the call: the answer may come before the call's reply.
        conn_->bus().connect(QStringLiteral("org.freedesktop.portal.Desktop"), path,
                             QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"),
                             catcher_.get(), SLOT(catchMessage(QDBusMessage)));
        args.append(opts);
        const QDBusMessage r = conn_->call(QStringLiteral("org.freedesktop.portal.Desktop"),
                                           QStringLiteral("/org/freedesktop/portal/desktop"),
                                           QStringLiteral("org.freedesktop.portal.ScreenCast"), method, args);
        if (r.type() != QDBusMessage::ReplyMessage) {
            failed(method + QStringLiteral(": ") + describe(r));
            return QString();
        }
        return path;
    }

    int awaitResponse(const QString &path, int timeoutMs, const QString &what)
    {
        const auto found = [&] {
            for (const QDBusMessage &m : catcher_->messages)
                if (m.path() == path)
                    return true;
            return false;
        };
        if (!waitFor(found, timeoutMs)) {
            failed(QStringLiteral("no answer to %1 within %2 ms").arg(what).arg(timeoutMs));
            return -1;
        }
        for (const QDBusMessage &m : catcher_->messages) {
            if (m.path() != path)
                continue;
            results_ = qdbus_cast<QVariantMap>(m.arguments().value(1));
            return int(m.arguments().value(0).toUInt());
        }
        return -1;
    }

    int request(const QString &method, const QVariantList &args, const QVariantMap &opts, int timeoutMs)
    {
        const QString path = send(method, args, opts);
        return path.isEmpty() ? -1 : awaitResponse(path, timeoutMs, method);
    }

    bool failed(const QString &why)
    {
        error_ = why;
        return false;
    }

    std::unique_ptr<OwnConnection> conn_;
    std::unique_ptr<SignalCatcher> catcher_;
    QString session_, startPath_, restoreToken_, error_;
    QVariantMap results_;
    QList<PortalStream> streams_;
    int serial_ = 0;
};

// ---------------------------------------------------------------------------------------------
// The "Screen Share" dialog of xdg-desktop-portal-gnome 43, found on a screenshot of the stream
// by what its theme (Adwaita) draws: the Share button in the header bar is the only wide block
// of the accent blue (pale while nothing is chosen), the dialog's body is a plain area of
// (250,250,250), and each monitor is a row of white (grey once chosen) in a list inside it.

namespace dialog {

inline bool near(QRgb c, int r, int g, int b, int tolerance = 6)
{
    return std::abs(qRed(c) - r) <= tolerance && std::abs(qGreen(c) - g) <= tolerance &&
           std::abs(qBlue(c) - b) <= tolerance;
}

struct Button
{
    QRect rect;
    bool enabled = false;
};

// The blocks of one colour class, joined where runs of adjacent rows overlap; each at least
// `minRun` wide somewhere.
inline QList<QRect> blocks(const QImage &img, const std::function<bool(QRgb)> &inside, int minRun)
{
    QList<QRect> found;
    for (int y = 0; y < img.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(img.constScanLine(y));
        for (int x = 0; x < img.width();) {
            if (!inside(line[x])) {
                ++x;
                continue;
            }
            int end = x;
            while (end < img.width() && inside(line[end]))
                ++end;
            if (end - x >= minRun) {
                const QRect run(x, y, end - x, 1);
                bool joined = false;
                for (QRect &b : found) {
                    if (b.bottom() >= y - 1 && run.left() <= b.right() && run.right() >= b.left()) {
                        b = b.united(run);
                        joined = true;
                        break;
                    }
                }
                if (!joined)
                    found.append(run);
            }
            x = end;
        }
    }
    return found;
}

inline std::optional<Button> shareButton(const QImage &img)
{
    // The largest block of either blue with a button's shape: the checked box beside "Remember
    // this selection" is of the same blue, but small and square, and its tick cuts it in parts;
    // the focus ring around it is of the pale blue, but thin.
    std::optional<Button> best;
    for (const bool enabled : {true, false}) {
        const auto blue = [enabled](QRgb c) { return enabled ? near(c, 53, 132, 228) : near(c, 144, 183, 231); };
        QList<QRect> found = blocks(img, blue, 20);
        // The label splits the button into the parts above and below it: one button again.
        for (int i = 0; i < found.size(); ++i) {
            for (int j = found.size() - 1; j > i; --j) {
                const QRect &a = found[i], &b = found[j];
                if (b.left() <= a.right() && b.right() >= a.left() && b.top() - a.bottom() <= a.height() * 2 &&
                    a.top() - b.bottom() <= b.height() * 2 && std::abs(a.width() - b.width()) <= 4) {
                    found[i] = a.united(b);
                    found.removeAt(j);
                }
            }
        }
        for (const QRect &b : found) {
            const qint64 area = qint64(b.width()) * b.height();
            if (b.height() >= 12 && b.width() >= b.height() * 3 / 2 &&
                (!best || area > qint64(best->rect.width()) * best->rect.height()))
                best = Button{b, enabled};
        }
    }
    return best;
}

// The dialog's body: the connected area of (250,250,250) just below the Share button.
inline QRect body(const QImage &img, const QRect &share)
{
    const auto isBody = [&](int x, int y) {
        return x >= 0 && y >= 0 && x < img.width() && y < img.height() && img.pixel(x, y) == qRgb(250, 250, 250);
    };
    QPoint seed(-1, -1);
    for (int y = share.bottom() + 1; y < std::min(img.height(), share.bottom() + 3 * share.height()); ++y) {
        if (isBody(share.center().x(), y)) {
            seed = QPoint(share.center().x(), y);
            break;
        }
    }
    if (seed.x() < 0)
        return QRect();
    std::vector<bool> seen(size_t(img.width()) * size_t(img.height()));
    std::vector<QPoint> todo{seed};
    seen[size_t(seed.y()) * size_t(img.width()) + size_t(seed.x())] = true;
    QRect r(seed, seed);
    while (!todo.empty()) {
        const QPoint p = todo.back();
        todo.pop_back();
        r = r.united(QRect(p, p));
        for (const QPoint d : {QPoint(1, 0), QPoint(-1, 0), QPoint(0, 1), QPoint(0, -1)}) {
            const QPoint q = p + d;
            if (!isBody(q.x(), q.y()))
                continue;
            const size_t i = size_t(q.y()) * size_t(img.width()) + size_t(q.x());
            if (!seen[i]) {
                seen[i] = true;
                todo.push_back(q);
            }
        }
    }
    return r;
}

// The first monitor row: a tall light run down a column of the body, right of the row's text.
inline QRect firstRow(const QImage &img, const QRect &body)
{
    const int x = body.left() + body.width() * 3 / 4;
    const auto rowColour = [](QRgb c) {
        return qRed(c) == qGreen(c) && qGreen(c) == qBlue(c) && qRed(c) >= 225 && qRed(c) != 250;
    };
    for (int y = body.top(); y <= body.bottom(); ++y) {
        if (!rowColour(img.pixel(x, y)))
            continue;
        int end = y;
        while (end <= body.bottom() && rowColour(img.pixel(x, end)))
            ++end;
        if (end - y >= 20) {
            int left = x, right = x;
            while (left > body.left() && rowColour(img.pixel(left - 1, y + 2)))
                --left;
            while (right < body.right() && rowColour(img.pixel(right + 1, y + 2)))
                ++right;
            return QRect(left, y, right - left + 1, end - y);
        }
        y = end;
    }
    return QRect();
}

inline void keep(const QImage &img, const char *name)
{
#ifdef VIZZOLEN_ARTIFACTS_DIR
    if (!img.isNull())
        img.save(QStringLiteral(VIZZOLEN_ARTIFACTS_DIR "/%1.png").arg(QLatin1String(name)));
#else
    Q_UNUSED(img)
    Q_UNUSED(name)
#endif
}

} // namespace dialog

// Answers the portal's "Screen Share" dialog as a user would: waits for it (up to `timeoutMs`),
// clicks the first monitor unless one is chosen already, sees Share turn active, clicks Share and
// sees the dialog go. "Remember this selection" stays as the dialog offers it (checked). When it
// gives up, the screenshots of the steps are kept in the test artifacts: share-dialog-found.png,
// share-dialog-chosen.png (monitor chosen) and share-dialog-failed.png (the last).
inline bool answerShareDialog(RemoteDesktop &rd, int timeoutMs = 30000, QString *error = nullptr)
{
    QImage shot, found, chosen;
    const auto fail = [&](const QString &why) {
        dialog::keep(found, "share-dialog-found");
        dialog::keep(chosen, "share-dialog-chosen");
        dialog::keep(shot, "share-dialog-failed");
        if (error)
            *error = why + (rd.error().isEmpty() ? QString() : QStringLiteral(" (last: %1)").arg(rd.error()));
        return false;
    };
    const auto clickAt = [&](QPoint p) {
        // A motion first, so that the widget under the pointer knows it is there.
        return rd.movePointer(p + QPoint(1, 1)) && (QTest::qWait(60), rd.movePointer(p)) && (QTest::qWait(60), rd.click());
    };
    QElapsedTimer t;
    t.start();
    std::optional<dialog::Button> share;
    while (!share) {
        shot = rd.screenshot();
        if (shot.isNull())
            return fail(QStringLiteral("no screenshot"));
        share = dialog::shareButton(shot);
        if (!share && t.elapsed() > timeoutMs)
            return fail(QStringLiteral("no Screen Share dialog on the screen within %1 ms").arg(timeoutMs));
        if (!share)
            QTest::qWait(150);
    }
    found = shot;
    if (!share->enabled) {
        const QRect body = dialog::body(shot, share->rect);
        const QRect row = body.isEmpty() ? QRect() : dialog::firstRow(shot, body);
        if (row.isEmpty())
            return fail(QStringLiteral("Screen Share dialog: no monitor row found below Share at %1,%2")
                            .arg(share->rect.x()).arg(share->rect.y()));
        if (!clickAt(row.center()))
            return fail(QStringLiteral("could not click the monitor row"));
        QElapsedTimer chosen;
        chosen.start();
        while (!share->enabled) {
            QTest::qWait(100);
            shot = rd.screenshot();
            share = dialog::shareButton(shot);
            if (!share)
                return fail(QStringLiteral("the Screen Share dialog went when its monitor was clicked"));
            if (!share->enabled && chosen.elapsed() > 5000)
                return fail(QStringLiteral("Share stayed inactive after the monitor row was clicked"));
        }
    }
    chosen = shot;
    if (!clickAt(share->rect.center()))
        return fail(QStringLiteral("could not click Share"));
    QElapsedTimer gone;
    gone.start();
    while (dialog::shareButton(shot = rd.screenshot())) {
        if (gone.elapsed() > 5000)
            return fail(QStringLiteral("the Screen Share dialog stayed after Share was clicked"));
        QTest::qWait(100);
    }
    if (shot.isNull())
        return fail(QStringLiteral("no screenshot after Share"));
    return true;
}

// ---------------------------------------------------------------------------------------------
// A native Wayland window (tests/wayland/patternwindow), maximized on the virtual monitor:
// mutter gives it the whole monitor at 0,0 (no panels in a bare mutter), so that its pixel at
// (x, y) in stream pixels is patternColor(x, y). Start it before the program's own windows:
// a window mapped later is stacked above those mapped before.

enum class Pattern { Positions, Moving, Plain };

// The colour of stream pixel (x, y) in the Positions pattern (valid up to 4095 x 4095).
inline QRgb patternColor(int x, int y)
{
    return qRgb(x & 255, y & 255, ((x >> 8) & 15) | (((y >> 8) & 15) << 4));
}

class NativePatternWindow
{
public:
    NativePatternWindow() = default;
    ~NativePatternWindow() { stop(); }
    NativePatternWindow(const NativePatternWindow &) = delete;
    NativePatternWindow &operator=(const NativePatternWindow &) = delete;

    // Returns once the compositor has shown the first full-size frame ("shown" on its stdout,
    // written when the frame callback of that frame came back).
    bool start(Pattern pattern = Pattern::Positions, QRgb plain = qRgb(40, 160, 90), int timeoutMs = 20000)
    {
        stop();
        QStringList args;
        if (pattern == Pattern::Moving)
            args << QStringLiteral("--moving");
        if (pattern == Pattern::Plain)
            args << QStringLiteral("--color") << QColor(plain).name().mid(1);
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"QT_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS", "QT_ENABLE_HIGHDPI_SCALING",
                                 "QT_AUTO_SCREEN_SCALE_FACTOR", "QT_SCALE_FACTOR_ROUNDING_POLICY", "QT_QPA_PLATFORMTHEME"})
            e.remove(QString::fromLatin1(name));
        e.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
        e.insert(QStringLiteral("QT_WAYLAND_DISABLE_WINDOWDECORATION"), QStringLiteral("1"));
        process_.setProcessEnvironment(e);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(QStringLiteral(VIZZOLEN_PATTERNWINDOW), args);
        if (!process_.waitForStarted(5000))
            return failed(QStringLiteral("patternwindow did not start: ") + process_.errorString());
        QByteArray out;
        const QRegularExpression shown(QStringLiteral("^shown (\\d+)x(\\d+) dpr ([0-9.]+)$"),
                                       QRegularExpression::MultilineOption);
        QRegularExpressionMatch m;
        QElapsedTimer t;
        t.start();
        while (!(m = shown.match(QString::fromLatin1(out))).hasMatch()) {
            if (process_.state() != QProcess::Running)
                return failed(QStringLiteral("patternwindow ended before it was shown: ") + QString::fromLatin1(out));
            if (t.elapsed() > timeoutMs)
                return failed(QStringLiteral("patternwindow not shown within %1 ms: ").arg(timeoutMs) + QString::fromLatin1(out));
            process_.waitForReadyRead(50);
            out += process_.readAllStandardOutput();
        }
        dpr_ = m.captured(3).toDouble();
        geometry_ = QRect(0, 0, qRound(m.captured(1).toInt() * dpr_), qRound(m.captured(2).toInt() * dpr_));
        return true;
    }

    void stop()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.terminate();
            if (!process_.waitForFinished(3000)) {
                process_.kill();
                process_.waitForFinished(3000);
            }
        }
    }

    // Where it stands, in stream pixels.
    QRect geometry() const { return geometry_; }
    qreal devicePixelRatio() const { return dpr_; }
    qint64 pid() const { return process_.processId(); }
    bool running() const { return process_.state() == QProcess::Running; }
    QString error() const { return error_; }

private:
    bool failed(const QString &why)
    {
        error_ = why;
        stop();
        return false;
    }

    QProcess process_;
    QRect geometry_;
    qreal dpr_ = 1;
    QString error_;
};

} // namespace gh
