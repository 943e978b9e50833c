#include "settings/prefsModule.h"

#include "platform/rules.h"
#include "platform/textFile.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cstdlib>
#include <mutex>

namespace prefsModule {

std::int32_t magFactor = 0;
std::int32_t displayWidth = 0;
std::int32_t savedTop = 0;
std::int32_t savedLeft = 0;
std::int32_t screenScale = 0;
std::shared_ptr<ScreenInfo> mainScreenObj;

namespace {

std::vector<std::unique_ptr<directiveClass>> freshDirectives()
{
    std::vector<std::unique_ptr<directiveClass>> list;
    list.emplace_back(); // index 0: never used
    return list;
}

// Splits a file into lines ending in "\n", "\r\n" or a lone "\r", reading only as far as the
// caller asks: the header may be the first few bytes of a large file.
class LineReader
{
public:
    explicit LineReader(QFile &file) : file_(file) {}

    // Editors on some systems start a UTF-8 file with a byte-order mark; it is no part of the
    // first line.
    void skipByteOrderMark()
    {
        fill();
        if (buffer_.startsWith("\xEF\xBB\xBF"))
            pos_ = 3;
    }

    bool atEnd()
    {
        fill();
        return pos_ >= buffer_.size();
    }

    QString readLine()
    {
        qsizetype scanned = 0; // bytes after pos_ already known to hold no line end
        for (;;) {
            qsizetype i = pos_ + scanned;
            while (i < buffer_.size() && buffer_[i] != '\n' && buffer_[i] != '\r')
                ++i;
            if (i < buffer_.size()) {
                // A "\r" at the end of what was read so far may be the first half of a "\r\n".
                if (buffer_[i] == '\r' && i + 1 == buffer_.size() && !eof_) {
                    scanned = i - pos_;
                    more();
                    continue;
                }
                const QString line = QString::fromUtf8(buffer_.constData() + pos_, i - pos_);
                pos_ = i + 1;
                if (buffer_[i] == '\r' && pos_ < buffer_.size() && buffer_[pos_] == '\n')
                    ++pos_;
                return line;
            }
            scanned = i - pos_;
            if (!more()) {
                const QString line = QString::fromUtf8(buffer_.constData() + pos_, buffer_.size() - pos_);
                pos_ = buffer_.size();
                return line;
            }
        }
    }

private:
    void fill()
    {
        if (pos_ >= buffer_.size())
            more();
    }

    // Reads the next chunk, keeping what is not consumed yet; false at the end of the file.
    bool more()
    {
        if (eof_)
            return false;
        buffer_.remove(0, pos_);
        pos_ = 0;
        const QByteArray chunk = file_.read(kChunk);
        if (chunk.isEmpty()) {
            eof_ = true;
            return false;
        }
        buffer_.append(chunk);
        return true;
    }

    static constexpr qint64 kChunk = 64 * 1024;
    QFile &file_;
    QByteArray buffer_;
    qsizetype pos_ = 0;
    bool eof_ = false;
};

// The state the last write writes, as the main thread noted it last.
struct LastWrite
{
    std::int32_t top = 0;
    std::int32_t left = 0;
    std::int32_t magnification = 0;
    std::int32_t width = 0;
    bool noted = false;
    bool written = false;
};
std::mutex lastWriteMutex;
LastWrite lastWrite;

} // namespace

std::vector<std::unique_ptr<directiveClass>> directives = freshDirectives();

QString prefsFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/vzln.txt");
}

bool parseDirectives(const QString &filePath)
{
    if (filePath.isEmpty())
        return false;
    // Only a regular file (or a link to one) counts: a directory, a device or a pipe named
    // "vzln.txt" cannot be read as text, and must not block or flood the start-up.
    if (!QFileInfo(filePath).isFile())
        return false;
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return false;

    LineReader stream(file);
    stream.skipByteOrderMark();
    for (;;) {
        if (stream.atEnd())
            return true;
        const QString line = stream.readLine();
        const QString first = Mid(line, 1, 1);
        if (first != u"#" && first != u"'")
            return true;
        if (first == u"#") {
            const int pos = InStr(line, QStringLiteral(" "));
            if (pos > 0) {
                directives.push_back(std::make_unique<directiveClass>());
                directiveClass &entry = *directives.back();
                entry.name = LCase(Mid(line, 2, pos - 2));
                entry.text = Mid(line, pos + 1);
            }
        }
    }
}

void readPrefs()
{
    if (!parseDirectives(prefsFilePath())) {
        savedTop = 150;
        savedLeft = 150;
        magFactor = 3;
        displayWidth = 300;
        return;
    }
    const QString comma = Chr(44);
    for (std::size_t i = 1; i < directives.size(); ++i) {
        const directiveClass &entry = *directives[i];
        if (entry.name.compare(u"Window1Position", Qt::CaseInsensitive) == 0) {
            savedTop = realToInteger(Val(NthField(entry.text, comma, 1)));
            savedLeft = realToInteger(Val(NthField(entry.text, comma, 2)));
        } else if (entry.name.compare(u"Magnification", Qt::CaseInsensitive) == 0) {
            magFactor = realToInteger(Val(entry.text));
        } else if (entry.name.compare(u"DWWidth", Qt::CaseInsensitive) == 0) {
            displayWidth = realToInteger(Val(entry.text));
        }
    }
}

namespace {

void writeFile(std::int32_t panelTop, std::int32_t panelLeft, std::int32_t magnification, std::int32_t width)
{
    const QString text = QStringLiteral("#Window1Position ") + Str(panelTop) + Chr(44) + Str(panelLeft)
        + QStringLiteral("\n#Magnification ") + Str(magnification)
        + QStringLiteral("\n#DWWidth ") + Str(width) + QStringLiteral("\n");
    writeWholeFile(prefsFilePath(), text.toLatin1());
}

} // namespace

void writePrefs(std::int32_t panelTop, std::int32_t panelLeft)
{
    writeFile(panelTop, panelLeft, magFactor, displayWidth);
}

void noteForLastWrite(std::int32_t panelTop, std::int32_t panelLeft)
{
    // Registered once something is there to write, after the preferences were read: what the
    // write needs of Qt is set up by then, so it is torn down only after this has run.
    static std::once_flag atExit;
    std::call_once(atExit, [] { std::atexit(writeLastNoted); });
    const std::lock_guard<std::mutex> lock(lastWriteMutex);
    lastWrite.top = panelTop;
    lastWrite.left = panelLeft;
    lastWrite.magnification = magFactor;
    lastWrite.width = displayWidth;
    lastWrite.noted = true;
}

void writeLastNoted()
{
    // Held while writing: an end on another thread waits for a write in progress, then finds it done.
    const std::lock_guard<std::mutex> lock(lastWriteMutex);
    if (!lastWrite.noted || lastWrite.written)
        return;
    lastWrite.written = true;
    writeFile(lastWrite.top, lastWrite.left, lastWrite.magnification, lastWrite.width);
}

void forgetLastWrite()
{
    const std::lock_guard<std::mutex> lock(lastWriteMutex);
    lastWrite.noted = false;
}

void resetState()
{
    magFactor = displayWidth = savedTop = savedLeft = screenScale = 0;
    mainScreenObj.reset();
    directives = freshDirectives();
    const std::lock_guard<std::mutex> lock(lastWriteMutex);
    lastWrite = LastWrite();
}

} // namespace prefsModule
