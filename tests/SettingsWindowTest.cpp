// The Widgets body of the settings screen, shown offscreen over fake services: what the widgets
// add to the screen's state (keys, drags, the accessible objects, translation). Orca's own speech
// over the real application (each announcement, keys, the Tab walk) is heard by
// tests/e2e/orca_test.py; the rows are read by hung_services_test.py.

#include "SettingsWindow.h"
#include "DisplayCheck.h"
#include "FakeScreenServices.h"
#include "FakeSettingsPlatform.h"
#include "Translation.h"

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

class SettingsWindowTest : public ::testing::Test {
protected:
    /// Opens and shows a window; waits for the launch task to have listed the voices.
    widgets::SettingsWindow& openShown() {
        app.emplace();
        window = std::make_unique<widgets::SettingsWindow>(
            app->body(), widgets::HostServices{fakes.voices, fakes.locale, fakes.bundle});
        fakes.voices.duringListing = [w = window.get(), this] {
            exposedAtListing = w->windowHandle()->isExposed();
        };
        window->show();
        EXPECT_EQ(fakes.voices.updates, 0) << "the launch task waits for the event loop";
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return fakes.voices.listings == 1 && !window->screen().refreshing(); }));
        EXPECT_TRUE(exposedAtListing) << "the window is on screen before the voices are listed";
        return *window;
    }
    QSlider* slider(int index) const { return window->findChildren<QSlider*>().at(index); }
    int sets(const std::string& key) const {
        return int(std::count(world->events.begin(), world->events.end(), "set " + key));
    }

    int argc = 1;
    char* argv[2] = {const_cast<char*>("settings_window_test"), nullptr};
    QApplication qt{argc, argv};
    std::shared_ptr<test::FakeWorld> world = test::installFakeSettingsPlatform();
    test::FakeServices fakes;
    std::optional<VirelonIOSApp> app;
    std::unique_ptr<widgets::SettingsWindow> window;
    std::atomic<bool> exposedAtListing = false;
};

TEST_F(SettingsWindowTest, EachSliderStoresItsOwnKeyHoweverItMoves) {
    auto& w = openShown();
    const char* keys[] = {"intonation", "headSizePercent", "voicing", "wordPause", "phrasePause"};
    for (int i = 0; i < 5; ++i) {
        QAccessible::queryAccessibleInterface(slider(i))->valueInterface()->setCurrentValue(37);
        EXPECT_EQ(sets(keys[i]), 1) << keys[i];
        EXPECT_EQ(world->stored.at(keys[i]), StoredValue{std::int64_t{37}});
    }
    // A drag stores every value it passes, not only where it is let go.
    slider(1)->setSliderDown(true);
    for (const int position : {51, 52, 53, 52})
        slider(1)->setSliderPosition(position);
    slider(1)->setSliderDown(false);
    EXPECT_EQ(sets("headSizePercent"), 5);
    EXPECT_EQ(w.screen().headSize(), 52);
}

TEST_F(SettingsWindowTest, KeypadEnterRefreshesAndThePickerFollowsTheVoicesAndTheField) {
    fakes.voices.installed = {voice("m/Amy", "Amy", "en-GB")};
    auto& w = openShown();
    fakes.voices.installed = {voice("z/Zoe", "Zoe", "fr-FR"), voice("m/Bea", "Bea", "en-GB")};
    QTest::keyClick(w.findChild<QPushButton*>(), Qt::Key_Enter, Qt::KeypadModifier);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return fakes.voices.listings == 2 && !w.screen().refreshing(); }));
    auto* combo = w.findChild<QComboBox*>();
    ASSERT_EQ(combo->count(), 2);
    EXPECT_EQ(combo->itemData(1).toString(), "z/Zoe");
    EXPECT_EQ(combo->currentText(), "English (United Kingdom), Bea");
    EXPECT_EQ(world->stored.at("fallbackVoiceIdentifier"), StoredValue{std::string("m/Bea")});
    w.screen().fallbackVoiceIdentifier.set("z/Zoe");
    EXPECT_EQ(combo->accessibleDescription(), "French (France), Zoe");
    w.screen().fallbackVoiceIdentifier.set("");
    EXPECT_EQ(combo->currentIndex(), -1);
}

TEST_F(SettingsWindowTest, GermanTranslatesTheKeysButNotTheVerbatimTexts) {
    EXPECT_EQ(widgets::loadTranslation(QLocale(QLocale::English, QLocale::UnitedStates)), nullptr);
    auto german = widgets::loadTranslation(QLocale(QLocale::German, QLocale::Germany));
    ASSERT_NE(german, nullptr);
    QCoreApplication::installTranslator(german.get());
    fakes.voices.installed = {voice("m/Kate", "Kate", "en-GB")};
    auto& w = openShown();
    QStringList texts = {w.findChild<QPushButton*>()->text(), w.windowTitle(),
                         w.findChild<QComboBox*>()->currentText()};
    for (auto* label : w.findChildren<QLabel*>())
        texts << label->text();
    for (auto* box : w.findChildren<QGroupBox*>())
        texts << box->title();
    for (const char* text : {"Virelon-Stimmen aktualisieren", "Zustand", "Sprachausgabe",
                             "Ersatzstimme", "Sprechtempo", "Über", "Virelon is ready.",
                             "Intonation", "English (United Kingdom), Kate"})
        EXPECT_TRUE(texts.contains(text)) << text;
    QCoreApplication::removeTranslator(german.get());
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
