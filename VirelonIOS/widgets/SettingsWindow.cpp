#include "widgets/SettingsWindow.h"

#include "widgets/AccessibleRoles.h"
#include "widgets/FirstFrameReport.h"
#include "widgets/Translation.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>

namespace virelon::widgets {

namespace {
constexpr double headingScale = 1.6;
// The voice list arrives after the first frame: leave room for a voice name from the start.
constexpr int narrowestStartWidth = 520;
constexpr int tallestStartHeight = 760;
} // namespace

SettingsWindow::SettingsWindow(const WindowGroup& group, const HostServices& services,
                               QWidget* parent)
    : QMainWindow(parent), announcer_(*this),
      screen_(group.content(runtime_, ScreenServices{services.voices, services.locale,
                                                     services.bundle, announcer_})) {
    build(screen_->body());
    runtime_.onRedraw([this] { apply(screen_->body()); });
    // Queued work (the launch task, a refresh's listing) runs from the event loop, never inside
    // the call that queued it; a listing is queued from its worker thread.
    runtime_.setWakeUp([this] {
        QMetaObject::invokeMethod(
            this, [this] { runtime_.runPending(); }, Qt::QueuedConnection);
    });
}

SettingsWindow::~SettingsWindow() {
    // Closing the window does not cancel the refresh under way (the launch's among them): its
    // choice is stored and signalled before the window, and then the process, goes.
    screen_->completeRefresh();
}

void SettingsWindow::build(const ui::ScreenDescription& screen) {
    auto* column = new QWidget;
    auto* layout = new QVBoxLayout(column);

    heading_ = new RoleLabel(QAccessible::Heading, column);
    QFont headingFont = heading_->font();
    headingFont.setPointSizeF(headingFont.pointSizeF() * headingScale);
    headingFont.setBold(true);
    heading_->setFont(headingFont);
    layout->addWidget(heading_);

    for (const auto& section : screen.sections) {
        auto* box = new QGroupBox(column);
        auto* form = new QFormLayout(box);
        form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
        auto& rows = rows_.emplace_back();
        for (const auto& row : section.rows)
            rows.push_back(makeRowWidgets(row, runtime_, *form));
        layout->addWidget(box);
        sections_.push_back(box);
    }
    layout->addStretch();

    auto* scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    // Tab goes from control to control; the area scrolls to the focused one.
    scroll->setFocusPolicy(Qt::NoFocus);
    scroll->setWidget(column);
    setCentralWidget(scroll);

    apply(screen);
    const QSize natural = column->sizeHint();
    resize(std::max(natural.width() + scroll->verticalScrollBar()->sizeHint().width(),
                    narrowestStartWidth),
           std::min(natural.height(), tallestStartHeight));
}

void SettingsWindow::apply(const ui::ScreenDescription& screen) {
    const QString title = translated(screen.navigationTitleKey);
    if (windowTitle() != title)
        setWindowTitle(title);
    heading_->setText(title);
    const auto sections = std::min(screen.sections.size(), sections_.size());
    for (std::size_t s = 0; s < sections; ++s) {
        const auto& section = screen.sections[s];
        sections_[s]->setTitle(translated(section.titleKey));
        const auto rows = std::min(section.rows.size(), rows_[s].size());
        for (std::size_t r = 0; r < rows; ++r)
            rows_[s][r]->apply(section.rows[r]);
    }
}

void SettingsWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // The screen counts as shown once the window is really on screen, after its first frame (the
    // runtime takes only the first such report).
    afterFirstFrame(*this, [this] { runtime_.screenShown(); });
}

} // namespace virelon::widgets
