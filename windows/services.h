#pragma once

#include <QString>
#include <functional>

// The system services the secondary windows use.

// A message with one button; returns when the user has dismissed it. The text is shown as it
// is, never read as markup.
void MsgBox(const QString &text);

// A warning that stays beside the windows without holding them up; for a problem the program
// goes on with. The text is shown as it is, never read as markup.
void ShowProblem(const QString &text);

// The system's alert sound.
void Beep();
// Tests hear the alert here in place of the system's sound; an empty function restores it.
void setBeep(std::function<void()> beep);

// Hands a URL to the system's handler for its scheme; whether that works is not reported.
void ShowURL(const QString &url);

// The control panel lives above these windows; it tells them how it takes the focus back.
void setControlPanelFocus(std::function<void()> setFocus);
void focusControlPanel();
