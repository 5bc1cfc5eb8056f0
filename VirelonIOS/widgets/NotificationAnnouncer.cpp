#include "widgets/NotificationAnnouncer.h"

#include "widgets/AccessibleRoles.h"

#include <QTimer>

namespace virelon::widgets {

NotificationAnnouncer::NotificationAnnouncer(QWidget& window, std::chrono::milliseconds shownFor)
    : window_(&window), shownFor_(shownFor) {}

void NotificationAnnouncer::announce(const std::string& message) noexcept {
    if (!window_)
        return;
    try {
        auto* spot = new NotificationSpot(QString::fromStdString(message), window_);
        // 1x1 and outside any layout: "showing" for assistive technology, invisible on screen.
        spot->setGeometry(0, 0, 1, 1);
        spot->show();
        QTimer::singleShot(shownFor_, spot, &QObject::deleteLater);
    } catch (...) { // out of memory: the status line still shows the message
    }
}

} // namespace virelon::widgets
