// The voice refresh's own work (filter, order by display name, choose) over 10,000 voices from a
// fake provider with real ICU, and, with --espeak-ng, a refresh against the real speech server
// next to the raw listing alone (libspeechd's own listing loop, and our adapter's listing).
// Usage: refresh_bench [--espeak-ng]   (with --espeak-ng, run inside
//        VIRELON_TEST_ESPEAK_NG=1 scripts/test-env.sh so that the server lists espeak-ng)

#include "BenchSupport.h"
#include "catalogue/VoiceCatalogue.h"
#include "platform/LocaleServices.h"
#include "platform/SpeechVoices.h"
#include "virelon/Identifiers.h"

#include <libspeechd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

using virelon::platform::Voice;

namespace {

std::vector<Voice> fakeVoices(std::size_t count) {
    const char* languages[] = {"en-GB", "en-US", "de-DE", "fr-FR", "es-419", "cmn-LATN-PINYIN",
                               "pt-BR", "nl",    "sv",    "xx-YY", "ja",     "en-GB-X-RP"};
    std::mt19937 random(42);
    std::vector<Voice> voices;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string name = "Voice " + std::to_string(random() % 5000);
        const std::string module =
            i % 10 == 0 ? std::string(virelon::identifiers::applicationIdentifier) : "module";
        voices.push_back({module + "/" + name + "#" + std::to_string(i), name,
                          languages[random() % std::size(languages)]});
    }
    return voices;
}

/// What the screen's refresh does after listing: filter, order, choose.
std::size_t refreshLogic(std::vector<Voice> listed, virelon::platform::LocaleServices& locale) {
    const auto voices = virelon::catalogue::fallbackVoices(std::move(listed), locale);
    const auto* chosen = virelon::catalogue::chooseFallbackVoice(voices, std::nullopt, locale);
    return voices.size() + (chosen ? 1 : 0);
}

/// The listing as libspeechd's own calls make it: every module's voices, variants included.
std::size_t rawListing() {
    SPDConnection* connection =
        spd_open2("refresh_bench", nullptr, nullptr, SPD_MODE_SINGLE, nullptr, 0, nullptr);
    if (!connection)
        return 0;
    std::size_t count = 0;
    if (char** modules = spd_list_modules(connection)) {
        for (char** module = modules; *module; ++module) {
            spd_set_output_module(connection, *module);
            if (SPDVoice** voices = spd_list_synthesis_voices(connection)) {
                for (SPDVoice** voice = voices; *voice; ++voice)
                    ++count;
                free_spd_voices(voices);
            }
        }
        free_spd_modules(modules);
    }
    spd_close(connection);
    return count;
}

template <typename F>
bench::Summary timed(int rounds, F&& work) {
    std::vector<double> samples;
    volatile std::size_t sink = 0;
    for (int i = 0; i < rounds; ++i) {
        const auto start = bench::nowNs();
        sink = sink + work();
        samples.push_back(static_cast<double>(bench::nowNs() - start) / 1000.0);
    }
    return bench::summarize(samples);
}

} // namespace

int main(int argc, char** argv) {
    auto locale = virelon::platform::makeIcuLocaleServices("en_US");
    const auto voices = fakeVoices(10'000);
    const auto logic = timed(20, [&] { return refreshLogic(voices, *locale); });
    const auto copy = timed(20, [&] { return std::vector<Voice>(voices).size(); });
    std::printf("Refresh logic, 10,000 fake voices (real ICU, en_US)\n");
    bench::report("filter + order + choose", logic, copy, "copying the list");

    if (argc > 1 && std::strcmp(argv[1], "--espeak-ng") == 0) {
        auto speech = virelon::platform::makeSpeechDispatcherVoices();
        const auto raw = timed(5, rawListing);
        const auto listing = timed(5, [&] {
            speech->updateSpeechVoices();
            return speech->speechVoices().voices.size();
        });
        const auto refresh = timed(5, [&] {
            speech->updateSpeechVoices();
            return refreshLogic(speech->speechVoices().voices, *locale);
        });
        std::printf("Against the real speech server (%zu entries listed by libspeechd)\n",
                    rawListing());
        bench::report("our listing", listing, raw, "libspeechd listing loop");
        bench::report("whole refresh (list+order+choose)", refresh, raw, "libspeechd listing loop");
    }
    return 0;
}
