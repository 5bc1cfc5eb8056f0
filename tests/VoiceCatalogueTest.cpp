// The fallback catalogue's rules: which voices are offered, their names, order and the choice.

#include "VoiceCatalogue.h"
#include "FakeScreenServices.h"
#include "virelon/Identifiers.h"

#include <gtest/gtest.h>

using namespace virelon;
using test::voice;

namespace {

const std::string app(identifiers::applicationIdentifier);

TEST(VoiceCatalogue, OffersOtherVoicesSortedStablyByLanguageCommaName) {
    test::FakeLocale locale;
    // Virelon's own voices are those whose identifier begins with the application identifier.
    const std::vector<platform::Voice> installed = {
        voice("a/Zed", "Zed", "en-GB"),   voice(app + "/Aria", "Aria", "en-GB"),
        voice("b/Kate", "Kate", "fr-FR"), voice("c/kate", "kate", "en-GB"),
        voice(app, "A", "de-DE"),         voice("d/Kate", "Kate", "en-GB"),
        voice(app + "x/O", "O", ""),      voice("ORG.VIRELON.VOICES.IOS/U", "U", "fr-FR"),
        voice("e/X", "X", "xx-YY"),       voice(app.substr(0, app.size() - 1), "", "de-DE"),
        voice("f/N", "Nameless", "")};
    // "kate" and "Kate" compare the same: they keep the order they were listed in.
    std::vector<std::string> shown;
    for (const auto& v : catalogue::fallbackVoices(installed, locale))
        shown.push_back(v.identifier + " " + catalogue::displayName(v, locale));
    EXPECT_EQ(shown,
              (std::vector<std::string>{
                  "f/N , Nameless", "c/kate English (United Kingdom), kate",
                  "d/Kate English (United Kingdom), Kate", "a/Zed English (United Kingdom), Zed",
                  "b/Kate French (France), Kate", "ORG.VIRELON.VOICES.IOS/U French (France), U",
                  app.substr(0, app.size() - 1) + " German (Germany), ", "e/X xx-YY, X"}));
}

TEST(VoiceCatalogue, ChoiceFollowsTheRulesInOrder) {
    test::FakeLocale locale;
    locale.identifier = "de_DE";
    const auto english = voice("m/Amy", "Amy", "en-GB"), kate = voice("m/Kate", "KATE", "fr-FR"),
               katelyn = voice("m/Katelyn", "Katelyn", "en-US"),
               germanUnderscore = voice("m/Hans", "Hans", "de_DE"),
               germanDash = voice("m/Greta", "Greta", "de-DE"),
               french = voice("m/Zoe", "Zoe", "fr-FR");
    const struct {
        const char* rule;
        std::vector<platform::Voice> voices;
        std::optional<std::string> stored, chosen;
    } cases[] = {
        {"stored identifier", {english, kate, french}, "m/Zoe", "m/Zoe"},
        {"stored but gone, so Kate in any letter case",
         {english, katelyn, kate},
         "m/Gone",
         "m/Kate"},
        {"locale identifier as language, exactly",
         {english, germanDash, germanUnderscore},
         {},
         "m/Hans"},
        {"separator differs: en-GB instead", {french, germanDash, english}, {}, "m/Amy"},
        {"first voice", {french, katelyn}, {}, "m/Zoe"},
        {"nothing", {}, "m/Zoe", {}},
    };
    for (const auto& c : cases) {
        const auto* chosen = catalogue::chooseFallbackVoice(c.voices, c.stored, locale);
        EXPECT_EQ(chosen ? std::optional(chosen->identifier) : std::nullopt, c.chosen) << c.rule;
    }
}

} // namespace
