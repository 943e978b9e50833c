#pragma once

// Answers the modal message boxes that the code under test opens, from a timer, as a user
// would, and records what each one said.

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

class ModalAnswerer : public QObject
{
public:
    struct Seen {
        QString title;
        QString text;
        QString informativeText;
        QStringList buttons;
        QMessageBox::Icon icon;
        Qt::TextFormat textFormat;
        Qt::TextFormat informativeFormat;
    };

    QList<Seen> seen;
    // Captions of the buttons to press, one per box in order; when none is left, the box's
    // escape button (or its only button) is pressed.
    QStringList answers;
    // Runs while a box is up, before it is answered (to look at the other windows then).
    std::function<void(QMessageBox *)> onShow;

    ModalAnswerer()
    {
        timer_.setInterval(5);
        connect(&timer_, &QTimer::timeout, this, &ModalAnswerer::poll);
        timer_.start();
    }

private:
    void poll()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible() || box->property("answered").toBool())
            return;
        box->setProperty("answered", true);
        Seen s;
        s.title = box->windowTitle();
        s.text = box->text();
        s.informativeText = box->informativeText();
        s.icon = box->icon();
        s.textFormat = box->textFormat();
        const auto *informative = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel"));
        s.informativeFormat = informative ? informative->textFormat() : Qt::AutoText;
        for (QAbstractButton *b : box->buttons())
            s.buttons << b->text();
        seen << s;
        if (onShow)
            onShow(box);

        QAbstractButton *press = box->escapeButton();
        if (!answers.isEmpty()) {
            const QString caption = answers.takeFirst();
            for (QAbstractButton *b : box->buttons()) {
                if (b->text() == caption)
                    press = b;
            }
        }
        if (!press && !box->buttons().isEmpty())
            press = box->buttons().first();
        press->click();
    }

    QTimer timer_;
};
