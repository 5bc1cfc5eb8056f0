// integerReading of every kind of stored value built from the same bytes: the first eight as a
// 64-bit integer and as a double (any bit pattern: NaN, infinities, subnormals), all of them as a
// text and as a blob. Each reading must match the rule and clamp into the setting range.

#include "ReferenceRules.h"
#include "virelon/SettingsKeys.h"
#include "virelon/StoredValueReading.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

using namespace virelon::fuzz;

void expectClampedInRange(std::int64_t reading) {
    const std::int64_t clamped = virelon::clampSettingValue(reading);
    expect(clamped >= 0 && clamped <= 100, "clamp left the setting range");
    expect(clamped == inSettingRange(reading), "clamp differs from the rule");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    unsigned char first8[8] = {};
    std::memcpy(first8, data, size < 8 ? size : 8);
    std::int64_t integer = 0;
    double real = 0;
    std::memcpy(&integer, first8, sizeof integer);
    std::memcpy(&real, first8, sizeof real);

    const std::int64_t readings[] = {
        virelon::integerReading(integer),
        virelon::integerReading(real),
        virelon::integerReading(std::string_view(reinterpret_cast<const char*>(data), size)),
        virelon::integerReading(std::vector<std::uint8_t>(data, data + size)),
    };
    expect(readings[0] == integer, "an integer does not read as itself");
    expect(readings[1] == wholeNumber(real), "a real does not read truncated and saturated");
    expect(
        readings[2] ==
            decimalInteger(std::string_view(reinterpret_cast<const char*>(data), size)).value_or(0),
        "a text does not read as its decimal integer or 0");
    expect(readings[3] == 0, "a blob does not read as 0");
    for (const auto reading : readings)
        expectClampedInRange(reading);
    return 0;
}
