// LD_PRELOAD shim for the refresh benchmark: counts the screen reads and picture writes a
// program makes, without changing the program. Each wrapped call bumps a 64-bit counter in a
// file that the benchmark script maps too (VZLN_BENCH_COUNTER, at least 16 bytes):
//   [0] screen reads:  xcb_shm_get_image(_unchecked), xcb_get_image(_unchecked),
//                      XShmGetImage, XGetImage, xcb_copy_area(_checked)
//   [1] picture writes: xcb_shm_put_image(_checked), xcb_put_image(_checked),
//                      XShmPutImage, XPutImage, xcb_render_composite(_checked)
// and then calls the real function, found with dlsym(RTLD_NEXT). Xlib and libXext build their
// requests themselves rather than through these xcb calls, so nothing is counted twice.

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

std::uint64_t *counters()
{
    static std::uint64_t *mapped = [] () -> std::uint64_t * {
        const char *path = std::getenv("VZLN_BENCH_COUNTER");
        if (!path)
            return nullptr;
        const int fd = open(path, O_RDWR);
        if (fd < 0)
            return nullptr;
        void *p = mmap(nullptr, 16, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        return p == MAP_FAILED ? nullptr : static_cast<std::uint64_t *>(p);
    }();
    return mapped;
}

void bump(int which)
{
    if (std::uint64_t *c = counters())
        __atomic_fetch_add(&c[which], 1, __ATOMIC_RELAXED);
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

} // extern "C"
