// The reading rules against their reference, on any bytes: parseDecimalInteger against the
// grammar parsed in 128 bits (overflow at both ends, long runs of leading zeros); integerReading
// of every kind of stored value made of the same bytes (the first eight as a 64-bit integer and
// as a double of any bit pattern, all of them as a text and as a blob), each clamped into the
// setting range; decodeUtf8 against a validator that decodes code points.

#include "ReferenceRules.h"
#include "virelon/DecimalInteger.h"
#include "virelon/SettingsKeys.h"
#include "virelon/StoredValueReading.h"

#include <cstring>
#include <string>
#include <vector>

using namespace virelon::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::vector<std::uint8_t> bytes(data, data + size);
    expect(virelon::parseDecimalInteger(text) == decimalInteger(text),
           "parseDecimalInteger differs from the grammar");

    const auto [integer, real] = firstEight(data, size);
    const std::int64_t readings[][2] = {
        {virelon::integerReading(integer), integer},
        {virelon::integerReading(real), wholeNumber(real)},
        {virelon::integerReading(text), decimalInteger(text).value_or(0)},
        {virelon::integerReading(bytes), 0},
    };
    for (const auto& [reading, rule] : readings) {
        expect(reading == rule, "integerReading differs from the rule");
        expect(virelon::clampSettingValue(reading) == inSettingRange(reading),
               "clamp differs from the rule");
    }

    const auto decoded = virelon::decodeUtf8(bytes);
    expect(decoded.has_value() == isWellFormedUtf8(data, size),
           "decodeUtf8 differs from the validator");
    expect(!decoded || *decoded == std::string(text), "decoding changed the bytes");
    return 0;
}
