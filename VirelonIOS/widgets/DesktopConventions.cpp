#include "widgets/DesktopConventions.h"

#include <QScreen>
#include <QShortcut>
#include <QWidget>

namespace virelon::widgets {

namespace {
// The frame is not known before the window manager has drawn it: room for a generous one.
constexpr int frameAllowanceWidth = 16;
constexpr int frameAllowanceHeight = 48;
} // namespace

void addCloseShortcuts(QWidget& window) {
    for (const auto key : {Qt::Key_Q, Qt::Key_W}) {
        auto* shortcut = new QShortcut(QKeySequence(Qt::CTRL | key), &window);
        QObject::connect(shortcut, &QShortcut::activated, &window, &QWidget::close);
    }
}

void fitToAvailableScreen(QWidget& window) {
    const QScreen* screen = window.screen();
    if (screen == nullptr)
        return;
    const QSize room =
        screen->availableGeometry().size() - QSize(frameAllowanceWidth, frameAllowanceHeight);
    window.resize(window.size().boundedTo(room));
}

} // namespace virelon::widgets
