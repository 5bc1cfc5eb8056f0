// The ICU locale services with real ICU data. Locales are given explicitly: with no LANG set,
// ICU's own default would be en_US_POSIX. How fast they sort is measured in bench/.

#include "platform/LocaleServices.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using virelon::platform::makeIcuLocaleServices;

int sign(int value) {
    return (value > 0) - (value < 0);
}

TEST(LocaleServices, NamesLanguagesInTheLocalesLanguageAndNothingElse) {
    const std::tuple<const char*, const char*, std::optional<std::string>> cases[] = {
        {"de_DE", "en-GB", "Englisch (Vereinigtes Königreich)"},
        {"en_US", "es-419", "Spanish (Latin America)"},
        {"en_US", "EN-gb", "English (United Kingdom)"},
        {"en_US", "en_GB", "English (United Kingdom)"},
        {"en_US", "en-GB-X-RP", "English (United Kingdom)"}, // private use: left unnamed
        {"en_US", "cmn-LATN-PINYIN", "Chinese (Latin, Pinyin Romanization)"},
        {"de_DE", "cmn-LATN-PINYIN", "Chinesisch (Lateinisch, Pinyin)"},
        {"en_US", "xx-YY", std::nullopt},
        {"de_DE", "zz", std::nullopt},
        {"en_US", "", std::nullopt},
        {"en_US", "not a tag", std::nullopt},
        {"en_US", "en-GB ", std::nullopt},
        {"en_US", "und-GB", std::nullopt},
        {"en_US", "x-rp", std::nullopt},
    };
    for (const auto& [locale, tag, name] : cases)
        EXPECT_EQ(makeIcuLocaleServices(locale)->languageName(tag), name) << locale << " " << tag;
}

TEST(LocaleServices, ComparesAsAFileManagerAndIgnoringCaseOnlyByTheLocalesRules) {
    // The first rows walk "emile Émile kate Kate KATE voice 9 Voice 10 Zoe Zoë"; then width is
    // ignored too, and German sorts "ö" with "o", Swedish after "z".
    const std::tuple<const char*, const char*, const char*, int, int> cases[] = {
        {"en_US", "emile", "Émile", -1, -1},  {"en_US", "Émile", "kate", -1, -1},
        {"en_US", "kate", "Kate", 0, 0},      {"en_US", "Kate", "KATE", 0, 0},
        {"en_US", "KATE", "voice 9", -1, -1}, {"en_US", "voice 9", "Voice 10", -1, 1},
        {"en_US", "Voice 10", "Zoe", -1, -1}, {"en_US", "Zoe", "Zoë", -1, -1},
        {"en_US", "Kate", "Katé", -1, -1},    {"en_US", "file2", "file10", -1, 1},
        {"en_US", "", "a", -1, -1},           {"en_US", "ｋａｔｅ", "kate", 0, 0},
        {"de_DE", "ö", "z", -1, -1},          {"sv_SE", "ö", "z", 1, 1},
    };
    for (const auto& [locale, a, b, standard, caseInsensitive] : cases) {
        const auto services = makeIcuLocaleServices(locale);
        SCOPED_TRACE(std::string(locale) + ": " + a + " vs " + b);
        EXPECT_EQ(sign(services->standardCompare(a, b)), standard);
        EXPECT_EQ(sign(services->standardCompare(b, a)), -standard);
        EXPECT_EQ(sign(services->caseInsensitiveCompare(a, b)), caseInsensitive);
        EXPECT_EQ(sign(services->caseInsensitiveCompare(b, a)), -caseInsensitive);
    }
}

TEST(LocaleServices, FollowsTheEnvironmentOnEveryCall) {
    const char* cases[][5] = {
        // LC_ALL, LC_MESSAGES, LANG; the identifier; "de" named in it
        {"de_DE.UTF-8", nullptr, nullptr, "de_DE", "Deutsch"},
        {"fr_FR.UTF-8", "de_DE.UTF-8", "en_GB.UTF-8", "fr_FR", "allemand"},
        {nullptr, "de_AT.UTF-8", "en_GB.UTF-8", "de_AT", "Deutsch"},
        {"", "", "sv_SE.UTF-8", "sv_SE", "tyska"}, // empty counts as unset
        {nullptr, nullptr, "de_DE@euro", "de_DE", "Deutsch"},
        {nullptr, nullptr, "ca_ES.UTF-8@valencia", "ca_ES", "alemany"},
        {nullptr, nullptr, "de", "de", "Deutsch"},
        {nullptr, nullptr, "C.UTF-8", "en_US", "German"},
        {"POSIX", nullptr, "de_DE.UTF-8", "en_US", "German"},
        {nullptr, nullptr, nullptr, "en_US", "German"},
        {nullptr, nullptr, "garbage!", "en_US", "German"},
    };
    const auto services = makeIcuLocaleServices(); // one instance: it must not keep an old answer
    for (const auto& c : cases) {
        for (int i = 0; i < 3; ++i) {
            const char* variable = i == 0 ? "LC_ALL" : i == 1 ? "LC_MESSAGES" : "LANG";
            c[i] ? ::setenv(variable, c[i], 1) : ::unsetenv(variable);
        }
        EXPECT_EQ(services->currentIdentifier(), c[3]);
        EXPECT_EQ(services->languageName("de"), c[4]) << c[3];
    }
    ::setenv("LANG", "sv_SE.UTF-8", 1); // and orders in it
    EXPECT_GT(services->standardCompare("ö", "z"), 0);
    ::setenv("LANG", "de_DE.UTF-8", 1);
    EXPECT_LT(services->standardCompare("ö", "z"), 0);
}

} // namespace
