// LD_PRELOAD shim for the refresh benchmark: counts the screen reads and picture writes a
// program makes, and the screen-cast buffers it takes from PipeWire, without changing the
// program. Each wrapped call bumps a 64-bit counter in a file that the benchmark script maps too
// (VZLN_BENCH_COUNTER; the counters that fit in the file are kept, at least the first two):
//   [0] screen reads:  xcb_shm_get_image(_unchecked), xcb_get_image(_unchecked),
//                      XShmGetImage, XGetImage, xcb_copy_area(_checked)
//   [1] picture writes: xcb_shm_put_image(_checked), xcb_put_image(_checked),
//                      XShmPutImage, XPutImage, xcb_render_composite(_checked)
//   [2] pw_stream_dequeue_buffer returning a buffer with pixels: a chunk of some size, not
//       flagged corrupted
//   [3] ... returning one without pixels that carries a cursor update (metadata of a valid id)
//   [4] ... returning one with neither
//   [5] ... returning none (the queue is empty: one a wake-up of a reading loop)
//   [6] of the buffers in [2] to [4], those carrying a cursor position (metadata of a valid id)
// and then calls the real function, found with dlsym(RTLD_NEXT). Xlib and libXext build their
// requests themselves rather than through these xcb calls, so nothing is counted twice. Only
// SPA's headers are included (plain structures and inline functions): the shim links no library
// but libdl, so it loads into a program of any kind.

#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>

#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kMaxCounters = 8;

struct Counters
{
    std::uint64_t *at = nullptr;
    int count = 0;
};

const Counters &counters()
{
    static const Counters mapped = [] {
        Counters c;
        const char *path = std::getenv("VZLN_BENCH_COUNTER");
        if (!path)
            return c;
        const int fd = open(path, O_RDWR);
        if (fd < 0)
            return c;
        struct stat st;
        if (fstat(fd, &st) == 0 && st.st_size >= 16) {
            const int count = int(std::min<off_t>(st.st_size / 8, kMaxCounters));
            void *p = mmap(nullptr, std::size_t(count) * 8, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (p != MAP_FAILED) {
                c.at = static_cast<std::uint64_t *>(p);
                c.count = count;
            }
        }
        close(fd);
        return c;
    }();
    return mapped;
}

void bump(int which)
{
    const Counters &c = counters();
    if (which < c.count)
        __atomic_fetch_add(&c.at[which], 1, __ATOMIC_RELAXED);
}

template <class F>
F real(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

} // namespace

// The wrapped functions take and return plain C types; their exact prototypes do not matter
// to the shim as long as arguments are passed on unchanged, so they are spelled with the same
// widths as the headers without including them (the shim must not pull in the libraries).
extern "C" {

struct Cookie { unsigned int sequence; };
using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using i16 = std::int16_t;

// xcb_get_image(c, format, drawable, x, y, width, height, plane_mask)
Cookie xcb_get_image(void *c, u8 format, u32 drawable, i16 x, i16 y, u16 w, u16 h, u32 planes)
{
    static auto f = real<Cookie (*)(void *, u8, u32, i16, i16, u16, u16, u32)>("xcb_get_image");
    bump(0);
    return f(c, format, drawable, x, y, w, h, planes);
}
Cookie xcb_get_image_unchecked(void *c, u8 format, u32 drawable, i16 x, i16 y, u16 w, u16 h,
                               u32 planes)
{
    static auto f = real<Cookie (*)(void *, u8, u32, i16, i16, u16, u16, u32)>(
        "xcb_get_image_unchecked");
    bump(0);
    return f(c, format, drawable, x, y, w, h, planes);
}

// xcb_shm_get_image(c, drawable, x, y, width, height, plane_mask, format, shmseg, offset)
Cookie xcb_shm_get_image(void *c, u32 drawable, i16 x, i16 y, u16 w, u16 h, u32 planes,
                         u8 format, u32 seg, u32 offset)
{
    static auto f = real<Cookie (*)(void *, u32, i16, i16, u16, u16, u32, u8, u32, u32)>(
        "xcb_shm_get_image");
    bump(0);
    return f(c, drawable, x, y, w, h, planes, format, seg, offset);
}
Cookie xcb_shm_get_image_unchecked(void *c, u32 drawable, i16 x, i16 y, u16 w, u16 h,
                                   u32 planes, u8 format, u32 seg, u32 offset)
{
    static auto f = real<Cookie (*)(void *, u32, i16, i16, u16, u16, u32, u8, u32, u32)>(
        "xcb_shm_get_image_unchecked");
    bump(0);
    return f(c, drawable, x, y, w, h, planes, format, seg, offset);
}

// xcb_shm_put_image(c, drawable, gc, total_width, total_height, src_x, src_y, src_width,
//                   src_height, dst_x, dst_y, depth, format, send_event, shmseg, offset)
using ShmPut = Cookie (*)(void *, u32, u32, u16, u16, u16, u16, u16, u16, i16, i16, u8, u8, u8,
                          u32, u32);
Cookie xcb_shm_put_image(void *c, u32 d, u32 gc, u16 tw, u16 th, u16 sx, u16 sy, u16 sw, u16 sh,
                         i16 dx, i16 dy, u8 depth, u8 format, u8 ev, u32 seg, u32 off)
{
    static auto f = real<ShmPut>("xcb_shm_put_image");
    bump(1);
    return f(c, d, gc, tw, th, sx, sy, sw, sh, dx, dy, depth, format, ev, seg, off);
}
Cookie xcb_shm_put_image_checked(void *c, u32 d, u32 gc, u16 tw, u16 th, u16 sx, u16 sy, u16 sw,
                                 u16 sh, i16 dx, i16 dy, u8 depth, u8 format, u8 ev, u32 seg,
                                 u32 off)
{
    static auto f = real<ShmPut>("xcb_shm_put_image_checked");
    bump(1);
    return f(c, d, gc, tw, th, sx, sy, sw, sh, dx, dy, depth, format, ev, seg, off);
}

// xcb_put_image(c, format, drawable, gc, width, height, dst_x, dst_y, left_pad, depth,
//               data_len, data)
using Put = Cookie (*)(void *, u8, u32, u32, u16, u16, i16, i16, u8, u8, u32, const u8 *);
Cookie xcb_put_image(void *c, u8 format, u32 d, u32 gc, u16 w, u16 h, i16 x, i16 y, u8 pad,
                     u8 depth, u32 len, const u8 *data)
{
    static auto f = real<Put>("xcb_put_image");
    bump(1);
    return f(c, format, d, gc, w, h, x, y, pad, depth, len, data);
}
Cookie xcb_put_image_checked(void *c, u8 format, u32 d, u32 gc, u16 w, u16 h, i16 x, i16 y,
                             u8 pad, u8 depth, u32 len, const u8 *data)
{
    static auto f = real<Put>("xcb_put_image_checked");
    bump(1);
    return f(c, format, d, gc, w, h, x, y, pad, depth, len, data);
}

// xcb_copy_area(c, src, dst, gc, src_x, src_y, dst_x, dst_y, width, height): the view drawn
// by the server copies each piece of the capture from the root.
using Copy = Cookie (*)(void *, u32, u32, u32, i16, i16, i16, i16, u16, u16);
Cookie xcb_copy_area(void *c, u32 src, u32 dst, u32 gc, i16 sx, i16 sy, i16 dx, i16 dy, u16 w, u16 h)
{
    static auto f = real<Copy>("xcb_copy_area");
    bump(0);
    return f(c, src, dst, gc, sx, sy, dx, dy, w, h);
}
Cookie xcb_copy_area_checked(void *c, u32 src, u32 dst, u32 gc, i16 sx, i16 sy, i16 dx, i16 dy,
                             u16 w, u16 h)
{
    static auto f = real<Copy>("xcb_copy_area_checked");
    bump(0);
    return f(c, src, dst, gc, sx, sy, dx, dy, w, h);
}

// xcb_render_composite(c, op, src, mask, dst, src_x, src_y, mask_x, mask_y, dst_x, dst_y,
//                      width, height): the server's view into the window.
using Composite = Cookie (*)(void *, u8, u32, u32, u32, i16, i16, i16, i16, i16, i16, u16, u16);
Cookie xcb_render_composite(void *c, u8 op, u32 src, u32 mask, u32 dst, i16 sx, i16 sy, i16 mx,
                            i16 my, i16 dx, i16 dy, u16 w, u16 h)
{
    static auto f = real<Composite>("xcb_render_composite");
    bump(1);
    return f(c, op, src, mask, dst, sx, sy, mx, my, dx, dy, w, h);
}
Cookie xcb_render_composite_checked(void *c, u8 op, u32 src, u32 mask, u32 dst, i16 sx, i16 sy,
                                    i16 mx, i16 my, i16 dx, i16 dy, u16 w, u16 h)
{
    static auto f = real<Composite>("xcb_render_composite_checked");
    bump(1);
    return f(c, op, src, mask, dst, sx, sy, mx, my, dx, dy, w, h);
}

// Xlib and libXext: Bool XShmGetImage(Display *, Drawable, XImage *, int x, int y,
// unsigned long plane_mask); XImage *XGetImage(Display *, Drawable, int, int, unsigned,
// unsigned, unsigned long, int); Bool XShmPutImage(Display *, Drawable, GC, XImage *, int,
// int, int, int, unsigned, unsigned, Bool); int XPutImage(Display *, Drawable, GC, XImage *,
// int, int, int, int, unsigned, unsigned).
int XShmGetImage(void *dpy, unsigned long d, void *image, int x, int y, unsigned long planes)
{
    static auto f = real<int (*)(void *, unsigned long, void *, int, int, unsigned long)>(
        "XShmGetImage");
    bump(0);
    return f(dpy, d, image, x, y, planes);
}
void *XGetImage(void *dpy, unsigned long d, int x, int y, unsigned w, unsigned h,
                unsigned long planes, int format)
{
    static auto f = real<void *(*)(void *, unsigned long, int, int, unsigned, unsigned,
                                   unsigned long, int)>("XGetImage");
    bump(0);
    return f(dpy, d, x, y, w, h, planes, format);
}
int XShmPutImage(void *dpy, unsigned long d, void *gc, void *image, int sx, int sy, int dx,
                 int dy, unsigned w, unsigned h, int ev)
{
    static auto f = real<int (*)(void *, unsigned long, void *, void *, int, int, int, int,
                                 unsigned, unsigned, int)>("XShmPutImage");
    bump(1);
    return f(dpy, d, gc, image, sx, sy, dx, dy, w, h, ev);
}
int XPutImage(void *dpy, unsigned long d, void *gc, void *image, int sx, int sy, int dx, int dy,
              unsigned w, unsigned h)
{
    static auto f = real<int (*)(void *, unsigned long, void *, void *, int, int, int, int,
                                 unsigned, unsigned)>("XPutImage");
    bump(1);
    return f(dpy, d, gc, image, sx, sy, dx, dy, w, h);
}

// struct pw_buffer *pw_stream_dequeue_buffer(struct pw_stream *): pw_buffer begins with the
// spa_buffer it wraps (pipewire/stream.h), which is all that is read of it.
struct pw_stream;
struct PwBufferHead
{
    spa_buffer *buffer;
};
void *pw_stream_dequeue_buffer(pw_stream *stream)
{
    static auto f = real<void *(*)(pw_stream *)>("pw_stream_dequeue_buffer");
    if (!f)
        return nullptr;
    void *buffer = f(stream);
    if (!buffer) {
        bump(5);
        return buffer;
    }
    const spa_buffer *b = static_cast<PwBufferHead *>(buffer)->buffer;
    bool pixels = false, cursor = false;
    if (b && b->n_datas > 0 && b->datas && b->datas[0].chunk) {
        const spa_chunk *chunk = b->datas[0].chunk;
        pixels = chunk->size > 0 && !(chunk->flags & SPA_CHUNK_FLAG_CORRUPTED);
    }
    if (b) {
        const auto *m = static_cast<const spa_meta_cursor *>(
            spa_buffer_find_meta_data(b, SPA_META_Cursor, sizeof(spa_meta_cursor)));
        cursor = m && m->id != 0;
    }
    bump(pixels ? 2 : cursor ? 3 : 4);
    if (cursor)
        bump(6);
    return buffer;
}

} // extern "C"
