#pragma once

#include "platform/capture.h"

#include <memory>

// The capture source of a Wayland desktop: the screen and the pointer from the desktop's
// screen-cast portal, whose session it starts at once (the desktop may ask the user first).
// Until the first frame, and for good after anything fails, it gives no picture, so the view
// is black; what failed is told once through reportCaptureProblem().
std::unique_ptr<CaptureSource> makePortalCapture();
