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
/// another listed voice of the same module ("Name+Variant") are left out. The server is found as
/// libspeechd finds it (SPEECHD_ADDRESS, else $XDG_RUNTIME_DIR/speech-dispatcher/speechd.sock)
/// and, when nothing listens there, started with `speech-dispatcher --spawn` from PATH. Finding,
/// starting and greeting the server take at most 2 s in all, and each reply may pause for at most
/// 2 s; past that the listing is empty. A listing is kept until updateSpeechVoices(); an empty
/// one from a failure is not. Starts no threads; not for use from several threads at once.
std::unique_ptr<SpeechVoices> makeSpeechDispatcherVoices();

} // namespace virelon::platform
