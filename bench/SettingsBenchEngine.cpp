// The engine's side of the latency benchmark: waits for the settings change signal, reads all six
// settings and reports the moment it has them on stdout ("<monotonic ns> <sum of values>").

#include "platform/SettingsSignal.h"
#include "virelon/VirelonSharedSettings.h"

#include <cstdint>
#include <cstdio>
#include <ctime>

using virelon::VirelonSharedSettings;

int main() {
    auto observer =
        virelon::platform::observeSessionBusSignal(VirelonSharedSettings::changeNotification(), [] {
            const auto all = VirelonSharedSettings::voiceSettings();
            const std::int64_t sum =
                all.intonation + all.headSize + all.voicing + all.wordPause + all.phrasePause +
                static_cast<std::int64_t>(all.fallbackVoiceIdentifier.value_or("").size());
            timespec ts{};
            clock_gettime(CLOCK_MONOTONIC, &ts);
            std::printf("%lld %lld\n",
                        static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec,
                        static_cast<long long>(sum));
            std::fflush(stdout);
        });
    if (!observer)
        return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    while (observer->wait(1'000'000)) {
    }
    return 0;
}
