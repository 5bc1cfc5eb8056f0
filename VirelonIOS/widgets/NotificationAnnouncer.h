#pragma once

// Announcements for Orca 43 under Qt 6.4: the bridge drops Qt's Alert event and a changing label
// that has no focus is not read, but an object with the Notification role that becomes showing is
// read with its name ("notification <text>"). Each message gets an object of its own: Orca reads
// the name an object has when it handles the event, so renaming and showing one object twice in
// one turn of the event loop would lose the first message. Qt 6.8's announcement event can
// replace this behind the same interface.

#include "core/Announcer.h"

#include <QPointer>

#include <chrono>
#include <string>

class QWidget;

namespace virelon::widgets {

class NotificationAnnouncer final : public Announcer {
public:
    /// Each announcement becomes a new notification object, a child of `window`, removed again
    /// once `shownFor` has passed.
    explicit NotificationAnnouncer(QWidget& window,
                                   std::chrono::milliseconds shownFor = std::chrono::seconds(5));
    NotificationAnnouncer(const NotificationAnnouncer&) = delete;
    NotificationAnnouncer& operator=(const NotificationAnnouncer&) = delete;

    /// Shows a new notification named `message`; messages are read in the order announced.
    void announce(const std::string& message) noexcept override;

private:
    QPointer<QWidget> window_;
    std::chrono::milliseconds shownFor_;
};

} // namespace virelon::widgets
