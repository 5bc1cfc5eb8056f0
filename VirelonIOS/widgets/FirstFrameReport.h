#pragma once

// The moment the window first reached the screen: work the first frame does not need waits for
// it, and launch measurements (bench/launch) and the hung-service tests see it from outside the
// process.

#include <functional>

class QWidget;

namespace virelon::widgets {

/// Runs `then` once `window` (already shown) has drawn its first frame, from the event loop.
void afterFirstFrame(QWidget& window, std::function<void()> then);

/// When VIRELON_REPORT_FIRST_FRAME is set and not empty, prints one line
/// "first-frame <CLOCK_MONOTONIC nanoseconds>" on standard output once `window` (already shown)
/// has drawn its first frame, then "window-size <width> <height>". Does nothing otherwise.
void reportFirstFrame(QWidget& window);

} // namespace virelon::widgets
