#include "platform/windowDesign.h"

#include <QLayout>
#include <QPushButton>
#include <QShortcut>

namespace {

void keepDesignSize(QWidget *window)
{
    if (QLayout *layout = window->layout()) {
        layout->activate();
        window->setFixedSize(layout->totalSizeHint());
        layout->activate();
    } else {
        window->setFixedSize(window->size());
    }
}

} // namespace

void applyFrame(QWidget *window, int frame)
{
    Qt::WindowFlags flags = Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;
    flags |= frame == 1 ? Qt::Dialog | Qt::WindowMinimizeButtonHint : Qt::Window;
    window->setWindowFlags(flags);
    keepDesignSize(window);
}

void setDefaultButton(QPushButton *button)
{
    button->setDefault(true);
    for (const QKeySequence &key : {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)}) {
        auto *shortcut = new QShortcut(key, button->window());
        QObject::connect(shortcut, &QShortcut::activated, button, &QPushButton::click);
    }
}

void setCancelButton(QPushButton *button)
{
    auto *shortcut = new QShortcut(QKeySequence(Qt::Key_Escape), button->window());
    QObject::connect(shortcut, &QShortcut::activated, button, &QPushButton::click);
}

void setTextSize(QWidget *control, int size)
{
    QFont font = control->font();
    font.setPixelSize(size);
    control->setFont(font);
}
