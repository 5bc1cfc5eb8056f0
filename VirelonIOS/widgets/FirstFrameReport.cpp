#include "widgets/FirstFrameReport.h"

#include <QEvent>
#include <QObject>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <utility>
#include <vector>

namespace virelon::widgets {

namespace {

// Sees the window's first exposure before the window does; the widgets paint and flush their
// backing store while handling it, so the work waiting for it is queued to run right after that,
// in the order it was given. One per window: the newest event filter sees events first, so
// separate ones would run their work in reverse.
class FirstExposure final : public QObject {
public:
    static FirstExposure& of(QWindow& window) {
        if (auto* existing = window.findChild<QObject*>(name(), Qt::FindDirectChildrenOnly))
            return *static_cast<FirstExposure*>(existing);
        return *new FirstExposure(window);
    }

    void add(std::function<void()> then) { waiting_.push_back(std::move(then)); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &window_ && event->type() == QEvent::Expose && window_.isExposed()) {
            window_.removeEventFilter(this);
            setObjectName(QString()); // work given from now on waits for the next exposure
            QTimer::singleShot(0, this, [this] {
                for (const auto& then : waiting_)
                    then();
                deleteLater();
            });
        }
        return false;
    }

private:
    explicit FirstExposure(QWindow& window) : QObject(&window), window_(window) {
        setObjectName(name());
        window.installEventFilter(this);
    }

    static QString name() { return QStringLiteral("virelon-first-exposure"); }

    QWindow& window_;
    std::vector<std::function<void()>> waiting_;
};

} // namespace

void afterFirstFrame(QWidget& window, std::function<void()> then) {
    if (window.windowHandle() != nullptr)
        FirstExposure::of(*window.windowHandle()).add(std::move(then));
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
