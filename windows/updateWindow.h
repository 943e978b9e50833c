#pragma once

#include <QByteArray>
#include <QPointer>
#include <QWidget>

class QNetworkAccessManager;
class QNetworkReply;

namespace Ui {
class updateWindow;
}

// The update check: opening the window fetches the update descriptor from the web site; the
// answer either confirms that the running version is current or offers the release it names.
//
// The descriptor is read as plain text: the first "<Tag>" and the next "</Tag>" after it
// enclose each of CurrentVersion, Description and Free, tags found without regard to case.
class updateWindow : public QWidget
{
    Q_OBJECT

public:
    static constexpr bool designVisible = true;

    // Bounds on one request, so that a bad or silent server ends in an error, not in a window
    // that waits for ever or a reply that fills the memory. A real descriptor is a few hundred
    // bytes.
    static constexpr int transferTimeoutMs = 30000;
    static constexpr qint64 maxDescriptorBytes = 64 << 10;

    explicit updateWindow(QWidget *parent = nullptr);
    ~updateWindow() override;

    void Event_Open();
    // Any page the server sends is read whatever its status, if it is a descriptor at all: a
    // page without a CurrentVersion element fails with its status as the code. Its URL and
    // headers play no part.
    void hp_PageReceived(int status, const QString &content);
    void hp_Error(int code);
    void PushButton1_Action(); // "Cancel"
    void askUpgrade(const QString &newVersion, const QString &descriptionText,
                    const QString &actionURL, bool isFree);

    static QString startTag(const QString &tagName);
    static QString endTag(const QString &tagName);
    // Everything between the first start tag of `tagName` and the first end tag after it.
    static QString returnValue(const QString &content, const QString &tagName);

    // Tests point the check at a server of their own ("http://127.0.0.1:port") and shorten the
    // wait for one that never answers.
    static void setUpdateSite(const QString &baseUrl);
    static void setTransferTimeout(int ms);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void hp_ReadyRead();
    void hp_Finished();
    void abandonRequest();

    Ui::updateWindow *ui;
    QNetworkAccessManager *hp;
    QPointer<QNetworkReply> reply_;
    QByteArray page_;
    bool tooLarge_ = false;
};
