// Printing the help text, read back from the PDF pages it makes: where the text and the
// footers stand, how the text is cut into pages, and what becomes of the help window.

#include "modal.h"
#include "pdfpages.h"
#include "platform/SingleInstance.h"
#include "windows/Help.h"
#include "windows/printHelp.h"

#include <QPageSize>
#include <QPrinter>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

namespace {

QString withoutBlanks(QString s)
{
    s.remove(QRegularExpression(QStringLiteral("\\s")));
    return s;
}

QString normalised(const QString &word)
{
    return word.normalized(QString::NormalizationForm_KC); // ligatures back to their letters
}

QString footerAt(const QDateTime &t)
{
    const QLocale locale;
    return locale.toString(t.time(), QLocale::ShortFormat) + QStringLiteral(", ")
        + locale.toString(t.date(), QLocale::ShortFormat);
}

} // namespace

class tst_print : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString pdf;
    int dialogs = 0;

    void printInto(const QString &path, const QPageSize &paper)
    {
        setPrintDialog([this, path, paper](QPrinter &printer) {
            ++dialogs;
            [&] { QCOMPARE(printer.pageLayout().orientation(), QPageLayout::Portrait); }();
            printer.setOutputFormat(QPrinter::PdfFormat);
            printer.setOutputFileName(path);
            printer.setPageSize(paper);
            return true;
        });
    }

    static Help *openHelp()
    {
        Help *help = SingleInstance<Help>::get();
        help->show();
        return help;
    }

    // Every help window ever seen visible since the last call.
    QList<QPointer<Help>> shownHelpWindows;
    bool eventFilter(QObject *o, QEvent *e) override
    {
        if (e->type() == QEvent::Show && qobject_cast<Help *>(o))
            shownHelpWindows << qobject_cast<Help *>(o);
        return false;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        qApp->installEventFilter(this);
    }

    void init()
    {
        pdf = dir.filePath(QStringLiteral("help.pdf"));
        QFile::remove(pdf);
        dialogs = 0;
        shownHelpWindows.clear();
    }

    void cleanup()
    {
        if (Help *help = SingleInstance<Help>::open())
            help->close();
        setPrintDialog({});
        QTest::qWait(0);
    }

    void pages_data()
    {
        QTest::addColumn<QString>("text"); // "" for the stored help text, with no window open
        QTest::addColumn<QPageSize>("paper");
        QTest::addColumn<int>("minPages");
        QTest::addColumn<int>("maxPages");

        QStringList lines;
        for (int i = 1; i <= 200; ++i)
            lines << QStringLiteral("Line %1 of the long text").arg(i);
        const QString longText = lines.join(QLatin1Char('\n'));
        QTest::newRow("stored text, A4") << QString() << QPageSize(QPageSize::A4) << 1 << 1;
        QTest::newRow("stored text, Letter") << QString() << QPageSize(QPageSize::Letter) << 1 << 1;
        QTest::newRow("200 lines, A4") << longText << QPageSize(QPageSize::A4) << 3 << 6;
        QTest::newRow("200 lines, Letter") << longText << QPageSize(QPageSize::Letter) << 3 << 6;
        QTest::newRow("one word") << QStringLiteral("Word") << QPageSize(QPageSize::A4) << 1 << 1;
        QTest::newRow("empty") << QStringLiteral("\x01") << QPageSize(QPageSize::A4) << 1 << 1;
    }

    void pages()
    {
        QFETCH(QString, text);
        QFETCH(QPageSize, paper);
        QFETCH(int, minPages);
        QFETCH(int, maxPages);

        QString printed = text;
        if (!text.isEmpty()) {
            Help *help = openHelp();
            QFont font = help->TextArea1()->font();
            font.setPointSize(10);
            help->TextArea1()->setFont(font);
            help->TextArea1()->setPlainText(text == QStringLiteral("\x01") ? QString() : text);
            printed = help->TextArea1()->toPlainText();
        } else {
            QVERIFY(!SingleInstance<Help>::open());
            printed = SingleInstance<Help>::get()->TextArea1()->toPlainText();
            SingleInstance<Help>::get()->close();
            QTest::qWait(0);
        }

        printInto(pdf, paper);
        const QDateTime before = QDateTime::currentDateTime();
        QVERIFY(Help::printHelpText());
        const QDateTime after = QDateTime::currentDateTime();
        QCOMPARE(dialogs, 1);
        QVERIFY(!SingleInstance<Help>::open()); // closed when done

        const QString keep = QStringLiteral(VIZZOLEN_ARTIFACTS_DIR "/printed-%1.pdf")
                                 .arg(QString::fromLatin1(QTest::currentDataTag()).replace(QRegularExpression("\\W+"), "-"));
        QFile::remove(keep);
        QFile::copy(pdf, keep);
        QString error;
        const QList<PdfPage> pages = readPdf(pdf, &error);
        QVERIFY2(!pages.isEmpty(), qPrintable(error));
        QVERIFY2(pages.size() >= minPages && pages.size() <= maxPages, qPrintable(QString::number(pages.size())));

        const QSizeF size = paper.size(QPageSize::Point);
        const double PW = size.width(), PH = size.height();
        const double W = PW - 36, H = PH - 24;
        QString footer;
        QStringList bodyWords;
        for (int n = 1; n <= pages.size(); ++n) {
            const PdfPage &page = pages.at(n - 1);
            QCOMPARE(page.size, size);
            const bool last = n == pages.size();
            const double baseline = last ? H : H - 16;

            QList<PdfWord> body, foot;
            for (const PdfWord &w : page.words)
                (w.box.bottom() > 36 + (H - 60) + 1 ? foot : body) << w;

            // The footer: "page N" at x 40 and the time and date at x 100, on one baseline.
            QVERIFY2(foot.size() >= 3, qPrintable(page.texts().join(' ')));
            QCOMPARE(foot.at(0).text, QStringLiteral("page"));
            QCOMPARE(foot.at(1).text, QString::number(n));
            QVERIFY(qAbs(foot.at(0).box.left() - 40) < 0.5);
            QVERIFY(qAbs(foot.at(2).box.left() - 100) < 0.5);
            for (const PdfWord &w : foot) {
                QVERIFY2(w.box.top() < baseline && baseline < w.box.bottom() && w.box.bottom() - baseline < 5,
                         qPrintable(QStringLiteral("%1 at %2..%3, baseline %4").arg(w.text).arg(w.box.top()).arg(w.box.bottom()).arg(baseline)));
            }
            QString pageFooter;
            for (int i = 2; i < foot.size(); ++i)
                pageFooter += foot.at(i).text;
            if (n == 1)
                footer = pageFooter;
            QCOMPARE(pageFooter, footer); // the moment of the command, on every page

            // The text block: from x 36, y 36, at most W - 36 wide and H - 60 high.
            for (const PdfWord &w : body) {
                QVERIFY(w.box.left() >= 36 - 0.5);
                QVERIFY(w.box.right() <= 36 + (W - 36) + 0.5);
                QVERIFY(w.box.top() >= 36 - 0.5);
                QVERIFY(w.box.bottom() <= 36 + (H - 60) + 0.5);
                bodyWords << normalised(w.text);
            }
            if (!body.isEmpty()) {
                QVERIFY(qAbs(body.first().box.left() - 36) < 1);
                QVERIFY(qAbs(body.first().box.top() - 36) < 3);
            }
            // A page that is followed by another holds as many lines as fit: one more would not.
            if (!last && body.size() >= 2) {
                double lineHeight = 0;
                for (int i = 1; i < body.size() && lineHeight == 0; ++i)
                    lineHeight = body.at(i).box.top() - body.at(i - 1).box.top();
                QVERIFY(lineHeight > 0);
                QVERIFY(body.last().box.bottom() + lineHeight > 36 + (H - 60) - 0.5);
            }
        }
        QVERIFY2(withoutBlanks(footer) == withoutBlanks(footerAt(before))
                     || withoutBlanks(footer) == withoutBlanks(footerAt(after)),
                 qPrintable(footer));
        // Every word once, in order: no line lost or printed twice at a page break.
        QCOMPARE(bodyWords, printed.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts));
    }

    // Cancelled: nothing printed, the help window closed all the same (made and closed at
    // once when it was not open, never shown), and the command counts as handled.
    void cancelled_data()
    {
        QTest::addColumn<bool>("helpOpen");
        QTest::newRow("help window open") << true;
        QTest::newRow("no help window") << false;
    }

    void cancelled()
    {
        QFETCH(bool, helpOpen);
        if (helpOpen)
            QVERIFY(QTest::qWaitForWindowExposed(openHelp()));
        shownHelpWindows.clear();
        setPrintDialog([this](QPrinter &) {
            ++dialogs;
            return false;
        });
        QVERIFY(Help::printHelpText());
        QCOMPARE(dialogs, 1);
        QVERIFY(!SingleInstance<Help>::open());
        QTest::qWait(20);
        QVERIFY(!SingleInstance<Help>::open());
        QVERIFY(shownHelpWindows.isEmpty());
        for (QWidget *w : QApplication::topLevelWidgets())
            QVERIFY(!qobject_cast<Help *>(w) || !w->isVisible());
        QVERIFY(!QFile::exists(pdf));
    }

    // The footer tells when the command was chosen, not when the user confirmed the dialog:
    // this dialog stays open until the clock, as the footer shows it, has moved on.
    void footerTimeIsBeforeTheDialog()
    {
        // The C locale's short time holds seconds, so the dialog need stay open one second.
        const QLocale saved;
        QLocale::setDefault(QLocale::c());
        const auto restore = qScopeGuard([&] { QLocale::setDefault(saved); });
        QVERIFY(QLocale().timeFormat(QLocale::ShortFormat).contains(QLatin1Char('s')));

        openHelp();
        QString opened, confirmed;
        setPrintDialog([&](QPrinter &printer) {
            opened = footerAt(QDateTime::currentDateTime());
            QElapsedTimer waited;
            waited.start();
            while (footerAt(QDateTime::currentDateTime()) == opened && waited.elapsed() < 90000)
                QTest::qWait(50);
            confirmed = footerAt(QDateTime::currentDateTime());
            printer.setOutputFormat(QPrinter::PdfFormat);
            printer.setOutputFileName(pdf);
            return true;
        });
        const QString chosen = footerAt(QDateTime::currentDateTime());
        QVERIFY(Help::printHelpText());
        QVERIFY(opened != confirmed);

        const QList<PdfPage> pages = readPdf(pdf);
        QCOMPARE(pages.size(), 1);
        const QStringList words = pages.at(0).texts();
        const qsizetype page = words.lastIndexOf(QStringLiteral("page"));
        QVERIFY(page >= 0);
        const QString footer = words.mid(page + 2).join(QString());
        QVERIFY2(footer == withoutBlanks(chosen) || footer == withoutBlanks(opened),
                 qPrintable(QStringLiteral("footer %1, command chosen at %2, dialog confirmed at %3")
                                .arg(footer, chosen, confirmed)));
    }

    // The help window's own command prints what its text area holds now, and closes it.
    void printsTheEditedText()
    {
        Help *help = openHelp();
        help->TextArea1()->setPlainText(QStringLiteral("Typed just now"));
        printInto(pdf, QPageSize(QPageSize::A4));
        QVERIFY(help->FilePrintHelp_Action());
        QVERIFY(!SingleInstance<Help>::open());
        const QList<PdfPage> pages = readPdf(pdf);
        QCOMPARE(pages.size(), 1);
        QCOMPARE(pages.at(0).texts().mid(0, 3), QStringList({"Typed", "just", "now"}));
    }

    // A printer that cannot be written to is said so, rather than printing nothing silently.
    void printerFails()
    {
        openHelp();
        printInto(dir.filePath(QStringLiteral("no such folder/help.pdf")), QPageSize(QPageSize::A4));
        ModalAnswerer answerer;
        QVERIFY(Help::printHelpText());
        QCOMPARE(answerer.seen.size(), 1);
        QCOMPARE(answerer.seen.at(0).text, QStringLiteral("The help text could not be printed."));
        QVERIFY(!SingleInstance<Help>::open());
    }
};

QTEST_MAIN(tst_print)
#include "tst_print.moc"
