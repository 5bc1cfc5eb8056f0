#pragma once

// One window of the window group: its own runtime and a fresh settings screen, drawn as widgets.
// The widgets are made from the first description and updated from a new description after
// every update; the screen's state stays the only copy of the truth.

#include "core/VirelonIOSApp.h"
#include "runtime/Runtime.h"
#include "widgets/NotificationAnnouncer.h"
#include "widgets/RowWidgets.h"

#include <QMainWindow>

#include <memory>
#include <vector>

class QGroupBox;

namespace virelon::widgets {

class RoleLabel;

/// The platform services every window shares; each window adds its own announcer.
struct HostServices {
    platform::SpeechVoices& voices;
    platform::LocaleServices& locale;
    const platform::BundleInfo& bundle;
};

class SettingsWindow final : public QMainWindow {
    Q_OBJECT
public:
    /// Creates the screen from the group's content and its widgets from the first description.
    /// The launch task starts once the window has been exposed, from the event loop.
    SettingsWindow(const WindowGroup& group, const HostServices& services,
                   QWidget* parent = nullptr);
    ~SettingsWindow() override;

    ContentView& screen() { return *screen_; }
    ui::Runtime& runtime() { return runtime_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void build(const ui::ScreenDescription& screen);
    void apply(const ui::ScreenDescription& screen);

    // Declared in the order they depend on each other; destroyed in reverse.
    ui::Runtime runtime_;
    NotificationAnnouncer announcer_;
    std::unique_ptr<ContentView> screen_;
    RoleLabel* heading_ = nullptr;
    std::vector<QGroupBox*> sections_;
    std::vector<std::vector<std::unique_ptr<RowWidgets>>> rows_; // per section
};

} // namespace virelon::widgets
