// The engine's side of the dconf latency comparison: watches the settings folder, and on each
// change notification reads all six keys and reports the moment it has them on stdout
// ("<monotonic ns> <sum of values>"), as settings_bench_engine does for our settings.
// Usage: dconf_bench_engine FOLDER   (a dconf path ending in "/")

#include "DconfSettings.h"

#include <dconf.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

namespace {

struct Watch {
    DConfClient* client;
    std::string folder;
};

void changed(DConfClient*, const gchar*, const gchar* const*, const gchar*, gpointer data) {
    const auto* watch = static_cast<const Watch*>(data);
    const std::int64_t sum = bench::readSixFromDconf(watch->client, watch->folder);
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    std::printf("%lld %lld\n", static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec,
                static_cast<long long>(sum));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    Watch watch{dconf_client_new(), argv[1]};
    g_signal_connect(watch.client, "changed", G_CALLBACK(changed), &watch);
    // Synchronous: the match rule is in place when this returns, so no change is missed.
    dconf_client_watch_sync(watch.client, watch.folder.c_str());
    std::printf("ready\n");
    std::fflush(stdout);
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    g_main_loop_run(loop); // until SIGTERM
    return 0;
}
