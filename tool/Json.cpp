#include "Json.h"

#include "virelon/StoredValueReading.h"

#include <cstdio>
#include <vector>

namespace virelon::tool {

namespace {
std::string validUtf8(std::string_view text) {
    // Replace each byte that does not start a well-formed sequence.
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        bool matched = false;
        for (std::size_t length = 1; length <= 4 && i + length <= text.size(); ++length) {
            const std::vector<std::uint8_t> piece(text.begin() + static_cast<long>(i),
                                                  text.begin() + static_cast<long>(i + length));
            if (decodeUtf8(piece)) {
                out.append(text.substr(i, length));
                i += length;
                matched = true;
                break;
            }
        }
        if (!matched) {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}
} // namespace

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (const char c : validUtf8(text)) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}

std::size_t controlCharacterAt(std::string_view text, std::size_t i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if (byte < 0x20 || byte == 0x7F)
        return 1;
    // U+0080 to U+009F are C2 80 to C2 9F in UTF-8.
    return byte == 0xC2 && next >= 0x80 && next <= 0x9F ? 2 : 0;
}

std::string terminalText(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (controlCharacterAt(text, i) == 2) {
            const auto next = static_cast<unsigned char>(text[++i]);
            out += "\\u00";
            out += hex[next >> 4];
            out += hex[next & 0xF];
        } else if (byte == '\\') {
            out += "\\\\";
        } else if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\r') {
            out += "\\r";
        } else if (byte == '\t') {
            out += "\\t";
        } else if (controlCharacterAt(text, i) == 1) {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
        } else {
            out += text[i];
        }
    }
    return out;
}

} // namespace virelon::tool
