#pragma once

#include <string>
#include <string_view>

namespace virelon::tool {

/// The text as a JSON string literal, quotes included. Bytes that are not UTF-8 are replaced by
/// U+FFFD so that the output always parses.
std::string jsonString(std::string_view text);

} // namespace virelon::tool
