// The Widgets body of the settings screen, shown offscreen over fake services: what the widgets
// add to the screen's state (keys, drags, the accessible objects, translation). Orca's own speech
// over the real application (each announcement, keys, the Tab walk) is heard by
// tests/e2e/orca_test.py; the rows are read by hung_services_test.py.

#include "widgets/SettingsWindow.h"
#include "support/FakeScreenServices.h"
#include "support/FakeSettingsPlatform.h"
#include "widgets/DisplayCheck.h"
#include "widgets/Translation.h"

#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QWindow>

#include <gtest/gtest.h>

using namespace virelon;
using platform::StoredValue;
using test::voice;

namespace {

// In German: the keys translated (a slider's percentage too), the verbatim texts not; each slider
// stores its own key however it moves; keypad Enter refreshes and the picker follows the voices and
// the field.
TEST(SettingsWindow, TranslatedSlidersAndPickerStoreAndFollowTheScreen) {
    int argc = 1;
    char* argv[] = {const_cast<char*>("settings_window_test"), nullptr};
    QApplication qt(argc, argv);
    const auto world = test::installFakeSettingsPlatform();
    test::FakeServices fakes;
    EXPECT_EQ(widgets::loadTranslation(QLocale(QLocale::English, QLocale::UnitedStates)), nullptr);
    auto german = widgets::loadTranslation(QLocale(QLocale::German, QLocale::Germany));
    ASSERT_NE(german, nullptr);
    QCoreApplication::installTranslator(german.get());
    fakes.voices.installed = {voice("m/Kate", "Kate", "en-GB")};
    VirelonIOSApp app;
    widgets::SettingsWindow w(app.body(), {fakes.voices, fakes.locale, fakes.bundle});
    std::atomic<bool> exposedAtListing = false;
    fakes.voices.duringListing = [&] { exposedAtListing = w.windowHandle()->isExposed(); };
    w.show();
    EXPECT_EQ(world->reloadRequests, 0) << "the launch task waits for the event loop";
    const auto listed = [&](int listings) {
        return QTest::qWaitFor(
            [&] { return fakes.voices.listings == listings && !w.screen().refreshing(); });
    };
    ASSERT_TRUE(listed(1));
    EXPECT_TRUE(exposedAtListing) << "the window is on screen before the voices are listed";
    auto* combo = w.findChild<QComboBox*>();
    QStringList texts = {w.findChild<QPushButton*>()->text(), w.windowTitle(),
                         combo->currentText()};
    for (auto* label : w.findChildren<QLabel*>())
        texts << label->text();
    for (auto* box : w.findChildren<QGroupBox*>())
        texts << box->title();
    for (auto* slider : w.findChildren<QSlider*>())
        texts << slider->accessibleDescription();
    for (const char* text : {"Virelon-Stimmen aktualisieren", "Zustand", "Sprachausgabe",
                             "Ersatzstimme", "Sprechtempo", "Über", "Virelon is ready.",
                             "Intonation", "English (United Kingdom), Kate", "50 Prozent"})
        EXPECT_TRUE(texts.contains(text)) << text;
    QCoreApplication::removeTranslator(german.get());

    const auto sets = [&](const std::string& key) {
        return std::count(world->events.begin(), world->events.end(), "set " + key);
    };
    const auto sliders = w.findChildren<QSlider*>();
    const char* keys[] = {"intonation", "headSizePercent", "voicing", "wordPause", "phrasePause"};
    for (int i = 0; i < 5; ++i) {
        QAccessible::queryAccessibleInterface(sliders.at(i))->valueInterface()->setCurrentValue(37);
        EXPECT_EQ(sets(keys[i]), 1) << keys[i];
        EXPECT_EQ(world->stored.at(keys[i]), StoredValue{std::int64_t{37}});
    }
    // A drag stores every value it passes, not only where it is let go.
    sliders.at(1)->setSliderDown(true);
    for (const int position : {51, 52, 53, 52})
        sliders.at(1)->setSliderPosition(position);
    sliders.at(1)->setSliderDown(false);
    EXPECT_EQ(sets("headSizePercent"), 5);
    EXPECT_EQ(w.screen().headSize(), 52);

    fakes.voices.installed = {voice("z/Zoe", "Zoe", "fr-FR"), voice("m/Bea", "Bea", "en-GB")};
    QTest::keyClick(w.findChild<QPushButton*>(), Qt::Key_Enter, Qt::KeypadModifier);
    ASSERT_TRUE(listed(2));
    ASSERT_EQ(combo->count(), 2);
    EXPECT_EQ(combo->itemData(1).toString(), "z/Zoe");
    EXPECT_EQ(combo->currentText(), "English (United Kingdom), Bea");
    EXPECT_EQ(world->stored.at("fallbackVoiceIdentifier"), StoredValue{std::string("m/Bea")});
    w.screen().fallbackVoiceIdentifier.set("z/Zoe");
    EXPECT_EQ(combo->accessibleDescription(), "French (France), Zoe");
    w.screen().fallbackVoiceIdentifier.set("");
    EXPECT_EQ(combo->currentIndex(), -1);

    // Closed during its launch's listing, a window lets the refresh end first: the voice is
    // stored and signalled (twice, as at every launch) before it goes.
    world->stored.erase("fallbackVoiceIdentifier");
    fakes.voices.duringListing = [] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    };
    const int posts = world->posts;
    {
        widgets::SettingsWindow closed(app.body(), {fakes.voices, fakes.locale, fakes.bundle});
        closed.show();
        ASSERT_TRUE(QTest::qWaitFor([&] { return fakes.voices.listings == 3; }));
        closed.close();
    }
    ASSERT_TRUE(world->stored.contains("fallbackVoiceIdentifier"));
    EXPECT_EQ(world->stored.at("fallbackVoiceIdentifier"), StoredValue{std::string("m/Bea")});
    EXPECT_EQ(world->posts - posts, 2);
}

TEST(DisplayCheck, SaysHowToGetADisplayOnlyWhenThereIsNone) {
    for (const auto& [variable, value, told] : {std::tuple{"HOME", "/root", true},
                                                {"DISPLAY", "", true},
                                                {"DISPLAY", ":0", false},
                                                {"WAYLAND_DISPLAY", "wayland-0", false},
                                                {"QT_QPA_PLATFORM", "offscreen", false}}) {
        const auto message =
            widgets::missingDisplayMessage("virelon-voices", [&](const char* name) {
                return name == std::string_view(variable) ? value : nullptr;
            });
        EXPECT_EQ(message.has_value(), told) << variable;
        EXPECT_TRUE(!told || (message->find("xvfb-run -a virelon-voices") != std::string::npos &&
                              message->find("QT_QPA_PLATFORM=offscreen virelon-voices") !=
                                  std::string::npos));
    }
}

} // namespace
