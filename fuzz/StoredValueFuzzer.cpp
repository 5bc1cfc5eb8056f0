// End to end: another program writes an arbitrary value of any SQLite kind under one of the six
// keys of a real preferences file with raw sqlite3; the adapter must read back exactly that value
// (alone and in a snapshot), integerReading must read it by the rule, and the shared settings (the
// engine's voiceSettings()) must give it clamped into 0...100.
//
// Input: byte 0 picks the key (mod 6), byte 1 the kind (mod 4: integer, real, text, blob); the
// rest is the value (integer and real from its first eight bytes).

#include "ReferenceRules.h"
#include "platform/PreferencesDomain.h"
#include "virelon/Identifiers.h"
#include "virelon/SettingsKeys.h"
#include "virelon/StoredValueReading.h"
#include "virelon/VirelonSharedSettings.h"

#include <sqlite3.h>

#include <array>
#include <cstring>
#include <filesystem>

namespace {

using namespace virelon::fuzz;
using virelon::platform::StoredValue;
namespace settings = virelon::settings;

constexpr const auto& keys = settings::allKeys;

// A private configuration folder (memory-backed when there is one), the adapter's domain and
// another program's prepared write, for the whole run.
struct Files {
    Files() {
        const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
        std::string pattern = std::string(base) + "/virelon-fuzz.XXXXXX";
        expect(::mkdtemp(pattern.data()) != nullptr, "no scratch folder");
        root = pattern;
        ::setenv("XDG_CONFIG_HOME", root.c_str(), 1);
        domain = virelon::platform::openPreferencesDomain(virelon::identifiers::suiteName);
        const auto path = virelon::platform::preferencesDomainPath(virelon::identifiers::suiteName);
        expect(domain && sqlite3_open_v2(path->c_str(), &other, SQLITE_OPEN_READWRITE, nullptr) ==
                             SQLITE_OK,
               "the domain or the other program's connection does not open");
        sqlite3_busy_timeout(other, 5000);
        expect(sqlite3_prepare_v2(other,
                                  "INSERT INTO preferences(key, value) VALUES(?1, ?2) "
                                  "ON CONFLICT(key) DO UPDATE SET value = excluded.value",
                                  -1, &upsert, nullptr) == SQLITE_OK,
               "cannot prepare the other program's write");
    }
    ~Files() {
        sqlite3_finalize(upsert);
        sqlite3_close_v2(other);
        domain.reset();
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    std::string root;
    std::unique_ptr<virelon::platform::PreferencesDomain> domain;
    sqlite3* other = nullptr;
    sqlite3_stmt* upsert = nullptr;
};

// SQLite may keep a whole real as an integer on disk; it still reads back as a real.
bool sameValue(const std::optional<StoredValue>& read, const StoredValue& written) {
    return read && (std::holds_alternative<double>(written)
                        ? std::holds_alternative<double>(*read) &&
                              std::get<double>(*read) == std::get<double>(written)
                        : *read == written);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    static Files f;
    const std::size_t keyIndex = data[0] % keys.size();
    const std::uint8_t* payload = data + 2;
    const std::size_t length = size - 2;
    auto [integer, real] = firstEight(payload, length);
    real = std::isnan(real) ? 0 : real; // SQLite keeps NaN as NULL, which the table refuses
    const std::string text(reinterpret_cast<const char*>(payload), length);

    StoredValue written;
    std::int64_t rule = 0;
    sqlite3_bind_text(f.upsert, 1, keys[keyIndex].data(), static_cast<int>(keys[keyIndex].size()),
                      SQLITE_STATIC);
    switch (data[1] % 4) {
    case 0:
        written = rule = integer;
        sqlite3_bind_int64(f.upsert, 2, integer);
        break;
    case 1:
        written = real;
        rule = wholeNumber(real);
        sqlite3_bind_double(f.upsert, 2, real);
        break;
    case 2:
        written = text;
        rule = decimalInteger(text).value_or(0);
        sqlite3_bind_text64(f.upsert, 2, text.data(), length, SQLITE_STATIC, SQLITE_UTF8);
        break;
    default:
        written = std::vector<std::uint8_t>(payload, payload + length);
        sqlite3_bind_blob64(f.upsert, 2, payload, length, SQLITE_STATIC);
    }
    expect(sqlite3_step(f.upsert) == SQLITE_DONE, "the other program's write failed");
    sqlite3_reset(f.upsert);
    sqlite3_clear_bindings(f.upsert);

    const auto read = f.domain->value(keys[keyIndex]);
    expect(sameValue(read, written), "the adapter read another value");
    expect(sameValue(f.domain->values(keys)[keyIndex], written), "the snapshot read another value");
    expect(std::visit([](const auto& value) { return virelon::integerReading(value); }, *read) ==
               rule,
           "integerReading differs from the rule");

    const auto all = virelon::VirelonSharedSettings::voiceSettings();
    const std::int64_t controls[] = {all.intonation, all.headSize, all.voicing, all.wordPause,
                                     all.phrasePause};
    for (const auto value : controls)
        expect(value >= 0 && value <= 100, "a setting outside 0...100");
    if (keyIndex < settings::voiceControls.size())
        expect(controls[keyIndex] == inSettingRange(rule),
               "the setting is not the clamped reading");
    else
        expect(all.fallbackVoiceIdentifier ==
                   (data[1] % 4 == 2 ? std::optional(text) : std::nullopt),
               "the fallback voice is not the stored text or nothing");
    return 0;
}
