#pragma once

// Launch measurements (bench/launch) and the hung-service tests need the moment the window first
// reached the screen, seen from outside the process.

class QWidget;

namespace virelon::widgets {

/// When VIRELON_REPORT_FIRST_FRAME is set and not empty, prints one line
/// "first-frame <CLOCK_MONOTONIC nanoseconds>" on standard output once `window` (already shown)
/// has drawn its first frame, then "window-size <width> <height>". Does nothing otherwise.
void reportFirstFrame(QWidget& window);

} // namespace virelon::widgets
