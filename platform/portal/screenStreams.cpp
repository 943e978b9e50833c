#include "platform/portal/screenStreams.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using portal::BufferFacts;
using portal::FrameView;
using portal::PixelOrder;
using portal::StreamPlace;

// The cursor metadata's size for a bitmap of w x h 32-bit pixels.
constexpr int cursorMetaSize(int w, int h)
{
    return int(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap)) + w * h * 4;
}

// The refresh runs 20 times a second: a frame the compositor copied beyond that would never be
// shown.
constexpr int kMaxFramesPerSecond = 20;

// How long a stream may take to agree on a format with the compositor.
constexpr int kFormatGuardMs = 10000;

bool pixelOrder(std::uint32_t format, PixelOrder &order)
{
    switch (format) {
    case SPA_VIDEO_FORMAT_BGRx: order = PixelOrder::BGRx; return true;
    case SPA_VIDEO_FORMAT_BGRA: order = PixelOrder::BGRA; return true;
    case SPA_VIDEO_FORMAT_RGBx: order = PixelOrder::RGBx; return true;
    case SPA_VIDEO_FORMAT_RGBA: order = PixelOrder::RGBA; return true;
    default: return false;
    }
}

void initPipeWire()
{
    static const bool done = [] {
        pw_init(nullptr, nullptr);
        return true;
    }();
    (void)done;
}

} // namespace

class ScreenStreams::Private
{
public:
    struct StreamState
    {
        Private *owner = nullptr;
        Stream info;
        pw_stream *stream = nullptr;
        spa_hook listener{};
        bool negotiated = false;
        QSize formatSize;
        PixelOrder order = PixelOrder::BGRx;
        pw_buffer *kept = nullptr; // the newest buffer with pixels, held until a newer one comes
        FrameView view;            // what of it may be read
        bool connected = false;
        bool hasCursor = false;
        QPoint cursor;             // the picture's pixels
        std::uint64_t cursorStamp = 0;
        QSize firstPicture;        // the size of the first picture, which the portal's area is of

        QSize picture() const { return view.isNull() ? formatSize : view.size; }

        StreamPlace place() const
        {
            const QSize p = picture();
            QRect area = info.area;
            if (area.size().isEmpty()) {
                area.setSize(p);
            } else if (!firstPicture.isEmpty() && p != firstPicture) {
                // The monitor's mode changed: the portal says nothing of it, and its place on
                // the desktop keeps the scale it had.
                area.setSize(QSize(int(std::int64_t(p.width()) * area.width() / firstPicture.width()),
                                   int(std::int64_t(p.height()) * area.height() / firstPicture.height())));
            }
            return {area, p};
        }
    };

    std::function<void(Failure)> failed_;
    bool failedOnce_ = false;
    // Failures are reported from the event loop through this guard, so that a report can end
    // this object and one that comes after its end is dropped.
    std::unique_ptr<QObject> guard_ = std::make_unique<QObject>();

    pw_loop *loop_ = nullptr;
    bool entered_ = false;
    pw_context *context_ = nullptr;
    pw_core *core_ = nullptr;
    spa_hook coreListener_{};
    pw_registry *registry_ = nullptr;
    spa_hook registryListener_{};
    QTimer formatGuard_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::vector<std::unique_ptr<StreamState>> streams_;
    std::uint64_t stamps_ = 0;
    std::uint64_t frames_ = 0;
    std::uint64_t others_ = 0;

    ~Private()
    {
        notifier_.reset();
        for (auto &s : streams_) {
            if (s->stream) {
                spa_hook_remove(&s->listener);
                pw_stream_destroy(s->stream);
            }
        }
        streams_.clear();
        if (registry_) {
            spa_hook_remove(&registryListener_);
            pw_proxy_destroy(reinterpret_cast<pw_proxy *>(registry_));
        }
        if (core_) {
            spa_hook_remove(&coreListener_);
            pw_core_disconnect(core_);
        }
        if (context_)
            pw_context_destroy(context_);
        if (loop_) {
            if (entered_)
                pw_loop_leave(loop_);
            pw_loop_destroy(loop_);
        }
    }

    void fail(Failure failure)
    {
        if (failedOnce_)
            return;
        failedOnce_ = true;
        // A broken connection would keep the loop's descriptor readable: nothing more is read.
        if (notifier_)
            notifier_->setEnabled(false);
        for (auto &s : streams_) {
            s->view = FrameView();
            s->hasCursor = false;
        }
        QMetaObject::invokeMethod(
            guard_.get(), [callback = failed_, failure] { callback(failure); },
            Qt::QueuedConnection);
    }

    bool open(int fd, const QList<Stream> &streams)
    {
        initPipeWire();
        loop_ = pw_loop_new(nullptr);
        if (!loop_) {
            ::close(fd);
            return false;
        }
        pw_loop_enter(loop_);
        entered_ = true;
        context_ = pw_context_new(loop_, nullptr, 0);
        if (!context_) {
            ::close(fd);
            return false;
        }
        core_ = pw_context_connect_fd(context_, fd, nullptr, 0); // owns the fd from here on
        if (!core_)
            return false;
        static const pw_core_events coreEvents = [] {
            pw_core_events e{};
            e.version = PW_VERSION_CORE_EVENTS;
            e.error = [](void *data, std::uint32_t id, int, int, const char *) {
                if (id == PW_ID_CORE)
                    static_cast<Private *>(data)->fail(Failure::Connection);
            };
            return e;
        }();
        pw_core_add_listener(core_, &coreListener_, &coreEvents, this);

        // A stream whose compositor side goes away only pauses; the node's leaving the graph
        // is what says so.
        registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
        if (registry_) {
            static const pw_registry_events registryEvents = [] {
                pw_registry_events e{};
                e.version = PW_VERSION_REGISTRY_EVENTS;
                e.global_remove = [](void *data, std::uint32_t id) {
                    auto *self = static_cast<Private *>(data);
                    for (const auto &s : self->streams_) {
                        if (s->info.node == id)
                            self->fail(Failure::Stream); // the stream's node went away
                    }
                };
                return e;
            }();
            pw_registry_add_listener(registry_, &registryListener_, &registryEvents, this);
        }

        for (const Stream &info : streams) {
            streams_.push_back(std::make_unique<StreamState>());
            StreamState &state = *streams_.back();
            state.owner = this;
            state.info = info;
            if (!connectStream(state))
                return false;
        }
        // A link that cannot agree on a picture format or on buffers leaves the stream paused
        // with no word at all.
        formatGuard_.setSingleShot(true);
        QObject::connect(&formatGuard_, &QTimer::timeout, guard_.get(), [this] {
            for (const auto &s : streams_) {
                if (!s->negotiated)
                    fail(Failure::Stream); // no picture format was agreed on
            }
        });
        formatGuard_.start(kFormatGuardMs);
        notifier_ = std::make_unique<QSocketNotifier>(pw_loop_get_fd(loop_), QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, guard_.get(), [this] {
            if (pw_loop_iterate(loop_, 0) < 0 && errno != EINTR)
                fail(Failure::Connection);
        });
        return true;
    }

    bool connectStream(StreamState &s)
    {
        pw_properties *props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                 PW_KEY_MEDIA_ROLE, "Screen", nullptr);
        s.stream = pw_stream_new(core_, "Vizzolen", props);
        if (!s.stream)
            return false;
        static const pw_stream_events events = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.state_changed = &Private::stateChanged;
            e.param_changed = &Private::paramChanged;
            e.add_buffer = &Private::addBuffer;
            e.remove_buffer = &Private::removeBuffer;
            e.process = &Private::process;
            return e;
        }();
        pw_stream_add_listener(s.stream, &s.listener, &events, &s);

        std::uint8_t buffer[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        spa_rectangle size = SPA_RECTANGLE(1920, 1080);
        spa_rectangle minSize = SPA_RECTANGLE(1, 1);
        spa_rectangle maxSize = SPA_RECTANGLE(portal::kMaxFrameSide, portal::kMaxFrameSide);
        spa_fraction variable = SPA_FRACTION(0, 1);
        spa_fraction rate = SPA_FRACTION(kMaxFramesPerSecond, 1);
        spa_fraction minRate = SPA_FRACTION(1, 1);
        // Shared memory only: DMA-BUF would need the GPU's layout (modifiers) to be read safely,
        // and a compositor offers shared memory to a client that asks for no modifier.
        const spa_pod *params[] = {static_cast<const spa_pod *>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat,
            SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
            SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
            SPA_FORMAT_VIDEO_format, SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                                                            SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx,
                                                            SPA_VIDEO_FORMAT_RGBA),
            SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size, &minSize, &maxSize),
            SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&variable),
            SPA_FORMAT_VIDEO_maxFramerate, SPA_POD_CHOICE_RANGE_Fraction(&rate, &minRate, &rate)))};
        return pw_stream_connect(s.stream, PW_DIRECTION_INPUT, s.info.node,
                                 pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS
                                                 | PW_STREAM_FLAG_DONT_RECONNECT),
                                 params, 1)
            == 0;
    }

    static void stateChanged(void *data, pw_stream_state, pw_stream_state state, const char *)
    {
        auto &s = *static_cast<StreamState *>(data);
        switch (state) {
        case PW_STREAM_STATE_ERROR:
            s.owner->fail(Failure::Stream);
            break;
        case PW_STREAM_STATE_UNCONNECTED:
            if (s.connected)
                s.owner->fail(Failure::Stream);
            break;
        case PW_STREAM_STATE_PAUSED:
        case PW_STREAM_STATE_STREAMING:
            s.connected = true;
            break;
        default:
            break;
        }
    }

    static void paramChanged(void *data, std::uint32_t id, const spa_pod *param)
    {
        auto &s = *static_cast<StreamState *>(data);
        if (id != SPA_PARAM_Format)
            return;
        s.owner->forget(s);
        s.negotiated = false;
        if (!param)
            return;
        std::uint32_t mediaType = 0, mediaSubtype = 0;
        spa_video_info_raw info{};
        if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video
            || mediaSubtype != SPA_MEDIA_SUBTYPE_raw || spa_format_video_raw_parse(param, &info) < 0
            || !pixelOrder(info.format, s.order) || info.size.width == 0 || info.size.height == 0
            || info.size.width > std::uint32_t(portal::kMaxFrameSide)
            || info.size.height > std::uint32_t(portal::kMaxFrameSide)) {
            s.owner->fail(Failure::Stream); // a picture format that cannot be read
            return;
        }
        s.formatSize = QSize(int(info.size.width), int(info.size.height));
        s.negotiated = true;

        std::uint8_t buffer[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const spa_pod *params[4];
        params[0] = static_cast<const spa_pod *>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers,
            SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(8, 2, 16),
            SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
        params[1] = static_cast<const spa_pod *>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
            SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
            SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
        params[2] = static_cast<const spa_pod *>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
            SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoCrop),
            SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_region))));
        // Whatever size the compositor's cursor metadata has (mutter's holds a 384 x 384
        // bitmap): a range that stops below it gets no cursor at all, and no word of why.
        params[3] = static_cast<const spa_pod *>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
            SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
            SPA_PARAM_META_size, SPA_POD_CHOICE_RANGE_Int(cursorMetaSize(384, 384), cursorMetaSize(1, 1),
                                                          cursorMetaSize(1024, 1024))));
        pw_stream_update_params(s.stream, params, 4);
    }

    // A buffer whose memory is mapped whole: a data block PipeWire mapped for us, and for a
    // file, one that really is as long as its block says (reading past a file's end kills the
    // process). A compositor that shrank a file later would still kill it; seals against that
    // are not asked for, since not every compositor sets them, and a compositor holds the
    // screen anyway.
    static void addBuffer(void *, pw_buffer *buffer)
    {
        buffer->user_data = nullptr;
        spa_buffer *b = buffer->buffer;
        if (!b || b->n_datas < 1 || !b->datas)
            return;
        const spa_data &d = b->datas[0];
        if (!d.data || !d.chunk || (d.type != SPA_DATA_MemFd && d.type != SPA_DATA_MemPtr))
            return;
        if (d.type == SPA_DATA_MemFd) {
            struct stat st;
            if (d.fd < 0 || fstat(int(d.fd), &st) != 0
                || std::uint64_t(st.st_size) < std::uint64_t(d.mapoffset) + d.maxsize)
                return;
        }
        buffer->user_data = buffer; // readable
    }

    static void removeBuffer(void *data, pw_buffer *buffer)
    {
        auto &s = *static_cast<StreamState *>(data);
        if (s.kept == buffer) {
            s.kept = nullptr;
            s.view = FrameView();
        }
    }

    void forget(StreamState &s)
    {
        if (s.kept)
            pw_stream_queue_buffer(s.stream, s.kept);
        s.kept = nullptr;
        s.view = FrameView();
    }

    static BufferFacts facts(const pw_buffer *buffer)
    {
        BufferFacts f;
        const spa_buffer *b = buffer->buffer;
        const spa_data &d = b->datas[0];
        spa_chunk chunk;
        std::memcpy(&chunk, d.chunk, sizeof chunk);
        f.memory = static_cast<const uchar *>(d.data);
        f.mapped = d.maxsize;
        f.offset = chunk.offset;
        f.size = chunk.size;
        f.stride = chunk.stride;
        f.chunkFlags = chunk.flags;
        if (const void *m = spa_buffer_find_meta_data(b, SPA_META_Header, sizeof(spa_meta_header))) {
            spa_meta_header header;
            std::memcpy(&header, m, sizeof header);
            f.corrupted = header.flags & SPA_META_HEADER_FLAG_CORRUPTED;
        }
        if (const void *m = spa_buffer_find_meta_data(b, SPA_META_VideoCrop, sizeof(spa_meta_region))) {
            spa_meta_region crop;
            std::memcpy(&crop, m, sizeof crop);
            f.cropped = true;
            f.cropX = crop.region.position.x;
            f.cropY = crop.region.position.y;
            f.cropWidth = crop.region.size.width;
            f.cropHeight = crop.region.size.height;
        }
        return f;
    }

    void takeCursor(StreamState &s, const spa_buffer *b, const FrameView &picture)
    {
        const void *m = spa_buffer_find_meta_data(b, SPA_META_Cursor, sizeof(spa_meta_cursor));
        if (!m || !s.negotiated)
            return;
        spa_meta_cursor cursor;
        std::memcpy(&cursor, m, sizeof cursor);
        if (cursor.id == 0)
            return; // nothing new
        // The position counts the frame's pixels; one off the picture is none the pointer has.
        const QPoint at = QPoint(cursor.position.x, cursor.position.y) - picture.origin;
        if (!QRect(QPoint(0, 0), picture.isNull() ? s.formatSize : picture.size).contains(at))
            return;
        s.hasCursor = true;
        s.cursor = at;
        s.cursorStamp = ++stamps_;
    }

    static void process(void *data)
    {
        auto &s = *static_cast<StreamState *>(data);
        Private &p = *s.owner;
        while (pw_buffer *buffer = pw_stream_dequeue_buffer(s.stream)) {
            FrameView view;
            if (!p.failedOnce_ && buffer->user_data) {
                if (s.negotiated)
                    view = portal::viewFrame(facts(buffer), s.formatSize, s.order);
                // Counted in the frame of this buffer's picture, or else the last one's.
                p.takeCursor(s, buffer->buffer, view.isNull() ? s.view : view);
            }
            if (view.isNull()) {
                ++p.others_;
                pw_stream_queue_buffer(s.stream, buffer);
                continue;
            }
            ++p.frames_;
            if (s.kept)
                pw_stream_queue_buffer(s.stream, s.kept);
            s.kept = buffer;
            s.view = view;
            if (s.firstPicture.isEmpty())
                s.firstPicture = view.size;
        }
    }
};

std::unique_ptr<ScreenStreams> ScreenStreams::open(int fd, const QList<Stream> &streams,
                                                   std::function<void(Failure)> failed)
{
    if (streams.isEmpty()) {
        ::close(fd);
        return nullptr;
    }
    auto d = std::make_unique<Private>();
    d->failed_ = std::move(failed);
    if (!d->open(fd, streams))
        return nullptr;
    return std::unique_ptr<ScreenStreams>(new ScreenStreams(std::move(d)));
}

ScreenStreams::ScreenStreams(std::unique_ptr<Private> d) : d(std::move(d)) {}

ScreenStreams::~ScreenStreams() = default;

bool ScreenStreams::pointer(QPoint &desktop) const
{
    const Private::StreamState *latest = nullptr;
    for (const auto &s : d->streams_) {
        if (s->hasCursor && (!latest || s->cursorStamp > latest->cursorStamp))
            latest = s.get();
    }
    if (!latest)
        return false;
    desktop = portal::toDesktop(latest->place(), latest->cursor);
    return true;
}

bool ScreenStreams::hasFrame() const
{
    for (const auto &s : d->streams_) {
        if (!s->view.isNull())
            return true;
    }
    return false;
}

bool ScreenStreams::covers(const QRect &rect) const
{
    for (const auto &s : d->streams_) {
        if (s->view.isNull())
            continue;
        const StreamPlace place = s->place();
        // The mapping only grows: the corners' pixels bound all the others'.
        if (place.area.contains(rect) && s->view.valid.contains(portal::toFrame(place, rect.topLeft()))
            && s->view.valid.contains(portal::toFrame(place, rect.bottomRight())))
            return true;
    }
    return false;
}

void ScreenStreams::draw(const QRect &rect, QImage &picture, QPoint at) const
{
    for (const auto &s : d->streams_) {
        if (!s->view.isNull())
            portal::copyFromFrame(s->view, s->place(), rect, picture, at);
    }
}

std::uint64_t ScreenStreams::framesReceived() const
{
    return d->frames_;
}

std::uint64_t ScreenStreams::otherBuffersReceived() const
{
    return d->others_;
}
