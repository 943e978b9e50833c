#pragma once

#include <functional>

class QObject;

// Turns SIGTERM, SIGINT and SIGHUP (a session ending, Ctrl+C in the terminal that started the
// program) into a call of `request` from the event loop, so that the program can end the way it
// does when the user closes it, rather than being cut off before it has saved anything.
// `owner` bounds how long the handling lasts. SIGPIPE is ignored from then on, so that losing the
// X server ends the program through exit(), as Qt means it to.
void onQuitSignals(QObject *owner, std::function<void()> request);
