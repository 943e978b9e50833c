// The desktop's permission to share the screen, kept between starts in the state folder: what is
// read back, and what only means that the desktop asks again.

#include "platform/portal/restoreToken.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <sys/types.h>

class tst_restore_token : public QObject
{
    Q_OBJECT

    QTemporaryDir home_;

    QString stateFile() const { return home_.path() + QStringLiteral("/state/vzln-screencast.txt"); }

    void put(const QByteArray &bytes)
    {
        QDir().mkpath(home_.path() + QStringLiteral("/state"));
        QFile f(stateFile());
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }

private slots:
    void init()
    {
        QVERIFY(home_.isValid());
        qputenv("HOME", QFile::encodeName(home_.path()));
        qputenv("XDG_STATE_HOME", QFile::encodeName(home_.path() + QStringLiteral("/state")));
        QFile::remove(stateFile());
    }

    void place_data()
    {
        QTest::addColumn<QString>("stateHome"); // "-": unset
        QTest::addColumn<QString>("expected");  // under HOME
        QTest::newRow("XDG_STATE_HOME") << QStringLiteral("/abs/state") << QStringLiteral("/abs/state/vzln-screencast.txt");
        QTest::newRow("unset") << QStringLiteral("-") << QStringLiteral("~/.local/state/vzln-screencast.txt");
        QTest::newRow("empty") << QString() << QStringLiteral("~/.local/state/vzln-screencast.txt");
        // As the XDG base directories have it: a relative path is invalid and ignored.
        QTest::newRow("relative") << QStringLiteral("state") << QStringLiteral("~/.local/state/vzln-screencast.txt");
    }

    void place()
    {
        QFETCH(QString, stateHome);
        QFETCH(QString, expected);
        if (stateHome == u"-")
            qunsetenv("XDG_STATE_HOME");
        else
            qputenv("XDG_STATE_HOME", QFile::encodeName(stateHome));
        expected.replace(QStringLiteral("~"), home_.path());
        QCOMPARE(restoreToken::path(), expected);
    }

    void read_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("token");
        const QByteArray uuid = "0f8fad5b-d9cb-469f-a165-70867728950e";
        QTest::newRow("a token and its line end") << uuid + "\n" << QString::fromLatin1(uuid);
        QTest::newRow("no line end") << uuid << QString::fromLatin1(uuid);
        QTest::newRow("empty") << QByteArray() << QString();
        QTest::newRow("two lines") << uuid + "\n" + uuid + "\n" << QString();
        QTest::newRow("a space") << QByteArray("0f8fad5b d9cb") << QString();
        QTest::newRow("binary") << QByteArray("\x00\xff\x01token", 8) << QString();
        QTest::newRow("line end of another system") << uuid + "\r\n" << QString();
        QTest::newRow("256 characters") << QByteArray(256, 'a') << QString(256, u'a');
        QTest::newRow("257 characters") << QByteArray(257, 'a') << QString();
        QTest::newRow("a megabyte") << QByteArray(1 << 20, 'a') << QString();
    }

    // Anything but one token is no token: the desktop then asks the user again.
    void read()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, token);
        put(content);
        QCOMPARE(restoreToken::read(), token);
    }

    void missingOrNoFile()
    {
        QCOMPARE(restoreToken::read(), QString());
        QDir().mkpath(stateFile()); // a folder by that name
        QCOMPARE(restoreToken::read(), QString());
    }

    void writeAndReadBack()
    {
        QDir(home_.path()).removeRecursively();
        QDir().mkpath(home_.path());
        const QString token = QStringLiteral("c9bf9e57-1685-4c89-bafb-ff5af830be8a");
        QVERIFY(restoreToken::write(token)); // the folder is made
        QFile f(stateFile());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), token.toLatin1() + "\n");
        QCOMPARE(restoreToken::read(), token);

        QVERIFY(restoreToken::write(QStringLiteral("next")));
        QCOMPARE(restoreToken::read(), QStringLiteral("next"));
    }

    // What read() would not give back is not written, and the old token stays.
    void writeRefusesWhatItWouldNotRead()
    {
        QVERIFY(restoreToken::write(QStringLiteral("kept")));
        QVERIFY(!restoreToken::write(QStringLiteral("two\nlines")));
        QVERIFY(!restoreToken::write(QString()));
        QVERIFY(!restoreToken::write(QString(300, u'a')));
        QCOMPARE(restoreToken::read(), QStringLiteral("kept"));
    }

    // The token file gets the settings file's care: a pipe by its name is neither read from
    // (which would block) nor replaced.
    void aPipeIsLeftAlone()
    {
        QDir().mkpath(home_.path() + QStringLiteral("/state"));
        QVERIFY(mkfifo(QFile::encodeName(stateFile()).constData(), 0600) == 0);
        QCOMPARE(restoreToken::read(), QString());
        QVERIFY(!restoreToken::write(QStringLiteral("token")));
        struct stat st;
        QVERIFY(lstat(QFile::encodeName(stateFile()).constData(), &st) == 0);
        QVERIFY(S_ISFIFO(st.st_mode));
        QFile::remove(stateFile());
    }
};

QTEST_APPLESS_MAIN(tst_restore_token)
#include "tst_restore_token.moc"
