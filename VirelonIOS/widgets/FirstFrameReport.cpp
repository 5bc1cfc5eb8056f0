#include "FirstFrameReport.h"

#include <QEvent>
#include <QObject>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <utility>

namespace virelon::widgets {

namespace {

// Sees the window's first exposure before the window does; the widgets paint and flush their
// backing store while handling it, so `then` is queued to run right after that.
class FirstExposure final : public QObject {
public:
    FirstExposure(QWindow& window, std::function<void()> then)
        : QObject(&window), window_(window), then_(std::move(then)) {
        window.installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &window_ && event->type() == QEvent::Expose && window_.isExposed()) {
            window_.removeEventFilter(this);
            QTimer::singleShot(0, this, [this] {
                then_();
                deleteLater();
            });
        }
        return false;
    }

private:
    QWindow& window_;
    std::function<void()> then_;
};

} // namespace

void afterFirstFrame(QWidget& window, std::function<void()> then) {
    if (window.windowHandle() != nullptr)
        new FirstExposure(*window.windowHandle(), std::move(then));
}

void reportFirstFrame(QWidget& window) {
    const char* wanted = std::getenv("VIRELON_REPORT_FIRST_FRAME");
    if (wanted == nullptr || *wanted == '\0')
        return;
    afterFirstFrame(window, [&window] {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        std::printf("first-frame %lld\n",
                    static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec);
        std::printf("window-size %d %d\n", window.width(), window.height());
        std::fflush(stdout);
    });
}

} // namespace virelon::widgets
