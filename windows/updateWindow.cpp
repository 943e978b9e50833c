#include "windows/updateWindow.h"
#include "ui_updateWindow.h"

#include "platform/SingleInstance.h"
#include "platform/rules.h"
#include "platform/windowDesign.h"
#include "site.h"
#include "version.h"
#include "windows/selfTest.h"
#include "windows/services.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include <algorithm>

namespace {

QString &updateSite()
{
    static QString site = QStringLiteral("http://" VIZZOLEN_SITE_HOST);
    return site;
}

int &transferTimeout()
{
    static int ms = updateWindow::transferTimeoutMs;
    return ms;
}

// Qt reports an HTTP error status (404, 500, ...) as an error of the reply, yet its page has
// arrived whole and is read like any other. These are the codes Qt gives for such a status;
// any other error means that no page, or not all of one, came.
bool isStatusError(int status, QNetworkReply::NetworkError error)
{
    if (status < 400)
        return false;
    return (error >= QNetworkReply::ContentAccessDenied && error <= QNetworkReply::UnknownContentError)
        || (error >= QNetworkReply::InternalServerError && error <= QNetworkReply::UnknownServerError)
        || error == QNetworkReply::ProtocolInvalidOperationError // 400, 418
        || (status == 407 && error == QNetworkReply::ProxyAuthenticationRequiredError);
}

// A text from the network as the dialog shows it: at most `rows` rows of `rowChars` characters,
// each line taking the rows it wraps into. What does not fit is left off at one place, marked
// by an ellipsis, so that the dialog stays on the screen and quick to lay out; a word longer
// than a row gets invisible break opportunities, or it would widen the dialog past the screen.
QString shownInDialog(const QString &text, int rows, int rowChars)
{
    qsizetype at = 0;
    qsizetype cut = -1;
    while (at < text.size()) {
        qsizetype end = text.indexOf(u'\n', at);
        if (end < 0)
            end = text.size();
        const qsizetype lineRows = std::max<qsizetype>(1, (end - at + rowChars - 1) / rowChars);
        if (lineRows > rows) {
            cut = at + qsizetype(rows) * rowChars;
            break;
        }
        rows -= int(lineRows);
        at = end + 1;
        if (rows == 0 && at < text.size()) {
            cut = at;
            break;
        }
    }
    if (cut > 0 && text.at(cut - 1).isHighSurrogate())
        --cut;
    const QString kept = cut < 0 ? text : text.left(cut) + QChar(0x2026);

    QString shown;
    shown.reserve(kept.size() + kept.size() / rowChars + 1);
    int word = 0;
    for (const QChar c : kept) {
        if (c.isSpace()) {
            word = 0;
        } else if (word++ >= rowChars && !c.isLowSurrogate()) {
            shown += QChar(0x200B);
            word = 1;
        }
        shown += c;
    }
    return shown;
}

} // namespace

void updateWindow::setUpdateSite(const QString &baseUrl)
{
    updateSite() = baseUrl;
}

void updateWindow::setTransferTimeout(int ms)
{
    transferTimeout() = ms;
}

updateWindow::updateWindow(QWidget *parent)
    : QWidget(parent), ui(new Ui::updateWindow), hp(new QNetworkAccessManager(this))
{
    ui->setupUi(this);
    setTextSize(ui->Label1, 12);
    applyFrame(this, 1);
    setDefaultButton(ui->PushButton1);
    setCancelButton(ui->PushButton1);
    // The check hands the focus to the control panel; showing this window must not take it back.
    setAttribute(Qt::WA_ShowWithoutActivating);
    hp->setObjectName(QStringLiteral("hp"));
    connect(ui->PushButton1, &QPushButton::clicked, this, &updateWindow::PushButton1_Action);
    Event_Open();
}

updateWindow::~updateWindow()
{
    abandonRequest();
    delete ui;
}

QString updateWindow::startTag(const QString &tagName)
{
    return QStringLiteral("<") + tagName + QStringLiteral(">");
}

QString updateWindow::endTag(const QString &tagName)
{
    return QStringLiteral("</") + tagName + QStringLiteral(">");
}

QString updateWindow::returnValue(const QString &content, const QString &tagName)
{
    // No tag is tested for: without a start tag the value starts where one would have ended,
    // and without an end tag after it the length is negative, which gives "".
    const int s = InStr(content, startTag(tagName));
    const int L = Len(startTag(tagName));
    const int e = InStr(s + L, content, endTag(tagName));
    return Mid(content, s + L, e - s - L);
}

void updateWindow::Event_Open()
{
    ui->ProgressBar1->setMaximum(0); // activity without a measure of progress

    QNetworkRequest request(QUrl(updateSite() + QStringLiteral("/Updates/vizzolen.xml")));
    request.setTransferTimeout(transferTimeout());
    request.setMaximumRedirectsAllowed(5);
    page_.clear();
    tooLarge_ = false;
    reply_ = hp->get(request);
    connect(reply_, &QNetworkReply::readyRead, this, &updateWindow::hp_ReadyRead);
    // Queued: the reply is done with its own signal before the answer opens message boxes.
    connect(reply_, &QNetworkReply::finished, this, &updateWindow::hp_Finished, Qt::QueuedConnection);
    // The transfer timeout counts only silence; a server that keeps sending a byte now and then,
    // or redirects again and again, is held to the same time for the whole check.
    QTimer::singleShot(transferTimeout(), reply_, [reply = reply_.data()] { reply->abort(); });

    // Once this window has been shown, which would take the focus itself.
    QTimer::singleShot(0, this, &focusControlPanel);
}

void updateWindow::hp_ReadyRead()
{
    if (!reply_ || tooLarge_)
        return;
    page_ += reply_->read(maxDescriptorBytes + 1 - page_.size());
    if (page_.size() > maxDescriptorBytes) {
        tooLarge_ = true;
        page_.clear();
        reply_->abort();
    }
}

void updateWindow::hp_Finished()
{
    QNetworkReply *reply = reply_;
    if (!reply || sender() != reply)
        return; // a request this window has given up
    hp_ReadyRead();
    reply_ = nullptr;
    reply->deleteLater();

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const QNetworkReply::NetworkError error = reply->error();
    // The code shown is Qt's QNetworkReply::NetworkError, whatever status came with it (a
    // redirect to a scheme Qt refuses ends as ProtocolUnknownError, 301). A page over the size
    // limit counts as UnknownContentError (299); a server that stays silent past the transfer
    // timeout ends as OperationCanceledError (5), as Qt reports it.
    if (tooLarge_)
        hp_Error(QNetworkReply::UnknownContentError);
    else if (error != QNetworkReply::NoError && !isStatusError(status.toInt(), error))
        hp_Error(error);
    else if (!status.isValid())
        hp_Error(QNetworkReply::UnknownNetworkError);
    else
        hp_PageReceived(status.toInt(), QString::fromUtf8(page_));
}

void updateWindow::hp_PageReceived(int status, const QString &content)
{
    if (content.isEmpty()) {
        close();
        return;
    }
    // A captive portal's sign-in page or a web server's error page is no descriptor, and offering
    // it as a release would report a failure as success.
    if (InStr(content, startTag(QStringLiteral("CurrentVersion"))) == 0) {
        hp_Error(status);
        return;
    }
    const QString version = returnValue(content, QStringLiteral("CurrentVersion"));
    const QString description = returnValue(content, QStringLiteral("Description"));
    const bool isFree = returnValue(content, QStringLiteral("Free"))
                            .compare(QStringLiteral("Yes"), Qt::CaseInsensitive) == 0;
    ui->ProgressBar1->setVisible(false);

    // Equality field by field, so any other release, lower ones too, is offered.
    const QString dot = QStringLiteral(".");
    const bool current = Val(NthField(version, dot, 1)) == double(VIZZOLEN_MAJOR_VERSION)
        && Val(NthField(version, dot, 2)) == double(VIZZOLEN_MINOR_VERSION)
        && Val(NthField(version, dot, 3)) == double(VIZZOLEN_BUG_VERSION);
    if (current) {
        ui->Label1->setText(QStringLiteral("This version is current."));
        ui->Label1->repaint();
        MsgBox(QStringLiteral("You are using the current version. No update is available."));
        close();
        SingleInstance<selfTest>::get()->close();
    } else {
        askUpgrade(version, description, QStringLiteral(VIZZOLEN_DOWNLOAD_URL), isFree);
    }
}

void updateWindow::hp_Error(int code)
{
    Beep();
    MsgBox(QStringLiteral("There was a communication error ") + QStringLiteral("with the website. Please try ")
           + QStringLiteral("again later. (Code: ") + Str(code) + QStringLiteral(")"));
    close();
    SingleInstance<selfTest>::get()->close();
    focusControlPanel();
}

void updateWindow::PushButton1_Action()
{
    close();
}

void updateWindow::askUpgrade(const QString &newVersion, const QString &descriptionText,
                              const QString &actionURL, bool isFree)
{
    // The version and the description come from the network: shown as text, never as markup,
    // and no larger than leaves the dialog on the screen with its buttons.
    QString message = QStringLiteral("Version ") + shownInDialog(newVersion, 2, 40) + QStringLiteral(" is now available. ");
    message += QStringLiteral("(You are using version " VIZZOLEN_SHORT_VERSION ".) ");
    if (isFree) {
        message += QStringLiteral("This is a free upgrade. ");
        message += QStringLiteral("Would you like to automatically download ");
        message += QStringLiteral("this update (using your web browser)?");
    } else {
        message += QStringLiteral("This is a paid upgrade. ");
        message += QStringLiteral("Would you like to automatically download ");
        message += QStringLiteral("the trial version (using your web browser)?");
    }

    QMessageBox dialog(this);
    dialog.setWindowTitle(QStringLiteral("New version available!"));
    dialog.setWindowModality(Qt::ApplicationModal);
    // A third of the screen's height for the description.
    const int rows = std::max(3, screen()->availableGeometry().height() / 3 / QFontMetrics(dialog.font()).lineSpacing());
    dialog.setTextFormat(Qt::PlainText);
    dialog.setText(message);
    dialog.setInformativeText(shownInDialog(descriptionText, rows, 40));
    if (auto *explanation = dialog.findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel")))
        explanation->setTextFormat(Qt::PlainText);
    dialog.setIcon(QMessageBox::Warning);
    QAbstractButton *actionButton = dialog.addButton(QMessageBox::Ok);
    QAbstractButton *alternateButton = dialog.addButton(QStringLiteral("Go to Website"), QMessageBox::ActionRole);
    QAbstractButton *cancelButton = dialog.addButton(QMessageBox::Cancel);
    dialog.setDefaultButton(static_cast<QPushButton *>(actionButton));
    dialog.setEscapeButton(cancelButton);
    dialog.exec();

    QAbstractButton *answer = dialog.clickedButton();
    if (answer == cancelButton) {
        close();
    } else if (answer == actionButton) {
        ShowURL(actionURL);
        close();
    } else if (answer == alternateButton) {
        ShowURL(QStringLiteral("http://" VIZZOLEN_SITE_HOST));
    }
}

void updateWindow::abandonRequest()
{
    if (QNetworkReply *reply = reply_) {
        reply_ = nullptr;
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
        reply->deleteLater();
    }
}

void updateWindow::closeEvent(QCloseEvent *event)
{
    // A closed window takes no answer: the request ends with it.
    abandonRequest();
    QWidget::closeEvent(event);
}
