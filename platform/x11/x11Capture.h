#pragma once

#include "platform/capture.h"

#include <memory>

// The capture source of an X server: the pointer over the program's own connection, the pixels
// through MIT-SHM, else Qt's grabs. Nullptr when the program is not on an X server it can
// reach a second time.
std::unique_ptr<CaptureSource> makeX11Capture();
