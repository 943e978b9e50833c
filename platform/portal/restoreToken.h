#pragma once

#include <QString>

// The desktop's permission to share the screen, kept for the next start as the restore token
// its portal gave: in the user's state folder ($XDG_STATE_HOME, else ~/.local/state), apart from
// the settings in vzln.txt.
namespace restoreToken {

// The file's full path.
QString path();

// The kept token; empty when there is none or the file holds anything but one token (a
// missing, unreadable or damaged file only means that the desktop asks again).
QString read();

// Keeps `token` in place of the old one, written whole or not at all; false if it could not be
// written. Nothing is written for a token that read() would not give back.
bool write(const QString &token);

// Whether `token` is one the program keeps: a short line of letters, digits and "-_.:".
bool acceptable(const QString &token);

} // namespace restoreToken
