#pragma once

#include <string>
#include <string_view>

namespace virelon::tool {

/// The text as a JSON string literal, quotes included. Bytes that are not UTF-8 are replaced by
/// U+FFFD so that the output always parses.
std::string jsonString(std::string_view text);

/// The text as it may reach a terminal: control characters (C0, DEL and C1, which could move the
/// cursor, forge a line or change the terminal) are written as \n, \r, \t or \xHH (\u0080 to
/// \u009F for C1), and a backslash as \\, so that nothing printed can pass for something else.
std::string terminalText(std::string_view text);

} // namespace virelon::tool
