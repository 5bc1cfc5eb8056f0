#include "VoiceCatalogue.h"

#include "virelon/Identifiers.h"

#include <algorithm>
#include <numeric>

namespace virelon::catalogue {

using platform::Voice;

bool isVirelonVoice(const Voice& voice) {
    return voice.identifier.starts_with(identifiers::applicationIdentifier);
}

std::string displayName(const Voice& voice, platform::LocaleServices& locale) {
    std::string name = locale.languageName(voice.language).value_or(voice.language);
    name += ", ";
    name += voice.name;
    return name;
}

std::vector<Voice> fallbackVoices(std::vector<Voice> installed, platform::LocaleServices& locale) {
    std::erase_if(installed, isVirelonVoice);

    std::vector<std::string> names;
    names.reserve(installed.size());
    for (const auto& voice : installed)
        names.push_back(displayName(voice, locale));

    std::vector<std::size_t> order(installed.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return locale.standardCompare(names[a], names[b]) < 0;
    });

    std::vector<Voice> sorted;
    sorted.reserve(installed.size());
    for (const std::size_t index : order)
        sorted.push_back(std::move(installed[index]));
    return sorted;
}

const Voice* chooseFallbackVoice(const std::vector<Voice>& voices,
                                 const std::optional<std::string>& storedIdentifier,
                                 platform::LocaleServices& locale) {
    auto first = [&](auto&& matches) -> const Voice* {
        const auto found = std::find_if(voices.begin(), voices.end(), matches);
        return found == voices.end() ? nullptr : &*found;
    };
    if (storedIdentifier) {
        if (auto* voice = first([&](const Voice& v) { return v.identifier == *storedIdentifier; }))
            return voice;
    }
    if (auto* voice = first([&](const Voice& v) {
            return locale.caseInsensitiveCompare(v.name, preferredFallbackVoiceName) == 0;
        }))
        return voice;
    // The current locale is read afresh for every voice examined.
    if (auto* voice =
            first([&](const Voice& v) { return v.language == locale.currentIdentifier(); }))
        return voice;
    if (auto* voice = first([&](const Voice& v) { return v.language == fallbackLanguage; }))
        return voice;
    return voices.empty() ? nullptr : &voices.front();
}

} // namespace virelon::catalogue
