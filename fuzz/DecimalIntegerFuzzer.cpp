// parseDecimalInteger against the grammar parsed in 128 bits: every input, not only the ones a
// test thought of, including overflow at both ends and long runs of leading zeros.

#include "ReferenceRules.h"
#include "virelon/DecimalInteger.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    virelon::fuzz::expect(virelon::parseDecimalInteger(text) == virelon::fuzz::decimalInteger(text),
                          "parseDecimalInteger differs from the grammar");
    return 0;
}
