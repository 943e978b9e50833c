#include "app/Window1.h"
#include "ui_Window1.h"

#include "app/MenuBar1.h"
#include "display/DisplayWindow.h"
#include "platform/SingleInstance.h"
#include "platform/rules.h"
#include "platform/windowDesign.h"
#include "platform/windowGeometry.h"
#include "settings/prefsModule.h"

#include <QAction>
#include <QCloseEvent>
#include <QTimer>

using namespace prefsModule;

Window1::Window1(QWidget *parent)
    : ContentGeometry(parent), ui(new Ui::Window1), Timer1(new QTimer(this))
{
    setMenuBar(MenuBar1::instance());
    ui->setupUi(this);
    applyFrame(this, 0);

    connect(ui->Slider1, &QSlider::valueChanged, this, &Window1::Slider1_ValueChanged);
    connect(ui->Slider2, &QSlider::valueChanged, this, &Window1::Slider2_ValueChanged);
    connect(ui->CheckBox1, &QCheckBox::toggled, this, &Window1::CheckBox1_Action);
    if (QAction *quit = MenuBar1::instance()->item(QStringLiteral("FileQuit")))
        connect(quit, &QAction::triggered, this, &QWidget::close);
    AddMenuHandlers();

    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(50);
    connect(Timer1, &QTimer::timeout, this, &Window1::Timer1_Action);
    Timer1->start();

    TextField1_Open();
    TextField2_Open();
    Event_Open();
}

Window1::~Window1()
{
    delete ui;
}

void Window1::placeDisplayWindow()
{
    DisplayWindow *display = SingleInstance<DisplayWindow>::get();
    QRect g = display->geometry();
    g.moveLeft(windowCoordinate(qint64(Left()) + Width() + 10));
    display->setGeometry(g);
    display->resize(displayWidth, realToInteger(double(displayWidth) / 1.6));
    g = display->geometry();
    g.moveTop(windowCoordinate(qint64(Top()) + Height() - display->height()));
    display->setGeometry(g);
}

void Window1::Slider1_ValueChanged()
{
    ui->TextField1->setText(Str(ui->Slider1->value()));
    magFactor = ui->Slider1->value();
}

void Window1::Slider2_ValueChanged()
{
    const std::int32_t w = realToInteger(double(ui->Slider2->value()) / 100.0) * 100;
    ui->TextField2->setText(Str(w));
    displayWidth = w;
    placeDisplayWindow();
    SingleInstance<DisplayWindow>::get()->update();
}

void Window1::TextField1_Open()
{
    ui->TextField1->setText(Str(magFactor));
}

void Window1::TextField2_Open()
{
    ui->TextField2->setText(Str(displayWidth));
}

void Window1::Timer1_Action()
{
    // Runs whether or not the display window is shown; a window the user closed comes back here.
    if (screenScale == 2)
        SingleInstance<DisplayWindow>::get()->details();
    else
        SingleInstance<DisplayWindow>::get()->details1();
}

void Window1::CheckBox1_Action()
{
    if (ui->CheckBox1->isChecked()) {
        SingleInstance<DisplayWindow>::get()->hide();
    } else {
        placeDisplayWindow();
        SingleInstance<DisplayWindow>::get()->show();
    }
}

void Window1::Event_Open()
{
    readPrefs();
    // Only the bottom edge is kept on the screen. Compared in 64 bits: the stored top is the
    // file's number, unchecked, and may be anything.
    if (qint64(availableHeight()) < qint64(savedTop) + Height())
        setTop(availableHeight() - Height());
    else
        setTop(savedTop);
    setLeft(savedLeft);
    ui->Slider1->setValue(magFactor);
    ui->Slider2->setValue(displayWidth);
    ui->TextField1->setText(Str(magFactor));
    ui->TextField2->setText(Str(displayWidth));
    placeDisplayWindow();
    SingleInstance<DisplayWindow>::get()->show();
}

void Window1::Event_Close()
{
    writePrefs(Top(), Left());
    QCoreApplication::quit();
}

void Window1::Event_Moved()
{
    placeDisplayWindow();
    SingleInstance<DisplayWindow>::get()->show();
}

void Window1::closeEvent(QCloseEvent *event)
{
    // Qt may ask the panel to close more than once on the way out (quit closes every window);
    // the settings are written on the first.
    if (!closed_) {
        closed_ = true;
        Event_Close();
    }
    event->accept();
}

void Window1::moveEvent(QMoveEvent *event)
{
    QMainWindow::moveEvent(event);
    Event_Moved();
}
