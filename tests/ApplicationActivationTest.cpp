// A second launch of the application brings the running window to the front and ends; when the
// running one does not answer, or there is no session bus, it opens a window of its own. The
// running application is this test process, owning the name as the application does.

#include "ApplicationActivation.h"
#include "Subprocess.h"

#include <QApplication>
#include <QMainWindow>
#include <QTest>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using virelon::widgets::ApplicationActivation;

namespace {

class QtEnvironment final : public ::testing::Environment {
public:
    void SetUp() override { application_ = std::make_unique<QApplication>(argc_, argv_); }
    void TearDown() override { application_.reset(); }

private:
    int argc_ = 1;
    char name_[28] = "application_activation_test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> application_;
};
[[maybe_unused]] auto* const qtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

const std::vector<std::pair<std::string, std::string>> reportFrame{
    {"VIRELON_REPORT_FIRST_FRAME", "1"}};

TEST(ApplicationActivation, ASecondLaunchRaisesTheRunningWindowAndEnds) {
    ApplicationActivation running(VIRELON_APPLICATION_IDENTIFIER, 500ms, 2000ms);
    ASSERT_EQ(running.role(), ApplicationActivation::Role::primary);
    // The running window, minimised, and another program's window in front.
    QMainWindow window, other;
    window.showMinimized();
    other.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    running.raiseOnActivate(window);

    virelon::test::Subprocess second(VIRELON_VOICES, {}, reportFrame);
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return !window.isMinimized() && window.isActiveWindow(); }, 10000));
    const auto finished = second.finish(10s);
    EXPECT_EQ(finished.status, 0) << finished.err;
    EXPECT_EQ(finished.out, "") << "a window of its own";
}

TEST(ApplicationActivation, WithoutAnAnswerASecondLaunchOpensItsOwnWindow) {
    struct Case {
        const char* name;
        bool silentOwner;
        std::vector<std::pair<std::string, std::string>> environment;
    };
    for (const auto& [name, silentOwner, environment] : std::vector<Case>{
             {"owner never answers", true, reportFrame},
             {"no session bus",
              false,
              {reportFrame[0], {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}}}}) {
        // Owns the name but never runs the loop that would answer.
        std::optional<ApplicationActivation> owner;
        if (silentOwner) {
            owner.emplace(VIRELON_APPLICATION_IDENTIFIER, 500ms, 2000ms);
            ASSERT_EQ(owner->role(), ApplicationActivation::Role::primary) << name;
        }
        const auto started = std::chrono::steady_clock::now();
        virelon::test::Subprocess launch(VIRELON_VOICES, {}, environment);
        EXPECT_TRUE(launch.waitFor("first-frame", false, 15s)) << name;
        // Within the bound for the owner's answer, with room for a busy machine.
        EXPECT_LT(std::chrono::steady_clock::now() - started, 2000ms + 5s) << name;
    }
}

} // namespace
