#include "NotificationAnnouncer.h"

#include "AccessibleRoles.h"

namespace virelon::widgets {

NotificationAnnouncer::NotificationAnnouncer(QWidget& window, std::chrono::milliseconds shownFor)
    : spot_(new NotificationSpot(&window)) {
    // A 1x1 object outside any layout: "showing" for assistive technology, invisible on screen.
    spot_->setGeometry(0, 0, 1, 1);
    spot_->hide();
    hideTimer_.setSingleShot(true);
    hideTimer_.setInterval(shownFor);
    QObject::connect(&hideTimer_, &QTimer::timeout, spot_.data(), [spot = spot_] {
        if (spot)
            spot->hide();
    });
}

void NotificationAnnouncer::announce(const std::string& message) {
    if (!spot_)
        return;
    spot_->setMessage(QString::fromStdString(message));
    if (!spot_->isHidden())
        spot_->hide();
    spot_->show();
    hideTimer_.start();
}

} // namespace virelon::widgets
