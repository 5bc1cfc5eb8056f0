#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace virelon {

/// Parses a signed 64-bit decimal integer: an optional single "+" or "-", then one or more ASCII
/// digits and nothing else (no blanks, no line ends, no separators). Leading zeros are allowed;
/// the most negative 64-bit value is accepted. Returns nothing for any other text or on overflow.
std::optional<std::int64_t> parseDecimalInteger(std::string_view text) noexcept;

} // namespace virelon
