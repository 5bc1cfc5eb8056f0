#include "tool/Json.h"

#include "virelon/StoredValueReading.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <optional>
#include <utility>
#include <vector>

namespace virelon::tool {

namespace {

// A well-formed UTF-8 sequence: its length in bytes and the code point it encodes.
struct Sequence {
    std::size_t length;
    char32_t codePoint;
};

// The well-formed sequence starting at `i`, or nothing when the byte there starts none.
std::optional<Sequence> sequenceAt(std::string_view text, std::size_t i) {
    for (std::size_t length = 1; length <= 4 && i + length <= text.size(); ++length) {
        const std::vector<std::uint8_t> piece(text.begin() + static_cast<long>(i),
                                              text.begin() + static_cast<long>(i + length));
        if (!decodeUtf8(piece))
            continue;
        static constexpr std::uint8_t leadBits[] = {0x7F, 0x1F, 0x0F, 0x07};
        char32_t codePoint = piece[0] & leadBits[length - 1];
        for (std::size_t k = 1; k < length; ++k)
            codePoint = (codePoint << 6) | (piece[k] & 0x3F);
        return Sequence{length, codePoint};
    }
    return std::nullopt;
}

std::string validUtf8(std::string_view text) {
    // Replace each byte that does not start a well-formed sequence.
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        if (const auto sequence = sequenceAt(text, i)) {
            out.append(text.substr(i, sequence->length));
            i += sequence->length;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

// C1 controls, and the characters that show nothing or change the order or the lines of what
// follows (the format characters, the bidirectional marks, embeddings, overrides and isolates,
// the line and paragraph separators, the byte order mark, the tag characters): printed raw, a
// name could hide a part of itself or show its text in another order.
bool isHidden(char32_t c) {
    static constexpr std::pair<char32_t, char32_t> ranges[] = {
        {0x80, 0x9F},     {0xAD, 0xAD},     {0x61C, 0x61C},    {0x180E, 0x180E},
        {0x200B, 0x200F}, {0x2028, 0x202E}, {0x2060, 0x2064},  {0x2066, 0x206F},
        {0xFEFF, 0xFEFF}, {0xFFF9, 0xFFFB}, {0xE0000, 0xE007F}};
    return std::any_of(std::begin(ranges), std::end(ranges),
                       [c](const auto& range) { return c >= range.first && c <= range.second; });
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
    const auto hexDigits = [](std::string& out, std::uint32_t value, int digits) {
        while (digits-- > 0)
            out += hex[(value >> (4 * digits)) & 0xF];
    };
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const auto sequence = sequenceAt(text, i);
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\r') {
            out += "\\r";
        } else if (byte == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7F || !sequence) {
            out += "\\x"; // C0, DEL, or a byte that is not UTF-8
            hexDigits(out, byte, 2);
        } else if (isHidden(sequence->codePoint)) {
            out += sequence->codePoint > 0xFFFF ? "\\U" : "\\u";
            hexDigits(out, sequence->codePoint, sequence->codePoint > 0xFFFF ? 8 : 4);
        } else {
            out.append(text.substr(i, sequence->length));
        }
        i += sequence ? sequence->length : 1;
    }
    return out;
}

} // namespace virelon::tool
