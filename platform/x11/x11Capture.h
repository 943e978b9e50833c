#pragma once

#include "platform/capture.h"

#include <memory>

// The capture source of an X server: the pointer over the program's own connection, the pixels
// through MIT-SHM, else Qt's grabs. Nullptr when the program is not on an X server it can
// reach a second time.
std::unique_ptr<CaptureSource> makeX11Capture();

// Whether the X server is Xwayland, the X server of a Wayland desktop: its root window shows
// none of the desktop's pixels and its pointer stops where the last X11 window was left.
bool onXwayland();
