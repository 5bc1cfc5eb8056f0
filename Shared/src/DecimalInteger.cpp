#include "virelon/DecimalInteger.h"

#include <limits>

namespace virelon {

std::optional<std::int64_t> parseDecimalInteger(std::string_view text) noexcept {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty())
        return std::nullopt;

    // Accumulate away from zero in the direction of the sign, so that the most negative value,
    // whose magnitude has no positive counterpart, is reached without overflow.
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    constexpr auto min = std::numeric_limits<std::int64_t>::min();
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        const std::int64_t digit = c - '0';
        if (negative) {
            if (value < (min + digit) / 10)
                return std::nullopt;
            value = value * 10 - digit;
        } else {
            if (value > (max - digit) / 10)
                return std::nullopt;
            value = value * 10 + digit;
        }
    }
    return value;
}

} // namespace virelon
