// The help window: its text, its text area, its own menu bar and the selection report.

#include "modal.h"
#include "platform/SingleInstance.h"
#include "windows/Help.h"
#include "windows/MenuBar2.h"
#include "windows/printHelp.h"

#include <QClipboard>
#include <QMenu>
#include <QPrinter>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextEdit>
#include <QtTest>

namespace {

const QStringList helpParagraphs = {
    "Vizzolen was developed to assist Users who would like a utility to magnify portions of the "
    "screen at times.",
    "When you launch Vizzolen, you see a small Control Panel with two sliders and a checkbox.  The "
    "top slider lets you select the Magnification (x2, x3, x4, x5 and x6).  The bottom slider lets "
    "you select the desired width of the Display Window (200, 300, 400, 500, and 600 pixels).  The "
    "checkbox lets you hide the Display Window.",
    "Operation of Vizzolen is very simple.  Just set the sliders, drag the Control Panel out of the "
    "way and move the mouse to the area you wish to magnify.  The magnified area is displayed in "
    "the Display Window located adjacent to the Control Panel.",
    "Slider settings and Control Panel location are saved between sessions.",
};

QStringList texts(const QList<QAction *> &actions)
{
    QStringList list;
    for (QAction *a : actions)
        list << (a->isSeparator() ? QStringLiteral("-") : a->text());
    return list;
}

} // namespace

class tst_help : public QObject
{
    Q_OBJECT

private:
    static Help *openHelp()
    {
        Help *help = SingleInstance<Help>::get();
        help->show();
        return help;
    }

private slots:
    void cleanup()
    {
        if (Help *help = SingleInstance<Help>::open())
            help->close();
        QTest::qWait(0);
        setPrintDialog({});
    }

    void design()
    {
        Help *help = openHelp();
        QVERIFY(QTest::qWaitForWindowExposed(help));
        QCOMPARE(help->windowTitle(), QStringLiteral("Vizzolen"));
        QCOMPARE(help->Height(), 267);
        QCOMPARE(help->centralWidget()->size(), QSize(332, 267));
        // Not resizable: its size is fixed, and there is no zoom or minimise box.
        QCOMPARE(help->minimumSize(), help->maximumSize());
        QVERIFY(help->windowFlags() & Qt::CustomizeWindowHint); // else Qt offers every button
        QVERIFY(!(help->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(!(help->windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(help->windowFlags() & Qt::WindowCloseButtonHint);

        QTextEdit *text = help->findChild<QTextEdit *>(QStringLiteral("TextArea1"));
        QVERIFY(text);
        QCOMPARE(text->geometry(), QRect(20, 20, 292, 227));
        QVERIFY(!text->isReadOnly());
        QCOMPARE(text->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QCOMPARE(text->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QVERIFY(text->verticalScrollBar()->isVisible());
        QVERIFY(text->tabChangesFocus());

        // The button lies beyond the window's right edge: there, but never seen.
        auto *button = help->findChild<QPushButton *>(QStringLiteral("PushButton1"));
        QVERIFY(button);
        QCOMPARE(button->geometry(), QRect(368, 262, 18, 10));
        QVERIFY(!help->centralWidget()->rect().intersects(button->geometry()));

        help->grab().save(QStringLiteral(VIZZOLEN_ARTIFACTS_DIR "/help-window.png"));
    }

    // Four paragraphs with one empty line between two of them and none after the last.
    void helpText()
    {
        QTextEdit *text = openHelp()->TextArea1();
        QCOMPARE(text->toPlainText(), helpParagraphs.join(QStringLiteral("\n\n")));
        QTextDocument *doc = text->document();
        QCOMPARE(doc->blockCount(), 7);
        for (int i = 0; i < 7; ++i)
            QCOMPARE(doc->findBlockByNumber(i).text(), i % 2 ? QString() : helpParagraphs.at(i / 2));
    }

    void menuBar()
    {
        Help *help = openHelp();
        MenuBar2 *bar = MenuBar2::instance();
        QCOMPARE(help->menuWidget(), bar);
        QCOMPARE(texts(bar->actions()), QStringList({"&File", "&Edit"}));
        QCOMPARE(texts(bar->menu("FileMenu")->actions()), QStringList({"Print Help"}));
        QCOMPARE(bar->item("FilePrintHelp")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_P));
        QCOMPARE(texts(bar->menu("EditMenu")->actions()),
                 QStringList({"&Undo", "-", "Cu&t", "&Copy", "&Paste", "&Delete", "-", "Select &All"}));
        QCOMPARE(bar->item("UntitledMenu1"), bar->menu("EditMenu")->actions().at(1));
        QCOMPARE(bar->item("EditSelectAll")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_A));
        QVERIFY(!bar->item("FileQuit"));

        // "Print Help" is enabled whenever one of the window's menus is about to open.
        bar->item("FilePrintHelp")->setEnabled(false);
        emit bar->menu("EditMenu")->aboutToShow();
        QVERIFY(bar->item("FilePrintHelp")->isEnabled());
    }

    // One menu bar serves every help window; closing a window keeps it, and a new window
    // shows the stored text again, whatever was typed into the old one.
    void reopening()
    {
        Help *first = openHelp();
        MenuBar2 *bar = MenuBar2::instance();
        first->TextArea1()->setPlainText(QStringLiteral("typed by the user"));
        QPointer<Help> old = first;
        QVERIFY(first->close());
        QVERIFY(!SingleInstance<Help>::open());
        QTRY_VERIFY(!old); // destroyed, its menu bar kept
        QCOMPARE(MenuBar2::instance(), bar);

        Help *second = openHelp();
        QCOMPARE(second->menuWidget(), bar);
        QVERIFY(QTest::qWaitForWindowExposed(second));
        QVERIFY(bar->isVisible());
        QCOMPARE(second->TextArea1()->toPlainText(), helpParagraphs.join(QStringLiteral("\n\n")));
        QCOMPARE(SingleInstance<Help>::get(), second);

        // A new window while the closed one still awaits deletion takes the bar over.
        QPointer<Help> closing = second;
        second->close();
        Help *third = openHelp();
        QCOMPARE(third->menuWidget(), bar);
        QTRY_VERIFY(!closing);
        QCOMPARE(third->menuWidget(), bar);
        QVERIFY(QTest::qWaitForWindowExposed(third));
        QVERIFY(bar->isVisible());
        QCOMPARE(MenuBar2::instance(), bar);
    }

    // "Print Help" of the help window's menu, by item and by its shortcut, runs the printing;
    // only the window that carries the bar answers it.
    void printCommand()
    {
        Help *help = openHelp();
        QVERIFY(QTest::qWaitForWindowActive(help));
        int dialogs = 0;
        setPrintDialog([&](QPrinter &) {
            ++dialogs;
            return false;
        });
        QTest::keyClick(help->TextArea1(), Qt::Key_P, Qt::ControlModifier);
        QCOMPARE(dialogs, 1);
        QVERIFY(!SingleInstance<Help>::open()); // closed after printing, here cancelled

        help = openHelp();
        QVERIFY(QTest::qWaitForWindowActive(help));
        QTest::keyClick(help->TextArea1(), Qt::Key_P, Qt::ControlModifier);
        QCOMPARE(dialogs, 2);
        QVERIFY(!SingleInstance<Help>::open());
        MenuBar2::instance()->item("FilePrintHelp")->trigger();
        QCOMPARE(dialogs, 3);
    }

    // The Edit items act on the text area of the window that carries the bar.
    void editItems_data()
    {
        QTest::addColumn<QStringList>("items");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("clipboard");
        QTest::newRow("select all, copy") << QStringList({"EditSelectAll", "EditCopy"}) << "one two" << "one two";
        QTest::newRow("cut") << QStringList({"EditCut"}) << " two" << "one";
        QTest::newRow("delete") << QStringList({"EditClear"}) << " two" << "before";
        QTest::newRow("paste over the selection") << QStringList({"EditPaste"}) << "before two" << "before";
        QTest::newRow("delete, undo") << QStringList({"EditClear", "EditUndo"}) << "one two" << "before";
    }

    void editItems()
    {
        QFETCH(QStringList, items);
        QFETCH(QString, text);
        QFETCH(QString, clipboard);
        Help *help = openHelp();
        help->TextArea1()->setPlainText(QStringLiteral("one two"));
        QTextCursor cursor(help->TextArea1()->document());
        cursor.setPosition(3, QTextCursor::KeepAnchor); // "one"
        help->TextArea1()->setTextCursor(cursor);
        QApplication::clipboard()->setText(QStringLiteral("before"));
        for (const QString &item : items)
            MenuBar2::instance()->item(item)->trigger();
        QCOMPARE(help->TextArea1()->toPlainText(), text);
        QCOMPARE(QApplication::clipboard()->text(), clipboard);
    }

    void selectionReport_data()
    {
        QTest::addColumn<int>("start");
        QTest::addColumn<int>("end");
        QTest::addColumn<QString>("message");
        QTest::newRow("caret at the start") << 0 << 0 << "Start: 0 Length: 0";
        QTest::newRow("first word") << 0 << 8 << "Start: 0 Length: 8";
        // The empty line between paragraphs counts as the text's two carriage returns.
        QTest::newRow("second paragraph") << 109 << 113 << "Start: 109 Length: 4";
        QTest::newRow("selected backwards") << 20 << 5 << "Start: 5 Length: 15";
    }

    void selectionReport()
    {
        QFETCH(int, start);
        QFETCH(int, end);
        QFETCH(QString, message);
        Help *help = openHelp();
        QTextCursor cursor = help->TextArea1()->textCursor();
        cursor.setPosition(start);
        cursor.setPosition(end, QTextCursor::KeepAnchor);
        help->TextArea1()->setTextCursor(cursor);
        const QString before = help->TextArea1()->toPlainText();

        ModalAnswerer answerer;
        // The button is reached by the keyboard only: Tab from the text area, then Space.
        help->TextArea1()->setFocus();
        QVERIFY(QTest::qWaitForWindowActive(help));
        QTest::keyClick(help->TextArea1(), Qt::Key_Tab);
        QTRY_COMPARE(QApplication::focusWidget(), help->findChild<QWidget *>("PushButton1"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        QTRY_COMPARE(answerer.seen.size(), 1);
        QCOMPARE(answerer.seen.at(0).text, message);
        QCOMPARE(answerer.seen.at(0).buttons.size(), 1);
        QCOMPARE(help->TextArea1()->toPlainText(), before);
        QCOMPARE(help->TextArea1()->textCursor().selectionStart(), qMin(start, end));
    }
};

QTEST_MAIN(tst_help)
#include "tst_help.moc"
