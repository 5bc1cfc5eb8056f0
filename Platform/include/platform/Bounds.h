#pragma once

// Every bound on waiting in one place: how long each layer may wait for a service (the settings
// file, the session bus, the keychain, the speech server) before it gives up. Code and the
// developers' READMEs name them; only what the user reads (messages, manual pages, README.md and
// docs/usage.md) gives values, where a user needs them: change those with the values here.

#include <chrono>
#include <cstddef>

namespace virelon::platform {

// The settings file (PreferencesDomain).

/// How long a read or write waits for another connection's lock before it fails.
inline constexpr std::chrono::milliseconds preferencesBusyTimeout{500};
/// The longest one statement may run, waiting for a lock included; past it, it fails.
inline constexpr std::chrono::milliseconds preferencesStatementBound{1000};
/// How long the engine-facing reads go on with an open file before they look again whether it
/// was replaced (a change signal makes them look at once).
inline constexpr std::chrono::seconds preferencesRecheckInterval{1};
/// How long the settings file goes without writes before it counts as at rest: a write after such
/// a pause, and an engine's look for a replaced file, empty its -wal file (without waiting).
inline constexpr std::chrono::seconds preferencesRestInterval{1};

// The session bus (SettingsSignal).

/// The longest one post may take, connecting and authenticating included: posts come from the
/// UI thread, often from a slider being dragged. A post with a result has the same bound.
inline constexpr std::chrono::milliseconds signalPostBound{500};
/// After a post ran into signalPostBound the bus is taken to be hung: posts are dropped for this
/// long instead of each paying the bound again.
inline constexpr std::chrono::seconds signalCoolDown{30};
/// Subscribing to a signal (authenticating, adding the match).
inline constexpr std::chrono::seconds signalSubscribeBound{1};
/// The launch's check that the session bus answers, before any thread starts: the same as a
/// post, which the launch may pay once.
inline constexpr std::chrono::milliseconds sessionBusCheckBound = signalPostBound;

// The speech server (SpeechVoices).

/// A whole voice listing: finding the server, starting it if need be, and every reply.
inline constexpr std::chrono::seconds voiceListingBound{2};
/// How often a server we started is knocked on while it comes up.
inline constexpr std::chrono::milliseconds speechServerRetryInterval{10};
/// The largest one reply may be (espeak-ng's 13,362 entries take about 0.6 MiB): a server
/// sending without end is cut off here or at voiceListingBound.
inline constexpr std::size_t voiceReplySizeLimit = std::size_t{16} << 20;

// The keychain (LegacyItems).

/// How long one launch's migration may wait for the keychain in all.
inline constexpr std::chrono::milliseconds legacyLookupBudget{500};

// One window per session (the application's activation on the session bus).

/// Claiming the application identifier as a bus name.
inline constexpr std::chrono::milliseconds activationClaimBound{500};
/// The running owner's answer to Activate: it may be busy with its own launch, so it gets
/// longer than the bus itself.
inline constexpr std::chrono::milliseconds activationAnswerBound{2000};

} // namespace virelon::platform
