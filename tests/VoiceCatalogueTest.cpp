// The fallback catalogue's rules: which voices are offered, their names, order and the choice.

#include "VoiceCatalogue.h"
#include "FakeScreenServices.h"
#include "virelon/Identifiers.h"

#include <gtest/gtest.h>

using namespace virelon;
using test::voice;

namespace {

const std::string app(identifiers::applicationIdentifier);

std::vector<std::string> identifiersOf(const std::vector<platform::Voice>& voices) {
    std::vector<std::string> ids;
    for (const auto& v : voices)
        ids.push_back(v.identifier);
    return ids;
}

TEST(VoiceCatalogue, VirelonVoicesAreThoseWhoseIdentifierBeginsWithTheApplicationIdentifier) {
    const struct {
        std::string identifier;
        bool virelon;
    } cases[] = {
        {app, true},
        {app + "/Aria", true},
        {app + "extra", true},
        {"espeak-ng/" + app, false},
        {app.substr(0, app.size() - 1), false},
        {"ORG.VIRELON.VOICES.IOS/Aria", false},
        {"", false},
    };
    for (const auto& [identifier, virelon] : cases)
        EXPECT_EQ(catalogue::isVirelonVoice(voice(identifier, "n", "en-GB")), virelon)
            << identifier;
}

TEST(VoiceCatalogue, DisplayNameIsLanguageNameCommaVoiceName) {
    test::FakeLocale locale;
    const struct {
        platform::Voice voice;
        std::string display;
    } cases[] = {
        {voice("m/Kate", "Kate", "en-GB"), "English (United Kingdom), Kate"},
        {voice("m/X", "X", "xx-YY"), "xx-YY, X"},
        {voice("m/E", "", "de-DE"), "German (Germany), "},
        {voice("m/N", "Nameless", ""), ", Nameless"},
    };
    for (const auto& [v, display] : cases)
        EXPECT_EQ(catalogue::displayName(v, locale), display);
}

TEST(VoiceCatalogue, FallbackListDropsVirelonVoicesAndSortsStablyByDisplayName) {
    test::FakeLocale locale;
    const std::vector<platform::Voice> installed = {
        voice("a/Zed", "Zed", "en-GB"),   voice(app + "/Aria", "Aria", "en-GB"),
        voice("b/Kate", "Kate", "fr-FR"), voice("c/kate", "kate", "en-GB"),
        voice("d/Kate", "Kate", "en-GB"), voice(app + "x/Other", "Other", "de-DE"),
        voice("e/Hans", "Hans", "de-DE"),
    };
    // "kate" and "Kate" in English compare the same: they keep the order they were listed in.
    const std::vector<std::string> expected = {"c/kate", "d/Kate", "a/Zed", "b/Kate", "e/Hans"};
    EXPECT_EQ(identifiersOf(catalogue::fallbackVoices(installed, locale)), expected);
    EXPECT_TRUE(catalogue::fallbackVoices({}, locale).empty());
}

TEST(VoiceCatalogue, ChoiceFollowsTheRulesInOrder) {
    test::FakeLocale locale;
    locale.identifier = "de_DE";
    const auto english = voice("m/Amy", "Amy", "en-GB");
    const auto kate = voice("m/Kate", "KATE", "fr-FR");
    const auto katelyn = voice("m/Katelyn", "Katelyn", "en-US");
    const auto germanUnderscore = voice("m/Hans", "Hans", "de_DE");
    const auto germanDash = voice("m/Greta", "Greta", "de-DE");
    const auto french = voice("m/Zoe", "Zoe", "fr-FR");

    const struct {
        const char* rule;
        std::vector<platform::Voice> voices;
        std::optional<std::string> stored;
        std::optional<std::string> chosen;
    } cases[] = {
        {"stored identifier", {english, kate, french}, "m/Zoe", "m/Zoe"},
        {"stored but gone, so Kate", {english, kate, french}, "m/Gone", "m/Kate"},
        {"Kate in any letter case", {english, katelyn, kate}, std::nullopt, "m/Kate"},
        {"locale identifier as language, exactly",
         {english, germanDash, germanUnderscore},
         std::nullopt,
         "m/Hans"},
        {"separator differs: en-GB instead", {french, germanDash, english}, std::nullopt, "m/Amy"},
        {"first voice", {french, katelyn}, std::nullopt, "m/Zoe"},
        {"nothing", {}, "m/Zoe", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto* chosen = catalogue::chooseFallbackVoice(c.voices, c.stored, locale);
        EXPECT_EQ(chosen ? std::optional(chosen->identifier) : std::nullopt, c.chosen) << c.rule;
    }
}

} // namespace
