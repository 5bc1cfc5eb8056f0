#pragma once

// The reading rules written out a second time, straight from their definitions and in a different
// way from the code under test, so that a fuzzer can compare the two on any input.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

namespace virelon::fuzz {

/// Stops the run with a message unless `holds`; libFuzzer saves the input that got here.
inline void expect(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "mismatch: %s\n", what);
        std::abort();
    }
}

/// [+-]?[0-9]+ taken as a mathematical integer (in 128 bits, saturating far beyond 64), then
/// kept only when it lies within the signed 64-bit range.
inline std::optional<std::int64_t> decimalInteger(std::string_view text) {
    __extension__ typedef __int128 Wide;
    const bool negative = text.starts_with('-');
    text.remove_prefix(negative || text.starts_with('+'));
    Wide magnitude = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        magnitude = std::min<Wide>(magnitude * 10 + (c - '0'), Wide{1} << 100);
    }
    const Wide value = negative ? -magnitude : magnitude;
    if (text.empty() || value < std::numeric_limits<std::int64_t>::min() ||
        value > std::numeric_limits<std::int64_t>::max())
        return std::nullopt;
    return static_cast<std::int64_t>(value);
}

/// Well-formed UTF-8 by decoding each sequence to its code point and rejecting overlong forms,
/// surrogates and anything above U+10FFFF.
inline bool isWellFormedUtf8(const std::uint8_t* bytes, std::size_t size) {
    for (std::size_t i = 0; i < size;) {
        const std::uint32_t lead = bytes[i];
        const std::size_t length = lead < 0x80             ? 1
                                   : (lead & 0xE0) == 0xC0 ? 2
                                   : (lead & 0xF0) == 0xE0 ? 3
                                   : (lead & 0xF8) == 0xF0 ? 4
                                                           : 0;
        if (length == 0 || size - i < length)
            return false;
        std::uint32_t point = lead & (0xFFu >> (length + (length > 1)));
        for (std::size_t k = 1; k < length; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80)
                return false;
            point = (point << 6) | (bytes[i + k] & 0x3Fu);
        }
        constexpr std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < smallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

/// A real number as a whole number: truncated toward zero in extended precision (which holds
/// every 64-bit integer exactly), saturated, NaN as 0.
inline std::int64_t wholeNumber(double value) {
    const long double truncated = std::trunc(static_cast<long double>(value));
    if (std::isnan(value))
        return 0;
    if (truncated >= 9223372036854775807.0L)
        return std::numeric_limits<std::int64_t>::max();
    if (truncated <= -9223372036854775808.0L)
        return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(truncated);
}

inline std::int64_t inSettingRange(std::int64_t value) {
    return value < 0 ? 0 : value > 100 ? 100 : value;
}

/// The first eight bytes of an input (zeros past its end) read as a 64-bit integer and as a
/// double: the numbers every fuzzer makes of the same bytes.
struct FirstEight {
    std::int64_t integer = 0;
    double real = 0;
};
inline FirstEight firstEight(const std::uint8_t* data, std::size_t size) {
    unsigned char bytes[8] = {};
    std::memcpy(bytes, data, size < 8 ? size : 8);
    FirstEight numbers;
    std::memcpy(&numbers.integer, bytes, sizeof numbers.integer);
    std::memcpy(&numbers.real, bytes, sizeof numbers.real);
    return numbers;
}

} // namespace virelon::fuzz
