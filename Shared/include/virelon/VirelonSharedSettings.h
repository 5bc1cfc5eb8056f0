#pragma once

#include "virelon/Export.h"
#include "virelon/SettingsKeys.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace virelon {

/// All six settings as read together at one moment.
struct VoiceSettings {
    std::int64_t intonation;
    std::int64_t headSize;
    std::int64_t voicing;
    std::int64_t wordPause;
    std::int64_t phrasePause;
    std::optional<std::string> fallbackVoiceIdentifier;
};

/// The settings shared by the application and the speech engine.
///
/// Getters never fail: with nothing stored, or when the shared domain cannot be opened, they give
/// the default; a stored value outside 0 to 100 is clamped on reading and left as it is stored.
/// Writes clamp, store, flush and then post exactly one change signal; they return false, and
/// post nothing, when the domain is absent or storing or flushing fails. The domain is opened
/// once per process, on first use; only reopenIfReplaced() (and the engine's reads, see there)
/// open it again, and a write that finds the file moved, replaced or rewritten since then, which
/// first opens the file now at the path. Nothing here throws.
///
/// A child of a fork (also one made while another thread was inside any of these) may use every
/// member: its first use opens the domain afresh on a connection of its own, and its writes post
/// on a bus connection of its own. The fork waits until no thread is inside the settings file
/// (each statement there is bounded in time). What the parent obtained before the fork (a domain
/// from defaults(), an observer of the signal) is the parent's: the child does not use it.
class VirelonSharedSettings {
public:
    VirelonSharedSettings() = delete;

    /// The voice control of a row of the settings table (SettingsKeys.h), within 0 to 100.
    VIRELON_SETTINGS_EXPORT static std::int64_t value(const IntegerSetting& setting) noexcept;

    /// The named getters: value() of their row.
    VIRELON_SETTINGS_EXPORT static std::int64_t intonation() noexcept;
    VIRELON_SETTINGS_EXPORT static std::int64_t headSize() noexcept;
    VIRELON_SETTINGS_EXPORT static std::int64_t voicing() noexcept;
    VIRELON_SETTINGS_EXPORT static std::int64_t wordPause() noexcept;
    VIRELON_SETTINGS_EXPORT static std::int64_t phrasePause() noexcept;

    /// The stored identifier exactly as stored (an empty text included), or nothing when none is
    /// stored, the stored value is not a text, or the domain is absent.
    VIRELON_SETTINGS_EXPORT static std::optional<std::string> fallbackVoiceIdentifier() noexcept;

    /// The six settings read as one consistent snapshot, each exactly as its getter reads it;
    /// the speech engine's way to take them up before an utterance.
    VIRELON_SETTINGS_EXPORT static VoiceSettings voiceSettings() noexcept;

    /// Whether any value at all is stored under the key (false when the domain is absent).
    VIRELON_SETTINGS_EXPORT static bool isStored(std::string_view key) noexcept;

    /// Whether the shared domain is open and can be read: false when the getters give defaults
    /// because the file is missing, unreadable or not ours.
    VIRELON_SETTINGS_EXPORT static bool isReadable() noexcept;

    /// For readers that outlive changes of the file (the speech engine): opens the domain afresh
    /// when its file appeared, was recreated or replaced since it was opened. The change
    /// observer of the C interface calls it before each callback; voiceSettings() and the C
    /// getters look by themselves at most once a second. The application never calls it: its
    /// writes look before they store.
    VIRELON_SETTINGS_EXPORT static void reopenIfReplaced() noexcept;

    /// The name of the change signal posted after every successful write.
    VIRELON_SETTINGS_EXPORT static const std::string& changeNotification() noexcept;

    /// The name of the request that the speech engine re-scan its voices, so that its next voice
    /// listing is current.
    VIRELON_SETTINGS_EXPORT static const std::string& reloadVoicesNotification() noexcept;

    /// Posts that request once, through the same bounded poster as the change signal. No result:
    /// without a session bus, or with one that does not answer, nothing reaches the engine.
    VIRELON_SETTINGS_EXPORT static void requestVoiceReload() noexcept;

    /// Clamps the value to 0...100 and stores it under the key, then flushes and posts.
    VIRELON_SETTINGS_EXPORT static bool saveSetting(std::int64_t value,
                                                    std::string_view key) noexcept;

    /// Stores the identifier unchanged (an empty text included), then flushes and posts.
    VIRELON_SETTINGS_EXPORT static bool
    setFallbackVoiceIdentifier(std::string_view identifier) noexcept;

    /// What removeSetting() did.
    enum class Removal { removed, nothingStored, failed };

    /// Removes the value stored under the key, so that it reads as its default; when one was
    /// removed, flushes and posts as a write does. Nothing stored: nothing is flushed or posted.
    /// Failed when the domain is absent, or removing or flushing failed (then nothing is posted).
    VIRELON_SETTINGS_EXPORT static Removal removeSetting(std::string_view key) noexcept;
};

} // namespace virelon
