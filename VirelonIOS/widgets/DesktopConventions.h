#pragma once

// What a desktop expects of the application's window beyond its content: the keys that close
// it, and a first size that fits the screen.

class QWidget;

namespace virelon::widgets {

/// Control+Q and Control+W close `window`.
void addCloseShortcuts(QWidget& window);

/// Shrinks `window` (not yet shown) to fit the available area of its screen, leaving room for
/// the title bar and borders the window manager adds. The content scrolls where it must.
void fitToAvailableScreen(QWidget& window);

} // namespace virelon::widgets
