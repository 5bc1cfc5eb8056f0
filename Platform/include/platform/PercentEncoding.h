#pragma once

// Percent-encoding as SQLite's file URIs and D-Bus addresses take it: ASCII letters and digits and
// the punctuation given stay as they are, every other byte becomes "%XX".

#include <string>
#include <string_view>

namespace virelon::platform {

inline std::string percentEncoded(std::string_view text, std::string_view keptPunctuation) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
            (byte >= '0' && byte <= '9') || keptPunctuation.find(c) != std::string_view::npos) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += hex[byte >> 4];
            encoded += hex[byte & 0xF];
        }
    }
    return encoded;
}

} // namespace virelon::platform
