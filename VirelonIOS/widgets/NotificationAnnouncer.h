#pragma once

// Announcements for Orca 43 under Qt 6.4: the bridge drops Qt's Alert event and a changing label
// that has no focus is not read, but an object with the Notification role that becomes showing is
// read with its name ("notification <text>"), each time it is shown. Qt 6.8's announcement event
// can replace this behind the same interface.

#include "Announcer.h"

#include <QPointer>
#include <QTimer>

#include <chrono>
#include <string>

class QWidget;

namespace virelon::widgets {

class NotificationSpot;

class NotificationAnnouncer final : public Announcer {
public:
    /// The notification object becomes a hidden child of `window`; after each announcement it is
    /// hidden again once `shownFor` has passed.
    explicit NotificationAnnouncer(QWidget& window,
                                   std::chrono::milliseconds shownFor = std::chrono::seconds(5));
    NotificationAnnouncer(const NotificationAnnouncer&) = delete;
    NotificationAnnouncer& operator=(const NotificationAnnouncer&) = delete;

    /// Shows the notification with `message` as its name; hides it first if it is still showing,
    /// so that the same message is read again.
    void announce(const std::string& message) override;

private:
    QPointer<NotificationSpot> spot_; // owned by the window
    QTimer hideTimer_;
};

} // namespace virelon::widgets
