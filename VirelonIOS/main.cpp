#include "virelon/SettingsKeys.h"
#include "virelon/VirelonSharedSettings.h"

#include <cstdio>

using virelon::VirelonSharedSettings;

int main() {
    VirelonSharedSettings::migrateLegacySettings();
    const auto fallback = VirelonSharedSettings::fallbackVoiceIdentifier();
    std::printf("fallbackVoiceIdentifier: %s\n", fallback ? fallback->c_str() : "(none stored)");
    std::printf("intonation: %lld\n", static_cast<long long>(VirelonSharedSettings::intonation()));
    std::printf("headSizePercent: %lld\n", static_cast<long long>(VirelonSharedSettings::headSize()));
    std::printf("voicing: %lld\n", static_cast<long long>(VirelonSharedSettings::voicing()));
    std::printf("wordPause: %lld\n", static_cast<long long>(VirelonSharedSettings::wordPause()));
    std::printf("phrasePause: %lld\n", static_cast<long long>(VirelonSharedSettings::phrasePause()));
    return 0;
}
