// How long the settings window's event loop stalls during a voice refresh: the longest gap between
// two turns of the loop (a 1 ms timer noting each turn), during the launch refresh and during a
// press of "Refresh Virelon Voices", against the real speech server. Next to it, in the same run,
// the same listing and refresh work done on the UI thread, with no worker.
// Usage: VIRELON_TEST_ESPEAK_NG=1 scripts/test-env.sh refresh_stall_bench [ROUNDS]
//        (QT_QPA_PLATFORM=offscreen when there is no display)

#include "BenchSupport.h"
#include "catalogue/VoiceCatalogue.h"
#include "core/VirelonIOSApp.h"
#include "platform/BundleInfo.h"
#include "platform/LocaleServices.h"
#include "platform/SpeechVoices.h"
#include "virelon/Identifiers.h"
#include "widgets/SettingsWindow.h"

#include <QApplication>
#include <QPushButton>
#include <QTimer>

#include <cstdlib>
#include <functional>
#include <string>

namespace {

// Notes the longest gap between two turns of the event loop while `until` is false.
double longestGapMs(const std::function<void()>& start, const std::function<bool()>& until) {
    std::int64_t last = bench::nowNs();
    std::int64_t longest = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const auto now = bench::nowNs();
        longest = std::max(longest, now - last);
        last = now;
    });
    ticker.start();
    QTimer::singleShot(5, start); // from inside the loop, as a press arrives
    const auto limit = bench::nowNs() + 60'000'000'000LL;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    while (!until() && bench::nowNs() < limit)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    const auto now = bench::nowNs();
    return static_cast<double>(std::max(longest, now - last)) / 1e6;
}

void report(const char* what, std::vector<double> ours, std::vector<double> baseline) {
    const auto a = bench::summarize(ours), b = bench::summarize(baseline);
    std::printf("%-40s longest stall: median %8.1f ms  max %8.1f ms | on the UI thread: "
                "median %8.1f ms  max %8.1f ms | ratio %.3fx\n",
                what, a.median, *std::max_element(ours.begin(), ours.end()), b.median,
                *std::max_element(baseline.begin(), baseline.end()),
                b.median > 0 ? a.median / b.median : 0.0);
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    QApplication application(argc, argv);
    const auto voices = virelon::platform::makeSpeechDispatcherVoices();
    const auto locale = virelon::platform::makeIcuLocaleServices();
    const auto bundle = virelon::platform::makeBuildBundleInfo(
        std::string(virelon::identifiers::version), std::string(virelon::identifiers::buildNumber));
    const virelon::VirelonIOSApp app;

    std::vector<double> launch, press, synchronous;
    std::size_t listed = 0;
    for (int round = 0; round < rounds; ++round) {
        virelon::widgets::SettingsWindow window(
            app.body(), virelon::widgets::HostServices{*voices, *locale, *bundle});
        bool started = false;
        launch.push_back(longestGapMs([&] { window.show(); },
                                      [&] {
                                          started = started || window.screen().refreshing();
                                          return started && !window.screen().refreshing();
                                      }));
        auto* button = window.findChild<QPushButton*>();
        bool pressed = false;
        press.push_back(longestGapMs(
            [&] {
                button->click();
                pressed = true;
            },
            [&] { return pressed && !window.screen().refreshing(); }));
        listed = window.screen().fallbackVoices().size();

        // The same work on the UI thread: reload, list, filter, order and choose.
        bool done = false;
        synchronous.push_back(longestGapMs(
            [&] {
                voices->updateSpeechVoices();
                const auto kept =
                    virelon::catalogue::fallbackVoices(voices->speechVoices().voices, *locale);
                virelon::catalogue::chooseFallbackVoice(kept, std::nullopt, *locale);
                done = true;
            },
            [&] { return done; }));
    }
    std::printf("Voice refresh against the real speech server, %d rounds, %zu fallback voices\n",
                rounds, listed);
    report("launch refresh", launch, synchronous);
    report("\"Refresh Virelon Voices\" pressed", press, synchronous);
    return 0;
}
