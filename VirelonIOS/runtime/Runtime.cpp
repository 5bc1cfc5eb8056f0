#include "runtime/Runtime.h"

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
    post([this] { update(launchTask_); });
}

void Runtime::post(std::function<void()> work) {
    {
        const std::lock_guard lock(pendingMutex_);
        pending_.push_back(std::move(work));
    }
    if (wakeUp_)
        wakeUp_();
}

bool Runtime::hasPending() const {
    const std::lock_guard lock(pendingMutex_);
    return !pending_.empty();
}

std::size_t Runtime::runPending() {
    std::size_t ran = 0;
    for (;;) {
        std::function<void()> work;
        {
            const std::lock_guard lock(pendingMutex_);
            if (pending_.empty())
                return ran;
            work = std::move(pending_.front());
            pending_.pop_front();
        }
        work();
        ++ran;
    }
}

} // namespace virelon::ui
