#pragma once

// One window per session: the running application owns its identifier as a name on the session
// bus and answers org.freedesktop.Application there, so that a second launch, or a launcher
// that starts the desktop entry over D-Bus, brings the open window to the front. Every exchange
// with the bus is bounded: a bus or an owner that does not answer costs at most the bound, and
// the launch then opens a window of its own.

#include <QObject>

#include <chrono>
#include <memory>
#include <optional>
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

private:
    struct Bus;

public:
    /// The name asked for on the session bus within its bound, without Qt: it may be made on
    /// another thread, while the application object is being built.
    class Claim {
    public:
        Claim(const std::string& name, std::chrono::milliseconds claimBound);
        Claim(Claim&&) noexcept;
        ~Claim();

    private:
        friend class ApplicationActivation;
        std::unique_ptr<Bus> bus_;
        /// Whether this connection owns the name; nothing when there is no bus, or it did not
        /// answer in time.
        std::optional<bool> owned_;
    };

    /// When another process owns the claimed name, calls that process's Activate (passing this
    /// launch's activation token, if any) and waits at most `activateBound` for its answer.
    ApplicationActivation(Claim claim, std::chrono::milliseconds activateBound);
    ~ApplicationActivation() override;

    Role role() const { return role_; }

    /// From now on, answers the bus from Qt's event loop, and each Activate brings `window` to
    /// the front (restoring it when minimised). Needs the application object; does nothing
    /// unless this process is the primary one.
    void raiseOnActivate(QWidget& window);

private:
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
