#pragma once

#include <QString>

// The magnifier reads the screen through X11. Before Qt starts: pick the X11 platform (on a
// Wayland session that means XWayland) unless the user chose another, and make sure an X display
// can be reached, since Qt would otherwise abort with a page of plugin diagnostics. Returns
// an empty string when all is well, else what went wrong, in plain words.
QString prepareDisplay();
