#pragma once

// One window per session: the running application owns its identifier as a name on the session
// bus and answers org.freedesktop.Application there, so that a second launch, or a launcher
// that starts the desktop entry over D-Bus, brings the open window to the front. Every exchange
// with the bus is bounded: a bus or an owner that does not answer costs at most the bound, and
// the launch then opens a window of its own.

#include <QObject>

#include <chrono>
#include <memory>
#include <string>

class QSocketNotifier;
class QTimer;
class QWidget;

namespace virelon::widgets {

class ApplicationActivation final : public QObject {
public:
    enum class Role {
        /// This process owns the name; Activate raises its window.
        primary,
        /// Another process owns the name and has raised its window: this launch is done.
        raisedOther,
        /// No session bus, or the bus or the owner did not answer in time: open a window and
        /// answer nobody.
        alone,
    };

    /// Asks the session bus for `name` within `claimBound`. When another process owns it, calls
    /// that process's Activate (passing this launch's activation token, if any) and waits at
    /// most `activateBound` for its answer.
    ApplicationActivation(const std::string& name, std::chrono::milliseconds claimBound,
                          std::chrono::milliseconds activateBound);
    ~ApplicationActivation() override;

    Role role() const { return role_; }

    /// From now on, answers the bus from Qt's event loop, and each Activate brings `window` to
    /// the front (restoring it when minimised). Needs the application object; does nothing
    /// unless this process is the primary one.
    void raiseOnActivate(QWidget& window);

private:
    struct Bus;
    void pump();
    void activated(const std::string& activationToken);

    std::unique_ptr<Bus> bus_;
    Role role_ = Role::alone;
    QWidget* window_ = nullptr;
    QSocketNotifier* readable_ = nullptr;
    QSocketNotifier* writable_ = nullptr;
    QTimer* timeout_ = nullptr;
};

} // namespace virelon::widgets
