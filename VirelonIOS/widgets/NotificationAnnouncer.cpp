#include "NotificationAnnouncer.h"

#include "AccessibleRoles.h"

#include <QTimer>

namespace virelon::widgets {

NotificationAnnouncer::NotificationAnnouncer(QWidget& window, std::chrono::milliseconds shownFor)
    : window_(&window), shownFor_(shownFor) {}

void NotificationAnnouncer::announce(const std::string& message) {
    if (!window_)
        return;
    auto* spot = new NotificationSpot(QString::fromStdString(message), window_);
    // 1x1 and outside any layout: "showing" for assistive technology, invisible on screen.
    spot->setGeometry(0, 0, 1, 1);
    spot->show();
    QTimer::singleShot(shownFor_, spot, &QObject::deleteLater);
}

} // namespace virelon::widgets
