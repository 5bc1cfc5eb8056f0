// The migration of legacy items, from the bytes a keychain item holds to what the shared domain
// stores: decodeUtf8 against a validator that decodes code points, then the migration itself over
// in-memory fakes. A voice control must end up holding clamp(parse(text)) or nothing; the fallback
// voice the text itself or nothing; a key that already held a value keeps it; nothing is flushed
// or posted.
//
// Input: the first byte says which of the six items exist (bits 0-5, in the order fallback voice,
// then the five controls) and whether intonation already holds a value (bit 6); the remaining
// bytes are every existing item's content.

#include "FakeSettingsPlatform.h"
#include "ReferenceRules.h"
#include "virelon/SettingsKeys.h"
#include "virelon/StoredValueReading.h"
#include "virelon/VirelonSharedSettings.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using namespace virelon::fuzz;
using virelon::platform::StoredValue;
namespace settings = virelon::settings;

constexpr std::int64_t alreadyStored = 7;

virelon::test::FakeWorld& world() {
    // The settings open their domain and legacy store once per process: one world for the run.
    static const auto instance = virelon::test::installFakeSettingsPlatform();
    return *instance;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const unsigned flags = data[0];
    const std::vector<std::uint8_t> item(data + 1, data + size);

    const auto decoded = virelon::decodeUtf8(item);
    const bool wellFormed = isWellFormedUtf8(item.data(), item.size());
    expect(decoded.has_value() == wellFormed, "decodeUtf8 differs from the validator");
    if (decoded)
        expect(*decoded == std::string(item.begin(), item.end()), "decoding changed the bytes");

    auto& w = world();
    w.stored.clear();
    w.legacyItems.clear();
    w.events.clear();
    w.lookups.clear();
    const auto exists = [flags](std::size_t index) { return (flags >> index & 1u) != 0; };
    if (exists(0))
        w.legacyItems[std::string(settings::fallbackVoiceIdentifierAccount)] = item;
    for (std::size_t i = 0; i < settings::voiceControls.size(); ++i) {
        if (exists(i + 1))
            w.legacyItems[std::string(settings::voiceControls[i].legacyAccount)] = item;
    }
    const bool intonationHeld = exists(6);
    if (intonationHeld)
        w.stored[std::string(settings::intonation.key)] = alreadyStored;

    virelon::VirelonSharedSettings::migrateLegacySettings();

    expect(w.flushes == 0 && w.posts == 0, "the migration flushed or posted");
    const auto storedAt = [&w](std::string_view key) -> std::optional<StoredValue> {
        const auto found = w.stored.find(key);
        return found == w.stored.end() ? std::nullopt : std::optional(found->second);
    };

    std::optional<StoredValue> fallback;
    if (exists(0) && wellFormed)
        fallback = std::string(item.begin(), item.end());
    expect(storedAt(settings::fallbackVoiceIdentifierKey) == fallback,
           "the fallback voice is not the decoded text or nothing");

    const auto number = wellFormed ? decimalInteger(std::string_view(
                                         reinterpret_cast<const char*>(item.data()), item.size()))
                                   : std::nullopt;
    for (std::size_t i = 0; i < settings::voiceControls.size(); ++i) {
        const auto& control = settings::voiceControls[i];
        std::optional<StoredValue> expected;
        if (i == 0 && intonationHeld)
            expected = alreadyStored;
        else if (exists(i + 1) && number)
            expected = inSettingRange(*number);
        expect(storedAt(control.key) == expected,
               "a voice control is not clamp(parse(text)), nothing, or what it held");
    }
    return 0;
}
