#pragma once

// Reads a PDF back with poppler's pdftotext (Debian package poppler-utils): each page's size
// and the words on it with their boxes, in points from the page's top left corner.

#include <QProcess>
#include <QRectF>
#include <QRegularExpression>
#include <QSizeF>
#include <QString>
#include <QStringList>

struct PdfWord {
    QString text;
    QRectF box;
};

struct PdfPage {
    QSizeF size;
    QList<PdfWord> words;

    QStringList texts() const
    {
        QStringList list;
        for (const PdfWord &w : words)
            list << w.text;
        return list;
    }
};

// The pages, or an empty list when the file cannot be read (the reason in `error`).
inline QList<PdfPage> readPdf(const QString &path, QString *error = nullptr)
{
    QProcess p;
    p.start(QStringLiteral("pdftotext"), {QStringLiteral("-bbox"), path, QStringLiteral("-")});
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        if (error)
            *error = QStringLiteral("pdftotext failed: ") + p.errorString() + QString::fromLocal8Bit(p.readAllStandardError());
        return {};
    }
    const QString html = QString::fromUtf8(p.readAllStandardOutput());
    static const QRegularExpression pageRe(QStringLiteral(R"re(<page width="([\d.]+)" height="([\d.]+)">(.*?)</page>)re"),
                                           QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression wordRe(QStringLiteral(
        R"re(<word xMin="([\d.-]+)" yMin="([\d.-]+)" xMax="([\d.-]+)" yMax="([\d.-]+)">(.*?)</word>)re"));
    QList<PdfPage> pages;
    for (auto pm = pageRe.globalMatch(html); pm.hasNext();) {
        const auto page = pm.next();
        PdfPage p;
        p.size = QSizeF(page.captured(1).toDouble(), page.captured(2).toDouble());
        const QString body = page.captured(3);
        for (auto wm = wordRe.globalMatch(body); wm.hasNext();) {
            const auto w = wm.next();
            QString text = w.captured(5);
            text.replace(QStringLiteral("&lt;"), QStringLiteral("<"))
                .replace(QStringLiteral("&gt;"), QStringLiteral(">"))
                .replace(QStringLiteral("&quot;"), QStringLiteral("\""))
                .replace(QStringLiteral("&amp;"), QStringLiteral("&"));
            const double x0 = w.captured(1).toDouble(), y0 = w.captured(2).toDouble();
            p.words << PdfWord{text, QRectF(QPointF(x0, y0), QPointF(w.captured(3).toDouble(), w.captured(4).toDouble()))};
        }
        pages << p;
    }
    return pages;
}
