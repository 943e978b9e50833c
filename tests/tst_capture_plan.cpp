// How a capture rectangle in global device-independent coordinates maps onto the screens'
// device pixels: several monitors, scale factors, and rectangles partly or wholly off them.

#include "platform/capture.h"

#include <QtTest>

using Screens = QList<ScreenGeometry>;
using Pieces = QList<QPair<QRect, QPoint>>; // source in device pixels, destination in the picture

Q_DECLARE_METATYPE(Screens)

class tst_capture_plan : public QObject
{
    Q_OBJECT

private slots:
    void plan_data()
    {
        QTest::addColumn<Screens>("screens");
        QTest::addColumn<QRect>("request");
        QTest::addColumn<QSize>("pictureSize");
        QTest::addColumn<Pieces>("pieces");
        QTest::addColumn<bool>("covers");

        const Screens one{{QRect(0, 0, 1280, 1024), 1.0}};
        const Screens sideBySide{{QRect(0, 0, 1920, 1080), 1.0}, {QRect(1920, 0, 1280, 1024), 1.0}};
        // The primary (first) screen stands on the right of the other.
        const Screens primaryRight{{QRect(1280, 0, 1920, 1080), 1.0}, {QRect(0, 0, 1280, 1024), 1.0}};
        // Scale 2: Qt keeps each screen's corner and halves its size in device-independent pixels.
        const Screens retina{{QRect(0, 0, 640, 512), 2.0}};
        const Screens mixed{{QRect(0, 0, 1280, 720), 2.0}, {QRect(2560, 0, 1280, 1024), 1.0}};
        const Screens mirrored{{QRect(0, 0, 1280, 1024), 1.0}, {QRect(0, 0, 1280, 1024), 1.0}};

        QTest::newRow("inside one screen") << one << QRect(100, 50, 200, 125) << QSize(200, 125)
            << Pieces{{QRect(100, 50, 200, 125), QPoint(0, 0)}} << true;
        QTest::newRow("top-left corner off the screen") << one << QRect(-137, -95, 300, 187) << QSize(300, 187)
            << Pieces{{QRect(0, 0, 163, 92), QPoint(137, 95)}} << false;
        QTest::newRow("bottom-right past the edge") << one << QRect(1200, 1000, 200, 125) << QSize(200, 125)
            << Pieces{{QRect(1200, 1000, 80, 24), QPoint(0, 0)}} << false;
        QTest::newRow("off every screen") << one << QRect(-5000, -5000, 200, 125) << QSize(200, 125)
            << Pieces{} << false;
        QTest::newRow("far beyond the coordinate range") << one << QRect(2147483000, 0, 200, 125)
            << QSize(200, 125) << Pieces{} << false;
        QTest::newRow("empty") << one << QRect(10, 10, 0, 125) << QSize() << Pieces{} << false;

        QTest::newRow("second screen") << sideBySide << QRect(2000, 100, 200, 125) << QSize(200, 125)
            << Pieces{{QRect(2000, 100, 200, 125), QPoint(0, 0)}} << true;
        QTest::newRow("straddling two screens") << sideBySide << QRect(1850, 1000, 200, 125) << QSize(200, 125)
            << Pieces{{QRect(1850, 1000, 70, 80), QPoint(0, 0)}, {QRect(1920, 1000, 130, 24), QPoint(70, 0)}}
            << false;
        QTest::newRow("primary on the right, rectangle on the left one") << primaryRight
            << QRect(1200, 10, 200, 125) << QSize(200, 125)
            << Pieces{{QRect(1280, 10, 120, 125), QPoint(80, 0)}, {QRect(1200, 10, 80, 125), QPoint(0, 0)}}
            << true;

        // Scale 2: the corner is scaled, the size already counts device pixels.
        QTest::newRow("scale 2") << retina << QRect(100, 50, 200, 125) << QSize(200, 125)
            << Pieces{{QRect(200, 100, 200, 125), QPoint(0, 0)}} << true;
        QTest::newRow("scale 2 near the corner") << retina << QRect(-40, -22, 200, 125) << QSize(200, 125)
            << Pieces{{QRect(0, 0, 120, 81), QPoint(80, 44)}} << false;
        QTest::newRow("scale 2 screen beside a scale 1 one") << mixed << QRect(2600, 100, 200, 125)
            << QSize(200, 125) << Pieces{{QRect(2600, 100, 200, 125), QPoint(0, 0)}} << true;
        QTest::newRow("mirrored screens give one piece") << mirrored << QRect(100, 50, 200, 125)
            << QSize(200, 125) << Pieces{{QRect(100, 50, 200, 125), QPoint(0, 0)}} << true;
        QTest::newRow("no screens at all") << Screens{} << QRect(0, 0, 200, 125) << QSize(200, 125)
            << Pieces{} << false;
    }

    void plan()
    {
        QFETCH(Screens, screens);
        QFETCH(QRect, request);
        QFETCH(QSize, pictureSize);
        QFETCH(Pieces, pieces);
        QFETCH(bool, covers);

        const CapturePlan plan = planCapture(screens, request);
        QCOMPARE(plan.pictureSize, pictureSize);
        Pieces got;
        for (const CapturePiece &p : plan.pieces) {
            got.append({p.source, p.destination});
            // Every piece lands inside the picture.
            QVERIFY(QRect(QPoint(0, 0), plan.pictureSize).contains(QRect(p.destination, p.source.size())));
        }
        QCOMPARE(got, pieces);
        QCOMPARE(plan.coversPicture, covers);
    }

    void nativeGeometry()
    {
        QCOMPARE((ScreenGeometry{QRect(0, 0, 640, 512), 2.0}.nativeGeometry()), QRect(0, 0, 1280, 1024));
        QCOMPARE((ScreenGeometry{QRect(1920, 0, 1280, 720), 1.5}.nativeGeometry()), QRect(1920, 0, 1920, 1080));
    }
};

QTEST_MAIN(tst_capture_plan)
#include "tst_capture_plan.moc"
