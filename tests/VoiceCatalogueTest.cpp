// The fallback catalogue's rules: which voices are offered, their names, order and the choice.

#include "catalogue/VoiceCatalogue.h"
#include "support/FakeScreenServices.h"
#include "virelon/Identifiers.h"

#include <gtest/gtest.h>

using namespace virelon;
using test::voice;

namespace {

TEST(VoiceCatalogue, OffersOtherVoicesSortedStablyByLanguageCommaNameAndChoosesByTheRules) {
    test::FakeLocale locale;
    locale.identifier = "de_DE";
    const std::string app(identifiers::applicationIdentifier), near = app.substr(0, app.size() - 1);
    // Virelon's own voices: those whose identifier begins with the application identifier.
    const std::vector<platform::Voice> installed = {
        voice("a/Zed", "Zed", "en-GB"),   voice(app + "/Aria", "Aria", "en-GB"),
        voice("b/Kate", "Kate", "fr-FR"), voice("c/kate", "kate", "en-GB"),
        voice(app, "A", "de-DE"),         voice("d/Kate", "Kate", "en-GB"),
        voice(app + "x/O", "O", ""),      voice("e/X", "X", "xx-YY"),
        voice(near, "", "de-DE"),         voice("f/N", "Nameless", "")};
    // "kate" and "Kate" compare the same: they keep the order they were listed in.
    std::vector<std::string> shown;
    for (const auto& v : catalogue::fallbackVoices(installed, locale))
        shown.push_back(v.identifier + " " + catalogue::displayName(v, locale));
    EXPECT_EQ(shown,
              (std::vector<std::string>{
                  "f/N , Nameless", "c/kate English (United Kingdom), kate",
                  "d/Kate English (United Kingdom), Kate", "a/Zed English (United Kingdom), Zed",
                  "b/Kate French (France), Kate", near + " German (Germany), ", "e/X xx-YY, X"}));
    const auto amy = voice("Amy", "Amy", "en-GB"), kate = voice("Kate", "KATE", "fr-FR"),
               katelyn = voice("Katelyn", "Katelyn", "en-US"), hans = voice("Hans", "", "de_DE"),
               greta = voice("Greta", "", "de-DE"), zoe = voice("Zoe", "Zoe", "fr-FR");
    const struct {
        std::vector<platform::Voice> voices;
        std::optional<std::string> stored, chosen;
    } cases[] = {
        {{amy, kate, zoe}, "Zoe", "Zoe"},       // the stored voice
        {{amy, katelyn, kate}, "Gone", "Kate"}, // gone: Kate, in any letter case
        {{amy, greta, hans}, {}, "Hans"},       // the locale identifier as language, exactly
        {{zoe, greta, amy}, {}, "Amy"},         // no such: en-GB
        {{zoe, katelyn}, {}, "Zoe"},            // the first voice
        {{}, "Zoe", {}},                        // nothing
    };
    for (const auto& c : cases) {
        const auto* chosen = catalogue::chooseFallbackVoice(c.voices, c.stored, locale);
        EXPECT_EQ(chosen ? std::optional(chosen->identifier) : std::nullopt, c.chosen);
    }
}

} // namespace
