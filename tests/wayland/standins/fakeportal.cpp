// A stand-in for xdg-desktop-portal's screen-cast portal on whatever session bus it is started
// on: org.freedesktop.portal.Desktop at /org/freedesktop/portal/desktop with
// org.freedesktop.portal.ScreenCast, its Request and Session objects, and the checks the real
// frontend (1.16) makes of its callers (the caller's own session, the order of the steps, the
// options' types, cursor modes on offer, restore tokens that are UUIDs). It shows no dialog:
// every request is granted unless an option says otherwise. Responses come from the event loop
// after the call's reply. Prints "ready" on stdout once it owns the name.
//
//   --version N / --source-types N / --cursor-modes N   the properties (default 4, 3, 7)
//   --no-screencast    the object without the ScreenCast interface
//   --cancel-at STEP / --fail-at STEP   Response 1 / 2 at create, select or start; after select
//                      or start the session is closed, with Session.Closed, as the real one does
//   --no-response / --no-response-at STEP   a Request that never gets its Response
//   --response-delay MS                the Responses that much later (default 0)
//   --streams none|wrongtype|wrongprops|N   Start's streams: none; a(sa{sv}); position, size and
//                      source_type of the wrong types; or N streams (default: one per --stream)
//   --stream NODE:X,Y,WxH   a stream to report (repeatable; default 0:0,0,1280x800; streams
//                      beyond the list stand to the right of the last, one node id on)
//   --restore-token T  this token in Start's results; default a new UUID each Start when the
//                      session asked for persist mode 1 or 2; --no-restore-token: none
//   --close-after MS   Session.Closed that long after Start's Response (the user stops sharing)
//   --session-handle-type s|o   CreateSession's session_handle: s as xdg-desktop-portal really
//                      sends it (default), or o as documented
//   --pipewire-socket PATH   what OpenPipeWireRemote connects its fd to (default
//                      $XDG_RUNTIME_DIR/pipewire-0)
//   --log FILE         one line per call, options sorted by key ("SelectSources session=PATH
//                      cursor_mode=4 handle_token=t multiple=true persist_mode=2 types=1"; a value
//                      of a type other than the documented one as "types=s:1"), "emit Response
//                      METHOD PATH CODE", "emit Closed PATH", "silent METHOD PATH", and
//                      "error METHOD NAME TEXT" for each error reply

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QFile>
#include <QHash>
#include <QPoint>
#include <QRegularExpression>
#include <QSize>
#include <QTimer>
#include <QUuid>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const QString desktopPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString screenCastIface = QStringLiteral("org.freedesktop.portal.ScreenCast");
const QString requestIface = QStringLiteral("org.freedesktop.portal.Request");
const QString sessionIface = QStringLiteral("org.freedesktop.portal.Session");
const QString propertiesIface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString introspectableIface = QStringLiteral("org.freedesktop.DBus.Introspectable");
const QString peerIface = QStringLiteral("org.freedesktop.DBus.Peer");
const QString invalidArgument = QStringLiteral("org.freedesktop.portal.Error.InvalidArgument");
const QString dbusFailed = QStringLiteral("org.freedesktop.DBus.Error.Failed");
const QString accessDenied = QStringLiteral("org.freedesktop.DBus.Error.AccessDenied");
const QString invalidArgs = QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs");

} // namespace

// One entry of Start's "streams": a PipeWire node id and its properties, a(ua{sv}).
struct PortalStream
{
    uint node = 0;
    QVariantMap properties;
};
// The same with the node id as a string, a(sa{sv}): a reply of the wrong type.
struct MistypedStream
{
    QString node;
    QVariantMap properties;
};
Q_DECLARE_METATYPE(PortalStream)
Q_DECLARE_METATYPE(MistypedStream)

QDBusArgument &operator<<(QDBusArgument &a, const PortalStream &s)
{
    a.beginStructure();
    a << s.node << s.properties;
    a.endStructure();
    return a;
}
const QDBusArgument &operator>>(const QDBusArgument &a, PortalStream &s)
{
    a.beginStructure();
    a >> s.node >> s.properties;
    a.endStructure();
    return a;
}
QDBusArgument &operator<<(QDBusArgument &a, const MistypedStream &s)
{
    a.beginStructure();
    a << s.node << s.properties;
    a.endStructure();
    return a;
}
const QDBusArgument &operator>>(const QDBusArgument &a, MistypedStream &s)
{
    a.beginStructure();
    a >> s.node >> s.properties;
    a.endStructure();
    return a;
}

namespace {

enum class Step { None, Create, Select, Start };

struct ReportedStream
{
    uint node = 0;
    QPoint position;
    QSize size;
};

struct Options
{
    uint version = 4;
    uint sourceTypes = 3;
    uint cursorModes = 7;
    bool screenCast = true;
    Step cancelAt = Step::None, failAt = Step::None, silentAt = Step::None;
    bool silent = false;
    enum { StreamsList, StreamsNone, StreamsWrongType, StreamsWrongProps } streamsMode = StreamsList;
    int streamCount = -1; // -1: as many as --stream gave (at least one)
    QList<ReportedStream> streams;
    QString restoreToken;
    bool noRestoreToken = false;
    int closeAfter = -1;
    int responseDelay = 0;
    bool sessionHandleIsPath = false;
    QString pipewireSocket;
    QString logFile;
};

[[noreturn]] void usage(const QString &why)
{
    fprintf(stderr, "fakeportal: %s\n", qPrintable(why));
    fprintf(stderr,
            "usage: fakeportal [--version N] [--source-types N] [--cursor-modes N] [--no-screencast]\n"
            "  [--cancel-at create|select|start] [--fail-at create|select|start]\n"
            "  [--no-response] [--no-response-at create|select|start] [--response-delay MS]\n"
            "  [--streams none|wrongtype|wrongprops|N] [--stream NODE:X,Y,WxH]...\n"
            "  [--restore-token TOKEN | --no-restore-token] [--close-after MS]\n"
            "  [--session-handle-type s|o] [--pipewire-socket PATH] [--log FILE]\n");
    exit(2);
}

uint toUInt(const QString &s, const char *what)
{
    bool ok = false;
    uint v = s.toUInt(&ok);
    if (!ok)
        usage(QStringLiteral("%1 wants a number, not %2").arg(QLatin1String(what), s));
    return v;
}

Step toStep(const QString &s)
{
    if (s == QLatin1String("create")) return Step::Create;
    if (s == QLatin1String("select")) return Step::Select;
    if (s == QLatin1String("start")) return Step::Start;
    usage(QStringLiteral("a step is create, select or start, not %1").arg(s));
}

Options parseOptions(const QStringList &args)
{
    Options o;
    o.pipewireSocket = qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/pipewire-0");
    for (int i = 1; i < args.size(); ++i) {
        const QString a = args[i];
        auto value = [&]() -> QString {
            if (i + 1 >= args.size())
                usage(a + QStringLiteral(" needs a value"));
            return args[++i];
        };
        if (a == QLatin1String("--version")) o.version = toUInt(value(), "--version");
        else if (a == QLatin1String("--source-types")) o.sourceTypes = toUInt(value(), "--source-types");
        else if (a == QLatin1String("--cursor-modes")) o.cursorModes = toUInt(value(), "--cursor-modes");
        else if (a == QLatin1String("--no-screencast")) o.screenCast = false;
        else if (a == QLatin1String("--cancel-at")) o.cancelAt = toStep(value());
        else if (a == QLatin1String("--fail-at")) o.failAt = toStep(value());
        else if (a == QLatin1String("--no-response")) o.silent = true;
        else if (a == QLatin1String("--no-response-at")) o.silentAt = toStep(value());
        else if (a == QLatin1String("--response-delay")) o.responseDelay = int(toUInt(value(), "--response-delay"));
        else if (a == QLatin1String("--streams")) {
            const QString v = value();
            if (v == QLatin1String("none")) o.streamsMode = Options::StreamsNone;
            else if (v == QLatin1String("wrongtype")) o.streamsMode = Options::StreamsWrongType;
            else if (v == QLatin1String("wrongprops")) o.streamsMode = Options::StreamsWrongProps;
            else o.streamCount = int(toUInt(v, "--streams"));
        } else if (a == QLatin1String("--stream")) {
            static const QRegularExpression re(QStringLiteral("^(\\d+):(-?\\d+),(-?\\d+),(\\d+)x(\\d+)$"));
            const auto m = re.match(value());
            if (!m.hasMatch())
                usage(QStringLiteral("--stream wants NODE:X,Y,WxH"));
            o.streams.append({m.captured(1).toUInt(), QPoint(m.captured(2).toInt(), m.captured(3).toInt()),
                              QSize(m.captured(4).toInt(), m.captured(5).toInt())});
        } else if (a == QLatin1String("--restore-token")) o.restoreToken = value();
        else if (a == QLatin1String("--no-restore-token")) o.noRestoreToken = true;
        else if (a == QLatin1String("--close-after")) o.closeAfter = int(toUInt(value(), "--close-after"));
        else if (a == QLatin1String("--session-handle-type")) {
            const QString v = value();
            if (v != QLatin1String("s") && v != QLatin1String("o"))
                usage(QStringLiteral("--session-handle-type wants s or o"));
            o.sessionHandleIsPath = v == QLatin1String("o");
        } else if (a == QLatin1String("--pipewire-socket")) o.pipewireSocket = value();
        else if (a == QLatin1String("--log")) o.logFile = value();
        else usage(QStringLiteral("unknown option ") + a);
    }
    // Streams the list does not give stand to the right of the one before, one node id on.
    if (o.streams.isEmpty())
        o.streams.append({0, QPoint(0, 0), QSize(1280, 800)});
    if (o.streamCount < 0)
        o.streamCount = int(o.streams.size());
    while (o.streams.size() < o.streamCount) {
        ReportedStream next = o.streams.last();
        next.node += 1;
        next.position.rx() += next.size.width();
        o.streams.append(next);
    }
    return o;
}

// The D-Bus type of a value as QtDBus hands it over.
QString signatureOf(const QVariant &v)
{
    if (v.metaType() == QMetaType::fromType<QDBusArgument>())
        return v.value<QDBusArgument>().currentSignature();
    if (v.metaType() == QMetaType::fromType<QDBusVariant>())
        return QStringLiteral("v");
    if (v.metaType() == QMetaType::fromType<QDBusObjectPath>())
        return QStringLiteral("o");
    if (v.metaType() == QMetaType::fromType<QDBusSignature>())
        return QStringLiteral("g");
    if (v.metaType() == QMetaType::fromType<QDBusUnixFileDescriptor>())
        return QStringLiteral("h");
    const char *sig = QDBusMetaType::typeToSignature(v.metaType());
    return sig ? QString::fromLatin1(sig) : QStringLiteral("?");
}

// A value for the log: numbers and truth values as they are, strings with anything that
// could split a line or a field escaped.
QString logValue(const QVariant &v)
{
    const QString sig = signatureOf(v);
    QString text;
    if (sig == QLatin1String("b"))
        text = v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    else if (sig == QLatin1String("o"))
        text = v.value<QDBusObjectPath>().path();
    else if (sig.size() == 1 && QStringLiteral("ynqiuxtds").contains(sig))
        text = v.toString();
    else
        return QStringLiteral("<%1>").arg(sig);
    QString out;
    for (QChar c : text) {
        if (c.unicode() <= 0x20 || c == QLatin1Char('\\') || c.unicode() == 0x7f)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

// The options' documented types; a value of another type is logged with its own in front.
const QHash<QString, QString> &optionTypes()
{
    static const QHash<QString, QString> t = {
        {QStringLiteral("handle_token"), QStringLiteral("s")},
        {QStringLiteral("session_handle_token"), QStringLiteral("s")},
        {QStringLiteral("types"), QStringLiteral("u")},
        {QStringLiteral("multiple"), QStringLiteral("b")},
        {QStringLiteral("cursor_mode"), QStringLiteral("u")},
        {QStringLiteral("restore_token"), QStringLiteral("s")},
        {QStringLiteral("persist_mode"), QStringLiteral("u")},
    };
    return t;
}

QString logOptions(const QVariantMap &options)
{
    QStringList parts;
    for (auto it = options.begin(); it != options.end(); ++it) { // QMap: sorted by key
        const QString sig = signatureOf(it.value());
        const QString expected = optionTypes().value(it.key());
        const QString prefix = (!expected.isEmpty() && sig != expected) ? sig + QLatin1Char(':') : QString();
        parts << it.key() + QLatin1Char('=') + prefix + logValue(it.value());
    }
    return parts.join(QLatin1Char(' '));
}

bool validToken(const QString &token)
{
    static const QRegularExpression re(QStringLiteral("^[A-Za-z0-9_]+$"));
    return re.match(token).hasMatch();
}

class Portal : public QDBusVirtualObject
{
public:
    Portal(const Options &o, const QDBusConnection &connection) : opt(o), bus(connection)
    {
        if (!opt.logFile.isEmpty()) {
            log.setFileName(opt.logFile);
            if (!log.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
                fprintf(stderr, "fakeportal: cannot open the log %s\n", qPrintable(opt.logFile));
                exit(1);
            }
        }
    }

    QString introspect(const QString &) const override { return {}; }

    bool handleMessage(const QDBusMessage &m, const QDBusConnection &c) override
    {
        Q_UNUSED(c);
        const QString path = m.path();
        const QString iface = m.interface();
        const QString member = m.member();
        if (iface == introspectableIface && member == QLatin1String("Introspect")) {
            reply(m, {introspection(path)});
            return true;
        }
        if (iface == peerIface && member == QLatin1String("Ping")) {
            reply(m, {});
            return true;
        }
        if (path == desktopPath)
            return desktopCall(m);
        if (sessions.contains(path))
            return sessionCall(m);
        if (requests.contains(path))
            return requestCall(m);
        error(m, QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"),
              QStringLiteral("No such object path '%1'").arg(path));
        return true;
    }

private:
    enum class State { Init, Selecting, Selected, Starting, Started };
    struct Session
    {
        QString owner;
        State state = State::Init;
        uint persistMode = 0;
        QTimer *closeTimer = nullptr;
    };
    struct Request
    {
        QString owner;
        QTimer *timer = nullptr;
    };

    Options opt;
    QFile log;
    QDBusConnection bus;
    QHash<QString, Session> sessions;
    QHash<QString, Request> requests;

    void writeLog(const QString &line)
    {
        if (!log.isOpen())
            return;
        log.write(line.toUtf8() + '\n');
        log.flush();
    }

    void reply(const QDBusMessage &m, const QList<QVariant> &args)
    {
        bus.send(m.createReply(args));
    }

    void error(const QDBusMessage &m, const QString &name, const QString &text)
    {
        writeLog(QStringLiteral("error %1 %2 %3").arg(m.member(), name, text));
        bus.send(m.createErrorReply(name, text));
    }

    static QString senderElement(const QDBusMessage &m)
    {
        QString s = m.service();
        if (s.startsWith(QLatin1Char(':')))
            s.remove(0, 1);
        return s.replace(QLatin1Char('.'), QLatin1Char('_'));
    }

    QString introspection(const QString &path) const
    {
        QString ifaces;
        if (path == desktopPath) {
            ifaces = QStringLiteral(
                "<interface name=\"org.freedesktop.DBus.Properties\">"
                "<method name=\"Get\"><arg type=\"s\" direction=\"in\"/><arg type=\"s\" direction=\"in\"/><arg type=\"v\" direction=\"out\"/></method>"
                "<method name=\"GetAll\"><arg type=\"s\" direction=\"in\"/><arg type=\"a{sv}\" direction=\"out\"/></method>"
                "<method name=\"Set\"><arg type=\"s\" direction=\"in\"/><arg type=\"s\" direction=\"in\"/><arg type=\"v\" direction=\"in\"/></method>"
                "<signal name=\"PropertiesChanged\"><arg type=\"s\"/><arg type=\"a{sv}\"/><arg type=\"as\"/></signal>"
                "</interface>");
            if (opt.screenCast) {
                ifaces += QStringLiteral(
                    "<interface name=\"org.freedesktop.portal.ScreenCast\">"
                    "<method name=\"CreateSession\"><arg type=\"a{sv}\" name=\"options\" direction=\"in\"/><arg type=\"o\" name=\"handle\" direction=\"out\"/></method>"
                    "<method name=\"SelectSources\"><arg type=\"o\" name=\"session_handle\" direction=\"in\"/><arg type=\"a{sv}\" name=\"options\" direction=\"in\"/><arg type=\"o\" name=\"handle\" direction=\"out\"/></method>"
                    "<method name=\"Start\"><arg type=\"o\" name=\"session_handle\" direction=\"in\"/><arg type=\"s\" name=\"parent_window\" direction=\"in\"/><arg type=\"a{sv}\" name=\"options\" direction=\"in\"/><arg type=\"o\" name=\"handle\" direction=\"out\"/></method>"
                    "<method name=\"OpenPipeWireRemote\"><arg type=\"o\" name=\"session_handle\" direction=\"in\"/><arg type=\"a{sv}\" name=\"options\" direction=\"in\"/><arg type=\"h\" name=\"fd\" direction=\"out\"/></method>"
                    "<property name=\"AvailableSourceTypes\" type=\"u\" access=\"read\"/>");
                if (opt.version >= 2)
                    ifaces += QStringLiteral("<property name=\"AvailableCursorModes\" type=\"u\" access=\"read\"/>");
                ifaces += QStringLiteral("<property name=\"version\" type=\"u\" access=\"read\"/></interface>");
            }
        } else if (sessions.contains(path)) {
            ifaces = QStringLiteral(
                "<interface name=\"org.freedesktop.portal.Session\">"
                "<method name=\"Close\"/><signal name=\"Closed\"><arg type=\"a{sv}\" name=\"details\"/></signal>"
                "<property name=\"version\" type=\"u\" access=\"read\"/></interface>");
        } else if (requests.contains(path)) {
            ifaces = QStringLiteral(
                "<interface name=\"org.freedesktop.portal.Request\">"
                "<method name=\"Close\"/><signal name=\"Response\"><arg type=\"u\" name=\"response\"/>"
                "<arg type=\"a{sv}\" name=\"results\"/></signal></interface>");
        }
        return QStringLiteral(
                   "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\" "
                   "\"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n<node>"
                   "<interface name=\"org.freedesktop.DBus.Introspectable\"><method name=\"Introspect\">"
                   "<arg type=\"s\" direction=\"out\"/></method></interface>"
                   "<interface name=\"org.freedesktop.DBus.Peer\"><method name=\"Ping\"/></interface>%1</node>\n")
            .arg(ifaces);
    }

    bool checkSignature(const QDBusMessage &m, const QString &expected)
    {
        if (m.signature() == expected)
            return true;
        error(m, invalidArgs, QStringLiteral("Type of message, '(%1)', does not match expected type '(%2)'")
                                  .arg(m.signature(), expected));
        return false;
    }

    QVariantMap screenCastProperties() const
    {
        QVariantMap p;
        p.insert(QStringLiteral("version"), QVariant::fromValue(opt.version));
        p.insert(QStringLiteral("AvailableSourceTypes"), QVariant::fromValue(opt.sourceTypes));
        if (opt.version >= 2)
            p.insert(QStringLiteral("AvailableCursorModes"), QVariant::fromValue(opt.cursorModes));
        return p;
    }

    bool desktopCall(const QDBusMessage &m)
    {
        const QString iface = m.interface();
        const QString member = m.member();
        const auto args = m.arguments();
        if (iface == propertiesIface) {
            if (member == QLatin1String("Get") && checkSignature(m, QStringLiteral("ss"))) {
                const QString which = args[0].toString(), name = args[1].toString();
                writeLog(QStringLiteral("Get %1 %2").arg(which, name));
                if (which != screenCastIface || !opt.screenCast)
                    error(m, invalidArgs, QStringLiteral("No such interface '%1'").arg(which));
                else if (!screenCastProperties().contains(name))
                    error(m, invalidArgs, QStringLiteral("No such property '%1'").arg(name));
                else
                    reply(m, {QVariant::fromValue(QDBusVariant(screenCastProperties().value(name)))});
            } else if (member == QLatin1String("GetAll") && checkSignature(m, QStringLiteral("s"))) {
                const QString which = args[0].toString();
                writeLog(QStringLiteral("GetAll %1").arg(which));
                if (which == screenCastIface && opt.screenCast)
                    reply(m, {screenCastProperties()});
                else if (which.isEmpty() || which == propertiesIface || which == introspectableIface ||
                         which == peerIface)
                    reply(m, {QVariantMap()}); // interfaces without properties
                else
                    error(m, invalidArgs, QStringLiteral("No such interface '%1'").arg(which));
            } else if (member == QLatin1String("Set")) {
                error(m, QStringLiteral("org.freedesktop.DBus.Error.PropertyReadOnly"),
                      QStringLiteral("Properties of this interface are read-only"));
            } else if (member != QLatin1String("Get") && member != QLatin1String("GetAll")) {
                error(m, QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                      QStringLiteral("No such method '%1'").arg(member));
            }
            return true;
        }
        if (iface != screenCastIface || !opt.screenCast) {
            error(m, QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                  QStringLiteral("No such interface '%1' on object at path %2").arg(iface, desktopPath));
            return true;
        }
        if (member == QLatin1String("CreateSession")) {
            if (checkSignature(m, QStringLiteral("a{sv}")))
                createSession(m, qdbus_cast<QVariantMap>(args[0]));
        } else if (member == QLatin1String("SelectSources")) {
            if (checkSignature(m, QStringLiteral("oa{sv}")))
                selectSources(m, args[0].value<QDBusObjectPath>().path(), qdbus_cast<QVariantMap>(args[1]));
        } else if (member == QLatin1String("Start")) {
            if (checkSignature(m, QStringLiteral("osa{sv}")))
                start(m, args[0].value<QDBusObjectPath>().path(), args[1].toString(),
                      qdbus_cast<QVariantMap>(args[2]));
        } else if (member == QLatin1String("OpenPipeWireRemote")) {
            if (checkSignature(m, QStringLiteral("oa{sv}")))
                openPipeWireRemote(m, args[0].value<QDBusObjectPath>().path(), qdbus_cast<QVariantMap>(args[1]));
        } else {
            error(m, QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                  QStringLiteral("No such method '%1'").arg(member));
        }
        return true;
    }

    // The Request object of a call: /org/freedesktop/portal/desktop/request/SENDER/TOKEN, the
    // token being the caller's handle_token ("t" when it gave none). Empty after an error reply.
    QString newRequest(const QDBusMessage &m, const QVariantMap &options)
    {
        QString token = QStringLiteral("t");
        if (options.contains(QStringLiteral("handle_token"))) {
            const QVariant v = options.value(QStringLiteral("handle_token"));
            if (signatureOf(v) != QLatin1String("s") || !validToken(v.toString())) {
                error(m, invalidArgument, QStringLiteral("Invalid token: %1").arg(v.toString()));
                return {};
            }
            token = v.toString();
        }
        QString path = desktopPath + QStringLiteral("/request/") + senderElement(m) + QLatin1Char('/') + token;
        for (uint n = 1; requests.contains(path); ++n)
            path = desktopPath + QStringLiteral("/request/") + senderElement(m) + QLatin1Char('/') + token +
                   QLatin1Char('/') + QString::number(n);
        requests.insert(path, Request{m.service(), nullptr});
        return path;
    }

    Step stepOf(const QString &member) const
    {
        if (member == QLatin1String("CreateSession")) return Step::Create;
        if (member == QLatin1String("SelectSources")) return Step::Select;
        return Step::Start;
    }

    uint responseCode(Step step) const
    {
        if (opt.cancelAt == step) return 1;
        if (opt.failAt == step) return 2;
        return 0;
    }

    // Answers a call with its Request's path at once and with the Response later, from the event
    // loop: a client that subscribed to the predicted path before calling gets it, one that
    // waits for the reply to subscribe may not (as with a quick real portal).
    void answer(const QDBusMessage &m, const QString &request, uint code, const QVariantMap &results,
                std::function<void()> after)
    {
        reply(m, {QVariant::fromValue(QDBusObjectPath(request))});
        const Step step = stepOf(m.member());
        if (opt.silent || opt.silentAt == step) {
            writeLog(QStringLiteral("silent %1 %2").arg(m.member(), request));
            return;
        }
        auto *timer = new QTimer;
        timer->setSingleShot(true);
        requests[request].timer = timer;
        QObject::connect(timer, &QTimer::timeout, timer, [this, request, code, results, after, timer, m] {
            timer->deleteLater();
            if (!requests.contains(request))
                return; // closed by the client meanwhile
            requests.remove(request);
            QDBusMessage signal = QDBusMessage::createSignal(request, requestIface, QStringLiteral("Response"));
            signal << code << results;
            writeLog(QStringLiteral("emit Response %1 %2 %3").arg(m.member(), request).arg(code));
            bus.send(signal);
            if (after)
                after();
        });
        timer->start(opt.responseDelay);
    }

    void emitClosed(const QString &session)
    {
        QDBusMessage signal = QDBusMessage::createSignal(session, sessionIface, QStringLiteral("Closed"));
        signal << QVariantMap();
        writeLog(QStringLiteral("emit Closed %1").arg(session));
        bus.send(signal);
    }

    void closeSession(const QString &session, bool notify)
    {
        auto it = sessions.find(session);
        if (it == sessions.end())
            return;
        if (it->closeTimer) {
            it->closeTimer->stop();
            it->closeTimer->deleteLater();
        }
        sessions.erase(it);
        if (notify)
            emitClosed(session);
    }

    // The session a call names, if the caller made it; else an error reply and nothing.
    Session *callersSession(const QDBusMessage &m, const QString &session)
    {
        auto it = sessions.find(session);
        if (it == sessions.end() || it->owner != m.service()) {
            error(m, accessDenied, QStringLiteral("Invalid session"));
            return nullptr;
        }
        return &*it;
    }

    void createSession(const QDBusMessage &m, const QVariantMap &options)
    {
        writeLog(QStringLiteral("CreateSession %1").arg(logOptions(options)).trimmed());
        QString token = QStringLiteral("t");
        if (options.contains(QStringLiteral("session_handle_token"))) {
            const QVariant v = options.value(QStringLiteral("session_handle_token"));
            if (signatureOf(v) != QLatin1String("s") || !validToken(v.toString())) {
                error(m, invalidArgument, QStringLiteral("Invalid token: %1").arg(v.toString()));
                return;
            }
            token = v.toString();
        }
        const QString session = desktopPath + QStringLiteral("/session/") + senderElement(m) + QLatin1Char('/') + token;
        if (sessions.contains(session)) {
            error(m, invalidArgument, QStringLiteral("Session %1 already exists").arg(session));
            return;
        }
        const QString request = newRequest(m, options);
        if (request.isEmpty())
            return;
        const uint code = responseCode(Step::Create);
        if (code == 0)
            sessions.insert(session, Session{m.service()});
        QVariantMap results;
        if (opt.sessionHandleIsPath)
            results.insert(QStringLiteral("session_handle"), QVariant::fromValue(QDBusObjectPath(session)));
        else // what xdg-desktop-portal really sends, whatever its documentation says
            results.insert(QStringLiteral("session_handle"), session);
        answer(m, request, code, results, nullptr);
    }

    // Checks an option's type and value as the real frontend does; false after an error reply.
    bool checkOption(const QDBusMessage &m, const QVariantMap &options, const QString &key)
    {
        if (!options.contains(key))
            return true;
        const QVariant v = options.value(key);
        const QString expected = optionTypes().value(key), sig = signatureOf(v);
        if (sig != expected) {
            error(m, invalidArgument, QStringLiteral("Expected type '%1' for option '%2', got '%3'")
                                          .arg(expected, key, sig));
            return false;
        }
        if (key == QLatin1String("types") && (v.toUInt() & ~7u)) {
            error(m, invalidArgument, QStringLiteral("Unsupported device type: %1").arg(v.toUInt() & ~7u, 0, 16));
            return false;
        }
        if (key == QLatin1String("cursor_mode")) {
            const uint mode = v.toUInt();
            if (__builtin_popcount(mode) != 1) {
                error(m, invalidArgument, QStringLiteral("Invalid cursor mode %1").arg(mode, 0, 16));
                return false;
            }
            if (!(opt.cursorModes & mode)) {
                error(m, invalidArgument, QStringLiteral("Unavailable cursor mode %1").arg(mode, 0, 16));
                return false;
            }
        }
        if (key == QLatin1String("restore_token") && QUuid::fromString(v.toString()).isNull()) {
            error(m, invalidArgument, QStringLiteral("Restore token is not a valid UUID string"));
            return false;
        }
        if (key == QLatin1String("persist_mode") && v.toUInt() > 2) {
            error(m, invalidArgument, QStringLiteral("Invalid persist mode %1").arg(v.toUInt(), 0, 16));
            return false;
        }
        return true;
    }

    void selectSources(const QDBusMessage &m, const QString &session, const QVariantMap &options)
    {
        writeLog(QStringLiteral("SelectSources session=%1 %2").arg(session, logOptions(options)).trimmed());
        Session *s = callersSession(m, session);
        if (!s)
            return;
        if (s->state != State::Init) {
            error(m, dbusFailed, s->state == State::Selecting || s->state == State::Selected
                                     ? QStringLiteral("Sources already selected")
                                     : QStringLiteral("Can only select sources before starting"));
            return;
        }
        // Options a portal of this version does not know it leaves out unread, as the real
        // frontend filters them.
        QStringList known = {QStringLiteral("types"), QStringLiteral("multiple")};
        if (opt.version >= 2)
            known << QStringLiteral("cursor_mode");
        if (opt.version >= 4)
            known << QStringLiteral("restore_token") << QStringLiteral("persist_mode");
        for (const QString &key : known)
            if (!checkOption(m, options, key))
                return;
        const QString request = newRequest(m, options);
        if (request.isEmpty())
            return;
        s->state = State::Selecting;
        s->persistMode = opt.version >= 4 ? options.value(QStringLiteral("persist_mode")).toUInt() : 0;
        const uint code = responseCode(Step::Select);
        answer(m, request, code, {}, [this, session, code] {
            if (code != 0)
                closeSession(session, true);
            else if (sessions.contains(session))
                sessions[session].state = State::Selected;
        });
    }

    QVariant streamsValue() const
    {
        switch (opt.streamsMode) {
        case Options::StreamsWrongType: {
            QList<MistypedStream> list;
            for (int i = 0; i < opt.streamCount; ++i)
                list.append({QString::number(opt.streams[i].node), {}});
            return QVariant::fromValue(list);
        }
        case Options::StreamsWrongProps: {
            QList<PortalStream> list;
            for (int i = 0; i < opt.streamCount; ++i) {
                const ReportedStream &s = opt.streams[i];
                QVariantMap props;
                props.insert(QStringLiteral("position"),
                             QStringLiteral("%1,%2").arg(s.position.x()).arg(s.position.y()));
                props.insert(QStringLiteral("size"), QVariant::fromValue(QList<int>{s.size.width(), s.size.height()}));
                props.insert(QStringLiteral("source_type"), QStringLiteral("monitor"));
                list.append({s.node, props});
            }
            return QVariant::fromValue(list);
        }
        default: {
            QList<PortalStream> list;
            for (int i = 0; i < opt.streamCount; ++i) {
                const ReportedStream &s = opt.streams[i];
                QVariantMap props;
                props.insert(QStringLiteral("position"), s.position);
                props.insert(QStringLiteral("size"), s.size);
                props.insert(QStringLiteral("source_type"), QVariant::fromValue(1u));
                if (opt.version >= 4)
                    props.insert(QStringLiteral("id"), QString::number(i));
                list.append({s.node, props});
            }
            return QVariant::fromValue(list);
        }
        }
    }

    void start(const QDBusMessage &m, const QString &session, const QString &parentWindow,
               const QVariantMap &options)
    {
        writeLog(QStringLiteral("Start session=%1 parent_window=%2 %3")
                     .arg(session, logValue(parentWindow), logOptions(options))
                     .trimmed());
        Session *s = callersSession(m, session);
        if (!s)
            return;
        if (s->state != State::Selected) {
            error(m, dbusFailed, s->state == State::Init || s->state == State::Selecting
                                     ? QStringLiteral("Sources not selected")
                                     : QStringLiteral("Can only start once"));
            return;
        }
        const QString request = newRequest(m, options);
        if (request.isEmpty())
            return;
        s->state = State::Starting;
        const uint code = responseCode(Step::Start);
        QVariantMap results;
        if (code == 0) {
            if (opt.streamsMode != Options::StreamsNone)
                results.insert(QStringLiteral("streams"), streamsValue());
            if (s->persistMode > 0)
                results.insert(QStringLiteral("persist_mode"), QVariant::fromValue(s->persistMode));
            if (!opt.restoreToken.isEmpty())
                results.insert(QStringLiteral("restore_token"), opt.restoreToken);
            else if (s->persistMode > 0 && !opt.noRestoreToken) // single use: a new one each time
                results.insert(QStringLiteral("restore_token"), QUuid::createUuid().toString(QUuid::WithoutBraces));
        }
        answer(m, request, code, results, [this, session, code] {
            if (code != 0) {
                closeSession(session, true);
                return;
            }
            auto it = sessions.find(session);
            if (it == sessions.end())
                return;
            it->state = State::Started;
            if (opt.closeAfter >= 0) {
                // The desktop ends the session, as when the user stops sharing.
                it->closeTimer = new QTimer;
                it->closeTimer->setSingleShot(true);
                QObject::connect(it->closeTimer, &QTimer::timeout, [this, session] { closeSession(session, true); });
                it->closeTimer->start(opt.closeAfter);
            }
        });
    }

    void openPipeWireRemote(const QDBusMessage &m, const QString &session, const QVariantMap &options)
    {
        writeLog(QStringLiteral("OpenPipeWireRemote session=%1 %2").arg(session, logOptions(options)).trimmed());
        Session *s = callersSession(m, session);
        if (!s)
            return;
        if (s->state != State::Started) {
            error(m, dbusFailed, QStringLiteral("No streams available"));
            return;
        }
        const QByteArray path = QFile::encodeName(opt.pipewireSocket);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (size_t(path.size()) >= sizeof(addr.sun_path)) {
            error(m, dbusFailed, QStringLiteral("Couldn't connect pipewire context: path too long"));
            return;
        }
        memcpy(addr.sun_path, path.constData(), size_t(path.size()));
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) < 0) {
            const QString why = QString::fromLocal8Bit(strerror(errno));
            if (fd >= 0)
                ::close(fd);
            error(m, dbusFailed, QStringLiteral("Couldn't connect pipewire context: %1").arg(why));
            return;
        }
        reply(m, {QVariant::fromValue(QDBusUnixFileDescriptor(fd))}); // sends a duplicate
        ::close(fd);
    }

    bool sessionCall(const QDBusMessage &m)
    {
        const QString path = m.path();
        if (m.interface() == propertiesIface && m.member() == QLatin1String("Get")) {
            reply(m, {QVariant::fromValue(QDBusVariant(QVariant::fromValue(1u)))});
            return true;
        }
        if (m.interface() == propertiesIface && m.member() == QLatin1String("GetAll")) {
            reply(m, {QVariantMap{{QStringLiteral("version"), QVariant::fromValue(1u)}}});
            return true;
        }
        if ((m.interface() == sessionIface || m.interface().isEmpty()) && m.member() == QLatin1String("Close")) {
            writeLog(QStringLiteral("Session.Close session=%1").arg(path));
            if (sessions.value(path).owner != m.service()) {
                error(m, accessDenied, QStringLiteral("Invalid session"));
                return true;
            }
            closeSession(path, false); // the real portal says nothing to the one who closed it
            reply(m, {});
            return true;
        }
        error(m, QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
              QStringLiteral("No such method '%1'").arg(m.member()));
        return true;
    }

    bool requestCall(const QDBusMessage &m)
    {
        const QString path = m.path();
        if ((m.interface() == requestIface || m.interface().isEmpty()) && m.member() == QLatin1String("Close")) {
            writeLog(QStringLiteral("Request.Close request=%1").arg(path));
            if (requests.value(path).owner != m.service()) {
                error(m, accessDenied, QStringLiteral("Not the caller of this request"));
                return true;
            }
            Request r = requests.take(path);
            if (r.timer) {
                r.timer->stop();
                r.timer->deleteLater();
            }
            reply(m, {});
            return true;
        }
        error(m, QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
              QStringLiteral("No such method '%1'").arg(m.member()));
        return true;
    }
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qDBusRegisterMetaType<PortalStream>();
    qDBusRegisterMetaType<QList<PortalStream>>();
    qDBusRegisterMetaType<MistypedStream>();
    qDBusRegisterMetaType<QList<MistypedStream>>();
    const Options opt = parseOptions(app.arguments());

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        fprintf(stderr, "fakeportal: no session bus: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    Portal portal(opt, bus);
    if (!bus.registerVirtualObject(desktopPath, &portal, QDBusConnection::SubPath)) {
        fprintf(stderr, "fakeportal: cannot register %s\n", qPrintable(desktopPath));
        return 1;
    }
    if (!bus.registerService(QStringLiteral("org.freedesktop.portal.Desktop"))) {
        fprintf(stderr, "fakeportal: cannot own org.freedesktop.portal.Desktop: %s\n",
                qPrintable(bus.lastError().message()));
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    return app.exec();
}
