#pragma once

#include <memory>
#include <string>
#include <vector>

namespace virelon::platform {

/// One installed system voice as the speech server lists it.
struct Voice {
    std::string identifier; ///< unique per voice: "<output module>/<voice name>"
    std::string name;       ///< the voice's own name
    std::string language;   ///< the language text exactly as the server gives it, e.g. "en-GB"

    friend bool operator==(const Voice&, const Voice&) = default;
};

/// The system's speech voices. Implementations never throw and never block without bound.
class SpeechVoices {
public:
    virtual ~SpeechVoices() = default;

    /// Asks for the voices to be reloaded, so that the next listing is fresh. No result.
    virtual void updateSpeechVoices() = 0;

    /// The installed voices in the server's order; empty when there is no server or it does not
    /// answer in time.
    virtual std::vector<Voice> speechVoices() = 0;
};

/// The voices of every output module of speech-dispatcher. Entries that are only a variant of
/// another listed voice ("Name+Variant") are left out.
std::unique_ptr<SpeechVoices> makeSpeechDispatcherVoices();

} // namespace virelon::platform
