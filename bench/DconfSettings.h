#pragma once

// The six settings as keys of a dconf folder, for the comparison benchmark and its engine.

#include <dconf.h>

#include <cstdint>
#include <string>

namespace bench {

inline constexpr const char* dconfKeys[] = {"intonation",  "headSizePercent",
                                            "voicing",     "wordPause",
                                            "phrasePause", "fallbackVoiceIdentifier"};

/// Reads all six keys below `folder` (ending in "/") and sums them as the engines do.
inline std::int64_t readSixFromDconf(DConfClient* client, const std::string& folder) {
    std::int64_t sum = 0;
    for (const char* key : dconfKeys) {
        GVariant* value = dconf_client_read(client, (folder + key).c_str());
        if (!value)
            continue;
        if (g_variant_is_of_type(value, G_VARIANT_TYPE_INT64))
            sum += g_variant_get_int64(value);
        else if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING))
            sum += static_cast<std::int64_t>(g_variant_get_size(value));
        g_variant_unref(value);
    }
    return sum;
}

} // namespace bench
