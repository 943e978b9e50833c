// A seeded robustness run of the preferences reader: many thousands of generated and mutated
// files go through readPrefs, and each result is checked against a plain whole-file reading of
// the same bytes plus the invariants every result must keep.
//
// The run is repeatable: it prints its seed, and VIZZOLEN_FUZZ_SEED (decimal or 0x hex) replays
// another one; VIZZOLEN_FUZZ_ITERATIONS changes the number of files. A file that breaks an
// invariant is saved under the test artifacts folder.

#include "platform/rules.h"
#include "settings/prefsModule.h"

#include <QtTest>

#include <random>
#include <vector>

namespace {

constexpr std::uint64_t kDefaultSeed = 0x76697a7a6f6c656eull; // "vizzolen"
constexpr int kDefaultIterations = 20000;
constexpr int kChunk = 64 * 1024; // the reader's chunk size: edges are worth hitting

struct Entry
{
    QString name;
    QString text;
};

struct Expected
{
    std::vector<Entry> entries;
    std::int32_t top = 0, left = 0, mag = 0, width = 0;
};

// The header as it reads when the whole file is split at once: lines end at "\r\n", "\n" or a
// lone "\r"; the first line that is empty or starts with anything but "#" or "'" ends it. Blank
// and '#' are single UTF-16 units, so plain indexes find them.
Expected expectedFor(const QByteArray &bytes)
{
    Expected e;
    const qsizetype n = bytes.size();
    qsizetype i = bytes.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    while (i < n) {
        qsizetype j = i;
        while (j < n && bytes[j] != '\n' && bytes[j] != '\r')
            ++j;
        const QString line = QString::fromUtf8(bytes.constData() + i, j - i);
        i = j + 1;
        if (j + 1 < n && bytes[j] == '\r' && bytes[j + 1] == '\n')
            ++i;
        if (line.isEmpty() || (line[0] != u'#' && line[0] != u'\''))
            break;
        if (line[0] == u'#') {
            const qsizetype blank = line.indexOf(u' ');
            if (blank >= 0)
                e.entries.push_back({line.mid(1, blank - 1).toLower(), line.mid(blank + 1)});
        }
    }
    for (const Entry &entry : e.entries) {
        if (entry.name.compare(u"window1position", Qt::CaseInsensitive) == 0) {
            const qsizetype comma = entry.text.indexOf(u',');
            e.top = realToInteger(Val(entry.text.left(comma < 0 ? entry.text.size() : comma)));
            e.left = comma < 0 ? 0 : realToInteger(Val(entry.text.mid(comma + 1).section(u',', 0, 0)));
        } else if (entry.name.compare(u"magnification", Qt::CaseInsensitive) == 0) {
            e.mag = realToInteger(Val(entry.text));
        } else if (entry.name.compare(u"dwwidth", Qt::CaseInsensitive) == 0) {
            e.width = realToInteger(Val(entry.text));
        }
    }
    return e;
}

QString shorten(const QString &s)
{
    return s.size() <= 60 ? s : s.left(60) + QStringLiteral("... (%1 units)").arg(s.size());
}

// Empty when the module's state is what the bytes call for.
QString checkDirectives(const Expected &e)
{
    const auto &list = prefsModule::directives;
    if (list.empty() || list[0])
        return QStringLiteral("index 0 is not the empty element");
    if (list.size() != e.entries.size() + 1)
        return QStringLiteral("%1 directives, expected %2").arg(list.size() - 1).arg(e.entries.size());
    for (std::size_t i = 1; i < list.size(); ++i) {
        if (!list[i])
            return QStringLiteral("directive %1 is null").arg(i);
        const directiveClass &d = *list[i];
        if (d.name.contains(u' '))
            return QStringLiteral("name %1 holds a blank").arg(shorten(d.name));
        if (LCase(d.name) != d.name)
            return QStringLiteral("name %1 is not lower case").arg(shorten(d.name));
        for (const QString *s : {&d.name, &d.text}) {
            if (s->contains(u'\n') || s->contains(u'\r'))
                return QStringLiteral("directive %1 holds a line end").arg(i);
        }
        const Entry &want = e.entries[i - 1];
        if (d.name != want.name || d.text != want.text)
            return QStringLiteral("directive %1 is (%2, %3), expected (%4, %5)")
                .arg(i)
                .arg(shorten(d.name), shorten(d.text), shorten(want.name), shorten(want.text));
    }
    return QString();
}

QString checkSettings(const Expected &e)
{
    using namespace prefsModule;
    if (savedTop != e.top || savedLeft != e.left || magFactor != e.mag || displayWidth != e.width)
        return QStringLiteral("settings %1,%2,%3,%4, expected %5,%6,%7,%8")
            .arg(savedTop).arg(savedLeft).arg(magFactor).arg(displayWidth)
            .arg(e.top).arg(e.left).arg(e.mag).arg(e.width);
    return QString();
}

class Generator
{
public:
    explicit Generator(std::uint64_t seed) : rng_(seed) {}

    QByteArray next(int iteration)
    {
        // A few large files at fixed points, the rest drawn by weight.
        if (iteration % 2000 == 1999)
            return megabyteFile();
        if (iteration % 250 == 125)
            return hugeLineFile();
        if (iteration % 200 == 50)
            return chunkEdgeFile();
        switch (pick(10)) {
        case 0:
            return randomBytes(pick(2048));
        case 1:
            return numberFile();
        case 2:
        case 3:
            return validFile();
        default:
            return mutate(validFile());
        }
    }

private:
    std::uint64_t pick(std::uint64_t n) { return n ? rng_() % n : 0; }
    bool chance(int percent) { return int(pick(100)) < percent; }

    char interestingByte()
    {
        static const char bytes[] = {'#', '\'', ' ', ' ', '\t', '\n', '\r', ',', '.', '-', '+', 'e', 'E',
                                     '0', '1', '9', '\0', '\xFF', '\xC3', '\xA4', '\xF0', '\x9F', '\x80',
                                     '\xED', '\xC0', 'x', 'M', 'w'};
        return bytes[pick(sizeof bytes)];
    }

    QByteArray randomBytes(std::uint64_t len)
    {
        QByteArray out(qsizetype(len), '\0');
        const bool anyByte = chance(50);
        for (char &c : out)
            c = anyByte ? char(pick(256)) : interestingByte();
        return out;
    }

    QByteArray lineEnd()
    {
        switch (pick(8)) {
        case 0: return "\r\n";
        case 1: return "\r";
        case 2: return "\n\r";
        default: return "\n";
        }
    }

    QByteArray digits(std::uint64_t count)
    {
        QByteArray out(qsizetype(count), '0');
        for (char &c : out)
            c = char('0' + pick(10));
        return out;
    }

    QByteArray number()
    {
        QByteArray out;
        if (chance(20))
            out += chance(50) ? "-" : "+";
        switch (pick(12)) {
        case 0: out += digits(1 + pick(5000)); break;
        case 1: out += "1e-99999"; break;
        case 2: out += "9e99999"; break;
        case 3: out += digits(1 + pick(3)) + "e" + (chance(50) ? "-" : "") + digits(1 + pick(6)); break;
        case 4: out += "." + digits(1 + pick(4000)); break;
        case 5: out += digits(1 + pick(10)) + "." + digits(pick(10)) + "e"; break;
        case 6: out += (chance(50) ? "nan" : "inf"); break;
        case 7: out += "0x" + digits(1 + pick(4)); break;
        case 8: out += "2147483647" + digits(pick(3)); break;
        case 9: out += "-2147483648." + digits(pick(3)); break;
        default: out += QByteArray::number(qint64(pick(2000)) - 500); break;
        }
        if (chance(15))
            out += chance(50) ? QByteArray(" pixels") : QByteArray("\xC3\xA4\xF0\x9F\x98\x80");
        return out;
    }

    QByteArray key()
    {
        static const char *keys[] = {"Window1Position", "Magnification", "DWWidth", "Colour", "", "x y",
                                     "MAGNIFICATION", "dwwidth", "\xC3\x84rger", "\xF0\x9F\x98\x80"};
        QByteArray k = keys[pick(sizeof keys / sizeof keys[0])];
        if (chance(20)) {
            for (char &c : k) {
                if (c >= 'a' && c <= 'z' && chance(50))
                    c = char(c - 32);
            }
        }
        return k;
    }

    QByteArray directiveLine()
    {
        QByteArray k = key();
        QByteArray value = k.toLower() == "window1position" ? number() + "," + number() : number();
        return "#" + k + (chance(10) ? "  " : " ") + value;
    }

    QByteArray validFile()
    {
        QByteArray out;
        const std::uint64_t lines = pick(12);
        for (std::uint64_t i = 0; i < lines; ++i) {
            switch (pick(6)) {
            case 0: out += "' comment " + randomBytes(pick(40)).replace('\n', ' ').replace('\r', ' '); break;
            case 1: out += "#NoBlank" + digits(1 + pick(3)); break;
            default: out += directiveLine(); break;
            }
            out += lineEnd();
        }
        if (chance(20))
            out += (chance(50) ? QByteArray("\n") : QByteArray(" ")) + validFile();
        if (chance(30))
            out.chop(1);
        return out;
    }

    QByteArray numberFile()
    {
        QByteArray out;
        const std::uint64_t lines = 1 + pick(6);
        for (std::uint64_t i = 0; i < lines; ++i)
            out += directiveLine() + lineEnd();
        return out;
    }

    QByteArray mutate(QByteArray in)
    {
        const std::uint64_t rounds = 1 + pick(8);
        for (std::uint64_t r = 0; r < rounds; ++r) {
            const qsizetype size = in.size();
            const qsizetype at = qsizetype(pick(std::uint64_t(size) + 1));
            switch (pick(6)) {
            case 0:
                if (size > 0)
                    in[at % size] = char(in[at % size] ^ (1 << pick(8)));
                break;
            case 1:
                in.insert(at, randomBytes(1 + pick(16)));
                break;
            case 2:
                in.remove(at, qsizetype(1 + pick(32)));
                break;
            case 3: {
                const QByteArray other = validFile();
                const qsizetype from = qsizetype(pick(std::uint64_t(other.size()) + 1));
                in = in.left(at) + other.mid(from);
                break;
            }
            case 4:
                in.insert(at, in.mid(at, qsizetype(pick(64))));
                break;
            default:
                in.insert(at, lineEnd());
                break;
            }
        }
        return in;
    }

    QByteArray hugeLineFile()
    {
        const qsizetype len = qsizetype(100 * 1024 + pick(700 * 1024));
        QByteArray out = chance(50) ? QByteArray("' ") : QByteArray("#Magnification ") + digits(1 + pick(8));
        QByteArray body = chance(50) ? QByteArray(len, 'a') : randomBytes(std::uint64_t(len)).replace('\n', 'n').replace('\r', 'r');
        if (chance(50)) // a multi-byte character now and then
            for (qsizetype i = 0; i + 4 < body.size(); i += qsizetype(1 + pick(5000)))
                body.replace(i, 4, "\xF0\x9F\x98\x80");
        out += body + lineEnd() + numberFile();
        return out;
    }

    QByteArray chunkEdgeFile()
    {
        // Padding that puts the next few bytes right at the end of a chunk.
        const qsizetype edge = kChunk * qsizetype(1 + pick(3)) - qsizetype(pick(4));
        QByteArray out = "'" + QByteArray(edge - 1, 'p');
        static const char *tails[] = {"\r\n#DWWidth 400\n", "\r#DWWidth 400", "\n\r\n#DWWidth 1\n",
                                      "\xF0\x9F\x98\x80\n#Magnification 3\r\n", "\r\r#Magnification 2"};
        return out + tails[pick(sizeof tails / sizeof tails[0])];
    }

    QByteArray megabyteFile()
    {
        // Every line a header line, so that the reader must go through all of it.
        const qsizetype target = qsizetype((1 + pick(3)) * 1024 * 1024);
        QByteArray out;
        out.reserve(target + 256);
        while (out.size() < target) {
            switch (pick(3)) {
            case 0: out += "' " + QByteArray(qsizetype(pick(200)), 'c'); break;
            case 1: out += "#k" + QByteArray::number(out.size()) + " v"; break;
            default: out += directiveLine(); break;
            }
            out += chance(50) ? QByteArray("\n") : QByteArray("\r\n");
        }
        return out;
    }

    std::mt19937_64 rng_;
};

std::uint64_t seedFromEnvironment()
{
    const QByteArray text = qgetenv("VIZZOLEN_FUZZ_SEED").trimmed();
    if (text.isEmpty())
        return kDefaultSeed;
    bool ok = false;
    const std::uint64_t seed = text.toULongLong(&ok, 0);
    if (!ok)
        qFatal("VIZZOLEN_FUZZ_SEED is not a number: %s", text.constData());
    return seed;
}

} // namespace

class tst_prefs_robustness : public QObject
{
    Q_OBJECT

private slots:
    void generatedFiles();
};

void tst_prefs_robustness::generatedFiles()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray savedXdg = qgetenv("XDG_CONFIG_HOME");
    const bool hadXdg = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path()));
    const auto restore = qScopeGuard([&] {
        prefsModule::resetState();
        if (hadXdg)
            qputenv("XDG_CONFIG_HOME", savedXdg);
        else
            qunsetenv("XDG_CONFIG_HOME");
    });
    const QString path = prefsModule::prefsFilePath();
    QCOMPARE(path, dir.path() + QStringLiteral("/vzln.txt"));

    const std::uint64_t seed = seedFromEnvironment();
    int iterations = kDefaultIterations;
    if (qEnvironmentVariableIsSet("VIZZOLEN_FUZZ_ITERATIONS"))
        iterations = qEnvironmentVariableIntValue("VIZZOLEN_FUZZ_ITERATIONS");
    qInfo("seed 0x%016llx (VIZZOLEN_FUZZ_SEED replays it), %d files",
          static_cast<unsigned long long>(seed), iterations);

    Generator generator(seed);
    QElapsedTimer timer;
    timer.start();
    qint64 bytesRead = 0;
    std::size_t directivesSeen = 0;

    for (int i = 0; i < iterations; ++i) {
        const QByteArray bytes = generator.next(i);
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            QCOMPARE(file.write(bytes), bytes.size());
        }
        const Expected expected = expectedFor(bytes);

        QString problem;
        prefsModule::resetState();
        if (!prefsModule::parseDirectives(path))
            problem = QStringLiteral("parseDirectives returned false for a regular file");
        if (problem.isEmpty())
            problem = checkDirectives(expected);
        if (problem.isEmpty()) {
            prefsModule::resetState();
            prefsModule::readPrefs();
            problem = checkDirectives(expected);
            if (problem.isEmpty())
                problem = checkSettings(expected);
        }
        if (!problem.isEmpty()) {
            const QString saved = QStringLiteral(VIZZOLEN_ARTIFACTS_DIR "/prefs-robustness-%1-%2.txt")
                                      .arg(seed, 16, 16, QLatin1Char('0'))
                                      .arg(i);
            QFile out(saved);
            if (out.open(QIODevice::WriteOnly))
                out.write(bytes);
            QFAIL(qPrintable(QStringLiteral("file %1 of seed 0x%2 (%3 bytes, saved as %4): %5")
                                 .arg(i)
                                 .arg(seed, 16, 16, QLatin1Char('0'))
                                 .arg(bytes.size())
                                 .arg(saved, problem)));
        }
        bytesRead += bytes.size();
        directivesSeen += expected.entries.size();
    }
    qInfo("%d files, %lld MB, %zu directives in %lld ms", iterations,
          static_cast<long long>(bytesRead >> 20), directivesSeen, static_cast<long long>(timer.elapsed()));
}

QTEST_GUILESS_MAIN(tst_prefs_robustness)
#include "tst_prefs_robustness.moc"
