#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace virelon::platform {

/// The user's locale: its identifier, language names and the comparisons people expect.
/// Implementations never throw.
class LocaleServices {
public:
    virtual ~LocaleServices() = default;

    /// The current locale's identifier as language, "_", region (e.g. "en_GB"; "de" when the
    /// locale names no region); codeset and modifier are dropped ("de_DE.UTF-8@euro" → "de_DE").
    /// "C", "POSIX" or no locale at all give "en_US". Read afresh on every call.
    virtual std::string currentIdentifier() noexcept = 0;

    /// The name of the language that `languageTag` (e.g. "en-GB") stands for, written in the
    /// current locale's language ("English (United Kingdom)"); nothing when no name is known for
    /// the language or the text is no tag. Private-use subtags ("en-GB-x-rp") are not named.
    virtual std::optional<std::string> languageName(std::string_view languageTag) noexcept = 0;

    /// Orders texts as a file manager does: letter case ignored, digit runs by numeric value,
    /// locale-aware. Negative, zero or positive as a is before, the same as, or after b.
    virtual int standardCompare(std::string_view a, std::string_view b) noexcept = 0;

    /// Compares ignoring letter case only. Negative, zero or positive as for standardCompare.
    virtual int caseInsensitiveCompare(std::string_view a, std::string_view b) noexcept = 0;
};

/// ICU, with the current locale taken from the process environment (LC_ALL, LC_MESSAGES, LANG),
/// checked on every call. Collators are kept until the locale changes. Not for use from several
/// threads at once.
std::unique_ptr<LocaleServices> makeIcuLocaleServices() noexcept;

/// ICU with a fixed locale, such as "de_DE"; for tests and tools that must not follow the user.
std::unique_ptr<LocaleServices> makeIcuLocaleServices(std::string_view localeIdentifier) noexcept;

} // namespace virelon::platform
