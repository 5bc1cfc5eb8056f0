#pragma once

// Roles that Qt's own widgets cannot take: a heading, a status line and a notification. Each is a
// small widget class of ours, and a QAccessible factory gives objects of these classes their role.
// The factory is keyed on our class names, so Qt's own factory never claims them first.

#include <QAccessible>
#include <QLabel>
#include <QString>
#include <QWidget>

namespace virelon::widgets {

/// A label read with a role of its own (Heading, StatusBar); its accessible name is its text.
/// Shows plain text only.
class RoleLabel : public QLabel {
    Q_OBJECT
public:
    RoleLabel(QAccessible::Role role, QWidget* parent);
    QAccessible::Role accessibleRole() const { return role_; }

private:
    QAccessible::Role role_;
};

/// An object read as a notification whose name is its message, fixed for its life. Draws nothing:
/// the message is for assistive technology, the status line shows it on screen.
class NotificationSpot : public QWidget {
    Q_OBJECT
public:
    NotificationSpot(const QString& message, QWidget* parent);
    const QString& message() const { return message_; }

private:
    const QString message_;
};

/// Has the screen reader say `description`, the widget's new description, and nothing more when
/// the widget has the focus. Qt 6.4's bridge sends a description change without its text, which
/// Orca drops; this sends the same AT-SPI event with the text, over the bridge's own connection.
/// Does nothing while no bridge is connected.
void sayDescription(QWidget& widget, const QString& description);

/// Installs the factory for the classes above, once per process. Their constructors call it, so
/// no interface is made for them before the factory is in place.
void installAccessibleRoles();

} // namespace virelon::widgets
