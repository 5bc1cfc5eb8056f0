/* Prints the Virelon voice settings once at start and again each time they change, the way a
 * speech engine takes them up: the change signal is watched inside the program's own poll() loop,
 * and the settings are read again when it arrives. A request to reload the voices, watched in the
 * same loop, prints a line of its own: a real engine re-scans its voice data there. Stops on
 * SIGINT or SIGTERM. */

#define _POSIX_C_SOURCE 200809L

#include <virelon/virelon_settings.h>

#include <errno.h>
#include <inttypes.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

static volatile sig_atomic_t stopping = 0;

static void stop(int signal_number) {
    (void)signal_number;
    stopping = 1;
}

static void print_settings(void* user_data) {
    (void)user_data;
    virelon_voice_settings settings;
    /* Fails only when memory runs out, and then still holds the five voice controls. */
    (void)virelon_settings_read(&settings);
    printf("intonation=%" PRId64 " headSizePercent=%" PRId64 " voicing=%" PRId64
           " wordPause=%" PRId64 " phrasePause=%" PRId64 " fallbackVoiceIdentifier=%s\n",
           settings.intonation, settings.head_size, settings.voicing, settings.word_pause,
           settings.phrase_pause,
           settings.fallback_voice_identifier ? settings.fallback_voice_identifier : "(none)");
    fflush(stdout);
    virelon_voice_settings_clear(&settings);
}

static void reload_voices(void* user_data) {
    (void)user_data;
    printf("reloadVoices: re-scanning the voices\n");
    fflush(stdout);
}

/* Milliseconds from now until an absolute CLOCK_MONOTONIC time in microseconds; -1 for none. */
static int poll_timeout(uint64_t deadline_usec) {
    if (deadline_usec == UINT64_MAX)
        return -1;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t now_usec = (uint64_t)now.tv_sec * 1000000u + (uint64_t)now.tv_nsec / 1000u;
    if (deadline_usec <= now_usec)
        return 0;
    const uint64_t wait_ms = (deadline_usec - now_usec + 999u) / 1000u;
    return wait_ms > INT_MAX ? INT_MAX : (int)wait_ms;
}

int main(void) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = stop; /* no SA_RESTART: poll() returns at once on a signal */
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);

    /* Subscribe before the first reading, so that no change falls between the two. */
    virelon_settings_observer* observers[2] = {
        virelon_settings_observe(print_settings, NULL),
        virelon_settings_observe_voice_reload(reload_voices, NULL),
    };
    if (!observers[0] || !observers[1]) {
        fprintf(stderr, "engine-watch: the session bus is not available\n");
        virelon_settings_observer_free(observers[0]);
        virelon_settings_observer_free(observers[1]);
        return 1;
    }
    print_settings(NULL);

    int status = 0;
    while (!stopping && status == 0) {
        struct pollfd descriptors[2];
        uint64_t deadline = UINT64_MAX;
        for (int i = 0; i < 2; ++i) {
            descriptors[i].fd = virelon_settings_observer_fd(observers[i]);
            descriptors[i].events = virelon_settings_observer_events(observers[i]);
            descriptors[i].revents = 0;
            const uint64_t timeout = virelon_settings_observer_timeout_usec(observers[i]);
            deadline = timeout < deadline ? timeout : deadline;
        }
        if (poll(descriptors, 2, poll_timeout(deadline)) < 0 && errno != EINTR) {
            perror("engine-watch: poll");
            status = 1;
            break;
        }
        for (int i = 0; i < 2 && status == 0; ++i) {
            if (virelon_settings_observer_process(observers[i]) < 0) {
                fprintf(stderr, "engine-watch: the session bus went away\n");
                status = 1;
            }
        }
    }
    virelon_settings_observer_free(observers[0]);
    virelon_settings_observer_free(observers[1]);
    return status;
}
