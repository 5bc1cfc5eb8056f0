// The ICU locale services with real ICU data. Locales are given explicitly: with no LANG set,
// ICU's own default would be en_US_POSIX.

#include "LocaleServices.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <time.h>

namespace {

using virelon::platform::makeIcuLocaleServices;

int sign(int value) {
    return (value > 0) - (value < 0);
}

// Processor time, which other work on a busy machine does not inflate the way it does wall time.
std::chrono::nanoseconds threadTime() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

void setOrUnset(const char* name, const char* value) {
    if (value)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
}

TEST(LocaleServices, NamesLanguagesInTheLocalesLanguage) {
    struct Case {
        const char* locale;
        const char* tag;
        std::optional<std::string> name;
    };
    const Case cases[] = {
        {"en_US", "en-GB", "English (United Kingdom)"},
        {"de_DE", "en-GB", "Englisch (Vereinigtes Königreich)"},
        {"de_DE", "de-AT", "Deutsch (Österreich)"},
        {"en_US", "es-419", "Spanish (Latin America)"},
        {"en_US", "EN-gb", "English (United Kingdom)"},
        {"en_US", "en_GB", "English (United Kingdom)"},
        // Private-use subtags are left unnamed.
        {"en_US", "en-GB-X-RP", "English (United Kingdom)"},
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
    for (const auto& [locale, tag, name] : cases) {
        SCOPED_TRACE(std::string(locale) + " \"" + tag + "\"");
        EXPECT_EQ(makeIcuLocaleServices(locale)->languageName(tag), name);
    }
}

TEST(LocaleServices, ComparesAsAFileManagerAndIgnoringCaseOnly) {
    struct Case {
        const char* a;
        const char* b;
        int standard;
        int caseInsensitive;
    };
    // The first rows walk "emile Émile kate Kate KATE voice 9 Voice 10 Zoe Zoë".
    const Case cases[] = {
        {"emile", "Émile", -1, -1},  {"Émile", "kate", -1, -1},   {"kate", "Kate", 0, 0},
        {"Kate", "KATE", 0, 0},      {"KATE", "voice 9", -1, -1}, {"voice 9", "Voice 10", -1, 1},
        {"Voice 10", "Zoe", -1, -1}, {"Zoe", "Zoë", -1, -1},      {"Kate", "Katé", -1, -1},
        {"Kate", "Kates", -1, -1},   {"file2", "file10", -1, 1},  {"", "a", -1, -1},
        {"ｋａｔｅ", "kate", 0, 0}, // width is ignored too
    };
    const auto services = makeIcuLocaleServices("en_US");
    for (const auto& [a, b, standard, caseInsensitive] : cases) {
        SCOPED_TRACE(std::string(a) + " vs " + b);
        EXPECT_EQ(sign(services->standardCompare(a, b)), standard);
        EXPECT_EQ(sign(services->standardCompare(b, a)), -standard);
        EXPECT_EQ(sign(services->caseInsensitiveCompare(a, b)), caseInsensitive);
        EXPECT_EQ(sign(services->caseInsensitiveCompare(b, a)), -caseInsensitive);
    }
}

TEST(LocaleServices, OrdersByTheLocalesRules) {
    // German sorts "ö" with "o"; Swedish after "z".
    EXPECT_LT(makeIcuLocaleServices("de_DE")->standardCompare("ö", "z"), 0);
    EXPECT_GT(makeIcuLocaleServices("sv_SE")->standardCompare("ö", "z"), 0);
}

TEST(LocaleServices, TakesTheIdentifierFromTheEnvironmentOnEveryCall) {
    struct Case {
        const char* lcAll;
        const char* lcMessages;
        const char* lang;
        const char* identifier;
    };
    const Case cases[] = {
        {"de_DE.UTF-8", nullptr, nullptr, "de_DE"},
        {nullptr, nullptr, "en_GB.UTF-8", "en_GB"},
        {"fr_FR.UTF-8", "de_DE.UTF-8", "en_GB.UTF-8", "fr_FR"},
        {nullptr, "de_AT.UTF-8", "en_GB.UTF-8", "de_AT"},
        {"", "", "en_GB.UTF-8", "en_GB"}, // empty counts as unset
        {nullptr, nullptr, "de_DE@euro", "de_DE"},
        {nullptr, nullptr, "ca_ES.UTF-8@valencia", "ca_ES"},
        {nullptr, nullptr, "de", "de"},
        {nullptr, nullptr, "C.UTF-8", "en_US"},
        {"POSIX", nullptr, "de_DE.UTF-8", "en_US"},
        {nullptr, nullptr, nullptr, "en_US"},
        {nullptr, nullptr, "garbage!", "en_US"},
    };
    const auto services = makeIcuLocaleServices(); // one instance: it must not keep an old answer
    for (const auto& [lcAll, lcMessages, lang, identifier] : cases) {
        setOrUnset("LC_ALL", lcAll);
        setOrUnset("LC_MESSAGES", lcMessages);
        setOrUnset("LANG", lang);
        SCOPED_TRACE(identifier);
        EXPECT_EQ(services->currentIdentifier(), identifier);
    }
}

TEST(LocaleServices, NamesAndOrdersInTheEnvironmentsCurrentLocale) {
    ::unsetenv("LC_ALL");
    ::unsetenv("LC_MESSAGES");
    ::setenv("LANG", "de_DE.UTF-8", 1);
    const auto services = makeIcuLocaleServices();
    EXPECT_EQ(services->languageName("de"), "Deutsch");
    EXPECT_LT(services->standardCompare("ö", "z"), 0);

    ::setenv("LANG", "sv_SE.UTF-8", 1);
    EXPECT_EQ(services->languageName("de"), "tyska");
    EXPECT_GT(services->standardCompare("ö", "z"), 0);
}

TEST(LocaleServices, SortsTenThousandNamesQuickly) {
    const char* words[] = {"English", "Deutsch",         "Émile", "Zoë",
                           "voice",   "Chinese (Latin)", "Kate"};
    std::mt19937 random(7);
    std::vector<std::string> names;
    for (int i = 0; i < 10'000; ++i)
        names.push_back(std::string(words[random() % 7]) + " (" + words[random() % 7] + ") " +
                        std::to_string(random() % 1000));
    // The instance that follows the environment, which it checks on every comparison.
    ::setenv("LANG", "en_US.UTF-8", 1);
    const auto services = makeIcuLocaleServices();
    const auto start = threadTime();
    std::sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
        return services->standardCompare(a, b) < 0;
    });
    const auto elapsed = threadTime() - start;
    // About 20 ms in an optimised build; a collator opened per comparison would take seconds.
    // Unoptimised and sanitised builds are slower by more than that margin.
#if defined(NDEBUG) && !defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(elapsed, std::chrono::milliseconds(50));
#else
    (void)elapsed;
#endif
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end(), [&](const auto& a, const auto& b) {
        return services->standardCompare(a, b) < 0;
    }));
}

} // namespace
