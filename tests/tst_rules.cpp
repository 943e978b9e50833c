// The string and number rules that the preferences file and the refreshes are written against.
// Positions count characters: U+1F600 is one character, two UTF-16 units and four UTF-8 bytes,
// so a rule that counts the wrong unit gives a different answer for every row that holds one.

#include "platform/rules.h"

#include <QtTest>

#include <clocale>
#include <cmath>
#include <limits>

namespace {

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// U+1F600, one character outside the Basic Multilingual Plane.
const QString kSmiley = QString::fromUcs4(U"\U0001F600", 1);
// U+10400 and U+10428, a capital and small letter pair outside the BMP (Deseret).
const QString kDeseretCapital = QString::fromUcs4(U"\U00010400", 1);
const QString kDeseretSmall = QString::fromUcs4(U"\U00010428", 1);

QString s(const char *utf8)
{
    return QString::fromUtf8(utf8);
}

// Exact comparison that tells -0.0 from 0.0 and treats NaN as equal to NaN.
bool sameDouble(double a, double b)
{
    if (std::isnan(a) || std::isnan(b))
        return std::isnan(a) && std::isnan(b);
    return a == b && std::signbit(a) == std::signbit(b);
}

} // namespace

class tst_rules : public QObject
{
    Q_OBJECT

private slots:
    void realToInteger_data();
    void realToInteger();
    void InStr_data();
    void InStr();
    void InStrFrom_data();
    void InStrFrom();
    void Len_data();
    void Len();
    void Mid_data();
    void Mid();
    void NthField_data();
    void NthField();
    void Val_data();
    void Val();
    void ValIgnoresTheLocale();
    void Str_data();
    void Str();
    void LCase_data();
    void LCase();
    void Chr_data();
    void Chr();
};

void tst_rules::realToInteger_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("expected");

    QTest::newRow("zero") << 0.0 << 0;
    QTest::newRow("negative zero") << -0.0 << 0;
    QTest::newRow("2.5 truncates") << 2.5 << 2;
    QTest::newRow("-2.5 truncates toward zero") << -2.5 << -2;
    QTest::newRow("187.5") << 187.5 << 187;
    QTest::newRow("just below 1") << 0.9999999999 << 0;
    QTest::newRow("just above -1") << -0.9999999999 << 0;
    QTest::newRow("smallest denormal") << std::numeric_limits<double>::denorm_min() << 0;
    QTest::newRow("-4.9") << -4.9 << -4;
    QTest::newRow("INT32_MAX exactly") << 2147483647.0 << kMax;
    QTest::newRow("INT32_MAX + 0.5") << 2147483647.5 << kMax;
    QTest::newRow("2^31") << 2147483648.0 << kMax;
    QTest::newRow("just below INT32_MAX") << 2147483646.75 << kMax - 1;
    QTest::newRow("1e30") << 1e30 << kMax;
    QTest::newRow("largest double") << std::numeric_limits<double>::max() << kMax;
    QTest::newRow("+inf") << kInf << kMax;
    QTest::newRow("-2^31 exactly") << -2147483648.0 << kMin;
    QTest::newRow("-2^31 - 0.5") << -2147483648.5 << kMin;
    QTest::newRow("just above -2^31") << -2147483647.75 << kMin + 1;
    QTest::newRow("-1e30") << -1e30 << kMin;
    QTest::newRow("lowest double") << std::numeric_limits<double>::lowest() << kMin;
    QTest::newRow("-inf") << -kInf << kMin;
    QTest::newRow("NaN") << kNaN << 0;
    QTest::newRow("negative NaN") << -kNaN << 0;
}

void tst_rules::realToInteger()
{
    QFETCH(double, value);
    QFETCH(int, expected);
    QCOMPARE(::realToInteger(value), expected);
}

void tst_rules::InStr_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("find");
    QTest::addColumn<int>("expected");

    QTest::newRow("both empty") << QString() << QString() << 0;
    QTest::newRow("empty find") << s("abc") << QString() << 0;
    QTest::newRow("empty source") << QString() << s("a") << 0;
    QTest::newRow("absent") << s("hello") << s("xyz") << 0;
    QTest::newRow("find longer than source") << s("ab") << s("abc") << 0;
    QTest::newRow("at the start") << s("hello") << s("he") << 1;
    QTest::newRow("at the end") << s("hello") << s("lo") << 4;
    QTest::newRow("first of several") << s("a b c") << s(" ") << 2;
    QTest::newRow("ignores case") << s("Hello") << s("LL") << 3;
    QTest::newRow("ignores case, whole") << s("#MAGNIFICATION 4") << s("#magnification") << 1;
    QTest::newRow("directive blank") << s("#Magnification 4") << s(" ") << 15;
    QTest::newRow("umlaut, other case") << s("xÄy") << s("ä") << 2;
    QTest::newRow("umlaut before counts one") << s("Ää b") << s(" ") << 3;
    QTest::newRow("non-BMP before counts one") << kSmiley + s("a") << s("A") << 2;
    QTest::newRow("two non-BMP before") << s("a") + kSmiley + s("b") + kSmiley + s("c") << s("C") << 5;
    QTest::newRow("non-BMP found") << s("ab") + kSmiley << kSmiley << 3;
    QTest::newRow("non-BMP, other case") << s("x") + kDeseretSmall << kDeseretCapital << 2;
    QTest::newRow("non-BMP absent") << s("abc") << kSmiley << 0;
}

void tst_rules::InStr()
{
    QFETCH(QString, source);
    QFETCH(QString, find);
    QFETCH(int, expected);
    QCOMPARE(::InStr(source, find), expected);
}

void tst_rules::InStrFrom_data()
{
    QTest::addColumn<int>("start");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("find");
    QTest::addColumn<int>("expected");

    QTest::newRow("from 1 is the plain search") << 1 << s("a<b>a") << s("A") << 1;
    QTest::newRow("skips what lies before start") << 2 << s("a<b>a") << s("A") << 5;
    QTest::newRow("found at start itself") << 5 << s("a<b>a") << s("a") << 5;
    QTest::newRow("start 0 counts as 1") << 0 << s("abc") << s("a") << 1;
    QTest::newRow("negative start counts as 1") << -7 << s("abc") << s("a") << 1;
    QTest::newRow("start on the last character") << 3 << s("abc") << s("c") << 3;
    QTest::newRow("start past the end") << 4 << s("abc") << s("c") << 0;
    QTest::newRow("start far past the end") << 1000 << s("abc") << s("c") << 0;
    QTest::newRow("empty find") << 2 << s("abc") << QString() << 0;
    QTest::newRow("ignores case") << 2 << s("</x></X>") << s("</x>") << 5;
    QTest::newRow("non-BMP before start counts one") << 3 << kSmiley + s("a") + s("a") << s("a") << 3;
    QTest::newRow("non-BMP between") << 2 << s("a") + kSmiley + s("ba") << s("A") << 4;
}

void tst_rules::InStrFrom()
{
    QFETCH(int, start);
    QFETCH(QString, source);
    QFETCH(QString, find);
    QFETCH(int, expected);
    QCOMPARE(::InStr(start, source, find), expected);
}

void tst_rules::Len_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("expected");

    QTest::newRow("empty") << QString() << 0;
    QTest::newRow("tag") << s("<CurrentVersion>") << 16;
    QTest::newRow("umlaut is one") << s("Ä") << 1;
    QTest::newRow("non-BMP is one") << s("a") + kSmiley + s("b") << 3;
}

void tst_rules::Len()
{
    QFETCH(QString, source);
    QFETCH(int, expected);
    QCOMPARE(::Len(source), expected);
}

void tst_rules::Mid_data()
{
    // withLength false: the two-argument form, from start to the end.
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("start");
    QTest::addColumn<bool>("withLength");
    QTest::addColumn<int>("length");
    QTest::addColumn<QString>("expected");

    const QString smileys = s("a") + kSmiley + s("b") + kSmiley + s("c"); // a😀b😀c

    QTest::newRow("to end from 1") << s("hello") << 1 << false << 0 << s("hello");
    QTest::newRow("to end from 2") << s("hello") << 2 << false << 0 << s("ello");
    QTest::newRow("to end from last") << s("hello") << 5 << false << 0 << s("o");
    QTest::newRow("to end past the end") << s("hello") << 6 << false << 0 << QString();
    QTest::newRow("to end far past the end") << s("hello") << kMax << false << 0 << QString();
    QTest::newRow("to end from 0") << s("hello") << 0 << false << 0 << s("hello");
    QTest::newRow("to end from negative") << s("hello") << -5 << false << 0 << s("hello");
    QTest::newRow("to end from INT32_MIN") << s("hello") << kMin << false << 0 << s("hello");
    QTest::newRow("to end of empty") << QString() << 1 << false << 0 << QString();
    QTest::newRow("to end, umlauts") << s("ÄÖÜ") << 2 << false << 0 << s("ÖÜ");
    QTest::newRow("to end, after non-BMP") << smileys << 3 << false << 0 << s("b") + kSmiley + s("c");
    QTest::newRow("to end, from non-BMP") << smileys << 4 << false << 0 << kSmiley + s("c");
    QTest::newRow("to end, last after non-BMP") << smileys << 5 << false << 0 << s("c");
    QTest::newRow("to end, past non-BMP end") << smileys << 6 << false << 0 << QString();

    QTest::newRow("middle") << s("hello") << 2 << true << 3 << s("ell");
    QTest::newRow("first character") << s("hello") << 1 << true << 1 << s("h");
    QTest::newRow("length 0") << s("hello") << 2 << true << 0 << QString();
    QTest::newRow("negative length") << s("hello") << 2 << true << -1 << QString();
    QTest::newRow("INT32_MIN length") << s("hello") << 1 << true << kMin << QString();
    QTest::newRow("length past the end") << s("hello") << 4 << true << 10 << s("lo");
    QTest::newRow("INT32_MAX length") << s("hello") << 1 << true << kMax << s("hello");
    QTest::newRow("start 0 counts as 1") << s("hello") << 0 << true << 2 << s("he");
    QTest::newRow("negative start counts as 1") << s("hello") << -3 << true << 2 << s("he");
    QTest::newRow("start past the end") << s("hello") << 6 << true << 1 << QString();
    QTest::newRow("empty source") << QString() << 1 << true << 1 << QString();
    QTest::newRow("umlaut") << s("Äbc") << 1 << true << 1 << s("Ä");
    QTest::newRow("non-BMP alone") << smileys << 2 << true << 1 << kSmiley;
    QTest::newRow("across non-BMP") << smileys << 2 << true << 3 << kSmiley + s("b") + kSmiley;
    QTest::newRow("after two non-BMP") << smileys << 5 << true << 1 << s("c");
    QTest::newRow("only non-BMP") << kSmiley + kSmiley + kSmiley << 2 << true << 2 << kSmiley + kSmiley;
}

void tst_rules::Mid()
{
    QFETCH(QString, source);
    QFETCH(int, start);
    QFETCH(bool, withLength);
    QFETCH(int, length);
    QFETCH(QString, expected);
    const QString got = withLength ? ::Mid(source, start, length) : ::Mid(source, start);
    QCOMPARE(got, expected);
}

void tst_rules::NthField_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("separator");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("expected");

    QTest::newRow("first") << s("200,150") << s(",") << 1 << s("200");
    QTest::newRow("second") << s("200,150") << s(",") << 2 << s("150");
    QTest::newRow("missing third") << s("200,150") << s(",") << 3 << QString();
    QTest::newRow("far past the last") << s("200,150") << s(",") << kMax << QString();
    QTest::newRow("index 0") << s("200,150") << s(",") << 0 << QString();
    QTest::newRow("negative index") << s("200,150") << s(",") << -1 << QString();
    QTest::newRow("INT32_MIN index") << s("200,150") << s(",") << kMin << QString();
    QTest::newRow("no separator, first") << s("200") << s(",") << 1 << s("200");
    QTest::newRow("no separator, second") << s("200") << s(",") << 2 << QString();
    QTest::newRow("empty source, first") << QString() << s(",") << 1 << QString();
    QTest::newRow("empty source, second") << QString() << s(",") << 2 << QString();
    QTest::newRow("empty first field") << s(",300") << s(",") << 1 << QString();
    QTest::newRow("after empty first field") << s(",300") << s(",") << 2 << s("300");
    QTest::newRow("empty middle field") << s("a,,b") << s(",") << 2 << QString();
    QTest::newRow("after empty middle field") << s("a,,b") << s(",") << 3 << s("b");
    QTest::newRow("trailing separator") << s("a,") << s(",") << 2 << QString();
    QTest::newRow("blanks stay") << s(" 10 , 20 ") << s(",") << 2 << s(" 20 ");
    QTest::newRow("longer separator") << s("a, b, c") << s(", ") << 3 << s("c");
    QTest::newRow("non-BMP fields") << kSmiley + s(",") + kSmiley + kSmiley << s(",") << 2
                                   << kSmiley + kSmiley;
    QTest::newRow("non-BMP separator") << s("a") + kSmiley + s("b") + kSmiley + s("c") << kSmiley << 3
                                      << s("c");
    QTest::newRow("umlaut fields") << s("Ä,Ö") << s(",") << 2 << s("Ö");
}

void tst_rules::NthField()
{
    QFETCH(QString, source);
    QFETCH(QString, separator);
    QFETCH(int, index);
    QFETCH(QString, expected);
    QCOMPARE(::NthField(source, separator, index), expected);
}

void tst_rules::Val_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected");
    QTest::addColumn<int>("asInteger"); // realToInteger of the result

    QTest::newRow("empty") << QString() << 0.0 << 0;
    QTest::newRow("letters") << s("abc") << 0.0 << 0;
    QTest::newRow("integer") << s("300") << 300.0 << 300;
    QTest::newRow("leading zeros") << s("00012") << 12.0 << 12;
    QTest::newRow("blanks then trailing letters") << s("  12abc") << 12.0 << 12;
    QTest::newRow("tab and blank") << s("\t 7") << 7.0 << 7;
    QTest::newRow("newline is not a blank") << s("\n7") << 0.0 << 0;
    QTest::newRow("no-break space is not a blank") << s("\u00A07") << 0.0 << 0;
    QTest::newRow("blank after sign") << s("- 5") << 0.0 << 0;
    QTest::newRow("minus zero") << s("-0") << -0.0 << 0;
    QTest::newRow("plus") << s("+7") << 7.0 << 7;
    QTest::newRow("minus") << s("-42") << -42.0 << -42;
    QTest::newRow("two signs") << s("+-5") << 0.0 << 0;
    QTest::newRow("sign alone") << s("-") << 0.0 << 0;
    QTest::newRow("point alone") << s(".") << 0.0 << 0;
    QTest::newRow("sign and point") << s("-.") << 0.0 << 0;
    QTest::newRow("fraction") << s("4.9") << 4.9 << 4;
    QTest::newRow("negative fraction") << s("-3.7") << -3.7 << -3;
    QTest::newRow("leading point") << s(".5") << 0.5 << 0;
    QTest::newRow("trailing point") << s("5.") << 5.0 << 5;
    QTest::newRow("second point ends") << s("1.5.6") << 1.5 << 1;
    QTest::newRow("signed point exponent") << s("-.5e1") << -5.0 << -5;
    QTest::newRow("exponent") << s("1E3") << 1000.0 << 1000;
    QTest::newRow("negative exponent") << s("25e-1") << 2.5 << 2;
    QTest::newRow("point then exponent") << s("1.e2") << 100.0 << 100;
    QTest::newRow("exponent then letters") << s("1e5x") << 100000.0 << 100000;
    QTest::newRow("bare e") << s("1e") << 1.0 << 1;
    QTest::newRow("e and sign") << s("1e+") << 1.0 << 1;
    QTest::newRow("e and minus") << s("1e-") << 1.0 << 1;
    QTest::newRow("e then letter") << s("2ex") << 2.0 << 2;
    QTest::newRow("1e30") << s("1e30") << 1e30 << kMax;
    QTest::newRow("-1e30") << s("-1e30") << -1e30 << kMin;
    QTest::newRow("1e999 overflows to inf") << s("1e999") << kInf << kMax;
    QTest::newRow("-1e999 overflows to -inf") << s("-1e999") << -kInf << kMin;
    QTest::newRow("1e-99999 underflows") << s("1e-99999") << 0.0 << 0;
    QTest::newRow("2^31") << s("2147483648") << 2147483648.0 << kMax;
    QTest::newRow("-2^31") << s("-2147483648") << -2147483648.0 << kMin;
    QTest::newRow("nan") << s("nan") << 0.0 << 0;
    QTest::newRow("NAN") << s("NAN") << 0.0 << 0;
    QTest::newRow("inf") << s("inf") << 0.0 << 0;
    QTest::newRow("-infinity") << s("-infinity") << 0.0 << 0;
    QTest::newRow("hex") << s("0x10") << 0.0 << 0;
    QTest::newRow("300 pixels") << s("300 pixels") << 300.0 << 300;
    QTest::newRow("position field") << s(" 200,150") << 200.0 << 200;
    QTest::newRow("comma is no decimal point") << s("1,5") << 1.0 << 1;
    QTest::newRow("full-width digit") << s("\uFF15") << 0.0 << 0;
    QTest::newRow("digits then non-BMP") << s("12") + kSmiley << 12.0 << 12;
    QTest::newRow("non-BMP then digits") << kSmiley + s("12") << 0.0 << 0;
    QTest::newRow("NUL ends the number") << QString(reinterpret_cast<const QChar *>(u"4\0009"), 3) << 4.0 << 4;

    const QString many(4000, u'9');
    QTest::newRow("4000 nines") << many << kInf << kMax;
    QTest::newRow("4000 nines then exponent") << many + s("e-4000") << 1.0 << 1;
    QTest::newRow("tiny long fraction") << s("0.") + QString(5000, u'0') + s("1") << 0.0 << 0;
    QTest::newRow("long exponent digits") << s("9e") + QString(3000, u'9') << kInf << kMax;
}

void tst_rules::Val()
{
    QFETCH(QString, text);
    QFETCH(double, expected);
    QFETCH(int, asInteger);
    const double got = ::Val(text);
    QVERIFY2(sameDouble(got, expected), qPrintable(QString::number(got, 'g', 17)));
    QCOMPARE(::realToInteger(got), asInteger);
}

void tst_rules::ValIgnoresTheLocale()
{
    // A user with a comma-decimal locale must read the same file as everyone else: "1.5" is one
    // and a half, "1,5" is one followed by other text. The test run generates de_DE.UTF-8 for
    // this (LOCPATH); without it the test fails rather than pass untried.
    const QByteArray saved = std::setlocale(LC_ALL, nullptr);
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8") || std::localeconv()->decimal_point[0] != ',') {
        std::setlocale(LC_ALL, saved.constData());
        QFAIL("the comma-decimal locale de_DE.UTF-8 is not available (Debian package locales; "
              "the tests generate it with localedef)");
    }
    const double half = ::Val(s("1.5"));
    const double comma = ::Val(s("1,5"));
    const double exponent = ::Val(s("-.25e1"));
    const QString str = ::Str(1234567);
    std::setlocale(LC_ALL, saved.constData());

    QCOMPARE(half, 1.5);
    QCOMPARE(comma, 1.0);
    QCOMPARE(exponent, -2.5);
    QCOMPARE(str, s("1234567"));
}

void tst_rules::Str_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("expected");

    QTest::newRow("zero") << 0 << s("0");
    QTest::newRow("150") << 150 << s("150");
    QTest::newRow("-1") << -1 << s("-1");
    QTest::newRow("no grouping") << 1234567 << s("1234567");
    QTest::newRow("INT32_MAX") << kMax << s("2147483647");
    QTest::newRow("INT32_MIN") << kMin << s("-2147483648");
}

void tst_rules::Str()
{
    QFETCH(int, value);
    QFETCH(QString, expected);
    QCOMPARE(::Str(value), expected);
    // What Str writes, Val reads back unchanged: the preferences file relies on it.
    QCOMPARE(::realToInteger(::Val(::Str(value))), value);
}

void tst_rules::LCase_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");

    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("key") << s("WINDOW1POSITION") << s("window1position");
    QTest::newRow("mixed with digits and blanks") << s("DwWidth 300 X") << s("dwwidth 300 x");
    QTest::newRow("already lower") << s("magnification") << s("magnification");
    QTest::newRow("umlauts") << s("ÄÖ") << s("äö");
    QTest::newRow("non-BMP stays") << kSmiley + s("A") << kSmiley + s("a");
    QTest::newRow("non-BMP capital") << kDeseretCapital << kDeseretSmall;
}

void tst_rules::LCase()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(::LCase(text), expected);
}

void tst_rules::Chr_data()
{
    QTest::addColumn<uint>("code");
    QTest::addColumn<QString>("expected");

    QTest::newRow("comma") << 44u << s(",");
    QTest::newRow("blank") << 32u << s(" ");
    QTest::newRow("A") << 65u << s("A");
    QTest::newRow("NUL") << 0u << QString(QChar(0));
    QTest::newRow("a umlaut") << 0xE4u << s("ä");
    QTest::newRow("non-BMP") << 0x1F600u << kSmiley;
}

void tst_rules::Chr()
{
    QFETCH(uint, code);
    QFETCH(QString, expected);
    const QString got = ::Chr(code);
    QCOMPARE(got, expected);
    QCOMPARE(got.toUcs4().size(), 1); // one character, whatever its UTF-16 length
}

QTEST_GUILESS_MAIN(tst_rules)
#include "tst_rules.moc"
