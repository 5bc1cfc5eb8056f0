#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace virelon::tool {

/// The text as a JSON string literal, quotes included. Bytes that are not UTF-8 are replaced by
/// U+FFFD so that the output always parses.
std::string jsonString(std::string_view text);

/// The text as it may reach a terminal: control characters (C0, DEL and C1, which could move the
/// cursor, forge a line or change the terminal) are written as \n, \r, \t or \xHH (\u0080 to
/// \u009F for C1), characters that show nothing or reorder the text (format characters such as
/// U+200B to U+200F, U+202A to U+202E, U+2066 to U+2069, U+FEFF and U+061C, the line and paragraph
/// separators, the tag characters) as \uXXXX or \UXXXXXXXX, each byte that is not UTF-8 as \xHH,
/// and a backslash as \\, so that nothing printed can pass for something else.
std::string terminalText(std::string_view text);

/// The length in bytes of the control character (C0, DEL, or C1 in UTF-8) at `i`, or 0.
std::size_t controlCharacterAt(std::string_view text, std::size_t i);

} // namespace virelon::tool
