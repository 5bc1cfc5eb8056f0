#pragma once

// The reading rules written out a second time, straight from their definitions and in a different
// way from the code under test, so that a fuzzer can compare the two on any input.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string_view>

namespace virelon::fuzz {

__extension__ typedef __int128 Wide;

/// Stops the run with a message; libFuzzer saves the input that got here.
[[noreturn]] inline void mismatch(const char* what) {
    std::fprintf(stderr, "mismatch: %s\n", what);
    std::abort();
}

inline void expect(bool holds, const char* what) {
    if (!holds)
        mismatch(what);
}

/// [+-]?[0-9]+ taken as a mathematical integer (in 128 bits, saturating far beyond 64), then
/// kept only when it lies within the signed 64-bit range.
inline std::optional<std::int64_t> decimalInteger(std::string_view text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size())
        return std::nullopt;
    constexpr Wide cap = Wide{1} << 100; // any magnitude past 2^64 is simply "too large"
    Wide magnitude = 0;
    for (; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < '0' || c > '9')
            return std::nullopt;
        if (magnitude < cap)
            magnitude = magnitude * 10 + (c - '0');
    }
    const Wide value = negative ? -magnitude : magnitude;
    if (value < std::numeric_limits<std::int64_t>::min() ||
        value > std::numeric_limits<std::int64_t>::max())
        return std::nullopt;
    return static_cast<std::int64_t>(value);
}

/// Well-formed UTF-8 by decoding each sequence to its code point and rejecting overlong forms,
/// surrogates and anything above U+10FFFF.
inline bool isWellFormedUtf8(const std::uint8_t* bytes, std::size_t size) {
    std::size_t i = 0;
    while (i < size) {
        const std::uint32_t lead = bytes[i];
        std::size_t length = 0;
        std::uint32_t point = 0, smallest = 0;
        if ((lead & 0x80) == 0) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2, point = lead & 0x1F, smallest = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, point = lead & 0x0F, smallest = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, point = lead & 0x07, smallest = 0x10000;
        } else {
            return false;
        }
        if (size - i < length)
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80)
                return false;
            point = (point << 6) | (bytes[i + k] & 0x3Fu);
        }
        if (point < smallest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

/// A real number as a whole number: truncated toward zero in extended precision (which holds
/// every 64-bit integer exactly), saturated, NaN as 0.
inline std::int64_t wholeNumber(double value) {
    if (std::isnan(value))
        return 0;
    const long double truncated = std::trunc(static_cast<long double>(value));
    if (truncated >= 9223372036854775807.0L)
        return std::numeric_limits<std::int64_t>::max();
    if (truncated <= -9223372036854775808.0L)
        return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(truncated);
}

inline std::int64_t inSettingRange(std::int64_t value) {
    return value < 0 ? 0 : value > 100 ? 100 : value;
}

} // namespace virelon::fuzz
