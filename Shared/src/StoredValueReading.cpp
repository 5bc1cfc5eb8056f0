#include "virelon/StoredValueReading.h"

#include "virelon/DecimalInteger.h"

#include <cmath>
#include <limits>

namespace virelon {

std::int64_t integerReading(std::int64_t value) noexcept {
    return value;
}

std::int64_t integerReading(double value) noexcept {
    if (std::isnan(value))
        return 0;
    // 2^63 is exactly representable; anything at or beyond it saturates.
    constexpr double limit = 9223372036854775808.0;
    if (value >= limit)
        return std::numeric_limits<std::int64_t>::max();
    if (value <= -limit)
        return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value); // truncates toward zero
}

std::int64_t integerReading(std::string_view text) noexcept {
    return parseDecimalInteger(text).value_or(0);
}

std::int64_t integerReading(const std::vector<std::uint8_t>&) noexcept {
    return 0;
}

std::optional<std::string> decodeUtf8(const std::vector<std::uint8_t>& bytes) {
    const std::size_t size = bytes.size();
    std::size_t i = 0;
    while (i < size) {
        const std::uint8_t lead = bytes[i];
        std::size_t length = 0;
        std::uint32_t lowestSecond = 0x80, highestSecond = 0xBF;
        if (lead < 0x80) {
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0)
                lowestSecond = 0xA0; // overlong
            if (lead == 0xED)
                highestSecond = 0x9F; // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0)
                lowestSecond = 0x90; // overlong
            if (lead == 0xF4)
                highestSecond = 0x8F; // above U+10FFFF
        } else {
            return std::nullopt;
        }
        if (size - i < length)
            return std::nullopt;
        for (std::size_t k = 1; k < length; ++k) {
            const std::uint8_t b = bytes[i + k];
            const std::uint32_t low = k == 1 ? lowestSecond : 0x80;
            const std::uint32_t high = k == 1 ? highestSecond : 0xBF;
            if (b < low || b > high)
                return std::nullopt;
        }
        i += length;
    }
    return std::string(bytes.begin(), bytes.end());
}

} // namespace virelon
