// The real program on a still screen: what it sends to the X server, counted from outside by
// an LD_PRELOAD shim (requestcount.cpp) around libxcb, and what its view shows, read back from
// the server. Where the server reports damage, a still screen under a still pointer costs no
// copy and no composite at all; a pixel drawn under the view's rectangle, or a pointer moved by
// one pixel, is shown within two refresh ticks; a view that looks at itself is drawn every
// tick. Registered on a plain Xvfb, under three compositing managers (picom, xcompmgr,
// mutter), on a server without DAMAGE (every tick refreshes, the pixels the same), and with the
// program drawing the view itself (VIZZOLEN_NO_RENDER: every tick, as before).

#include "e2e/requestcount.h"
#include "e2e/xhelpers.h"
#include "refreshcases.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <xcb/damage.h>
#include <xcb/render.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>

using namespace requestcount;
using xh::rectText;

namespace {

// The panel's content and the view as the tests place them: magnification 3, a 400 x 250 view
// showing 133 x 83 screen pixels, standing at 281,747 (without a window manager).
const QPoint kPanel(20, 860);
constexpr int kMagnification = 3;
constexpr int kWidth = 400;
// Far from the panel, the view and the rectangle of every row's pointer.
const QPoint kElsewhere(1100, 100);
// Colours the pattern never has: its blue always has the top bit set.
const QRgb kRed = qRgb(255, 0, 0);
const QRgb kGreen = qRgb(0, 255, 0);

// No pixel of the pattern repeats on the test's screen, so a view shifted by one pixel shows.
QRgb patternAt(int x, int y)
{
    return qRgb(x & 255, y & 255, 0x80 | ((x >> 8) & 0x0f) | (((y >> 8) & 0x07) << 4));
}

QString colourText(QRgb c)
{
    return QStringLiteral("(%1,%2,%3)").arg(qRed(c)).arg(qGreen(c)).arg(qBlue(c));
}

// The screen rectangle a view of width x height at magnification m shows with the pointer at
// `pointer`, on a screen of scale 1.
QRect expectedSource(int m, int width, int height, QPoint pointer)
{
    const RefreshCase c = refreshCase(1, m, width);
    return QRect(pointer.x() - c.x, pointer.y() - c.y, int(std::trunc(double(width) / m)),
                 int(std::trunc(double(height) / m)));
}

// The counters of the shim preloaded into the program, in a file of the test's.
class Counters
{
public:
    bool open(const QString &path)
    {
        path_ = path;
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(kBytes, 0)) != qint64(kBytes))
            return false;
        file.close();
        const int fd = ::open(qPrintable(path), O_RDWR);
        if (fd < 0)
            return false;
        void *p = mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ::close(fd);
        slots_ = p == MAP_FAILED ? nullptr : static_cast<std::uint64_t *>(p);
        return slots_ != nullptr;
    }
    ~Counters()
    {
        if (slots_)
            munmap(slots_, kBytes);
    }
    quint64 operator[](Slot s) const { return __atomic_load_n(&slots_[s], __ATOMIC_SEQ_CST); }
    void set(Slot s, quint64 v) { __atomic_store_n(&slots_[s], v, __ATOMIC_SEQ_CST); }
    QString path() const { return path_; }

private:
    QString path_;
    std::uint64_t *slots_ = nullptr;
};

struct Snapshot
{
    quint64 ticks, copies, composites, fills, puts;
    explicit Snapshot(const Counters &c)
        : ticks(c[kPointerQueries]), copies(c[kCopies]), composites(c[kComposites]), fills(c[kFills]), puts(c[kPuts])
    {
    }
};

// A window of the test's own covering the screen with the pattern, which keeps it as its
// background so that the server repaints what the program's windows uncover. Override-redirect,
// so that no window manager moves or restacks it. One row short of the screen: mutter takes an
// override-redirect window of the screen's size for a full-screen game's, shows it straight,
// and composites nothing above it any more.
class PatternWindow
{
public:
    explicit PatternWindow(const xh::XConnection &x) : x_(x)
    {
        xcb_connection_t *c = x.get();
        const QSize size = x.screenSize() - QSize(0, 1);
        background_ = xcb_generate_id(c);
        xcb_create_pixmap(c, 24, background_, x.root(), uint16_t(size.width()), uint16_t(size.height()));
        gc_ = xcb_generate_id(c);
        xcb_create_gc(c, gc_, background_, 0, nullptr);
        const int band = 64;
        QByteArray rows(size.width() * 4 * band, 0);
        for (int top = 0; top < size.height(); top += band) {
            const int n = std::min(band, size.height() - top);
            auto *p = reinterpret_cast<quint32 *>(rows.data());
            for (int y = 0; y < n; ++y) {
                for (int px = 0; px < size.width(); ++px)
                    *p++ = patternAt(px, top + y) & 0xffffff;
            }
            xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, background_, gc_, uint16_t(size.width()), uint16_t(n), 0,
                          int16_t(top), 0, 24, uint32_t(size.width() * 4 * n),
                          reinterpret_cast<const uint8_t *>(rows.constData()));
        }
        window_ = xcb_generate_id(c);
        const uint32_t values[] = {background_, 1};
        xcb_create_window(c, 24, window_, x.root(), 0, 0, uint16_t(size.width()), uint16_t(size.height()), 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                          XCB_CW_BACK_PIXMAP | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(c, window_);
        x.sync();
    }
    ~PatternWindow()
    {
        xcb_destroy_window(x_.get(), window_);
        xcb_free_pixmap(x_.get(), background_);
        xcb_free_gc(x_.get(), gc_);
        x_.sync();
    }

    // Draws one pixel of the window, as a client draws, and keeps it in the background.
    void set(QPoint p, QRgb colour) const
    {
        xcb_connection_t *c = x_.get();
        const uint32_t pixel = colour & 0xffffff;
        xcb_change_gc(c, gc_, XCB_GC_FOREGROUND, &pixel);
        const xcb_rectangle_t r{int16_t(p.x()), int16_t(p.y()), 1, 1};
        xcb_poly_fill_rectangle(c, background_, gc_, 1, &r);
        xcb_poly_fill_rectangle(c, window_, gc_, 1, &r);
        x_.sync();
    }

private:
    const xh::XConnection &x_;
    xcb_pixmap_t background_ = 0;
    xcb_gcontext_t gc_ = 0;
    xcb_window_t window_ = 0;
};

} // namespace

class TestE2eDamage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void stillScreen_data();
    void stillScreen();
    void changeShown_data();
    void changeShown();
    void pointerFollowed();
    void resizedView();
    void viewOfItself();
    void changeBetweenCopyAndClearing();

private:
    // Starts the program with the pointer at `pointer` and waits for its first picture.
    QString start(xh::Program &program, Counters &counters, QPoint pointer);
    // The program's display window: its X window and where it stands on the screen.
    bool findView(qint64 pid, xcb_window_t &id, QRect &onScreen) const;
    // What is wrong with the view against `source` as the screen shows it now, or nothing.
    // Every magnified cell is checked at its middle, so that the rounding of the scaling cannot
    // matter.
    QString viewWrong(QRect source, bool lastRow = false) const;
    // Until the program has begun `n` more ticks than it had at `from`; false when it has not
    // in 10 s (it stopped refreshing).
    bool waitTicks(const Counters &counters, quint64 from, int n) const;
    // Until the screen itself shows `colour` at `p`, which under a compositing manager waits
    // for its repaint.
    bool waitScreenShows(QPoint p, QRgb colour) const;
    // `p` changed to `colour`, then whether the view shows it within two ticks.
    QString changeAndWait(const Counters &counters, QPoint p, QRgb colour, QRect source);

    xh::XConnection x_;
    std::unique_ptr<PatternWindow> pattern_;
    QTemporaryDir dir_;
    bool damage_ = false;      // the server reports damage
    bool serverDraws_ = false; // the program's view is drawn by the server
    xcb_window_t view_ = 0;
    QRect viewOnScreen_;
};

void TestE2eDamage::initTestCase()
{
    QVERIFY2(x_.ok(), "cannot connect to the X server");
    QCOMPARE(x_.depth(), 24);
    QCOMPARE(x_.screenSize(), QSize(1280, 1024));
    QVERIFY(dir_.isValid());

    const xcb_query_extension_reply_t *damage = xcb_get_extension_data(x_.get(), &xcb_damage_id);
    const xcb_query_extension_reply_t *render = xcb_get_extension_data(x_.get(), &xcb_render_id);
    damage_ = damage && damage->present;
    serverDraws_ = render && render->present && !qEnvironmentVariableIsSet("VIZZOLEN_NO_RENDER");
    // The runs registered without DAMAGE or under a compositing manager must really be so.
    if (qEnvironmentVariable("XVFB_ARGS").contains(QLatin1String("DAMAGE")))
        QVERIFY2(!damage_, "the server was to run without DAMAGE but offers it");
    else
        QVERIFY2(damage_, "the server offers no DAMAGE");
    const QString wm = qEnvironmentVariable("XVFB_WM");
    if (!wm.isEmpty()) {
        const QByteArray name = "_NET_WM_CM_S0";
        const xcb_atom_t selection = x_.atom(name.constData());
        auto owner = [&] {
            auto r = xh::reply(xcb_get_selection_owner_reply(x_.get(), xcb_get_selection_owner(x_.get(), selection), nullptr));
            return r ? r->owner : XCB_NONE;
        };
        QTRY_VERIFY2_WITH_TIMEOUT(owner() != XCB_NONE, qPrintable(wm + QStringLiteral(" does not composite")), 30000);
    }
    qInfo("DAMAGE %s, view drawn by %s, compositing manager: %s", damage_ ? "offered" : "not offered",
          serverDraws_ ? "the server" : "the program", wm.isEmpty() ? "none" : qPrintable(wm));

    pattern_ = std::make_unique<PatternWindow>(x_);
    QTRY_VERIFY_WITH_TIMEOUT(x_.grab(QRect(1000, 700, 1, 1)).pixel(0, 0) == patternAt(1000, 700), 10000);
}

bool TestE2eDamage::findView(qint64 pid, xcb_window_t &id, QRect &onScreen) const
{
    const xcb_atom_t netName = x_.atom("_NET_WM_NAME");
    const xcb_atom_t utf8 = x_.atom("UTF8_STRING");
    const xcb_atom_t netPid = x_.atom("_NET_WM_PID");
    // A window manager may have put it into a frame of its own.
    QList<xcb_window_t> windows{x_.root()};
    while (!windows.isEmpty()) {
        const xcb_window_t w = windows.takeFirst();
        auto tree = xh::reply(xcb_query_tree_reply(x_.get(), xcb_query_tree(x_.get(), w), nullptr));
        if (!tree)
            continue;
        const xcb_window_t *children = xcb_query_tree_children(tree.get());
        for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i)
            windows.append(children[i]);
        const QByteArray pidValue = x_.property(w, netPid, XCB_ATOM_CARDINAL);
        quint32 owner = 0;
        if (pidValue.size() == 4)
            std::memcpy(&owner, pidValue.constData(), 4);
        if (owner != quint32(pid) || x_.property(w, netName, utf8) != "Display Window")
            continue;
        auto attributes = xh::reply(xcb_get_window_attributes_reply(x_.get(), xcb_get_window_attributes(x_.get(), w), nullptr));
        auto geometry = xh::reply(xcb_get_geometry_reply(x_.get(), xcb_get_geometry(x_.get(), w), nullptr));
        auto at = xh::reply(xcb_translate_coordinates_reply(
            x_.get(), xcb_translate_coordinates(x_.get(), w, x_.root(), 0, 0), nullptr));
        if (!attributes || !geometry || !at || attributes->map_state != XCB_MAP_STATE_VIEWABLE)
            continue;
        id = w;
        onScreen = QRect(at->dst_x, at->dst_y, geometry->width, geometry->height);
        return true;
    }
    return false;
}

QString TestE2eDamage::viewWrong(QRect source, bool lastRow) const
{
    const QSize size = viewOnScreen_.size();
    auto image = xh::reply(xcb_get_image_reply(
        x_.get(),
        xcb_get_image(x_.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, view_, 0, 0, uint16_t(size.width()),
                      uint16_t(size.height()), ~0u),
        nullptr));
    if (!image || xcb_get_image_data_length(image.get()) < size.width() * size.height() * 4)
        return QStringLiteral("the view could not be read from the server");
    const auto *view = reinterpret_cast<const quint32 *>(xcb_get_image_data(image.get()));
    const QRect screenRect(QPoint(0, 0), x_.screenSize());
    const QRect shown = source & screenRect;
    const QImage screen = shown.isEmpty() ? QImage() : x_.grab(shown);
    const int W = size.width(), H = size.height(), cw = source.width(), ch = source.height();
    int bad = 0;
    QString first;
    // With `lastRow`, the window's bottom row as well, which shows the rectangle's.
    for (int j = 0; j < ch + (lastRow ? 1 : 0); ++j) {
        const int dy = j < ch ? int((qint64(2 * j + 1) * H) / (2 * ch)) : H - 1;
        for (int i = 0; i < cw; ++i) {
            const int dx = int((qint64(2 * i + 1) * W) / (2 * cw));
            const QPoint s(source.left() + int(qint64(dx) * cw / W), source.top() + int(qint64(dy) * ch / H));
            const QRgb expected = shown.contains(s) ? screen.pixel(s - shown.topLeft()) : qRgb(0, 0, 0);
            const QRgb actual = view[dy * W + dx] | 0xff000000u;
            if (actual != expected && bad++ == 0)
                first = QStringLiteral("view pixel (%1,%2) is %3, the screen's (%4,%5) is %6")
                            .arg(dx)
                            .arg(dy)
                            .arg(colourText(actual))
                            .arg(s.x())
                            .arg(s.y())
                            .arg(colourText(expected));
        }
    }
    if (bad == 0)
        return QString();
    return QStringLiteral("%1 of %2 cells wrong showing %3 in the view at %4; first: %5")
        .arg(bad)
        .arg(cw * ch)
        .arg(rectText(source), rectText(viewOnScreen_), first);
}

bool TestE2eDamage::waitTicks(const Counters &counters, quint64 from, int n) const
{
    QElapsedTimer timer;
    timer.start();
    while (counters[kPointerQueries] < from + quint64(n)) {
        if (timer.elapsed() > 10000)
            return false;
        QTest::qWait(2);
    }
    return true;
}

bool TestE2eDamage::waitScreenShows(QPoint p, QRgb colour) const
{
    QElapsedTimer timer;
    timer.start();
    while (x_.grab(QRect(p, QSize(1, 1))).pixel(0, 0) != colour) {
        if (timer.elapsed() > 10000)
            return false;
        QTest::qWait(2);
    }
    return true;
}

QString TestE2eDamage::start(xh::Program &program, Counters &counters, QPoint pointer)
{
    x_.warpPointer(pointer);
    static int runs = 0;
    if (!counters.open(dir_.filePath(QStringLiteral("counts%1").arg(++runs))))
        return QStringLiteral("no counter file");
    const QStringList env{QStringLiteral("LD_PRELOAD=" VIZZOLEN_REQUESTCOUNT),
                          QStringLiteral("VZLN_REQUEST_COUNTER=") + counters.path()};
    if (!program.start(xh::prefsFile(kPanel.y(), kPanel.x(), kMagnification, kWidth), env))
        return QStringLiteral("the program did not start");
    QElapsedTimer timer;
    timer.start();
    QString why = QStringLiteral("no display window");
    while (timer.elapsed() < 10000) {
        if (!program.running())
            return QStringLiteral("the program %1").arg(program.status());
        if (findView(program.pid(), view_, viewOnScreen_)) {
            if (viewOnScreen_.size() != QSize(kWidth, displayHeight(kWidth)))
                return QStringLiteral("a view of %1").arg(rectText(viewOnScreen_));
            why = viewWrong(expectedSource(kMagnification, kWidth, viewOnScreen_.height(), pointer));
            if (why.isEmpty())
                return QString();
        }
        QTest::qWait(25);
    }
    return QStringLiteral("no first picture: ") + why;
}

QString TestE2eDamage::changeAndWait(const Counters &counters, QPoint p, QRgb colour, QRect source)
{
    pattern_->set(p, colour);
    if (!waitScreenShows(p, colour))
        return QStringLiteral("the screen never showed the change");
    // The tick begun at `from` may have read the pointer before the change; the next one
    // cannot have, and once the one after it has begun, the server has done the first's drawing.
    const quint64 from = counters[kPointerQueries];
    if (!waitTicks(counters, from, 3))
        return QStringLiteral("the program stopped refreshing");
    const QString why = viewWrong(source);
    return why.isEmpty() ? QString()
                         : QStringLiteral("%1 at %2,%3: %4").arg(colourText(colour)).arg(p.x()).arg(p.y()).arg(why);
}

void TestE2eDamage::stillScreen_data()
{
    QTest::addColumn<bool>("changesElsewhere");
    QTest::newRow("nothing changes") << false;
    // Damage that does not meet the rectangle is no reason to draw.
    QTest::newRow("the screen changes away from the view") << true;
}

// On a still screen with a still pointer, two seconds of ticks after the first picture.
void TestE2eDamage::stillScreen()
{
    QFETCH(bool, changesElsewhere);
    const QPoint pointer(500, 300);
    xh::Program program;
    Counters counters;
    const QString why = start(program, counters, pointer);
    QVERIFY2(why.isEmpty(), qPrintable(why));
    const QRect source = expectedSource(kMagnification, kWidth, viewOnScreen_.height(), pointer);
    QVERIFY(!source.contains(kElsewhere) && !viewOnScreen_.contains(kElsewhere));
    if (damage_ && serverDraws_) {
        // A compositing manager may still be repainting the screen (mutter shows new windows
        // with an animation, and repaints it all at first): the screen is still once the
        // program has copied nothing for ten ticks.
        QElapsedTimer timer;
        timer.start();
        for (Snapshot last(counters);; last = Snapshot(counters)) {
            QVERIFY2(waitTicks(counters, last.ticks, 10), "the program stopped refreshing");
            if (counters[kCopies] == last.copies)
                break;
            QVERIFY2(timer.elapsed() < 10000, "the program never stopped copying on a still screen");
        }
        qInfo("still after %lld ms", qint64(timer.elapsed()));
    }

    const Snapshot before(counters);
    for (int i = 0; counters[kPointerQueries] < before.ticks + 40; ++i) {
        if (changesElsewhere)
            pattern_->set(kElsewhere, i % 2 ? kRed : kGreen);
        QVERIFY2(waitTicks(counters, counters[kPointerQueries], 1), "the program stopped refreshing");
    }
    const Snapshot after(counters);
    const quint64 ticks = after.ticks - before.ticks;
    const quint64 copies = after.copies - before.copies, composites = after.composites - before.composites,
                  fills = after.fills - before.fills, puts = after.puts - before.puts;
    qInfo("%llu ticks: %llu copies, %llu composites, %llu fills, %llu puts", ticks, copies, composites, fills, puts);
    if (damage_ && serverDraws_) {
        QCOMPARE(copies, 0ull);
        QCOMPARE(composites, 0ull);
        QCOMPARE(fills, 0ull);
    } else if (serverDraws_) {
        // Without DAMAGE: a copy and a composite every tick, as ever.
        QVERIFY2(copies + 1 >= ticks && composites + 1 >= ticks, "a refresh without DAMAGE left out a tick");
    } else {
        QVERIFY2(puts + 1 >= ticks, "the program drawing its view left out a tick");
    }
    const QString still = viewWrong(source);
    QVERIFY2(still.isEmpty(), qPrintable(still));
    QVERIFY2(program.running(), qPrintable(program.status()));
}

void TestE2eDamage::changeShown_data()
{
    QTest::addColumn<QPoint>("where"); // in the rectangle, from its top-left corner
    const QRect source = expectedSource(kMagnification, kWidth, displayHeight(kWidth), QPoint(500, 300));
    QTest::newRow("middle") << QPoint(source.width() / 2, source.height() / 2);
    QTest::newRow("first pixel") << QPoint(0, 0);
    QTest::newRow("last pixel") << QPoint(source.width() - 1, source.height() - 1);
}

// One pixel of a window under the rectangle changes, then again, then back: each time the
// view shows it within two ticks.
void TestE2eDamage::changeShown()
{
    QFETCH(QPoint, where);
    const QPoint pointer(500, 300);
    xh::Program program;
    Counters counters;
    QString why = start(program, counters, pointer);
    QVERIFY2(why.isEmpty(), qPrintable(why));
    const QRect source = expectedSource(kMagnification, kWidth, viewOnScreen_.height(), pointer);
    const QPoint p = source.topLeft() + where;
    QVERIFY(source.contains(p));
    for (const QRgb colour : {kRed, kGreen, patternAt(p.x(), p.y())}) {
        why = changeAndWait(counters, p, colour, source);
        QVERIFY2(why.isEmpty(), qPrintable(why));
    }
}

// The pointer moved by one pixel, each way: the view follows within two ticks.
void TestE2eDamage::pointerFollowed()
{
    QPoint pointer(500, 300);
    xh::Program program;
    Counters counters;
    QString why = start(program, counters, pointer);
    QVERIFY2(why.isEmpty(), qPrintable(why));
    for (const QPoint step : {QPoint(1, 0), QPoint(0, 1), QPoint(-1, 0), QPoint(0, -1)}) {
        pointer += step;
        x_.warpPointer(pointer);
        const quint64 from = counters[kPointerQueries];
        QVERIFY2(waitTicks(counters, from, 3), "the program stopped refreshing");
        why = viewWrong(expectedSource(kMagnification, kWidth, viewOnScreen_.height(), pointer));
        QVERIFY2(why.isEmpty(), qPrintable(QStringLiteral("pointer at %1,%2: %3").arg(pointer.x()).arg(pointer.y()).arg(why)));
    }
}

// The view made one row taller from outside, as a window manager may: the rectangle stays the
// same (83 rows of the screen), the picture must fill the new height within two ticks.
void TestE2eDamage::resizedView()
{
    const QPoint pointer(500, 300);
    xh::Program program;
    Counters counters;
    QString why = start(program, counters, pointer);
    QVERIFY2(why.isEmpty(), qPrintable(why));
    const QRect before = expectedSource(kMagnification, kWidth, viewOnScreen_.height(), pointer);
    const uint32_t height = uint32_t(viewOnScreen_.height() + 1);
    xcb_configure_window(x_.get(), view_, XCB_CONFIG_WINDOW_HEIGHT, &height);
    x_.sync();
    QTRY_VERIFY_WITH_TIMEOUT(findView(program.pid(), view_, viewOnScreen_) && viewOnScreen_.height() == int(height),
                             10000);
    const QRect source = expectedSource(kMagnification, kWidth, viewOnScreen_.height(), pointer);
    QCOMPARE(source, before);
    QVERIFY2(waitTicks(counters, counters[kPointerQueries], 3), "the program stopped refreshing");
    why = viewWrong(source, true);
    QVERIFY2(why.isEmpty(), qPrintable(why));
}

// The rectangle takes in part of the view itself: each picture shows the last one, and is
// drawn every tick, as without damage. Once the pictures no longer change the view is what
// its rectangle of the screen shows.
void TestE2eDamage::viewOfItself()
{
    const QPoint pointer(330, 770);
    xh::Program program;
    Counters counters;
    x_.warpPointer(pointer);
    QVERIFY(counters.open(dir_.filePath(QStringLiteral("itself"))));
    QVERIFY(program.start(xh::prefsFile(kPanel.y(), kPanel.x(), kMagnification, kWidth),
                          {QStringLiteral("LD_PRELOAD=" VIZZOLEN_REQUESTCOUNT),
                           QStringLiteral("VZLN_REQUEST_COUNTER=") + counters.path()}));
    QTRY_VERIFY_WITH_TIMEOUT(findView(program.pid(), view_, viewOnScreen_), 10000);
    const QRect source = expectedSource(kMagnification, kWidth, viewOnScreen_.height(), pointer);
    QVERIFY2(source.intersects(viewOnScreen_), qPrintable(QStringLiteral("bad test: the view %1 is not in %2")
                                                              .arg(rectText(viewOnScreen_), rectText(source))));
    // A view of a view of ... settles within a few ticks.
    QVERIFY(waitTicks(counters, counters[kPointerQueries], 20));

    const Snapshot before(counters);
    QVERIFY(waitTicks(counters, before.ticks, 40));
    const Snapshot after(counters);
    const quint64 ticks = after.ticks - before.ticks;
    const quint64 drawn = serverDraws_ ? after.composites - before.composites : after.puts - before.puts;
    qInfo("%llu ticks, %llu drawn", ticks, drawn);
    QVERIFY2(drawn + 2 >= ticks, qPrintable(QStringLiteral("drawn in %1 of %2 ticks").arg(drawn).arg(ticks)));
    const QString why = viewWrong(source);
    QVERIFY2(why.isEmpty(), qPrintable(why));
}

// A pixel under the rectangle changes (the program copies again for it) and changes once more
// right after that copy is done on the server, before the program goes on. The second change
// must be shown too: the damage it causes is reported only if the program cleared the damage
// it knew of before copying, not after.
void TestE2eDamage::changeBetweenCopyAndClearing()
{
    const QPoint pointer(500, 300);
    xh::Program program;
    Counters counters;
    QString why = start(program, counters, pointer);
    QVERIFY2(why.isEmpty(), qPrintable(why));
    const QRect source = expectedSource(kMagnification, kWidth, viewOnScreen_.height(), pointer);
    const QPoint p = source.center();

    for (int round = 0; round < 3; ++round) {
        counters.set(kHold, kArmed);
        pattern_->set(p, kRed);
        QVERIFY2(waitScreenShows(p, kRed), "the screen never showed the first change");
        QTRY_VERIFY2_WITH_TIMEOUT(counters[kHold] == kHolding, "the program copied nothing for the change", 10000);
        pattern_->set(p, kGreen);
        QVERIFY2(waitScreenShows(p, kGreen), "the screen never showed the second change");
        counters.set(kHold, kReleased);
        QTRY_VERIFY_WITH_TIMEOUT(counters[kHold] == kIdle, 10000);
        QVERIFY2(waitTicks(counters, counters[kPointerQueries], 3), "the program stopped refreshing");
        why = viewWrong(source);
        QVERIFY2(why.isEmpty(), qPrintable(QStringLiteral("round %1: %2").arg(round).arg(why)));
        why = changeAndWait(counters, p, patternAt(p.x(), p.y()), source);
        QVERIFY2(why.isEmpty(), qPrintable(why));
    }
}

QTEST_MAIN(TestE2eDamage)
#include "tst_e2e_damage.moc"
