#pragma once

#include <functional>

class QObject;

// Turns SIGTERM, SIGINT and SIGHUP (a session ending, Ctrl+C in the terminal that started the
// program) into a call of `request` from the event loop, so that the program can end the way it
// does when the user closes it, rather than being cut off before it has saved anything.
// `owner` bounds how long the handling lasts.
void onQuitSignals(QObject *owner, std::function<void()> request);
