// The control panel: where it opens, how it places the display window, what its sliders, its
// "Hide" box and its timer do, and what closing it writes.

#include "app/Window1.h"
#include "display/DisplayWindow.h"
#include "fakecapture.h"
#include "platform/SingleInstance.h"
#include "settings/prefsModule.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QScreen>
#include <QSlider>
#include <QTemporaryDir>
#include <QtTest>

using namespace prefsModule;

class tst_panel : public QObject
{
    Q_OBJECT

private:
    FakeCapture fake;
    QTemporaryDir config;
    QPointer<Window1> panel;

    static int availableHeight() { return QGuiApplication::primaryScreen()->availableGeometry().height(); }

    void writeFile(const QByteArray &bytes)
    {
        QFile f(prefsFilePath());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

    void open(const QByteArray &prefs = QByteArray())
    {
        QFile::remove(prefsFilePath());
        if (!prefs.isNull())
            writeFile(prefs);
        panel = SingleInstance<Window1>::get();
        panel->show();
        QVERIFY(QTest::qWaitForWindowExposed(panel));
    }

    static DisplayWindow *display() { return SingleInstance<DisplayWindow>::open(); }
    template <class T>
    T *control(const char *name) { return panel->findChild<T *>(QString::fromLatin1(name)); }

    // The display window stands 10 pixels right of the panel, its bottom level with the panel's.
    void verifyPlacement(int width)
    {
        const int height = int(width / 1.6);
        QVERIFY(display());
        QCOMPARE(display()->geometry(),
                 QRect(panel->Left() + 251 + 10, panel->Top() + 137 - height, width, height));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(config.isValid());
        qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    }

    void init() { resetState(); }

    void cleanup()
    {
        delete panel; // deleted, not closed: closing would write the file and quit
        panel = nullptr;
        delete display();
    }

    void firstRunDefaults()
    {
        open();
        QCOMPARE(panel->Width(), 251);
        QCOMPARE(panel->Height(), 137);
        QCOMPARE(panel->Top(), 150);
        QCOMPARE(panel->Left(), 150);
        QCOMPARE(panel->windowTitle(), QStringLiteral("Vizzolen"));
        QCOMPARE(control<QLineEdit>("TextField1")->text(), QStringLiteral("3"));
        QCOMPARE(control<QLineEdit>("TextField2")->text(), QStringLiteral("300"));
        QCOMPARE(control<QSlider>("Slider1")->value(), 3);
        QCOMPARE(control<QSlider>("Slider2")->value(), 300);
        QVERIFY(!control<QCheckBox>("CheckBox1")->isChecked());
        QCOMPARE(display()->geometry(), QRect(411, 150 + 137 - 187, 300, 187));
        QVERIFY(display()->isVisible());
        QCOMPARE(display()->windowTitle(), QStringLiteral("Display Window"));
        QVERIFY(display()->windowFlags() & Qt::FramelessWindowHint);
        QVERIFY(display()->windowFlags() & Qt::WindowDoesNotAcceptFocus);
    }

    // A fixed-size window with a title bar and a close box, and nothing else: no minimise, zoom
    // or full-screen box. Qt hands the window manager every function of a window whose buttons
    // it is not told, so the panel must name its own.
    void frame()
    {
        open();
        const Qt::WindowFlags flags = panel->windowFlags();
        QCOMPARE(flags & Qt::WindowType_Mask, Qt::Window);
        QVERIFY(flags & Qt::CustomizeWindowHint);
        QVERIFY(flags & Qt::WindowTitleHint);
        QVERIFY(flags & Qt::WindowCloseButtonHint);
        QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
        QVERIFY(!(flags & Qt::WindowFullscreenButtonHint));
        QCOMPARE(panel->minimumSize(), panel->maximumSize());
        QCOMPARE(panel->centralWidget()->size(), QSize(251, 137));
    }

    void storedPosition_data()
    {
        QTest::addColumn<int>("savedTop");
        QTest::addColumn<int>("savedLeft");
        QTest::addColumn<int>("expectedTop");
        QTest::addColumn<int>("expectedLeft");
        const int a = availableHeight();
        QTest::newRow("bottom edge exactly on the screen") << a - 137 << 40 << a - 137 << 40;
        QTest::newRow("one pixel below") << a - 136 << 40 << a - 137 << 40;
        QTest::newRow("far below") << a + 5000 << 40 << a - 137 << 40;
        QTest::newRow("left beyond the right edge kept") << 100 << 5000 << 100 << 5000;
    }

    // Numbers no window system can hold are kept at the edge of the X11 coordinate range.
    void hugeStoredPosition()
    {
        open("#Window1Position 2147483647,2147483647\n#Magnification 4\n#DWWidth 500\n");
        QCOMPARE(prefsModule::savedLeft, 2147483647);
        QCOMPARE(panel->Top(), availableHeight() - 137);
        QCOMPARE(panel->Left(), 32767);
        QCOMPARE(display()->geometry(), QRect(32767, availableHeight() - 312, 500, 312));
    }

    void storedPosition()
    {
        QFETCH(int, savedTop);
        QFETCH(int, savedLeft);
        QFETCH(int, expectedTop);
        QFETCH(int, expectedLeft);
        open(QStringLiteral("#Window1Position %1,%2\n#Magnification 4\n#DWWidth 500\n")
                 .arg(savedTop).arg(savedLeft).toLatin1());
        QCOMPARE(panel->Top(), expectedTop);
        QCOMPARE(panel->Left(), expectedLeft);
        QCOMPARE(prefsModule::savedTop, savedTop); // kept as read, for the about box
        QCOMPARE(control<QLineEdit>("TextField1")->text(), QStringLiteral("4"));
        QCOMPARE(control<QLineEdit>("TextField2")->text(), QStringLiteral("500"));
        verifyPlacement(500);
    }

    void widthSlider_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("width");
        QTest::newRow("200") << 200 << 200;
        QTest::newRow("300") << 300 << 300;
        QTest::newRow("400") << 400 << 400;
        QTest::newRow("500") << 500 << 500;
        QTest::newRow("600 rises above the panel") << 600 << 600;
        QTest::newRow("250 cuts to 200") << 250 << 200;
        QTest::newRow("299 cuts to 200") << 299 << 200;
        QTest::newRow("599 cuts to 500") << 599 << 500;
    }

    void widthSlider()
    {
        QFETCH(int, value);
        QFETCH(int, width);
        open("#Window1Position 400,100\n#Magnification 3\n#DWWidth 300\n");
        control<QSlider>("Slider2")->setValue(value);
        QCOMPARE(control<QSlider>("Slider2")->value(), value); // the slider stays where it was put
        QCOMPARE(control<QLineEdit>("TextField2")->text(), QString::number(width));
        QCOMPARE(displayWidth, width);
        verifyPlacement(width);
    }

    void magnificationSlider()
    {
        open();
        fake.clear();
        control<QSlider>("Slider1")->setValue(5);
        QCOMPARE(magFactor, 5);
        QCOMPARE(control<QLineEdit>("TextField1")->text(), QStringLiteral("5"));
        QVERIFY(fake.captures.isEmpty()); // the view follows with the next tick
        panel->Timer1_Action();
        QCOMPARE(fake.captures.value(0).size(), QSize(60, 37)); // 300 x 187 over 5
    }

    // Values the sliders cannot show are brought into their range before they reach the refresh.
    void storedValuesOutsideTheSliders_data()
    {
        QTest::addColumn<QByteArray>("prefs");
        QTest::addColumn<int>("magnification");
        QTest::addColumn<int>("width");
        QTest::newRow("magnification 9, width 700") << QByteArray("#Magnification 9\n#DWWidth 700\n") << 6 << 600;
        QTest::newRow("width 250") << QByteArray("#Magnification 2\n#DWWidth 250\n") << 2 << 200;
        QTest::newRow("keys missing") << QByteArray("#Window1Position 100,100\n") << 2 << 200;
    }

    void storedValuesOutsideTheSliders()
    {
        QFETCH(QByteArray, prefs);
        QFETCH(int, magnification);
        QFETCH(int, width);
        open(prefs);
        QCOMPARE(magFactor, magnification);
        QCOMPARE(displayWidth, width);
        QCOMPARE(control<QLineEdit>("TextField1")->text(), QString::number(magnification));
        QCOMPARE(control<QLineEdit>("TextField2")->text(), QString::number(width));
        verifyPlacement(width);
        fake.clear();
        panel->Timer1_Action();
        QCOMPARE(fake.captures.size(), 1);
    }

    void hideAndMove()
    {
        open("#Window1Position 300,100\n#Magnification 3\n#DWWidth 400\n");
        QCheckBox *hide = control<QCheckBox>("CheckBox1");

        hide->click();
        QVERIFY(!display()->isVisible());

        // A hidden display window still follows the width slider, hidden.
        control<QSlider>("Slider2")->setValue(500);
        verifyPlacement(500);
        QVERIFY(!display()->isVisible());

        // And still refreshes.
        fake.clear();
        panel->Timer1_Action();
        QCOMPARE(fake.captures.size(), 1);

        // Moving the panel brings it back, though the box stays checked.
        panel->setLeft(panel->Left() + 40);
        QTRY_VERIFY(display()->isVisible());
        QVERIFY(hide->isChecked());
        verifyPlacement(500);

        hide->click(); // cleared: placed and shown again
        QVERIFY(display()->isVisible());
        verifyPlacement(500);
        hide->click();
        QVERIFY(!display()->isVisible());
    }

    void closedDisplayWindowComesBack()
    {
        open();
        QPointer<DisplayWindow> old = display();
        QVERIFY(old->close());
        QVERIFY(SingleInstance<DisplayWindow>::open() == nullptr); // gone at once
        QTRY_VERIFY_WITH_TIMEOUT(display() && display()->isVisible(), 1000);
        QVERIFY(display() != old.data());
        QCOMPARE(display()->size(), QSize(600, 400));
        // Refreshes go on with the 600 column at height 400.
        fake.clear();
        panel->Timer1_Action();
        QCOMPARE(fake.captures.value(0), QRect(1000 - 100, 500 - 64, 200, 133));
        // The next use of the placement rule puts it beside the panel again.
        control<QSlider>("Slider2")->setValue(400);
        verifyPlacement(400);
    }

    void timerChoosesTheRefreshByScale_data()
    {
        QTest::addColumn<int>("scale");
        QTest::addColumn<QSize>("captureSize");
        QTest::newRow("scale 1") << 1 << QSize(100, 62);
        QTest::newRow("scale 2") << 2 << QSize(300, 187);
        QTest::newRow("scale 3") << 3 << QSize(100, 62);
        QTest::newRow("scale 0") << 0 << QSize(100, 62);
    }

    void timerChoosesTheRefreshByScale()
    {
        QFETCH(int, scale);
        QFETCH(QSize, captureSize);
        open();
        screenScale = scale;
        fake.clear();
        panel->Timer1_Action();
        QCOMPARE(fake.captures.value(0).size(), captureSize);
    }

    void timerTicksEvery50ms()
    {
        open();
        auto *timer = panel->findChild<QTimer *>(QStringLiteral("Timer1"));
        QVERIFY(timer);
        QCOMPARE(timer->interval(), 50);
        QVERIFY(timer->isActive());
        fake.clear();
        QTRY_VERIFY_WITH_TIMEOUT(fake.captures.size() >= 3, 2000);
    }

    void closingWritesOnce()
    {
        open("#Window1Position 200,100\n#Magnification 3\n#DWWidth 300\n");
        control<QSlider>("Slider1")->setValue(5);
        control<QSlider>("Slider2")->setValue(400);
        panel->setTop(260);
        panel->setLeft(120);
        QVERIFY(panel->close());
        QFile f(prefsFilePath());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("#Window1Position 260,120\n#Magnification 5\n#DWWidth 400\n"));
        f.close();

        // Asked to close again on the way out: the file is not written a second time.
        QVERIFY(QFile::remove(prefsFilePath()));
        QCloseEvent again;
        QCoreApplication::sendEvent(panel, &again);
        QVERIFY(!QFile::exists(prefsFilePath()));
    }
};

QTEST_MAIN(tst_panel)
#include "tst_panel.moc"
