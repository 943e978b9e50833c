#pragma once

// Shared by the tests that run the real program on a real X server: a connection of the test's
// own to read the window tree and the screen, and a launcher for the program with a
// preferences file of the test's choosing.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRect>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

namespace xh {

template <class T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <class T>
Reply<T> reply(T *p)
{
    return Reply<T>(p, &std::free);
}

// A top-level window as the X server has it. Without a window manager every top-level window
// is a child of the root, so its geometry is where it stands on the screen.
struct TopLevel
{
    xcb_window_t id = 0;
    QRect geometry;
    bool viewable = false;
    bool overrideRedirect = false;
    QString title;
    quint32 pid = 0;
};

// A connection apart from the test process's Qt one: what it reads is what the server holds,
// with nothing of Qt's buffering between.
class XConnection
{
public:
    XConnection()
    {
        c_ = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(c_))
            return;
        const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
        root_ = screen->root;
        size_ = QSize(screen->width_in_pixels, screen->height_in_pixels);
        depth_ = screen->root_depth;
    }
    ~XConnection() { xcb_disconnect(c_); }
    XConnection(const XConnection &) = delete;
    XConnection &operator=(const XConnection &) = delete;

    bool ok() const { return root_ != 0 && !xcb_connection_has_error(c_); }
    xcb_connection_t *get() const { return c_; }
    xcb_window_t root() const { return root_; }
    QSize screenSize() const { return size_; }
    int depth() const { return depth_; }

    bool hasShm() const
    {
        const xcb_query_extension_reply_t *ext = xcb_get_extension_data(c_, &xcb_shm_id);
        return ext && ext->present;
    }

    xcb_atom_t atom(const char *name) const
    {
        auto r = reply(xcb_intern_atom_reply(
            c_, xcb_intern_atom(c_, 0, uint16_t(std::strlen(name)), name), nullptr));
        return r ? r->atom : XCB_ATOM_NONE;
    }

    // Waits until the server has handled everything sent so far.
    void sync() const { free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

    QList<TopLevel> topLevels() const
    {
        QList<TopLevel> list;
        auto tree = reply(xcb_query_tree_reply(c_, xcb_query_tree(c_, root_), nullptr));
        if (!tree)
            return list;
        const xcb_window_t *children = xcb_query_tree_children(tree.get());
        const int n = xcb_query_tree_children_length(tree.get());
        const xcb_atom_t netName = atom("_NET_WM_NAME");
        const xcb_atom_t utf8 = atom("UTF8_STRING");
        const xcb_atom_t netPid = atom("_NET_WM_PID");
        for (int i = 0; i < n; ++i) {
            const xcb_window_t w = children[i];
            auto attr = reply(xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, w), nullptr));
            auto geo = reply(xcb_get_geometry_reply(c_, xcb_get_geometry(c_, w), nullptr));
            if (!attr || !geo)
                continue; // gone meanwhile
            TopLevel t;
            t.id = w;
            t.geometry = QRect(geo->x, geo->y, geo->width, geo->height);
            t.viewable = attr->map_state == XCB_MAP_STATE_VIEWABLE;
            t.overrideRedirect = attr->override_redirect;
            QByteArray name = property(w, netName, utf8);
            if (name.isEmpty())
                name = property(w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING);
            t.title = QString::fromUtf8(name);
            const QByteArray pid = property(w, netPid, XCB_ATOM_CARDINAL);
            if (pid.size() == 4)
                std::memcpy(&t.pid, pid.constData(), 4);
            list.append(t);
        }
        return list;
    }

    // The window of process `pid` titled `title`; with several, the mapped one.
    std::optional<TopLevel> window(qint64 pid, const QString &title) const
    {
        std::optional<TopLevel> found;
        for (const TopLevel &t : topLevels()) {
            if (t.pid == quint32(pid) && t.title == title && (!found || t.viewable))
                found = t;
        }
        return found;
    }

    // Like window(), but also a client window that a window manager has put into a frame, with
    // its geometry on the screen.
    std::optional<TopLevel> client(qint64 pid, const QString &title) const
    {
        if (std::optional<TopLevel> top = window(pid, title))
            return top;
        const xcb_atom_t netName = atom("_NET_WM_NAME");
        const xcb_atom_t utf8 = atom("UTF8_STRING");
        const xcb_atom_t netPid = atom("_NET_WM_PID");
        std::optional<TopLevel> found;
        for (const TopLevel &frame : topLevels()) {
            auto tree = reply(xcb_query_tree_reply(c_, xcb_query_tree(c_, frame.id), nullptr));
            if (!tree)
                continue;
            const xcb_window_t *children = xcb_query_tree_children(tree.get());
            for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
                const xcb_window_t w = children[i];
                QByteArray name = property(w, netName, utf8);
                if (name.isEmpty())
                    name = property(w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING);
                const QByteArray p = property(w, netPid, XCB_ATOM_CARDINAL);
                quint32 wpid = 0;
                if (p.size() == 4)
                    std::memcpy(&wpid, p.constData(), 4);
                if (wpid != quint32(pid) || QString::fromUtf8(name) != title)
                    continue;
                auto attr = reply(xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, w), nullptr));
                auto geo = reply(xcb_get_geometry_reply(c_, xcb_get_geometry(c_, w), nullptr));
                auto at = reply(xcb_translate_coordinates_reply(c_, xcb_translate_coordinates(c_, w, root_, 0, 0), nullptr));
                if (!attr || !geo || !at)
                    continue;
                TopLevel t;
                t.id = w;
                t.geometry = QRect(at->dst_x, at->dst_y, geo->width, geo->height);
                t.viewable = attr->map_state == XCB_MAP_STATE_VIEWABLE && frame.viewable;
                t.title = title;
                t.pid = wpid;
                if (!found || t.viewable)
                    found = t;
            }
        }
        return found;
    }

    bool exists(xcb_window_t w) const
    {
        return reply(xcb_get_geometry_reply(c_, xcb_get_geometry(c_, w), nullptr)) != nullptr;
    }

    // The screen's pixels in `r` (which must lie on the screen) as the server holds them, on a
    // screen of depth 24 or 16 (5-6-5 bits widened as Qt widens them).
    QImage grab(const QRect &r) const
    {
        if (!QRect(QPoint(0, 0), size_).contains(r))
            return QImage();
        return grabDrawable(root_, r);
    }

    // The pixels of window `w` itself, its rectangle `r` in its own coordinates: what the window
    // holds whatever lies above it (under Xwayland, where the root has no pixels of its own).
    QImage grabWindow(xcb_window_t w, const QRect &r) const { return grabDrawable(w, r); }

    QImage grabDrawable(xcb_drawable_t drawable, const QRect &r) const
    {
        if (r.isEmpty() || (depth_ != 24 && depth_ != 16))
            return QImage();
        const int bytes = depth_ == 16 ? 2 : 4;
        QImage image(r.size(), QImage::Format_RGB32);
        // Row bands keep each reply well below the server's request size limit.
        const int band = std::max(1, (1 << 20) / (r.width() * bytes));
        for (int y = 0; y < r.height(); y += band) {
            const int rows = std::min(band, r.height() - y);
            auto img = reply(xcb_get_image_reply(
                c_,
                xcb_get_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, int16_t(r.x()),
                              int16_t(r.y() + y), uint16_t(r.width()), uint16_t(rows), ~0u),
                nullptr));
            // Rows are padded to 32 bits.
            const int stride = (r.width() * bytes + 3) / 4 * 4;
            if (!img || xcb_get_image_data_length(img.get()) < stride * rows)
                return QImage();
            const uint8_t *data = xcb_get_image_data(img.get());
            for (int row = 0; row < rows; ++row) {
                auto *dst = reinterpret_cast<quint32 *>(image.scanLine(y + row));
                const uint8_t *line = data + row * stride;
                for (int x = 0; x < r.width(); ++x) {
                    if (bytes == 4) {
                        quint32 v;
                        std::memcpy(&v, line + x * 4, 4);
                        dst[x] = v | 0xff000000u;
                    } else {
                        const unsigned v = line[x * 2] | line[x * 2 + 1] << 8;
                        const unsigned r5 = v >> 11, g6 = (v >> 5) & 63, b5 = v & 31;
                        dst[x] = qRgb(int(r5 << 3 | r5 >> 2), int(g6 << 2 | g6 >> 4), int(b5 << 3 | b5 >> 2));
                    }
                }
            }
        }
        return image;
    }

    QImage grabScreen() const { return grab(QRect(QPoint(0, 0), size_)); }

    void warpPointer(QPoint p) const
    {
        xcb_warp_pointer(c_, XCB_NONE, root_, 0, 0, 0, 0, int16_t(p.x()), int16_t(p.y()));
        sync();
    }

    QPoint pointer() const
    {
        auto r = reply(xcb_query_pointer_reply(c_, xcb_query_pointer(c_, root_), nullptr));
        return r ? QPoint(r->root_x, r->root_y) : QPoint();
    }

    // What a window manager does when the user drags a window: the window is simply put
    // somewhere else and its client learns of it from the ConfigureNotify.
    void moveWindow(xcb_window_t w, QPoint p) const
    {
        const uint32_t values[] = {uint32_t(p.x()), uint32_t(p.y())};
        xcb_configure_window(c_, w, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, values);
        sync();
    }

    // The ICCCM close request a window manager sends when the user closes a window.
    void requestClose(xcb_window_t w) const
    {
        xcb_client_message_event_t ev;
        std::memset(&ev, 0, sizeof ev);
        ev.response_type = XCB_CLIENT_MESSAGE;
        ev.format = 32;
        ev.window = w;
        ev.type = atom("WM_PROTOCOLS");
        ev.data.data32[0] = atom("WM_DELETE_WINDOW");
        ev.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(c_, 0, w, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char *>(&ev));
        sync();
    }

    // A property's raw value; empty when the window has none of that type.
    QByteArray property(xcb_window_t w, xcb_atom_t prop, xcb_atom_t type) const
    {
        auto r = reply(xcb_get_property_reply(c_, xcb_get_property(c_, 0, w, prop, type, 0, 1024), nullptr));
        if (!r || r->type == XCB_ATOM_NONE)
            return QByteArray();
        return QByteArray(static_cast<const char *>(xcb_get_property_value(r.get())),
                          xcb_get_property_value_length(r.get()));
    }

private:
    xcb_connection_t *c_ = nullptr;
    xcb_window_t root_ = 0;
    QSize size_;
    int depth_ = 0;
};

// The control panel's content as designed, in device-independent pixels.
constexpr int kPanelWidth = 251;
constexpr int kPanelHeight = 137;

// A preferences file as the program writes it.
inline QByteArray prefsFile(int top, int left, int magnification, int width)
{
    return QStringLiteral("#Window1Position %1,%2\n#Magnification %3\n#DWWidth %4\n")
        .arg(top)
        .arg(left)
        .arg(magnification)
        .arg(width)
        .toLatin1();
}

inline QString rectText(const QRect &r)
{
    return QStringLiteral("%1x%2%3%4%5%6")
        .arg(r.width())
        .arg(r.height())
        .arg(r.x() < 0 ? "" : "+")
        .arg(r.x())
        .arg(r.y() < 0 ? "" : "+")
        .arg(r.y());
}

// The real program, started with a preferences file in a folder of its own and stopped (by its
// process id) when the test is done with it.
class Program
{
public:
    Program() = default;
    ~Program() { stop(); }
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;

    // `prefs` is the whole content of vzln.txt; `env` holds extra NAME=value settings, and
    // bare NAMEs of variables to leave out.
    bool start(const QByteArray &prefs, const QStringList &env = {})
    {
        if (!dir_.isValid())
            return false;
        QFile file(prefsPath());
        if (!file.open(QIODevice::WriteOnly) || file.write(prefs) != prefs.size())
            return false;
        file.close();

        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        // Whatever scaling the test itself runs under is not the program's.
        for (const char *name : {"QT_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS", "QT_ENABLE_HIGHDPI_SCALING",
                                 "QT_AUTO_SCREEN_SCALE_FACTOR", "QT_SCALE_FACTOR_ROUNDING_POLICY"})
            e.remove(QString::fromLatin1(name));
        e.insert(QStringLiteral("XDG_CONFIG_HOME"), dir_.path());
        e.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir_.path());
        e.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        for (const QString &kv : env) {
            const qsizetype eq = kv.indexOf(u'=');
            if (eq < 0)
                e.remove(kv);
            else
                e.insert(kv.left(eq), kv.mid(eq + 1));
        }
        process_.setProcessEnvironment(e);
        process_.setProcessChannelMode(QProcess::ForwardedChannels);
        process_.start(QStringLiteral(VIZZOLEN_BINARY), QStringList());
        return process_.waitForStarted(10000);
    }

    void stop()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }

    bool running() const { return process_.state() == QProcess::Running; }
    qint64 pid() const { return process_.processId(); }
    QProcess &process() { return process_; }
    QString prefsPath() const { return dir_.path() + QStringLiteral("/vzln.txt"); }

    QByteArray prefsText() const
    {
        QFile file(prefsPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
    }

    QString status()
    {
        if (running())
            return QStringLiteral("running");
        return QStringLiteral("ended: %1, exit code %2")
            .arg(process_.exitStatus() == QProcess::NormalExit ? "normal exit" : "crashed")
            .arg(process_.exitCode());
    }

private:
    QTemporaryDir dir_;
    QProcess process_;
};

// Real input through the XTEST extension, as a user's keyboard and mouse give it.
inline QString xdotool(const QStringList &args)
{
    const QString exe = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
    if (exe.isEmpty())
        return QStringLiteral("xdotool is not installed (Debian package xdotool)");
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(exe, args);
    if (!p.waitForFinished(10000)) {
        p.kill();
        p.waitForFinished();
        return QStringLiteral("xdotool %1: no answer").arg(args.join(u' '));
    }
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return QStringLiteral("xdotool %1: %2").arg(args.join(u' '), QString::fromLocal8Bit(p.readAll()));
    return QString();
}

} // namespace xh
