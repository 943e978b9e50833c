// LD_PRELOAD shim for the tests that watch what the real program sends to the X server: each
// wrapped libxcb call bumps a counter in a file the test maps too (VZLN_REQUEST_COUNTER, see
// requestcount.h), then calls the real function, found with dlsym(RTLD_NEXT). The program's
// own code is not changed, nor asked.
//
// The shim can also hold the program still right after a copy has been done on the server,
// for the test to draw on the screen at exactly that moment: the test arms it, the next
// xcb_copy_area from the root goes out, a round trip makes sure the server has done it, the
// shim says it is holding, and it returns only once the test lets it go (or after 10 s).

#include "e2e/requestcount.h"

#include <xcb/render.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

using namespace requestcount;

namespace {

std::uint64_t *counters()
{
    static std::uint64_t *mapped = []() -> std::uint64_t * {
        const char *path = std::getenv("VZLN_REQUEST_COUNTER");
        if (!path)
            return nullptr;
        const int fd = open(path, O_RDWR);
        if (fd < 0)
            return nullptr;
        void *p = mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        return p == MAP_FAILED ? nullptr : static_cast<std::uint64_t *>(p);
    }();
    return mapped;
}

void bump(Slot which)
{
    if (std::uint64_t *c = counters())
        __atomic_fetch_add(&c[which], 1, __ATOMIC_SEQ_CST);
}

template <class F>
F real(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

void holdAfterCopy(xcb_connection_t *c, xcb_drawable_t source)
{
    std::uint64_t *k = counters();
    if (!k || source != xcb_setup_roots_iterator(xcb_get_setup(c)).data->root)
        return; // not a capture of the screen: Qt's own copies, say
    std::uint64_t armed = kArmed;
    if (!__atomic_compare_exchange_n(&k[kHold], &armed, kTaking, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
        return;
    // The copy is done on the server once the answer to a later request is back.
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    __atomic_store_n(&k[kHold], kHolding, __ATOMIC_SEQ_CST);
    for (int i = 0; i < 10000 && __atomic_load_n(&k[kHold], __ATOMIC_SEQ_CST) != kReleased; ++i) {
        const timespec ms{0, 1000000};
        nanosleep(&ms, nullptr);
    }
    __atomic_store_n(&k[kHold], kIdle, __ATOMIC_SEQ_CST);
}

} // namespace

extern "C" {

xcb_query_pointer_cookie_t xcb_query_pointer(xcb_connection_t *c, xcb_window_t window)
{
    static auto f = real<xcb_query_pointer_cookie_t (*)(xcb_connection_t *, xcb_window_t)>("xcb_query_pointer");
    bump(kPointerQueries);
    return f(c, window);
}

xcb_query_pointer_cookie_t xcb_query_pointer_unchecked(xcb_connection_t *c, xcb_window_t window)
{
    static auto f =
        real<xcb_query_pointer_cookie_t (*)(xcb_connection_t *, xcb_window_t)>("xcb_query_pointer_unchecked");
    bump(kPointerQueries);
    return f(c, window);
}

using Copy = xcb_void_cookie_t (*)(xcb_connection_t *, xcb_drawable_t, xcb_drawable_t, xcb_gcontext_t, int16_t,
                                   int16_t, int16_t, int16_t, uint16_t, uint16_t);

xcb_void_cookie_t xcb_copy_area(xcb_connection_t *c, xcb_drawable_t src, xcb_drawable_t dst, xcb_gcontext_t gc,
                                int16_t sx, int16_t sy, int16_t dx, int16_t dy, uint16_t w, uint16_t h)
{
    static auto f = real<Copy>("xcb_copy_area");
    const xcb_void_cookie_t cookie = f(c, src, dst, gc, sx, sy, dx, dy, w, h);
    bump(kCopies);
    holdAfterCopy(c, src);
    return cookie;
}

xcb_void_cookie_t xcb_copy_area_checked(xcb_connection_t *c, xcb_drawable_t src, xcb_drawable_t dst,
                                        xcb_gcontext_t gc, int16_t sx, int16_t sy, int16_t dx, int16_t dy,
                                        uint16_t w, uint16_t h)
{
    static auto f = real<Copy>("xcb_copy_area_checked");
    const xcb_void_cookie_t cookie = f(c, src, dst, gc, sx, sy, dx, dy, w, h);
    bump(kCopies);
    holdAfterCopy(c, src);
    return cookie;
}

using Composite = xcb_void_cookie_t (*)(xcb_connection_t *, uint8_t, xcb_render_picture_t, xcb_render_picture_t,
                                        xcb_render_picture_t, int16_t, int16_t, int16_t, int16_t, int16_t, int16_t,
                                        uint16_t, uint16_t);

xcb_void_cookie_t xcb_render_composite(xcb_connection_t *c, uint8_t op, xcb_render_picture_t src,
                                       xcb_render_picture_t mask, xcb_render_picture_t dst, int16_t sx, int16_t sy,
                                       int16_t mx, int16_t my, int16_t dx, int16_t dy, uint16_t w, uint16_t h)
{
    static auto f = real<Composite>("xcb_render_composite");
    bump(kComposites);
    return f(c, op, src, mask, dst, sx, sy, mx, my, dx, dy, w, h);
}

xcb_void_cookie_t xcb_render_composite_checked(xcb_connection_t *c, uint8_t op, xcb_render_picture_t src,
                                               xcb_render_picture_t mask, xcb_render_picture_t dst, int16_t sx,
                                               int16_t sy, int16_t mx, int16_t my, int16_t dx, int16_t dy,
                                               uint16_t w, uint16_t h)
{
    static auto f = real<Composite>("xcb_render_composite_checked");
    bump(kComposites);
    return f(c, op, src, mask, dst, sx, sy, mx, my, dx, dy, w, h);
}

using Fill = xcb_void_cookie_t (*)(xcb_connection_t *, uint8_t, xcb_render_picture_t, xcb_render_color_t, uint32_t,
                                   const xcb_rectangle_t *);

xcb_void_cookie_t xcb_render_fill_rectangles(xcb_connection_t *c, uint8_t op, xcb_render_picture_t dst,
                                             xcb_render_color_t colour, uint32_t n, const xcb_rectangle_t *rects)
{
    static auto f = real<Fill>("xcb_render_fill_rectangles");
    bump(kFills);
    return f(c, op, dst, colour, n, rects);
}

xcb_void_cookie_t xcb_render_fill_rectangles_checked(xcb_connection_t *c, uint8_t op, xcb_render_picture_t dst,
                                                     xcb_render_color_t colour, uint32_t n,
                                                     const xcb_rectangle_t *rects)
{
    static auto f = real<Fill>("xcb_render_fill_rectangles_checked");
    bump(kFills);
    return f(c, op, dst, colour, n, rects);
}

using ShmPut = xcb_void_cookie_t (*)(xcb_connection_t *, xcb_drawable_t, xcb_gcontext_t, uint16_t, uint16_t,
                                     uint16_t, uint16_t, uint16_t, uint16_t, int16_t, int16_t, uint8_t, uint8_t,
                                     uint8_t, xcb_shm_seg_t, uint32_t);

xcb_void_cookie_t xcb_shm_put_image(xcb_connection_t *c, xcb_drawable_t d, xcb_gcontext_t gc, uint16_t tw,
                                    uint16_t th, uint16_t sx, uint16_t sy, uint16_t sw, uint16_t sh, int16_t dx,
                                    int16_t dy, uint8_t depth, uint8_t format, uint8_t ev, xcb_shm_seg_t seg,
                                    uint32_t off)
{
    static auto f = real<ShmPut>("xcb_shm_put_image");
    bump(kPuts);
    return f(c, d, gc, tw, th, sx, sy, sw, sh, dx, dy, depth, format, ev, seg, off);
}

xcb_void_cookie_t xcb_shm_put_image_checked(xcb_connection_t *c, xcb_drawable_t d, xcb_gcontext_t gc, uint16_t tw,
                                            uint16_t th, uint16_t sx, uint16_t sy, uint16_t sw, uint16_t sh,
                                            int16_t dx, int16_t dy, uint8_t depth, uint8_t format, uint8_t ev,
                                            xcb_shm_seg_t seg, uint32_t off)
{
    static auto f = real<ShmPut>("xcb_shm_put_image_checked");
    bump(kPuts);
    return f(c, d, gc, tw, th, sx, sy, sw, sh, dx, dy, depth, format, ev, seg, off);
}

using Put = xcb_void_cookie_t (*)(xcb_connection_t *, uint8_t, xcb_drawable_t, xcb_gcontext_t, uint16_t, uint16_t,
                                  int16_t, int16_t, uint8_t, uint8_t, uint32_t, const uint8_t *);

xcb_void_cookie_t xcb_put_image(xcb_connection_t *c, uint8_t format, xcb_drawable_t d, xcb_gcontext_t gc,
                                uint16_t w, uint16_t h, int16_t x, int16_t y, uint8_t pad, uint8_t depth,
                                uint32_t len, const uint8_t *data)
{
    static auto f = real<Put>("xcb_put_image");
    bump(kPuts);
    return f(c, format, d, gc, w, h, x, y, pad, depth, len, data);
}

xcb_void_cookie_t xcb_put_image_checked(xcb_connection_t *c, uint8_t format, xcb_drawable_t d, xcb_gcontext_t gc,
                                        uint16_t w, uint16_t h, int16_t x, int16_t y, uint8_t pad, uint8_t depth,
                                        uint32_t len, const uint8_t *data)
{
    static auto f = real<Put>("xcb_put_image_checked");
    bump(kPuts);
    return f(c, format, d, gc, w, h, x, y, pad, depth, len, data);
}

} // extern "C"
