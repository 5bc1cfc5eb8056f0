#pragma once

// A small state/observer runtime for the screen: state cells, two-way bindings, change observers
// and the launch task. It draws nothing; a host (the widget body, or a test) shows the screen,
// feeds user actions in as updates and redraws after every update.
//
// Guarantees:
// - An update is one user action, one button action or the launch task's body. Writes inside it
//   only store values.
// - After the update, each observed cell whose value now differs from its value before the
//   update runs its observer once, with the new value only, in the order the observers were
//   registered. Values are compared, not writes counted. Should observers change observed cells
//   in turn, another round follows.
// - Then every redraw listener runs.
// - A write outside any update is an update of its own.

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace virelon::ui {

template <typename T>
class State;

/// A read and a write rule over some value; how a control reaches a field.
template <typename T>
struct Binding {
    std::function<T()> get;
    std::function<void(T)> set;
};

namespace detail {
struct ObserverSlot {
    virtual ~ObserverSlot() = default;
    virtual void snapshot() = 0;
    virtual bool changed() const = 0;
    virtual void notify() = 0;
};
} // namespace detail

class Runtime {
public:
    Runtime() = default;
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    /// Runs `body` as one update, then the observers of what it changed, then the redraws.
    /// Nested calls join the update in progress.
    void update(const std::function<void()>& body);

    bool inUpdate() const { return depth_ > 0; }

    /// Called after every update, once the observers have run.
    void onRedraw(std::function<void()> listener) {
        redrawListeners_.push_back(std::move(listener));
    }

    /// Attaches the launch task: it starts once the screen has been shown.
    void setLaunchTask(std::function<void()> task) { launchTask_ = std::move(task); }

    /// The host reports the screen as shown. The launch task is queued (not run inside the call)
    /// and runs once, as one update, from runPending().
    void screenShown();

    /// Queues work from any thread, to run on the host's thread from runPending(): how a worker
    /// hands its result back to the screen.
    void post(std::function<void()> work);

    /// Runs the queued work; the host calls this from its event loop. Returns how many ran.
    std::size_t runPending();
    bool hasPending() const;

    /// How the host wants to hear of newly queued work (to schedule runPending()). Called on the
    /// thread that queued the work, which may be a worker's: it must be safe to call from any
    /// thread. Set it before any work is queued.
    void setWakeUp(std::function<void()> wakeUp) { wakeUp_ = std::move(wakeUp); }

    /// Registers an observer of a cell; observers run in the order of registration.
    template <typename T>
    void observe(const State<T>& cell, std::function<void(const T&)> observer);

private:
    template <typename T>
    friend class State;

    void finishUpdate();

    int depth_ = 0;
    bool launched_ = false;
    std::vector<std::unique_ptr<detail::ObserverSlot>> observers_;
    std::vector<std::function<void()>> redrawListeners_;
    std::function<void()> launchTask_;
    mutable std::mutex pendingMutex_;
    std::deque<std::function<void()>> pending_;
    std::function<void()> wakeUp_;
};

/// A state cell owned by the screen for its whole life.
template <typename T>
class State {
public:
    State(Runtime& runtime, T initial) : runtime_(runtime), value_(std::move(initial)) {}
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    const T& get() const { return value_; }
    const T& operator()() const { return value_; }

    void set(T value) {
        if (runtime_.inUpdate()) {
            value_ = std::move(value);
            return;
        }
        runtime_.update([&] { value_ = std::move(value); });
    }

    Binding<T> binding() {
        return {[this] { return value_; }, [this](T value) { set(std::move(value)); }};
    }

private:
    Runtime& runtime_;
    T value_;
};

namespace detail {
template <typename T>
class CellObserver final : public ObserverSlot {
public:
    CellObserver(const State<T>& cell, std::function<void(const T&)> observer)
        : cell_(cell), observer_(std::move(observer)), before_(cell.get()) {}
    void snapshot() override { before_ = cell_.get(); }
    bool changed() const override { return !(cell_.get() == before_); }
    void notify() override { observer_(cell_.get()); }

private:
    const State<T>& cell_;
    std::function<void(const T&)> observer_;
    T before_;
};
} // namespace detail

template <typename T>
void Runtime::observe(const State<T>& cell, std::function<void(const T&)> observer) {
    observers_.push_back(std::make_unique<detail::CellObserver<T>>(cell, std::move(observer)));
}

} // namespace virelon::ui
