#include "FirstFrameReport.h"

#include <QEvent>
#include <QObject>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace virelon::widgets {

namespace {

// Sees the window's first exposure before the window does; the widgets paint and flush their
// backing store while handling it, so the report is queued to run right after that.
class FirstExposure final : public QObject {
public:
    explicit FirstExposure(QWindow& window) : QObject(&window), window_(window) {
        window.installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &window_ && event->type() == QEvent::Expose && window_.isExposed()) {
            window_.removeEventFilter(this);
            QTimer::singleShot(0, this, [this] {
                timespec now{};
                clock_gettime(CLOCK_MONOTONIC, &now);
                std::printf("first-frame %lld\n",
                            static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec);
                std::printf("window-size %d %d\n", window_.width(), window_.height());
                std::fflush(stdout);
                deleteLater();
            });
        }
        return false;
    }

private:
    QWindow& window_;
};

} // namespace

void reportFirstFrame(QWidget& window) {
    const char* wanted = std::getenv("VIRELON_REPORT_FIRST_FRAME");
    if (wanted == nullptr || *wanted == '\0' || window.windowHandle() == nullptr)
        return;
    new FirstExposure(*window.windowHandle());
}

} // namespace virelon::widgets
