#include "platform/portal/restoreToken.h"
#include "platform/textFile.h"

#include <QDir>

namespace restoreToken {

namespace {

// Tokens are UUIDs; this is room for any the desktops make, and a bound on what is read.
constexpr int kMaxLength = 256;

} // namespace

QString path()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    // A relative value is invalid and must be ignored, as the XDG base directories have it.
    if (state.isEmpty() || !QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/vzln-screencast.txt");
}

bool acceptable(const QString &token)
{
    if (token.isEmpty() || token.size() > kMaxLength)
        return false;
    for (const QChar c : token) {
        const char16_t u = c.unicode();
        const bool ok = (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9')
            || u == u'-' || u == u'_' || u == u'.' || u == u':';
        if (!ok)
            return false;
    }
    return true;
}

QString read()
{
    bool ok = false;
    QByteArray bytes = readSmallFile(path(), kMaxLength + 1, &ok);
    if (!ok)
        return QString();
    if (bytes.endsWith('\n'))
        bytes.chop(1);
    const QString token = QString::fromLatin1(bytes);
    return acceptable(token) ? token : QString();
}

bool write(const QString &token)
{
    if (!acceptable(token))
        return false;
    return writeWholeFile(path(), token.toLatin1() + '\n');
}

} // namespace restoreToken
