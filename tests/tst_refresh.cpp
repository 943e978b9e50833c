// The refresh of the display window: which rectangle of the screen each case captures, and
// what the window then shows.

#include "display/DisplayWindow.h"
#include "fakecapture.h"
#include "refreshcases.h"
#include "settings/prefsModule.h"

#include <QtTest>

#include <cmath>

class tst_refresh : public QObject
{
    Q_OBJECT

private:
    FakeCapture fake;
    DisplayWindow *window = nullptr;

    QRect refresh(bool scale2, int magnification, QSize size, QPoint pointer)
    {
        prefsModule::magFactor = magnification;
        window->resize(size);
        fake.pointer = pointer;
        fake.clear();
        scale2 ? window->details() : window->details1();
        return fake.captures.value(0);
    }

private slots:
    void init() { window = new DisplayWindow; }
    void cleanup()
    {
        delete window;
        window = nullptr;
    }

    void captureRectangle_data()
    {
        QTest::addColumn<bool>("scale2");
        QTest::addColumn<int>("magnification");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QPoint>("pointer");
        QTest::addColumn<QRect>("expected");

        // The worked cases. Scale 1: the pointer less the table's offsets, the window's size over
        // the magnification.
        QTest::newRow("1x m3 600x375") << false << 3 << QSize(600, 375) << QPoint(1000, 500) << QRect(900, 436, 200, 125);
        QTest::newRow("1x m2 400x250") << false << 2 << QSize(400, 250) << QPoint(1000, 500) << QRect(902, 438, 200, 125);
        QTest::newRow("1x m5 200x125") << false << 5 << QSize(200, 125) << QPoint(1000, 500) << QRect(980, 486, 40, 25);
        QTest::newRow("1x m4 600x400 new window") << false << 4 << QSize(600, 400) << QPoint(1000, 500) << QRect(930, 453, 150, 100);
        QTest::newRow("1x m2 600 near corner") << false << 2 << QSize(600, 375) << QPoint(10, 10) << QRect(-137, -95, 300, 187);
        QTest::newRow("1x m3 300x187 truncates") << false << 3 << QSize(300, 187) << QPoint(1000, 500) << QRect(950, 465, 100, 62);
        QTest::newRow("1x m6 500x312") << false << 6 << QSize(500, 312) << QPoint(1000, 500) << QRect(958, 473, 83, 52);

        // Scale 2: as large as the window, the corner from a quarter of it over m plus the table.
        QTest::newRow("2x m2 200x125") << true << 2 << QSize(200, 125) << QPoint(1000, 500) << QRect(950, 467, 200, 125);
        QTest::newRow("2x m6 600x375") << true << 6 << QSize(600, 375) << QPoint(1000, 500) << QRect(849, 406, 600, 375);
        QTest::newRow("2x m2 300 x 924.5") << true << 2 << QSize(300, 187) << QPoint(1000, 500) << QRect(924, 451, 300, 187);
        QTest::newRow("2x m3 300x187") << true << 3 << QSize(300, 187) << QPoint(1000, 500) << QRect(925, 450, 300, 187);
        QTest::newRow("2x m2 near corner") << true << 2 << QSize(200, 125) << QPoint(10, 10) << QRect(-40, -22, 200, 125);
        QTest::newRow("2x m4 400x300 any height") << true << 4 << QSize(400, 300) << QPoint(1000, 500) << QRect(900, 435, 400, 300);

        // Every case of both tables, in the window the panel gives that width.
        const QPoint p(1000, 500);
        for (const RefreshCase &c : offsets1x) {
            const int m = c.magnification, w = c.width, h = displayHeight(w);
            QTest::addRow("1x m%d w%d", m, w)
                << false << m << QSize(w, h) << p << QRect(p.x() - c.x, p.y() - c.y, w / m, h / m);
        }
        for (const RefreshCase &c : offsets2x) {
            const int m = c.magnification, w = c.width, h = displayHeight(w);
            const int left = int(std::trunc(p.x() - w / 4.0 / m - c.x));
            const int top = int(std::trunc(p.y() - h / 4.0 / m - c.y));
            QTest::addRow("2x m%d w%d", m, w) << true << m << QSize(w, h) << p << QRect(left, top, w, h);
        }
    }

    void captureRectangle()
    {
        QFETCH(bool, scale2);
        QFETCH(int, magnification);
        QFETCH(QSize, size);
        QFETCH(QPoint, pointer);
        QFETCH(QRect, expected);

        QCOMPARE(refresh(scale2, magnification, size, pointer), expected);
        QCOMPARE(fake.captures.size(), 1);
        QCOMPARE(fake.reads, QStringList({"MouseX", "MouseY", "ScreenshotRect"}));
        QCOMPARE(window->Backdrop().size(), size);
    }

    // On a scale-2 screen the magnification moves the rectangle by a few pixels at most and
    // never changes its size.
    void scale2SizeIgnoresMagnification()
    {
        for (int m = 2; m <= 6; ++m) {
            const QRect r = refresh(true, m, QSize(400, 250), QPoint(1000, 500));
            QCOMPARE(r.size(), QSize(400, 250));
            QVERIFY2(r.left() >= 1000 - 102 && r.left() <= 1000 - 98, qPrintable(QString::number(r.left())));
        }
    }

    void noCaseGivesBlack_data()
    {
        QTest::addColumn<bool>("scale2");
        QTest::addColumn<int>("magnification");
        QTest::addColumn<QSize>("size");
        QTest::newRow("1x m7") << false << 7 << QSize(300, 187);
        QTest::newRow("1x m0") << false << 0 << QSize(300, 187);
        QTest::newRow("1x width 250") << false << 3 << QSize(250, 156);
        QTest::newRow("2x m7") << true << 7 << QSize(300, 187);
        QTest::newRow("2x width 250") << true << 3 << QSize(250, 156);
        QTest::newRow("2x width 64") << true << 3 << QSize(64, 64);
    }

    // No case, no capture: the window shows plain black of its own size, never the last view.
    void noCaseGivesBlack()
    {
        QFETCH(bool, scale2);
        QFETCH(int, magnification);
        QFETCH(QSize, size);

        refresh(scale2, 3, QSize(300, 187), QPoint(1000, 500)); // a real view first
        refresh(scale2, magnification, size, QPoint(1000, 500));
        QVERIFY(fake.captures.isEmpty());
        QCOMPARE(window->Backdrop().size(), size);
        QCOMPARE(window->Backdrop().pixel(0, 0), qRgb(0, 0, 0));
        QCOMPARE(window->Backdrop().pixel(size.width() - 1, size.height() - 1), qRgb(0, 0, 0));
    }

    void failedCaptureGivesBlack()
    {
        fake.failCaptures = true;
        refresh(false, 3, QSize(600, 375), QPoint(1000, 500));
        fake.failCaptures = false;
        QCOMPARE(fake.captures.size(), 1);
        QCOMPARE(window->Backdrop().size(), QSize(600, 375));
        QCOMPARE(window->Backdrop().pixel(300, 200), qRgb(0, 0, 0));
    }

    void magnifiesWithoutSmoothing_data()
    {
        QTest::addColumn<int>("magnification");
        QTest::addColumn<QSize>("size");
        QTest::newRow("m3 600x375") << 3 << QSize(600, 375);
        QTest::newRow("m2 400x250") << 2 << QSize(400, 250);
        QTest::newRow("m5 500x312") << 5 << QSize(500, 312);
        QTest::newRow("m6 200x125") << 6 << QSize(200, 125);
    }

    // Every shown pixel is a copy of the captured pixel it stands over: whole squares, no blend.
    void magnifiesWithoutSmoothing()
    {
        QFETCH(int, magnification);
        QFETCH(QSize, size);
        const QRect r = refresh(false, magnification, size, QPoint(1000, 500));
        const QImage &shown = window->Backdrop();
        for (int y = 0; y < size.height(); y += 7) {
            for (int x = 0; x < size.width(); x += 5) {
                const QRgb p = shown.pixel(x, y);
                const int sx = qRed(p), sy = qGreen(p);
                QCOMPARE(qBlue(p), 0x80);
                // The source pixel lies under this one, within one source pixel of exact scaling.
                const double fx = double(x) * r.width() / size.width();
                const double fy = double(y) * r.height() / size.height();
                QVERIFY2(qAbs(sx - fx) <= 1.0 && qAbs(sy - fy) <= 1.0,
                         qPrintable(QStringLiteral("(%1,%2) shows (%3,%4)").arg(x).arg(y).arg(sx).arg(sy)));
            }
        }
        // Whole blocks: across one magnified cell every pixel is the same.
        const double sx = double(size.width()) / r.width(), sy = double(size.height()) / r.height();
        QCOMPARE(shown.pixel(int(10.2 * sx), int(10.2 * sy)), shown.pixel(int(10.8 * sx), int(10.8 * sy)));
        QCOMPARE(shown.pixel(int(10.5 * sx), int(10.5 * sy)), qRgb(10, 10, 0x80));
    }

    // The picture is new each tick: a refresh does not keep or reuse the last one.
    void everyTickCapturesAgain()
    {
        refresh(false, 3, QSize(600, 375), QPoint(1000, 500));
        const qint64 first = window->Backdrop().cacheKey();
        fake.clear();
        window->details1();
        window->details1();
        QCOMPARE(fake.captures.size(), 2);
        QVERIFY(window->Backdrop().cacheKey() != first);
    }
};

QTEST_MAIN(tst_refresh)
#include "tst_refresh.moc"
