// The window as a desktop meets it: the options it answers without a display, the keys that
// close it, a first size that fits a small screen (1280x1024 at QT_SCALE_FACTOR=2), and the work
// that waits for its first frame.

#include "support/FakeScreenServices.h"
#include "support/FakeSettingsPlatform.h"
#include "support/ScratchHome.h"
#include "support/Subprocess.h"
#include "widgets/DesktopConventions.h"
#include "widgets/DisplayCheck.h"
#include "widgets/FirstFrameReport.h"
#include "widgets/SettingsWindow.h"

#include <QApplication>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QWindow>

#include <gtest/gtest.h>

#include <map>

using namespace virelon;

namespace {

// One application for the process (each test runs in a process of its own), made before any window.
void startApplication() {
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" VIRELON_TEST_SCREEN);
    qputenv("QT_SCALE_FACTOR", "2");
    static int argc = 1;
    static char name[] = "desktop_window_test", *argv[] = {name, nullptr};
    [[maybe_unused]] static const auto* application =
        new QApplication(argc, argv); // kept to the end
}

// Without a display, --version and --help are answered; with one, what neither Qt nor the
// application knows is refused, and a platform plugin that is not installed, or cannot connect,
// is said so (where Qt would abort).
TEST(DesktopWindow, OptionsAreAnsweredWithoutADisplay) {
    // A launch that gets as far as its threads migrates the settings: never the user's own.
    const test::ScratchHome home;
    const std::string version = "virelon-voices " VIRELON_VERSION " (" VIRELON_BUILD_NUMBER ")\n";
    const std::tuple<std::vector<std::string>, const char*, int, std::string, std::string> cases[] =
        {{{"--version"}, "", 0, version, ""},
         {{"-platform", "minimal", "--help"}, "", 0, "Usage: virelon-voices", ""},
         {{"--frobnicate"}, "offscreen", 2, "", "unknown argument \"--frobnicate\""},
         {{}, "nosuch", 1, "", "Qt's platform plugin \"nosuch\" is not installed"},
         {{}, "xcb", 1, "", "Qt's platform plugin could not connect to the display"}};
    for (const auto& [arguments, platform, status, out, err] : cases) {
        const auto result = test::runProgram(
            VIRELON_VOICES, arguments,
            {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", platform}});
        EXPECT_EQ(result.status, status) << arguments.back() << ": " << result.err;
        EXPECT_TRUE(result.out.starts_with(out)) << result.out;
        EXPECT_NE(result.err.find(err), std::string::npos) << result.err;
    }
}

// The platform plugins a launch may use, as Qt 6.4 picks them, and what is said when none of them
// is installed: here only xcb and offscreen are.
TEST(DesktopWindow, AMissingPlatformPluginIsNamedWithItsPackage) {
    const auto installed = [](std::string_view key) { return key == "xcb" || key == "offscreen"; };
    using Environment = std::map<std::string, std::string>;
    const std::tuple<std::vector<std::string_view>, Environment, std::string> cases[] = {
        {{},
         {{"WAYLAND_DISPLAY", "wayland-0"}},
         "\"wayland\" is not installed.\nInstall it (Debian: sudo apt install qt6-wayland)"},
        {{}, {{"XDG_SESSION_TYPE", "wayland"}, {"DISPLAY", ":0"}}, ""}, // XWayland
        {{"virelon-voices", "--platform", "wayland-egl"},
         {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", ":0"}},
         "\"wayland-egl\" is not installed"},
        {{}, {{"QT_QPA_PLATFORM", "Offscreen:size=1x1"}}, ""},
        {{},
         {{"QT_QPA_PLATFORM", "eglfs;vnc"}},
         "\"eglfs\" or \"vnc\" is not installed.\nInstall it (Debian: sudo apt install "
         "qt6-qpa-plugins)"}};
    for (const auto& [arguments, environment, said] : cases) {
        const auto lookup = [&environment](const char* name) {
            const auto found = environment.find(name);
            return found == environment.end() ? nullptr : found->second.c_str();
        };
        const auto message = widgets::missingPlatformMessage("v", arguments, lookup, installed);
        EXPECT_TRUE(said.empty() ? !message : message && message->find(said) != std::string::npos)
            << said << ": " << message.value_or("none");
    }
}

// The first size fits the screen and what is below the window's edge is reached by scrolling;
// Control+Q and Control+W close the window.
TEST(DesktopWindow, FirstSizeFitsTheScreenAndControlQOrWCloses) {
    startApplication();
    const auto world = test::installFakeSettingsPlatform();
    test::FakeServices fakes;
    fakes.voices.installed = {test::voice("m/long", std::string(60, 'W'), "en-GB")};
    for (const auto key : {Qt::Key_Q, Qt::Key_W}) {
        VirelonIOSApp app;
        widgets::SettingsWindow window(
            app.body(), widgets::HostServices{fakes.voices, fakes.locale, fakes.bundle});
        widgets::addCloseShortcuts(window);
        widgets::fitToAvailableScreen(window);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
        ASSERT_TRUE(QTest::qWaitFor([&] { return fakes.voices.listings > 0; }, 5000));
        const QRect available = window.windowHandle()->screen()->availableGeometry();
        ASSERT_EQ(available.size(), QSize(640, 512)) << "1280x1024 device pixels at scale 2";
        EXPECT_TRUE(available.contains(window.frameGeometry()))
            << window.frameGeometry().width() << "x" << window.frameGeometry().height();
        // Nothing is cut off: the column is no wider than what shows of it.
        const auto* scroll = window.findChild<QScrollArea*>();
        ASSERT_NE(scroll, nullptr);
        EXPECT_LE(scroll->widget()->width(), scroll->viewport()->width());
        EXPECT_GT(scroll->widget()->height(), scroll->viewport()->height());
        EXPECT_TRUE(scroll->verticalScrollBar()->isVisible());
        QTest::keyClick(&window, key, Qt::ControlModifier);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !window.isVisible(); }, 5000)) << key;
    }
}

// Work waiting for the first frame runs once the window is on screen, in the order it was given:
// the launch report comes before the work queued after it.
TEST(DesktopWindow, WorkAfterTheFirstFrameRunsInTheOrderGiven) {
    startApplication();
    QWidget window;
    window.show();
    std::vector<int> ran;
    for (int step = 1; step <= 3; ++step) {
        widgets::afterFirstFrame(window, [&ran, &window, step] {
            EXPECT_TRUE(window.windowHandle()->isExposed());
            ran.push_back(step);
        });
    }
    EXPECT_TRUE(ran.empty());
    ASSERT_TRUE(QTest::qWaitFor([&] { return ran.size() == 3; }, 5000)) << ran.size();
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
}

} // namespace
