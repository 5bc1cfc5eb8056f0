// The window as a desktop meets it: the options it answers without a display, the keys that
// close it, and a first size that fits a small screen (1280x1024 at QT_SCALE_FACTOR=2).

#include "DesktopConventions.h"
#include "FakeScreenServices.h"
#include "FakeSettingsPlatform.h"
#include "SettingsWindow.h"
#include "Subprocess.h"

#include <QApplication>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QWindow>

#include <gtest/gtest.h>

using namespace virelon;

namespace {

class QtEnvironment final : public ::testing::Environment {
public:
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" VIRELON_TEST_SCREEN);
        qputenv("QT_SCALE_FACTOR", "2");
        application_ = std::make_unique<QApplication>(argc_, argv_);
    }
    void TearDown() override { application_.reset(); }

private:
    int argc_ = 1;
    char name_[20] = "desktop_window_test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> application_;
};
[[maybe_unused]] auto* const qtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

struct OptionCase {
    std::vector<std::string> arguments;
    int status;
    std::string out, err;
};

TEST(DesktopWindow, OptionsAreAnsweredWithoutADisplay) {
    const std::vector<std::pair<std::string, std::string>> noDisplay{
        {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}};
    const std::string version = "virelon-voices " VIRELON_VERSION " (" VIRELON_BUILD_NUMBER ")\n";
    for (const auto& [arguments, status, out, err] : std::vector<OptionCase>{
             {{"--version"}, 0, version, ""},
             {{"-platform", "minimal", "--help"}, 0, "Usage: virelon-voices", ""}}) {
        const auto result = test::runProgram(VIRELON_VOICES, arguments, noDisplay);
        EXPECT_EQ(result.status, status) << arguments.back() << ": " << result.err;
        EXPECT_TRUE(result.out.starts_with(out)) << result.out;
        EXPECT_NE(result.err.find(err), std::string::npos) << result.err;
    }
    // With a display, what neither Qt nor the application knows is refused.
    const auto unknown =
        test::runProgram(VIRELON_VOICES, {"--frobnicate"}, {{"QT_QPA_PLATFORM", "offscreen"}});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.err.find("unknown argument \"--frobnicate\""), std::string::npos)
        << unknown.err;
}

class DesktopWindowTest : public ::testing::Test {
protected:
    widgets::SettingsWindow& open() {
        app.emplace();
        window = std::make_unique<widgets::SettingsWindow>(
            app->body(), widgets::HostServices{fakes.voices, fakes.locale, fakes.bundle});
        widgets::addCloseShortcuts(*window);
        widgets::fitToAvailableScreen(*window);
        window->show();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
        return *window;
    }

    std::shared_ptr<test::FakeWorld> world = test::installFakeSettingsPlatform();
    test::FakeServices fakes;
    std::optional<VirelonIOSApp> app;
    std::unique_ptr<widgets::SettingsWindow> window;
};

TEST_F(DesktopWindowTest, ControlQAndControlWCloseTheWindow) {
    for (const auto key : {Qt::Key_Q, Qt::Key_W}) {
        auto& w = open();
        QTest::keyClick(&w, key, Qt::ControlModifier);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !w.isVisible(); }, 5000)) << key;
    }
}

TEST_F(DesktopWindowTest, FirstSizeFitsTheScreenAndTheFormScrolls) {
    fakes.voices.installed = {test::voice("m/long", std::string(60, 'W'), "en-GB")};
    auto& w = open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return fakes.voices.listings == 1; }, 5000));
    const QRect available = w.windowHandle()->screen()->availableGeometry();
    ASSERT_EQ(available.size(), QSize(640, 512)) << "1280x1024 device pixels at scale 2";
    EXPECT_TRUE(available.contains(w.frameGeometry()))
        << w.frameGeometry().width() << "x" << w.frameGeometry().height();
    // Nothing is cut off: the column is no wider than what shows of it, and what is below the
    // window's edge is reached by scrolling.
    const auto* scroll = w.findChild<QScrollArea*>();
    ASSERT_NE(scroll, nullptr);
    EXPECT_LE(scroll->widget()->width(), scroll->viewport()->width());
    EXPECT_GT(scroll->widget()->height(), scroll->viewport()->height());
    EXPECT_TRUE(scroll->verticalScrollBar()->isVisible());
}

} // namespace
