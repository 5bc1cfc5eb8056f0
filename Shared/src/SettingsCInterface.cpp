// The C interface over VirelonSharedSettings and the session-bus observer. Every entry point
// catches everything: no exception may unwind into a C caller.

#include "virelon/virelon_settings.h"

#include "platform/SettingsSignal.h"
#include "virelon/SettingsPlatform.h"
#include "virelon/VirelonSharedSettings.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

struct virelon_settings_observer {
    std::unique_ptr<virelon::platform::SignalObserver> observer;
    void (*callback)(void*) = nullptr;
    void* userData = nullptr;
    int arrived = 0; ///< signals handled during the current process() call
};

namespace {

using virelon::VirelonSharedSettings;

/// A malloc'd, NUL-terminated copy; NULL when memory runs out.
char* copyOf(const std::string& text) noexcept {
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (!copy)
        return nullptr;
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

virelon_settings_observer* observe(const std::string& name, bool settingsChange,
                                   void (*callback)(void*), void* userData) noexcept {
    try {
        auto handle = std::make_unique<virelon_settings_observer>();
        handle->callback = callback;
        handle->userData = userData;
        auto* self = handle.get();
        handle->observer = virelon::platform::observeSessionBusSignal(name, [=]() noexcept {
            ++self->arrived;
            // A change may be a file that appeared or was put in place of the old one.
            if (settingsChange)
                VirelonSharedSettings::reopenIfReplaced();
            if (self->callback)
                self->callback(self->userData);
        });
        if (!handle->observer)
            return nullptr;
        return handle.release();
    } catch (...) {
        return nullptr;
    }
}

// The engine's reads take up a file that appeared or was replaced within
// preferencesRecheckInterval.
int64_t engineRead(const virelon::IntegerSetting& setting) noexcept {
    virelon::detail::settingsCore().reopenIfReplaced(false);
    return VirelonSharedSettings::value(setting);
}

} // namespace

extern "C" {

int64_t virelon_settings_intonation(void) {
    return engineRead(virelon::settings::intonation);
}
int64_t virelon_settings_head_size(void) {
    return engineRead(virelon::settings::headSize);
}
int64_t virelon_settings_voicing(void) {
    return engineRead(virelon::settings::voicing);
}
int64_t virelon_settings_word_pause(void) {
    return engineRead(virelon::settings::wordPause);
}
int64_t virelon_settings_phrase_pause(void) {
    return engineRead(virelon::settings::phrasePause);
}

char* virelon_settings_fallback_voice_identifier(size_t* length) {
    if (length)
        *length = 0;
    virelon::detail::settingsCore().reopenIfReplaced(false);
    const auto identifier = VirelonSharedSettings::fallbackVoiceIdentifier();
    if (!identifier)
        return nullptr;
    char* copy = copyOf(*identifier);
    if (copy && length)
        *length = identifier->size();
    return copy;
}

void virelon_settings_string_free(char* string) {
    std::free(string);
}

int virelon_settings_read(virelon_voice_settings* settings) {
    if (!settings)
        return -1;
    bool readable = false;
    const auto snapshot = virelon::detail::settingsCore().voiceSettings(readable);
    settings->intonation = snapshot.intonation;
    settings->head_size = snapshot.headSize;
    settings->voicing = snapshot.voicing;
    settings->word_pause = snapshot.wordPause;
    settings->phrase_pause = snapshot.phrasePause;
    settings->fallback_voice_identifier = nullptr;
    settings->fallback_voice_identifier_length = 0;
    if (!readable)
        return VIRELON_SETTINGS_READ_DEFAULTS;
    if (!snapshot.fallbackVoiceIdentifier)
        return 0;
    settings->fallback_voice_identifier = copyOf(*snapshot.fallbackVoiceIdentifier);
    if (!settings->fallback_voice_identifier)
        return -1;
    settings->fallback_voice_identifier_length = snapshot.fallbackVoiceIdentifier->size();
    return 0;
}

void virelon_voice_settings_clear(virelon_voice_settings* settings) {
    if (!settings)
        return;
    std::free(settings->fallback_voice_identifier);
    settings->fallback_voice_identifier = nullptr;
    settings->fallback_voice_identifier_length = 0;
}

virelon_settings_observer* virelon_settings_observe(void (*callback)(void*), void* user_data) {
    return observe(VirelonSharedSettings::changeNotification(), true, callback, user_data);
}

virelon_settings_observer* virelon_settings_observe_voice_reload(void (*callback)(void*),
                                                                 void* user_data) {
    return observe(VirelonSharedSettings::reloadVoicesNotification(), false, callback, user_data);
}

int virelon_settings_observer_fd(const virelon_settings_observer* observer) {
    try {
        return observer ? observer->observer->fd() : -1;
    } catch (...) {
        return -1;
    }
}

short virelon_settings_observer_events(const virelon_settings_observer* observer) {
    try {
        return observer ? observer->observer->events() : short{0};
    } catch (...) {
        return 0;
    }
}

uint64_t virelon_settings_observer_timeout_usec(const virelon_settings_observer* observer) {
    try {
        return observer ? observer->observer->timeoutUsec() : UINT64_MAX;
    } catch (...) {
        return UINT64_MAX;
    }
}

int virelon_settings_observer_process(virelon_settings_observer* observer) {
    if (!observer)
        return -1;
    try {
        observer->arrived = 0;
        if (!observer->observer->process())
            return -1;
        return observer->arrived;
    } catch (...) {
        return -1;
    }
}

void virelon_settings_observer_free(virelon_settings_observer* observer) {
    delete observer;
}

} // extern "C"
