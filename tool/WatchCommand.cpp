// watch: the settings, then again on each change signal, and each reload request, until
// interrupted.

#include "Commands.h"

#include "virelon/VirelonSharedSettings.h"

#include <algorithm>
#include <cerrno>
#include <ctime>

#include <poll.h>

namespace virelon::tool {

int Commands::watch() {
    auto changes =
        platform::observeSessionBusSignal(VirelonSharedSettings::changeNotification(), [this] {
            VirelonSharedSettings::reopenIfReplaced(); // the change may be a new file
            startBlock();
            get(std::nullopt);
        });
    auto reloads = platform::observeSessionBusSignal(
        VirelonSharedSettings::reloadVoicesNotification(), [this] {
            startBlock();
            showReloadRequest();
        });
    if (!changes || !reloads) {
        err_ << "virelon-settings: cannot watch for changes: the session bus is not "
                "available.\n";
        return failed;
    }
    // Subscribed first, so that no change falls between this reading and the watching; the
    // current settings are out before the watch says it is ready.
    startBlock();
    get(std::nullopt);
    out_.flush();
    err_ << "Watching for settings changes. Press Control+C to stop.\n";
    err_.flush();
    interrupted() = 0;
    struct sigaction action {};
    action.sa_handler = [](int) { interrupted() = 1; };
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    platform::SignalObserver* observers[] = {changes.get(), reloads.get()};
    // A write error ends the watch; run() reports it.
    while (!interrupted() && out_) {
        if (!waitForEither(observers)) {
            err_ << "virelon-settings: the session bus went away.\n";
            return failed;
        }
    }
    return ok;
}

volatile std::sig_atomic_t& Commands::interrupted() {
    static volatile std::sig_atomic_t flag = 0;
    return flag;
}

// Text blocks are separated by a blank line; JSON documents by their line ends alone.
void Commands::startBlock() {
    if (!json_ && blocks_++ > 0)
        out_ << '\n';
}

// Waits until something arrives on either observer, or a quarter of a second passes so that an
// interruption is noticed, then handles what arrived. False when a connection is lost.
bool Commands::waitForEither(platform::SignalObserver* const (&observers)[2]) {
    constexpr std::uint64_t tickUsec = 250'000;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto nowUsec = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 +
                         static_cast<std::uint64_t>(now.tv_nsec) / 1'000;
    std::uint64_t waitUsec = tickUsec;
    pollfd fds[2]{};
    for (int i = 0; i < 2; ++i) {
        fds[i] = {observers[i]->fd(), observers[i]->events(), 0};
        const auto deadline = observers[i]->timeoutUsec();
        waitUsec = std::min(waitUsec, deadline > nowUsec ? deadline - nowUsec : 0);
    }
    if (poll(fds, 2, static_cast<int>((waitUsec + 999) / 1000)) < 0 && errno != EINTR)
        return false;
    return observers[0]->process() && observers[1]->process();
}

} // namespace virelon::tool
