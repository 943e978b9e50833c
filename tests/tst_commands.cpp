// The control panel's menu commands, through the real App and the panel's own menu items:
// where "About..." and "Show Help" put their windows, "Check Now", and "Print Help".

#include "app/App.h"
#include "app/MenuBar1.h"
#include "app/Window1.h"
#include "fakecapture.h"
#include "modal.h"
#include "pdfpages.h"
#include "platform/SingleInstance.h"
#include "settings/prefsModule.h"
#include "windows/AboutBox.h"
#include "windows/Help.h"
#include "windows/printHelp.h"
#include "windows/selfTest.h"
#include "windows/updateWindow.h"

#include <QPrinter>
#include <QScreen>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

using namespace prefsModule;

class tst_commands : public QObject
{
    Q_OBJECT

private:
    FakeCapture fake;
    QTemporaryDir dir;

    static Window1 *panel() { return SingleInstance<Window1>::open(); }
    static int availableHeight() { return QGuiApplication::primaryScreen()->availableGeometry().height(); }
    static void choose(const char *item) { MenuBar1::instance()->item(QString::fromLatin1(item))->trigger(); }

    template <class W>
    static int visibleWindows()
    {
        int n = 0;
        for (QWidget *w : QApplication::topLevelWidgets())
            n += qobject_cast<W *>(w) && w->isVisible();
        return n;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QTRY_VERIFY(panel() && panel()->isVisible());
        QVERIFY(QTest::qWaitForWindowExposed(panel()));
    }

    void cleanup()
    {
        if (auto *w = SingleInstance<AboutBox>::open())
            w->close();
        if (auto *w = SingleInstance<Help>::open())
            w->close();
        if (auto *w = SingleInstance<selfTest>::open())
            w->close();
        if (auto *w = SingleInstance<updateWindow>::open())
            w->close();
        setPrintDialog({});
        savedTop = 150;
        QTest::qWait(0);
    }

    void aboutBox_data()
    {
        QTest::addColumn<int>("saved");
        QTest::addColumn<int>("panelTop");
        QTest::addColumn<bool>("besidePanel"); // else near the screen's bottom, left unchanged
        const int a = availableHeight();
        QTest::newRow("box ends on the screen's edge") << a - 258 << 100 << true;
        QTest::newRow("one pixel beyond") << a - 257 << 100 << false;
        // The test reads the top saved at start-up; the placement, the panel's top now.
        QTest::newRow("saved low, panel dragged up") << a - 100 << 10 << false;
        QTest::newRow("saved high, panel dragged down") << 20 << a - 137 << true;
        QTest::newRow("saved above the screen") << -500 << 100 << true;
        QTest::newRow("saved at the 32-bit limit") << std::numeric_limits<std::int32_t>::max() << 100 << false;
    }

    void aboutBox()
    {
        QFETCH(int, saved);
        QFETCH(int, panelTop);
        QFETCH(bool, besidePanel);
        savedTop = saved;
        panel()->setTop(panelTop);
        panel()->setLeft(130);
        AboutBox *box = SingleInstance<AboutBox>::get();
        box->move(77, 5);

        QSignalSpy done(MenuBar1::instance()->item("HelpAboutBox"), &QAction::triggered);
        choose("HelpAboutBox");
        QCOMPARE(SingleInstance<AboutBox>::open(), box);
        QVERIFY(box->isVisible());
        if (besidePanel)
            QCOMPARE(box->geometry().topLeft(), QPoint(130 + 20, panelTop + 20));
        else
            QCOMPARE(box->geometry().topLeft(), QPoint(77, availableHeight() - 258 - 20));
        QVERIFY(panel()->HelpAboutBox_Action());
        QCOMPARE(visibleWindows<AboutBox>(), 1);
    }

    // With the top saved by default, 150: the box goes beside the panel on a screen of 408
    // pixels' available height or more, near the bottom on one of 407 or less. (CTest runs
    // this again on screens of those two heights.)
    void aboutBoxAtDefaultTop()
    {
        panel()->setTop(150);
        panel()->setLeft(150);
        SingleInstance<AboutBox>::get()->move(0, 0);
        choose("HelpAboutBox");
        const QPoint at = SingleInstance<AboutBox>::open()->geometry().topLeft();
        if (availableHeight() >= 408)
            QCOMPARE(at, QPoint(170, 170));
        else
            QCOMPARE(at, QPoint(0, availableHeight() - 278));
    }

    void showHelp_data()
    {
        QTest::addColumn<int>("panelTop");
        QTest::addColumn<int>("helpTop");
        QTest::newRow("default top 150: 20 becomes 50") << 150 << 50;
        QTest::newRow("49 becomes 50") << 179 << 50;
        QTest::newRow("50 stays") << 180 << 50;
        QTest::newRow("51 stays") << 181 << 51;
        QTest::newRow("bottoms level") << 400 << 400 + 137 - 267;
        QTest::newRow("negative becomes 50") << 0 << 50;
    }

    void showHelp()
    {
        QFETCH(int, panelTop);
        QFETCH(int, helpTop);
        panel()->setTop(panelTop);
        panel()->setLeft(210);
        choose("HelpShowHelp");
        Help *help = SingleInstance<Help>::open();
        QVERIFY(help && help->isVisible());
        QCOMPARE(help->Top(), helpTop);
        QCOMPARE(help->Left(), 230);
        QCOMPARE(help->Height(), 267);

        // Again, with the window open and the panel moved: the same window, moved.
        panel()->setLeft(300);
        QVERIFY(panel()->HelpShowHelp_Action());
        QCOMPARE(SingleInstance<Help>::open(), help);
        QCOMPARE(help->Left(), 320);
        QCOMPARE(visibleWindows<Help>(), 1);
    }

    void checkNow()
    {
        choose("CheckforUpdateCheckNow");
        selfTest *first = SingleInstance<selfTest>::open();
        QVERIFY(first && first->isVisible());
        QVERIFY(!panel()->CheckforUpdateCheckNow_Action()); // the one command that says false
        QCOMPARE(SingleInstance<selfTest>::open(), first);
        QCOMPARE(visibleWindows<selfTest>(), 1);
        QVERIFY(!SingleInstance<updateWindow>::open()); // no check until its button is pressed
    }

    // A failed check gives the focus back to the panel, through the whole road.
    void failedCheckFocusesThePanel()
    {
        updateWindow::setUpdateSite(QStringLiteral("http://127.0.0.1:1"));
        ModalAnswerer answerer;
        choose("CheckforUpdateCheckNow");
        SingleInstance<selfTest>::open()->findChild<QPushButton *>("PushButton1")->click();
        QTRY_COMPARE(answerer.seen.size(), 1);
        QVERIFY(answerer.seen.at(0).text.startsWith(QStringLiteral("There was a communication error")));
        QTRY_VERIFY(!SingleInstance<updateWindow>::open());
        QTRY_COMPARE(QApplication::activeWindow(), panel());
    }

    // "Print Help" of the panel: the help text printed (the stored one when no help window
    // is open, the edited one when it is), the help window closed, the panel left open.
    void printHelp_data()
    {
        QTest::addColumn<bool>("helpOpen");
        QTest::addColumn<QString>("firstWords");
        QTest::newRow("no help window") << false << "Vizzolen was developed";
        QTest::newRow("edited help window") << true << "Edited in the window";
    }

    void printHelp()
    {
        QFETCH(bool, helpOpen);
        QFETCH(QString, firstWords);
        if (helpOpen) {
            choose("HelpShowHelp");
            SingleInstance<Help>::open()->TextArea1()->setPlainText(QStringLiteral("Edited in the window"));
        }
        const QString pdf = dir.filePath(QStringLiteral("panel.pdf"));
        QFile::remove(pdf);
        setPrintDialog([&](QPrinter &printer) {
            printer.setOutputFormat(QPrinter::PdfFormat);
            printer.setOutputFileName(pdf);
            return true;
        });
        QVERIFY(panel()->FilePrintHelp_Action());
        const QList<PdfPage> pages = readPdf(pdf);
        QCOMPARE(pages.size(), 1);
        QCOMPARE(pages.at(0).texts().mid(0, firstWords.count(' ') + 1).join(' '), firstWords);
        QVERIFY(!SingleInstance<Help>::open());
        QVERIFY(panel()->isVisible());
        QTest::qWait(20);
        QCOMPARE(visibleWindows<Help>(), 0);
    }

    // The menu item and its shortcut in the panel run it too, and a cancelled dialog is
    // still a handled command.
    void printHelpFromTheMenu()
    {
        int dialogs = 0;
        setPrintDialog([&](QPrinter &) {
            ++dialogs;
            return false;
        });
        choose("FilePrintHelp");
        QCOMPARE(dialogs, 1);
        panel()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(panel()));
        QTest::keyClick(panel(), Qt::Key_P, Qt::ControlModifier);
        QCOMPARE(dialogs, 2);
        QVERIFY(panel()->isVisible());
        QVERIFY(!SingleInstance<Help>::open());
    }
};

int main(int argc, char **argv)
{
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    App app(argc, argv);
    tst_commands test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_commands.moc"
