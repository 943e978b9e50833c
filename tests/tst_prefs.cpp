// The preferences file "vzln.txt": what readPrefs takes from it, what it does when the file
// cannot be read, what writePrefs writes, and that a write which fails leaves the old file alone.

#include "platform/rules.h"
#include "settings/prefsModule.h"

#include <QtTest>

#include <csignal>
#include <functional>
#include <grp.h>
#include <limits>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr uid_t kNobody = 65534;

// The size of the reader's chunks, so that rows can put a line end or a character on the edge
// between two of them.
constexpr int kChunk = 64 * 1024;

const QByteArray kOldFile = "' kept from an earlier run\n#Window1Position 11,22\n#Magnification 5\n"
                            "#DWWidth 400\n#Colour blue\n";

QString u8(const char *utf8)
{
    return QString::fromUtf8(utf8);
}

QString withNul(const char *before, const char *after)
{
    return u8(before) + QChar(0) + u8(after);
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

QStringList entriesOf(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

// Collects every message that Qt or the code under test prints while it is alive; the
// preferences file must never say anything.
class MessageRecorder
{
public:
    MessageRecorder() { previous_ = qInstallMessageHandler(&MessageRecorder::handler); }
    ~MessageRecorder() { qInstallMessageHandler(previous_); }
    static QStringList messages;

private:
    static void handler(QtMsgType, const QMessageLogContext &, const QString &message)
    {
        messages.append(message);
    }
    QtMessageHandler previous_ = nullptr;
};
QStringList MessageRecorder::messages;

void exitOnMessage(QtMsgType, const QMessageLogContext &, const QString &)
{
    _exit(91);
}

// Runs `body` in a child process, so that a write that blocks (on a pipe no one reads) ends in
// a failure rather than a stuck test run. The result is the child's exit code: 0 when `body`
// passed, 91 when anything was printed, 128 + n for a death by signal n (14: it hung).
int runInChild(const std::function<int()> &body)
{
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0)
        return 99;
    if (pid == 0) {
        alarm(20);
        qInstallMessageHandler(exitOnMessage);
        _exit(body());
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return 98;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The same as a child that has given up root for the user and group "nobody", so that file
// permissions apply as they do for an ordinary user.
int runAsNobody(const std::function<int()> &body)
{
    return runInChild([&body] {
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)
            return 90;
        return body();
    });
}

// What a place in the file system is, as far as a write could change it.
QString nodeState(const QString &path)
{
    struct stat st;
    if (lstat(QFile::encodeName(path).constData(), &st) != 0)
        return QStringLiteral("missing");
    QString state = QStringLiteral("mode %1 inode %2 device %3:%4 size %5")
                        .arg(st.st_mode, 0, 8)
                        .arg(st.st_ino)
                        .arg(major(st.st_rdev))
                        .arg(minor(st.st_rdev))
                        .arg(st.st_size);
    if (S_ISLNK(st.st_mode))
        state += QStringLiteral(" -> ") + QFileInfo(path).symLinkTarget();
    if (S_ISDIR(st.st_mode))
        state += QStringLiteral(" holding ") + entriesOf(path).join(u',');
    return state;
}

// Makes a node that is no regular file: a character device (the numbers of /dev/null, so that a
// write into it would do no harm), a pipe, a socket or a folder with a file in it.
bool makeNode(const QString &kind, const QString &path)
{
    const QByteArray p = QFile::encodeName(path);
    if (kind == u"device")
        return mknod(p.constData(), S_IFCHR | 0666, makedev(1, 3)) == 0;
    if (kind == u"pipe")
        return mkfifo(p.constData(), 0644) == 0;
    if (kind == u"folder")
        return QDir().mkdir(path) && writeBytes(path + QStringLiteral("/inner"), kOldFile);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (size_t(p.size()) >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, p.constData(), size_t(p.size()));
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    const bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    if (fd >= 0)
        close(fd);
    return bound;
}

bool haveDefaults()
{
    return prefsModule::savedTop == 150 && prefsModule::savedLeft == 150 && prefsModule::magFactor == 3
        && prefsModule::displayWidth == 300 && prefsModule::directives.size() == 1
        && !prefsModule::directives[0];
}

// Puts RLIMIT_FSIZE and SIGXFSZ back whatever happens in between.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved_);
        oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved_;
        small.rlim_cur = bytes;
        ok_ = setrlimit(RLIMIT_FSIZE, &small) == 0;
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, oldHandler_);
    }
    bool ok() const { return ok_; }

private:
    rlimit saved_{};
    void (*oldHandler_)(int) = nullptr;
    bool ok_ = false;
};

} // namespace

class tst_prefs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void readPrefs_data();
    void readPrefs();
    void emptyFileItemIsNotOpened();
    void directoryGivesDefaults();
    void danglingSymlinkGivesDefaults();
    void symlinkToFileIsRead();
    void fifoGivesDefaults();
    void unreadableFileGivesDefaults();

    void roundTrip_data();
    void roundTrip();
    void writeCreatesTheFolder();
    void writeReplacesTheOldFile();
    void writeOutOfSpace_data();
    void writeOutOfSpace();
    void writeToReadOnlyFolder();
    void writeOverADirectory();
    void writeThroughALink_data();
    void writeThroughALink();
    void writeLeavesWhatIsNoFile_data();
    void writeLeavesWhatIsNoFile();
    void lastWriteOnce();

private:
    QString folder() const { return dir_->path(); }
    QString file() const { return dir_->path() + QStringLiteral("/vzln.txt"); }

    QByteArray savedXdg_;
    bool hadXdg_ = false;
    std::unique_ptr<QTemporaryDir> dir_;
};

void tst_prefs::initTestCase()
{
    hadXdg_ = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
    savedXdg_ = qgetenv("XDG_CONFIG_HOME");
}

void tst_prefs::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir_->path()));
    prefsModule::resetState();
    QCOMPARE(prefsModule::prefsFilePath(), file());
}

void tst_prefs::cleanup()
{
    prefsModule::resetState();
    if (dir_)
        chmod(QFile::encodeName(folder()).constData(), 0700); // so that it can be removed
    dir_.reset();
}

void tst_prefs::cleanupTestCase()
{
    if (hadXdg_)
        qputenv("XDG_CONFIG_HOME", savedXdg_);
    else
        qunsetenv("XDG_CONFIG_HOME");
}

void tst_prefs::readPrefs_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("top");
    QTest::addColumn<int>("left");
    QTest::addColumn<int>("mag");
    QTest::addColumn<int>("width");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("texts");

    const QByteArray written = "#Window1Position 120,340\n#Magnification 4\n#DWWidth 500\n";
    const QStringList writtenNames{u8("window1position"), u8("magnification"), u8("dwwidth")};
    const QStringList writtenTexts{u8("120,340"), u8("4"), u8("500")};
    const QString smiley = QString::fromUcs4(U"\U0001F600", 1);

    QTest::newRow("no file") << false << QByteArray() << 150 << 150 << 3 << 300 << QStringList() << QStringList();
    QTest::newRow("empty file") << true << QByteArray() << 0 << 0 << 0 << 0 << QStringList() << QStringList();
    QTest::newRow("as written") << true << written << 120 << 340 << 4 << 500 << writtenNames << writtenTexts;
    QTest::newRow("no final line end") << true << written.chopped(1) << 120 << 340 << 4 << 500 << writtenNames
                                       << writtenTexts;
    QTest::newRow("CRLF") << true << QByteArray(written).replace("\n", "\r\n") << 120 << 340 << 4 << 500
                          << writtenNames << writtenTexts;
    QTest::newRow("byte-order mark") << true << (QByteArray("\xEF\xBB\xBF") + written) << 120 << 340 << 4 << 500
                                     << writtenNames << writtenTexts;
    QTest::newRow("byte-order mark only") << true << QByteArray("\xEF\xBB\xBF") << 0 << 0 << 0 << 0
                                          << QStringList() << QStringList();
    QTest::newRow("lone CR") << true << QByteArray(written).replace("\n", "\r") << 120 << 340 << 4 << 500
                             << writtenNames << writtenTexts;
    QTest::newRow("CR, LF and CRLF mixed")
        << true << QByteArray("#Window1Position 120,340\r#Magnification 4\r\n#DWWidth 500\n") << 120 << 340 << 4
        << 500 << writtenNames << writtenTexts;
    QTest::newRow("empty CRLF line ends the header")
        << true << QByteArray("#Magnification 5\r\n\r\n#DWWidth 400\r\n") << 0 << 0 << 5 << 0
        << QStringList{u8("magnification")} << QStringList{u8("5")};
    QTest::newRow("LF then CR is two line ends")
        << true << QByteArray("#Magnification 5\n\r#DWWidth 400\n") << 0 << 0 << 5 << 0
        << QStringList{u8("magnification")} << QStringList{u8("5")};

    QTest::newRow("comments before and between")
        << true << QByteArray("' settings\n'\n#Magnification 5\n' width next\n#DWWidth 400\n'x\n")
        << 0 << 0 << 5 << 400 << QStringList{u8("magnification"), u8("dwwidth")}
        << QStringList{u8("5"), u8("400")};
    QTest::newRow("only comments") << true << QByteArray("'a\n'b\n") << 0 << 0 << 0 << 0 << QStringList()
                                   << QStringList();
    QTest::newRow("empty line ends the header")
        << true << QByteArray("#Magnification 5\n\n#DWWidth 400\n") << 0 << 0 << 5 << 0
        << QStringList{u8("magnification")} << QStringList{u8("5")};
    QTest::newRow("indented line ends the header")
        << true << QByteArray("#Magnification 5\n #DWWidth 400\n#Window1Position 1,2\n") << 0 << 0 << 5 << 0
        << QStringList{u8("magnification")} << QStringList{u8("5")};
    QTest::newRow("other first line: nothing read")
        << true << QByteArray("Magnification 4\n#DWWidth 300\n") << 0 << 0 << 0 << 0 << QStringList()
        << QStringList();
    QTest::newRow("empty first line: nothing read")
        << true << QByteArray("\n#Magnification 4\n") << 0 << 0 << 0 << 0 << QStringList() << QStringList();

    QTest::newRow("# without a blank is skipped")
        << true << QByteArray("#Magnification4\n#DWWidth 400\n") << 0 << 0 << 0 << 400
        << QStringList{u8("dwwidth")} << QStringList{u8("400")};
    QTest::newRow("# alone is skipped") << true << QByteArray("#\n#Magnification 2\n") << 0 << 0 << 2 << 0
                                        << QStringList{u8("magnification")} << QStringList{u8("2")};
    QTest::newRow("tab is not a blank")
        << true << QByteArray("#Magnification\t4\n#DWWidth 400\n") << 0 << 0 << 0 << 400
        << QStringList{u8("dwwidth")} << QStringList{u8("400")};
    QTest::newRow("empty name") << true << QByteArray("# 5\n#Magnification 2\n") << 0 << 0 << 2 << 0
                                << QStringList{QString(), u8("magnification")} << QStringList{u8("5"), u8("2")};
    QTest::newRow("empty name and text") << true << QByteArray("# \n") << 0 << 0 << 0 << 0
                                         << QStringList{QString()} << QStringList{QString()};
    QTest::newRow("keys in capitals") << true << QByteArray("#MAGNIFICATION 4\n#DWWIDTH 200\n") << 0 << 0 << 4
                                      << 200 << QStringList{u8("magnification"), u8("dwwidth")}
                                      << QStringList{u8("4"), u8("200")};
    QTest::newRow("keys in lower case") << true << QByteArray("#magnification 4\n#window1position 7,8\n") << 7 << 8
                                        << 4 << 0 << QStringList{u8("magnification"), u8("window1position")}
                                        << QStringList{u8("4"), u8("7,8")};
    QTest::newRow("key given twice, later wins")
        << true << QByteArray("#Magnification 2\n#DWWidth 600\n#Magnification 6\n") << 0 << 0 << 6 << 600
        << QStringList{u8("magnification"), u8("dwwidth"), u8("magnification")}
        << QStringList{u8("2"), u8("600"), u8("6")};
    QTest::newRow("position without a comma") << true << QByteArray("#Window1Position 200\n") << 200 << 0 << 0
                                              << 0 << QStringList{u8("window1position")} << QStringList{u8("200")};
    QTest::newRow("position without a top") << true << QByteArray("#Window1Position ,300\n") << 0 << 300 << 0 << 0
                                            << QStringList{u8("window1position")} << QStringList{u8(",300")};
    QTest::newRow("trailing text") << true << QByteArray("#DWWidth 300 pixels\n") << 0 << 0 << 0 << 300
                                   << QStringList{u8("dwwidth")} << QStringList{u8("300 pixels")};
    QTest::newRow("two blanks keep one") << true << QByteArray("#Magnification  4\n#Window1Position  10, 20\n")
                                         << 10 << 20 << 4 << 0
                                         << QStringList{u8("magnification"), u8("window1position")}
                                         << QStringList{u8(" 4"), u8(" 10, 20")};
    QTest::newRow("blank value") << true << QByteArray("#Magnification \n") << 0 << 0 << 0 << 0
                                 << QStringList{u8("magnification")} << QStringList{QString()};
    QTest::newRow("fractions truncate")
        << true << QByteArray("#Magnification 4.9\n#DWWidth -3.7\n#Window1Position 187.5,-2.5\n") << 187 << -2
        << 4 << -3 << QStringList{u8("magnification"), u8("dwwidth"), u8("window1position")}
        << QStringList{u8("4.9"), u8("-3.7"), u8("187.5,-2.5")};
    QTest::newRow("values off the sliders")
        << true << QByteArray("#Magnification 9\n#DWWidth 250\n#Window1Position -40,-7000\n") << -40 << -7000
        << 9 << 250 << QStringList{u8("magnification"), u8("dwwidth"), u8("window1position")}
        << QStringList{u8("9"), u8("250"), u8("-40,-7000")};
    QTest::newRow("width 700, magnification 0")
        << true << QByteArray("#DWWidth 700\n#Magnification 0\n") << 0 << 0 << 0 << 700
        << QStringList{u8("dwwidth"), u8("magnification")} << QStringList{u8("700"), u8("0")};
    QTest::newRow("huge values saturate")
        << true << QByteArray("#Magnification 1e30\n#DWWidth -1e30\n#Window1Position 1e999,-9e99999\n") << kMax
        << kMin << kMax << kMin << QStringList{u8("magnification"), u8("dwwidth"), u8("window1position")}
        << QStringList{u8("1e30"), u8("-1e30"), u8("1e999,-9e99999")};
    QTest::newRow("32-bit limits") << true << QByteArray("#Window1Position -2147483648,2147483647\n") << kMin
                                   << kMax << 0 << 0 << QStringList{u8("window1position")}
                                   << QStringList{u8("-2147483648,2147483647")};
    QTest::newRow("nan and inf are no numbers")
        << true << QByteArray("#Magnification nan\n#DWWidth inf\n") << 0 << 0 << 0 << 0
        << QStringList{u8("magnification"), u8("dwwidth")} << QStringList{u8("nan"), u8("inf")};
    QTest::newRow("unknown key is stored, no effect")
        << true << QByteArray("#Colour red\n#Magnification 3\n#Window1Positions 5,5\n") << 0 << 0 << 3 << 0
        << QStringList{u8("colour"), u8("magnification"), u8("window1positions")}
        << QStringList{u8("red"), u8("3"), u8("5,5")};

    QTest::newRow("non-ASCII key") << true << QByteArray("#MAGNIFICATIÖN 4\n#DWWidth 200\n") << 0 << 0 << 0
                                   << 200 << QStringList{u8("magnificatiön"), u8("dwwidth")}
                                   << QStringList{u8("4"), u8("200")};
    // Name and value are cut at the first blank by characters: U+1F600 is one character but four
    // bytes, so any other unit shifts the cut.
    QTest::newRow("non-BMP key and value")
        << true << QByteArray("#\xF0\x9F\x98\x80Key \xF0\x9F\x98\x80 5\n#Magnification 2\n") << 0 << 0 << 2 << 0
        << QStringList{smiley + u8("key"), u8("magnification")} << QStringList{smiley + u8(" 5"), u8("2")};
    QTest::newRow("non-BMP before the blank") << true << QByteArray("#\xF0\x9F\x98\x80\xF0\x9F\x98\x80 x\n") << 0
                                              << 0 << 0 << 0 << QStringList{smiley + smiley} << QStringList{u8("x")};
    QTest::newRow("invalid UTF-8")
        << true << QByteArray("#Magnification \xFF 4\n#DWWidth 2\xC3\n#Na\xFFme 5\n#Window1Position 1,2\n") << 1
        << 2 << 0 << 2
        << QStringList{u8("magnification"), u8("dwwidth"), u8("na\uFFFDme"), u8("window1position")}
        << QStringList{u8("\uFFFD 4"), u8("2\uFFFD"), u8("5"), u8("1,2")};
    QTest::newRow("overlong '#' is no directive")
        << true << QByteArray("\xC0\xA3Magnification 4\n") << 0 << 0 << 0 << 0 << QStringList() << QStringList();
    QTest::newRow("overlong blank is no blank")
        << true << QByteArray("#Magnification\xC0\xA0" "4\n#DWWidth 300\n") << 0 << 0 << 0 << 300
        << QStringList{u8("dwwidth")} << QStringList{u8("300")};
    QTest::newRow("NUL in a value")
        << true << QByteArray("#Magnification 4\0 9\n#DWWidth 300\n", 33) << 0 << 0 << 4 << 300
        << QStringList{u8("magnification"), u8("dwwidth")} << QStringList{withNul("4", " 9"), u8("300")};
    QTest::newRow("NUL in a key") << true << QByteArray("#Mag\0nification 5\n#DWWidth 3\n", 29) << 0 << 0 << 0
                                  << 3 << QStringList{withNul("mag", "nification"), u8("dwwidth")}
                                  << QStringList{u8("5"), u8("3")};
    QTest::newRow("NUL first") << true << QByteArray("\0#Magnification 4\n", 18) << 0 << 0 << 0 << 0
                               << QStringList() << QStringList();

    // The reader takes the file in chunks; line ends and characters on the edge between two
    // chunks must read as anywhere else.
    {
        QByteArray bytes = "'" + QByteArray(kChunk - 2, 'x') + "\r\n#Magnification 5\n";
        Q_ASSERT(bytes.indexOf('\r') == kChunk - 1);
        QTest::newRow("CRLF across chunks") << true << bytes << 0 << 0 << 5 << 0
                                            << QStringList{u8("magnification")} << QStringList{u8("5")};
    }
    {
        QByteArray bytes = "'" + QByteArray(kChunk - 2, 'x') + "\r#Magnification 5\n";
        QTest::newRow("lone CR at a chunk's end") << true << bytes << 0 << 0 << 5 << 0
                                                  << QStringList{u8("magnification")} << QStringList{u8("5")};
    }
    {
        QByteArray bytes = "'" + QByteArray(kChunk - 1, 'x') + "\n\n#Magnification 5\n";
        QTest::newRow("empty line after a chunk") << true << bytes << 0 << 0 << 0 << 0 << QStringList()
                                                  << QStringList();
    }
    {
        const QByteArray padding(kChunk - 5, 'x'); // "#K " + padding puts U+1F600 across the edge
        QByteArray bytes = "#K " + padding + "\xF0\x9F\x98\x80\n#Magnification 5\r";
        Q_ASSERT(bytes.indexOf('\xF0') == kChunk - 2);
        QTest::newRow("character across chunks")
            << true << bytes << 0 << 0 << 5 << 0 << QStringList{u8("k"), u8("magnification")}
            << QStringList{QString::fromLatin1(padding) + smiley, u8("5")};
    }
    {
        QByteArray bytes = "' " + QByteArray(300 * 1024, 'c') + "\n#DWWidth 600\n#Magnification 6\n";
        QTest::newRow("long comment line") << true << bytes << 0 << 0 << 6 << 600
                                           << QStringList{u8("dwwidth"), u8("magnification")}
                                           << QStringList{u8("600"), u8("6")};
    }
}

void tst_prefs::readPrefs()
{
    QFETCH(bool, exists);
    QFETCH(QByteArray, content);
    QFETCH(int, top);
    QFETCH(int, left);
    QFETCH(int, mag);
    QFETCH(int, width);
    QFETCH(QStringList, names);
    QFETCH(QStringList, texts);
    QCOMPARE(names.size(), texts.size());

    if (exists)
        QVERIFY(writeBytes(file(), content));

    MessageRecorder recorder;
    MessageRecorder::messages.clear();
    QCOMPARE(prefsModule::parseDirectives(file()), exists);
    const std::size_t parsed = prefsModule::directives.size();
    prefsModule::resetState();
    prefsModule::readPrefs();
    QCOMPARE(prefsModule::directives.size(), parsed);

    QCOMPARE(prefsModule::savedTop, top);
    QCOMPARE(prefsModule::savedLeft, left);
    QCOMPARE(prefsModule::magFactor, mag);
    QCOMPARE(prefsModule::displayWidth, width);

    const auto &list = prefsModule::directives;
    QVERIFY(!list.empty());
    QVERIFY(!list[0]);
    QCOMPARE(list.size(), std::size_t(names.size()) + 1);
    for (qsizetype i = 0; i < names.size(); ++i) {
        QVERIFY(list[i + 1]);
        QCOMPARE(list[i + 1]->name, names[i]);
        QCOMPARE(list[i + 1]->text, texts[i]);
    }
    QCOMPARE(MessageRecorder::messages, QStringList());
}

void tst_prefs::emptyFileItemIsNotOpened()
{
    QVERIFY(writeBytes(file(), "#Magnification 4\n"));
    QVERIFY(!prefsModule::parseDirectives(QString()));
    QCOMPARE(prefsModule::directives.size(), std::size_t(1));
}

void tst_prefs::directoryGivesDefaults()
{
    QVERIFY(QDir(folder()).mkdir(QStringLiteral("vzln.txt")));
    QVERIFY(writeBytes(file() + QStringLiteral("/inner"), "#Magnification 4\n"));
    QVERIFY(!prefsModule::parseDirectives(file()));
    prefsModule::resetState();
    prefsModule::readPrefs();
    QVERIFY(haveDefaults());
}

void tst_prefs::danglingSymlinkGivesDefaults()
{
    QVERIFY(QFile::link(folder() + QStringLiteral("/nowhere/vzln.txt"), file()));
    prefsModule::readPrefs();
    QVERIFY(haveDefaults());
}

void tst_prefs::symlinkToFileIsRead()
{
    const QString target = folder() + QStringLiteral("/elsewhere.txt");
    QVERIFY(writeBytes(target, "#Magnification 6\n"));
    QVERIFY(QFile::link(target, file()));
    prefsModule::readPrefs();
    QCOMPARE(prefsModule::magFactor, 6);
    QCOMPARE(prefsModule::displayWidth, 0);
}

void tst_prefs::fifoGivesDefaults()
{
    // Opening a pipe that no one writes to would block the start-up for ever; the child makes
    // such a hang a failure instead of a stuck test run.
    QCOMPARE(mkfifo(QFile::encodeName(file()).constData(), 0644), 0);
    std::fflush(stdout);
    const pid_t pid = fork();
    QVERIFY(pid >= 0);
    if (pid == 0) {
        alarm(20);
        qInstallMessageHandler(exitOnMessage);
        prefsModule::readPrefs();
        _exit(haveDefaults() ? 0 : 1);
    }
    int status = 0;
    QCOMPARE(waitpid(pid, &status, 0), pid);
    QVERIFY2(WIFEXITED(status), "readPrefs hung on a pipe or crashed");
    QCOMPARE(WEXITSTATUS(status), 0);
}

void tst_prefs::unreadableFileGivesDefaults()
{
    QVERIFY(writeBytes(file(), "#Magnification 4\n#DWWidth 200\n"));
    QVERIFY(QFile::setPermissions(file(), QFileDevice::Permissions()));
    if (geteuid() == 0) {
        // Root reads a file of mode 000 all the same; an ordinary user cannot.
        QCOMPARE(chmod(QFile::encodeName(folder()).constData(), 0755), 0);
        const int result = runAsNobody([] {
            prefsModule::resetState();
            if (prefsModule::parseDirectives(prefsModule::prefsFilePath()))
                return 1;
            prefsModule::readPrefs();
            return haveDefaults() ? 0 : 2;
        });
        QCOMPARE(result, 0);
    } else {
        QFile probe(file());
        if (probe.open(QIODevice::ReadOnly))
            QSKIP("this user can read a file of mode 000");
        prefsModule::readPrefs();
        QVERIFY(haveDefaults());
    }
}

void tst_prefs::roundTrip_data()
{
    QTest::addColumn<int>("top");
    QTest::addColumn<int>("left");
    QTest::addColumn<int>("mag");
    QTest::addColumn<int>("width");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("defaults") << 150 << 150 << 3 << 300
                              << QByteArray("#Window1Position 150,150\n#Magnification 3\n#DWWidth 300\n");
    QTest::newRow("zeros") << 0 << 0 << 0 << 0
                           << QByteArray("#Window1Position 0,0\n#Magnification 0\n#DWWidth 0\n");
    QTest::newRow("negative position") << -20 << -5000 << 6 << 600
                                       << QByteArray("#Window1Position -20,-5000\n#Magnification 6\n#DWWidth 600\n");
    QTest::newRow("32-bit limits")
        << kMin << kMax << kMax << kMin
        << QByteArray("#Window1Position -2147483648,2147483647\n#Magnification 2147483647\n"
                      "#DWWidth -2147483648\n");
    QTest::newRow("limits the other way")
        << kMax << kMin << -1 << 250
        << QByteArray("#Window1Position 2147483647,-2147483648\n#Magnification -1\n#DWWidth 250\n");
}

void tst_prefs::roundTrip()
{
    QFETCH(int, top);
    QFETCH(int, left);
    QFETCH(int, mag);
    QFETCH(int, width);
    QFETCH(QByteArray, expected);

    // The saved position is not what gets written: the panel's live position is.
    prefsModule::savedTop = 1;
    prefsModule::savedLeft = 2;
    prefsModule::magFactor = mag;
    prefsModule::displayWidth = width;
    prefsModule::writePrefs(top, left);
    QCOMPARE(readBytes(file()), expected);
    QCOMPARE(entriesOf(folder()), QStringList{u8("vzln.txt")});

    prefsModule::resetState();
    prefsModule::readPrefs();
    QCOMPARE(prefsModule::savedTop, top);
    QCOMPARE(prefsModule::savedLeft, left);
    QCOMPARE(prefsModule::magFactor, mag);
    QCOMPARE(prefsModule::displayWidth, width);
    QCOMPARE(prefsModule::directives.size(), std::size_t(4));
}

void tst_prefs::writeCreatesTheFolder()
{
    const QString missing = folder() + QStringLiteral("/not/yet");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(missing));
    prefsModule::magFactor = 2;
    prefsModule::displayWidth = 200;
    prefsModule::writePrefs(5, 6);
    QCOMPARE(readBytes(missing + QStringLiteral("/vzln.txt")),
             QByteArray("#Window1Position 5,6\n#Magnification 2\n#DWWidth 200\n"));
}

void tst_prefs::writeReplacesTheOldFile()
{
    // Longer than what replaces it, so that a file rewritten in place would keep a tail.
    QByteArray old = kOldFile;
    for (int i = 0; i < 50; ++i)
        old += "' padding line " + QByteArray::number(i) + "\n";
    QVERIFY(writeBytes(file(), old));
    prefsModule::readPrefs();
    QCOMPARE(prefsModule::magFactor, 5);
    prefsModule::writePrefs(30, 40);
    QCOMPARE(readBytes(file()), QByteArray("#Window1Position 30,40\n#Magnification 5\n#DWWidth 400\n"));
    QCOMPARE(entriesOf(folder()), QStringList{u8("vzln.txt")});
}

void tst_prefs::writeOutOfSpace_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<int>("limit");
    QTest::newRow("old file, room for 10 bytes") << true << 10;
    QTest::newRow("old file, room for nothing") << true << 0;
    QTest::newRow("old file, one byte short") << true << 54;
    QTest::newRow("no old file") << false << 10;
}

void tst_prefs::writeOutOfSpace()
{
    // The new text is 55 bytes; the limit stops it part way, as a full disk would.
    QFETCH(bool, exists);
    QFETCH(int, limit);
    if (exists)
        QVERIFY(writeBytes(file(), kOldFile));
    prefsModule::magFactor = 4;
    prefsModule::displayWidth = 500;

    MessageRecorder recorder;
    MessageRecorder::messages.clear();
    bool limited = false;
    {
        FileSizeLimit guard{rlim_t(limit)};
        limited = guard.ok();
        if (limited)
            prefsModule::writePrefs(123, 456);
    }
    QVERIFY(limited);
    QCOMPARE(MessageRecorder::messages, QStringList());

    if (exists) {
        QCOMPARE(readBytes(file()), kOldFile);
        QCOMPARE(entriesOf(folder()), QStringList{u8("vzln.txt")});
    } else {
        // No half-written file either: the next start must take the defaults.
        QCOMPARE(entriesOf(folder()), QStringList());
    }

    // Without the limit the same write goes through.
    prefsModule::writePrefs(123, 456);
    QCOMPARE(readBytes(file()), QByteArray("#Window1Position 123,456\n#Magnification 4\n#DWWidth 500\n"));
}

void tst_prefs::writeToReadOnlyFolder()
{
    QVERIFY(writeBytes(file(), kOldFile));
    if (geteuid() == 0) {
        // Root writes into any folder, so the write runs as "nobody" against root's 0755 folder.
        QCOMPARE(chmod(QFile::encodeName(folder()).constData(), 0755), 0);
        const int result = runAsNobody([] {
            prefsModule::magFactor = 2;
            prefsModule::displayWidth = 200;
            prefsModule::writePrefs(7, 8);
            // A folder that is still missing cannot be made either.
            qputenv("XDG_CONFIG_HOME", QFile::encodeName(prefsModule::prefsFilePath() + QStringLiteral(".d/sub")));
            prefsModule::writePrefs(7, 8);
            return 0;
        });
        QCOMPARE(result, 0);
    } else {
        QCOMPARE(chmod(QFile::encodeName(folder()).constData(), 0555), 0);
        if (access(QFile::encodeName(folder()).constData(), W_OK) == 0)
            QSKIP("this user can write into a folder of mode 0555");
        MessageRecorder recorder;
        MessageRecorder::messages.clear();
        prefsModule::writePrefs(7, 8);
        QCOMPARE(MessageRecorder::messages, QStringList());
        QCOMPARE(chmod(QFile::encodeName(folder()).constData(), 0755), 0);
    }
    QCOMPARE(readBytes(file()), kOldFile);
    QCOMPARE(entriesOf(folder()), QStringList{u8("vzln.txt")});
}

void tst_prefs::writeOverADirectory()
{
    QVERIFY(QDir(folder()).mkdir(QStringLiteral("vzln.txt")));
    QVERIFY(writeBytes(file() + QStringLiteral("/inner"), kOldFile));
    MessageRecorder recorder;
    MessageRecorder::messages.clear();
    prefsModule::writePrefs(1, 2);
    QCOMPARE(MessageRecorder::messages, QStringList());
    QVERIFY(QFileInfo(file()).isDir());
    QCOMPARE(entriesOf(file()), QStringList{u8("inner")});
    QCOMPARE(readBytes(file() + QStringLiteral("/inner")), kOldFile);
    QCOMPARE(entriesOf(folder()), QStringList{u8("vzln.txt")});
}

void tst_prefs::writeThroughALink_data()
{
    QTest::addColumn<bool>("absolute");     // the link names its target by absolute path
    QTest::addColumn<bool>("twoLinks");     // vzln.txt -> second -> dotfiles/vzln.txt
    QTest::addColumn<bool>("targetExists"); // an old file at the end of the links
    QTest::newRow("to a file") << true << false << true;
    QTest::newRow("relative, to a file") << false << false << true;
    QTest::newRow("through a second link") << false << true << true;
    QTest::newRow("to a missing file") << true << false << false;
    QTest::newRow("relative, to a missing file") << false << false << false;
}

// Dotfiles kept as links into a repository: the new text goes to the file at the end of the
// links, and every link stays the link it was.
void tst_prefs::writeThroughALink()
{
    QFETCH(bool, absolute);
    QFETCH(bool, twoLinks);
    QFETCH(bool, targetExists);
    const QString target = folder() + QStringLiteral("/dotfiles/vzln.txt");
    const QString second = folder() + QStringLiteral("/second");
    QVERIFY(QDir(folder()).mkdir(QStringLiteral("dotfiles")));
    if (targetExists)
        QVERIFY(writeBytes(target, kOldFile));
    const QByteArray to = absolute ? QFile::encodeName(target) : QByteArray("dotfiles/vzln.txt");
    QCOMPARE(symlink(to.constData(), QFile::encodeName(twoLinks ? second : file()).constData()), 0);
    if (twoLinks)
        QCOMPARE(symlink("second", QFile::encodeName(file()).constData()), 0);
    const QStringList links{nodeState(file()), nodeState(second)};
    const QStringList entries = entriesOf(folder());

    prefsModule::magFactor = 6;
    prefsModule::displayWidth = 200;
    QCOMPARE(runInChild([] {
                 prefsModule::writePrefs(12, 34);
                 return 0;
             }),
             0);
    QCOMPARE(readBytes(target), QByteArray("#Window1Position 12,34\n#Magnification 6\n#DWWidth 200\n"));
    QCOMPARE((QStringList{nodeState(file()), nodeState(second)}), links);
    QCOMPARE(entriesOf(folder()), entries);
    QCOMPARE(entriesOf(folder() + QStringLiteral("/dotfiles")), QStringList{u8("vzln.txt")});

    // And read back through the same links.
    prefsModule::resetState();
    prefsModule::readPrefs();
    QCOMPARE(prefsModule::magFactor, 6);
    QCOMPARE(prefsModule::savedLeft, 34);
}

void tst_prefs::writeLeavesWhatIsNoFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("links"); // links between vzln.txt and the node
    QTest::addColumn<bool>("relative");
    for (const char *kind : {"device", "pipe", "socket", "folder"}) {
        QTest::addRow("%s", kind) << QString::fromLatin1(kind) << 0 << false;
        QTest::addRow("link to a %s", kind) << QString::fromLatin1(kind) << 1 << false;
        QTest::addRow("relative link to a %s", kind) << QString::fromLatin1(kind) << 1 << true;
        QTest::addRow("two links to a %s", kind) << QString::fromLatin1(kind) << 2 << true;
    }
    // A loop of links ends nowhere: nothing to write to.
    QTest::newRow("loop of links") << QString() << 2 << true;
}

// A device, a pipe, a socket or a folder where the file should be, or at the end of its links
// (vzln.txt linked to /dev/null is the common case), is left exactly as it was, and the write is
// skipped without a word, as any write that cannot be done. The nodes are the test's own, in its
// own folder.
void tst_prefs::writeLeavesWhatIsNoFile()
{
    QFETCH(QString, kind);
    QFETCH(int, links);
    QFETCH(bool, relative);

    QVERIFY(QDir(folder()).mkdir(QStringLiteral("elsewhere")));
    const QString node = links == 0 ? file() : folder() + QStringLiteral("/elsewhere/node");
    if (!kind.isEmpty() && !makeNode(kind, node)) {
        if (kind == u"device" && errno == EPERM && geteuid() != 0)
            QSKIP("only root may make a device node");
        QFAIL(qPrintable(QStringLiteral("cannot make the %1: %2").arg(kind, QString::fromLocal8Bit(strerror(errno)))));
    }
    // vzln.txt -> [elsewhere/link2 ->] elsewhere/node; the loop's last link points back at vzln.txt.
    QStringList chain{file()};
    for (int i = 1; i < links; ++i)
        chain << folder() + QStringLiteral("/elsewhere/link%1").arg(i + 1);
    chain << (kind.isEmpty() ? file() : node);
    for (int i = 0; i < links; ++i) {
        const QString to = relative ? QDir(QFileInfo(chain[i]).absolutePath()).relativeFilePath(chain[i + 1])
                                    : chain[i + 1];
        QCOMPARE(symlink(QFile::encodeName(to).constData(), QFile::encodeName(chain[i]).constData()), 0);
    }
    QStringList before;
    for (const QString &path : chain)
        before << nodeState(path);
    const QStringList entries = entriesOf(folder()) + entriesOf(folder() + QStringLiteral("/elsewhere"));

    prefsModule::magFactor = 4;
    prefsModule::displayWidth = 500;
    QCOMPARE(runInChild([] {
                 prefsModule::writePrefs(1, 2);
                 return 0;
             }),
             0);

    QStringList after;
    for (const QString &path : chain)
        after << nodeState(path);
    QCOMPARE(after, before);
    QCOMPARE(entriesOf(folder()) + entriesOf(folder() + QStringLiteral("/elsewhere")), entries);
    if (kind == u"folder")
        QCOMPARE(readBytes(node + QStringLiteral("/inner")), kOldFile);
}

// The write of an end that does not come through the panel's closing: it runs on whatever
// thread ends the process, writes what the panel noted last (not what the settings hold at that
// moment, which the main thread may be changing), and only once in a run.
void tst_prefs::lastWriteOnce()
{
    auto onAnotherThread = [] {
        std::thread([] { prefsModule::writeLastNoted(); }).join();
    };
    onAnotherThread();
    QVERIFY2(!QFile::exists(file()), "written before the panel noted anything");

    prefsModule::magFactor = 5;
    prefsModule::displayWidth = 500;
    prefsModule::noteForLastWrite(-7, 1234);
    prefsModule::magFactor = 2;
    onAnotherThread();
    QCOMPARE(readBytes(file()), QByteArray("#Window1Position -7,1234\n#Magnification 5\n#DWWidth 500\n"));

    QVERIFY(QFile::remove(file()));
    onAnotherThread();
    prefsModule::noteForLastWrite(1, 2);
    prefsModule::writeLastNoted();
    QVERIFY2(!QFile::exists(file()), "written a second time in the same run");

    // A panel that goes without closing (as in the widget tests) leaves nothing to write.
    prefsModule::resetState();
    prefsModule::noteForLastWrite(3, 4);
    prefsModule::forgetLastWrite();
    prefsModule::writeLastNoted();
    QVERIFY(!QFile::exists(file()));
}

QTEST_GUILESS_MAIN(tst_prefs)
#include "tst_prefs.moc"
