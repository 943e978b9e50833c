// A stand-in for the compositor's end of a screen-cast stream: a PipeWire video source that
// offers what mutter offers without a GPU (BGRx at the monitor's size, a variable frame rate up
// to 60, shared-memory buffers, header, cursor and crop metadata) and that can be told to get
// any of it wrong, so that tests can see what a consumer does with a buffer nobody should trust.
// It is a driver and connects to $PIPEWIRE_REMOTE, else $XDG_RUNTIME_DIR/pipewire-0; a session
// manager (WirePlumber) links a consumer that names its node.
//
// Every pixel tells where it is: red = x & 255, green = y & 255,
// blue = ((x >> 8) & 15) | (((y >> 8) & 15) << 4); the fourth byte of a 32-bit pixel is 255.
// Pixels always lie at the true stride (width times bytes per pixel); the faults lie only in
// what the chunk and the metadata say about them, on every buffer or every Nth (--every N, by
// the header's sequence number, which counts from 1).
//
//   --format F         BGRx (default), BGRA, RGBx, RGBA, or RGB (24 bits, which a consumer refuses)
//   --size WxH         the frame (default 1280x800)      --rate FPS   frames a second (default 30,
//                      never more than the consumer's maxFramerate; 0: one frame, then only cursor)
//   --memptr           PipeWire allocates (the consumer sees MemPtr); default: a sealed memfd per
//                      buffer made here, as mutter does (MemFd)
//   --stride-short K / --stride-long K / --negative-stride   the chunk's stride is K bytes less
//                      than a row, K more, or minus a row
//   --offset-past      chunk offset = maxsize + 4096     --size-past  chunk size = maxsize - offset + 4096
//   --size-zero        chunk size 0 (flags 0)            --size-huge  chunk size 0xffffffff
//   --alloc-small      buffers of half a frame (maxsize and chunk size say so; the format does not)
//   --crop X,Y,WxH     the VideoCrop region (default the whole frame)
//   --cursor X,Y       the pointer, in stream pixels (default 100,100)   --cursor-id N  (default 1)
//   --no-cursor        cursor id 0: the pointer is on no monitor of this stream
//   --cursor-only      chunk size 0 with SPA_CHUNK_FLAG_CORRUPTED, cursor metadata only
//   --bitmap first|every|never   a 24x24 RGBA sprite in the cursor metadata (default: first buffer)
//   --bitmap-offset-bad   bitmap_offset 8 bytes before the end of the metadata
//   --bitmap-size-bad     a 384x385 bitmap header in 384x384 worth of metadata
//   --header-corrupted    SPA_META_HEADER_FLAG_CORRUPTED
//   --resize-after N   after N frames offer --resize-to WxH (default 1024x768): a new format
//   --exit-after N     leave after N buffers: the stream goes away
//
// Prints on stdout, one line each: "node N" once the stream is a node of the graph, "format
// WxH NAME maxfps NUM/DENOM" for each format the link settles on, "streaming", "paused",
// "error MESSAGE", and "exit" as the last line when it leaves by --exit-after. Reads lines on
// stdin: "cursor X Y" moves the pointer and sends a buffer with only the cursor, as the
// compositor does for each pointer motion; "frame" sends a frame now. SIGTERM or SIGINT ends it.
//
// A buffer sent before the consumer's side of the link runs can be lost (PipeWire 0.3.65): the
// first frame of a static screen (--rate 0) then never arrives. A test that needs it sends
// "frame" once its consumer streams.

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/buffers.h>
#include <spa/param/param.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// The cursor metadata mutter offers: the cursor, one bitmap header and room for a 384x384 RGBA
// sprite. 28 + 20 + 384 * 384 * 4 = 589,872 bytes.
constexpr uint32_t cursorMetaSize(uint32_t w, uint32_t h)
{
    return sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + w * h * 4;
}
static_assert(cursorMetaSize(384, 384) == 589872, "the cursor metadata mutter offers");

constexpr int bitmapSide = 24;

struct Rect
{
    int x = 0, y = 0, w = 0, h = 0;
};

struct Options
{
    uint32_t format = SPA_VIDEO_FORMAT_BGRx;
    int width = 1280, height = 800;
    int rate = 30;
    bool memPtr = false;
    int every = 1;
    int strideShort = 0, strideLong = 0;
    bool negativeStride = false, offsetPast = false, sizePast = false, sizeZero = false,
         sizeHuge = false, allocSmall = false, cursorOnly = false, bitmapOffsetBad = false,
         bitmapSizeBad = false, headerCorrupted = false, noCursor = false;
    bool haveCrop = false;
    Rect crop;
    int cursorX = 100, cursorY = 100;
    uint32_t cursorId = 1;
    enum { BitmapFirst, BitmapEvery, BitmapNever } bitmap = BitmapFirst;
    int resizeAfter = 0;
    int resizeW = 1024, resizeH = 768;
    int exitAfter = 0;
};

struct Producer
{
    Options opt;
    pw_main_loop *loop = nullptr;
    pw_context *context = nullptr;
    pw_core *core = nullptr;
    spa_hook coreListener{};
    pw_stream *stream = nullptr;
    spa_hook streamListener{};
    spa_source *timer = nullptr;
    spa_source *input = nullptr;
    std::string inputLine;

    // The format the link settled on.
    spa_video_info_raw format{};
    bool haveFormat = false;
    int curW = 0, curH = 0;
    uint32_t bpp = 4;
    int32_t stride = 0;

    bool nodePrinted = false;
    bool streaming = false;
    uint64_t sent = 0;       // buffers queued
    uint64_t frames = 0;     // buffers with pixels queued
    bool bitmapSent = false;
    bool cursorPending = false;
    bool resized = false;
    bool exiting = false;
    bool quiet = false;
};

void say(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    putchar('\n');
    fflush(stdout);
}

[[noreturn]] void usage(const char *why)
{
    fprintf(stderr, "fakeproducer: %s\n", why);
    fprintf(stderr,
            "usage: fakeproducer [--format BGRx|BGRA|RGBx|RGBA|RGB] [--size WxH] [--rate FPS]\n"
            "  [--memptr] [--every N] [--stride-short K] [--stride-long K] [--negative-stride]\n"
            "  [--offset-past] [--size-past] [--size-zero] [--size-huge] [--alloc-small]\n"
            "  [--crop X,Y,WxH] [--cursor X,Y] [--cursor-id N] [--no-cursor] [--cursor-only]\n"
            "  [--bitmap first|every|never] [--bitmap-offset-bad] [--bitmap-size-bad]\n"
            "  [--header-corrupted] [--resize-after N] [--resize-to WxH] [--exit-after N]\n");
    exit(2);
}

long number(const char *s, const char *what)
{
    char *end = nullptr;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (errno || end == s || *end)
        usage((std::string("not a number for ") + what + ": " + s).c_str());
    return v;
}

bool parseSize(const char *s, int &w, int &h)
{
    return sscanf(s, "%dx%d", &w, &h) == 2;
}

Options parseOptions(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char *what) -> const char * {
            if (i + 1 >= argc)
                usage((std::string(what) + " needs a value").c_str());
            return argv[++i];
        };
        if (a == "--format") {
            std::string f = value("--format");
            if (f == "BGRx") o.format = SPA_VIDEO_FORMAT_BGRx;
            else if (f == "BGRA") o.format = SPA_VIDEO_FORMAT_BGRA;
            else if (f == "RGBx") o.format = SPA_VIDEO_FORMAT_RGBx;
            else if (f == "RGBA") o.format = SPA_VIDEO_FORMAT_RGBA;
            else if (f == "RGB") o.format = SPA_VIDEO_FORMAT_RGB;
            else usage(("unknown format " + f).c_str());
        } else if (a == "--size") {
            if (!parseSize(value("--size"), o.width, o.height) || o.width < 1 || o.height < 1)
                usage("--size wants WxH");
        } else if (a == "--rate") {
            o.rate = number(value("--rate"), "--rate");
            if (o.rate < 0 || o.rate > 1000) usage("--rate wants 0 to 1000");
        } else if (a == "--memptr") {
            o.memPtr = true;
        } else if (a == "--every") {
            o.every = number(value("--every"), "--every");
            if (o.every < 1) usage("--every wants 1 or more");
        } else if (a == "--stride-short") {
            o.strideShort = number(value("--stride-short"), "--stride-short");
        } else if (a == "--stride-long") {
            o.strideLong = number(value("--stride-long"), "--stride-long");
        } else if (a == "--negative-stride") {
            o.negativeStride = true;
        } else if (a == "--offset-past") {
            o.offsetPast = true;
        } else if (a == "--size-past") {
            o.sizePast = true;
        } else if (a == "--size-zero") {
            o.sizeZero = true;
        } else if (a == "--size-huge") {
            o.sizeHuge = true;
        } else if (a == "--alloc-small") {
            o.allocSmall = true;
        } else if (a == "--crop") {
            if (sscanf(value("--crop"), "%d,%d,%dx%d", &o.crop.x, &o.crop.y, &o.crop.w,
                       &o.crop.h) != 4)
                usage("--crop wants X,Y,WxH");
            o.haveCrop = true;
        } else if (a == "--cursor") {
            if (sscanf(value("--cursor"), "%d,%d", &o.cursorX, &o.cursorY) != 2)
                usage("--cursor wants X,Y");
        } else if (a == "--cursor-id") {
            o.cursorId = uint32_t(number(value("--cursor-id"), "--cursor-id"));
        } else if (a == "--no-cursor") {
            o.noCursor = true;
        } else if (a == "--cursor-only") {
            o.cursorOnly = true;
        } else if (a == "--bitmap") {
            std::string b = value("--bitmap");
            if (b == "first") o.bitmap = Options::BitmapFirst;
            else if (b == "every") o.bitmap = Options::BitmapEvery;
            else if (b == "never") o.bitmap = Options::BitmapNever;
            else usage("--bitmap wants first, every or never");
        } else if (a == "--bitmap-offset-bad") {
            o.bitmapOffsetBad = true;
        } else if (a == "--bitmap-size-bad") {
            o.bitmapSizeBad = true;
        } else if (a == "--header-corrupted") {
            o.headerCorrupted = true;
        } else if (a == "--resize-after") {
            o.resizeAfter = number(value("--resize-after"), "--resize-after");
        } else if (a == "--resize-to") {
            if (!parseSize(value("--resize-to"), o.resizeW, o.resizeH) || o.resizeW < 1 ||
                o.resizeH < 1)
                usage("--resize-to wants WxH");
        } else if (a == "--exit-after") {
            o.exitAfter = number(value("--exit-after"), "--exit-after");
        } else {
            usage(("unknown option " + a).c_str());
        }
    }
    return o;
}

const char *formatName(uint32_t f)
{
    switch (f) {
    case SPA_VIDEO_FORMAT_BGRx: return "BGRx";
    case SPA_VIDEO_FORMAT_BGRA: return "BGRA";
    case SPA_VIDEO_FORMAT_RGBx: return "RGBx";
    case SPA_VIDEO_FORMAT_RGBA: return "RGBA";
    case SPA_VIDEO_FORMAT_RGB: return "RGB";
    default: return "other";
    }
}

uint32_t bytesPerPixel(uint32_t f)
{
    return f == SPA_VIDEO_FORMAT_RGB ? 3 : 4;
}

// The one format on offer: the given size, no fixed rate, at most 60 frames a second.
const spa_pod *buildEnumFormat(spa_pod_builder *b, const Options &o, int w, int h)
{
    spa_rectangle size = SPA_RECTANGLE(uint32_t(w), uint32_t(h));
    spa_fraction rate = SPA_FRACTION(0, 1);
    spa_fraction maxRate = SPA_FRACTION(60, 1);
    spa_fraction minRate = SPA_FRACTION(1, 1);
    return static_cast<const spa_pod *>(spa_pod_builder_add_object(
        b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat,
        SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
        SPA_FORMAT_VIDEO_format, SPA_POD_Id(o.format),
        SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate),
        SPA_FORMAT_VIDEO_maxFramerate,
        SPA_POD_CHOICE_RANGE_Fraction(&maxRate, &minRate, &maxRate)));
}

uint32_t frameBytes(const Producer &p)
{
    return uint32_t(p.stride) * uint32_t(p.curH);
}

// What the buffers hold: a whole frame, or half of one for --alloc-small.
uint32_t allocBytes(const Producer &p)
{
    uint32_t full = frameBytes(p);
    return p.opt.allocSmall ? full / 2 : full;
}

void armTimer(Producer &p);

void onParamChanged(void *data, uint32_t id, const spa_pod *param)
{
    auto *p = static_cast<Producer *>(data);
    if (id != SPA_PARAM_Format || !param)
        return;
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0) {
        pw_stream_set_error(p->stream, -EINVAL, "unparsable format");
        return;
    }
    p->format = info;
    p->haveFormat = true;
    p->curW = int(info.size.width);
    p->curH = int(info.size.height);
    p->bpp = bytesPerPixel(info.format);
    p->stride = int32_t(SPA_ROUND_UP_N(uint32_t(p->curW) * p->bpp, 4));
    say("format %dx%d %s maxfps %u/%u", p->curW, p->curH, formatName(info.format),
        info.max_framerate.num, info.max_framerate.denom);
    if (p->streaming)
        armTimer(*p);

    uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    const spa_pod *params[4];
    uint32_t dataType = p->opt.memPtr ? (1u << SPA_DATA_MemPtr) : (1u << SPA_DATA_MemFd);
    // With PipeWire allocating (MemPtr) the size asked for is what every buffer gets; a buffer
    // the producer allocates itself gets its size in add_buffer.
    params[0] = static_cast<const spa_pod *>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers,
        SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(16, 2, 16),
        SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
        SPA_PARAM_BUFFERS_size, SPA_POD_Int(int32_t(allocBytes(*p))),
        SPA_PARAM_BUFFERS_stride, SPA_POD_Int(p->stride),
        SPA_PARAM_BUFFERS_align, SPA_POD_Int(16),
        SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int(int32_t(dataType))));
    params[1] = static_cast<const spa_pod *>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
        SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
        SPA_PARAM_META_size, SPA_POD_Int(int32_t(sizeof(spa_meta_header)))));
    params[2] = static_cast<const spa_pod *>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
        SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
        SPA_PARAM_META_size, SPA_POD_Int(int32_t(cursorMetaSize(384, 384)))));
    params[3] = static_cast<const spa_pod *>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
        SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoCrop),
        SPA_PARAM_META_size, SPA_POD_Int(int32_t(sizeof(spa_meta_region)))));
    pw_stream_update_params(p->stream, params, 4);
}

struct BufferInfo
{
    bool filled = false; // the pattern is in it
    bool ownMemory = false;
};

// Buffers of our own (the default, as mutter makes them): one memfd each, sealed, mapped here
// to write the pattern; the consumer maps the same file.
void onAddBuffer(void *data, pw_buffer *buffer)
{
    auto *p = static_cast<Producer *>(data);
    auto *info = new BufferInfo;
    buffer->user_data = info;
    spa_data *d = &buffer->buffer->datas[0];
    if (p->opt.memPtr)
        return; // PipeWire's own shared memory, already mapped
    if (!(d->type & (1u << SPA_DATA_MemFd))) {
        say("error no MemFd in the negotiated data types (%#x)", d->type);
        return;
    }
    uint32_t size = allocBytes(*p);
    int fd = memfd_create("fakeproducer-frame", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0 || ftruncate(fd, size) < 0) {
        say("error memfd: %s", strerror(errno));
        if (fd >= 0)
            close(fd);
        return;
    }
    fcntl(fd, F_ADD_SEALS, F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL);
    void *mem = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mem == MAP_FAILED) {
        say("error mmap: %s", strerror(errno));
        close(fd);
        return;
    }
    d->type = SPA_DATA_MemFd;
    d->flags = SPA_DATA_FLAG_READABLE;
    d->fd = fd;
    d->mapoffset = 0;
    d->maxsize = size;
    d->data = mem;
    info->ownMemory = true;
}

void onRemoveBuffer(void *, pw_buffer *buffer)
{
    auto *info = static_cast<BufferInfo *>(buffer->user_data);
    spa_data *d = &buffer->buffer->datas[0];
    if (info && info->ownMemory) {
        munmap(d->data, d->maxsize);
        close(int(d->fd));
        d->data = nullptr;
        d->fd = -1;
    }
    delete info;
    buffer->user_data = nullptr;
}

void fillPattern(const Producer &p, uint8_t *mem, uint32_t maxsize)
{
    const bool bgr = p.format.format == SPA_VIDEO_FORMAT_BGRx || p.format.format == SPA_VIDEO_FORMAT_BGRA;
    for (int y = 0; y < p.curH; ++y) {
        uint64_t rowStart = uint64_t(y) * uint32_t(p.stride);
        if (rowStart >= maxsize)
            break;
        uint8_t *row = mem + rowStart;
        for (int x = 0; x < p.curW; ++x) {
            if (rowStart + uint64_t(x + 1) * p.bpp > maxsize)
                break;
            uint8_t r = uint8_t(x & 255), g = uint8_t(y & 255),
                    bl = uint8_t(((x >> 8) & 15) | (((y >> 8) & 15) << 4));
            uint8_t *px = row + size_t(x) * p.bpp;
            px[0] = bgr ? bl : r;
            px[1] = g;
            px[2] = bgr ? r : bl;
            if (p.bpp == 4)
                px[3] = 255;
        }
    }
}

// The sprite: a filled square, opaque, RGBA.
void writeCursor(Producer &p, spa_buffer *buf, bool faulty)
{
    spa_meta *meta = spa_buffer_find_meta(buf, SPA_META_Cursor);
    if (!meta || meta->size < sizeof(spa_meta_cursor))
        return;
    auto *c = static_cast<spa_meta_cursor *>(meta->data);
    if (p.opt.noCursor) {
        c->id = 0; // the pointer is not on this monitor
        return;
    }
    c->id = p.opt.cursorId;
    c->flags = 0;
    c->position.x = p.opt.cursorX;
    c->position.y = p.opt.cursorY;
    c->hotspot.x = 2;
    c->hotspot.y = 3;
    bool bitmap = p.opt.bitmap == Options::BitmapEvery ||
                  (p.opt.bitmap == Options::BitmapFirst && !p.bitmapSent);
    if (faulty && p.opt.bitmapOffsetBad) {
        // The bitmap's header would start 8 bytes before the end of the metadata and run past it.
        c->bitmap_offset = meta->size - 8;
        return;
    }
    if (!bitmap || meta->size < cursorMetaSize(bitmapSide, bitmapSide)) {
        c->bitmap_offset = 0;
        return;
    }
    c->bitmap_offset = sizeof(spa_meta_cursor);
    auto *bm = SPA_PTROFF(c, c->bitmap_offset, spa_meta_bitmap);
    bm->format = SPA_VIDEO_FORMAT_RGBA;
    bm->offset = sizeof(spa_meta_bitmap);
    if (faulty && p.opt.bitmapSizeBad) {
        // One row more than the metadata holds.
        bm->size.width = 384;
        bm->size.height = 385;
        bm->stride = 384 * 4;
    } else {
        bm->size.width = bitmapSide;
        bm->size.height = bitmapSide;
        bm->stride = bitmapSide * 4;
        auto *px = SPA_PTROFF(bm, bm->offset, uint8_t);
        for (int i = 0; i < bitmapSide * bitmapSide; ++i) {
            px[4 * i + 0] = 255;
            px[4 * i + 1] = 255;
            px[4 * i + 2] = 255;
            px[4 * i + 3] = 255;
        }
    }
    p.bitmapSent = true;
}

void resize(Producer &p);

// One buffer out: the pattern (or only the cursor), the metadata, and whichever lies are asked
// for on this buffer.
void onProcess(void *data)
{
    auto *p = static_cast<Producer *>(data);
    if (!p->haveFormat || p->exiting)
        return;
    pw_buffer *b = pw_stream_dequeue_buffer(p->stream);
    if (!b)
        return; // the consumer holds them all
    spa_buffer *buf = b->buffer;
    spa_data *d = &buf->datas[0];
    auto *info = static_cast<BufferInfo *>(b->user_data);
    if (!d->data) {
        pw_stream_queue_buffer(p->stream, b);
        return;
    }
    uint64_t seq = p->sent + 1;
    bool faulty = seq % uint64_t(p->opt.every) == 0;
    bool cursorOnly = p->cursorPending || (p->opt.cursorOnly && faulty);
    p->cursorPending = false;

    if (info && !info->filled) {
        fillPattern(*p, static_cast<uint8_t *>(d->data), d->maxsize);
        info->filled = true;
    }

    spa_chunk *chunk = d->chunk;
    chunk->offset = 0;
    chunk->stride = p->stride;
    chunk->size = SPA_MIN(d->maxsize, frameBytes(*p));
    chunk->flags = SPA_CHUNK_FLAG_NONE;
    if (cursorOnly) {
        chunk->size = 0;
        chunk->flags = SPA_CHUNK_FLAG_CORRUPTED;
    } else if (faulty) {
        if (p->opt.strideShort)
            chunk->stride = p->stride - p->opt.strideShort;
        if (p->opt.strideLong)
            chunk->stride = p->stride + p->opt.strideLong;
        if (p->opt.negativeStride)
            chunk->stride = -p->stride;
        if (p->opt.offsetPast)
            chunk->offset = d->maxsize + 4096;
        if (p->opt.sizePast)
            chunk->size = d->maxsize - SPA_MIN(chunk->offset, d->maxsize) + 4096;
        if (p->opt.sizeZero)
            chunk->size = 0;
        if (p->opt.sizeHuge)
            chunk->size = 0xffffffffu;
    }

    if (auto *h = static_cast<spa_meta_header *>(
            spa_buffer_find_meta_data(buf, SPA_META_Header, sizeof(spa_meta_header)))) {
        h->flags = (faulty && p->opt.headerCorrupted) ? SPA_META_HEADER_FLAG_CORRUPTED : 0;
        h->offset = 0;
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        h->pts = int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
        h->dts_offset = 0;
        h->seq = seq;
    }
    if (auto *crop = static_cast<spa_meta_region *>(
            spa_buffer_find_meta_data(buf, SPA_META_VideoCrop, sizeof(spa_meta_region)))) {
        if (p->opt.haveCrop && faulty) {
            crop->region.position.x = p->opt.crop.x;
            crop->region.position.y = p->opt.crop.y;
            crop->region.size.width = uint32_t(p->opt.crop.w);
            crop->region.size.height = uint32_t(p->opt.crop.h);
        } else {
            crop->region.position.x = 0;
            crop->region.position.y = 0;
            crop->region.size.width = uint32_t(p->curW);
            crop->region.size.height = uint32_t(p->curH);
        }
    }
    writeCursor(*p, buf, faulty);

    pw_stream_queue_buffer(p->stream, b);
    p->sent = seq;
    if (!cursorOnly)
        ++p->frames;

    if (p->opt.resizeAfter > 0 && !p->resized && p->frames >= uint64_t(p->opt.resizeAfter))
        resize(*p);
    if (p->opt.exitAfter > 0 && p->sent >= uint64_t(p->opt.exitAfter)) {
        p->exiting = true;
        pw_main_loop_quit(p->loop);
    }
}

void trigger(Producer &p)
{
    if (p.streaming && p.haveFormat && !p.exiting)
        pw_stream_trigger_process(p.stream);
}

// The next frame at the rate asked for, never faster than the consumer's maximum.
void armTimer(Producer &p)
{
    if (p.opt.rate == 0 || !p.timer)
        return;
    double fps = p.opt.rate;
    if (p.haveFormat && p.format.max_framerate.num > 0 && p.format.max_framerate.denom > 0) {
        double max = double(p.format.max_framerate.num) / p.format.max_framerate.denom;
        if (max < fps)
            fps = max;
    }
    uint64_t ns = uint64_t(1e9 / fps);
    timespec value{time_t(ns / 1000000000), long(ns % 1000000000)};
    pw_loop_update_timer(pw_main_loop_get_loop(p.loop), p.timer, &value, &value, false);
}

void onTimer(void *data, uint64_t)
{
    trigger(*static_cast<Producer *>(data));
}

// A monitor's mode change: the same stream offers a new size and the link negotiates again.
void resize(Producer &p)
{
    p.resized = true;
    p.haveFormat = false;
    uint8_t buffer[512];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    const spa_pod *params[1] = {buildEnumFormat(&b, p.opt, p.opt.resizeW, p.opt.resizeH)};
    pw_stream_update_params(p.stream, params, 1);
}

void onStateChanged(void *data, pw_stream_state, pw_stream_state state, const char *error)
{
    auto *p = static_cast<Producer *>(data);
    if (p->quiet)
        return;
    if (!p->nodePrinted && (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING)) {
        p->nodePrinted = true;
        say("node %u", pw_stream_get_node_id(p->stream));
    }
    switch (state) {
    case PW_STREAM_STATE_STREAMING:
        p->streaming = true;
        say("streaming");
        armTimer(*p);
        trigger(*p); // the first frame at once, as the compositor sends the screen on start
        break;
    case PW_STREAM_STATE_PAUSED:
        if (p->streaming)
            say("paused");
        p->streaming = false;
        break;
    case PW_STREAM_STATE_ERROR:
        say("error %s", error ? error : "unknown");
        pw_main_loop_quit(p->loop);
        break;
    default:
        break;
    }
}

void onCoreError(void *data, uint32_t id, int, int res, const char *message)
{
    auto *p = static_cast<Producer *>(data);
    say("error core %u: %s (%s)", id, message, spa_strerror(res));
    if (id == PW_ID_CORE && res == -EPIPE)
        pw_main_loop_quit(p->loop);
}

void onInput(void *data, int fd, uint32_t mask)
{
    auto *p = static_cast<Producer *>(data);
    char chunk[256];
    ssize_t n = (mask & SPA_IO_IN) ? read(fd, chunk, sizeof(chunk)) : 0;
    if (n <= 0) {
        pw_loop_destroy_source(pw_main_loop_get_loop(p->loop), p->input);
        p->input = nullptr;
        return;
    }
    p->inputLine.append(chunk, size_t(n));
    size_t eol;
    while ((eol = p->inputLine.find('\n')) != std::string::npos) {
        std::string line = p->inputLine.substr(0, eol);
        p->inputLine.erase(0, eol + 1);
        int x, y;
        if (sscanf(line.c_str(), "cursor %d %d", &x, &y) == 2) {
            p->opt.cursorX = x;
            p->opt.cursorY = y;
            p->cursorPending = true;
            trigger(*p);
        } else if (line == "frame") {
            trigger(*p);
        } else if (!line.empty()) {
            fprintf(stderr, "fakeproducer: unknown command: %s\n", line.c_str());
        }
    }
}

void onSignal(void *data, int)
{
    pw_main_loop_quit(static_cast<Producer *>(data)->loop);
}

const pw_stream_events streamEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = onStateChanged;
    e.param_changed = onParamChanged;
    e.add_buffer = onAddBuffer;
    e.remove_buffer = onRemoveBuffer;
    e.process = onProcess;
    return e;
}();

const pw_core_events coreEvents = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.error = onCoreError;
    return e;
}();

} // namespace

int main(int argc, char **argv)
{
    Producer p;
    p.opt = parseOptions(argc, argv);
    pw_init(&argc, &argv);

    p.loop = pw_main_loop_new(nullptr);
    pw_loop *loop = pw_main_loop_get_loop(p.loop);
    pw_loop_add_signal(loop, SIGINT, onSignal, &p);
    pw_loop_add_signal(loop, SIGTERM, onSignal, &p);
    p.context = pw_context_new(loop, nullptr, 0);
    p.core = pw_context_connect(p.context, nullptr, 0); // PIPEWIRE_REMOTE, else pipewire-0
    if (!p.core) {
        fprintf(stderr, "fakeproducer: cannot connect to PipeWire: %s\n", strerror(errno));
        return 1;
    }
    pw_core_add_listener(p.core, &p.coreListener, &coreEvents, &p);

    // No media class of its own, as mutter gives none: the node is "Stream/Output/Video", which
    // the session manager links to a consumer that names it, and to no other.
    p.stream = pw_stream_new(p.core, "fakeproducer", pw_properties_new(PW_KEY_NODE_NAME, "fakeproducer", nullptr));
    pw_stream_add_listener(p.stream, &p.streamListener, &streamEvents, &p);
    p.timer = pw_loop_add_timer(loop, onTimer, &p);
    p.input = pw_loop_add_io(loop, STDIN_FILENO, SPA_IO_IN | SPA_IO_HUP | SPA_IO_ERR, false,
                             onInput, &p);

    uint8_t buffer[512];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    const spa_pod *params[1] = {buildEnumFormat(&b, p.opt, p.opt.width, p.opt.height)};
    auto flags = pw_stream_flags(PW_STREAM_FLAG_DRIVER |
                                 (p.opt.memPtr ? 0 : PW_STREAM_FLAG_ALLOC_BUFFERS));
    int res = pw_stream_connect(p.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1);
    if (res < 0) {
        fprintf(stderr, "fakeproducer: cannot connect the stream: %s\n", spa_strerror(res));
        return 1;
    }

    pw_main_loop_run(p.loop);

    p.quiet = true; // the state changes of going away are not news
    pw_stream_destroy(p.stream);
    pw_core_disconnect(p.core);
    pw_context_destroy(p.context);
    pw_main_loop_destroy(p.loop);
    pw_deinit();
    if (p.exiting)
        say("exit");
    return 0;
}
