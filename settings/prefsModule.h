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
// nothing.
void writePrefs(std::int32_t panelTop, std::int32_t panelLeft);

// The full path of "vzln.txt" in the user's configuration folder.
QString prefsFilePath();

// Puts every setting and the directives list back as they are when the process starts.
void resetState();

} // namespace prefsModule
