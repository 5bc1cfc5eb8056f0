#include "tool/BackupFile.h"

#include "tool/Json.h"
#include "virelon/SettingsKeys.h"
#include "virelon/StoredValueReading.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <map>
#include <stdexcept>
#include <variant>

namespace virelon::tool {

namespace {

// JSON as an export holds it: null, true, false, whole numbers, texts, arrays and objects.
struct JsonValue;
using JsonObject = std::map<std::string, JsonValue, std::less<>>;
struct JsonValue {
    std::variant<std::nullptr_t, bool, std::int64_t, std::string, std::vector<JsonValue>,
                 JsonObject>
        value;
};

// A strict reader of one JSON document (RFC 8259), whole numbers only; throws std::runtime_error
// with what is wrong and where.
class JsonReader {
public:
    explicit JsonReader(std::string_view text) : text_(text) {}

    JsonValue document() {
        auto value = read(0);
        space();
        if (at_ != text_.size())
            fail("text after the end of the document");
        return value;
    }

private:
    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error(what + " at byte " + std::to_string(at_ + 1));
    }
    void space() {
        while (at_ < text_.size() && std::strchr(" \t\r\n", text_[at_]) && text_[at_])
            ++at_;
    }
    bool take(char c) {
        space();
        if (at_ < text_.size() && text_[at_] == c)
            return ++at_, true;
        return false;
    }
    void expect(char c) {
        if (!take(c))
            fail(std::string("expected '") + c + "'");
    }
    bool word(std::string_view w) {
        if (text_.substr(at_, w.size()) != w)
            return false;
        at_ += w.size();
        return true;
    }

    JsonValue read(int depth) {
        if (depth > 4)
            fail("nested too deeply");
        space();
        if (at_ >= text_.size())
            fail("unexpected end");
        const char c = text_[at_];
        if (c == '"')
            return {string()};
        if (c == '[') {
            ++at_;
            std::vector<JsonValue> items;
            if (!take(']')) {
                do
                    items.push_back(read(depth + 1));
                while (take(','));
                expect(']');
            }
            return {std::move(items)};
        }
        if (c == '{') {
            ++at_;
            JsonObject members;
            if (!take('}')) {
                do {
                    space();
                    if (at_ >= text_.size() || text_[at_] != '"')
                        fail("expected a member name");
                    auto name = string();
                    expect(':');
                    if (!members.emplace(std::move(name), read(depth + 1)).second)
                        fail("a member named twice");
                } while (take(','));
                expect('}');
            }
            return {std::move(members)};
        }
        if (word("null"))
            return {nullptr};
        if (word("true"))
            return {true};
        if (word("false"))
            return {false};
        return {number()};
    }

    std::int64_t number() {
        const std::size_t start = at_;
        if (at_ < text_.size() && text_[at_] == '-')
            ++at_;
        const std::size_t digits = at_;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9')
            ++at_;
        const auto count = at_ - digits;
        if (count == 0 || (count > 1 && text_[digits] == '0'))
            fail("expected a value");
        if (at_ < text_.size() && std::strchr(".eE", text_[at_]) && text_[at_])
            fail("not a whole number");
        std::int64_t value = 0;
        const auto [end, error] = std::from_chars(text_.data() + start, text_.data() + at_, value);
        if (error != std::errc() || end != text_.data() + at_)
            fail("a number out of range");
        return value;
    }

    unsigned hex4() {
        unsigned code = 0;
        for (int i = 0; i < 4; ++i, ++at_) {
            const char c = at_ < text_.size() ? text_[at_] : '\0';
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0)
                fail("a bad \\u escape");
            code = code * 16 + static_cast<unsigned>(digit);
        }
        return code;
    }

    static void appendUtf8(std::string& out, unsigned code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | code >> 6);
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | code >> 12);
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | code >> 18);
            out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    std::string string() {
        ++at_; // the opening quote
        std::string out;
        for (;;) {
            if (at_ >= text_.size())
                fail("a text without its closing quote");
            const char c = text_[at_++];
            if (c == '"')
                break;
            if (static_cast<unsigned char>(c) < 0x20)
                fail("a control character inside a text");
            if (c != '\\') {
                out += c;
                continue;
            }
            const char escaped = at_ < text_.size() ? text_[at_++] : '\0';
            const char* from = "\"\\/bfnrt";
            const char* to = "\"\\/\b\f\n\r\t";
            if (const char* found = escaped ? std::strchr(from, escaped) : nullptr) {
                out += to[found - from];
            } else if (escaped == 'u') {
                unsigned code = hex4();
                if (code >= 0xD800 && code < 0xDC00 && word("\\u")) {
                    const unsigned low = hex4();
                    if (low < 0xDC00 || low > 0xDFFF)
                        fail("a lone surrogate");
                    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                } else if (code >= 0xD800 && code < 0xE000) {
                    fail("a lone surrogate");
                }
                appendUtf8(out, code);
            } else {
                fail("a bad escape");
            }
        }
        if (!decodeUtf8(std::vector<std::uint8_t>(out.begin(), out.end())))
            fail("a text that is not UTF-8");
        return out;
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

// What an export holds, checked whole: an array of {"key", "value", "stored"} objects, each key
// of the settings at most once; a stored voice control a whole number from 0 to 100, a stored
// fallback voice a text. Throws std::runtime_error saying what is wrong.
BackupSettings settingsOf(const JsonValue& document) {
    const auto* items = std::get_if<std::vector<JsonValue>>(&document.value);
    if (!items)
        throw std::runtime_error("it is not a list of settings");
    BackupSettings result;
    for (const auto& item : *items) {
        const auto* members = std::get_if<JsonObject>(&item.value);
        if (!members || members->size() != 3 || !members->contains("key") ||
            !members->contains("value") || !members->contains("stored"))
            throw std::runtime_error("each setting must have exactly \"key\", \"value\" and "
                                     "\"stored\"");
        const auto* key = std::get_if<std::string>(&members->find("key")->second.value);
        const auto* stored = std::get_if<bool>(&members->find("stored")->second.value);
        const auto& value = members->find("value")->second.value;
        if (!key || !stored)
            throw std::runtime_error("\"key\" must be a text and \"stored\" true or false");
        const auto known = std::find(settings::allKeys.begin(), settings::allKeys.end(), *key);
        if (known == settings::allKeys.end())
            throw std::runtime_error("unknown setting \"" + terminalText(*key) + "\"");
        for (const auto& [seen, ignored] : result) {
            if (seen == *key)
                throw std::runtime_error(*key + " is given twice");
        }
        if (!*stored) {
            result.emplace_back(*key, std::nullopt);
        } else if (settings::voiceControl(*key)) {
            const auto* whole = std::get_if<std::int64_t>(&value);
            if (!whole || *whole < settingMinimum || *whole > settingMaximum)
                throw std::runtime_error(*key + " must be a whole number from " +
                                         std::to_string(settingMinimum) + " to " +
                                         std::to_string(settingMaximum));
            result.emplace_back(*key, platform::StoredValue(*whole));
        } else {
            const auto* text = std::get_if<std::string>(&value);
            if (!text)
                throw std::runtime_error(*key + " must be a text");
            result.emplace_back(*key, platform::StoredValue(*text));
        }
    }
    return result;
}

} // namespace

std::optional<BackupSettings> readBackup(std::string_view text, std::string& error) {
    try {
        if (text.size() > largestBackup)
            throw std::runtime_error("it is larger than any export");
        return settingsOf(JsonReader(text).document());
    } catch (const std::runtime_error& wrong) {
        error = wrong.what();
    } catch (...) {
        error = "out of memory";
    }
    return std::nullopt;
}

} // namespace virelon::tool
