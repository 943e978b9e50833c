// The about box and the self-test window: what they show, and the two links of the about box.

#include "app/App.h"
#include "platform/SingleInstance.h"
#include "site.h"
#include "urlcatcher.h"
#include "windows/AboutBox.h"
#include "windows/selfTest.h"

#include <QLabel>
#include <QPushButton>
#include <QtTest>

class tst_about : public QObject
{
    Q_OBJECT

private:
    UrlCatcher catcher;

    template <class T>
    static T *control(QWidget *window, const char *name)
    {
        return window->findChild<T *>(QString::fromLatin1(name));
    }

    // Text that fits the box it was designed for, on one line or several.
    static void verifyFits(const QLabel *label)
    {
        const QRect needed = label->fontMetrics().boundingRect(QRect(QPoint(), label->size()), int(label->alignment()),
                                                               label->text());
        QVERIFY2(needed.width() <= label->width() && needed.height() <= label->height(),
                 qPrintable(QStringLiteral("%1 needs %2 x %3, has %4 x %5").arg(label->objectName())
                                .arg(needed.width()).arg(needed.height()).arg(label->width()).arg(label->height())));
    }

private slots:
    void cleanup()
    {
        if (auto *box = SingleInstance<AboutBox>::open())
            box->close();
        if (auto *w = SingleInstance<selfTest>::open())
            w->close();
        catcher.urls.clear();
        QTest::qWait(0);
    }

    void aboutBox()
    {
        AboutBox *box = SingleInstance<AboutBox>::get();
        QTRY_VERIFY(box->isVisible()); // visible by design, no Show needed
        QVERIFY(QTest::qWaitForWindowExposed(box));
        QCOMPARE(box->windowTitle(), QStringLiteral("About..."));
        QCOMPARE(box->geometry().size(), QSize(332, 258));
        QCOMPARE(box->minimumSize(), box->maximumSize());
        QVERIFY(box->windowFlags() & Qt::CustomizeWindowHint); // else Qt offers every button
        QVERIFY(!(box->windowFlags() & (Qt::WindowMaximizeButtonHint | Qt::WindowMinimizeButtonHint)));

        auto *name = control<QLabel>(box, "Label1");
        QCOMPARE(name->text(), QStringLiteral("Vizzolen"));
        QCOMPARE(name->font().pixelSize(), 30);
        QVERIFY(name->font().bold());
        QCOMPARE(control<QLabel>(box, "Label3")->text(), QStringLiteral("Version:"));
        auto *version = control<QLabel>(box, "Label4");
        QCOMPARE(version->text(), App::LongVersion);
        QCOMPARE(version->font().pixelSize(), 12);
        QCOMPARE(version->geometry().right() + 1, 226); // ends where the buttons end

        const QStringList credits = control<QLabel>(box, "Label2")->text().split(QLatin1Char('\n'));
        QCOMPARE(credits.size(), 5);
        QCOMPARE(credits.at(0), QStringLiteral("Developed by"));
        QVERIFY(!credits.at(1).isEmpty());
        QCOMPARE(credits.at(2), QString());
        QCOMPARE(credits.at(3), QStringLiteral("Sr. Beta Tester"));
        QVERIFY(!credits.at(4).isEmpty());
        QCOMPARE(control<QLabel>(box, "Label2")->width(), 104);

        for (const char *label : {"Label1", "Label2", "Label3", "Label4"})
            verifyFits(control<QLabel>(box, label));
        box->grab().save(QStringLiteral(VIZZOLEN_ARTIFACTS_DIR "/about-box.png"));
    }

    void links_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QUrl>("url");
        QTest::newRow("Email Author") << "PushButton1" << "Email Author" << QUrl("mailto:" VIZZOLEN_AUTHOR_EMAIL);
        QTest::newRow("Visit Web Site") << "PushButton2" << "Visit Web Site" << QUrl("http://" VIZZOLEN_SITE_HOST);
    }

    // Each press hands the same fixed address to the system; the box stays as it was.
    void links()
    {
        QFETCH(QString, button);
        QFETCH(QString, caption);
        QFETCH(QUrl, url);
        AboutBox *box = SingleInstance<AboutBox>::get();
        box->show();
        auto *b = box->findChild<QPushButton *>(button);
        QCOMPARE(b->text(), caption);
        for (int i = 0; i < 3; ++i)
            QTest::mouseClick(b, Qt::LeftButton);
        QCOMPARE(catcher.urls, QList<QUrl>({url, url, url}));
        QVERIFY(box->isVisible());
        QCOMPARE(SingleInstance<AboutBox>::open(), box);
    }

    void selfTestWindow()
    {
        selfTest *w = SingleInstance<selfTest>::get();
        QTRY_VERIFY(w->isVisible());
        QVERIFY(QTest::qWaitForWindowExposed(w));
        QCOMPARE(w->windowTitle(), QStringLiteral("Self Test"));
        QCOMPARE(w->geometry().size(), QSize(212, 102));
        QCOMPARE(control<QLabel>(w, "Label1")->text(), QStringLiteral("Version:"));
        QCOMPARE(control<QLabel>(w, "Label2")->text(), App::LongVersion);
        auto *button = control<QPushButton>(w, "PushButton1");
        QCOMPARE(button->text(), QStringLiteral("Check for Updates"));
        QVERIFY(button->isDefault());
        for (const char *label : {"Label1", "Label2"})
            verifyFits(control<QLabel>(w, label));
        w->grab().save(QStringLiteral(VIZZOLEN_ARTIFACTS_DIR "/self-test.png"));
    }
};

QTEST_MAIN(tst_about)
#include "tst_about.moc"
