#pragma once

// Inside the adapter only: the voices of one module's listing.

#include "platform/SpeechVoices.h"

#include <string_view>
#include <vector>

namespace virelon::platform::speechd {

/// Appends one module's voices, leaving out variants (another listed voice's name followed by "+"
/// and a variant, the way espeak-ng lists each voice once more for each of its variants:
/// "Afrikaans+Adam") and later entries of a name already listed (one name for two languages):
/// the identifier has to name one voice. A line reads "NAME\tLANGUAGE\tVARIANT". Throws only
/// std::bad_alloc.
void appendVoices(std::string_view module, const std::vector<std::string_view>& lines,
                  std::vector<Voice>& voices);

} // namespace virelon::platform::speechd
