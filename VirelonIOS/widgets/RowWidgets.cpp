#include "widgets/RowWidgets.h"

#include "widgets/AccessibleRoles.h"
#include "widgets/Translation.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QTimer>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace virelon::widgets {

RowWidgets::~RowWidgets() {
    for (const auto& connection : connections_)
        QObject::disconnect(connection);
}

namespace {

constexpr int sliderPageStep = 10;

QLabel* plainLabel(QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    return label;
}

// Setting the same description again would still send a DescriptionChanged event.
void setDescription(QWidget& widget, const QString& description) {
    if (widget.accessibleDescription() != description)
        widget.setAccessibleDescription(description);
}

void setName(QWidget& widget, const QString& name) {
    if (widget.accessibleName() != name)
        widget.setAccessibleName(name);
}

int wholeNumber(double value) {
    return static_cast<int>(std::lround(value));
}

/// A label, and its value beside it; the value is read with the label (buddy relation).
class LabeledRowWidgets final : public RowWidgets {
public:
    explicit LabeledRowWidgets(QFormLayout& form)
        : label_(plainLabel(form.parentWidget())), value_(plainLabel(form.parentWidget())) {
        label_->setBuddy(value_);
        form.addRow(label_, value_);
    }

    void apply(const ui::Row& row) override {
        const auto* labeled = std::get_if<ui::LabeledRow>(&row);
        if (labeled == nullptr)
            return;
        label_->setText(translated(labeled->labelKey));
        value_->setText(verbatim(labeled->value));
    }

private:
    QLabel* label_;
    QLabel* value_;
};

/// One wrapped line; the status line is a label with the status bar role.
class TextRowWidgets final : public RowWidgets {
public:
    TextRowWidgets(const ui::TextRow& row, QFormLayout& form)
        : text_(row.isStatus ? new RoleLabel(QAccessible::StatusBar, form.parentWidget())
                             : plainLabel(form.parentWidget())) {
        text_->setWordWrap(true);
        form.addRow(text_);
    }

    void apply(const ui::Row& row) override {
        const auto* text = std::get_if<ui::TextRow>(&row);
        if (text == nullptr)
            return;
        text_->setText(text->translatable ? translated(text->text) : verbatim(text->text));
    }

private:
    QLabel* text_;
};

class ButtonRowWidgets final : public RowWidgets {
public:
    ButtonRowWidgets(ui::Runtime& runtime, QFormLayout& form)
        : button_(new QPushButton(form.parentWidget())) {
        // Return and keypad Enter press it, as space does; outside a dialog only an auto-default
        // button answers them.
        button_->setAutoDefault(true);
        // Kept at its natural width rather than spanning the section.
        auto* line = new QHBoxLayout;
        line->addWidget(button_);
        line->addStretch();
        form.addRow(line);
        connections_.push_back(QObject::connect(button_, &QPushButton::clicked, [this, &runtime] {
            // A copy: the update redraws, which replaces the row.
            const auto action = row_.action;
            if (action)
                runtime.update(action);
        }));
    }

    void apply(const ui::Row& row) override {
        const auto* button = std::get_if<ui::ButtonRow>(&row);
        if (button == nullptr)
            return;
        row_ = *button;
        button_->setText(translated(button->titleKey));
    }

private:
    QPushButton* button_;
    ui::ButtonRow row_;
};

/// Orca reads neither name nor description changes of a combo box, and Qt 6.4 gives it no
/// selection interface: opening the list reads the list, not the current voice. Giving the current
/// item the focus event once the list is open has it read. A letter typed while the list is closed
/// chooses the next voice whose name begins with what was typed, as an arrow key would: Qt's own
/// search goes through the hidden list, whose item then takes the screen reader's focus.
class VoiceComboBox final : public QComboBox {
public:
    using QComboBox::QComboBox;

    bool isListOpen() const { return view()->isVisible(); }
    /// Whether the current change comes from a key or the wheel on the closed combo box.
    bool changingWhileClosed() const { return changingWhileClosed_; }

    void showPopup() override {
        QComboBox::showPopup();
        // After the list's own focus event, which the open call queues.
        QTimer::singleShot(0, this, [this] {
            if (!isListOpen() || currentIndex() < 0)
                return;
            QAccessibleEvent event(view(), QAccessible::Focus);
            event.setChild(currentIndex());
            QAccessible::updateAccessibility(&event);
        });
    }

protected:
    void keyPressEvent(QKeyEvent* event) override {
        const QString text = event->text();
        // Space opens the list, as Qt has it.
        const bool typed = !text.isEmpty() && text.at(0).isPrint() &&
                           event->key() != Qt::Key_Space &&
                           !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier));
        if (isListOpen() || !typed) {
            whileClosed([&] { QComboBox::keyPressEvent(event); });
            return;
        }
        // Letters typed in quick succession search together; a new search starts past the
        // current voice.
        search_ =
            searchTimer_.isValid() && searchTimer_.elapsed() < QApplication::keyboardInputInterval()
                ? search_ + text
                : text;
        searchTimer_.start();
        const int start = std::max(currentIndex() + (search_.size() == 1 ? 1 : 0), 0);
        for (int step = 0; step < count(); ++step) {
            const int index = (start + step) % count();
            if (itemText(index).startsWith(search_, Qt::CaseInsensitive)) {
                whileClosed([&] { setCurrentIndex(index); });
                break;
            }
        }
        event->accept();
    }

    void wheelEvent(QWheelEvent* event) override {
        whileClosed([&] { QComboBox::wheelEvent(event); });
    }

private:
    template <typename Change>
    void whileClosed(const Change& change) {
        changingWhileClosed_ = !isListOpen();
        change();
        changingWhileClosed_ = false;
    }

    bool changingWhileClosed_ = false;
    QString search_;
    QElapsedTimer searchTimer_;
};

/// A combo box of display names, each item carrying its tag. A change made with the list closed
/// (keys, wheel) has its display name said alone, as the screen reader says a native combo box's;
/// one chosen in the list is read by the screen reader itself as the focus comes back.
class PickerRowWidgets final : public RowWidgets {
public:
    PickerRowWidgets(ui::Runtime& runtime, QFormLayout& form)
        : title_(plainLabel(form.parentWidget())), combo_(new VoiceComboBox(form.parentWidget())) {
        // Long voice names must not widen the window.
        combo_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        combo_->setMinimumContentsLength(24);
        title_->setBuddy(combo_);
        form.addRow(title_, combo_);
        connections_.push_back(
            QObject::connect(combo_, &QComboBox::currentIndexChanged, [this, &runtime](int index) {
                const auto set = row_.selection.set;
                if (index < 0 || !set)
                    return;
                // Before the update, whose own announcements (a failed store) come after it.
                if (combo_->changingWhileClosed())
                    sayDescription(*combo_, combo_->itemText(index));
                const std::string tag = combo_->itemData(index).toString().toStdString();
                runtime.update([&] { set(tag); });
            }));
    }

    void apply(const ui::Row& row) override {
        const auto* picker = std::get_if<ui::PickerRow>(&row);
        if (picker == nullptr)
            return;
        row_ = *picker;
        const QSignalBlocker blocker(combo_);
        title_->setText(translated(picker->titleKey));
        if (!showsItems(picker->items)) {
            combo_->clear();
            for (const auto& item : picker->items)
                combo_->addItem(verbatim(item.displayName), verbatim(item.tag));
        }
        const std::string selected = picker->selection.get ? picker->selection.get() : "";
        combo_->setCurrentIndex(selected.empty() ? -1 : combo_->findData(verbatim(selected)));
        combo_->setEnabled(!picker->disabled);
        // Orca reads a closed combo box's value only from its description.
        setDescription(*combo_, combo_->currentText());
    }

private:
    bool showsItems(const std::vector<ui::PickerItem>& items) const {
        if (static_cast<std::size_t>(combo_->count()) != items.size())
            return false;
        for (int index = 0; index < combo_->count(); ++index) {
            const auto& item = items[static_cast<std::size_t>(index)];
            if (combo_->itemText(index) != verbatim(item.displayName) ||
                combo_->itemData(index).toString() != verbatim(item.tag))
                return false;
        }
        return true;
    }

    QLabel* title_;
    VoiceComboBox* combo_;
    ui::PickerRow row_;
};

/// A horizontal slider named by its title, showing no number of its own. Its accessible value is
/// the whole number within 0...100, its description the row's translated "N percent" text: Orca
/// reads both on focus ("Head size slider 50. 50 percent."), then the number alone on each change
/// (it drops a focused widget's description changes).
class SliderRowWidgets final : public RowWidgets {
public:
    SliderRowWidgets(ui::Runtime& runtime, QFormLayout& form)
        : title_(plainLabel(form.parentWidget())),
          slider_(new QSlider(Qt::Horizontal, form.parentWidget())) {
        slider_->setPageStep(sliderPageStep);
        title_->setBuddy(slider_);
        form.addRow(title_, slider_);
        // Every value reported (drag, keys, accessibility) is one write.
        connections_.push_back(
            QObject::connect(slider_, &QSlider::valueChanged, [this, &runtime](int value) {
                const auto set = row_.value.set;
                if (set)
                    runtime.update([&] { set(static_cast<double>(value)); });
            }));
    }

    void apply(const ui::Row& row) override {
        const auto* slider = std::get_if<ui::SliderRow>(&row);
        if (slider == nullptr)
            return;
        row_ = *slider;
        const QSignalBlocker blocker(slider_);
        title_->setText(verbatim(slider->title));
        setName(*slider_, verbatim(slider->title));
        slider_->setRange(wholeNumber(slider->lowerBound), wholeNumber(slider->upperBound));
        slider_->setSingleStep(std::max(1, wholeNumber(slider->step)));
        if (slider->value.get)
            slider_->setValue(wholeNumber(slider->value.get()));
        setDescription(*slider_, verbatim(ui::formatPercent(
                                     translated(slider->accessibilityValueKey).toStdString(),
                                     slider->accessibilityValueArgument)));
    }

private:
    QLabel* title_;
    QSlider* slider_;
    ui::SliderRow row_;
};

} // namespace

std::unique_ptr<RowWidgets> makeRowWidgets(const ui::Row& row, ui::Runtime& runtime,
                                           QFormLayout& form) {
    return std::visit(
        [&](const auto& kind) -> std::unique_ptr<RowWidgets> {
            using Kind = std::decay_t<decltype(kind)>;
            if constexpr (std::is_same_v<Kind, ui::LabeledRow>)
                return std::make_unique<LabeledRowWidgets>(form);
            else if constexpr (std::is_same_v<Kind, ui::TextRow>)
                return std::make_unique<TextRowWidgets>(kind, form);
            else if constexpr (std::is_same_v<Kind, ui::ButtonRow>)
                return std::make_unique<ButtonRowWidgets>(runtime, form);
            else if constexpr (std::is_same_v<Kind, ui::PickerRow>)
                return std::make_unique<PickerRowWidgets>(runtime, form);
            else
                return std::make_unique<SliderRowWidgets>(runtime, form);
        },
        row);
}

} // namespace virelon::widgets
