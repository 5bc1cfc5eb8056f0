// A second launch of the application brings the running window to the front and ends; when the
// running one does not answer, or there is no session bus, it opens a window of its own. The
// running application is this test process, owning the name as the application does.

#include "widgets/ApplicationActivation.h"
#include "support/Subprocess.h"

#include <QApplication>
#include <QMainWindow>
#include <QTest>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using virelon::widgets::ApplicationActivation;

namespace {

const std::vector<std::pair<std::string, std::string>> reportFrame{
    {"VIRELON_REPORT_FIRST_FRAME", "1"}};

// The running window, minimised, another program's window in front: a second launch brings it
// to the front and ends without a window of its own; one with a wrong argument leaves it be.
// Without an answer (an owner that never runs the loop that would answer, or no session bus) it
// opens its own within the bound for the answer, with room for a busy machine.
TEST(ApplicationActivation, ASecondLaunchRaisesTheRunningWindowOrOpensItsOwn) {
    int argc = 1;
    char name[] = "application_activation_test", *argv[] = {name, nullptr};
    QApplication application(argc, argv);
    {
        ApplicationActivation running(
            ApplicationActivation::Claim(VIRELON_APPLICATION_IDENTIFIER, 500ms), 2000ms);
        ASSERT_EQ(running.role(), ApplicationActivation::Role::primary);
        QMainWindow window, other;
        window.showMinimized();
        other.show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
        running.raiseOnActivate(window);
        // A launch with an argument it does not know raises nothing.
        virelon::test::Subprocess refused(VIRELON_VOICES, {"--frobnicate"}, reportFrame);
        EXPECT_FALSE(QTest::qWaitFor([&] { return !window.isMinimized(); }, 1500));
        EXPECT_EQ(refused.finish(10s).status, 2);
        virelon::test::Subprocess second(VIRELON_VOICES, {}, reportFrame);
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return !window.isMinimized() && window.isActiveWindow(); }, 10000));
        const auto finished = second.finish(10s);
        EXPECT_EQ(finished.status, 0) << finished.err;
        EXPECT_EQ(finished.out, "") << "a window of its own";
    }
    for (const bool silentOwner : {true, false}) {
        std::optional<ApplicationActivation> owner;
        auto environment = reportFrame;
        if (silentOwner)
            owner.emplace(ApplicationActivation::Claim(VIRELON_APPLICATION_IDENTIFIER, 500ms),
                          2000ms);
        else
            environment.emplace_back("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent");
        const auto started = std::chrono::steady_clock::now();
        virelon::test::Subprocess launch(VIRELON_VOICES, {}, environment);
        EXPECT_TRUE(launch.waitFor("first-frame", false, 15s)) << silentOwner;
        EXPECT_LT(std::chrono::steady_clock::now() - started, 2000ms + 5s) << silentOwner;
    }
}

} // namespace
