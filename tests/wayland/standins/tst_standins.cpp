// The stand-ins do what their options say: the portal as a client on the bus sees it (types,
// Requests and their Responses, the log of what was asked), the producer as a PipeWire consumer
// linked to its node sees it (the buffer's chunk and metadata as the producer wrote them).
// Runs under with-pipewire.sh: a private session bus, PipeWire and WirePlumber.

#include <QtTest>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUuid>

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/buffers.h>
#include <spa/param/video/format-utils.h>

#include <functional>
#include <array>
#include <map>

#include <unistd.h>

namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString desktopPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString screenCastIface = QStringLiteral("org.freedesktop.portal.ScreenCast");

// mutter's cursor metadata: the cursor, a bitmap header and a 384x384 RGBA sprite.
constexpr uint32_t mutterCursorMeta = 589872;

// A stand-in process, stopped when the test is done with it.
class StandIn
{
public:
    ~StandIn() { stop(); }

    bool start(const QString &binary, const QStringList &args)
    {
        proc.setProgram(binary);
        proc.setArguments(args);
        proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        proc.start();
        return proc.waitForStarted(5000);
    }

    // The first line of stdout, from the start, that matches; empty after `ms` without one.
    QString waitLine(const QRegularExpression &re, int ms = 10000)
    {
        QElapsedTimer t;
        t.start();
        for (;;) {
            while (proc.canReadLine())
                lines << QString::fromUtf8(proc.readLine()).trimmed();
            for (const QString &l : std::as_const(lines))
                if (re.match(l).hasMatch())
                    return l;
            if (t.elapsed() > ms || proc.state() == QProcess::NotRunning)
                return {};
            proc.waitForReadyRead(50);
        }
    }

    void write(const QByteArray &line) { proc.write(line); }

    void stop()
    {
        if (proc.state() == QProcess::NotRunning)
            return;
        proc.terminate();
        if (!proc.waitForFinished(5000)) {
            proc.kill();
            proc.waitForFinished(5000);
        }
    }

    QProcess proc;
    QStringList lines;
};

// The fake portal, up once it owns its name; gone (and the name free) when this goes.
class Portal : public StandIn
{
public:
    bool start(const QStringList &args)
    {
        if (!StandIn::start(QStringLiteral(FAKEPORTAL_BINARY), args))
            return false;
        return !waitLine(QRegularExpression(QStringLiteral("^ready$"))).isEmpty();
    }
    ~Portal()
    {
        stop();
        auto *names = QDBusConnection::sessionBus().interface();
        QElapsedTimer t;
        t.start();
        while (names->isServiceRegistered(portalService) && t.elapsed() < 5000)
            QThread::msleep(10);
    }
};

// The producer, up once it says its node id.
class Producer : public StandIn
{
public:
    uint32_t node = SPA_ID_INVALID;
    bool start(const QStringList &args)
    {
        if (!StandIn::start(QStringLiteral(FAKEPRODUCER_BINARY), args))
            return false;
        const QString line = waitLine(QRegularExpression(QStringLiteral("^node \\d+$")));
        if (line.isEmpty())
            return false;
        node = line.mid(5).toUInt();
        return true;
    }
};

// What a consumer sees of one buffer. The pixels are read only where the chunk says they lie
// inside the buffer.
struct BufferView
{
    uint32_t type = 0, maxsize = 0, offset = 0, size = 0, chunkFlags = 0;
    int32_t stride = 0;
    bool header = false;
    uint32_t headerFlags = 0;
    uint64_t seq = 0;
    bool crop = false;
    spa_region cropRegion{};
    bool cursor = false;
    uint32_t cursorMetaSize = 0, cursorId = 0, bitmapOffset = 0;
    spa_point cursorPosition{};
    bool bitmapInMeta = false;     // the bitmap header lies inside the metadata
    bool bitmapPixelsInMeta = false;
    spa_meta_bitmap bitmap{};
    std::map<std::pair<int, int>, std::array<uint8_t, 4>> samples;
};

const QList<QPoint> samplePoints = {{0, 0}, {10, 20}, {255, 255}, {256, 257}, {300, 513}, {1279, 799}};

// A PipeWire consumer as the program will be one: it offers the 32-bit formats at most 20
// frames a second, both kinds of shared memory, and header, cursor (up to mutter's size, or
// less) and crop metadata; it does not follow another node when its own goes.
class Consumer
{
public:
    struct Options
    {
        uint32_t cursorMetaLimit = mutterCursorMeta;
        int fd = -1; // a connection from the portal; -1: the default socket
    };

    Consumer(uint32_t target, const Options &o) : opt(o)
    {
        loop = pw_loop_new(nullptr);
        context = pw_context_new(loop, nullptr, 0);
        core = opt.fd >= 0 ? pw_context_connect_fd(context, opt.fd, nullptr, 0)
                           : pw_context_connect(context, nullptr, 0);
        if (!core)
            return;
        stream = pw_stream_new(core, "tst_standins",
                               pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                                 "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
        static const pw_stream_events events = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.state_changed = [](void *d, pw_stream_state, pw_stream_state s, const char *) {
                static_cast<Consumer *>(d)->states.append(s);
            };
            e.param_changed = [](void *d, uint32_t id, const spa_pod *p) {
                static_cast<Consumer *>(d)->paramChanged(id, p);
            };
            e.process = [](void *d) { static_cast<Consumer *>(d)->process(); };
            return e;
        }();
        pw_stream_add_listener(stream, &listener, &events, this);
        uint8_t buffer[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
        spa_rectangle size = SPA_RECTANGLE(1280, 800), minSize = SPA_RECTANGLE(1, 1),
                      maxSize = SPA_RECTANGLE(16384, 16384);
        spa_fraction rate = SPA_FRACTION(0, 1), maxRate = SPA_FRACTION(20, 1), minRate = SPA_FRACTION(0, 1);
        const spa_pod *params[1] = {static_cast<const spa_pod *>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat,
            SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
            SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
            SPA_FORMAT_VIDEO_format, SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                                                            SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx,
                                                            SPA_VIDEO_FORMAT_RGBA),
            SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size, &minSize, &maxSize),
            SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate),
            SPA_FORMAT_VIDEO_maxFramerate, SPA_POD_CHOICE_RANGE_Fraction(&maxRate, &minRate, &maxRate)))};
        pw_stream_connect(stream, PW_DIRECTION_INPUT, target,
                          pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                          PW_STREAM_FLAG_DONT_RECONNECT),
                          params, 1);
    }

    ~Consumer()
    {
        if (stream)
            pw_stream_destroy(stream);
        if (core)
            pw_core_disconnect(core);
        pw_context_destroy(context);
        pw_loop_destroy(loop);
    }

    // Runs PipeWire's loop (and Qt's events) until `done` or `ms` have passed; done's last word.
    bool waitFor(const std::function<bool()> &done, int ms = 10000)
    {
        QElapsedTimer t;
        t.start();
        pw_loop_enter(loop);
        while (!done() && t.elapsed() < ms) {
            pw_loop_iterate(loop, 20);
            QCoreApplication::processEvents();
        }
        pw_loop_leave(loop);
        return done();
    }

    bool connected() const { return core && stream; }
    bool streamed() const { return states.contains(PW_STREAM_STATE_STREAMING); }

    Options opt;
    pw_loop *loop = nullptr;
    pw_context *context = nullptr;
    pw_core *core = nullptr;
    pw_stream *stream = nullptr;
    spa_hook listener{};
    QList<pw_stream_state> states;
    QList<spa_video_info_raw> formats;
    QList<BufferView> buffers;

private:
    void paramChanged(uint32_t id, const spa_pod *param)
    {
        if (id != SPA_PARAM_Format || !param)
            return;
        spa_video_info_raw info{};
        spa_format_video_raw_parse(param, &info);
        formats.append(info);
        uint8_t buffer[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
        const int32_t cursorMin = sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + 4;
        const spa_pod *params[4] = {
            static_cast<const spa_pod *>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers,
                SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(4, 2, 16),
                SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
                SPA_PARAM_BUFFERS_dataType,
                SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr)))),
            static_cast<const spa_pod *>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
                SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
                SPA_PARAM_META_size, SPA_POD_Int(int32_t(sizeof(spa_meta_header))))),
            static_cast<const spa_pod *>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
                SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
                SPA_PARAM_META_size, SPA_POD_CHOICE_RANGE_Int(int32_t(opt.cursorMetaLimit), cursorMin,
                                                              int32_t(opt.cursorMetaLimit)))),
            static_cast<const spa_pod *>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
                SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoCrop),
                SPA_PARAM_META_size, SPA_POD_Int(int32_t(sizeof(spa_meta_region))))),
        };
        pw_stream_update_params(stream, params, 4);
    }

    void process()
    {
        while (pw_buffer *b = pw_stream_dequeue_buffer(stream)) {
            buffers.append(view(b->buffer));
            pw_stream_queue_buffer(stream, b);
        }
    }

    BufferView view(spa_buffer *buf) const
    {
        BufferView v;
        const spa_data &d = buf->datas[0];
        v.type = d.type;
        v.maxsize = d.maxsize;
        v.offset = d.chunk->offset;
        v.size = d.chunk->size;
        v.stride = d.chunk->stride;
        v.chunkFlags = d.chunk->flags;
        if (auto *h = static_cast<spa_meta_header *>(spa_buffer_find_meta_data(buf, SPA_META_Header, sizeof(spa_meta_header)))) {
            v.header = true;
            v.headerFlags = h->flags;
            v.seq = h->seq;
        }
        if (auto *r = static_cast<spa_meta_region *>(spa_buffer_find_meta_data(buf, SPA_META_VideoCrop, sizeof(spa_meta_region)))) {
            v.crop = true;
            v.cropRegion = r->region;
        }
        if (spa_meta *m = spa_buffer_find_meta(buf, SPA_META_Cursor); m && m->size >= sizeof(spa_meta_cursor)) {
            auto *c = static_cast<spa_meta_cursor *>(m->data);
            v.cursor = true;
            v.cursorMetaSize = m->size;
            v.cursorId = c->id;
            v.cursorPosition = c->position;
            v.bitmapOffset = c->bitmap_offset;
            if (c->bitmap_offset >= sizeof(spa_meta_cursor) &&
                uint64_t(c->bitmap_offset) + sizeof(spa_meta_bitmap) <= m->size) {
                v.bitmapInMeta = true;
                v.bitmap = *SPA_PTROFF(c, c->bitmap_offset, spa_meta_bitmap);
                v.bitmapPixelsInMeta = v.bitmap.stride >= 0 &&
                                       uint64_t(c->bitmap_offset) + v.bitmap.offset +
                                               uint64_t(v.bitmap.stride) * v.bitmap.size.height <= m->size;
            }
        }
        // Pixels only from a frame whose rows all lie inside the chunk and the chunk inside the
        // buffer.
        if (!formats.isEmpty() && d.data) {
            const spa_video_info_raw &f = formats.last();
            const uint64_t w = f.size.width, h = f.size.height;
            if (h > 0 && v.stride >= int64_t(w * 4) && uint64_t(v.offset) + v.size <= v.maxsize &&
                uint64_t(v.stride) * (h - 1) + w * 4 <= v.size) {
                const auto *base = static_cast<const uint8_t *>(d.data) + v.offset;
                for (const QPoint &p : samplePoints) {
                    if (uint64_t(p.x()) >= w || uint64_t(p.y()) >= h)
                        continue;
                    const uint8_t *px = base + uint64_t(p.y()) * uint64_t(v.stride) + uint64_t(p.x()) * 4;
                    v.samples[{p.x(), p.y()}] = {px[0], px[1], px[2], px[3]};
                }
            }
        }
        return v;
    }
};

// What the pattern puts at (x, y): red, green and blue as the producer's documentation gives them.
std::array<uint8_t, 3> patternRgb(int x, int y)
{
    return {uint8_t(x & 255), uint8_t(y & 255), uint8_t(((x >> 8) & 15) | (((y >> 8) & 15) << 4))};
}

// A named value of a buffer as the rows of `buffers` check it.
qint64 field(const BufferView &v, const QString &name)
{
    static const QHash<QString, std::function<qint64(const BufferView &)>> fields = {
        {"type", [](const BufferView &v) { return qint64(v.type); }},
        {"offset", [](const BufferView &v) { return qint64(v.offset); }},
        {"size", [](const BufferView &v) { return qint64(v.size); }},
        {"stride", [](const BufferView &v) { return qint64(v.stride); }},
        {"chunkFlags", [](const BufferView &v) { return qint64(v.chunkFlags); }},
        {"maxsize", [](const BufferView &v) { return qint64(v.maxsize); }},
        {"offsetPastBuffer", [](const BufferView &v) { return qint64(v.offset > v.maxsize); }},
        {"sizePastBuffer", [](const BufferView &v) { return qint64(uint64_t(v.offset) + v.size > v.maxsize); }},
        {"header", [](const BufferView &v) { return qint64(v.header); }},
        {"headerFlags", [](const BufferView &v) { return qint64(v.headerFlags); }},
        {"seq", [](const BufferView &v) { return qint64(v.seq); }},
        {"crop", [](const BufferView &v) { return qint64(v.crop); }},
        {"cropX", [](const BufferView &v) { return qint64(v.cropRegion.position.x); }},
        {"cropY", [](const BufferView &v) { return qint64(v.cropRegion.position.y); }},
        {"cropW", [](const BufferView &v) { return qint64(v.cropRegion.size.width); }},
        {"cropH", [](const BufferView &v) { return qint64(v.cropRegion.size.height); }},
        {"cursor", [](const BufferView &v) { return qint64(v.cursor); }},
        {"cursorMetaSize", [](const BufferView &v) { return qint64(v.cursorMetaSize); }},
        {"cursorId", [](const BufferView &v) { return qint64(v.cursorId); }},
        {"cursorX", [](const BufferView &v) { return qint64(v.cursorPosition.x); }},
        {"cursorY", [](const BufferView &v) { return qint64(v.cursorPosition.y); }},
        {"bitmapInMeta", [](const BufferView &v) { return qint64(v.bitmapInMeta); }},
        {"bitmapPixelsInMeta", [](const BufferView &v) { return qint64(v.bitmapPixelsInMeta); }},
        {"bitmapFormat", [](const BufferView &v) { return qint64(v.bitmap.format); }},
        {"bitmapOffset", [](const BufferView &v) { return qint64(v.bitmapOffset); }},
        {"pixels", [](const BufferView &v) { return qint64(v.samples.size()); }},
    };
    if (!fields.contains(name)) {
        qWarning("no field %s", qPrintable(name));
        return -999999;
    }
    return fields.value(name)(v);
}

QString senderElement()
{
    QString s = QDBusConnection::sessionBus().baseService();
    return s.mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));
}

QString signatureOf(const QVariant &v)
{
    if (v.metaType() == QMetaType::fromType<QDBusArgument>())
        return v.value<QDBusArgument>().currentSignature();
    if (v.metaType() == QMetaType::fromType<QDBusObjectPath>())
        return QStringLiteral("o");
    const char *sig = QDBusMetaType::typeToSignature(v.metaType());
    return sig ? QString::fromLatin1(sig) : QStringLiteral("?");
}

// One entry of Start's "streams".
struct StreamEntry
{
    uint node = 0;
    QVariantMap properties;
};

QList<StreamEntry> streamsOf(const QVariant &v)
{
    QList<StreamEntry> list;
    const QDBusArgument arg = v.value<QDBusArgument>();
    arg.beginArray();
    while (!arg.atEnd()) {
        StreamEntry e;
        arg.beginStructure();
        arg >> e.node >> e.properties;
        arg.endStructure();
        list.append(e);
    }
    arg.endArray();
    return list;
}

QPoint pairOf(const QVariant &v)
{
    const QDBusArgument arg = v.value<QDBusArgument>();
    int a = 0, b = 0;
    arg.beginStructure();
    arg >> a >> b;
    arg.endStructure();
    return {a, b};
}

} // namespace

// A client of the portal that, as the portal asks, listens for Responses before it calls.
class PortalClient : public QObject
{
    Q_OBJECT
public:
    struct Answer
    {
        QString error;        // a D-Bus error reply instead of a Request
        QString errorMessage;
        QString handle;       // the Request's path
        bool responded = false;
        // Whether the Response was handed over before the call's reply. Not checked: QtDBus may
        // hand a signal over before the reply of a call that came first on the wire (seen here
        // under load), so it tells nothing of the order the portal sent them in.
        bool beforeReply = false;
        uint code = 0;
        QVariantMap results;
        QDBusMessage reply;
    };

    PortalClient()
    {
        bus.connect(QString(), QString(), QStringLiteral("org.freedesktop.portal.Request"),
                    QStringLiteral("Response"), this, SLOT(onSignal(QDBusMessage)));
        bus.connect(QString(), QString(), QStringLiteral("org.freedesktop.portal.Session"),
                    QStringLiteral("Closed"), this, SLOT(onSignal(QDBusMessage)));
    }

    QDBusMessage call(const QString &method, const QList<QVariant> &args)
    {
        QDBusMessage m = QDBusMessage::createMethodCall(portalService, desktopPath, screenCastIface, method);
        m.setArguments(args);
        return bus.call(m, QDBus::Block, 5000);
    }

    // A call answered by a Request: its reply, then its Response within `ms`. The reply and
    // the signals come through Qt's event queue in the order they came on the bus, so a Response
    // sent before the reply would be seen before it.
    Answer request(const QString &method, const QList<QVariant> &args, int ms = 5000)
    {
        Answer a;
        QDBusMessage m = QDBusMessage::createMethodCall(portalService, desktopPath, screenCastIface, method);
        m.setArguments(args);
        QDBusPendingCallWatcher watcher(bus.asyncCall(m, 5000));
        qsizetype seenAtReply = -1;
        QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, [&] { seenAtReply = received.size(); });
        QElapsedTimer t;
        t.start();
        while (seenAtReply < 0 && t.elapsed() < 6000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        a.reply = watcher.reply();
        if (a.reply.type() == QDBusMessage::ErrorMessage) {
            a.error = a.reply.errorName();
            a.errorMessage = a.reply.errorMessage();
            return a;
        }
        a.handle = a.reply.arguments().value(0).value<QDBusObjectPath>().path();
        while (t.elapsed() < ms) {
            for (qsizetype i = 0; i < received.size(); ++i) {
                const QDBusMessage &s = received[i];
                if (s.member() == QLatin1String("Response") && s.path() == a.handle) {
                    a.responded = true;
                    a.beforeReply = i < seenAtReply;
                    a.code = s.arguments().value(0).toUInt();
                    a.results = qdbus_cast<QVariantMap>(s.arguments().value(1));
                    return a;
                }
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(5);
        }
        return a;
    }

    bool closedWithin(const QString &session, int ms)
    {
        QElapsedTimer t;
        t.start();
        do {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            for (const QDBusMessage &s : std::as_const(received))
                if (s.member() == QLatin1String("Closed") && s.path() == session)
                    return true;
            QThread::msleep(5);
        } while (t.elapsed() < ms);
        return false;
    }

    QString token(const char *what) { return QStringLiteral("%1_%2").arg(QLatin1String(what)).arg(++serial); }

    QDBusConnection bus = QDBusConnection::sessionBus();
    QList<QDBusMessage> received;
    int serial = 0;

public slots:
    void onSignal(const QDBusMessage &m) { received.append(m); }
};

class TestStandIns : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void portalProperties_data();
    void portalProperties();
    void portalSession();
    void portalAnswers_data();
    void portalAnswers();
    void producerBuffers_data();
    void producerBuffers();
    void producerPattern_data();
    void producerPattern();
    void producerNegotiation();
    void producerResize();
    void producerGoesAway();
    void producerCursorCommand();
};

void TestStandIns::initTestCase()
{
    QVERIFY2(!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") &&
                 QFile::exists(qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/pipewire-0")),
             "run under tests/wayland/standins/with-pipewire.sh");
    QVERIFY(QDBusConnection::sessionBus().isConnected());
    pw_init(nullptr, nullptr);
}

void TestStandIns::portalProperties_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<uint>("version");
    QTest::addColumn<uint>("sourceTypes");
    QTest::addColumn<int>("cursorModes"); // -1: no such property

    QTest::newRow("as GNOME's") << QStringList() << 4u << 3u << 7;
    QTest::newRow("as sway's: no metadata mode") << QStringList{"--cursor-modes", "3"} << 4u << 3u << 3;
    QTest::newRow("monitors only, version 3") << QStringList{"--source-types", "1", "--version", "3"} << 3u << 1u << 7;
    QTest::newRow("version 1: no cursor modes yet") << QStringList{"--version", "1"} << 1u << 3u << -1;
}

void TestStandIns::portalProperties()
{
    QFETCH(QStringList, args);
    QFETCH(uint, version);
    QFETCH(uint, sourceTypes);
    QFETCH(int, cursorModes);
    QDBusConnection bus = QDBusConnection::sessionBus();
    auto get = [&](const QString &name) {
        QDBusMessage m = QDBusMessage::createMethodCall(portalService, desktopPath,
                                                        QStringLiteral("org.freedesktop.DBus.Properties"),
                                                        QStringLiteral("Get"));
        m << screenCastIface << name;
        return bus.call(m);
    };
    {
        Portal portal;
        QVERIFY(portal.start(args));
        const QList<std::pair<QString, int>> expected = {{"version", int(version)},
                                                         {"AvailableSourceTypes", int(sourceTypes)},
                                                         {"AvailableCursorModes", cursorModes}};
        for (const auto &[name, value] : expected) {
            const QDBusMessage r = get(name);
            if (value < 0) {
                QCOMPARE(r.errorName(), QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"));
                continue;
            }
            QVERIFY2(r.type() == QDBusMessage::ReplyMessage, qPrintable(r.errorMessage()));
            QCOMPARE(r.signature(), QStringLiteral("v"));
            const QVariant v = r.arguments().value(0).value<QDBusVariant>().variant();
            QCOMPARE(v.metaType(), QMetaType::fromType<uint>()); // D-Bus type u
            QCOMPARE(v.toUInt(), uint(value));
        }
    }

    // Without the interface: the object answers, the interface is not there.
    Portal bare;
    QVERIFY(bare.start({"--no-screencast"}));
    QCOMPARE(get(QStringLiteral("version")).errorName(), QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"));
    QDBusMessage introspect = QDBusMessage::createMethodCall(
        portalService, desktopPath, QStringLiteral("org.freedesktop.DBus.Introspectable"), QStringLiteral("Introspect"));
    const QString xml = bus.call(introspect).arguments().value(0).toString();
    QVERIFY(xml.contains(QStringLiteral("org.freedesktop.DBus.Properties")));
    QVERIFY(!xml.contains(screenCastIface));
    PortalClient client;
    QCOMPARE(client.call(QStringLiteral("CreateSession"), {QVariantMap()}).errorName(),
             QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"));
}

// The whole way as the program goes it: session, sources, start, the PipeWire remote, and a
// stream through that remote from the node Start named; the log says what was asked.
void TestStandIns::portalSession()
{
    Producer producer;
    QVERIFY(producer.start({}));
    QTemporaryDir dir;
    const QString logFile = dir.filePath(QStringLiteral("portal.log"));
    Portal portal;
    QVERIFY(portal.start({"--log", logFile, "--stream", QStringLiteral("%1:0,0,1280x800").arg(producer.node),
                          "--stream", "77:1280,-80,1920x1080"}));
    PortalClient client;
    const QString requests = desktopPath + QStringLiteral("/request/") + senderElement() + QLatin1Char('/');
    const QString session = desktopPath + QStringLiteral("/session/") + senderElement() + QStringLiteral("/vz_s");

    auto created = client.request(QStringLiteral("CreateSession"),
                                  {QVariantMap{{"handle_token", "vz_c"}, {"session_handle_token", "vz_s"}}});
    QCOMPARE(created.handle, requests + QStringLiteral("vz_c"));
    QVERIFY(created.responded);
    QCOMPARE(created.code, 0u);
    // As xdg-desktop-portal sends it: a string, although documented as an object path.
    QCOMPARE(signatureOf(created.results.value("session_handle")), QStringLiteral("s"));
    QCOMPARE(created.results.value("session_handle").toString(), session);

    auto selected = client.request(
        QStringLiteral("SelectSources"),
        {QVariant::fromValue(QDBusObjectPath(session)),
         QVariantMap{{"handle_token", "vz_sel"}, {"types", 1u}, {"multiple", true}, {"cursor_mode", 4u},
                     {"persist_mode", 2u}}});
    QCOMPARE(selected.handle, requests + QStringLiteral("vz_sel"));
    QVERIFY(selected.responded);
    QCOMPARE(selected.code, 0u);

    auto started = client.request(QStringLiteral("Start"),
                                  {QVariant::fromValue(QDBusObjectPath(session)), QString(),
                                   QVariantMap{{"handle_token", "vz_st"}}});
    QVERIFY(started.responded);
    QCOMPARE(started.code, 0u);
    QCOMPARE(signatureOf(started.results.value("streams")), QStringLiteral("a(ua{sv})"));
    const QList<StreamEntry> streams = streamsOf(started.results.value("streams"));
    QCOMPARE(streams.size(), 2);
    QCOMPARE(streams[0].node, producer.node);
    QCOMPARE(signatureOf(streams[0].properties.value("position")), QStringLiteral("(ii)"));
    QCOMPARE(pairOf(streams[0].properties.value("position")), QPoint(0, 0));
    QCOMPARE(pairOf(streams[0].properties.value("size")), QPoint(1280, 800));
    QCOMPARE(streams[1].node, 77u);
    QCOMPARE(pairOf(streams[1].properties.value("position")), QPoint(1280, -80));
    QCOMPARE(pairOf(streams[1].properties.value("size")), QPoint(1920, 1080));
    const QString token = started.results.value("restore_token").toString();
    QVERIFY2(!QUuid::fromString(token).isNull(), qPrintable(token));

    const QDBusMessage remote = client.call(QStringLiteral("OpenPipeWireRemote"),
                                            {QVariant::fromValue(QDBusObjectPath(session)), QVariantMap()});
    QVERIFY2(remote.type() == QDBusMessage::ReplyMessage, qPrintable(remote.errorMessage()));
    QCOMPARE(remote.signature(), QStringLiteral("h"));
    const int fd = dup(remote.arguments().value(0).value<QDBusUnixFileDescriptor>().fileDescriptor());
    QVERIFY(fd >= 0);
    Consumer consumer(producer.node, Consumer::Options{mutterCursorMeta, fd});
    QVERIFY(consumer.connected());
    QVERIFY(consumer.waitFor([&] { return !consumer.buffers.isEmpty(); }));

    QDBusMessage close = QDBusMessage::createMethodCall(portalService, session,
                                                        QStringLiteral("org.freedesktop.portal.Session"),
                                                        QStringLiteral("Close"));
    QCOMPARE(client.bus.call(close).type(), QDBusMessage::ReplyMessage);
    QVERIFY(!client.closedWithin(session, 300)); // the one who closes it is not told

    // The next session passes the token back.
    auto again = client.request(QStringLiteral("CreateSession"),
                                {QVariantMap{{"handle_token", "vz_c2"}, {"session_handle_token", "vz_s2"}}});
    QCOMPARE(again.code, 0u);
    const QString session2 = again.results.value("session_handle").toString();
    auto reselected = client.request(QStringLiteral("SelectSources"),
                                     {QVariant::fromValue(QDBusObjectPath(session2)),
                                      QVariantMap{{"handle_token", "vz_sel2"}, {"restore_token", token},
                                                  {"persist_mode", 2u}}});
    QCOMPARE(reselected.code, 0u);

    QFile log(logFile);
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    const QStringList expected = {
        "CreateSession handle_token=vz_c session_handle_token=vz_s",
        "emit Response CreateSession " + requests + "vz_c 0",
        "SelectSources session=" + session + " cursor_mode=4 handle_token=vz_sel multiple=true persist_mode=2 types=1",
        "emit Response SelectSources " + requests + "vz_sel 0",
        "Start session=" + session + " parent_window= handle_token=vz_st",
        "emit Response Start " + requests + "vz_st 0",
        "OpenPipeWireRemote session=" + session,
        "Session.Close session=" + session,
        "CreateSession handle_token=vz_c2 session_handle_token=vz_s2",
        "emit Response CreateSession " + requests + "vz_c2 0",
        "SelectSources session=" + session2 + " handle_token=vz_sel2 persist_mode=2 restore_token=" + token,
        "emit Response SelectSources " + requests + "vz_sel2 0",
    };
    QCOMPARE(lines, expected);
}

// Each way the portal can answer differently, step by step: CreateSession, SelectSources
// (monitors, several, cursor as metadata, persistent), Start.
void TestStandIns::portalAnswers_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QVariantMap>("selectOptions"); // besides the defaults
    QTest::addColumn<QString>("step");     // where it ends: create, select, start; "" when it goes through
    QTest::addColumn<QString>("outcome");  // the Response's code, an error's name, or "silent"
    QTest::addColumn<bool>("closed");      // Session.Closed comes
    QTest::addColumn<QString>("streams");  // the signature of Start's streams; "" for none
    QTest::addColumn<int>("streamCount");
    QTest::addColumn<QString>("position"); // the first stream's position's signature
    QTest::addColumn<QString>("token");    // "uuid", "" for none, or the token itself
    QTest::addColumn<QString>("handle");   // the signature of CreateSession's session_handle

    const QString ok = "0", invalid = "org.freedesktop.portal.Error.InvalidArgument", none, pos = "(ii)",
                  uuid = "uuid", str = "s", path = "o", cancel = "1", other = "2", silent = "silent",
                  create = "create", select = "select", start = "start", mistyped = "a(sa{sv})",
                  ownToken = "6f1c1e2a-8a4b-4c55-9a8e-2d3b4c5d6e7f";
    const QString streams = "a(ua{sv})";
    QTest::newRow("granted") << QStringList() << QVariantMap() << none << ok << false << streams << 1 << pos << uuid << str;
    QTest::newRow("cancelled at create") << QStringList{"--cancel-at", "create"} << QVariantMap() << create << cancel << false << none << 0 << none << none << str;
    QTest::newRow("cancelled at select") << QStringList{"--cancel-at", "select"} << QVariantMap() << select << cancel << true << none << 0 << none << none << str;
    QTest::newRow("cancelled at start") << QStringList{"--cancel-at", "start"} << QVariantMap() << start << cancel << true << none << 0 << none << none << str;
    QTest::newRow("failed at create") << QStringList{"--fail-at", "create"} << QVariantMap() << create << other << false << none << 0 << none << none << str;
    QTest::newRow("failed at start") << QStringList{"--fail-at", "start"} << QVariantMap() << start << other << true << none << 0 << none << none << str;
    QTest::newRow("no metadata mode (sway)") << QStringList{"--cursor-modes", "3"} << QVariantMap() << select << invalid << false << none << 0 << none << none << str;
    QTest::newRow("damaged restore token") << QStringList() << QVariantMap{{"restore_token", "../vzln"}} << select << invalid << false << none << 0 << none << none << str;
    QTest::newRow("no answer at all") << QStringList{"--no-response"} << QVariantMap() << create << silent << false << none << 0 << none << none << str;
    QTest::newRow("no answer to start") << QStringList{"--no-response-at", "start"} << QVariantMap() << start << silent << false << none << 0 << none << none << str;
    QTest::newRow("start without streams") << QStringList{"--streams", "none"} << QVariantMap() << none << ok << false << none << 0 << none << uuid << str;
    QTest::newRow("streams of the wrong type") << QStringList{"--streams", "wrongtype"} << QVariantMap() << none << ok << false << mistyped << 1 << none << uuid << str;
    QTest::newRow("stream properties of the wrong type") << QStringList{"--streams", "wrongprops"} << QVariantMap() << none << ok << false << streams << 1 << str << uuid << str;
    QTest::newRow("three streams") << QStringList{"--streams", "3"} << QVariantMap() << none << ok << false << streams << 3 << pos << uuid << str;
    QTest::newRow("closed by the desktop") << QStringList{"--close-after", "100"} << QVariantMap() << none << ok << true << streams << 1 << pos << uuid << str;
    QTest::newRow("version 3: no persistence") << QStringList{"--version", "3"} << QVariantMap() << none << ok << false << streams << 1 << pos << none << str;
    QTest::newRow("a token of its own") << QStringList{"--restore-token", "6f1c1e2a-8a4b-4c55-9a8e-2d3b4c5d6e7f"} << QVariantMap() << none << ok << false << streams << 1 << pos << ownToken << str;
    QTest::newRow("no token") << QStringList{"--no-restore-token"} << QVariantMap() << none << ok << false << streams << 1 << pos << none << str;
    QTest::newRow("session handle as a path") << QStringList{"--session-handle-type", "o"} << QVariantMap() << none << ok << false << streams << 1 << pos << uuid << path;
}

void TestStandIns::portalAnswers()
{
    QFETCH(QStringList, args);
    QFETCH(QVariantMap, selectOptions);
    QFETCH(QString, step);
    QFETCH(QString, outcome);
    QFETCH(bool, closed);
    QFETCH(QString, streams);
    QFETCH(int, streamCount);
    QFETCH(QString, position);
    QFETCH(QString, token);
    QFETCH(QString, handle);
    Portal portal;
    QVERIFY(portal.start(args));
    PortalClient client;
    const int wait = outcome == QLatin1String("silent") ? 1000 : 5000;
    // Checks one step's answer against the row: true when the flow goes on.
    auto expect = [&](const char *name, const PortalClient::Answer &a) {
        if (step != QLatin1String(name)) {
            if (!a.error.isEmpty() || !a.responded || a.code != 0)
                qWarning("%s: error '%s' (%s), responded %d, code %u", name, qPrintable(a.error),
                         qPrintable(a.errorMessage), a.responded, a.code);
            return a.error.isEmpty() && a.responded && a.code == 0;
        }
        if (outcome == QLatin1String("silent"))
            return a.error.isEmpty() && !a.handle.isEmpty() && !a.responded;
        if (outcome.startsWith(QLatin1String("org.")))
            return a.error == outcome;
        return a.responded && a.code == outcome.toUInt();
    };
    const QString sessionToken = client.token("s");
    auto created = client.request("CreateSession",
                                  {QVariantMap{{"handle_token", client.token("c")}, {"session_handle_token", sessionToken}}},
                                  wait);
    QVERIFY(expect("create", created));
    if (step == QLatin1String("create"))
        return;
    QCOMPARE(signatureOf(created.results.value("session_handle")), handle);
    const QString session = handle == QLatin1String("o")
                                ? created.results.value("session_handle").value<QDBusObjectPath>().path()
                                : created.results.value("session_handle").toString();
    QVariantMap options{{"handle_token", client.token("sel")}, {"types", 1u}, {"multiple", true},
                        {"cursor_mode", 4u}, {"persist_mode", 2u}};
    options.insert(selectOptions);
    QVERIFY(expect("select", client.request("SelectSources", {QVariant::fromValue(QDBusObjectPath(session)), options}, wait)));
    if (step == QLatin1String("select")) {
        QCOMPARE(client.closedWithin(session, closed ? 5000 : 300), closed);
        return;
    }
    auto started = client.request("Start", {QVariant::fromValue(QDBusObjectPath(session)), QString(),
                                            QVariantMap{{"handle_token", client.token("st")}}}, wait);
    QVERIFY(expect("start", started));
    if (step == QLatin1String("start")) {
        QCOMPARE(client.closedWithin(session, closed ? 5000 : 300), closed);
        return;
    }
    QCOMPARE(started.results.contains("streams"), !streams.isEmpty());
    if (!streams.isEmpty()) {
        QCOMPARE(signatureOf(started.results.value("streams")), streams);
        const QDBusArgument arg = started.results.value("streams").value<QDBusArgument>();
        int count = 0;
        QString firstPosition;
        arg.beginArray();
        while (!arg.atEnd()) {
            arg.beginStructure();
            arg.asVariant(); // the node id, of whatever type it has
            QVariantMap properties;
            arg >> properties;
            arg.endStructure();
            if (count++ == 0 && properties.contains("position"))
                firstPosition = signatureOf(properties.value("position"));
        }
        arg.endArray();
        QCOMPARE(count, streamCount);
        QCOMPARE(firstPosition, position);
    }
    const QString got = started.results.value("restore_token").toString();
    if (token == QLatin1String("uuid"))
        QVERIFY2(!QUuid::fromString(got).isNull(), qPrintable(got));
    else
        QCOMPARE(got, token);
    QCOMPARE(client.closedWithin(session, closed ? 5000 : 300), closed);
}

// The first buffer a consumer gets, with the fault of each row: the fields named, as the row
// gives them. The frame is 1280x800 BGRx unless a row says otherwise.
void TestStandIns::producerBuffers_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("expected"); // NAME=VALUE ...

    const int frame = 1280 * 800 * 4, stride = 1280 * 4;
    const QString meta = QString::number(mutterCursorMeta);
    QTest::newRow("as mutter: own memfd")
        << QStringList{"--bitmap", "every"} << QStringLiteral("type=%1 offset=0 size=%2 stride=%3 maxsize=%2 chunkFlags=0 "
                                           "header=1 headerFlags=0 crop=1 cropX=0 cropY=0 cropW=1280 cropH=800 "
                                           "cursor=1 cursorMetaSize=%4 cursorId=1 cursorX=100 cursorY=100 "
                                           "bitmapInMeta=1 bitmapPixelsInMeta=1 bitmapFormat=%5 pixels=6")
                                .arg(SPA_DATA_MemFd).arg(frame).arg(stride).arg(meta).arg(SPA_VIDEO_FORMAT_RGBA);
    QTest::newRow("PipeWire's memory") << QStringList{"--memptr"}
                                       << QStringLiteral("type=%1 size=%2 stride=%3 pixels=6").arg(SPA_DATA_MemPtr).arg(frame).arg(stride);
    QTest::newRow("another size") << QStringList{"--size", "640x360"}
                                  << QStringLiteral("size=%1 stride=%2 cropW=640 cropH=360").arg(640 * 360 * 4).arg(640 * 4);
    QTest::newRow("stride too small") << QStringList{"--stride-short", "8"} << QStringLiteral("stride=%1 size=%2").arg(stride - 8).arg(frame);
    QTest::newRow("stride past the rows") << QStringList{"--stride-long", "64"} << QStringLiteral("stride=%1 pixels=0").arg(stride + 64);
    QTest::newRow("negative stride") << QStringList{"--negative-stride"} << QStringLiteral("stride=%1 pixels=0").arg(-stride);
    QTest::newRow("offset past the buffer") << QStringList{"--offset-past"} << QStringLiteral("offsetPastBuffer=1 pixels=0");
    QTest::newRow("size past the buffer") << QStringList{"--size-past"} << QStringLiteral("offset=0 sizePastBuffer=1 pixels=0");
    QTest::newRow("size past, PipeWire's memory") << QStringList{"--size-past", "--memptr"} << QStringLiteral("type=%1 sizePastBuffer=1").arg(SPA_DATA_MemPtr);
    QTest::newRow("size zero") << QStringList{"--size-zero"} << QStringLiteral("size=0 chunkFlags=0 pixels=0");
    QTest::newRow("size huge") << QStringList{"--size-huge"} << QStringLiteral("size=%1 pixels=0").arg(0xffffffffu);
    QTest::newRow("buffer smaller than the frame") << QStringList{"--alloc-small"} << QStringLiteral("maxsize=%1 size=%1 stride=%2 pixels=0").arg(frame / 2).arg(stride);
    QTest::newRow("smaller, PipeWire's memory") << QStringList{"--alloc-small", "--memptr"} << QStringLiteral("type=%1 maxsize=%2 pixels=0").arg(SPA_DATA_MemPtr).arg(frame / 2);
    QTest::newRow("crop inside") << QStringList{"--crop", "10,20,300x200"} << QStringLiteral("cropX=10 cropY=20 cropW=300 cropH=200");
    QTest::newRow("crop outside") << QStringList{"--crop", "-50,700,5000x4000"} << QStringLiteral("cropX=-50 cropY=700 cropW=5000 cropH=4000");
    QTest::newRow("cursor") << QStringList{"--cursor", "640,400"} << QStringLiteral("cursorId=1 cursorX=640 cursorY=400");
    QTest::newRow("cursor off the frame") << QStringList{"--cursor", "-20,5000"} << QStringLiteral("cursorX=-20 cursorY=5000");
    QTest::newRow("cursor at the ends of int") << QStringList{"--cursor", "2147483647,-2147483648"} << QStringLiteral("cursorX=2147483647 cursorY=-2147483648");
    QTest::newRow("cursor id 0") << QStringList{"--cursor-id", "0"} << QStringLiteral("cursorId=0");
    QTest::newRow("pointer on no monitor") << QStringList{"--no-cursor"} << QStringLiteral("cursor=1 cursorId=0");
    QTest::newRow("cursor only") << QStringList{"--cursor-only", "--cursor", "5,6"} << QStringLiteral("size=0 chunkFlags=%1 cursorId=1 cursorX=5 cursorY=6 pixels=0").arg(SPA_CHUNK_FLAG_CORRUPTED);
    QTest::newRow("no bitmap") << QStringList{"--bitmap", "never"} << QStringLiteral("cursorId=1 bitmapOffset=0");
    QTest::newRow("bitmap offset past the metadata") << QStringList{"--bitmap-offset-bad"} << QStringLiteral("cursorId=1 bitmapInMeta=0");
    QTest::newRow("bitmap larger than the metadata") << QStringList{"--bitmap-size-bad", "--bitmap", "every"} << QStringLiteral("bitmapInMeta=1 bitmapPixelsInMeta=0");
    QTest::newRow("header corrupted") << QStringList{"--header-corrupted"} << QStringLiteral("headerFlags=%1").arg(SPA_META_HEADER_FLAG_CORRUPTED);
}

void TestStandIns::producerBuffers()
{
    QFETCH(QStringList, args);
    QFETCH(QString, expected);
    Producer producer;
    QVERIFY(producer.start(args));
    Consumer consumer(producer.node, {});
    QVERIFY(consumer.connected());
    QVERIFY(consumer.waitFor([&] { return !consumer.buffers.isEmpty(); }));
    const BufferView &first = consumer.buffers.first();
    for (const QString &pair : expected.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QString name = pair.section(QLatin1Char('='), 0, 0);
        const qint64 value = pair.section(QLatin1Char('='), 1).toLongLong();
        QVERIFY2(field(first, name) == value,
                 qPrintable(QStringLiteral("%1 is %2, not %3").arg(name).arg(field(first, name)).arg(value)));
    }
}

// Every pixel tells where it is, in each byte order on offer, in both kinds of memory; faults
// every second buffer leave the others whole.
void TestStandIns::producerPattern_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("order"); // which byte holds red, green, blue: e.g. "bgr"
    QTest::newRow("BGRx") << QStringList{"--format", "BGRx"} << QStringLiteral("bgr");
    QTest::newRow("BGRA") << QStringList{"--format", "BGRA"} << QStringLiteral("bgr");
    QTest::newRow("RGBx") << QStringList{"--format", "RGBx"} << QStringLiteral("rgb");
    QTest::newRow("RGBA") << QStringList{"--format", "RGBA"} << QStringLiteral("rgb");
    QTest::newRow("RGBx in PipeWire's memory") << QStringList{"--format", "RGBx", "--memptr"} << QStringLiteral("rgb");
    QTest::newRow("every second buffer cursor only") << QStringList{"--cursor-only", "--every", "2"} << QStringLiteral("bgr");
}

void TestStandIns::producerPattern()
{
    QFETCH(QStringList, args);
    QFETCH(QString, order);
    Producer producer;
    QVERIFY(producer.start(args));
    Consumer consumer(producer.node, {});
    QVERIFY(consumer.connected());
    QVERIFY(consumer.waitFor([&] { return consumer.buffers.size() >= 4; }));
    const bool alternate = args.contains(QStringLiteral("--every"));
    for (const BufferView &b : std::as_const(consumer.buffers)) {
        const bool cursorOnly = b.size == 0 && (b.chunkFlags & SPA_CHUNK_FLAG_CORRUPTED);
        if (alternate)
            QCOMPARE(cursorOnly, b.seq % 2 == 0);
        if (cursorOnly)
            continue;
        QCOMPARE(int(b.samples.size()), samplePoints.size());
        for (const auto &[point, px] : b.samples) {
            const auto rgb = patternRgb(point.first, point.second);
            for (int i = 0; i < 3; ++i) {
                const int channel = QStringLiteral("rgb").indexOf(order[i]);
                QVERIFY2(px[i] == rgb[channel], qPrintable(QStringLiteral("(%1,%2) byte %3: %4, not %5")
                                                               .arg(point.first).arg(point.second).arg(i)
                                                               .arg(px[i]).arg(rgb[channel])));
            }
            QCOMPARE(px[3], uint8_t(255));
        }
    }
}

// What the link makes of the producer's offer: a 24-bit format a consumer does not take leaves
// it without a format and without buffers; a consumer whose cursor metadata stops below
// mutter's size gets none; the rate the consumer asks for is the producer's limit.
void TestStandIns::producerNegotiation()
{
    {
        Producer producer;
        QVERIFY(producer.start({"--format", "RGB"}));
        Consumer consumer(producer.node, {});
        QVERIFY(consumer.connected());
        QVERIFY(!consumer.waitFor([&] { return !consumer.formats.isEmpty() || !consumer.buffers.isEmpty(); }, 1500));
        QVERIFY(!consumer.streamed());
    }
    {
        Producer producer;
        QVERIFY(producer.start({}));
        Consumer consumer(producer.node, Consumer::Options{mutterCursorMeta - 1, -1});
        QVERIFY(consumer.waitFor([&] { return !consumer.buffers.isEmpty(); }));
        QVERIFY(!consumer.buffers.first().cursor);
        QVERIFY(consumer.buffers.first().header);
        QVERIFY(!producer.waitLine(QRegularExpression(QStringLiteral("^format 1280x800 BGRx maxfps 20/1$"))).isEmpty());
    }
}

// A mode change: the same stream, a new format, buffers of the new size.
void TestStandIns::producerResize()
{
    Producer producer;
    QVERIFY(producer.start({"--resize-after", "2", "--resize-to", "640x480"}));
    Consumer consumer(producer.node, {});
    QVERIFY(consumer.waitFor([&] {
        return !consumer.buffers.isEmpty() && consumer.buffers.last().size == 640u * 480 * 4;
    }));
    QCOMPARE(consumer.formats.size(), 2);
    QCOMPARE(consumer.formats[0].size.width, 1280u);
    QCOMPARE(consumer.formats[1].size.width, 640u);
    QCOMPARE(consumer.formats[1].size.height, 480u);
    QCOMPARE(consumer.buffers.last().cropRegion.size.width, 640u);
    QCOMPARE(consumer.buffers.last().stride, 640 * 4);
}

// The stream goes away: the producer leaves, the consumer's stream stops streaming.
void TestStandIns::producerGoesAway()
{
    Producer producer;
    QVERIFY(producer.start({"--exit-after", "3"}));
    Consumer consumer(producer.node, {});
    QVERIFY(consumer.waitFor([&] { return consumer.streamed() && consumer.states.last() != PW_STREAM_STATE_STREAMING; }));
    QVERIFY(!consumer.buffers.isEmpty());
    QVERIFY(consumer.buffers.size() <= 3);
    QVERIFY(!producer.waitLine(QRegularExpression(QStringLiteral("^exit$"))).isEmpty());
    QVERIFY(producer.proc.state() == QProcess::NotRunning || producer.proc.waitForFinished(5000));
    QCOMPARE(producer.proc.exitStatus(), QProcess::NormalExit);
    QCOMPARE(producer.proc.exitCode(), 0);
}

// A static screen sends a frame when asked (its first one, sent as the link starts, may be
// lost); each pointer motion then sends a buffer with only the cursor, and nothing else comes.
void TestStandIns::producerCursorCommand()
{
    Producer producer;
    QVERIFY(producer.start({"--rate", "0", "--bitmap", "never"}));
    Consumer consumer(producer.node, {});
    QVERIFY(consumer.waitFor([&] { return consumer.streamed(); }));
    QVERIFY(!producer.waitLine(QRegularExpression(QStringLiteral("^streaming$"))).isEmpty());
    auto last = [&]() -> const BufferView * { return consumer.buffers.isEmpty() ? nullptr : &consumer.buffers.last(); };
    producer.write("frame\n"); // the second buffer sent
    QVERIFY(consumer.waitFor([&] { return last() && last()->seq == 2; }));
    QCOMPARE(last()->size, 1280u * 800 * 4);
    producer.write("cursor 500 -7\n");
    QVERIFY(consumer.waitFor([&] { return last()->seq == 3; }));
    QCOMPARE(last()->size, 0u);
    QCOMPARE(last()->chunkFlags, SPA_CHUNK_FLAG_CORRUPTED);
    QCOMPARE(last()->cursorId, 1u);
    QCOMPARE(last()->cursorPosition.x, 500);
    QCOMPARE(last()->cursorPosition.y, -7);
    consumer.waitFor([] { return false; }, 300);
    QCOMPARE(last()->seq, 3u);
}

QTEST_GUILESS_MAIN(TestStandIns)
#include "tst_standins.moc"
