#pragma once

#include <QImage>
#include <QWidget>

namespace Ui {
class DisplayWindow;
}

// The magnified view: a plain box beside the control panel whose background picture every
// refresh replaces whole.
class DisplayWindow : public QWidget
{
    Q_OBJECT

public:
    static constexpr bool designVisible = true;

    explicit DisplayWindow(QWidget *parent = nullptr);
    ~DisplayWindow() override;

    // One refresh on a main screen of scale factor 2: a capture as large as the window.
    void details();
    // One refresh on any other screen: the window's size divided by the magnification.
    void details1();

    const QImage &Backdrop() const { return backdrop_; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    // Draws the whole capture into a new picture of width x height and shows it; a missing
    // capture shows black rather than a stale view.
    void showCapture(const QImage &capture, int width, int height);

    Ui::DisplayWindow *ui;
    QImage backdrop_;
};
