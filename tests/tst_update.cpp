// The update check, against a web server of the test's own on 127.0.0.1: from the self-test
// window's button through the request to the message or the upgrade offer and its buttons.

#include "descriptorserver.h"
#include "modal.h"
#include "platform/SingleInstance.h"
#include "site.h"
#include "urlcatcher.h"
#include "version.h"
#include "windows/selfTest.h"
#include "windows/services.h"
#include "windows/updateWindow.h"

#include <QLabel>
#include <QNetworkReply>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

namespace {

const QString runningVersion = QStringLiteral(VIZZOLEN_SHORT_VERSION);
const QString currentMessage = QStringLiteral("You are using the current version. No update is available.");

QString errorMessage(int code)
{
    return QStringLiteral("There was a communication error with the website. Please try again later. (Code: %1)").arg(code);
}

QString offer(const QString &version, bool isFree)
{
    return QStringLiteral("Version ") + version + QStringLiteral(" is now available. (You are using version ")
        + runningVersion + QStringLiteral(".) ")
        + (isFree ? QStringLiteral("This is a free upgrade. Would you like to automatically download this update (using your web browser)?")
                  : QStringLiteral("This is a paid upgrade. Would you like to automatically download the trial version (using your web browser)?"));
}

} // namespace

class tst_update : public QObject
{
    Q_OBJECT

private:
    UrlCatcher catcher;
    QWidget panel; // stands in for the control panel, which takes the focus back
    int focusCalls = 0;
    std::unique_ptr<DescriptorServer> server;

    static updateWindow *update() { return SingleInstance<updateWindow>::open(); }
    static QLabel *label() { return update()->findChild<QLabel *>(QStringLiteral("Label1")); }
    static QProgressBar *bar() { return update()->findChild<QProgressBar *>(QStringLiteral("ProgressBar1")); }

    // The road of a check: "Check for Updates" in the self-test window.
    void startCheck()
    {
        selfTest *self = SingleInstance<selfTest>::get();
        self->show();
        self->findChild<QPushButton *>(QStringLiteral("PushButton1"))->click();
        QVERIFY(update());
        QVERIFY(!SingleInstance<selfTest>::open()); // closed itself
    }

    void serve(const QByteArray &body, const QByteArray &status = "200 OK")
    {
        server->mode = DescriptorServer::Page;
        server->body = body;
        server->status = status;
    }

    // Once the check has ended, whichever way: no update or self-test window is left.
    void verifyAllClosed()
    {
        QTRY_VERIFY(!update());
        QVERIFY(!SingleInstance<selfTest>::open());
        QTest::qWait(0);
        for (QWidget *w : QApplication::topLevelWidgets())
            QVERIFY2(!w->isVisible() || w == &panel, qPrintable(w->objectName()));
    }

private slots:
    void initTestCase()
    {
        panel.setObjectName(QStringLiteral("panel"));
        panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        setControlPanelFocus([this] {
            ++focusCalls;
            panel.activateWindow();
        });
    }

    void init()
    {
        server = std::make_unique<DescriptorServer>();
        updateWindow::setUpdateSite(server->url());
        updateWindow::setTransferTimeout(updateWindow::transferTimeoutMs);
        catcher.urls.clear();
        focusCalls = 0;
    }

    void cleanup()
    {
        if (update())
            update()->close();
        if (auto *w = SingleInstance<selfTest>::open())
            w->close();
        QTest::qWait(0);
    }

    void design()
    {
        server->mode = DescriptorServer::Silent;
        startCheck();
        updateWindow *w = update();
        QTRY_VERIFY(w->isVisible());
        QCOMPARE(w->windowTitle(), QStringLiteral("Update"));
        QCOMPARE(w->geometry().size(), QSize(300, 120));
        QVERIFY(w->windowFlags() & Qt::Dialog);
        QVERIFY(w->windowFlags() & Qt::WindowMinimizeButtonHint);
        QVERIFY(!(w->windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(label()->text(), QStringLiteral("Checking for update..."));
        QCOMPARE(label()->font().pixelSize(), 12);
        QCOMPARE(bar()->maximum(), 0); // activity, no measure of progress
        QVERIFY(bar()->isVisible());
        QCOMPARE(w->findChild<QPushButton *>(QStringLiteral("PushButton1"))->text(), QStringLiteral("Cancel"));
        QVERIFY(w->findChild<QObject *>(QStringLiteral("hp")));
        QVERIFY(QTest::qWaitForWindowExposed(w));
        w->grab().save(QStringLiteral(VIZZOLEN_ARTIFACTS_DIR "/update-window.png"));

        // The request went out for the descriptor, and the control panel got the focus back.
        QTRY_COMPARE(server->requestLines, QList<QByteArray>({"GET /Updates/vizzolen.xml HTTP/1.1"}));
        QCOMPARE(focusCalls, 1);
        QTRY_COMPARE(QApplication::activeWindow(), &panel);
    }

    void current_data()
    {
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<QByteArray>("body");
        const QByteArray v = runningVersion.toLatin1();
        QTest::newRow("the running version") << QByteArray("200 OK") << "<CurrentVersion>" + v + "</CurrentVersion>";
        QTest::newRow("a fourth field is ignored") << QByteArray("200 OK") << "<CurrentVersion>" + v + ".42</CurrentVersion>";
        QTest::newRow("tags in lower case") << QByteArray("200 OK") << "<currentversion>" + v + "</currentversion>";
        QTest::newRow("only the first element counts") << QByteArray("200 OK")
            << "<CurrentVersion>" + v + "</CurrentVersion><CurrentVersion>9.9.9</CurrentVersion>";
        QTest::newRow("a full descriptor") << QByteArray("200 OK")
            << "<?xml version=\"1.0\"?>\n<Update>\n <Free>Yes</Free>\n <Description>Same</Description>\n"
               " <CurrentVersion>" + v + "</CurrentVersion>\n</Update>\n";
        // The status is not looked at: a page sent with an error status is read all the same.
        QTest::newRow("404 with a descriptor") << QByteArray("404 Not Found") << "<CurrentVersion>" + v + "</CurrentVersion>";
        QTest::newRow("500 with a descriptor") << QByteArray("500 Internal Server Error") << "<CurrentVersion>" + v + "</CurrentVersion>";
    }

    void current()
    {
        QFETCH(QByteArray, status);
        QFETCH(QByteArray, body);
        serve(body, status);
        ModalAnswerer answerer;
        QString labelThen;
        bool barHiddenThen = false;
        answerer.onShow = [&](QMessageBox *) {
            labelThen = label()->text();
            barHiddenThen = bar()->isHidden();
        };
        startCheck();
        QTRY_COMPARE(answerer.seen.size(), 1);
        QCOMPARE(answerer.seen.at(0).text, currentMessage);
        QCOMPARE(answerer.seen.at(0).buttons.size(), 1);
        QCOMPARE(labelThen, QStringLiteral("This version is current."));
        QVERIFY(barHiddenThen);
        verifyAllClosed();
        QCOMPARE(answerer.seen.size(), 1); // no offer follows
        QVERIFY(catcher.urls.isEmpty());
    }

    void offered_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("description");
        QTest::addColumn<bool>("isFree");
        QTest::newRow("newer, free") << QByteArray("<CurrentVersion>2.0.0</CurrentVersion><Description>Faster.</Description><Free>Yes</Free>")
                                     << "2.0.0" << "Faster." << true;
        QTest::newRow("lower, free in lower case") << QByteArray("<Free>yes</Free><CurrentVersion>0.9.9</CurrentVersion>")
                                                   << "0.9.9" << "" << true;
        QTest::newRow("third field differs, paid") << QByteArray("<CurrentVersion>1.0.1</CurrentVersion><Free>No</Free>")
                                                   << "1.0.1" << "" << false;
        QTest::newRow("second field differs, no Free") << QByteArray("<CurrentVersion>1.1.0</CurrentVersion>")
                                                       << "1.1.0" << "" << false;
        QTest::newRow("Free with blanks is not Yes") << QByteArray("<CurrentVersion>2.0</CurrentVersion><Free> Yes</Free>")
                                                     << "2.0" << "" << false;
        QTest::newRow("version as received") << QByteArray("<CurrentVersion> 2.0 beta </CurrentVersion>")
                                             << " 2.0 beta " << "" << false;
        QTest::newRow("description over lines") << QByteArray("<CurrentVersion>3.0.0</CurrentVersion><Description>Line one\nLine two\n</Description>")
                                                << "3.0.0" << "Line one\nLine two\n" << false;
        QTest::newRow("description is not markup") << QByteArray("<CurrentVersion>3.0.0</CurrentVersion><Description><b>bold</b> &amp; <img src=x></Description>")
                                                   << "3.0.0" << "<b>bold</b> &amp; <img src=x>" << false;
        QTest::newRow("UTF-8 text") << QByteArray("<CurrentVersion>3.0.0</CurrentVersion><Description>Schneller \xc3\xbc\xf0\x9f\x98\x80</Description>")
                                    << "3.0.0" << QString::fromUtf8("Schneller \xc3\xbc\xf0\x9f\x98\x80") << false;
        // Without its tags a page yields empty texts, and version 0.0.0 is not this one.
        QTest::newRow("no tags at all") << QByteArray("<html><body>Not found</body></html>") << "" << "" << false;
        QTest::newRow("start tag without end tag") << QByteArray("<CurrentVersion>1.0.0") << "" << "" << false;
    }

    void offered()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, version);
        QFETCH(QString, description);
        QFETCH(bool, isFree);
        serve(body);
        ModalAnswerer answerer;
        answerer.answers << QStringLiteral("Cancel");
        answerer.onShow = [](QMessageBox *box) {
            if (QTest::currentDataTag() == QByteArray("newer, free"))
                box->grab().save(QStringLiteral(VIZZOLEN_ARTIFACTS_DIR "/upgrade-dialog.png"));
        };
        startCheck();
        QTRY_COMPARE(answerer.seen.size(), 1);
        const ModalAnswerer::Seen &dialog = answerer.seen.at(0);
        QCOMPARE(dialog.title, QStringLiteral("New version available!"));
        QCOMPARE(dialog.text, offer(version, isFree));
        QCOMPARE(dialog.textFormat, Qt::PlainText);
        QCOMPARE(dialog.informativeText, description);
        if (!description.isEmpty())
            QCOMPARE(dialog.informativeFormat, Qt::PlainText);
        QCOMPARE(dialog.icon, QMessageBox::Warning);
        QCOMPARE(dialog.buttons.size(), 3);
        QVERIFY(dialog.buttons.contains(QStringLiteral("Go to Website")));
        verifyAllClosed(); // Cancel ends the update window
        QVERIFY(catcher.urls.isEmpty());
    }

    void upgradeButtons_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QList<QUrl>>("urls");
        QTest::addColumn<bool>("staysOpen");
        QTest::newRow("download") << "OK" << QList<QUrl>({QUrl(VIZZOLEN_DOWNLOAD_URL)}) << false;
        QTest::newRow("Go to Website") << "Go to Website" << QList<QUrl>({QUrl("http://" VIZZOLEN_SITE_HOST)}) << true;
        QTest::newRow("Cancel") << "Cancel" << QList<QUrl>() << false;
    }

    void upgradeButtons()
    {
        QFETCH(QString, answer);
        QFETCH(QList<QUrl>, urls);
        QFETCH(bool, staysOpen);
        serve("<CurrentVersion>2.0.0</CurrentVersion><Free>Yes</Free>");
        ModalAnswerer answerer;
        answerer.answers << answer;
        startCheck();
        QPointer<updateWindow> w = update();
        QTRY_COMPARE(answerer.seen.size(), 1);
        QTRY_COMPARE(catcher.urls, urls);
        if (staysOpen) {
            // Idle: the label as it was, no progress bar, nothing pending; Cancel closes it.
            QTest::qWait(50);
            QVERIFY(w && w->isVisible());
            QCOMPARE(update(), w.data());
            QCOMPARE(label()->text(), QStringLiteral("Checking for update..."));
            QVERIFY(bar()->isHidden());
            w->findChild<QPushButton *>(QStringLiteral("PushButton1"))->click();
        }
        verifyAllClosed();
        QCOMPARE(answerer.seen.size(), 1);
        QCOMPARE(server->requestLines.size(), 1);
    }

    // An empty page closes the update window and says nothing.
    void emptyPage()
    {
        serve(QByteArray());
        ModalAnswerer answerer;
        startCheck();
        verifyAllClosed();
        QTest::qWait(50);
        QVERIFY(answerer.seen.isEmpty());
        QCOMPARE(server->requestLines.size(), 1);
    }

    void failure_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("code");
        QTest::newRow("connection closed without a reply") << int(DescriptorServer::CloseAtOnce)
                                                           << int(QNetworkReply::RemoteHostClosedError);
        QTest::newRow("nobody listening") << -1 << int(QNetworkReply::ConnectionRefusedError);
        QTest::newRow("a server that never answers") << int(DescriptorServer::Silent)
                                                     << int(QNetworkReply::OperationCanceledError);
        QTest::newRow("a page beyond the size limit") << int(DescriptorServer::Huge)
                                                      << int(QNetworkReply::UnknownContentError);
        // Bytes keep coming, too slowly ever to finish: the whole check has its time limit too.
        QTest::newRow("a page that trickles in") << int(DescriptorServer::Trickle)
                                                 << int(QNetworkReply::OperationCanceledError);
        QTest::newRow("redirected round and round") << int(DescriptorServer::RedirectLoop)
                                                    << int(QNetworkReply::TooManyRedirectsError);
    }

    // A failed request: the message with its code, both windows closed, the panel focused.
    void failure()
    {
        QFETCH(int, mode);
        QFETCH(int, code);
        if (mode < 0) {
            const QString url = server->url();
            server.reset(); // the port is free again: nothing listens there
            updateWindow::setUpdateSite(url);
        } else {
            server->mode = DescriptorServer::Mode(mode);
        }
        updateWindow::setTransferTimeout(300);
        ModalAnswerer answerer;
        startCheck();
        QTRY_COMPARE(answerer.seen.size(), 1);
        QCOMPARE(answerer.seen.at(0).text, errorMessage(code));
        verifyAllClosed();
        QCOMPARE(focusCalls, 2); // when the request started and when it failed
        QTRY_COMPARE(QApplication::activeWindow(), &panel);
        QTest::qWait(50);
        QCOMPARE(answerer.seen.size(), 1);
    }

    // Cancel while the request is pending: the window closes at once, its request ends with
    // it, and no answer reaches it later, not even once the timeout would have run out.
    void cancelWhilePending_data()
    {
        QTest::addColumn<bool>("byEscape");
        QTest::newRow("Cancel button") << false;
        QTest::newRow("Escape key") << true;
    }

    void cancelWhilePending()
    {
        QFETCH(bool, byEscape);
        server->mode = DescriptorServer::Silent;
        updateWindow::setTransferTimeout(200);
        ModalAnswerer answerer;
        startCheck();
        QTRY_COMPARE(server->requestLines.size(), 1);
        updateWindow *w = update();
        if (byEscape) {
            w->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(w));
            QTest::keyClick(w, Qt::Key_Escape);
        } else {
            w->findChild<QPushButton *>(QStringLiteral("PushButton1"))->click();
        }
        QVERIFY(!update());
        QTRY_COMPARE(server->clientsGone, 1);
        QTest::qWait(400);
        QVERIFY(answerer.seen.isEmpty());
        QVERIFY(!update());
        QCOMPARE(server->requestLines.size(), 1);
    }

    // "Check for Updates" while an update window is open shows that window; no second request.
    void oneRequestPerWindow()
    {
        server->mode = DescriptorServer::Silent;
        startCheck();
        updateWindow *first = update();
        QTRY_COMPARE(server->requestLines.size(), 1);
        startCheck();
        QCOMPARE(update(), first);
        QTest::qWait(100);
        QCOMPARE(server->requestLines.size(), 1);
    }

    // Closing the self-test window by its close box starts nothing.
    void selfTestClosedByUser()
    {
        selfTest *self = SingleInstance<selfTest>::get();
        self->show();
        QVERIFY(self->close());
        QTest::qWait(100);
        QVERIFY(!update());
        QVERIFY(server->requestLines.isEmpty());
    }

    void returnValue_data()
    {
        QTest::addColumn<QString>("content");
        QTest::addColumn<QString>("tag");
        QTest::addColumn<QString>("value");
        QTest::newRow("plain") << "<A>x</A>" << "A" << "x";
        QTest::newRow("not trimmed") << "<A> x \n</A>" << "A" << " x \n";
        QTest::newRow("entities kept") << "<A>&lt;</A>" << "A" << "&lt;";
        QTest::newRow("empty element") << "<A></A>" << "A" << "";
        QTest::newRow("end tag searched after the start tag") << "</A><A>y</A>" << "A" << "y";
        QTest::newRow("nested other tags kept") << "<A><B>z</B></A>" << "A" << "<B>z</B>";
        QTest::newRow("no end tag") << "<A>x" << "A" << "";
        // Without a start tag the value runs from where a start tag would have ended.
        QTest::newRow("no start tag") << "0123456789</A>" << "A" << "23456789";
        QTest::newRow("neither") << "nothing" << "A" << "";
        QTest::newRow("characters, not UTF-16 units") << QString::fromUtf8("\xf0\x9f\x98\x80<A>\xf0\x9f\x98\x80x</A>")
                                                      << "A" << QString::fromUtf8("\xf0\x9f\x98\x80x");
    }

    void returnValue()
    {
        QFETCH(QString, content);
        QFETCH(QString, tag);
        QFETCH(QString, value);
        QCOMPARE(updateWindow::returnValue(content, tag), value);
    }
};

QTEST_MAIN(tst_update)
#include "tst_update.moc"
