// Start-up through the real App, and the control panel's menu bar.

#include "app/App.h"
#include "app/MenuBar1.h"
#include "app/Window1.h"
#include "display/DisplayWindow.h"
#include "fakecapture.h"
#include "platform/ScreenInfo.h"
#include "platform/SingleInstance.h"
#include "settings/prefsModule.h"
#include "site.h"

#include <QMenu>
#include <QTemporaryDir>
#include <QtTest>

using namespace prefsModule;

class tst_app : public QObject
{
    Q_OBJECT

private:
    FakeCapture fake;

    static QStringList texts(const QList<QAction *> &actions)
    {
        QStringList list;
        for (QAction *a : actions)
            list << (a->isSeparator() ? QStringLiteral("-") : a->text());
        return list;
    }

private slots:
    // App's Open event has run by the time the event loop turns: the scale is taken and the
    // panel shown with its display window.
    //
    // Run on the offscreen screen (scale 1, or 2 by Qt's scaling) and on X servers whose
    // resource Xft.dpi (XFT_DPI) makes the screen high-DPI as a user's desktop does; only the
    // factors from 2 up to 3 make the screen scale 2.
    void startUp()
    {
        struct Screen { int dpi; double factor; int screenScale; };
        static const Screen screens[] = {
            {96, 1.0, 1}, {144, 1.5, 1}, {192, 2.0, 2}, {216, 2.25, 2}, {240, 2.5, 2},
        };
        QTRY_VERIFY(SingleInstance<Window1>::open() && SingleInstance<Window1>::open()->isVisible());
        QVERIFY(mainScreenObj);
        const double dpr = QGuiApplication::primaryScreen()->devicePixelRatio();
        const int dpi = qEnvironmentVariableIntValue("XFT_DPI");
        const Screen *screen = nullptr;
        for (const Screen &s : screens) {
            if (dpi ? s.dpi == dpi : s.factor == dpr)
                screen = &s;
        }
        QVERIFY2(screen, qPrintable(QStringLiteral("no expectation for Xft.dpi %1, factor %2").arg(dpi).arg(dpr)));
        if (dpi) { // the X server's setting alone (Qt Test sets the one it names itself)
            QStringList qt = QProcessEnvironment::systemEnvironment().keys().filter(QRegularExpression("^QT_"));
            qt.removeAll(QStringLiteral("QT_QTESTLIB_RUNNING"));
            QVERIFY2(qt.isEmpty(), qPrintable(qt.join(u' ')));
        }
        QCOMPARE(dpr, screen->factor);
        QCOMPARE(mainScreenObj->backingScaleFactor(), screen->factor);
        QCOMPARE(screenScale, screen->screenScale);
        QCOMPARE(magFactor, 3); // no file: the defaults
        QCOMPARE(displayWidth, 300);
        QVERIFY(SingleInstance<DisplayWindow>::open()->isVisible());

        // Each tick runs the refresh for this scale: as large as the window on scale 2.
        fake.clear();
        SingleInstance<Window1>::open()->Timer1_Action();
        const QSize expected = screen->screenScale == 2 ? QSize(300, 187) : QSize(100, 62);
        QCOMPARE(fake.captures.value(0).size(), expected);
    }

    void versionFromTheProject()
    {
        QCOMPARE(App::ShortVersion, QStringLiteral("%1.%2.%3").arg(App::MajorVersion).arg(App::MinorVersion).arg(App::BugVersion));
        QCOMPARE(App::ShortVersion, QStringLiteral("1.0.0"));
        QVERIFY(App::LongVersion.contains(App::ShortVersion));
    }

    // The desktop entry's name and the icon in every size the hicolor theme gets, on every
    // window (the panel and the display window inherit the application's icon).
    void desktopFileAndIcon()
    {
        QCOMPARE(QGuiApplication::desktopFileName(), QStringLiteral(VIZZOLEN_APP_ID));
        if (QStringLiteral(VIZZOLEN_SITE_HOST) == QStringLiteral("www.vizzolen.com"))
            QCOMPARE(QGuiApplication::desktopFileName(), QStringLiteral("com.vizzolen.Vizzolen"));

        const QIcon icon = QApplication::windowIcon();
        QVERIFY(!icon.isNull());
        QCOMPARE(icon.availableSizes(),
                 QList<QSize>({{16, 16}, {32, 32}, {48, 48}, {64, 64}, {128, 128}, {256, 256}}));
        for (const QSize &size : icon.availableSizes()) {
            // A drawing, not an empty square: some pixels opaque, the corner clear (at the PNG's own
            // size, whatever the screen's scale).
            const QImage image = icon.pixmap(size, 1.0).toImage().convertToFormat(QImage::Format_ARGB32);
            QCOMPARE(image.size(), size);
            int opaque = 0;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x)
                    opaque += qAlpha(image.pixel(x, y)) == 255;
            QVERIFY2(opaque > image.width() * image.height() / 8, qPrintable(QString::number(size.width())));
            QCOMPARE(qAlpha(image.pixel(image.width() - 1, 0)), 0);
        }
        QTRY_VERIFY(SingleInstance<Window1>::open() && SingleInstance<DisplayWindow>::open());
        QCOMPARE(SingleInstance<Window1>::open()->windowIcon().cacheKey(), icon.cacheKey());
        QCOMPARE(SingleInstance<DisplayWindow>::open()->windowIcon().cacheKey(), icon.cacheKey());
    }

    void menuBar()
    {
        MenuBar1 *bar = MenuBar1::instance();
        QCOMPARE(MenuBar1::instance(), bar); // one shared instance
        QCOMPARE(SingleInstance<Window1>::open()->menuBar(), bar);

        QCOMPARE(texts(bar->actions()),
                 QStringList({"&File", "&Edit", "Check for Update", "Help "}));
        QCOMPARE(texts(bar->menu("FileMenu")->actions()), QStringList({"Print Help", "&Quit"}));
        QCOMPARE(texts(bar->menu("EditMenu")->actions()),
                 QStringList({"&Undo", "-", "Cu&t", "&Copy", "&Paste", "&Delete", "-", "Select &All"}));
        QCOMPARE(texts(bar->menu("CheckforUpdateMenu")->actions()), QStringList({"Check Now"}));
        QCOMPARE(texts(bar->menu("HelpMenu")->actions()), QStringList({"Show Help", "About..."}));

        QCOMPARE(bar->item("UntitledMenu1"), bar->menu("EditMenu")->actions().at(1));
        QCOMPARE(bar->item("UntitledMenu0"), bar->menu("EditMenu")->actions().at(6));
        QCOMPARE(bar->item("HelpAboutBox")->menuRole(), QAction::AboutRole);
        QCOMPARE(bar->item("FileQuit")->menuRole(), QAction::QuitRole);
    }

    void shortcuts_data()
    {
        QTest::addColumn<QString>("item");
        QTest::addColumn<QKeySequence>("shortcut");
        QTest::newRow("Print Help") << "FilePrintHelp" << QKeySequence(Qt::CTRL | Qt::Key_P);
        QTest::newRow("Quit") << "FileQuit" << QKeySequence(Qt::CTRL | Qt::Key_Q);
        QTest::newRow("Undo") << "EditUndo" << QKeySequence(Qt::CTRL | Qt::Key_Z);
        QTest::newRow("Cut") << "EditCut" << QKeySequence(Qt::CTRL | Qt::Key_X);
        QTest::newRow("Copy") << "EditCopy" << QKeySequence(Qt::CTRL | Qt::Key_C);
        QTest::newRow("Paste") << "EditPaste" << QKeySequence(Qt::CTRL | Qt::Key_V);
        QTest::newRow("Delete") << "EditClear" << QKeySequence();
        QTest::newRow("Select All") << "EditSelectAll" << QKeySequence(Qt::CTRL | Qt::Key_A);
        QTest::newRow("Check Now") << "CheckforUpdateCheckNow" << QKeySequence();
        QTest::newRow("Show Help") << "HelpShowHelp" << QKeySequence();
        QTest::newRow("About") << "HelpAboutBox" << QKeySequence();
    }

    void shortcuts()
    {
        QFETCH(QString, item);
        QFETCH(QKeySequence, shortcut);
        QAction *a = MenuBar1::instance()->item(item);
        QVERIFY(a);
        QCOMPARE(a->shortcut(), shortcut);
    }

    // Opening any menu enables the two Help items again; nothing disables them.
    void enableMenuItems()
    {
        MenuBar1 *bar = MenuBar1::instance();
        bar->item("HelpShowHelp")->setEnabled(false);
        bar->item("HelpAboutBox")->setEnabled(false);
        emit bar->menu("FileMenu")->aboutToShow();
        QVERIFY(bar->item("HelpShowHelp")->isEnabled());
        QVERIFY(bar->item("HelpAboutBox")->isEnabled());
    }

    // "&Quit" goes through the panel's close, which writes the settings and ends the program.
    void quitWritesTheSettings()
    {
        Window1 *panel = SingleInstance<Window1>::open();
        QVERIFY(panel);
        QFile::remove(prefsFilePath());
        QTimer::singleShot(0, MenuBar1::instance()->item("FileQuit"), &QAction::trigger);
        QTRY_VERIFY(!panel->isVisible());
        QVERIFY(QFile::exists(prefsFilePath()));
    }
};

int main(int argc, char **argv)
{
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    App app(argc, argv);
    tst_app test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_app.moc"
