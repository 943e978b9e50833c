#include "windows/services.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QUrl>

namespace {

std::function<void()> &controlPanelFocus()
{
    static std::function<void()> setFocus;
    return setFocus;
}

std::function<void()> &beepHandler()
{
    static std::function<void()> beep;
    return beep;
}

} // namespace

void MsgBox(const QString &text)
{
    QMessageBox box(QMessageBox::Information, QGuiApplication::applicationDisplayName(), text,
                    QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void ShowProblem(const QString &text)
{
    auto *box = new QMessageBox(QMessageBox::Warning, QGuiApplication::applicationDisplayName(), text,
                                QMessageBox::Ok);
    box->setObjectName(QStringLiteral("captureProblem"));
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}

void Beep()
{
    if (beepHandler())
        beepHandler()();
    else
        QApplication::beep();
}

void setBeep(std::function<void()> beep)
{
    beepHandler() = std::move(beep);
}

void ShowURL(const QString &url)
{
    if (!url.isEmpty())
        QDesktopServices::openUrl(QUrl(url, QUrl::StrictMode));
}

void setControlPanelFocus(std::function<void()> setFocus)
{
    controlPanelFocus() = std::move(setFocus);
}

void focusControlPanel()
{
    if (controlPanelFocus())
        controlPanelFocus()();
}
