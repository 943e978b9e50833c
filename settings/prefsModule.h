#pragma once

#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

class ScreenInfo;

// One directive line of the preferences file.
class directiveClass
{
public:
    QString name; // the key, lower-cased
    QString text; // the value, untrimmed
};

// The preferences file and the settings that several windows share. Everything lives for the
// whole process and starts at zero / empty.
namespace prefsModule {

extern std::int32_t magFactor;
extern std::int32_t displayWidth;
extern std::int32_t savedTop;
extern std::int32_t savedLeft;
extern std::int32_t screenScale;
extern std::shared_ptr<ScreenInfo> mainScreenObj;

// The file's directives stand at indexes 1 and up; index 0 holds no object and is never used.
extern std::vector<std::unique_ptr<directiveClass>> directives;

// Loads savedTop, savedLeft, magFactor and displayWidth from "vzln.txt", or gives them the
// defaults 150, 150, 3, 300 when the file cannot be opened as text.
void readPrefs();

// Appends the leading directive lines of the file at `filePath` (empty: no file) to
// `directives`. True when the file was opened as text, whatever it held.
bool parseDirectives(const QString &filePath);

// Writes "vzln.txt" anew from the closing panel's position and the current settings. The old
// file stays whole until the new one is complete; a write that fails changes nothing and says
// nothing. Through a link the file at the link's end is written and the link kept; anything but
// a regular file (a device, a pipe, a socket, a folder) is left alone, as a failed write.
void writePrefs(std::int32_t panelTop, std::int32_t panelLeft);

// The run's last write. Closing the panel writes the settings, and so must every other end of the
// program: Qt ends it with exit() when the X server goes away, from whichever of its threads
// notices, where nothing of the panel may be touched. So the panel notes its position, with the
// settings of the moment, whenever they change (on the main thread), and whichever end comes
// first writes the last noted state; the file is written once per run.
void noteForLastWrite(std::int32_t panelTop, std::int32_t panelLeft);
// Writes the last noted state unless nothing is noted or this run has written it already. Safe on
// any thread; it also runs when the process exits.
void writeLastNoted();
// The panel is gone without closing: there is nothing left to write.
void forgetLastWrite();

// The full path of "vzln.txt" in the user's configuration folder.
QString prefsFilePath();

// Puts every setting and the directives list back as they are when the process starts.
void resetState();

} // namespace prefsModule
