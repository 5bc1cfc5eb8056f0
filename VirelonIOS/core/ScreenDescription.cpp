#include "core/ScreenDescription.h"

#include <cmath>

namespace virelon::ui {

std::string formatPercent(std::string_view key, std::int64_t value) {
    constexpr std::string_view placeholder = "%lld";
    std::string text(key);
    if (const auto at = text.find(placeholder); at != std::string::npos)
        text.replace(at, placeholder.size(), std::to_string(value));
    return text;
}

std::int64_t roundHalfAwayFromZero(double value) {
    // std::llround rounds halves away from zero; the slider only delivers 0...100.
    return static_cast<std::int64_t>(std::llround(value));
}

} // namespace virelon::ui
