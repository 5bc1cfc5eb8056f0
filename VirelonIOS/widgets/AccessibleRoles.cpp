#include "widgets/AccessibleRoles.h"

#include <QAccessibleWidget>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>

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

// An AT-SPI event names the application it comes from as (bus name, root object).
struct ApplicationReference {
    QString busName;
    QDBusObjectPath root;
};

QDBusArgument& operator<<(QDBusArgument& argument, const ApplicationReference& reference) {
    argument.beginStructure();
    argument << reference.busName << reference.root;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, ApplicationReference& reference) {
    argument.beginStructure();
    argument >> reference.busName >> reference.root;
    argument.endStructure();
    return argument;
}

} // namespace
} // namespace virelon::widgets

Q_DECLARE_METATYPE(virelon::widgets::ApplicationReference)

namespace virelon::widgets {

void sayDescription(QWidget& widget, const QString& description) {
    // The connection Qt's bridge opens to the accessibility bus, and its object paths.
    QDBusConnection bridge(QStringLiteral("a11y"));
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(&widget);
    if (!bridge.isConnected() || accessible == nullptr)
        return;
    static const QMetaType registered = qDBusRegisterMetaType<ApplicationReference>();
    (void)registered;
    const QString prefix = QStringLiteral("/org/a11y/atspi/accessible/");
    QDBusMessage event = QDBusMessage::createSignal(
        prefix + QString::number(QAccessible::uniqueId(accessible)),
        QStringLiteral("org.a11y.atspi.Event.Object"), QStringLiteral("PropertyChange"));
    event << QStringLiteral("accessible-description") << 0 << 0
          << QVariant::fromValue(QDBusVariant(description))
          << QVariant::fromValue(
                 ApplicationReference{bridge.baseService(), QDBusObjectPath(prefix + "root")});
    bridge.send(event);
}

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
