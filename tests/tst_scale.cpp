// The display window's own nearest-neighbour scaling must draw exactly what QPainter draws
// without smoothing, for every size the refresh meets and for odd ones.

#include "display/scaleNearest.h"

#include <QPainter>
#include <QRandomGenerator>
#include <QtTest>

class tst_scale : public QObject
{
    Q_OBJECT

private:
    static QImage noise(QSize size)
    {
        QImage image(size, QImage::Format_RGB32);
        QRandomGenerator random(size.width() * 7919 + size.height());
        for (int y = 0; y < size.height(); ++y) {
            auto *line = reinterpret_cast<quint32 *>(image.scanLine(y));
            for (int x = 0; x < size.width(); ++x)
                line[x] = random.generate() | 0xff000000u;
        }
        return image;
    }

    static QImage byPainter(const QImage &source, QSize size)
    {
        QImage target(size, QImage::Format_RGB32);
        target.fill(0xff123456u);
        QPainter painter(&target);
        painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
        painter.drawImage(QRect(QPoint(0, 0), size), source, source.rect());
        return target;
    }

private slots:
    void sameAsQPainter_data()
    {
        QTest::addColumn<QSize>("from");
        QTest::addColumn<QSize>("to");
        // Every capture of a scale-1 screen against its window.
        for (int m = 2; m <= 6; ++m) {
            for (int w = 200; w <= 600; w += 100) {
                for (int h : {int(w / 1.6), w == 600 ? 400 : int(w / 1.6)}) {
                    const QSize to(w, h);
                    const QSize from(int(double(w) / m), int(double(h) / m));
                    QTest::addRow("m%d %dx%d", m, w, h) << from << to;
                }
            }
        }
        QTest::newRow("same size") << QSize(300, 187) << QSize(300, 187);
        QTest::newRow("shrink") << QSize(600, 375) << QSize(250, 156);
        QTest::newRow("one pixel") << QSize(1, 1) << QSize(64, 64);
        QTest::newRow("one row") << QSize(97, 1) << QSize(600, 3);
        QTest::newRow("odd ratio") << QSize(7, 11) << QSize(601, 401);
        QTest::newRow("to one pixel") << QSize(40, 25) << QSize(1, 1);
    }

    void sameAsQPainter()
    {
        QFETCH(QSize, from);
        QFETCH(QSize, to);
        const QImage source = noise(from);
        QImage ours(to, QImage::Format_RGB32);
        ours.fill(0xff654321u);
        drawScaledNearest(source, ours);
        const QImage expected = byPainter(source, to);
        for (int y = 0; y < to.height(); ++y) {
            for (int x = 0; x < to.width(); ++x) {
                if (ours.pixel(x, y) != expected.pixel(x, y))
                    QFAIL(qPrintable(QStringLiteral("pixel (%1,%2) differs").arg(x).arg(y)));
            }
        }
    }

    // A picture of another format goes through QPainter, so it too comes out right.
    void otherFormats()
    {
        const QImage source = noise(QSize(50, 31)).convertToFormat(QImage::Format_RGB888);
        QImage ours(QSize(200, 125), QImage::Format_RGB32);
        drawScaledNearest(source, ours);
        QCOMPARE(ours, byPainter(source, QSize(200, 125)));
    }
};

QTEST_MAIN(tst_scale)
#include "tst_scale.moc"
