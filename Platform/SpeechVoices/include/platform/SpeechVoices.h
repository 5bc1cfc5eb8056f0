#pragma once

#include <functional>
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

/// What one listing found. A listing that failed says nothing about which voices are installed:
/// it is never to be taken for "no voices".
struct VoiceListing {
    std::vector<Voice> voices;
    bool succeeded = false; ///< false: the server could not be asked, broke off or broke a bound
    /// Modules that did not list their voices: their voices are missing from `voices`.
    std::vector<std::string> failedModules;
};

/// The system's speech voices. Implementations never throw and never block without bound.
class SpeechVoices {
public:
    virtual ~SpeechVoices() = default;

    /// Asks the speech engines to reload their voices (they re-scan on their own time; a listing
    /// does not wait for them). No result.
    virtual void updateSpeechVoices() noexcept = 0;

    /// The installed voices in the server's order, each identifier once. One synchronous call
    /// that shares nothing with other calls, so it may run on a worker thread.
    virtual VoiceListing speechVoices() noexcept = 0;
};

/// The voices of every output module of speech-dispatcher. Entries that are only a variant of
/// another listed voice of the same module ("Name+Variant") are left out, and of entries sharing
/// an identifier the first is kept. The server is found as libspeechd finds it (SPEECHD_ADDRESS,
/// else $XDG_RUNTIME_DIR/speech-dispatcher/speechd.sock) and, when nothing listens there, started
/// with `speech-dispatcher --spawn` from PATH, unless `mayStartServer` is false: then a listing
/// with nothing listening fails at once. A whole listing (finding, starting and greeting the
/// server included) takes at most voiceListingBound, and no reply may be larger than
/// voiceReplySizeLimit (Bounds.h); past either, or
/// when memory runs out, the listing fails. Every listing asks the server afresh. The address,
/// PATH and the environment a server is started with are read when the object is made: a listing
/// reads nothing from the process's environment, so it may run on a thread while another changes
/// the environment. Starts no threads; one object is not for use from several threads at once.
/// updateSpeechVoices() calls `requestReload` (which must not throw), when given: the engines'
/// reload request is the settings' to post.
std::unique_ptr<SpeechVoices>
makeSpeechDispatcherVoices(bool mayStartServer = true,
                           std::function<void()> requestReload = {}) noexcept;

} // namespace virelon::platform
