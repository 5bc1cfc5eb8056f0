// End to end: another program writes an arbitrary value of any SQLite kind under one of the six
// keys of a real preferences file with raw sqlite3; the adapter must read back exactly that value,
// integerReading must read it by the rule, and the shared settings (the engine's voiceSettings())
// must give it clamped into 0...100.
//
// Input: byte 0 picks the key (mod 6), byte 1 the kind (mod 4: integer, real, text, blob); the
// rest is the value (integer and real from its first eight bytes).

#include "PreferencesDomain.h"
#include "ReferenceRules.h"
#include "virelon/Identifiers.h"
#include "virelon/SettingsKeys.h"
#include "virelon/StoredValueReading.h"
#include "virelon/VirelonSharedSettings.h"

#include <sqlite3.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace {

using namespace virelon::fuzz;
using virelon::platform::StoredValue;
namespace settings = virelon::settings;

constexpr std::array<std::string_view, 6> keys{
    settings::intonation.key, settings::headSize.key,    settings::voicing.key,
    settings::wordPause.key,  settings::phrasePause.key, settings::fallbackVoiceIdentifierKey};

struct Files {
    Files() {
        // A private configuration folder on memory-backed storage when there is one.
        const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
        std::string pattern = std::string(base) + "/virelon-fuzz.XXXXXX";
        if (!::mkdtemp(pattern.data()))
            mismatch("no scratch folder");
        root = pattern;
        ::setenv("XDG_CONFIG_HOME", root.c_str(), 1);
        domain = virelon::platform::openPreferencesDomain(virelon::identifiers::suiteName);
        expect(domain != nullptr, "the domain does not open");
        const auto path = virelon::platform::preferencesDomainPath(virelon::identifiers::suiteName);
        expect(sqlite3_open_v2(path->c_str(), &other, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK,
               "the other program cannot open the file");
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

Files& files() {
    static Files instance;
    return instance;
}

bool sameValue(const StoredValue& read, const StoredValue& written) {
    if (const auto* real = std::get_if<double>(&written)) {
        // SQLite may keep a whole real as an integer on disk; it still reads back as a real.
        const auto* back = std::get_if<double>(&read);
        return back && *back == *real;
    }
    return read == written;
}

std::int64_t ruleReading(const StoredValue& value) {
    if (const auto* integer = std::get_if<std::int64_t>(&value))
        return *integer;
    if (const auto* real = std::get_if<double>(&value))
        return wholeNumber(*real);
    if (const auto* text = std::get_if<std::string>(&value))
        return decimalInteger(*text).value_or(0);
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    auto& f = files();
    const std::size_t keyIndex = data[0] % keys.size();
    const std::string_view key = keys[keyIndex];
    const unsigned kind = data[1] % 4u;
    const std::uint8_t* payload = data + 2;
    const std::size_t length = size - 2;
    unsigned char first8[8] = {};
    std::memcpy(first8, payload, length < 8 ? length : 8);

    StoredValue written;
    sqlite3_bind_text(f.upsert, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    switch (kind) {
    case 0: {
        std::int64_t integer = 0;
        std::memcpy(&integer, first8, sizeof integer);
        written = integer;
        sqlite3_bind_int64(f.upsert, 2, integer);
        break;
    }
    case 1: {
        double real = 0;
        std::memcpy(&real, first8, sizeof real);
        if (std::isnan(real)) // SQLite keeps NaN as NULL, which the table refuses
            real = 0;
        written = real;
        sqlite3_bind_double(f.upsert, 2, real);
        break;
    }
    case 2:
        written = std::string(reinterpret_cast<const char*>(payload), length);
        sqlite3_bind_text64(f.upsert, 2, reinterpret_cast<const char*>(payload), length,
                            SQLITE_STATIC, SQLITE_UTF8);
        break;
    default:
        written = std::vector<std::uint8_t>(payload, payload + length);
        sqlite3_bind_blob64(f.upsert, 2, payload, length, SQLITE_STATIC);
        break;
    }
    expect(sqlite3_step(f.upsert) == SQLITE_DONE, "the other program's write failed");
    sqlite3_reset(f.upsert);
    sqlite3_clear_bindings(f.upsert);

    const auto read = f.domain->value(key);
    expect(read.has_value() && sameValue(*read, written), "the adapter read another value");
    const auto snapshot = f.domain->values(keys);
    expect(snapshot[keyIndex].has_value() && sameValue(*snapshot[keyIndex], written),
           "the snapshot read another value");

    const auto all = virelon::VirelonSharedSettings::voiceSettings();
    const std::int64_t controls[] = {all.intonation, all.headSize, all.voicing, all.wordPause,
                                     all.phrasePause};
    for (const auto value : controls)
        expect(value >= 0 && value <= 100, "a setting outside 0...100");
    const std::int64_t reading =
        std::visit([](const auto& value) { return virelon::integerReading(value); }, *read);
    expect(reading == ruleReading(written), "integerReading differs from the rule");
    if (keyIndex < settings::voiceControls.size()) {
        expect(controls[keyIndex] == inSettingRange(reading),
               "the setting is not the clamped reading");
    } else {
        const auto* text = std::get_if<std::string>(&written);
        expect(text ? all.fallbackVoiceIdentifier == *text : !all.fallbackVoiceIdentifier,
               "the fallback voice is not the stored text or nothing");
    }
    return 0;
}
