#include "VoiceEntries.h"

#include <algorithm>
#include <string>
#include <unordered_set>
#include <utility>

namespace virelon::platform::speechd {

namespace {

// True when `name` is another listed voice's name followed by "+" and a variant, the way
// espeak-ng lists each voice once more for each of its variants ("Afrikaans+Adam").
bool isVariant(std::string_view name, const std::unordered_set<std::string_view>& names) noexcept {
    for (auto plus = name.find('+', 1); plus != std::string_view::npos && plus + 1 < name.size();
         plus = name.find('+', plus + 1)) {
        if (names.contains(name.substr(0, plus)))
            return true;
    }
    return false;
}

} // namespace

void appendVoices(std::string_view module, const std::vector<std::string_view>& lines,
                  std::vector<Voice>& voices) {
    std::vector<std::pair<std::string_view, std::string_view>> entries;
    entries.reserve(lines.size());
    std::unordered_set<std::string_view> names;
    names.reserve(lines.size());
    for (const auto line : lines) {
        const auto nameEnd = std::min(line.find('\t'), line.size());
        const auto name = line.substr(0, nameEnd);
        auto language = line.substr(std::min(nameEnd + 1, line.size()));
        language = language.substr(0, std::min(language.find('\t'), language.size()));
        if (name.empty())
            continue;
        entries.emplace_back(name, language);
        names.insert(name);
    }
    std::unordered_set<std::string_view> listed;
    for (const auto& [name, language] : entries) {
        if (isVariant(name, names) || !listed.insert(name).second)
            continue;
        std::string identifier;
        identifier.reserve(module.size() + 1 + name.size());
        identifier.append(module).append("/").append(name);
        voices.push_back(Voice{std::move(identifier), std::string(name), std::string(language)});
    }
}

} // namespace virelon::platform::speechd
