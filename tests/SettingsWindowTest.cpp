// The Widgets body of the settings screen, shown offscreen over fake services, inspected the way
// a person and a screen reader meet it: texts, keys, focus and the accessible tree.

#include "SettingsWindow.h"
#include "AccessibleRoles.h"
#include "DisplayCheck.h"
#include "FakeScreenServices.h"
#include "FakeSettingsPlatform.h"
#include "NotificationAnnouncer.h"
#include "ScreenTexts.h"
#include "Translation.h"

#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QSlider>
#include <QTest>
#include <QWindow>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>

// Readable failure messages for Qt strings (found by argument-dependent lookup).
void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

using namespace virelon;
using platform::StoredValue;
using test::voice;
using widgets::SettingsWindow;

namespace {

// One application for the process, made before the first test and gone before static
// destruction (Qt's own globals must outlive it).
class QtEnvironment final : public ::testing::Environment {
public:
    void SetUp() override { application_ = std::make_unique<QApplication>(argc_, argv_); }
    void TearDown() override { application_.reset(); }

private:
    int argc_ = 1;
    char name_[21] = "settings_window_test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> application_;
};
[[maybe_unused]] auto* const qtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

bool waitFor(const std::function<bool()>& condition) {
    return QTest::qWaitFor(condition, 5000);
}

// ---- Reading the window as a person does: the column top to bottom.

QString describeField(QWidget* field) {
    if (auto* label = qobject_cast<QLabel*>(field))
        return label->text();
    if (auto* combo = qobject_cast<QComboBox*>(field))
        return "combo " + combo->currentText() + (combo->isEnabled() ? "" : " (disabled)");
    if (auto* slider = qobject_cast<QSlider*>(field))
        return "slider " + QString::number(slider->value());
    if (auto* button = qobject_cast<QPushButton*>(field))
        return "[" + button->text() + "]";
    return "?";
}

QWidget* widgetOf(QLayoutItem* item) {
    if (item == nullptr)
        return nullptr;
    if (item->widget() != nullptr)
        return item->widget();
    return item->layout() != nullptr ? widgetOf(item->layout()->itemAt(0)) : nullptr;
}

std::vector<QString> describe(SettingsWindow& window) {
    std::vector<QString> lines;
    auto* column = window.findChild<QScrollArea*>()->widget();
    for (int i = 0; i < column->layout()->count(); ++i) {
        QWidget* item = column->layout()->itemAt(i)->widget();
        if (auto* box = qobject_cast<QGroupBox*>(item)) {
            lines.push_back("# " + box->title());
            auto* form = qobject_cast<QFormLayout*>(box->layout());
            for (int row = 0; row < form->rowCount(); ++row) {
                if (auto* span = widgetOf(form->itemAt(row, QFormLayout::SpanningRole))) {
                    lines.push_back(describeField(span));
                    continue;
                }
                auto* label =
                    qobject_cast<QLabel*>(widgetOf(form->itemAt(row, QFormLayout::LabelRole)));
                auto* field = widgetOf(form->itemAt(row, QFormLayout::FieldRole));
                lines.push_back(label->text() + " | " + describeField(field));
                EXPECT_EQ(label->buddy(), field) << label->text().toStdString();
            }
        } else if (auto* heading = qobject_cast<QLabel*>(item)) {
            lines.push_back("= " + heading->text());
        }
    }
    return lines;
}

// ---- Reading the window as a screen reader does.

std::vector<QAccessibleInterface*> accessibleTree(QObject* root) {
    std::vector<QAccessibleInterface*> all;
    std::function<void(QAccessibleInterface*)> walk = [&](QAccessibleInterface* node) {
        if (node == nullptr)
            return;
        all.push_back(node);
        for (int i = 0; i < node->childCount(); ++i)
            walk(node->child(i));
    };
    walk(QAccessible::queryAccessibleInterface(root));
    return all;
}

QAccessibleInterface* findAccessible(QObject* root, QAccessible::Role role,
                                     const QString& name = {}) {
    for (auto* node : accessibleTree(root)) {
        if (node->role() == role && (name.isNull() || node->text(QAccessible::Name) == name))
            return node;
    }
    return nullptr;
}

/// The text of the label that labels `node` (its buddy label), if any. A group box around it
/// labels it too; that one is not meant here.
QString labelOf(QAccessibleInterface* node) {
    for (const auto& [other, relation] : node->relations(QAccessible::Label)) {
        if (other->role() == QAccessible::StaticText)
            return other->text(QAccessible::Name);
    }
    return {};
}

/// What a screen reader announces first for a control: its label, or else its name.
QString labelOrName(QAccessibleInterface* node) {
    const QString label = labelOf(node);
    return label.isEmpty() ? node->text(QAccessible::Name) : label;
}

QSlider* sliderNamed(QWidget& window, const QString& name) {
    for (auto* slider : window.findChildren<QSlider*>()) {
        if (slider->accessibleName() == name)
            return slider;
    }
    return nullptr;
}

QString statusLine(QWidget& window) {
    auto* status = findAccessible(&window, QAccessible::StatusBar);
    return status != nullptr ? status->text(QAccessible::Name) : QString();
}

/// Presses "Refresh Virelon Voices" and waits for the refresh to finish.
void pressRefresh(SettingsWindow& window) {
    window.findChild<QPushButton*>()->click();
    EXPECT_TRUE(waitFor([&] { return !window.screen().refreshing(); }));
}

QString q(std::string_view text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

/// Notes whether the window was already exposed when the voices were first updated.
class ExposureNotingVoices final : public platform::SpeechVoices {
public:
    std::function<bool()> exposed;
    std::optional<bool> exposedAtFirstUpdate;
    void updateSpeechVoices() override {
        if (!exposedAtFirstUpdate)
            exposedAtFirstUpdate = exposed();
    }
    platform::VoiceListing speechVoices() override { return {{}, true, {}}; }
};

/// Translates every key into a marked text, to see which texts are looked up.
class MarkingTranslator final : public QTranslator {
public:
    QString translate(const char* context, const char* source, const char*, int) const override {
        return QString::fromUtf8(context) + ":" + QString::fromUtf8(source);
    }
    bool isEmpty() const override { return false; }
};

class SettingsWindowTest : public ::testing::Test {
protected:
    /// Creates the application (running the migration) and one window, not yet shown.
    SettingsWindow& open() {
        if (!app)
            app.emplace();
        window = std::make_unique<SettingsWindow>(
            app->body(), widgets::HostServices{fakes.voices, fakes.locale, fakes.bundle});
        return *window;
    }
    /// Opens, shows and waits for the launch task to have listed the voices.
    SettingsWindow& openShown() {
        auto& w = open();
        w.show();
        EXPECT_TRUE(
            waitFor([&] { return fakes.voices.listings == 1 && !w.screen().refreshing(); }));
        return w;
    }
    int sets(std::string_view key) const {
        return static_cast<int>(
            std::count(world->events.begin(), world->events.end(), "set " + std::string(key)));
    }

    std::shared_ptr<test::FakeWorld> world = test::installFakeSettingsPlatform();
    test::FakeServices fakes;
    std::optional<VirelonIOSApp> app;
    std::unique_ptr<SettingsWindow> window;
};

TEST_F(SettingsWindowTest, ShowsTheRowsTopToBottomWithTheirTexts) {
    world->stored = {{"intonation", std::int64_t{30}},
                     {"headSizePercent", std::int64_t{40}},
                     {"voicing", std::int64_t{50}},
                     {"wordPause", std::int64_t{60}},
                     {"phrasePause", std::int64_t{70}}};
    auto& w = open();
    const std::vector<QString> expected = {
        "= Virelon",
        "# Status",
        "Engine | Ready",
        "Languages | 25",
        "Voices | 52",
        "Processing | On device",
        "# VoiceOver",
        "[Refresh Virelon Voices]",
        "Virelon is ready.",
        "# Fallback",
        "Fallback Voice | combo  (disabled)",
        "This voice is used only if Virelon cannot produce speech.",
        "# Voice Controls",
        "Rate | VoiceOver",
        "Pitch | VoiceOver",
        "Volume | VoiceOver",
        "Intonation | slider 30",
        "Head size | slider 40",
        "Voicing | slider 50",
        "Word pause | slider 60",
        "Phrase pause | slider 70",
        "Changes apply to the next spoken utterance. Word and phrase pause are percentages of "
        "Virelon's supported pause ranges.",
        "# About",
        "Speech engine | Virelon",
        "Version | 2.1 (45)"};
    EXPECT_EQ(describe(w), expected);
    EXPECT_EQ(w.windowTitle(), "Virelon");
    EXPECT_TRUE(qobject_cast<QScrollArea*>(w.centralWidget()));
}

TEST_F(SettingsWindowTest, LaunchTaskRunsFromTheEventLoopAfterTheWindowIsExposed) {
    ExposureNotingVoices voices;
    app.emplace();
    SettingsWindow w(app->body(), widgets::HostServices{voices, fakes.locale, fakes.bundle});
    voices.exposed = [&] { return w.windowHandle() != nullptr && w.windowHandle()->isExposed(); };
    w.show();
    EXPECT_FALSE(voices.exposedAtFirstUpdate.has_value()) << "not inside show()";
    ASSERT_TRUE(waitFor([&] { return voices.exposedAtFirstUpdate.has_value(); }));
    EXPECT_TRUE(*voices.exposedAtFirstUpdate);
}

struct PickerCase {
    const char* name;
    std::vector<platform::Voice> installed;
    std::optional<std::string> stored;
    std::vector<QString> items;
    QString selectedTag;
};

void PrintTo(const PickerCase& c, std::ostream* out) {
    *out << c.name;
}

class SettingsWindowPicker : public SettingsWindowTest,
                             public ::testing::WithParamInterface<PickerCase> {};

TEST_P(SettingsWindowPicker, FollowsTheVoicesAndTheChosenVoice) {
    const auto& c = GetParam();
    fakes.voices.installed = c.installed;
    if (c.stored)
        world->stored["fallbackVoiceIdentifier"] = *c.stored;
    auto& w = openShown();
    auto* combo = w.findChild<QComboBox*>();
    std::vector<QString> items;
    for (int i = 0; i < combo->count(); ++i)
        items.push_back(combo->itemText(i));
    EXPECT_EQ(items, c.items);
    EXPECT_EQ(combo->isEnabled(), !c.items.empty());
    EXPECT_EQ(combo->currentData().toString(), c.selectedTag);
    EXPECT_EQ(combo->currentIndex() < 0, c.selectedTag.isEmpty());
    EXPECT_EQ(combo->accessibleDescription(), combo->currentText());
}

const PickerCase pickerCases[] = {
    {"NoVoices", {}, std::nullopt, {}, {}},
    {"KateChosenByName",
     {voice("m/Amy", "Amy", "en-GB"), voice("m/Kate", "Kate", "en-GB")},
     std::nullopt,
     {"English (United Kingdom), Amy", "English (United Kingdom), Kate"},
     "m/Kate"},
    {"StoredVoiceKept",
     {voice("z/Zoe", "Zoe", "fr-FR"), voice("m/Amy", "Amy", "en-GB")},
     "z/Zoe",
     {"English (United Kingdom), Amy", "French (France), Zoe"},
     "z/Zoe"},
};
INSTANTIATE_TEST_SUITE_P(Voices, SettingsWindowPicker, ::testing::ValuesIn(pickerCases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(SettingsWindowTest, PickerShowsChangesOfTheFieldAndStoresTheUsersChoice) {
    fakes.voices.installed = {voice("m/Amy", "Amy", "en-GB"), voice("m/Kate", "Kate", "en-GB"),
                              voice("z/Zoe", "Zoe", "fr-FR")};
    auto& w = openShown();
    auto* combo = w.findChild<QComboBox*>();

    w.screen().fallbackVoiceIdentifier.set("m/Amy");
    EXPECT_EQ(combo->currentText(), "English (United Kingdom), Amy");
    EXPECT_EQ(combo->accessibleDescription(), "English (United Kingdom), Amy");
    w.screen().fallbackVoiceIdentifier.set("");
    EXPECT_EQ(combo->currentIndex(), -1);

    const int postsBefore = world->posts;
    combo->setFocus();
    QTest::keyClick(combo, Qt::Key_Down);
    EXPECT_EQ(w.screen().fallbackVoiceIdentifier(), "m/Amy");
    QTest::keyClick(combo, Qt::Key_Down);
    EXPECT_EQ(w.screen().fallbackVoiceIdentifier(), "m/Kate");
    EXPECT_EQ(world->stored.at("fallbackVoiceIdentifier"), StoredValue{std::string("m/Kate")});
    EXPECT_EQ(world->posts - postsBefore, 2) << "one write per choice";
    EXPECT_EQ(combo->accessibleDescription(), "English (United Kingdom), Kate");
}

TEST_F(SettingsWindowTest, PickerItemsAreReplacedWhenTheVoicesChange) {
    fakes.voices.installed = {voice("m/Amy", "Amy", "en-GB")};
    auto& w = openShown();
    fakes.voices.installed = {voice("z/Zoe", "Zoe", "fr-FR"), voice("m/Bea", "Bea", "en-GB")};
    pressRefresh(w);
    auto* combo = w.findChild<QComboBox*>();
    ASSERT_EQ(combo->count(), 2);
    EXPECT_EQ(combo->itemData(0).toString(), "m/Bea");
    EXPECT_EQ(combo->itemData(1).toString(), "z/Zoe");
    EXPECT_EQ(combo->currentData().toString(), "m/Bea");
    EXPECT_EQ(world->stored.at("fallbackVoiceIdentifier"), StoredValue{std::string("m/Bea")});
}

TEST_F(SettingsWindowTest, EachSliderStoresItsOwnKeyOncePerMove) {
    const struct {
        const char* title;
        std::string_view key;
    } sliders[] = {{"Intonation", "intonation"},
                   {"Head size", "headSizePercent"},
                   {"Voicing", "voicing"},
                   {"Word pause", "wordPause"},
                   {"Phrase pause", "phrasePause"}};
    auto& w = openShown();
    for (const auto& [title, key] : sliders) {
        SCOPED_TRACE(title);
        auto* slider = sliderNamed(w, title);
        ASSERT_NE(slider, nullptr);
        const int postsBefore = world->posts;
        // A drag: pressed, moved to 37, released.
        slider->setSliderDown(true);
        slider->setSliderPosition(37);
        slider->setSliderDown(false);
        EXPECT_EQ(sets(key), 1);
        EXPECT_EQ(world->posts - postsBefore, 1);
        EXPECT_EQ(world->stored.at(std::string(key)), StoredValue{std::int64_t{37}});
    }
}

TEST_F(SettingsWindowTest, DraggingStoresEveryValueReported) {
    auto& w = openShown();
    auto* slider = sliderNamed(w, "Head size");
    slider->setSliderDown(true);
    for (const int position : {51, 52, 53, 52})
        slider->setSliderPosition(position);
    slider->setSliderDown(false);
    EXPECT_EQ(sets("headSizePercent"), 4);
    EXPECT_EQ(w.screen().headSize(), 52);
}

TEST_F(SettingsWindowTest, SliderKeysAndAccessibilityChangesAreStored) {
    const struct {
        const char* how;
        std::function<void(QSlider*)> act;
        std::int64_t stored;
    } cases[] = {
        {"Right", [](QSlider* s) { QTest::keyClick(s, Qt::Key_Right); }, 41},
        {"Left", [](QSlider* s) { QTest::keyClick(s, Qt::Key_Left); }, 39},
        {"Page Up", [](QSlider* s) { QTest::keyClick(s, Qt::Key_PageUp); }, 50},
        {"Page Down", [](QSlider* s) { QTest::keyClick(s, Qt::Key_PageDown); }, 30},
        {"End", [](QSlider* s) { QTest::keyClick(s, Qt::Key_End); }, 100},
        {"Home", [](QSlider* s) { QTest::keyClick(s, Qt::Key_Home); }, 0},
        {"set through accessibility",
         [](QSlider* s) {
             QAccessible::queryAccessibleInterface(s)->valueInterface()->setCurrentValue(42);
         },
         42},
    };
    world->stored["headSizePercent"] = std::int64_t{40};
    auto& w = openShown();
    auto* slider = sliderNamed(w, "Head size");
    slider->setFocus();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        w.screen().headSize.set(40);
        ASSERT_EQ(slider->value(), 40);
        const int before = sets("headSizePercent");
        c.act(slider);
        EXPECT_EQ(sets("headSizePercent") - before, 1);
        EXPECT_EQ(world->stored.at("headSizePercent"), StoredValue{c.stored});
    }
}

struct MessageCase {
    const char* name;
    std::function<void(test::FakeWorld&, test::FakeVoices&)> before;
    std::function<void(SettingsWindow&)> act;
    std::string_view message;
};

void PrintTo(const MessageCase& c, std::ostream* out) {
    *out << c.name;
}

class SettingsWindowMessages : public SettingsWindowTest,
                               public ::testing::WithParamInterface<MessageCase> {};

TEST_P(SettingsWindowMessages, AreShownInTheStatusLineAndAnnounced) {
    const auto& c = GetParam();
    c.before(*world, fakes.voices);
    auto& w = openShown();
    c.act(w);
    EXPECT_EQ(statusLine(w), q(c.message));
    auto* notification = findAccessible(&w, QAccessible::Notification);
    ASSERT_NE(notification, nullptr);
    EXPECT_EQ(notification->text(QAccessible::Name), q(c.message));
    EXPECT_FALSE(notification->state().invisible);
}

const MessageCase messageCases[] = {
    {"SliderWriteFails", [](test::FakeWorld& world, test::FakeVoices&) { world.failStores = true; },
     [](SettingsWindow& w) { sliderNamed(w, "Voicing")->setValue(20); },
     texts::voiceSettingNotSaved},
    {"NoDomainForTheChosenVoice",
     [](test::FakeWorld& world, test::FakeVoices& voices) {
         world.domainOpens = false;
         voices.installed = {voice("m/Amy", "Amy", "en-GB")};
     },
     [](SettingsWindow&) {}, texts::fallbackVoiceNotSaved},
    {"RefreshPressed", [](test::FakeWorld&, test::FakeVoices&) {},
     [](SettingsWindow& w) { pressRefresh(w); }, texts::voicesRefreshed},
    {"RefreshByReturn", [](test::FakeWorld&, test::FakeVoices&) {},
     [](SettingsWindow& w) {
         QTest::keyClick(w.findChild<QPushButton*>(), Qt::Key_Return);
         EXPECT_TRUE(waitFor([&] { return !w.screen().refreshing(); }));
     },
     texts::voicesRefreshed},
    {"RefreshByKeypadEnter", [](test::FakeWorld&, test::FakeVoices&) {},
     [](SettingsWindow& w) {
         QTest::keyClick(w.findChild<QPushButton*>(), Qt::Key_Enter, Qt::KeypadModifier);
         EXPECT_TRUE(waitFor([&] { return !w.screen().refreshing(); }));
     },
     texts::voicesRefreshed},
};
INSTANTIATE_TEST_SUITE_P(Status, SettingsWindowMessages, ::testing::ValuesIn(messageCases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(SettingsWindowTest, ScreenReaderFindsEachControlByRoleAndName) {
    fakes.voices.installed = {voice("m/Kate", "Kate", "en-GB")};
    world->stored["wordPause"] = std::int64_t{37};
    auto& w = openShown();
    pressRefresh(w);
    // On Linux Qt names a combo box by its current text; its label comes from the buddy relation.
    const struct {
        QAccessible::Role role;
        QString name;
        QString label;
        QString description;
    } expected[] = {
        {QAccessible::Window, "Virelon", {}, {}},
        {QAccessible::Heading, "Virelon", {}, {}},
        {QAccessible::Grouping, "Voice Controls", {}, {}},
        {QAccessible::StatusBar, q(texts::voicesRefreshed), {}, {}},
        {QAccessible::Notification, q(texts::voicesRefreshed), {}, {}},
        {QAccessible::Button, "Refresh Virelon Voices", {}, {}},
        {QAccessible::ComboBox, "English (United Kingdom), Kate", "Fallback Voice",
         "English (United Kingdom), Kate"},
        // Orca reads the value, and its percentage where asked; a description would repeat it.
        {QAccessible::Slider, "Intonation", "Intonation", {}},
        {QAccessible::Slider, "Word pause", "Word pause", {}},
    };
    for (const auto& e : expected) {
        SCOPED_TRACE(e.name.toStdString());
        auto* node = findAccessible(&w, e.role, e.name);
        ASSERT_NE(node, nullptr);
        EXPECT_FALSE(node->state().invisible);
        EXPECT_EQ(labelOf(node), e.label);
        EXPECT_EQ(node->text(QAccessible::Description), e.description);
    }
    EXPECT_EQ(findAccessible(&w, QAccessible::Slider, "Head size")
                  ->valueInterface()
                  ->currentValue()
                  .toInt(),
              50);
}

TEST_F(SettingsWindowTest, LabelledValuesAreReadWithTheirLabels) {
    auto& w = open();
    const struct {
        const char* value;
        const char* label;
    } rows[] = {{"Ready", "Engine"},
                {"25", "Languages"},
                {"On device", "Processing"},
                {"VoiceOver", "Rate"},
                {"2.1 (45)", "Version"}};
    for (const auto& [value, label] : rows) {
        SCOPED_TRACE(value);
        auto* node = findAccessible(&w, QAccessible::StaticText, value);
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(labelOf(node), label);
    }
}

TEST_F(SettingsWindowTest, TabReachesEveryControlInVisualOrder) {
    fakes.voices.installed = {voice("m/Kate", "Kate", "en-GB")};
    auto& w = openShown();
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    // Activation may already have focused the first control.
    if (QApplication::focusWidget() == nullptr)
        QTest::keyClick(&w, Qt::Key_Tab);
    const auto focusedName = [] {
        auto* focused = QApplication::focusWidget();
        return focused == nullptr ? QString()
                                  : labelOrName(QAccessible::queryAccessibleInterface(focused));
    };
    std::vector<QString> reached = {focusedName()};
    for (int press = 0; press < 7; ++press) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        reached.push_back(focusedName());
    }
    const std::vector<QString> expected = {"Refresh Virelon Voices",
                                           "Fallback Voice",
                                           "Intonation",
                                           "Head size",
                                           "Voicing",
                                           "Word pause",
                                           "Phrase pause",
                                           "Refresh Virelon Voices"};
    EXPECT_EQ(reached, expected);
}

TEST_F(SettingsWindowTest, GermanTranslationChangesKeysButNotVerbatimTexts) {
    auto translator = widgets::loadTranslation(QLocale(QLocale::German, QLocale::Germany));
    ASSERT_NE(translator, nullptr);
    QCoreApplication::installTranslator(translator.get());
    fakes.voices.installed = {voice("m/Kate", "Kate", "en-GB")};
    auto& w = openShown();

    std::vector<QString> sections;
    for (auto* box : w.findChildren<QGroupBox*>())
        sections.push_back(box->title());
    EXPECT_EQ(sections, (std::vector<QString>{"Zustand", "VoiceOver", "Ersatz",
                                              "Stimmeinstellungen", "Über"}));
    EXPECT_EQ(statusLine(w), q(texts::ready));
    EXPECT_NE(sliderNamed(w, "Intonation"), nullptr);
    EXPECT_NE(sliderNamed(w, "Phrase pause"), nullptr);
    EXPECT_EQ(w.findChild<QComboBox*>()->currentText(), "English (United Kingdom), Kate");
    EXPECT_EQ(w.findChild<QPushButton*>()->text(), "Virelon-Stimmen aktualisieren");
    QCoreApplication::removeTranslator(translator.get());
}

TEST_F(SettingsWindowTest, NoTranslationIsShippedForEnglish) {
    EXPECT_EQ(widgets::loadTranslation(QLocale(QLocale::English, QLocale::UnitedStates)), nullptr);
}

TEST_F(SettingsWindowTest, OnlyTheDescriptionsKeysAreLookedUp) {
    MarkingTranslator marking;
    QCoreApplication::installTranslator(&marking);
    fakes.voices.installed = {voice("m/Kate", "Kate", "en-GB")};
    auto& w = openShown();
    const auto lines = describe(w);
    // Keys come back marked; verbatim texts (status, values, slider titles, voice names) do not.
    for (const QString line :
         {"= ContentView:Virelon", "# ContentView:Voice Controls", "ContentView:Engine | Ready",
          "[ContentView:Refresh Virelon Voices]",
          "ContentView:Fallback Voice | combo English (United Kingdom), Kate",
          "ContentView:This voice is used only if Virelon cannot produce "
          "speech.",
          "Virelon is ready.", "Intonation | slider 100", "ContentView:Version | 2.1 (45)"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line.toStdString();
    EXPECT_EQ(w.windowTitle(), "ContentView:Virelon");
    QCoreApplication::removeTranslator(&marking);
}

TEST(NotificationAnnouncer, GivesEachMessageANotificationOfItsOwnAndRemovesItLater) {
    QWidget window;
    widgets::NotificationAnnouncer announcer(window, std::chrono::milliseconds(100));
    window.show();
    // In one turn of the event loop: a reused object would be read once, with its last name.
    for (const char* message : {"Saved.", "Saved.", "Not saved."})
        announcer.announce(message);
    std::vector<QString> shown;
    for (auto* spot : window.findChildren<widgets::NotificationSpot*>()) {
        auto* node = QAccessible::queryAccessibleInterface(spot);
        EXPECT_EQ(node->role(), QAccessible::Notification);
        EXPECT_FALSE(node->state().invisible);
        shown.push_back(node->text(QAccessible::Name));
    }
    EXPECT_EQ(shown, (std::vector<QString>{"Saved.", "Saved.", "Not saved."}));
    EXPECT_TRUE(
        waitFor([&] { return window.findChildren<widgets::NotificationSpot*>().isEmpty(); }));
}

TEST(DisplayCheck, SaysHowToGetADisplayOnlyWhenThereIsNone) {
    const struct {
        std::map<std::string, std::string> environment;
        bool message;
    } cases[] = {
        {{}, true},
        {{{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}}, true},
        {{{"DISPLAY", ":0"}}, false},
        {{{"WAYLAND_DISPLAY", "wayland-0"}}, false},
        {{{"QT_QPA_PLATFORM", "offscreen"}}, false},
        {{{"HOME", "/root"}}, true},
    };
    for (const auto& c : cases) {
        const auto message =
            widgets::missingDisplayMessage("virelon-voices", [&](const char* name) -> const char* {
                const auto found = c.environment.find(name);
                return found == c.environment.end() ? nullptr : found->second.c_str();
            });
        EXPECT_EQ(message.has_value(), c.message);
        if (message) {
            EXPECT_NE(message->find("no display"), std::string::npos);
            EXPECT_NE(message->find("xvfb-run -a virelon-voices"), std::string::npos);
            EXPECT_NE(message->find("QT_QPA_PLATFORM=offscreen virelon-voices"), std::string::npos);
        }
    }
}

} // namespace
