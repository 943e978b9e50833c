// What the real program asks of a window manager for the control panel's frame, read from the
// X server: the panel may be moved and closed, never minimised, zoomed or resized. A window
// manager that honours these hints gives the panel no such buttons, and none that could
// make it full screen and so move it (and the position it stores) to the screen's corner.
// Also what a dock reads to match the program's windows to its desktop entry and icon.

#include "e2e/xhelpers.h"

#include <QtTest>

namespace {

// The Motif window manager hints as the X server holds them.
enum : quint32 {
    HintsFunctions = 1u << 0,
    HintsDecorations = 1u << 1,
    FunctionAll = 1u << 0,
    FunctionResize = 1u << 1,
    FunctionMove = 1u << 2,
    FunctionMinimize = 1u << 3,
    FunctionMaximize = 1u << 4,
    FunctionClose = 1u << 5,
    DecorationAll = 1u << 0,
    DecorationTitle = 1u << 3,
    DecorationMinimize = 1u << 5,
    DecorationMaximize = 1u << 6,
};

QList<quint32> cardinals(const QByteArray &bytes)
{
    QList<quint32> list(bytes.size() / 4);
    std::memcpy(list.data(), bytes.constData(), size_t(list.size()) * 4);
    return list;
}

} // namespace

class TestE2eFrame : public QObject
{
    Q_OBJECT

private slots:
    void panelFrame()
    {
        xh::XConnection x;
        QVERIFY2(x.ok(), "cannot connect to the X server");
        xh::Program program;
        QVERIFY(program.start(QByteArray()));
        QTRY_VERIFY_WITH_TIMEOUT(x.window(program.pid(), QStringLiteral("Vizzolen")).value_or(xh::TopLevel()).viewable,
                                 8000);
        const xh::TopLevel panel = *x.window(program.pid(), QStringLiteral("Vizzolen"));

        const xcb_atom_t motif = x.atom("_MOTIF_WM_HINTS");
        const QList<quint32> hints = cardinals(x.property(panel.id, motif, motif));
        QVERIFY2(hints.size() >= 3, "the panel has no Motif hints: the window manager offers every button");
        const quint32 flags = hints.at(0), functions = hints.at(1), decorations = hints.at(2);
        QVERIFY(flags & HintsFunctions);
        QVERIFY(flags & HintsDecorations);
        QCOMPARE(functions & (FunctionAll | FunctionMinimize | FunctionMaximize), 0u);
        QCOMPARE(functions & (FunctionMove | FunctionClose), FunctionMove | FunctionClose);
        QCOMPARE(decorations & (DecorationAll | DecorationMinimize | DecorationMaximize), 0u);
        QVERIFY(decorations & DecorationTitle);

        // Its size is fixed: the smallest and the largest size it allows are its own.
        const QList<quint32> size = cardinals(x.property(panel.id, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS));
        QVERIFY(size.size() >= 9);
        const quint32 minSize = 1u << 4, maxSize = 1u << 5;
        QCOMPARE(size.at(0) & (minSize | maxSize), minSize | maxSize);
        QCOMPARE(QSize(int(size.at(5)), int(size.at(6))), panel.geometry.size());
        QCOMPARE(QSize(int(size.at(7)), int(size.at(8))), panel.geometry.size());
        QVERIFY2(program.running(), qPrintable(program.status()));
    }

    // A dock matches windows to the desktop entry by WM_CLASS's class against the entry's
    // StartupWMClass, and draws the icon the window carries: both of the program's windows have
    // the entry's class and an icon at the sizes title bars and task switchers use.
    void windowsMatchTheDesktopEntry()
    {
        QFile entry(QStringLiteral(VIZZOLEN_DESKTOP_ENTRY));
        QVERIFY2(entry.open(QIODevice::ReadOnly), qPrintable(entry.fileName()));
        QString wmClass;
        for (const QByteArray &line : entry.readAll().split('\n')) {
            if (line.startsWith("StartupWMClass="))
                wmClass = QString::fromUtf8(line.mid(int(std::strlen("StartupWMClass="))));
        }
        QVERIFY2(!wmClass.isEmpty(), "the desktop entry has no StartupWMClass");

        xh::XConnection x;
        QVERIFY2(x.ok(), "cannot connect to the X server");
        xh::Program program;
        QVERIFY(program.start(QByteArray()));
        for (const char *title : {"Vizzolen", "Display Window"}) {
            QTRY_VERIFY_WITH_TIMEOUT(x.window(program.pid(), QString::fromLatin1(title)).value_or(xh::TopLevel()).viewable,
                                     8000);
            const xh::TopLevel w = *x.window(program.pid(), QString::fromLatin1(title));
            // WM_CLASS: the instance name, then the class, each ended by a NUL.
            const QList<QByteArray> names = x.property(w.id, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING).split('\0');
            QVERIFY2(names.size() >= 2, title);
            QCOMPARE(QString::fromLatin1(names.at(1)), wmClass);

            // _NET_WM_ICON: width, height and that many pixels, for each size in turn.
            const QList<quint32> icon = cardinals(x.property(w.id, x.atom("_NET_WM_ICON"), XCB_ATOM_CARDINAL));
            QList<QSize> sizes;
            for (qsizetype i = 0; i + 1 < icon.size(); i += 2 + qsizetype(icon.at(i)) * icon.at(i + 1))
                sizes.append(QSize(int(icon.at(i)), int(icon.at(i + 1))));
            QVERIFY2(sizes.contains(QSize(16, 16)) && sizes.contains(QSize(32, 32)), title);
        }
        QVERIFY2(program.running(), qPrintable(program.status()));
    }
};

QTEST_GUILESS_MAIN(TestE2eFrame)
#include "tst_e2e_frame.moc"
