#include "widgets/AccessibleRoles.h"

#include <QAccessibleWidget>

namespace virelon::widgets {

namespace {

class RoleLabelInterface final : public QAccessibleWidget {
public:
    explicit RoleLabelInterface(RoleLabel* label)
        : QAccessibleWidget(label, label->accessibleRole()) {}

    QString text(QAccessible::Text kind) const override {
        if (kind == QAccessible::Name) {
            const auto* label = static_cast<const RoleLabel*>(widget());
            return label->accessibleName().isEmpty() ? label->text() : label->accessibleName();
        }
        return QAccessibleWidget::text(kind);
    }
};

class NotificationInterface final : public QAccessibleWidget {
public:
    explicit NotificationInterface(NotificationSpot* spot)
        : QAccessibleWidget(spot, QAccessible::Notification) {}

    QString text(QAccessible::Text kind) const override {
        if (kind == QAccessible::Name)
            return static_cast<const NotificationSpot*>(widget())->message();
        return QAccessibleWidget::text(kind);
    }
};

QAccessibleInterface* makeInterface(const QString& className, QObject* object) {
    if (className == QLatin1String(RoleLabel::staticMetaObject.className())) {
        if (auto* label = qobject_cast<RoleLabel*>(object))
            return new RoleLabelInterface(label);
    }
    if (className == QLatin1String(NotificationSpot::staticMetaObject.className())) {
        if (auto* spot = qobject_cast<NotificationSpot*>(object))
            return new NotificationInterface(spot);
    }
    return nullptr;
}

} // namespace

void installAccessibleRoles() {
    static const bool installed = [] {
        QAccessible::installFactory(makeInterface);
        return true;
    }();
    (void)installed;
}

RoleLabel::RoleLabel(QAccessible::Role role, QWidget* parent) : QLabel(parent), role_(role) {
    installAccessibleRoles();
    setTextFormat(Qt::PlainText);
}

NotificationSpot::NotificationSpot(const QString& message, QWidget* parent)
    : QWidget(parent), message_(message) {
    installAccessibleRoles();
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

} // namespace virelon::widgets
