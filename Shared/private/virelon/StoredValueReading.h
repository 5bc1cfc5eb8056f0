#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace virelon {

/// How a stored value reads as a whole number, whatever wrote it:
/// - an integer is itself;
/// - a real number is truncated toward zero and saturated to the 64-bit range (NaN reads as 0);
/// - a text that is a decimal integer (parseDecimalInteger) is that number, any other text 0;
/// - a blob is 0.
/// Callers clamp the result to the setting range.
std::int64_t integerReading(std::int64_t value) noexcept;
std::int64_t integerReading(double value) noexcept;
std::int64_t integerReading(std::string_view text) noexcept;
std::int64_t integerReading(const std::vector<std::uint8_t>& blob) noexcept;

/// The bytes as text when they are well-formed UTF-8 (no overlong forms, no surrogates, nothing
/// above U+10FFFF; NUL is allowed), otherwise nothing.
std::optional<std::string> decodeUtf8(const std::vector<std::uint8_t>& bytes);

} // namespace virelon
