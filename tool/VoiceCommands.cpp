// voices and reload-voices: the fallback voices in display order, and the engine's reload request.

#include "Commands.h"

#include "catalogue/VoiceCatalogue.h"
#include "platform/LocaleServices.h"
#include "platform/SpeechVoices.h"
#include "tool/Json.h"
#include "virelon/VirelonSharedSettings.h"

namespace virelon::tool {

int Commands::voices(bool mayStartServer) {
    auto speech = platform::makeSpeechDispatcherVoices(mayStartServer);
    auto locale = platform::makeIcuLocaleServices();
    auto listing = speech->speechVoices();
    if (!listing.succeeded) {
        err_ << "virelon-settings: the speech server could not list its voices: it is not "
             << (mayStartServer ? "running and cannot be started" : "running")
             << ", did not finish within 2 seconds, or sent more than a listing may hold.\n";
        return failed;
    }
    const auto voices = catalogue::fallbackVoices(std::move(listing.voices), *locale);
    const auto stored = VirelonSharedSettings::fallbackVoiceIdentifier();
    if (json_)
        out_ << '[';
    for (std::size_t i = 0; i < voices.size(); ++i) {
        const auto& voice = voices[i];
        const bool isStored = stored && *stored == voice.identifier;
        const auto name = catalogue::displayName(voice, *locale);
        if (json_) {
            out_ << (i ? "," : "") << "{\"identifier\":" << jsonString(voice.identifier)
                 << ",\"displayName\":" << jsonString(name)
                 << ",\"name\":" << jsonString(voice.name)
                 << ",\"language\":" << jsonString(voice.language)
                 << ",\"stored\":" << (isStored ? "true" : "false") << '}';
        } else {
            out_ << terminalText(name) << ": " << terminalText(voice.identifier)
                 << (isStored ? " (stored)" : "") << '\n';
        }
    }
    if (json_)
        out_ << "]\n";
    else if (voices.empty())
        out_ << "No fallback voices are installed.\n";
    for (const auto& module : listing.failedModules)
        err_ << "virelon-settings: the speech server's module \"" << terminalText(module)
             << "\" did not list its voices.\n";
    return listing.failedModules.empty() ? ok : failed;
}

int Commands::reloadVoices() {
    if (!platform::postSessionBusSignalOnce(VirelonSharedSettings::reloadVoicesNotification())) {
        err_ << "virelon-settings: cannot ask the speech engine to reload its voices: the "
                "session bus is not available.\n";
        return failed;
    }
    showReloadRequest();
    return ok;
}

void Commands::showReloadRequest() {
    out_ << (json_ ? "{\"reloadVoices\":\"requested\"}\n" : "reloadVoices: requested\n");
    out_.flush();
}

} // namespace virelon::tool
