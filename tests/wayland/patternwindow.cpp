// A native Wayland window for the tests, maximized, so that it covers the whole monitor of a
// bare mutter (no panels) and a test knows every pixel of the screen without reading it:
//   (default)       each device pixel tells its own position: r = x & 255, g = y & 255,
//                   b = ((x >> 8) & 15) | (((y >> 8) & 15) << 4)
//   --moving        the same, with a band that moves every frame the compositor asks for
//   --color RRGGBB  one plain colour
// It prints "shown WxH dpr D" (its size in logical pixels and the scale) once the compositor
// has shown the first frame at the maximized size: the frame callback of that frame has come
// back, which Qt's Wayland plug-in turns into the next update request.

#include <QColor>
#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRasterWindow>
#include <QScreen>

#include <cstdio>
#include <cstring>

namespace {

class PatternWindow : public QRasterWindow
{
public:
    PatternWindow(bool moving, const QColor &plain)
        : moving_(moving)
        , plain_(plain)
    {
        setTitle(QStringLiteral("patternwindow"));
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        const qreal dpr = devicePixelRatio();
        const QSize device(qRound(width() * dpr), qRound(height() * dpr));
        if (image_.size() != device) {
            image_ = QImage(device, QImage::Format_RGB32);
            for (int y = 0; y < device.height(); ++y) {
                auto *line = reinterpret_cast<QRgb *>(image_.scanLine(y));
                for (int x = 0; x < device.width(); ++x)
                    line[x] = plain_.isValid() ? plain_.rgb()
                                               : qRgb(x & 255, y & 255, ((x >> 8) & 15) | (((y >> 8) & 15) << 4));
            }
            image_.setDevicePixelRatio(dpr);
        }
        QPainter p(this);
        p.setCompositionMode(QPainter::CompositionMode_Source);
        p.drawImage(QPointF(0, 0), image_);
        if (moving_) {
            const int band = 48;
            const int x = int((frame_++ * 8) % quint64(std::max(1, width() + band))) - band;
            p.fillRect(QRect(x, 0, band, height()), QColor(255, 255, 255));
            update(); // the next frame, when the compositor wants one
        }
        if (!fullSize_ && screen() && size() == screen()->availableGeometry().size()) {
            fullSize_ = true;
            requestUpdate();
        }
    }

    bool event(QEvent *e) override
    {
        if (e->type() == QEvent::UpdateRequest && fullSize_ && !announced_) {
            announced_ = true;
            std::printf("shown %dx%d dpr %g\n", width(), height(), devicePixelRatio());
            std::fflush(stdout);
        }
        return QRasterWindow::event(e);
    }

private:
    bool moving_;
    QColor plain_;
    QImage image_;
    quint64 frame_ = 0;
    bool fullSize_ = false;
    bool announced_ = false;
};

} // namespace

int main(int argc, char **argv)
{
    // Native or nothing: an X11 window would not be what the tests are after.
    qputenv("QT_QPA_PLATFORM", "wayland");
    qputenv("QT_WAYLAND_DISABLE_WINDOWDECORATION", "1");
    QGuiApplication app(argc, argv);

    bool moving = false;
    QColor plain;
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--moving")) {
            moving = true;
        } else if (args[i] == QLatin1String("--color") && i + 1 < args.size()) {
            plain = QColor(QLatin1Char('#') + args[++i]);
            if (!plain.isValid()) {
                std::fprintf(stderr, "patternwindow: --color takes RRGGBB\n");
                return 2;
            }
        } else {
            std::fprintf(stderr, "usage: patternwindow [--moving | --color RRGGBB]\n");
            return 2;
        }
    }
    PatternWindow w(moving, plain);
    w.showMaximized();
    return app.exec();
}
