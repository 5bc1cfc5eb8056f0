#include "VoiceEntries.h"

#include <algorithm>
#include <string>
#include <unordered_set>

namespace virelon::platform::speechd {

namespace {

struct Entry {
    std::string_view name;
    std::string_view language;
};

// "NAME\tLANGUAGE\tVARIANT"
Entry parse(std::string_view line) noexcept {
    const auto nameEnd = std::min(line.find('\t'), line.size());
    auto language = line.substr(std::min(nameEnd + 1, line.size()));
    language = language.substr(0, std::min(language.find('\t'), language.size()));
    return {line.substr(0, nameEnd), language};
}

// True when `name` is another listed voice's name followed by "+" and a variant, the way
// espeak-ng lists each voice once more for each of its variants ("Afrikaans+Adam"). `names` is
// sorted.
bool isVariant(std::string_view name, const std::vector<std::string_view>& names) noexcept {
    for (auto plus = name.find('+', 1); plus != std::string_view::npos && plus + 1 < name.size();
         plus = name.find('+', plus + 1)) {
        if (std::binary_search(names.begin(), names.end(), name.substr(0, plus)))
            return true;
    }
    return false;
}

} // namespace

// espeak-ng lists some 13,000 entries of which a hundred or so are kept: only the names are
// gathered first, and each line is read again when its voice is taken.
void appendVoices(std::string_view module, const std::vector<std::string_view>& lines,
                  std::vector<Voice>& voices) {
    std::vector<std::string_view> names;
    names.reserve(lines.size());
    for (const auto line : lines) {
        if (const auto name = parse(line).name; !name.empty())
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    std::unordered_set<std::string_view> taken;
    for (const auto line : lines) {
        const auto [name, language] = parse(line);
        if (name.empty() || isVariant(name, names) || !taken.insert(name).second)
            continue;
        std::string identifier;
        identifier.reserve(module.size() + 1 + name.size());
        identifier.append(module).append("/").append(name);
        voices.push_back(Voice{std::move(identifier), std::string(name), std::string(language)});
    }
}

} // namespace virelon::platform::speechd
