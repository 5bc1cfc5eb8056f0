#include "platform/LocaleServices.h"

#include <unicode/ucol.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <utility>

namespace virelon::platform {

namespace {

// What "C", "POSIX" and no locale at all stand for. Not ICU's own en_US_POSIX: its collation
// orders by ASCII, capitals first, which no file manager does.
constexpr std::string_view neutralLocale = "en_US";

// The message locale as POSIX resolves it: the first of these that is set and not empty.
std::string_view environmentLocale() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return value;
    }
    return {};
}

bool isAsciiLetters(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); });
}

// "de_DE.UTF-8@euro" → "de_DE", "de" → "de", "C.UTF-8" → "en_US".
std::string normalizedIdentifier(std::string_view posixLocale) {
    const auto name = std::string(posixLocale.substr(0, posixLocale.find_first_of(".@")));
    if (name.empty() || name == "C" || name == "POSIX")
        return std::string(neutralLocale);
    char language[ULOC_LANG_CAPACITY] = {};
    char region[ULOC_COUNTRY_CAPACITY] = {};
    UErrorCode status = U_ZERO_ERROR;
    const auto languageLength = uloc_getLanguage(name.c_str(), language, sizeof language, &status);
    uloc_getCountry(name.c_str(), region, sizeof region, &status);
    const std::string_view languagePart(language, static_cast<std::size_t>(languageLength));
    if (status != U_ZERO_ERROR || languagePart.size() < 2 || languagePart.size() > 3 ||
        !isAsciiLetters(languagePart))
        return std::string(neutralLocale);
    std::string identifier(languagePart);
    if (*region)
        identifier.append("_").append(region);
    return identifier;
}

struct CollatorCloser {
    void operator()(UCollator* collator) const noexcept { ucol_close(collator); }
};
using Collator = std::unique_ptr<UCollator, CollatorCloser>;

// Secondary strength: letter case is ignored, accents are not.
Collator openCollator(const std::string& locale, bool numericDigits) {
    UErrorCode status = U_ZERO_ERROR;
    Collator collator(ucol_open(locale.c_str(), &status));
    if (U_FAILURE(status))
        return nullptr;
    ucol_setStrength(collator.get(), UCOL_SECONDARY);
    if (numericDigits)
        ucol_setAttribute(collator.get(), UCOL_NUMERIC_COLLATION, UCOL_ON, &status);
    return U_FAILURE(status) ? nullptr : std::move(collator);
}

// Without a collator, or for texts ICU cannot take, byte order is the best there is.
int compareWith(const UCollator* collator, std::string_view a, std::string_view b) noexcept {
    constexpr auto icuLimit = static_cast<std::size_t>(std::numeric_limits<int32_t>::max());
    if (collator && a.size() <= icuLimit && b.size() <= icuLimit) {
        UErrorCode status = U_ZERO_ERROR;
        const auto order =
            ucol_strcollUTF8(collator, a.empty() ? "" : a.data(), static_cast<int32_t>(a.size()),
                             b.empty() ? "" : b.data(), static_cast<int32_t>(b.size()), &status);
        if (U_SUCCESS(status))
            return order;
    }
    const int bytes = a.compare(b);
    return (bytes > 0) - (bytes < 0);
}

using DisplayFunction = int32_t (*)(const char*, const char*, UChar*, int32_t, UErrorCode*);

// A display text of locale `id` in `displayLocale`, with ICU's status (which tells a real name
// from a placeholder); nothing on failure.
std::optional<std::pair<std::u16string, UErrorCode>>
displayText(DisplayFunction display, const char* id, const char* displayLocale) {
    std::u16string text(64, u'\0');
    UErrorCode status = U_ZERO_ERROR;
    auto length =
        display(id, displayLocale, text.data(), static_cast<int32_t>(text.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR && length > 0) {
        text.resize(static_cast<std::size_t>(length));
        status = U_ZERO_ERROR;
        length = display(id, displayLocale, text.data(), length, &status);
    }
    if (U_FAILURE(status) || length < 0)
        return std::nullopt;
    text.resize(static_cast<std::size_t>(length));
    return std::pair{std::move(text), status};
}

std::optional<std::string> toUtf8(const std::u16string& text) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = 0;
    u_strToUTF8(nullptr, 0, &length, text.data(), static_cast<int32_t>(text.size()), &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status))
        return std::nullopt;
    std::string utf8(static_cast<std::size_t>(length), '\0');
    status = U_ZERO_ERROR;
    u_strToUTF8(utf8.data(), length, nullptr, text.data(), static_cast<int32_t>(text.size()),
                &status);
    if (U_FAILURE(status))
        return std::nullopt;
    return utf8;
}

class IcuLocaleServices final : public LocaleServices {
public:
    IcuLocaleServices() = default;
    explicit IcuLocaleServices(std::string_view fixedLocale)
        : fixed_(true), locale_(normalizedIdentifier(fixedLocale)) {}

    std::string currentIdentifier() noexcept override {
        try {
            return locale();
        } catch (...) { // out of memory
            return {};
        }
    }

    std::optional<std::string> languageName(std::string_view languageTag) noexcept override {
        try {
            return nameOf(languageTag);
        } catch (...) { // out of memory
            return std::nullopt;
        }
    }

    int standardCompare(std::string_view a, std::string_view b) noexcept override {
        return compareWith(collator(Order::standard), a, b);
    }

    int caseInsensitiveCompare(std::string_view a, std::string_view b) noexcept override {
        return compareWith(collator(Order::caseInsensitive), a, b);
    }

private:
    enum class Order { standard, caseInsensitive };

    struct Collators {
        std::string locale;
        Collator standard;
        Collator caseInsensitive;
    };

    std::optional<std::string> nameOf(std::string_view languageTag) {
        // Tags come with either separator ("en-GB", "en_GB").
        std::string tag(languageTag);
        std::replace(tag.begin(), tag.end(), '_', '-');
        char id[ULOC_FULLNAME_CAPACITY] = {};
        int32_t parsed = 0;
        UErrorCode status = U_ZERO_ERROR;
        const auto idLength = uloc_forLanguageTag(tag.c_str(), id, sizeof id, &parsed, &status);
        if (status != U_ZERO_ERROR || idLength <= 0 ||
            static_cast<std::size_t>(parsed) != tag.size())
            return std::nullopt;
        // Private-use subtags ("en-GB-x-rp") have no names; ICU would show them raw
        // ("English (United Kingdom, Private-Use=rp)").
        uloc_setKeywordValue("x", nullptr, id, sizeof id, &status);
        char language[ULOC_LANG_CAPACITY] = {};
        uloc_getLanguage(id, language, sizeof language, &status);
        if (U_FAILURE(status) || !*language)
            return std::nullopt; // "und-GB", "x-foo": no language to name

        // ICU names an unknown language by its code ("xx (YY)") and says so only for the language.
        const auto& displayLocale = locale();
        const auto languagePart = displayText(uloc_getDisplayLanguage, id, displayLocale.c_str());
        if (!languagePart || languagePart->second == U_USING_DEFAULT_WARNING)
            return std::nullopt;
        const auto name = displayText(uloc_getDisplayName, id, displayLocale.c_str());
        if (!name)
            return std::nullopt;
        return toUtf8(name->first);
    }

    // Checked on every call, so cheaply: the environment's text is parsed only when it changed.
    const std::string& locale() {
        if (fixed_)
            return locale_;
        const auto environment = environmentLocale();
        if (!seen_ || environment != environment_) {
            environment_ = environment;
            locale_ = normalizedIdentifier(environment);
            seen_ = true;
        }
        return locale_;
    }

    // The current locale's collator; nothing when ICU has none, and comparing falls back to
    // byte order.
    const UCollator* collator(Order order) noexcept {
        try {
            const auto& current = locale();
            if (!collators_ || collators_->locale != current)
                collators_ =
                    Collators{current, openCollator(current, true), openCollator(current, false)};
            return order == Order::standard ? collators_->standard.get()
                                            : collators_->caseInsensitive.get();
        } catch (...) { // out of memory
            return nullptr;
        }
    }

    bool fixed_ = false;
    bool seen_ = false;
    std::string environment_;
    std::string locale_;
    std::optional<Collators> collators_;
};

} // namespace

std::unique_ptr<LocaleServices> makeIcuLocaleServices() noexcept {
    return std::make_unique<IcuLocaleServices>();
}

std::unique_ptr<LocaleServices> makeIcuLocaleServices(std::string_view localeIdentifier) noexcept {
    return std::make_unique<IcuLocaleServices>(localeIdentifier);
}

} // namespace virelon::platform
