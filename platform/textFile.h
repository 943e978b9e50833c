#pragma once

#include <QByteArray>
#include <QString>

// Small files of the user's that the program rewrites whole.

// Writes `bytes` as the whole new content of the file at `path`, making its folder if need be.
// The old file stays whole until the new one is complete on disk; a write that fails changes
// nothing and returns false. Through a link the file at the link's end is written and the link
// kept; anything but a regular file (a device, a pipe, a socket, a folder, a loop of links) is
// left alone, as a failed write.
bool writeWholeFile(const QString &path, const QByteArray &bytes);

// The content of the regular file (or link to one) at `path`, if it holds at most `limit`
// bytes; else, or when it cannot be read, nothing (`ok` false). A device or a pipe is never
// opened, so nothing can block or flood the caller.
QByteArray readSmallFile(const QString &path, qint64 limit, bool *ok = nullptr);
