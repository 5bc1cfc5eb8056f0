// Our settings path next to dconf, GNOME's settings store, measured in the same run inside a
// private session (scripts/bench.sh):
//  (a) the write as the screen pays it: saveSetting next to dconf_client_write_sync of one key,
//      paced 10 ms apart;
//  (b) from the write until another process, woken by the change signal, has read all six values
//      (ours: the settings signal, then voiceSettings(); dconf: the client's "changed" signal, then
//      six dconf_client_read);
//      next to the floor: the change signal alone, then the same read;
//  (c) the engine's read of all six values in a long-lived process;
//  (d) the same read when another connection committed just before it (every read then proves
//      nothing and reads the file), next to a read that never proves anything: BEGIN, a SELECT
//      per key and COMMIT on a connection of its own.
// Each line ends with ours / the baseline and the target that ratio must meet.
// Usage: dconf_comparison [--quick]

#include "BenchSupport.h"
#include "DconfSettings.h"
#include "EngineProcess.h"
#include "platform/PreferencesDomain.h"
#include "platform/SettingsSignal.h"
#include "virelon/Identifiers.h"
#include "virelon/LegacyMigration.h"
#include "virelon/VirelonSharedSettings.h"

#include <dconf.h>
#include <sqlite3.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using virelon::VirelonSharedSettings;

namespace {

constexpr std::int64_t pace = bench::writePace;
const std::string folder = "/org/virelon/voices/ios/";

// dconf-service is started by D-Bus activation; the private session bus starts nothing installed
// on the machine until its service file is in the session's service folder.
bool makeDconfActivatable() {
    const char* services = std::getenv("VIRELON_BUS_SERVICES");
    if (!services) {
        std::fprintf(stderr, "run this inside scripts/test-env.sh\n");
        return false;
    }
    std::error_code error;
    std::filesystem::copy_file("/usr/share/dbus-1/services/ca.desrt.dconf.service",
                               std::filesystem::path(services) / "ca.desrt.dconf.service",
                               std::filesystem::copy_options::overwrite_existing, error);
    if (error) {
        std::fprintf(stderr, "no dconf service file: %s\n", error.message().c_str());
        return false;
    }
    GError* failure = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &failure);
    GVariant* reply =
        bus ? g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                          "org.freedesktop.DBus", "ReloadConfig", nullptr, nullptr,
                                          G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &failure)
            : nullptr;
    if (!reply) {
        std::fprintf(stderr, "cannot reload the bus configuration: %s\n",
                     failure ? failure->message : "?");
        g_clear_error(&failure);
        return false;
    }
    g_variant_unref(reply);
    g_object_unref(bus);
    return true;
}

class Dconf {
public:
    Dconf() : client_(dconf_client_new()) {}
    ~Dconf() { g_object_unref(client_); }
    Dconf(const Dconf&) = delete;
    Dconf& operator=(const Dconf&) = delete;

    bool write(const char* key, GVariant* value) {
        GError* error = nullptr;
        const bool written = dconf_client_write_sync(client_, (folder + key).c_str(), value,
                                                     nullptr, nullptr, &error);
        if (error) {
            std::fprintf(stderr, "dconf write: %s\n", error->message);
            g_error_free(error);
        }
        return written;
    }
    bool writeInteger(const char* key, std::int64_t value) {
        return write(key, g_variant_new_int64(value));
    }
    std::int64_t readSix() { return bench::readSixFromDconf(client_, folder); }
    // Delivers this process's own change notifications, so that they do not pile up.
    static void drain() {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
    }

private:
    DConfClient* client_;
};

using Engine = bench::EngineProcess;

std::vector<double> pacedWrites(int count, const auto& write) {
    std::vector<double> samples;
    for (int i = 0; i < count; ++i) {
        const auto start = bench::nowNs();
        if (!write(i))
            std::fprintf(stderr, "write %d failed\n", i);
        samples.push_back(static_cast<double>(bench::nowNs() - start) / 1000.0);
        Dconf::drain();
        bench::sleepNs(pace);
    }
    return samples;
}

// Writes voicing = i % 101 and waits for the engine. The engine's sum minus the value written
// stays constant unless a read missed the write. Without a name nothing is written (the floor).
std::vector<double> toEngine(int count, Engine& engine, const auto& write, const char* name) {
    std::vector<double> samples;
    int stale = 0;
    std::int64_t others = 0;
    for (int i = 0; i < count; ++i) {
        const std::int64_t value = i % 101;
        const auto start = bench::nowNs();
        write(value);
        const auto [done, sum] = engine.nextReadDone();
        samples.push_back(static_cast<double>(done - start) / 1000.0);
        if (i == 0)
            others = sum - value;
        else if (name && sum - value != others)
            ++stale;
        Dconf::drain();
        bench::sleepNs(pace);
    }
    if (stale)
        std::printf("    %s: %d of %d engine reads did not see the write\n", name, stale, count);
    return samples;
}

// The six values read the way every read went before a read could prove nothing had changed:
// BEGIN, a prepared SELECT per key, COMMIT.
class EarlierRead {
public:
    explicit EarlierRead(const std::string& path) {
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr);
        sqlite3_busy_timeout(db_, 500);
        sqlite3_prepare_v2(db_, "BEGIN", -1, &begin_, nullptr);
        sqlite3_prepare_v2(db_, "SELECT value FROM preferences WHERE key = ?1", -1, &select_,
                           nullptr);
        sqlite3_prepare_v2(db_, "COMMIT", -1, &commit_, nullptr);
    }
    ~EarlierRead() {
        for (auto* statement : {begin_, select_, commit_})
            sqlite3_finalize(statement);
        sqlite3_close(db_);
    }
    EarlierRead(const EarlierRead&) = delete;
    EarlierRead& operator=(const EarlierRead&) = delete;

    std::int64_t readSix() {
        std::int64_t sum = 0;
        step(begin_);
        for (const char* key : bench::dconfKeys) {
            sqlite3_bind_text(select_, 1, key, -1, SQLITE_STATIC);
            if (sqlite3_step(select_) == SQLITE_ROW)
                sum += sqlite3_column_type(select_, 0) == SQLITE_TEXT
                           ? sqlite3_column_bytes(select_, 0)
                           : sqlite3_column_int64(select_, 0);
            sqlite3_reset(select_);
        }
        step(commit_);
        return sum;
    }

private:
    static void step(sqlite3_stmt* statement) {
        sqlite3_step(statement);
        sqlite3_reset(statement);
    }
    sqlite3* db_ = nullptr;
    sqlite3_stmt* begin_ = nullptr;
    sqlite3_stmt* select_ = nullptr;
    sqlite3_stmt* commit_ = nullptr;
};

void verdict(bench::Summary ours, bench::Summary dconf, double target) {
    const double ratio = ours.median / dconf.median;
    std::printf("    target: median ratio at most %.2f: %.3f, %s\n", target, ratio,
                ratio <= target ? "met" : "MISSED");
}

} // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const int writes = quick ? 200 : 1000;
    const auto here = std::filesystem::path(argv[0]).parent_path();
    if (!makeDconfActivatable())
        return 1;

    // The same six values in both stores; the first dconf write starts dconf-service.
    virelon::migrateLegacySettings(); // opens the domain as a launch does
    Dconf dconf;
    const std::int64_t initial[] = {80, 50, 90, 10, 12};
    for (std::size_t i = 0; i < 5; ++i) {
        if (!VirelonSharedSettings::saveSetting(initial[i], bench::dconfKeys[i]) ||
            !dconf.writeInteger(bench::dconfKeys[i], initial[i]))
            return 1;
    }
    if (!VirelonSharedSettings::setFallbackVoiceIdentifier("espeak-ng/Kate") ||
        !dconf.write(bench::dconfKeys[5], g_variant_new_string("espeak-ng/Kate")))
        return 1;
    Dconf::drain();
    std::printf("Settings next to dconf, %d paced writes\n", writes);

    // (a)
    {
        const auto ours = bench::summarize(pacedWrites(writes, [](int i) {
            return VirelonSharedSettings::saveSetting(i % 101, "intonation");
        }));
        const auto theirs = bench::summarize(
            pacedWrites(writes, [&](int i) { return dconf.writeInteger("intonation", i % 101); }));
        bench::report("(a) saveSetting", ours, theirs, "dconf_client_write_sync");
        verdict(ours, theirs, 1.0);
    }

    // (b)
    {
        Engine engine({(here / "settings_bench_engine").string()});
        const auto ours = bench::summarize(toEngine(
            writes, engine,
            [](std::int64_t value) { VirelonSharedSettings::saveSetting(value, "voicing"); },
            "ours"));
        Engine dconfEngine({(here / "dconf_bench_engine").string(), folder});
        const auto theirs = bench::summarize(toEngine(
            writes, dconfEngine, [&](std::int64_t value) { dconf.writeInteger("voicing", value); },
            "dconf"));
        bench::report("(b) write -> engine read 6", ours, theirs, "dconf write -> engine read 6");
        verdict(ours, theirs, 0.2);
        auto poster = virelon::platform::makeSessionBusPoster();
        const auto floor = bench::summarize(toEngine(
            writes, engine,
            [&](std::int64_t) { poster->post(VirelonSharedSettings::changeNotification()); },
            nullptr));
        bench::report("    write -> engine read 6", ours, floor, "signal alone -> read 6");
    }

    // (c)
    {
        const int batches = quick ? 200 : 2000;
        const auto ours = bench::summarize(bench::perCall(batches, [] {
            const auto all = VirelonSharedSettings::voiceSettings();
            return all.intonation + all.headSize + all.voicing + all.wordPause + all.phrasePause +
                   static_cast<std::int64_t>(all.fallbackVoiceIdentifier.value_or("").size());
        }));
        const auto theirs =
            bench::summarize(bench::perCall(batches, [&] { return dconf.readSix(); }));
        bench::report("(c) engine reads six", ours, theirs, "six dconf_client_read");
        verdict(ours, theirs, 0.5);
    }

    // (d) A commit on another connection before every read, alternately ours and the earlier way.
    {
        const auto path = virelon::platform::preferencesDomainPath(virelon::identifiers::suiteName);
        auto writer = virelon::platform::openPreferencesDomain(virelon::identifiers::suiteName);
        if (!path || !writer)
            return 1;
        EarlierRead earlier(*path);
        std::vector<double> ours, before;
        int stale = 0;
        for (int i = 0; i < writes; ++i) {
            const std::int64_t value = i % 101;
            writer->setInteger("voicing", value);
            auto start = bench::nowNs();
            stale += VirelonSharedSettings::voiceSettings().voicing != value;
            ours.push_back(static_cast<double>(bench::nowNs() - start) / 1000.0);
            writer->setInteger("voicing", (i + 50) % 101);
            start = bench::nowNs();
            earlier.readSix();
            before.push_back(static_cast<double>(bench::nowNs() - start) / 1000.0);
        }
        if (stale)
            std::printf("    %d of %d reads after a commit did not see it\n", stale, writes);
        const auto after = bench::summarize(ours), earlierRead = bench::summarize(before);
        bench::report("(d) commit, then engine reads six", after, earlierRead,
                      "commit, then BEGIN 6 SELECT COMMIT");
        verdict(after, earlierRead, 1.0);
    }
    return 0;
}
