#include "platform/textFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Where the new file goes: `path` itself, or the file at the end of the links it is (people keep
// their dotfiles as links into a repository; the link stays a link and its target gets the new
// text). Empty when that place holds anything but a regular file: a device, a pipe, a socket or a
// folder is never written into nor replaced, and neither is a loop of links. A missing file is
// fine, it is made.
QString writeTarget(const QString &path)
{
    QByteArray target = QFile::encodeName(path);
    for (int links = 0; links < 40; ++links) {
        struct stat st;
        if (lstat(target.constData(), &st) != 0)
            return errno == ENOENT ? QFile::decodeName(target) : QString();
        if (S_ISREG(st.st_mode))
            return QFile::decodeName(target);
        if (!S_ISLNK(st.st_mode))
            return QString();
        QByteArray next(st.st_size > 0 ? qsizetype(st.st_size) + 1 : 4096, Qt::Uninitialized);
        const ssize_t n = readlink(target.constData(), next.data(), size_t(next.size()));
        if (n <= 0 || n >= next.size())
            return QString();
        next.truncate(n);
        // A relative link counts from the folder that holds it.
        if (!next.startsWith('/')) {
            const qsizetype slash = target.lastIndexOf('/');
            next.prepend(slash < 0 ? QByteArray() : target.left(slash + 1));
        }
        target = next;
    }
    return QString();
}

} // namespace

bool writeWholeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    const QString target = writeTarget(path);
    if (target.isEmpty())
        return false;
    // QSaveFile writes beside the old file and renames over it only once everything is on disk,
    // so a full disk or a read-only folder leaves the user's last file in place.
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // QSaveFile keeps small writes in its buffer and flushes them inside commit(), where a short
    // write (disk full, file size limit) goes unnoticed and the truncated copy is renamed over
    // the old file. Flushing here surfaces the failure; returning without commit() lets the
    // destructor throw the unfinished copy away.
    if (file.write(bytes) != bytes.size() || !file.flush())
        return false;
    return file.commit();
}

QByteArray readSmallFile(const QString &path, qint64 limit, bool *ok)
{
    if (ok)
        *ok = false;
    if (path.isEmpty() || !QFileInfo(path).isFile())
        return QByteArray();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QByteArray bytes = file.read(limit + 1);
    if (bytes.size() > limit || file.error() != QFileDevice::NoError)
        return QByteArray();
    if (ok)
        *ok = true;
    return bytes;
}
