#include "Runtime.h"

namespace virelon::ui {

namespace {
// Observers that keep changing what they observe would otherwise never let an update end.
constexpr int maximumObserverRounds = 16;
} // namespace

void Runtime::update(const std::function<void()>& body) {
    ++depth_;
    body();
    --depth_;
    if (depth_ == 0)
        finishUpdate();
}

void Runtime::finishUpdate() {
    ++depth_; // observers' writes belong to this update
    for (int round = 0; round < maximumObserverRounds; ++round) {
        std::vector<detail::ObserverSlot*> due;
        for (auto& observer : observers_) {
            if (observer->changed())
                due.push_back(observer.get());
            observer->snapshot();
        }
        if (due.empty())
            break;
        for (auto* observer : due)
            observer->notify();
    }
    --depth_;
    for (auto& listener : redrawListeners_)
        listener();
}

void Runtime::screenShown() {
    if (launched_ || !launchTask_)
        return;
    launched_ = true;
    pending_.push_back([this] { update(launchTask_); });
    if (wakeUp_)
        wakeUp_();
}

std::size_t Runtime::runPending() {
    std::size_t ran = 0;
    while (!pending_.empty()) {
        auto work = std::move(pending_.front());
        pending_.pop_front();
        work();
        ++ran;
    }
    return ran;
}

} // namespace virelon::ui
