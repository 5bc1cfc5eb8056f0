#include "catalogue/VoiceCatalogue.h"

#include "virelon/Identifiers.h"

#include <algorithm>
#include <numeric>
#include <unordered_map>

namespace virelon::catalogue {

using platform::Voice;

bool isVirelonVoice(const Voice& voice) {
    return voice.identifier.starts_with(identifiers::applicationIdentifier);
}

namespace {
std::string languageOf(const Voice& voice, platform::LocaleServices& locale) {
    return locale.languageName(voice.language).value_or(voice.language);
}
std::string joined(std::string languageName, std::string_view voiceName) {
    languageName += ", ";
    languageName += voiceName;
    return languageName;
}
} // namespace

std::string displayName(const Voice& voice, platform::LocaleServices& locale) {
    return joined(languageOf(voice, locale), voice.name);
}

std::vector<Voice> fallbackVoices(std::vector<Voice> installed, platform::LocaleServices& locale) {
    std::erase_if(installed, isVirelonVoice);

    // Many voices share a language: name each language once per call.
    std::unordered_map<std::string_view, std::string> languageNames;
    std::vector<std::string> names;
    names.reserve(installed.size());
    for (const auto& voice : installed) {
        auto [entry, added] = languageNames.try_emplace(voice.language);
        if (added)
            entry->second = languageOf(voice, locale);
        names.push_back(joined(entry->second, voice.name));
    }

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

bool isVoiceOfModules(std::string_view identifier, const std::vector<std::string>& modules) {
    const auto slash = identifier.find('/');
    return slash != std::string_view::npos &&
           std::find(modules.begin(), modules.end(), identifier.substr(0, slash)) != modules.end();
}

std::string_view voiceNameIn(std::string_view identifier) {
    const auto slash = identifier.find('/');
    return slash == std::string_view::npos ? identifier : identifier.substr(slash + 1);
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
