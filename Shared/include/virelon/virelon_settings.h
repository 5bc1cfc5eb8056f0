#pragma once

/* The Virelon voice settings for speech engines written in C.
 *
 * Reading: each getter returns the setting as the application stored it, clamped to 0...100, or
 * its default when nothing usable is stored or the settings cannot be opened or read. Getters never
 * fail and may be called from any thread; virelon_settings_read() also tells defaults given
 * because the settings could not be read. Each call reads the current value: there is nothing to
 * cache or invalidate.
 *
 * Observing: after every change the application posts one change signal on the session bus. An
 * observer receives it inside the engine's own event loop: poll virelon_settings_observer_fd() for
 * virelon_settings_observer_events(), wake no later than virelon_settings_observer_timeout_usec(),
 * then call virelon_settings_observer_process(), which runs the callback once for each signal that
 * arrived. The signal carries nothing: read what you need again in the callback. No thread is
 * started; an observer must be used by one thread at a time.
 *
 * Reloading voices: "Refresh Virelon Voices" in the application posts a request that the engine
 * re-scan its voice data, so that its next voice listing is current. Observe it the same way with
 * virelon_settings_observe_voice_reload(). C++ engines use these same functions.
 *
 * Processes that fork: the child of a fork (also one made while another thread was inside any of
 * these functions) may call every function here; its first call opens the settings afresh on a
 * connection of its own, and its writes post their signals on a bus connection of its own. The
 * fork waits until no thread is inside the settings file (each statement there is bounded in
 * time). An observer made before the fork belongs to the parent: the child neither uses nor
 * frees it (it shares the parent's connection; it is closed on exec) and makes its own.
 *
 * Nothing here throws, aborts or longjmps; callbacks must not either. */

#include "virelon/Export.h"

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The five voice controls, whole percentages from 0 to 100. */
VIRELON_SETTINGS_EXPORT int64_t virelon_settings_intonation(void);
VIRELON_SETTINGS_EXPORT int64_t virelon_settings_head_size(void);
VIRELON_SETTINGS_EXPORT int64_t virelon_settings_voicing(void);
VIRELON_SETTINGS_EXPORT int64_t virelon_settings_word_pause(void);
VIRELON_SETTINGS_EXPORT int64_t virelon_settings_phrase_pause(void);

/* The identifier of the fallback system voice ("<output module>/<voice name>"), exactly as
 * stored, as a new NUL-terminated string that the caller owns and releases with
 * virelon_settings_string_free(). When length is not NULL it receives the number of bytes before
 * the terminating NUL (a stored identifier may itself contain NUL bytes). Returns NULL, and sets
 * *length to 0, when no identifier is stored, the stored value is not a text, the settings cannot
 * be opened, or memory runs out. An empty identifier is returned as "" (not NULL). */
VIRELON_SETTINGS_EXPORT char* virelon_settings_fallback_voice_identifier(size_t* length);

/* Releases a string returned by this library. NULL is allowed and does nothing. */
VIRELON_SETTINGS_EXPORT void virelon_settings_string_free(char* string);

/* All six settings read together from one consistent snapshot. */
typedef struct virelon_voice_settings {
    int64_t intonation;
    int64_t head_size;
    int64_t voicing;
    int64_t word_pause;
    int64_t phrase_pause;
    /* NULL when none is stored (see virelon_settings_fallback_voice_identifier); owned by the
     * structure and released by virelon_voice_settings_clear(). */
    char* fallback_voice_identifier;
    size_t fallback_voice_identifier_length;
} virelon_voice_settings;

/* What virelon_settings_read() returns when the settings could not be read: *settings then holds
 * the defaults (100, 50, 100, 0, 12 and no identifier), not the stored values. The cause may pass
 * (another program holding the file locked, an I/O error) or not (the file cannot be opened or is
 * not the user's own settings file); read again later, on the next change signal at the latest. */
#define VIRELON_SETTINGS_READ_DEFAULTS 1

/* Fills *settings with a snapshot of all six settings. Returns 0 when they were read;
 * VIRELON_SETTINGS_READ_DEFAULTS when they could not be and *settings holds the defaults; -1 when
 * settings is NULL or memory for the identifier runs out (then *settings holds the five voice
 * controls and no identifier). In every case but NULL, *settings is filled and may be used and
 * cleared. Release the identifier with virelon_voice_settings_clear(). */
VIRELON_SETTINGS_EXPORT int virelon_settings_read(virelon_voice_settings* settings);

/* Releases the identifier held by *settings and sets it to NULL. NULL is allowed. */
VIRELON_SETTINGS_EXPORT void virelon_voice_settings_clear(virelon_voice_settings* settings);

/* An observer of the change signal or of the request to reload the voices. */
typedef struct virelon_settings_observer virelon_settings_observer;

/* Subscribes to the change signal on the user's session bus; the subscription is in place when
 * this returns, so a change made afterwards is never missed. callback (which may be NULL) is
 * called with user_data from virelon_settings_observer_process(). Returns NULL when there is no
 * session bus, the bus does not answer within a second, or memory runs out. Release the observer
 * with virelon_settings_observer_free(). */
VIRELON_SETTINGS_EXPORT virelon_settings_observer*
virelon_settings_observe(void (*callback)(void* user_data), void* user_data);

/* Subscribes to the request to reload the voices, exactly as virelon_settings_observe() does to
 * the change signal: the callback runs from virelon_settings_observer_process() once for each
 * request that arrived. The returned observer is used and released with the functions below. */
VIRELON_SETTINGS_EXPORT virelon_settings_observer*
virelon_settings_observe_voice_reload(void (*callback)(void* user_data), void* user_data);

/* The file descriptor to poll, or -1 for NULL. It stays the same for the observer's lifetime. */
VIRELON_SETTINGS_EXPORT int virelon_settings_observer_fd(const virelon_settings_observer* observer);

/* The poll() events to wait for on that descriptor (POLLIN, POLLOUT); 0 for NULL. Ask again before
 * each poll: they change while messages are being sent. */
VIRELON_SETTINGS_EXPORT short
virelon_settings_observer_events(const virelon_settings_observer* observer);

/* The time by which virelon_settings_observer_process() must be called even when nothing arrived:
 * absolute CLOCK_MONOTONIC microseconds, 0 for at once, UINT64_MAX for no time limit (also for
 * NULL). */
VIRELON_SETTINGS_EXPORT uint64_t
virelon_settings_observer_timeout_usec(const virelon_settings_observer* observer);

/* Handles everything pending without blocking and runs the callback once for each signal that
 * arrived. Returns the number of signals handled (0 or more), or a negative number when the
 * connection to the bus is lost (or observer is NULL): then free the observer and observe again
 * later. The callback must not free the observer. */
VIRELON_SETTINGS_EXPORT int virelon_settings_observer_process(virelon_settings_observer* observer);

/* Ends the subscription and releases the observer. NULL is allowed and does nothing. */
VIRELON_SETTINGS_EXPORT void virelon_settings_observer_free(virelon_settings_observer* observer);

#ifdef __cplusplus
}
#endif
