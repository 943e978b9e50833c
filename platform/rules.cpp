#include "platform/rules.h"

#include <QByteArray>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <locale.h>

std::int32_t realToInteger(double value)
{
    if (std::isnan(value))
        return 0;
    if (value >= 2147483647.0)
        return std::numeric_limits<std::int32_t>::max();
    if (value <= -2147483648.0)
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

namespace {

// UTF-16 index of the code point at `cp` (0-based), or the string's length when past the end.
qsizetype utf16Index(QStringView s, qsizetype cp)
{
    qsizetype i = 0;
    while (cp > 0 && i < s.size()) {
        i += (s[i].isHighSurrogate() && i + 1 < s.size() && s[i + 1].isLowSurrogate()) ? 2 : 1;
        --cp;
    }
    return i;
}

qsizetype codePoints(QStringView s)
{
    qsizetype n = 0;
    for (qsizetype i = 0; i < s.size(); ++n)
        i += (s[i].isHighSurrogate() && i + 1 < s.size() && s[i + 1].isLowSurrogate()) ? 2 : 1;
    return n;
}

} // namespace

int InStr(const QString &source, const QString &find)
{
    return InStr(1, source, find);
}

int InStr(int start, const QString &source, const QString &find)
{
    if (find.isEmpty())
        return 0;
    const qsizetype from = utf16Index(source, start < 1 ? 0 : qsizetype(start) - 1);
    const qsizetype at = source.indexOf(find, from, Qt::CaseInsensitive);
    if (at < 0)
        return 0;
    return static_cast<int>(codePoints(QStringView(source).left(at)) + 1);
}

int Len(const QString &source)
{
    return static_cast<int>(codePoints(source));
}

QString Mid(const QString &source, int start)
{
    const qsizetype from = utf16Index(source, start < 1 ? 0 : qsizetype(start) - 1);
    return source.mid(from);
}

QString Mid(const QString &source, int start, int length)
{
    if (length <= 0)
        return QString();
    const qsizetype from = utf16Index(source, start < 1 ? 0 : qsizetype(start) - 1);
    const QStringView rest = QStringView(source).mid(from);
    return rest.left(utf16Index(rest, length)).toString();
}

QString NthField(const QString &source, const QString &separator, int index)
{
    if (index < 1)
        return QString();
    if (separator.isEmpty())
        return index == 1 ? source : QString();
    qsizetype from = 0;
    for (int field = 1; field < index; ++field) {
        const qsizetype at = source.indexOf(separator, from);
        if (at < 0)
            return QString();
        from = at + separator.size();
    }
    const qsizetype end = source.indexOf(separator, from);
    return source.mid(from, end < 0 ? -1 : end - from);
}

double Val(const QString &text)
{
    const QStringView s(text);
    qsizetype i = 0;
    const qsizetype n = s.size();
    auto digitAt = [&](qsizetype k) { return k < n && s[k] >= u'0' && s[k] <= u'9'; };

    while (i < n && (s[i] == u' ' || s[i] == u'\t'))
        ++i;
    const qsizetype begin = i;
    if (i < n && (s[i] == u'+' || s[i] == u'-'))
        ++i;
    bool digits = false;
    while (digitAt(i)) {
        ++i;
        digits = true;
    }
    if (i < n && s[i] == u'.') {
        ++i;
        while (digitAt(i)) {
            ++i;
            digits = true;
        }
    }
    if (!digits)
        return 0.0;
    if (i < n && (s[i] == u'e' || s[i] == u'E')) {
        qsizetype k = i + 1;
        if (k < n && (s[k] == u'+' || s[k] == u'-'))
            ++k;
        if (digitAt(k)) {
            while (digitAt(k))
                ++k;
            i = k;
        }
    }

    // The span holds only ASCII sign, digits, '.' and 'e', so Latin-1 is exact; strtod_l with the
    // C locale keeps the decimal point a '.' whatever locale the user runs, and gives +-HUGE_VAL
    // on overflow, which realToInteger saturates.
    const QByteArray number = s.mid(begin, i - begin).toLatin1();
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    return strtod_l(number.constData(), nullptr, cLocale);
}

QString Str(std::int32_t value)
{
    return QString::number(value);
}

QString LCase(const QString &text)
{
    return text.toLower();
}

QString Chr(std::uint32_t code)
{
    const char32_t c = code;
    return QString::fromUcs4(&c, 1);
}
