#include "windows/printHelp.h"

#include "platform/rules.h"
#include "windows/services.h"

#include <QAbstractTextDocumentLayout>
#include <QDateTime>
#include <QImage>
#include <QLocale>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <memory>
#include <vector>

namespace {

PrintDialog &printDialog()
{
    static PrintDialog dialog;
    return dialog;
}

bool showPrintDialog(QPrinter &printer)
{
    if (printDialog())
        return printDialog()(printer);
    QPrintDialog dialog(&printer);
    return dialog.exec() == QDialog::Accepted;
}

// Hands out a styled text in blocks of whole lines, each as tall as a page allows, all in
// points: the text is laid out against a 72 dpi device, so one unit is one point.
class StyledTextPrinter
{
public:
    StyledTextPrinter(const QTextDocument &source, qreal width)
        : device_(1, 1, QImage::Format_RGB32), doc_(source.clone())
    {
        const int dotsPerMeter = qRound(72 / 0.0254);
        device_.setDotsPerMeterX(dotsPerMeter);
        device_.setDotsPerMeterY(dotsPerMeter);
        doc_->documentLayout()->setPaintDevice(&device_);
        doc_->setDocumentMargin(0);
        doc_->setTextWidth(width);
        doc_->size(); // lays the whole text out now; Qt would do it piecemeal as it is shown
        if (doc_->isEmpty())
            return;
        for (QTextBlock block = doc_->begin(); block.isValid(); block = block.next()) {
            const QTextLayout *layout = block.layout();
            for (int i = 0; i < layout->lineCount(); ++i) {
                const QTextLine line = layout->lineAt(i);
                const qreal top = layout->position().y() + line.y();
                lines_.push_back({top, top + line.height()});
            }
        }
    }

    bool atEnd() const { return next_ >= lines_.size(); }

    // Draws the next lines that fit in `maxHeight` with their top left corner at (x, y); a line
    // taller than that goes alone, cut at the bottom.
    void DrawBlock(QPainter &painter, qreal x, qreal y, qreal maxHeight)
    {
        const qreal top = lines_[next_].top;
        size_t last = next_;
        while (last + 1 < lines_.size() && lines_[last + 1].bottom - top <= maxHeight)
            ++last;
        const qreal bottom = std::min(lines_[last].bottom, top + maxHeight);
        next_ = last + 1;

        painter.save();
        painter.translate(x, y - top);
        const QRectF block(-x, top, doc_->textWidth() + 2 * x, bottom - top);
        painter.setClipRect(block);
        // The lines of the page alone: the layout also draws lines that merely touch its clip,
        // and a line hidden by the painter's clip would still stand in the printed file.
        QAbstractTextDocumentLayout::PaintContext context;
        context.clip = block.adjusted(0, 0.25, 0, -0.25);
        doc_->documentLayout()->draw(&painter, context);
        painter.restore();
    }

    QFont font() const { return doc_->defaultFont(); }

private:
    struct Line {
        qreal top, bottom;
    };
    QImage device_;
    std::unique_ptr<QTextDocument> doc_;
    std::vector<Line> lines_;
    size_t next_ = 0;
};

} // namespace

void setPrintDialog(PrintDialog dialog)
{
    printDialog() = std::move(dialog);
}

bool printHelp(const std::function<const QTextDocument &()> &helpText, const std::function<void()> &done)
{
    QPrinter printer(QPrinter::HighResolution);
    printer.setPageOrientation(QPageLayout::Portrait);
    const QDateTime now = QDateTime::currentDateTime();
    const QLocale locale;
    const QString footer = locale.toString(now.time(), QLocale::ShortFormat) + QStringLiteral(", ")
        + locale.toString(now.date(), QLocale::ShortFormat);
    std::int32_t page = 1;

    if (showPrintDialog(printer)) {
        // The page the user confirmed, in points. (Taking a default page instead would print
        // past the paper's edge whenever they chose a smaller one.)
        const QRectF paper = printer.pageLayout().fullRect(QPageLayout::Point);
        const qreal W = paper.width() - 36;
        const qreal H = paper.height() - 24;
        StyledTextPrinter text(helpText(), W - 36);

        printer.setFullPage(true);
        QPainter g;
        if (g.begin(&printer)) {
            g.scale(printer.logicalDpiX() / 72.0, printer.logicalDpiY() / 72.0);
            QFont font = text.font();
            if (font.pointSizeF() > 0)
                font.setPixelSize(qRound(font.pointSizeF())); // one unit is one point here
            g.setFont(font);
            auto drawFooter = [&](qreal y) {
                g.drawText(QPointF(40, y), QStringLiteral("page ") + Str(page));
                g.drawText(QPointF(100, y), footer);
            };
            while (!text.atEnd()) {
                text.DrawBlock(g, 36, 36, H - 60);
                if (!text.atEnd()) {
                    drawFooter(H - 16);
                    ++page;
                    printer.newPage();
                }
            }
            drawFooter(H);
            g.end();
        } else {
            MsgBox(QStringLiteral("The help text could not be printed."));
        }
    }

    done();
    return true;
}
